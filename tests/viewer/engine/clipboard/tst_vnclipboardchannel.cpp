// The clipboard channel's decoder and encoders, checked against the simulator's own reader, and the
// channel on a platform without a primary selection (the offscreen platform's clipboard).
#include "ClipboardSession.h"

#include "../controller/ControllerFixture.h"
#include "viewer/engine/ClipboardClientChannel.h"
#include "viewer/protocol/Wire.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QtTest>

using namespace ClipboardTest;
using namespace Protocol::Clipboard;
using DisplaySim::ClipboardMessage;
namespace Msg = DisplaySim::ClipboardMsg;

namespace {

QByteArray bytes(const char* data, int size) {
    return QByteArray(data, size);
}

QByteArray toBytes(const Protocol::Blob& blob) {
    return QByteArray(reinterpret_cast<const char*>(blob.data()), int(blob.size()));
}

QString join(const std::list<Protocol::Blob>& blobs) {
    QStringList parts;
    for (const Protocol::Blob& b : blobs) {
        parts << QString::fromLatin1(toBytes(b).toHex());
    }
    return parts.join(QLatin1Char(','));
}

// Records what the decoder hands to the handlers, and what the encoders send and report.
class RecordingChannel : public ClipboardClientChannel {
public:
    explicit RecordingChannel(Protocol::Byte number)
        : ClipboardClientChannel("clipboard", number) {}

    void send(std::vector<std::uint8_t> frame) override { frames.push_back(std::move(frame)); }
    void error(std::string message, unsigned char level) override {
        calls << QStringLiteral("error %1: %2").arg(level).arg(QString::fromStdString(message));
    }

    void onCapabilities(std::list<Protocol::Blob> capabilities) override {
        calls << QStringLiteral("capabilities [%1]").arg(join(capabilities));
    }
    void onSettings(std::list<Protocol::Blob> settings) override {
        calls << QStringLiteral("settings [%1]").arg(join(settings));
    }
    void onFormats(ClipboardIds id, std::list<Protocol::String> formats) override {
        QStringList names;
        for (const Protocol::String& f : formats) {
            names << QString::fromStdString(f);
        }
        calls << QStringLiteral("formats %1 [%2]").arg(int(id)).arg(names.join(QLatin1Char(',')));
    }
    void onDataRequest(ClipboardIds id, Protocol::String format) override {
        calls << QStringLiteral("request %1 %2").arg(int(id)).arg(QString::fromStdString(format));
    }
    void onDataResponse(RequestStatus status, ClipboardIds id, Protocol::String format,
                        Protocol::Blob data) override {
        calls << QStringLiteral("response %1 %2 %3 %4")
                     .arg(int(status))
                     .arg(int(id))
                     .arg(QString::fromStdString(format))
                     .arg(QString::fromLatin1(toBytes(data).toHex()));
    }

    QStringList calls;
    std::vector<std::vector<std::uint8_t>> frames;
};

std::vector<std::uint8_t> toVector(const QByteArray& b) {
    return std::vector<std::uint8_t>(b.begin(), b.end());
}

} // namespace

class TestVnClipboardChannel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_vnclipboardchannel"));
        QVERIFY(settings.isValid());
        watchThreadWarnings();
    }

    void cleanup() { QCOMPARE(threadWarnings(), QStringList()); }

    void decode_data() {
        QTest::addColumn<QByteArray>("frame"); // after the channel byte
        QTest::addColumn<QString>("call");

        const QByteArray text = "\x0atext/plain";
        QTest::newRow("capabilities") << QByteArray::fromHex("010201010102") << "capabilities [01,02]";
        QTest::newRow("capabilities, empty blob") << QByteArray::fromHex("010100") << "capabilities []";
        QTest::newRow("settings, none") << QByteArray::fromHex("0200") << "settings []";
        QTest::newRow("formats") << QByteArray::fromHex("030102") + text + "\x09image/png"
                                 << "formats 1 [text/plain,image/png]";
        QTest::newRow("formats, none") << QByteArray::fromHex("030000") << "formats 0 []";
        QTest::newRow("data request, unknown clipboard id kept")
            << QByteArray::fromHex("0407") + text << "request 7 text/plain";
        QTest::newRow("data response") << QByteArray::fromHex("050200") + text +
                                              bytes("\x03"
                                                    "ab\0",
                                                    4)
                                       << "response 2 0 text/plain 616200";
        QTest::newRow("bytes after the last field ignored")
            << QByteArray::fromHex("040000ffff") << "request 0 ";

        const QString level = QStringLiteral("error 4: ");
        QTest::newRow("empty frame") << QByteArray() << level + "Failed to read message id";
        QTest::newRow("id 0") << QByteArray::fromHex("00") << level + "Invalid message id";
        QTest::newRow("id 6") << QByteArray::fromHex("06") << level + "Invalid message id";
        QTest::newRow("capabilities without count")
            << QByteArray::fromHex("01") << level + "failed to read the capabilities message";
        QTest::newRow("capabilities count beyond the blobs")
            << QByteArray::fromHex("01020101") << level + "failed to read the capabilities message";
        QTest::newRow("capabilities count beyond the frame")
            << QByteArray::fromHex("01ffffff7f") << level + "failed to read the capabilities message";
        QTest::newRow("capabilities count over the entry cap")
            << QByteArray::fromHex("01") + toBytes(Protocol::encodeLeb128(MaxListEntries + 1)) +
                   QByteArray(int(MaxListEntries) + 1, '\0')
            << level + "failed to read the capabilities message";
        QTest::newRow("settings cut short")
            << QByteArray::fromHex("020102") << level + "failed to read the settings message";
        QTest::newRow("formats without clipboard id")
            << QByteArray::fromHex("03") << level + "failed to read the formats message";
        QTest::newRow("formats count beyond the names")
            << QByteArray::fromHex("030002") + text << level + "failed to read the formats message";
        QTest::newRow("data request without format")
            << QByteArray::fromHex("0400") << level + "failed to read the data request message";
        QTest::newRow("data response without data")
            << QByteArray::fromHex("050100") + text << level + "failed to read the data response message";
        QTest::newRow("data response, data longer than the frame")
            << QByteArray::fromHex("050100") + text +
                   "\x05"
                   "ab"
            << level + "failed to read the data response message";
    }

    void decode() {
        QFETCH(QByteArray, frame);
        QFETCH(QString, call);
        RecordingChannel channel(5);
        channel.receive(toVector(frame));
        QCOMPARE(channel.calls, QStringList{call});
        QVERIFY(channel.frames.empty());
    }

    // Every encoder's frame reads back through the simulator's independent decoder.
    void encodersAgreeWithTheSimulator() {
        RecordingChannel channel(9);
        CapabilitiesMessage capabilities;
        capabilities.channel = 9;
        capabilities.capabilities = {{1}, {2, 7}, {}};
        SettingsMessage settingsMessage;
        settingsMessage.channel = 9;
        FormatsMessage formats;
        formats.channel = 9;
        formats.clipboardId = Selection;
        formats.formats = {"text/plain", ""};
        DataRequestMessage request;
        request.channel = 9;
        request.clipboardId = Clipboard;
        request.format = "text/plain";
        DataResponseMessage response;
        response.channel = 9;
        response.status = Available;
        response.clipboardId = Selection;
        response.format = "text/plain";
        response.data = {'h', 0, 'i'};
        QVERIFY(channel.sendMessage(capabilities));
        QVERIFY(channel.sendMessage(settingsMessage));
        QVERIFY(channel.sendMessage(formats));
        QVERIFY(channel.sendMessage(request));
        QVERIFY(channel.sendMessage(response));
        QCOMPARE(channel.calls, QStringList());
        QCOMPARE(channel.frames.size(), std::size_t(5));

        QList<ClipboardMessage> decoded;
        for (const auto& frame : channel.frames) {
            QCOMPARE(frame.front(), std::uint8_t(9));
            const auto m = DisplaySim::decodeClipboardFrame(toBytes(frame));
            QVERIFY2(m, qPrintable(toBytes(frame).toHex(' ')));
            decoded << *m;
        }
        QCOMPARE(decoded[0].id, quint8(Msg::Capabilities));
        QCOMPARE(decoded[0].blobs, (QList<QByteArray>{bytes("\x01", 1), bytes("\x02\x07", 2), QByteArray()}));
        QCOMPARE(decoded[1].id, quint8(Msg::Settings));
        QCOMPARE(decoded[1].blobs, QList<QByteArray>());
        QCOMPARE(decoded[2].id, quint8(Msg::Formats));
        QCOMPARE(decoded[2].clipboardId, quint8(1));
        QCOMPARE(decoded[2].formats, (QList<QByteArray>{TextPlain, QByteArray()}));
        QCOMPARE(decoded[3].id, quint8(Msg::DataRequest));
        QCOMPARE(decoded[3].clipboardId, quint8(0));
        QCOMPARE(decoded[3].format, TextPlain);
        QCOMPARE(decoded[4].id, quint8(Msg::DataResponse));
        QCOMPARE(decoded[4].status, quint8(1));
        QCOMPARE(decoded[4].clipboardId, quint8(1));
        QCOMPARE(decoded[4].format, TextPlain);
        QCOMPARE(decoded[4].data, bytes("h\0i", 3));
    }

    void encodersRefuseAnotherChannelNumber() {
        RecordingChannel channel(9);
        CapabilitiesMessage capabilities;
        SettingsMessage settingsMessage;
        FormatsMessage formats;
        DataRequestMessage request;
        DataResponseMessage response;
        capabilities.channel = settingsMessage.channel = formats.channel = request.channel =
            response.channel = 8;
        QVERIFY(!channel.sendMessage(capabilities));
        QVERIFY(!channel.sendMessage(settingsMessage));
        QVERIFY(!channel.sendMessage(formats));
        QVERIFY(!channel.sendMessage(request));
        QVERIFY(!channel.sendMessage(response));
        QVERIFY(channel.frames.empty());
        const QString refused =
            QStringLiteral("error 4: Message channel number does not match assigned channel number");
        QCOMPARE(channel.calls, (QStringList{refused, refused, refused, refused, refused}));
    }

    // Data that no length field can carry is answered "not available" rather than with a broken frame.
    void dataTooLongForTheWire() {
        RecordingChannel channel(3);
        DataResponseMessage response;
        response.channel = 3;
        response.status = Available;
        response.clipboardId = Clipboard;
        response.format = "text/plain";
        response.data.assign(Protocol::MaxLeb128 - 8, 'x'); // fits one length field, not the whole frame
        QVERIFY(!response.fitsOnWire());
        QVERIFY(channel.sendMessage(response));
        response.data.clear();
        response.data.shrink_to_fit();
        QCOMPARE(channel.frames.size(), std::size_t(1));
        const auto m = DisplaySim::decodeClipboardFrame(toBytes(channel.frames.front()));
        QVERIFY(m);
        QCOMPARE(m->status, quint8(0));
        QCOMPARE(m->clipboardId, quint8(0));
        QCOMPARE(m->format, TextPlain);
        QCOMPARE(m->data, QByteArray());
    }

    // The frame the controller sends as soon as the channel opens.
    void clientCapabilitiesOnTheWire() {
        Session s;
        QVERIFY(s.start({}, false));
        const QList<ClipboardMessage> sent = s.clipboard.received();
        QCOMPARE(sent.size(), 1);
        const char n = char(s.clipboard.number());
        QCOMPARE(sent.first().bytes, QByteArray(1, n) + QByteArray::fromHex("010201010102"));
    }

    void withoutSelection_data() {
        QTest::addColumn<bool>("handlePrimarySelection");
        QTest::newRow("primary selection handled") << true;
        QTest::newRow("primary selection left alone") << false;
    }

    // Without a platform selection the clipboard stands in for it: every copy is announced as both, the
    // server's selection lands in the clipboard only when the option is on.
    void withoutSelection() {
        QFETCH(bool, handlePrimarySelection);
        QClipboard* clipboard = QGuiApplication::clipboard();
        QVERIFY(!clipboard->supportsSelection());

        Session s;
        QVERIFY(s.start({Msg::serverToClient(), Msg::clientToServer()}));
        s.master->setHandlePrimarySelection(handlePrimarySelection);
        clipboard->setText(QStringLiteral("local"));
        QVERIFY(s.settle());
        const QList<ClipboardMessage> announced = s.take();
        QCOMPARE(announced.size(), 2);
        QVERIFY(isAnnouncement(announced[0], 0));
        QVERIFY(isAnnouncement(announced[1], 1));

        s.clipboard.sendDataRequest(1, TextPlain);
        const auto response = s.clipboard.awaitMessage(Msg::DataResponse, Timeout);
        QVERIFY(response);
        QCOMPARE(response->status, quint8(1));
        QCOMPARE(response->data, QByteArray("local"));
        s.take();

        s.clipboard.sendFormats(1, {TextPlain});
        QVERIFY(s.settle());
        const QList<ClipboardMessage> requests = s.take();
        QCOMPARE(requests.size(), handlePrimarySelection ? 1 : 0);
        s.clipboard.sendDataResponse(1, 1, TextPlain, "selection\n");
        QVERIFY(s.settle());
        QCOMPARE(clipboard->text(),
                 handlePrimarySelection ? QStringLiteral("selection\n") : QStringLiteral("local"));
        s.master->setHandlePrimarySelection(true);
    }

private:
    ControllerTest::PrivateSettings settings;
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestVnClipboardChannel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vnclipboardchannel.moc"

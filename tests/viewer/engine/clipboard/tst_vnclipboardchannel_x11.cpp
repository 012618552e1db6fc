// The clipboard channel in a real Qt session on a private X server: the X clipboard and primary
// selection are shared with the display-server simulator both ways, with xclip as another application.
#include "ClipboardSession.h"

#include "../controller/ControllerFixture.h"
#include "XvfbServer.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>
#include <optional>

using namespace ClipboardTest;
using DisplaySim::ClipboardMessage;
namespace Msg = DisplaySim::ClipboardMsg;

namespace {

const QString kClipboard = QStringLiteral("clipboard");
const QString kPrimary = QStringLiteral("primary");

QClipboard::Mode modeOf(const QString& selection) {
    return selection == kPrimary ? QClipboard::Selection : QClipboard::Clipboard;
}

quint8 idOf(const QString& selection) {
    return selection == kPrimary ? 1 : 0;
}

QByteArray bytes(const char* data, int size) {
    return QByteArray(data, size);
}

QString describe(const QList<ClipboardMessage>& messages) {
    QStringList parts;
    for (const ClipboardMessage& m : messages) {
        parts << QString::fromLatin1(m.bytes.toHex(' '));
    }
    return parts.join(QLatin1String(" | "));
}

// Records the application clipboard's change notifications from its construction on.
class ClipboardChanges : public QObject {
public:
    ClipboardChanges() {
        connect(QGuiApplication::clipboard(), &QClipboard::changed, this,
                [this](QClipboard::Mode mode) { modes << mode; });
    }
    // Whether a change of that mode has been seen, waiting for it with the event loop running.
    bool wait(QClipboard::Mode mode) {
        QDeadlineTimer deadline(Timeout);
        while (!modes.contains(mode) && !deadline.hasExpired()) {
            QTest::qWait(20);
        }
        return modes.contains(mode);
    }
    QList<QClipboard::Mode> modes;
};

} // namespace

class TestVnClipboardChannelX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_vnclipboardchannel_x11"));
        QVERIFY(settings.isValid());
        xclip = QStandardPaths::findExecutable(QStringLiteral("xclip"));
        if (xclip.isEmpty()) {
            QFAIL("xclip is not installed; the set-up installs it");
        }
        QVERIFY(QGuiApplication::clipboard()->supportsSelection());
        watchThreadWarnings();
    }

    void cleanup() { QCOMPARE(threadWarnings(), QStringList()); }

    void capabilities_data() {
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QList<QByteArray>>("blobs");
        QTest::addColumn<bool>("serverToClient");
        QTest::addColumn<bool>("clientToServer");

        const QByteArray one = Msg::serverToClient();
        const QByteArray two = Msg::clientToServer();
        QTest::newRow("both") << true << QList<QByteArray>{one, two} << true << true;
        QTest::newRow("server to client only") << true << QList<QByteArray>{one} << true << false;
        QTest::newRow("client to server only") << true << QList<QByteArray>{two} << false << true;
        QTest::newRow("judged by the first byte")
            << true << QList<QByteArray>{bytes("\x01\xff", 2), bytes("\x02\x00", 2)} << true << true;
        QTest::newRow("empty and unknown blobs")
            << true << QList<QByteArray>{QByteArray(), bytes("\x03", 1), bytes("\x00", 1)} << false << false;
        QTest::newRow("before the server's capabilities") << false << QList<QByteArray>{} << false << false;
    }

    // Each direction works exactly when the server offered it, and only once its capabilities came.
    void capabilities() {
        QFETCH(bool, answered);
        QFETCH(QList<QByteArray>, blobs);
        QFETCH(bool, serverToClient);
        QFETCH(bool, clientToServer);

        Session s;
        QVERIFY(s.start(blobs, answered));
        const quint8 n = s.clipboard.number();
        if (answered) {
            // An empty Settings and an empty Formats for the clipboard, before anything else.
            QCOMPARE(describe(s.reply), describe({message(QByteArray::fromHex("0200"), n),
                                                  message(QByteArray::fromHex("030000"), n)}));
        }
        const auto expect = [&](bool on, const QList<QByteArray>& frames) {
            QList<ClipboardMessage> wanted;
            if (on) {
                for (const QByteArray& f : frames) {
                    wanted << message(f, n);
                }
            }
            return describe(wanted);
        };

        QVERIFY(otherApplicationCopies(kClipboard, "local text"));
        QVERIFY(s.settle());
        QCOMPARE(describe(s.take()), expect(clientToServer, {QByteArray::fromHex("0300010a") + TextPlain}));

        s.clipboard.sendFormats(0, {TextPlain});
        QVERIFY(s.settle());
        QCOMPARE(describe(s.take()), expect(serverToClient, {QByteArray::fromHex("04000a") + TextPlain}));

        s.clipboard.sendDataRequest(0, TextPlain);
        QVERIFY(s.settle());
        QCOMPARE(describe(s.take()), expect(clientToServer, {QByteArray::fromHex("0501000a") + TextPlain +
                                                             "\x0a" + "local text"}));

        s.clipboard.sendDataResponse(1, 0, TextPlain, "remote text");
        QVERIFY(s.settle());
        QCOMPARE(read(kClipboard), QByteArray(serverToClient ? "remote text" : "local text"));
    }

    void localToRemote_data() {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("sent");

        QTest::newRow("clipboard, CR LF and LF")
            << kClipboard << QByteArray("one\r\ntwo\nthree\r\n") << QByteArray("one\ntwo\nthree\n");
        QTest::newRow("clipboard, lone CR kept") << kClipboard << QByteArray("a\rb") << QByteArray("a\rb");
        QTest::newRow("selection, UTF-8")
            << kPrimary << QByteArray("grüße\r\n日本") << QByteArray("grüße\n日本");
    }

    // A copy in another application is announced, and the server's request gets the text in UTF-8 with
    // bare LF line breaks.
    void localToRemote() {
        QFETCH(QString, selection);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, sent);

        Session s;
        QVERIFY(s.start({Msg::serverToClient(), Msg::clientToServer()}));
        QVERIFY(otherApplicationCopies(selection, text));
        QVERIFY(s.clipboard.awaitMessage(
            [&](const ClipboardMessage& m) { return isAnnouncement(m, idOf(selection)); }, Timeout));
        s.clipboard.sendDataRequest(idOf(selection), TextPlain);
        const auto response = s.clipboard.awaitMessage(Msg::DataResponse, Timeout);
        QVERIFY(response);
        QCOMPARE(response->status, quint8(1));
        QCOMPARE(response->clipboardId, idOf(selection));
        QCOMPARE(response->format, TextPlain);
        QCOMPARE(response->data, sent);
    }

    void remoteToLocal_data() {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("pasted");

        QTest::newRow("clipboard, trailing NULs")
            << kClipboard << bytes("first\nsecond\0\0", 14) << QByteArray("first\nsecond");
        QTest::newRow("clipboard, CR LF stays one break")
            << kClipboard << QByteArray("x\r\n\r\ny") << QByteArray("x\n\ny");
        QTest::newRow("selection, UTF-8") << kPrimary << QByteArray("ä\nb") << QByteArray("ä\nb");
    }

    // The server's text lands in the matching local clipboard with LF line breaks, and the channel's own
    // write is not announced back to the server.
    void remoteToLocal() {
        QFETCH(QString, selection);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, pasted);

        Session s;
        QVERIFY(s.start({Msg::serverToClient(), Msg::clientToServer()}));
        QVERIFY(otherApplicationCopies(selection, "before"));
        QVERIFY(s.settle());
        s.take();

        s.clipboard.sendFormats(idOf(selection), {"image/png", TextPlain});
        const auto request = s.clipboard.awaitMessage(Msg::DataRequest, Timeout);
        QVERIFY(request);
        QCOMPARE(request->clipboardId, idOf(selection));
        QCOMPARE(request->format, TextPlain);

        ClipboardChanges changes;
        s.clipboard.sendDataResponse(1, idOf(selection), TextPlain, data);
        QVERIFY(changes.wait(modeOf(selection)));
        QCOMPARE(read(selection), pasted);

        QVERIFY(s.settle());
        const QList<ClipboardMessage> after = s.take();
        QVERIFY2(std::none_of(after.begin(), after.end(),
                              [](const ClipboardMessage& m) { return m.id == Msg::Formats; }),
                 qPrintable(describe(after)));
    }

    void failedResponseKeepsClipboard_data() {
        QTest::addColumn<QString>("selection");
        QTest::addColumn<quint8>("status");
        QTest::addColumn<QByteArray>("format");

        QTest::newRow("status 0") << kClipboard << quint8(0) << TextPlain;
        QTest::newRow("status 2") << kClipboard << quint8(2) << TextPlain;
        QTest::newRow("another format") << kClipboard << quint8(1) << QByteArray("text/html");
        QTest::newRow("status 0 for the selection") << kPrimary << quint8(0) << TextPlain;
    }

    void failedResponseKeepsClipboard() {
        QFETCH(QString, selection);
        QFETCH(quint8, status);
        QFETCH(QByteArray, format);

        Session s;
        QVERIFY(s.start({Msg::serverToClient(), Msg::clientToServer()}));
        QVERIFY(otherApplicationCopies(selection, "kept"));
        s.clipboard.sendFormats(idOf(selection), {TextPlain});
        QVERIFY(s.clipboard.awaitMessage(Msg::DataRequest, Timeout));
        s.clipboard.sendDataResponse(status, idOf(selection), format, "replaced");
        QVERIFY(s.settle());
        QCOMPARE(read(selection), QByteArray("kept"));
    }

    void unavailableAnsweredWithStatusZero_data() {
        QTest::addColumn<quint8>("clipboardId");
        QTest::addColumn<QByteArray>("format");

        QTest::newRow("image/png") << quint8(0) << QByteArray("image/png");
        QTest::newRow("with a charset") << quint8(0) << QByteArray("text/plain;charset=utf-8");
        QTest::newRow("upper case") << quint8(0) << QByteArray("TEXT/PLAIN");
        QTest::newRow("empty") << quint8(0) << QByteArray();
        QTest::newRow("NUL inside, echoed byte for byte") << quint8(1) << bytes("text/plain\0x", 12);
        QTest::newRow("unknown clipboard id") << quint8(7) << TextPlain;
    }

    void unavailableAnsweredWithStatusZero() {
        QFETCH(quint8, clipboardId);
        QFETCH(QByteArray, format);

        Session s;
        QVERIFY(s.start({Msg::clientToServer()}));
        QVERIFY(otherApplicationCopies(kClipboard, "text"));
        QVERIFY(otherApplicationCopies(kPrimary, "text"));
        s.clipboard.sendDataRequest(clipboardId, format);
        const auto response = s.clipboard.awaitMessage(Msg::DataResponse, Timeout);
        QVERIFY(response);
        QCOMPARE(response->status, quint8(0));
        QCOMPARE(response->clipboardId, clipboardId);
        QCOMPARE(response->format, format);
        QCOMPARE(response->data, QByteArray());
    }

    // With the primary selection left alone, it is neither announced, requested, served nor written; the
    // clipboard still is, and turning the option back on takes effect at once.
    void primarySelectionOff() {
        Session s;
        QVERIFY(s.start({Msg::serverToClient(), Msg::clientToServer()}));
        s.master->setHandlePrimarySelection(false);

        QVERIFY(otherApplicationCopies(kPrimary, "selected"));
        s.clipboard.sendFormats(1, {TextPlain});
        s.clipboard.sendDataResponse(1, 1, TextPlain, "remote");
        s.clipboard.sendDataRequest(1, TextPlain);
        const auto response = s.clipboard.awaitMessage(Msg::DataResponse, Timeout);
        QVERIFY(response);
        QCOMPARE(response->status, quint8(0));
        QCOMPARE(response->data, QByteArray());
        QVERIFY(s.settle());
        QCOMPARE(describe(s.take()), describe({*response}));
        QCOMPARE(read(kPrimary), QByteArray("selected"));

        QVERIFY(otherApplicationCopies(kClipboard, "copied"));
        QVERIFY(s.settle());
        QCOMPARE(describe(s.take()),
                 describe({message(QByteArray::fromHex("0300010a") + TextPlain, s.clipboard.number())}));

        s.master->setHandlePrimarySelection(true);
        QVERIFY(otherApplicationCopies(kPrimary, "selected again"));
        QVERIFY(s.clipboard.awaitMessage([](const ClipboardMessage& m) { return isAnnouncement(m, 1); },
                                         Timeout));
        s.clipboard.sendFormats(1, {TextPlain});
        QVERIFY(s.clipboard.awaitMessage(Msg::DataRequest, Timeout));
    }

    // One session's write is announced by every other session's channel but not by its own; a copy in
    // another application is announced by all of them.
    void writesSeenByOtherSessions() {
        Session a;
        Session b;
        QVERIFY(a.start({Msg::serverToClient(), Msg::clientToServer()}));
        QVERIFY(b.start({Msg::serverToClient(), Msg::clientToServer()}));

        for (const QString& selection : {kClipboard, kPrimary}) {
            const quint8 id = idOf(selection);
            ClipboardChanges changes;
            a.clipboard.sendDataResponse(1, id, TextPlain, "from a");
            QVERIFY(changes.wait(modeOf(selection)));
            QVERIFY(b.clipboard.awaitMessage(
                [id](const ClipboardMessage& m) { return isAnnouncement(m, id); }, Timeout));
            QVERIFY(a.settle());
            QVERIFY(b.settle());
            QCOMPARE(describe(a.take()), QString());
            const QList<ClipboardMessage> fromB = b.take();
            QVERIFY2(fromB.size() == 1 && isAnnouncement(fromB.first(), id), qPrintable(describe(fromB)));
        }
        QCOMPARE(VnClipboardChannel::lastClipboardWriter(), a.channel()->writerId());

        QVERIFY(otherApplicationCopies(kClipboard, "elsewhere"));
        for (Session* s : {&a, &b}) {
            QVERIFY(s->clipboard.awaitMessage([](const ClipboardMessage& m) { return isAnnouncement(m, 0); },
                                              Timeout));
        }
        QCOMPARE(VnClipboardChannel::lastClipboardWriter(), quint64(0));
    }

    // The last writer is remembered by an id no later channel gets: a copy inside this application after
    // the writing session has ended is announced by a session that starts later.
    void laterChannelIsNotTheLastWriter() {
        quint64 writer = 0;
        {
            Session a;
            QVERIFY(a.start({Msg::serverToClient(), Msg::clientToServer()}));
            ClipboardChanges changes;
            a.clipboard.sendDataResponse(1, 0, TextPlain, "from a");
            QVERIFY(changes.wait(QClipboard::Clipboard));
            writer = a.channel()->writerId();
            QCOMPARE(VnClipboardChannel::lastClipboardWriter(), writer);
        }
        Session c;
        QVERIFY(c.start({Msg::serverToClient(), Msg::clientToServer()}));
        QVERIFY(c.channel()->writerId() != writer);
        QGuiApplication::clipboard()->setText(QStringLiteral("copied in this application"));
        QVERIFY(c.clipboard.awaitMessage([](const ClipboardMessage& m) { return isAnnouncement(m, 0); },
                                         Timeout));
    }

private:
    // A client message as the simulator decodes it, from the bytes after the channel byte.
    static ClipboardMessage message(const QByteArray& afterChannel, quint8 channel) {
        const auto decoded = DisplaySim::decodeClipboardFrame(char(channel) + afterChannel);
        return decoded.value_or(ClipboardMessage{});
    }

    // Another X client takes the selection with the text; xclip keeps serving it in the background until
    // someone else takes it. Returns once this application has seen the change.
    bool otherApplicationCopies(const QString& selection, const QByteArray& text) {
        ClipboardChanges changes;
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(xclip, {QStringLiteral("-selection"), selection, QStringLiteral("-target"),
                              QStringLiteral("UTF8_STRING"), QStringLiteral("-i")});
        process.write(text);
        process.closeWriteChannel();
        if (!process.waitForFinished(Timeout) || process.exitCode() != 0) {
            qWarning("xclip could not take the %s selection", qPrintable(selection));
            return false;
        }
        return changes.wait(modeOf(selection));
    }

    // The selection's text as another X client gets it (this application answers from its event loop).
    QByteArray read(const QString& selection) {
        QProcess process;
        bool finished = false;
        connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [&finished] { finished = true; });
        process.start(xclip, {QStringLiteral("-selection"), selection, QStringLiteral("-target"),
                              QStringLiteral("UTF8_STRING"), QStringLiteral("-o")});
        QDeadlineTimer deadline(Timeout);
        while (!finished && !deadline.hasExpired()) {
            QTest::qWait(20);
        }
        if (!finished) {
            process.kill();
            process.waitForFinished();
            return "(xclip did not finish)";
        }
        if (process.exitCode() != 0) {
            return "(xclip failed: " + process.readAllStandardError() + ")";
        }
        return process.readAllStandardOutput();
    }

    ControllerTest::PrivateSettings settings;
    QString xclip;
};

int main(int argc, char** argv) {
    return runTestUnderXvfb<TestVnClipboardChannelX11>(argc, argv);
}

#include "tst_vnclipboardchannel_x11.moc"

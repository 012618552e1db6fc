#include "Hex.h"

#include "viewer/protocol/MultiWindow.h"

#include <QtTest>

#include <stdexcept>

using namespace Protocol;
using namespace Protocol::MultiWindow;

namespace {

QString point(Point16 p) {
    return QString("%1,%2").arg(p.x).arg(p.y);
}

// Every field the record holds, in wire order; unset fields are left out.
QString describe(const UpdateWindowData& d) {
    QStringList parts;
    parts << QString("flags=%1 fields=0x%2").arg(d.flags).arg(d.fields, 3, 16, QChar('0'));
    if (d.has(Field::Owner))
        parts << QString("owner=%1").arg(d.owner());
    if (d.has(Field::WindowFlags))
        parts << QString("kind=%1").arg(d.windowFlags());
    if (d.has(Field::ShowState))
        parts << QString("show=%1").arg(d.showState());
    if (d.has(Field::Title))
        parts << "title=" + QString::fromStdString(d.title());
    if (d.has(Field::Position))
        parts << "pos=" + point(d.position());
    if (d.has(Field::Size))
        parts << QString("size=%1x%2").arg(d.size().width).arg(d.size().height);
    if (d.has(Field::SurfaceId))
        parts << QString("surface=%1").arg(d.surfaceId());
    if (d.has(Field::Quads))
        parts << QString("quads=%1").arg(d.quads().size());
    if (d.has(Field::Icons)) {
        QStringList icons;
        for (const Blob& b : d.icons())
            icons << toHex(b);
        parts << "icons=[" + icons.join('|') + "]";
    }
    if (d.has(Field::SurfaceOrigin))
        parts << "origin=" + point(d.surfaceOrigin());
    return parts.join(' ');
}

// Records every handler call and error as one line.
class RecordingChannel : public MultiWindowClientChannel {
public:
    RecordingChannel()
        : MultiWindowClientChannel("multiwindow", 5) {}

    QStringList calls;
    std::vector<std::vector<Byte>> sent;

    void send(std::vector<std::uint8_t> frame) override { sent.push_back(std::move(frame)); }
    void error(std::string message, unsigned char level) override {
        calls << QString("error %1: %2").arg(level).arg(QString::fromStdString(message));
    }
    void onCapabilities(std::list<Blob> capabilities) override {
        QStringList items;
        for (const Blob& b : capabilities)
            items << toHex(b);
        calls << "capabilities [" + items.join('|') + "]";
    }
    void onDeleteWindow(Word window) override { calls << QString("delete %1").arg(window); }
    void onUpdateWindow(Word window, UpdateWindowData data) override {
        calls << QString("update %1 %2").arg(window).arg(describe(data));
    }
    void onActivateWindow(Word window) override { calls << QString("activate %1").arg(window); }
    void onRaiseWindow(Word window) override { calls << QString("raise %1").arg(window); }
    void onZOrder(std::vector<Word> windows) override {
        QStringList ids;
        for (Word w : windows)
            ids << QString::number(w);
        calls << "zorder [" + ids.join(',') + "]";
    }
    void onDesktopSync(Byte active) override { calls << QString("sync %1").arg(active); }
};

} // namespace

class TestMultiWindowMessages : public QObject {
    Q_OBJECT

private slots:
    void decodesServerFrames_data();
    void decodesServerFrames();
    void encodesClientMessages_data();
    void encodesClientMessages();
    void refusesMessagesOfAnotherChannel();
    void updateRoundTrip();
    void unsetFieldThrows();
    void hugeCountsFailWithoutAllocating();
};

void TestMultiWindowMessages::decodesServerFrames_data() {
    QTest::addColumn<QString>("body"); // the frame after the channel number, hex
    QTest::addColumn<QString>("expected");

    const QString protocolError = "error 4: ";
    QTest::newRow("empty") << "" << protocolError + "Failed to read message id";
    for (int id : {1, 5, 7, 8, 9, 11, 13, 255}) {
        QTest::addRow("id %d is not the server's", id)
            << QString("%1 01000000").arg(id, 2, 16, QChar('0')) << protocolError + "Invalid message id";
    }

    QTest::newRow("capabilities") << "00 02 01aa 00"
                                  << "capabilities [aa|]";
    QTest::newRow("capabilities none") << "00 00"
                                       << "capabilities []";
    QTest::newRow("capabilities short")
        << "00 02 01aa" << protocolError + "failed to read the capabilities message";
    QTest::newRow("capabilities count of five bytes")
        << "00 80808080 01" << protocolError + "failed to read the capabilities message";

    QTest::newRow("update position and size") << "02 07000000 00 30000000 f8ff 0a00 2003 5802"
                                              << "update 7 flags=0 fields=0x030 pos=-8,10 size=800x600";
    QTest::newRow("update with surface origin")
        << "02 07000000 00 30020000 0000 0000 1000 1000 0400 0500"
        << "update 7 flags=0 fields=0x230 pos=0,0 size=16x16 origin=4,5";
    QTest::newRow("update every field")
        << "02 09000000 03 ff030000 02000000 01000000 02 02 4869 0100 0200 0300 0400 0b000000"
           "01 0100020003000400 02 01aa 00 0600 0700"
        << "update 9 flags=3 fields=0x3ff owner=2 kind=1 show=2 title=Hi pos=1,2 size=3x4 surface=11 "
           "quads=1 icons=[aa|] origin=6,7";
    QTest::newRow("update bits above 0x200 carry nothing") << "02 01000000 00 00fc0000"
                                                           << "update 1 flags=0 fields=0xfc00";
    QTest::newRow("update short of its size") << "02 07000000 00 30000000 0000 0000 2003"
                                              << protocolError + "failed to read the update window message";
    QTest::newRow("update short of its mask")
        << "02 07000000 00 3000" << protocolError + "failed to read the update window message";
    QTest::newRow("update title longer than the frame")
        << "02 07000000 00 08000000 05 4869" << protocolError + "failed to read the update window message";

    QTest::newRow("delete") << "03 0c000000"
                            << "delete 12";
    QTest::newRow("delete with a fifth byte") << "03 0c000000 ff"
                                              << "delete 12";
    QTest::newRow("delete of three bytes")
        << "03 0c0000" << protocolError + "failed to read the delete window message";
    QTest::newRow("activate") << "04 0d000000"
                              << "activate 13";
    QTest::newRow("activate short") << "04" << protocolError + "failed to read the activate window message";
    QTest::newRow("raise") << "06 0e000000"
                           << "raise 14";
    QTest::newRow("raise short") << "06 0e" << protocolError + "failed to read the raise window message";

    QTest::newRow("zorder") << "0a 03 01000000 02000000 03000000"
                            << "zorder [1,2,3]";
    QTest::newRow("zorder empty") << "0a 00"
                                  << "zorder []";
    QTest::newRow("zorder short") << "0a 02 01000000" << protocolError + "failed to read the zorder message";

    QTest::newRow("sync on") << "0c 01"
                             << "sync 1";
    QTest::newRow("sync reads one byte") << "0c 00 ff"
                                         << "sync 0";
    QTest::newRow("sync without its byte")
        << "0c" << protocolError + "failed to read the desktop sync message";
}

void TestMultiWindowMessages::decodesServerFrames() {
    QFETCH(QString, body);
    QFETCH(QString, expected);
    RecordingChannel channel;
    channel.receive(hex(body.toLatin1().constData()));
    QCOMPARE(channel.calls, QStringList{expected});
}

void TestMultiWindowMessages::encodesClientMessages_data() {
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("expected");

    MultiWindow::CapabilitiesMessage caps;
    caps.channel = 5;
    QTest::newRow("capabilities empty") << toHex(encode(caps)) << "05 00 00";
    caps.capabilities = {Blob{0xab}, Blob{}};
    QTest::newRow("capabilities") << toHex(encode(caps)) << "05 00 02 01 ab 00";

    ActivateWindowMessage activate;
    activate.channel = 5;
    activate.window = 0x01020304;
    QTest::newRow("activate") << toHex(encode(activate)) << "05 04 04 03 02 01";
    DeactivateWindowMessage deactivate;
    deactivate.channel = 5;
    deactivate.window = 7;
    QTest::newRow("deactivate") << toHex(encode(deactivate)) << "05 05 07 00 00 00";
    RaiseWindowMessage raise;
    raise.channel = 5;
    raise.window = 8;
    QTest::newRow("raise") << toHex(encode(raise)) << "05 06 08 00 00 00";
    RestackWindowMessage restack;
    restack.channel = 5;
    restack.window = 8;
    restack.sibling = 9;
    QTest::newRow("restack") << toHex(encode(restack)) << "05 07 08 00 00 00 09 00 00 00";
    SyscommandMessage sys;
    sys.channel = 5;
    sys.window = 3;
    sys.command = Syscommand::Close;
    QTest::newRow("syscommand") << toHex(encode(sys)) << "05 08 03 00 00 00 04 00";

    MoveWindowMessage move;
    move.channel = 5;
    move.window = 3;
    move.left = -8;
    move.top = 20;
    move.width = 1024;
    move.height = 768;
    QTest::newRow("move left of the desktop")
        << toHex(encode(move)) << "05 09 03 00 00 00 f8 ff 14 00 00 04 00 03";

    MonitorLayoutMessage layout;
    layout.channel = 5;
    QTest::newRow("monitor layout none") << toHex(encode(layout)) << "05 0b 00";
    layout.monitors = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    QTest::newRow("monitor layout") << toHex(encode(layout))
                                    << "05 0b 02 00 00 00 00 80 07 38 04 80 07 00 00 00 05 00 04";
}

void TestMultiWindowMessages::encodesClientMessages() {
    QFETCH(QString, frame);
    QFETCH(QString, expected);
    QCOMPARE(frame, expected);
}

void TestMultiWindowMessages::refusesMessagesOfAnotherChannel() {
    RecordingChannel channel;
    SyscommandMessage sys;
    sys.channel = 6;
    sys.window = 1;
    QVERIFY(!channel.sendMessage(sys));
    QVERIFY(channel.sent.empty());
    QCOMPARE(channel.calls,
             QStringList{"error 4: Message channel number does not match assigned channel number"});

    sys.channel = 5;
    QVERIFY(channel.sendMessage(sys));
    QCOMPARE(channel.sent.size(), std::size_t(1));
    QCOMPARE(toHex(channel.sent.front()), QString("05 08 01 00 00 00 00 00"));
}

void TestMultiWindowMessages::updateRoundTrip() {
    // What a peer encodes, the channel decodes to the same record, for each single field and all at once.
    UpdateWindowMessage m;
    m.channel = 5;
    m.window = 42;
    m.data.flags = UpdateFlag::Full | UpdateFlag::ModalityGiven | UpdateFlag::Modal;
    m.data.setOwner(41);
    m.data.setWindowFlags(WindowKind::Popup);
    m.data.setShowState(ShowState::Maximized);
    m.data.setTitle("Ünïcode");
    m.data.setPosition({-32768, 32767});
    m.data.setSize({65535, 1});
    m.data.setSurfaceId(0xFFFFFFFFu);
    Quad q;
    q.values[3] = 9;
    m.data.setQuads({q, q});
    m.data.setIcons({Blob(300, 0x5a)});
    m.data.setSurfaceOrigin({-1, -2});
    const std::vector<Byte> frame = encode(m);

    RecordingChannel channel;
    channel.receive(std::vector<Byte>(frame.begin() + 1, frame.end()));
    QCOMPARE(channel.calls.size(), 1);
    QVERIFY2(channel.calls.front().startsWith("update 42 flags=7 fields=0x3ff owner=41 kind=9 show=2 "
                                              "title=Ünïcode pos=-32768,32767 size=65535x1 "
                                              "surface=4294967295 quads=2 icons=["),
             qPrintable(channel.calls.front()));
    QVERIFY(channel.calls.front().endsWith("] origin=-1,-2"));
}

void TestMultiWindowMessages::unsetFieldThrows() {
    UpdateWindowData d;
    d.setPosition({1, 2});
    try {
        (void)d.size();
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(QString(e.what()), QString("requested unset field 32"));
    }
    try {
        (void)d.icons();
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(QString(e.what()), QString("requested unset field 256"));
    }
    QCOMPARE(d.position().y, std::int16_t(2));
}

void TestMultiWindowMessages::hugeCountsFailWithoutAllocating() {
    // Counts near the LEB128 limit with a few bytes behind them: each list fails when the bytes run out,
    // before anything near the announced size is reserved (the sanitizer build would report it).
    const char* frames[] = {
        "0a ffffff7f 01000000",                  // z-order
        "00 ffffff7f 00 00 00",                  // capabilities
        "02 01000000 00 80000000 ffffff7f 0100", // quads
        "02 01000000 00 00010000 ffffff7f 00",   // icons
    };
    for (const char* body : frames) {
        RecordingChannel channel;
        channel.receive(hex(body));
        QCOMPARE(channel.calls.size(), 1);
        QVERIFY2(channel.calls.front().startsWith("error 4: failed to read"), body);
    }
}

QTEST_APPLESS_MAIN(TestMultiWindowMessages)
#include "tst_multiwindow_messages.moc"

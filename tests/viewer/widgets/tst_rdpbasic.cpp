// Keyboard and mouse input of a session against the display-server simulator, which records every
// input message the client sends. The local keyboard is the recording platform fake.
#include "platform/viewer/FakeViewerPlatform.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/KeyboardHook.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpLogDialog.h"
#include "viewer/widgets/RdpWidget.h"

#include "SimServer.h"

#include <QApplication>
#include <QBuffer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace ViewerPlatform;

Q_DECLARE_METATYPE(Qt::MouseButtons)

namespace {

// An input message as text: "down 30", "up 54", "reset 6", "move 10,20", "buttons 10,20 5", "wheel 1,2 -120".
QString describe(const DisplaySim::ClientFrame& frame) {
    DisplaySim::FrameReader r = frame.fields();
    quint16 x = 0;
    quint16 y = 0;
    quint16 word = 0;
    quint8 byte = 0;
    QString text;
    switch (frame.messageId.value_or(0)) {
    case 18:
        text = r.u16(word) ? QStringLiteral("down %1").arg(word) : QString();
        break;
    case 19:
        text = r.u16(word) ? QStringLiteral("up %1").arg(word) : QString();
        break;
    case 20:
        text = r.u8(byte) ? QStringLiteral("reset %1").arg(byte) : QString();
        break;
    case 21:
        text = r.u16(x) && r.u16(y) ? QStringLiteral("move %1,%2").arg(x).arg(y) : QString();
        break;
    case 22:
        text = r.u16(x) && r.u16(y) && r.u8(byte) ? QStringLiteral("buttons %1,%2 %3").arg(x).arg(y).arg(byte)
                                                  : QString();
        break;
    case 24:
        text = r.u16(x) && r.u16(y) && r.u16(word)
                   ? QStringLiteral("wheel %1,%2 %3").arg(x).arg(y).arg(qint16(word))
                   : QString();
        break;
    default:
        return QStringLiteral("unexpected id %1").arg(frame.messageId.value_or(0));
    }
    if (text.isEmpty()) {
        return QStringLiteral("short frame %1").arg(QString::fromLatin1(frame.bytes.toHex()));
    }
    return r.atEnd() ? text : text + QStringLiteral(" +%1 bytes").arg(r.remaining());
}

bool isInput(const DisplaySim::ClientFrame& frame) {
    return frame.channel == 0 && frame.messageId && *frame.messageId >= 18 && *frame.messageId <= 24;
}

QByteArray png(QSize size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A key nobody presses in these tests: everything sent before it has arrived once it arrives.
constexpr quint32 MarkerScanCode = 0x59;
const QString marker = QStringLiteral("down 89");

} // namespace

class TestRdpBasic : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpbasic"));
        QSettings::setDefaultFormat(QSettings::IniFormat);
    }

    void init() {
        settingsDir = std::make_unique<QTemporaryDir>();
        QVERIFY(settingsDir->isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir->path());
        fake = std::make_unique<FakeViewerPlatform>();
        setInstance(fake.get());
        server = std::make_unique<DisplaySim::Server>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
    }

    void cleanup() {
        delete master.data();
        delete window.data();
        delete other.data();
        server.reset();
        QVERIFY(!KeyboardHook::current()); // whoever held it is gone
        setInstance(nullptr);
        QVERIFY(fake->installedHooks.isEmpty());
        QVERIFY(fake->loadedLibraries.isEmpty());
        fake.reset();
    }

    // Two moves within one quantum after a pause: the first at once, the newest when the timer fires;
    // nothing more once the position stands still, and the timer stops.
    void motionIsCoalesced() {
        QVERIFY(start());
        master->setMouseQuantum(300);
        auto* timer = basic()->findChild<QTimer*>(QStringLiteral("mouseTimer"));
        QVERIFY(timer);
        QCOMPARE(timer->interval(), 300);

        basic()->mouseMove({{10, 10}, Qt::NoButton});
        QVERIFY(timer->isActive());
        basic()->mouseMove({{20, 20}, Qt::NoButton});
        basic()->mouseMove({{30, 30}, Qt::NoButton});
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), QStringLiteral("move 10,10")); // ahead of the marker: not held back
        QCOMPARE(nextInput(), marker);
        QCOMPARE(nextInput(), QStringLiteral("move 30,30")); // 20,20 was superseded

        basic()->mouseMove({{30, 30}, Qt::NoButton});
        QTRY_VERIFY(!timer->isActive());
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), marker);

        // After the pause the next move goes out at once again.
        basic()->mouseMove({{40, 41}, Qt::NoButton});
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), QStringLiteral("move 40,41"));
        QCOMPARE(nextInput(), marker);
    }

    void buttonChangeTurnsAMoveIntoAButtonMessage_data() {
        QTest::addColumn<Qt::MouseButtons>("buttons");
        QTest::addColumn<int>("mask");
        QTest::newRow("left") << Qt::MouseButtons(Qt::LeftButton) << 1;
        QTest::newRow("right") << Qt::MouseButtons(Qt::RightButton) << 4;
        QTest::newRow("middle") << Qt::MouseButtons(Qt::MiddleButton) << 2;
        QTest::newRow("left and right") << (Qt::LeftButton | Qt::RightButton) << 5;
        QTest::newRow("back alone") << Qt::MouseButtons(Qt::BackButton) << 0;
        QTest::newRow("left and forward") << (Qt::LeftButton | Qt::ForwardButton) << 1;
    }

    void buttonChangeTurnsAMoveIntoAButtonMessage() {
        QFETCH(Qt::MouseButtons, buttons);
        QFETCH(int, mask);
        QVERIFY(start());
        master->setMouseQuantum(20);
        basic()->mouseMove({{5, 6}, buttons});
        QCOMPARE(nextInput(), QStringLiteral("buttons 5,6 %1").arg(mask));
        // The same buttons again: plain motion.
        basic()->mouseMove({{7, 8}, buttons});
        QCOMPARE(nextInput(), QStringLiteral("move 7,8"));
        // Released: a button message with the whole state, at the release position.
        basic()->mouseButtons({{9, 9}, Qt::NoButton});
        QCOMPARE(nextInput(), QStringLiteral("buttons 9,9 0"));
    }

    // Motion waiting in the coalescer is superseded by a button message and never sent after it.
    void buttonMessageSupersedesWaitingMotion() {
        QVERIFY(start());
        master->setMouseQuantum(200);
        basic()->mouseMove({{1, 1}, Qt::NoButton});
        basic()->mouseMove({{2, 2}, Qt::NoButton});
        basic()->mouseButtons({{3, 3}, Qt::LeftButton});
        QCOMPARE(nextInput(), QStringLiteral("move 1,1"));
        QCOMPARE(nextInput(), QStringLiteral("buttons 3,3 1"));
        auto* timer = basic()->findChild<QTimer*>(QStringLiteral("mouseTimer"));
        QTRY_VERIFY(!timer->isActive());
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), marker);
    }

    void wheelAndPositionBounds_data() {
        QTest::addColumn<QPoint>("position");
        QTest::addColumn<int>("delta");
        QTest::addColumn<QString>("sent");
        QTest::newRow("up is negative") << QPoint(10, 20) << 120 << "wheel 10,20 -120";
        QTest::newRow("down is positive") << QPoint(10, 20) << -120 << "wheel 10,20 120";
        QTest::newRow("largest 16-bit") << QPoint(0, 0) << 32767 << "wheel 0,0 -32767";
        QTest::newRow("smallest 16-bit") << QPoint(0, 0) << -32768 << "wheel 0,0 32767";
        QTest::newRow("beyond 16 bits up") << QPoint(0, 0) << 100000 << "wheel 0,0 -32767";
        QTest::newRow("beyond 16 bits down") << QPoint(0, 0) << -100000 << "wheel 0,0 32767";
        QTest::newRow("negative position") << QPoint(-5, -1) << 120 << "wheel 0,0 -120";
        QTest::newRow("position past 16 bits") << QPoint(70000, 65535) << 120 << "wheel 65535,65535 -120";
    }

    void wheelAndPositionBounds() {
        QFETCH(QPoint, position);
        QFETCH(int, delta);
        QFETCH(QString, sent);
        QVERIFY(start());
        basic()->mouseWheel(position, delta);
        QCOMPARE(nextInput(), sent);
        // Button messages are bounded the same way.
        basic()->mouseButtons({position + QPoint(1, 1), Qt::LeftButton});
        const QPoint expected(qBound(0, position.x() + 1, 65535), qBound(0, position.y() + 1, 65535));
        QCOMPARE(nextInput(), QStringLiteral("buttons %1,%2 1").arg(expected.x()).arg(expected.y()));
    }

    void keys_data() {
        QTest::addColumn<quint32>("nativeScanCode");
        QTest::addColumn<bool>("down");
        QTest::addColumn<QList<int>>("heldLocally");
        QTest::addColumn<QStringList>("sent");
        QTest::addColumn<bool>("autoRepeat");
        const QList<int> none;
        QTest::newRow("A") << 0x1Eu << true << none << QStringList{"down 30"} << false;
        QTest::newRow("NumLock native 0x145") << 0x145u << true << none << QStringList{"down 69"} << false;
        QTest::newRow("right Shift native 0x136")
            << 0x136u << true << none << QStringList{"down 54"} << false;
        QTest::newRow("right Ctrl keeps its extended bit")
            << 0x11Du << true << none << QStringList{"down 285"} << false;
        QTest::newRow("right Ctrl up") << 0x11Du << false << none << QStringList{"up 285"} << false;
        QTest::newRow("unknown key is dropped") << 0u << true << none << QStringList{} << false;
        QTest::newRow("left Shift up, right Shift up locally")
            << 42u << false << none << QStringList{"up 42", "up 54"} << false;
        QTest::newRow("left Shift up, right Shift held locally")
            << 42u << false << QList<int>{VkRShift} << QStringList{"up 42"} << false;
        QTest::newRow("right Shift up, left Shift up locally")
            << 54u << false << none << QStringList{"up 54", "up 42"} << false;
        QTest::newRow("right Shift native 0x136 up, left Shift up locally")
            << 0x136u << false << QList<int>{VkRShift} << QStringList{"up 54", "up 42"} << false;
        QTest::newRow("right Shift up, left Shift held locally")
            << 54u << false << QList<int>{VkLShift} << QStringList{"up 54"} << false;
        QTest::newRow("Shift down is never paired") << 42u << true << none << QStringList{"down 42"} << false;
        QTest::newRow("repeated key-down") << 0x1Eu << true << none << QStringList{"down 30"} << true;
        QTest::newRow("release paired with a repeat is not sent")
            << 0x1Eu << false << none << QStringList{} << true;
    }

    void keys() {
        QFETCH(quint32, nativeScanCode);
        QFETCH(bool, down);
        QFETCH(QList<int>, heldLocally);
        QFETCH(QStringList, sent);
        QFETCH(bool, autoRepeat);
        QVERIFY(start());
        for (int key : heldLocally) {
            fake->keysDown << key;
        }
        KeyInput input;
        input.nativeScanCode = nativeScanCode;
        input.nativeVirtualKey = 0x41;
        input.autoRepeat = autoRepeat;
        if (down) {
            basic()->keyDown(input);
        } else {
            basic()->keyUp(input);
        }
        basic()->sendKey(MarkerScanCode, true);
        QStringList got;
        for (QString next = nextInput(); next != marker; next = nextInput()) {
            got << next;
            QVERIFY2(got.size() <= sent.size(), qPrintable(got.join(", ")));
        }
        QCOMPARE(got, sent);
    }

    // With session logging on, every key goes into the log window with the scan code the server gets.
    void keysAreLogged() {
        qputenv("VELNOR_ENABLE_SESSION_LOGGING", "1");
        const bool started = start();
        qunsetenv("VELNOR_ENABLE_SESSION_LOGGING");
        QVERIFY(started);
        QVERIFY(master->logDialog());
        basic()->keyDown(KeyInput{144, 0x145, 0, false});
        basic()->keyUp(KeyInput{65, 0x1E, 0, false});
        auto* text = master->logDialog()->findChild<QTextBrowser*>();
        QVERIFY(text);
        QVERIFY2(text->toPlainText().endsWith(QStringLiteral("GOT KEYDOWN: 144\n    SCANCODE: 69\n\n"
                                                             "GOT KEYUP: 65\n    SCANCODE: 30\n\n")),
                 qPrintable(text->toPlainText()));
    }

    // The local layout goes to the server as the keyboard setting of the main sequence.
    void keyboardLayoutReachesTheServer_data() {
        QTest::addColumn<QString>("layoutName");
        QTest::addColumn<quint32>("layout");
        QTest::newRow("us") << "00000409" << 0x409u;
        QTest::newRow("german") << "00000407" << 0x407u;
        QTest::newRow("french") << "0000040C" << 0x40Cu;
        QTest::newRow("british") << "00000809" << 0x809u;
        QTest::newRow("unknown") << "" << 0x409u;
    }

    void keyboardLayoutReachesTheServer() {
        QFETCH(QString, layoutName);
        QFETCH(quint32, layout);
        fake->layoutName = layoutName;
        QVERIFY(start());
        const QByteArray expected = DisplaySim::Entry::keyboard(layout, 4);
        QTRY_VERIFY([&] {
            for (const QList<QByteArray>& settings : server->record().clientSettings) {
                if (settings.contains(expected)) {
                    return true;
                }
            }
            return false;
        }());
    }

    // Before the main sequence nothing is sent, but the coalescer keeps its positions.
    void inputBeforeTheMainSequenceIsDropped() {
        server->options().autoFirstSettings = false;
        QVERIFY(start(QStringLiteral("1024x768"), false));
        QVERIFY(server->awaitClient());
        QTRY_COMPARE(master->connection()->state(), quint32(Protocol::ClientMachine::WaitingSettings));
        QTRY_VERIFY(master->focus()); // the desktop window's
        master->setMouseQuantum(0);
        basic()->keyDown(KeyInput{0, 0x1E, 0, false});
        basic()->mouseMove({{3, 4}, Qt::NoButton});
        basic()->mouseButtons({{3, 4}, Qt::LeftButton});
        basic()->mouseWheel({3, 4}, 120);
        server->sendSettings(server->options().firstSettings);
        QTRY_COMPARE(master->connection()->state(), quint32(Protocol::ClientMachine::MainSequence));
        // The first input is the keyboard resync of the focused session.
        QCOMPARE(nextInput(), QStringLiteral("reset 0"));
        basic()->mouseMove({{3, 4}, Qt::LeftButton}); // already the sent position and buttons
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), marker);
    }

    void focusGain_data() {
        QTest::addColumn<QList<int>>("toggled");
        QTest::addColumn<QList<int>>("held");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("nothing on") << QList<int>{} << QList<int>{} << QStringList{"reset 0"};
        QTest::newRow("num and caps lock")
            << QList<int>{VkNumLock, VkCapital} << QList<int>{} << QStringList{"reset 6"};
        QTest::newRow("every lock") << QList<int>{VkScroll, VkNumLock, VkCapital, VkKana} << QList<int>{}
                                    << QStringList{"reset 15"};
        QTest::newRow("right Alt held")
            << QList<int>{} << QList<int>{VkRMenu} << QStringList{"reset 0", "down 312"};
        QTest::newRow("every modifier held, in order")
            << QList<int>{VkScroll}
            << QList<int>{VkRMenu, VkLMenu, VkRShift, VkLShift, VkRControl, VkLControl}
            << QStringList{"reset 1", "down 29", "down 285", "down 42", "down 54", "down 56", "down 312"};
    }

    void focusGain() {
        QFETCH(QList<int>, toggled);
        QFETCH(QList<int>, held);
        QFETCH(QStringList, sent);
        QVERIFY(start(QStringLiteral("rootless")));
        for (int key : toggled) {
            fake->keysToggled << key;
        }
        for (int key : held) {
            fake->keysDown << key;
        }
        QVERIFY(focusSession());
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(takeUntilMarker(), sent);
        // No local key releases are synthesised here.
        QVERIFY(!fake->calls.join(QLatin1Char('\n')).contains(QLatin1String("sendKeyUp")));
    }

    // The desktop window takes the focus while the handshake still runs, when nothing can be sent yet:
    // the keyboard resync goes out once the main sequence begins.
    void focusBeforeTheMainSequence() {
        server->options().autoFirstSettings = false;
        QVERIFY(start(QStringLiteral("rootless"), false));
        QVERIFY(server->awaitClient());
        QTRY_COMPARE(master->connection()->state(), quint32(Protocol::ClientMachine::WaitingSettings));
        QTRY_VERIFY(master->connected());
        fake->keysToggled << VkNumLock;
        fake->keysDown << VkRMenu;
        QVERIFY(focusSession());
        server->sendSettings(server->options().firstSettings);
        QCOMPARE(nextInput(), QStringLiteral("reset 2"));
        QCOMPARE(nextInput(), QStringLiteral("down 312"));
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), marker);
    }

    // Losing focus sends the waiting position, forgets positions and releases every key on the server.
    void focusLoss() {
        QVERIFY(start(QStringLiteral("rootless")));
        QVERIFY(focusSession());
        master->setMouseQuantum(500);
        basic()->mouseMove({{7, 7}, Qt::NoButton});
        basic()->mouseMove({{8, 9}, Qt::NoButton});
        QVERIFY(unfocusSession());
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(takeUntilMarker(), (QStringList{"reset 0", "move 7,7", "move 8,9", "reset 0"}));
        auto* timer = basic()->findChild<QTimer*>(QStringLiteral("mouseTimer"));
        QVERIFY(!timer->isActive());
        // The sent position is now (0, 0) again: a move there sends nothing.
        basic()->mouseMove({{0, 0}, Qt::NoButton});
        basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(nextInput(), marker);
    }

    void hookFollowsFocusAndOption_data() {
        QTest::addColumn<bool>("libraryThere");
        QTest::newRow("hook library there") << true;
        QTest::newRow("hook library missing") << false;
    }

    void hookFollowsFocusAndOption() {
        QFETCH(bool, libraryThere);
        if (libraryThere) {
            fake->libraries << QStringLiteral("grapnel.dll");
            fake->procedures << "GrapnelProc";
        }
        QVERIFY(start());
        QVERIFY(master->capturesKeys());
        QVERIFY(focusSession());
        QVERIFY(KeyboardHook::current());
        QCOMPARE(KeyboardHook::current()->owner(), basic());
        QCOMPARE(KeyboardHook::current()->isHooked(), libraryThere);
        QCOMPARE(fake->installedHooks.size(), libraryThere ? 1 : 0);

        master->setCapturesKeys(false);
        QVERIFY(!KeyboardHook::current());
        QVERIFY(fake->installedHooks.isEmpty());
        master->setCapturesKeys(true);
        QCOMPARE(fake->installedHooks.size(), libraryThere ? 1 : 0);

        QVERIFY(unfocusSession());
        QVERIFY(!KeyboardHook::current());
        QVERIFY(fake->installedHooks.isEmpty());
        // The option turned on without focus installs nothing.
        master->setCapturesKeys(false);
        master->setCapturesKeys(true);
        QVERIFY(!KeyboardHook::current());

        // The keyboard still resynchronises either way.
        basic()->sendKey(MarkerScanCode, true);
        const QStringList sent = takeUntilMarker();
        QVERIFY2(sent.contains(QStringLiteral("reset 0")), qPrintable(sent.join(", ")));

        // The session going away while it holds the hook takes the hook with it.
        QVERIFY(focusSession());
        QVERIFY(KeyboardHook::current());
        delete master.data();
        QVERIFY(!KeyboardHook::current());
    }

    void noHookInMultiWindowMode() {
        fake->libraries << QStringLiteral("grapnel.dll");
        fake->procedures << "GrapnelProc";
        QVERIFY(start(QStringLiteral("rootless")));
        QVERIFY(master->isSingleApplication());
        QVERIFY(master->capturesKeys());
        QVERIFY(focusSession());
        master->setCapturesKeys(false);
        master->setCapturesKeys(true);
        QVERIFY(!KeyboardHook::current());
        QVERIFY(!fake->calls.join(QLatin1Char('\n')).contains(QLatin1String("loadLibrary")));
    }

    void pointerShapes() {
        QVERIFY(start());
        QSignalSpy changes(basic(), &RdpBasic::currentCursorChanged);
        QCOMPARE(basic()->currentCursor().shape(), Qt::ArrowCursor);

        server->sendPointerCreate(3, 4, 5, png({32, 24}));
        QTRY_COMPARE(changes.size(), 1);
        QCOMPARE(basic()->currentPointerId(), 3u);
        QCOMPARE(changes.at(0).at(0).value<QCursor>().pixmap().size(), QSize(32, 24));
        QCOMPARE(basic()->currentCursor().hotSpot(), QPoint(4, 5));

        // An id never created keeps the cursor; a system pointer after it shows it arrived.
        server->sendPointerSetCached(9);
        server->sendPointerSystem();
        QTRY_COMPARE(changes.size(), 2);
        QCOMPARE(changes.at(1).at(0).value<QCursor>().shape(), Qt::ArrowCursor);
        QCOMPARE(basic()->currentPointerId(), 0u);

        server->sendPointerSetCached(3);
        QTRY_COMPARE(changes.size(), 3);
        QCOMPARE(basic()->currentPointerId(), 3u);
        server->sendPointerHide();
        QTRY_COMPARE(changes.size(), 4);
        QCOMPARE(basic()->currentPointerId(), 0u);

        // Freeing: the current one falls back to the arrow, another id changes nothing.
        basic()->callback_handlePointerSet(3);
        basic()->callback_handlePointerFree(8);
        QCOMPARE(basic()->currentPointerId(), 3u);
        basic()->callback_handlePointerFree(3);
        QCOMPARE(basic()->currentPointerId(), 0u);
        QVERIFY(!basic()->hasPointer(3));
        QCOMPARE(changes.size(), 6);
        QCOMPARE(changes.last().at(0).value<QCursor>().shape(), Qt::ArrowCursor);
    }

    void pointerImagesAreBounded_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("hotspot");
        QTest::addColumn<QSize>("shownSize");
        QTest::addColumn<QPoint>("shownHotspot");
        QTest::newRow("hotspot past the image")
            << QSize(32, 32) << QPoint(100, 5) << QSize(32, 32) << QPoint(31, 5);
        QTest::newRow("largest kept as it is")
            << QSize(256, 256) << QPoint(255, 0) << QSize(256, 256) << QPoint(255, 0);
        QTest::newRow("too large: scaled, hotspot follows")
            << QSize(512, 384) << QPoint(510, 200) << QSize(256, 192) << QPoint(255, 100);
        QTest::newRow("too tall") << QSize(10, 400) << QPoint(9, 399) << QSize(6, 256) << QPoint(5, 255);
        QTest::newRow("one pixel wide and too tall")
            << QSize(1, 512) << QPoint(3, 511) << QSize(1, 256) << QPoint(0, 255);
    }

    void pointerImagesAreBounded() {
        QFETCH(QSize, size);
        QFETCH(QPoint, hotspot);
        QFETCH(QSize, shownSize);
        QFETCH(QPoint, shownHotspot);
        QVERIFY(start());
        QSignalSpy changes(basic(), &RdpBasic::currentCursorChanged);
        server->sendPointerCreate(1, quint16(hotspot.x()), quint16(hotspot.y()), png(size));
        QTRY_COMPARE(changes.size(), 1);
        const QCursor cursor = basic()->currentCursor();
        QCOMPARE(cursor.pixmap().size(), shownSize);
        QCOMPARE(cursor.hotSpot(), shownHotspot);
    }

    // However often the session reports itself connected, each pointer message acts once.
    void pointerSignalsAreWiredOnce() {
        QVERIFY(start());
        emit master->connectedChanged(true);
        emit master->connectedChanged(true);
        QSignalSpy changes(basic(), &RdpBasic::currentCursorChanged);
        server->sendPointerCreate(2, 0, 0, png({16, 16}));
        server->sendPointerSystem();
        QTRY_VERIFY(!changes.isEmpty() && changes.last().at(0).value<QCursor>().shape() == Qt::ArrowCursor);
        server->sendPointerSetCached(2);
        QTRY_VERIFY(changes.last().at(0).value<QCursor>().shape() == Qt::BitmapCursor);
        QCOMPARE(changes.size(), 3);
    }

private:
    RdpBasic* basic() const { return master->basic(); }

    bool start(const QString& geometry = QStringLiteral("1024x768"), bool waitForMainSequence = true) {
        master = new RdpMaster({QNetworkRequest(server->url())}, QNetworkProxy(QNetworkProxy::NoProxy),
                               QStringLiteral("tester"), QString(), geometry, QStringLiteral("Session"),
                               false, QStringLiteral("s1"), QStringLiteral("127.0.0.1"));
        if (!master->basic() || master->mainView() != master->basic()) {
            qWarning("the session has no input object as its main view");
            return false;
        }
        if (!waitForMainSequence) {
            return true;
        }
        if (!server->awaitMainSequence()) {
            qWarning("no main sequence");
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (master->connection()->state() != Protocol::ClientMachine::MainSequence ||
               !master->connected()) {
            if (clock.elapsed() > 5000) {
                qWarning("client not in its main sequence");
                return false;
            }
            QTest::qWait(5);
        }
        // The desktop window takes the focus by itself, which resynchronises the keyboard either at once
        // or, when it came before the handshake ended, as the main sequence begins. That is out of the way
        // before the test takes over.
        if (!master->isSingleApplication()) {
            if (!QTest::qWaitFor([this] { return master->focus(); }, 5000)) {
                qWarning("the desktop window did not take the focus");
                return false;
            }
            const QString first = nextInput();
            if (!first.startsWith(QLatin1String("reset "))) {
                qWarning("the focus sent %s, not a keyboard reset", qPrintable(first));
                return false;
            }
        }
        basic()->sendKey(MarkerScanCode, true);
        takeUntilMarker();
        return true;
    }

    // Gives the keyboard focus to a window of the session, or to a window of no session.
    bool focusSession() {
        if (!window) {
            window = new RdpWidget(master.data(), 7);
            window->setFocusPolicy(Qt::StrongFocus);
            window->resize(100, 100);
        }
        window->show();
        window->activateWindow();
        window->setFocus();
        if (!QTest::qWaitForWindowActive(window)) {
            return false;
        }
        return QTest::qWaitFor([this] { return master->focus(); }, 5000);
    }

    bool unfocusSession() {
        if (!other) {
            other = new QWidget;
            other->setFocusPolicy(Qt::StrongFocus);
            other->resize(100, 100);
        }
        other->show();
        other->activateWindow();
        other->setFocus();
        if (!QTest::qWaitForWindowActive(other)) {
            return false;
        }
        return QTest::qWaitFor([this] { return !master->focus(); }, 5000);
    }

    QString nextInput() {
        const auto frame = server->awaitFrame(isInput);
        return frame ? describe(*frame) : QStringLiteral("nothing");
    }

    QStringList takeUntilMarker() {
        QStringList got;
        for (QString next = nextInput(); next != marker && next != QLatin1String("nothing");
             next = nextInput()) {
            got << next;
        }
        return got;
    }

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<FakeViewerPlatform> fake;
    std::unique_ptr<DisplaySim::Server> server;
    QPointer<RdpMaster> master;
    QPointer<RdpWidget> window;
    QPointer<QWidget> other;
};

QTEST_MAIN(TestRdpBasic)
#include "tst_rdpbasic.moc"

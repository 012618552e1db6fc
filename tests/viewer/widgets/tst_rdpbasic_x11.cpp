// Input of a session in a real Qt session on a private X server: keys pressed with xdotool arrive at the
// display-server simulator as the right scan codes, and keystroke capture grabs the keyboard.
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/KeyboardHook.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpWidget.h"

#include "SimServer.h"
#include "XvfbServer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/Xlib.h>

#include <cstdio>
#include <memory>

namespace {

QString describe(const DisplaySim::ClientFrame& frame) {
    DisplaySim::FrameReader r = frame.fields();
    quint16 code = 0;
    quint8 locks = 0;
    switch (frame.messageId.value_or(0)) {
    case 18:
        return r.u16(code) ? QStringLiteral("down %1").arg(code) : QStringLiteral("short");
    case 19:
        return r.u16(code) ? QStringLiteral("up %1").arg(code) : QStringLiteral("short");
    case 20:
        return r.u8(locks) ? QStringLiteral("reset %1").arg(locks) : QStringLiteral("short");
    default:
        return QStringLiteral("id %1").arg(frame.messageId.value_or(0));
    }
}

bool isKeyboard(const DisplaySim::ClientFrame& frame) {
    return frame.channel == 0 && frame.messageId && *frame.messageId >= 18 && *frame.messageId <= 20;
}

constexpr quint32 MarkerScanCode = 0x59;
const QString marker = QStringLiteral("down 89");

// A session window that hands its keys to the session's input, as the desktop view does.
class KeyWindow : public RdpWidget {
public:
    explicit KeyWindow(RdpMaster* master)
        : RdpWidget(master, 7) {
        setFocusPolicy(Qt::StrongFocus);
        resize(200, 200);
    }

    int keyEvents = 0;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        ++keyEvents;
        if (RdpMaster* session = master()) {
            session->basic()->keyDown(KeyInput::fromEvent(*event));
        }
    }
    void keyReleaseEvent(QKeyEvent* event) override {
        ++keyEvents;
        if (RdpMaster* session = master()) {
            session->basic()->keyUp(KeyInput::fromEvent(*event));
        }
    }
};

} // namespace

class TestRdpBasicX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpbasic_x11"));
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xdotool.isEmpty()) {
            QFAIL("xdotool is not installed; the set-up installs it");
        }
    }

    void init() {
        server = std::make_unique<DisplaySim::Server>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
        master = new RdpMaster({QNetworkRequest(server->url())}, QNetworkProxy(QNetworkProxy::NoProxy),
                               QStringLiteral("tester"), QString(), QStringLiteral("800x600"),
                               QStringLiteral("Session"), false, QStringLiteral("s1"),
                               QStringLiteral("127.0.0.1"));
        QVERIFY(server->awaitMainSequence());
        QTRY_VERIFY(master->connected() &&
                    master->connection()->state() == Protocol::ClientMachine::MainSequence);
        window = new KeyWindow(master);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->activateWindow();
        window->setFocus();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTRY_VERIFY(master->focus());
        // What focus brought (the keyboard reset) is out of the way.
        master->basic()->sendKey(MarkerScanCode, true);
        takeUntilMarker();
    }

    void cleanup() {
        delete window.data();
        delete master.data();
        server.reset();
    }

    void realKeyPressesArriveAsScanCodes() {
        QVERIFY(runXdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("20"),
                            QStringLiteral("a"), QStringLiteral("Control_R"), QStringLiteral("KP_Enter"),
                            QStringLiteral("Num_Lock"), QStringLiteral("Num_Lock"), QStringLiteral("Delete"),
                            QStringLiteral("Alt_R"), QStringLiteral("F1")}));
        // xdotool holds the left Ctrl and Alt along with the right ones, as their modifier.
        QTRY_COMPARE(window->keyEvents, 20);
        master->basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(takeUntilMarker(),
                 (QStringList{"down 30",  "up 30",                         // A
                              "down 29",  "down 285", "up 29",   "up 285", // right Ctrl, extended
                              "down 284", "up 284",                        // keypad Enter, extended
                              "down 69",  "up 69",    "down 69", "up 69",  // NumLock twice
                              "down 339", "up 339",                        // Delete, extended
                              "down 56",  "down 312", "up 56",   "up 312", // right Alt, extended
                              "down 59",  "up 59"}));                      // F1
    }

    void captureGrabsTheKeyboard() {
        QVERIFY(master->capturesKeys());
        QVERIFY(KeyboardHook::current());
        QVERIFY2(KeyboardHook::current()->isHooked(),
                 "the test hook library was not found beside the program");
        QCOMPARE(KeyboardHook::current()->owner(), master->basic());
        QVERIFY(!otherClientCanGrab());

        // Keys still reach the session while it holds the grab.
        QVERIFY(runXdotool({QStringLiteral("key"), QStringLiteral("b")}));
        QTRY_COMPARE(window->keyEvents, 2);
        master->basic()->sendKey(MarkerScanCode, true);
        QCOMPARE(takeUntilMarker(), (QStringList{"down 48", "up 48"}));

        master->setCapturesKeys(false);
        QVERIFY(!KeyboardHook::current());
        QVERIFY(otherClientCanGrab());
        master->setCapturesKeys(true);
        QVERIFY(!otherClientCanGrab());
        delete master.data(); // the session's end lets go as well
        QVERIFY(otherClientCanGrab());
    }

private:
    bool runXdotool(const QStringList& arguments) {
        QProcess process;
        process.start(xdotool, arguments);
        if (!process.waitForFinished(10000) || process.exitCode() != 0) {
            qWarning("xdotool failed: %s", process.readAllStandardError().constData());
            return false;
        }
        return true;
    }

    // Whether another X client could take the keyboard now (it lets go at once).
    static bool otherClientCanGrab() {
        Display* display = XOpenDisplay(nullptr);
        if (!display) {
            return false;
        }
        const int status = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                         GrabModeAsync, CurrentTime);
        if (status == GrabSuccess) {
            XUngrabKeyboard(display, CurrentTime);
        }
        XCloseDisplay(display);
        return status == GrabSuccess;
    }

    QStringList takeUntilMarker() {
        QStringList got;
        for (;;) {
            const auto frame = server->awaitFrame(isKeyboard);
            if (!frame) {
                got << QStringLiteral("nothing");
                return got;
            }
            const QString text = describe(*frame);
            if (text == marker) {
                return got;
            }
            got << text;
        }
    }

    QTemporaryDir settingsDir;
    QString xdotool;
    std::unique_ptr<DisplaySim::Server> server;
    QPointer<RdpMaster> master;
    QPointer<KeyWindow> window;
};

int main(int argc, char** argv) {
    return runTestUnderXvfb<TestRdpBasicX11>(argc, argv);
}

#include "tst_rdpbasic_x11.moc"

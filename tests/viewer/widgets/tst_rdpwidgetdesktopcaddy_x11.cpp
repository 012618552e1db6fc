// The session window on a private X server with no window manager: full screen, entered and left with
// real clicks on the toolbar, covers the screen, and keys typed in it and after it still reach the
// session.
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpWidgetDesktop.h"
#include "viewer/widgets/RdpWidgetDesktopCaddy.h"
#include "viewer/widgets/RdpWidgetToolbar.h"

#include "SimServer.h"
#include "XvfbServer.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/Xlib.h>

#include <cstdio>
#include <memory>

namespace {

// Whether the X server sends the keyboard to `window` now.
bool hasXFocus(WId window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    Window focus = 0;
    int revertTo = 0;
    XGetInputFocus(display, &focus, &revertTo);
    XCloseDisplay(display);
    return focus == Window(window);
}

bool isKeyDown(const DisplaySim::ClientFrame& frame) {
    return frame.channel == 0 && frame.messageId && *frame.messageId == 18;
}

} // namespace

class TestRdpWidgetDesktopCaddyX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false"));
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpwidgetdesktopcaddy_x11"));
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
        xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xdotool.isEmpty())
            QFAIL("xdotool is not installed; the set-up installs it");
    }

    void cleanup() {
        delete master.data();
        server.reset();
    }

    void fullScreenKeepsTheKeyboard_data() {
        QTest::addColumn<bool>("startInFullScreen");
        QTest::newRow("entered from the toolbar") << false;
        QTest::newRow("started in full screen") << true;
    }

    void fullScreenKeepsTheKeyboard() {
        QFETCH(bool, startInFullScreen);
        server = std::make_unique<DisplaySim::Server>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
        master = new RdpMaster({QNetworkRequest(server->url())}, QNetworkProxy(QNetworkProxy::NoProxy),
                               QStringLiteral("tester"), QString(), QStringLiteral("800x600"),
                               QStringLiteral("Session"), startInFullScreen, QStringLiteral("s1"),
                               QStringLiteral("127.0.0.1"));
        QVERIFY(server->awaitMainSequence());
        QTRY_VERIFY(master->connected() &&
                    master->connection()->state() == Protocol::ClientMachine::MainSequence);
        caddy = nullptr;
        for (quint32 id : master->widgetList()->windowIds())
            if (auto* window = qobject_cast<RdpWidgetDesktopCaddy*>(master->widgetList()->widget(id).data()))
                caddy = window;
        QVERIFY(caddy);
        QVERIFY(QTest::qWaitForWindowActive(caddy));
        QVERIFY(caddy->desktop()->hasFocus());
        QTRY_VERIFY(master->focus());
        auto* fullScreenButton =
            caddy->toolbar()->findChild<QPushButton*>(QStringLiteral("FullScreenButton"));
        const QRect screen = QGuiApplication::primaryScreen()->geometry();

        if (!startInFullScreen) {
            QVERIFY(caddy->geometry() != screen);
            QVERIFY(typed(QStringLiteral("a"), 30));
            QVERIFY(clickOnToolbar(fullScreenButton));
        }
        QTRY_VERIFY(caddy->isInFullScreen());
        QTRY_COMPARE(caddy->geometry(), screen);
        QVERIFY(caddy->windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(typed(QStringLiteral("b"), 48));

        QVERIFY(clickOnToolbar(fullScreenButton));
        QTRY_VERIFY(!caddy->isInFullScreen());
        QVERIFY(!fullScreenButton->isChecked());
        QVERIFY(!caddy->windowFlags().testFlag(Qt::FramelessWindowHint));
        QTRY_VERIFY(caddy->geometry() != screen);
        QVERIFY(typed(QStringLiteral("c"), 46));
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

    bool movePointer(QPoint global) {
        return runXdotool(
            {QStringLiteral("mousemove"), QString::number(global.x()), QString::number(global.y())});
    }

    // Clicks `button` as a person does: the pointer goes into the toolbar's visible strip, the toolbar
    // slides in, and the button is clicked.
    bool clickOnToolbar(QPushButton* button) {
        const QRect strip = caddy->toolbarHiddenGeometry();
        if (!movePointer(caddy->mapToGlobal(QPoint(strip.center().x(), strip.bottom() - 1))) ||
            !QTest::qWaitFor(
                [this] { return caddy->toolbar()->geometry() == caddy->toolbarShownGeometry(); }))
            return false;
        return movePointer(button->mapToGlobal(button->rect().center())) &&
               runXdotool({QStringLiteral("click"), QStringLiteral("1")});
    }

    // Types `key` on the X server and waits for its key-down with `scanCode` at the server.
    bool typed(const QString& key, quint16 scanCode) {
        if (!QTest::qWaitFor([this] { return hasXFocus(caddy->winId()); })) {
            qWarning("the session window does not have the keyboard");
            return false;
        }
        if (!runXdotool({QStringLiteral("key"), key}))
            return false;
        for (;;) {
            const auto frame = server->awaitFrame(isKeyDown);
            if (!frame) {
                qWarning("no key-down with scan code %u reached the server", unsigned(scanCode));
                return false;
            }
            DisplaySim::FrameReader fields = frame->fields();
            quint16 code = 0;
            if (fields.u16(code) && code == scanCode)
                return true;
        }
    }

    QTemporaryDir settingsDir;
    QString xdotool;
    std::unique_ptr<DisplaySim::Server> server;
    QPointer<RdpMaster> master;
    QPointer<RdpWidgetDesktopCaddy> caddy;
};

int main(int argc, char** argv) {
    return runTestUnderXvfb<TestRdpWidgetDesktopCaddyX11>(argc, argv);
}

#include "tst_rdpwidgetdesktopcaddy_x11.moc"

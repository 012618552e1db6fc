// Rail windows on a private X server with a window manager: moves made through the window manager reach
// the server, the server's moves and stacking order reach the real windows, and owned windows are kept
// above their owner.
#include "MultiWindowSession.h"

#include "platform/viewer/ViewerPlatform.h"
#include "viewer/widgets/RdpMapping.h"

#include "XvfbServer.h"

#include <QBuffer>
#include <QDialog>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QResizeEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using DisplaySim::WindowUpdate;

namespace {

// The window manager's client list, top to bottom.
QList<quint64> stackingOrder() {
    QList<quint64> order;
    for (ViewerPlatform::NativeWindow w : ViewerPlatform::instance()->topLevelWindows())
        order << quint64(w);
    return order;
}

quint64 handleOf(QWidget* widget) {
    return widget && widget->windowHandle() ? ViewerPlatform::instance()->nativeHandle(widget->windowHandle())
                                            : 0;
}

bool above(quint64 upper, quint64 lower) {
    const QList<quint64> order = stackingOrder();
    const int u = order.indexOf(upper);
    const int l = order.indexOf(lower);
    return u >= 0 && l >= 0 && u < l;
}

bool windowManagerRunning() {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
    bool running = false;
    if (check != None) {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0;
        unsigned long rest = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, DefaultRootWindow(display), check, 0, 1, False, XA_WINDOW, &type,
                               &format, &count, &rest, &data) == Success &&
            data) {
            running = count == 1;
            XFree(data);
        }
    }
    XCloseDisplay(display);
    return running;
}

// Another program restacks `window` through the window manager, as a pager does: directly below
// `sibling`, or on top when there is none. Nothing is activated.
bool restackFromOutside(quint64 window, quint64 sibling) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return false;
    XWindowChanges changes{};
    unsigned int mask = CWStackMode;
    changes.stack_mode = sibling ? Below : Above;
    if (sibling) {
        changes.sibling = Window(sibling);
        mask |= CWSibling;
    }
    const Status sent = XReconfigureWMWindow(display, Window(window), DefaultScreen(display), mask, &changes);
    XSync(display, False);
    XCloseDisplay(display);
    return sent != 0;
}

// Runs a tool as another program would, while the session goes on reading its events.
bool runAlongside(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return false;
    return QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 10000) &&
           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Everything the session sent so far has reached the server once a raise of a window that does not
// exist, sent after it, has.
constexpr quint32 arrivalMarker = 0xFFFFFF01u;

bool reportsArrived(MultiWindowSession& s) {
    s.channel()->sendRaise(arrivalMarker);
    return QTest::qWaitFor([&s] { return s.windows.record().raises.contains(arrivalMarker); }, 10000);
}

// The raises the session reported itself, without the markers of reportsArrived.
QList<quint32> raisesReported(MultiWindowSession& s, int from) {
    QList<quint32> raises = s.windows.record().raises.mid(from);
    raises.removeAll(arrivalMarker);
    return raises;
}

// Three rails side by side, each shown, with their native windows in creation order.
bool showThreeRails(MultiWindowSession& s, quint64& a, quint64& b, quint64& c) {
    for (quint32 id : {1u, 2u, 3u})
        if (!s.update(id, WindowUpdate::created(qint16(50 + 60 * id), 100, 200, 150)) ||
            !QTest::qWaitForWindowExposed(s.rail(id), 10000))
            return false;
    a = handleOf(s.rail(1));
    b = handleOf(s.rail(2));
    c = handleOf(s.rail(3));
    return true;
}

quint64 transientFor(quint64 window) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 0;
    Window owner = 0;
    if (!XGetTransientForHint(display, Window(window), &owner))
        owner = 0;
    XCloseDisplay(display);
    return owner;
}

class ResizeWatch : public QObject {
public:
    QSize largest;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize && qobject_cast<RdpWidgetRail*>(watched))
            largest = largest.expandedTo(static_cast<QResizeEvent*>(event)->size());
        return false;
    }
};

} // namespace

class TestRdpWidgetRailX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false"));
        const QString wm = QStandardPaths::findExecutable(QStringLiteral("icewm"));
        if (wm.isEmpty())
            QFAIL("icewm is not installed; the set-up installs it");
        xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xdotool.isEmpty())
            QFAIL("xdotool is not installed; the set-up installs it");
        // A small window manager that honours restacking below a given sibling.
        windowManager.setProgram(wm);
        QVERIFY(wmConfig.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ICEWM_PRIVCFG"), wmConfig.path());
        windowManager.setProcessEnvironment(env);
        windowManager.start();
        QVERIFY(windowManager.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(windowManagerRunning(), 20000);
    }

    void cleanupTestCase() {
        windowManager.terminate();
        if (!windowManager.waitForFinished(5000)) {
            windowManager.kill();
            windowManager.waitForFinished(5000);
        }
    }

    void windowManagerMovesReachTheServer() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(5, WindowUpdate::created(100, 120, 300, 200).setTitle("moved")));
        RdpWidgetRail* r = s.rail(5);
        QVERIFY(r);
        QVERIFY(QTest::qWaitForWindowExposed(r, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(r->geometry().topLeft(), QPoint(100, 120), 10000);
        s.windows.clearRecord();

        // Moved by another program, through the window manager.
        QVERIFY(QProcess::execute(xdotool, {QStringLiteral("windowmove"), QString::number(handleOf(r)),
                                            QStringLiteral("400"), QStringLiteral("300")}) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(r->geometry().topLeft() != QPoint(100, 120), 10000);
        const QRect landed = mapRectToServer(r->geometry(), true, 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(
            !s.windows.record().moves.isEmpty() && s.windows.record().moves.last().rect == landed, 10000);
        QCOMPARE(s.windows.record().moves.last().window, 5u);
        QCOMPARE(landed.size(), QSize(300, 200));
    }

    void serverMovesTheWindow() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(5, WindowUpdate::created(100, 120, 300, 200)));
        RdpWidgetRail* r = s.rail(5);
        QVERIFY(QTest::qWaitForWindowExposed(r, 10000));
        QVERIFY(s.update(5, WindowUpdate().setPosition(250, 260).setSize(320, 180)));
        QTRY_COMPARE_WITH_TIMEOUT(r->geometry(), QRect(250, 260, 320, 180), 10000);
    }

    void serverStackingOrderReachesTheWindows() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        quint64 a = 0, b = 0, c = 0;
        QVERIFY(showThreeRails(s, a, b, c));
        QTRY_VERIFY_WITH_TIMEOUT(
            stackingOrder().contains(a) && stackingOrder().contains(b) && stackingOrder().contains(c), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(s.rail(3)->isActiveWindow(), 10000);
        QVERIFY(reportsArrived(s));
        const int raisesBefore = s.windows.record().raises.size();
        const int restacksBefore = s.windows.record().restacks.size();

        s.windows.sendZOrder({3, 2, 1}); // bottom to top: 1 on top
        QVERIFY(s.syncPoint());
        QTRY_VERIFY_WITH_TIMEOUT(above(a, b) && above(b, c), 10000);

        s.windows.sendZOrder({1, 2, 3});
        QVERIFY(s.syncPoint());
        QTRY_VERIFY_WITH_TIMEOUT(above(c, b) && above(b, a), 10000);
        QCOMPARE(s.channel()->stacking(), (QList<quint32>{3, 2, 1}));

        s.windows.sendRaise(1);
        QTRY_VERIFY_WITH_TIMEOUT(above(a, c), 10000);

        // None of the server's own moves came back: a local raise after them is the first report.
        QVERIFY(runAlongside(xdotool, {QStringLiteral("windowraise"), QString::number(b)}));
        QTRY_VERIFY_WITH_TIMEOUT(above(b, a), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(s.windows.record().raises.size() > raisesBefore, 10000);
        QVERIFY(reportsArrived(s)); // a late echo would be in by now
        QCOMPARE(raisesReported(s, raisesBefore), QList<quint32>{2});
        QCOMPARE(s.windows.record().restacks.size(), restacksBefore);
    }

    void activatingARailTellsTheServer() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(1, WindowUpdate::created(100, 100, 200, 150)));
        QVERIFY(s.update(2, WindowUpdate::created(500, 100, 200, 150)));
        QVERIFY(QTest::qWaitForWindowExposed(s.rail(1), 10000));
        QVERIFY(QTest::qWaitForWindowExposed(s.rail(2), 10000));
        s.windows.clearRecord();
        QVERIFY(QProcess::execute(
                    xdotool, {QStringLiteral("windowactivate"), QString::number(handleOf(s.rail(1)))}) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(s.windows.record().activations.contains(1u), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(
            s.windows.record().raises.contains(1u) || !s.windows.record().restacks.isEmpty(), 10000);
        QCOMPARE(s.channel()->activeWindow(), 1u);
    }

    // Windows restacked by the user or another program, without being activated, tell the server where
    // they now lie: once per change, and only the window that moved.
    void restackedWithoutActivation() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        quint64 a = 0, b = 0, c = 0;
        QVERIFY(showThreeRails(s, a, b, c));
        s.windows.sendZOrder({1, 2, 3}); // 3 on top
        QVERIFY(s.syncPoint());
        QTRY_VERIFY_WITH_TIMEOUT(above(c, b) && above(b, a), 10000);
        QVERIFY(reportsArrived(s));
        const int raisesBefore = s.windows.record().raises.size();
        const int restacksBefore = s.windows.record().restacks.size();
        const int activationsBefore = s.windows.record().activations.size();
        const auto restacks = [&] {
            QStringList seen;
            for (const auto& r : s.windows.record().restacks.mid(restacksBefore))
                seen << QStringLiteral("%1 below %2").arg(r.window).arg(r.sibling);
            return seen;
        };

        // Raised by a tool, as a user would.
        QVERIFY(runAlongside(xdotool, {QStringLiteral("windowraise"), QString::number(a)}));
        QTRY_VERIFY_WITH_TIMEOUT(above(a, c), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().raises.mid(raisesBefore), QList<quint32>{1}, 10000);

        // Put below another rail by another program.
        QVERIFY(restackFromOutside(a, b));
        QTRY_VERIFY_WITH_TIMEOUT(above(b, a), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(restacks(), QStringList{"1 below 2"}, 10000);
        QVERIFY(restackFromOutside(c, a));
        QTRY_VERIFY_WITH_TIMEOUT(above(a, c), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(restacks(), (QStringList{"1 below 2", "3 below 1"}), 10000);

        // Raised by another program; the reports above were not repeated meanwhile.
        QVERIFY(restackFromOutside(c, 0));
        QTRY_VERIFY_WITH_TIMEOUT(above(c, b), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().raises.mid(raisesBefore), (QList<quint32>{1, 3}), 10000);
        QVERIFY(reportsArrived(s)); // a late repeat would be in by now
        QCOMPARE(raisesReported(s, raisesBefore), (QList<quint32>{1, 3}));
        QCOMPARE(restacks(), (QStringList{"1 below 2", "3 below 1"}));
        QCOMPARE(s.windows.record().activations.size(), activationsBefore);
    }

    // A window of another program between two rails is not the server's: a rail put below it goes below
    // the rail above that window.
    void restackedBelowAnotherProgramsWindow() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        for (quint32 id : {1u, 2u}) {
            QVERIFY(s.update(id, WindowUpdate::created(qint16(100 * id), 100, 200, 150)));
            QVERIFY(QTest::qWaitForWindowExposed(s.rail(id), 10000));
        }
        const quint64 a = handleOf(s.rail(1));
        const quint64 b = handleOf(s.rail(2));
        // Closing the connection takes the window with it.
        const std::unique_ptr<Display, int (*)(Display*)> connection(XOpenDisplay(nullptr), XCloseDisplay);
        Display* other = connection.get();
        QVERIFY(other);
        const Window foreign =
            XCreateSimpleWindow(other, DefaultRootWindow(other), 300, 300, 100, 100, 0, 0, 0);
        XMapWindow(other, foreign);
        XSync(other, False);
        QTRY_VERIFY_WITH_TIMEOUT(stackingOrder().contains(quint64(foreign)), 10000);
        s.windows.sendZOrder({2, 1}); // 1 on top
        QVERIFY(s.syncPoint());
        QTRY_VERIFY_WITH_TIMEOUT(above(a, b), 10000);
        QVERIFY(restackFromOutside(quint64(foreign), b));
        QTRY_VERIFY_WITH_TIMEOUT(above(a, b) && above(b, quint64(foreign)), 10000);
        QVERIFY(reportsArrived(s));
        const int restacksBefore = s.windows.record().restacks.size();
        const int raisesBefore = s.windows.record().raises.size();

        QVERIFY(restackFromOutside(a, quint64(foreign)));
        QTRY_VERIFY_WITH_TIMEOUT(above(quint64(foreign), a), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().restacks.size(), restacksBefore + 1, 10000);
        QVERIFY(reportsArrived(s)); // a late repeat would be in by now
        QCOMPARE(s.windows.record().restacks.size(), restacksBefore + 1);
        QCOMPARE(s.windows.record().restacks.last().window, 1u);
        QCOMPARE(s.windows.record().restacks.last().sibling, 2u);
        QCOMPARE(raisesReported(s, raisesBefore), QList<quint32>{});
    }

    void ownedWindowStaysAboveItsOwner() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(1, WindowUpdate::created(100, 100, 400, 300).setTitle("owner")));
        QVERIFY(s.update(2, WindowUpdate::created(150, 150, 200, 100).setOwner(1).setTitle("owned")));
        QVERIFY(QTest::qWaitForWindowExposed(s.rail(2), 10000));
        const quint64 owner = handleOf(s.rail(1));
        const quint64 owned = handleOf(s.rail(2));
        QTRY_COMPARE_WITH_TIMEOUT(transientFor(owned), owner, 10000);

        QVERIFY(QProcess::execute(xdotool, {QStringLiteral("windowactivate"), QString::number(owner)}) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(s.rail(1)->isActiveWindow(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(above(owned, owner), 10000);
    }

    // Owner ids that close a circle are refused for normal windows too, whose owners are transient
    // parents: a modal window or an application-modal box shown after the circle must not hang.
    void ownerCircleThenModalWindow() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(1, WindowUpdate::created(100, 100, 300, 200).setTitle("one")));
        QVERIFY(s.update(2, WindowUpdate::created(150, 150, 200, 150).setOwner(1).setTitle("two")));
        QVERIFY(s.update(1, WindowUpdate().setOwner(2)));
        QVERIFY(s.update(3, WindowUpdate::created(200, 200, 150, 100).setOwner(1).modal().setTitle("three")));
        QVERIFY(QTest::qWaitForWindowExposed(s.rail(3), 10000));
        QCOMPARE(s.channel()->windows().value(1).owner, 0u);
        QCOMPARE(s.rail(3)->windowModality(), Qt::WindowModal);

        QDialog box;
        box.setWindowModality(Qt::ApplicationModal);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box, 10000));
        box.close();
        QVERIFY(s.syncPoint());
    }

    // A title or icons beyond what one X request holds would break the connection to the X server.
    void titlesAndIconsThatXHolds() {
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        QVERIFY(s.update(1, WindowUpdate::created(100, 100, 300, 200)));
        RdpWidgetRail* r = s.rail(1);
        QVERIFY(QTest::qWaitForWindowExposed(r, 10000));

        QVERIFY(s.update(1, WindowUpdate().setTitle(QString(20 * 1000 * 1000, QLatin1Char('t')))));
        QCOMPARE(r->windowTitle(), QString(VnMultiWindowChannel::MaxTitleLength, QLatin1Char('t')));

        QImage image(1000, 1000, QImage::Format_ARGB32);
        image.fill(Qt::blue);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        QVERIFY(s.update(1, WindowUpdate().setIcons({png, png, png, png, png})));
        qint64 bytes = 0;
        for (const QSize& size : r->windowIcon().availableSizes())
            bytes += qint64(size.width()) * size.height() * 4;
        QVERIFY(bytes > 0);
        QVERIFY2(bytes <= VnMultiWindowChannel::MaxIconBytes, qPrintable(QString::number(bytes)));

        // The X connection still answers.
        QVERIFY(s.update(2, WindowUpdate::created(300, 300, 100, 100).setTitle("after")));
        QVERIFY(QTest::qWaitForWindowExposed(s.rail(2), 10000));
    }

    void railSizeWithinTheDesktop_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("side");
        QTest::newRow("30000 at 1x") << 1.0 << 30000;
        QTest::newRow("40000 at 1x") << 1.0 << 40000;
        QTest::newRow("65535 zoomed out") << 2.0 << 65535;
        QTest::newRow("3000 zoomed in") << 0.5 << 3000;
    }

    void railSizeWithinTheDesktop() {
        QFETCH(double, factor);
        QFETCH(int, side);
        MultiWindowSession s;
        QVERIFY(s.start());
        s.watchRaises();
        s.master->setScalingFactor(factor);
        // Every size the rail takes, also those the window manager corrects later.
        ResizeWatch watch;
        qApp->installEventFilter(&watch);
        QVERIFY(s.update(1, WindowUpdate::created(10, 10, quint16(side), quint16(side))));
        RdpWidgetRail* r = s.rail(1);
        QVERIFY(r);
        QVERIFY(QTest::qWaitForWindowExposed(r, 10000));
        // A later report of the same size is held to the desktop as well.
        QVERIFY(s.update(1, WindowUpdate().setPosition(20, 20).setSize(quint16(side), quint16(side - 1))));
        r->repaint();
        QVERIFY(s.syncPoint());
        qApp->removeEventFilter(&watch);
        const QSize desktop = QGuiApplication::primaryScreen()->virtualSize();
        QVERIFY(watch.largest.isValid());
        QVERIFY2(watch.largest.width() <= desktop.width() && watch.largest.height() <= desktop.height(),
                 qPrintable(QStringLiteral("%1x%2").arg(watch.largest.width()).arg(watch.largest.height())));
    }

private:
    QProcess windowManager;
    QTemporaryDir wmConfig;
    QString xdotool;
};

int main(int argc, char** argv) {
    return runTestUnderXvfb<TestRdpWidgetRailX11>(argc, argv);
}

#include "tst_rdpwidgetrail_x11.moc"

// The 3D mouse: the per-session coalescer, the process's report window, and a session forwarding the
// device to the simulator only while it has the keyboard focus.

#include "../controller/ControllerFixture.h"
#include "SimMagellan.h"
#include "SimServer.h"
#include "platform/magellan/MagellanReportSource.h"
#include "platform/viewer/FakeViewerPlatform.h"
#include "viewer/engine/MagellanMonitor.h"
#include "viewer/engine/MagellanWindow.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnMagellanChannel.h"
#include "viewer/widgets/RdpWidget.h"

#include <QLineEdit>
#include <QSignalSpy>
#include <QtTest>

namespace {

constexpr quint32 kVendor = 0x046D;

// Everything a monitor emits, in order: "move x y z rx ry rz period" or "keys k".
class MonitorLog : public QObject {
public:
    explicit MonitorLog(MagellanMonitor& monitor) {
        connect(&monitor, &MagellanMonitor::gotMove, this,
                [this](short x, short y, short z, short rx, short ry, short rz, ulong period) {
                    lines << QStringLiteral("move %1 %2 %3 %4 %5 %6 %7")
                                 .arg(x)
                                 .arg(y)
                                 .arg(z)
                                 .arg(rx)
                                 .arg(ry)
                                 .arg(rz)
                                 .arg(period);
                });
        connect(&monitor, &MagellanMonitor::gotKeys, this,
                [this](ulong keys) { lines << QStringLiteral("keys %1").arg(keys); });
    }
    QStringList lines;
};

// The timer does not fire by itself within a test: pending motion goes out only when the test says.
constexpr int kLongQuantum = 600000;

void moveX(MagellanMonitor& m, short x, ulong period = 10) {
    m.handleMove(x, 0, 0, 0, 0, 0, period);
}

class RawInputWindow : public MagellanWindow {
public:
    using MagellanWindow::nativeEvent;
};

} // namespace

class TestVnMagellan : public QObject {
    Q_OBJECT
private slots:
    void firstMotionAtOnceTheRestOnTheQuantum() {
        MagellanMonitor monitor;
        QCOMPARE(monitor.interval(), 50);
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        monitor.handleMove(1, 2, 3, 4, 5, 6, 10);
        QCOMPARE(log.lines, QStringList{"move 1 2 3 4 5 6 10"});
        QVERIFY(monitor.isTimerRunning());
        monitor.handleMove(1, 0, 0, 0, 0, -1, 10);
        monitor.handleMove(2, 0, 0, 0, 0, -1, 5);
        QCOMPARE(log.lines.size(), 1);
        monitor.sendValues(); // what the quantum timer does
        QCOMPARE(log.lines, (QStringList{"move 1 2 3 4 5 6 10", "move 3 0 0 0 0 -2 15"}));

        // The real timer.
        MagellanMonitor quick;
        quick.setInterval(20);
        MonitorLog quickLog(quick);
        moveX(quick, 7, 3);
        moveX(quick, 8, 10);
        QCOMPARE(quickLog.lines, QStringList{"move 7 0 0 0 0 0 3"});
        QTRY_COMPARE_WITH_TIMEOUT(quickLog.lines.size(), 2, 10000);
        QCOMPARE(quickLog.lines.at(1), QStringLiteral("move 8 0 0 0 0 0 10"));
        // Nothing pending when the timer fires: the next motion goes out at once again.
        QTRY_VERIFY_WITH_TIMEOUT(!quick.isTimerRunning(), 10000);
        moveX(quick, 9, 1);
        QCOMPARE(quickLog.lines.size(), 3);
    }

    void overflowFlushesFirst_data() {
        QTest::addColumn<QList<int>>("values"); // x values; the first goes out at once
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("9000 pending, then 2000")
            << QList<int>{100, 8900, 2000}
            << QStringList{"move 100 0 0 0 0 0 10", "move 8900 0 0 0 0 0 10", "move 2000 0 0 0 0 0 10"};
        QTest::newRow("negative") << QList<int>{-100, -8900, -2000}
                                  << QStringList{"move -100 0 0 0 0 0 10", "move -8900 0 0 0 0 0 10",
                                                 "move -2000 0 0 0 0 0 10"};
        QTest::newRow("reaching the limit exactly stays pending")
            << QList<int>{100, 8000, 2000} << QStringList{"move 100 0 0 0 0 0 10", "move 10000 0 0 0 0 0 20"};
        QTest::newRow("one value beyond the limit")
            << QList<int>{100, 5, 30000}
            << QStringList{"move 100 0 0 0 0 0 10", "move 5 0 0 0 0 0 10", "move 30000 0 0 0 0 0 10"};
        QTest::newRow("opposite directions cancel")
            << QList<int>{100, 9000, -9000, 5000}
            << QStringList{"move 100 0 0 0 0 0 10", "move 5000 0 0 0 0 0 30"};
    }
    void overflowFlushesFirst() {
        QFETCH(QList<int>, values);
        QFETCH(QStringList, expected);
        MagellanMonitor monitor;
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        for (int x : values) {
            moveX(monitor, short(x));
        }
        monitor.sendValues();
        QCOMPARE(log.lines, expected);
    }

    // The check covers every axis, rotation too.
    void overflowOnRotation() {
        MagellanMonitor monitor;
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        monitor.handleMove(1, 0, 0, 0, 0, 0, 1);
        monitor.handleMove(0, 0, 0, 0, 0, -9500, 1);
        monitor.handleMove(4, 0, 0, 0, 0, -600, 1);
        monitor.sendValues();
        QCOMPARE(log.lines,
                 (QStringList{"move 1 0 0 0 0 0 1", "move 0 0 0 0 0 -9500 1", "move 4 0 0 0 0 -600 1"}));
    }

    void keysFlushPendingMotion() {
        MagellanMonitor monitor;
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        monitor.handleKeys(1); // nothing pending
        moveX(monitor, 1);
        moveX(monitor, 2);
        monitor.handleKeys(5);
        monitor.handleKeys(0); // timer running, nothing pending
        QCOMPARE(log.lines,
                 (QStringList{"keys 1", "move 1 0 0 0 0 0 10", "move 2 0 0 0 0 0 10", "keys 5", "keys 0"}));
    }

    void allZeroMotionIsDropped() {
        MagellanMonitor monitor;
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        monitor.handleMove(0, 0, 0, 0, 0, 0, 500);
        QVERIFY(log.lines.isEmpty());
        QVERIFY(!monitor.isTimerRunning());
        moveX(monitor, 3, 7); // the dropped period is not carried
        QCOMPARE(log.lines, QStringList{"move 3 0 0 0 0 0 7"});
    }

    void disablingFlushes() {
        MagellanMonitor monitor;
        monitor.setInterval(kLongQuantum);
        MonitorLog log(monitor);
        monitor.enable(true);
        moveX(monitor, 1);
        moveX(monitor, 2);
        monitor.enable(false);
        QCOMPARE(log.lines, (QStringList{"move 1 0 0 0 0 0 10", "move 2 0 0 0 0 0 10"}));
        QVERIFY(!monitor.isTimerRunning());
        QVERIFY(!monitor.isEnabled());
    }

    // The process's window turns reports of the accepted vendor into motion and buttons.
    void windowDecodesReports() {
        QTRY_VERIFY_WITH_TIMEOUT(MagellanWindow::instance(), 10000);
        MagellanWindow* window = MagellanWindow::instance();
        QVERIFY(!window->isVisible());
        QSignalSpy moves(window, &MagellanWindow::gotMove);
        QSignalSpy keys(window, &MagellanWindow::gotKeys);
        MagellanReportSource* source = MagellanReportSource::instance();

        source->inject(0x1234, QByteArray::fromHex("01 0100 0200 0300")); // another vendor
        source->inject(kVendor, QByteArray::fromHex("01 0100 0200 03"));  // too short
        source->inject(kVendor, QByteArray::fromHex("03"));               // no button bytes
        QCOMPARE(moves.count(), 0);
        QCOMPARE(keys.count(), 0);

        source->inject(kVendor, QByteArray::fromHex("01 0100 0200 0300"));
        QCOMPARE(moves.count(), 1);
        const QList<QVariant> m = moves.takeFirst();
        QCOMPARE(m.at(0).value<ushort>(), ushort(1));
        QCOMPARE(m.at(1).value<ushort>(), ushort(0xFFFD));
        QCOMPARE(m.at(2).value<ushort>(), ushort(0xFFFE));
        for (int i = 3; i < 6; ++i) {
            QCOMPARE(m.at(i).value<ushort>(), ushort(0));
        }
        source->inject(kVendor, QByteArray::fromHex("03 0600"));
        QCOMPARE(keys.count(), 1);
        QCOMPARE(keys.first().first().value<ulong>(), 6ul);
    }

    // Where the window system delivers raw input, the window registers for it and reads its reports
    // from native events, leaving other devices' events to the default handling.
    void windowReadsRawInput() {
        ViewerPlatform::FakeViewerPlatform platform;
        ViewerPlatform::ScopedPlatform scoped(&platform);
        RawInputWindow window;
        window.create();
        const ViewerPlatform::NativeWindow handle = window.winId();
        QVERIFY2(platform.calls.contains(QStringLiteral("registerMultiAxisInput %1").arg(handle)),
                 qPrintable(platform.calls.join(", ")));
        QVERIFY(!window.isVisible());

        QSignalSpy moves(&window, &MagellanWindow::gotMove);
        platform.rawReports = {{0x1234, QByteArray::fromHex("03 01")},
                               {kVendor, QByteArray::fromHex("02 0100 0200 0300")}};
        long result = -1;
        QVERIFY(!window.nativeEvent("windows_generic_MSG", nullptr, &result));
        QCOMPARE(result, -1L);
        QCOMPARE(moves.count(), 0);
        QVERIFY(window.nativeEvent("windows_generic_MSG", nullptr, &result));
        QCOMPARE(result, 0L);
        QCOMPARE(moves.count(), 1);
        QCOMPARE(moves.first().at(3).value<ushort>(), ushort(1));
        // Not a raw input event at all.
        QVERIFY(!window.nativeEvent("windows_generic_MSG", nullptr, &result));
    }

    // Only the focused session receives the device; its motion and buttons reach the server.
    void sessionForwardsWhileFocused() {
        ControllerTest::PrivateSettings settings;
        DisplaySim::Server sim(ControllerTest::simOptions());
        QVERIFY(sim.listen());
        DisplaySim::MagellanPeer peer(sim);
        auto master = ControllerTest::startMaster(sim);
        QVERIFY(ControllerTest::awaitSessionReady(sim));
        QTRY_VERIFY_WITH_TIMEOUT(MagellanWindow::instance(), 10000);
        const quint8 number = sim.channelNumber(QStringLiteral("magellan"));
        QVERIFY(number != 0);
        std::shared_ptr<VnMagellanChannel> channel;
        QTRY_VERIFY_WITH_TIMEOUT(channel = std::dynamic_pointer_cast<VnMagellanChannel>(
                                     master->connection()->channel(QStringLiteral("magellan"))),
                                 10000);
        QVERIFY(!channel->isReady());
        QCOMPARE(channel->thread(), master->thread());

        sim.sendChannelFrame(number, DisplaySim::MagellanPeer::capabilities());
        QTRY_VERIFY_WITH_TIMEOUT(channel->isReady(), 10000);
        MagellanMonitor* monitor = channel->monitor();
        QVERIFY(monitor);
        QCOMPARE(monitor->interval(), master->mouseQuantum());
        master->setMouseQuantum(kLongQuantum % 500);
        QCOMPARE(monitor->interval(), kLongQuantum % 500);

        // Keyboard focus in another window of the application.
        QLineEdit elsewhere;
        elsewhere.show();
        elsewhere.activateWindow();
        elsewhere.setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(!master->focus(), 10000);
        QVERIFY(!monitor->isEnabled());

        MagellanReportSource* source = MagellanReportSource::instance();
        const QByteArray fullMotion = QByteArray::fromHex("01 0a00 1400 1e00 2800 3200 3c00");
        source->inject(kVendor, fullMotion);
        QVERIFY(peer.noEvents(300));

        QPointer<RdpWidget> desktop = master->widgetList()->widget(1);
        QVERIFY(desktop);
        desktop->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(master->focus(), 10000);
        QVERIFY(monitor->isEnabled());
        source->inject(kVendor, fullMotion);
        source->inject(kVendor, QByteArray::fromHex("03 0300"));
        QVERIFY(peer.awaitEvents(2, 10000));
        const auto events = peer.events();
        QCOMPARE(events.at(0).kind, DisplaySim::MagellanPeer::Event::MoveEvent);
        QCOMPARE(events.at(0).bytes.size(), 18);
        const DisplaySim::MagellanPeer::Move move = events.at(0).move;
        QCOMPARE((QList<int>{move.x, move.y, move.z, move.rx, move.ry, move.rz}),
                 (QList<int>{10, -30, -20, 40, -60, -50}));
        QCOMPARE(events.at(1).kind, DisplaySim::MagellanPeer::Event::KeysEvent);
        QCOMPARE(events.at(1).bytes.size(), 6);
        QCOMPARE(events.at(1).keys, 3u);

        // Focus elsewhere: silent again; back: forwarded again.
        elsewhere.activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(!master->focus(), 10000);
        QVERIFY(!monitor->isEnabled());
        peer.clear();
        source->inject(kVendor, QByteArray::fromHex("03 0100"));
        QVERIFY(peer.noEvents(300));
        desktop->activateWindow();
        QTRY_VERIFY_WITH_TIMEOUT(master->focus(), 10000);
        source->inject(kVendor, QByteArray::fromHex("03 0100"));
        QVERIFY(peer.awaitEvents(1, 10000));
        QCOMPARE(peer.events().at(0).keys, 1u);

        // Any server message but capabilities is a protocol error.
        QSignalSpy finished(master.get(), &RdpMaster::finished);
        sim.sendChannelFrame(number, QByteArray::fromHex("02 00"));
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QCOMPARE(finished.at(0).at(0).toString(), QStringLiteral("Invalid message id"));
        QCOMPARE(finished.at(0).at(1).value<uchar>(), uchar(4));
    }
};

QTEST_MAIN(TestVnMagellan)
#include "tst_vnmagellan.moc"

#include "MultiWindowSession.h"

#include "platform/viewer/FakeViewerPlatform.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidgetDesktop.h"

#include <QScopeGuard>
#include <QSignalSpy>
#include <QWindow>
#include <QtTest>
#include <algorithm>

using DisplaySim::WindowUpdate;
using ViewerPlatform::FakeViewerPlatform;
using ViewerPlatform::NativeWindow;

namespace {

// The window system moves or resizes the window (the user dragged it): the rail sees spontaneous move
// and resize events.
bool userSetsGeometry(QWidget* widget, const QRect& geometry) {
    widget->windowHandle()->setGeometry(geometry);
    return QTest::qWaitFor([&] { return widget->geometry() == geometry; }, 10000);
}

// The user asks the window system to close the window.
void userCloses(QWidget* widget) {
    widget->windowHandle()->close();
}

QImage blockOn(QSize size, QColor background, QRect block, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(background);
    for (int y = block.top(); y <= block.bottom(); ++y)
        for (int x = block.left(); x <= block.right(); ++x)
            image.setPixelColor(x, y, colour);
    return image;
}

} // namespace

class TestRdpWidgetRail : public QObject {
    Q_OBJECT

private slots:
    void paintsItsPartOfTheSurface_data();
    void paintsItsPartOfTheSurface();
    void repaintAreaStartsAtTheSurfaceOrigin_data();
    void repaintAreaStartsAtTheSurfaceOrigin();
    void mouseReachesTheServerInDesktopPixels_data();
    void mouseReachesTheServerInDesktopPixels();
    void chordsReachSettingsAndDisconnectOnly();
    void closeAsksTheServer();
    void closesOnceTheChannelIsGone();
    void windowStateCommands();
    void serverMaximizedKeepsItsGeometryUnapplied();
    void geometryIsDebouncedAndServerHeldBack();
    void geometryDoesNotCreep_data();
    void geometryDoesNotCreep();
    void systemMenuItemsAddedOnce();
    void restackAgainstTheFake_data();
    void restackAgainstTheFake();
    void zOrderRestacksRails();
};

void TestRdpWidgetRail::paintsItsPartOfTheSurface_data() {
    QTest::addColumn<double>("factor");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("0.5x") << 2.0;
    QTest::newRow("2x") << 0.5;
}

void TestRdpWidgetRail::paintsItsPartOfTheSurface() {
    QFETCH(double, factor);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.master->setScalingFactor(factor);
    // Surface 1 is red with a green block at (50, 60); the window shows it from (40, 50) on.
    QVERIFY(s.createSurface(1, QSize(200, 200), Qt::red));
    QVERIFY(s.sendImage(1, blockOn(QSize(40, 40), Qt::red, QRect(10, 10, 20, 20), Qt::green), 40, 50));
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 60, 60).setSurface(1).setOrigin(40, 50)));
    RdpWidgetRail* r = s.rail(5);
    QVERIFY(r);
    QCOMPARE(r->surfaceId(), 1u);

    const QImage shown = r->grab().toImage();
    auto at = [&](int serverX, int serverY) {
        return shown.pixelColor(int((serverX - 40) / factor), int((serverY - 50) / factor));
    };
    QCOMPARE(at(60, 70), QColor(Qt::green));
    QCOMPARE(at(44, 54), QColor(Qt::red));
    QCOMPARE(at(85, 95), QColor(Qt::red));
}

void TestRdpWidgetRail::repaintAreaStartsAtTheSurfaceOrigin_data() {
    QTest::addColumn<double>("factor");
    QTest::addColumn<QRect>("changed");
    QTest::addColumn<QRect>("local"); // what must be repainted at least
    QTest::newRow("1x") << 1.0 << QRect(110, 60, 10, 10) << QRect(10, 10, 10, 10);
    QTest::newRow("0.5x") << 2.0 << QRect(110, 60, 10, 10) << QRect(5, 5, 5, 5);
    QTest::newRow("2x") << 0.5 << QRect(110, 60, 10, 10) << QRect(20, 20, 20, 20);
}

void TestRdpWidgetRail::repaintAreaStartsAtTheSurfaceOrigin() {
    QFETCH(double, factor);
    QFETCH(QRect, changed);
    QFETCH(QRect, local);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.master->setScalingFactor(factor);
    QVERIFY(s.update(5, WindowUpdate::created(300, 300, 100, 100).setSurface(0).setOrigin(100, 50)));
    const QRect area = s.rail(5)->repaintArea(changed);
    QVERIFY2(
        area.contains(local),
        qPrintable(QString("%1,%2 %3x%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height())));
    // Only a small margin around it.
    QVERIFY(local.adjusted(-8, -8, 8, 8).contains(area));
}

void TestRdpWidgetRail::mouseReachesTheServerInDesktopPixels_data() {
    QTest::addColumn<double>("factor");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("0.5x") << 2.0;
}

void TestRdpWidgetRail::mouseReachesTheServerInDesktopPixels() {
    QFETCH(double, factor);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.master->setScalingFactor(factor);
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    const QPoint local(10, 20);
    QTest::mousePress(r, Qt::LeftButton, {}, local);
    const auto press = s.server.awaitFrame(quint8(0), quint8(22));
    QVERIFY(press);
    DisplaySim::FrameReader fields = press->fields();
    quint16 x = 0, y = 0;
    quint8 buttons = 0;
    QVERIFY(fields.u16(x) && fields.u16(y) && fields.u8(buttons));
    // The window's place on the local desktop counts, not just the point inside it.
    QCOMPARE(QPoint(x, y), mapPointToServer(r->mapToGlobal(local), true, factor));
    QCOMPARE(buttons, quint8(1));
    QTest::mouseRelease(r, Qt::LeftButton, {}, local);
}

void TestRdpWidgetRail::chordsReachSettingsAndDisconnectOnly() {
    // Native key codes are turned into scan codes as under X11.
    FakeViewerPlatform fake;
    ViewerPlatform::ScopedPlatform scoped(&fake);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    r->setFocus();
    QSignalSpy options(s.master.get(), &RdpMaster::wantsToShowOptions);
    QSignalSpy quit(s.master.get(), &RdpMaster::wantsToQuit);
    const Qt::KeyboardModifiers chord = Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;

    // Key events with a scan code, as the window system delivers them.
    auto key = [&](QEvent::Type type, int k, Qt::KeyboardModifiers mods, quint32 scan) {
        QKeyEvent e(type, k, mods, scan, 0, 0);
        QCoreApplication::sendEvent(r, &e);
    };
    key(QEvent::KeyPress, Qt::Key_S, chord, 39);
    key(QEvent::KeyRelease, Qt::Key_S, chord, 39);
    QCOMPARE(options.count(), 1);
    key(QEvent::KeyPress, Qt::Key_D, chord, 40);
    key(QEvent::KeyRelease, Qt::Key_D, chord, 40);
    QCOMPARE(quit.count(), 1);
    // Neither chord key reached the server; a plain S does.
    QVERIFY(s.server.noFrame(0, 18, 300));
    key(QEvent::KeyPress, Qt::Key_S, Qt::NoModifier, 39);
    QVERIFY(s.server.awaitFrame(quint8(0), quint8(18)));
    QCOMPARE(options.count(), 1);
}

void TestRdpWidgetRail::closeAsksTheServer() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    userCloses(r);
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().syscommands.size(), 1, 10000);
    QCOMPARE(s.windows.record().syscommands[0].window, 5u);
    QCOMPARE(s.windows.record().syscommands[0].command, quint16(4));
    QVERIFY(r->isVisible());
    // Closing it ourselves (the server deleted it) is not a request.
    QVERIFY(r->close());
}

void TestRdpWidgetRail::closesOnceTheChannelIsGone() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    QPointer<RdpWidgetRail> r = s.rail(5);
    s.server.sendChannelClose(s.windows.number());
    QTRY_VERIFY_WITH_TIMEOUT(!s.channel(), 10000);
    userCloses(r);
    QVERIFY(r);
    QVERIFY(!r->isVisible());
}

void TestRdpWidgetRail::windowStateCommands() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    r->showMinimized();
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().syscommands.size(), 1, 10000);
    r->showNormal();
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().syscommands.size(), 2, 10000);
    r->showMaximized();
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().syscommands.size(), 3, 10000);
    QList<quint16> commands;
    for (const auto& c : s.windows.record().syscommands)
        commands << c.command;
    QCOMPARE(commands, (QList<quint16>{1, 3, 2}));
    QCOMPARE(r->serverShowState(), 2);
}

void TestRdpWidgetRail::serverMaximizedKeepsItsGeometryUnapplied() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    QVERIFY(s.update(5, WindowUpdate().setShowState(2).setPosition(10, 10).setSize(50, 50)));
    QTRY_VERIFY(r->isMaximized());
    QCOMPARE(r->serverGeometry(), QRect(10, 10, 50, 50));
    QVERIFY(r->geometry().size() != QSize(50, 50));
    // Applying the server's own state sends nothing back.
    QVERIFY(s.syncPoint());
    QCOMPARE(s.windows.record().syscommands.size(), 0);
}

void TestRdpWidgetRail::geometryIsDebouncedAndServerHeldBack() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(100, 100, 200, 100)));
    RdpWidgetRail* r = s.rail(5);
    s.windows.clearRecord();

    // A drag: the first step goes out at once, later ones wait for the debounce, the last one arrives.
    QVERIFY(userSetsGeometry(r, QRect(110, 100, 200, 100)));
    QVERIFY(userSetsGeometry(r, QRect(120, 100, 200, 100)));
    QVERIFY(userSetsGeometry(r, QRect(130, 105, 200, 100)));
    QTRY_VERIFY_WITH_TIMEOUT(!s.windows.record().moves.isEmpty(), 10000);
    QCOMPARE(s.windows.record().moves[0].rect, QRect(110, 100, 200, 100));
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().moves.last().rect, QRect(130, 105, 200, 100), 10000);
    const int sent = s.windows.record().moves.size();
    QVERIFY(sent <= 3);

    // The server's report in the hold-off is applied only when it ends (the hold-off is long enough
    // for the report to arrive within it, unless the machine stalls).
    QVERIFY(r->serverStateTimer()->isActive());
    QVERIFY(s.update(5, WindowUpdate().setPosition(300, 200).setSize(200, 100)));
    if (r->serverStateTimer()->isActive())
        QCOMPARE(r->geometry().topLeft(), QPoint(130, 105));
    QTRY_COMPARE_WITH_TIMEOUT(r->geometry().topLeft(), QPoint(300, 200), 10000);
    QVERIFY(!r->serverStateTimer()->isActive());
    // Nothing is echoed back.
    QVERIFY(s.syncPoint());
    QCOMPARE(s.windows.record().moves.size(), sent);
}

void TestRdpWidgetRail::geometryDoesNotCreep_data() {
    QTest::addColumn<double>("factor");
    QTest::addColumn<QRect>("server");
    for (int row = 0; row < int(zoomTable.size()); ++row) {
        QTest::addRow("%s 1024x768", zoomTable[row].label)
            << zoomTable[row].exactFactor << QRect(96, 72, 1024, 768);
        QTest::addRow("%s odd", zoomTable[row].label)
            << zoomTable[row].exactFactor << QRect(97, 73, 1023, 767);
    }
}

void TestRdpWidgetRail::geometryDoesNotCreep() {
    QFETCH(double, factor);
    QFETCH(QRect, server);
    // A desktop that holds the window at every zoom: larger windows are held to the desktop's size.
    setVirtualDesktopGeometrySource([] { return QRect(0, 0, 4096, 4096); });
    const auto restore = qScopeGuard([] { setVirtualDesktopGeometrySource({}); });
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.master->setScalingFactor(factor);
    QVERIFY(s.update(5, WindowUpdate::created(qint16(server.x()), qint16(server.y()), quint16(server.width()),
                                              quint16(server.height()))));
    RdpWidgetRail* r = s.rail(5);
    QCOMPARE(r->localGeometry(), server);
    s.windows.clearRecord();
    // The window system confirms the geometry the rail took: nothing to tell the server.
    QVERIFY(userSetsGeometry(r, r->geometry()));
    QVERIFY(s.syncPoint());
    QCOMPARE(s.windows.record().moves.size(), 0);
    // The same report again leaves the window where it is.
    const QRect local = r->geometry();
    QVERIFY(s.update(5, WindowUpdate()
                            .setPosition(qint16(server.x()), qint16(server.y()))
                            .setSize(quint16(server.width()), quint16(server.height()))));
    QCOMPARE(r->localGeometry(), server);
    QCOMPARE(r->geometry(), local);
}

void TestRdpWidgetRail::systemMenuItemsAddedOnce() {
    FakeViewerPlatform fake;
    ViewerPlatform::ScopedPlatform scoped(&fake);
    RdpWidgetRail r(nullptr, 5, QRect(0, 0, 50, 50), 0);
    r.winId();
    const NativeWindow handle = fake.nativeHandle(r.windowHandle());
    QVERIFY(handle);
    fake.addWindow(handle);
    for (int i = 0; i < 2; ++i) {
        QEvent changed(QEvent::WinIdChange);
        QCoreApplication::sendEvent(&r, &changed);
    }
    const auto menu = fake.window(handle)->systemMenu;
    QCOMPARE(menu.size(), 4);
    QCOMPARE(menu[1], qMakePair(16u, QString("Settings")));
    QCOMPARE(menu[3], qMakePair(17u, QString("Disconnect")));
    QCOMPARE(menu[0].first, 0u);
    QCOMPARE(menu[2].first, 0u);
}

void TestRdpWidgetRail::restackAgainstTheFake_data() {
    QTest::addColumn<QString>("desktop"); // top to bottom; "*" marks a topmost window
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("expected");

    QTest::newRow("reverse") << "1 2 3"
                             << "3 2 1"
                             << "3 2 1";
    QTest::newRow("already in order") << "1 2 3"
                                      << "1 2 3"
                                      << "1 2 3";
    // Windows of other programs between two wanted ones that are already in order stay there.
    QTest::newRow("others stay in place") << "1 9 2 8 3"
                                          << "3 1 2"
                                          << "3 1 9 2 8";
    QTest::newRow("one moves up") << "9 1 2 3"
                                  << "3 1 2"
                                  << "9 3 1 2";
    QTest::newRow("below a topmost band") << "*7 1 2"
                                          << "2 1"
                                          << "*7 2 1";
    QTest::newRow("topmost wanted first") << "*7 1 *2"
                                          << "2 1"
                                          << "*7 *2 1";
    QTest::newRow("wanted window missing") << "1 2"
                                           << "2 5 1"
                                           << "2 1";
    QTest::newRow("nothing wanted") << "1 2"
                                    << ""
                                    << "1 2";
}

void TestRdpWidgetRail::restackAgainstTheFake() {
    QFETCH(QString, desktop);
    QFETCH(QString, wanted);
    QFETCH(QString, expected);
    FakeViewerPlatform fake;
    // New windows open on top: add them bottom first.
    QStringList listed = desktop.split(' ', Qt::SkipEmptyParts);
    std::reverse(listed.begin(), listed.end());
    for (const QString& w : qAsConst(listed))
        fake.addWindow(w.mid(w.startsWith('*') ? 1 : 0).toULongLong(), QString(), w.startsWith('*'));
    QList<NativeWindow> order;
    for (const QString& w : wanted.split(' ', Qt::SkipEmptyParts))
        order << w.toULongLong();
    restackNativeWindows(fake, order);
    QStringList result;
    for (const auto& w : fake.windows)
        result << (w.topmost ? "*" : "") + QString::number(w.handle);
    QCOMPARE(result.join(' '), expected);
    // Moves only, and only of wanted windows.
    for (const QString& call : fake.calls)
        QVERIFY2(!call.startsWith("placeWindow") || order.contains(call.section(' ', 1, 1).toULongLong()),
                 qPrintable(call));
}

void TestRdpWidgetRail::zOrderRestacksRails() {
    FakeViewerPlatform fake;
    ViewerPlatform::ScopedPlatform scoped(&fake);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    for (quint32 id : {1u, 2u, 3u})
        QVERIFY(s.update(id, WindowUpdate::created(qint16(20 * id), 20, 100, 100)));
    // The local desktop lists the rails top to bottom as 1, 2, 3, with another program's window between.
    fake.addWindow(fake.nativeHandle(s.rail(3)->windowHandle()));
    fake.addWindow(fake.nativeHandle(s.rail(2)->windowHandle()));
    fake.addWindow(0x99);
    fake.addWindow(fake.nativeHandle(s.rail(1)->windowHandle()));
    s.windows.clearRecord();

    s.windows.sendZOrder({1, 2, 3}); // bottom to top
    QVERIFY(s.syncPoint());
    QList<NativeWindow> expected{fake.nativeHandle(s.rail(3)->windowHandle()),
                                 fake.nativeHandle(s.rail(2)->windowHandle()),
                                 fake.nativeHandle(s.rail(1)->windowHandle()), 0x99};
    QCOMPARE(fake.stackingOrder(), expected);
    // The restack's own moves are not reported back.
    QCOMPARE(s.windows.record().raises.size(), 0);
    QCOMPARE(s.windows.record().restacks.size(), 0);
}

QTEST_MAIN(TestRdpWidgetRail)
#include "tst_rdpwidgetrail.moc"

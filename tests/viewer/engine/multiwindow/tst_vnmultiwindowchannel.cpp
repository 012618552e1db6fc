#include "MultiWindowSession.h"

#include "viewer/widgets/RdpMapping.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QtTest>

using DisplaySim::WindowUpdate;

Q_DECLARE_METATYPE(DisplaySim::WindowUpdate)

class TestVnMultiWindowChannel : public QObject {
    Q_OBJECT

private slots:
    void opensWithCapabilitiesAndMonitorLayout();
    void monitorLayoutSizes_data();
    void monitorLayoutSizes();
    void desktopMillimetres_data();
    void desktopMillimetres();
    void creationRules_data();
    void creationRules();
    void windowPlacedByWindowManagerReportsWhereItLanded();
    void appliesFieldsOfLaterUpdates();
    void iconsAreDecodedWithinBounds();
    void desktopSyncDeletesUnseenWindows();
    void zOrderBecomesTheStacking();
    void ownerChangesMoveTheChild();
    void childOutlivesItsFormerOwner();
    void deleteDetachesChildren();
    void activationFromTheServer();
    void activationSenders();
    void ownerCirclesAreRefused_data();
    void ownerCirclesAreRefused();
    void windowTableIsCapped();
    void stateAtCreationIsNotSentBack_data();
    void stateAtCreationIsNotSentBack();
};

void TestVnMultiWindowChannel::opensWithCapabilitiesAndMonitorLayout() {
    MultiWindowSession s;
    QVERIFY(s.start());
    QCOMPARE(s.server.record().channelRequests.value(0), QString("multiwindow"));
    QCOMPARE(s.windows.record().capabilities.value(0), QList<QByteArray>{});

    // The server's capabilities are answered with the layout of the local screens.
    s.windows.clearRecord();
    s.windows.sendCapabilities({QByteArray("x")});
    QTRY_VERIFY_WITH_TIMEOUT(!s.windows.record().monitorLayouts.isEmpty(), 10000);
    QList<QRect> expected;
    for (QScreen* screen : QGuiApplication::screens())
        expected << mapRectToServer(screen->availableGeometry(), true, 1.0);
    QCOMPARE(s.windows.record().monitorLayouts.last(), expected);
    QVERIFY(s.windows.record().malformed.isEmpty());
}

void TestVnMultiWindowChannel::monitorLayoutSizes_data() {
    QTest::addColumn<int>("dpi");
    QTest::addColumn<double>("factor");
    QTest::newRow("server dpi: pixels only") << -1 << 1.0;
    QTest::newRow("dpi 96") << 96 << 1.0;
    QTest::newRow("dpi 96 at half size") << 96 << 2.0;
    QTest::newRow("screens' own dpi") << 0 << 1.0;
}

void TestVnMultiWindowChannel::monitorLayoutSizes() {
    QFETCH(int, dpi);
    QFETCH(double, factor);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.master->setScalingFactor(factor);
    s.master->setDpi(dpi);
    s.windows.clearRecord();
    const int settingsBefore = s.server.record().clientSettings.size();
    s.channel()->sendMonitorLayout();
    QTRY_VERIFY_WITH_TIMEOUT(!s.windows.record().monitorLayouts.isEmpty(), 10000);

    QRect bounds;
    int dpiX = 0;
    int dpiY = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        bounds |= mapRectToServer(screen->availableGeometry(), true, factor);
        dpiX = qMax(dpiX, int(screen->physicalDotsPerInchX()));
        dpiY = qMax(dpiY, int(screen->physicalDotsPerInchY()));
    }
    if (dpi > 0)
        dpiX = dpiY = dpi;
    const int width = bounds.right() + 1;
    const int height = bounds.bottom() + 1;
    const QByteArray expected = dpi < 0 ? DisplaySim::Entry::geometry(quint16(width), quint16(height))
                                        : DisplaySim::Entry::geometry(quint16(width), quint16(height),
                                                                      quint32(width * 254 / (dpiX * 10)),
                                                                      quint32(height * 254 / (dpiY * 10)));
    // Layouts sent before the settings changed may still be on their way: the last one counts.
    QTRY_VERIFY_WITH_TIMEOUT(s.server.record().clientSettings.size() > settingsBefore, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(s.server.record().clientSettings.last(), QList<QByteArray>{expected}, 10000);
}

void TestVnMultiWindowChannel::desktopMillimetres_data() {
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<int>("dpiX");
    QTest::addColumn<int>("dpiY");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("96 dpi") << QSize(1920, 1080) << 96 << 96 << QSize(508, 285);
    QTest::newRow("no screen knows its size") << QSize(1920, 1080) << 0 << 0 << QSize(508, 285);
    QTest::newRow("one axis unknown") << QSize(1920, 1080) << 192 << 0 << QSize(254, 285);
    QTest::newRow("empty desktop") << QSize(0, 0) << 96 << 96 << QSize(0, 0);
}

void TestVnMultiWindowChannel::desktopMillimetres() {
    QFETCH(QSize, pixels);
    QFETCH(int, dpiX);
    QFETCH(int, dpiY);
    QFETCH(QSize, expected);
    QCOMPARE(VnMultiWindowChannel::desktopMillimetres(pixels, dpiX, dpiY), expected);
}

void TestVnMultiWindowChannel::creationRules_data() {
    QTest::addColumn<WindowUpdate>("update");
    QTest::addColumn<bool>("created");

    QTest::newRow("kind, state, position and size") << WindowUpdate::created(100, 100, 320, 200) << true;
    QTest::newRow("without its size")
        << WindowUpdate().setWindowFlags(1).setShowState(0).setPosition(100, 100) << false;
    QTest::newRow("without its kind")
        << WindowUpdate().setShowState(0).setPosition(100, 100).setSize(320, 200) << false;
    QTest::newRow("without a place") << WindowUpdate::created(-1, -1, 320, 200) << false;
    QTest::newRow("full update missing a field")
        << WindowUpdate().full().setTitle("t").setPosition(10, 10).setSize(5, 5) << false;
}

void TestVnMultiWindowChannel::creationRules() {
    QFETCH(WindowUpdate, update);
    QFETCH(bool, created);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(7, update));
    QCOMPARE(s.channel()->windows().contains(7), created);
    QCOMPARE(s.rail(7) != nullptr, created);
    // Later fields for a window that was never created change nothing.
    QVERIFY(s.update(7, WindowUpdate().setTitle("late").setIcons({})));
    QCOMPARE(s.rail(7) != nullptr, created);
    if (created) {
        QCOMPARE(s.rail(7)->serverGeometry(), QRect(100, 100, 320, 200));
        QVERIFY(s.rail(7)->isVisible());
    }
}

void TestVnMultiWindowChannel::windowPlacedByWindowManagerReportsWhereItLanded() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.windows.clearRecord();
    QVERIFY(s.update(3, WindowUpdate::created(0, 0, 300, 150).setTitle("placed")));
    RdpWidgetRail* r = s.rail(3);
    QVERIFY(r);
    QCOMPARE(r->size(), QSize(300, 150));
    QTRY_VERIFY_WITH_TIMEOUT(!s.windows.record().moves.isEmpty(), 10000);
    const auto move = s.windows.record().moves.first();
    QCOMPARE(move.window, 3u);
    QCOMPARE(move.rect, mapRectToServer(r->geometry(), true, 1.0));
}

void TestVnMultiWindowChannel::appliesFieldsOfLaterUpdates() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(50, 60, 200, 100).setTitle("first")));
    RdpWidgetRail* r = s.rail(5);
    QVERIFY(r);
    QCOMPARE(r->windowTitle(), QString("first"));

    QVERIFY(s.update(5, WindowUpdate().setTitle("Ünïcode title")));
    QCOMPARE(r->windowTitle(), QString("Ünïcode title"));
    QVERIFY(s.update(5, WindowUpdate().setPosition(70, 80).setSize(210, 110)));
    QCOMPARE(s.channel()->windows().value(5).geometry, QRect(70, 80, 210, 110));
    QTRY_COMPARE(r->geometry(), QRect(70, 80, 210, 110));

    // A full update: absent fields take their defaults.
    QVERIFY(s.update(5, WindowUpdate().full().setPosition(70, 80).setSize(210, 110)));
    QCOMPARE(r->windowTitle(), QString("Window"));
    QCOMPARE(s.channel()->windows().value(5).showState, 0);

    QVERIFY(s.update(5, WindowUpdate().setSurface(0).setOrigin(3, 4)));
    QCOMPARE(r->surfaceOrigin(), QPoint(3, 4));
}

void TestVnMultiWindowChannel::iconsAreDecodedWithinBounds() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(5, WindowUpdate::created(50, 60, 200, 100)));
    auto png = [](QSize size) {
        QImage image(size, QImage::Format_ARGB32);
        image.fill(Qt::red);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    };
    // A PNG header claiming a huge image (its data never decodes) and garbage add nothing.
    QByteArray huge = png(QSize(16, 16));
    huge.replace(16, 8, QByteArray::fromHex("0000fff00000fff0"));
    QVERIFY(s.update(5, WindowUpdate().setIcons({png(QSize(32, 32)), huge, "not a png"})));
    const QIcon icon = s.rail(5)->windowIcon();
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(32, 32)});

    // However many icons an update carries, only the first few are decoded.
    QList<QByteArray> many;
    for (int side = 1; side <= VnMultiWindowChannel::MaxIcons + 4; ++side)
        many << png(QSize(side, side));
    QVERIFY(s.update(5, WindowUpdate().setIcons(many)));
    QCOMPARE(s.rail(5)->windowIcon().availableSizes().size(), VnMultiWindowChannel::MaxIcons);
}

void TestVnMultiWindowChannel::desktopSyncDeletesUnseenWindows() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    for (quint32 id : {1u, 2u, 3u})
        QVERIFY(s.update(id, WindowUpdate::created(qint16(20 * id), 20, 100, 100)));
    QPointer<RdpWidgetRail> gone = s.rail(3);

    s.windows.sendDesktopSync(true);
    s.windows.sendUpdate(1, WindowUpdate().setTitle("a"));
    s.windows.sendUpdate(2, WindowUpdate().setTitle("b"));
    s.windows.sendDesktopSync(false);
    QVERIFY(s.syncPoint());

    QCOMPARE(s.channel()->windows().keys().size(), 2);
    QVERIFY(!s.channel()->windows().contains(3));
    QVERIFY(s.rail(1) && s.rail(2) && !s.rail(3));
    QTRY_VERIFY(gone.isNull());
    QVERIFY(!s.channel()->isSyncing());
}

void TestVnMultiWindowChannel::zOrderBecomesTheStacking() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    for (quint32 id : {10u, 11u, 12u})
        QVERIFY(s.update(id, WindowUpdate::created(qint16(10 * id), 40, 100, 100)));
    s.windows.sendZOrder({10, 99, 11, 12});
    QVERIFY(s.syncPoint());
    QCOMPARE(s.channel()->stacking(), (QList<quint32>{12, 11, 10}));
    QVERIFY(!s.channel()->isRestacking());

    s.windows.sendDelete(11);
    QVERIFY(s.syncPoint());
    QCOMPARE(s.channel()->stacking(), (QList<quint32>{12, 10}));
}

void TestVnMultiWindowChannel::ownerChangesMoveTheChild() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(1, WindowUpdate::created(10, 10, 200, 200)));
    QVERIFY(s.update(2, WindowUpdate::created(300, 10, 200, 200)));
    // A tool window (kind 11) owned by 1 lives inside its owner's rail.
    QVERIFY(s.update(3, WindowUpdate::created(40, 40, 50, 50, 0, Qt::Tool).setOwner(1)));
    const auto& table = s.channel()->windows();
    QCOMPARE(table.value(1).children, QList<quint32>{3});
    QCOMPARE(s.rail(3)->parentWidget(), s.rail(1));

    QVERIFY(s.update(3, WindowUpdate().setOwner(2)));
    QCOMPARE(table.value(1).children, QList<quint32>{});
    QCOMPARE(table.value(2).children, QList<quint32>{3});
    QCOMPARE(table.value(3).owner, 2u);
    QCOMPARE(s.rail(3)->parentWidget(), s.rail(2));
    QVERIFY(s.rail(3)->isVisible());

    QVERIFY(s.update(3, WindowUpdate().setOwner(1)));
    QCOMPARE(table.value(1).children, QList<quint32>{3});
    QCOMPARE(table.value(2).children, QList<quint32>{});
    QCOMPARE(s.rail(3)->parentWidget(), s.rail(1));

    // An owner that the window itself owns would make a circle: it is refused, the window keeps its owner.
    QVERIFY(s.update(6, WindowUpdate::created(45, 45, 20, 20, 0, Qt::Tool).setOwner(3)));
    QCOMPARE(s.rail(6)->parentWidget(), s.rail(3));
    QVERIFY(s.update(3, WindowUpdate().setOwner(6)));
    QCOMPARE(table.value(3).owner, 1u);
    QCOMPARE(s.rail(3)->parentWidget(), s.rail(1));
    QCOMPARE(s.rail(6)->parentWidget(), s.rail(3));
    QCOMPARE(table.value(6).children, QList<quint32>{});

    // A normal window keeps no parent; the window manager keeps it above its owner instead.
    QVERIFY(s.update(4, WindowUpdate::created(60, 60, 50, 50).setOwner(1)));
    QCOMPARE(s.rail(4)->parentWidget(), nullptr);
    QVERIFY(s.rail(4)->windowHandle());
    QCOMPARE(s.rail(4)->windowHandle()->transientParent(), s.rail(1)->windowHandle());
    QCOMPARE(table.value(1).children, (QList<quint32>{3, 4}));
    QCOMPARE(table.value(3).children, QList<quint32>{6});
}

void TestVnMultiWindowChannel::childOutlivesItsFormerOwner() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(1, WindowUpdate::created(10, 10, 200, 200)));
    QVERIFY(s.update(2, WindowUpdate::created(300, 10, 200, 200)));
    QVERIFY(s.update(3, WindowUpdate::created(40, 40, 50, 50, 0, Qt::Tool).setOwner(1)));
    QVERIFY(s.update(3, WindowUpdate().setOwner(2)));
    QPointer<RdpWidgetRail> child = s.rail(3);
    QPointer<RdpWidgetRail> former = s.rail(1);

    s.windows.sendDelete(1);
    QVERIFY(s.syncPoint());
    QTRY_VERIFY(former.isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(child);
    QCOMPARE(s.rail(3), child.data());
}

void TestVnMultiWindowChannel::deleteDetachesChildren() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(1, WindowUpdate::created(10, 10, 200, 200)));
    QVERIFY(s.update(3, WindowUpdate::created(40, 40, 50, 50, 0, Qt::Tool).setOwner(1)));
    QPointer<RdpWidgetRail> child = s.rail(3);
    s.windows.sendDelete(1);
    s.windows.sendDelete(77); // unknown: ignored
    QVERIFY(s.syncPoint());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(child);
    QCOMPARE(child->parentWidget(), nullptr);
    QCOMPARE(s.channel()->windows().value(3).owner, 0u);
    QVERIFY(child->isVisible());
}

void TestVnMultiWindowChannel::activationFromTheServer() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    QVERIFY(s.update(1, WindowUpdate::created(10, 10, 200, 200)));
    QVERIFY(s.update(2, WindowUpdate::created(300, 10, 200, 200)));
    s.windows.sendActivate(2);
    s.windows.sendActivate(55); // unknown: ignored
    QVERIFY(s.syncPoint());
    QCOMPARE(s.channel()->activeWindow(), 2u);
    s.windows.sendDelete(2);
    QVERIFY(s.syncPoint());
    QCOMPARE(s.channel()->activeWindow(), 0u);
}

void TestVnMultiWindowChannel::activationSenders() {
    MultiWindowSession s;
    QVERIFY(s.start());
    VnMultiWindowChannel* c = s.channel();
    s.windows.clearRecord();
    c->sendActivation(4, true);
    QCOMPARE(c->activeWindow(), 4u);
    c->sendActivation(5, false); // another window: the active one stays
    QCOMPARE(c->activeWindow(), 4u);
    c->sendActivation(4, false);
    QCOMPARE(c->activeWindow(), 0u);
    c->setRestacking(true);
    c->sendRaise(4); // the local restack's own moves are not reported
    c->sendRestack(4, 5);
    c->setRestacking(false);
    c->sendRaise(6);
    c->sendRestack(6, 4);
    c->sendSyscommand(6, 2);
    c->sendMove(6, QRect(-8, 5, 100, 50));
    QTRY_COMPARE_WITH_TIMEOUT(s.windows.record().moves.size(), 1, 10000);
    const auto& r = s.windows.record();
    QCOMPARE(r.activations, QList<quint32>{4});
    QCOMPARE(r.deactivations, (QList<quint32>{5, 4}));
    QCOMPARE(r.raises, QList<quint32>{6});
    QCOMPARE(r.restacks.size(), 1);
    QCOMPARE(r.restacks[0].window, 6u);
    QCOMPARE(r.restacks[0].sibling, 4u);
    QCOMPARE(r.syscommands.size(), 1);
    QCOMPARE(r.syscommands[0].command, quint16(2));
    QCOMPARE(r.moves[0].rect, QRect(-8, 5, 100, 50));
}

void TestVnMultiWindowChannel::ownerCirclesAreRefused_data() {
    QTest::addColumn<quint32>("kind");
    QTest::newRow("normal") << quint32(Qt::Window);
    QTest::newRow("dialog") << quint32(Qt::Dialog);
    QTest::newRow("tool") << quint32(Qt::Tool);
}

void TestVnMultiWindowChannel::ownerCirclesAreRefused() {
    QFETCH(quint32, kind);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    const auto& table = s.channel()->windows();
    QVERIFY(s.update(1, WindowUpdate::created(10, 10, 200, 200, 0, kind)));
    QVERIFY(s.update(2, WindowUpdate::created(40, 40, 100, 100, 0, kind).setOwner(1)));
    // Through the owner field of an update, of itself, and of a window created owned by its own child.
    QVERIFY(s.update(1, WindowUpdate().setOwner(2)));
    QVERIFY(s.update(2, WindowUpdate().setOwner(2)));
    QVERIFY(s.update(7, WindowUpdate::created(60, 60, 50, 50, 0, kind).setOwner(7)));
    QCOMPARE(table.value(1).owner, 0u);
    QCOMPARE(table.value(2).owner, 1u);
    QCOMPARE(table.value(7).owner, 0u);
    QCOMPARE(table.value(1).children, QList<quint32>{2});
    QCOMPARE(table.value(2).children, QList<quint32>{});
    // A window that names a not yet known owner, which is then created owned by it.
    QVERIFY(s.update(8, WindowUpdate::created(70, 70, 50, 50, 0, kind).setOwner(9)));
    QVERIFY(s.update(9, WindowUpdate::created(80, 80, 50, 50, 0, kind).setOwner(8)));
    QCOMPARE(table.value(9).owner, 0u);
    QCOMPARE(table.value(8).owner, 9u);
}

void TestVnMultiWindowChannel::windowTableIsCapped() {
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    const quint32 cap = VnMultiWindowChannel::MaxWindows;
    for (quint32 id = 1; id <= cap + 1; ++id)
        s.windows.sendUpdate(id, WindowUpdate::created(qint16(id % 100), qint16(id / 4), 8, 8));
    QVERIFY(s.syncPoint());
    QCOMPARE(quint32(s.channel()->windows().size()), cap);
    QVERIFY(s.rail(cap));
    QVERIFY(!s.rail(cap + 1));
    // Room again once the server deletes one.
    s.windows.sendDelete(1);
    QVERIFY(s.update(cap + 2, WindowUpdate::created(5, 5, 8, 8)));
    QVERIFY(s.rail(cap + 2));
    QCOMPARE(quint32(s.channel()->windows().size()), cap);
}

void TestVnMultiWindowChannel::stateAtCreationIsNotSentBack_data() {
    QTest::addColumn<int>("showState");
    QTest::newRow("minimized") << 1;
    QTest::newRow("maximized") << 2;
}

void TestVnMultiWindowChannel::stateAtCreationIsNotSentBack() {
    QFETCH(int, showState);
    MultiWindowSession s;
    QVERIFY(s.start());
    s.watchRaises();
    s.windows.clearRecord();
    QVERIFY(s.update(4, WindowUpdate::created(30, 30, 300, 200, quint8(showState)).setTitle("made so")));
    QVERIFY(s.rail(4));
    QCOMPARE(s.rail(4)->serverShowState(), showState);
    // Anything the creation sent reached the server before this raise does.
    s.channel()->sendRaise(99);
    QTRY_VERIFY_WITH_TIMEOUT(s.windows.record().raises.contains(99u), 10000);
    QCOMPARE(s.windows.record().syscommands.size(), 0);
}

QTEST_MAIN(TestVnMultiWindowChannel)
#include "tst_vnmultiwindowchannel.moc"

#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ScreenShotCache.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using HttpsPeer::Server;
using HttpsPeer::SessionRoutes;

namespace {

constexpr int wait = 10000;
const QString logPrefix = QStringLiteral("Failed to get a screen shot for session ");

struct WebPeer {
    Server server;
    SessionRoutes routes{server};
    QSharedPointer<RpcInstance> rpc;

    bool start() {
        if (!server.start(Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        return true;
    }
    QStringList failureLines() const { return rpc->log().filter(logPrefix); }
};

QStringList ids(int count) {
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(QStringLiteral("s%1").arg(i));
    return list;
}

// Loads that are out at the same time reach the server in any order.
QStringList sorted(QStringList list) {
    list.sort();
    return list;
}

} // namespace

class TestScreenShotCache : public QObject {
    Q_OBJECT
private slots:
    void pacing();
    void answersLetTheNextStart();
    void loadsThatNeverAnswer();
    void onePicturePerSession();
    void failuresKeepTheOldPicture_data();
    void failuresKeepTheOldPicture();
    void refreshAfterTheAge();
    void removedWhileOutstanding();
    void clearKeepsCountingOutstandingLoads();
    void scrollingThroughThousandsKeepsTheLastCards();
};

void TestScreenShotCache::pacing() {
    WebPeer peer;
    QVERIFY(peer.start());
    for (const QString& id : ids(10))
        peer.routes.setShot(id, SessionRoutes::NoAnswer);
    ScreenShotLoader loader(peer.rpc);
    loader.pacingTimer()->setInterval(60000);
    for (const QString& id : ids(10))
        loader.request(id);
    // One at once; the rest wait for the pacing timer.
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.screenshotRequests(), QStringList{"s0"}, wait);
    QTest::qWait(500);
    QCOMPARE(peer.routes.screenshotRequests().size(), 1);

    // Repeats of a loading or waiting id add nothing; a cancelled one leaves the queue.
    loader.request("s0");
    loader.request("s5");
    QCOMPARE(loader.queue(), ids(10).mid(1));
    loader.cancel("s5");
    QVERIFY(!loader.queue().contains("s5"));

    // Then one per pacing interval until four are outstanding, and no more.
    loader.pacingTimer()->setInterval(50);
    QTRY_COMPARE_WITH_TIMEOUT(sorted(peer.routes.screenshotRequests()), (QStringList{"s0", "s1", "s2", "s3"}),
                              wait);
    QTest::qWait(500);
    QCOMPARE(peer.routes.screenshotRequests().size(), 4);
    QCOMPARE(loader.inFlight().size(), 4);
}

void TestScreenShotCache::answersLetTheNextStart() {
    WebPeer peer;
    QVERIFY(peer.start());
    for (const QString& id : ids(10))
        peer.routes.setShot(id, SessionRoutes::Labelled, 150);
    ScreenShotLoader loader(peer.rpc);
    loader.pacingTimer()->setInterval(20);
    int mostInFlight = 0;
    connect(&peer.server, &Server::requestReceived, this,
            [&] { mostInFlight = qMax(mostInFlight, loader.inFlight().size()); });
    QSignalSpy succeeded(&loader, &ScreenShotLoader::succeeded);
    for (const QString& id : ids(10))
        loader.request(id);
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size(), 10, wait);
    QCOMPARE(sorted(peer.routes.screenshotRequests()), ids(10));
    QVERIFY(mostInFlight <= ScreenShotLoader::maxInFlight);
    for (const QList<QVariant>& answer : succeeded)
        QCOMPARE(SessionRoutes::labelOf(answer.at(1).value<QImage>()), answer.at(0).toString());
    QVERIFY(loader.inFlight().isEmpty());
}

void TestScreenShotCache::loadsThatNeverAnswer() {
    WebPeer peer;
    QVERIFY(peer.start());
    for (const QString& id : ids(6))
        peer.routes.setShot(id, SessionRoutes::NoAnswer);
    ScreenShotLoader loader(peer.rpc);
    loader.pacingTimer()->setInterval(20);
    loader.setAnswerTimeout(300);
    QSignalSpy failed(&loader, &ScreenShotLoader::failed);
    QSignalSpy succeeded(&loader, &ScreenShotLoader::succeeded);
    for (const QString& id : ids(6))
        loader.request(id);
    // Silent loads give their places up, so all six reach the server.
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 6, wait);
    QCOMPARE(sorted(peer.routes.screenshotRequests()), ids(6));
    QCOMPARE(peer.failureLines().size(), 6);
    QCOMPARE(peer.failureLines().at(0), logPrefix + QStringLiteral("s0: no answer"));
    QVERIFY(loader.inFlight().isEmpty());
    QCOMPARE(succeeded.size(), 0);
}

void TestScreenShotCache::onePicturePerSession() {
    WebPeer peer;
    QVERIFY(peer.start());
    ScreenShotCache cache(peer.rpc);
    QSignalSpy updated(&cache, &ScreenShotCache::updatedScreenShot);
    QVERIFY(cache.screenShot("a").isNull());
    QVERIFY(cache.screenShot("a").isNull());
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);
    QCOMPARE(updated.at(0).at(0).toString(), QStringLiteral("a"));
    QCOMPARE(peer.routes.screenshotRequests(), QStringList{"a"});
    // Kept at card size, not as sent.
    QCOMPARE(cache.screenShot("a").size(), ScreenShotLoader::requestSize);
    QVERIFY(peer.failureLines().isEmpty());
}

void TestScreenShotCache::failuresKeepTheOldPicture_data() {
    QTest::addColumn<int>("shot");
    QTest::addColumn<QString>("message");
    QTest::newRow("not found") << int(SessionRoutes::Missing) << "Not Found";
    QTest::newRow("not an image") << int(SessionRoutes::NotAnImage) << "the answer is no readable picture";
    QTest::newRow("huge declared size") << int(SessionRoutes::Huge) << "the answer is no readable picture";
}

void TestScreenShotCache::failuresKeepTheOldPicture() {
    QFETCH(int, shot);
    QFETCH(QString, message);
    WebPeer peer;
    QVERIFY(peer.start());
    ScreenShotCache cache(peer.rpc);
    cache.refreshTimer()->setInterval(50);
    QSignalSpy updated(&cache, &ScreenShotCache::updatedScreenShot);
    cache.screenShot("a");
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);
    const QImage first = cache.screenShot("a");

    peer.routes.setShot("a", SessionRoutes::Shot(shot));
    cache.setRefreshAge(0);
    QTRY_VERIFY_WITH_TIMEOUT(!peer.failureLines().isEmpty(), wait);
    cache.setRefreshAge(60000);
    QCOMPARE(peer.failureLines().at(0), logPrefix + QStringLiteral("a: ") + message);
    QCOMPARE(cache.screenShot("a"), first);
    QCOMPARE(updated.size(), 1);
    // The failure counts as an answer: no new try before the age has passed again.
    QTRY_VERIFY_WITH_TIMEOUT(cache.loader()->inFlight().isEmpty() && cache.loader()->queue().isEmpty(), wait);
    const int lines = peer.failureLines().size();
    QTest::qWait(300);
    QCOMPARE(peer.failureLines().size(), lines);
}

void TestScreenShotCache::refreshAfterTheAge() {
    WebPeer peer;
    QVERIFY(peer.start());
    ScreenShotCache cache(peer.rpc);
    cache.refreshTimer()->setInterval(50);
    QSignalSpy updated(&cache, &ScreenShotCache::updatedScreenShot);
    cache.screenShot("a");
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);

    // Old enough: asked again on a tick; while that load is out, later ticks add nothing.
    peer.routes.setShot("a", SessionRoutes::Labelled, 1000);
    cache.setRefreshAge(200);
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.screenshotRequests().size(), 2, wait);
    QTest::qWait(500);
    QCOMPARE(peer.routes.screenshotRequests().size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 2, wait);
}

void TestScreenShotCache::removedWhileOutstanding() {
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setShot("a", SessionRoutes::Labelled, 300);
    ScreenShotCache cache(peer.rpc);
    QSignalSpy updated(&cache, &ScreenShotCache::updatedScreenShot);
    QSignalSpy answered(cache.loader(), &ScreenShotLoader::succeeded);
    cache.screenShot("a");
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.screenshotRequests().size(), 1, wait);
    cache.remove("a");
    QTRY_COMPARE_WITH_TIMEOUT(answered.size(), 1, wait);
    QCOMPARE(updated.size(), 0);
    QVERIFY(!cache.contains("a"));
}

void TestScreenShotCache::clearKeepsCountingOutstandingLoads() {
    WebPeer peer;
    QVERIFY(peer.start());
    for (const QString& id : ids(6))
        peer.routes.setShot(id, SessionRoutes::NoAnswer);
    ScreenShotCache cache(peer.rpc);
    cache.loader()->pacingTimer()->setInterval(20);
    for (const QString& id : ids(5))
        cache.screenShot(id);
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.screenshotRequests().size(), 4, wait);
    cache.clear();
    QVERIFY(!cache.contains("s0"));
    cache.screenShot("s5");
    QTest::qWait(500);
    QCOMPARE(peer.routes.screenshotRequests().size(), 4);
    QCOMPARE(cache.loader()->inFlight().size(), 4);
}

void TestScreenShotCache::scrollingThroughThousandsKeepsTheLastCards() {
    WebPeer peer;
    QVERIFY(peer.start());
    const QStringList all = ids(2000);
    for (const QString& id : all)
        peer.routes.setShot(id, SessionRoutes::NoAnswer);
    ScreenShotCache cache(peer.rpc);
    cache.loader()->pacingTimer()->setInterval(60000);
    // Every card painted once, in order, as a fast scroll through the grid does.
    for (const QString& id : all)
        cache.screenShot(id);
    QCOMPARE(cache.size(), ScreenShotCache::maxEntries);
    QVERIFY(!cache.contains(all.first()));
    for (const QString& id : all.mid(all.size() - ScreenShotCache::maxEntries))
        QVERIFY(cache.contains(id));
    // Only cards still held wait for their picture.
    QStringList queue = cache.loader()->queue();
    QVERIFY(queue.size() <= ScreenShotCache::maxEntries);
    for (const QString& id : queue)
        QVERIFY(cache.contains(id));
    // The scroll stops: the cards on screen, painted again, load before those scrolled past.
    QTest::qWait(2 * ScreenShotCache::paintPassGap);
    const QStringList screen = all.mid(1900, 40);
    for (const QString& id : screen)
        cache.screenShot(id);
    queue = cache.loader()->queue();
    QCOMPARE(sorted(queue.mid(0, screen.size())), sorted(screen));
}

QTEST_MAIN(TestScreenShotCache)
#include "tst_screenshot_cache.moc"

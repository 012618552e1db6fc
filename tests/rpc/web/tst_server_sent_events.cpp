#include "HttpsServer.h"
#include "LogCapture.h"
#include "rpc/ServerSentEvents.h"

#include <QJsonArray>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(HttpsPeer::Response)

using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

const QString streamPath = QStringLiteral("/sse/my-sessions");
constexpr int wait = 10000;

QUrl streamUrl(const Server& server) {
    QUrl url = server.url();
    url.setPath(streamPath);
    return url;
}

} // namespace

class TestServerSentEvents : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void eventsArriveWithTheRequestHeaders();
    void chunksSplitAnywhere();
    void refusedResponses_data();
    void refusedResponses();
    void retryFieldSetsTheDelay_data();
    void retryFieldSetsTheDelay();
    void threeQuickReopensThenTheLongDelay();
    void acceptThenCloseBacksOff();
    void onlyAStreamThatStaysUpResetsTheCount();
    void floodIsHandledInBoundedPasses();
    void closeStopsAPendingReopen();
    void certificates();
    void tokenNeverFollowsARedirectToAnotherServer_data();
    void tokenNeverFollowsARedirectToAnotherServer();
};

void TestServerSentEvents::initTestCase() {
    qRegisterMetaType<QNetworkReply*>();
    qRegisterMetaType<QList<QSslError>>();
}

void TestServerSentEvents::eventsArriveWithTheRequestHeaders() {
    Server server;
    QVERIFY2(server.start(Server::Http), qPrintable(server.error()));
    ServerSentEvents events(false, nullptr);
    QSignalSpy received(&events, &ServerSentEvents::received);
    QSignalSpy reconnected(&events, &ServerSentEvents::reconnected);
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QTRY_COMPARE_WITH_TIMEOUT(reconnected.size(), 1, wait);

    server.pushEvent(QStringLiteral("update"), QJsonObject{{QStringLiteral("id"), QStringLiteral("s1")}});
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 1, wait);
    const QJsonObject event = received.at(0).at(0).toJsonObject();
    QCOMPARE(event.value("type").toString(), QStringLiteral("update"));
    QCOMPARE(event.value("data").toString(), QStringLiteral("{\"id\":\"s1\"}"));
    QVERIFY(!event.contains("lastEventId"));

    const HttpsPeer::Request request = server.requests(streamPath).at(0);
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.header("Accept"), QByteArray("text/event-stream"));
    QCOMPARE(request.header("X-VELNOR-TOKEN"), server.token());
    QVERIFY(!request.headers.contains("last-event-id"));
}

void TestServerSentEvents::chunksSplitAnywhere() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.setToken(QByteArray());
    server.script("GET", streamPath,
                  Response::stream({"event: upd", "ate\r", "\ndata: {\"id\":\"\xc3", "\xa9\"}\r\n\r", "\n",
                                    "data: second\n", "\n"}));
    ServerSentEvents events(false, nullptr);
    QSignalSpy received(&events, &ServerSentEvents::received);
    events.open(streamUrl(server), QString());
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 2, wait);
    QCOMPARE(received.at(0).at(0).toJsonObject(),
             (QJsonObject{{"type", "update"}, {"data", QString::fromUtf8("{\"id\":\"\xc3\xa9\"}")}}));
    QCOMPARE(received.at(1).at(0).toJsonObject(), (QJsonObject{{"type", "message"}, {"data", "second"}}));
    QVERIFY(!server.requests(streamPath).at(0).headers.contains("x-velnor-token"));
}

void TestServerSentEvents::refusedResponses_data() {
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("failure");
    QTest::newRow("204 without a body") << Response::withStatus(204) << QString();
    QTest::newRow("content type with a parameter")
        << Response::stream({"data: a\n\n"}, false, "text/event-stream; charset=utf-8")
        << QStringLiteral("invalid content type text/event-stream; charset=utf-8");
    QTest::newRow("no content type") << Response::stream({"data: a\n\n"}, false, QByteArray())
                                     << QStringLiteral("invalid content type ");
    QTest::newRow("JSON instead") << Response::json(QJsonObject{{"result", 1}})
                                  << QStringLiteral("invalid content type application/json");
    QTest::newRow("403 in plain text")
        << Response::raw("no", "text/plain", 403) << QStringLiteral("invalid content type text/plain");
}

void TestServerSentEvents::refusedResponses() {
    QFETCH(Response, response);
    QFETCH(QString, failure);
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("GET", streamPath, response);
    ServerSentEvents events(false, nullptr);
    QSignalSpy closed(&events, &ServerSentEvents::closed);
    QSignalSpy failed(&events, &ServerSentEvents::failed);
    QSignalSpy received(&events, &ServerSentEvents::received);
    QSignalSpy reconnected(&events, &ServerSentEvents::reconnected);
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, wait);
    QVERIFY(events.isClosed());
    QCOMPARE(failed.size(), failure.isEmpty() ? 0 : 1);
    if (!failure.isEmpty())
        QCOMPARE(failed.at(0).at(0).toString(), failure);
    // Give a wrongly scheduled reopen the chance to show.
    QTest::qWait(200);
    QCOMPARE(events.pendingReopenDelay(), -1);
    QCOMPARE(server.requests(streamPath).size(), 1);
    QCOMPARE(received.size(), 0);
    QCOMPARE(reconnected.size(), 0);
}

void TestServerSentEvents::retryFieldSetsTheDelay_data() {
    QTest::addColumn<int>("retry");
    QTest::addColumn<int>("delay");
    QTest::newRow("longer than the shortest wait") << 4500 << 4500;
    QTest::newRow("shorter: the shortest wait") << 2500 << ServerSentEvents::defaultMinimumRetryDelay;
}

void TestServerSentEvents::retryFieldSetsTheDelay() {
    QFETCH(int, retry);
    QFETCH(int, delay);
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("GET", streamPath,
                  Response::stream({"retry: " + QByteArray::number(retry) + "\n", "retry: soon\n\n"}, true));
    ServerSentEvents events(false, nullptr);
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_VERIFY_WITH_TIMEOUT(events.pendingReopenDelay() >= 0, wait);
    QCOMPARE(events.retryDelay(), retry);
    QCOMPARE(events.pendingReopenDelay(), delay);
    QCOMPARE(events.retryCount(), 1);
    events.close();
}

// Connections that fail are retried three times at the server's delay (0 by default), then at the
// long delay, each time with one critical line.
void TestServerSentEvents::threeQuickReopensThenTheLongDelay() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.route("GET", streamPath, [](const HttpsPeer::Request&) { return Response::drop(); });
    LogCapture log("velnor.rpc");
    ServerSentEvents events(false, nullptr);
    events.setLongRetryDelay(3600 * 1000);
    events.setMinimumRetryDelay(0);
    QSignalSpy closed(&events, &ServerSentEvents::closed);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(events.pendingReopenDelay(), 3600 * 1000, wait);
    QCOMPARE(log.count(QStringLiteral("open:")), 4);
    QCOMPARE(events.retryCount(), 3);

    // The long wait over, the next failure waits as long again and the count stays at 3.
    events.setLongRetryDelay(50);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_VERIFY_WITH_TIMEOUT(log.count(QStringLiteral("open:")) >= 7, wait);
    events.close();
    QCOMPARE(events.retryCount(), 3);
    QCOMPARE(closed.size(), 1);
}

void TestServerSentEvents::closeStopsAPendingReopen() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("GET", streamPath, Response::stream({"retry: 100\n\n"}, true));
    ServerSentEvents events(false, nullptr);
    QSignalSpy closed(&events, &ServerSentEvents::closed);
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(events.pendingReopenDelay(), ServerSentEvents::defaultMinimumRetryDelay, wait);
    events.close();
    QCOMPARE(closed.size(), 1);
    QCOMPARE(events.pendingReopenDelay(), -1);
    QTest::qWait(400);
    QCOMPARE(server.requests(streamPath).size(), 1);

    // Closing an open stream: its end schedules nothing.
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    events.close();
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 0, wait);
    QTest::qWait(200);
    QCOMPARE(events.pendingReopenDelay(), -1);
    QCOMPARE(server.requests(streamPath).size(), 2);
}

// A server (or a proxy) that accepts the stream and closes it at once: each reopen waits the
// shortest wait at least, and the accepted responses do not reset the count, so the long delay comes.
void TestServerSentEvents::acceptThenCloseBacksOff() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.route("GET", streamPath, [](const HttpsPeer::Request&) { return Response::stream({}, true); });
    ServerSentEvents events(false, nullptr);
    events.setLongRetryDelay(3600 * 1000);
    QSignalSpy reconnected(&events, &ServerSentEvents::reconnected);
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_VERIFY_WITH_TIMEOUT(events.pendingReopenDelay() >= 0, wait);
    QCOMPARE(reconnected.size(), 1);
    QCOMPARE(events.pendingReopenDelay(), ServerSentEvents::defaultMinimumRetryDelay);

    events.setMinimumRetryDelay(20);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(events.pendingReopenDelay(), 3600 * 1000, wait);
    QCOMPARE(events.retryCount(), 3);
    QCOMPARE(server.requests(streamPath).size(), 4);
    events.close();
}

// A stream that sends one event and closes still backs off: the event does not reset the reopen
// count. A stream that stays up for the stable time does, so its end is followed by quick reopens
// again, not by the long delay.
void TestServerSentEvents::onlyAStreamThatStaysUpResetsTheCount() {
    Server server;
    QVERIFY(server.start(Server::Http));
    int served = 0;
    server.route("GET", streamPath, [&served](const HttpsPeer::Request&) {
        ++served;
        const QByteArray event = "data: " + QByteArray::number(served) + "\n\n";
        // The first four send their event and close; the fifth stays up; later ones stay up quietly.
        if (served <= 4)
            return Response::stream({event}, true);
        return Response::stream(served == 5 ? QList<QByteArray>{event} : QList<QByteArray>{});
    });
    LogCapture log("velnor.rpc");
    ServerSentEvents events(false, nullptr);
    events.setMinimumRetryDelay(20);
    events.setLongRetryDelay(100);
    events.setStableStreamTime(200);
    QSignalSpy received(&events, &ServerSentEvents::received);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    events.open(streamUrl(server), QString::fromUtf8(server.token()));

    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 5, wait);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QCOMPARE(served, 5);
    QCOMPARE(received.at(3).at(0).toJsonObject().value("data").toString(), QStringLiteral("4"));
    // Three quick reopens, then one after the long delay.
    QCOMPARE(log.count(QStringLiteral("Failed to connect")), 1);
    QCOMPARE(events.retryCount(), 3);

    QTest::qWait(300); // longer than the stable time
    server.endStreams();
    QTRY_COMPARE_WITH_TIMEOUT(served, 6, wait);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QCOMPARE(events.retryCount(), 1);
    QCOMPARE(log.count(QStringLiteral("Failed to connect")), 1);
    events.close();
}

// A stream that sends faster than its events are handled: the events come a bounded number per
// pass of the event loop, so the loop keeps turning, and none is lost.
void TestServerSentEvents::floodIsHandledInBoundedPasses() {
    Server server;
    QVERIFY(server.start(Server::Http));
    ServerSentEvents events(false, nullptr);
    int sincePass = 0;
    int mostPerPass = 0;
    int count = 0;
    bool inOrder = true;
    connect(&events, &ServerSentEvents::received, this, [&](const QJsonObject& event) {
        inOrder = inOrder && event.value("data").toString() == QString::number(count);
        ++count;
        mostPerPass = qMax(mostPerPass, ++sincePass);
    });
    QTimer pass;
    pass.setInterval(0);
    connect(&pass, &QTimer::timeout, this, [&] { sincePass = 0; });
    pass.start();
    events.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);

    constexpr int total = 50000;
    QByteArray flood;
    for (int i = 0; i < total; ++i)
        flood += "data: " + QByteArray::number(i) + "\n\n";
    server.pushToStreams(flood);
    QTRY_COMPARE_WITH_TIMEOUT(count, total, 60000);
    QVERIFY(inOrder);
    QVERIFY2(mostPerPass <= 2 * ServerSentEvents::eventsPerPass, qPrintable(QString::number(mostPerPass)));
    events.close();
}

// A stream accepts what its connection accepted: the same certificate with the same errors, not
// another one.
void TestServerSentEvents::certificates() {
    Server server;
    QVERIFY2(server.start(Server::Https), qPrintable(server.error()));

    // Untrusted and not accepted: the stream fails and tries again.
    ServerSentEvents refusing(false, nullptr);
    refusing.setLongRetryDelay(3600 * 1000);
    QSignalSpy sslErrors(&refusing, &ServerSentEvents::sslErrors);
    QSignalSpy refusingReconnected(&refusing, &ServerSentEvents::reconnected);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    refusing.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(refusing.pendingReopenDelay(), 3600 * 1000, wait);
    QVERIFY(!sslErrors.isEmpty());
    QCOMPARE(refusingReconnected.size(), 0);
    QCOMPARE(server.requests(streamPath).size(), 0);
    refusing.close();
    const QList<QSslError> errors = sslErrors.at(0).at(1).value<QList<QSslError>>();
    QVERIFY(!errors.isEmpty());

    QSharedPointer<CertificateTrust> trust(new CertificateTrust);
    trust->accept(errors);
    ServerSentEvents pinned(false, nullptr);
    pinned.setCertificateTrust(trust);
    QSignalSpy pinnedReconnected(&pinned, &ServerSentEvents::reconnected);
    pinned.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(pinnedReconnected.size(), 1, wait);
    pinned.close();

    // The server now shows another certificate: the same trust does not accept it.
    const HttpsPeer::Certificate second = HttpsPeer::selfSignedCertificate(QStringLiteral("second"));
    QVERIFY2(!second.isNull(), qPrintable(second.error));
    server.setCertificate(second);
    server.dropConnections();
    ServerSentEvents other(false, nullptr);
    other.setCertificateTrust(trust);
    other.setLongRetryDelay(3600 * 1000);
    QSignalSpy otherReconnected(&other, &ServerSentEvents::reconnected);
    const int before = server.requests(streamPath).size();
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    other.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(other.pendingReopenDelay(), 3600 * 1000, wait);
    QCOMPARE(otherReconnected.size(), 0);
    QCOMPARE(server.requests(streamPath).size(), before);
    other.close();

    // A stream told to ignore certificate errors takes any.
    ServerSentEvents ignoring(true, nullptr);
    QSignalSpy ignoringReconnected(&ignoring, &ServerSentEvents::reconnected);
    ignoring.open(streamUrl(server), QString::fromUtf8(server.token()));
    QTRY_COMPARE_WITH_TIMEOUT(ignoringReconnected.size(), 1, wait);
    ignoring.close();
}

void TestServerSentEvents::tokenNeverFollowsARedirectToAnotherServer_data() {
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("followed");
    QTest::newRow("with a token: refused") << QStringLiteral("secret-token") << false;
    QTest::newRow("without a token: followed") << QString() << true;
}

void TestServerSentEvents::tokenNeverFollowsARedirectToAnotherServer() {
    QFETCH(QString, token);
    QFETCH(bool, followed);
    Server origin, elsewhere;
    QVERIFY(origin.start(Server::Http));
    QVERIFY(elsewhere.start(Server::Http));
    origin.setToken(QByteArray());
    elsewhere.setToken(QByteArray());
    origin.route("GET", streamPath, [&elsewhere](const HttpsPeer::Request&) {
        return Response::redirect(streamUrl(elsewhere));
    });
    ServerSentEvents events(false, nullptr);
    events.setLongRetryDelay(3600 * 1000);
    QSignalSpy reconnected(&events, &ServerSentEvents::reconnected);
    if (!followed)
        QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    events.open(streamUrl(origin), token);
    if (followed) {
        QTRY_COMPARE_WITH_TIMEOUT(reconnected.size(), 1, wait);
        QCOMPARE(elsewhere.requests(streamPath).size(), 1);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(events.pendingReopenDelay(), 3600 * 1000, wait);
        QCOMPARE(elsewhere.requests().size(), 0);
        QCOMPARE(reconnected.size(), 0);
    }
    events.close();
}

QTEST_GUILESS_MAIN(TestServerSentEvents)
#include "tst_server_sent_events.moc"

#include "HttpsServer.h"
#include "LogCapture.h"
#include "rpc/RpcInstanceWeb.h"

#include <QApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

Q_DECLARE_METATYPE(HttpsPeer::Response)

namespace {

constexpr int wait = 10000;
const QString mePath = QStringLiteral("/v3/api/user/me");
const QString streamPath = QStringLiteral("/sse/my-sessions");
constexpr int smallReplyBound = 256 * 1024;

struct Outcome {
    bool succeeded = false;
    QString name;
    QString message;
};

// Waits until the promise settles.
Outcome settle(RpcPromiseBase* promise) {
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    if (!QTest::qWaitFor([&] { return !succeeded.isEmpty() || !failed.isEmpty(); }, wait))
        return Outcome{false, QStringLiteral("timeout"), QString()};
    if (!succeeded.isEmpty())
        return Outcome{true, QString(), QString()};
    return Outcome{false, failed.at(0).at(0).toString(), failed.at(0).at(1).toString()};
}

// Receives the main window's quit check.
class QuitCheck : public QObject {
    Q_OBJECT
public:
    int calls = 0;
    int pendingWhenCalled = -1;
public slots:
    void logout() {
        ++calls;
        pendingWhenCalled = RpcInstanceWeb::pendingDisposals();
    }
};

} // namespace

class TestRpcInstanceWeb : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void replyDecoding_data();
    void replyDecoding();
    void pathReplacesTheBasePath();
    void tokenHeader();
    void signInStartsAndReplacesTheStream();
    void sessionEvents();
    void burstOfUpdatesIsMergedPerSession();
    void acceptThenCloseLeavesNothingBehind();
    void oneEventThenCloseBacksOff();
    void certificateAcceptedOnce();
    void refusedCertificateIsAskedAgain();
    void ignoringInstanceNeverAsks();
    void replyGoneDuringTheQuestion();
    void streamFollowsTheCertificateDecision();
    void redirects_data();
    void redirects();
    void signInStaysWithItsServer_data();
    void signInStaysWithItsServer();
    void disposal_data();
    void disposal();
    void secretsStayOutOfDebugOutput();
    void signInSecretsStayOutOfDebugOutput_data();
    void signInSecretsStayOutOfDebugOutput();
};

void TestRpcInstanceWeb::initTestCase() {
    qRegisterMetaType<QNetworkReply*>();
    qRegisterMetaType<QList<QSslError>>();
}

void TestRpcInstanceWeb::replyDecoding_data() {
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("name");
    QTest::newRow("403") << Response::raw("no", "text/plain", 403) << QStringLiteral("denied");
    QTest::newRow("404") << Response::withStatus(404) << QStringLiteral("not_found");
    QTest::newRow("500") << Response::withStatus(500) << QStringLiteral("http");
    QTest::newRow("204") << Response::withStatus(204) << QStringLiteral("http");
    QTest::newRow("200 empty body") << Response::raw(QByteArray(), "application/json")
                                    << QStringLiteral("format");
    QTest::newRow("200 []") << Response::raw("[]", "application/json") << QStringLiteral("format");
    QTest::newRow("200 not JSON") << Response::raw("<html>", "text/html") << QStringLiteral("format");
    QTest::newRow("server error object")
        << Response::error(QStringLiteral("quota"), QStringLiteral("Too many")) << QStringLiteral("quota");
    QTest::newRow("result of the wrong type") << Response::result(5) << QStringLiteral("unknown");
    QTest::newRow("connection closed") << Response::drop() << QStringLiteral("http");
    QTest::newRow("body over the bound")
        << Response::raw("{\"result\":\"" + QByteArray(smallReplyBound + 4096, 'x') + "\"}",
                         "application/json")
        << QStringLiteral("http");
    QTest::newRow("result object") << Response::result(QJsonObject{{"a", 1}}) << QString();
}

void TestRpcInstanceWeb::replyDecoding() {
    QFETCH(Response, response);
    QFETCH(QString, name);
    Server server;
    QVERIFY(server.start(Server::Http));
    // Qt sends a request again once when its connection closes without an answer.
    server.script("POST", mePath,
                  response.kind == Response::Drop ? QList<Response>{response, response}
                                                  : QList<Response>{response});
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    web.setAuthToken(QString::fromUtf8(server.token()));
    RpcInstanceWeb::setMaxReplyBytes(smallReplyBound);
    RpcPromise<QVariantMap>* promise = web.userMe();
    QVERIFY(promise->pending);
    const Outcome outcome = settle(promise);
    RpcInstanceWeb::setMaxReplyBytes(RpcInstanceWeb::defaultMaxReplyBytes);
    QCOMPARE(outcome.succeeded, name.isEmpty());
    QCOMPARE(outcome.name, name);
    QVERIFY(!promise->pending);
    if (!name.isEmpty()) {
        QVERIFY2(!outcome.message.isEmpty() || name == QLatin1String("unknown"), "a failure says why");
        QVERIFY(outcome.message != QLatin1String("no error occurred"));
        QCOMPARE(web.log().constLast(),
                 QStringLiteral("Request to \"%1\" failed: %2").arg(promise->method, outcome.message));
    }
}

void TestRpcInstanceWeb::pathReplacesTheBasePath() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.setToken(QByteArray());
    QUrl base = server.url();
    base.setPath(QStringLiteral("/some/base/"));
    RpcInstanceWeb web(base, false, false, nullptr);
    RpcPromise<QList<Session>>* promise = web.sessionList();
    QUrl expected = server.url();
    expected.setPath(QStringLiteral("/v3/api/session/list"));
    QCOMPARE(promise->method, expected.toString());
    QVERIFY(settle(promise).succeeded);
    QCOMPARE(server.requests().constLast().path, QStringLiteral("/v3/api/session/list"));
}

void TestRpcInstanceWeb::tokenHeader() {
    Server server;
    QVERIFY(server.start(Server::Http));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    // Without a token nothing is sent, and the server refuses.
    QCOMPARE(settle(web.userMe()).name, QStringLiteral("denied"));
    QVERIFY(!server.requests(mePath).at(0).headers.contains("x-velnor-token"));

    web.setAuthToken(QString::fromUtf8(server.token()));
    QVERIFY(settle(web.userMe()).succeeded);
    QVERIFY(settle(web.bookmarkList()).succeeded);
    QCOMPARE(server.requests(mePath).at(1).header("X-VELNOR-TOKEN"), server.token());
    QCOMPARE(server.requests().constLast().header("X-VELNOR-TOKEN"), server.token());
    // Setting the token opens no event stream; a logout leaves it in place.
    QVERIFY(settle(web.logout()).succeeded);
    QCOMPARE(web.authToken(), QString::fromUtf8(server.token()));
    QVERIFY(!web.events());
    QCOMPARE(server.requests(streamPath).size(), 0);
}

void TestRpcInstanceWeb::signInStartsAndReplacesTheStream() {
    Server server;
    QVERIFY(server.start(Server::Http));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    RpcPromise<QJsonObject>* promise = web.sshAuth(QJsonObject{{"stage", "start"}});
    QVERIFY(settle(promise).succeeded);
    QCOMPARE(promise->value.value("token").toString(), QString::fromUtf8(server.token()));
    QCOMPARE(web.authToken(), QString::fromUtf8(server.token()));
    QVERIFY(web.events());
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QCOMPARE(server.requests(streamPath).at(0).header("X-VELNOR-TOKEN"), server.token());

    QPointer<ServerSentEvents> first = web.events();
    QVERIFY(settle(web.postJson(QJsonObject(), QStringLiteral("/v3/api/auth/ssh"))).succeeded);
    QVERIFY(web.events() && web.events() != first.data());
    QVERIFY(first.isNull());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests(streamPath).size(), 2, wait);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);

    // A token of another type changes nothing.
    server.script("POST", QStringLiteral("/v3/api/auth/ssh"), Response::result(QJsonObject{{"token", 5}}));
    QPointer<ServerSentEvents> second = web.events();
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);
    QCOMPARE(web.events(), second.data());
    QCOMPARE(web.authToken(), QString::fromUtf8(server.token()));
}

void TestRpcInstanceWeb::sessionEvents() {
    Server server;
    QVERIFY(server.start(Server::Https));
    const QJsonObject s1{{"id", "s1"}, {"command", "xterm"}};
    server.setSessions(QJsonArray{s1});
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    QSignalSpy updated(&web, &RpcInstance::sessionUpdated);
    QSignalSpy deleted(&web, &RpcInstance::sessionDeleted);
    QSignalSpy listed(&web, &RpcInstance::sessionsUpdated);
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);

    // Each accepted stream response refreshes the whole list.
    QTRY_COMPARE_WITH_TIMEOUT(listed.size(), 1, wait);
    QCOMPARE(listed.at(0).at(0).value<SessionList>().value(0).id(), QStringLiteral("s1"));

    QTest::ignoreMessage(QtWarningMsg, "Session event whose data is not a JSON object dropped");
    server.pushToStreams("event: update\ndata: [1,2]\n\n");
    server.pushEvent(QStringLiteral("other"), QJsonObject{{"id", "x"}});
    server.pushEvent(QStringLiteral("update"), QJsonObject{{"id", "s2"}, {"command", "top"}});
    server.pushEvent(QStringLiteral("delete"), s1);
    QTRY_COMPARE_WITH_TIMEOUT(deleted.size(), 1, wait);
    QCOMPARE(updated.size(), 1);
    QCOMPARE(updated.at(0).at(0).value<Session>().id(), QStringLiteral("s2"));
    QCOMPARE(updated.at(0).at(0).value<Session>().command(), QStringLiteral("top"));
    QCOMPARE(deleted.at(0).at(0).value<Session>().id(), QStringLiteral("s1"));

    // The stream ends; the reopened one refreshes the list again.
    server.setSessions(QJsonArray());
    server.endStreams();
    QTRY_COMPARE_WITH_TIMEOUT(listed.size(), 2, wait);
    QVERIFY(listed.at(1).at(0).value<SessionList>().isEmpty());
}

// A stream that pushes the same sessions over and over: each pass of the event loop tells each
// session's latest state once, in the order the sessions came.
void TestRpcInstanceWeb::burstOfUpdatesIsMergedPerSession() {
    Server server;
    QVERIFY(server.start(Server::Https));
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QList<Session> told;
    connect(&web, &RpcInstance::sessionUpdated, this, [&](const Session& s) { told << s; });
    QSignalSpy deleted(&web, &RpcInstance::sessionDeleted);

    constexpr int rounds = 3000;
    QByteArray burst;
    for (int i = 0; i < rounds; ++i) {
        for (const char* id : {"a", "b", "c"}) {
            const QJsonObject session{{"id", id}, {"command", QString::number(i)}};
            burst += "event: update\ndata: " + QJsonDocument(session).toJson(QJsonDocument::Compact) + "\n\n";
        }
    }
    burst += "event: delete\ndata: {\"id\":\"b\"}\n\n";
    server.pushToStreams(burst);
    QTRY_COMPARE_WITH_TIMEOUT(deleted.size(), 1, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!told.isEmpty() && told.last().command() == QString::number(rounds - 1), wait);
    QVERIFY2(told.size() < rounds, qPrintable(QString::number(told.size())));
    QCOMPARE(deleted.at(0).at(0).value<Session>().id(), QStringLiteral("b"));
    // The last states told: a and c with the last command; b was deleted after its last update.
    QHash<QString, QString> last;
    for (const Session& s : told)
        last.insert(s.id(), s.command());
    QCOMPARE(last.value("a"), QString::number(rounds - 1));
    QCOMPARE(last.value("c"), QString::number(rounds - 1));
}

// A server (or proxy) that accepts the stream and closes it, again and again, while its session list
// answers slowly: each reopen asks for the list, but the requests do not pile up behind each other
// (in the manager they grew by hundreds a second). A reopen while a list request runs asks for one
// more afterwards, so the last reopen's list is not lost.
void TestRpcInstanceWeb::acceptThenCloseLeavesNothingBehind() {
    Server server;
    QVERIFY(server.start(Server::Http));
    const QString listPath = QStringLiteral("/v3/api/session/list");
    server.route("GET", streamPath, [](const Request&) { return Response::stream({}, true); });
    server.route("POST", listPath,
                 [&server](const Request&) { return Response::result(server.sessions()).after(100); });
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);
    QVERIFY(web.events());
    QSignalSpy listed(&web, &RpcInstance::sessionsUpdated);
    // No waiting between the reopens, so that many come quickly.
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.rpc.critical=false"));
    web.events()->setMinimumRetryDelay(0);
    web.events()->setLongRetryDelay(0);
    const auto listRequests = [&web] {
        int count = 0;
        for (RpcPromiseBase* promise : web.findChildren<RpcPromiseBase*>())
            count += promise->method.endsWith(QLatin1String("/v3/api/session/list")) ? 1 : 0;
        return count;
    };
    int most = 0;
    QTRY_VERIFY_WITH_TIMEOUT((most = qMax(most, listRequests()), server.requests(streamPath).size() >= 100),
                             60000);
    QLoggingCategory::setFilterRules(QString());
    QVERIFY2(most <= 1, qPrintable(QStringLiteral("%1 list requests at once").arg(most)));

    // The stream stays up from now on; the list comes for its last reopen too, and nothing is left.
    server.route("GET", streamPath, [](const Request&) { return Response::stream(); });
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QTRY_COMPARE_WITH_TIMEOUT(listRequests(), 0, wait);
    const QList<Request> requests = server.requests();
    int lastOpen = -1;
    int lastList = -1;
    for (int i = 0; i < requests.size(); ++i) {
        if (requests.at(i).path == streamPath)
            lastOpen = i;
        else if (requests.at(i).path == listPath)
            lastList = i;
    }
    QVERIFY(lastList > lastOpen);
    QVERIFY(!listed.isEmpty());
}

// A server that sends one session event on each stream and closes it: the event does not count as
// a working stream, so after three quick reopens the long delay comes, and the list requests that
// each reopen makes stop with them.
void TestRpcInstanceWeb::oneEventThenCloseBacksOff() {
    Server server;
    QVERIFY(server.start(Server::Https));
    const QString listPath = QStringLiteral("/v3/api/session/list");
    server.route("GET", streamPath, [](const Request&) {
        return Response::stream({"event: update\ndata: {\"id\":\"s1\",\"command\":\"xterm\"}\n\n"}, true);
    });
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    QSignalSpy updated(&web, &RpcInstance::sessionUpdated);
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);
    QVERIFY(web.events());
    web.events()->setMinimumRetryDelay(20);
    web.events()->setLongRetryDelay(3600 * 1000);
    QTest::ignoreMessage(QtCriticalMsg, "Failed to connect, retried 3 times");
    QTRY_COMPARE_WITH_TIMEOUT(web.events()->pendingReopenDelay(), 3600 * 1000, wait);
    QCOMPARE(server.requests(streamPath).size(), 4);
    QCOMPARE(web.events()->retryCount(), 3);
    QVERIFY(!updated.isEmpty());
    QCOMPARE(updated.constLast().at(0).value<Session>().id(), QStringLiteral("s1"));
    // The reopens asked for the list, one request at a time; none is asked for while the stream waits.
    const auto listInFlight = [&web] {
        for (RpcPromiseBase* promise : web.findChildren<RpcPromiseBase*>()) {
            if (promise->method.endsWith(QLatin1String("/v3/api/session/list")))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!listInFlight(), wait);
    const int lists = server.requests(listPath).size();
    QVERIFY2(lists >= 1 && lists <= 4, qPrintable(QString::number(lists)));
}

namespace {

struct Asker {
    int questions = 0;
    bool answer = true;
    QString host;
    QList<QSslError> errors;
    std::function<void()> during;
    RpcInstanceWeb::CertificateQuestion question() {
        return [this](const QUrl& url, const QList<QSslError>& e) {
            ++questions;
            host = url.host();
            errors = e;
            if (during)
                during();
            return answer;
        };
    }
};

} // namespace

void TestRpcInstanceWeb::certificateAcceptedOnce() {
    Server server;
    QVERIFY2(server.start(Server::Https), qPrintable(server.error()));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    web.setAuthToken(QString::fromUtf8(server.token()));
    Asker asker;
    web.setCertificateQuestion(asker.question());

    QVERIFY(settle(web.userMe()).succeeded);
    QCOMPARE(asker.questions, 1);
    QCOMPARE(asker.host, QStringLiteral("127.0.0.1"));
    QVERIFY(web.acceptsCertificateErrors(asker.errors));
    QCOMPARE(web.certificateTrust()->pinnedDigests(), QList<QByteArray>{server.certificate().digest()});

    // Later requests, also on new connections, are accepted without asking.
    server.dropConnections();
    QVERIFY(settle(web.sessionList()).succeeded);
    QCOMPARE(asker.questions, 1);

    // Only that certificate: the server showing another one is asked about again.
    const HttpsPeer::Certificate second = HttpsPeer::selfSignedCertificate(QStringLiteral("second"));
    QVERIFY2(!second.isNull(), qPrintable(second.error));
    server.setCertificate(second);
    server.dropConnections();
    asker.answer = false;
    QCOMPARE(settle(web.sessionList()).name, QStringLiteral("http"));
    QCOMPARE(asker.questions, 2);
    QVERIFY(!web.acceptsCertificateErrors(asker.errors));

    // The viewer is not told to accept every certificate.
    ConnectInfo info;
    web.addViewerParameters(info);
    QCOMPARE(info.param(QStringLiteral("IgnoreSslErrors")), QVariant(false));
    QCOMPARE(info.param(QStringLiteral("AuthToken")).toString(), QString::fromUtf8(server.token()));
    QVERIFY(!web.ignoreSslErrors());
}

void TestRpcInstanceWeb::refusedCertificateIsAskedAgain() {
    Server server;
    QVERIFY(server.start(Server::Https));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    web.setAuthToken(QString::fromUtf8(server.token()));
    Asker asker;
    asker.answer = false;
    web.setCertificateQuestion(asker.question());
    const Outcome refused = settle(web.userMe());
    QCOMPARE(refused.name, QStringLiteral("http"));
    QVERIFY(!refused.message.isEmpty());
    QCOMPARE(asker.questions, 1);
    QCOMPARE(server.requests().size(), 0);

    asker.answer = true;
    QVERIFY(settle(web.userMe()).succeeded);
    QCOMPARE(asker.questions, 2);
    QCOMPARE(server.requests(mePath).size(), 1);
}

void TestRpcInstanceWeb::ignoringInstanceNeverAsks() {
    Server server;
    QVERIFY(server.start(Server::Https));
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    web.setAuthToken(QString::fromUtf8(server.token()));
    Asker asker;
    web.setCertificateQuestion(asker.question());
    QVERIFY(settle(web.userMe()).succeeded);
    QCOMPARE(asker.questions, 0);
    QVERIFY(web.ignoreSslErrors());
    ConnectInfo info;
    web.addViewerParameters(info);
    QCOMPARE(info.param(QStringLiteral("IgnoreSslErrors")), QVariant(true));
}

// The question may take long; the promise, and with it the reply, may go meanwhile.
void TestRpcInstanceWeb::replyGoneDuringTheQuestion() {
    Server server;
    QVERIFY(server.start(Server::Https));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    web.setAuthToken(QString::fromUtf8(server.token()));
    Asker asker;
    QPointer<RpcPromise<QVariantMap>> promise;
    asker.during = [&promise] { delete promise.data(); };
    web.setCertificateQuestion(asker.question());
    promise = web.userMe();
    QTRY_COMPARE_WITH_TIMEOUT(asker.questions, 1, wait);
    QVERIFY(promise.isNull());
    QTest::qWait(200);

    // The instance carries on.
    asker.during = nullptr;
    QVERIFY(settle(web.userMe()).succeeded);

    // The instance itself may go during the question.
    QPointer<RpcInstanceWeb> doomed = new RpcInstanceWeb(server.url(), false, false, nullptr);
    Asker second;
    second.during = [&doomed] { delete doomed.data(); };
    doomed->setCertificateQuestion(second.question());
    doomed->userMe();
    QTRY_COMPARE_WITH_TIMEOUT(second.questions, 1, wait);
    QVERIFY(doomed.isNull());
    QTest::qWait(200);
}

void TestRpcInstanceWeb::streamFollowsTheCertificateDecision() {
    Server server;
    QVERIFY(server.start(Server::Https));
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    Asker asker;
    web.setCertificateQuestion(asker.question());
    QVERIFY(settle(web.sshAuth(QJsonObject())).succeeded);
    QSignalSpy updated(&web, &RpcInstance::sessionUpdated);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    server.pushEvent(QStringLiteral("update"), QJsonObject{{"id", "s9"}});
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);
    QCOMPARE(asker.questions, 1);
}

void TestRpcInstanceWeb::redirects_data() {
    QTest::addColumn<bool>("sameServer");
    QTest::addColumn<bool>("withToken");
    QTest::addColumn<bool>("followed");
    QTest::newRow("same server, with token") << true << true << true;
    QTest::newRow("other server, with token") << false << true << false;
    QTest::newRow("other server, without token") << false << false << false;
}

void TestRpcInstanceWeb::redirects() {
    QFETCH(bool, sameServer);
    QFETCH(bool, withToken);
    QFETCH(bool, followed);
    Server origin, elsewhere;
    QVERIFY(origin.start(Server::Http));
    QVERIFY(elsewhere.start(Server::Http));
    elsewhere.setToken(QByteArray());
    if (!withToken)
        origin.setToken(QByteArray());
    QUrl target = sameServer ? origin.url() : elsewhere.url();
    target.setPath(mePath);
    origin.script("POST", mePath, Response::redirect(target, 307));
    RpcInstanceWeb web(origin.url(), false, false, nullptr);
    if (withToken)
        web.setAuthToken(QString::fromUtf8(origin.token()));
    const Outcome outcome = settle(web.userMe());
    Server& reached = sameServer ? origin : elsewhere;
    if (followed) {
        QVERIFY2(outcome.succeeded, qPrintable(outcome.name + outcome.message));
        QCOMPARE(reached.requests(mePath).size(), sameServer ? 2 : 1);
        QCOMPARE(reached.requests(mePath).constLast().header("X-VELNOR-TOKEN"),
                 withToken ? origin.token() : QByteArray());
    } else {
        QCOMPARE(outcome.name, QStringLiteral("http"));
        QVERIFY(outcome.message.contains(target.toString()));
        QCOMPARE(elsewhere.requests().size(), 0);
    }
}

// Before there is a token, the sign-in's password is what a redirect could carry away.
void TestRpcInstanceWeb::signInStaysWithItsServer_data() {
    QTest::addColumn<bool>("sameServer");
    QTest::addColumn<bool>("plainTarget");
    QTest::addColumn<int>("status");
    QTest::newRow("307 to another https server") << false << false << 307;
    QTest::newRow("308 to another https server") << false << false << 308;
    QTest::newRow("302 to another https server") << false << false << 302;
    QTest::newRow("307 down to http") << false << true << 307;
    QTest::newRow("307 within the server") << true << false << 307;
}

void TestRpcInstanceWeb::signInStaysWithItsServer() {
    QFETCH(bool, sameServer);
    QFETCH(bool, plainTarget);
    QFETCH(int, status);
    const QString authPath = QStringLiteral("/v3/api/auth/ssh");
    Server origin, elsewhere;
    QVERIFY(origin.start(Server::Https));
    QVERIFY(elsewhere.start(plainTarget ? Server::Http : Server::Https));
    QUrl target = sameServer ? origin.url() : elsewhere.url();
    target.setPath(sameServer ? QStringLiteral("/v3/api/auth/ssh/") : authPath);
    origin.script("POST", authPath, Response::redirect(target, status));
    elsewhere.route(
        "POST", authPath, [](const Request&) { return Response::result(QJsonObject()); }, false);
    origin.route(
        "POST", target.path(), [](const Request&) { return Response::result(QJsonObject()); }, false);
    RpcInstanceWeb web(origin.url(), false, false, nullptr);
    web.setCertificateQuestion([](const QUrl&, const QList<QSslError>&) { return true; });
    const QJsonObject body{{"authtoken", "auth-1"}, {"password", "MyS3cretPassw0rd"}};
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Outcome outcome = settle(web.sshAuth(body));
        if (sameServer) {
            QVERIFY2(outcome.succeeded, qPrintable(outcome.name + outcome.message));
            QCOMPARE(origin.requests(target.path()).constLast().json(), body);
        } else {
            QCOMPARE(outcome.name, QStringLiteral("http"));
            QVERIFY2(outcome.message.contains(target.toString()), qPrintable(outcome.message));
        }
        origin.script("POST", authPath, Response::redirect(target, status));
    }
    QCOMPARE(elsewhere.requests().size(), 0);
}

void TestRpcInstanceWeb::disposal_data() {
    QTest::addColumn<Response>("logout");
    QTest::newRow("logout succeeds") << Response::result(true);
    QTest::newRow("logout fails") << Response::withStatus(500);
    QTest::newRow("logout never answers") << Response::silent();
}

void TestRpcInstanceWeb::disposal() {
    QFETCH(Response, logout);
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("POST", QStringLiteral("/v3/api/user/logout"), logout);
    RpcInstanceWeb::setLogoutTimeout(500);
    QSharedPointer<RpcInstance> owner(new RpcInstanceWeb(server.url(), false, false, nullptr));
    QVERIFY(settle(qobject_cast<RpcInstanceWeb*>(owner.data())->sshAuth(QJsonObject())).succeeded);
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 1, wait);
    QPointer<RpcInstance> instance = owner.data();
    owner->dispose(owner);
    owner.reset();
    QCOMPARE(RpcInstanceWeb::pendingDisposals(), 1);
    QuitCheck window;
    QCOMPARE(RpcInstanceWeb::pendingDisposals(&window), 1);
    QCOMPARE(RpcInstanceWeb::pendingDisposals(&window), 1);
    QVERIFY(instance);
    // The event stream ends with the disposal, not with the logout.
    QTRY_COMPARE_WITH_TIMEOUT(server.openStreams(), 0, wait);

    QTRY_VERIFY_WITH_TIMEOUT(instance.isNull(), wait);
    QCOMPARE(RpcInstanceWeb::pendingDisposals(), 0);
    QCOMPARE(window.calls, 1);
    QCOMPARE(window.pendingWhenCalled, 0);
    QCOMPARE(server.requests(QStringLiteral("/v3/api/user/logout")).size(), 1);
    QCOMPARE(server.requests(QStringLiteral("/v3/api/user/logout")).at(0).header("X-VELNOR-TOKEN"),
             server.token());
    RpcInstanceWeb::setLogoutTimeout(RpcInstanceWeb::defaultLogoutTimeout);
}

void TestRpcInstanceWeb::secretsStayOutOfDebugOutput() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("POST", QStringLiteral("/v3/api/auth/ssh"),
                  Response::result(QJsonObject{{"token", "reply-secret-1"}, {"stage", "done"}}));
    server.script("POST", QStringLiteral("/v3/api/session/connect"),
                  Response::result(QJsonObject{{"id", "s1"}, {"password", "session-secret-2"}}));
    server.setToken(QByteArray());
    LogCapture log("velnor.rpc");
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    QVERIFY(settle(web.sshAuth(QJsonObject{{"password", "sent-secret-3"}, {"signature", "sent-secret-4"}}))
                .succeeded);
    QVERIFY(settle(web.connectSession(QStringLiteral("s1"))).succeeded);
    QVERIFY(
        settle(web.connectShareNoLogin(QStringLiteral("s1"), QStringLiteral("share-secret-5"))).succeeded);
    const QString all = log.lines().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("/v3/api/auth/ssh")), "debug output is on");
    QVERIFY(all.contains(QStringLiteral("\"stage\":\"done\"")));
    for (const char* secret : {"reply-secret-1", "session-secret-2", "sent-secret-3", "sent-secret-4",
                               "share-secret-5", "token-of-the-test-server"})
        QVERIFY2(!all.contains(QLatin1String(secret)), secret);
}

// Each key that carries a secret in the sign-in's requests (authtoken, password, answer, publicKey,
// signature) or in its replies (authtoken, signData, token), logged as the user would see it with
// debug output on.
void TestRpcInstanceWeb::signInSecretsStayOutOfDebugOutput_data() {
    QTest::addColumn<QString>("key");
    for (const char* key : {"authtoken", "password", "answer", "publicKey", "signature", "signData", "token"})
        QTest::newRow(key) << QString::fromLatin1(key);
}

void TestRpcInstanceWeb::signInSecretsStayOutOfDebugOutput() {
    QFETCH(QString, key);
    Server server;
    QVERIFY(server.start(Server::Http));
    server.setToken(QByteArray());
    server.script("POST", QStringLiteral("/v3/api/auth/ssh"),
                  Response::result(QJsonObject{{key, "MyS3cretReply"}, {"stage", "sign"}}));
    LogCapture log("velnor.rpc");
    RpcInstanceWeb web(server.url(), false, false, nullptr);
    QVERIFY(settle(web.sshAuth(QJsonObject{{key, "MyS3cretPassw0rd"}, {"stage", "keyboard-interactive"}}))
                .succeeded);
    const QString all = log.lines().join(QLatin1Char('\n'));
    QVERIFY2(all.contains(QStringLiteral("\"%1\":").arg(key)), qPrintable(all));
    QVERIFY2(all.contains(QStringLiteral("\"stage\":\"sign\"")), qPrintable(all));
    QVERIFY2(!all.contains(QStringLiteral("MyS3cret")), qPrintable(all));
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestRpcInstanceWeb test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rpc_instance_web.moc"

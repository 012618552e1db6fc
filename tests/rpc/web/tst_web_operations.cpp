#include "HttpsServer.h"
#include "rpc/RpcInstanceWeb.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 10000;

using Operation = std::function<RpcPromiseBase*(RpcInstanceWeb&)>;

const QMap<QString, Operation>& operations() {
    static const QMap<QString, Operation> table{
        {"logout", [](RpcInstanceWeb& w) { return w.logout(); }},
        {"userMe", [](RpcInstanceWeb& w) { return w.userMe(); }},
        {"sessionList", [](RpcInstanceWeb& w) { return w.sessionList(); }},
        {"sharedSessionList", [](RpcInstanceWeb& w) { return w.sharedSessionList(); }},
        {"sessionParams", [](RpcInstanceWeb& w) { return w.sessionParams("s1"); }},
        {"sessionParamsForms", [](RpcInstanceWeb& w) { return w.sessionParamsForms(); }},
        {"setSessionParam", [](RpcInstanceWeb& w) { return w.setSessionParam("s1", "color", "blue"); }},
        {"setSessionParam id", [](RpcInstanceWeb& w) { return w.setSessionParam("s1", "id", "other"); }},
        {"setSessionParams",
         [](RpcInstanceWeb& w) {
             return w.setSessionParams("s1", QVariantMap{{"a", 1}, {"id", "other"}});
         }},
        {"serverList", [](RpcInstanceWeb& w) { return w.serverList(); }},
        {"sessionLog", [](RpcInstanceWeb& w) { return w.sessionLog("s1", QString()); }},
        {"startSession",
         [](RpcInstanceWeb& w) {
             return w.startSession(QJsonObject{
                 {"command", "xterm"}, {"schedule", false}, {"params", QJsonObject{{"mine", 1}}}});
         }},
        {"startSessionRaw",
         [](RpcInstanceWeb& w) {
             return w.startSessionRaw(QJsonObject{{"command", "xterm"}});
         }},
        {"connectSession", [](RpcInstanceWeb& w) { return w.connectSession("s1"); }},
        {"exec",
         [](RpcInstanceWeb& w) {
             return w.exec(QJsonObject{{"id", "s1"}, {"command", "ls"}}, false);
         }},
        {"exec in background",
         [](RpcInstanceWeb& w) {
             return w.exec(QJsonObject{{"id", "s1"}, {"command", "ls"}}, true);
         }},
        {"disconnectSession", [](RpcInstanceWeb& w) { return w.disconnectSession("s1"); }},
        {"purgeSession", [](RpcInstanceWeb& w) { return w.purgeSession("s1"); }},
        {"terminateSession", [](RpcInstanceWeb& w) { return w.terminateSession("s1"); }},
        {"connectShortcut", [](RpcInstanceWeb& w) { return w.connectShortcut("b1"); }},
        {"bookmarkList", [](RpcInstanceWeb& w) { return w.bookmarkList(); }},
        {"editBookmark",
         [](RpcInstanceWeb& w) {
             Bookmark b;
             b.setId("b1");
             b.setName("Terminal");
             b.setCommand("xterm");
             b.setGeometry("800x600");
             b.setFavorite(true);
             return w.editBookmark(b);
         }},
        {"deleteBookmark", [](RpcInstanceWeb& w) { return w.deleteBookmark("b1"); }},
        {"favoriteBookmark", [](RpcInstanceWeb& w) { return w.favoriteBookmark("b1"); }},
        {"unfavoriteBookmark", [](RpcInstanceWeb& w) { return w.unfavoriteBookmark("b1"); }},
        {"loadSharing", [](RpcInstanceWeb& w) { return w.loadSharing("s1"); }},
        {"shareWithUsers",
         [](RpcInstanceWeb& w) {
             return w.shareWithUsers("s1", {ShareMember{"ann", "viewer"}, ShareMember{"bob", "lobby"}});
         }},
        {"shareWithGroups",
         [](RpcInstanceWeb& w) {
             return w.shareWithGroups("s1", {ShareMember{"ops", "viewer"}});
         }},
        {"sharePublic", [](RpcInstanceWeb& w) { return w.sharePublic("s1", "k1"); }},
        {"sharePublic without key", [](RpcInstanceWeb& w) { return w.sharePublic("s1", QString()); }},
        {"connectShare", [](RpcInstanceWeb& w) { return w.connectShare("s1"); }},
        {"connectShareNoLogin with key", [](RpcInstanceWeb& w) { return w.connectShareNoLogin("s1", "k1"); }},
        {"connectShareNoLogin without key",
         [](RpcInstanceWeb& w) { return w.connectShareNoLogin("s1", QString()); }},
        {"connectShareById", [](RpcInstanceWeb& w) { return w.connectShareById("s1"); }},
        {"loadShareRaw", [](RpcInstanceWeb& w) { return w.loadShareRaw("s1"); }},
        {"saveShare",
         [](RpcInstanceWeb& w) {
             return w.saveShare("s1", QJsonObject{{"x", 1}, {"id", "no"}});
         }},
        {"removeShare",
         [](RpcInstanceWeb& w) {
             return w.removeShare("s1", QJsonObject{{"x", 1}});
         }},
        {"updateShare",
         [](RpcInstanceWeb& w) {
             return w.updateShare("s1", QJsonObject{{"sharingKey", ""}});
         }},
        {"sshAuth",
         [](RpcInstanceWeb& w) {
             return w.sshAuth(QJsonObject{{"stage", "start"}});
         }},
        {"sshAuthConfig", [](RpcInstanceWeb& w) { return w.sshAuthConfig(); }},
    };
    return table;
}

// "$client" as the value of "params" stands for the three client-info keys.
QJsonObject expand(QJsonObject body, const RpcInstanceWeb& web) {
    const QJsonObject client{
        {"clientId", web.id()},
        {"clientVersion", QStringLiteral("desktop-%1").arg(RpcInstance::programVersion())},
        {"clientTransport", "Web"}};
    if (body.value("params") == QJsonValue("$client"))
        body.insert("params", client);
    return body;
}

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class TestWebOperations : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void requests_data();
    void requests();
    void results();
    void screenshots_data();
    void screenshots();
    void serviceInfoSendsNothing();
    void webViewNeedsItsLibrary();
    void standAloneServer();

private:
    Server m_server;
};

void TestWebOperations::initTestCase() {
    QVERIFY2(m_server.start(Server::Https), qPrintable(m_server.error()));
}

void TestWebOperations::requests_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QJsonObject>("body");

    QTest::newRow("logout") << "logout" << QByteArray("POST") << "/v3/api/user/logout" << QJsonObject();
    QTest::newRow("userMe") << "userMe" << QByteArray("POST") << "/v3/api/user/me" << QJsonObject();
    QTest::newRow("sessionList") << "sessionList" << QByteArray("POST") << "/v3/api/session/list"
                                 << QJsonObject();
    QTest::newRow("sharedSessionList")
        << "sharedSessionList" << QByteArray("POST") << "/v3/api/session/list-shared" << QJsonObject();
    QTest::newRow("sessionParams") << "sessionParams" << QByteArray("POST") << "/v3/api/session/params"
                                   << json(R"({"id":"s1"})");
    QTest::newRow("sessionParamsForms")
        << "sessionParamsForms" << QByteArray("POST") << "/v3/api/session/params-form/list" << QJsonObject();
    QTest::newRow("setSessionParam") << "setSessionParam" << QByteArray("POST") << "/v3/api/session/params"
                                     << json(R"({"id":"s1","color":"blue"})");
    QTest::newRow("setSessionParam with the key id")
        << "setSessionParam id" << QByteArray("POST") << "/v3/api/session/params" << json(R"({"id":"s1"})");
    QTest::newRow("setSessionParams") << "setSessionParams" << QByteArray("POST") << "/v3/api/session/params"
                                      << json(R"({"id":"s1","a":1})");
    QTest::newRow("serverList") << "serverList" << QByteArray("POST") << "/v3/api/session/servers/list"
                                << QJsonObject();
    QTest::newRow("sessionLog") << "sessionLog" << QByteArray("POST") << "/v3/api/session/log"
                                << json(R"({"id":"s1","log":""})");
    QTest::newRow("startSession") << "startSession" << QByteArray("POST") << "/v3/api/session/start"
                                  << json(R"({"command":"xterm","schedule":true,"auth":{"usePK":true},
                                              "params":{"mine":1,"clientId":"$id"}})");
    QTest::newRow("startSessionRaw") << "startSessionRaw" << QByteArray("POST") << "/v3/api/session/start"
                                     << json(R"({"command":"xterm"})");
    QTest::newRow("connectSession") << "connectSession" << QByteArray("POST") << "/v3/api/session/connect"
                                    << json(R"({"id":"s1","params":"$client"})");
    QTest::newRow("exec") << "exec" << QByteArray("POST") << "/v3/api/session/exec"
                          << json(R"({"id":"s1","command":"ls"})");
    QTest::newRow("exec in background") << "exec in background" << QByteArray("POST")
                                        << "/v3/api/session/exec-bg" << json(R"({"id":"s1","command":"ls"})");
    QTest::newRow("disconnectSession") << "disconnectSession" << QByteArray("POST")
                                       << "/v3/api/session/disconnect" << json(R"({"id":"s1"})");
    QTest::newRow("purgeSession") << "purgeSession" << QByteArray("POST") << "/v3/api/session/purge"
                                  << json(R"({"id":"s1"})");
    QTest::newRow("terminateSession")
        << "terminateSession" << QByteArray("POST") << "/v3/api/session/terminate" << json(R"({"id":"s1"})");
    QTest::newRow("connectShortcut") << "connectShortcut" << QByteArray("POST") << "/v3/api/bookmark/shortcut"
                                     << json(R"({"id":"b1","params":"$client"})");
    QTest::newRow("bookmarkList") << "bookmarkList" << QByteArray("GET") << "/v3/api/bookmark/list"
                                  << QJsonObject();
    QTest::newRow("editBookmark")
        << "editBookmark" << QByteArray("POST") << "/v3/api/bookmark/edit"
        << json(R"({"id":"b1","name":"Terminal","command":"xterm","geometry":"800x600"})");
    QTest::newRow("deleteBookmark") << "deleteBookmark" << QByteArray("POST") << "/v3/api/bookmark/delete"
                                    << json(R"({"id":"b1"})");
    QTest::newRow("favoriteBookmark")
        << "favoriteBookmark" << QByteArray("POST") << "/v3/api/bookmark/favorite" << json(R"({"id":"b1"})");
    QTest::newRow("unfavoriteBookmark") << "unfavoriteBookmark" << QByteArray("POST")
                                        << "/v3/api/bookmark/unfavorite" << json(R"({"id":"b1"})");
    QTest::newRow("loadSharing") << "loadSharing" << QByteArray("POST") << "/v3/api/share/load"
                                 << json(R"({"id":"s1"})");
    QTest::newRow("shareWithUsers") << "shareWithUsers" << QByteArray("POST") << "/v3/api/share/update"
                                    << json(R"({"id":"s1","users":[{"name":"ann","role":"viewer"},
                                                                    {"name":"bob","role":"lobby"}]})");
    QTest::newRow("shareWithGroups") << "shareWithGroups" << QByteArray("POST") << "/v3/api/share/update"
                                     << json(R"({"id":"s1","groups":[{"name":"ops","role":"viewer"}]})");
    QTest::newRow("sharePublic") << "sharePublic" << QByteArray("POST") << "/v3/api/share/update"
                                 << json(R"({"id":"s1","sharingKey":"k1",
                                             "public":{"role":"lobby","visibility":"public"}})");
    QTest::newRow("sharePublic without key") << "sharePublic without key" << QByteArray("POST")
                                             << "/v3/api/share/update" << json(R"({"id":"s1","sharingKey":"",
                                                         "public":{"role":"lobby","visibility":""}})");
    QTest::newRow("connectShare") << "connectShare" << QByteArray("POST") << "/v3/api/share/connect"
                                  << json(R"({"id":"s1","params":"$client"})");
    QTest::newRow("connectShareNoLogin with key")
        << "connectShareNoLogin with key" << QByteArray("POST") << "/v3/api/nologin/share/connect"
        << json(R"({"id":"s1","key":"k1"})");
    QTest::newRow("connectShareNoLogin without key")
        << "connectShareNoLogin without key" << QByteArray("POST") << "/v3/api/nologin/share/connect"
        << json(R"({"id":"s1","params":"$client"})");
    QTest::newRow("connectShareById") << "connectShareById" << QByteArray("POST") << "/v3/api/share/connect"
                                      << json(R"({"id":"s1","params":"$client"})");
    QTest::newRow("loadShareRaw") << "loadShareRaw" << QByteArray("POST") << "/v3/api/share/load"
                                  << json(R"({"id":"s1"})");
    QTest::newRow("saveShare") << "saveShare" << QByteArray("POST") << "/v3/api/share/save"
                               << json(R"({"id":"s1","x":1})");
    QTest::newRow("removeShare") << "removeShare" << QByteArray("POST") << "/v3/api/share/remove"
                                 << json(R"({"id":"s1","x":1})");
    QTest::newRow("updateShare") << "updateShare" << QByteArray("POST") << "/v3/api/share/update"
                                 << json(R"({"id":"s1","sharingKey":""})");
    QTest::newRow("sshAuth") << "sshAuth" << QByteArray("POST") << "/v3/api/auth/ssh"
                             << json(R"({"stage":"start"})");
    QTest::newRow("sshAuthConfig") << "sshAuthConfig" << QByteArray("POST") << "/v3/api/auth/ssh/config"
                                   << QJsonObject();
}

// Each operation as the server receives it: method, path, token header and body.
void TestWebOperations::requests() {
    QFETCH(QString, operation);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QJsonObject, body);

    RpcInstanceWeb web(m_server.url(), true, false, nullptr);
    web.setAuthToken(QString::fromUtf8(m_server.token()));
    m_server.clearRequests();
    RpcPromiseBase* promise = operations().value(operation)(web);
    QVERIFY(promise);
    QCOMPARE(promise->parent(), &web);
    QUrl url = m_server.url();
    url.setPath(path);
    QCOMPARE(promise->method, url.toString());
    QVERIFY(promise->pending);
    QCOMPARE(web.log().constLast(), QStringLiteral("Request to \"%1\" initiated").arg(url.toString()));
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    // Nothing settles inside the call.
    QCOMPARE(succeeded.size() + failed.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size() + failed.size(), 1, wait);
    QVERIFY2(failed.isEmpty(), failed.isEmpty() ? "" : qPrintable(failed.at(0).at(1).toString()));
    // A sign-in that succeeds starts the session list at once, so its line may already follow.
    QVERIFY(web.log().contains(QStringLiteral("Request to \"%1\" succeeded").arg(url.toString())));

    const QList<HttpsPeer::Request> received = m_server.requests(path);
    QCOMPARE(received.size(), 1);
    const HttpsPeer::Request& r = received.at(0);
    QCOMPARE(r.method, method);
    QCOMPARE(r.header("X-VELNOR-TOKEN"), m_server.token());
    QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
    if (method == "GET") {
        QVERIFY(r.body.isEmpty());
        return;
    }
    // Compact JSON with the keys in sorted order.
    QJsonObject sent = r.json();
    QCOMPARE(r.body, QJsonDocument(sent).toJson(QJsonDocument::Compact));
    QJsonObject expected = expand(body, web);
    if (expected.value("params").toObject().value("clientId") == QJsonValue("$id")) {
        // The caller's own params keep their keys next to the client info.
        QJsonObject params = expected.value("params").toObject();
        params.insert("clientId", web.id());
        params.insert("clientVersion", QStringLiteral("desktop-%1").arg(RpcInstance::programVersion()));
        params.insert("clientTransport", "Web");
        expected.insert("params", params);
    }
    QCOMPARE(sent, expected);
}

// The replies reach the callers converted.
void TestWebOperations::results() {
    m_server.setSessions(QJsonArray{QJsonObject{{"id", "s1"}}, QJsonObject{{"command", "no id"}}});
    RpcInstanceWeb web(m_server.url(), true, false, nullptr);
    web.setAuthToken(QString::fromUtf8(m_server.token()));
    auto* sessions = web.sessionList();
    auto* connect = web.connectSession("s7");
    auto* bookmarks = web.bookmarkList();
    auto* sharing = web.loadSharing("s1");
    auto* exec = web.exec(QJsonObject(), true);
    auto* logout = web.logout();
    for (RpcPromiseBase* p : QList<RpcPromiseBase*>{sessions, connect, bookmarks, sharing, exec, logout})
        QTRY_VERIFY_WITH_TIMEOUT(!p->pending, wait);
    QCOMPARE(sessions->value.size(), 1);
    QCOMPARE(sessions->value.at(0).id(), QStringLiteral("s1"));
    QCOMPARE(connect->value.id(), QStringLiteral("s7"));
    QCOMPARE(connect->value.password(), QStringLiteral("session-password"));
    QCOMPARE(connect->value.param("AuthToken").toString(), QString::fromUtf8(m_server.token()));
    QCOMPARE(connect->value.param("IgnoreSslErrors"), QVariant(true));
    QCOMPARE(bookmarks->value.size(), 1);
    QVERIFY(bookmarks->value.at(0).isFavorite());
    QCOMPARE(sharing->value.sharingKey, QStringLiteral("k1"));
    QCOMPARE(sharing->value.users.value(0).name, QStringLiteral("ann"));
    QCOMPARE(exec->value.value("pid").toInt(), 42);
    QCOMPARE(web.authToken(), QString::fromUtf8(m_server.token()));
    m_server.setSessions(QJsonArray());
}

void TestWebOperations::screenshots_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QSize>("size");
    QTest::newRow("PNG") << "abc" << QString() << QSize(4, 3);
    QTest::newRow("not found") << "missing" << QStringLiteral("404") << QSize();
    QTest::newRow("not an image") << "garbage" << QString() << QSize();
    QTest::newRow("more pixels than the bound") << "huge" << QString() << QSize();
}

void TestWebOperations::screenshots() {
    QFETCH(QString, id);
    QFETCH(QString, failure);
    QFETCH(QSize, size);
    if (id == QLatin1String("huge")) {
        // A small file that claims 6000x6000 pixels.
        QImage mono(6000, 6000, QImage::Format_Mono);
        mono.fill(0);
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(mono.save(&buffer, "PNG"));
        m_server.script("GET", QStringLiteral("/session/screenshot/huge"), Response::raw(png, "image/png"));
    }
    RpcInstanceWeb web(m_server.url(), true, false, nullptr);
    web.setAuthToken(QString::fromUtf8(m_server.token()));
    m_server.clearRequests();
    RpcPromise<QImage>* promise = web.screenshot(id, 1920, 1080);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    QTRY_VERIFY_WITH_TIMEOUT(!promise->pending, wait);
    const HttpsPeer::Request r = m_server.requests().value(0);
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.path, QStringLiteral("/session/screenshot/") + id);
    QCOMPARE(r.query.toString(), QStringLiteral("size=md"));
    if (failure.isEmpty()) {
        QCOMPARE(failed.size(), 0);
        QCOMPARE(promise->value.isNull(), !size.isValid());
        if (size.isValid())
            QCOMPARE(promise->value.size(), size);
    } else {
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), failure);
        QCOMPARE(failed.at(0).at(1).toString(), QStringLiteral("Not Found"));
    }
}

void TestWebOperations::serviceInfoSendsNothing() {
    RpcInstanceWeb web(m_server.url(), true, false, nullptr);
    m_server.clearRequests();
    RpcPromise<ServiceInfo>* before = web.serviceInfo();
    QCOMPARE(before->method, QStringLiteral("Service"));
    QVERIFY(!before->pending);
    QSignalSpy succeeded(before, &RpcPromiseBase::succeeded);
    QCOMPARE(succeeded.size(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size(), 1, wait);
    QCOMPARE(before->value.url, m_server.url());
    QCOMPARE(before->value.token, QString());

    web.setAuthToken(QStringLiteral("t2"));
    RpcPromise<ServiceInfo>* after = web.serviceInfo();
    QTRY_VERIFY_WITH_TIMEOUT(after->isSettled(), wait);
    QCOMPARE(after->value.token, QStringLiteral("t2"));
    QVERIFY(web.log().isEmpty());
    QVERIFY(m_server.requests().isEmpty());
}

void TestWebOperations::webViewNeedsItsLibrary() {
    RpcInstanceWeb web(m_server.url(), true, false, nullptr);
    // Without a web view library no view is made.
    QTest::ignoreMessage(QtWarningMsg, "No web view is available in this program");
    QCOMPARE(web.openWebView(QStringLiteral("/files"), ServiceInfo{m_server.url(), QStringLiteral("t")}),
             nullptr);
    QCOMPARE(web.transportName(), QStringLiteral("Web"));
}

// The test server as its own program: the URL on its first line, then requests as they come.
void TestWebOperations::standAloneServer() {
    QProcess program;
    // The programs are built beside the tests.
    program.start(QCoreApplication::applicationDirPath() + QStringLiteral("/velnor-https-server"),
                  {QStringLiteral("--token"), QStringLiteral("program-token")});
    QVERIFY(program.waitForStarted(wait));
    QTRY_VERIFY_WITH_TIMEOUT(program.canReadLine(), wait);
    const QUrl url(QString::fromUtf8(program.readLine().trimmed()));
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    RpcInstanceWeb web(url, true, false, nullptr);
    web.setAuthToken(QStringLiteral("program-token"));
    RpcPromise<QList<Session>>* promise = web.sessionList();
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size(), 1, wait);
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += program.readAllStandardError()).contains("POST /v3/api/session/list"),
                             wait);
    program.terminate();
    QVERIFY(program.waitForFinished(wait));
}

QTEST_GUILESS_MAIN(TestWebOperations)
#include "tst_web_operations.moc"

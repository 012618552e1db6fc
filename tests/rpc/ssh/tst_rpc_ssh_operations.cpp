// Every server operation over ssh, against the test server command behind a real sshd: the method
// and params the command records, and the result each default answer converts to.

#include "SshRpcFixture.h"

#include <QJsonArray>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTest>

#include <functional>

using Operation = std::function<RpcPromiseBase*(RpcInstanceSsh&)>;
Q_DECLARE_METATYPE(Operation)

namespace {

const QStringList clientInfoKeys{"clientId", "clientVersion", "clientTransport"};

Bookmark sampleBookmark() {
    return Bookmark::fromJson(QJsonObject{{"id", "b1"},
                                          {"name", "Terminal"},
                                          {"command", "xterm"},
                                          {"geometry", "1024x768"},
                                          {"profile", "p"}});
}

} // namespace

class TestRpcSshOperations : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void requests_data();
    void requests();
    void operationsWithoutRequest();
    void results();
    void startVariants_data();
    void startVariants();
    void answersInServerOrder();

private:
    // A connected instance; null (and a failed check) when the login did not complete.
    std::unique_ptr<RpcInstanceSsh> connected(const QJsonObject& script = QJsonObject());

    SshRpcFixture m_fixture;
    // One connection serves every row of the request table; logins are slow on a loaded machine.
    std::unique_ptr<RpcInstanceSsh> m_shared;
    QString m_sharedRecord;
};

void TestRpcSshOperations::initTestCase() {
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    QString error;
    QVERIFY2(m_fixture.start(&error), qPrintable(error));
}

void TestRpcSshOperations::init() {
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

std::unique_ptr<RpcInstanceSsh> TestRpcSshOperations::connected(const QJsonObject& script) {
    auto instance = std::make_unique<RpcInstanceSsh>(m_fixture.settings(script));
    QSignalSpy ready(instance.get(), &RpcInstance::ready);
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    [&] { QTRY_VERIFY_WITH_TIMEOUT(ready.count() == 1 || finished.count() > 0, SshRpcFixture::timeoutMs); }();
    if (ready.count() != 1) {
        qWarning() << "not connected:" << instance->log() << m_fixture.sshd.serverLog();
        return nullptr;
    }
    return instance;
}

void TestRpcSshOperations::requests_data() {
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("params");
    QTest::addColumn<bool>("clientInfo");

    const QJsonObject id{{"id", "s1"}};
    QTest::newRow("userMe") << Operation([](RpcInstanceSsh& r) { return r.userMe(); }) << "/v3/api/user/me"
                            << QJsonObject() << false;
    QTest::newRow("sessionList") << Operation([](RpcInstanceSsh& r) { return r.sessionList(); })
                                 << "/v3/api/session/list" << QJsonObject() << false;
    QTest::newRow("sharedSessionList") << Operation([](RpcInstanceSsh& r) { return r.sharedSessionList(); })
                                       << "/v3/api/session/list-shared" << QJsonObject() << false;
    QTest::newRow("sessionParams") << Operation([](RpcInstanceSsh& r) { return r.sessionParams("s1"); })
                                   << "/v3/api/session/params" << id << false;
    QTest::newRow("sessionParamsForms") << Operation([](RpcInstanceSsh& r) { return r.sessionParamsForms(); })
                                        << "/v3/api/session/params-form/list" << QJsonObject() << false;
    QTest::newRow("setSessionParam") << Operation([](RpcInstanceSsh& r) {
        return r.setSessionParam("s1", "geometry", "800x600");
    }) << "/v3/api/session/params" << QJsonObject{{"id", "s1"}, {"geometry", "800x600"}}
                                     << false;
    QTest::newRow("setSessionParam: the id argument wins over a key named id")
        << Operation([](RpcInstanceSsh& r) { return r.setSessionParam("s1", "id", "s2"); })
        << "/v3/api/session/params" << id << false;
    QTest::newRow("setSessionParams: the id argument wins") << Operation([](RpcInstanceSsh& r) {
        return r.setSessionParams("s1", QVariantMap{{"id", "s2"}, {"windowMode", "rail"}});
    }) << "/v3/api/session/params" << QJsonObject{{"id", "s1"}, {"windowMode", "rail"}}
                                                            << false;
    QTest::newRow("screenshot") << Operation([](RpcInstanceSsh& r) { return r.screenshot("s1", 64, 48); })
                                << "/v3/api/session/screenshot"
                                << QJsonObject{{"id", "s1"}, {"width", 64}, {"height", 48}} << false;
    QTest::newRow("serverList") << Operation([](RpcInstanceSsh& r) { return r.serverList(); })
                                << "/v3/api/session/servers/list" << QJsonObject() << false;
    QTest::newRow("sessionLog") << Operation([](RpcInstanceSsh& r) { return r.sessionLog("s1", ""); })
                                << "/v3/api/session/log" << QJsonObject{{"id", "s1"}, {"log", ""}} << false;
    QTest::newRow("startSession: auth and schedule replace the caller's")
        << Operation([](RpcInstanceSsh& r) {
               return r.startSession(QJsonObject{{"command", "xterm"},
                                                 {"name", "N"},
                                                 {"schedule", false},
                                                 {"auth", QJsonObject{{"x", 1}}}});
           })
        << "/v3/api/session/start"
        << QJsonObject{{"command", "xterm"},
                       {"name", "N"},
                       {"schedule", true},
                       {"auth", QJsonObject{{"usePK", true}}}}
        << true;
    QTest::newRow("startSessionRaw: unchanged") << Operation([](RpcInstanceSsh& r) {
        return r.startSessionRaw(QJsonObject{{"command", "xterm"}});
    }) << "/v3/api/session/start" << QJsonObject{{"command", "xterm"}}
                                                << false;
    QTest::newRow("connectSession") << Operation([](RpcInstanceSsh& r) { return r.connectSession("s1"); })
                                    << "/v3/api/session/connect" << id << true;
    QTest::newRow("exec") << Operation([](RpcInstanceSsh& r) {
        return r.exec(QJsonObject{{"command", "ls"}}, false);
    }) << "/v3/api/session/exec"
                          << QJsonObject{{"command", "ls"}} << false;
    QTest::newRow("exec in the background") << Operation([](RpcInstanceSsh& r) {
        return r.exec(QJsonObject{{"command", "ls"}}, true);
    }) << "/v3/api/session/exec-bg" << QJsonObject{{"command", "ls"}}
                                            << false;
    QTest::newRow("disconnectSession")
        << Operation([](RpcInstanceSsh& r) { return r.disconnectSession("s1"); })
        << "/v3/api/session/disconnect" << id << false;
    QTest::newRow("purgeSession") << Operation([](RpcInstanceSsh& r) { return r.purgeSession("s2"); })
                                  << "/v3/api/session/purge" << QJsonObject{{"id", "s2"}} << false;
    QTest::newRow("terminateSession") << Operation([](RpcInstanceSsh& r) { return r.terminateSession("s1"); })
                                      << "/v3/api/session/terminate" << id << false;
    QTest::newRow("connectShortcut") << Operation([](RpcInstanceSsh& r) { return r.connectShortcut("b1"); })
                                     << "/v3/api/session/connect/shortcut" << QJsonObject{{"id", "b1"}}
                                     << true;
    QTest::newRow("bookmarkList") << Operation([](RpcInstanceSsh& r) { return r.bookmarkList(); })
                                  << "/v3/api/bookmark/list" << QJsonObject() << false;
    QTest::newRow("editBookmark")
        << Operation([](RpcInstanceSsh& r) { return r.editBookmark(sampleBookmark()); })
        << "/v3/api/bookmark/edit"
        << QJsonObject{{"id", "b1"}, {"name", "Terminal"}, {"command", "xterm"}, {"geometry", "1024x768"}}
        << false;
    QTest::newRow("deleteBookmark") << Operation([](RpcInstanceSsh& r) { return r.deleteBookmark("b1"); })
                                    << "/v3/api/bookmark/delete" << QJsonObject{{"id", "b1"}} << false;
    QTest::newRow("favoriteBookmark") << Operation([](RpcInstanceSsh& r) { return r.favoriteBookmark("b1"); })
                                      << "/v3/api/bookmark/favorite" << QJsonObject{{"id", "b1"}} << false;
    QTest::newRow("unfavoriteBookmark")
        << Operation([](RpcInstanceSsh& r) { return r.unfavoriteBookmark("b1"); })
        << "/v3/api/bookmark/unfavorite" << QJsonObject{{"id", "b1"}} << false;
    QTest::newRow("loadSharing") << Operation([](RpcInstanceSsh& r) { return r.loadSharing("s1"); })
                                 << "/v3/api/share/load" << id << false;
    const QVector<ShareMember> members{{"ann", "viewer"}, {"bob", "owner"}};
    const QJsonArray membersJson{QJsonObject{{"name", "ann"}, {"role", "viewer"}},
                                 QJsonObject{{"name", "bob"}, {"role", "owner"}}};
    QTest::newRow("shareWithUsers") << Operation([members](RpcInstanceSsh& r) {
        return r.shareWithUsers("s1", members);
    }) << "/v3/api/share/update" << QJsonObject{{"id", "s1"}, {"users", membersJson}}
                                    << false;
    QTest::newRow("shareWithGroups") << Operation([members](RpcInstanceSsh& r) {
        return r.shareWithGroups("s1", members);
    }) << "/v3/api/share/update" << QJsonObject{{"id", "s1"}, {"groups", membersJson}}
                                     << false;
    QTest::newRow("sharePublic without a key")
        << Operation([](RpcInstanceSsh& r) { return r.sharePublic("s1", ""); }) << "/v3/api/share/update"
        << QJsonObject{{"id", "s1"},
                       {"sharingKey", ""},
                       {"public", QJsonObject{{"role", "lobby"}, {"visibility", ""}}}}
        << false;
    QTest::newRow("sharePublic with a key")
        << Operation([](RpcInstanceSsh& r) { return r.sharePublic("s1", "k"); }) << "/v3/api/share/update"
        << QJsonObject{{"id", "s1"},
                       {"sharingKey", "k"},
                       {"public", QJsonObject{{"role", "lobby"}, {"visibility", "public"}}}}
        << false;
    QTest::newRow("connectShare") << Operation([](RpcInstanceSsh& r) { return r.connectShare("s1"); })
                                  << "/v3/api/share/connect" << id << true;
    QTest::newRow("connectShareNoLogin with a key: no client info")
        << Operation([](RpcInstanceSsh& r) { return r.connectShareNoLogin("s1", "k"); })
        << "/v3/api/nologin/share/connect" << QJsonObject{{"id", "s1"}, {"key", "k"}} << false;
    QTest::newRow("connectShareNoLogin without a key: client info")
        << Operation([](RpcInstanceSsh& r) { return r.connectShareNoLogin("s1", ""); })
        << "/v3/api/nologin/share/connect" << id << true;
    QTest::newRow("connectShareById") << Operation([](RpcInstanceSsh& r) { return r.connectShareById("s1"); })
                                      << "/v3/api/share/connect" << id << true;
    QTest::newRow("loadShareRaw") << Operation([](RpcInstanceSsh& r) { return r.loadShareRaw("s1"); })
                                  << "/v3/api/share/load" << id << false;
    const QJsonObject data{{"id", "other"}, {"users", QJsonArray{}}};
    const QJsonObject dataWithId{{"id", "s1"}, {"users", QJsonArray{}}};
    QTest::newRow("saveShare") << Operation([data](RpcInstanceSsh& r) { return r.saveShare("s1", data); })
                               << "/v3/api/share/save" << dataWithId << false;
    QTest::newRow("removeShare") << Operation([data](RpcInstanceSsh& r) { return r.removeShare("s1", data); })
                                 << "/v3/api/share/remove" << dataWithId << false;
    QTest::newRow("updateShare") << Operation([data](RpcInstanceSsh& r) { return r.updateShare("s1", data); })
                                 << "/v3/api/share/update" << dataWithId << false;
    QTest::newRow("serviceInfo") << Operation([](RpcInstanceSsh& r) { return r.serviceInfo(); })
                                 << "/v3/api/user/service" << QJsonObject() << false;
}

void TestRpcSshOperations::requests() {
    QFETCH(Operation, operation);
    QFETCH(QString, method);
    QFETCH(QJsonObject, params);
    QFETCH(bool, clientInfo);

    if (!m_shared) {
        m_shared = connected();
        m_sharedRecord = m_fixture.recordPath;
    }
    RpcInstanceSsh* instance = m_shared.get();
    QVERIFY(instance);
    const int before = m_fixture.recorded(m_sharedRecord).size();
    RpcPromiseBase* promise = operation(*instance);
    QVERIFY(promise);
    QCOMPARE(promise->parent(), instance);
    QCOMPARE(promise->method, method);
    const auto outcome = watch(promise);
    QCOMPARE(outcome->count, 0);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->count > 0, SshRpcFixture::timeoutMs);
    QVERIFY2(outcome->ok, qPrintable(outcome->name + ": " + outcome->message));

    const QList<QJsonObject> requests = m_fixture.recorded(m_sharedRecord);
    QCOMPARE(requests.size(), before + 1);
    const QJsonObject request = requests.last();
    QCOMPARE(request.value("jsonrpc").toString(), QString("2.0"));
    QCOMPARE(request.value("method").toString(), method);
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(request.value("id").toString()).hasMatch());

    QJsonObject sent = request.value("params").toObject();
    for (const QString& key : clientInfoKeys)
        QCOMPARE(sent.contains(key), clientInfo);
    if (clientInfo) {
        QCOMPARE(sent.value("clientId").toString(), instance->id());
        QCOMPARE(sent.value("clientVersion").toString(), "desktop-" + RpcInstance::programVersion());
        QCOMPARE(sent.value("clientTransport").toString(), QString("SSH"));
        for (const QString& key : clientInfoKeys)
            sent.remove(key);
    }
    QCOMPARE(sent, params);
}

void TestRpcSshOperations::operationsWithoutRequest() {
    const auto instance = connected();
    QVERIFY(instance);
    QCOMPARE(instance->transportName(), QString("SSH"));
    // Callers must take a null promise from the ssh transport's logout.
    QVERIFY(!instance->logout());
    instance->reservedOperation();
    ConnectInfo reply = ConnectInfo::fromJson(QJsonObject{{"id", "s1"}});
    instance->addViewerParameters(reply);
    QVERIFY(reply.params().isEmpty());
    QVERIFY(instance->tunnelPort() != 0);
    QCOMPARE(instance->property("tunnelPort").toUInt(), uint(instance->tunnelPort()));
    QVERIFY(m_fixture.recorded().isEmpty());
}

void TestRpcSshOperations::results() {
    const auto instance = connected();
    QVERIFY(instance);
    RpcPromise<QList<Session>>* sessions = instance->sessionList();
    RpcPromise<QImage>* shot = instance->screenshot("s1", 64, 48);
    RpcPromise<QList<Bookmark>>* bookmarks = instance->favoriteBookmark("b1");
    RpcPromise<ConnectInfo>* connect = instance->connectSession("s1");
    RpcPromise<ServiceInfo>* service = instance->serviceInfo();
    RpcPromise<QVariantMap>* background = instance->exec(QJsonObject{{"command", "sleep 1"}}, true);
    RpcPromise<SharingData>* sharing = instance->loadSharing("s1");
    RpcPromise<void>* gone = instance->terminateSession("nope");
    QSignalSpy last(gone, &RpcPromiseBase::failed);
    QVERIFY(last.wait(SshRpcFixture::timeoutMs));

    QCOMPARE(sessions->value.size(), 2);
    QCOMPARE(sessions->value[0].id(), QString("s1"));
    QCOMPARE(shot->value.size(), QSize(64, 48));
    QCOMPARE(bookmarks->value.size(), 2);
    QCOMPARE(bookmarks->value[0].type(), SuggestionType);
    QCOMPARE(bookmarks->value[1].id(), QString("b1"));
    QVERIFY(bookmarks->value[1].isFavorite());
    QCOMPARE(connect->value.id(), QString("s1"));
    QCOMPARE(connect->value.password(), QString("display-password"));
    QCOMPARE(service->value.token, QString("service-token"));
    QCOMPARE(background->value.value("pid").toInt(), 4242);
    QVERIFY(sharing->value.users.isEmpty());
    QCOMPARE(last[0][0].toString(), QString("not_found"));
    QVERIFY(instance->log().contains("Request to \"/v3/api/session/terminate\" failed: No such session"));
}

void TestRpcSshOperations::startVariants_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("stage");
    QTest::newRow("ready") << "xterm"
                           << "success";
    QTest::newRow("schedule") << "schedule"
                              << "schedule";
    QTest::newRow("form") << "form"
                          << "form";
    QTest::newRow("sign-in") << "sign-in"
                             << "password";
}

void TestRpcSshOperations::startVariants() {
    QFETCH(QString, command);
    QFETCH(QString, stage);
    const auto instance = connected();
    QVERIFY(instance);
    RpcPromise<ConnectInfo>* start = instance->startSession(QJsonObject{{"command", command}});
    QSignalSpy done(start, &RpcPromiseBase::succeeded);
    QVERIFY(done.wait(SshRpcFixture::timeoutMs));
    QCOMPARE(start->value.stage(), stage);
    if (stage == "form")
        QCOMPARE(start->value.form().id, QString("f1"));
    if (stage == "password")
        QCOMPARE(start->value.auth().value("authtoken").toString(), QString("stage-token"));
    if (stage == "success")
        QVERIFY(!start->value.id().isEmpty());
}

void TestRpcSshOperations::answersInServerOrder() {
    // The first request is answered late; the second overtakes it.
    const auto instance =
        connected(QJsonObject{{"methods", QJsonObject{{"/v3/api/user/me", QJsonObject{{"delayMs", 1500}}}}}});
    QVERIFY(instance);
    QStringList order;
    RpcPromise<QVariantMap>* me = instance->userMe();
    RpcPromise<QList<Session>>* list = instance->sessionList();
    connect(me, &RpcPromiseBase::succeeded, this, [&] { order << "me"; });
    connect(list, &RpcPromiseBase::succeeded, this, [&] { order << "list"; });
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, SshRpcFixture::timeoutMs);
    QCOMPARE(order, (QStringList{"list", "me"}));
    const QList<QJsonObject> requests = m_fixture.recorded();
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests[0].value("id") != requests[1].value("id"));
}

QTEST_MAIN(TestRpcSshOperations)
#include "tst_rpc_ssh_operations.moc"

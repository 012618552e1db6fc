// The session model and the screenshot cache over the ssh transport: the test server command
// behind a real sshd answers the lists and pushes session changes as notifications.

#include "../rpc/ssh/SshRpcFixture.h"

#include "sessions/ScreenShotCache.h"
#include "sessions/SessionModel.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

const QStringList columns{"name", "connections", "uptime", "login"};

QJsonObject notification(const QString& method, const QString& id) {
    return QJsonObject{{"jsonrpc", "2.0"},
                       {"method", method},
                       {"params", QJsonObject{{"session", QJsonObject{{"id", id}, {"command", "top"}}}}}};
}

QJsonObject session(const QString& id) {
    return QJsonObject{{"id", id}, {"command", "xterm"}};
}

QStringList idsOf(const SessionModel& model) {
    QStringList ids;
    for (const Session& s : model.sessions())
        ids.append(s.id());
    return ids;
}

} // namespace

class TestSessionModelsSsh : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void modelFollowsListsAndNotifications();
    void screenshots();

private:
    QSharedPointer<RpcInstance> connected(const QJsonObject& script);

    SshRpcFixture m_fixture;
};

void TestSessionModelsSsh::initTestCase() {
    registerSessionMetaTypes();
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    QString error;
    QVERIFY2(m_fixture.start(&error), qPrintable(error));
}

void TestSessionModelsSsh::init() {
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

QSharedPointer<RpcInstance> TestSessionModelsSsh::connected(const QJsonObject& script) {
    QSharedPointer<RpcInstance> instance(new RpcInstanceSsh(m_fixture.settings(script)));
    QSignalSpy ready(instance.data(), &RpcInstance::ready);
    QSignalSpy finished(instance.data(), &RpcInstance::finished);
    if (!QTest::qWaitFor([&] { return ready.count() == 1 || finished.count() > 0; },
                         SshRpcFixture::timeoutMs) ||
        ready.count() != 1) {
        qWarning() << "not connected:" << instance->log() << m_fixture.sshd.serverLog();
        return nullptr;
    }
    return instance;
}

void TestSessionModelsSsh::modelFollowsListsAndNotifications() {
    // A rename is answered, then followed by pushes: c new, a gone, an unknown deletion.
    const QJsonArray pushes{notification("session-update", "c"), notification("session-delete", "a"),
                            notification("session-delete", "zz")};
    const QJsonObject script{
        {"methods",
         QJsonObject{
             {"/v3/api/session/list", QJsonObject{{"result", QJsonArray{session("b"), session("a")}}}},
             {"/v3/api/session/list-shared",
              QJsonObject{{"result", QJsonObject{{"rows", QJsonArray{session("x")}}}}}},
             {"/v3/api/session/params", QJsonObject{{"result", QJsonObject()}, {"after", pushes}}}}}};
    const QSharedPointer<RpcInstance> rpc = connected(script);
    QVERIFY(rpc);
    SessionModel model(columns, rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(idsOf(model), (QStringList{"a", "b"}), SshRpcFixture::timeoutMs);

    QTest::ignoreMessage(QtWarningMsg, "Attempted delete of unknown session zz");
    QVERIFY(model.setData(model.index(1, 0), QStringLiteral("Work")));
    QTRY_COMPARE_WITH_TIMEOUT(idsOf(model), (QStringList{"b", "c"}), SshRpcFixture::timeoutMs);
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Work"));
    QCOMPARE(model.pollTimer()->interval(), SessionModel::pollIntervalAfterPush);

    // Shared sessions: the same pushes change nothing.
    model.setShared(true);
    model.forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(idsOf(model), QStringList{"x"}, SshRpcFixture::timeoutMs);
    QSignalSpy deleted(rpc.data(), &RpcInstance::sessionDeleted);
    QVERIFY(model.setData(model.index(0, 0), QStringLiteral("Shared")));
    QTRY_COMPARE_WITH_TIMEOUT(deleted.size(), 2, SshRpcFixture::timeoutMs);
    QCOMPARE(idsOf(model), QStringList{"x"});
}

void TestSessionModelsSsh::screenshots() {
    const QJsonObject script{
        {"methods",
         QJsonObject{
             {"/v3/api/session/screenshot",
              QJsonArray{QJsonObject(),
                         QJsonObject{{"error", QJsonObject{{"name", "denied"}, {"message", "No screen"}}}},
                         QJsonObject{{"noReply", true}}}}}}};
    const QSharedPointer<RpcInstance> rpc = connected(script);
    QVERIFY(rpc);
    ScreenShotCache cache(rpc);
    cache.loader()->pacingTimer()->setInterval(20);
    cache.loader()->setAnswerTimeout(1000);
    QSignalSpy updated(&cache, &ScreenShotCache::updatedScreenShot);
    QSignalSpy failed(cache.loader(), &ScreenShotLoader::failed);
    for (const char* id : {"a", "b", "c"})
        cache.screenShot(QString::fromLatin1(id));
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, SshRpcFixture::timeoutMs);
    QCOMPARE(updated.size(), 1);
    QCOMPARE(updated.at(0).at(0).toString(), QStringLiteral("a"));
    QCOMPARE(cache.screenShot("a").size(), ScreenShotLoader::requestSize);
    QVERIFY(cache.screenShot("b").isNull());
    const QStringList lines = rpc->log().filter("Failed to get a screen shot for session");
    QCOMPARE(lines, (QStringList{"Failed to get a screen shot for session b: No screen",
                                 "Failed to get a screen shot for session c: no answer"}));
}

QTEST_MAIN(TestSessionModelsSsh)
#include "tst_session_models_ssh.moc"

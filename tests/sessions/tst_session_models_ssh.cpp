// The session model and the screenshot cache over the ssh transport: the test server command
// behind a real sshd answers the lists and pushes session changes as notifications.

#include "../rpc/ssh/SshRpcFixture.h"

#include "sessions/ScreenShotCache.h"
#include "sessions/SessionModel.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QRegularExpression>
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

// List replies, own or shared, that the instance has received or seen fail, as its log tells them.
int settledLists(const RpcInstance& rpc) {
    const QStringList lines = rpc.log();
    return lines.filter(QRegularExpression(QStringLiteral("/v3/api/session/list(-shared)?\" (succeeded|failed)")))
        .size();
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
    void listsOvertakenByNotifications_data();
    void listsOvertakenByNotifications();
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

// How the page asks for lists in a case.
enum class Asking { Start, StartAndForce, SharedThenOwn };
Q_DECLARE_METATYPE(Asking)

void TestSessionModelsSsh::listsOvertakenByNotifications_data() {
    QTest::addColumn<QJsonObject>("methods");
    QTest::addColumn<Asking>("asking");
    QTest::addColumn<int>("lists");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QString>("warning");

    const QString list = QStringLiteral("/v3/api/session/list");
    const QJsonArray ab{session("a"), session("b")};
    // Each list answer comes behind notifications the server sent after it had made the list.
    QTest::newRow("first list")
        << QJsonObject{{list, QJsonObject{{"before", QJsonArray{notification("session-update", "z"),
                                                                notification("session-delete", "b")}},
                                          {"result", QJsonArray{session("a"), session("b"), session("c")}}}}}
        << Asking::Start << 1 << QStringList{"a", "c", "z"}
        << QStringLiteral("Attempted delete of unknown session b");
    QTest::newRow("two lists in flight")
        << QJsonObject{{list, QJsonArray{QJsonObject{{"before", QJsonArray{notification("session-update", "z")}},
                                                     {"result", ab}},
                                         QJsonObject{{"result", ab}}}}}
        << Asking::StartAndForce << 2 << QStringList{"a", "b", "z"} << QString();
    QTest::newRow("the later of two lists fails")
        << QJsonObject{{list, QJsonArray{QJsonObject{{"delayMs", 1000}, {"result", ab}},
                                         QJsonObject{{"before", QJsonArray{notification("session-update", "z")}},
                                                     {"error", QJsonObject{{"name", "busy"}, {"message", "Busy"}}}}}}}
        << Asking::StartAndForce << 2 << QStringList{"a", "b", "z"} << QString();
    QTest::newRow("back from the shared list")
        << QJsonObject{{list, QJsonObject{{"before", QJsonArray{notification("session-update", "z")}},
                                          {"result", QJsonArray{session("a")}}}},
                       {"/v3/api/session/list-shared", QJsonObject{{"result", QJsonArray{session("x")}}}}}
        << Asking::SharedThenOwn << 2 << QStringList{"a", "z"} << QString();
}

// The server lists its sessions and then notifies changes that the list does not hold, but the
// notifications arrive first: the list still fills the rows, under the changes.
void TestSessionModelsSsh::listsOvertakenByNotifications() {
    QFETCH(QJsonObject, methods);
    QFETCH(Asking, asking);
    QFETCH(int, lists);
    QFETCH(QStringList, ids);
    QFETCH(QString, warning);
    const QSharedPointer<RpcInstance> rpc = connected(QJsonObject{{"methods", methods}});
    QVERIFY(rpc);
    SessionModel model(columns, rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    if (asking == Asking::SharedThenOwn) {
        model.setShared(true);
        model.startUpdating();
        QTRY_COMPARE_WITH_TIMEOUT(idsOf(model), QStringList{"x"}, SshRpcFixture::timeoutMs);
        model.setShared(false);
        model.forceUpdate();
    } else {
        model.startUpdating();
        if (asking == Asking::StartAndForce)
            model.forceUpdate();
    }
    QTRY_COMPARE_WITH_TIMEOUT(settledLists(*rpc), lists, SshRpcFixture::timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), SshRpcFixture::timeoutMs);
    QCOMPARE(idsOf(model), ids);
    QCOMPARE(model.sessions().constLast().command(), QStringLiteral("top"));
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

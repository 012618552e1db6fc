#include "TestRpcInstance.h"

#include "platform/system/SystemRandom.h"
#include "rpc/Cookie.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

namespace {

QJsonValue jsonValue(const char* text) {
    // Wrapped in an array so that scalars parse too.
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

bool failingSource(void*, std::size_t) {
    return false;
}

} // namespace

class TestRpcInstanceCore : public QObject {
    Q_OBJECT
private slots:
    void clientIdAndCookie();
    void randomSourceFailure();
    void logKeepsNewestThousand();
    void logTrimsLines();
    void logCutsLongLines();
    void clientInfo_data();
    void clientInfo();
    void rejectWithError_data();
    void rejectWithError();
    void serverErrorWithStack();
    void lifecycleOfAPromise();
    void deletedPromiseGetsNothing();
    void settlesOnce_data();
    void settlesOnce();
    void instanceGoneStillSettlesPromise();
};

void TestRpcInstanceCore::clientIdAndCookie() {
    TestRpcInstance a;
    TestRpcInstance b;
    const QRegularExpression hex32("^[0-9a-f]{32}$");
    QVERIFY(hex32.match(a.id()).hasMatch());
    QVERIFY(a.id() != b.id());
    QCOMPARE(a.property("id").toString(), a.id());
    QVERIFY(a.clientIdError().isEmpty());
}

void TestRpcInstanceCore::randomSourceFailure() {
    platform::setRandomSource(failingSource);
    QString out = "unchanged";
    QString error;
    const bool ok = generateCookie(out, error);
    TestRpcInstance instance;
    platform::setRandomSource(nullptr);

    QVERIFY(!ok);
    QCOMPARE(out, QString("unchanged"));
    QCOMPARE(error, QString("Generating cookie failed"));
    // No id is made from the failure; the reason is kept for the transports.
    QVERIFY(instance.id().isEmpty());
    QCOMPARE(instance.clientIdError(), QString("Generating cookie failed"));
}

void TestRpcInstanceCore::logKeepsNewestThousand() {
    TestRpcInstance instance;
    for (int i = 1; i <= 1001; ++i)
        instance.appendLog(QString::number(i));
    const QStringList log = instance.log();
    QCOMPARE(log.size(), RpcInstance::maxLogLines);
    QCOMPARE(log.first(), QString("2"));
    QCOMPARE(log.last(), QString("1001"));
    QCOMPARE(instance.property("log").toStringList(), log);
}

void TestRpcInstanceCore::logTrimsLines() {
    TestRpcInstance instance;
    instance.appendLog("   ");
    instance.appendLog("\t line \n");
    QCOMPARE(instance.log(), (QStringList{"", "line"}));
}

void TestRpcInstanceCore::logCutsLongLines() {
    // The server decides what reaches the log: a huge line is kept only up to the cap, marked as cut.
    TestRpcInstance instance;
    const int cap = RpcInstance::maxLogLineLength;
    instance.appendLog(QString(cap, 'a'));
    instance.appendLog(QString(cap + 1, 'b'));
    instance.appendLog(QString(50 * cap, 'c'));
    const QStringList log = instance.log();
    QCOMPARE(log[0], QString(cap, 'a'));
    for (int i : {1, 2}) {
        QVERIFY(log[i].size() < cap + 100);
        QVERIFY(log[i].startsWith(QString(cap, i == 1 ? 'b' : 'c')));
        QVERIFY(log[i].endsWith("[line cut]"));
    }
}

void TestRpcInstanceCore::clientInfo_data() {
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("keys");
    const QStringList info{"clientId", "clientTransport", "clientVersion"};
    QTest::newRow("no params") << R"({"id":"s"})" << info;
    QTest::newRow("params not an object") << R"({"params":[1,2]})" << info;
    QTest::newRow("existing keys overwritten")
        << R"({"params":{"clientId":"x","clientVersion":1,"keep":true}})"
        << QStringList{"clientId", "clientTransport", "clientVersion", "keep"};
}

void TestRpcInstanceCore::clientInfo() {
    QFETCH(QString, request);
    QFETCH(QStringList, keys);
    TestRpcInstance instance;
    QJsonObject r = QJsonDocument::fromJson(request.toUtf8()).object();
    const QJsonObject before = r;
    instance.addClientInfo(r);
    const QJsonObject params = r.value("params").toObject();
    QCOMPARE(params.keys(), keys);
    QCOMPARE(params.value("clientId").toString(), instance.id());
    QCOMPARE(params.value("clientVersion").toString(), QString("desktop-3.2.32"));
    QCOMPARE(params.value("clientTransport").toString(), QString("Test"));
    // Nothing else of the request is touched.
    for (const QString& key : before.keys()) {
        if (key != "params")
            QCOMPARE(r.value(key), before.value(key));
    }
}

void TestRpcInstanceCore::rejectWithError_data() {
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("extras");
    const QString unrecognized = "Unrecognized response from the server";
    QTest::newRow("string") << R"("boom")"
                            << "unknown" << unrecognized << 0;
    QTest::newRow("number") << "42"
                            << "unknown" << unrecognized << 0;
    QTest::newRow("null") << "null"
                          << "unknown" << unrecognized << 0;
    QTest::newRow("array") << R"([{"name":"x"}])"
                           << "unknown" << unrecognized << 0;
    QTest::newRow("object") << R"({"name":"denied","message":"no","code":3})"
                            << "denied"
                            << "no" << 3;
    QTest::newRow("object with wrong types") << R"({"name":5})"
                                             << ""
                                             << "" << 1;
}

void TestRpcInstanceCore::rejectWithError() {
    QFETCH(QString, error);
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFETCH(int, extras);
    TestRpcInstance instance;
    auto* promise = new RpcPromise<void>("/v3/api/x", &instance);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    RpcInstance::rejectWithError(&instance, promise, jsonValue(error.toUtf8().constData()));
    QCOMPARE(succeeded.count(), 0);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].toString(), name);
    QCOMPARE(failed[0][1].toString(), message);
    QCOMPARE(failed[0][2].toMap().size(), extras);
    QCOMPARE(instance.log().last(), QString("Request to \"/v3/api/x\" failed: %1").arg(message).trimmed());
}

void TestRpcInstanceCore::serverErrorWithStack() {
    TestRpcInstance instance;
    auto* promise = new RpcPromise<QVariantMap>("/v3/api/y", &instance);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    RpcInstance::rejectWithError(&instance, promise,
                                 jsonValue(R"({"name":"denied","message":"m","stack":"s"})"));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].toString(), QString("denied"));
    QCOMPARE(failed[0][1].toString(), QString("m"));
    const QVariantMap extras = failed[0][2].toMap();
    QCOMPARE(extras.keys(), (QStringList{"message", "name", "stack"}));
    QCOMPARE(instance.log(), (QStringList{"Request to \"/v3/api/y\" failed: m", "s"}));
}

void TestRpcInstanceCore::lifecycleOfAPromise() {
    TestRpcInstance instance;
    auto* promise = new RpcPromise<QVariantMap>("/v3/api/user/me", &instance);
    QVERIFY(!promise->pending);
    QVERIFY(promise->value.isEmpty());
    RpcInstance::reportInitiated(&instance, promise);
    QVERIFY(promise->pending);
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    RpcInstance::reportSucceeded(&instance, RpcPromiseRef<QVariantMap>(promise), QVariantMap{{"a", 1}});
    QCOMPARE(succeeded.count(), 1);
    QVERIFY(!promise->pending);
    QCOMPARE(promise->value.value("a").toInt(), 1);
    QCOMPARE(instance.log(), (QStringList{"Request to \"/v3/api/user/me\" initiated",
                                          "Request to \"/v3/api/user/me\" succeeded"}));
}

void TestRpcInstanceCore::deletedPromiseGetsNothing() {
    TestRpcInstance instance;
    auto* promise = new RpcPromise<QVariantMap>("/v3/api/session/list", &instance);
    RpcInstance::reportInitiated(&instance, promise);
    // The reply handler keeps only the guarded reference.
    const RpcPromiseRef<QVariantMap> ref(promise);
    const RpcPromiseRef<void> voidRef(new RpcPromise<void>("/v3/api/v", &instance));
    delete promise;
    delete voidRef.get();
    QVERIFY(ref.get() == nullptr);

    RpcInstance::reportSucceeded(&instance, ref, QVariantMap{{"a", 1}});
    RpcInstance::reportFailed(&instance, ref, "n", "gone", {});
    RpcInstance::reportSucceeded(&instance, voidRef);
    RpcInstance::reportInitiated(&instance, ref);
    // Log lines are still written, with the method remembered by the reference.
    QCOMPARE(instance.log(), (QStringList{"Request to \"/v3/api/session/list\" initiated",
                                          "Request to \"/v3/api/session/list\" succeeded",
                                          "Request to \"/v3/api/session/list\" failed: gone",
                                          "Request to \"/v3/api/v\" succeeded"}));
}

void TestRpcInstanceCore::settlesOnce_data() {
    QTest::addColumn<bool>("firstSucceeds");
    QTest::addColumn<bool>("secondSucceeds");
    QTest::newRow("success, then failure") << true << false;
    QTest::newRow("failure, then success") << false << true;
    QTest::newRow("success twice") << true << true;
    QTest::newRow("failure twice") << false << false;
}

void TestRpcInstanceCore::settlesOnce() {
    QFETCH(bool, firstSucceeds);
    QFETCH(bool, secondSucceeds);
    TestRpcInstance instance;
    auto* promise = new RpcPromise<QVariantMap>("/v3/api/twice", &instance);
    RpcInstance::reportInitiated(&instance, promise);
    QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
    QSignalSpy failed(promise, &RpcPromiseBase::failed);
    const RpcPromiseRef<QVariantMap> ref(promise);
    auto settle = [&](bool success, int n) {
        if (success)
            RpcInstance::reportSucceeded(&instance, ref, QVariantMap{{"n", n}});
        else
            RpcInstance::reportFailed(&instance, ref, "e", QString::number(n), {});
    };
    QVERIFY(!promise->isSettled());
    settle(firstSucceeds, 1);
    QVERIFY(promise->isSettled());
    settle(secondSucceeds, 2);

    // A duplicate reply neither signals again nor overwrites the value nor logs a second end.
    QCOMPARE(succeeded.count() + failed.count(), 1);
    QCOMPARE(succeeded.count(), firstSucceeds ? 1 : 0);
    if (firstSucceeds)
        QCOMPARE(promise->value.value("n").toInt(), 1);
    QVERIFY(!promise->pending);
    QCOMPARE(instance.log().size(), 2);
}

void TestRpcInstanceCore::instanceGoneStillSettlesPromise() {
    RpcPromise<void> promise("/v3/api/z", nullptr);
    QSignalSpy failed(&promise, &RpcPromiseBase::failed);
    RpcInstance::rejectWithError(nullptr, &promise, QJsonValue());
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed[0][0].toString(), QString("unknown"));
}

QTEST_GUILESS_MAIN(TestRpcInstanceCore)
#include "tst_rpc_instance.moc"

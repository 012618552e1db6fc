// The ssh transport against the test server command behind a real sshd: the stream, answers by id,
// notifications, standard error, every way the channel ends, and the end of the instance.

#include "SshRpcFixture.h"
#include "../../ClosedPort.h"

#include "rpc/RpcLogging.h"
#include "signin/SshProcess.h"

#include <QApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/types.h>

namespace {

QJsonObject notification(const QString& method, const QJsonValue& params) {
    return QJsonObject{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}};
}

QJsonObject scriptFor(const QString& method, const QJsonValue& entry) {
    return QJsonObject{{"methods", QJsonObject{{method, entry}}}};
}

QList<QMessageBox*> openBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

void closeBoxes() {
    for (QMessageBox* box : openBoxes())
        box->close();
}

// Collects what the velnor.rpc category prints.
QStringList* g_rpcMessages = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void collectRpcMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (g_rpcMessages && context.category && QByteArray(context.category) == "velnor.rpc")
        g_rpcMessages->append(message);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

class TestRpcSshTransport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void stream_data();
    void stream();
    void answersById_data();
    void answersById();
    void notifications_data();
    void notifications();
    void notificationBoxIsPlainAndDoesNotBlock();
    void notificationFloodShowsOneBoxAtATime();
    void standardError_data();
    void standardError();
    void partialStandardErrorWaitsForItsNewline();
    void endlessStandardErrorLineIsTakenAsALine_data();
    void endlessStandardErrorLineIsTakenAsALine();
    void endings_data();
    void endings();
    void requestsAfterTheEndFailLater();
    void startFailureReportedLater();
    void tunnelPortTakenBeforeSshBindsIt();
    void protocolErrorEndsTheSessionOnce_data();
    void protocolErrorEndsTheSessionOnce();
    void retryFromAFailureHandlerSurvives();
    void deletionFailsTakenPromisesAndEndsSsh();
    void debugOutputRedactsSecrets();
    void signInSecretsStayOutOfDebugOutput();

private:
    std::unique_ptr<RpcInstanceSsh> make(const SshLaunchSettings& settings);
    bool waitReady(RpcInstanceSsh& instance);

    SshRpcFixture m_fixture;
};

void TestRpcSshTransport::initTestCase() {
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    QString error;
    QVERIFY2(m_fixture.start(&error), qPrintable(error));
}

void TestRpcSshTransport::init() {
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

void TestRpcSshTransport::cleanup() {
    closeBoxes();
}

std::unique_ptr<RpcInstanceSsh> TestRpcSshTransport::make(const SshLaunchSettings& settings) {
    return std::make_unique<RpcInstanceSsh>(settings);
}

bool TestRpcSshTransport::waitReady(RpcInstanceSsh& instance) {
    QSignalSpy ready(&instance, &RpcInstance::ready);
    QSignalSpy finished(&instance, &RpcInstance::finished);
    (void)QTest::qWaitFor([&] { return ready.count() > 0 || finished.count() > 0; },
                          SshRpcFixture::timeoutMs);
    if (ready.count() == 0)
        qWarning() << "not ready:" << instance.log() << finished;
    return ready.count() == 1;
}

void TestRpcSshTransport::stream_data() {
    QTest::addColumn<QJsonObject>("script");
    const QJsonArray update{
        notification("session-update", QJsonObject{{"session", QJsonObject{{"id", "early"}}}})};
    QTest::newRow("chatter that looks like the protocol comes first")
        << QJsonObject{{"chatter", "5:hello,{\"jsonrpc\":\"2.0\",\"id\":\"x\"}\n---- BEGIN Velnor ----\n"},
                       {"greeting", update}};
    QTest::newRow("marker and first frame in one write")
        << QJsonObject{{"chatter", ""}, {"greeting", update}};
    QTest::newRow("an answer whose comma comes later") << QJsonObject{
        {"greeting", update},
        {"methods",
         QJsonObject{{"/v3/api/user/me", QJsonObject{{"splitAt", QJsonArray{-1}}, {"splitDelayMs", 400}}}}}};
    QTest::newRow("an answer in pieces") << QJsonObject{
        {"greeting", update},
        {"methods", QJsonObject{{"/v3/api/user/me",
                                 QJsonObject{{"splitAt", QJsonArray{1, 3, 20}}, {"splitDelayMs", 150}}}}}};
}

void TestRpcSshTransport::stream() {
    QFETCH(QJsonObject, script);
    const auto instance = make(m_fixture.settings(script));
    QSignalSpy updated(instance.get(), &RpcInstance::sessionUpdated);
    QVERIFY(waitReady(*instance));
    const auto me = watch(instance->userMe());
    const auto list = watch(instance->sessionList());
    QTRY_VERIFY_WITH_TIMEOUT(list->count > 0, SshRpcFixture::timeoutMs);
    QCOMPARE(me->count, 1);
    QVERIFY(me->ok);
    QVERIFY(list->ok);
    // The notification behind the marker, and nothing from the chatter.
    QCOMPARE(updated.count(), 1);
    QCOMPARE(updated[0][0].value<Session>().id(), QString("early"));
}

void TestRpcSshTransport::answersById_data() {
    QTest::addColumn<QJsonValue>("entry");
    QTest::addColumn<bool>("voidOperation");
    QTest::addColumn<QString>("expect");
    QTest::newRow("string id") << QJsonValue(QJsonObject{}) << false << "ok";
    QTest::newRow("numeric id is no answer") << QJsonValue(QJsonObject{{"id", 7}}) << false << "pending";
    QTest::newRow("unknown id is dropped")
        << QJsonValue(QJsonObject{{"id", "someone-else"}}) << false << "pending";
    QTest::newRow("duplicate answer is ignored")
        << QJsonValue(QJsonObject{{"duplicate", true}}) << false << "ok";
    QTest::newRow("error object") << QJsonValue(QJsonObject{
                                         {"error", QJsonObject{{"name", "denied"}, {"message", "No"}}}})
                                  << false << "failed:denied:No";
    QTest::newRow("error that is not an object") << QJsonValue(QJsonObject{{"error", "boom"}}) << false
                                                 << "failed:unknown:Unrecognized response from the server";
    QTest::newRow("result and error, void operation")
        << QJsonValue(QJsonObject{{"result", QJsonObject{}},
                                  {"error", QJsonObject{{"name", "denied"}, {"message", "No"}}}})
        << true << "failed:denied:No";
    QTest::newRow("no answer") << QJsonValue(QJsonObject{{"noReply", true}}) << false << "pending";
}

void TestRpcSshTransport::answersById() {
    QFETCH(QJsonValue, entry);
    QFETCH(bool, voidOperation);
    QFETCH(QString, expect);
    const QString method = voidOperation ? "/v3/api/session/disconnect" : "/v3/api/user/me";
    const auto instance = make(m_fixture.settings(scriptFor(method, entry)));
    QVERIFY(waitReady(*instance));
    const auto first = watch(voidOperation ? static_cast<RpcPromiseBase*>(instance->disconnectSession("s1"))
                                           : instance->userMe());
    // Answers come in order: once the second is in, the first one's answer has been read.
    const auto second = watch(instance->sessionList());
    QTRY_VERIFY_WITH_TIMEOUT(second->count > 0, SshRpcFixture::timeoutMs);
    QVERIFY(second->ok);
    if (expect == "pending") {
        QCOMPARE(first->count, 0);
    } else {
        QCOMPARE(first->count, 1);
        QCOMPARE(first->ok, expect == "ok");
        if (!first->ok)
            QCOMPARE("failed:" + first->name + ":" + first->message, expect);
    }
}

void TestRpcSshTransport::notifications_data() {
    QTest::addColumn<QJsonArray>("greeting");
    QTest::addColumn<int>("updates");
    QTest::addColumn<int>("deletes");
    QTest::addColumn<int>("boxIcon");
    const QJsonObject session{{"session", QJsonObject{{"id", "s9"}}}};
    QTest::newRow("session-update") << QJsonArray{notification("session-update", session)} << 1 << 0 << -1;
    QTest::newRow("session-delete") << QJsonArray{notification("session-delete", session)} << 0 << 1 << -1;
    QTest::newRow("session that is not an object")
        << QJsonArray{notification("session-update", QJsonObject{{"session", "s9"}}),
                      notification("session-delete", QJsonObject{{"session", QJsonArray{}}}),
                      notification("session-update", "not params")}
        << 0 << 0 << -1;
    QTest::newRow("notify level 1") << QJsonArray{notification("notify",
                                                               QJsonObject{{"level", 1}, {"message", "m"}})}
                                    << 0 << 0 << int(QMessageBox::Critical);
    QTest::newRow("notify level 2") << QJsonArray{notification("notify",
                                                               QJsonObject{{"level", 2}, {"message", "m"}})}
                                    << 0 << 0 << int(QMessageBox::Warning);
    QTest::newRow("notify level 3") << QJsonArray{notification("notify",
                                                               QJsonObject{{"level", 3}, {"message", "m"}})}
                                    << 0 << 0 << int(QMessageBox::Information);
    QTest::newRow("notify without a level")
        << QJsonArray{notification("notify", QJsonObject{{"message", "m"}})} << 0 << 0
        << int(QMessageBox::Warning);
    QTest::newRow("notify with a level beyond any integer")
        << QJsonArray{notification("notify", QJsonObject{{"level", 1e300}, {"message", "m"}})} << 0 << 0
        << int(QMessageBox::Information);
    QTest::newRow("notify with an empty message")
        << QJsonArray{notification("notify", QJsonObject{{"level", 1}, {"message", ""}})} << 0 << 0 << -1;
    QTest::newRow("unknown method") << QJsonArray{notification("whatever", QJsonObject{})} << 0 << 0 << -1;
    QTest::newRow("neither method nor string id")
        << QJsonArray{QJsonObject{{"jsonrpc", "2.0"}, {"id", 3}}, QJsonObject{{"result", 1}}} << 0 << 0 << -1;
    QTest::newRow("not JSON, not an object")
        << QJsonArray{"7:garbage,", "2:[],", notification("session-update", session)} << 1 << 0 << -1;
}

void TestRpcSshTransport::notifications() {
    QFETCH(QJsonArray, greeting);
    QFETCH(int, updates);
    QFETCH(int, deletes);
    QFETCH(int, boxIcon);
    if (QTest::currentDataTag() == QLatin1String("unknown method"))
        QTest::ignoreMessage(QtWarningMsg, "Unknown method whatever");
    const auto instance = make(m_fixture.settings(QJsonObject{{"greeting", greeting}}));
    QSignalSpy updated(instance.get(), &RpcInstance::sessionUpdated);
    QSignalSpy deleted(instance.get(), &RpcInstance::sessionDeleted);
    QVERIFY(waitReady(*instance));
    // The greeting has been read once an answer behind it has.
    const auto list = watch(instance->sessionList());
    QTRY_VERIFY_WITH_TIMEOUT(list->count > 0, SshRpcFixture::timeoutMs);
    QCOMPARE(updated.count(), updates);
    QCOMPARE(deleted.count(), deletes);
    if (updates)
        QCOMPARE(updated[0][0].value<Session>().id(), QString("s9"));
    if (deletes)
        QCOMPARE(deleted[0][0].value<Session>().id(), QString("s9"));
    const QList<QMessageBox*> boxes = openBoxes();
    QCOMPARE(boxes.size(), boxIcon < 0 ? 0 : 1);
    if (boxIcon >= 0) {
        QCOMPARE(int(boxes[0]->icon()), boxIcon);
        QCOMPARE(boxes[0]->text(), QString("m"));
        QCOMPARE(boxes[0]->windowTitle(), "Velnor " + m_fixture.sshd.host());
    }
}

void TestRpcSshTransport::notificationBoxIsPlainAndDoesNotBlock() {
    // Markup from the server is shown as it is; answers keep coming while the box is open.
    const QString markup = "<img src=x><b>bold</b>";
    const auto instance = make(m_fixture.settings(scriptFor(
        "/v3/api/user/me",
        QJsonObject{{"before",
                     QJsonArray{notification("notify", QJsonObject{{"level", 1}, {"message", markup}})}}})));
    QVERIFY(waitReady(*instance));
    const auto me = watch(instance->userMe());
    QTRY_VERIFY_WITH_TIMEOUT(me->count > 0, SshRpcFixture::timeoutMs);
    QVERIFY(me->ok);
    const QList<QMessageBox*> boxes = openBoxes();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes[0]->textFormat(), Qt::PlainText);
    QCOMPARE(boxes[0]->text(), markup);
}

void TestRpcSshTransport::notificationFloodShowsOneBoxAtATime() {
    // A server that floods the connection with notifications gets one box at a time, a few waiting
    // behind it, and the rest refused; a very long text is cut, and says so.
    const int frames = 2000;
    QJsonArray greeting;
    greeting.append(notification("notify", QJsonObject{{"level", 3}, {"message", QString(200 * 1024, 'x')}}));
    for (int i = 1; i < frames; ++i)
        greeting.append(notification("notify", QJsonObject{{"level", 2}, {"message", QString::number(i)}}));
    const auto instance = make(m_fixture.settings(QJsonObject{{"greeting", greeting}}));
    QVERIFY(waitReady(*instance));
    const auto list = watch(instance->sessionList());
    QTRY_VERIFY_WITH_TIMEOUT(list->count > 0, SshRpcFixture::timeoutMs);

    QList<QMessageBox*> boxes = openBoxes();
    QCOMPARE(boxes.size(), 1);
    const QString first = boxes[0]->text();
    QVERIFY(first.startsWith(QString(64 * 1024, 'x')));
    QVERIFY(first.size() < 65 * 1024);
    QVERIFY(!first.endsWith('x'));
    QVERIFY(first.contains(QStringLiteral("cut")));

    // Closing a box shows the next one, in order, until the few that waited are done.
    QStringList shown;
    for (int i = 0; i < frames && !(boxes = openBoxes()).isEmpty(); ++i) {
        QCOMPARE(boxes.size(), 1);
        boxes[0]->close();
        QTest::qWait(0);
        boxes = openBoxes();
        if (!boxes.isEmpty())
            shown << boxes[0]->text();
    }
    QVERIFY2(!shown.isEmpty() && shown.size() <= 16, qPrintable(QString::number(shown.size())));
    for (int i = 0; i < shown.size(); ++i)
        QCOMPARE(shown[i], QString::number(i + 1));
    QVERIFY(instance->log().join('\n').contains(QStringLiteral("not shown")));
}

void TestRpcSshTransport::standardError_data() {
    QTest::addColumn<bool>("debugLogging");
    QTest::newRow("normal: lines and banners") << false;
    QTest::newRow("debug logging: lines only") << true;
}

void TestRpcSshTransport::standardError() {
    QFETCH(bool, debugLogging);
    SshLaunchSettings settings =
        m_fixture.settings(QJsonObject{{"stderr", QJsonArray{"first line", "second line"}}});
    settings.debugLogging = debugLogging;
    const auto instance = make(settings);
    QStringList banners;
    connect(instance.get(), &RpcInstance::banner, this, [&](const QString& text) { banners << text; });
    QVERIFY(waitReady(*instance));
    QTRY_VERIFY_WITH_TIMEOUT(instance->log().contains("second line"), SshRpcFixture::timeoutMs);
    QVERIFY(instance->log().contains("first line"));
    if (debugLogging) {
        QVERIFY(banners.isEmpty());
        // ssh's own debug lines are logged as well.
        QVERIFY(instance->log().filter("debug1:").size() > 0);
    } else {
        QVERIFY(banners.join('\n').contains("first line\nsecond line"));
    }
}

void TestRpcSshTransport::partialStandardErrorWaitsForItsNewline() {
    const QJsonArray entries{QJsonObject{{"stderr", "half "}}, QJsonObject{{"stderr", QJsonArray{"done"}}}};
    const auto instance = make(m_fixture.settings(scriptFor("/v3/api/user/me", entries)));
    QStringList banners;
    connect(instance.get(), &RpcInstance::banner, this, [&](const QString& text) { banners << text; });
    QVERIFY(waitReady(*instance));
    const auto first = watch(instance->userMe());
    QTRY_VERIFY_WITH_TIMEOUT(first->count > 0, SshRpcFixture::timeoutMs);
    const auto second = watch(instance->userMe());
    QTRY_VERIFY_WITH_TIMEOUT(instance->log().contains("half done"), SshRpcFixture::timeoutMs);
    QVERIFY(!instance->log().contains("half"));
    QVERIFY(banners.contains("half done"));
}

void TestRpcSshTransport::endlessStandardErrorLineIsTakenAsALine_data() {
    QTest::addColumn<bool>("debugLogging");
    QTest::newRow("normal") << false;
    QTest::newRow("debug logging") << true;
}

// A line that never ends is not held without bound: past 1 MiB it is logged as it is.
void TestRpcSshTransport::endlessStandardErrorLineIsTakenAsALine() {
    QFETCH(bool, debugLogging);
    const QString flood(1024 * 1024 + 4096, QLatin1Char('y'));
    const QJsonArray entries{QJsonObject{{"stderr", flood}}};
    SshLaunchSettings settings = m_fixture.settings(scriptFor("/v3/api/user/me", entries));
    settings.debugLogging = debugLogging;
    const auto instance = make(settings);
    QVERIFY(waitReady(*instance));
    const auto request = watch(instance->userMe());
    QTRY_VERIFY_WITH_TIMEOUT(request->count > 0, SshRpcFixture::timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!instance->log().filter(QRegularExpression("^y{1024}")).isEmpty(),
                             SshRpcFixture::timeoutMs);
}

void TestRpcSshTransport::endings_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("run");
    QTest::addColumn<QString>("extraArgs");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("details");

    QTest::newRow("connection refused")
        << "127.0.0.1" << int(closedPort()) << QString() << QString() << "SSH Connection Failed"
        << "Unable to connect to the host \"127.0.0.1\". The host may be down.";
    QTest::newRow("unknown host") << "no-such-host.invalid" << 0 << QString() << QString()
                                  << "SSH Connection Failed"
                                  << "The host \"no-such-host.invalid\" was not recognized. Make sure the "
                                     "hostname is correct.";
    QTest::newRow("command not found")
        << QString() << 0 << "velnor-no-such-command" << QString() << "SSH Connection Failed"
        << "Unable to run Velnor interface script velnor-no-such-command. Check that Velnor is properly "
           "installed on your server.";
    QTest::newRow("command path that does not exist")
        << QString() << 0 << "/nonexistent/velnor-protocol" << QString() << "SSH Connection Failed"
        << "Unable to run Velnor interface script /nonexistent/velnor-protocol. Check that Velnor is "
           "properly "
           "installed on your server.";
    QTest::newRow("authentication failure")
        << QString() << 0 << QString()
        << "--stderr 'Received disconnect: Too many authentication failures\n' --exit-before-marker 255"
        << "SSH Connection Failed"
        << "Unable to authenticate the user.";
    QTest::newRow("authentication wins over an unknown host (row order)")
        << QString() << 0 << QString()
        << "--stderr 'Could not resolve hostname x\nNo more authentication methods to try\n' "
           "--exit-before-marker 255"
        << "SSH Connection Failed"
        << "Unable to authenticate the user.";
    QTest::newRow("texts in other letter case match nothing")
        << QString() << 0 << QString()
        << "--stderr 'too many authentication failures\ncould not resolve hostname\n' --exit-before-marker 9"
        << "SSH Connection Failed"
        << "SSH exited with error code 9.";
    // The shell names the program the default command execs; each shell has its own words.
    QTest::newRow("exec of a command that does not exist")
        << QString() << 0 << "exec velnor-no-such-command" << QString() << "SSH Connection Failed"
        << "Unable to run Velnor interface script velnor-no-such-command. Check that Velnor is properly "
           "installed on your server.";
    const QString missing = QStringLiteral(
        "Unable to run Velnor interface script %1. Check that Velnor is properly installed on your server.");
    const QString command = SshRpcFixture::command();
    for (const auto& [name, text] :
         {std::pair{"dash", QStringLiteral("sh: 1: %1: not found")},
          std::pair{"bash exec", QStringLiteral("bash: line 1: exec: %1: not found")},
          std::pair{"zsh", QStringLiteral("zsh:1: command not found: %1")},
          std::pair{"tcsh", QStringLiteral("%1: Command not found.")}}) {
        QTest::addRow("not found, as %s says it", name)
            << QString() << 0 << QString()
            << QStringLiteral("--stderr '%1\n' --exit-before-marker 127").arg(text.arg(command))
            << "SSH Connection Failed" << missing.arg(command);
    }
    QTest::newRow("exit after the marker: the log is not consulted")
        << QString() << 0 << QString() << "--stderr 'Connection refused\n'"
        << "SSH Connection Closed" << QString();
}

void TestRpcSshTransport::endings() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, run);
    QFETCH(QString, extraArgs);
    QFETCH(QString, reason);
    QFETCH(QString, details);
    SshLaunchSettings settings =
        m_fixture.settings(QJsonObject{{"exitAfter", QJsonObject{{"request", 1}, {"code", 0}}}}, extraArgs);
    if (!host.isEmpty())
        settings.host = host;
    if (port != 0)
        settings.port = quint16(port);
    if (!run.isEmpty())
        settings.run = run;
    const auto instance = make(settings);
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    // One request in flight; after the marker it is the one the server answers and then exits on.
    const auto pending = watch(instance->userMe());
    QVERIFY(finished.wait(SshRpcFixture::timeoutMs));
    QCOMPARE(finished[0][0].toString(), reason);
    QVERIFY2(finished[0][1].toString() == details,
             qPrintable(finished[0][1].toString() + "\n" + instance->log().join('\n')));
    QTRY_COMPARE(pending->count, 1);
    if (reason == "SSH Connection Failed") {
        QCOMPARE(pending->name, QString("ssh_crashed"));
        QCOMPARE(pending->message, details);
    } else {
        QVERIFY(pending->ok);
    }
    QCOMPARE(finished.count(), 1);
}

void TestRpcSshTransport::requestsAfterTheEndFailLater() {
    const auto instance =
        make(m_fixture.settings(QJsonObject{{"exitAfter", QJsonObject{{"request", 1}, {"code", 0}}}}));
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    QVERIFY(waitReady(*instance));
    instance->userMe();
    QVERIFY(finished.wait(SshRpcFixture::timeoutMs));
    const auto late = watch(instance->sessionList());
    QCOMPARE(late->count, 0);
    QTRY_COMPARE(late->count, 1);
    QCOMPARE(late->name, QString("ssh_channel"));
    QCOMPARE(late->message, QString("Channel failed"));
    // The process ended by itself: its tunnel port is free again.
    QCOMPARE(instance->tunnelPort(), ushort(0));
}

void TestRpcSshTransport::startFailureReportedLater() {
    SshLaunchSettings settings = m_fixture.settings();
    settings.host = "-oProxyCommand=false";
    const auto instance = make(settings);
    // Nothing is reported inside the constructor: the caller connects first.
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    const auto request = watch(instance->userMe());
    QCOMPARE(request->count, 0);
    QVERIFY(finished.wait(SshRpcFixture::timeoutMs));
    QCOMPARE(finished[0][0].toString(), QString("Ssh crashed"));
    QVERIFY(finished[0][1].toString().contains("must not begin with \"-\""));
    QTRY_COMPARE(request->count, 1);
    QCOMPARE(request->name, QString("ssh_failed"));
    QVERIFY(request->message.contains("must not begin with \"-\""));
    // Later requests fail the same way, after the call has returned.
    const auto later = watch(instance->sessionList());
    QCOMPARE(later->count, 0);
    QTRY_COMPARE(later->count, 1);
    QCOMPARE(later->name, QString("ssh_failed"));
}

// Another program takes the probed port before ssh binds it (ssh binds only once signed in): ssh
// starts again on another free port of the block, and what was sent meanwhile is not lost.
void TestRpcSshTransport::tunnelPortTakenBeforeSshBindsIt() {
    // Some ports of the block are held as well, as other programs' tunnels would.
    std::vector<std::unique_ptr<QTcpServer>> held;
    for (int p = SshProcess::firstProbedTunnelPort(); p < SshProcess::lastProbedTunnelPort(); p += 10) {
        auto server = std::make_unique<QTcpServer>();
        if (server->listen(QHostAddress::LocalHost, quint16(p)))
            held.push_back(std::move(server));
    }
    const auto instance = make(m_fixture.settings());
    const quint16 first = instance->tunnelPort();
    QVERIFY(first != 0);
    QTcpServer taker;
    QVERIFY(taker.listen(QHostAddress::LocalHost, first));
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    const auto early = watch(instance->userMe());

    QVERIFY2(waitReady(*instance), qPrintable(instance->log().join('\n')));
    const quint16 port = instance->tunnelPort();
    QVERIFY(port != first);
    QVERIFY(port != 0);
    QTRY_COMPARE_WITH_TIMEOUT(early->count, 1, SshRpcFixture::timeoutMs);
    QVERIFY(early->ok);
    QCOMPARE(finished.count(), 0);
    // The new port is ssh's own SOCKS listener.
    QTcpSocket socks;
    socks.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socks.waitForConnected(5000));
}

void TestRpcSshTransport::protocolErrorEndsTheSessionOnce_data() {
    QTest::addColumn<QString>("raw");
    QTest::newRow("length that is no number") << "x:broken,12:more bytes,";
    // Refused from the length alone, as the web transport refuses such replies; nothing is awaited.
    QTest::newRow("length over the cap") << QString::number(RpcInstanceSsh::maxMessageBytes + 1) + ":{";
}

void TestRpcSshTransport::protocolErrorEndsTheSessionOnce() {
    QFETCH(QString, raw);
    QJsonObject script{{"methods", QJsonObject{{"/v3/api/session/list", QJsonObject{{"noReply", true}}},
                                               {"/v3/api/user/me", QJsonObject{{"raw", raw}}}}}};
    const auto instance = make(m_fixture.settings(script));
    QSignalSpy finished(instance.get(), &RpcInstance::finished);
    QVERIFY(waitReady(*instance));
    SshProcess* process = instance->process();
    const auto waiting = watch(instance->sessionList());
    const auto broken = watch(instance->userMe());
    QVERIFY(finished.wait(SshRpcFixture::timeoutMs));
    QCOMPARE(finished[0][0].toString(), QString("Protocol error"));
    QCOMPARE(finished[0][1].toString(), QString("Incorrect NetString from server"));
    QCOMPARE(waiting->name, QString("protocol"));
    QCOMPARE(broken->name, QString("protocol"));
    QCOMPARE(broken->message, QString("Incorrect NetString from server"));
    // ssh is closed and its end reports nothing more.
    QTRY_COMPARE_WITH_TIMEOUT(process->state(), QProcess::NotRunning, SshRpcFixture::timeoutMs);
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
    const auto later = watch(instance->userMe());
    QTRY_COMPARE(later->count, 1);
    QCOMPARE(later->name, QString("ssh_channel"));
}

void TestRpcSshTransport::retryFromAFailureHandlerSurvives() {
    const auto instance = make(m_fixture.settings(
        QJsonObject{{"methods", QJsonObject{{"/v3/api/session/list", QJsonObject{{"noReply", true}}}}},
                    {"exitAfter", QJsonObject{{"request", 2}, {"code", 0}}}}));
    QVERIFY(waitReady(*instance));
    std::shared_ptr<Outcome> retry;
    const auto first = watch(instance->sessionList());
    RpcPromiseBase* second = instance->sessionList();
    connect(second, &RpcPromiseBase::failed, this, [&] { retry = watch(instance->sessionList()); });
    QTRY_VERIFY_WITH_TIMEOUT(retry && retry->count == 1, SshRpcFixture::timeoutMs);
    QCOMPARE(first->name, QString("ssh_crashed"));
    // Failed once, later, for its own reason: not swept up with the requests that were pending.
    QCOMPARE(retry->name, QString("ssh_channel"));
}

void TestRpcSshTransport::deletionFailsTakenPromisesAndEndsSsh() {
    // The command ignores the end of its input for a minute: ssh must still go.
    auto instance = make(m_fixture.settings(QJsonObject{
        {"lingerMs", 60000}, {"methods", QJsonObject{{"/v3/api/user/me", QJsonObject{{"noReply", true}}}}}}));
    QVERIFY(waitReady(*instance));
    const qint64 pid = instance->process()->processId();
    QVERIFY(pid > 0);
    RpcPromiseBase* taken = instance->userMe();
    RpcPromiseBase* kept = instance->userMe();
    taken->setParent(nullptr);
    const auto outcome = watch(taken);
    QSignalSpy keptGone(kept, &QObject::destroyed);
    // Let both requests reach the server, so that only the deletion can settle them.
    QTRY_COMPARE_WITH_TIMEOUT(m_fixture.recorded().size(), 2, SshRpcFixture::timeoutMs);
    instance.reset();
    QCOMPARE(keptGone.count(), 1);
    QCOMPARE(outcome->count, 0);
    QTRY_COMPARE(outcome->count, 1);
    QCOMPARE(outcome->name, QString("deleted"));
    QCOMPARE(outcome->message, QString("Channel deleted"));
    delete taken;
    QTRY_VERIFY_WITH_TIMEOUT(::kill(pid_t(pid), 0) != 0, SshRpcFixture::timeoutMs);
}

void TestRpcSshTransport::debugOutputRedactsSecrets() {
    const auto instance = make(m_fixture.settings(scriptFor(
        "/v3/api/session/params", QJsonObject{{"result", QJsonObject{{"token", "server-secret"}}}})));
    QVERIFY(waitReady(*instance));
    QStringList messages;
    g_rpcMessages = &messages;
    g_previousHandler = qInstallMessageHandler(collectRpcMessages);
    QLoggingCategory::setFilterRules("velnor.rpc.debug=true");
    const auto set = watch(instance->setSessionParam("s1", "password", "hunter2"));
    QTRY_VERIFY_WITH_TIMEOUT(set->count > 0, SshRpcFixture::timeoutMs);
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    qInstallMessageHandler(g_previousHandler);
    g_rpcMessages = nullptr;
    QVERIFY(set->ok);
    const QString all = messages.join('\n');
    QVERIFY2(all.contains("/v3/api/session/params"), qPrintable(all));
    QVERIFY2(!all.contains("hunter2") && !all.contains("server-secret"), qPrintable(all));
    QVERIFY(all.contains("\"password\":\"***\""));
    QVERIFY(all.contains("\"token\":\"***\""));
}

// Every key that carries a secret in the staged sign-in's requests and replies, over ssh.
void TestRpcSshTransport::signInSecretsStayOutOfDebugOutput() {
    const QStringList keys{"authtoken", "password", "answer", "publicKey", "signature", "signData", "token"};
    QJsonObject request{{"stage", "keyboard-interactive"}}, reply{{"stage", "sign"}};
    for (const QString& key : keys) {
        request.insert(key, "MyS3cretPassw0rd-" + key);
        reply.insert(key, "MyS3cretReply-" + key);
    }
    const auto instance =
        make(m_fixture.settings(scriptFor("/v3/api/session/start", QJsonObject{{"result", reply}})));
    QVERIFY(waitReady(*instance));
    QStringList messages;
    g_rpcMessages = &messages;
    g_previousHandler = qInstallMessageHandler(collectRpcMessages);
    QLoggingCategory::setFilterRules("velnor.rpc.debug=true");
    const auto start = watch(instance->startSessionRaw(request));
    QTRY_VERIFY_WITH_TIMEOUT(start->count > 0, SshRpcFixture::timeoutMs);
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    qInstallMessageHandler(g_previousHandler);
    g_rpcMessages = nullptr;
    QVERIFY(start->ok);
    const QString all = messages.join('\n');
    QVERIFY2(all.contains("\"stage\":\"sign\""), qPrintable(all));
    for (const QString& key : keys)
        QVERIFY2(all.count("\"" + key + "\":") == 2, qPrintable(key + '\n' + all));
    QVERIFY2(!all.contains("MyS3cret"), qPrintable(all));
}

QTEST_MAIN(TestRpcSshTransport)
#include "tst_rpc_ssh_transport.moc"

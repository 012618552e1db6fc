// A connect reply from a real server interface starts the built-in viewer, which reaches the display
// simulator: over the web transport on wss (direct URL, then the base-URL relay form), and over ssh
// through the real dynamic forward of the ssh login.

#include "../rpc/ssh/SshRpcFixture.h"
#include "../ClosedPort.h"

#include "SimServer.h"
#include "TestCertificate.h"
#include "app/CloseHelper.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionConnectOp.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTest>

namespace {

void closeBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget))
            widget->deleteLater();
}

DisplaySim::ServerOptions simOptions(DisplaySim::Transport transport) {
    DisplaySim::ServerOptions options;
    options.transport = transport;
    options.capabilities << DisplaySim::Entry::password();
    options.expectedPassword = QByteArray("session-secret");
    return options;
}

} // namespace

class TestViewerEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
        m_pem = makeTestCertificate(QStringLiteral("/CN=127.0.0.1/O=viewer-end-to-end"));
        QVERIFY2(m_pem.error.isEmpty(), qPrintable(m_pem.error));
        // The simulator's certificate is trusted like a proper one would be.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(QSslCertificate(m_pem.certificatePem, QSsl::Pem));
        QSslConfiguration::setDefaultConfiguration(tls);
        // A visible window keeps the quit policy from ending the test's event loops when a viewer ends.
        m_keeper.show();
    }

    void cleanup() { closeBoxes(); }

    void web_data() {
        QTest::addColumn<bool>("directMode");
        QTest::addColumn<bool>("directReachable");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("query");
        QTest::newRow("direct URL first") << true << true << "/direct" << "";
        QTest::newRow("relay after a dead direct URL") << true << false << "/client/protocol" << "id=42";
        QTest::newRow("direct mode off") << false << true << "/client/protocol" << "id=42";
    }

    // The simulator sees the password, the display name and the token on the URL it should.
    void web() {
        QFETCH(bool, directMode);
        QFETCH(bool, directReachable);
        QFETCH(QString, path);
        QFETCH(QString, query);
        DisplaySim::ServerOptions options = simOptions(DisplaySim::Transport::SecureWebSocket);
        options.certificatePem = m_pem.certificatePem;
        options.keyPem = m_pem.keyPem;
        DisplaySim::Server sim(options);
        QVERIFY2(sim.listen(), qPrintable(sim.errorString()));

        // The simulator stands in for the server's relay too: the base URL is its address.
        const QUrl base(QStringLiteral("https://127.0.0.1:%1/some/path?x=1").arg(sim.port()));
        QSharedPointer<RpcInstance> rpc(new RpcInstanceWeb(base, false, !directMode, nullptr));
        auto context = QSharedPointer<ConnectionContext>::create();
        context->userInfo.insert("displayName", "Ann");
        const quint16 directPort = directReachable ? sim.port() : closedPort();
        ConnectInfo info = ConnectInfo::fromJson(QJsonObject{
            {"id", "42"},
            {"password", "session-secret"},
            {"urls", QJsonArray{QStringLiteral("wss://127.0.0.1:%1/direct").arg(directPort)}},
            {"params", QJsonObject{{"name", "Desk"}, {"AuthToken", "token-42"}}}});
        SessionConnectOp op(rpc, context);
        QPointer<RdpInstance> viewer;
        connect(&op, &SessionConnectOp::sessionStarting, this, [&](RdpInstance* started) { viewer = started; });
        op.begin(info, QString(), QString(), QJsonArray());
        QVERIFY(viewer);
        QCOMPARE(findViewer("42"), viewer.data());
        QVERIFY(CloseHelper::instance()->trackedObjects().contains(viewer.data()));
        QVERIFY(sim.awaitMainSequence(20000));

        QCOMPARE(sim.record().password, QByteArray("session-secret"));
        QCOMPARE(sim.record().displayName, QStringLiteral("Ann"));
        QCOMPARE(sim.upgrades().size(), 1);
        QCOMPARE(sim.upgrades().first().path, path);
        QCOMPARE(sim.upgrades().first().query, query);
        QCOMPARE(sim.upgrades().first().token, QByteArray("token-42"));
        QTRY_VERIFY(viewer->connected());

        // The server ends the session: the viewer goes and leaves the registry.
        sim.sendDisconnect(QStringLiteral("Session ended"), quint8(2));
        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 20000);
        QCOMPARE(findViewer("42"), nullptr);
        QVERIFY(CloseHelper::instance()->trackedObjects().isEmpty());
    }

    // Over ssh: the connect reply names the simulator's port on the server side; the viewer reaches it
    // through the ssh login's dynamic forward, and the reply's uri gains its leading "/".
    void ssh() {
        QString error;
        if (!m_fixture.sshd.isRunning() && !m_fixture.start(&error))
            QFAIL(qPrintable(error));
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
        DisplaySim::Server sim(simOptions(DisplaySim::Transport::WebSocket));
        QVERIFY2(sim.listen(), qPrintable(sim.errorString()));
        const QJsonObject reply{{"id", "s-ssh"},
                                {"password", "session-secret"},
                                {"webSocketPort", sim.port()},
                                {"uri", "client/protocol"},
                                {"params", QJsonObject{{"name", "Over ssh"}}}};
        const QJsonObject script{
            {"methods", QJsonObject{{"/v3/api/session/connect", QJsonObject{{"result", reply}}}}}};
        QSharedPointer<RpcInstance> rpc(new RpcInstanceSsh(m_fixture.settings(script)));
        QSignalSpy ready(rpc.data(), &RpcInstance::ready);
        QSignalSpy finished(rpc.data(), &RpcInstance::finished);
        (void)QTest::qWaitFor([&] { return ready.count() == 1 || finished.count() > 0; }, SshRpcFixture::timeoutMs);
        QVERIFY2(ready.count() == 1,
                 qPrintable(rpc->log().join('\n') + QLatin1Char('\n') + m_fixture.sshd.serverLog()));

        RpcPromise<ConnectInfo>* promise = rpc->connectSession("s-ssh");
        QSignalSpy succeeded(promise, &RpcPromiseBase::succeeded);
        QVERIFY(succeeded.wait(SshRpcFixture::timeoutMs));
        auto context = QSharedPointer<ConnectionContext>::create();
        context->userInfo.insert("displayName", "Bo");
        SessionConnectOp op(rpc, context);
        QPointer<RdpInstance> viewer;
        connect(&op, &SessionConnectOp::sessionStarting, this, [&](RdpInstance* started) { viewer = started; });
        op.begin(promise->value, QString(), QString(), QJsonArray());
        QVERIFY(viewer);
        QCOMPARE(viewer->windowTitle(), QStringLiteral("Over ssh"));
        QVERIFY(sim.awaitMainSequence(SshRpcFixture::timeoutMs));
        QCOMPARE(sim.record().password, QByteArray("session-secret"));
        QCOMPARE(sim.record().displayName, QStringLiteral("Bo"));
        QCOMPARE(sim.upgrades().first().path, QStringLiteral("/client/protocol"));

        viewer->quit();
        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 20000);
        QCOMPARE(findViewer("s-ssh"), nullptr);
    }

    // A refusing endpoint: the viewer ends unconnected with its error box, and nothing stays behind.
    void refusedEndpoint() {
        QSharedPointer<RpcInstance> rpc(new RpcInstanceWeb(
            QUrl(QStringLiteral("https://127.0.0.1:%1").arg(closedPort())), false, true, nullptr));
        SessionConnectOp op(rpc, QSharedPointer<ConnectionContext>::create());
        QPointer<RdpInstance> viewer;
        connect(&op, &SessionConnectOp::sessionStarting, this, [&](RdpInstance* started) { viewer = started; });
        op.begin(ConnectInfo::fromJson(QJsonObject{{"id", "dead"}, {"webSocketPort", 0}}), QString(), QString(),
                 QJsonArray());
        QVERIFY(viewer);
        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 20000);
        QCOMPARE(findViewer("dead"), nullptr);
        const QWidgetList widgets = QApplication::topLevelWidgets();
        QVERIFY(std::any_of(widgets.begin(), widgets.end(),
                            [](QWidget* w) { return qobject_cast<QMessageBox*>(w) && w->isVisible(); }));
    }

private:
    TestCertificatePem m_pem;
    QWidget m_keeper;
    SshRpcFixture m_fixture;
};

QTEST_MAIN(TestViewerEndToEnd)
#include "tst_viewer_end_to_end.moc"

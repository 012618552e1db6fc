#include "ControllerFixture.h"
#include "SimServer.h"
#include "viewer/engine/RdpInstance.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/widgets/RdpWidget.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using namespace ControllerTest;
using namespace DisplaySim;

namespace {

quint16 refusedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort(); // closed again when the server goes
}

void startOn(RdpInstance& instance, const QUrl& url, const QVariantMap& connectInfo = {},
             const QString& title = QStringLiteral("Title")) {
    instance.start(QNetworkRequest(url), QNetworkProxy(QNetworkProxy::NoProxy), QStringLiteral("tester"),
                   QStringLiteral("secret"), QStringLiteral("640x480"), title, false, connectInfo);
}

} // namespace

class TestRdpInstance : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdpinstance"));
    }

    void init() {
        settings = std::make_unique<PrivateSettings>();
        QVERIFY(settings->isValid());
    }

    void cleanup() { settings.reset(); }

    void withoutSession_data() {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QVariant>("written"); // a write that must change nothing

        QTest::newRow("running") << QByteArray("running") << QVariant(false) << QVariant();
        QTest::newRow("DPI") << QByteArray("DPI") << QVariant(96) << QVariant(120);
        QTest::newRow("bigBlockMinimumSize")
            << QByteArray("bigBlockMinimumSize") << QVariant(256) << QVariant(64);
        QTest::newRow("smallBlockImageFormat")
            << QByteArray("smallBlockImageFormat") << QVariant::fromValue(uchar(2))
            << QVariant::fromValue(uchar(4));
        QTest::newRow("bigBlockImageFormat")
            << QByteArray("bigBlockImageFormat") << QVariant::fromValue(uchar(2))
            << QVariant::fromValue(uchar(4));
        QTest::newRow("adjustsAutomatically")
            << QByteArray("adjustsAutomatically") << QVariant(true) << QVariant(false);
        QTest::newRow("scalingFactor") << QByteArray("scalingFactor") << QVariant(0.0) << QVariant(2.0);
        QTest::newRow("compressionLevel") << QByteArray("compressionLevel") << QVariant(0) << QVariant(3);
        QTest::newRow("framePerSecond") << QByteArray("framePerSecond") << QVariant(0) << QVariant(10);
        QTest::newRow("capturesKeys") << QByteArray("capturesKeys") << QVariant(false) << QVariant(true);
        QTest::newRow("highQualityUpgrades")
            << QByteArray("highQualityUpgrades") << QVariant(false) << QVariant(true);
        QTest::newRow("networkTypes") << QByteArray("networkTypes") << QVariant(QJsonArray()) << QVariant();
        QTest::newRow("windowTitle") << QByteArray("windowTitle") << QVariant(QString()) << QVariant();
        QTest::newRow("cursorPos") << QByteArray("cursorPos") << QVariant(QPoint()) << QVariant();
    }

    void withoutSession() {
        QFETCH(QByteArray, property);
        QFETCH(QVariant, value);
        QFETCH(QVariant, written);
        RdpInstance instance;
        QCOMPARE(instance.property(property.constData()), value);
        if (written.isValid()) {
            instance.setProperty(property.constData(), written);
            QCOMPARE(instance.property(property.constData()), value);
        }
        QVERIFY(!instance.wasConnected());
        QCOMPARE(instance.clientMe(), RdpClient());
        QVERIFY(instance.supportedCodecs().isEmpty());
        instance.resizeDesktop(QSize(10, 10)); // nothing to forward to
        QVERIFY(settings->allKeys().isEmpty());
    }

    void sessionStartAndEnd() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        RdpInstance instance;
        QSignalSpy running(&instance, &RdpInstance::runningChanged);
        QSignalSpy connected(&instance, &RdpInstance::connectedChanged);
        QSignalSpy finished(&instance, &RdpInstance::finished);
        startOn(instance, sim.url(), {{"SessionId", "s-42"}, {"RealHost", "the-host"}},
                QStringLiteral("Desk"));
        QCOMPARE(running.count(), 1);
        QVERIFY(instance.running());
        QCOMPARE(instance.sessionId(), QStringLiteral("s-42"));
        QCOMPARE(instance.master()->realHost(), QStringLiteral("the-host"));
        QCOMPARE(instance.windowTitle(), QStringLiteral("Desk"));
        // A connect map without "NetworkTypes" leaves the list with only the custom entry.
        QCOMPARE(instance.networkTypes(), (QJsonArray{QJsonObject{{"name", "Custom"}}}));

        // A second start while running is ignored.
        RdpMaster* first = instance.master();
        startOn(instance, QUrl(QStringLiteral("ws://127.0.0.1:1/")));
        QCOMPARE(instance.master(), first);
        QCOMPARE(running.count(), 1);

        QVERIFY(awaitSessionReady(sim));
        QTRY_COMPARE(connected.count(), 1);
        QVERIFY(instance.wasConnected());

        // Forwarded changes, including those of settings that no Settings message carries.
        QSignalSpy compression(&instance, &RdpInstance::compressionLevelChanged);
        QSignalSpy commandKey(&instance, &RdpInstance::sendCommandKeyChanged);
        instance.setCompressionLevel(2);
        instance.setSendCommandKey(true);
        QCOMPARE(compression.count(), 1);
        QCOMPARE(instance.compressionLevel(), 2);
        QCOMPARE(commandKey.count(), 1);
        QVERIFY(instance.sendCommandKey());

        sim.sendDisconnect(QStringLiteral("Bye"), quint8(9));
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!instance.running());
        QCOMPARE(running.count(), 2);
        QCOMPARE(instance.finishLevel(), uchar(9));
        QCOMPARE(instance.finishMessage(), QStringLiteral("Bye"));
        QCOMPARE(instance.windowTitle(), QString());
        QCOMPARE(instance.lastWindowTitle(), QStringLiteral("Desk"));
        QVERIFY(instance.wasConnected()); // kept after the session dropped
        QVERIFY(sim.awaitClientGone());

        // The instance runs a new session afterwards; the finish state is cleared, the title kept.
        startOn(instance, sim.url(), {{"NetworkTypes", QJsonArray{QJsonObject{{"_id", "x"}}}}});
        QCOMPARE(instance.finishLevel(), uchar(0));
        QCOMPARE(instance.finishMessage(), QString());
        QCOMPARE(instance.lastWindowTitle(), QStringLiteral("Desk"));
        QCOMPARE(instance.networkTypes().size(), 2);
        instance.quit();
    }

    void neverConnected() {
        RdpInstance instance;
        QSignalSpy finished(&instance, &RdpInstance::finished);
        startOn(instance, QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(refusedPort())));
        QVERIFY(finished.wait(10000));
        QVERIFY(!instance.wasConnected());
        QCOMPARE(instance.finishLevel(), uchar(11));
        QVERIFY(!instance.finishMessage().isEmpty());
    }

    void quitTwice() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        RdpInstance instance;
        QSignalSpy finished(&instance, &RdpInstance::finished);
        startOn(instance, sim.url());
        QVERIFY(awaitSessionReady(sim));
        QPointer<RdpMaster> master = instance.master();
        instance.quit();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(instance.finishLevel(), uchar(255));
        QCOMPARE(instance.finishMessage(), QString());
        QVERIFY(!instance.running());
        instance.quit();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(instance.finishLevel(), uchar(255));
        QTRY_VERIFY(!master);
        QVERIFY(sim.awaitClientGone());
        QCOMPARE(finished.count(), 1); // the connection's own end never arrives
    }

    // A window's own event handler ends the session (closing the desktop window asks to quit, and this
    // listener quits at once): the window and the controller go only after the handler has returned.
    void quitFromAWindowsHandler() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        RdpInstance instance;
        startOn(instance, sim.url());
        QVERIFY(awaitSessionReady(sim));
        QTRY_VERIFY(instance.master()->widgetList()->widget(1));
        QPointer<RdpWidget> window = instance.master()->widgetList()->widget(1);
        QPointer<RdpMaster> master = instance.master();
        bool aliveAfterQuit = false;
        connect(&instance, &RdpInstance::wantsToQuit, this, [&] {
            instance.quit();
            aliveAfterQuit = !window.isNull() && !master.isNull();
        });
        QVERIFY(window->close());
        QVERIFY(aliveAfterQuit);
        QVERIFY(!instance.running());
        QTRY_VERIFY(!window);
        QTRY_VERIFY(!master);
    }

    void shareEnabledIsStored() {
        RdpInstance instance;
        QSignalSpy changed(&instance, &RdpInstance::shareEnabledChanged);
        QVERIFY(instance.setProperty("shareEnabled", true));
        QVERIFY(instance.setProperty("shareEnabled", true));
        QCOMPARE(changed.count(), 1);
        QVERIFY(instance.shareEnabled());
    }

    void defaultHandlersQuitLater() {
        Server sim(simOptions());
        QVERIFY(sim.listen());
        RdpInstance instance;
        RdpDefaultHandlers handlers(&instance);
        startOn(instance, sim.url());
        emit instance.wantsToQuit();
        QVERIFY(instance.running()); // queued
        QTRY_VERIFY(!instance.running());
        QCOMPARE(instance.finishLevel(), uchar(255));
    }

    void onePanelOfEachKind_data() {
        QTest::addColumn<bool>("options");
        QTest::newRow("options") << true;
        QTest::newRow("sharing") << false;
    }

    void onePanelOfEachKind() {
        QFETCH(bool, options);
        Server sim(simOptions());
        QVERIFY(sim.listen());
        RdpInstance instance;
        auto handlers = std::make_unique<RdpDefaultHandlers>(&instance);
        startOn(instance, sim.url(), {}, QStringLiteral("Desk"));
        auto show = [&] {
            options ? emit instance.wantsToShowOptions() : emit instance.wantsToShowSharing();
        };
        auto close = [&] {
            options ? emit instance.wantsToCloseOptions() : emit instance.wantsToCloseSharing();
        };
        auto panel = [&] { return options ? handlers->optionsWindow() : handlers->sharingWindow(); };

        show();
        QPointer<QWidget> first = panel();
        QVERIFY(first);
        QVERIFY(first->isVisible());
        QCOMPARE(first->windowTitle(),
                 options ? QStringLiteral("Desk - Options") : QStringLiteral("Desk - Sharing"));
        first->showMinimized();
        show();
        QCOMPARE(panel(), first.data());
        QVERIFY(!first->isMinimized());
        first->hide();
        show();
        QCOMPARE(panel(), first.data());
        QVERIFY(first->isVisible());

        close();
        QTRY_VERIFY(!first);
        QVERIFY(!panel());
        close(); // nothing left to close

        show();
        QPointer<QWidget> second = panel();
        QVERIFY(second);
        handlers.reset(); // the panels close (and go) with their handlers
        QTRY_VERIFY(!second);
        instance.quit();
    }

private:
    std::unique_ptr<PrivateSettings> settings;
};

QTEST_MAIN(TestRdpInstance)
#include "tst_rdpinstance.moc"

#include "sessions/ViewerLaunchers.h"

#include "../ClosedPort.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/SessionConnectOp.h"

#include "app/CloseHelper.h"
#include "rpc/CertificateTrust.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPointer>
#include <QTcpServer>
#include <QTest>

namespace {

ConnectInfo reply(const char* json) {
    // Single quotes keep the JSON readable.
    return ConnectInfo::fromJson(QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object());
}

QStringList takeErrorBoxes() {
    QStringList texts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            texts.append(box->text());
            box->close();
        }
    }
    return texts;
}

} // namespace

class TestViewerLaunchers : public QObject {
    Q_OBJECT
private slots:
    // A viewer that cannot reach its endpoint ends unconnected, tells the user, and leaves the
    // registry and the quit policy.
    void unreachableEndpointEndsCleanly_data() {
        QTest::addColumn<bool>("web");
        QTest::addColumn<QByteArray>("json");
        const QByteArray port = QByteArray::number(closedPort());
        QTest::newRow("ssh, ports 0, empty password") << false << QByteArray("{'id':'s1'}");
        QTest::newRow("ssh, refusing port")
            << false << QByteArray("{'id':'s1','password':'pw','webSocketPort':" + port + "}");
        QTest::newRow("web, unknown scheme then refusing relay")
            << true << QByteArray("{'id':'s1','urls':['ftp://127.0.0.1/x']}");
    }
    void unreachableEndpointEndsCleanly() {
        QFETCH(bool, web);
        QFETCH(QByteArray, json);
        ConnectionContext context;
        context.userInfo.insert("displayName", "Ann");
        const ConnectInfo info = reply(json.constData());
        CertificateTrust trust;
        QPointer<RdpInstance> viewer =
            web ? launchViewerWeb(&context, info, "n", {},
                                  QUrl(QStringLiteral("https://127.0.0.1:%1").arg(closedPort())), false,
                                  &trust)
                : launchViewerSsh(&context, info, "n", {}, closedPort());
        QVERIFY(viewer);
        QCOMPARE(findViewer("s1"), viewer.data());
        QVERIFY(CloseHelper::instance()->trackedObjects().contains(viewer.data()));

        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 30000);
        QCOMPARE(findViewer("s1"), nullptr);
        QVERIFY(CloseHelper::instance()->trackedObjects().isEmpty());
        const QStringList boxes = takeErrorBoxes();
        QVERIFY(!boxes.isEmpty());
        QVERIFY2(boxes.first().contains("There was a problem connecting to the session."),
                 qPrintable(boxes.first()));
    }

    // The connect operation goes through the transport's launch and gives the viewer its default
    // reactions.
    void connectOperationStartsTheViewer() {
        QSharedPointer<RpcInstance> web(
            new RpcInstanceWeb(QUrl(QStringLiteral("https://127.0.0.1:%1").arg(closedPort())), false, true, nullptr));
        auto context = QSharedPointer<ConnectionContext>::create();
        SessionConnectOp op(web, context);
        QPointer<RdpInstance> started;
        connect(&op, &SessionConnectOp::sessionStarting, this, [&](RdpInstance* instance) { started = instance; });
        op.begin(reply("{'id':'s1','params':{'name':'Desk'}}"), QString(), QString(), QJsonArray());
        QVERIFY(started);
        QVERIFY(started->findChild<RdpDefaultHandlers*>());
        QCOMPARE(findViewer("s1"), started.data());
        QTRY_VERIFY_WITH_TIMEOUT(started.isNull(), 30000);
        QCOMPARE(findViewer("s1"), nullptr);
        takeErrorBoxes();
    }
};

QTEST_MAIN(TestViewerLaunchers)
#include "tst_viewer_launchers.moc"

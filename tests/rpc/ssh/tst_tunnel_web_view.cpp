// The server's web pages over an ssh connection, in a real web engine under a private X server: the
// page comes through the local forwarder and the ssh login's SOCKS5 forward, with the service token
// on its own origin's requests only.

#include "SshRpcFixture.h"

#include "HttpsServer.h"
#include "WebEngineTestMain.h"
#include "rpc/LocalForwarder.h"
#include "rpc/ServerWebView.h"

#include <QLoggingCategory>
#include <QNetworkProxy>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebEngineView>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 30000;

} // namespace

class TestTunnelWebView : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
        installServerWebView();
        QString error;
        QVERIFY2(m_fixture.start(&error), qPrintable(error));
        m_rpc.reset(new RpcInstanceSsh(m_fixture.settings()));
        QSignalSpy ready(m_rpc.data(), &RpcInstance::ready);
        QSignalSpy finished(m_rpc.data(), &RpcInstance::finished);
        (void)QTest::qWaitFor([&] { return ready.count() == 1 || finished.count() > 0; }, wait);
        QVERIFY2(ready.count() == 1, qPrintable(m_rpc->log().join('\n')));
    }

    void cleanupTestCase() { m_rpc.reset(); }

    // The page and its own sub-resources carry the token; a resource of another origin does not. The
    // service's certificate names another host than the forwarder's address, and is accepted there.
    void tokenOnlyOnTheForwardersOrigin() {
        Server service, elsewhere;
        QVERIFY2(service.start(Server::Https), qPrintable(service.error()));
        QVERIFY(elsewhere.start(Server::Http));
        QUrl foreign = elsewhere.url();
        foreign.setPath("/foreign.png");
        service.route("GET", "/files",
                      [foreign](const Request&) {
                          return Response::page("<img src=\"/own.png\"><img src=\"" + foreign.toEncoded() +
                                                "\">files");
                      },
                      false);
        service.route("GET", "/own.png", [](const Request&) { return Response::withStatus(404); }, false);
        elsewhere.route("GET", "/foreign.png", [](const Request&) { return Response::withStatus(404); }, false);

        QUrl serviceUrl = service.url();
        serviceUrl.setUserName("someone");
        serviceUrl.setQuery("lang=en");
        QScopedPointer<QWebEngineView> view(m_rpc->openWebView("/files", ServiceInfo{serviceUrl, "t-9"}));
        QVERIFY(view);
        QVERIFY(!view->parent());
        QSignalSpy loaded(view.data(), &QWebEngineView::loadFinished);
        view->show();
        QVERIFY(loaded.wait(wait));
        QVERIFY(loaded.at(0).at(0).toBool());

        const QUrl shown = view->url();
        QCOMPARE(shown.host(), QStringLiteral("127.0.0.1"));
        QVERIFY(shown.port() != service.port());
        QCOMPARE(shown.scheme(), QStringLiteral("https"));
        QCOMPARE(shown.query(), QStringLiteral("lang=en"));
        QVERIFY(shown.userName().isEmpty());

        QCOMPARE(service.requests("/files").value(0).header("Authorization"), QByteArray("Bearer t-9"));
        QTRY_COMPARE_WITH_TIMEOUT(service.requests("/own.png").size(), 1, wait);
        QCOMPARE(service.requests("/own.png").at(0).header("Authorization"), QByteArray("Bearer t-9"));
        QTRY_COMPARE_WITH_TIMEOUT(elsewhere.requests("/foreign.png").size(), 1, wait);
        QVERIFY(!elsewhere.requests("/foreign.png").at(0).headers.contains("authorization"));

        // The forwarder goes with the view.
        QPointer<LocalForwarder> forwarder = view->findChild<LocalForwarder*>();
        QVERIFY(forwarder);
        view.reset();
        QVERIFY(forwarder.isNull());
    }

    // The forwarder through the ssh login's real SOCKS5 forward: bytes sent before the tunnel is up
    // arrive, more than one piece arrives whole and in order, and a close on either side ends the other.
    void forwarderThroughTheSshTunnel_data() {
        QTest::addColumn<bool>("browserCloses");
        QTest::addColumn<int>("size");
        QTest::newRow("browser closes") << true << int(3 * LocalForwarder::kChunk + 123);
        QTest::newRow("service closes") << false << int(3 * LocalForwarder::kChunk + 123);
        // Many times what the forwarder's sockets hold: reading pauses and resumes on both sides.
        QTest::newRow("more than the bound, echoed") << true << 2000000;
    }

    void forwarderThroughTheSshTunnel() {
        QFETCH(bool, browserCloses);
        QFETCH(int, size);
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost));
        QPointer<QTcpSocket> serviceSide;
        connect(&target, &QTcpServer::newConnection, this, [&] {
            serviceSide = target.nextPendingConnection();
            connect(serviceSide.data(), &QTcpSocket::readyRead, serviceSide.data(),
                    [socket = serviceSide.data()] { socket->write(socket->readAll()); });
        });
        const QNetworkProxy proxy(QNetworkProxy::Socks5Proxy, "localhost", m_rpc->property("tunnelPort").toUInt());
        LocalForwarder forwarder(proxy, "127.0.0.1", target.serverPort());
        QVERIFY(forwarder.listen());

        QByteArray sent(size, Qt::Uninitialized);
        for (int i = 0; i < sent.size(); ++i)
            sent[i] = char(i * 7 + i / 251);
        QTcpSocket browser;
        browser.connectToHost(QHostAddress::LocalHost, forwarder.port());
        QVERIFY(browser.waitForConnected(wait));
        browser.write(sent);
        QByteArray echoed;
        connect(&browser, &QTcpSocket::readyRead, this, [&] { echoed += browser.readAll(); });
        QTRY_COMPARE_WITH_TIMEOUT(echoed.size(), sent.size(), wait);
        QCOMPARE(echoed, sent);

        QSignalSpy browserGone(&browser, &QTcpSocket::disconnected);
        if (browserCloses) {
            browser.disconnectFromHost();
            QTRY_VERIFY_WITH_TIMEOUT(!serviceSide || serviceSide->state() == QAbstractSocket::UnconnectedState,
                                     wait);
        } else {
            serviceSide->disconnectFromHost();
            QTRY_COMPARE_WITH_TIMEOUT(browserGone.size(), 1, wait);
        }
        QTRY_COMPARE_WITH_TIMEOUT(forwarder.connectionCount(), 0, wait);
    }

private:
    SshRpcFixture m_fixture;
    QSharedPointer<RpcInstance> m_rpc;
};

int main(int argc, char** argv) {
    return runWebEngineTest<TestTunnelWebView>(argc, argv);
}

#include "tst_tunnel_web_view.moc"

// The server web view in a real web engine, under a private X server.

#include "HttpsServer.h"
#include "WebEngineTestMain.h"
#include "rpc/RpcInstanceWeb.h"
#include "rpc/ServerWebView.h"

#include <QSignalSpy>
#include <QTest>
#include <QWebEngineView>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 30000;

// Shows the view and waits for its load to end; true when it succeeded.
bool load(QWebEngineView* view) {
    QSignalSpy finished(view, &QWebEngineView::loadFinished);
    view->show();
    if (!finished.wait(wait))
        return false;
    return finished.at(0).at(0).toBool();
}

} // namespace

class TestServerWebView : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void tokenOnlyForTheServersOwnPage();
    void tokenNeverFollowsARedirectToAnotherServer();
    void certificates_data();
    void certificates();
};

void TestServerWebView::initTestCase() {
    installServerWebView();
}

void TestServerWebView::tokenOnlyForTheServersOwnPage() {
    Server server;
    QVERIFY2(server.start(Server::Https), qPrintable(server.error()));
    server.route(
        "GET", QStringLiteral("/files"),
        [](const Request&) { return Response::page("<img src=\"/picture.png\">files"); }, false);
    server.route(
        "GET", QStringLiteral("/picture.png"), [](const Request&) { return Response::withStatus(404); },
        false);
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    QUrl service = server.url();
    service.setUserName(QStringLiteral("someone"));
    QScopedPointer<QWebEngineView> view(
        web.openWebView(QStringLiteral("/files"), ServiceInfo{service, "t-1"}));
    QVERIFY(view);
    QVERIFY(!view->parent());
    QVERIFY(load(view.data()));
    QCOMPARE(server.requests(QStringLiteral("/files")).value(0).header("Authorization"),
             QByteArray("Bearer t-1"));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests(QStringLiteral("/picture.png")).size(), 1, wait);
    QVERIFY(!server.requests(QStringLiteral("/picture.png")).at(0).headers.contains("authorization"));
}

void TestServerWebView::tokenNeverFollowsARedirectToAnotherServer() {
    Server server, elsewhere;
    QVERIFY(server.start(Server::Https));
    QVERIFY(elsewhere.start(Server::Https));
    QUrl landing = elsewhere.url();
    landing.setPath(QStringLiteral("/landing"));
    server.route(
        "GET", QStringLiteral("/go"), [landing](const Request&) { return Response::redirect(landing, 302); },
        false);
    elsewhere.route(
        "GET", QStringLiteral("/landing"), [](const Request&) { return Response::page("elsewhere"); }, false);
    RpcInstanceWeb web(server.url(), true, false, nullptr);
    QScopedPointer<QWebEngineView> view(
        web.openWebView(QStringLiteral("/go"), ServiceInfo{server.url(), "t-2"}));
    view->show();
    QTRY_COMPARE_WITH_TIMEOUT(view->url(), landing, wait);
    QTRY_COMPARE_WITH_TIMEOUT(elsewhere.requests(QStringLiteral("/landing")).size(), 1, wait);
    QCOMPARE(server.requests(QStringLiteral("/go")).value(0).header("Authorization"),
             QByteArray("Bearer t-2"));
    QCOMPARE(elsewhere.requests(QStringLiteral("/landing")).size(), 1);
    QVERIFY(!elsewhere.requests(QStringLiteral("/landing")).at(0).headers.contains("authorization"));
}

void TestServerWebView::certificates_data() {
    QTest::addColumn<QString>("accepted");
    QTest::addColumn<bool>("loads");
    QTest::newRow("nothing accepted") << QString() << false;
    QTest::newRow("the server's certificate accepted") << QStringLiteral("web-first") << true;
    QTest::newRow("another certificate accepted") << QStringLiteral("web-second") << false;
}

// The page accepts what the connection accepted, not every certificate.
void TestServerWebView::certificates() {
    QFETCH(QString, accepted);
    QFETCH(bool, loads);
    Server server;
    server.setCertificate(HttpsPeer::selfSignedCertificate(QStringLiteral("web-first")));
    QVERIFY(server.start(Server::Https));
    server.route(
        "GET", QStringLiteral("/page"), [](const Request&) { return Response::page("hello"); }, false);
    QSharedPointer<CertificateTrust> trust(new CertificateTrust);
    if (!accepted.isEmpty()) {
        const HttpsPeer::Certificate c = HttpsPeer::selfSignedCertificate(accepted);
        trust->accept({QSslError(QSslError::SelfSignedCertificate, c.certificate)});
    }
    QUrl url = server.url();
    url.setPath(QStringLiteral("/page"));
    QScopedPointer<QWebEngineView> view(openServerWebView(url, QStringLiteral("t-3"), trust));
    QCOMPARE(load(view.data()), loads);
    QCOMPARE(server.requests(QStringLiteral("/page")).size(), loads ? 1 : 0);
}

int main(int argc, char** argv) {
    return runWebEngineTest<TestServerWebView>(argc, argv);
}

#include "tst_server_web_view.moc"

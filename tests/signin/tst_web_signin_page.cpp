// The web sign-in of an https connection in a real web engine, under a private X server: the
// server's page sets the session-token cookie, which becomes the connection's token.

#include "HttpsServer.h"
#include "SignInTestSupport.h"
#include "WebEngineTestMain.h"
#include "signin/WebInitDialog.h"

#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

constexpr int wait = 30000;

Response withCookie(Response r, const QByteArray& value) {
    r.header("Set-Cookie", "__session-vn3-token=" + value + "; Path=/");
    return r;
}

} // namespace

class TestWebSignInPage : public QObject {
    Q_OBJECT
private slots:
    void tokenFromTheServersCookie_data();
    void tokenFromTheServersCookie();
    void noCookieOfAnEarlierSignIn();
};

void TestWebSignInPage::tokenFromTheServersCookie_data() {
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("query");
    QTest::newRow("SAML") << QStringLiteral("SAML") << QStringLiteral("/auth/saml")
                          << QStringLiteral("no-redirect=1");
    QTest::newRow("OpenID Connect") << QStringLiteral("OpenID Connect") << QStringLiteral("/auth/oidc")
                                    << QStringLiteral("no-redirect=1");
    QTest::newRow("Autodetect") << QStringLiteral("Autodetect") << QStringLiteral("/auth") << QString();
}

// The sign-in page sends the user to the identity provider on another host, which sets a cookie of
// the token's name for itself and sends the user back; only the server's own cookie counts.
void TestWebSignInPage::tokenFromTheServersCookie() {
    QFETCH(QString, method);
    QFETCH(QString, path);
    QFETCH(QString, query);
    Server server, provider;
    QVERIFY2(server.start(Server::Http), qPrintable(server.error()));
    QVERIFY2(provider.start(Server::Http), qPrintable(provider.error()));
    QUrl login = provider.url();
    login.setHost(QStringLiteral("localhost"));
    login.setPath(QStringLiteral("/login"));
    QUrl done = server.url();
    done.setPath(QStringLiteral("/done"));
    server.route(
        "GET", path, [login](const Request&) { return Response::redirect(login, 302); }, false);
    provider.route(
        "GET", QStringLiteral("/login"),
        [done](const Request&) { return withCookie(Response::redirect(done, 302), "foreign-token"); }, false);
    server.route(
        "GET", QStringLiteral("/done"),
        [](const Request&) { return withCookie(Response::page("signed in"), "real-token"); }, false);

    QSharedPointer<RpcInstanceWeb> web(new RpcInstanceWeb(server.url(), true, false, nullptr));
    WebInitDialog dialog(web, QVariantMap(), method, nullptr);
    QSignalSpy tokens(&dialog, &WebInitDialog::tokenAdded);
    QCOMPARE(dialog.findChild<QStackedWidget*>()->currentIndex(), int(WebInitDialog::WebPage));
    dialog.show();
    QTRY_COMPARE_WITH_TIMEOUT(tokens.size(), 1, wait);
    QCOMPARE(tokens.at(0).at(0).toString(), QStringLiteral("real-token"));
    QCOMPARE(dialog.token(), QStringLiteral("real-token"));
    QCOMPARE(provider.requests(QStringLiteral("/login")).size(), 1);
    QCOMPARE(server.requests(path).value(0).query.toString(), query);

    QAbstractButton* close = buttonNamed(&dialog, QStringLiteral("Close"));
    QVERIFY(close);
    QVERIFY(!buttonNamed(&dialog, QStringLiteral("Abort")));
    close->click();
    QVERIFY(!dialog.isVisible());
    QCOMPARE(tokens.size(), 1);
}

// Each sign-in starts without cookies and keeps none: an earlier token is neither sent nor taken.
void TestWebSignInPage::noCookieOfAnEarlierSignIn() {
    Server server;
    QVERIFY(server.start(Server::Http));
    server.script("GET", QStringLiteral("/auth/saml"),
                  {withCookie(Response::page("first"), "first-token"), Response::page("sign in again")});
    QSharedPointer<RpcInstanceWeb> web(new RpcInstanceWeb(server.url(), true, false, nullptr));
    {
        WebInitDialog first(web, QVariantMap(), QStringLiteral("SAML"), nullptr);
        QSignalSpy tokens(&first, &WebInitDialog::tokenAdded);
        first.show();
        QTRY_COMPARE_WITH_TIMEOUT(tokens.size(), 1, wait);
        QVERIFY(first.webView()->page()->profile()->isOffTheRecord());
    }
    WebInitDialog second(web, QVariantMap(), QStringLiteral("SAML"), nullptr);
    QSignalSpy tokens(&second, &WebInitDialog::tokenAdded);
    QSignalSpy loaded(second.webView(), &QWebEngineView::loadFinished);
    second.show();
    QVERIFY(loaded.wait(wait));
    QCOMPARE(server.requests(QStringLiteral("/auth/saml")).size(), 2);
    QCOMPARE(server.requests(QStringLiteral("/auth/saml")).at(1).header("Cookie"), QByteArray());
    QString cookies = QStringLiteral("unread");
    second.webView()->page()->runJavaScript(QStringLiteral("document.cookie"),
                                            [&cookies](const QVariant& v) { cookies = v.toString(); });
    QTRY_COMPARE_WITH_TIMEOUT(cookies, QString(), wait);
    QCOMPARE(tokens.size(), 0);
}

int main(int argc, char** argv) {
    return runWebEngineTest<TestWebSignInPage>(argc, argv);
}

#include "tst_web_signin_page.moc"

#include "rpc/CertificateTrust.h"
#include "rpc/ViewerLaunch.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTest>

namespace {

ConnectInfo reply(const char* json) {
    QJsonParseError error{};
    // The tables write JSON with single quotes to stay readable.
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(json).replace('\'', '"'), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", json);
    return ConnectInfo::fromJson(doc.object());
}

QStringList urlsOf(const QList<QNetworkRequest>& requests) {
    QStringList urls;
    for (const QNetworkRequest& r : requests)
        urls.append(r.url().toString());
    return urls;
}

} // namespace

class TestViewerLaunchParams : public QObject {
    Q_OBJECT
private slots:
    void sshUrl_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("url");
        QTest::newRow("websocket") << QByteArray("{'webSocketPort':8080,'uri':'/x'}")
                                   << "ws://localhost:8080/x";
        QTest::newRow("uri without slash")
            << QByteArray("{'webSocketPort':8080,'uri':'x'}") << "ws://localhost:8080/x";
        QTest::newRow("empty uri") << QByteArray("{'webSocketPort':8080}") << "ws://localhost:8080/";
        QTest::newRow("raw tcp wins")
            << QByteArray("{'webSocketPort':8080,'uri':'/x','tcpPort':9000}") << "velnor://localhost:9000";
    }
    void sshUrl() {
        QFETCH(QByteArray, json);
        QFETCH(QString, url);
        QCOMPARE(sshViewerUrl(reply(json.constData())).toString(), url);
    }

    void sshProxyIsTheTunnel() {
        const QNetworkProxy proxy = sshViewerProxy(40123);
        QCOMPARE(proxy.type(), QNetworkProxy::Socks5Proxy);
        QCOMPARE(proxy.hostName(), QStringLiteral("localhost"));
        QCOMPARE(proxy.port(), quint16(40123));
        QVERIFY(proxy.user().isEmpty());
        QVERIFY(proxy.password().isEmpty());
    }

    void webRequests_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<bool>("disableDirect");
        QTest::addColumn<QStringList>("urls");
        const QByteArray direct = "{'id':'42','urls':['wss://a.example:7443/p','ws://b.example/q']}";
        QTest::newRow("direct then relay") << direct << "https://srv.example:8443/base/path?x=1#frag" << false
                                           << QStringList{"wss://a.example:7443/p", "ws://b.example/q",
                                                          "wss://srv.example:8443/client/protocol?id=42"};
        QTest::newRow("direct mode off") << direct << "https://srv.example:8443/base/path?x=1" << true
                                         << QStringList{"wss://srv.example:8443/client/protocol?id=42"};
        QTest::newRow("plain http") << QByteArray("{'id':'7'}") << "http://srv.example" << false
                                    << QStringList{"ws://srv.example/client/protocol?id=7"};
        QTest::newRow("other scheme kept") << QByteArray("{'id':'7'}") << "wss://srv.example" << false
                                           << QStringList{"wss://srv.example/client/protocol?id=7"};
        QTest::newRow("unspecified addresses skipped")
            << QByteArray("{'id':'9','urls':['ws://0.0.0.0:5000/a','wss://[::]:5001/b','wss://0:5002/c',"
                          "'wss://[::ffff:0.0.0.0]:5003/d','wss://127.0.0.1:5004/e']}")
            << "https://srv.example" << false
            << QStringList{"wss://127.0.0.1:5004/e", "wss://srv.example/client/protocol?id=9"};
        QTest::newRow("id needing escapes") << QByteArray("{'id':'a&b=c'}") << "https://srv.example" << true
                                            << QStringList{"wss://srv.example/client/protocol?id=a%26b%3Dc"};
    }
    void webRequests() {
        QFETCH(QByteArray, json);
        QFETCH(QString, baseUrl);
        QFETCH(bool, disableDirect);
        QFETCH(QStringList, urls);
        QCOMPARE(urlsOf(webViewerRequests(reply(json.constData()), QUrl(baseUrl), disableDirect, nullptr)),
                 urls);
    }

    // Each request carries the token; certificate errors are ignored only as far as the connection's
    // own decision goes.
    void webRequestHeaderAndTls_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<int>("trustKind"); // 0 none, 1 accepted nothing, 2 accepts all
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<bool>("verifyOff");
        QTest::newRow("token, no ignore")
            << QByteArray("{'id':'1','urls':['wss://a/'],'params':{'AuthToken':'t\u00e9'}}") << 2
            << QByteArray("t\xc3\xa9") << false;
        QTest::newRow("no token") << QByteArray("{'id':'1','urls':['wss://a/']}") << 0 << QByteArray()
                                  << false;
        QTest::newRow("ignore, connection accepts all")
            << QByteArray("{'id':'1','urls':['wss://a/'],'params':{'IgnoreSslErrors':true}}") << 2
            << QByteArray() << true;
        QTest::newRow("ignore, nothing accepted")
            << QByteArray("{'id':'1','urls':['wss://a/'],'params':{'IgnoreSslErrors':true}}") << 1
            << QByteArray() << false;
        QTest::newRow("ignore, no decision")
            << QByteArray("{'id':'1','urls':['wss://a/'],'params':{'IgnoreSslErrors':true}}") << 0
            << QByteArray() << false;
    }
    void webRequestHeaderAndTls() {
        QFETCH(QByteArray, json);
        QFETCH(int, trustKind);
        QFETCH(QByteArray, token);
        QFETCH(bool, verifyOff);
        CertificateTrust trust(trustKind == 2);
        const QList<QNetworkRequest> requests = webViewerRequests(
            reply(json.constData()), QUrl("https://srv.example"), false, trustKind == 0 ? nullptr : &trust);
        QCOMPARE(requests.size(), 2);
        for (const QNetworkRequest& r : requests) {
            QVERIFY(r.hasRawHeader("X-VELNOR-TOKEN"));
            QCOMPARE(r.rawHeader("X-VELNOR-TOKEN"), token);
            QCOMPARE(r.sslConfiguration().peerVerifyMode() == QSslSocket::VerifyNone, verifyOff);
        }
    }

    // The token travels encrypted, or unencrypted only where the user chose plain http for the
    // connection; the relay through the server always has it.
    void tokenOnlyWhereItIsSafe_data() {
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<QStringList>("withToken"); // the requests that carry it, in order
        QTest::addColumn<QStringList>("withoutToken");
        QTest::newRow("https connection")
            << "https://srv.example"
            << QStringList{"wss://127.0.0.1:7002/s", "wss://srv.example/client/protocol?id=1"}
            << QStringList{"ws://127.0.0.1:7001/s", "velnor://127.0.0.1:7003"};
        QTest::newRow("plain http connection")
            << "http://srv.example"
            << QStringList{"ws://127.0.0.1:7001/s", "wss://127.0.0.1:7002/s",
                           "ws://srv.example/client/protocol?id=1"}
            << QStringList{"velnor://127.0.0.1:7003"};
    }
    void tokenOnlyWhereItIsSafe() {
        QFETCH(QString, baseUrl);
        QFETCH(QStringList, withToken);
        QFETCH(QStringList, withoutToken);
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression("Session address ws://0.0.0.0:7000/s skipped: it names no host"));
        const QList<QNetworkRequest> requests = webViewerRequests(
            reply("{'id':'1','urls':['ws://0.0.0.0:7000/s','ws://127.0.0.1:7001/s','wss://127.0.0.1:7002/s',"
                  "'velnor://127.0.0.1:7003'],'params':{'AuthToken':'tok'}}"),
            QUrl(baseUrl), false, nullptr);
        QStringList carried, withheld;
        for (const QNetworkRequest& r : requests) {
            if (r.hasRawHeader("X-VELNOR-TOKEN")) {
                QCOMPARE(r.rawHeader("X-VELNOR-TOKEN"), QByteArray("tok"));
                carried.append(r.url().toString());
            } else {
                withheld.append(r.url().toString());
            }
        }
        QCOMPARE(carried, withToken);
        QCOMPARE(withheld, withoutToken);
    }

    void launchParams_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("givenName");
        QTest::addColumn<QString>("emptyGeometry");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("geometry");
        QTest::addColumn<bool>("fullScreen");
        QTest::newRow("param name wins")
            << QByteArray("{'geometry':'800x600','params':{'name':'Srv'}}") << "Given"
            << ""
            << "Srv"
            << "800x600" << false;
        QTest::newRow("empty param name") << QByteArray("{'params':{'name':''}}") << "Given"
                                          << ""
                                          << "Given"
                                          << "" << false;
        QTest::newRow("rootless")
            << QByteArray(
                   "{'geometry':'800x600','windowMode':'rootless','params':{'windowMode':'fullscreen'}}")
            << ""
            << "1024x768"
            << ""
            << "rootless" << true;
        QTest::newRow("empty geometry, web") << QByteArray("{}") << "n"
                                             << "1024x768"
                                             << "n"
                                             << "1024x768" << false;
        QTest::newRow("empty geometry, ssh") << QByteArray("{}") << "n"
                                             << ""
                                             << "n"
                                             << "" << false;
    }
    void launchParams() {
        QFETCH(QByteArray, json);
        QFETCH(QString, givenName);
        QFETCH(QString, emptyGeometry);
        QFETCH(QString, name);
        QFETCH(QString, geometry);
        QFETCH(bool, fullScreen);
        const ViewerLaunchParams p =
            viewerLaunchParams({}, {}, reply(json.constData()), givenName, QJsonArray(), emptyGeometry);
        QCOMPARE(p.sessionName, name);
        QCOMPARE(p.geometry, geometry);
        QCOMPARE(p.fullScreen, fullScreen);
    }

    void connectMapAndUser() {
        const QJsonArray types{QJsonObject{{"id", "lan"}}};
        const ViewerLaunchParams p =
            viewerLaunchParams({{"hostname", "srv.example"}}, {{"displayName", "Ann"}, {"login", "ann"}},
                               reply("{'id':'s1','password':'pw'}"), "n", types, "");
        QCOMPARE(p.connectMap.value("SessionId").toString(), QStringLiteral("s1"));
        QCOMPARE(p.connectMap.value("RealHost").toString(), QStringLiteral("srv.example"));
        QCOMPARE(p.connectMap.value("NetworkTypes").toJsonArray(), types);
        QCOMPARE(p.displayName, QStringLiteral("Ann"));
        QCOMPARE(p.password, QStringLiteral("pw"));

        const ViewerLaunchParams bare = viewerLaunchParams({}, {}, reply("{'id':'s1'}"), "n", {}, "");
        QVERIFY(bare.connectMap.contains("RealHost"));
        QVERIFY(!bare.connectMap.value("RealHost").isValid());
        QVERIFY(bare.displayName.isEmpty());
    }
};

QTEST_MAIN(TestViewerLaunchParams)
#include "tst_viewer_launch_params.moc"

#include "sessions/JoinSessionDialog.h"
#include "sessions/SessionJoin.h"

#include "HttpsServer.h"
#include "SimServer.h"
#include "bookmarks/GuestLink.h"
#include "connections/HttpsConnection.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTest>

using HttpsPeer::Request;
using HttpsPeer::Response;
using HttpsPeer::Server;

namespace {

QMessageBox* boxNamed(const QString& name) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->objectName() == name && box->isVisible())
            return box;
    }
    return nullptr;
}

void closeAllBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget))
            box->deleteLater();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestSessionJoin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // The join verifies TLS like any connection: the test server's certificate is made trusted.
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(HttpsPeer::selfSignedCertificate().certificate);
        QSslConfiguration::setDefaultConfiguration(tls);
    }

    void init() { closeAllBoxes(); }

    void parse_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("key");
        QTest::newRow("id and key") << "https://h.example:3300/client/guest;id=s1;key=k1" << true
                                    << "https://h.example:3300" << "s1" << "k1";
        QTest::newRow("no key") << "https://h.example/client/guest;id=s1" << true << "https://h.example" << "s1"
                                << "";
        QTest::newRow("key holding id=") << "https://h/client/guest;id=s1;key=xid=7" << true << "https://h" << "s1"
                                         << "xid=7";
        QTest::newRow("monkey") << "https://h/client/guest;id=s1;monkey=m;key=k" << true << "https://h" << "s1"
                                << "k";
        QTest::newRow("path prefix") << "https://h/velnor/client/guest;id=s1;key=k" << true << "https://h/velnor"
                                     << "s1" << "k";
        QTest::newRow("trailing query") << "https://h/client/guest;id=s1;key=k?x=1#frag" << true << "https://h"
                                        << "s1" << "k";
        QTest::newRow("percent-encoding") << "https://h/client/guest;id=a%3Bb;key=k%20%2F" << true << "https://h"
                                          << "a;b" << "k /";
        QTest::newRow("http") << "http://h:8080/client/guest;id=s1;key=k" << true << "http://h:8080" << "s1"
                              << "k";
        QTest::newRow("query form") << "https://h.example/client/guest?id=abc;key=xyz" << true
                                    << "https://h.example" << "abc" << "xyz";
        QTest::newRow("query form, ampersand") << "https://h/velnor/client/guest?key=k%3B1&id=s1" << true
                                               << "https://h/velnor" << "s1" << "k;1";
        QTest::newRow("query form, no key") << "https://h/client/guest?id=s1" << true << "https://h" << "s1" << "";
        QTest::newRow("query form, no id") << "https://h/client/guest?key=k" << false << "" << "" << "";
        QTest::newRow("query form, empty id") << "https://h/client/guest?id=;key=k" << false << "" << "" << "";
        QTest::newRow("other scheme") << "ftp://h/client/guest;id=s1;key=k" << false << "" << "" << "";
        QTest::newRow("javascript") << "javascript:alert(1)//client/guest;id=s1" << false << "" << "" << "";
        QTest::newRow("no host") << "https:///client/guest;id=s1;key=k" << false << "" << "" << "";
        QTest::newRow("no guest segment") << "https://h/client/other;id=s1;key=k" << false << "" << "" << "";
        QTest::newRow("guest without client") << "https://h/guest;id=s1;key=k" << false << "" << "" << "";
        QTest::newRow("empty id") << "https://h/client/guest;id=;key=k" << false << "" << "" << "";
        QTest::newRow("no id") << "https://h/client/guest;key=k" << false << "" << "" << "";
        QTest::newRow("not a url") << "just words" << false << "" << "" << "";
        QTest::newRow("empty") << "" << false << "" << "" << "";
    }

    void parse() {
        QFETCH(QString, link);
        QFETCH(bool, valid);
        JoinSessionDialog::Link parts;
        QCOMPARE(JoinSessionDialog::parse(link, &parts), valid);
        if (!valid)
            return;
        QTEST(parts.serverUrl.toString(), "server");
        QTEST(parts.sessionId, "id");
        QTEST(parts.sharingKey, "key");
    }

    // The sharing dialog's links read back, whatever the server's path, id and key hold.
    void readsTheSharingDialogsLinks_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("key");
        QTest::newRow("plain") << "https://h:3300" << "s1" << "k1";
        QTest::newRow("sub-path, query, fragment") << "https://h/a/b/?q=1#f" << "s;1" << "key=id=x";
        QTest::newRow("odd characters") << "https://h" << "id with space" << "k/%?#";
    }

    void readsTheSharingDialogsLinks() {
        QFETCH(QString, server);
        QFETCH(QString, id);
        QFETCH(QString, key);
        JoinSessionDialog::Link parts;
        QVERIFY(JoinSessionDialog::parse(guestLink(server, id, key), &parts));
        QCOMPARE(parts.sessionId, id);
        QCOMPARE(parts.sharingKey, key);
        QUrl expected(server);
        expected.setQuery(QString());
        expected.setFragment(QString());
        QCOMPARE(parts.serverUrl.host(), expected.host());
        QCOMPARE(parts.serverUrl.path(), expected.path().remove(QRegularExpression("/+$")));
    }

    // Ok is enabled only on a guest link, and does nothing otherwise.
    void dialogAcceptsOnlyGuestLinks() {
        JoinSessionDialog dialog;
        auto* edit = dialog.findChild<QLineEdit*>("SharingUrlLineEdit");
        QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QVERIFY(!ok->isEnabled());
        dialog.show();
        edit->setText("https://h/client/guest;key=k");
        QVERIFY(!ok->isEnabled());
        dialog.done(QDialog::Accepted);
        QVERIFY(dialog.isVisible());
        edit->setText("https://h/client/guest;id=s1;key=k");
        QVERIFY(ok->isEnabled());
        QCOMPARE(dialog.sessionId(), QStringLiteral("s1"));
        ok->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    // A good key starts the viewer named after the reply; no sign-in and no token reach the server;
    // the link's path reaches the server.
    void joinStartsTheViewer_data() {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QString>("title");
        // The viewer takes the reply's own name when it has one.
        QTest::newRow("named") << QJsonObject{{"name", "Desk"}} << "Desk";
        QTest::newRow("unnamed") << QJsonObject() << "Viewing shared-1";
        QTest::newRow("empty name") << QJsonObject{{"name", ""}} << "Viewing shared-1";
    }

    void joinStartsTheViewer() {
        QFETCH(QJsonObject, params);
        QFETCH(QString, title);
        DisplaySim::Server display;
        QVERIFY(display.listen());
        Server server;
        QVERIFY(server.start());
        server.route("POST", "/v3/api/nologin/share/connect",
                     [&](const Request& r) {
                         if (r.json().value("key").toString() != QLatin1String("good"))
                             return Response::error("denied", "wrong sharing key");
                         return Response::result(QJsonObject{
                             {"id", r.json().value("id").toString()},
                             {"urls", QJsonArray{display.url().toString()}},
                             {"params", params}});
                     },
                     false);

        HttpsConnection connection;
        connection.setHost("127.0.0.1");
        connection.setPort(server.port());
        // A server under a sub-path: the API paths stay at the host's root.
        connection.setUri("/sub");
        joinSharedSession(connection, "shared-1", "good", QString());
        QVERIFY(boxNamed("JoinProgressBox"));
        QTRY_VERIFY_WITH_TIMEOUT(findViewer("shared-1"), 10000);
        QPointer<RdpInstance> viewer = findViewer("shared-1");
        QCOMPARE(viewer->windowTitle(), title);
        QVERIFY(display.awaitMainSequence(10000));
        QTRY_VERIFY(!boxNamed("JoinProgressBox"));

        const QList<Request> requests = server.requests("/v3/api/nologin/share/connect");
        QCOMPARE(requests.size(), 1);
        QVERIFY(requests.first().header("X-VELNOR-TOKEN").isEmpty());
        QCOMPARE(requests.first().json().value("id").toString(), QStringLiteral("shared-1"));
        for (const Request& r : server.requests())
            QVERIFY2(!r.path.startsWith("/v3/api/auth") && !r.path.startsWith("/v3/api/user"), qPrintable(r.path));

        viewer->quit();
        QTRY_VERIFY_WITH_TIMEOUT(viewer.isNull(), 10000);
        closeAllBoxes();
    }

    // A refused key: a warning with the server's message as plain text, no viewer.
    void refusedJoinShowsTheMessage() {
        Server server;
        QVERIFY(server.start());
        server.route("POST", "/v3/api/nologin/share/connect",
                     [](const Request&) { return Response::error("denied", "<b>wrong</b> key"); }, false);
        HttpsConnection connection;
        connection.setHost("127.0.0.1");
        connection.setPort(server.port());
        joinSharedSession(connection, "s-refused", "bad", QString());
        QTRY_VERIFY(boxNamed("JoinFailureBox"));
        QMessageBox* failure = boxNamed("JoinFailureBox");
        QCOMPARE(failure->textFormat(), Qt::PlainText);
        QVERIFY(failure->text().contains("<b>wrong</b> key"));
        QTRY_VERIFY(!boxNamed("JoinProgressBox"));
        QVERIFY(!findViewer("s-refused"));
        closeAllBoxes();
    }

    // Abort before the reply: no viewer and no box, whatever the reply says afterwards.
    void abortBeforeTheReply() {
        DisplaySim::Server display;
        QVERIFY(display.listen());
        Server server;
        QVERIFY(server.start());
        server.route("POST", "/v3/api/nologin/share/connect",
                     [&](const Request&) {
                         return Response::result(QJsonObject{{"id", "s-abort"},
                                                             {"urls", QJsonArray{display.url().toString()}}})
                             .after(500);
                     },
                     false);
        HttpsConnection connection;
        connection.setHost("127.0.0.1");
        connection.setPort(server.port());
        joinSharedSession(connection, "s-abort", "good", QString());
        QMessageBox* progress = boxNamed("JoinProgressBox");
        QVERIFY(progress);
        QTRY_COMPARE(server.requests("/v3/api/nologin/share/connect").size(), 1);
        progress->button(QMessageBox::Abort)->click();
        QTest::qWait(1500);
        QVERIFY(!findViewer("s-abort"));
        QVERIFY(!boxNamed("JoinProgressBox"));
        QVERIFY(!boxNamed("JoinFailureBox"));
    }

    // A connection port of 0 stands for 3300.
    void portZeroIs3300() {
        Server server;
        if (!server.start(Server::Https, 3300))
            QSKIP("port 3300 is taken on this machine");
        server.route("POST", "/v3/api/nologin/share/connect",
                     [](const Request&) { return Response::error("denied", "no"); }, false);
        HttpsConnection connection;
        connection.setHost("127.0.0.1");
        connection.setPort(0);
        joinSharedSession(connection, "s0", "k", QString());
        QTRY_COMPARE(server.requests("/v3/api/nologin/share/connect").size(), 1);
        QTRY_VERIFY(boxNamed("JoinFailureBox"));
        closeAllBoxes();
    }
};

QTEST_MAIN(TestSessionJoin)
#include "tst_session_join.moc"

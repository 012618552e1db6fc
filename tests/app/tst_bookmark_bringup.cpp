// One bookmark's session brought up as the command-line launches do it, in this process, against
// the real peers: sshd with the test server interface, the HTTPS test server's staged sign-in, and
// the display simulator. Each scenario runs the application's event loop as the program does, so
// the quit policy decides when it ends.

#include "../rpc/ssh/SshRpcFixture.h"
#include "../ClosedPort.h"

#include "HttpsServer.h"
#include "SimServer.h"
#include "SshAuthFlow.h"
#include "app/BookmarkBringUp.h"
#include "app/CloseHelper.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"
#include "sessions/ConnectInfoTitle.h"
#include "sessions/ViewerRegistry.h"
#include "signin/WebInitDialog.h"
#include "viewer/engine/RdpInstance.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPointer>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

#include <unistd.h>

using HttpsPeer::Response;
using HttpsPeer::SshAuthFlow;

namespace {

const QString shortcutMethod = QStringLiteral("/v3/api/session/connect/shortcut");
const QString shortcutPath = QStringLiteral("/v3/api/bookmark/shortcut");

QWidget* topLevel(const QString& objectName) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == objectName)
            return widget;
    }
    return nullptr;
}

// Runs the event loop until the quit policy ends it; 99 when it never does.
int runUntilQuit() {
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    safety.start(120000);
    const int code = QApplication::exec();
    if (code == 99) {
        // What was left when the loop did not end, to tell why.
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (!widget->isVisible())
                continue;
            QString text;
            if (auto* log = widget->findChild<QTextBrowser*>(QStringLiteral("LogTextBrowser"))) {
                text = log->toPlainText();
                for (QLabel* label : widget->findChildren<QLabel*>())
                    text += QStringLiteral(" | ") + label->text();
                if (auto* pages = widget->findChild<QStackedWidget*>())
                    text += QStringLiteral(" | page %1").arg(pages->currentIndex());
            } else if (auto* box = qobject_cast<QMessageBox*>(widget))
                text = box->text();
            qWarning().noquote() << "left open:" << widget->metaObject()->className() << widget->objectName()
                                 << widget->windowTitle() << text;
        }
        qWarning() << "tracked:" << CloseHelper::instance()->trackedObjects();
        // The next scenario starts without them.
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible())
                widget->deleteLater();
        }
    }
    // What the program would do before it ends: delete what was let go, and let queued quit
    // checks run here rather than in the next scenario's loop.
    for (int round = 0; round < 4; ++round) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    return code;
}

// Runs step every 20 ms while the event loop runs.
struct Poll {
    explicit Poll(std::function<void()> step) {
        QObject::connect(&timer, &QTimer::timeout, std::move(step));
        timer.start(20);
    }
    QTimer timer;
};

// ssh processes this test process started that are still there.
int sshChildren() {
    int count = 0;
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...
        const QString text = QString::fromLocal8Bit(stat.readAll());
        const int close = text.lastIndexOf(QLatin1Char(')'));
        const QString comm = text.mid(text.indexOf(QLatin1Char('(')) + 1, close - text.indexOf('(') - 1);
        const QStringList rest = text.mid(close + 2).split(QLatin1Char(' '));
        if (comm == QLatin1String("ssh") && rest.value(1) == self && rest.value(0) != QLatin1String("Z"))
            ++count;
    }
    return count;
}

SshConnection sshConnection(const SshLaunchSettings& settings) {
    SshConnection connection;
    connection.fromJson(SshRpcFixture::connectionJson(settings));
    return connection;
}

// The web connection as the command line gives it.
HttpsConnection webConnection(const QUrl& url) {
    QCommandLineParser parser;
    HttpsConnection::addCommandLineOptions(parser);
    parser.parse({"Velnor3", "--web", "--url", url.toString(), "--user", "tester", "--issl"});
    HttpsConnection connection;
    HttpsConnection::fromCommandLine(parser, connection);
    return connection;
}

QJsonObject shortcutReply(const QString& id, quint16 simPort, const QJsonObject& params) {
    return QJsonObject{{"stage", "success"},
                       {"id", id},
                       {"password", "pw"},
                       {"geometry", "800x600"},
                       {"windowMode", "desktop"},
                       {"webSocketPort", int(simPort)},
                       {"uri", "/client/protocol"},
                       {"urls", QJsonArray{QStringLiteral("ws://127.0.0.1:%1/client/protocol").arg(simPort)}},
                       {"params", params}};
}

DisplaySim::ServerOptions simOptions() {
    DisplaySim::ServerOptions options;
    options.capabilities << DisplaySim::Entry::password();
    options.expectedPassword = QByteArray("pw");
    return options;
}

// Once the session runs: the title of the viewer registered under id; then the simulator ends the
// session quietly (a level that shows no box).
QString* watchTitle(DisplaySim::Server& sim, const QString& id) {
    auto* title = new QString(QStringLiteral("<no viewer>"));
    QObject::connect(&sim, &DisplaySim::Server::mainSequenceEntered, &sim, [&sim, id, title] {
        if (RdpInstance* viewer = findViewer(id))
            *title = viewer->windowTitle();
        sim.sendDisconnect(QStringLiteral("Session ended"), 9);
    });
    return title;
}

void answerPassword(const QString& password) {
    auto* dialog = qobject_cast<WebInitDialog*>(topLevel(QStringLiteral("WebInitDialog")));
    if (!dialog)
        return;
    auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("AnswerLineEdit"));
    if (dialog->findChild<QStackedWidget*>()->currentIndex() != WebInitDialog::AnswerPage || !field->isEnabled())
        return;
    field->setText(password);
    // One press; what it sets off may change the dialog's children, so the list is not walked further.
    for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>()) {
        if (button->text() == QLatin1String("Continue") && button->isVisibleTo(dialog)) {
            button->click();
            return;
        }
    }
}

SshAuthFlow::Config passwordFlow(const QByteArray& token) {
    SshAuthFlow::Config config;
    config.steps = QStringList{QStringLiteral("password")};
    config.finalReply = QJsonObject{{"token", QString::fromUtf8(token)}};
    return config;
}

} // namespace

class TestBookmarkBringUp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("*.debug=false");
        QCoreApplication::setApplicationName(QStringLiteral("Velnor"));
        CloseHelper::instance();
        QString error;
        QVERIFY2(m_fixture.start(&error), qPrintable(error));
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
    }

    void title_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("title");
        QTest::newRow("name") << QJsonObject{{"id", "s1"}, {"params", QJsonObject{{"name", "Desk"}}}} << "Desk";
        QTest::newRow("empty name") << QJsonObject{{"id", "s1"}, {"params", QJsonObject{{"name", ""}}}} << "s1";
        QTest::newRow("no name") << QJsonObject{{"id", "s1"}} << "s1";
    }
    void title() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, title);
        QCOMPARE(connectInfoTitle(ConnectInfo::fromJson(reply)), title);
    }

    void webBaseUrl_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("uri");
        QTest::addColumn<QString>("url");
        QTest::newRow("port 0") << 0 << "" << "https://h.example:3300";
        QTest::newRow("port and path") << 8443 << "/velnor" << "https://h.example:8443/velnor";
        QTest::newRow("path without slash") << 443 << "v" << "https://h.example:443/v";
    }
    void webBaseUrl() {
        QFETCH(int, port);
        QFETCH(QString, uri);
        QFETCH(QString, url);
        HttpsConnection connection;
        connection.fromJson(QJsonObject{{"type", "https"}, {"host", "h.example"}, {"port", port}, {"uri", uri}});
        QCOMPARE(webBookmarkBaseUrl(connection).toString(), url);
    }

    // Over ssh: the connect request for the bookmark, the viewer through the ssh tunnel, titled by
    // the reply; the program ends when the viewer does.
    void sshBringsUpTheSession_data() {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QString>("title");
        QTest::newRow("named") << QJsonObject{{"name", "Bookmarked desk"}} << "Bookmarked desk";
        QTest::newRow("unnamed") << QJsonObject() << "s77";
    }
    void sshBringsUpTheSession() {
        QFETCH(QJsonObject, params);
        QFETCH(QString, title);
        DisplaySim::Server sim(simOptions());
        QVERIFY(sim.listen());
        QScopedPointer<QString> seen(watchTitle(sim, "s77"));
        const QJsonObject script{
            {"methods", QJsonObject{{shortcutMethod, QJsonObject{{"result", shortcutReply("s77", sim.url().port(), params)}}}}}};
        launchSshBookmark(sshConnection(m_fixture.settings(script)), QStringLiteral("b7"));
        QVERIFY(topLevel("SshInitDialog"));
        QCOMPARE(topLevel("SshInitDialog")->windowTitle(), m_fixture.sshd.host());

        QCOMPARE(runUntilQuit(), 0);
        QCOMPARE(*seen, title);
        QCOMPARE(sim.record().displayName, m_fixture.sshd.user());
        QVERIFY(sim.record().gotSecurity);
        QVERIFY(!topLevel("SshInitDialog"));
        QVERIFY(!topLevel("BringUpFailureBox"));
        bool asked = false;
        for (const QJsonObject& request : m_fixture.recorded()) {
            if (request.value("method").toString() == shortcutMethod) {
                asked = true;
                QCOMPARE(request.value("params").toObject().value("id").toString(), QStringLiteral("b7"));
            }
        }
        QVERIFY(asked);
        // The interface went with the viewer, and its ssh process with it.
        QTRY_COMPARE_WITH_TIMEOUT(sshChildren(), 0, 20000);
    }

    // A refused request, or ssh that ends before the interface is ready: the dialog goes, one warning
    // box with the message as plain text and the interface's log as details; closing it ends the
    // program.
    void sshFailureBox_data() {
        QTest::addColumn<bool>("refusedLogin");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("request refused")
            << false << "&lt;b&gt;No&lt;/b&gt; bookmark &amp; no &lt;i&gt;session&lt;/i&gt;"
            << QStringLiteral("Request to \"%1\" failed").arg(shortcutMethod);
        QTest::newRow("ssh ends before ready")
            << true << "Unable to connect to the host &quot;127.0.0.1&quot;. The host may be down."
            << "Connection refused";
    }
    void sshFailureBox() {
        QFETCH(bool, refusedLogin);
        QFETCH(QString, message);
        QFETCH(QString, logLine);
        const QJsonObject script{{"methods", QJsonObject{{shortcutMethod, QJsonObject{{"error", QJsonObject{
            {"name", "not_allowed"}, {"message", "<b>No</b> bookmark & no <i>session</i>"}}}}}}}};
        SshLaunchSettings settings = m_fixture.settings(script);
        if (refusedLogin)
            settings.port = closedPort();
        launchSshBookmark(sshConnection(settings), QStringLiteral("b8"));
        QString text, details, title, styleSheet;
        int icon = -1;
        bool dialogGone = false;
        Poll poll([&] {
            auto* box = qobject_cast<QMessageBox*>(topLevel("BringUpFailureBox"));
            if (!box || !box->isVisible())
                return;
            // The sign-in dialog goes on its own; the box waits for the user.
            if (topLevel("SshInitDialog"))
                return;
            dialogGone = true;
            text = box->text();
            details = box->detailedText();
            title = box->windowTitle();
            styleSheet = box->styleSheet();
            icon = box->icon();
            box->close();
        });
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(dialogGone);
        QCOMPARE(title, QStringLiteral("Velnor Error"));
        QCOMPARE(icon, int(QMessageBox::Warning));
        QCOMPARE(text, QStringLiteral("Failed to bring up the session.<br><br>") + message);
        // One log line per line: the request's start and its failure.
        if (!refusedLogin)
            QVERIFY2(details.split(QLatin1Char('\n')).size() > 1, qPrintable(details));
        QVERIFY2(details.contains(logLine), qPrintable(details));
        // The failure's name is not shown.
        QVERIFY(!text.contains("not_allowed"));
        QCOMPARE(styleSheet, QStringLiteral("QTextEdit { font: 10px \"Courier\" }"));
        QTRY_COMPARE_WITH_TIMEOUT(sshChildren(), 0, 20000);
    }

    // Cancelling the sign-in: no box, no request sent afterwards, the ssh process stops and the
    // program ends.
    void sshCancel_data() {
        QTest::addColumn<bool>("beforeReady");
        QTest::newRow("before the interface is ready") << true;
        QTest::newRow("while the request waits") << false;
    }
    void sshCancel() {
        QFETCH(bool, beforeReady);
        const QJsonObject script{
            {"methods", QJsonObject{{shortcutMethod, QJsonObject{{"delayMs", 60000}}}}}};
        SshLaunchSettings settings = m_fixture.settings(script);
        // The remote interface starts late, so the cancel surely comes first.
        if (beforeReady)
            settings.run = QStringLiteral("sleep 2; ") + settings.run;
        launchSshBookmark(sshConnection(settings), QStringLiteral("b9"));
        bool cancelled = false;
        Poll poll([&] {
            auto* dialog = qobject_cast<QDialog*>(topLevel("SshInitDialog"));
            if (cancelled || !dialog)
                return;
            if (!beforeReady && m_fixture.recorded().isEmpty())
                return;
            cancelled = true;
            dialog->reject();
        });
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(cancelled);
        QVERIFY(!topLevel("BringUpFailureBox"));
        QVERIFY(!topLevel("SshInitDialog"));
        QTRY_COMPARE_WITH_TIMEOUT(sshChildren(), 0, 20000);
        // Nothing reached the server after the cancel: before ready not even the request.
        QCOMPARE(m_fixture.recorded().size(), beforeReady ? 0 : 1);
    }

    // Over https with the staged sign-in (password stage): the request carries the signed-in token,
    // the viewer connects directly and is titled by the reply.
    void webBringsUpTheSession_data() {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QString>("title");
        QTest::newRow("named") << QJsonObject{{"name", "Web desk"}} << "Web desk";
        QTest::newRow("unnamed") << QJsonObject() << "w5";
    }
    void webBringsUpTheSession() {
        QFETCH(QJsonObject, params);
        QFETCH(QString, title);
        DisplaySim::Server sim(simOptions());
        QVERIFY(sim.listen());
        QScopedPointer<QString> seen(watchTitle(sim, "w5"));
        HttpsPeer::Server server;
        QVERIFY(server.start());
        SshAuthFlow::install(server, QStringLiteral("/v3/api/auth/ssh"), passwordFlow(server.token()));
        const QJsonObject reply = shortcutReply("w5", sim.url().port(), params);
        server.route("POST", shortcutPath, [reply](const HttpsPeer::Request&) { return Response::result(reply); });

        launchWebBookmark(webConnection(server.url()), QStringLiteral("b5"));
        QCOMPARE(topLevel("WebInitDialog")->windowTitle(), QStringLiteral("127.0.0.1"));
        Poll poll([] { answerPassword(QStringLiteral("secret")); });
        QCOMPARE(runUntilQuit(), 0);
        QCOMPARE(*seen, title);
        QCOMPARE(sim.record().displayName, QStringLiteral("tester"));
        const QList<HttpsPeer::Request> asked = server.requests(shortcutPath);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked.first().json().value("id").toString(), QStringLiteral("b5"));
        QCOMPARE(asked.first().header("X-VELNOR-TOKEN"), server.token());
        QVERIFY(!topLevel("WebInitDialog"));
    }

    // The server's sign-in page hands its token through the dialog's token signal: the interface
    // gets it before the request goes out.
    void webTokenReachesTheRequest() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        server.setToken("token-from-the-page");
        SshAuthFlow::install(server, QStringLiteral("/v3/api/auth/ssh"), passwordFlow("unused"));
        server.route("POST", shortcutPath,
                     [](const HttpsPeer::Request&) { return Response::error("gone", "No such bookmark"); });
        launchWebBookmark(webConnection(server.url()), QStringLiteral("b6"));
        bool emitted = false;
        QString text;
        Poll poll([&] {
            auto* dialog = qobject_cast<WebInitDialog*>(topLevel(QStringLiteral("WebInitDialog")));
            if (!emitted && dialog && dialog->findChild<QStackedWidget*>()->currentIndex() == WebInitDialog::AnswerPage) {
                emitted = true;
                emit dialog->tokenAdded(QStringLiteral("token-from-the-page"));
            }
            if (auto* box = qobject_cast<QMessageBox*>(topLevel("BringUpFailureBox"))) {
                text = box->text();
                box->close();
            }
        });
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(emitted);
        const QList<HttpsPeer::Request> asked = server.requests(shortcutPath);
        QCOMPARE(asked.size(), 1);
        QCOMPARE(asked.first().header("X-VELNOR-TOKEN"), QByteArray("token-from-the-page"));
        QCOMPARE(text, QStringLiteral("Failed to bring up the session.<br><br>No such bookmark"));
    }

    // A sign-in the server refuses is shown in the failure box, with the server's message; the
    // dialog goes and the program ends once the box is closed.
    void webSignInFailureShows() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        server.script("POST", QStringLiteral("/v3/api/auth/ssh"), Response::error("denied", "Access <b>denied</b>"));
        const int failuresBefore = bringUpFailures();
        launchWebBookmark(webConnection(server.url()), QStringLiteral("b2"));
        QString text;
        bool dialogGone = false;
        Poll poll([&] {
            auto* box = qobject_cast<QMessageBox*>(topLevel("BringUpFailureBox"));
            if (!box || !box->isVisible())
                return;
            dialogGone = !topLevel("WebInitDialog");
            text = box->text();
            box->close();
        });
        QCOMPARE(runUntilQuit(), 0);
        QCOMPARE(text, QStringLiteral("Failed to bring up the session.<br><br>Access &lt;b&gt;denied&lt;/b&gt;"));
        QVERIFY(dialogGone);
        QCOMPARE(bringUpFailures(), failuresBefore + 1);
        QVERIFY(server.requests(shortcutPath).isEmpty());
    }

    // A web sign-in dialog that is only hidden (as its Close button does) keeps nothing alive: with
    // no window and no viewer left the program ends, and no request goes out.
    void hiddenWebDialogDoesNotKeepTheProgram() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        server.script("POST", QStringLiteral("/v3/api/auth/ssh/config"), Response::silent());
        launchWebBookmark(webConnection(server.url()), QStringLiteral("b1"));
        QPointer<QWidget> dialog = topLevel("WebInitDialog");
        QVERIFY(dialog);
        QTimer::singleShot(0, dialog, &QWidget::hide);
        QCOMPARE(runUntilQuit(), 0);
        QVERIFY(!topLevel("BringUpFailureBox"));
        QVERIFY(server.requests(shortcutPath).isEmpty());
        delete dialog;
    }

private:
    SshRpcFixture m_fixture;
};

QTEST_MAIN(TestBookmarkBringUp)
#include "tst_bookmark_bringup.moc"

#include "../ClosedPort.h"
#include "../connections/ShownConnectionRows.h"

#include "HttpsServer.h"
#include "SshAuthFlow.h"
#include "app/MainWindow.h"
#include "connections/ConnectionModel.h"
#include "connections/ConnectionWidget.h"
#include "connections/ConnectionWindow.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/SessionListFailedWidget.h"

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using HttpsPeer::Response;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Closes every message box that shows up, keeping its text.
struct BoxCloser {
    QStringList texts;
    QTimer timer;
    BoxCloser() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(20);
    }
};

// A connection file in the user folder; its JSON as the list hands it to a run, "filename" included.
QJsonObject connectionFile(const QString& folder, const QString& file, QJsonObject json) {
    const QString path = QDir(folder).filePath(file);
    writeFile(path, QJsonDocument(json).toJson());
    json.insert("filename", path);
    return json;
}

QJsonObject webConnection(quint16 port, const QString& name) {
    // The test server's certificate is its own.
    return QJsonObject{{"type", "https"}, {"name", name},     {"host", "127.0.0.1"},
                       {"port", port},    {"user", "tester"}, {"ignoreSslErrors", true}};
}

// The test server signs in at once, and shows no message of the day (a box of its own).
void signInAtOnce(HttpsPeer::Server& server) {
    HttpsPeer::SshAuthFlow::Config config;
    config.finalReply = QJsonObject{{"token", QString::fromUtf8(server.token())}};
    HttpsPeer::SshAuthFlow::install(server, "/v3/api/auth/ssh", config);
    server.route("POST", "/v3/api/user/me", [](const HttpsPeer::Request&) {
        return Response::result(QJsonObject{{"login", QJsonObject{{"sub", "tester"}}}});
    });
}

// Runs json from a fresh Connections tab, as Return on its row does; the page that took its tab.
QWidget* runFromList(MainWindow& window, const QJsonObject& json, bool stamp = true) {
    window.openConnectionList();
    auto* list = qobject_cast<ConnectionWindow*>(window.tabWidget()->currentWidget());
    if (!list)
        return nullptr;
    list->runConnection(json, stamp);
    return window.tabWidget()->currentWidget();
}

// A session page that has signed in to its server.
QWidget* signedInPage(MainWindow& window, const QJsonObject& json) {
    QWidget* page = runFromList(window, json);
    if (!isSessionPage(page))
        return nullptr;
    QSignalSpy began(page, SIGNAL(begin()));
    // Signed in, and the sign-in dialog has gone.
    if (!began.wait(20000) || !QTest::qWaitFor([] { return !QApplication::activeModalWidget(); }))
        return nullptr;
    return page;
}

// The keys of the settings group "OpenConnections" (file paths, so QSettings nests them).
QStringList openConnectionKeys() {
    QSettings settings;
    settings.beginGroup("OpenConnections");
    return settings.allKeys();
}

QJsonObject openConnection(const QString& file) {
    QSettings settings;
    settings.beginGroup("OpenConnections");
    return QJsonDocument::fromJson(settings.value(file).toString().toUtf8()).object();
}

// Which menu entries are enabled, in menu order.
QList<bool> enabledStates(const QList<QAction*>& actions) {
    QList<bool> states;
    for (QAction* action : actions)
        if (!action->isSeparator())
            states << action->isEnabled();
    return states;
}

QList<bool> menuStates(MainWindow& window) {
    return QList<bool>{window.newSessionAction()->isEnabled()} + enabledStates(window.sessionMenu()->actions()) +
           enabledStates(window.viewMenu()->actions());
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QLoggingCategory::setFilterRules("*.debug=false");
        QCoreApplication::setOrganizationName("Halvane");
        QCoreApplication::setApplicationName("Velnor");
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
    }

    void init() {
        m_root.reset(new QTemporaryDir);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath("config")));
        QDir(m_root->path()).mkpath("user");
    }

    void closingTheOnlyTabOpensConnections() {
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QCOMPARE(window.tabWidget()->count(), 0);
        window.openConnectionList();
        QCOMPARE(window.tabWidget()->count(), 1);
        QPointer<QWidget> first = window.tabWidget()->widget(0);
        QVERIFY(qobject_cast<ConnectionWindow*>(first));
        emit window.tabWidget()->tabCloseRequested(0);
        QCOMPARE(window.tabWidget()->count(), 1);
        QCOMPARE(window.tabWidget()->tabText(0), QStringLiteral("Connections"));
        QTRY_VERIFY(first.isNull());
        // The Connections tab leaves the session entries off.
        QVERIFY(!window.newSessionAction()->isEnabled());
        for (QMenu* menu : {window.sessionMenu(), window.viewMenu()})
            for (QAction* action : menu->actions())
                QVERIFY(action->isSeparator() || !action->isEnabled());
    }

    // Ctrl+Q does nothing while a session window passes command keys to its session.
    void quitRespectsCommandKeys() {
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QWidget session;
        session.setProperty("SendCommandKey", true);
        session.show();
        QApplication::setActiveWindow(&session);
        QTRY_COMPARE(QApplication::activeWindow(), &session);
        bool quit = false;
        QTimer::singleShot(0, [&] { window.quitAction()->trigger(); });
        QTimer::singleShot(300, [&] { QCoreApplication::exit(42); });
        quit = QCoreApplication::exec() == 0;
        QVERIFY(!quit);
    }

    // Product files are copied under a free name, older files converted, bad files named.
    void importMixes() {
        const QString user = m_root->filePath("user");
        writeFile(user + "/lab.velnor", R"({"type":"ssh","host":"old"})");
        writeFile(m_root->filePath("lab.velnor"), R"({"type":"ssh","host":"new","name":"lab"})");
        writeFile(m_root->filePath("bad.velnor"), R"(["not an object"])");
        writeFile(m_root->filePath("old.xml"),
                  "<?xml version=\"1.0\"?><WebConnection><Name>web</Name><Url>https://w.example:8443/gw</Url>"
                  "</WebConnection>");
        writeFile(m_root->filePath("opts.velnor"),
                  R"({"type":"ssh","host":"o","name":"with options","sshOptions":["-oProxyCommand=x"]})");
        MainWindow window(qApp, user, m_root->filePath("system"));
        window.openConnectionList();
        auto* list = qobject_cast<ConnectionWindow*>(window.tabWidget()->widget(0));
        QCOMPARE(list->model()->rowCount(), 1);
        BoxCloser boxes;
        const QStringList problems = window.importFiles({m_root->filePath("lab.velnor"), m_root->filePath("bad.velnor"),
                                                         m_root->filePath("old.xml"), m_root->filePath("opts.velnor")});
        QCOMPARE(problems.size(), 1);
        QVERIFY(problems.first().startsWith("bad.velnor"));
        // Nothing existing was replaced, and the open list shows the new rows.
        QFile old(user + "/lab.velnor");
        old.open(QIODevice::ReadOnly);
        QVERIFY(old.readAll().contains("\"old\""));
        QCOMPARE(list->model()->rowCount(), 4);
        // A connection file keeps its own name where it is free.
        QVERIFY(QFile::exists(user + "/opts.velnor"));
        // The ssh options were pointed out.
        QTRY_VERIFY(!boxes.texts.isEmpty());
        QVERIFY(boxes.texts.first().contains("opts.velnor"));
    }

    // Imported connections show at once in every open Connections tab, the one behind included.
    void importShowsInEveryConnectionsTab() {
        const QString user = m_root->filePath("user");
        writeFile(user + "/m.velnor", R"({"type":"ssh","host":"m.example"})");
        writeFile(m_root->filePath("a.velnor"), R"({"type":"ssh","host":"a.example","name":"Alpha"})");
        MainWindow window(qApp, user, m_root->filePath("system"));
        window.show();
        window.openConnectionList();
        window.openConnectionList();
        auto* behind = qobject_cast<ConnectionWindow*>(window.tabWidget()->widget(0));
        auto* front = qobject_cast<ConnectionWindow*>(window.tabWidget()->widget(1));
        QVERIFY(behind && front);
        const QStringList before{"<b>m.example</b><br/>ssh://m.example"};
        QCOMPARE(shownRows(*behind), before);
        QCOMPARE(shownRows(*front), before);
        BoxCloser boxes;
        QVERIFY(window.importFiles({m_root->filePath("a.velnor")}).isEmpty());
        const QStringList after{"<b>Alpha</b><br/>ssh://a.example", before.first()};
        QCOMPARE(shownRows(*behind), after);
        QCOMPARE(shownRows(*front), after);
        QVERIFY(boxes.texts.isEmpty());
    }

    // A page opened from the list is titled with the connection's own name, or its host.
    void pageTitles_data() {
        QTest::addColumn<QJsonObject>("json");
        QTest::addColumn<QString>("title");
        const int port = closedPort();
        const QString at = QStringLiteral("127.0.0.1:%1").arg(port);
        QTest::newRow("ssh, named") << QJsonObject{{"type", "ssh"}, {"name", "Lab"}, {"host", "127.0.0.1"},
                                                   {"port", port}, {"user", "root"}}
                                    << QStringLiteral("Lab (ssh://root@%1)").arg(at);
        QTest::newRow("ssh, unnamed") << QJsonObject{{"type", "ssh"}, {"host", "127.0.0.1"}, {"port", port},
                                                     {"user", "root"}}
                                      << QStringLiteral("127.0.0.1 (ssh://root@%1)").arg(at);
        QTest::newRow("https, named") << webConnection(port, "Lab web")
                                      << QStringLiteral("Lab web (https://tester@%1)").arg(at);
        QTest::newRow("https, unnamed") << webConnection(port, QString())
                                        << QStringLiteral("127.0.0.1 (https://tester@%1)").arg(at);
    }
    void pageTitles() {
        QFETCH(QJsonObject, json);
        QFETCH(QString, title);
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QWidget* page = runFromList(window, connectionFile(m_root->filePath("user"), "c.velnor", json));
        QVERIFY(isSessionPage(page));
        QCOMPARE(window.tabWidget()->tabText(window.tabWidget()->indexOf(page)), title);
        // Nothing answers there: the failure page that takes the tab keeps the title.
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<SessionListFailedWidget*>(window.tabWidget()->currentWidget()), 20000);
        QCOMPARE(window.tabWidget()->tabText(window.tabWidget()->currentIndex()), title);
    }

    // A failed connection's tab shows the failure page; Reconnect runs the connection again in that
    // place, Close removes the tab (and, as the last tab, opens the Connections tab).
    void failurePage_data() {
        QTest::addColumn<bool>("reconnect");
        QTest::newRow("reconnect") << true;
        QTest::newRow("close") << false;
    }
    void failurePage() {
        QFETCH(bool, reconnect);
        HttpsPeer::Server server;
        QVERIFY(server.start());
        signInAtOnce(server);
        server.script("POST", "/v3/api/auth/ssh", Response::error("denied", "Access denied"));
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        const QJsonObject json = connectionFile(m_root->filePath("user"), "web.velnor", webConnection(server.port(), "Lab"));
        QPointer<QWidget> page = runFromList(window, json);
        QVERIFY(isSessionPage(page));
        const QString title = page->windowTitle();
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<SessionListFailedWidget*>(window.tabWidget()->currentWidget()), 20000);
        QPointer<SessionListFailedWidget> failure =
            qobject_cast<SessionListFailedWidget*>(window.tabWidget()->currentWidget());
        QCOMPARE(window.tabWidget()->count(), 1);
        QCOMPARE(window.tabWidget()->tabText(0), title);
        QCOMPARE(failure->findChild<QLabel*>("ReasonLabel")->text(), QStringLiteral("denied"));
        QCOMPARE(failure->findChild<QLabel*>("DetailsLabel")->text(), QStringLiteral("Access denied"));
        QVERIFY(!failure->findChild<QPlainTextEdit*>("LogTextEdit")->toPlainText().isEmpty());
        QCOMPARE(failure->connectionJson().value("filename"), json.value("filename"));
        QTRY_VERIFY(page.isNull());

        if (reconnect) {
            failure->findChild<QPushButton*>("ReconnectButton")->click();
            QTRY_VERIFY(failure.isNull());
            QCOMPARE(window.tabWidget()->count(), 1);
            QWidget* again = window.tabWidget()->currentWidget();
            QVERIFY(isSessionPage(again));
            QCOMPARE(window.tabWidget()->tabText(0), title);
            // The server lets the second sign-in through.
            QSignalSpy began(again, SIGNAL(begin()));
            QVERIFY(began.wait(20000));
        } else {
            failure->findChild<QPushButton*>("CloseButton")->click();
            QTRY_VERIFY(failure.isNull());
            QCOMPARE(window.tabWidget()->count(), 1);
            QVERIFY(qobject_cast<ConnectionWindow*>(window.tabWidget()->currentWidget()));
            QCOMPARE(window.tabWidget()->tabText(0), QStringLiteral("Connections"));
        }
    }

    // Quitting signs the web pages out and waits for the sign-outs, but not for ever.
    void shutDownWaitsForSignOuts_data() {
        QTest::addColumn<bool>("answered");
        QTest::addColumn<int>("signOutTimeoutMs");
        QTest::addColumn<int>("stillPending");
        QTest::newRow("answered") << true << 10000 << 0;
        QTest::newRow("never answered, the sign-out times out") << false << 300 << 0;
        QTest::newRow("never answered, the window stops waiting") << false << 60000 << 1;
    }
    void shutDownWaitsForSignOuts() {
        QFETCH(bool, answered);
        QFETCH(int, signOutTimeoutMs);
        QFETCH(int, stillPending);
        // Sign-outs of earlier pages have ended.
        QTRY_COMPARE(RpcInstanceWeb::pendingDisposals(), 0);
        HttpsPeer::Server server;
        QVERIFY(server.start());
        signInAtOnce(server);
        if (!answered)
            server.script("POST", "/v3/api/user/logout", Response::silent());
        RpcInstanceWeb::setLogoutTimeout(signOutTimeoutMs);
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.setShutDownLimit(1000);
        window.show();
        QVERIFY(signedInPage(window, connectionFile(m_root->filePath("user"), "web.velnor",
                                                    webConnection(server.port(), "Lab"))));
        // As at the end of the application's event loop.
        QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
        QCOMPARE(window.tabWidget()->count(), 0);
        QCOMPARE(server.requests("/v3/api/user/logout").size(), 1);
        QCOMPARE(server.requests("/v3/api/user/logout").first().header("X-VELNOR-TOKEN"), server.token());
        QCOMPARE(RpcInstanceWeb::pendingDisposals(), stillPending);
        RpcInstanceWeb::setLogoutTimeout(RpcInstanceWeb::defaultLogoutTimeout);
        // A sign-out still waiting ends with its server.
        server.dropConnections();
        QTRY_COMPARE(RpcInstanceWeb::pendingDisposals(), 0);
    }

    // The Session menu follows the current session page only; the Connections tab turns every
    // session entry off, and coming back to the session page turns them on again.
    void menusFollowTheCurrentPage() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        signInAtOnce(server);
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        const QString user = m_root->filePath("user");
        QWidget* first = signedInPage(window, connectionFile(user, "a.velnor", webConnection(server.port(), "A")));
        QWidget* second = signedInPage(window, connectionFile(user, "b.velnor", webConnection(server.port(), "B")));
        QVERIFY(first && second);
        QCOMPARE(window.tabWidget()->currentWidget(), second);
        QTRY_VERIFY(window.newSessionAction()->isEnabled());
        const QList<bool> onSession = menuStates(window);
        QVERIFY(onSession.contains(true));

        // A page that is not current does not change the menus.
        QMetaObject::invokeMethod(first, "showSessionMenu", Q_ARG(int, 0));
        QCOMPARE(menuStates(window), onSession);
        QMetaObject::invokeMethod(first, "showSessionMenu", Q_ARG(int, ~0));
        QCOMPARE(menuStates(window), onSession);
        // The current one does.
        QMetaObject::invokeMethod(second, "showSessionMenu", Q_ARG(int, ~0));
        for (QAction* action : window.sessionMenu()->actions())
            QVERIFY(action->isSeparator() || action->isEnabled());

        window.openConnectionList();
        for (bool enabled : menuStates(window))
            QVERIFY(!enabled);

        window.tabWidget()->setCurrentWidget(second);
        QTRY_COMPARE(menuStates(window), onSession);
    }

    // An opened connection is noted under its file in "OpenConnections" while its page is open; a
    // connection without a file leaves the group alone.
    void openConnectionsGroup() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        signInAtOnce(server);
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        const QJsonObject json =
            connectionFile(m_root->filePath("user"), "web.velnor", webConnection(server.port(), "Lab"));
        const QString file = json.value("filename").toString();
        QSettings().remove("OpenConnections");
        QWidget* page = signedInPage(window, json);
        QVERIFY(page);
        QCOMPARE(openConnectionKeys(), QStringList{file.mid(1)});
        const QJsonObject noted = openConnection(file);
        QCOMPARE(noted.value("name").toString(), QStringLiteral("Lab"));
        QCOMPARE(noted.value("filename").toString(), file);

        QJsonObject unfiled = webConnection(server.port(), "Loose");
        QWidget* loose = runFromList(window, unfiled, false);
        QVERIFY(isSessionPage(loose));
        QSignalSpy began(loose, SIGNAL(begin()));
        QVERIFY(began.wait(20000));
        QCOMPARE(openConnectionKeys().size(), 1);
        loose->close();

        page->close();
        QVERIFY(openConnectionKeys().isEmpty());
    }

    // Ctrl+N on a session page starts a new session through the page's button, once: the File
    // menu's entry shows the key without taking it as well.
    void ctrlNOnASessionPage() {
        HttpsPeer::Server server;
        QVERIFY(server.start());
        signInAtOnce(server);
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QWidget* page = signedInPage(
            window, connectionFile(m_root->filePath("user"), "web.velnor", webConnection(server.port(), "Lab")));
        QVERIFY(page);
        QTRY_VERIFY(window.newSessionAction()->isEnabled());
        QCOMPARE(window.newSessionAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
        auto* button = page->findChild<QPushButton*>("NewSessionButton");
        QVERIFY(button && button->isEnabled());
        QCOMPARE(button->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
        // What the key does is seen, not what it opens.
        QObject::disconnect(button, &QPushButton::clicked, page, nullptr);
        QSignalSpy clicked(button, &QPushButton::clicked);
        QSignalSpy triggered(window.newSessionAction(), &QAction::triggered);
        QApplication::setActiveWindow(&window);
        QTRY_COMPARE(QApplication::activeWindow(), &window);
        QTest::keyClick(page, Qt::Key_N, Qt::ControlModifier);
        QTRY_COMPARE(clicked.count(), 1);
        QCOMPARE(triggered.count(), 0);
    }

    // The window's form: its layouts and pages by name, in their places.
    void form() {
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        auto* central = window.findChild<QWidget*>("CentralWidget");
        QVERIFY(central);
        QCOMPARE(window.centralWidget(), central);
        QCOMPARE(central->layout()->objectName(), QStringLiteral("verticalLayout_3"));
        auto* stack = window.findChild<QStackedWidget*>("StackedWidget");
        QVERIFY(stack && central->layout()->indexOf(stack) >= 0);
        QCOMPARE(stack->widget(0)->objectName(), QStringLiteral("NoneStack"));
        QCOMPARE(stack->widget(1)->objectName(), QStringLiteral("TabStack"));
        QCOMPARE(stack->currentIndex(), 0);

        QLayout* outer = stack->widget(0)->layout();
        QCOMPARE(outer->objectName(), QStringLiteral("verticalLayout_4"));
        QVERIFY(qobject_cast<QVBoxLayout*>(outer));
        QLayout* inner = outer->itemAt(0)->layout();
        QVERIFY(qobject_cast<QVBoxLayout*>(inner));
        QCOMPARE(inner->objectName(), QStringLiteral("verticalLayout_2"));
        QLayout* row = inner->itemAt(0)->layout();
        QVERIFY(qobject_cast<QHBoxLayout*>(row));
        QCOMPARE(row->objectName(), QStringLiteral("horizontalLayout"));
        QCOMPARE(row->count(), 3);
        QVERIFY(row->itemAt(0)->spacerItem() && row->itemAt(2)->spacerItem());
        auto* open = qobject_cast<QPushButton*>(row->itemAt(1)->widget());
        QVERIFY(open);
        QCOMPARE(open->objectName(), QStringLiteral("OpenConnectionButton"));
        QVERIFY(!open->isFlat() && !open->isDefault() && !open->autoDefault());

        QLayout* tabs = stack->widget(1)->layout();
        QCOMPARE(tabs->objectName(), QStringLiteral("verticalLayout"));
        QCOMPARE(tabs->itemAt(0)->widget(), window.tabWidget());
        QCOMPARE(window.tabWidget()->objectName(), QStringLiteral("TabWidget"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_root;
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"

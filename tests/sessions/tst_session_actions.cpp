#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectionContext.h"
#include "sessions/SessionActions.h"
#include "sessions/SessionDialogs.h"
#include "sessions/SessionListWidget.h"
#include "sessions/SessionModel.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>

using HttpsPeer::Response;
using HttpsPeer::Server;
using HttpsPeer::SessionRoutes;

namespace {

constexpr int wait = 10000;
const QString terminatePath = QStringLiteral("/v3/api/session/terminate");
const QString purgePath = QStringLiteral("/v3/api/session/purge");
const QString disconnectPath = QStringLiteral("/v3/api/session/disconnect");
const QString paramsPath = QStringLiteral("/v3/api/session/params");
const QString execPath = QStringLiteral("/v3/api/session/exec");
const QString execBgPath = QStringLiteral("/v3/api/session/exec-bg");
const QString logPath = QStringLiteral("/v3/api/session/log");

QJsonObject session(int clients, const QString& windowMode, bool sharing, const QJsonObject& params = {}) {
    QJsonObject s{{"id", "s1"},
                  {"command", "xterm"},
                  {"clientCount", clients},
                  {"windowMode", windowMode},
                  {"params", params}};
    if (sharing)
        s.insert("plugins", QJsonObject{{"sharing", QJsonObject{{"result", QJsonObject()}}}});
    return s;
}

// The profile's permissions with one group of the user's permissions.
QJsonObject user(const QString& group, const QJsonObject& entries) {
    return QJsonObject{{"user", QJsonObject{{group, entries}}}};
}

template <typename T>
T* visibleChild(QObject* parent) {
    for (T* child : parent->findChildren<T*>())
        if (child->isVisible())
            return child;
    return nullptr;
}

QList<QMessageBox*> openBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget))
            if (box->isVisible())
                boxes.append(box);
    return boxes;
}

void closeBoxes() {
    for (QMessageBox* box : openBoxes())
        box->close();
}

// A signed-in web transport, a test server with a session state and a session page on it.
struct PageUnderTest {
    Server server;
    SessionRoutes routes{server};
    QSharedPointer<RpcInstance> rpc;
    QScopedPointer<SessionListWidget> page;
    QSignalSpy* masks = nullptr;
    QJsonObject permissions;

    ~PageUnderTest() {
        page.reset();
        delete masks;
    }

    bool start(const QJsonObject& own, const QJsonObject& perms = {}, bool sharedList = false) {
        permissions = perms;
        routes.setOwn(QJsonArray{own});
        routes.setShared(sharedList ? QJsonArray{own} : QJsonArray());
        routes.addOperationRoutes();
        server.route("POST", QStringLiteral("/v3/api/user/me"), [this](const HttpsPeer::Request&) {
            return Response::result(QJsonObject{{"permissions", permissions}, {"config", QJsonObject()}});
        });
        if (!server.start(Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        // Signing in opens the event stream that carries the server's changes.
        web->sshAuth(QJsonObject());
        if (!QTest::qWaitFor([this] { return server.openStreams() == 1; }, wait))
            return false;
        page.reset(new SessionListWidget(rpc, QSharedPointer<ConnectionContext>::create(), QJsonObject()));
        masks = new QSignalSpy(page.data(), &SessionListWidget::showSessionMenu);
        page->beginInteraction();
        return QTest::qWaitFor([this] { return page->model()->rowCount() == 1; }, wait) &&
               QTest::qWaitFor([this] { return !server.requests("/v3/api/user/me").isEmpty(); }, wait);
    }

    int lastMask() const { return masks->isEmpty() ? -1 : masks->last().at(0).toInt(); }
    Session current() const { return page->model()->sessions().value(0); }
};

} // namespace

class TestSessionActions : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup() { closeBoxes(); }
    void menuTables();
    void masks_data();
    void masks();
    void confirmedOperations_data();
    void confirmedOperations();
    void disconnect();
    void parametersSendOnlyChanges();
    void fullscreenOnConnectToggles();
    void execute();
    void executeInBackground();
    void logs();
    void connectionLog();
    void info();
    void connectNeedsItsPermission_data();
    void connectNeedsItsPermission();
    void rowContextMenu();
    void viewerActions();

private:
    QTemporaryDir m_settings;
};

void TestSessionActions::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    registerSessionMetaTypes();
    QVERIFY(m_settings.isValid());
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
}

void TestSessionActions::menuTables() {
    const QList<int> order{4, 2, 8, 16, 32, 64, 128, 0, 2048, 256, 512, 4096, 0, 1024};
    QCOMPARE(SessionListWidget::sessionMenuOrder(), order);
    QCOMPARE(SessionListWidget::sessionMenuActions().value(SessionAction::Purge), QStringLiteral("P&urge"));
    QCOMPARE(SessionListWidget::sessionMenuActions().size(), 12);
}

void TestSessionActions::masks_data() {
    QTest::addColumn<QJsonObject>("permissions");
    QTest::addColumn<QJsonObject>("session");
    QTest::addColumn<bool>("viewerOpen");
    QTest::addColumn<bool>("sharedMode");
    QTest::addColumn<int>("expected");

    const QJsonObject none;
    QTest::newRow("no permissions, idle, not sharing")
        << none << session(0, "desktop", false) << false << false << 3309;
    QTest::newRow("no permissions, idle, sharing")
        << none << session(0, "desktop", true) << false << false << 3311;
    QTest::newRow("connected, viewer open, sharing")
        << none << session(1, "desktop", true) << true << false << 8191;
    QTest::newRow("connected, no viewer here")
        << none << session(1, "desktop", false) << false << false << 3325;
    QTest::newRow("viewer open but no clients")
        << none << session(0, "desktop", false) << true << false << 3309;
    QTest::newRow("rootless: no sharing, no full screen")
        << none << session(1, "rootless", true) << true << false << 6141;
    QTest::newRow("only log permitted")
        << user("session", {{"log", true}}) << session(1, "desktop", true) << true << false << 4933;
    QTest::newRow("share, exec, params permitted")
        << user("session", {{"share", true}, {"exec", true}, {"params", true}}) << session(0, "desktop", true)
        << false << false << 2191;
    QTest::newRow("share permitted, session not sharing")
        << user("session", {{"share", true}}) << session(0, "desktop", false) << false << false << 5;
    QTest::newRow("share permitted, rootless sharing")
        << user("session", {{"share", true}}) << session(0, "rootless", true) << false << false << 5;
    QTest::newRow("false entries permit nothing")
        << user("session", {{"disconnect", false}, {"terminate", true}}) << session(1, "desktop", false)
        << false << false << 1029;
    QTest::newRow("no start permission: no new session")
        << user("start", {{"bookmark", false}, {"custom", false}}) << session(0, "desktop", false) << false
        << false << 3308;
    QTest::newRow("shared with me: info only") << none << session(1, "desktop", true) << true << true << 4;
}

void TestSessionActions::masks() {
    QFETCH(QJsonObject, permissions);
    QFETCH(QJsonObject, session);
    QFETCH(bool, viewerOpen);
    QFETCH(bool, sharedMode);
    QFETCH(int, expected);

    RdpInstance viewer;
    if (viewerOpen)
        registerViewer(QStringLiteral("s1"), &viewer);
    PageUnderTest t;
    QVERIFY(t.start(session, permissions, sharedMode));
    if (sharedMode) {
        t.page->findChild<QComboBox*>(QStringLiteral("SharedWithMeComboBox"))->setCurrentIndex(1);
        QVERIFY(QTest::qWaitFor([&] { return !t.server.requests("/v3/api/session/list-shared").isEmpty(); },
                                wait));
    }
    QTRY_COMPARE_WITH_TIMEOUT(t.lastMask(), expected, wait);
    // The page's menu and the main window's mask agree, entry by entry.
    for (QAction* action : t.page->sessionMenu()->actions()) {
        const int code = action->data().toInt();
        if (code != 0)
            QVERIFY2(action->isEnabled() == bool(expected & code), qPrintable(action->text()));
    }
    unregisterViewer(QStringLiteral("s1"), &viewer);
}

void TestSessionActions::confirmedOperations_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("failure");
    QTest::newRow("terminate") << int(SessionAction::Terminate) << terminatePath
                               << QStringLiteral("Terminate \"<i>Desk</i>\"?")
                               << QStringLiteral(
                                      "Failed to terminate the session.<br><br>&lt;b&gt;no&lt;/b&gt; "
                                      "&amp; more<br>(denied)");
    QTest::newRow("purge") << int(SessionAction::Purge) << purgePath
                           << QStringLiteral("Purge \"<i>Desk</i>\"?")
                           << QStringLiteral("Failed to purge the session.<br><br>&lt;b&gt;no&lt;/b&gt; "
                                             "&amp; more<br>(denied)");
}

void TestSessionActions::confirmedOperations() {
    QFETCH(int, code);
    QFETCH(QString, path);
    QFETCH(QString, question);
    QFETCH(QString, failure);
    PageUnderTest t;
    QVERIFY(t.start(session(1, "desktop", false, QJsonObject{{"name", "<i>Desk</i>"}})));

    const auto ask = [&]() -> QuestionDialog* {
        t.page->currentSessionAction(code);
        auto* dialog = visibleChild<QuestionDialog>(t.page.data());
        if (dialog && dialog->questionLabel()->text() != question)
            return nullptr;
        return dialog;
    };
    const auto button = [](QuestionDialog* dialog, QDialogButtonBox::ButtonRole role) {
        for (QAbstractButton* b : dialog->buttonBox()->buttons())
            if (dialog->buttonBox()->buttonRole(b) == role)
                return b;
        return static_cast<QAbstractButton*>(nullptr);
    };

    // Kept: nothing is sent.
    QuestionDialog* dialog = ask();
    QVERIFY(dialog);
    QCOMPARE(dialog->questionLabel()->textFormat(), Qt::PlainText);
    button(dialog, QDialogButtonBox::RejectRole)->click();

    // Refused by the server: the box quotes its message as text.
    t.routes.failNext(path, QStringLiteral("denied"), QStringLiteral("<b>no</b> & more"));
    dialog = ask();
    QVERIFY(dialog);
    button(dialog, QDialogButtonBox::AcceptRole)->click();
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QMessageBox* box = openBoxes().first();
    QCOMPARE(box->text(), failure);
    QCOMPARE(box->textFormat(), Qt::RichText);
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->windowTitle(), QStringLiteral("%1 Error").arg(QCoreApplication::applicationName()));
    QCOMPARE(t.routes.operations(path).size(), 1);
    QCOMPARE(t.page->model()->rowCount(), 1);
    closeBoxes();

    // Confirmed: the one request, and the session goes.
    dialog = ask();
    QVERIFY(dialog);
    button(dialog, QDialogButtonBox::AcceptRole)->click();
    QTRY_COMPARE_WITH_TIMEOUT(t.page->model()->rowCount(), 0, wait);
    QCOMPARE(t.routes.operations(path),
             (QList<QJsonObject>{QJsonObject{{"id", "s1"}}, QJsonObject{{"id", "s1"}}}));
    QVERIFY(openBoxes().isEmpty());
}

void TestSessionActions::disconnect() {
    PageUnderTest t;
    QVERIFY(t.start(session(2, "desktop", false)));
    t.routes.failNext(disconnectPath, QStringLiteral("denied"), QStringLiteral("<b>busy</b>"));
    t.page->currentSessionAction(SessionAction::Disconnect);
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("Failed to disconnect session:<br><br>&lt;b&gt;busy&lt;/b&gt;"));
    closeBoxes();

    t.page->currentSessionAction(SessionAction::Disconnect);
    QTRY_COMPARE_WITH_TIMEOUT(t.current().clientCount(), 0, wait);
    QCOMPARE(t.routes.operations(disconnectPath).size(), 2);
    QCOMPARE(t.routes.operations(disconnectPath).last(), (QJsonObject{{"id", "s1"}}));
    // No clients left: Disconnect is no longer offered.
    QTRY_COMPARE_WITH_TIMEOUT(t.lastMask() & SessionAction::Disconnect, 0, wait);
}

void TestSessionActions::parametersSendOnlyChanges() {
    PageUnderTest t;
    QVERIFY(t.start(session(0, "desktop", false,
                            QJsonObject{{"name", "Desk"},
                                        {"depth", 24},
                                        {"gone", "x"},
                                        {"nested", QJsonObject{{"a", QJsonArray{1, 2}}}}})));
    t.page->currentSessionAction(SessionAction::Parameters);
    auto* dialog = visibleChild<ParamsDialog>(t.page.data());
    QVERIFY(dialog);
    QTableWidget* table = dialog->table();
    QCOMPARE(table->rowCount(), 4);
    for (int r = 0; r < table->rowCount(); ++r) {
        if (table->item(r, 0)->text() == "name")
            table->item(r, 1)->setText(QStringLiteral("Renamed"));
        if (table->item(r, 0)->text() == "gone")
            table->setCurrentCell(r, 0);
    }
    QMetaObject::invokeMethod(dialog, "on_DeleteParam_clicked");
    dialog->accept();

    QTRY_COMPARE_WITH_TIMEOUT(t.routes.operations(paramsPath).size(), 1, wait);
    QCOMPARE(t.routes.operations(paramsPath).first(),
             (QJsonObject{{"id", "s1"}, {"name", "Renamed"}, {"gone", ""}}));
    QTRY_COMPARE_WITH_TIMEOUT(t.current().param("name").toString(), QStringLiteral("Renamed"), wait);
    QVERIFY(!t.current().params().contains("gone"));
    QCOMPARE(t.current().param("nested").toMap().value("a").toList().size(), 2);

    // Refused: the short box under the connect operation's title.
    t.routes.failNext(paramsPath, QStringLiteral("denied"), QStringLiteral("read <only>"));
    t.page->currentSessionAction(SessionAction::Parameters);
    dialog = visibleChild<ParamsDialog>(t.page.data());
    QVERIFY(dialog);
    dialog->table()->item(0, 1)->setText(QStringLiteral("changed"));
    dialog->accept();
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("Failed to set session parameters:<br><br>read &lt;only&gt;"));
}

void TestSessionActions::fullscreenOnConnectToggles() {
    PageUnderTest t;
    QVERIFY(t.start(session(0, "desktop", false, QJsonObject{{"windowMode", "window"}})));
    QAction* fullscreen = nullptr;
    for (QAction* action : t.page->sessionMenu()->actions())
        if (action->data().toInt() == SessionAction::FullscreenOnConnect)
            fullscreen = action;
    QVERIFY(fullscreen && fullscreen->isCheckable());
    QTRY_VERIFY_WITH_TIMEOUT(fullscreen->isEnabled(), wait);
    QVERIFY(!fullscreen->isChecked());

    fullscreen->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(t.current().param("windowMode").toString(), QStringLiteral("fullscreen"), wait);
    QTRY_VERIFY_WITH_TIMEOUT(fullscreen->isChecked(), wait);
    t.page->currentSessionAction(SessionAction::FullscreenOnConnect);
    QTRY_COMPARE_WITH_TIMEOUT(t.routes.operations(paramsPath).size(), 2, wait);
    QCOMPARE(t.routes.operations(paramsPath).at(0),
             (QJsonObject{{"id", "s1"}, {"windowMode", "fullscreen"}}));
    QCOMPARE(t.routes.operations(paramsPath).at(1), (QJsonObject{{"id", "s1"}, {"windowMode", ""}}));
    QTRY_VERIFY_WITH_TIMEOUT(!fullscreen->isChecked(), wait);
}

void TestSessionActions::execute() {
    PageUnderTest t;
    QVERIFY(t.start(session(1, "desktop", false)));
    t.routes.setExecReply(QJsonObject{
        {"code", 2},
        {"output", QJsonArray{QJsonObject{{"line", "a<b  c"}, {"type", "stdout"}},
                              QJsonObject{{"line", "<a href=\"http://x\">oops</a>"}, {"type", "stderr"}},
                              QJsonObject{{"line", "sys"}, {"type", "system"}}}}});
    t.page->currentSessionAction(SessionAction::ExecuteCommand);
    auto* dialog = visibleChild<ExecDialog>(t.page.data());
    QVERIFY(dialog);
    dialog->commandEdit()->setPlainText(QStringLiteral("ls"));
    dialog->stdinEdit()->setPlainText(QStringLiteral("in"));
    dialog->buttonBox()->button(QDialogButtonBox::Ok)->click();

    QTRY_VERIFY_WITH_TIMEOUT(visibleChild<ExecOutputDialog>(t.page.data()), wait);
    QCOMPARE(
        t.routes.operations(execPath),
        (QList<QJsonObject>{{{"command", "ls"}, {"stdin", "in"}, {"env", QJsonObject()}, {"id", "s1"}}}));
    auto* output = visibleChild<ExecOutputDialog>(t.page.data());
    QCOMPARE(output->exitCodeLabel()->text(), QStringLiteral("Exit Code: 2"));
    QCOMPARE(output->outputView()->toPlainText().replace(QChar::LineSeparator, '\n'),
             QStringLiteral("a<b  c\n<a href=\"http://x\">oops</a>\nsys"));
    for (QTextBlock block = output->outputView()->document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QVERIFY(!fragment.charFormat().isAnchor());
            QCOMPARE(fragment.charFormat().foreground().color() == QColor(Qt::red),
                     fragment.text().contains("oops"));
        }

    t.routes.failNext(execPath, QStringLiteral("denied"), QStringLiteral("no <shell>"));
    t.page->currentSessionAction(SessionAction::ExecuteCommand);
    dialog = visibleChild<ExecDialog>(t.page.data());
    QVERIFY(dialog);
    dialog->commandEdit()->setPlainText(QStringLiteral("ls"));
    dialog->buttonBox()->button(QDialogButtonBox::Ok)->click();
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("Failed to execute command:<br><br>no &lt;shell&gt;"));
}

void TestSessionActions::executeInBackground() {
    PageUnderTest t;
    QVERIFY(t.start(session(1, "desktop", false)));
    t.routes.setBackgroundPid(4194304);
    t.page->currentSessionAction(SessionAction::ExecuteCommand);
    auto* dialog = visibleChild<ExecDialog>(t.page.data());
    QVERIFY(dialog);
    dialog->commandEdit()->setPlainText(QStringLiteral("sleep 100"));
    dialog->stdinEdit()->setPlainText(QStringLiteral("ignored"));
    dialog->backgroundCheckBox()->setChecked(true);
    dialog->buttonBox()->button(QDialogButtonBox::Ok)->click();
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QMessageBox* box = openBoxes().first();
    QCOMPARE(box->text(), QStringLiteral("Program Started<br />PID 4194304"));
    QCOMPARE(box->windowTitle(), QStringLiteral("Command Executed in background"));
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(t.routes.operations(execBgPath),
             (QList<QJsonObject>{{{"command", "sleep 100"}, {"env", QJsonObject()}, {"id", "s1"}}}));
    QVERIFY(!visibleChild<ExecOutputDialog>(t.page.data()));

    QCOMPARE(backgroundRunText(QVariantMap{{"pid", 12345678901.0}}),
             QStringLiteral("Program Started<br />PID 12345678901"));
    QCOMPARE(backgroundRunText(QVariantMap()), QStringLiteral("Program Started<br />PID 0"));
}

void TestSessionActions::logs() {
    PageUnderTest t;
    QVERIFY(t.start(session(0, "desktop", false)));
    t.routes.setLogs(QJsonObject{{"xsession.log", "<b>started</b> & ok\n"}, {"app.log", "second"}});
    t.page->currentSessionAction(SessionAction::ViewLogs);
    QTRY_VERIFY_WITH_TIMEOUT(visibleChild<SessionLogDialog>(t.page.data()), wait);
    auto* dialog = visibleChild<SessionLogDialog>(t.page.data());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Session Logs: s1"));
    QCOMPARE(dialog->comboBox()->count(), 2);
    QCOMPARE(dialog->comboBox()->itemText(0), QStringLiteral("app.log"));
    dialog->comboBox()->setCurrentIndex(1);
    QCOMPARE(dialog->textView()->toPlainText(), QStringLiteral("<b>started</b> & ok\n"));
    QCOMPARE(t.routes.operations(logPath), (QList<QJsonObject>{{{"id", "s1"}, {"log", ""}}}));

    t.routes.failNext(logPath, QStringLiteral("gone"), QStringLiteral("<i>no logs</i>"));
    t.page->currentSessionAction(SessionAction::ViewLogs);
    QTRY_COMPARE_WITH_TIMEOUT(openBoxes().size(), 1, wait);
    QCOMPARE(openBoxes().first()->text(),
             QStringLiteral("Failed to get logs.<br><br>&lt;i&gt;no logs&lt;/i&gt;<br>(gone)"));
}

void TestSessionActions::connectionLog() {
    PageUnderTest t;
    QVERIFY(t.start(session(0, "desktop", false)));
    t.rpc->appendLog(QStringLiteral("<b>line</b> & one"));
    QMetaObject::invokeMethod(t.page.data(), "on_ConnectionLogAction_triggered");
    auto* dialog = visibleChild<LogDialog>(t.page.data());
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Connection Log"));
    QVERIFY(dialog->textView()->toPlainText().contains(QStringLiteral("<b>line</b> & one\n")));
}

void TestSessionActions::info() {
    PageUnderTest t;
    QJsonObject s = session(0, "desktop", true);
    s.insert("login", "<b>ann</b>");
    s.insert("started", "2026-01-02T03:04:05.000");
    QVERIFY(t.start(s));
    t.page->currentSessionAction(SessionAction::Info);
    auto* dialog = visibleChild<InfoDialog>(t.page.data());
    QVERIFY(dialog);
    QMap<QString, QString> rows;
    for (int r = 0; r < dialog->table()->rowCount(); ++r)
        rows.insert(dialog->table()->item(r, 0)->text(), dialog->table()->item(r, 1)->text());
    QCOMPARE(rows.size(), 11);
    QCOMPARE(rows.value("Session Id"), QStringLiteral("s1"));
    QCOMPARE(rows.value("Login"), QStringLiteral("<b>ann</b>"));
    QCOMPARE(rows.value("Command"), QStringLiteral("xterm"));
    QCOMPARE(rows.value("Started"), QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)).toString(Qt::TextDate));
    QCOMPARE(rows.value("Sharing"), QStringLiteral("true"));
    QCOMPARE(dialog->buttonBox()->buttons().size(), 1);
}

void TestSessionActions::viewerActions() {
    PageUnderTest t;
    QVERIFY(t.start(session(1, "desktop", false)));
    RdpInstance viewer;
    QSignalSpy options(&viewer, &RdpInstance::wantsToShowOptions);
    // Without an open viewer nothing happens.
    t.page->currentSessionAction(SessionAction::Settings);
    QCOMPARE(options.count(), 0);
    registerViewer(QStringLiteral("s1"), &viewer);
    t.page->currentSessionAction(SessionAction::Settings);
    QCOMPARE(options.count(), 1);
    // No running session: both do nothing, and must not fail.
    t.page->currentSessionAction(SessionAction::RestoreWindows);
    t.page->currentSessionAction(SessionAction::Diagnostics);
    unregisterViewer(QStringLiteral("s1"), &viewer);
}

void TestSessionActions::connectNeedsItsPermission_data() {
    QTest::addColumn<QJsonObject>("permissions");
    QTest::addColumn<bool>("sent");
    QTest::newRow("no session permissions") << QJsonObject() << true;
    QTest::newRow("connect permitted") << user("session", {{"connect", true}, {"disconnect", true}}) << true;
    QTest::newRow("connect not permitted")
        << user("session", {{"connect", false}, {"disconnect", true}}) << false;
    QTest::newRow("connect missing") << user("session", {{"disconnect", true}}) << false;
}

void TestSessionActions::connectNeedsItsPermission() {
    QFETCH(QJsonObject, permissions);
    QFETCH(bool, sent);
    PageUnderTest t;
    // A refused connect starts no viewer.
    t.server.route("POST", QStringLiteral("/v3/api/session/connect"), [](const HttpsPeer::Request&) {
        return Response::error(QStringLiteral("denied"), QStringLiteral("no"));
    });
    QVERIFY(t.start(session(1, "desktop", false), permissions));
    // The profile's permissions are in place once the mask reflects them: none of them grants Terminate.
    const int terminate = permissions.isEmpty() ? int(SessionAction::Terminate) : 0;
    QTRY_COMPARE_WITH_TIMEOUT(t.lastMask() & SessionAction::Terminate, terminate, wait);
    t.page->connectCurrentSession(QModelIndex());
    // A later request as the marker that the connect, if any, has gone out.
    t.page->currentSessionAction(SessionAction::Disconnect);
    QTRY_COMPARE_WITH_TIMEOUT(t.routes.operations(disconnectPath).size(), 1, wait);
    if (sent)
        QTRY_COMPARE_WITH_TIMEOUT(t.server.requests(QStringLiteral("/v3/api/session/connect")).size(), 1,
                                  wait);
    else
        QCOMPARE(t.server.requests(QStringLiteral("/v3/api/session/connect")).size(), 0);
}

void TestSessionActions::rowContextMenu() {
    PageUnderTest t;
    QVERIFY(t.start(session(0, "desktop", false)));
    t.page->showListPage();
    t.page->show();
    QVERIFY(QTest::qWaitForWindowExposed(t.page.data()));
    auto* list = t.page->findChild<QAbstractItemView*>(QStringLiteral("SessionListView"));
    QVERIFY(list);
    const QModelIndex row = list->model()->index(0, 1);
    emit list->customContextMenuRequested(list->visualRect(row).center());
    QTRY_VERIFY_WITH_TIMEOUT(t.page->sessionMenu()->isVisible(), wait);
    QCOMPARE(list->currentIndex().row(), 0);
    t.page->sessionMenu()->hide();
}

QTEST_MAIN(TestSessionActions)
#include "tst_session_actions.moc"

#include "sessions/SessionListWidget.h"

#include "bookmarks/PromiseLifetime.h"
#include "bookmarks/SharingSettingsDialog.h"
#include "bookmarks/StartSessionDialog.h"
#include "rpc/RpcInstance.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ScreenShotCache.h"
#include "sessions/SessionActions.h"
#include "sessions/SessionConnectOp.h"
#include "sessions/SessionDelegate.h"
#include "sessions/SessionDialogs.h"
#include "sessions/SessionFileManager.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionSortFilterProxyModel.h"
#include "sessions/SessionTexts.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QListView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

const char showGridKey[] = "ShowGrid";

QPushButton* toolButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setProperty("myFlat", true);
    return button;
}

} // namespace

SessionListWidget::SessionListWidget(QSharedPointer<RpcInstance> rpc, QSharedPointer<ConnectionContext> context,
                                     const QJsonObject& connectionJson, QWidget* parent)
    : QWidget(parent)
    , m_rpc(std::move(rpc))
    , m_context(std::move(context))
    , m_connectionJson(connectionJson) {
    setObjectName(QStringLiteral("SessionListWidget"));
    auto* layout = new QVBoxLayout(this);
    auto* tools = new QFrame(this);
    tools->setObjectName(QStringLiteral("ToolFrame"));
    tools->setStyleSheet(QStringLiteral("QPushButton[myFlat=\"true\"] { border: none; padding: 3px; }"
                                        "QPushButton[myFlat=\"true\"]:hover { border: 1px outset grey; "
                                        "border-radius: 2px; }"));
    auto* bar = new QHBoxLayout(tools);
    bar->setContentsMargins(0, 0, 0, 0);
    m_newSession = toolButton(tools, "NewSessionButton", tr("New Session"));
    m_shared = new QComboBox(tools);
    m_shared->setObjectName(QStringLiteral("SharedWithMeComboBox"));
    m_shared->addItems({tr("My Sessions"), tr("Sessions Shared With Me")});
    auto* listButton = toolButton(tools, "ShowListButton", tr("List"));
    auto* gridButton = toolButton(tools, "ShowGridButton", tr("Grid"));
    auto* logButton = toolButton(tools, "LogButton", tr("Connection Log"));
    m_fileBrowser = toolButton(tools, "OpenFileBrowserButton", tr("Files"));
    m_fileBrowser->setIcon(QIcon(QStringLiteral(":/images/resources/folders-dark.svg")));
    m_fileBrowser->setToolTip(tr("Open file browser."));
    // Enabled by the user's profile when it allows downloads.
    m_fileBrowser->setEnabled(false);
    bar->addWidget(m_newSession);
    bar->addWidget(m_fileBrowser);
    bar->addWidget(m_shared);
    bar->addStretch();
    bar->addWidget(listButton);
    bar->addWidget(gridButton);
    bar->addWidget(logButton);
    layout->addWidget(tools);

    m_model = new SessionModel({QStringLiteral("name"), QStringLiteral("connections"), QStringLiteral("uptime"),
                                QStringLiteral("login"), QString()},
                               m_rpc, m_context, this);
    m_listProxy = new QSortFilterProxyModel(this);
    m_listProxy->setSourceModel(m_model);
    m_listProxy->setSortRole(SessionModel::SortRole);
    m_listProxy->setSortLocaleAware(true);
    m_gridProxy = new SessionSortFilterProxyModel(this);
    m_gridProxy->setSessionRole(SessionModel::SessionRole);
    m_gridProxy->setSourceModel(m_model);
    m_screenShots = QSharedPointer<ScreenShotCache>::create(m_rpc);

    m_pages = new QStackedWidget(this);
    m_list = new QTreeView(m_pages);
    m_list->setObjectName(QStringLiteral("SessionListView"));
    m_list->setRootIsDecorated(false);
    m_list->setAlternatingRowColors(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::EditKeyPressed);
    m_list->setModel(m_listProxy);
    m_list->setSortingEnabled(true);
    m_list->sortByColumn(0, Qt::AscendingOrder);
    m_grid = new QListView(m_pages);
    m_grid->setObjectName(QStringLiteral("SessionGridView"));
    m_grid->setViewMode(QListView::IconMode);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setUniformItemSizes(true);
    m_grid->setGridSize(QSize(220, 60));
    m_grid->setWordWrap(true);
    m_grid->setModel(m_gridProxy);
    m_grid->setItemDelegate(new SessionDelegate(m_screenShots, m_grid));
    m_grid->setEditTriggers(QAbstractItemView::EditKeyPressed);
    m_pages->addWidget(m_list);
    m_pages->addWidget(m_grid);
    layout->addWidget(m_pages);

    connect(m_newSession, &QPushButton::clicked, this, &SessionListWidget::on_NewSessionButton_clicked);
    connect(logButton, &QPushButton::clicked, this, &SessionListWidget::on_LogButton_clicked);
    connect(m_fileBrowser, &QPushButton::clicked, this, &SessionListWidget::on_OpenFileBrowserButton_clicked);
    connect(listButton, &QPushButton::clicked, this, &SessionListWidget::showListPage);
    connect(gridButton, &QPushButton::clicked, this, &SessionListWidget::showGridPage);
    connect(m_list, &QTreeView::doubleClicked, this, [this] { connectCurrentSession(m_list->currentIndex()); });
    connect(m_grid, &QListView::doubleClicked, this, [this] { connectCurrentSession(m_grid->currentIndex()); });
    m_list->installEventFilter(this);
    m_grid->installEventFilter(this);
    auto* open = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    connect(open, &QShortcut::activated, this, [this] { connectCurrentSession(QModelIndex()); });
    connect(m_shared, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this](int index) {
        m_model->setShared(index == 1);
        m_model->forceUpdate();
        m_newSession->setEnabled(index == 0);
        updateActions();
    });
    connect(m_model, &SessionModel::sessionsUpdated, this, [this] {
        m_listProxy->sort(m_listProxy->sortColumn(), m_listProxy->sortOrder());
        m_gridProxy->setInitialOrder(m_model->sessions());
        for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(m_list), static_cast<QAbstractItemView*>(m_grid)})
            if (!view->currentIndex().isValid() && view->model()->rowCount() > 0)
                view->setCurrentIndex(view->model()->index(0, 0));
        updateActions();
    });
    connect(m_model, &SessionModel::sessionRemoved, this, [this](const Session& session) {
        m_screenShots->remove(session.id());
        updateActions();
    });

    // The Session menu, as a context menu of the rows of either view.
    m_sessionMenu = buildSessionMenu(this, this, SLOT(sessionMenuAction()));
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(m_list), static_cast<QAbstractItemView*>(m_grid)}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& pos) { showSessionMenuAt(view, pos); });
        connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
                &SessionListWidget::updateActions);
    }
    connect(m_pages, &QStackedWidget::currentChanged, this, [this](int index) {
        if (index >= 0)
            updateActions();
    });
    connect(m_model, &SessionModel::sessionChanged, this, &SessionListWidget::updateActions);

    setUpConnectAndStart();

    // A mistyped setting falls back to the grid.
    const QVariant grid = QSettings().value(QLatin1String(showGridKey), true);
    if (grid.canConvert<bool>() && !grid.toBool() && grid.toString() != QLatin1String("true"))
        QMetaObject::invokeMethod(this, "showListPage", Qt::QueuedConnection);
    else
        QMetaObject::invokeMethod(this, "showGridPage", Qt::QueuedConnection);
}

SessionListWidget::~SessionListWidget() {
    // Signed out while the page's fields still exist.
    logout();
}

void SessionListWidget::logout() {
    if (m_loggedOut || !m_rpc)
        return;
    m_loggedOut = true;
    m_rpc->dispose(m_rpc);
}

void SessionListWidget::showListPage() {
    m_pages->setCurrentWidget(m_list);
    m_list->setFocus(Qt::OtherFocusReason);
    m_screenShots->clear();
    QSettings().setValue(QLatin1String(showGridKey), false);
    emit listView();
}

void SessionListWidget::showGridPage() {
    m_pages->setCurrentWidget(m_grid);
    m_grid->setFocus(Qt::OtherFocusReason);
    QSettings().setValue(QLatin1String(showGridKey), true);
    emit gridView();
}

QAbstractItemView* SessionListWidget::currentView() const {
    return m_pages->currentWidget() == m_list ? static_cast<QAbstractItemView*>(m_list)
                                              : static_cast<QAbstractItemView*>(m_grid);
}

Session SessionListWidget::currentSession() const {
    return currentView()->currentIndex().data(SessionModel::SessionRole).value<Session>();
}

QMap<int, QString> SessionListWidget::sessionMenuActions() {
    return ::sessionMenuActions();
}

QList<int> SessionListWidget::sessionMenuOrder() {
    return ::sessionMenuOrder();
}

int SessionListWidget::enabledSessionActions(const Session& session, QMenu* menu, int allowed, bool own) {
    return ::enabledSessionActions(session, menu, allowed, own);
}

void SessionListWidget::updateActions() {
    const Session session = currentSession();
    if (m_shared->currentIndex() > 0) {
        // Others' sessions: only their information; no new session from this list.
        const int r = ::enabledSessionActions(session, m_sessionMenu, SessionAction::Info, false);
        emit showSessionMenu(r & ~SessionAction::NewSession);
        return;
    }
    const QVariantMap start = startPermissions();
    m_newSession->setEnabled(start.isEmpty() || start.value(QStringLiteral("bookmark")).toBool() ||
                             start.value(QStringLiteral("custom")).toBool());
    int r = ::enabledSessionActions(session, m_sessionMenu, sessionPermissionMask(sessionPermissions()), true);
    // The main window's New Session follows the page's button.
    if (!m_newSession->isEnabled())
        r &= ~SessionAction::NewSession;
    emit showSessionMenu(r);
}

void SessionListWidget::currentSessionAction(int code) {
    const Session session = currentSession();
    if (!session.id().isEmpty())
        sessionAction(session, code);
}

void SessionListWidget::sessionMenuAction() {
    auto* action = qobject_cast<QAction*>(sender());
    if (!action)
        return;
    currentSessionAction(action->data().toInt());
}

void SessionListWidget::showSessionMenuAt(QAbstractItemView* view, const QPoint& pos) {
    const QModelIndex index = view->indexAt(pos);
    if (!index.isValid())
        return;
    view->setCurrentIndex(index);
    updateActions();
    m_sessionMenu->popup(view->viewport()->mapToGlobal(pos));
}

void SessionListWidget::sessionAction(const Session& session, int codes) {
    if (session.id().isEmpty())
        return;
    if (codes & SessionAction::Info)
        showSessionInfo(session);
    if (codes & SessionAction::Parameters)
        editParameters(session);
    if (codes & SessionAction::Disconnect)
        disconnectSession(session.id());
    if (codes & SessionAction::Purge)
        confirmPurge(session);
    if (codes & SessionAction::ViewLogs)
        showSessionLogs(session.id());
    if (codes & SessionAction::ExecuteCommand)
        executeCommand(session);
    if (codes & (SessionAction::Settings | SessionAction::RestoreWindows | SessionAction::Diagnostics)) {
        if (RdpInstance* viewer = findViewer(session.id())) {
            if (codes & SessionAction::Settings)
                emit viewer->wantsToShowOptions();
            if (codes & SessionAction::RestoreWindows)
                viewer->restoreWindows();
            if (codes & SessionAction::Diagnostics)
                viewer->diagnostics();
        }
    }
    if (codes & SessionAction::FullscreenOnConnect)
        toggleFullscreen(session);
    if (codes & SessionAction::Terminate)
        confirmTerminate(session);
    if ((codes & SessionAction::Sharing) && m_rpc) {
        const QString baseUrl =
            m_profile.value(QStringLiteral("config")).toMap().value(QStringLiteral("baseUrl")).toString();
        auto* dialog = new SharingSettingsDialog(session.id(), m_rpc, baseUrl, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
    }
}

namespace {

// Failure boxes of the session operations: no parent, not modal, deleted when closed. Server text in
// them is escaped; only the operation's own sentence is markup.
void showOperationFailure(const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Close);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}

QString errorTitle(const char* context) {
    return QCoreApplication::translate(context, "%1 Error").arg(QCoreApplication::applicationName());
}

QString shortForm(const QString& sentence, const QString& message) {
    return sentence.arg(message.toHtmlEscaped());
}

QString longForm(const QString& sentence, const QString& message, const QString& name) {
    return QStringLiteral("%1<br><br>%2<br>(%3)").arg(sentence, message.toHtmlEscaped(), name.toHtmlEscaped());
}

} // namespace

void SessionListWidget::showSessionInfo(const Session& session) {
    auto* dialog = new InfoDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->addButton(tr("Close"));
    dialog->addRow(tr("Session Id"), session.id());
    dialog->addRow(tr("Login"), session.login());
    dialog->addRow(tr("Hostname"), session.hostname());
    dialog->addRow(tr("Server Version"), session.version());
    dialog->addRow(tr("Command"), session.command());
    dialog->addRow(tr("Window Mode"), session.windowMode());
    dialog->addRow(tr("Geometry"), session.geometry());
    dialog->addRow(tr("Started"), session.started().toString(Qt::TextDate));
    dialog->addRow(tr("Last Connected"), session.lastConnect().toString(Qt::TextDate));
    dialog->addRow(tr("Last Disconnected"), session.lastDisconnect().toString(Qt::TextDate));
    dialog->addRow(tr("Sharing"), session.isSharing() ? QStringLiteral("true") : QStringLiteral("false"));
    dialog->show();
}

void SessionListWidget::editParameters(const Session& session) {
    auto* dialog = new ParamsDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &ParamsDialog::newParams, this,
            [this, session](const QVariantMap& params) { setParameters(session, params); });
    const QVariantMap params = session.params();
    for (auto it = params.begin(); it != params.end(); ++it)
        if (!it.key().isEmpty())
            dialog->addParam(it.key(), it.value());
    dialog->show();
}

void SessionListWidget::setParameters(const Session& session, const QVariantMap& params) {
    // Nothing changed: nothing to send.
    if (!m_rpc || params.isEmpty())
        return;
    RpcPromise<QVariantMap>* promise = m_rpc->setSessionParams(session.id(), params);
    connect(promise, &RpcPromiseBase::failed, this, [](const QString&, const QString& message) {
        showOperationFailure(errorTitle("SessionConnectOp"),
                             shortForm(tr("Failed to set session parameters:<br><br>%1"), message));
    });
}

void SessionListWidget::toggleFullscreen(const Session& session) {
    const bool fullscreen =
        session.param(QStringLiteral("windowMode")).toString() == QLatin1String("fullscreen");
    setParameters(session, QVariantMap{{QStringLiteral("windowMode"),
                                        fullscreen ? QString() : QStringLiteral("fullscreen")}});
}

void SessionListWidget::disconnectSession(const QString& id) {
    if (!m_rpc)
        return;
    RpcPromise<void>* promise = m_rpc->disconnectSession(id);
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::failed, this, [](const QString&, const QString& message) {
        showOperationFailure(errorTitle("SessionListWidget"),
                             shortForm(tr("Failed to disconnect session:<br><br>%1"), message));
    });
}

void SessionListWidget::confirmPurge(const Session& session) {
    auto* question = new QuestionDialog(this);
    question->setAttribute(Qt::WA_DeleteOnClose);
    question->setQuestion(tr("Purge \"%1\"?").arg(sessionDisplayName(session)));
    question->addAcceptButton(tr("Purge"));
    question->addRejectButton(tr("Keep"));
    const QString id = session.id();
    connect(question, &QDialog::accepted, this, [this, id] {
        if (!m_rpc)
            return;
        RpcPromise<void>* promise = m_rpc->purgeSession(id);
        deleteWhenSettled(promise, this);
        connect(promise, &RpcPromiseBase::failed, this,
                [](const QString& name, const QString& message) {
                    showOperationFailure(errorTitle("SessionListWidget"),
                                         longForm(tr("Failed to purge the session."), message, name));
                });
    });
    question->show();
}

void SessionListWidget::confirmTerminate(const Session& session) {
    auto* question = new QuestionDialog(this);
    question->setAttribute(Qt::WA_DeleteOnClose);
    question->setQuestion(tr("Terminate \"%1\"?").arg(sessionDisplayName(session)));
    question->addAcceptButton(tr("Terminate"));
    question->addRejectButton(tr("Keep"));
    const QString id = session.id();
    connect(question, &QDialog::accepted, this, [this, id] { terminateSession(id); });
    question->open();
}

void SessionListWidget::terminateSession(const QString& id) {
    if (!m_rpc)
        return;
    RpcPromise<void>* promise = m_rpc->terminateSession(id);
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::failed, this, [](const QString& name, const QString& message) {
        showOperationFailure(errorTitle("SessionListWidget"),
                             longForm(tr("Failed to terminate the session."), message, name));
    });
}

void SessionListWidget::executeCommand(const Session& session) {
    auto* dialog = new ExecDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    const QString id = session.id();
    connect(dialog, &ExecDialog::execCommand, this,
            [this, id](const QJsonObject& params, bool background) { runCommand(id, params, background); });
    dialog->show();
}

void SessionListWidget::runCommand(const QString& id, QJsonObject params, bool background) {
    if (!m_rpc)
        return;
    params.insert(QStringLiteral("id"), id);
    RpcPromise<QVariantMap>* promise = m_rpc->exec(params, background);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise, background] {
        const QVariantMap result = promise->value;
        if (background) {
            auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Command Executed in background"),
                                        backgroundRunText(result), QMessageBox::Close);
            box->setTextFormat(Qt::RichText);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->show();
            return;
        }
        auto* dialog = new ExecOutputDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setExitCode(result.value(QStringLiteral("code")).toInt());
        dialog->setOutput(ExecOutputDialog::outputHtml(result.value(QStringLiteral("output")).toList()));
        dialog->show();
    });
    connect(promise, &RpcPromiseBase::failed, this, [](const QString&, const QString& message) {
        showOperationFailure(errorTitle("SessionConnectOp"),
                             shortForm(tr("Failed to execute command:<br><br>%1"), message));
    });
}

void SessionListWidget::on_OpenFileBrowserButton_clicked() {
    if (!m_rpc)
        return;
    RpcPromise<ServiceInfo>* promise = m_rpc->serviceInfo();
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::succeeded, this,
            [this, promise] { openFileManager(m_rpc, promise->value, this); });
    connect(promise, &RpcPromiseBase::failed, this, [](const QString& name, const QString& message) {
        showOperationFailure(errorTitle("SessionListWidget"),
                             longForm(tr("Failed to start file service."), message, name));
    });
}

void SessionListWidget::showSessionLogs(const QString& id) {
    if (!m_rpc)
        return;
    RpcPromise<QVariantMap>* promise = m_rpc->sessionLog(id, QString());
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise, id] {
        auto* dialog = new SessionLogDialog(this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(QStringLiteral("Session Logs: %1").arg(id));
        const QVariantMap logs = promise->value;
        for (auto it = logs.begin(); it != logs.end(); ++it)
            dialog->addLog(it.key(), it.value());
        dialog->show();
    });
    connect(promise, &RpcPromiseBase::failed, this, [](const QString& name, const QString& message) {
        showOperationFailure(errorTitle("SessionListWidget"), longForm(tr("Failed to get logs."), message, name));
    });
}

void SessionListWidget::on_BookmarkButton_clicked() {}

void SessionListWidget::on_LogButton_clicked() {
    auto* dialog = new LogDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Connection Log"));
    QStringList lines = m_rpc ? m_rpc->log() : QStringList();
    lines += m_log;
    for (const QString& line : lines)
        dialog->append(line + QLatin1Char('\n'));
    dialog->show();
}

void SessionListWidget::appendLog(const QString& line) {
    m_log << line;
    emit logAppended(line);
}

void SessionListWidget::showFailure(const QString& what, const QString& message) {
    appendLog(what + QLatin1Char(' ') + message);
    // Server text is shown as typed, never read as markup.
    auto* box = new QMessageBox(QMessageBox::Warning, tr("%1 Error").arg(QCoreApplication::applicationName()),
                                what + QStringLiteral("<br><br>") + message.toHtmlEscaped(), QMessageBox::Close,
                                this);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
}

void SessionListWidget::closeEvent(QCloseEvent* event) {
    emit widgetClosed();
    QWidget::closeEvent(event);
}

bool SessionListWidget::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_list || watched == m_grid) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            connectCurrentSession(QModelIndex());
            return true;
        }
    }
    if ((watched == m_list || watched == m_grid) && event->type() == QEvent::FocusIn) {
        auto* view = static_cast<QAbstractItemView*>(watched);
        if (!view->currentIndex().isValid() && view->model()->rowCount() > 0)
            view->setCurrentIndex(view->model()->index(0, 0));
    }
    return QWidget::eventFilter(watched, event);
}

#include "sessions/SessionListWidget.h"

#include "bookmarks/PromiseLifetime.h"
#include "bookmarks/StartSessionDialog.h"
#include "rpc/RpcInstance.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ScreenShotCache.h"
#include "sessions/SessionConnectOp.h"
#include "sessions/SessionDelegate.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionSortFilterProxyModel.h"
#include "viewer/engine/RdpInstance.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
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

constexpr int newSessionBit = 1;
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
    bar->addWidget(m_newSession);
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
    connect(listButton, &QPushButton::clicked, this, &SessionListWidget::showListPage);
    connect(gridButton, &QPushButton::clicked, this, &SessionListWidget::showGridPage);
    connect(m_list, &QTreeView::doubleClicked, this, &SessionListWidget::connectCurrent);
    connect(m_grid, &QListView::doubleClicked, this, &SessionListWidget::connectCurrent);
    m_list->installEventFilter(this);
    m_grid->installEventFilter(this);
    auto* open = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    connect(open, &QShortcut::activated, this, &SessionListWidget::connectCurrent);
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

void SessionListWidget::beginInteraction() {
    if (m_begun)
        return;
    m_begun = true;
    emit begin();
    if (m_rpc) {
        RpcPromise<QVariantMap>* me = m_rpc->userMe();
        deleteWhenSettled(me, this);
        connect(me, &RpcPromiseBase::succeeded, this, [this, me] {
            const QVariant permissions = me->value.value(QStringLiteral("permissions"));
            m_permissions = permissions.type() == QVariant::Map ? permissions.toMap() : QVariantMap();
            const QString motd =
                me->value.value(QStringLiteral("config")).toMap().value(QStringLiteral("messageOfTheDay")).toString();
            if (!motd.isEmpty()) {
                auto* box = new QMessageBox(QMessageBox::Information, QCoreApplication::applicationName(), motd,
                                            QMessageBox::Close, this);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->show();
            }
            updateActions();
        });
    }
    m_model->startUpdating();
    updateActions();
}

void SessionListWidget::tokenInteraction(const QString&) {
    beginInteraction();
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

void SessionListWidget::updateActions() {
    emit showSessionMenu(m_shared->currentIndex() == 0 ? newSessionBit : 0);
}

void SessionListWidget::currentSessionAction(int) {}

void SessionListWidget::connectCurrent() {
    const Session session = currentSession();
    if (!session.id().isEmpty())
        connectTo(session.id());
}

void SessionListWidget::connectTo(const QString& sessionId) {
    if (!m_rpc)
        return;
    if (!m_permissions.isEmpty() && !m_permissions.contains(QStringLiteral("connect")))
        return;
    RpcPromiseBase* promise = m_shared->currentIndex() == 1 ? static_cast<RpcPromiseBase*>(m_rpc->connectShare(sessionId))
                                                            : m_rpc->connectSession(sessionId);
    startViewer(promise, QString());
}

void SessionListWidget::startViewer(RpcPromiseBase* promise, const QString& name) {
    auto* connect = static_cast<RpcPromise<ConnectInfo>*>(promise);
    deleteWhenSettled(connect, this);
    QObject::connect(connect, &RpcPromiseBase::succeeded, this, [this, connect, name] {
        SessionConnectOp op(m_rpc, m_context);
        QObject::connect(&op, &SessionConnectOp::sessionStarting, this, [this](RdpInstance* instance) {
            QObject::connect(instance, &RdpInstance::logInfo, this, [this, instance](const QString& message) {
                appendLog(QStringLiteral("%1: %2").arg(instance->sessionId(), message));
            });
        });
        op.begin(connect->value, QString(), name, QJsonArray());
    });
    QObject::connect(connect, &RpcPromiseBase::failed, this, [this](const QString&, const QString& message) {
        showFailure(tr("Failed to connect to the session:"), message);
    });
}

void SessionListWidget::on_NewSessionButton_clicked() {
    if (m_startDialog) {
        m_startDialog->raise();
        m_startDialog->activateWindow();
        return;
    }
    if (m_shared->currentIndex() != 0 || !m_rpc)
        return;
    m_startDialog = new StartSessionDialog(m_rpc, false, QVariantMap(), this);
    m_startDialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_startDialog, &QDialog::accepted, this, [this] {
        if (!m_startDialog)
            return;
        const QJsonObject params = m_startDialog->sessionParams();
        startViewer(m_rpc->startSession(params), params.value(QStringLiteral("name")).toString());
    });
    m_startDialog->show();
}

void SessionListWidget::on_BookmarkButton_clicked() {}

void SessionListWidget::on_LogButton_clicked() {
    auto* dialog = new QDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Connection Log"));
    dialog->resize(700, 400);
    auto* layout = new QVBoxLayout(dialog);
    auto* text = new QPlainTextEdit(dialog);
    text->setReadOnly(true);
    QStringList lines = m_rpc ? m_rpc->log() : QStringList();
    lines += m_log;
    text->setPlainText(lines.join(QLatin1Char('\n')));
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
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
            connectCurrent();
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

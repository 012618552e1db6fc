#include "sessions/SessionListWidget.h"

#include "bookmarks/BookmarkDialog.h"
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
#include "sessions/SessionPageBoxes.h"
#include "sessions/SessionSortFilterProxyModel.h"
#include "sessions/SessionTexts.h"
#include "sessions/ViewerRegistry.h"
#include "viewer/engine/RdpInstance.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QListView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSpacerItem>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const char showGridKey[] = "ShowGrid";
constexpr int buttonColumn = 4;
constexpr int buttonColumnWidth = 28;

QPushButton* flatButton(QWidget* parent, const char* name, const QString& icon, const QString& toolTip) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setProperty("myFlat", true);
    button->setIcon(QIcon(icon));
    button->setToolTip(toolTip);
    return button;
}

QAction* formAction(QObject* parent, const char* name, const QString& text, const QString& toolTip) {
    auto* action = new QAction(text, parent);
    action->setObjectName(QLatin1String(name));
    action->setToolTip(toolTip);
    return action;
}

// A row button of the grid: an image per state on no background.
QString gridButtonStyle(const QString& image, bool menu = false) {
    QString style = QStringLiteral("QPushButton { border: none; background: none; image: url(%1.svg); }"
                                   "QPushButton:hover { image: url(%1-hover.svg); }"
                                   "QPushButton:pressed { image: url(%1-pressed.svg); }")
                        .arg(image);
    if (menu)
        style += QStringLiteral("QPushButton::menu-indicator { image: none; width: 0px; }");
    return style;
}

// A row button of the list: a raised light-grey button with an image.
QString listButtonStyle(const QString& image, bool menu = false) {
    QString style = QStringLiteral("QPushButton { image: url(%1); background: lightgrey; padding: 3px; "
                                   "border: 1px outset gray; border-radius: 2px; }"
                                   "QPushButton:pressed { background: darkgray; }")
                        .arg(image);
    if (menu)
        style += QStringLiteral("QPushButton::menu-indicator { image: none; width: 0px; }");
    return style;
}

QPushButton* rowButton(QWidget* viewport, const char* name, const QString& style) {
    auto* button = new QPushButton(viewport);
    button->setObjectName(QLatin1String(name));
    button->setStyleSheet(style);
    button->hide();
    return button;
}

} // namespace

// Outside the unnamed namespace: the macro declares the resource's global init function.
static void initPageResources() {
    Q_INIT_RESOURCE(SessionPageResources);
}

SessionListWidget::SessionListWidget(QSharedPointer<RpcInstance> rpc, QSharedPointer<ConnectionContext> context,
                                     const QJsonObject& connectionJson, QWidget* parent)
    : QWidget(parent)
    , m_rpc(std::move(rpc))
    , m_context(std::move(context))
    , m_connectionJson(connectionJson) {
    initPageResources();
    setObjectName(QStringLiteral("SessionListWidget"));
    resize(900, 516);
    setStyleSheet(QStringLiteral(
        "QPushButton[myFlat=\"true\"] { border: none; padding: 3px; }"
        "QPushButton[myFlat=\"true\"]::menu-indicator { image: none; width: 0px; }"
        "QPushButton[myFlat=\"true\"]:hover { border: 1px outset gray; border-radius: 2px; }"
        "QPushButton[myFlat=\"true\"]:pressed, QPushButton[myFlat=\"true\"]:checked:enabled "
        "{ background: darkgray; border: 1px outset gray; border-radius: 2px; }"));

    auto* layout = new QGridLayout(this);
    layout->setObjectName(QStringLiteral("gridLayout"));
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    buildToolFrame();
    layout->addWidget(m_frame, 0, 0);

    m_model = new SessionModel({QStringLiteral("name"), QStringLiteral("connections"), QStringLiteral("uptime"),
                                QStringLiteral("login"), QString()},
                               m_rpc, m_context, this);
    m_listProxy = new QSortFilterProxyModel(this);
    m_listProxy->setDynamicSortFilter(false);
    m_listProxy->setSortLocaleAware(true);
    m_listProxy->setSortRole(SessionModel::SortRole);
    m_listProxy->setSourceModel(m_model);
    m_gridProxy = new SessionSortFilterProxyModel(this);
    m_gridProxy->setDynamicSortFilter(false);
    m_gridProxy->setSessionRole(SessionModel::SessionRole);
    m_gridProxy->setSortLocaleAware(true);
    m_gridProxy->setSortRole(SessionModel::SortRole);
    m_gridProxy->setSourceModel(m_model);
    m_gridProxy->sort(2, Qt::DescendingOrder);
    m_screenShots = QSharedPointer<ScreenShotCache>::create(m_rpc);
    connect(m_screenShots.data(), &ScreenShotCache::updatedScreenShot, this, [this](const QString& id) {
        const QModelIndex index = m_gridProxy->mapFromSource(m_model->indexOfSession(id));
        if (index.isValid())
            m_grid->update(index);
    });

    buildViews();
    layout->addWidget(m_pages, 1, 0);
    m_screenShots->setOnScreen([this](const QString& id) { return gridCardOnScreen(id); });

    connect(m_model, &SessionModel::sessionsUpdated, this, [this] {
        m_listProxy->sort(m_listProxy->sortColumn(), m_listProxy->sortOrder());
        if (m_list->currentIndex().isValid())
            placeListButtons(m_list->currentIndex().row());
        else
            selectFirstListRow();
        m_gridProxy->setInitialOrder(m_model->sessions());
        m_gridProxy->sort(m_gridProxy->sortColumn(), m_gridProxy->sortOrder());
        if (m_grid->currentIndex().isValid())
            placeGridButtons(m_grid->currentIndex().row());
        else if (m_gridProxy->rowCount() > 0)
            m_grid->setCurrentIndex(m_gridProxy->index(0, 0));
        updateActions();
    });
    // The model ends every batch of row signals with sessionsUpdated, which updates the actions once.
    connect(m_model, &SessionModel::sessionRemoved, this,
            [this](const Session& session) { m_screenShots->remove(session.id()); });
    connect(m_model, &SessionModel::sessionChanged, this, [this](const QModelIndex& index) {
        const Session session = index.data(SessionModel::SessionRole).value<Session>();
        if (!session.id().isEmpty())
            m_grid->update(m_gridProxy->mapFromSource(index));
        emit sessionChanged(!session.id().isEmpty());
    });
    // A large list resets the model; the user's current session stays current in both views.
    connect(m_model, &QAbstractItemModel::modelAboutToBeReset, this, [this] {
        m_currentBeforeReset = {currentSessionOf(m_list).id(), currentSessionOf(m_grid).id()};
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        const QString started = m_lastStartedSessionId;
        const QModelIndex list = m_listProxy->mapFromSource(m_model->indexOfSession(m_currentBeforeReset.first));
        const QModelIndex grid = m_gridProxy->mapFromSource(m_model->indexOfSession(m_currentBeforeReset.second));
        if (list.isValid())
            m_list->setCurrentIndex(list);
        if (grid.isValid())
            m_grid->setCurrentIndex(grid);
        m_lastStartedSessionId = started;
    });

    // The Session menu: on the menu buttons and as a context menu of the rows of either view.
    m_sessionMenu = buildSessionMenu(this, this, SLOT(sessionMenuAction()));
    buildRowButtons();
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(m_list), static_cast<QAbstractItemView*>(m_grid)}) {
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(view, &QWidget::customContextMenuRequested, this,
                [this, view](const QPoint& pos) { showSessionMenuAt(view, pos); });
    }

    QWidget::setTabOrder(m_list, m_listEditButton);
    QWidget::setTabOrder(m_listEditButton, m_listMenuButton);
    QWidget::setTabOrder(m_listMenuButton, m_listCloseButton);
    QWidget::setTabOrder(m_listCloseButton, m_grid);
    QWidget::setTabOrder(m_grid, m_gridMenuButton);
    QWidget::setTabOrder(m_gridMenuButton, m_gridCloseButton);
    QWidget::setTabOrder(m_gridCloseButton, m_gridPlayButton);
    QWidget::setTabOrder(m_gridPlayButton, m_gridEditButton);
    QWidget::setTabOrder(m_gridEditButton, m_more);
    QWidget::setTabOrder(m_more, m_bookmarkButton);
    QWidget::setTabOrder(m_bookmarkButton, m_logButton);
    QWidget::setTabOrder(m_logButton, m_newSession);

    setUpConnectAndStart();

    // The start page is set at once; it is announced from the event loop, where the caller has
    // connected to the page by then. A mistyped setting falls back to the grid.
    const QVariant setting = QSettings().value(QLatin1String(showGridKey), true);
    const bool grid =
        !(setting.canConvert<bool>() && !setting.toBool() && setting.toString() != QLatin1String("true"));
    (grid ? m_showGridAction : m_showListAction)->setChecked(true);
    m_pages->setCurrentIndex(grid ? 1 : 0);
    QTimer::singleShot(0, this, [this, grid] {
        if (m_pageChosen)
            return;
        m_pageChosen = true;
        if (grid)
            emit gridView();
        else
            emit listView();
    });
}

void SessionListWidget::buildToolFrame() {
    m_connectionListAction = formAction(this, "ConnectionListAction", tr("Connections"),
                                        tr("Show the Connection list."));
    m_showListAction = formAction(this, "ShowListAction", tr("&List"), tr("Show the List view."));
    m_showListAction->setCheckable(true);
    m_showListAction->setShortcut(QKeySequence(tr("Ctrl+L")));
    m_showGridAction = formAction(this, "ShowGridAction", tr("&Grid"), tr("Show the Grid view."));
    m_showGridAction->setCheckable(true);
    m_showGridAction->setShortcut(QKeySequence(tr("Ctrl+G")));
    m_connectionLogAction = formAction(this, "ConnectionLogAction", tr("Connection Log"), QString());
    // The page carries the two view actions too, so that their shortcuts work outside the menu.
    addAction(m_showListAction);
    addAction(m_showGridAction);

    m_frame = new QFrame(this);
    m_frame->setObjectName(QStringLiteral("frame"));
    m_frame->setStyleSheet(QStringLiteral("#frame { border: 1px solid rgb(186, 189, 182); border-top: none; "
                                          "border-bottom: none; }"));
    auto* bar = new QHBoxLayout(m_frame);
    bar->setObjectName(QStringLiteral("horizontalLayout"));
    bar->setContentsMargins(3, 3, 3, 3);
    m_newSession = flatButton(m_frame, "NewSessionButton", QStringLiteral(":/fontawesome/create.svg"),
                              tr("Start a new session."));
    m_newSession->setShortcut(QKeySequence(tr("Ctrl+N")));
    m_fileBrowser = flatButton(m_frame, "OpenFileBrowserButton", QStringLiteral(":/images/resources/folders-dark.svg"),
                               tr("Open file browser."));
    // Enabled by the user's profile when it allows downloads.
    m_fileBrowser->setEnabled(false);
    m_shared = new QComboBox(m_frame);
    m_shared->setObjectName(QStringLiteral("SharedWithMeComboBox"));
    m_shared->addItems({tr("My Sessions"), tr("Sessions Shared With Me")});
    m_bookmarkButton = flatButton(m_frame, "BookmarkButton",
                                  QStringLiteral(":/images/resources/ios-bookmarks-outline.svg"),
                                  tr("Manage bookmarks and history."));
    m_logButton = flatButton(m_frame, "LogButton", QStringLiteral(":/images/resources/ios-paper-outline.svg"),
                             tr("Show the log."));
    m_more = flatButton(m_frame, "MoreButton", QStringLiteral(":/fontawesome/more.svg"), QString());
    bar->addWidget(m_newSession);
    bar->addWidget(m_fileBrowser);
    bar->addWidget(m_shared);
    bar->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    bar->addWidget(m_bookmarkButton);
    bar->addWidget(m_logButton);
    bar->addItem(new QSpacerItem(6, 20, QSizePolicy::Fixed, QSizePolicy::Minimum));
    bar->addWidget(m_more);

    auto* group = new QActionGroup(this);
    group->setExclusive(true);
    group->addAction(m_showListAction);
    group->addAction(m_showGridAction);
    m_viewMenu = new QMenu(tr("&View"), m_more);
    m_viewMenu->setObjectName(QStringLiteral("viewMenu"));
    m_viewMenu->addAction(m_showListAction);
    m_viewMenu->addAction(m_showGridAction);
    m_viewMenu->addSeparator();
    m_bookmarksAction = m_viewMenu->addAction(tr("&Bookmarks"));
    m_bookmarksAction->setObjectName(QStringLiteral("bookmarksAction"));
    // The user profile enables it when the user may keep bookmarks.
    m_bookmarksAction->setEnabled(false);
    m_viewMenu->addSeparator();
    m_viewMenu->addAction(m_connectionLogAction);
    m_more->setMenu(m_viewMenu);
    m_more->show();
    m_bookmarkButton->hide();
    m_logButton->hide();
    // A menu closing over the button leaves its hover look behind otherwise.
    connect(m_viewMenu, &QMenu::aboutToHide, this, [this] {
        m_more->setAttribute(Qt::WA_UnderMouse, false);
        m_more->update();
    });

    connect(m_connectionListAction, &QAction::triggered, this, &SessionListWidget::on_ConnectionListAction_triggered);
    connect(m_showListAction, &QAction::triggered, this, &SessionListWidget::on_ShowListAction_triggered);
    connect(m_showGridAction, &QAction::triggered, this, &SessionListWidget::on_ShowGridAction_triggered);
    connect(m_connectionLogAction, &QAction::triggered, this, &SessionListWidget::on_ConnectionLogAction_triggered);
    connect(m_bookmarksAction, &QAction::triggered, this, &SessionListWidget::on_BookmarkButton_clicked);
    connect(m_newSession, &QPushButton::clicked, this, &SessionListWidget::on_NewSessionButton_clicked);
    connect(m_fileBrowser, &QPushButton::clicked, this, &SessionListWidget::on_OpenFileBrowserButton_clicked);
    connect(m_bookmarkButton, &QPushButton::clicked, this, &SessionListWidget::on_BookmarkButton_clicked);
    connect(m_logButton, &QPushButton::clicked, this, &SessionListWidget::on_LogButton_clicked);
    connect(m_shared, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &SessionListWidget::on_SharedWithMeComboBox_currentIndexChanged);
    for (QWidget* button : {m_bookmarkButton, m_more, m_newSession})
        button->installEventFilter(this);
}

void SessionListWidget::buildViews() {
    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("stackedWidget"));
    auto* listPage = new QWidget(m_pages);
    listPage->setObjectName(QStringLiteral("SessionListPage"));
    auto* listLayout = new QGridLayout(listPage);
    listLayout->setObjectName(QStringLiteral("gridLayout_2"));
    listLayout->setSpacing(0);
    listLayout->setContentsMargins(0, 0, 0, 0);
    m_list = new QTableView(listPage);
    m_list->setObjectName(QStringLiteral("SessionListView"));
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setAlternatingRowColors(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->verticalHeader()->hide();
    m_list->setModel(m_listProxy);
    m_list->setSortingEnabled(true);
    m_list->sortByColumn(2, Qt::AscendingOrder);
    m_list->setTabKeyNavigation(false);
    listLayout->addWidget(m_list, 0, 0);

    auto* gridPage = new QWidget(m_pages);
    gridPage->setObjectName(QStringLiteral("SessionGridPage"));
    auto* gridLayout = new QGridLayout(gridPage);
    gridLayout->setObjectName(QStringLiteral("gridLayout_3"));
    gridLayout->setSpacing(0);
    gridLayout->setContentsMargins(0, 0, 0, 0);
    m_grid = new QListView(gridPage);
    m_grid->setObjectName(QStringLiteral("SessionGridView"));
    m_grid->setFocusPolicy(Qt::NoFocus);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setFlow(QListView::LeftToRight);
    m_grid->setWrapping(true);
    m_grid->setResizeMode(QListView::Adjust);
    m_grid->setSpacing(6);
    // Every card has the delegate's one size: the layout need not ask each of thousands.
    m_grid->setUniformItemSizes(true);
    // Cells take the card's size from the delegate.
    m_delegate = new SessionDelegate(m_screenShots, m_grid);
    m_grid->setItemDelegate(m_delegate);
    m_grid->setModel(m_gridProxy);
    m_grid->setStyleSheet(QStringLiteral("color: darkgrey"));
    m_grid->setTabKeyNavigation(false);
    gridLayout->addWidget(m_grid, 0, 0);
    m_pages->addWidget(listPage);
    m_pages->addWidget(gridPage);

    m_list->installEventFilter(this);
    m_list->viewport()->installEventFilter(this);
    m_grid->installEventFilter(this);
    m_grid->viewport()->installEventFilter(this);
    QHeaderView* header = m_list->horizontalHeader();
    header->setStretchLastSection(false);
    // The widths are computed; the style's minimum would widen the button column.
    header->setMinimumSectionSize(0);
    for (int column = 0; column <= buttonColumn; ++column)
        header->setSectionResizeMode(column, QHeaderView::Fixed);
    header->viewport()->installEventFilter(this);
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this] { setListButtons(); });

    connect(m_list, &QAbstractItemView::doubleClicked, this, &SessionListWidget::on_SessionListView_doubleClicked);
    connect(m_grid, &QAbstractItemView::doubleClicked, this, [this] { connectCurrentSession(m_grid->currentIndex()); });
    auto* open = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this);
    open->setContext(Qt::WidgetWithChildrenShortcut);
    connect(open, &QShortcut::activated, this, [this] { connectCurrentSession(QModelIndex()); });

    connect(m_list->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                placeListButtons(current.row());
                updateActions();
            });
    connect(m_grid->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                placeGridButtons(current.row());
                updateActions();
            });
    connect(m_pages, &QStackedWidget::currentChanged, this, [this](int index) {
        if (index >= 0)
            updateActions();
    });
}

void SessionListWidget::buildRowButtons() {
    const QString images = QStringLiteral(":/images/resources/");
    m_listEditButton = rowButton(m_list->viewport(), "listEditButton", listButtonStyle(images + "tavik-edit.svg"));
    m_listMenuButton =
        rowButton(m_list->viewport(), "listMenuButton", listButtonStyle(images + "ellipsis-h-dark.svg", true));
    m_listCloseButton = rowButton(m_list->viewport(), "listCloseButton", listButtonStyle(images + "tavik-close.svg"));
    m_gridPlayButton = rowButton(m_grid->viewport(), "gridPlayButton", gridButtonStyle(images + "tavik-grid-play"));
    m_gridEditButton = rowButton(m_grid->viewport(), "gridEditButton", gridButtonStyle(images + "tavik-grid-edit"));
    m_gridMenuButton = rowButton(m_grid->viewport(), "gridMenuButton",
                                 QStringLiteral("QPushButton { border: none; background: none; image: url(%1); }"
                                                "QPushButton::menu-indicator { image: none; width: 0px; }")
                                     .arg(images + "ellipsis-h-light.svg"));
    m_gridCloseButton =
        rowButton(m_grid->viewport(), "gridCloseButton", gridButtonStyle(images + "tavik-grid-close"));
    m_listCloseButton->setShortcut(QKeySequence(Qt::Key_Backspace));
    m_gridCloseButton->setShortcut(QKeySequence(Qt::Key_Backspace));
    for (QPushButton* button : {m_listEditButton, m_listMenuButton, m_listCloseButton, m_gridPlayButton,
                                m_gridEditButton, m_gridMenuButton, m_gridCloseButton})
        button->installEventFilter(this);

    connect(m_gridPlayButton, &QPushButton::clicked, this, [this] {
        // A second click within a second is the same wish: one connect.
        const QDateTime now = QDateTime::currentDateTimeUtc();
        if (m_lastGridConnect.isValid() && now < m_lastGridConnect.addSecs(1))
            return;
        m_lastGridConnect = now;
        connectCurrentSession(m_grid->currentIndex());
    });
    connect(m_listEditButton, &QPushButton::clicked, this, [this] {
        const QModelIndex current = m_list->currentIndex();
        if (current.isValid())
            m_list->edit(current.sibling(current.row(), 0));
    });
    connect(m_gridEditButton, &QPushButton::clicked, this, [this] {
        const QModelIndex current = m_grid->currentIndex();
        if (current.isValid())
            m_grid->edit(current.sibling(current.row(), 0));
    });
    connect(m_listCloseButton, &QPushButton::clicked, this, [this] {
        const QModelIndex current = m_list->currentIndex();
        const Session session =
            current.sibling(current.row(), 0).data(SessionModel::SessionRole).value<Session>();
        if (!session.id().isEmpty())
            sessionAction(session, SessionAction::Terminate);
    });
    connect(m_gridCloseButton, &QPushButton::clicked, this, [this] {
        const Session session = m_grid->currentIndex().data(SessionModel::SessionRole).value<Session>();
        if (!session.id().isEmpty())
            confirmTerminate(session);
    });
    m_listMenuButton->setMenu(m_sessionMenu);
    m_gridMenuButton->setMenu(m_sessionMenu);
}

SessionListWidget::~SessionListWidget() {
    // Signed out while the page's fields still exist.
    logout();
    // The fields go before the child widgets and models do: nothing of theirs may call back here.
    m_destroying = true;
    // The cache may outlive the page.
    m_screenShots->setOnScreen({});
    const QList<QObject*> senders{m_list->selectionModel(), m_grid->selectionModel(), m_model,
                                  m_pages, m_shared, m_list->horizontalHeader(), m_screenShots.data()};
    for (QObject* sender : senders)
        QObject::disconnect(sender, nullptr, this, nullptr);
}

bool SessionListWidget::gridCardOnScreen(const QString& id) const {
    if (!m_grid->isVisible())
        return false;
    const QModelIndex index = m_gridProxy->mapFromSource(m_model->indexOfSession(id));
    return index.isValid() && m_grid->visualRect(index).intersects(m_grid->viewport()->rect());
}

void SessionListWidget::logout() {
    // Only the web transport signs out; an ssh connection just ends with its process.
    if (m_loggedOut || !m_rpc || m_rpc->transportName() != QLatin1String("Web"))
        return;
    m_loggedOut = true;
    m_rpc->dispose(m_rpc);
}

void SessionListWidget::switchToList(bool remember) {
    m_pageChosen = true;
    m_list->setFocus(Qt::OtherFocusReason);
    m_pages->setCurrentIndex(0);
    m_screenShots->clear();
    update();
    if (remember)
        QSettings().setValue(QLatin1String(showGridKey), false);
    emit listView();
}

void SessionListWidget::switchToGrid() {
    // The host has no screenshots: the list stays.
    if (!m_showGridAction->isEnabled()) {
        m_showListAction->setChecked(true);
        return;
    }
    m_pageChosen = true;
    m_grid->setFocus(Qt::OtherFocusReason);
    m_pages->setCurrentIndex(1);
    update();
    QSettings().setValue(QLatin1String(showGridKey), true);
    emit gridView();
}

void SessionListWidget::showListPage() {
    m_showListAction->setChecked(true);
    switchToList();
}

void SessionListWidget::showGridPage() {
    m_showGridAction->setChecked(true);
    switchToGrid();
}

void SessionListWidget::on_ShowListAction_triggered(bool checked) {
    if (checked)
        switchToList();
}

void SessionListWidget::on_ShowGridAction_triggered(bool checked) {
    if (checked)
        switchToGrid();
}

void SessionListWidget::on_SessionListView_doubleClicked(const QModelIndex&) {
    connectCurrentSession(m_list->currentIndex());
}

void SessionListWidget::on_SharedWithMeComboBox_currentIndexChanged(int index) {
    m_newSession->setEnabled(index == 0);
    m_model->setShared(index != 0);
    m_model->forceUpdate();
    setListButtons();
    setGridButtons();
    updateActions();
}

void SessionListWidget::resizeListSections() {
    QHeaderView* header = m_list->horizontalHeader();
    const int rest = m_list->viewport()->width() - buttonColumnWidth;
    const int fifth = rest / 5;
    header->resizeSection(0, rest - 3 * fifth);
    for (int column = 1; column <= 3; ++column)
        header->resizeSection(column, fifth);
    header->resizeSection(buttonColumn, buttonColumnWidth);
}

void SessionListWidget::setListButtons() {
    placeListButtons(m_list->currentIndex().row());
}

void SessionListWidget::setGridButtons() {
    placeGridButtons(m_grid->currentIndex().row());
}

void SessionListWidget::placeListButtons(int row) {
    const QModelIndex name = m_listProxy->index(row, 0);
    const Session session = name.data(SessionModel::SessionRole).value<Session>();
    if (!name.isValid() || session.id().isEmpty()) {
        m_listEditButton->hide();
        m_listMenuButton->hide();
        m_listCloseButton->hide();
        return;
    }
    const bool shared = m_shared->currentIndex() == 1;
    const QRect r0 = m_list->visualRect(name);
    const QRect r1 = m_list->visualRect(m_listProxy->index(row, 1));
    const QRect r4 = m_list->visualRect(m_listProxy->index(row, buttonColumn));
    const int h0 = m_list->sizeHintForIndex(name).width();
    const QRect edit(QPoint(r0.left() + h0 + 4, r0.center().y() - 10), QPoint(r0.left() + h0 + 24, r0.center().y() + 10));
    m_listEditButton->setGeometry(edit);
    m_listEditButton->setVisible(!shared && edit.right() <= r0.right() - 4);
    m_listMenuButton->setGeometry(
        QRect(QPoint(r1.right() - 24, r1.center().y() - 10), QPoint(r1.right() - 4, r1.center().y() + 10)));
    m_listMenuButton->show();
    m_listCloseButton->setGeometry(
        QRect(QPoint(r4.left() + 4, r4.center().y() - 10), QPoint(r4.left() + 24, r4.center().y() + 10)));
    m_listCloseButton->setVisible(!shared);
}

void SessionListWidget::placeGridButtons(int row) {
    const QModelIndex index = m_gridProxy->index(row, 0);
    const Session session = index.data(SessionModel::SessionRole).value<Session>();
    const QList<QPushButton*> buttons{m_gridEditButton, m_gridPlayButton, m_gridCloseButton, m_gridMenuButton};
    if (!index.isValid() || session.id().isEmpty()) {
        for (QPushButton* button : buttons)
            button->hide();
        return;
    }
    const QStyleOptionViewItem option;
    const QRect rects[] = {m_delegate->editButtonRect(option, index), m_delegate->centerButtonRect(option, index),
                           m_delegate->topRightButtonRect(option, index),
                           m_delegate->topLeftButtonRect(option, index)};
    const bool shared = m_shared->currentIndex() == 1;
    for (int i = 0; i < buttons.size(); ++i) {
        QPushButton* button = buttons.at(i);
        const bool editOrClose = button == m_gridEditButton || button == m_gridCloseButton;
        if (!rects[i].isEmpty())
            button->setGeometry(rects[i]);
        button->setVisible(!rects[i].isEmpty() && !(shared && editOrClose));
    }
}

void SessionListWidget::selectFirstListRow() {
    if (m_listProxy->rowCount() > 0)
        m_list->setCurrentIndex(m_listProxy->index(0, 0));
}

QAbstractItemView* SessionListWidget::currentView() const {
    // The pages are the list's and the grid's containers.
    return m_pages->currentIndex() == 0 ? static_cast<QAbstractItemView*>(m_list)
                                        : static_cast<QAbstractItemView*>(m_grid);
}

Session SessionListWidget::currentSessionOf(const QAbstractItemView* view) {
    const QModelIndex current = view->currentIndex();
    return current.sibling(current.row(), 0).data(SessionModel::SessionRole).value<Session>();
}

Session SessionListWidget::currentSession() const {
    return currentSessionOf(currentView());
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

using namespace SessionPageBoxes;

void showOperationFailure(const QString& title, const QString& text) {
    looseBox(QMessageBox::Warning, title, text)->show();
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
            looseBox(QMessageBox::NoIcon, QStringLiteral("Command Executed in background"), backgroundRunText(result))
                ->show();
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

void SessionListWidget::on_BookmarkButton_clicked() {
    auto* dialog = new BookmarkDialog(m_rpc, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!m_bookmarkPermissions.isEmpty())
        dialog->setUserBookmarksEditable(m_bookmarkPermissions.value(QStringLiteral("user"), false).toBool());
    dialog->show();
}

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

void SessionListWidget::closeEvent(QCloseEvent* event) {
    emit widgetClosed();
    QWidget::closeEvent(event);
}

bool SessionListWidget::eventFilter(QObject* watched, QEvent* event) {
    if (m_destroying)
        return false;
    const QEvent::Type type = event->type();
    if ((watched == m_list || watched == m_grid) && type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            connectCurrentSession(QModelIndex());
            return true;
        }
    }
    if (watched == m_list && type == QEvent::FocusIn && !m_list->currentIndex().isValid())
        selectFirstListRow();
    if (watched == m_grid && type == QEvent::FocusIn && !m_grid->currentIndex().isValid() &&
        m_gridProxy->rowCount() > 0)
        m_grid->setCurrentIndex(m_gridProxy->index(0, 0));
    if (watched == m_list->viewport()) {
        if (type == QEvent::Resize) {
            QMetaObject::invokeMethod(this, "resizeListSections", Qt::QueuedConnection);
            QMetaObject::invokeMethod(this, "setListButtons", Qt::QueuedConnection);
        } else if (type == QEvent::Show) {
            QMetaObject::invokeMethod(this, "setListButtons", Qt::QueuedConnection);
        }
    }
    if (watched == m_grid->viewport() && (type == QEvent::Resize || type == QEvent::Show))
        QMetaObject::invokeMethod(this, "setGridButtons", Qt::QueuedConnection);
    // The button column does not sort.
    if (watched == m_list->horizontalHeader()->viewport() &&
        (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
         type == QEvent::MouseButtonDblClick)) {
        const QPoint pos = static_cast<QMouseEvent*>(event)->pos();
        if (m_list->horizontalHeader()->logicalIndexAt(pos) == buttonColumn)
            return true;
    }
    // Arrows on a row button move the current row of its view; on the tool buttons they do nothing.
    if (type == QEvent::KeyPress && qobject_cast<QPushButton*>(watched)) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Left || key == Qt::Key_Up || key == Qt::Key_Right || key == Qt::Key_Down) {
            QObject* parent = watched->parent() ? watched->parent()->parent() : nullptr;
            if (auto* view = qobject_cast<QAbstractItemView*>(parent))
                QCoreApplication::sendEvent(view, event);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool SessionListWidget::focusNextPrevChild(bool next) {
    const bool grid = m_pages->currentIndex() == 1;
    QAbstractItemView* view = grid ? static_cast<QAbstractItemView*>(m_grid) : static_cast<QAbstractItemView*>(m_list);
    const QList<QPushButton*> buttons =
        grid ? QList<QPushButton*>{m_gridMenuButton, m_gridCloseButton, m_gridPlayButton, m_gridEditButton}
             : QList<QPushButton*>{m_listEditButton, m_listMenuButton, m_listCloseButton};
    const auto usable = [](QWidget* widget) { return widget->isVisible() && widget->isEnabled(); };
    const int rows = view->model()->rowCount();
    // Makes the row current (which places its buttons) and focuses the last usable button, or the view.
    const auto enterRowAtEnd = [&](int row) {
        view->setCurrentIndex(view->model()->index(row, 0));
        for (int i = buttons.size() - 1; i >= 0; --i) {
            if (usable(buttons.at(i))) {
                buttons.at(i)->setFocus(Qt::BacktabFocusReason);
                return;
            }
        }
        view->setFocus(Qt::BacktabFocusReason);
    };
    QWidget* focus = focusWidget();
    const int position = buttons.indexOf(qobject_cast<QPushButton*>(focus));
    if (usable(view)) {
        if (next) {
            if (focus == m_newSession && rows > 0) {
                view->setCurrentIndex(view->model()->index(0, 0));
                view->setFocus(Qt::TabFocusReason);
                return true;
            }
            if (focus == view || position >= 0) {
                for (int i = position + 1; i < buttons.size(); ++i) {
                    if (usable(buttons.at(i))) {
                        buttons.at(i)->setFocus(Qt::TabFocusReason);
                        return true;
                    }
                }
                const int row = view->currentIndex().row() + 1;
                if (row > 0 && row < rows) {
                    view->setCurrentIndex(view->model()->index(row, 0));
                    view->setFocus(Qt::TabFocusReason);
                    return true;
                }
            }
        } else {
            if (position >= 0) {
                for (int i = position - 1; i >= 0; --i) {
                    if (usable(buttons.at(i))) {
                        buttons.at(i)->setFocus(Qt::BacktabFocusReason);
                        return true;
                    }
                }
                view->setFocus(Qt::BacktabFocusReason);
                return true;
            }
            if (focus == view && view->currentIndex().row() > 0) {
                enterRowAtEnd(view->currentIndex().row() - 1);
                return true;
            }
            if (focus == m_more && rows > 0) {
                enterRowAtEnd(rows - 1);
                return true;
            }
        }
    }
    return QWidget::focusNextPrevChild(next);
}

#include "viewer/widgets/RdpSharingWidget.h"

#include "viewer/engine/RdpInstance.h"
#include "viewer/widgets/NameDialog.h"
#include "viewer/widgets/RdpClientDelegate.h"
#include "viewer/widgets/RdpClientModel.h"
#include "viewer/widgets/WidgetHelpers.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTableView>

#include <algorithm>

namespace {

const QString kMaster = QStringLiteral("master");
const QString kController = QStringLiteral("controller");
const QString kViewer = QStringLiteral("viewer");
const QString kLobby = QStringLiteral("lobby");

bool isModerator(const QString& role) {
    return role == kMaster || role == kController;
}

bool isMember(const QString& role) {
    return role == kMaster || role == kController || role == kViewer;
}

// Focus to a widget that can take it.
bool giveFocus(QWidget* widget) {
    if (!widget || !widget->isVisible() || !widget->isEnabled()) {
        return false;
    }
    widget->setFocus(Qt::TabFocusReason);
    return true;
}

const char kStyleSheet[] =
    "QPushButton[myFlat=\"true\"] { border: none; padding: 3px; }"
    "QPushButton[myFlat=\"true\"]::menu-indicator { image: none; width: 0px; }"
    "QPushButton[myFlat=\"true\"]:hover { border: 1px outset grey; border-radius: 2px; }"
    "QPushButton[myFlat=\"true\"]:pressed, QPushButton[myFlat=\"true\"]:checked:enabled"
    " { border: 1px outset grey; border-radius: 2px; background-color: darkgrey; }";

const char kKickStyleSheet[] =
    "QPushButton { image: url(:/images/resources/tavik-close.svg); background-color: lightgrey; padding: "
    "3px; "
    "border: 1px outset gray; border-radius: 2px; }QPushButton:pressed { background-color: darkgray; }";

} // namespace

RdpSharingWidget::RdpSharingWidget(RdpInstance* instance, QWidget* parent)
    : QWidget(parent)
    , m_instance(instance) {
    registerRdpClientMetaTypes();
    m_model = new RdpClientModel({QStringLiteral("name")}, this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_delegate = new RdpClientDelegate(QString(), RdpClientModel::ClientRole, this);

    setObjectName(QStringLiteral("RdpSharingWidget"));
    resize(600, 400);
    setStyleSheet(QLatin1String(kStyleSheet));
    m_layout = new QGridLayout(this);
    m_layout->setObjectName(QStringLiteral("gridLayout"));
    m_view = new QTableView(this);
    m_view->setObjectName(QStringLiteral("ClientListView"));
    m_view->setAlternatingRowColors(true);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setShowGrid(false);
    m_view->setTabKeyNavigation(false); // Tab and Shift+Tab follow the panel's own order
    m_view->setSortingEnabled(true);
    m_view->verticalHeader()->hide();
    m_buttonBox = new QDialogButtonBox(QDialogButtonBox::Close, this);
    m_buttonBox->setObjectName(QStringLiteral("ButtonBox"));
    m_layout->addWidget(m_view, 0, 0);
    m_layout->addWidget(m_buttonBox, 1, 0);
    connect(m_buttonBox, &QDialogButtonBox::accepted, this, &QWidget::close);
    connect(m_buttonBox, &QDialogButtonBox::rejected, this, &QWidget::close);

    m_view->setModel(m_proxy);
    m_view->installEventFilter(this);
    m_view->viewport()->installEventFilter(this);
    connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &RdpSharingWidget::ClientListView_currentChanged);
    connect(m_view->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            &RdpSharingWidget::ClientListView_sortIndicatorChanged);
    connect(m_view, &QAbstractItemView::activated, this, &RdpSharingWidget::ClientListView_activated);
    connect(m_model, &RdpClientModel::clientChanged, this, &RdpSharingWidget::ClientListModel_clientChanged);
    connect(m_model, &RdpClientModel::clientsUpdated, this,
            &RdpSharingWidget::ClientListModel_clientsUpdated);

    m_proxy->setDynamicSortFilter(false);
    m_proxy->setSortLocaleAware(true);
    m_proxy->setSortRole(RdpClientModel::SortRole);
    m_delegate->setOwnClientId(ownClient().client);

    QWidget* viewport = m_view->viewport();
    m_admitButton = new QPushButton(tr("Admit"), viewport);
    m_admitButton->setObjectName(QStringLiteral("AdmitButton"));
    m_viewButton = new QPushButton(tr("View"), viewport);
    m_viewButton->setObjectName(QStringLiteral("ViewButton"));
    auto* menu = new QMenu(m_viewButton);
    m_viewAction = menu->addAction(tr("&View"));
    m_controlAction = menu->addAction(tr("&Control"));
    m_lobbyAction = menu->addAction(tr("Send to &Lobby"));
    m_viewButton->setMenu(menu);
    m_settingsButton = new QPushButton(viewport);
    m_settingsButton->setObjectName(QStringLiteral("SettingsButton"));
    m_settingsButton->setIcon(QIcon(QStringLiteral(":/images/resources/gear-a.svg")));
    m_settingsButton->setToolTip(tr("Settings"));
    m_kickButton = new QPushButton(viewport);
    m_kickButton->setObjectName(QStringLiteral("KickClientButton"));
    m_kickButton->setStyleSheet(QLatin1String(kKickStyleSheet));
    m_kickButton->setToolTip(tr("Remove"));
    for (QPushButton* button : {m_admitButton, m_viewButton, m_settingsButton}) {
        button->setProperty("myFlat", true);
    }
    for (QPushButton* button : {m_admitButton, m_viewButton, m_settingsButton, m_kickButton}) {
        button->hide();
        button->installEventFilter(this);
    }
    connect(m_admitButton, &QPushButton::clicked, this, &RdpSharingWidget::AdmitAction_clicked);
    connect(m_viewAction, &QAction::triggered, this, &RdpSharingWidget::ViewAction_clicked);
    connect(m_controlAction, &QAction::triggered, this, &RdpSharingWidget::ControlAction_clicked);
    connect(m_lobbyAction, &QAction::triggered, this, &RdpSharingWidget::LobbyAction_clicked);
    connect(m_kickButton, &QPushButton::clicked, this, &RdpSharingWidget::KickClientButton_clicked);
    connect(m_settingsButton, &QPushButton::clicked, this, &RdpSharingWidget::SettingsAction_clicked);
    setTabOrder(m_view, m_viewButton);
    setTabOrder(m_viewButton, m_kickButton);

    if (m_instance) {
        connect(m_instance, &RdpInstance::clientMeChanged, this, [this](const RdpClient& me) {
            m_delegate->setOwnClientId(me.client);
            m_view->viewport()->update();
            resetButtons(); // what the buttons offer depends on the own role
        });
        connect(m_instance, &RdpInstance::clientsChanged, m_model, &RdpClientModel::setClients);
    }

    m_view->setItemDelegateForColumn(0, m_delegate);
    m_view->sortByColumn(0, Qt::AscendingOrder);
    m_view->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_model->setClients(m_instance ? m_instance->clients() : QList<RdpClient>());
}

RdpSharingWidget::~RdpSharingWidget() = default;

void RdpSharingWidget::disconnectFromSession() {
    if (m_instance) {
        emit m_instance->wantsToQuit();
    }
}

void RdpSharingWidget::showOptionsWidget() {
    if (m_instance) {
        emit m_instance->wantsToShowOptions();
    }
}

RdpClient RdpSharingWidget::currentClient() const {
    return m_view->currentIndex().data(RdpClientModel::ClientRole).value<RdpClient>();
}

RdpClient RdpSharingWidget::ownClient() const {
    return m_instance ? m_instance->clientMe() : RdpClient();
}

// ---- actions -------------------------------------------------------------------------------------------

void RdpSharingWidget::AdmitAction_clicked() {
    const RdpClient sel = currentClient();
    if (!sel.client.isEmpty() && m_instance) {
        m_instance->admitClientFromLobby(sel.client);
    }
}

void RdpSharingWidget::ViewAction_clicked() {
    AdmitAction_clicked(); // back to viewing
}

void RdpSharingWidget::ControlAction_clicked() {
    const RdpClient sel = currentClient();
    if (!sel.client.isEmpty() && m_instance) {
        m_instance->giveInputToClient(sel.client);
    }
}

void RdpSharingWidget::LobbyAction_clicked() {
    const RdpClient sel = currentClient();
    if (!sel.client.isEmpty() && m_instance) {
        m_instance->sendClientToLobby(sel.client);
    }
}

void RdpSharingWidget::KickClientButton_clicked() {
    const RdpClient sel = currentClient();
    if (!sel.client.isEmpty() && m_instance) {
        m_instance->kickClient(sel.client);
    }
}

void RdpSharingWidget::SettingsAction_clicked() {
    const RdpClient sel = currentClient();
    if (sel.client.isEmpty() || m_nameDialog) {
        return;
    }
    const RdpClient me = ownClient();
    const bool own = sel.client == me.client;
    const bool roleEditable = isModerator(me.role) && !own;
    auto* dialog = new NameDialog(sel.name, QString(), sel.role, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setRoleEditable(roleEditable);
    m_nameDialog = dialog;
    const QString id = sel.client;
    const QString shownRole = dialog->role(); // an unknown role shows as viewer
    connect(dialog, &QDialog::accepted, this, [this, dialog, id, shownRole, roleEditable] {
        if (!m_instance) {
            return;
        }
        // A role goes out only when the user could choose it and chose another one.
        const QString role = roleEditable && dialog->role() != shownRole ? dialog->role() : QString();
        if (role.isEmpty()) {
            m_instance->renameClient(id, dialog->name());
        } else {
            m_instance->updateClient(id, QString(), role, dialog->name());
        }
    });
    dialog->open(); // window-modal without a nested event loop
}

// ---- model and view ------------------------------------------------------------------------------------

void RdpSharingWidget::ClientListModel_clientChanged(const QModelIndex& index) {
    const QModelIndex shown = m_proxy->mapFromSource(index);
    m_view->update(shown);
    if (shown.isValid() && shown.row() == m_view->currentIndex().row()) {
        resetButtons();
    }
}

void RdpSharingWidget::ClientListModel_clientsUpdated() {
    m_proxy->sort(m_proxy->sortColumn(), m_proxy->sortOrder());
    m_view->resizeRowsToContents();
    if (!m_view->currentIndex().isValid() && m_proxy->rowCount() > 0) {
        m_view->setCurrentIndex(m_proxy->index(0, 0));
    } else {
        resetButtons();
    }
}

void RdpSharingWidget::ClientListView_currentChanged(const QModelIndex&, const QModelIndex&) {
    resetButtons();
}

void RdpSharingWidget::ClientListView_sortIndicatorChanged(int, Qt::SortOrder) {
    resetButtons();
}

void RdpSharingWidget::ClientListView_activated(const QModelIndex&) {}

void RdpSharingWidget::resetButtons() {
    const QModelIndex current = m_view->currentIndex();
    const RdpClient sel = currentClient();
    if (sel.client.isEmpty()) {
        for (QPushButton* button : {m_admitButton, m_viewButton, m_kickButton, m_settingsButton}) {
            button->hide();
        }
        return;
    }
    const RdpClient me = ownClient();
    const bool own = sel.client == me.client;
    const bool moderator = isModerator(me.role);

    const QModelIndex cell = current.sibling(current.row(), 0);
    const QRect r = m_view->visualRect(cell);
    QStyleOptionViewItem option;
    option.initFrom(m_view);
    option.rect = r;
    const QSize text = m_delegate->sizeHint(option, cell);
    // A row too small for the buttons gives them no size rather than a negative one.
    const int s = std::max(0, std::min({20, r.height() - 8, r.width() - 8}));
    const int h = s / 2;
    const int c = r.center().y();
    const QRect kick(QPoint(r.right() - 4 - s, c - h), QPoint(r.right() - 4, c + h));
    const QRect reserve(QPoint(r.right() - 8 - 2 * s, c - h), QPoint(r.right() - 8 - s, c + h));
    const bool narrow = reserve.left() < r.left() + text.width() + 4;

    m_viewAction->setEnabled(moderator);
    m_controlAction->setEnabled(moderator);
    m_lobbyAction->setEnabled(isMember(me.role) && !own);

    m_settingsButton->show();
    if (moderator) {
        m_admitButton->setVisible(!own && sel.status == kLobby);
        m_kickButton->setVisible(!own);
        m_viewButton->setVisible(own ? !narrow : !(sel.status == kLobby || narrow));
    } else {
        m_admitButton->hide();
        m_kickButton->hide();
        m_viewButton->hide();
        m_settingsButton->setVisible(own);
    }

    const int top = c - s + 4;
    m_kickButton->setGeometry(kick);
    const auto leftOf = [top](QPushButton* button, int right) {
        const QSize size = button->sizeHint();
        button->setGeometry(QRect(QPoint(right - size.width(), top), size));
    };
    m_settingsButton->setFixedSize(kick.size());
    if (narrow) {
        m_settingsButton->move(kick.left() - kick.width(), kick.top());
    } else {
        leftOf(m_admitButton, kick.left());
        leftOf(m_viewButton, kick.left());
        const int right = moderator ? m_admitButton->x() : kick.left();
        m_settingsButton->move(right - kick.width(), kick.top());
    }
}

// ---- events and focus ----------------------------------------------------------------------------------

bool RdpSharingWidget::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_view && event->type() == QEvent::FocusIn && !m_view->currentIndex().isValid()) {
        focusViewFirstRow(m_view, 0);
    } else if (watched == m_view->viewport() &&
               (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        QMetaObject::invokeMethod(this, "resetButtons", Qt::QueuedConnection);
    } else if (event->type() == QEvent::KeyPress) {
        auto* button = qobject_cast<QPushButton*>(watched);
        const int key = static_cast<QKeyEvent*>(event)->key();
        const bool arrow =
            key == Qt::Key_Left || key == Qt::Key_Up || key == Qt::Key_Right || key == Qt::Key_Down;
        QWidget* grandparent =
            button && button->parentWidget() ? button->parentWidget()->parentWidget() : nullptr;
        if (arrow && qobject_cast<QAbstractItemView*>(grandparent)) {
            QApplication::sendEvent(grandparent, event);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool RdpSharingWidget::focusRowButtons(bool kickFirst) {
    if (kickFirst) {
        return giveFocus(m_kickButton) || giveFocus(m_viewButton);
    }
    return giveFocus(m_viewButton) || giveFocus(m_kickButton);
}

bool RdpSharingWidget::focusNextPrevChild(bool next) {
    QWidget* focus = QApplication::focusWidget();
    const bool inBox = focus && m_buttonBox->isAncestorOf(focus);
    if (next) {
        if (focus == m_view) {
            return giveFocus(m_viewButton) || giveFocus(m_kickButton) || focusViewNextRow(m_view, 0) ||
                   QWidget::focusNextPrevChild(true);
        }
        if (focus == m_viewButton) {
            return giveFocus(m_kickButton) || focusViewNextRow(m_view, 0) ||
                   QWidget::focusNextPrevChild(true);
        }
        if (focus == m_kickButton) {
            return focusViewNextRow(m_view, 0) || QWidget::focusNextPrevChild(true);
        }
        if (inBox) {
            const bool moved = QWidget::focusNextPrevChild(true);
            QWidget* now = QApplication::focusWidget();
            if (!now || !m_buttonBox->isAncestorOf(now)) {
                return focusViewFirstRow(m_view, 0) || moved;
            }
            return moved;
        }
        return QWidget::focusNextPrevChild(true);
    }
    if (focus == m_kickButton && (giveFocus(m_viewButton) || focusView(m_view))) {
        return true;
    }
    if (focus == m_viewButton && focusView(m_view)) {
        return true;
    }
    if (focus == m_view || focus == m_kickButton || focus == m_viewButton) {
        if (focusViewPreviousRow(m_view, 0)) {
            focusRowButtons(true);
            return true;
        }
        return QWidget::focusNextPrevChild(false);
    }
    if (inBox) {
        const bool moved = QWidget::focusNextPrevChild(false);
        QWidget* now = QApplication::focusWidget();
        if (!now || !m_buttonBox->isAncestorOf(now)) {
            if (focusViewLastRow(m_view, 0)) {
                focusRowButtons(true);
                return true;
            }
        }
        return moved;
    }
    return QWidget::focusNextPrevChild(false);
}

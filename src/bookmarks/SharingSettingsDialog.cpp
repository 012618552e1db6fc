#include "bookmarks/SharingSettingsDialog.h"

#include "bookmarks/GuestLink.h"
#include "bookmarks/PromiseLifetime.h"
#include "bookmarks/ShareItemDelegates.h"
#include "rpc/RpcInstance.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QUuid>

static void initSharingResources() {
    Q_INIT_RESOURCE(SharingResources);
}

namespace {

constexpr int nameColumn = 0;
constexpr int roleColumn = 1;
constexpr int buttonColumn = 2;
constexpr int roleIdRole = Qt::UserRole;

} // namespace

SharingSettingsDialog::SharingSettingsDialog(const QString& sessionId, QSharedPointer<RpcInstance> rpc,
                                             const QString& serverUrl, QWidget* parent)
    : QDialog(parent)
    , m_serverUrl(serverUrl)
    , m_sessionId(sessionId)
    , m_rpc(std::move(rpc)) {
    initSharingResources();
    setObjectName(QStringLiteral("SharingSettingsDialog"));
    resize(699, 609);
    auto* grid = new QGridLayout(this);

    m_addButton = new QPushButton(this);
    m_addButton->setObjectName(QStringLiteral("AddSharedUserPushButton"));
    grid->addWidget(m_addButton, 0, 0, Qt::AlignLeft);

    m_table = new QTableWidget(0, 3, this);
    m_table->setObjectName(QStringLiteral("SharedUserTableWidget"));
    m_table->setHorizontalHeaderLabels({tr("Username"), tr("Role"), QString()});
    m_table->setShowGrid(true);
    grid->addWidget(m_table, 1, 0, 1, 2);

    m_enablePublicLink = new QCheckBox(tr("Enable public link"), this);
    m_enablePublicLink->setObjectName(QStringLiteral("EnablePublicLinkCheckBox"));
    grid->addWidget(m_enablePublicLink, 2, 0, 1, 2);

    m_publicLinkFrame = new QFrame(this);
    m_publicLinkFrame->setObjectName(QStringLiteral("PublicLinkFrame"));
    m_publicLinkFrame->setFrameShape(QFrame::StyledPanel);
    m_publicLinkFrame->setFrameShadow(QFrame::Sunken);
    auto* frameGrid = new QGridLayout(m_publicLinkFrame);
    frameGrid->addWidget(new QLabel(tr("Public link"), m_publicLinkFrame), 4, 0);
    m_publicLink = new QLineEdit(m_publicLinkFrame);
    m_publicLink->setObjectName(QStringLiteral("PublicLinkLineEdit"));
    m_publicLink->setReadOnly(true);
    frameGrid->addWidget(m_publicLink, 5, 0, 1, 2);
    m_copyButton = new QPushButton(tr("Copy"), m_publicLinkFrame);
    m_copyButton->setObjectName(QStringLiteral("CopyPushButton"));
    frameGrid->addWidget(m_copyButton, 5, 3);
    auto* roleLabel = new QLabel(tr("Role"), m_publicLinkFrame);
    roleLabel->setObjectName(QStringLiteral("PublicRoleLabel"));
    frameGrid->addWidget(roleLabel, 6, 0);
    m_publicRole = new QComboBox(m_publicLinkFrame);
    m_publicRole->setObjectName(QStringLiteral("PublicRoleComboBox"));
    m_publicRole->setMinimumWidth(536);
    frameGrid->addWidget(m_publicRole, 8, 0, 1, 2);
    grid->addWidget(m_publicLinkFrame, 3, 0, 1, 2);

    auto* spare = new QFrame(this);
    spare->setObjectName(QStringLiteral("frame_2"));
    spare->setFrameShape(QFrame::StyledPanel);
    grid->addWidget(spare, 5, 0, 1, 2);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    grid->addWidget(buttons, 6, 1);

    setWindowTitle(tr("Sharing Settings"));

    if (m_serverUrl.isEmpty()) {
        m_enablePublicLink->setEnabled(false);
        m_publicLinkFrame->setEnabled(false);
    }

    m_addButton->setIcon(QIcon(QStringLiteral(":/images/resources/plus-round-dark.svg")));
    m_addButton->setFixedSize(48, 32);

    m_table->resizeColumnsToContents();
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    QHeaderView* header = m_table->horizontalHeader();
    header->setSectionResizeMode(nameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(roleColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(buttonColumn, QHeaderView::Fixed);
    header->resizeSection(roleColumn, 200);
    header->resizeSection(buttonColumn, 32);

    m_fillingRole = true;
    m_publicRole->addItem(QStringLiteral("Start in Lobby"), QStringLiteral("lobby"));
    m_publicRole->addItem(QStringLiteral("Automatically Enter"), QStringLiteral("viewer"));
    m_fillingRole = false;

    connect(m_table, &QTableWidget::cellChanged, this, &SharingSettingsDialog::cellChanged);
    auto* roleDelegate = new ShareRoleItemDelegate(m_table);
    connect(roleDelegate, &ShareRoleItemDelegate::editRole, this, &SharingSettingsDialog::roleEdited);
    m_table->setItemDelegateForColumn(roleColumn, roleDelegate);
    m_table->setItemDelegateForColumn(buttonColumn, new ShareDeleteItemDelegate(m_table));
    m_table->setEditTriggers(QAbstractItemView::CurrentChanged);
    connect(m_table, &QTableWidget::itemClicked, this, [this](QTableWidgetItem* item) {
        if (QTableWidgetItem* name = m_table->item(item->row(), nameColumn))
            m_table->editItem(name);
    });
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &SharingSettingsDialog::updateRowButtons);

    QMetaObject::connectSlotsByName(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    load();
}

SharingSettingsDialog::~SharingSettingsDialog() = default;

void SharingSettingsDialog::load() {
    if (!m_rpc || m_failed)
        return;
    RpcPromise<QVariantMap>* promise = m_rpc->loadShareRaw(m_sessionId);
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise] { applyShareData(promise->value); });
    connect(promise, &RpcPromiseBase::failed, this, [this](const QString&, const QString& message) {
        fail(tr("Failed to load share data:<br><br>%1"), message);
    });
}

void SharingSettingsDialog::applyShareData(const QVariantMap& data) {
    const QString key = data.value(QStringLiteral("sharingKey")).toString();
    {
        const QSignalBlocker blocker(m_enablePublicLink);
        m_enablePublicLink->setChecked(!key.isEmpty());
    }
    m_publicLinkFrame->setEnabled(!key.isEmpty() && !m_serverUrl.isEmpty());
    m_publicLink->setText(guestLink(m_serverUrl, m_sessionId, key));

    const QVariantMap pub = data.value(QStringLiteral("public")).toMap();
    m_fillingRole = true;
    m_publicRole->setCurrentIndex(pub.value(QStringLiteral("role")).toString() == QLatin1String("viewer") ? 1 : 0);
    m_fillingRole = false;

    m_loading = true;
    m_table->setRowCount(0);
    const QVariant users = data.value(QStringLiteral("users"));
    if (users.type() == QVariant::List) {
        for (const QVariant& entry : users.toList()) {
            if (entry.type() != QVariant::Map)
                continue;
            const QVariantMap user = entry.toMap();
            const QString name = user.value(QStringLiteral("name")).toString();
            if (name.isEmpty())
                continue;
            insertUserRow(name, user.value(QStringLiteral("role")).toString());
        }
    }
    m_loading = false;
}

void SharingSettingsDialog::insertUserRow(const QString& name, const QString& roleId) {
    const QString known = knownShareRole(roleId);
    m_table->insertRow(0);
    m_table->setItem(0, nameColumn, new QTableWidgetItem(name));
    auto* role = new QTableWidgetItem(shareRoleLabel(known));
    role->setData(roleIdRole, known);
    m_table->setItem(0, roleColumn, role);
}

QString SharingSettingsDialog::rowName(int row) const {
    const QTableWidgetItem* item = m_table->item(row, nameColumn);
    return item ? item->text() : QString();
}

void SharingSettingsDialog::cellChanged(int row, int column) {
    if (m_loading || column != nameColumn || rowName(row).isEmpty())
        return;
    sendUpdate(collectUsers());
}

void SharingSettingsDialog::roleEdited(const QModelIndex& index, const QJsonObject& role) {
    if (!index.isValid())
        return;
    const int row = index.row();
    QTableWidgetItem* item = m_table->item(row, roleColumn);
    if (!item) {
        item = new QTableWidgetItem;
        m_table->setItem(row, roleColumn, item);
    }
    item->setText(role.value(QStringLiteral("name")).toString());
    item->setData(roleIdRole, role.value(QStringLiteral("value")).toString());
    if (!rowName(row).isEmpty())
        sendUpdate(collectUsers());
}

void SharingSettingsDialog::updateRowButtons() {
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const bool selected =
            m_table->selectionModel()->isRowSelected(row, QModelIndex());
        if (selected) {
            if (QTableWidgetItem* name = m_table->item(row, nameColumn))
                m_table->editItem(name);
            if (!m_table->cellWidget(row, buttonColumn)) {
                auto* button = new QPushButton(QStringLiteral("x"), m_table);
                connect(button, &QPushButton::clicked, this, [this, button] { removeRowOf(button); });
                m_table->setCellWidget(row, buttonColumn, button);
            }
        } else if (m_table->cellWidget(row, buttonColumn)) {
            m_table->removeCellWidget(row, buttonColumn);
        }
    }
}

void SharingSettingsDialog::removeRowOf(QPushButton* button) {
    // Rows move as others come and go: find the button's row when it is pressed.
    for (int row = 0; row < m_table->rowCount(); ++row) {
        if (m_table->cellWidget(row, buttonColumn) == button) {
            m_table->removeRow(row);
            sendUpdate(collectUsers());
            return;
        }
    }
}

QJsonObject SharingSettingsDialog::collectUsers() const {
    QJsonArray users;
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QString name = rowName(row);
        if (name.isEmpty())
            continue;
        const QTableWidgetItem* role = m_table->item(row, roleColumn);
        users.append(QJsonObject{{QStringLiteral("role"), knownShareRole(role ? role->data(roleIdRole).toString()
                                                                             : QString())},
                                 {QStringLiteral("name"), name}});
    }
    return QJsonObject{{QStringLiteral("users"), users}};
}

void SharingSettingsDialog::on_AddSharedUserPushButton_clicked() {
    if (m_table->rowCount() > 0 && rowName(0).isEmpty()) {
        m_table->selectRow(0);
        return;
    }
    m_loading = true;
    m_table->insertRow(0);
    m_table->setItem(0, nameColumn, new QTableWidgetItem(QString()));
    auto* role = new QTableWidgetItem(QStringLiteral("Start in Lobby"));
    role->setData(roleIdRole, QStringLiteral("lobby"));
    m_table->setItem(0, roleColumn, role);
    m_table->setItem(0, buttonColumn, new QTableWidgetItem);
    m_loading = false;
    m_table->selectRow(0);
}

void SharingSettingsDialog::on_EnablePublicLinkCheckBox_clicked(bool checked) {
    m_publicLinkFrame->setEnabled(checked && !m_serverUrl.isEmpty());
    QString key;
    if (checked)
        key = QUuid::createUuid().toString(QUuid::Id128);
    sendUpdate(QJsonObject{{QStringLiteral("sharingKey"), key}});
}

void SharingSettingsDialog::on_PublicRoleComboBox_currentIndexChanged(int index) {
    if (m_fillingRole)
        return;
    const QString role = index == 1 ? QStringLiteral("viewer") : QStringLiteral("lobby");
    sendUpdate(QJsonObject{{QStringLiteral("public"), QJsonObject{{QStringLiteral("role"), role}}}});
}

void SharingSettingsDialog::on_CopyPushButton_clicked() {
    QApplication::clipboard()->setText(m_publicLink->text());
}

void SharingSettingsDialog::sendUpdate(const QJsonObject& body) {
    if (!m_rpc || m_failed)
        return;
    RpcPromise<void>* promise = m_rpc->updateShare(m_sessionId, body);
    deleteWhenSettled(promise, this);
    connect(promise, &RpcPromiseBase::succeeded, this, &SharingSettingsDialog::load);
    connect(promise, &RpcPromiseBase::failed, this, [this](const QString&, const QString& message) {
        fail(tr("Failed to update share data:<br><br>%1"), message);
    });
}

void SharingSettingsDialog::fail(const QString& text, const QString& message) {
    // One box per dialog: a second failure of a request still in flight shows nothing more.
    if (m_failed)
        return;
    m_failed = true;
    auto* box = new QMessageBox(QMessageBox::Warning, tr("%1 Error").arg(QCoreApplication::applicationName()),
                                text.arg(message.toHtmlEscaped()), QMessageBox::Close);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("SharingFailureBox"));
    box->show();
    close();
}

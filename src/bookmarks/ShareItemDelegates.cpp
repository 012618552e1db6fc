#include "bookmarks/ShareItemDelegates.h"

#include <QComboBox>
#include <QPersistentModelIndex>
#include <QPushButton>

const QVector<ShareRole>& shareRoles() {
    static const QVector<ShareRole> roles{{"lobby", "Start in Lobby"},
                                          {"viewer", "Automatically Enter"},
                                          {"controller", "Make Moderator"}};
    return roles;
}

QString knownShareRole(const QString& roleId) {
    for (const ShareRole& role : shareRoles())
        if (roleId == QLatin1String(role.id))
            return roleId;
    return QStringLiteral("lobby");
}

QString shareRoleLabel(const QString& roleId) {
    const QString known = knownShareRole(roleId);
    for (const ShareRole& role : shareRoles())
        if (known == QLatin1String(role.id))
            return QString::fromLatin1(role.label);
    return QString();
}

ShareDeleteItemDelegate::ShareDeleteItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent) {}

QWidget* ShareDeleteItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                               const QModelIndex& index) const {
    auto* button = new QPushButton(QStringLiteral("x"), parent);
    const QPersistentModelIndex target(index);
    // Editors are made from a const function; the signal belongs to the delegate all the same.
    auto* self = const_cast<ShareDeleteItemDelegate*>(this);
    connect(button, &QPushButton::clicked, self, [self, target] { emit self->deleteIndex(target); });
    return button;
}

ShareRoleItemDelegate::ShareRoleItemDelegate(QObject* parent)
    : QStyledItemDelegate(parent) {}

QWidget* ShareRoleItemDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&,
                                             const QModelIndex& index) const {
    auto* combo = new QComboBox(parent);
    for (const ShareRole& role : shareRoles())
        combo->addItem(QString::fromLatin1(role.label), QString::fromLatin1(role.id));
    combo->setAutoFillBackground(true);
    const int current = combo->findText(index.data(Qt::DisplayRole).toString());
    combo->setCurrentIndex(current >= 0 ? current : 0);
    // Connected only now, so the starting role is not reported as a change.
    const QPersistentModelIndex target(index);
    auto* self = const_cast<ShareRoleItemDelegate*>(this);
    connect(combo, &QComboBox::currentTextChanged, self, [self, combo, target](const QString& text) {
        emit self->editRole(target, QJsonObject{{QStringLiteral("name"), text},
                                          {QStringLiteral("value"), combo->currentData().toString()}});
    });
    return combo;
}

void ShareRoleItemDelegate::setEditorData(QWidget*, const QModelIndex&) const {}

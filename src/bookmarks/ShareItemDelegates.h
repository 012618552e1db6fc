#pragma once

#include <QJsonObject>
#include <QModelIndex>
#include <QStyledItemDelegate>

// The share roles: id and the label the sharing table shows for it.
struct ShareRole {
    const char* id;
    const char* label;
};
// In the order the role editor offers them.
const QVector<ShareRole>& shareRoles();
// The label of a role id; an unknown id counts as "lobby".
QString shareRoleLabel(const QString& roleId);
// The role id of a known id, else "lobby".
QString knownShareRole(const QString& roleId);

// The "x" button of a sharing table row.
class ShareDeleteItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ShareDeleteItemDelegate(QObject* parent = nullptr);
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;

signals:
    void deleteIndex(QModelIndex index);
};

// The role editor of a sharing table row. It reports a role only when the user picks one: setting
// the row's current role when the editor opens sends nothing.
class ShareRoleItemDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ShareRoleItemDelegate(QObject* parent = nullptr);
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    // The editor starts on the row's role in createEditor; the model's text must not move it.
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;

signals:
    void editRole(QModelIndex index, QJsonObject role);
};

#pragma once

// Name and role of one participant of a shared session.

#include <QDialog>

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

class NameDialog : public QDialog {
    Q_OBJECT
public:
    // The combo offers viewer and moderator; the owner entry stays only for an owner, whose role
    // cannot be edited.
    NameDialog(const QString& name, const QString& email, const QString& role, QWidget* parent = nullptr);

    QString name() const;
    QString role() const;
    void setRoleEditable(bool editable);
    bool isRoleEditable() const;

    QLineEdit* nameEdit() const { return m_nameEdit; }
    QComboBox* roleCombo() const { return m_roleCombo; }

private:
    QLabel* m_nameLabel;
    QLineEdit* m_nameEdit;
    QLabel* m_roleLabel;
    QComboBox* m_roleCombo;
    QLabel* m_emailLabel;
    QLineEdit* m_emailEdit;
    QDialogButtonBox* m_buttons;
};

#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QModelIndex>
#include <QSharedPointer>
#include <QVariantMap>

class QCheckBox;
class QComboBox;
class QFrame;
class QLineEdit;
class QPushButton;
class QTableWidget;
class RpcInstance;

// A session's sharing: named users with their roles and the public guest link. Every change goes to
// the server at once and is followed by a fresh load; a failed load or update closes the dialog.
class SharingSettingsDialog : public QDialog {
    Q_OBJECT
public:
    SharingSettingsDialog(const QString& sessionId, QSharedPointer<RpcInstance> rpc, const QString& serverUrl,
                          QWidget* parent = nullptr);
    ~SharingSettingsDialog() override;

    QTableWidget* userTable() const { return m_table; }

public slots:
    void load();

private slots:
    void on_EnablePublicLinkCheckBox_clicked(bool checked);
    void on_PublicRoleComboBox_currentIndexChanged(int index);
    void on_CopyPushButton_clicked();
    void on_AddSharedUserPushButton_clicked();

private:
    void applyShareData(const QVariantMap& data);
    void cellChanged(int row, int column);
    void roleEdited(const QModelIndex& index, const QJsonObject& role);
    void updateRowButtons();
    void removeRowOf(QPushButton* button);
    QJsonObject collectUsers() const;
    void sendUpdate(const QJsonObject& body);
    void fail(const QString& text, const QString& message);
    QString rowName(int row) const;
    void insertUserRow(const QString& name, const QString& roleId);

    QTableWidget* m_table = nullptr;
    QPushButton* m_addButton = nullptr;
    QCheckBox* m_enablePublicLink = nullptr;
    QFrame* m_publicLinkFrame = nullptr;
    QLineEdit* m_publicLink = nullptr;
    QPushButton* m_copyButton = nullptr;
    QComboBox* m_publicRole = nullptr;

    QString m_serverUrl;
    QString m_sessionId;
    QSharedPointer<RpcInstance> m_rpc;
    bool m_loading = false;
    // Set while the dialog itself moves the public role, which is no choice of the user's.
    bool m_fillingRole = false;
    bool m_failed = false;
};

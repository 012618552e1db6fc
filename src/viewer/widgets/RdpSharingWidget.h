#pragma once

// The sharing panel: everyone connected to a shared session, with buttons that float over the current
// row to admit a client from the lobby, hand it the input, send it back to viewing or to the lobby,
// remove it, or rename it and change its role. Every action goes to the session interface.

#include "viewer/engine/RdpClient.h"
#include "viewer/widgets/NameDialog.h"

#include <QPointer>
#include <QWidget>

class QAction;
class QDialogButtonBox;
class QGridLayout;
class QModelIndex;
class QPushButton;
class QSortFilterProxyModel;
class QTableView;
class RdpClientDelegate;
class RdpClientModel;
class RdpInstance;

class RdpSharingWidget : public QWidget {
    Q_OBJECT
public:
    explicit RdpSharingWidget(RdpInstance* instance, QWidget* parent = nullptr);
    ~RdpSharingWidget() override;

    QTableView* clientListView() const { return m_view; }
    RdpClientModel* clientModel() const { return m_model; }
    RdpClientDelegate* clientDelegate() const { return m_delegate; }
    QDialogButtonBox* buttonBox() const { return m_buttonBox; }
    QPushButton* admitButton() const { return m_admitButton; }
    QPushButton* viewButton() const { return m_viewButton; }
    QPushButton* settingsButton() const { return m_settingsButton; }
    QPushButton* kickButton() const { return m_kickButton; }
    QAction* viewAction() const { return m_viewAction; }
    QAction* controlAction() const { return m_controlAction; }
    QAction* lobbyAction() const { return m_lobbyAction; }
    // The name dialog while it is open, or null.
    NameDialog* nameDialog() const { return m_nameDialog; }

public slots:
    void disconnectFromSession();
    void showOptionsWidget();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private slots:
    void AdmitAction_clicked();
    void ViewAction_clicked();
    void ControlAction_clicked();
    void LobbyAction_clicked();
    void KickClientButton_clicked();
    void SettingsAction_clicked();
    void ClientListModel_clientChanged(const QModelIndex& index);
    void ClientListModel_clientsUpdated();
    void ClientListView_currentChanged(const QModelIndex& current, const QModelIndex& previous);
    void ClientListView_sortIndicatorChanged(int column, Qt::SortOrder order);
    void ClientListView_activated(const QModelIndex& index);
    void resetButtons();

private:
    RdpClient currentClient() const;
    RdpClient ownClient() const;
    bool focusRowButtons(bool kickFirst);

    QPointer<RdpInstance> m_instance;
    RdpClientModel* m_model = nullptr;
    QSortFilterProxyModel* m_proxy = nullptr;
    RdpClientDelegate* m_delegate = nullptr;
    QGridLayout* m_layout = nullptr;
    QTableView* m_view = nullptr;
    QDialogButtonBox* m_buttonBox = nullptr;
    QPushButton* m_admitButton = nullptr;
    QPushButton* m_viewButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_kickButton = nullptr;
    QAction* m_viewAction = nullptr;
    QAction* m_controlAction = nullptr;
    QAction* m_lobbyAction = nullptr;
    QPointer<NameDialog> m_nameDialog;
};

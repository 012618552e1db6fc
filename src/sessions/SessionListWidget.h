#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QSharedPointer>
#include <QVariantMap>
#include <QWidget>

class ConnectionContext;
class QAbstractItemView;
class QAction;
class QComboBox;
class QLabel;
class QListView;
class QMenu;
class QPushButton;
class QSortFilterProxyModel;
class QStackedWidget;
class QTreeView;
class RdpInstance;
class RpcInstance;
class ScreenShotCache;
class Session;
class SessionModel;
class SessionSortFilterProxyModel;
class StartSessionDialog;

// The sessions of one signed-in connection, as a sorted list or a grid, with connect and start.
// The main window reaches it through its signals and slots by name ("SessionListWidget").
class SessionListWidget : public QWidget {
    Q_OBJECT
public:
    SessionListWidget(QSharedPointer<RpcInstance> rpc, QSharedPointer<ConnectionContext> context,
                      const QJsonObject& connectionJson, QWidget* parent = nullptr);
    ~SessionListWidget() override;

    Q_INVOKABLE QJsonObject connectionJson() const { return m_connectionJson; }
    SessionModel* model() const { return m_model; }
    QTreeView* listView() const { return m_list; }
    QListView* gridView() const { return m_grid; }
    QSharedPointer<RpcInstance> rpc() const { return m_rpc; }
    QStringList connectionLog() const { return m_log; }

signals:
    void begin();
    void failed(QString reason, QString details, QString log);
    void widgetClosed();
    void showSessionMenu(int mask);
    void listView();
    void gridView();
    void logAppended(QString line);

public slots:
    void beginInteraction();
    void tokenInteraction(const QString& token);
    void logout();
    void showListPage();
    void showGridPage();
    void updateActions();
    void currentSessionAction(int code);
    void on_NewSessionButton_clicked();
    void on_BookmarkButton_clicked();
    void on_LogButton_clicked();
    // Connects to the session of the current row of the shown view.
    void connectCurrent();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAbstractItemView* currentView() const;
    Session currentSession() const;
    void connectTo(const QString& sessionId);
    void startViewer(class RpcPromiseBase* promise, const QString& name);
    void appendLog(const QString& line);
    void showFailure(const QString& what, const QString& message);

    QSharedPointer<RpcInstance> m_rpc;
    QSharedPointer<ConnectionContext> m_context;
    QJsonObject m_connectionJson;
    SessionModel* m_model = nullptr;
    QSortFilterProxyModel* m_listProxy = nullptr;
    SessionSortFilterProxyModel* m_gridProxy = nullptr;
    QSharedPointer<ScreenShotCache> m_screenShots;
    QStackedWidget* m_pages = nullptr;
    QTreeView* m_list = nullptr;
    QListView* m_grid = nullptr;
    QComboBox* m_shared = nullptr;
    QPushButton* m_newSession = nullptr;
    QVariantMap m_permissions;
    QPointer<StartSessionDialog> m_startDialog;
    QStringList m_log;
    bool m_loggedOut = false;
    bool m_begun = false;
};

#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QModelIndex>
#include <QPointer>
#include <QSharedPointer>
#include <QListView>
#include <QTableView>
#include <QVariantMap>
#include <QWidget>

class ConnectionContext;
class QAbstractItemView;
class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QPoint;
class QPushButton;
class QSortFilterProxyModel;
class QStackedWidget;
class RdpInstance;
class RpcInstance;
class ScreenShotCache;
class Session;
class SessionDelegate;
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
    QTableView* listView() const { return m_list; }
    QListView* gridView() const { return m_grid; }
    QSharedPointer<RpcInstance> rpc() const { return m_rpc; }
    QStringList connectionLog() const { return m_log; }
    QMenu* sessionMenu() const { return m_sessionMenu; }
    QMenu* viewMenu() const { return m_viewMenu; }
    QSharedPointer<ScreenShotCache> screenShotCache() const { return m_screenShots; }
    SessionDelegate* delegate() const { return m_delegate; }

    // The session action codes and their menu (shared with the main window).
    static QMap<int, QString> sessionMenuActions();
    static QList<int> sessionMenuOrder();
    static int enabledSessionActions(const Session& session, QMenu* menu, int allowed, bool own);
    // Runs every action whose bit is set in codes, in a fixed order.
    void sessionAction(const Session& session, int codes);

signals:
    void begin();
    void failed(QString reason, QString details, QString log);
    void widgetClosed();
    void showSessionMenu(int mask);
    void backup();
    // A session of the model changed; true when the changed row holds a session.
    void sessionChanged(bool valid);
    void listView();
    void gridView();
    void logAppended(QString line);

public slots:
    void beginInteraction();
    void tokenInteraction(const QString& token);
    void logout();
    void showListPage();
    void showGridPage();
    void resizeListSections();
    // Place the row buttons over the current row of their view.
    void setListButtons();
    void setGridButtons();
    void on_SessionListView_doubleClicked(const QModelIndex& index);
    void on_ConnectionListAction_triggered() { emit backup(); }
    void on_ShowListAction_triggered(bool checked);
    void on_ShowGridAction_triggered(bool checked);
    void on_SharedWithMeComboBox_currentIndexChanged(int index);
    void updateActions();
    void currentSessionAction(int code);
    void on_NewSessionButton_clicked();
    void on_BookmarkButton_clicked();
    void on_LogButton_clicked();
    void on_ConnectionLogAction_triggered() { on_LogButton_clicked(); }
    void on_OpenFileBrowserButton_clicked();
    // The Session menu's entries: the action's data is the code.
    void sessionMenuAction();
    void terminateSession(const QString& id);
    void showSessionLogs(const QString& id);
    // Connect and start (SessionListStart.cpp).
    void connectSession(const QString& id, const QString& name);
    // The session of the row index points at, or of the shown view's current row when it is invalid.
    void connectCurrentSession(const QModelIndex& index);
    void startSession(QJsonObject request);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    QAbstractItemView* currentView() const;
    void buildToolFrame();
    void buildViews();
    void buildRowButtons();
    void placeListButtons(int row);
    void placeGridButtons(int row);
    // Whether the session's card is shown in the grid's viewport, even partly.
    bool gridCardOnScreen(const QString& id) const;
    void selectFirstListRow();
    // Show a page without checking its View menu action; remember: write the choice to the settings.
    void switchToList(bool remember = true);
    void switchToGrid();
    Session currentSession() const;
    static Session currentSessionOf(const QAbstractItemView* view);
    // Connect and start (SessionListStart.cpp).
    void setUpConnectAndStart();
    void applyProfile(const QVariantMap& profile);
    class SessionConnectOp* newConnectOp(const QString& name);
    void beginViewer(SessionConnectOp* op, const class ConnectInfo& info, const QString& name);
    void handleStartReply(SessionConnectOp* op, const ConnectInfo& info, const QString& name,
                          const QJsonObject& request);
    void showStartForm(const ConnectInfo& info, const QJsonObject& request);
    void startSignIn(SessionConnectOp* op, const ConnectInfo& info, const QString& name);
    void showConnectFailure(const QString& sentence, const QString& name, const QString& message);
    static void showStartError(const QString& title, const QString& message, const QVariantMap& extras);
    static void showScheduleResult(const QString& html);
    void appendLog(const QString& line);
    QVariantMap sessionPermissions() const { return m_sessionPermissions; }
    QVariantMap startPermissions() const { return m_startPermissions; }
    void showSessionInfo(const Session& session);
    void editParameters(const Session& session);
    void setParameters(const Session& session, const QVariantMap& params);
    void toggleFullscreen(const Session& session);
    void disconnectSession(const QString& id);
    void confirmPurge(const Session& session);
    void confirmTerminate(const Session& session);
    void executeCommand(const Session& session);
    void runCommand(const QString& id, QJsonObject params, bool background);
    void showSessionMenuAt(QAbstractItemView* view, const QPoint& pos);

    QSharedPointer<RpcInstance> m_rpc;
    QSharedPointer<ConnectionContext> m_context;
    QJsonObject m_connectionJson;
    SessionModel* m_model = nullptr;
    QSortFilterProxyModel* m_listProxy = nullptr;
    SessionSortFilterProxyModel* m_gridProxy = nullptr;
    QSharedPointer<ScreenShotCache> m_screenShots;
    QStackedWidget* m_pages = nullptr;
    QTableView* m_list = nullptr;
    QListView* m_grid = nullptr;
    QComboBox* m_shared = nullptr;
    QPushButton* m_newSession = nullptr;
    QPushButton* m_fileBrowser = nullptr;
    QFrame* m_frame = nullptr;
    QPushButton* m_bookmarkButton = nullptr;
    QPushButton* m_logButton = nullptr;
    QPushButton* m_more = nullptr;
    QAction* m_showListAction = nullptr;
    QAction* m_showGridAction = nullptr;
    QAction* m_connectionLogAction = nullptr;
    QAction* m_connectionListAction = nullptr;
    QMenu* m_viewMenu = nullptr;
    SessionDelegate* m_delegate = nullptr;
    // Floating over the current row (list) or card (grid).
    QPushButton* m_listEditButton = nullptr;
    QPushButton* m_listMenuButton = nullptr;
    QPushButton* m_listCloseButton = nullptr;
    QPushButton* m_gridPlayButton = nullptr;
    QPushButton* m_gridEditButton = nullptr;
    QPushButton* m_gridMenuButton = nullptr;
    QPushButton* m_gridCloseButton = nullptr;
    QDateTime m_lastGridConnect;
    // Set once a page has been shown by request, so that the start page is not announced late.
    bool m_pageChosen = false;
    bool m_destroying = false;
    // Kept from the user profile; an empty map restricts nothing.
    QVariantMap m_profile;
    QVariantMap m_bookmarkConfig;
    QVariantMap m_sessionPermissions;
    QVariantMap m_startPermissions;
    QVariantMap m_bookmarkPermissions;
    QJsonArray m_networkTypes;
    QString m_lastStartedSessionId;
    // The current sessions of the list and the grid while the model resets.
    QPair<QString, QString> m_currentBeforeReset;
    QAction* m_bookmarksAction = nullptr;
    QMenu* m_sessionMenu = nullptr;
    QPointer<StartSessionDialog> m_startDialog;
    QStringList m_log;
    bool m_loggedOut = false;
    bool m_begun = false;
};

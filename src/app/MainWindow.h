#pragma once

#include <QMainWindow>
#include <QPointer>

class ConnectionWindow;
class QAction;
class QApplication;
class QEventLoop;
class QMenu;
class QStackedWidget;
class QTabWidget;

// The connection manager's window: one tab per page (the connection list, the session page of each
// opened connection, the failure page of one that failed). Its menus act on the current session page.
// Session pages come from the connection kinds as plain widgets named "SessionListWidget"; the window
// reaches their signals and slots through the meta-object system.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(QApplication* application, QString userConnectionFolder, QString systemConnectionFolder,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    void openConnectionList();
    QTabWidget* tabWidget() const { return m_tabs; }
    QMenu* sessionMenu() const { return m_sessionMenu; }
    QMenu* viewMenu() const { return m_viewMenu; }
    QAction* newSessionAction() const { return m_newSessionAction; }
    QAction* quitAction() const { return m_quitAction; }
    // Import of connection files chosen by the user; returns the names that could not be imported.
    QStringList importFiles(const QStringList& files);
    // How long the shut-down waits for pending web sign-outs at most.
    void setShutDownLimit(int ms) { m_shutDownLimitMs = ms; }

signals:
    void connectionCountChanged(int c);

public slots:
    void logout();

private slots:
    void sessionMenuAction();
    void pageBegan();
    void pageClosed();
    void pageFailed(const QString& reason, const QString& details, const QString& log);
    void pageSessionMenu(int mask);
    void pageViewChanged();

protected:
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void createMenus();
    void watchConnectionList(ConnectionWindow* page);
    void openConnection(ConnectionWindow* page);
    void updateForCurrentTab();
    void applySessionMenu(QWidget* page, int mask);
    void showSessionFailure(QWidget* page, const QString& reason, const QString& details, const QString& log);
    void reconnect(QWidget* failurePage, const QJsonObject& json);
    void rememberOpenConnection(QWidget* page);
    void forgetOpenConnection(QWidget* page);
    void importConnections();
    void closeTab(int index);
    void removePageTab(QWidget* page);
    void shutDown();
    void saveGeometry();
    bool commandKeysGoToASession() const;

    QString m_userConnectionFolder;
    QString m_systemConnectionFolder;
    QStackedWidget* m_stack = nullptr;
    QWidget* m_noneStack = nullptr;
    QWidget* m_tabStack = nullptr;
    QTabWidget* m_tabs = nullptr;
    QAction* m_quitAction = nullptr;
    QAction* m_newSessionAction = nullptr;
    QAction* m_gridAction = nullptr;
    QAction* m_listAction = nullptr;
    QList<QAction*> m_viewActions;
    QMenu* m_sessionMenu = nullptr;
    QMenu* m_viewMenu = nullptr;
    QApplication* m_application = nullptr;
    QPointer<QEventLoop> m_shutDownLoop;
    bool m_shuttingDown = false;
    int m_shutDownLimitMs = 15000;
};

// True for a session page (the pages the connection kinds open).
bool isSessionPage(const QWidget* page);

#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "connections/ConnectionImporter.h"
#include "connections/ConnectionModel.h"
#include "connections/ConnectionWindow.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/SessionListFailedWidget.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

Q_LOGGING_CATEGORY(lcMainWindow, "velnor.main")

namespace {

struct SessionMenuEntry {
    int code;
    const char* text;
};

// The Session menu: one entry per session action, in ascending code order.
const SessionMenuEntry sessionMenuEntries[] = {
    {2, QT_TRANSLATE_NOOP("MainWindow", "&Sharing")},
    {4, QT_TRANSLATE_NOOP("MainWindow", "&Info")},
    {8, QT_TRANSLATE_NOOP("MainWindow", "&Parameters")},
    {16, QT_TRANSLATE_NOOP("MainWindow", "&Disconnect")},
    {32, QT_TRANSLATE_NOOP("MainWindow", "P&urge")},
    {64, QT_TRANSLATE_NOOP("MainWindow", "View &Logs")},
    {128, QT_TRANSLATE_NOOP("MainWindow", "E&xecute Command")},
    {256, QT_TRANSLATE_NOOP("MainWindow", "Settin&gs")},
    {512, QT_TRANSLATE_NOOP("MainWindow", "Restore &Windows")},
    {1024, QT_TRANSLATE_NOOP("MainWindow", "&Terminate")},
    {2048, QT_TRANSLATE_NOOP("MainWindow", "&Fullscreen on Connect")},
    {4096, QT_TRANSLATE_NOOP("MainWindow", "D&iagnostics")},
};

const char openConnectionsIcon[] = ":/images/resources/network-wired.svg";

QJsonObject connectionJsonOf(QWidget* page) {
    QJsonObject json;
    QMetaObject::invokeMethod(page, "connectionJson", Qt::DirectConnection, Q_RETURN_ARG(QJsonObject, json));
    return json;
}

} // namespace

bool isSessionPage(const QWidget* page) {
    return page && page->objectName() == QLatin1String("SessionListWidget");
}

MainWindow::MainWindow(QApplication* application, QString userConnectionFolder, QString systemConnectionFolder,
                       QWidget* parent)
    : QMainWindow(parent)
    , m_userConnectionFolder(std::move(userConnectionFolder))
    , m_systemConnectionFolder(std::move(systemConnectionFolder))
    , m_application(application) {
    setObjectName(QStringLiteral("MainWindow"));
    resize(900, 668);
    setWindowTitle(QStringLiteral("Velnor"));
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("CentralWidget"));
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setObjectName(QStringLiteral("verticalLayout_3"));
    m_stack = new QStackedWidget(central);
    m_stack->setObjectName(QStringLiteral("StackedWidget"));
    centralLayout->addWidget(m_stack);
    setCentralWidget(central);

    m_noneStack = new QWidget(m_stack);
    m_noneStack->setObjectName(QStringLiteral("NoneStack"));
    auto* noneOuter = new QVBoxLayout(m_noneStack);
    noneOuter->setObjectName(QStringLiteral("verticalLayout_4"));
    auto* noneInner = new QVBoxLayout;
    noneInner->setObjectName(QStringLiteral("verticalLayout_2"));
    noneOuter->addLayout(noneInner);
    auto* noneLayout = new QHBoxLayout;
    noneLayout->setObjectName(QStringLiteral("horizontalLayout"));
    noneInner->addLayout(noneLayout);
    noneLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    auto* openButton = new QPushButton(tr("Open Connections"), m_noneStack);
    openButton->setObjectName(QStringLiteral("OpenConnectionButton"));
    openButton->setIcon(QIcon(QLatin1String(openConnectionsIcon)));
    openButton->setIconSize(QSize(32, 32));
    openButton->setAutoDefault(false);
    noneLayout->addWidget(openButton);
    noneLayout->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_stack->addWidget(m_noneStack);

    m_tabStack = new QWidget(m_stack);
    m_tabStack->setObjectName(QStringLiteral("TabStack"));
    auto* tabLayout = new QVBoxLayout(m_tabStack);
    tabLayout->setObjectName(QStringLiteral("verticalLayout"));
    m_tabs = new QTabWidget(m_tabStack);
    m_tabs->setObjectName(QStringLiteral("TabWidget"));
    m_tabs->setMinimumSize(0, 48);
    m_tabs->setDocumentMode(true);
    m_tabs->setTabsClosable(true);
    m_tabs->setMovable(true);
    m_tabs->setStyleSheet(
        QStringLiteral("QTabWidget::right-corner {\nheight: 48px;\ntop:-5px;\n\n}\nQTabBar::tab {\nheight: 32px;\n}"));
    m_tabs->tabBar()->setMinimumHeight(24);
    tabLayout->addWidget(m_tabs);
    m_stack->addWidget(m_tabStack);
    m_stack->setCurrentWidget(m_noneStack);

    auto* corner = new QPushButton(m_tabs);
    corner->setIcon(QIcon(QLatin1String(openConnectionsIcon)));
    corner->setToolTip(tr("Open Connections"));
    corner->setMinimumHeight(24);
    corner->setMaximumSize(24, 24);
    m_tabs->setCornerWidget(corner, Qt::TopRightCorner);

    qCDebug(lcMainWindow) << "System Path" << m_systemConnectionFolder;
    createMenus();
    QMenu* help = menuBar()->addMenu(tr("Help"));
    QAction* documentation = help->addAction(tr("Documentation"));
    documentation->setShortcut(QKeySequence(Qt::Key_F1));
    connect(documentation, &QAction::triggered, this, [this] {
        if (!commandKeysGoToASession())
            openDocumentation();
    });
    connect(help->addAction(tr("About")), &QAction::triggered, this, [this] {
        if (!commandKeysGoToASession())
            showAboutDialog();
    });

    connect(openButton, &QPushButton::clicked, this, &MainWindow::openConnectionList);
    connect(corner, &QPushButton::clicked, this, &MainWindow::openConnectionList);
    connect(m_tabs, &QTabWidget::currentChanged, this, &MainWindow::updateForCurrentTab);
    connect(m_tabs, &QTabWidget::tabCloseRequested, this, &MainWindow::closeTab);
    if (m_application)
        connect(m_application, &QCoreApplication::aboutToQuit, this, &MainWindow::shutDown);
}

MainWindow::~MainWindow() {
    // The pages go with the window; none of the window's reactions to a page or tab leaving may run
    // on a window half destroyed.
    m_tabs->disconnect(this);
    for (int index = 0; index < m_tabs->count(); ++index)
        m_tabs->widget(index)->disconnect(this);
}

bool MainWindow::commandKeysGoToASession() const {
    const QWidget* active = QApplication::activeWindow();
    return active && active->property("SendCommandKey").toBool();
}

void MainWindow::createMenus() {
    QMenu* file = menuBar()->addMenu(tr("File"));
    m_newSessionAction = file->addAction(tr("New Session"));
    m_newSessionAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    // The menu shows the key, but on a session page it is the page's own New Session button that
    // takes it: one live binding, where a window-wide one beside the button's made the key ambiguous.
    m_newSessionAction->setShortcutContext(Qt::WidgetShortcut);
    m_newSessionAction->setEnabled(false);
    connect(m_newSessionAction, &QAction::triggered, this, [this] {
        if (!commandKeysGoToASession() && isSessionPage(m_tabs->currentWidget()))
            QMetaObject::invokeMethod(m_tabs->currentWidget(), "on_NewSessionButton_clicked");
    });
    file->addSeparator();
    QAction* connections = file->addAction(QCoreApplication::translate("MainFile", "Connections"));
    connections->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(connections, &QAction::triggered, this, &MainWindow::openConnectionList);
    connect(file->addAction(QCoreApplication::translate("MainFile", "Import Connections")), &QAction::triggered,
            this, &MainWindow::importConnections);
    connect(file->addAction(QCoreApplication::translate("MainFile", "Connections Folder")), &QAction::triggered,
            this, [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(m_userConnectionFolder)); });
    file->addSeparator();
    m_quitAction = file->addAction(tr("Quit"));
    m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(m_quitAction, &QAction::triggered, this, [this] {
        if (!commandKeysGoToASession())
            QCoreApplication::exit(0);
    });
    QAction* closeTabAction = file->addAction(QCoreApplication::translate("MainFile", "Close Tab"));
    closeTabAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(closeTabAction, &QAction::triggered, this, [this] {
        if (!commandKeysGoToASession() && m_tabs->count() > 0)
            closeTab(m_tabs->currentIndex());
    });

    m_sessionMenu = menuBar()->addMenu(tr("Session"));
    for (const SessionMenuEntry& entry : sessionMenuEntries) {
        if (entry.code == 1024)
            m_sessionMenu->addSeparator();
        QAction* action = m_sessionMenu->addAction(tr(entry.text));
        action->setData(entry.code);
        action->setEnabled(false);
        if (entry.code == 16)
            action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
        if (entry.code == 256) {
            action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
            action->setMenuRole(QAction::NoRole);
        }
        connect(action, &QAction::triggered, this, &MainWindow::sessionMenuAction);
        if (entry.code == 2)
            m_sessionMenu->addSeparator();
    }

    m_viewMenu = menuBar()->addMenu(tr("View"));
    const auto onPage = [this](const char* method) {
        return [this, method] {
            if (isSessionPage(m_tabs->currentWidget()))
                QMetaObject::invokeMethod(m_tabs->currentWidget(), method);
        };
    };
    m_listAction = m_viewMenu->addAction(tr("List"));
    connect(m_listAction, &QAction::triggered, this, onPage("showListPage"));
    m_gridAction = m_viewMenu->addAction(tr("Grid"));
    connect(m_gridAction, &QAction::triggered, this, onPage("showGridPage"));
    m_viewMenu->addSeparator();
    QAction* bookmarks = m_viewMenu->addAction(tr("Bookmarks"));
    connect(bookmarks, &QAction::triggered, this, onPage("on_BookmarkButton_clicked"));
    m_viewMenu->addSeparator();
    QAction* log = m_viewMenu->addAction(tr("Connection Log"));
    connect(log, &QAction::triggered, this, onPage("on_LogButton_clicked"));
    m_viewActions = {m_listAction, m_gridAction, bookmarks, log};
    for (QAction* action : m_viewActions)
        action->setEnabled(false);
    // Runs before updateForCurrentTab, which is connected after this.
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] {
        const bool session = isSessionPage(m_tabs->currentWidget());
        for (QAction* action : m_viewActions)
            action->setEnabled(session);
    });
}

void MainWindow::openConnectionList() {
    auto* page = new ConnectionWindow(m_userConnectionFolder, m_systemConnectionFolder, this);
    const int index = m_tabs->addTab(page, QStringLiteral("Connections"));
    m_tabs->setCurrentIndex(index);
    page->setFocusPolicy(Qt::StrongFocus);
    page->setFocus(Qt::OtherFocusReason);
    page->focusTable();
    page->setAttribute(Qt::WA_DeleteOnClose);
    watchConnectionList(page);
}

void MainWindow::watchConnectionList(ConnectionWindow* page) {
    connect(page, &ConnectionWindow::doRun, this, [this, page] { openConnection(page); });
}

void MainWindow::openConnection(ConnectionWindow* listPage) {
    const ConnectionPtr connection = listPage->currentConnection();
    if (!connection)
        return;
    const int index = m_tabs->indexOf(listPage);
    QWidget* page = connection->open(this);
    if (!page)
        return;
    page->show();
    if (index >= 0)
        listPage->close();
    const int at = m_tabs->insertTab(index, page, page->windowTitle());
    m_tabs->setCurrentIndex(at);

    connect(page, &QObject::destroyed, this, [this](QObject* gone) { removePageTab(static_cast<QWidget*>(gone)); });
    // String-based: the page type belongs to the sessions library, which the shell does not need.
    connect(page, SIGNAL(begin()), this, SLOT(pageBegan()));
    connect(page, SIGNAL(widgetClosed()), this, SLOT(pageClosed()));
    connect(page, SIGNAL(failed(QString, QString, QString)), this, SLOT(pageFailed(QString, QString, QString)));
    connect(page, SIGNAL(showSessionMenu(int)), this, SLOT(pageSessionMenu(int)));
    connect(page, SIGNAL(gridView()), this, SLOT(pageViewChanged()));
    connect(page, SIGNAL(listView()), this, SLOT(pageViewChanged()));
}

void MainWindow::pageBegan() {
    if (auto* page = qobject_cast<QWidget*>(sender()))
        rememberOpenConnection(page);
}

void MainWindow::pageClosed() {
    if (auto* page = qobject_cast<QWidget*>(sender()))
        forgetOpenConnection(page);
}

void MainWindow::pageFailed(const QString& reason, const QString& details, const QString& log) {
    if (auto* page = qobject_cast<QWidget*>(sender()))
        showSessionFailure(page, reason, details, log);
}

void MainWindow::pageSessionMenu(int mask) {
    if (auto* page = qobject_cast<QWidget*>(sender()))
        applySessionMenu(page, mask);
}

void MainWindow::pageViewChanged() {
    // The entries are not checkable, so there is no mark to set.
}

void MainWindow::removePageTab(QWidget* page) {
    const int index = m_tabs->indexOf(page);
    if (index >= 0)
        m_tabs->removeTab(index);
    if (m_tabs->count() == 0 && !m_shutDownLoop && !m_shuttingDown)
        openConnectionList();
}

void MainWindow::updateForCurrentTab() {
    QWidget* page = m_tabs->currentWidget();
    if (isSessionPage(page)) {
        m_stack->setCurrentWidget(m_tabStack);
        QMetaObject::invokeMethod(page, "updateActions");
        return;
    }
    m_newSessionAction->setEnabled(false);
    for (QAction* action : m_sessionMenu->actions())
        if (!action->isSeparator())
            action->setEnabled(false);
    if (page) {
        m_stack->setCurrentWidget(m_tabStack);
    } else {
        m_stack->setCurrentWidget(m_noneStack);
        for (QAction* action : m_viewActions)
            action->setEnabled(false);
    }
}

void MainWindow::applySessionMenu(QWidget* page, int mask) {
    if (page != m_tabs->currentWidget())
        return;
    m_newSessionAction->setEnabled(mask & 1);
    for (QAction* action : m_sessionMenu->actions()) {
        const int code = action->data().toInt();
        if (code != 0)
            action->setEnabled(mask & code);
    }
}

void MainWindow::sessionMenuAction() {
    auto* action = qobject_cast<QAction*>(sender());
    const int code = action ? action->data().toInt() : 0;
    if (code != 0 && m_tabs->currentWidget())
        QMetaObject::invokeMethod(m_tabs->currentWidget(), "currentSessionAction", Q_ARG(int, code));
}

void MainWindow::rememberOpenConnection(QWidget* page) {
    emit connectionCountChanged(m_tabs->count());
    setFocus(Qt::OtherFocusReason);
    const QJsonObject json = connectionJsonOf(page);
    const QString file = json.value(QLatin1String("filename")).toString();
    if (file.isEmpty())
        return;
    QSettings settings;
    settings.beginGroup(QStringLiteral("OpenConnections"));
    settings.setValue(file, QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)));
}

void MainWindow::forgetOpenConnection(QWidget* page) {
    const QString file = connectionJsonOf(page).value(QLatin1String("filename")).toString();
    if (file.isEmpty())
        return;
    QSettings settings;
    settings.beginGroup(QStringLiteral("OpenConnections"));
    settings.remove(file);
}

void MainWindow::showSessionFailure(QWidget* page, const QString& reason, const QString& details,
                                    const QString& log) {
    int index = m_tabs->indexOf(page);
    if (index < 0) {
        page->show();
        index = m_tabs->insertTab(m_tabs->currentIndex(), page, page->windowTitle());
    }
    auto* failure = new SessionListFailedWidget(this);
    failure->setReason(reason);
    failure->setDetails(details);
    failure->setLog(log);
    const QString title = page->windowTitle();
    const int at = m_tabs->insertTab(index, failure, title);
    m_tabs->setCurrentIndex(at);
    failure->setAttribute(Qt::WA_DeleteOnClose);
    failure->setFocus(Qt::OtherFocusReason);
    failure->show();
    failure->focusReconnect();
    failure->setConnectionJson(connectionJsonOf(page));
    page->close();
    connect(failure, &SessionListFailedWidget::done, this, [this, failure] {
        failure->close();
    });
    connect(failure, &QObject::destroyed, this, [this, failure] { removePageTab(failure); });
    connect(failure, &SessionListFailedWidget::reconnect, this,
            [this, failure](const QJsonObject& json) { reconnect(failure, json); });
}

void MainWindow::reconnect(QWidget* failurePage, const QJsonObject& json) {
    const int index = m_tabs->indexOf(failurePage);
    if (index < 0)
        return;
    // A list page that is never shown runs the connection; it goes with the failure page.
    auto* runner = new ConnectionWindow(m_userConnectionFolder, m_systemConnectionFolder, failurePage);
    runner->hide();
    watchConnectionList(runner);
    m_tabs->setCurrentIndex(index);
    runner->runConnection(json, false);
    failurePage->close();
}

void MainWindow::closeTab(int index) {
    QWidget* page = m_tabs->widget(index);
    if (!page)
        return;
    page->close();
    const int still = m_tabs->indexOf(page);
    if (still >= 0)
        m_tabs->removeTab(still);
    if (m_tabs->count() == 0)
        openConnectionList();
}

void MainWindow::importConnections() {
    const QStringList files =
        QFileDialog::getOpenFileNames(this, tr("Select files to import"), m_userConnectionFolder,
                                      tr("Velnor Files (*.velnor *.xml)"));
    if (files.isEmpty())
        return;
    const QStringList problems = importFiles(files);
    if (!problems.isEmpty())
        QMessageBox::warning(this, tr("Import Connections"), problems.join(QLatin1Char('\n')));
}

QStringList MainWindow::importFiles(const QStringList& files) {
    QStringList problems;
    QStringList withOptions;
    ConnectionImporter importer;
    QDir().mkpath(m_userConnectionFolder);
    for (const QString& path : files) {
        const QString name = QFileInfo(path).fileName();
        QJsonObject json;
        if (QFileInfo(path).suffix() == QLatin1String("velnor")) {
            QFile file(path);
            QJsonParseError error{};
            QJsonDocument document;
            if (file.open(QIODevice::ReadOnly))
                document = QJsonDocument::fromJson(file.readAll(), &error);
            if (!file.isOpen() || error.error != QJsonParseError::NoError || !document.isObject() ||
                document.object().value(QLatin1String("host")).toString().isEmpty()) {
                problems << tr("%1: not a connection file").arg(name);
                continue;
            }
            json = document.object();
        } else {
            json = importer.read(path);
            if (importer.hasError() || json.isEmpty()) {
                problems << tr("%1: %2").arg(name, importer.errorString());
                continue;
            }
        }
        // Written under its own name or the next free one: nothing existing is replaced.
        const bool productFile = QFileInfo(path).suffix() == QLatin1String("velnor");
        if (!importer.save(json, m_userConnectionFolder, productFile ? name : QString())) {
            problems << tr("%1: %2").arg(name, importer.errorString());
            continue;
        }
        if (json.value(QLatin1String("type")).toString() == QLatin1String("ssh") &&
            !json.value(QLatin1String("sshOptions")).toArray().isEmpty())
            withOptions << name;
    }
    for (ConnectionWindow* list : findChildren<ConnectionWindow*>())
        list->model()->reload();
    if (!withOptions.isEmpty())
        QMessageBox::information(
            this, tr("Import Connections"),
            tr("These connections pass options to ssh; check them before use, since such options can run "
               "local commands:\n%1")
                .arg(withOptions.join(QLatin1Char('\n'))));
    return problems;
}

void MainWindow::shutDown() {
    m_shuttingDown = true;
    for (int index = m_tabs->count() - 1; index >= 0; --index) {
        QWidget* page = m_tabs->widget(index);
        page->close();
        if (isSessionPage(page))
            QMetaObject::invokeMethod(page, "logout");
        const int still = m_tabs->indexOf(page);
        if (still >= 0)
            m_tabs->removeTab(still);
    }
    if (RpcInstanceWeb::pendingDisposals(this) == 0)
        return;
    // Bounded: a sign-out that never answers must not keep the process alive.
    QEventLoop loop;
    m_shutDownLoop = &loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, &MainWindow::logout);
    poll.start(100);
    QTimer::singleShot(m_shutDownLimitMs, &loop, &QEventLoop::quit);
    loop.exec();
    m_shutDownLoop = nullptr;
}

void MainWindow::logout() {
    if (m_shutDownLoop && RpcInstanceWeb::pendingDisposals() == 0)
        m_shutDownLoop->quit();
}

void MainWindow::saveGeometry() {
    QSettings().setValue(QStringLiteral("MainGeometry"), QMainWindow::saveGeometry());
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    saveGeometry();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    saveGeometry();
}

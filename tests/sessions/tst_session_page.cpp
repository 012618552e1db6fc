#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "TestRpcInstance.h"
#include "bookmarks/BookmarkDialog.h"
#include "bookmarks/StartSessionDialog.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/ConnectionContext.h"
#include "sessions/ScreenShotCache.h"
#include "sessions/SessionActions.h"
#include "sessions/SessionDelegate.h"
#include "sessions/SessionDialogs.h"
#include "sessions/SessionListWidget.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionViewer.h"

#include <QAction>
#include <QApplication>
#include <QBackingStore>
#include <QComboBox>
#include <QHeaderView>
#include <QImage>
#include <QJsonArray>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTableWidget>
#include <QTest>
#include <QElapsedTimer>

using HttpsPeer::Response;
using HttpsPeer::Server;
using HttpsPeer::SessionRoutes;

namespace {

constexpr int wait = 10000;
const QString connectPath = QStringLiteral("/v3/api/session/connect");
const QString disconnectPath = QStringLiteral("/v3/api/session/disconnect");
const QString logoutPath = QStringLiteral("/v3/api/user/logout");

QJsonObject session(const QString& id, const QString& name, const QString& started) {
    return QJsonObject{{"id", id},
                       {"command", "xterm"},
                       {"clientCount", 0},
                       {"windowMode", "desktop"},
                       {"started", started},
                       {"params", QJsonObject{{"name", name}}}};
}

const QJsonArray twoSessions{session("s1", "Alpha", "2026-01-01T10:00:00Z"),
                             session("s2", "Beta", "2026-01-01T11:00:00Z")};

template <typename T>
T* child(QObject* parent, const char* name) {
    return parent->findChild<T*>(QLatin1String(name));
}

QPushButton* button(QObject* page, const char* name) {
    return child<QPushButton>(page, name);
}

// The accessors share their names with the page's signals; a const page picks the accessor.
QTableView* listOf(const SessionListWidget* page) {
    return page->listView();
}

QListView* gridOf(const SessionListWidget* page) {
    return page->gridView();
}

// The id that the one open info dialog shows; the dialog is closed.
QString shownSessionId(QWidget* page) {
    QString id;
    for (InfoDialog* dialog : page->findChildren<InfoDialog*>()) {
        if (!dialog->isVisible())
            continue;
        for (int r = 0; r < dialog->table()->rowCount(); ++r)
            if (dialog->table()->item(r, 0)->text() == QLatin1String("Session Id"))
                id = dialog->table()->item(r, 1)->text();
        dialog->close();
    }
    return id;
}

void closeBoxes() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget))
            box->close();
}

// A server interface that only tells its transport and counts its disposals.
class NamedTransport : public TestRpcInstance {
public:
    explicit NamedTransport(const QString& name)
        : name(name) {}
    QString transportName() const override { return name; }
    void dispose(QSharedPointer<RpcInstance>) override { ++disposals; }
    QString name;
    int disposals = 0;
};

// A signed-in web transport on the test server and a session page on it.
struct PageUnderTest {
    Server server;
    SessionRoutes routes{server};
    QSharedPointer<RpcInstance> rpc;
    QScopedPointer<SessionListWidget> page;
    // The user profile's answer; the server's default when empty.
    QJsonObject profile;
    // The connection's host options.
    QVariantMap hostInfo;

    ~PageUnderTest() { page.reset(); }

    bool start(const QJsonArray& own, bool sharedList = false) {
        routes.setOwn(own);
        routes.setShared(sharedList ? own : QJsonArray());
        routes.addOperationRoutes();
        // A connect that fails on the server: counted there, and no viewer starts.
        server.route("POST", connectPath,
                     [](const HttpsPeer::Request&) { return Response::error("denied", "not here"); });
        if (!profile.isEmpty())
            server.route("POST", QStringLiteral("/v3/api/user/me"),
                         [this](const HttpsPeer::Request&) { return Response::result(profile); });
        if (!server.start(Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        web->sshAuth(QJsonObject());
        if (!QTest::qWaitFor([this] { return server.openStreams() == 1; }, wait))
            return false;
        auto context = QSharedPointer<ConnectionContext>::create();
        context->hostInfo = hostInfo;
        page.reset(new SessionListWidget(rpc, context, QJsonObject()));
        page->beginInteraction();
        return QTest::qWaitFor([this, own] { return page->model()->rowCount() == own.size(); }, wait);
    }

    bool show() {
        page->resize(900, 516);
        page->show();
        return QTest::qWaitForWindowExposed(page.data());
    }
};

// The grid's index of a session.
QModelIndex cellOf(const SessionListWidget* page, const QString& id) {
    return static_cast<QSortFilterProxyModel*>(page->gridView()->model())
        ->mapFromSource(page->model()->indexOfSession(id));
}

// What the window shows of each repaint of a card's screenshot, read from the window's backing
// store after the repaint, so that looking paints nothing: its picture (the test server's dark
// blue), the blank card (white), or nothing of it (scrolled away).
class CardWatch : public QObject {
public:
    enum Shown { Picture, Blank, Other };

    CardWatch(const SessionListWidget* page, const QString& id)
        : page(page)
        , grid(page->gridView())
        , delegate(page->delegate())
        , id(id) {
        grid->viewport()->installEventFilter(this);
    }

    // The card's screenshot area in viewport coordinates; empty while the card has no cell.
    QRect shotRect() const {
        const QModelIndex index = cellOf(page, id);
        if (!index.isValid())
            return QRect();
        return delegate->templateViewer()->screenshotRect().translated(grid->visualRect(index).topLeft());
    }

    Shown shown() const {
        QBackingStore* store = grid->window()->backingStore();
        const QRect rect = shotRect();
        if (!store || rect.isEmpty() || store->paintDevice()->devType() != QInternal::Image)
            return Other;
        const QImage& pixels = *static_cast<const QImage*>(store->paintDevice());
        // Left of the camera icon and below the band over a selected card.
        const QPoint at = grid->viewport()->mapTo(grid->window(),
                                                  rect.topLeft() + QPoint(4, SessionDelegate::bandHeight + 10));
        if (!pixels.rect().contains(at))
            return Other;
        const QColor color = pixels.pixelColor(at);
        if (color == QColor(Qt::white))
            return Blank;
        return color.blue() > 100 && color.red() < 40 && color.green() < 40 ? Picture : Other;
    }

    // What each repaint that covered the card showed, oldest first.
    QList<Shown> repaints;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint &&
            static_cast<QPaintEvent*>(event)->region().intersects(shotRect()))
            // Looked at once the window's repaint is done.
            QMetaObject::invokeMethod(this, [this] { repaints << shown(); }, Qt::QueuedConnection);
        return false;
    }

private:
    const SessionListWidget* page;
    QListView* grid;
    SessionDelegate* delegate;
    QString id;
};

} // namespace

class TestSessionPage : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup() { closeBoxes(); }
    void startPage_data();
    void startPage();
    void switchingPagesWritesTheSetting();
    void imagesAreBuiltIn();
    void listColumnWidths_data();
    void listColumnWidths();
    void gridButtonsFollowTheDelegate();
    void editButtonsEditTheName();
    void newScreenshotRepaintsItsCell();
    void cardOnScreenKeepsItsPicture_data();
    void cardOnScreenKeepsItsPicture();
    void cardsScrolledAwayAreDropped();
    void listButtonsAndPlainNames();
    void sharedModeHidesEditAndClose();
    void newSessionDialogIsRaised();
    void playTwiceWithinASecondConnectsOnce();
    void arrowsOnARowButtonMoveTheRow();
    void buttonColumnHeaderDoesNotSort();
    void tabWalksTheRowButtons();
    void bookmarksFollowThePermission_data();
    void bookmarksFollowThePermission();
    void webPageSignsOutOnce();
    void logoutByTransport_data();
    void logoutByTransport();
    void sessionChangeIsAnnounced();
    void hostWithoutScreenshotsShowsTheList();
    void currentSessionSurvivesALargeList();
    void actionsReachTheHighlightedSession_data();
    void actionsReachTheHighlightedSession();

private:
    QScopedPointer<QTemporaryDir> m_settings;
};

void TestSessionPage::initTestCase() {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    registerSessionMetaTypes();
    QSettings::setDefaultFormat(QSettings::IniFormat);
}

void TestSessionPage::init() {
    // Every test starts without settings.
    m_settings.reset(new QTemporaryDir);
    QVERIFY(m_settings->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings->path());
}

void TestSessionPage::startPage_data() {
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<bool>("grid");
    QTest::newRow("no setting: grid") << QVariant() << true;
    QTest::newRow("grid") << QVariant(true) << true;
    QTest::newRow("list") << QVariant(false) << false;
    QTest::newRow("mistyped: grid") << QVariant(QStringLiteral("sideways")) << true;
}

void TestSessionPage::startPage() {
    QFETCH(QVariant, setting);
    QFETCH(bool, grid);
    if (setting.isValid())
        QSettings().setValue(QStringLiteral("ShowGrid"), setting);
    SessionListWidget page(nullptr, nullptr, QJsonObject());
    // Connected after construction, as the main window does.
    QSignalSpy grids(&page, SIGNAL(gridView()));
    QSignalSpy lists(&page, SIGNAL(listView()));
    QCOMPARE(child<QStackedWidget>(&page, "stackedWidget")->currentIndex(), grid ? 1 : 0);
    QCOMPARE(child<QAction>(&page, "ShowGridAction")->isChecked(), grid);
    QCOMPARE(child<QAction>(&page, "ShowListAction")->isChecked(), !grid);
    QTRY_COMPARE_WITH_TIMEOUT(grids.size() + lists.size(), 1, wait);
    QCoreApplication::processEvents();
    QCOMPARE(grids.size(), grid ? 1 : 0);
    QCOMPARE(lists.size(), grid ? 0 : 1);
}

void TestSessionPage::switchingPagesWritesTheSetting() {
    SessionListWidget page(nullptr, nullptr, QJsonObject());
    const QSharedPointer<ScreenShotCache> cache = page.screenShotCache();
    cache->screenShot(QStringLiteral("s1"));
    QVERIFY(cache->contains(QStringLiteral("s1")));

    child<QAction>(&page, "ShowListAction")->trigger();
    QCOMPARE(child<QStackedWidget>(&page, "stackedWidget")->currentIndex(), 0);
    QCOMPARE(QSettings().value(QStringLiteral("ShowGrid")).toBool(), false);
    QVERIFY(!cache->contains(QStringLiteral("s1")));

    QSignalSpy grids(&page, SIGNAL(gridView()));
    child<QAction>(&page, "ShowGridAction")->trigger();
    QCOMPARE(child<QStackedWidget>(&page, "stackedWidget")->currentIndex(), 1);
    QCOMPARE(QSettings().value(QStringLiteral("ShowGrid")).toBool(), true);
    QCOMPARE(grids.size(), 1);
    QVERIFY(!child<QAction>(&page, "ShowListAction")->isChecked());

    // The main window's entries check the page's own actions too.
    page.showListPage();
    QVERIFY(child<QAction>(&page, "ShowListAction")->isChecked());
    QVERIFY(!child<QAction>(&page, "ShowGridAction")->isChecked());
}

void TestSessionPage::imagesAreBuiltIn() {
    SessionListWidget page(nullptr, nullptr, QJsonObject());
    QStringList paths{":/fontawesome/create.svg", ":/fontawesome/more.svg"};
    for (const char* name : {"folders-dark", "ios-bookmarks-outline", "ios-paper-outline", "tavik-edit", "tavik-close",
                             "ellipsis-h-dark", "ellipsis-h-light"})
        paths << QStringLiteral(":/images/resources/%1.svg").arg(QLatin1String(name));
    for (const char* name : {"tavik-grid-play", "tavik-grid-edit", "tavik-grid-close"})
        for (const char* state : {"", "-hover", "-pressed"})
            paths << QStringLiteral(":/images/resources/%1%2.svg").arg(QLatin1String(name), QLatin1String(state));
    for (const QString& path : paths)
        QVERIFY2(!QImage(path).isNull(), qPrintable(path));
}

void TestSessionPage::listColumnWidths_data() {
    QTest::addColumn<int>("viewport");
    QTest::addColumn<QList<int>>("widths");
    QTest::newRow("528") << 528 << QList<int>{200, 100, 100, 100, 28};
    QTest::newRow("530") << 530 << QList<int>{202, 100, 100, 100, 28};
}

void TestSessionPage::listColumnWidths() {
    QFETCH(int, viewport);
    QFETCH(QList<int>, widths);
    SessionListWidget page(nullptr, nullptr, QJsonObject());
    page.showListPage();
    page.resize(700, 400);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QTableView* list = listOf(&page);
    const int frame = page.width() - list->viewport()->width();
    page.resize(viewport + frame, 400);
    QTRY_COMPARE_WITH_TIMEOUT(list->viewport()->width(), viewport, wait);
    QHeaderView* header = list->horizontalHeader();
    QTRY_COMPARE_WITH_TIMEOUT(header->sectionSize(0), widths.at(0), wait);
    for (int column = 1; column < widths.size(); ++column)
        QCOMPARE(header->sectionSize(column), widths.at(column));
}

void TestSessionPage::gridButtonsFollowTheDelegate() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showGridPage();
    QVERIFY(t.show());
    QListView* grid = gridOf(t.page.data());
    QTRY_VERIFY_WITH_TIMEOUT(grid->currentIndex().isValid(), wait);
    const QModelIndex index = grid->currentIndex();
    // Placed over the current card once the grid has laid its cards out.
    QTRY_VERIFY_WITH_TIMEOUT(grid->visualRect(index).contains(button(t.page.data(), "gridPlayButton")->geometry()),
                             wait);
    SessionDelegate* delegate = t.page->delegate();
    // The cell is the card, not a fixed grid size.
    QCOMPARE(grid->visualRect(index).size(), delegate->sizeHint(QStyleOptionViewItem(), index));
    QVERIFY(grid->visualRect(index).width() > 220 && grid->visualRect(index).height() > 160);

    const QStyleOptionViewItem option;
    const QList<QPair<const char*, QRect>> expected{
        {"gridPlayButton", delegate->centerButtonRect(option, index)},
        {"gridEditButton", delegate->editButtonRect(option, index)},
        {"gridCloseButton", delegate->topRightButtonRect(option, index)},
        {"gridMenuButton", delegate->topLeftButtonRect(option, index)}};
    for (const auto& entry : expected) {
        QPushButton* b = button(t.page.data(), entry.first);
        QTRY_VERIFY2_WITH_TIMEOUT(b->isVisible(), entry.first, wait);
        QCOMPARE(b->parentWidget(), grid->viewport());
        QCOMPARE(b->geometry(), entry.second);
    }
    QCOMPARE(button(t.page.data(), "gridMenuButton")->menu(), t.page->sessionMenu());

    // The second card's buttons sit on that card.
    const QModelIndex second = grid->model()->index(1, 0);
    grid->setCurrentIndex(second);
    QCOMPARE(button(t.page.data(), "gridPlayButton")->geometry(), delegate->centerButtonRect(option, second));
    QVERIFY(grid->visualRect(second).contains(button(t.page.data(), "gridPlayButton")->geometry()));
}

void TestSessionPage::editButtonsEditTheName() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showListPage();
    QVERIFY(t.show());
    QTableView* list = listOf(t.page.data());
    QPushButton* listEdit = button(t.page.data(), "listEditButton");
    QTRY_VERIFY_WITH_TIMEOUT(listEdit->isVisible(), wait);
    // No key or click on a row starts an edit; only the button does.
    QTest::keyClick(list, Qt::Key_F2);
    QVERIFY(!list->viewport()->findChild<QLineEdit*>());
    listEdit->click();
    auto* editor = list->viewport()->findChild<QLineEdit*>();
    QVERIFY(editor);
    QCOMPARE(editor->text(), list->currentIndex().sibling(list->currentIndex().row(), 0).data().toString());
    editor->setText(QStringLiteral("Renamed"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(!t.server.requests(QStringLiteral("/v3/api/session/params")).isEmpty(), wait);

    t.page->showGridPage();
    QListView* grid = gridOf(t.page.data());
    QPushButton* gridEdit = button(t.page.data(), "gridEditButton");
    // Placed over the current card once the grid has laid its cards out.
    QTRY_VERIFY_WITH_TIMEOUT(gridEdit->isVisible() &&
                                 grid->visualRect(grid->currentIndex()).contains(gridEdit->geometry()),
                             wait);
    gridEdit->click();
    // The editor covers the card's bottom row.
    auto* gridEditor = grid->viewport()->findChild<QLineEdit*>();
    QVERIFY(gridEditor);
    QVERIFY(grid->visualRect(grid->currentIndex()).contains(gridEditor->geometry()));
    QVERIFY(gridEditor->geometry().contains(gridEdit->geometry().center()));
}

void TestSessionPage::newScreenshotRepaintsItsCell() {
    // Records the areas the grid repaints.
    struct PaintLog : QObject {
        QList<QRegion> regions;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint)
                regions << static_cast<QPaintEvent*>(event)->region();
            return false;
        }
    } log;
    PageUnderTest t;
    t.routes.setShot(QStringLiteral("s1"), SessionRoutes::Labelled, 300);
    t.routes.setShot(QStringLiteral("s2"), SessionRoutes::Missing);
    QVERIFY(t.start(twoSessions));
    t.page->showGridPage();
    QVERIFY(t.show());
    QListView* grid = gridOf(t.page.data());
    grid->viewport()->installEventFilter(&log);
    const QSharedPointer<ScreenShotCache> cache = t.page->screenShotCache();
    QTRY_VERIFY_WITH_TIMEOUT(!cache->screenShot(QStringLiteral("s1")).isNull(), wait);
    const QModelIndex index =
        static_cast<QSortFilterProxyModel*>(grid->model())
            ->mapFromSource(t.page->model()->indexOfSession(QStringLiteral("s1")));
    const QRect cell = grid->visualRect(index);
    const auto cellRepainted = [&] {
        for (const QRegion& region : log.regions)
            if (region.contains(cell) && region.boundingRect() != grid->viewport()->rect())
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(cellRepainted(), wait);
}

void TestSessionPage::cardOnScreenKeepsItsPicture_data() {
    QTest::addColumn<int>("shot");
    QTest::addColumn<int>("delay");
    QTest::newRow("refresh fails") << int(SessionRoutes::Missing) << 0;
    QTest::newRow("answer is no picture") << int(SessionRoutes::NotAnImage) << 0;
    QTest::newRow("slow answers") << int(SessionRoutes::Labelled) << 700;
}

void TestSessionPage::cardOnScreenKeepsItsPicture() {
    QFETCH(int, shot);
    QFETCH(int, delay);
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showGridPage();
    QVERIFY(t.show());
    const QSharedPointer<ScreenShotCache> cache = t.page->screenShotCache();
    CardWatch watch(t.page.data(), QStringLiteral("s1"));
    CardWatch other(t.page.data(), QStringLiteral("s2"));
    QTRY_VERIFY_WITH_TIMEOUT(watch.shown() == CardWatch::Picture && other.shown() == CardWatch::Picture, wait);
    QTRY_VERIFY_WITH_TIMEOUT(watch.repaints.contains(CardWatch::Picture), wait);

    // From now on s1's refreshes go wrong or take long; s2's keep coming back at once, so the
    // grid repaints s2's card and not s1's. Nothing else on the page repaints the grid meanwhile.
    t.routes.setShot(QStringLiteral("s1"), SessionRoutes::Shot(shot), delay);
    const int paintedAge = 400;
    cache->refreshTimer()->setInterval(50);
    cache->setRefreshAge(100);
    cache->setPaintedAge(paintedAge);
    watch.repaints.clear();
    const int before = t.routes.screenshotRequests().count(QStringLiteral("s1"));
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(t.routes.screenshotRequests().count(QStringLiteral("s1")) >= before + 3 &&
                                 clock.elapsed() > 3 * paintedAge,
                             wait);
    QVERIFY2(!watch.repaints.contains(CardWatch::Blank), "the card on screen lost its picture");
    QVERIFY(cache->contains(QStringLiteral("s1")));
    if (shot != SessionRoutes::Labelled)
        QVERIFY(!t.rpc->log().filter(QStringLiteral("Failed to get a screen shot for session s1: ")).isEmpty());

    // A repaint of the whole grid, as a resize brings, still shows both pictures: a failed
    // refresh kept the old one.
    watch.repaints.clear();
    other.repaints.clear();
    t.page->resize(t.page->width() + 10, t.page->height());
    QTRY_VERIFY_WITH_TIMEOUT(!watch.repaints.isEmpty() && !other.repaints.isEmpty(), wait);
    QCOMPARE(watch.repaints.last(), CardWatch::Picture);
    QCOMPARE(other.repaints.last(), CardWatch::Picture);
}

void TestSessionPage::cardsScrolledAwayAreDropped() {
    PageUnderTest t;
    QJsonArray many;
    for (int i = 0; i < 40; ++i)
        many.append(session(QStringLiteral("m%1").arg(i, 2, 10, QLatin1Char('0')), QStringLiteral("Card %1").arg(i),
                            QStringLiteral("2026-01-01T10:%1:00Z").arg(i, 2, 10, QLatin1Char('0'))));
    QVERIFY(t.start(many));
    t.page->showGridPage();
    QVERIFY(t.show());
    QListView* grid = gridOf(t.page.data());
    const QSharedPointer<ScreenShotCache> cache = t.page->screenShotCache();
    const auto idAt = [grid](int row) {
        return grid->model()->index(row, 0).data(SessionModel::SessionRole).value<Session>().id();
    };
    const auto onScreen = [grid](int row) {
        return grid->visualRect(grid->model()->index(row, 0)).intersects(grid->viewport()->rect());
    };
    const QString top = idAt(0);
    const QString bottom = idAt(many.size() - 1);
    // The user starts at the top.
    grid->verticalScrollBar()->setValue(0);
    CardWatch topCard(t.page.data(), top);
    QTRY_COMPARE_WITH_TIMEOUT(topCard.shown(), CardWatch::Picture, wait);
    QVERIFY(!onScreen(many.size() - 1));

    // Scrolled to the end: the first cards leave the viewport, the last ones come in and load.
    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum());
    QVERIFY(!onScreen(0));
    QVERIFY(onScreen(many.size() - 1));
    CardWatch bottomCard(t.page.data(), bottom);
    QTRY_COMPARE_WITH_TIMEOUT(bottomCard.shown(), CardWatch::Picture, wait);
    bottomCard.repaints.clear();

    const int paintedAge = 400;
    cache->refreshTimer()->setInterval(50);
    cache->loader()->pacingTimer()->setInterval(20);
    cache->setRefreshAge(100);
    cache->setPaintedAge(paintedAge);
    // The card scrolled away goes and is not asked for again; the one on screen stays and refreshes.
    QTRY_VERIFY_WITH_TIMEOUT(!cache->contains(top), wait);
    const int topRequests = t.routes.screenshotRequests().count(top);
    const int bottomRequests = t.routes.screenshotRequests().count(bottom);
    QTest::qWait(3 * paintedAge);
    QCOMPARE(t.routes.screenshotRequests().count(top), topRequests);
    QVERIFY(t.routes.screenshotRequests().count(bottom) > bottomRequests);
    QVERIFY(cache->contains(bottom));
    QVERIFY(!bottomCard.repaints.isEmpty());
    QVERIFY(!bottomCard.repaints.contains(CardWatch::Blank));
    for (int row = 0; row < grid->model()->rowCount(); ++row)
        if (!onScreen(row))
            QVERIFY2(!cache->contains(idAt(row)), qPrintable(idAt(row)));
}

void TestSessionPage::listButtonsAndPlainNames() {
    PageUnderTest t;
    const QString markup = QStringLiteral("<b>Bold</b> name");
    QVERIFY(t.start(QJsonArray{session("s1", markup, "2026-01-01T10:00:00Z")}));
    t.page->showListPage();
    QVERIFY(t.show());
    QTableView* list = listOf(t.page.data());
    QTRY_VERIFY_WITH_TIMEOUT(list->currentIndex().isValid(), wait);
    const QModelIndex name = list->model()->index(0, 0);
    QCOMPARE(name.data().toString(), markup);
    // Shown as typed: the cell needs the width of every character, tags included.
    QVERIFY(list->sizeHintForIndex(name).width() >= list->fontMetrics().horizontalAdvance(markup));

    QPushButton* menu = button(t.page.data(), "listMenuButton");
    QPushButton* close = button(t.page.data(), "listCloseButton");
    QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible() && close->isVisible(), wait);
    QCOMPARE(menu->parentWidget(), list->viewport());
    const QRect r1 = list->visualRect(list->model()->index(0, 1));
    const QRect r4 = list->visualRect(list->model()->index(0, 4));
    QCOMPARE(menu->geometry().right(), r1.right() - 4);
    QCOMPARE(menu->geometry().size(), QSize(21, 21));
    QCOMPARE(close->geometry().left(), r4.left() + 4);
    QCOMPARE(menu->menu(), t.page->sessionMenu());

    // The close button asks before it terminates.
    close->click();
    QTRY_VERIFY_WITH_TIMEOUT(t.page->findChild<QuestionDialog*>(), wait);
    t.page->findChild<QuestionDialog*>()->reject();
    QCOMPARE(t.routes.operations(QStringLiteral("/v3/api/session/terminate")).size(), 0);
}

void TestSessionPage::sharedModeHidesEditAndClose() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions, true));
    t.page->showListPage();
    QVERIFY(t.show());
    QPushButton* newSession = button(t.page.data(), "NewSessionButton");
    QTRY_VERIFY_WITH_TIMEOUT(button(t.page.data(), "listCloseButton")->isVisible(), wait);
    QVERIFY(newSession->isEnabled());

    child<QComboBox>(t.page.data(), "SharedWithMeComboBox")->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(!t.server.requests(QStringLiteral("/v3/api/session/list-shared")).isEmpty(), wait);
    QVERIFY(!newSession->isEnabled());
    const auto check = [&](const char* hidden1, const char* hidden2, const char* shown) {
        QTRY_VERIFY2_WITH_TIMEOUT(button(t.page.data(), shown)->isVisible(), shown, wait);
        QVERIFY2(!button(t.page.data(), hidden1)->isVisible(), hidden1);
        QVERIFY2(!button(t.page.data(), hidden2)->isVisible(), hidden2);
    };
    check("listEditButton", "listCloseButton", "listMenuButton");
    // Moving to another row keeps them hidden.
    listOf(t.page.data())->setCurrentIndex(listOf(t.page.data())->model()->index(1, 0));
    check("listEditButton", "listCloseButton", "listMenuButton");
    t.page->showGridPage();
    check("gridEditButton", "gridCloseButton", "gridPlayButton");
    QVERIFY(button(t.page.data(), "gridMenuButton")->isVisible());
    QVERIFY(!newSession->isEnabled());
}

void TestSessionPage::newSessionDialogIsRaised() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    QVERIFY(t.show());
    t.page->on_NewSessionButton_clicked();
    QTRY_COMPARE_WITH_TIMEOUT(t.page->findChildren<StartSessionDialog*>().size(), 1, wait);
    StartSessionDialog* first = t.page->findChildren<StartSessionDialog*>().at(0);
    t.page->on_NewSessionButton_clicked();
    QCoreApplication::processEvents();
    QCOMPARE(t.page->findChildren<StartSessionDialog*>().size(), 1);
    QCOMPARE(t.page->findChildren<StartSessionDialog*>().at(0), first);
    QVERIFY(first->isVisible());
    first->close();
}

void TestSessionPage::playTwiceWithinASecondConnectsOnce() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showGridPage();
    QVERIFY(t.show());
    QPushButton* play = button(t.page.data(), "gridPlayButton");
    QTRY_VERIFY_WITH_TIMEOUT(play->isVisible(), wait);
    QTest::mouseClick(play, Qt::LeftButton);
    QTest::mouseClick(play, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(t.server.requests(connectPath).size(), 1, wait);
    // A later request as the marker that a second connect, if any, has gone out.
    t.page->currentSessionAction(SessionAction::Disconnect);
    QTRY_COMPARE_WITH_TIMEOUT(t.routes.operations(disconnectPath).size(), 1, wait);
    QCOMPARE(t.server.requests(connectPath).size(), 1);
}

void TestSessionPage::arrowsOnARowButtonMoveTheRow() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showListPage();
    QVERIFY(t.show());
    QTableView* list = listOf(t.page.data());
    QPushButton* menu = button(t.page.data(), "listMenuButton");
    QTRY_VERIFY_WITH_TIMEOUT(list->currentIndex().isValid() && menu->isVisible(), wait);
    const int first = list->currentIndex().row();
    const int y = menu->geometry().center().y();
    QTest::keyClick(menu, first == 0 ? Qt::Key_Down : Qt::Key_Up);
    QCOMPARE(list->currentIndex().row(), 1 - first);
    // The buttons follow the row.
    QVERIFY(menu->geometry().center().y() != y);
    const QModelIndex menuCell = list->model()->index(list->currentIndex().row(), 1);
    QVERIFY(list->visualRect(menuCell).contains(menu->geometry().center()));
}

void TestSessionPage::buttonColumnHeaderDoesNotSort() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showListPage();
    QVERIFY(t.show());
    QHeaderView* header = listOf(t.page.data())->horizontalHeader();
    QTRY_COMPARE_WITH_TIMEOUT(header->sectionSize(4), 28, wait);
    const int section = header->sortIndicatorSection();
    const Qt::SortOrder order = header->sortIndicatorOrder();
    const QString top = listOf(t.page.data())->model()->index(0, 0).data().toString();
    const QPoint overButtons(header->sectionViewportPosition(4) + 14, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, overButtons);
    QCOMPARE(header->sortIndicatorSection(), section);
    QCOMPARE(header->sortIndicatorOrder(), order);
    QCOMPARE(listOf(t.page.data())->model()->index(0, 0).data().toString(), top);
    // Any other header still sorts.
    const QPoint overName(header->sectionViewportPosition(0) + 10, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, overName);
    QCOMPARE(header->sortIndicatorSection(), 0);
}

void TestSessionPage::tabWalksTheRowButtons() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showListPage();
    QVERIFY(t.show());
    QApplication::setActiveWindow(t.page.data());
    QTableView* list = listOf(t.page.data());
    QTRY_VERIFY_WITH_TIMEOUT(button(t.page.data(), "listMenuButton")->isVisible(), wait);
    list->setCurrentIndex(list->model()->index(0, 0));
    list->setFocus();
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(list), wait);
    const bool editShown = button(t.page.data(), "listEditButton")->isVisible();
    QStringList forward;
    for (int i = 0; i < (editShown ? 4 : 3); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        forward << QApplication::focusWidget()->objectName();
    }
    QStringList expected{"listMenuButton", "listCloseButton", "SessionListView"};
    if (editShown)
        expected.prepend(QStringLiteral("listEditButton"));
    QCOMPARE(forward, expected);
    QCOMPARE(list->currentIndex().row(), 1);
    // Back from the second row: the first row's last button.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(list->currentIndex().row(), 0);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("listCloseButton"));

    // From the tool bar into the view: New Session to the first row, More back to the last row's buttons.
    QPushButton* newSession = button(t.page.data(), "NewSessionButton");
    newSession->setFocus();
    list->setCurrentIndex(list->model()->index(1, 0));
    QTest::keyClick(newSession, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(list));
    QCOMPARE(list->currentIndex().row(), 0);
    QPushButton* more = button(t.page.data(), "MoreButton");
    more->setFocus();
    QTest::keyClick(more, Qt::Key_Backtab);
    QCOMPARE(list->currentIndex().row(), 1);
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("listCloseButton"));
}

void TestSessionPage::bookmarksFollowThePermission_data() {
    QTest::addColumn<QJsonObject>("permissions");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("own bookmarks allowed")
        << QJsonObject{{"user", QJsonObject{{"bookmark", QJsonObject{{"user", true}}}}}} << true;
    QTest::newRow("own bookmarks not allowed")
        << QJsonObject{{"user", QJsonObject{{"bookmark", QJsonObject{{"user", false}, {"global", true}}}}}}
        << false;
}

void TestSessionPage::bookmarksFollowThePermission() {
    QFETCH(QJsonObject, permissions);
    QFETCH(bool, enabled);
    PageUnderTest t;
    t.profile = QJsonObject{{"permissions", permissions}, {"config", QJsonObject()}};
    QVERIFY(t.start(twoSessions));
    auto* action = child<QAction>(t.page.data(), "bookmarksAction");
    QVERIFY(action);
    QVERIFY(t.page->viewMenu()->actions().contains(action));
    QTRY_VERIFY_WITH_TIMEOUT(!t.server.requests(QStringLiteral("/v3/api/user/me")).isEmpty(), wait);
    QTRY_COMPARE_WITH_TIMEOUT(action->isEnabled(), enabled, wait);
    // Each request opens another dialog, editable as the profile says.
    t.page->on_BookmarkButton_clicked();
    t.page->on_BookmarkButton_clicked();
    const QList<BookmarkDialog*> dialogs = t.page->findChildren<BookmarkDialog*>();
    QCOMPARE(dialogs.size(), 2);
    for (BookmarkDialog* dialog : dialogs) {
        QCOMPARE(dialog->userBookmarksEditable(), enabled);
        QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
        dialog->close();
    }
}

void TestSessionPage::webPageSignsOutOnce() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->logout();
    t.page.reset();
    QTRY_COMPARE_WITH_TIMEOUT(t.server.requests(logoutPath).size(), 1, wait);
    // The interface lives on until the sign-out has been answered.
    QTRY_COMPARE_WITH_TIMEOUT(RpcInstanceWeb::pendingDisposals(nullptr), 0, wait);
    QCOMPARE(t.server.requests(logoutPath).size(), 1);
}

void TestSessionPage::logoutByTransport_data() {
    QTest::addColumn<QString>("transport");
    QTest::addColumn<int>("disposals");
    QTest::newRow("web") << QStringLiteral("Web") << 1;
    QTest::newRow("ssh") << QStringLiteral("Ssh") << 0;
}

void TestSessionPage::logoutByTransport() {
    QFETCH(QString, transport);
    QFETCH(int, disposals);
    auto rpc = QSharedPointer<NamedTransport>::create(transport);
    {
        SessionListWidget page(rpc, nullptr, QJsonObject());
        page.logout();
        page.logout();
    }
    QCOMPARE(rpc->disposals, disposals);
    {
        SessionListWidget page(rpc, nullptr, QJsonObject());
    }
    QCOMPARE(rpc->disposals, 2 * disposals);
}


void TestSessionPage::actionsReachTheHighlightedSession_data() {
    QTest::addColumn<bool>("grid");
    QTest::addColumn<QString>("highlighted");
    for (const bool grid : {false, true})
        for (const char* id : {"old", "young"})
            QTest::addRow("%s page, %s", grid ? "grid" : "list", id) << grid << QString::fromLatin1(id);
}

void TestSessionPage::actionsReachTheHighlightedSession() {
    QFETCH(bool, grid);
    QFETCH(QString, highlighted);
    // The list shows the older session first, the grid the younger: the two views disagree on rows.
    QJsonObject young = session("young", "Young one", "2026-01-01T11:00:00Z");
    young.insert("clientCount", 1);
    PageUnderTest t;
    QVERIFY(t.start(QJsonArray{session("old", "Old one", "2026-01-01T10:00:00Z"), young}));
    if (grid)
        t.page->showGridPage();
    else
        t.page->showListPage();
    QVERIFY(t.show());
    QAbstractItemView* shown = grid ? static_cast<QAbstractItemView*>(gridOf(t.page.data()))
                                    : static_cast<QAbstractItemView*>(listOf(t.page.data()));
    QAbstractItemView* hidden = grid ? static_cast<QAbstractItemView*>(listOf(t.page.data()))
                                     : static_cast<QAbstractItemView*>(gridOf(t.page.data()));
    const auto rowOf = [](QAbstractItemView* view, const QString& id) {
        for (int r = 0; r < view->model()->rowCount(); ++r) {
            const QModelIndex index = view->model()->index(r, 0);
            if (index.data(SessionModel::SessionRole).value<Session>().id() == id)
                return index;
        }
        return QModelIndex();
    };
    const QString other = highlighted == QLatin1String("old") ? QStringLiteral("young") : QStringLiteral("old");
    QVERIFY(rowOf(listOf(t.page.data()), "old").row() == 0 && rowOf(gridOf(t.page.data()), "young").row() == 0);
    // The hidden view's current row is the other session.
    QSignalSpy masks(t.page.data(), &SessionListWidget::showSessionMenu);
    hidden->setCurrentIndex(rowOf(hidden, other));
    shown->setCurrentIndex(rowOf(shown, highlighted));
    t.page->updateActions();

    // Enabled states: only the young session has a client to disconnect.
    const int disconnect = highlighted == QLatin1String("young") ? int(SessionAction::Disconnect) : 0;
    QVERIFY(!masks.isEmpty());
    QCOMPARE(masks.last().at(0).toInt() & SessionAction::Disconnect, disconnect);
    QAction* info = nullptr;
    for (QAction* action : t.page->sessionMenu()->actions()) {
        if (action->data().toInt() == SessionAction::Disconnect)
            QCOMPARE(action->isEnabled(), disconnect != 0);
        if (action->data().toInt() == SessionAction::Info)
            info = action;
    }
    QVERIFY(info);

    // The main window's Session menu and the page's own.
    t.page->currentSessionAction(SessionAction::Info);
    QCOMPARE(shownSessionId(t.page.data()), highlighted);
    info->trigger();
    QCOMPARE(shownSessionId(t.page.data()), highlighted);

    // The row context menu makes its row current and acts on it.
    shown->setCurrentIndex(rowOf(shown, other));
    emit shown->customContextMenuRequested(shown->visualRect(rowOf(shown, highlighted)).center());
    QTRY_VERIFY_WITH_TIMEOUT(t.page->sessionMenu()->isVisible(), wait);
    t.page->sessionMenu()->hide();
    info->trigger();
    QCOMPARE(shownSessionId(t.page.data()), highlighted);

    // Return and Ctrl+O connect to it. The server refuses, and its box takes the focus each time.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_O)}) {
        const int sent = t.server.requests(connectPath).size();
        t.page->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(t.page.data()));
        shown->setFocus();
        QTest::keySequence(shown, key);
        QTRY_COMPARE_WITH_TIMEOUT(t.server.requests(connectPath).size(), sent + 1, wait);
        QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<QMessageBox*>(QApplication::activeWindow()), wait);
        closeBoxes();
    }
    for (const HttpsPeer::Request& request : t.server.requests(connectPath))
        QCOMPARE(request.json().value("id").toString(), highlighted);
}

void TestSessionPage::sessionChangeIsAnnounced() {
    QJsonObject busy = session("s2", "Beta", "2026-01-01T11:00:00Z");
    busy.insert("clientCount", 1);
    PageUnderTest t;
    QVERIFY(t.start(QJsonArray{twoSessions.at(0), busy}));
    // By name, as the main window connects to the page.
    QSignalSpy changes(t.page.data(), SIGNAL(sessionChanged(bool)));
    QVERIFY(changes.isValid());
    // A rename here, then a change that the server pushes.
    const QModelIndex name = t.page->model()->indexOfSession("s1");
    QVERIFY(t.page->model()->setData(name, QStringLiteral("Renamed"), Qt::EditRole));
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.at(0).at(0).toBool(), true);
    busy.insert("clientCount", 0);
    t.page->model()->updateSession(Session::fromJson(busy));
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.at(1).at(0).toBool(), true);
}

void TestSessionPage::hostWithoutScreenshotsShowsTheList() {
    QSettings().setValue(QStringLiteral("ShowGrid"), true);
    PageUnderTest t;
    t.hostInfo.insert(QStringLiteral("screenShot"), false);
    QVERIFY(t.start(twoSessions));
    QCOMPARE(child<QStackedWidget>(t.page.data(), "stackedWidget")->currentIndex(), 0);
    auto* grid = child<QAction>(t.page.data(), "ShowGridAction");
    QVERIFY(!grid->isEnabled());
    QVERIFY(!grid->isChecked());
    QVERIFY(child<QAction>(t.page.data(), "ShowListAction")->isChecked());
    // The user's choice for other hosts stays.
    QCOMPARE(QSettings().value(QStringLiteral("ShowGrid")).toBool(), true);
    // The main window's Grid entry does not bring the grid back.
    t.page->showGridPage();
    QCOMPARE(child<QStackedWidget>(t.page.data(), "stackedWidget")->currentIndex(), 0);
    QVERIFY(!grid->isChecked());
    QCOMPARE(QSettings().value(QStringLiteral("ShowGrid")).toBool(), true);
}

void TestSessionPage::currentSessionSurvivesALargeList() {
    PageUnderTest t;
    QVERIFY(t.start(twoSessions));
    t.page->showListPage();
    QVERIFY(t.show());
    QTableView* list = listOf(t.page.data());
    QListView* grid = gridOf(t.page.data());
    const auto select = [](QAbstractItemView* view, const QString& id) {
        for (int r = 0; r < view->model()->rowCount(); ++r)
            if (view->model()->index(r, 0).data(SessionModel::SessionRole).value<Session>().id() == id)
                view->setCurrentIndex(view->model()->index(r, 0));
    };
    select(list, "s2");
    select(grid, "s1");
    // Hundreds of sessions more: the model is reset rather than told row by row.
    QJsonArray many = twoSessions;
    for (int i = 0; i < 300; ++i)
        many.append(session(QStringLiteral("n%1").arg(i, 3, 10, QLatin1Char('0')), "New", "2026-01-02T10:00:00Z"));
    t.routes.setOwn(many);
    QSignalSpy resets(t.page->model(), &QAbstractItemModel::modelReset);
    t.page->model()->forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(t.page->model()->rowCount(), 302, wait);
    QCOMPARE(resets.size(), 1);
    QCOMPARE(list->currentIndex().data(SessionModel::SessionRole).value<Session>().id(), QStringLiteral("s2"));
    QCOMPARE(grid->currentIndex().data(SessionModel::SessionRole).value<Session>().id(), QStringLiteral("s1"));
    QVERIFY(button(t.page.data(), "listMenuButton")->isVisible());
}

QTEST_MAIN(TestSessionPage)
#include "tst_session_page.moc"

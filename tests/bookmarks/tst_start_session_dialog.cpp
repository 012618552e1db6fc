#include "BookmarkWebPeer.h"

#include "bookmarks/BookmarkModel.h"
#include "bookmarks/StartSessionDialog.h"

#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QHelpEvent>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStringListModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <QTreeWidget>

using HttpsPeer::BookmarkRoutes;

namespace {

constexpr int wait = 10000;

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

// The bookmark of the worked example: applied and accepted unchanged it gives exampleRequest.
QJsonObject term() {
    return json(R"({"id":"b7","name":"Term","command":"xterm -ls","geometry":"1024x768","profile":"",
                    "params":{"a":1},"form":["f1"]})");
}

QJsonObject exampleRequest() {
    return json(R"({"command":"xterm -ls","geometry":"1024x768","name":"Term",
                    "params":{"a":1,"bookmarkId":"b7"},"forms":["f1"]})");
}

QStringList rowsOf(const QStringListModel* model) {
    return model->stringList();
}

} // namespace

class TestStartSessionDialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firstBookmarkGivesTheRequest();
    void rootlessBookmark();
    void commandToolTipIsText();
    void editsDropTheKeptFields_data();
    void editsDropTheKeptFields();
    void fullscreenWithoutBookmark();
    void leadingBlankIsNotACommand();
    void toggledFramesAreRemembered();
    void tagList_data();
    void tagList();
    void refreshKeepsTheCurrentTag();
    void keepingRows_data();
    void keepingRows();
    void suggestionsPopup();
    void emptyPopup();
    void favouriteActions();
    void bookmarksDisabledAppliesNothing();
    void lockedCommand();
    void silentServerLeavesItUsable();

private:
    StartSessionDialog* dialog(const QVariantMap& config = {}, bool lockCommand = false);
    template <typename T>
    T* child(const char* name) {
        return m_dialog->findChild<T*>(QLatin1String(name));
    }
    QLineEdit* command() { return child<QLineEdit>("CommandLineEdit"); }
    QComboBox* mode() { return child<QComboBox>("WindowModeComboBox"); }
    QLineEdit* geometry() { return child<QLineEdit>("GeometryLineEdit"); }
    QPushButton* ok() { return child<QDialogButtonBox>("ButtonBox")->button(QDialogButtonBox::Ok); }
    bool waitForBookmarks(int rows);

    std::unique_ptr<QTemporaryDir> m_settings;
    std::unique_ptr<BookmarkWebPeer> m_peer;
    std::unique_ptr<StartSessionDialog> m_dialog;
};

void TestStartSessionDialog::initTestCase() {
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    QCoreApplication::setOrganizationName("velnor-tests");
    QCoreApplication::setApplicationName("tst_start_session_dialog");
    QSettings::setDefaultFormat(QSettings::IniFormat);
}

void TestStartSessionDialog::init() {
    m_settings.reset(new QTemporaryDir);
    QVERIFY(m_settings->isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings->path());
    m_peer.reset(new BookmarkWebPeer);
    QVERIFY(m_peer->start());
}

void TestStartSessionDialog::cleanup() {
    m_dialog.reset();
    m_peer.reset();
}

StartSessionDialog* TestStartSessionDialog::dialog(const QVariantMap& config, bool lockCommand) {
    m_dialog.reset(new StartSessionDialog(m_peer->rpc, lockCommand, config));
    return m_dialog.get();
}

bool TestStartSessionDialog::waitForBookmarks(int rows) {
    return QTest::qWaitFor(
        [this, rows] {
            return m_dialog->bookmarkModel()->rowCount() == rows && !m_dialog->bookmarkModel()->settleTimer()->isActive();
        },
        wait);
}

void TestStartSessionDialog::firstBookmarkGivesTheRequest() {
    m_peer->routes.user = QJsonArray{term()};
    dialog();
    QCOMPARE(ok()->isEnabled(), false);
    QVERIFY(waitForBookmarks(1));
    QCOMPARE(child<QLabel>("TagLabel")->text(), MyBookmarksTag);
    QCOMPARE(command()->text(), QString("xterm -ls"));
    QCOMPARE(mode()->currentText(), QString("Single"));
    QVERIFY(ok()->isEnabled());
    QCOMPARE(m_dialog->sessionParams(), exampleRequest());

    // Switching to full screen is an edit: the bookmark's fields go.
    mode()->setCurrentText("Fullscreen");
    QCOMPARE(m_dialog->sessionParams(),
             json(R"({"command":"xterm -ls","geometry":"1024x768","params":{"windowMode":"fullscreen"}})"));
}

void TestStartSessionDialog::rootlessBookmark() {
    QJsonObject b = term();
    b.insert("geometry", "rootless");
    m_peer->routes.user = QJsonArray{b};
    dialog();
    QVERIFY(waitForBookmarks(1));
    QCOMPARE(mode()->currentText(), QString("Multiple"));
    QCOMPARE(geometry()->text(), QString());
    QVERIFY(!geometry()->isEnabled());
    QCOMPARE(m_dialog->sessionParams().value("geometry").toString(), QString("rootless"));
    QCOMPARE(m_dialog->sessionParams().value("name").toString(), QString("Term"));
}

// A bookmark's tool tip is its command, the server's text: markup in it is shown as it is.
void TestStartSessionDialog::commandToolTipIsText() {
    QJsonObject b = term();
    const QString command = "xterm <img src=\"/etc/hostname\"><b>-ls</b>";
    b.insert("command", command);
    m_peer->routes.user = QJsonArray{b};
    dialog()->show();
    QVERIFY(waitForBookmarks(1));
    auto* view = child<QListView>("BookmarkListView");
    const QRect rect = view->visualRect(view->model()->index(0, 0));
    QVERIFY(rect.isValid());
    QHelpEvent help(QEvent::ToolTip, rect.center(), view->viewport()->mapToGlobal(rect.center()));
    QCoreApplication::sendEvent(view->viewport(), &help);
    const QString shown = QToolTip::text();
    QVERIFY(!shown.isEmpty());
    // What the tip shows, read as Qt reads a tip: markup when it looks like markup.
    QTextDocument document;
    if (Qt::mightBeRichText(shown))
        document.setHtml(shown);
    else
        document.setPlainText(shown);
    QCOMPARE(document.toPlainText(), command);
    QToolTip::hideText();
}

void TestStartSessionDialog::editsDropTheKeptFields_data() {
    QTest::addColumn<QString>("field");
    QTest::newRow("command") << "CommandLineEdit";
    QTest::newRow("geometry") << "GeometryLineEdit";
}

void TestStartSessionDialog::editsDropTheKeptFields() {
    QFETCH(QString, field);
    m_peer->routes.user = QJsonArray{term()};
    dialog();
    QVERIFY(waitForBookmarks(1));
    QCOMPARE(m_dialog->sessionParams(), exampleRequest());
    QTest::keyClicks(m_dialog->findChild<QLineEdit*>(field), "0");
    const QJsonObject request = m_dialog->sessionParams();
    for (const char* key : {"name", "profile", "params", "forms"})
        QVERIFY2(!request.contains(key), key);
    QCOMPARE(request.value("command").toString(), field == "CommandLineEdit" ? "xterm -ls0" : "xterm -ls");
}

void TestStartSessionDialog::fullscreenWithoutBookmark() {
    dialog();
    QVERIFY(waitForBookmarks(0));
    QTest::keyClicks(command(), "top");
    mode()->setCurrentText("Single");
    QVERIFY(geometry()->isEnabled());
    QTest::keyClicks(geometry(), "640x480");
    mode()->setCurrentText("Fullscreen");
    QVERIFY(!geometry()->isEnabled());
    QCOMPARE(m_dialog->sessionParams(),
             json(R"({"command":"top","geometry":"640x480","params":{"windowMode":"fullscreen"}})"));
    mode()->setCurrentText("Multiple");
    QCOMPARE(m_dialog->sessionParams(), json(R"({"command":"top","geometry":"rootless"})"));
}

void TestStartSessionDialog::leadingBlankIsNotACommand() {
    QJsonObject blank = json(R"({"id":"a","command":" xterm","geometry":"800x600"})");
    QJsonObject good = json(R"({"id":"b","command":"xterm","geometry":"800x600"})");
    m_peer->routes.user = QJsonArray{blank, good};
    dialog();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    QVERIFY(waitForBookmarks(2));
    QCOMPARE(command()->text(), QString(" xterm"));
    QVERIFY(!ok()->isEnabled());
    QSignalSpy finished(m_dialog.get(), &QDialog::finished);

    auto* view = child<QListView>("BookmarkListView");
    const auto doubleClick = [view](int row) {
        const QRect rect = view->visualRect(view->model()->index(row, 0));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rect.center());
    };
    doubleClick(0);
    QVERIFY(m_dialog->isVisible());
    m_dialog->done(QDialog::Accepted);
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(finished.size(), 0);

    doubleClick(1);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(m_dialog->result(), int(QDialog::Accepted));
    QCOMPARE(m_dialog->sessionParams().value("command").toString(), QString("xterm"));
}

void TestStartSessionDialog::toggledFramesAreRemembered() {
    dialog();
    auto* tags = child<QWidget>("TagListView");
    auto* frame = child<QWidget>("CommandEditFrame");
    QVERIFY(!tags->isHidden());
    QVERIFY(!frame->isHidden());
    QTest::mouseClick(child<QPushButton>("ToggleTagsButton"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>("ToggleCommandButton"), Qt::LeftButton);
    QVERIFY(tags->isHidden());
    QVERIFY(frame->isHidden());

    dialog();
    QVERIFY(child<QWidget>("TagListView")->isHidden());
    QVERIFY(child<QWidget>("CommandEditFrame")->isHidden());
    QTest::mouseClick(child<QPushButton>("ToggleTagsButton"), Qt::LeftButton);
    dialog();
    QVERIFY(!child<QWidget>("TagListView")->isHidden());
    QVERIFY(child<QWidget>("CommandEditFrame")->isHidden());
}

void TestStartSessionDialog::tagList_data() {
    QTest::addColumn<QVariant>("hideTags");
    QTest::addColumn<QStringList>("tags");
    const QStringList all{"<b>Tools</b>", "Global Bookmarks", "My Bookmarks", "All Bookmarks"};
    QTest::newRow("nothing hidden") << QVariant() << all;
    QTest::newRow("system") << QVariant(QVariantList{"system"})
                            << QStringList{"<b>Tools</b>", "My Bookmarks", "All Bookmarks"};
    QTest::newRow("all") << QVariant(QVariantList{"all"}) << QStringList{"<b>Tools</b>", "Global Bookmarks", "My Bookmarks"};
    QTest::newRow("not an array") << QVariant("all") << all;
}

void TestStartSessionDialog::tagList() {
    QFETCH(QVariant, hideTags);
    QFETCH(QStringList, tags);
    m_peer->routes.user = QJsonArray{term()};
    m_peer->routes.system = QJsonArray{BookmarkRoutes::entry("s1", "Desk", "desk", "rootless", {"<b>Tools</b>"})};
    m_peer->routes.history = QJsonArray{BookmarkRoutes::entry("h1", "", "top", "800x600")};
    QVariantMap config;
    if (hideTags.isValid())
        config.insert("hideTags", hideTags);
    dialog(config);
    QVERIFY(waitForBookmarks(3));
    const auto* model = qobject_cast<QStringListModel*>(child<QListView>("TagListView")->model());
    QCOMPARE(rowsOf(model), tags);
    // The first tag is current, and its first bookmark applied. A tag is the server's text: markup in
    // it is shown as it is.
    QCOMPARE(child<QLabel>("TagLabel")->text(), tags.at(0));
    QCOMPARE(child<QLabel>("TagLabel")->textFormat(), Qt::PlainText);
    QCOMPARE(command()->text(), QString("desk"));
}

void TestStartSessionDialog::refreshKeepsTheCurrentTag() {
    m_peer->routes.user = QJsonArray{term()};
    m_peer->routes.system = QJsonArray{BookmarkRoutes::entry("s1", "Desk", "desk")};
    dialog();
    QVERIFY(waitForBookmarks(2));
    auto* tagView = child<QListView>("TagListView");
    auto* tags = tagView->model();
    tagView->setCurrentIndex(tags->index(2, 0));
    QCOMPARE(child<QLabel>("TagLabel")->text(), AllBookmarksTag);
    QCOMPARE(child<QListView>("BookmarkListView")->model()->rowCount(), 2);

    QSignalSpy reset(tags, &QAbstractItemModel::modelReset);
    QSignalSpy current(tagView->selectionModel(), &QItemSelectionModel::currentChanged);
    QSignalSpy updated(m_dialog->bookmarkModel(), &BookmarkModel::bookmarksUpdated);
    m_peer->routes.system = QJsonArray{BookmarkRoutes::entry("s1", "Renamed", "desk")};
    m_dialog->bookmarkModel()->fetch();
    QTRY_COMPARE_WITH_TIMEOUT(updated.size(), 1, wait);
    QCOMPARE(tagView->currentIndex().row(), 2);
    QCOMPARE(child<QLabel>("TagLabel")->text(), AllBookmarksTag);
    QCOMPARE(reset.size(), 0);
    QCOMPARE(current.size(), 0);
}

void TestStartSessionDialog::keepingRows_data() {
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("same") << QStringList{"a", "b"} << QStringList{"a", "b"} << QStringList();
    QTest::newRow("one more in the middle") << QStringList{"a", "c"} << QStringList{"a", "b", "c"}
                                            << QStringList{"insert 1"};
    QTest::newRow("fewer") << QStringList{"a", "b", "c"} << QStringList{"a"} << QStringList{"remove 1-2"};
    QTest::newRow("from nothing") << QStringList() << QStringList{"a", "b"} << QStringList{"insert 0", "insert 1"};
    QTest::newRow("to nothing") << QStringList{"a"} << QStringList() << QStringList{"remove 0-0"};
}

void TestStartSessionDialog::keepingRows() {
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(QStringList, events);
    QStringListModel model(before);
    QStringList seen;
    connect(&model, &QAbstractItemModel::rowsInserted, this,
            [&seen](const QModelIndex&, int first) { seen.append(QStringLiteral("insert %1").arg(first)); });
    connect(&model, &QAbstractItemModel::rowsRemoved, this, [&seen](const QModelIndex&, int first, int last) {
        seen.append(QStringLiteral("remove %1-%2").arg(first).arg(last));
    });
    connect(&model, &QAbstractItemModel::modelReset, this, [&seen] { seen.append("reset"); });
    StartSessionDialog::setStringListKeepingRows(&model, after);
    QCOMPARE(model.stringList(), after);
    QCOMPARE(seen, events);
}

void TestStartSessionDialog::suggestionsPopup() {
    m_peer->routes.user = QJsonArray{term()};
    QJsonObject past = json(R"({"id":"h1","command":"top","geometry":"rootless","params":{"p":2},"form":"f2"})");
    m_peer->routes.history = QJsonArray{past, BookmarkRoutes::entry("h2", "", "htop", "640x480")};
    dialog();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    QVERIFY(waitForBookmarks(3));
    QTreeWidget* popup = m_dialog->suggestionsPopup();
    QCOMPARE(popup->topLevelItemCount(), 2);
    QCOMPARE(popup->topLevelItem(0)->text(0), QString("   top (Multiple)"));
    QCOMPARE(popup->topLevelItem(1)->text(0), QString("   htop (640x480)"));
    // Two listed entries, plus the frame.
    QCOMPARE(popup->height(), popup->sizeHintForRow(0) * 2 + 3);

    // Down opens it; Down moves; Escape closes it and gives the command field the focus back.
    command()->setFocus();
    QTest::keyClick(command(), Qt::Key_Down);
    QVERIFY(popup->isVisible());
    QCOMPARE(popup->width(), command()->width());
    QCOMPARE(popup->currentItem(), popup->topLevelItem(0));
    QTest::keyClick(popup, Qt::Key_Down);
    QCOMPARE(popup->currentItem(), popup->topLevelItem(1));
    QTest::keyClick(popup, Qt::Key_Escape);
    QVERIFY(!popup->isVisible());
    QCOMPARE(command()->text(), QString("xterm -ls"));

    // The letter o is typed into the command field; nothing is applied.
    QTest::keyClick(command(), Qt::Key_Down);
    QVERIFY(popup->isVisible());
    QTest::keyClick(popup, Qt::Key_O);
    QVERIFY(!popup->isVisible());
    QCOMPARE(command()->text(), QString("xterm -lso"));
    QVERIFY(!m_dialog->sessionParams().contains("params"));

    // Return applies the current entry with its kept fields.
    QTest::keyClick(command(), Qt::Key_Down);
    popup->setCurrentItem(popup->topLevelItem(0));
    QTest::keyClick(popup, Qt::Key_Return);
    QVERIFY(!popup->isVisible());
    QCOMPARE(m_dialog->sessionParams(),
             json(R"({"command":"top","geometry":"rootless","params":{"p":2,"bookmarkId":"h1"},"forms":["f2"]})"));
}

void TestStartSessionDialog::emptyPopup() {
    m_peer->routes.user = QJsonArray{term()};
    dialog();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    QVERIFY(waitForBookmarks(1));
    QTreeWidget* popup = m_dialog->suggestionsPopup();
    QCOMPARE(popup->topLevelItemCount(), 0);
    QCOMPARE(popup->height(), 3);
    QTest::keyClick(command(), Qt::Key_Down);
    QVERIFY(popup->isVisible());
    QTest::keyClick(popup, Qt::Key_Return);
    QVERIFY(popup->isVisible());
    QTest::mouseClick(popup, Qt::LeftButton);
    QVERIFY(!popup->isVisible());
}

void TestStartSessionDialog::favouriteActions() {
    m_peer->routes.user = QJsonArray{term()};
    dialog();
    QVERIFY(waitForBookmarks(1));
    auto* view = child<QListView>("BookmarkListView");
    const QList<QAction*> actions = view->actions();
    QCOMPARE(actions.size(), 2);
    QAction* unfavorite = actions.at(0);
    QAction* favorite = actions.at(1);
    QCOMPARE(unfavorite->text(), QString("Unfavorite"));
    QVERIFY(favorite->isVisible() && favorite->isEnabled());
    QVERIFY(!unfavorite->isVisible());
    const QList<QAction*> menu = child<QPushButton>("FavoriteButton")->menu()->actions();
    QCOMPARE(menu, (QList<QAction*>{favorite, unfavorite}));

    favorite->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(unfavorite->isVisible(), wait);
    QVERIFY(!favorite->isVisible());
    QCOMPARE(m_peer->routes.favorites, QJsonArray{"b7"});
    // The favourite now also carries the tag "Favorites".
    const auto* tags = qobject_cast<QStringListModel*>(child<QListView>("TagListView")->model());
    QTRY_VERIFY_WITH_TIMEOUT(tags->stringList().contains(FavoritesTag), wait);

    unfavorite->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(favorite->isVisible(), wait);
    QCOMPARE(m_peer->routes.favorites, QJsonArray());
}

void TestStartSessionDialog::bookmarksDisabledAppliesNothing() {
    m_peer->routes.user = QJsonArray{term()};
    dialog();
    m_dialog->setBookmarksEnabled(false);
    m_dialog->setCustomEnabled(true);
    QVERIFY(waitForBookmarks(1));
    QVERIFY(!child<QListView>("BookmarkListView")->isEnabled());
    QCOMPARE(command()->text(), QString());
    QTest::keyClicks(command(), "xclock");
    QCOMPARE(m_dialog->sessionParams(), json(R"({"command":"xclock","geometry":"rootless"})"));
}

void TestStartSessionDialog::lockedCommand() {
    m_peer->routes.user = QJsonArray{term()};
    dialog({}, true);
    QVERIFY(!command()->isEnabled());
    QVERIFY(!mode()->isEnabled());
    QVERIFY(!geometry()->isEnabled());
    // A bookmark still fills the locked fields.
    QVERIFY(waitForBookmarks(1));
    QCOMPARE(m_dialog->sessionParams(), exampleRequest());
    m_dialog->setCustomEnabled(false);
    QVERIFY(!child<QWidget>("CommandEditFrame")->isEnabled());
}

void TestStartSessionDialog::silentServerLeavesItUsable() {
    m_peer->server.route("GET", "/v3/api/bookmark/list",
                         [](const HttpsPeer::Request&) { return HttpsPeer::Response::silent(); });
    dialog();
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->server.requests("/v3/api/bookmark/list").size(), 1, wait);
    QTest::keyClicks(command(), "xterm");
    QVERIFY(ok()->isEnabled());
    QSignalSpy accepted(m_dialog.get(), &QDialog::accepted);
    QTest::mouseClick(ok(), Qt::LeftButton);
    QCOMPARE(accepted.size(), 1);
    QCOMPARE(m_dialog->sessionParams(), json(R"({"command":"xterm","geometry":"rootless"})"));
    // Closed with the request still open: the request goes with the dialog.
    m_dialog.reset();
    m_peer->server.dropConnections();
    QTest::qWait(0);
}

QTEST_MAIN(TestStartSessionDialog)
#include "tst_start_session_dialog.moc"

#include "BookmarkWebPeer.h"

#include "bookmarks/BookmarkDialog.h"
#include "bookmarks/BookmarkModel.h"
#include "viewer/widgets/WidgetHelpers.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSortFilterProxyModel>
#include <QTabWidget>
#include <QTableView>
#include <QTest>

using HttpsPeer::BookmarkRoutes;

namespace {

constexpr int wait = 10000;

QJsonObject entry(const QString& id, const QString& name, const QString& command,
                  const QString& geometry = QStringLiteral("1024x768")) {
    return BookmarkRoutes::entry(id, name, command, geometry);
}

Bookmark bookmarkAt(const QModelIndex& index) {
    return Bookmark::fromVariant(index.data(BookmarkModel::BookmarkRole));
}

// An in-place editor of the table has the focus.
bool editing(QTableView* view) {
    QWidget* focus = QApplication::focusWidget();
    return qobject_cast<QLineEdit*>(focus) && focus->parentWidget() == view->viewport();
}

// A user's double click: the first click, then the second one.
void doubleClick(QTableView* view, const QModelIndex& index) {
    const QPoint at = view->visualRect(index).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

QString describe(QWidget* widget) {
    return widget ? widget->objectName() : QStringLiteral("nothing");
}

} // namespace

class TestBookmarkDialog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("velnor.rpc.debug=false"); }
    void init();
    void cleanup();

    void onlyTheUserTableShows();
    void emptyList();
    void newTwice();
    void inPlaceEdit_data();
    void inPlaceEdit();
    void closedWhileEditing();
    void deleteButton();
    void historyButtons();
    void arrowKeysOnARowButton();
    void buttonColumnHeaderNeverSorts();
    void columnWidths_data();
    void columnWidths();
    void userTabOrder();
    void historyTabOrder();
    void withoutPermission();
    void noFreshId_data();
    void noFreshId();

private:
    // The dialog over the peer's lists, shown and active once its first list is merged.
    BookmarkDialog* openDialog(int rows, bool editable = true);
    QTableView* table(const char* name) const {
        return m_dialog->findChild<QTableView*>(QLatin1String(name));
    }
    QTableView* userTable() const { return table("BookmarkListView"); }
    QPushButton* button(const char* name) const {
        return m_dialog->findChild<QPushButton*>(QLatin1String(name));
    }
    QStringList userIds() const;
    // The rectangle a row button should have on the current row, `offset` from the button cell's left.
    static QRect expectedButton(QTableView* view, int offset);

    std::unique_ptr<BookmarkWebPeer> m_peer;
    std::unique_ptr<BookmarkDialog> m_dialog;
};

void TestBookmarkDialog::init() {
    m_peer.reset(new BookmarkWebPeer);
    QVERIFY(m_peer->start());
    m_peer->routes.user =
        QJsonArray{entry("a", "Alpha", "xclock"), entry("b", "Beta", "gedit"), entry("c", "Gamma", "xterm")};
    m_peer->routes.system = QJsonArray{entry("s", "System", "top")};
    m_peer->routes.history = QJsonArray{entry("h1", "Hist", "htop", "800x600"), entry("h2", "Hist2", "vi")};
}

void TestBookmarkDialog::cleanup() {
    m_dialog.reset();
    m_peer.reset();
}

BookmarkDialog* TestBookmarkDialog::openDialog(int rows, bool editable) {
    m_dialog.reset(new BookmarkDialog(m_peer->rpc));
    if (!editable)
        m_dialog->setUserBookmarksEditable(false);
    m_dialog->show();
    QApplication::setActiveWindow(m_dialog.get());
    if (!QTest::qWaitForWindowActive(m_dialog.get()))
        return nullptr;
    BookmarkModel* model = m_dialog->model();
    const bool loaded = QTest::qWaitFor(
        [&] {
            return m_peer->routes.received("list").size() == 1 && model->rowCount() == rows &&
                   !model->settleTimer()->isActive();
        },
        wait);
    // The queued placing of the row buttons after the first layout.
    QCoreApplication::processEvents();
    return loaded ? m_dialog.get() : nullptr;
}

QStringList TestBookmarkDialog::userIds() const {
    QStringList ids;
    QAbstractItemModel* proxy = userTable()->model();
    for (int row = 0; row < proxy->rowCount(); ++row)
        ids.append(bookmarkAt(proxy->index(row, 0)).id());
    return ids;
}

QRect TestBookmarkDialog::expectedButton(QTableView* view, int offset) {
    const QRect cell = view->visualRect(view->currentIndex().siblingAtColumn(4));
    const int y = cell.center().y();
    return QRect(QPoint(cell.left() + offset, y - 10), QPoint(cell.left() + offset + 20, y + 10));
}

void TestBookmarkDialog::onlyTheUserTableShows() {
    QVERIFY(openDialog(6));
    QCOMPARE(m_dialog->windowTitle(), QString("Bookmarks"));
    QVERIFY(!(m_dialog->windowFlags() & Qt::WindowContextHelpButtonHint));
    // User bookmarks only, by command.
    QCOMPARE(userIds(), (QStringList{"b", "a", "c"}));
    QVERIFY(userTable()->isVisible());
    QVERIFY(userTable()->isColumnHidden(1));
    QVERIFY(!m_dialog->findChild<QTabWidget*>("TabWidget")->isVisible());
    // The hidden tables are kept current all the same.
    QCOMPARE(table("SuggestionListView")->model()->rowCount(), 1);
    QCOMPARE(table("HistoryListView")->model()->rowCount(), 2);
    QCOMPARE(bookmarkAt(table("HistoryListView")->currentIndex()).id(), QString("h1"));
    for (const char* name : {"SuggestionListView", "HistoryListView"})
        QVERIFY2(!table(name)->isVisible(), name);
    for (const char* name : {"historyBookmarkButton", "historyDeleteButton"})
        QVERIFY2(!button(name)->isVisible(), name);
    QVERIFY(button("bookmarkDeleteButton")->isVisible());

    QStringList texts;
    for (QAbstractButton* b : m_dialog->findChild<QDialogButtonBox*>("ButtonBox")->buttons())
        texts.append(b->text().remove(QLatin1Char('&')));
    texts.sort();
    QCOMPARE(texts, (QStringList{"Close", "New"}));
}

void TestBookmarkDialog::emptyList() {
    m_peer->routes.user = QJsonArray();
    QVERIFY(openDialog(3));
    QTableView* user = userTable();
    QCOMPARE(user->model()->rowCount(), 0);
    user->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), user);
    QVERIFY(!user->currentIndex().isValid());
    QVERIFY(!button("bookmarkDeleteButton")->isVisible());
    // Tab and Shift+Tab find nothing to walk in the table and leave it.
    QTest::keyClick(user, Qt::Key_Tab);
    QVERIFY(QApplication::focusWidget() != user);
    QVERIFY(!button("bookmarkDeleteButton")->isVisible());
}

void TestBookmarkDialog::newTwice() {
    QVERIFY(openDialog(6));
    QStringList added;
    for (int i = 0; i < 2; ++i) {
        button("newButton")->click();
        const Bookmark current = bookmarkAt(userTable()->currentIndex());
        QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(current.id()).hasMatch());
        QVERIFY(!added.contains(current.id()));
        QCOMPARE(current.name(), QString("New Bookmark"));
        QCOMPARE(current.command(), QString("xterm -ls"));
        QCOMPARE(current.type(), BookmarkType);
        QCOMPARE(userTable()->currentIndex().column(), 0);
        added.append(current.id());
        QCOMPARE(userIds().size(), 4 + i);
        QCOMPARE(button("bookmarkDeleteButton")->geometry(), expectedButton(userTable(), 4));
    }
    // Both go out at once, so they may arrive in either order.
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 2, wait);
    QStringList sentIds;
    for (const QJsonObject& sent : m_peer->routes.received("edit")) {
        sentIds.append(sent.value("id").toString());
        QCOMPARE(sent.value("name").toString(), QString("New Bookmark"));
        QCOMPARE(sent.value("command").toString(), QString("xterm -ls"));
    }
    const QString last = added.at(1);
    sentIds.sort();
    added.sort();
    QCOMPARE(sentIds, added);
    // The server's list brings them back under their ids; the second stays current. (The server may
    // answer the two requests out of order, so the list is asked for once both have arrived.)
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.user.size(), 5, wait);
    m_dialog->model()->fetch();
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("list").size(), 2, wait);
    QTRY_COMPARE_WITH_TIMEOUT(userIds().size(), 5, wait);
    QVERIFY(userIds().contains(added.at(0)) && userIds().contains(added.at(1)));
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), last);
}

void TestBookmarkDialog::inPlaceEdit_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("sent");
    QTest::newRow("name") << 0 << "Renamed"
                          << "name"
                          << "Renamed";
    QTest::newRow("command") << 2 << "xeyes"
                             << "command"
                             << "xeyes";
    QTest::newRow("window size Multiple") << 3 << "Multiple"
                                          << "geometry"
                                          << "rootless";
}

void TestBookmarkDialog::inPlaceEdit() {
    QFETCH(int, column);
    QFETCH(QString, typed);
    QFETCH(QString, field);
    QFETCH(QString, sent);
    QVERIFY(openDialog(6));
    QTableView* user = userTable();
    // Row 1 is "a" (xclock).
    const QModelIndex cell = user->model()->index(1, column);
    user->setFocus(Qt::OtherFocusReason);
    user->setCurrentIndex(cell);
    doubleClick(user, cell);
    QTRY_VERIFY(editing(user));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    editor->selectAll();
    QTest::keyClicks(editor, typed);
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    const QJsonObject request = m_peer->routes.received("edit").at(0);
    QCOMPARE(request.value("id").toString(), QString("a"));
    QCOMPARE(request.value(field).toString(), sent);
    const int row = userIds().indexOf("a");
    QCOMPARE(user->model()->index(row, column).data().toString(), typed);
    // The row button follows the edited row wherever the sort puts it.
    QCOMPARE(bookmarkAt(user->currentIndex()).id(), QString("a"));
    QTRY_COMPARE(button("bookmarkDeleteButton")->geometry(), expectedButton(user, 4));
}

void TestBookmarkDialog::closedWhileEditing() {
    // The page that owns the dialog may go while a cell is being edited. Hiding the dialog on its way
    // out commits the editor; nothing of the dialog may react to that any more.
    QVERIFY(openDialog(6));
    QTableView* user = userTable();
    user->setFocus(Qt::OtherFocusReason);
    user->setCurrentIndex(user->model()->index(0, 0));
    QTest::keyClick(user, Qt::Key_F2);
    QVERIFY(editing(user));
    QTest::keyClicks(QApplication::focusWidget(), "Renamed");
    m_dialog.reset();
    QVERIFY(!QApplication::focusWidget());
}

void TestBookmarkDialog::deleteButton() {
    m_peer->routes.user = QJsonArray{entry("a", "Alpha", "xclock"), entry("b", "Beta", "gedit")};
    QVERIFY(openDialog(5));
    QPushButton* remove = button("bookmarkDeleteButton");
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), QString("b"));
    QVERIFY(remove->isVisible());
    QCOMPARE(remove->geometry(), expectedButton(userTable(), 4));

    remove->click();
    QCOMPARE(userIds(), QStringList{"a"});
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), QString("a"));
    QVERIFY(remove->isVisible());
    QCOMPARE(remove->geometry(), expectedButton(userTable(), 4));
    remove->click();
    QCOMPARE(userIds(), QStringList());
    QVERIFY(!remove->isVisible());

    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("delete").size(), 2, wait);
    QSet<QString> deleted;
    for (const QJsonObject& sent : m_peer->routes.received("delete"))
        deleted.insert(sent.value("id").toString());
    QCOMPARE(deleted, (QSet<QString>{"a", "b"}));
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.user.size(), 0, wait);
    // The hidden tables are untouched.
    QCOMPARE(table("SuggestionListView")->model()->rowCount(), 1);
    QCOMPARE(table("HistoryListView")->model()->rowCount(), 2);
}

void TestBookmarkDialog::historyButtons() {
    QVERIFY(openDialog(6));
    QCOMPARE(bookmarkAt(table("HistoryListView")->currentIndex()).id(), QString("h1"));
    // The star button is never visible; its click is what the history page would offer.
    button("historyBookmarkButton")->click();
    const Bookmark copy = bookmarkAt(userTable()->currentIndex());
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(copy.id()).hasMatch());
    QCOMPARE(copy.type(), BookmarkType);
    QCOMPARE(copy.name(), QString("Hist"));
    QCOMPARE(copy.command(), QString("htop"));
    QCOMPARE(copy.geometry(), QString("800x600"));
    QCOMPARE(userIds().size(), 4);
    QCOMPARE(table("HistoryListView")->model()->rowCount(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    const QJsonObject sent = m_peer->routes.received("edit").at(0);
    QCOMPARE(sent.value("id").toString(), copy.id());
    QCOMPARE(sent.value("command").toString(), QString("htop"));
    QCOMPARE(sent.value("geometry").toString(), QString("800x600"));

    // Its delete button removes the history table's current entry, whatever its row in the model.
    QTableView* history = table("HistoryListView");
    history->setCurrentIndex(history->model()->index(1, 2));
    QCOMPARE(bookmarkAt(history->currentIndex()).id(), QString("h2"));
    button("historyDeleteButton")->click();
    QCOMPARE(history->model()->rowCount(), 1);
    QCOMPARE(bookmarkAt(history->model()->index(0, 2)).id(), QString("h1"));
    QCOMPARE(userIds().size(), 4);
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("delete").size(), 1, wait);
    QCOMPARE(m_peer->routes.received("delete").at(0).value("id").toString(), QString("h2"));
}

void TestBookmarkDialog::arrowKeysOnARowButton() {
    QVERIFY(openDialog(6));
    QTableView* user = userTable();
    QPushButton* remove = button("bookmarkDeleteButton");
    QVERIFY(focusViewFirstRow(user, 0));
    remove->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), remove);

    const struct {
        Qt::Key key;
        int row;
        int column;
    } steps[] = {{Qt::Key_Down, 1, 0}, {Qt::Key_Down, 2, 0}, {Qt::Key_Down, 2, 0}, {Qt::Key_Right, 2, 2},
                 {Qt::Key_Up, 1, 2},   {Qt::Key_Left, 1, 0}, {Qt::Key_Up, 0, 0}};
    for (const auto& step : steps) {
        QTest::keyClick(remove, step.key);
        QCOMPARE(user->currentIndex().row(), step.row);
        QCOMPARE(user->currentIndex().column(), step.column);
        QCOMPARE(QApplication::focusWidget(), remove);
        QCOMPARE(remove->geometry(), expectedButton(user, 4));
    }
}

void TestBookmarkDialog::buttonColumnHeaderNeverSorts() {
    QVERIFY(openDialog(6));
    QHeaderView* header = userTable()->horizontalHeader();
    auto* proxy = qobject_cast<QSortFilterProxyModel*>(userTable()->model());
    QCOMPARE(header->sortIndicatorSection(), 2);
    const auto clickSection = [header](int section) {
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    };
    clickSection(4);
    QTest::mouseDClick(header->viewport(), Qt::LeftButton, {},
                       QPoint(header->sectionViewportPosition(4) + 2, header->height() / 2));
    QCOMPARE(header->sortIndicatorSection(), 2);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(proxy->sortColumn(), 2);
    QCOMPARE(userIds(), (QStringList{"b", "a", "c"}));
    // A click on another section does sort, and the row button follows its row.
    const QString current = bookmarkAt(userTable()->currentIndex()).id();
    clickSection(0);
    QCOMPARE(proxy->sortColumn(), 0);
    QCOMPARE(userIds(), (QStringList{"a", "b", "c"}));
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), current);
    QCOMPARE(button("bookmarkDeleteButton")->geometry(), expectedButton(userTable(), 4));
}

void TestBookmarkDialog::columnWidths_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<int>>("user");    // sections 0, 2, 3, 4
    QTest::addColumn<QList<int>>("history"); // sections 2, 3, 4
    QTest::addColumn<QList<int>>("system");  // sections 0, 2, 3
    QTest::newRow("101") << 101 << QList<int>{25, 24, 24, 28} << QList<int>{25, 24, 52}
                         << QList<int>{35, 33, 33};
    QTest::newRow("102") << 102 << QList<int>{26, 24, 24, 28} << QList<int>{25, 25, 52}
                         << QList<int>{34, 34, 34};
    QTest::newRow("400") << 400 << QList<int>{124, 124, 124, 28} << QList<int>{174, 174, 52}
                         << QList<int>{134, 133, 133};
}

void TestBookmarkDialog::columnWidths() {
    QFETCH(int, width);
    QFETCH(QList<int>, user);
    QFETCH(QList<int>, history);
    QFETCH(QList<int>, system);
    QVERIFY(openDialog(6));
    const auto sections = [](QTableView* view, const QList<int>& logical) {
        QList<int> sizes;
        for (int section : logical)
            sizes.append(view->horizontalHeader()->sectionSize(section));
        return sizes;
    };

    // The shown table follows its viewport's resize.
    QTableView* userView = userTable();
    userView->setFixedWidth(width + userView->width() - userView->viewport()->width());
    QTRY_COMPARE(userView->viewport()->width(), width);
    QTRY_COMPARE(sections(userView, {0, 2, 3, 4}), user);
    QTRY_COMPARE(button("bookmarkDeleteButton")->geometry(), expectedButton(userView, 4));

    // The hidden tables get no resize events; their slots give the widths all the same.
    QTableView* historyView = table("HistoryListView");
    historyView->viewport()->resize(width, 100);
    QVERIFY(QMetaObject::invokeMethod(m_dialog.get(), "resizeHistorySections"));
    QCOMPARE(sections(historyView, {2, 3, 4}), history);
    QTableView* systemView = table("SuggestionListView");
    const int systemButtonColumn = systemView->horizontalHeader()->sectionSize(4);
    systemView->viewport()->resize(width, 100);
    QVERIFY(QMetaObject::invokeMethod(m_dialog.get(), "resizeSuggestionSections"));
    QCOMPARE(sections(systemView, {0, 2, 3}), system);
    QCOMPARE(systemView->horizontalHeader()->sectionSize(4), systemButtonColumn);
}

void TestBookmarkDialog::userTabOrder() {
    QVERIFY(openDialog(6));
    QTableView* user = userTable();
    QPushButton* remove = button("bookmarkDeleteButton");
    auto* buttonBox = m_dialog->findChild<QDialogButtonBox*>("ButtonBox");
    QPushButton* newButton = button("newButton");
    // The chain: tab widget, user table, its button, system table, history table, its two buttons, box.
    const QList<QWidget*> stops{m_dialog->findChild<QTabWidget*>("TabWidget"),
                                user,
                                remove,
                                table("SuggestionListView"),
                                table("HistoryListView"),
                                button("historyBookmarkButton"),
                                button("historyDeleteButton"),
                                newButton,
                                buttonBox->button(QDialogButtonBox::Close)};
    QList<QWidget*> chain;
    for (QWidget* w = m_dialog->nextInFocusChain(); w != m_dialog.get() && chain.size() < stops.size();
         w = w->nextInFocusChain()) {
        if (stops.contains(w))
            chain.append(w);
    }
    QCOMPARE(chain, stops);

    QVERIFY(focusViewFirstRow(user, 0));

    struct Step {
        bool forward;
        QWidget* focus;
        int row;
        int column;
    };
    const auto walk = [&](const QList<Step>& steps) {
        for (int i = 0; i < steps.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), steps[i].forward ? Qt::Key_Tab : Qt::Key_Backtab);
            QWidget* focus = QApplication::focusWidget();
            const QString where = QStringLiteral("step %1: focus on %2 at %3,%4")
                                      .arg(i)
                                      .arg(describe(focus))
                                      .arg(user->currentIndex().row())
                                      .arg(user->currentIndex().column());
            QVERIFY2(focus == steps[i].focus, qPrintable(where));
            QVERIFY2(user->currentIndex().row() == steps[i].row, qPrintable(where));
            QVERIFY2(user->currentIndex().column() == steps[i].column, qPrintable(where));
            if (focus == remove)
                QVERIFY2(remove->geometry() == expectedButton(user, 4), qPrintable(where));
        }
    };
    // Forward: name, command, window size, delete button, then the next row; after the last row the
    // button box.
    walk({{true, user, 0, 2},
          {true, user, 0, 3},
          {true, remove, 0, 3},
          {true, user, 1, 0},
          {true, user, 1, 2},
          {true, user, 1, 3},
          {true, remove, 1, 3},
          {true, user, 2, 0},
          {true, user, 2, 2},
          {true, user, 2, 3},
          {true, remove, 2, 3},
          {true, newButton, 2, 3}});
    if (QTest::currentTestFailed())
        return;
    // Back out of the button box: the last row's delete button, then the same way back.
    walk({{false, remove, 2, 3},
          {false, user, 2, 3},
          {false, user, 2, 2},
          {false, user, 2, 0},
          {false, remove, 1, 3},
          {false, user, 1, 3},
          {false, user, 1, 2},
          {false, user, 1, 0},
          {false, remove, 0, 3},
          {false, user, 0, 3},
          {false, user, 0, 2},
          {false, user, 0, 0}});
    if (QTest::currentTestFailed())
        return;
    // Before the first cell the ordinary chain leads out of the table.
    QTest::keyClick(user, Qt::Key_Backtab);
    QVERIFY(QApplication::focusWidget() != user);
    QCOMPARE(user->currentIndex().row(), 0);
}

void TestBookmarkDialog::historyTabOrder() {
    // The history page's own order, seen by showing its hidden tab widget.
    QVERIFY(openDialog(6));
    auto* tabs = m_dialog->findChild<QTabWidget*>("TabWidget");
    tabs->show();
    tabs->setCurrentIndex(2);
    QVERIFY(!button("newButton")->isEnabled());
    QTableView* history = table("HistoryListView");
    QTRY_VERIFY(history->isVisible());
    QTRY_VERIFY(button("historyDeleteButton")->isVisible());
    QPushButton* star = button("historyBookmarkButton");
    QPushButton* remove = button("historyDeleteButton");
    history->setFocus(Qt::OtherFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), history);
    QCOMPARE(history->currentIndex().row(), 0);
    QCOMPARE(history->currentIndex().column(), 2);

    const struct {
        Qt::Key key;
        QWidget* focus;
        int row;
    } steps[] = {{Qt::Key_Tab, star, 0},     {Qt::Key_Tab, remove, 0},      {Qt::Key_Tab, history, 1},
                 {Qt::Key_Tab, star, 1},     {Qt::Key_Backtab, history, 1}, {Qt::Key_Backtab, remove, 0},
                 {Qt::Key_Backtab, star, 0}, {Qt::Key_Backtab, history, 0}};
    for (const auto& step : steps) {
        QTest::keyClick(QApplication::focusWidget(), step.key);
        QCOMPARE(describe(QApplication::focusWidget()), describe(step.focus));
        QCOMPARE(history->currentIndex().row(), step.row);
        QCOMPARE(star->geometry(), expectedButton(history, 4));
        QCOMPARE(remove->geometry(), expectedButton(history, 28));
    }
    // Back from the first history row: the user table.
    QTest::keyClick(history, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), userTable());
}

void TestBookmarkDialog::withoutPermission() {
    QVERIFY(openDialog(6, false));
    QTableView* user = userTable();
    QPushButton* remove = button("bookmarkDeleteButton");
    QPushButton* newButton = button("newButton");
    QVERIFY(!newButton->isEnabled());
    QVERIFY(user->currentIndex().isValid());
    QVERIFY(!remove->isVisible());

    // No in-place editing, by double click or F2, and the walk skips the hidden button.
    QVERIFY(focusViewFirstRow(user, 0));
    const QModelIndex name = user->model()->index(0, 0);
    doubleClick(user, name);
    QTest::keyClick(user, Qt::Key_F2);
    QVERIFY(!editing(user));
    QCOMPARE(QApplication::focusWidget(), user);
    QTest::keyClick(user, Qt::Key_Tab);
    QTest::keyClick(user, Qt::Key_Tab);
    QTest::keyClick(user, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), user);
    QCOMPARE(user->currentIndex().row(), 1);
    QCOMPARE(user->currentIndex().column(), 0);
    QVERIFY(!remove->isVisible());
    newButton->click();
    remove->click();
    QCOMPARE(userIds().size(), 3);

    // Given back, everything works again.
    m_dialog->setUserBookmarksEditable(true);
    QVERIFY(newButton->isEnabled());
    QVERIFY(remove->isVisible());
    QCOMPARE(remove->geometry(), expectedButton(user, 4));
    QTest::keyClick(user, Qt::Key_F2);
    QVERIFY(editing(user));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);

    // Nothing was sent while the permission was off.
    newButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    QCOMPARE(m_peer->routes.received("edit").at(0).value("name").toString(), QString("New Bookmark"));
    QCOMPARE(m_peer->routes.received("delete").size(), 0);
}

void TestBookmarkDialog::noFreshId_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("New") << "newButton";
    QTest::newRow("star of a history entry") << "historyBookmarkButton";
}

void TestBookmarkDialog::noFreshId() {
    QFETCH(QString, button);
    QVERIFY(openDialog(6));
    const QString current = bookmarkAt(userTable()->currentIndex()).id();
    m_dialog->setIdSource([](QString&, QString& error) {
        error = QStringLiteral("Generating cookie failed");
        return false;
    });
    QPushButton* pressed = this->button(qPrintable(button));
    pressed->click();
    QCOMPARE(userIds().size(), 3);
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), current);
    QVERIFY(m_peer->rpc->log().contains("Failed to edit a bookmark: Generating cookie failed"));

    // A source that answers success with nothing is no id either.
    m_dialog->setIdSource([](QString&, QString&) { return true; });
    pressed->click();
    QCOMPARE(userIds().size(), 3);

    // Once ids come again, the next click is the only request the server sees.
    m_dialog->setIdSource([](QString& id, QString&) {
        id = QStringLiteral("0123456789abcdef0123456789abcdef");
        return true;
    });
    pressed->click();
    QCOMPARE(bookmarkAt(userTable()->currentIndex()).id(), QString("0123456789abcdef0123456789abcdef"));
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.user.size(), 4, wait);
    QCOMPARE(m_peer->routes.received("edit").size(), 1);
    QCOMPARE(m_peer->routes.received("edit").at(0).value("id").toString(),
             QString("0123456789abcdef0123456789abcdef"));
}

QTEST_MAIN(TestBookmarkDialog)
#include "tst_bookmark_dialog.moc"

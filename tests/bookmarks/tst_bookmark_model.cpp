#include "BookmarkWebPeer.h"

#include "bookmarks/BookmarkModel.h"

#include <QAbstractItemModelTester>
#include <QIcon>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

using HttpsPeer::BookmarkRoutes;

namespace {

constexpr int wait = 10000;
const QVector<QString> columns{"name", "type", "command", "geometry", ""};

QJsonObject entry(const QString& id, const QString& name = QStringLiteral("n"),
                  const QStringList& tags = {}, const QJsonObject& params = {}) {
    QJsonObject o = BookmarkRoutes::entry(id, name, QStringLiteral("xterm"), QStringLiteral("800x600"), tags);
    if (!params.isEmpty())
        o.insert("params", params);
    return o;
}

QList<Bookmark> userBookmarks(const QJsonArray& entries) {
    QList<Bookmark> list;
    for (const QJsonValue& v : entries) {
        Bookmark b = Bookmark::fromJson(v.toObject());
        b.setType(BookmarkType);
        list.append(b);
    }
    return list;
}

// "id:name:command" of each entry.
QStringList recordsOf(const QList<Bookmark>& bookmarks) {
    QStringList rows;
    for (const Bookmark& b : bookmarks)
        rows.append(b.id() + QLatin1Char(':') + b.name() + QLatin1Char(':') + b.command());
    return rows;
}

QStringList serverRecords(const BookmarkRoutes& routes) {
    QList<Bookmark> list = userBookmarks(routes.user);
    std::sort(list.begin(), list.end(), [](const Bookmark& a, const Bookmark& b) { return a.id() < b.id(); });
    return recordsOf(list);
}

int rowOf(const BookmarkModel& model, const QString& id) {
    const QList<Bookmark> rows = model.bookmarks();
    for (int row = 0; row < rows.size(); ++row) {
        if (rows.at(row).id() == id)
            return row;
    }
    return -1;
}

// What the user does to bookmark id, as the dialog does it: "rename" and "command" edit a cell,
// "add" makes it (named B) and "delete" removes its row. Returns the server operation it sends.
QString act(BookmarkModel* model, const QString& action, const QString& id) {
    const int row = rowOf(*model, id);
    if (action == QLatin1String("rename"))
        model->setData(model->index(row, 0), QStringLiteral("Renamed"));
    else if (action == QLatin1String("command"))
        model->setData(model->index(row, 2), QStringLiteral("C"));
    else if (action == QLatin1String("add"))
        model->addBookmark(userBookmarks(QJsonArray{entry(id, QStringLiteral("B"))}).at(0));
    else if (action == QLatin1String("delete"))
        model->deleteBookmark(row);
    return action == QLatin1String("delete") ? QStringLiteral("delete") : QStringLiteral("edit");
}

// Answers of an operation that the model's handlers have had (the log line comes just before them).
int answered(const RpcInstance& rpc, const QString& operation) {
    const QString end = QStringLiteral("/v3/api/bookmark/%1\" succeeded").arg(operation);
    int n = 0;
    for (const QString& line : rpc.log())
        n += line.endsWith(end) ? 1 : 0;
    return n;
}

QStringList rowsOf(const BookmarkModel& model) {
    QStringList rows;
    for (const Bookmark& b : model.bookmarks())
        rows.append(b.id() + QLatin1Char(':') + b.name());
    return rows;
}

// Every signal of the model in order, as short text.
class Recorder : public QObject {
public:
    explicit Recorder(BookmarkModel* model) {
        connect(model, &QAbstractItemModel::rowsInserted, this,
                [this](const QModelIndex&, int first) { events.append(QStringLiteral("insert %1").arg(first)); });
        connect(model, &QAbstractItemModel::rowsRemoved, this,
                [this](const QModelIndex&, int first) { events.append(QStringLiteral("remove %1").arg(first)); });
        connect(model, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& a, const QModelIndex& b) {
            QCOMPARE(a, b);
            events.append(QStringLiteral("data %1,%2 %3").arg(a.row()).arg(a.column()).arg(a.data().toString()));
        });
        connect(model, &BookmarkModel::bookmarkChanged, this,
                [this](const QModelIndex& i) { events.append(QStringLiteral("changed %1").arg(i.row())); });
        connect(model, &BookmarkModel::bookmarksUpdated, this, [this] { events.append(QStringLiteral("updated")); });
    }
    QStringList events;
};

} // namespace

class TestBookmarkModel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("velnor.rpc.debug=false"); }
    void init();
    void merge_data();
    void merge();
    void cells();
    void geometryMultipleRoundTrip();
    void addAndDelete();
    void favourites();
    void replyInsideTheSettleTimeIsHeldBack();
    void staleReplyNeverRevertsAnEdit();
    void listOlderThanAnUnansweredChange_data();
    void listOlderThanAnUnansweredChange();
    void refusedChange_data();
    void refusedChange();
    void overlappingChangesOfOneBookmark_data();
    void overlappingChangesOfOneBookmark();
    void laterChangeRefused_data();
    void laterChangeRefused();
    void failedFetchOnlyLogs();
    void badEntries();

private:
    // A model over the peer, once its first list has arrived.
    BookmarkModel* loadedModel(const QJsonArray& user);

    std::unique_ptr<BookmarkWebPeer> m_peer;
    std::unique_ptr<BookmarkModel> m_model;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

void TestBookmarkModel::init() {
    m_tester.reset();
    m_model.reset();
    m_peer.reset(new BookmarkWebPeer);
    QVERIFY(m_peer->start());
}

BookmarkModel* TestBookmarkModel::loadedModel(const QJsonArray& user) {
    m_peer->routes.user = user;
    m_model.reset(new BookmarkModel(columns, m_peer->rpc));
    m_tester.reset(new QAbstractItemModelTester(m_model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
    // Loaded: the first list is answered, merged, and its settle time is over.
    const bool loaded = QTest::qWaitFor(
        [this, &user] {
            return m_peer->routes.received("list").size() == 1 && m_model->rowCount() == user.size() &&
                   !m_model->settleTimer()->isActive();
        },
        wait);
    return loaded ? m_model.get() : nullptr;
}

void TestBookmarkModel::merge_data() {
    QTest::addColumn<QJsonArray>("before");
    QTest::addColumn<QJsonArray>("list");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("rows");

    const QJsonArray ab{entry("a", "A"), entry("b", "B")};
    QTest::newRow("identical list: no signal") << ab << ab << QStringList() << QStringList{"a:A", "b:B"};
    QTest::newRow("params only: no signal")
        << ab << QJsonArray{entry("a", "A", {}, QJsonObject{{"k", 1}}), entry("b", "B")} << QStringList()
        << QStringList{"a:A", "b:B"};
    QTest::newRow("tags only: changed, no data")
        << ab << QJsonArray{entry("a", "A"), entry("b", "B", {"t"})} << QStringList{"changed 1", "updated"}
        << QStringList{"a:A", "b:B"};
    QTest::newRow("rename: the name cell and the record")
        << ab << QJsonArray{entry("a", "A2"), entry("b", "B")} << QStringList{"data 0,0 A2", "changed 0", "updated"}
        << QStringList{"a:A2", "b:B"};
    QTest::newRow("empty list: every row, one by one")
        << ab << QJsonArray() << QStringList{"remove 0", "remove 0", "updated"} << QStringList();
    QTest::newRow("unsorted: insert between, append, drop")
        << QJsonArray{entry("b", "B"), entry("d", "D")}
        << QJsonArray{entry("e", "E"), entry("c", "C"), entry("a", "A"), entry("b", "B")}
        << QStringList{"insert 0", "insert 2", "remove 3", "insert 3", "updated"}
        << QStringList{"a:A", "b:B", "c:C", "e:E"};
    QTest::newRow("duplicate ids: the first one stays")
        << QJsonArray() << QJsonArray{entry("x", "first"), entry("x", "second")}
        << QStringList{"insert 0", "updated"} << QStringList{"x:first"};
}

void TestBookmarkModel::merge() {
    QFETCH(QJsonArray, before);
    QFETCH(QJsonArray, list);
    QFETCH(QStringList, events);
    QFETCH(QStringList, rows);
    BookmarkModel* model = loadedModel(before);
    QVERIFY(model);
    QCOMPARE(model->rowCount(), before.size());
    Recorder recorder(model);
    model->mergeList(userBookmarks(list));
    QCOMPARE(recorder.events, events);
    QCOMPARE(rowsOf(*model), rows);
}

void TestBookmarkModel::cells() {
    const QString icon = BookmarkRoutes::pngIcon(Qt::green, 20);
    QJsonObject rootless = entry("r", "", {}, {});
    rootless.insert("geometry", "rootless");
    rootless.insert("icon", icon);
    BookmarkModel* model = loadedModel(QJsonArray{rootless, entry("s", "Named")});
    QVERIFY(model);

    const QModelIndex geometry = model->index(0, 3);
    QCOMPARE(geometry.data().toString(), QString("Multiple"));
    QCOMPARE(geometry.data(Qt::EditRole).toString(), QString("Multiple"));
    QCOMPARE(geometry.data(BookmarkModel::SortRole).toString(), QString("Multipler"));
    QCOMPARE(model->index(1, 1).data().toString(), BookmarkType);
    QVERIFY(!model->index(1, 1).data(Qt::EditRole).isValid());
    QVERIFY(!model->index(1, 4).data().isValid());
    QCOMPARE(Bookmark::fromVariant(model->index(1, 4).data(BookmarkModel::BookmarkRole)).id(), QString("s"));
    QVERIFY(!model->index(0, 0).data(Qt::DecorationRole).isValid());

    QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QString("Window Size"));
    QVERIFY(!model->headerData(4, Qt::Horizontal).isValid());
    QVERIFY(!model->headerData(0, Qt::Vertical).isValid());
    QVERIFY(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
    QVERIFY(!(model->flags(model->index(0, 1)) & Qt::ItemIsEditable));
    QVERIFY(!model->setData(model->index(0, 1), "x"));
    QVERIFY(!model->setData(model->index(5, 0), "x"));

    // The icon view's column: name or command, the icon at three heights and its own, the command as tip.
    BookmarkModel presentation({"presentation"}, m_peer->rpc);
    QTRY_COMPARE_WITH_TIMEOUT(presentation.rowCount(), 2, wait);
    const QModelIndex r = presentation.index(0, 0);
    QCOMPARE(r.data().toString(), QString("xterm"));
    QCOMPARE(r.data(Qt::ToolTipRole).toString(), QString("xterm"));
    QCOMPARE(presentation.index(1, 0).data().toString(), QString("Named"));
    QVERIFY(!(presentation.flags(r) & Qt::ItemIsEditable));
    for (int row : {0, 1}) {
        const QIcon decoration = presentation.index(row, 0).data(Qt::DecorationRole).value<QIcon>();
        QSet<int> heights;
        for (const QSize& s : decoration.availableSizes())
            heights.insert(s.height());
        // Row 1 has no icon: the default picture (128 high) stands in.
        QCOMPARE(heights, row == 0 ? (QSet<int>{20, 64, 96, 128}) : (QSet<int>{64, 96, 128}));
    }
}

void TestBookmarkModel::geometryMultipleRoundTrip() {
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    Recorder recorder(model);
    QVERIFY(model->setData(model->index(0, 3), "Multiple"));
    QCOMPARE(model->bookmarks().at(0).geometry(), QString("rootless"));
    QCOMPARE(model->index(0, 3).data().toString(), QString("Multiple"));
    QCOMPARE(recorder.events, (QStringList{"data 0,3 Multiple", "changed 0", "updated"}));
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    QCOMPARE(m_peer->routes.received("edit").at(0).value("geometry").toString(), QString("rootless"));
    // The server's answer brings the same record: nothing more to tell.
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.user.at(0).toObject().value("geometry").toString(), QString("rootless"),
                              wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model->settleTimer()->isActive(), wait);
    QCOMPARE(model->index(0, 3).data().toString(), QString("Multiple"));
    QCOMPARE(recorder.events.size(), 3);
}

void TestBookmarkModel::addAndDelete() {
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A"), entry("c", "C")});
    QVERIFY(model);
    Recorder recorder(model);

    Bookmark taken = userBookmarks(QJsonArray{entry("c", "other")}).at(0);
    QVERIFY(!model->addBookmark(taken).isValid());
    QCOMPARE(recorder.events, QStringList());

    Bookmark b = userBookmarks(QJsonArray{entry("b", "B")}).at(0);
    const QModelIndex added = model->addBookmark(b);
    QCOMPARE(added.row(), 1);
    QCOMPARE(rowsOf(*model), (QStringList{"a:A", "b:B", "c:C"}));
    model->deleteBookmark(0);
    model->deleteBookmark(7);
    QCOMPARE(rowsOf(*model), (QStringList{"b:B", "c:C"}));
    QCOMPARE(recorder.events, (QStringList{"insert 1", "updated", "remove 0", "updated"}));

    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("delete").size(), 1, wait);
    QCOMPARE(m_peer->routes.received("delete").at(0).value("id").toString(), QString("a"));
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    QCOMPARE(m_peer->routes.received("edit").at(0).value("id").toString(), QString("b"));
    // The server's list after both changes is the one the model settles on.
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.user.size(), 2, wait);
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(*model), (QStringList{"b:B", "c:C"}), wait);
}

void TestBookmarkModel::favourites() {
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    QSignalSpy favourite(model, &BookmarkModel::favoriteUpdated);
    model->favorite("a");
    QTRY_COMPARE_WITH_TIMEOUT(favourite.size(), 1, wait);
    QCOMPARE(favourite.at(0).at(0).toBool(), true);
    QTRY_VERIFY_WITH_TIMEOUT(model->bookmarks().at(0).isFavorite(), wait);
    model->unfavorite("a");
    QTRY_COMPARE_WITH_TIMEOUT(favourite.size(), 2, wait);
    QCOMPARE(favourite.at(1).at(0).toBool(), false);
    QTRY_VERIFY_WITH_TIMEOUT(!model->bookmarks().at(0).isFavorite(), wait);
}

void TestBookmarkModel::replyInsideTheSettleTimeIsHeldBack() {
    // The second request is sent as soon as the server has the first; the first answer (with b)
    // comes while the second is outstanding and is never shown.
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    Recorder recorder(model);
    m_peer->routes.user.append(entry("b", "B"));
    m_peer->routes.delayNext("list", {300});
    bool sent = false;
    connect(&m_peer->server, &HttpsPeer::Server::requestReceived, model, [this, model, &sent](const QString& path) {
        if (sent || path != QLatin1String("/v3/api/bookmark/list"))
            return;
        sent = true;
        m_peer->routes.user = QJsonArray{entry("a", "A"), entry("c", "C")};
        model->fetch();
    });
    model->fetch();
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(*model).contains("c:C"), wait);
    QCOMPARE(rowsOf(*model), (QStringList{"a:A", "c:C"}));
    QCOMPARE(recorder.events, (QStringList{"insert 1", "updated"}));
}

void TestBookmarkModel::staleReplyNeverRevertsAnEdit() {
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "Old")});
    QVERIFY(model);
    // A slow list request goes out first and answers with the old name after the edit has settled.
    m_peer->routes.delayNext("list", {1500, 2500});
    model->fetch();
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("list").size(), 2, wait);
    Recorder recorder(model);
    QVERIFY(model->setData(model->index(0, 0), "New"));
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("edit").size(), 1, wait);
    m_peer->routes.user.append(entry("z", "Later"));
    model->fetch();
    QTRY_VERIFY_WITH_TIMEOUT(rowsOf(*model).contains("z:Later"), wait);
    QCOMPARE(rowsOf(*model), (QStringList{"a:New", "z:Later"}));
    QVERIFY2(!recorder.events.contains("data 0,0 Old"), qPrintable(recorder.events.join(", ")));
}

void TestBookmarkModel::listOlderThanAnUnansweredChange_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("add") << "edit" << QStringList{"a:A", "b:B", "c:C"};
    QTest::newRow("delete") << "delete" << QStringList{"c:C"};
    QTest::newRow("rename") << "edit" << QStringList{"a:Renamed", "c:C"};
}

void TestBookmarkModel::listOlderThanAnUnansweredChange() {
    QFETCH(QString, operation);
    QFETCH(QStringList, rows);
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A"), entry("c", "C")});
    QVERIFY(model);
    const QList<Bookmark> before = model->bookmarks();
    // The change stays unanswered for a while.
    m_peer->routes.delayNext(operation, {2000});
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    if (tag == QLatin1String("add"))
        QVERIFY(model->addBookmark(userBookmarks(QJsonArray{entry("b", "B")}).at(0)).isValid());
    else if (tag == QLatin1String("delete"))
        model->deleteBookmark(0);
    else
        QVERIFY(model->setData(model->index(0, 0), QStringLiteral("Renamed")));
    QCOMPARE(rowsOf(*model), rows);
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received(operation).size(), 1, wait);
    // A list asked for after the change, made by the server before it took the change.
    m_peer->routes.delayNext("list", {1500});
    model->fetch();
    model->setFetchedList(before);
    Recorder recorder(model);
    QTRY_VERIFY_WITH_TIMEOUT(!model->settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(*model), rows);
    QCOMPARE(recorder.events, QStringList());
    // The server's own answers agree.
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("list").size(), 2, wait);
    QTest::qWait(2500);
    QCOMPARE(rowsOf(*model), rows);
}

void TestBookmarkModel::refusedChange_data() {
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("line");
    QTest::newRow("edit") << "edit"
                          << "Failed to edit a bookmark: Not allowed";
    QTest::newRow("delete") << "delete"
                            << "Failed to delete a bookmark: Not allowed";
    QTest::newRow("favorite") << "favorite"
                              << "Failed to favorite a bookmark: Not allowed";
    QTest::newRow("unfavorite") << "unfavorite"
                                << "Failed to unfavorite a bookmark: Not allowed";
}

void TestBookmarkModel::refusedChange() {
    QFETCH(QString, operation);
    QFETCH(QString, line);
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A"), entry("b", "B")});
    QVERIFY(model);
    m_peer->routes.refuse({operation});
    QSignalSpy favourite(model, &BookmarkModel::favoriteUpdated);
    if (operation == "edit")
        QVERIFY(model->setData(model->index(0, 0), "Renamed"));
    else if (operation == "delete")
        model->deleteBookmark(0);
    else if (operation == "favorite")
        model->favorite("a");
    else
        model->unfavorite("a");
    QTRY_VERIFY_WITH_TIMEOUT(m_peer->rpc->log().contains(line), wait);
    // The server's view comes back at once, not with the next poll.
    QTRY_COMPARE_WITH_TIMEOUT(m_peer->routes.received("list").size(), 2, wait);
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(*model), (QStringList{"a:A", "b:B"}), wait);
    QCOMPARE(favourite.size(), 0);
}

void TestBookmarkModel::overlappingChangesOfOneBookmark_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("reload");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("rename, then command") << "rename" << "command" << "a" << false
                                          << QStringList{"a:Renamed:C", "z:Z:xterm"};
    QTest::newRow("rename, then command; a list reload between the answers")
        << "rename" << "command" << "a" << true << QStringList{"a:Renamed:C", "y:Y:xterm", "z:Z:xterm"};
    QTest::newRow("add, then delete") << "add" << "delete" << "b" << false << QStringList{"a:A:xterm", "z:Z:xterm"};
    QTest::newRow("add, then delete; a list reload between the answers")
        << "add" << "delete" << "b" << true << QStringList{"a:A:xterm", "y:Y:xterm", "z:Z:xterm"};
    QTest::newRow("add, then rename") << "add" << "rename" << "b" << false
                                      << QStringList{"a:A:xterm", "b:Renamed:xterm", "z:Z:xterm"};
    QTest::newRow("rename, then delete") << "rename" << "delete" << "a" << false << QStringList{"z:Z:xterm"};
}

void TestBookmarkModel::overlappingChangesOfOneBookmark() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, id);
    QFETCH(bool, reload);
    QFETCH(QStringList, rows);
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    BookmarkRoutes& routes = m_peer->routes;

    // The first change is answered late; the server holds it from the start.
    routes.delayNext(first == "delete" ? "delete" : "edit", {1500});
    const QString firstOperation = act(model, first, id);
    QTRY_COMPARE_WITH_TIMEOUT(routes.received(firstOperation).size(), 1, wait);
    // Someone else adds a bookmark, so the merge of the second answer shows.
    routes.user.append(entry("z", "Z"));
    const QString secondOperation = act(model, second, id);
    QTRY_COMPARE_WITH_TIMEOUT(routes.received(secondOperation).size(), firstOperation == secondOperation ? 2 : 1,
                              wait);
    if (reload) {
        // The refresh asks for the list once the second answer is in, before the first one.
        QTRY_VERIFY_WITH_TIMEOUT(answered(*m_peer->rpc, secondOperation) >= 1, wait);
        routes.user.append(entry("y", "Y"));
        model->fetch();
        QTRY_VERIFY_WITH_TIMEOUT(rowOf(*model, "y") >= 0, wait);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(rowOf(*model, "z") >= 0, wait);
    }
    QCOMPARE(recordsOf(model->bookmarks()), rows);
    QCOMPARE(serverRecords(routes), rows);

    // A further edit sends what the row shows, and the server keeps the user's last word.
    const int row = rowOf(*model, id);
    if (row >= 0) {
        const int edits = routes.received("edit").size();
        QVERIFY(model->setData(model->index(row, 3), QStringLiteral("640x480")));
        QTRY_COMPARE_WITH_TIMEOUT(routes.received("edit").size(), edits + 1, wait);
        QCOMPARE(serverRecords(routes), rows);
        for (const QJsonValue& v : qAsConst(routes.user)) {
            if (v.toObject().value("id").toString() == id)
                QCOMPARE(v.toObject().value("geometry").toString(), QString("640x480"));
        }
    }
    // Once the late answer is in too, the next list changes nothing.
    QTRY_VERIFY_WITH_TIMEOUT(answered(*m_peer->rpc, "edit") == routes.received("edit").size() &&
                                 answered(*m_peer->rpc, "delete") == routes.received("delete").size(),
                             wait);
    Recorder recorder(model);
    routes.user.append(entry("x", "X"));
    model->fetch();
    QTRY_VERIFY_WITH_TIMEOUT(rowOf(*model, "x") >= 0, wait);
    QCOMPARE(recorder.events, (QStringList{"insert " + QString::number(rowOf(*model, "x")), "updated"}));
}

void TestBookmarkModel::laterChangeRefused_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QStringList>("rows");
    // The row shows what the server took: the first change, not the refused one, nor what was before.
    QTest::newRow("rename, then command") << "rename" << "command" << "a" << QStringList{"a:Renamed:xterm"};
    QTest::newRow("rename, then delete") << "rename" << "delete" << "a" << QStringList{"a:Renamed:xterm"};
    QTest::newRow("add, then delete") << "add" << "delete" << "b" << QStringList{"a:A:xterm", "b:B:xterm"};
}

void TestBookmarkModel::laterChangeRefused() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, id);
    QFETCH(QStringList, rows);
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    BookmarkRoutes& routes = m_peer->routes;
    // The server takes the first change late: the list it sends after the refusal still lacks it.
    routes.takeLate("edit", {1500});
    act(model, first, id);
    QTRY_COMPARE_WITH_TIMEOUT(routes.received("edit").size(), 1, wait);
    const bool deleting = second == "delete";
    routes.refuse({deleting ? "delete" : "edit"});
    act(model, second, id);
    const QString failure =
        deleting ? "Failed to delete a bookmark: Not allowed" : "Failed to edit a bookmark: Not allowed";
    QTRY_VERIFY_WITH_TIMEOUT(m_peer->rpc->log().contains(failure), wait);
    // The list fetched after the refusal is merged.
    QTRY_VERIFY_WITH_TIMEOUT(answered(*m_peer->rpc, "list") >= 2 && !model->settleTimer()->isActive(), wait);
    QCOMPARE(recordsOf(model->bookmarks()), rows);
    // Once the server has taken the first change, its lists agree.
    QTRY_COMPARE_WITH_TIMEOUT(answered(*m_peer->rpc, "edit"), 1, wait);
    QCOMPARE(serverRecords(routes), rows);
    const int lists = answered(*m_peer->rpc, "list");
    model->fetch();
    QTRY_VERIFY_WITH_TIMEOUT(answered(*m_peer->rpc, "list") > lists && !model->settleTimer()->isActive(), wait);
    QCOMPARE(recordsOf(model->bookmarks()), rows);
}

void TestBookmarkModel::failedFetchOnlyLogs() {
    BookmarkModel* model = loadedModel(QJsonArray{entry("a", "A")});
    QVERIFY(model);
    m_peer->routes.refuse({"list"}, "busy", "Try later");
    Recorder recorder(model);
    model->fetch();
    QTRY_VERIFY_WITH_TIMEOUT(m_peer->rpc->log().contains("Failed to get bookmarks: Try later"), wait);
    QCOMPARE(m_peer->routes.received("list").size(), 2);
    QCOMPARE(rowsOf(*model), QStringList{"a:A"});
    QCOMPARE(recorder.events, QStringList());
}

void TestBookmarkModel::badEntries() {
    // No id, mistyped fields, icons that are not PNG data URLs or declare a huge picture.
    const QString huge = QStringLiteral("data:image/png;base64,") +
                         QString::fromLatin1(QByteArray::fromHex(
                             "89504e470d0a1a0a0000000d49484452000186a0000186a00802000000").toBase64());
    m_peer->routes.system = QJsonArray{
        QJsonObject{{"name", "no id"}, {"command", "x"}},
        QJsonObject{{"id", "f"}, {"form", 3}, {"tags", "t"}, {"params", QJsonArray{1}}, {"command", "x"}},
        QJsonObject{{"id", "j"}, {"icon", "data:image/jpeg;base64,AAAA"}},
        QJsonObject{{"id", "h"}, {"icon", huge}},
        QJsonObject{{"id", "g"}, {"icon", "data:image/png;base64,bm90IGFuIGltYWdl"}}};
    BookmarkModel model({"presentation"}, m_peer->rpc);
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 4, wait);
    const Bookmark f = model.bookmarks().at(0);
    QCOMPARE(f.id(), QString("f"));
    QVERIFY(f.form().isEmpty() && f.tags().isEmpty() && f.params().isEmpty());
    for (int row = 0; row < 4; ++row) {
        QVERIFY(model.bookmarks().at(row).icon().isNull());
        QVERIFY(!model.index(row, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    }
}

QTEST_MAIN(TestBookmarkModel)
#include "tst_bookmark_model.moc"

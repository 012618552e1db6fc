#include "HttpsServer.h"
#include "SessionRoutes.h"
#include "rpc/RpcInstanceWeb.h"
#include "sessions/SessionModel.h"
#include "sessions/SessionTexts.h"

#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using HttpsPeer::Response;
using HttpsPeer::Server;
using HttpsPeer::SessionRoutes;

namespace {

constexpr int wait = 10000;
const QStringList columns{"name", "connections", "uptime", "login"};

QJsonObject session(const QString& id, const QString& command = QStringLiteral("xterm"), int clients = 0) {
    return QJsonObject{{"id", id}, {"command", command}, {"clientCount", clients}};
}

SessionList sessionsOf(const QJsonArray& array) {
    SessionList list;
    for (const QJsonValue& v : array)
        list.append(Session::fromJson(v.toObject()));
    return list;
}

// Own-list replies the instance has received so far, as its log tells them.
int listReplies(const RpcInstance& rpc) {
    return rpc.log().filter(QStringLiteral("/v3/api/session/list\" succeeded")).size();
}

QStringList rowsOf(const SessionModel& model) {
    QStringList rows;
    for (const Session& s : model.sessions())
        rows.append(s.id() + QLatin1Char(':') + s.command());
    return rows;
}

// Every signal of the model in order, as short text.
class Recorder : public QObject {
public:
    explicit Recorder(SessionModel* model) {
        connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int first) {
            events.append(QStringLiteral("insert %1").arg(first));
        });
        connect(model, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex&, int first) {
            events.append(QStringLiteral("remove %1").arg(first));
        });
        connect(model, &QAbstractItemModel::dataChanged, this,
                [this](const QModelIndex& a, const QModelIndex& b) {
                    QCOMPARE(a, b);
                    events.append(QStringLiteral("data %1,%2").arg(a.row()).arg(a.column()));
                });
        connect(model, &SessionModel::sessionAdded, this, [this, model](const QModelIndex& i) {
            events.append(QStringLiteral("added ") + model->sessions().value(i.row()).id());
        });
        connect(model, &SessionModel::sessionChanged, this, [this, model](const QModelIndex& i) {
            events.append(QStringLiteral("changed ") + model->sessions().value(i.row()).id());
        });
        connect(model, &SessionModel::sessionRemoved, this,
                [this](const Session& s) { events.append(QStringLiteral("removed ") + s.id()); });
        connect(model, &SessionModel::sessionsUpdated, this,
                [this] { events.append(QStringLiteral("updated")); });
    }
    QStringList events;
};

// A web transport with a token, talking to a test server with a session state.
struct WebPeer {
    Server server;
    SessionRoutes routes{server};
    QSharedPointer<RpcInstance> rpc;

    bool start() {
        if (!server.start(Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        return true;
    }
    // Signs in, which opens the event stream; its first answer re-sends the whole list.
    bool signIn() {
        auto* web = static_cast<RpcInstanceWeb*>(rpc.data());
        web->sshAuth(QJsonObject());
        return QTest::qWaitFor([this] { return server.openStreams() == 1; }, wait);
    }
};

} // namespace

class TestSessionModel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerSessionMetaTypes(); }
    void merge_data();
    void merge();
    void cells();
    void nameSortKeysFollowTheRows_data();
    void nameSortKeysFollowTheRows();
    void settleAgainstTheServersDelay_data();
    void settleAgainstTheServersDelay();
    void replySlowerThanTheNextPoll();
    void replyOvertakenByPushes_data();
    void replyOvertakenByPushes();
    void pushesKeepComing();
    void pushes();
    void pushesWhileShared();
    void replyOlderThanAReopenedStreamsList();
    void pushWhileTheReopenedStreamsListIsOnItsWay();
    void refusedRenameStaysUntilTheNextMerge();
    void largeListsWithoutASignalPerRow();
};

void TestSessionModel::merge_data() {
    QTest::addColumn<QJsonArray>("before");
    QTest::addColumn<QJsonArray>("list");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("rows");

    QTest::newRow("[a,c] with [d,b,a]")
        << QJsonArray{session("a", "xterm", 1), session("c", "xterm", 1)}
        << QJsonArray{session("d"), session("b"), session("a", "top", 1)}
        << QStringList{"data 0,2",  "changed a", "insert 1", "added b", "remove 2",
                       "removed c", "insert 2",  "added d",  "updated"}
        << QStringList{"a:top", "b:xterm", "d:xterm"};
    QTest::newRow("identical: uptime and idle connections only")
        << QJsonArray{session("a", "xterm", 2), session("b")}
        << QJsonArray{session("b"), session("a", "xterm", 2)}
        << QStringList{"data 0,2", "data 1,1", "data 1,2"} << QStringList{"a:xterm", "b:xterm"};
    QTest::newRow("empty list") << QJsonArray{session("a"), session("b")} << QJsonArray()
                                << QStringList{"remove 0", "removed a", "remove 0", "removed b", "updated"}
                                << QStringList();
    QTest::newRow("duplicate ids: the last one")
        << QJsonArray{session("b", "old", 1)}
        << QJsonArray{session("b", "x", 1), session("a"), session("b", "y", 1)}
        << QStringList{"insert 0", "added a", "data 1,2", "changed b", "updated"}
        << QStringList{"a:xterm", "b:y"};
    QJsonObject renamed = session("a", "xterm", 1);
    renamed.insert("params", QJsonObject{{"name", "Work"}});
    renamed.insert("login", "ann");
    QTest::newRow("name and login cells")
        << QJsonArray{session("a", "xterm", 1)} << QJsonArray{renamed}
        << QStringList{"data 0,0", "data 0,2", "data 0,3", "changed a", "updated"} << QStringList{"a:xterm"};
    QJsonObject sharing = session("a");
    sharing.insert("plugins", QJsonObject{{"sharing", QJsonObject{{"result", QJsonObject()}}}});
    QTest::newRow("sharing flag alone") << QJsonArray{session("a")} << QJsonArray{sharing}
                                        << QStringList{"data 0,1", "data 0,2"} << QStringList{"a:xterm"};
}

void TestSessionModel::merge() {
    QFETCH(QJsonArray, before);
    QFETCH(QJsonArray, list);
    QFETCH(QStringList, events);
    QFETCH(QStringList, rows);
    SessionModel model(columns, nullptr, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.mergeSessions(sessionsOf(before));
    Recorder recorder(&model);
    model.mergeSessions(sessionsOf(list));
    QCOMPARE(recorder.events, events);
    QCOMPARE(rowsOf(model), rows);
    const SessionList shown = model.sessions();
    for (int r = 0; r < shown.size(); ++r)
        QCOMPARE(model.indexOfSession(shown.at(r).id()), model.index(r, 0));
    QVERIFY(!model.indexOfSession(QStringLiteral("zz")).isValid());
    if (QByteArray(QTest::currentDataTag()) == "sharing flag alone")
        QVERIFY(shown.at(0).isSharing());
}

void TestSessionModel::cells() {
    SessionModel model(QStringList{"name", "connections", "uptime", "login", "other"}, nullptr, nullptr);
    model.setNow(QDateTime::fromString("2026-03-02T12:00:00Z", Qt::ISODate));
    QJsonObject a = session("a", "xterm", 0);
    a.insert("lastDisconnect", "2026-03-02T11:00:00Z");
    a.insert("started", "2026-03-02T10:00:00Z");
    a.insert("login", "ann");
    a.insert("hostname", "h1");
    model.mergeSessions(sessionsOf(QJsonArray{a, session("b", "top", 3)}));

    const auto cell = [&model](int row, int column, int role) { return model.index(row, column).data(role); };
    QCOMPARE(cell(0, 0, Qt::DisplayRole).toString(), QStringLiteral("xterm"));
    QCOMPARE(cell(0, 0, Qt::EditRole).toString(), QStringLiteral("xterm"));
    QCOMPARE(cell(0, 0, SessionModel::SortRole).toString(), QStringLiteral("xterma"));
    QCOMPARE(cell(0, 1, Qt::DisplayRole).toString(), QStringLiteral("Idle 1 hr"));
    QCOMPARE(cell(0, 1, SessionModel::SortRole).toLongLong(), qint64(3600000));
    QCOMPARE(cell(1, 1, SessionModel::SortRole).toLongLong(), qint64(-3));
    QCOMPARE(cell(0, 2, Qt::DisplayRole).toString(), QStringLiteral("2 hr"));
    QCOMPARE(cell(0, 2, SessionModel::SortRole).toDateTime(),
             QDateTime::fromString("2026-03-02T10:00:00Z", Qt::ISODate));
    QCOMPARE(cell(0, 3, Qt::DisplayRole).toString(), QStringLiteral("ann@h1"));
    QCOMPARE(cell(0, 3, SessionModel::SortRole).toString(), QStringLiteral("ann@h1"));
    QCOMPARE(cell(1, 3, SessionModel::SessionRole).value<Session>().id(), QStringLiteral("b"));
    QVERIFY(!cell(0, 4, Qt::DisplayRole).isValid());
    QVERIFY(!cell(0, 1, Qt::EditRole).isValid());
    QVERIFY(!cell(0, 0, Qt::DecorationRole).isValid());
    QVERIFY(!cell(2, 0, Qt::DisplayRole).isValid());

    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("Uptime"));
    QVERIFY(!model.headerData(2, Qt::Vertical).isValid());
    QVERIFY(!model.headerData(2, Qt::Horizontal, Qt::ToolTipRole).isValid());
    QVERIFY(!model.headerData(4, Qt::Horizontal).isValid());
    QVERIFY(model.flags(model.index(0, 0)) & Qt::ItemIsEditable);
    QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsEditable));
    QVERIFY(!model.setData(model.index(0, 1), "x"));
    QVERIFY(!model.setData(model.index(0, 0), "x", Qt::DisplayRole));
}

// The name column's sort key of every row, after the keys were read once before a change.
void TestSessionModel::nameSortKeysFollowTheRows_data() {
    QTest::addColumn<int>("change");
    QTest::newRow("merge renames") << 0;
    QTest::newRow("merge inserts before and removes") << 1;
    QTest::newRow("large merge") << 2;
    QTest::newRow("pushed update") << 3;
    QTest::newRow("pushed new session") << 4;
    QTest::newRow("pushed deletion") << 5;
    QTest::newRow("rename in the cell") << 6;
}

void TestSessionModel::nameSortKeysFollowTheRows() {
    QFETCH(int, change);
    SessionModel model(columns, nullptr, nullptr);
    const QJsonArray before{session("b", "top"), session("d", "vi")};
    model.mergeSessions(sessionsOf(before));
    const auto keys = [&model] {
        QStringList list;
        for (int r = 0; r < model.rowCount(); ++r)
            list.append(model.index(r, 0).data(SessionModel::SortRole).toString());
        return list;
    };
    QCOMPARE(keys(), (QStringList{"topb", "vid"}));
    QJsonArray many;
    for (int i = 0; i < 100; ++i)
        many.append(session(QStringLiteral("a%1").arg(i, 3, 10, QLatin1Char('0')), "sh"));
    switch (change) {
    case 0:
        model.mergeSessions(sessionsOf(QJsonArray{session("b", "top"), session("d", "emacs")}));
        break;
    case 1:
        model.mergeSessions(sessionsOf(QJsonArray{session("a", "sh"), session("d", "vi")}));
        break;
    case 2:
        many.append(session("d", "emacs"));
        model.mergeSessions(sessionsOf(many));
        break;
    case 3:
        model.updateSession(Session::fromJson(session("b", "htop")));
        break;
    case 4:
        model.updateSession(Session::fromJson(session("c", "sh")));
        break;
    case 5:
        model.removeSession(Session::fromJson(session("b", "top")));
        break;
    case 6:
        QVERIFY(model.setData(model.index(1, 0), QStringLiteral("mine")));
        break;
    }
    QStringList expected;
    for (const Session& s : model.sessions())
        expected.append(sessionDisplayName(s) + s.id());
    QCOMPARE(keys(), expected);
}

void TestSessionModel::settleAgainstTheServersDelay_data() {
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("settle");
    QTest::addColumn<bool>("heldBack");
    // The settle interval is stretched where the test must see a reply held back.
    QTest::newRow("early reply waits for the settle timer") << 100 << 10000 << true;
    QTest::newRow("late reply is merged on arrival") << 800 << SessionModel::settleInterval << false;
}

void TestSessionModel::settleAgainstTheServersDelay() {
    QFETCH(int, delay);
    QFETCH(int, settle);
    QFETCH(bool, heldBack);
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a")});
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), QStringList{"a:xterm"}, wait);
    model.settleTimer()->setInterval(settle);

    // A pushed session, then a poll whose reply comes after the settle timer: nothing older
    // than the push may be merged meanwhile.
    Recorder recorder(&model);
    peer.routes.setOwn(QJsonArray{session("a"), session("b"), session("c")});
    peer.routes.setListDelay(delay);
    emit peer.rpc->sessionUpdated(Session::fromJson(session("b")));
    QCOMPARE(rowsOf(model), (QStringList{"a:xterm", "b:xterm"}));
    model.forceUpdate();
    if (heldBack) {
        QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), 2, wait);
        QTest::qWait(delay + 600);
        QVERIFY(model.settleTimer()->isActive());
        QCOMPARE(model.rowCount(), 2);
    }
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 3, 2 * wait);
    QCOMPARE(recorder.events.filter(QStringLiteral("removed")), QStringList());
}

void TestSessionModel::replySlowerThanTheNextPoll() {
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a")});
    peer.routes.setListDelay(1500);
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    Recorder recorder(&model);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), 1, wait);

    peer.routes.setOwn(QJsonArray{session("a"), session("b")});
    peer.routes.setListDelay(0);
    model.forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"a:xterm", "b:xterm"}), wait);
    // The first reply comes after the second was merged and is older news.
    QTest::qWait(2000);
    QCOMPARE(rowsOf(model), (QStringList{"a:xterm", "b:xterm"}));
    QCOMPARE(recorder.events.filter(QStringLiteral("removed")), QStringList());
}

// How the rows stand when the list is asked for that the pushes overtake.
enum class Start { Complete, Empty, PushedFirst, Shared };
Q_DECLARE_METATYPE(Start)

void TestSessionModel::replyOvertakenByPushes_data() {
    QTest::addColumn<Start>("start");
    QTest::addColumn<QJsonArray>("listed"); // what the server lists when asked
    QTest::addColumn<int>("delay");
    QTest::addColumn<QJsonArray>("pushes"); // [type, session] pairs
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("warning");

    const QJsonArray listed{session("a", "xterm", 1), session("b"), session("c"), session("z")};
    const QJsonArray changes{"update", session("a", "top", 3), "update", session("d"), "delete", session("b")};
    const QStringList changed{"a:top", "c:xterm", "d:xterm", "z:xterm"};
    QTest::newRow("rows complete, reply held by the settle timer")
        << Start::Complete << listed << 0 << changes << changed << QString();
    QTest::newRow("rows complete, reply after the settle timer")
        << Start::Complete << listed << 800 << changes << changed << QString();
    QTest::newRow("first list") << Start::Empty << listed << 800 << QJsonArray{"update", session("z", "top")}
                                << QStringList{"a:xterm", "b:xterm", "c:xterm", "z:top"} << QString();
    QTest::newRow("first list, deletion of an id nobody knows")
        << Start::Empty << listed << 800 << QJsonArray{"delete", session("q")}
        << QStringList{"a:xterm", "b:xterm", "c:xterm", "z:xterm"}
        << QStringLiteral("Attempted delete of unknown session q");
    // The list is made after the push and holds its change.
    QJsonArray afterPush = listed;
    afterPush.replace(3, session("z", "top"));
    QTest::newRow("push before the updating starts")
        << Start::PushedFirst << afterPush << 800 << QJsonArray{"update", session("z", "top")}
        << QStringList{"a:xterm", "b:xterm", "c:xterm", "z:top"} << QString();
    QTest::newRow("back from the shared list")
        << Start::Shared << listed << 800 << QJsonArray{"update", session("d")}
        << QStringList{"a:xterm", "b:xterm", "c:xterm", "d:xterm", "z:xterm"} << QString();
}

// The server pushes changes while a list it answered before them is on its way: the list still
// reaches the rows, and the pushes stay on top of it.
void TestSessionModel::replyOvertakenByPushes() {
    QFETCH(Start, start);
    QFETCH(QJsonArray, listed);
    QFETCH(int, delay);
    QFETCH(QJsonArray, pushes);
    QFETCH(QStringList, rows);
    QFETCH(QString, warning);
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(listed);
    peer.routes.setShared(QJsonArray{session("x", "vi"), session("y", "vi")}, true);
    // Signed in before the page exists, as the program does; the stream's first list goes nowhere.
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);

    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    if (start == Start::Complete) {
        model.startUpdating();
        QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 4, wait);
    } else if (start == Start::Shared) {
        model.setShared(true);
        model.startUpdating();
        QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"x:vi", "y:vi"}), wait);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    const int replies = listReplies(*peer.rpc);

    QSignalSpy updates(peer.rpc.data(), &RpcInstance::sessionUpdated);
    QSignalSpy deletions(peer.rpc.data(), &RpcInstance::sessionDeleted);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    const auto push = [&] {
        for (int i = 0; i + 1 < pushes.size(); i += 2)
            peer.server.pushEvent(pushes.at(i).toString(), pushes.at(i + 1).toObject());
        QTRY_COMPARE_WITH_TIMEOUT(updates.size() + deletions.size(), pushes.size() / 2, wait);
    };
    if (start == Start::PushedFirst)
        push();

    peer.routes.setListDelay(delay);
    const int requests = peer.routes.listRequests();
    if (start == Start::Complete) {
        model.forceUpdate();
    } else if (start == Start::Shared) {
        model.setShared(false);
        model.forceUpdate();
    } else {
        model.startUpdating();
    }
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), requests + 1, wait);
    if (start != Start::PushedFirst)
        push();

    QTRY_COMPARE_WITH_TIMEOUT(listReplies(*peer.rpc), replies + 1, wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(model), rows);
    if (start == Start::Complete)
        QCOMPARE(model.sessions().at(0).clientCount(), 3);
}

// A push a second while the first list is on its way: the list still reaches the rows, and the
// poll that the first push put off is not put off again by each later one.
void TestSessionModel::pushesKeepComing() {
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a"), session("b"), session("c")});
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const int listed = listReplies(*peer.rpc);

    peer.routes.setListDelay(2500);
    const int requests = peer.routes.listRequests();
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), requests + 1, wait);
    QStringList pushed;
    QElapsedTimer sinceFirstPush;
    int firstRemaining = 0;
    for (int i = 0; i < 5; ++i) {
        if (i > 0)
            QTest::qWait(1000);
        const QString id = QStringLiteral("p%1").arg(i);
        pushed.append(id + QStringLiteral(":xterm"));
        peer.server.pushEvent("update", session(id));
        QTRY_VERIFY_WITH_TIMEOUT(model.indexOfSession(id).isValid(), wait);
        if (i == 0) {
            QCOMPARE(model.pollTimer()->interval(), SessionModel::pollIntervalAfterPush);
            firstRemaining = model.pollTimer()->remainingTime();
            sinceFirstPush.start();
        }
    }
    // The timer counts in whole seconds at this length: a second's leeway either way.
    const int remaining = model.pollTimer()->remainingTime();
    QVERIFY2(remaining <= firstRemaining - int(sinceFirstPush.elapsed()) + 1500,
             qPrintable(QStringLiteral("next poll in %1 ms, %2 ms after the first push, which left %3 ms")
                            .arg(remaining)
                            .arg(sinceFirstPush.elapsed())
                            .arg(firstRemaining)));

    QTRY_COMPARE_WITH_TIMEOUT(listReplies(*peer.rpc), listed + 1, wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(model), QStringList({"a:xterm", "b:xterm", "c:xterm"}) + pushed);
}

void TestSessionModel::pushes() {
    WebPeer peer;
    QVERIFY(peer.start());
    // Entries that are no object or have no id never become rows.
    peer.routes.setOwn(QJsonArray{session("b"), 1, QJsonObject{{"command", "x"}}, session("d")});
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"b:xterm", "d:xterm"}), wait);
    QCOMPARE(model.pollTimer()->interval(), SessionModel::pollInterval);
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);

    Recorder recorder(&model);
    peer.server.pushEvent("update", session("c", "top"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList{"insert 1", "added c", "updated"}), wait);
    QCOMPARE(model.pollTimer()->interval(), SessionModel::pollIntervalAfterPush);
    QVERIFY(model.pollTimer()->isActive());

    recorder.events.clear();
    peer.server.pushEvent("update", session("c", "top", 2));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList{"data 1,1", "data 1,2", "changed c", "updated"}),
                              wait);

    recorder.events.clear();
    QTest::ignoreMessage(QtWarningMsg, "Attempted delete of unknown session zz");
    peer.server.pushEvent("delete", session("zz"));
    peer.server.pushEvent("delete", session("b"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events, (QStringList{"remove 0", "removed b", "updated"}), wait);
    QCOMPARE(rowsOf(model), (QStringList{"c:top", "d:xterm"}));

    // Later polls keep the longer interval.
    model.forceUpdate();
    QCOMPARE(model.pollTimer()->interval(), SessionModel::pollIntervalAfterPush);
}

void TestSessionModel::pushesWhileShared() {
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("own1"), session("own2")});
    peer.routes.setShared(QJsonArray{session("shared1", "top")}, true);
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setShared(true);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), QStringList{"shared1:top"}, wait);

    // Signing in opens the stream, whose answer re-sends the own list; a forced reconnect again.
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);
    QSignalSpy updates(peer.rpc.data(), &RpcInstance::sessionUpdated);
    QSignalSpy deletions(peer.rpc.data(), &RpcInstance::sessionDeleted);
    peer.server.pushEvent("update", session("own3"));
    peer.server.pushEvent("delete", session("shared1"));
    QTRY_COMPARE_WITH_TIMEOUT(deletions.size(), 1, wait);
    QCOMPARE(updates.size(), 1);
    peer.server.endStreams();
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 2, wait);
    QCOMPARE(rowsOf(model), QStringList{"shared1:top"});
    QCOMPARE(model.pollTimer()->interval(), SessionModel::pollInterval);

    // Back to the own sessions: the pushes count again.
    model.setShared(false);
    model.forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"own1:xterm", "own2:xterm"}), wait);
    QTRY_COMPARE_WITH_TIMEOUT(peer.server.openStreams(), 1, wait);
    peer.server.pushEvent("update", session("own3"));
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 3, wait);
}

// The stream drops while a poll is on its way; once reopened it re-sends the whole list, which
// already holds what changed meanwhile. The poll's answer, made before, comes after it and must not
// take those changes back: no push would bring them again, and the next poll is minutes away.
void TestSessionModel::replyOlderThanAReopenedStreamsList() {
    constexpr int slow = 8000;
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a"), session("b")});
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"a:xterm", "b:xterm"}), wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);

    // A poll the server answers slowly, with the list as it is when asked.
    const int replies = listReplies(*peer.rpc);
    const int requests = peer.routes.listRequests();
    peer.routes.setListDelay(slow);
    model.forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), requests + 1, wait);
    peer.routes.setListDelay(0);

    // Meanwhile a session starts and "a" ends, and the stream drops before telling either.
    peer.routes.setOwn(QJsonArray{session("b"), session("c", "top")});
    peer.server.endStreams();
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 2, wait);
    const QStringList current{"b:xterm", "c:top"};
    QCOMPARE(rowsOf(model), current);
    QCOMPARE(listReplies(*peer.rpc), replies + 1);

    QTRY_COMPARE_WITH_TIMEOUT(listReplies(*peer.rpc), replies + 2, slow + wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(model), current);
}

// The stream is reopened and asks for the whole list, which the server makes at once but which is
// slow to arrive. A session starts meanwhile; its push comes first, and a poll made after it is
// answered after the list. The list, older than the push, must not take the session back, nor
// leave it out for good once the poll's answer has come. An update naming no session, sent
// meanwhile, must not come back with the list as a row of its own.
void TestSessionModel::pushWhileTheReopenedStreamsListIsOnItsWay() {
    constexpr int slow = 3000;
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a"), session("b")});
    QSignalSpy pushedLists(peer.rpc.data(), &RpcInstance::sessionsUpdated);
    QVERIFY(peer.signIn());
    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 1, wait);
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"a:xterm", "b:xterm"}), wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);

    const int replies = listReplies(*peer.rpc);
    const int requests = peer.routes.listRequests();
    peer.routes.setListDelay(slow);
    peer.server.endStreams();
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), requests + 1, wait);
    QTRY_COMPARE_WITH_TIMEOUT(peer.server.openStreams(), 1, wait);

    const QStringList current{"a:xterm", "b:xterm", "c:top"};
    peer.routes.setOwn(QJsonArray{session("a"), session("b"), session("c", "top")});
    peer.server.pushEvent("update", QJsonObject{{"command", "top"}});
    peer.server.pushEvent("update", session("c", "top"));
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), current, wait);
    model.forceUpdate(); // answered after the stream's list
    QTRY_COMPARE_WITH_TIMEOUT(peer.routes.listRequests(), requests + 2, wait);

    QTRY_COMPARE_WITH_TIMEOUT(pushedLists.size(), 2, slow + wait);
    QCOMPARE(rowsOf(model), current);
    QTRY_COMPARE_WITH_TIMEOUT(listReplies(*peer.rpc), replies + 2, slow + wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(model), current);
}

void TestSessionModel::refusedRenameStaysUntilTheNextMerge() {
    WebPeer peer;
    QVERIFY(peer.start());
    peer.routes.setOwn(QJsonArray{session("a")});
    SessionModel model(columns, peer.rpc, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.startUpdating();
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 1, wait);

    const QString paramsPath = QStringLiteral("/v3/api/session/params");
    peer.server.script("POST", paramsPath, Response::error("denied", "not yours"));
    Recorder recorder(&model);
    QVERIFY(model.setData(model.index(0, 0), QStringLiteral("Work")));
    QCOMPARE(recorder.events, (QStringList{"data 0,0", "changed a", "updated"}));
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Work"));
    QTRY_COMPARE_WITH_TIMEOUT(peer.server.requests(paramsPath).size(), 1, wait);
    const QJsonObject body = peer.server.requests(paramsPath).at(0).json();
    QCOMPARE(body.value("id").toString(), QStringLiteral("a"));
    QCOMPARE(body.value("name").toString(), QStringLiteral("Work"));
    QTest::qWait(300);
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("Work"));

    model.forceUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(model.index(0, 0).data().toString(), QStringLiteral("xterm"), wait);
    QCOMPARE(peer.server.requests(paramsPath).size(), 1);
}

void TestSessionModel::largeListsWithoutASignalPerRow() {
    const auto numbered = [](int from, int to, int clients) {
        QJsonArray list;
        for (int i = from; i < to; ++i)
            list.append(session(QStringLiteral("s%1").arg(i, 5, 10, QLatin1Char('0')), "xterm", clients));
        return sessionsOf(list);
    };
    SessionModel model(columns, nullptr, nullptr);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    QSignalSpy cells(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy added(&model, &SessionModel::sessionAdded);
    QSignalSpy gone(&model, &SessionModel::sessionRemoved);
    QSignalSpy updated(&model, &SessionModel::sessionsUpdated);

    // A first list of 3,000: one reset, and still one sessionAdded per session.
    model.mergeSessions(numbered(0, 3000, 1));
    QCOMPARE(model.rowCount(), 3000);
    QCOMPARE(inserted.size(), 0);
    QCOMPARE(resets.size(), 1);
    QCOMPARE(added.size(), 3000);
    QCOMPARE(updated.size(), 1);

    // The same sessions again: the refreshed cells of each column in one range.
    model.mergeSessions(numbered(0, 3000, 1));
    QCOMPARE(cells.size(), 1);
    QCOMPARE(cells.at(0).at(0).toModelIndex(), model.index(0, 2));
    QCOMPARE(cells.at(0).at(1).toModelIndex(), model.index(2999, 2));
    QCOMPARE(resets.size(), 1);

    // A thousand gone and a thousand new: one reset again, each removal told.
    model.mergeSessions(numbered(1000, 4000, 1));
    QCOMPARE(model.rowCount(), 3000);
    QCOMPARE(model.sessions().first().id(), QStringLiteral("s01000"));
    QCOMPARE(inserted.size() + removed.size(), 0);
    QCOMPARE(resets.size(), 2);
    QCOMPARE(gone.size(), 1000);
    QCOMPARE(added.size(), 4000);
    QCOMPARE(updated.size(), 2);

    // A few changes to a long list stay row by row.
    model.mergeSessions(numbered(1001, 4001, 1));
    QCOMPARE(inserted.size(), 1);
    QCOMPARE(removed.size(), 1);
    QCOMPARE(resets.size(), 2);
}

QTEST_MAIN(TestSessionModel)
#include "tst_session_model.moc"

#include "sessions/SessionModel.h"
#include "sessions/SessionSortFilterProxyModel.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QStandardItemModel>
#include <QTest>

#include <algorithm>

namespace {

const QStringList columns{"name", "connections", "uptime", "login"};
constexpr int uptimeColumn = 2;

QJsonObject session(const QString& id, const QString& lastConnect, const QString& started = QString()) {
    QJsonObject o{{"id", id}, {"command", "xterm"}};
    if (!lastConnect.isEmpty())
        o.insert("lastConnect", "2026-03-02T" + lastConnect + ":00Z");
    if (!started.isEmpty())
        o.insert("started", "2026-03-02T" + started + ":00Z");
    return o;
}

SessionList sessionsOf(const QJsonArray& array) {
    SessionList list;
    for (const QJsonValue& v : array)
        list.append(Session::fromJson(v.toObject()));
    return list;
}

QStringList order(const QAbstractItemModel& proxy) {
    QStringList ids;
    for (int r = 0; r < proxy.rowCount(); ++r)
        ids.append(proxy.index(r, 0).data(SessionModel::SessionRole).value<Session>().id());
    return ids;
}

// Set up as the session page does it.
void configure(SessionSortFilterProxyModel& proxy) {
    proxy.setDynamicSortFilter(false);
    proxy.setSessionRole(SessionModel::SessionRole);
    proxy.setSortLocaleAware(true);
    proxy.setSortRole(SessionModel::SortRole);
}

} // namespace

class TestSessionSortProxy : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerSessionMetaTypes(); }
    void order_data();
    void order();
    void noSessionComparesBySortRole();
};

void TestSessionSortProxy::order_data() {
    QTest::addColumn<QJsonArray>("first");
    QTest::addColumn<QJsonArray>("later");
    QTest::addColumn<QStringList>("ascending");
    QTest::addColumn<QStringList>("descending");

    const QJsonArray abc{session("a", "10:00"), session("b", QString()), session("c", "09:00")};
    QTest::newRow("first list, then a's time changes")
        << abc << QJsonArray{session("a", "12:00"), session("b", "11:00"), session("c", "09:00")}
        << QStringList{"b", "c", "a"} << QStringList{"a", "c", "b"};
    QTest::newRow("newcomers by start time")
        << abc
        << QJsonArray{session("a", "10:00"), session("b", QString()), session("c", "09:00"),
                      session("e", QString(), "11:00"), session("d", QString(), "08:00")}
        << QStringList{"b", "c", "a", "d", "e"} << QStringList{"e", "d", "a", "c", "b"};
    // The known sessions change rows between sorts: the recorded order goes with the session.
    QTest::newRow("a known session ends")
        << QJsonArray{session("a", "08:00"), session("b", "10:00"), session("c", "09:00")}
        << QJsonArray{session("b", "10:00"), session("c", "09:00")} << QStringList{"c", "b"}
        << QStringList{"b", "c"};
    QJsonArray fewBefore{session("m", "10:00"), session("n", "09:00")};
    QStringList fewAscending{"n", "m"};
    QJsonArray manyBefore = fewBefore;
    QStringList manyAscending = fewAscending;
    for (int i = 0; i < 100; ++i) {
        const QString started = QStringLiteral("%1:%2").arg(i / 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0'));
        const QString id = QStringLiteral("k%1").arg(99 - i, 3, 10, QLatin1Char('0'));
        if (i < 3) {
            fewBefore.append(session(id, QString(), started));
            fewAscending.append(id);
        }
        manyBefore.append(session(id, QString(), started));
        manyAscending.append(id);
    }
    QStringList fewDescending = fewAscending;
    std::reverse(fewDescending.begin(), fewDescending.end());
    QStringList manyDescending = manyAscending;
    std::reverse(manyDescending.begin(), manyDescending.end());
    QTest::newRow("a few new sessions before the known ones")
        << QJsonArray{session("m", "10:00"), session("n", "09:00")} << fewBefore << fewAscending << fewDescending;
    QTest::newRow("many new sessions before the known ones")
        << QJsonArray{session("m", "10:00"), session("n", "09:00")} << manyBefore << manyAscending << manyDescending;
    QTest::newRow("empty first list")
        << QJsonArray()
        << QJsonArray{session("d", "07:00", "08:00"), session("e", QString(), "11:00"),
                      session("a", "06:00", "09:00")}
        << QStringList{"d", "a", "e"} << QStringList{"e", "a", "d"};
}

void TestSessionSortProxy::order() {
    QFETCH(QJsonArray, first);
    QFETCH(QJsonArray, later);
    QFETCH(QStringList, ascending);
    QFETCH(QStringList, descending);

    SessionModel model(columns, nullptr, nullptr);
    SessionSortFilterProxyModel proxy;
    configure(proxy);
    proxy.setSourceModel(&model);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    // The page records the order on every batch and sorts again.
    connect(&model, &SessionModel::sessionsUpdated, &proxy, [&] {
        proxy.setInitialOrder(model.sessions());
        proxy.sort(proxy.sortColumn(), proxy.sortOrder());
    });
    proxy.sort(uptimeColumn, Qt::AscendingOrder);
    model.mergeSessions(sessionsOf(first));
    if (first.isEmpty())
        proxy.setInitialOrder(SessionList());
    QVERIFY(proxy.isOrderFixed());
    model.mergeSessions(sessionsOf(later));

    proxy.sort(uptimeColumn, Qt::AscendingOrder);
    QCOMPARE(::order(proxy), ascending);
    proxy.sort(uptimeColumn, Qt::DescendingOrder);
    QCOMPARE(::order(proxy), descending);
}

void TestSessionSortProxy::noSessionComparesBySortRole() {
    QStandardItemModel source;
    for (int key : {3, 1, 2}) {
        auto* item = new QStandardItem(QString::number(key));
        item->setData(key, SessionModel::SortRole);
        source.appendRow(item);
    }
    SessionSortFilterProxyModel proxy;
    configure(proxy);
    proxy.setInitialOrder(sessionsOf(QJsonArray{session("x", "10:00")}));
    proxy.setSourceModel(&source);
    proxy.sort(0, Qt::AscendingOrder);
    QStringList texts;
    for (int r = 0; r < proxy.rowCount(); ++r)
        texts.append(proxy.index(r, 0).data().toString());
    QCOMPARE(texts, (QStringList{"1", "2", "3"}));
}

QTEST_MAIN(TestSessionSortProxy)
#include "tst_session_sort_proxy.moc"

// The bookmark model and the start-session dialog over the ssh transport: the test server command
// behind a real sshd answers from its bookmark state.

#include "../rpc/ssh/SshRpcFixture.h"

#include "bookmarks/BookmarkModel.h"
#include "bookmarks/StartSessionDialog.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace {

constexpr int wait = SshRpcFixture::timeoutMs;

QJsonObject state() {
    return QJsonObject{
        {"system", QJsonArray{QJsonObject{{"id", "s1"}, {"name", "Desk"}, {"command", "desk"},
                                          {"geometry", "rootless"}, {"icon", "png:#20a040"}}}},
        {"user", QJsonArray{QJsonObject{{"id", "b7"},
                                        {"name", "Term"},
                                        {"command", "xterm -ls"},
                                        {"geometry", "1024x768"},
                                        {"params", QJsonObject{{"a", 1}}},
                                        {"form", QJsonArray{"f1"}},
                                        {"tags", QJsonArray{"Tools"}}}}},
        {"history", QJsonArray{QJsonObject{{"id", "h1"}, {"command", "top"}, {"geometry", "800x600"}}}},
        {"favorites", QJsonArray{"s1"}}};
}

QStringList rowsOf(const BookmarkModel& model) {
    QStringList rows;
    for (const Bookmark& b : model.bookmarks())
        rows.append(b.id() + QLatin1Char(':') + b.name());
    return rows;
}

} // namespace

class TestBookmarksSsh : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void modelFollowsTheServer();
    void staleAndRefusedAnswers();
    void dialogRequest();

private:
    QSharedPointer<RpcInstance> connected(const QJsonObject& script);

    SshRpcFixture m_fixture;
    QTemporaryDir m_settings;
};

void TestBookmarksSsh::initTestCase() {
    QLoggingCategory::setFilterRules("velnor.rpc.debug=false");
    QCoreApplication::setOrganizationName("velnor-tests");
    QCoreApplication::setApplicationName("tst_bookmarks_ssh");
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QVERIFY(m_settings.isValid());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_settings.path());
    QString error;
    QVERIFY2(m_fixture.start(&error), qPrintable(error));
}

void TestBookmarksSsh::init() {
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

QSharedPointer<RpcInstance> TestBookmarksSsh::connected(const QJsonObject& script) {
    QSharedPointer<RpcInstance> instance(new RpcInstanceSsh(m_fixture.settings(script)));
    QSignalSpy ready(instance.data(), &RpcInstance::ready);
    QSignalSpy finished(instance.data(), &RpcInstance::finished);
    if (!QTest::qWaitFor([&] { return ready.count() == 1 || finished.count() > 0; }, wait) || ready.count() != 1) {
        qWarning() << "not connected:" << instance->log() << m_fixture.sshd.serverLog();
        return nullptr;
    }
    return instance;
}

void TestBookmarksSsh::modelFollowsTheServer() {
    const QSharedPointer<RpcInstance> rpc = connected(QJsonObject{{"bookmarks", state()}});
    QVERIFY(rpc);
    BookmarkModel model({"name", "type", "command", "geometry"}, rpc);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTRY_COMPARE_WITH_TIMEOUT(rowsOf(model), (QStringList{"b7:Term", "h1:", "s1:Desk"}), wait);
    const Bookmark desk = model.bookmarks().at(2);
    QCOMPARE(desk.type(), SuggestionType);
    QVERIFY(desk.isFavorite());
    QCOMPARE(desk.icon().size(), QSize(16, 16));
    QCOMPARE(model.index(2, 3).data().toString(), QString("Multiple"));
    QCOMPARE(model.bookmarks().at(1).type(), HistoryType);

    QVERIFY(model.setData(model.index(0, 0), "Shell"));
    model.favorite("b7");
    QTRY_VERIFY_WITH_TIMEOUT(model.bookmarks().at(0).isFavorite(), wait);
    QCOMPARE(model.bookmarks().at(0).name(), QString("Shell"));
    // Fields the edit does not carry stay on the server.
    QCOMPARE(model.bookmarks().at(0).tags(), QStringList{"Tools"});

    model.deleteBookmark(1);
    QCOMPARE(rowsOf(model), (QStringList{"b7:Shell", "s1:Desk"}));
    model.fetch();
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QSignalSpy updated(&model, &BookmarkModel::bookmarksUpdated);
    model.fetch();
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QCOMPARE(rowsOf(model), (QStringList{"b7:Shell", "s1:Desk"}));
    QCOMPARE(updated.size(), 0);
}

void TestBookmarksSsh::staleAndRefusedAnswers() {
    // The second list is slow: its old names arrive after the rename's answer, and before the
    // refusal of an unfavourite, which comes later still.
    const QJsonObject denied{{"error", QJsonObject{{"name", "denied"}, {"message", "Read only"}}},
                             {"delayMs", 2000}};
    const QJsonObject script{
        {"bookmarks", state()},
        {"methods", QJsonObject{{"/v3/api/bookmark/list", QJsonArray{QJsonObject(), QJsonObject{{"delayMs", 1500}},
                                                                     QJsonObject()}},
                                {"/v3/api/bookmark/unfavorite", denied}}}};
    const QSharedPointer<RpcInstance> rpc = connected(script);
    QVERIFY(rpc);
    BookmarkModel model({"name"}, rpc);
    QTRY_COMPARE_WITH_TIMEOUT(model.rowCount(), 3, wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);

    QStringList names;
    connect(&model, &QAbstractItemModel::dataChanged, this,
            [&names](const QModelIndex& index) { names.append(index.data().toString()); });
    model.fetch();
    QVERIFY(model.setData(model.index(0, 0), "Renamed"));
    model.unfavorite("s1");
    QTRY_VERIFY_WITH_TIMEOUT(rpc->log().contains("Failed to unfavorite a bookmark: Read only"), wait);
    QTRY_VERIFY_WITH_TIMEOUT(!model.settleTimer()->isActive(), wait);
    QVERIFY(model.bookmarks().at(2).isFavorite());
    QCOMPARE(model.bookmarks().at(0).name(), QString("Renamed"));
    QCOMPARE(names, QStringList{"Renamed"});
}

void TestBookmarksSsh::dialogRequest() {
    const QSharedPointer<RpcInstance> rpc = connected(QJsonObject{{"bookmarks", state()}});
    QVERIFY(rpc);
    StartSessionDialog dialog(rpc, false, QVariantMap{{"hideTags", QVariantList{"system"}}});
    // The first tag is "Favorites" (own tags sort first); the favourite suggestion is applied.
    QTRY_COMPARE_WITH_TIMEOUT(dialog.sessionParams(),
                              (QJsonObject{{"command", "desk"},
                                           {"geometry", "rootless"},
                                           {"name", "Desk"},
                                           {"params", QJsonObject{{"bookmarkId", "s1"}}}}),
                              wait);
    QCOMPARE(dialog.suggestionsPopup()->topLevelItemCount(), 1);
}

QTEST_MAIN(TestBookmarksSsh)
#include "tst_bookmarks_ssh.moc"

#include "sessions/Session.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

QJsonObject json(const char* text) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(text), &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON: %s", text);
    return doc.object();
}

} // namespace

class TestSession : public QObject {
    Q_OBJECT
private slots:
    void geometry_data();
    void geometry();
    void typedFields();
    void times_data();
    void times();
    void sharingFlag_data();
    void sharingFlag();
    void params();
    void equalityIgnoresSharing();
    void travelsInVariant();
};

void TestSession::geometry_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("geometry");
    QTest::newRow("from screen size") << R"({"screenWidth":1280,"screenHeight":800})"
                                      << "1280x800";
    QTest::newRow("string wins") << R"({"geometry":"1024x768","screenWidth":1,"screenHeight":2})"
                                 << "1024x768";
    QTest::newRow("number geometry, no height") << R"({"geometry":5,"screenWidth":1280})"
                                                << "";
    QTest::newRow("height as string") << R"({"screenWidth":1280,"screenHeight":"800"})"
                                      << "";
    QTest::newRow("large values in general notation") << R"({"screenWidth":1234567,"screenHeight":1.5})"
                                                      << "1.23457e+06x1.5";
}

void TestSession::geometry() {
    QFETCH(QString, input);
    QFETCH(QString, geometry);
    QCOMPARE(Session::fromJson(json(input.toUtf8().constData())).geometry(), geometry);
}

void TestSession::typedFields() {
    const Session s = Session::fromJson(json(R"({"id":"s1","windowMode":"rootless","command":"xterm",
        "clientCount":3,"login":"ann","hostname":"h1","version":"9","unknown":true})"));
    QCOMPARE(s.id(), QString("s1"));
    QCOMPARE(s.windowMode(), QString("rootless"));
    QCOMPARE(s.command(), QString("xterm"));
    QCOMPARE(s.clientCount(), 3);
    QCOMPARE(s.login(), QString("ann"));
    QCOMPARE(s.hostname(), QString("h1"));
    QCOMPARE(s.version(), QString("9"));

    // Wrong types leave defaults; a missing id gives an invalid (empty-id) record.
    const Session wrong = Session::fromJson(json(R"({"id":7,"clientCount":"3","login":false})"));
    QVERIFY(wrong.id().isEmpty());
    QCOMPARE(wrong.clientCount(), 0);
    QVERIFY(wrong.login().isEmpty());
    QCOMPARE(Session::fromJson(json(R"({"clientCount":2.5})")).clientCount(), 0);
}

void TestSession::times_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("utc");
    QTest::newRow("Z suffix") << "2024-03-01T10:20:30Z" << true << true;
    QTest::newRow("milliseconds") << "2024-03-01T10:20:30.250Z" << true << true;
    QTest::newRow("not a date") << "yesterday" << false << false;
}

void TestSession::times() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(bool, utc);
    QJsonObject o;
    o.insert("started", text);
    o.insert("lastConnect", text);
    const Session s = Session::fromJson(o);
    QCOMPARE(s.started().isValid(), valid);
    QCOMPARE(s.lastConnect().isValid(), valid);
    QVERIFY(!s.lastDisconnect().isValid());
    if (valid) {
        QCOMPARE(s.started().timeSpec() == Qt::UTC, utc);
        QCOMPARE(s.started().toUTC().time().hour(), 10);
    }
}

void TestSession::sharingFlag_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("sharing");
    QTest::newRow("result object") << R"({"plugins":{"sharing":{"result":{}}}})" << true;
    QTest::newRow("result true") << R"({"plugins":{"sharing":{"result":true}}})" << false;
    QTest::newRow("no result") << R"({"plugins":{"sharing":{}}})" << false;
    QTest::newRow("plugins array") << R"({"plugins":[]})" << false;
}

void TestSession::sharingFlag() {
    QFETCH(QString, input);
    QFETCH(bool, sharing);
    QCOMPARE(Session::fromJson(json(input.toUtf8().constData())).isSharing(), sharing);
}

void TestSession::params() {
    Session s = Session::fromJson(json(R"({"params":{"name":"Work","n":2,"z":null}})"));
    QCOMPARE(s.param("name").toString(), QString("Work"));
    QCOMPARE(s.param("n").type(), QVariant::Double);
    QCOMPARE(s.param("n").toDouble(), 2.0);
    // A present null is returned as is; an absent key gives the default.
    QVERIFY(s.param("z", "d").isNull());
    QCOMPARE(s.param("missing", "d").toString(), QString("d"));
    s.setParam("name", "Other");
    QCOMPARE(s.param("name").toString(), QString("Other"));
    QVERIFY(Session::fromJson(json(R"({"params":[1]})")).params().isEmpty());
}

void TestSession::equalityIgnoresSharing() {
    const Session a = Session::fromJson(json(R"({"id":"x","plugins":{"sharing":{"result":{}}}})"));
    const Session b = Session::fromJson(json(R"({"id":"x"})"));
    QVERIFY(a.isSharing() != b.isSharing());
    QVERIFY(a == b);
    const Session c = Session::fromJson(json(R"({"id":"x","params":{"k":1}})"));
    QVERIFY(a != c);
}

void TestSession::travelsInVariant() {
    registerSessionMetaTypes();
    QVERIFY(QMetaType::type("Session") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("SessionList") != QMetaType::UnknownType);
    const SessionList list{Session::fromJson(json(R"({"id":"a"})"))};
    QCOMPARE(QVariant::fromValue(list).value<SessionList>().first().id(), QString("a"));
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"

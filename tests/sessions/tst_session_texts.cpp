#include "sessions/SessionTexts.h"

#include <QJsonObject>
#include <QTest>

#include <ctime>

namespace {

// A time as the server sends it (ISO with Z) or as local wall time (no suffix).
QDateTime at(const QString& text) {
    return QDateTime::fromString(text, Qt::ISODate);
}

void useZone(const QByteArray& zone) {
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class TestSessionTexts : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { useZone(m_zone); }
    void initTestCase() { m_zone = qgetenv("TZ"); }
    void elapsed_data();
    void elapsed();
    void sessionTexts_data();
    void sessionTexts();

private:
    QByteArray m_zone;
};

void TestSessionTexts::elapsed_data() {
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("now");
    QTest::addColumn<QString>("text");

    for (const QByteArray& zone : {QByteArray("UTC0"), QByteArray("EET-2")}) {
        const auto row = [&zone](const char* name) -> QTestData& {
            return QTest::addRow("%s %s", zone.constData(), name);
        };
        row("null") << zone << QString() << "2026-03-02T12:00:00" << QString();
        row("30 s") << zone << "2026-03-02T11:59:30"
                    << "2026-03-02T12:00:00"
                    << "< 1 min";
        row("day, hours, minutes") << zone << "2026-03-01T10:00:00"
                                   << "2026-03-02T12:05:00"
                                   << "1 day, 2 hr, 5 min";
        row("exactly 3 days") << zone << "2026-03-01T10:00:00"
                              << "2026-03-04T10:00:00"
                              << "3 days";
        row("almost 3 days") << zone << "2026-03-01T10:00:00"
                             << "2026-03-04T09:59:00"
                             << "2 days, 23 hr, 59 min";
        row("23:00 yesterday at 01:00") << zone << "2026-03-01T23:00:00"
                                        << "2026-03-02T01:00:00"
                                        << "2 hr";
        row("an hour, no minutes") << zone << "2026-03-02T11:00:10"
                                   << "2026-03-02T12:00:20"
                                   << "1 hr";
        row("start in the future") << zone << "2026-03-03T10:00:00"
                                   << "2026-03-02T12:00:00"
                                   << "< 1 min";
    }
    // Sent in UTC across midnight UTC; east of UTC both lie on the same local day.
    QTest::newRow("east, across midnight UTC") << QByteArray("EET-2") << "2026-03-01T23:45:00Z"
                                               << "2026-03-02T00:15:00Z"
                                               << "30 min";
    QTest::newRow("UTC, across midnight") << QByteArray("UTC0") << "2026-03-01T23:45:00Z"
                                          << "2026-03-02T00:15:00Z"
                                          << "30 min";
    QTest::newRow("east, a day in UTC") << QByteArray("EET-2") << "2026-03-01T23:45:00Z"
                                        << "2026-03-03T00:15:00Z"
                                        << "1 day, 30 min";
}

void TestSessionTexts::elapsed() {
    QFETCH(QByteArray, zone);
    QFETCH(QString, start);
    QFETCH(QString, now);
    QFETCH(QString, text);
    useZone(zone);
    const QDateTime from = start.isEmpty() ? QDateTime() : at(start);
    QCOMPARE(elapsedText(from, at(now).toLocalTime()), text);
}

void TestSessionTexts::sessionTexts_data() {
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("clients");
    QTest::addColumn<QString>("login");

    QTest::newRow("named, idle") << QJsonObject{{"id", "s1"},
                                                {"command", "xterm"},
                                                {"params", QJsonObject{{"name", "Work"}}},
                                                {"lastDisconnect", "2026-03-02T11:00:00Z"},
                                                {"login", "ann"},
                                                {"hostname", "h1"}}
                                 << "Work"
                                 << "Idle 1 hr"
                                 << "ann@h1";
    QTest::newRow("empty name, never connected") << QJsonObject{{"id", "s1"},
                                                                {"command", "xterm"},
                                                                {"params", QJsonObject{{"name", ""}}},
                                                                {"hostname", "h1"}}
                                                 << "xterm"
                                                 << "Idle "
                                                 << "h1";
    QTest::newRow("one client") << QJsonObject{{"id", "s1"}, {"clientCount", 1}, {"login", "ann"}}
                                << QString() << "1 client"
                                << "ann";
    QTest::newRow("three clients") << QJsonObject{{"id", "s1"}, {"clientCount", 3}} << QString()
                                   << "3 clients" << QString();
}

void TestSessionTexts::sessionTexts() {
    QFETCH(QJsonObject, json);
    QFETCH(QString, name);
    QFETCH(QString, clients);
    QFETCH(QString, login);
    useZone("UTC0");
    const Session s = Session::fromJson(json);
    QCOMPARE(sessionDisplayName(s), name);
    QCOMPARE(sessionClientCountText(s, at("2026-03-02T12:00:30Z")), clients);
    QCOMPARE(sessionLoginText(s), login);
}

QTEST_GUILESS_MAIN(TestSessionTexts)
#include "tst_session_texts.moc"

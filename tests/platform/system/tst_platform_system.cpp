#include "platform/system/LocalSocketSetup.h"
#include "platform/system/PortRange.h"
#include "platform/system/SystemRandom.h"
#include "platform/system/UserInfo.h"

#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <QUuid>
#include <cstring>

class TestPlatformSystem : public QObject {
    Q_OBJECT
private slots:
    void randomBytes();
    void randomSourceOverride();
    void loginNameMatchesUserDatabase();
    void loginNameFallbacks_data();
    void loginNameFallbacks();
    void userOnlySocket();
    void listenFailureIsReported();
    void portsOutsideEphemeralRange_data();
    void portsOutsideEphemeralRange();
    void ephemeralRangeOfThisSystem();
};

void TestPlatformSystem::randomBytes() {
    unsigned char a[32];
    unsigned char b[32];
    QVERIFY(platform::systemRandomBytes(a, sizeof a));
    QVERIFY(platform::systemRandomBytes(b, sizeof b));
    QVERIFY(std::memcmp(a, b, sizeof a) != 0);
}

void TestPlatformSystem::randomSourceOverride() {
    const auto failing = [](void*, std::size_t) { return false; };
    QVERIFY(platform::setRandomSource(failing) == nullptr);
    unsigned char a[4];
    QVERIFY(!platform::systemRandomBytes(a, sizeof a));
    QVERIFY(platform::setRandomSource(nullptr) != nullptr);
    QVERIFY(platform::systemRandomBytes(a, sizeof a));
}

void TestPlatformSystem::loginNameMatchesUserDatabase() {
    QProcess id;
    id.start("id", {"-un"});
    QVERIFY(id.waitForFinished(5000));
    QCOMPARE(platform::loginName(), QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed());
}

void TestPlatformSystem::loginNameFallbacks_data() {
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("expected");
    QTest::newRow("database first") << "alice"
                                    << "bob"
                                    << "alice";
    QTest::newRow("no entry: USER") << ""
                                    << "bob"
                                    << "bob";
    QTest::newRow("neither: the id") << ""
                                     << ""
                                     << "54321";
    QTest::newRow("cut at 256") << QString(300, 'a') << "" << QString(256, 'a');
    // A character outside the basic plane across the limit goes whole.
    QTest::newRow("pair not split") << "" << QString(255, 'u') + QString::fromUcs4(U"\U0001F512")
                                    << QString(255, 'u');
}

void TestPlatformSystem::loginNameFallbacks() {
    QFETCH(QString, database);
    QFETCH(QString, user);
    QFETCH(QString, expected);
    QCOMPARE(platform::chooseLoginName(database, user, 54321), expected);
}

void TestPlatformSystem::userOnlySocket() {
    QLocalServer server;
    QString error;
    const QString name = "velnor-test-" + QUuid::createUuid().toString(QUuid::Id128);
    QVERIFY2(platform::listenUserOnly(&server, name, &error), qPrintable(error));
    const QFileDevice::Permissions perms = QFile::permissions(server.fullServerName());
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(perms & others, QFileDevice::Permissions());

    QLocalSocket client;
    client.connectToServer(server.fullServerName());
    QVERIFY(client.waitForConnected(2000));
}

void TestPlatformSystem::listenFailureIsReported() {
    QLocalServer server;
    QString error;
    QVERIFY(!platform::listenUserOnly(&server, "/nonexistent-dir/velnor/sock", &error));
    QVERIFY(!server.isListening());
    QVERIFY(!error.isEmpty());
}

void TestPlatformSystem::portsOutsideEphemeralRange_data() {
    QTest::addColumn<int>("ephemeralFirst");
    QTest::addColumn<int>("ephemeralLast");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");
    // Linux's default range holds the wanted block: it moves just above.
    QTest::newRow("inside, moves above") << 32768 << 61000 << 61000 << 61100;
    QTest::newRow("below the range stays") << 49152 << 65535 << 41000 << 41100;
    QTest::newRow("unknown range stays") << 0 << 0 << 41000 << 41100;
    QTest::newRow("overlapping the start moves") << 41050 << 60000 << 60000 << 60100;
    QTest::newRow("no room above, moves below") << 20000 << 65500 << 19900 << 20000;
}

void TestPlatformSystem::portsOutsideEphemeralRange() {
    QFETCH(int, ephemeralFirst);
    QFETCH(int, ephemeralLast);
    QFETCH(int, first);
    QFETCH(int, last);
    const platform::PortRange got =
        platform::outsideEphemeralPorts({41000, 41100}, {quint16(ephemeralFirst), quint16(ephemeralLast)});
    QCOMPARE(int(got.first), first);
    QCOMPARE(int(got.last), last);
}

void TestPlatformSystem::ephemeralRangeOfThisSystem() {
    const platform::PortRange ephemeral = platform::ephemeralPortRange();
    QVERIFY(ephemeral.first > 0);
    QVERIFY(ephemeral.first < ephemeral.last);
    const platform::PortRange chosen = platform::outsideEphemeralPorts({41000, 41100});
    QCOMPARE(chosen.last - chosen.first, 100);
    QVERIFY(chosen.last <= ephemeral.first || chosen.first >= ephemeral.last);
}

QTEST_GUILESS_MAIN(TestPlatformSystem)
#include "tst_platform_system.moc"

#include "platform/system/LocalSocketSetup.h"
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
    void userOnlySocket();
    void listenFailureIsReported();
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

QTEST_GUILESS_MAIN(TestPlatformSystem)
#include "tst_platform_system.moc"

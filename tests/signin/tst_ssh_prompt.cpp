// The whole prompt path against a real sshd: ssh asks for the key's passphrase through murrow and
// the prompt server, the test answers through SshProcess::answer, and the remote interface command
// then speaks netstrings behind its start marker.

#include "SshdHarness.h"

#include "rpc/BoyerMooreMatcher.h"
#include "rpc/NetStringReader.h"
#include "signin/SshProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

const QString passphrase = QStringLiteral("secret");

QString serverInterfaceCommand() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("velnor-test-server-interface");
}

// Sets an environment variable (or removes it, for a null value) and puts the old value back.
class EnvSetting {
public:
    EnvSetting(const char* name, const QByteArray& value)
        : m_name(name)
        , m_had(qEnvironmentVariableIsSet(name))
        , m_old(qgetenv(name)) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvSetting() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvSetting(const EnvSetting&) = delete;
    EnvSetting& operator=(const EnvSetting&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace

class TestSshPrompt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void passphraseThenProtocol();
    void wrongPassphraseFails();
    void askPassOfTheEnvironmentIsNotUsed_data();
    void askPassOfTheEnvironmentIsNotUsed();

private:
    SshLaunchSettings settings() const;

    SshdHarness m_sshd;
};

void TestSshPrompt::initTestCase() {
    qRegisterMetaType<QProcess::ExitStatus>();
    QString error;
    m_sshd.setUserKeyPassphrase(passphrase);
    QVERIFY2(m_sshd.start(&error), qPrintable(error));
}

void TestSshPrompt::cleanupTestCase() {
    m_sshd.stop();
}

void TestSshPrompt::init() {
    // The prompt must come to us, not to whatever helper the environment names.
    qunsetenv("SSH_ASKPASS");
    qunsetenv("SSH_AUTH_SOCK");
}

SshLaunchSettings TestSshPrompt::settings() const {
    SshLaunchSettings s;
    s.host = m_sshd.host();
    s.port = m_sshd.port();
    s.user = m_sshd.user();
    s.run = serverInterfaceCommand();
    s.sshOptions = m_sshd.clientOptions();
    return s;
}

void TestSshPrompt::passphraseThenProtocol() {
    SshProcess ssh;
    QStringList prompts;
    connect(&ssh, &SshProcess::questioned, this, [&](const QString& prompt) {
        prompts << prompt;
        ssh.answer(passphrase);
    });
    std::unique_ptr<BoyerMooreMatcher> marker(BoyerMooreMatcher::forStartMarker());
    NetStringReader reader;
    QList<QByteArray> messages;
    connect(&ssh, &QProcess::readyReadStandardOutput, this, [&] {
        if (!marker->found())
            marker->feed(&ssh);
        if (!marker->found())
            return;
        for (;;) {
            reader.processBytes(&ssh);
            if (!reader.isOk() || !reader.isComplete())
                return;
            messages << reader.data();
        }
    });
    ssh.start(settings());
    QVERIFY(ssh.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(marker->found() || ssh.state() == QProcess::NotRunning, 20000);
    QVERIFY2(marker->found(), qPrintable(ssh.readAllStandardError() + m_sshd.serverLog()));
    QCOMPARE(prompts.size(), 1);
    QVERIFY2(prompts[0].startsWith("Enter passphrase for key '" + m_sshd.userKeyFile()),
             qPrintable(prompts[0]));

    const QByteArray request = QJsonDocument(QJsonObject{{"jsonrpc", "2.0"},
                                                         {"id", "r1"},
                                                         {"method", "echo"},
                                                         {"params", QJsonObject{{"k", "v"}}}})
                                   .toJson(QJsonDocument::Compact);
    ssh.write(QByteArray::number(request.size()) + ':' + request + ',');
    QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 10000);
    const QJsonObject reply = QJsonDocument::fromJson(messages[0]).object();
    QCOMPARE(reply.value("id").toString(), QString("r1"));
    QCOMPARE(reply.value("result").toObject().value("k").toString(), QString("v"));

    // The dynamic forward is up on the chosen port.
    QTcpSocket socks;
    socks.connectToHost(QHostAddress::LocalHost, ssh.tunnelPort());
    QVERIFY(socks.waitForConnected(5000));
    socks.abort();

    ssh.close();
    QCOMPARE(ssh.state(), QProcess::NotRunning);
}

void TestSshPrompt::wrongPassphraseFails() {
    SshProcess ssh;
    int asked = 0;
    connect(&ssh, &SshProcess::questioned, this, [&](const QString&) {
        ++asked;
        ssh.answer("not the passphrase");
    });
    QSignalSpy finished(&ssh, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    ssh.start(settings());
    QVERIFY(finished.wait(30000));
    QVERIFY(asked >= 1);
    QCOMPARE(ssh.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ssh.exitCode(), 255);
    const QString stderrText = QString::fromLocal8Bit(ssh.readAllStandardError());
    QVERIFY2(stderrText.contains("Permission denied"), qPrintable(stderrText));
}

// A desktop that names its own password helper, and may tell ssh when to use it: the passphrase is
// still asked here, and the rest of the user's environment reaches ssh as it was.
void TestSshPrompt::askPassOfTheEnvironmentIsNotUsed_data() {
    QTest::addColumn<QByteArray>("require"); // null: not set
    QTest::newRow("helper only") << QByteArray();
    QTest::newRow("helper, never used") << QByteArray("never");
    QTest::newRow("helper, preferred") << QByteArray("prefer");
}

void TestSshPrompt::askPassOfTheEnvironmentIsNotUsed() {
    QFETCH(QByteArray, require);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString otherUsed = dir.filePath(QStringLiteral("other-helper-was-asked"));
    const QString otherHelper = dir.filePath(QStringLiteral("other-helper"));
    QFile script(otherHelper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch '" + QFile::encodeName(otherUsed) + "'\necho not-the-passphrase\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));
    const QByteArray kept = "kept as it is: a=b c";
    EnvSetting askPass("SSH_ASKPASS", QFile::encodeName(otherHelper));
    EnvSetting askPassRequire("SSH_ASKPASS_REQUIRE", require);
    EnvSetting userSetting("VELNOR_TEST_USER_SETTING", kept);

    // ssh runs this on the local side once it is signed in, with its own environment.
    const QString seen = dir.filePath(QStringLiteral("environment"));
    SshLaunchSettings s = settings();
    s.run = QStringLiteral("true");
    s.sshOptions << "-o"
                 << "PermitLocalCommand=yes"
                 << "-o" << QStringLiteral("LocalCommand=env > '%1'").arg(seen);
    SshProcess ssh;
    QStringList prompts;
    connect(&ssh, &SshProcess::questioned, this, [&](const QString& prompt) {
        prompts << prompt;
        ssh.answer(passphrase);
    });
    QSignalSpy finished(&ssh, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    ssh.start(s);
    QVERIFY(finished.wait(30000));
    QVERIFY2(!QFile::exists(otherUsed), "the environment's helper was asked");
    QCOMPARE(prompts.size(), 1);
    QVERIFY2(prompts[0].startsWith("Enter passphrase for key '" + m_sshd.userKeyFile()),
             qPrintable(prompts[0]));
    QVERIFY2(ssh.exitCode() == 0, qPrintable(ssh.readAllStandardError()));

    QFile env(seen);
    QVERIFY(env.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = env.readAll().split('\n');
    QVERIFY(lines.contains("VELNOR_TEST_USER_SETTING=" + kept));
    QVERIFY(lines.contains("HOME=" + qgetenv("HOME")));
    QVERIFY(lines.contains("SSH_ASKPASS_REQUIRE=force"));
    QVERIFY(lines.contains(
        "SSH_ASKPASS=" + QFile::encodeName(QDir(QCoreApplication::applicationDirPath()).filePath("murrow"))));
}

QTEST_GUILESS_MAIN(TestSshPrompt)
#include "tst_ssh_prompt.moc"

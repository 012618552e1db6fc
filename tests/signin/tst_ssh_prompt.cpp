// The whole prompt path against a real sshd: ssh asks for the key's passphrase through murrow and
// the prompt server, the test answers through SshProcess::answer, and the remote interface command
// then speaks netstrings behind its start marker.

#include "SshdHarness.h"

#include "rpc/BoyerMooreMatcher.h"
#include "rpc/NetStringReader.h"
#include "signin/SshProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <memory>

namespace {

const QString passphrase = QStringLiteral("secret");

QString serverInterfaceCommand() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("velnor-test-server-interface");
}

} // namespace

class TestSshPrompt : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void passphraseThenProtocol();
    void wrongPassphraseFails();

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

QTEST_GUILESS_MAIN(TestSshPrompt)
#include "tst_ssh_prompt.moc"

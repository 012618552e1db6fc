#include "signin/SshProcess.h"

#include "platform/system/SystemRandom.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

namespace {

// "-G" makes the real ssh client print the configuration it resolved from its arguments and exit
// without connecting.
SshLaunchSettings printConfig() {
    SshLaunchSettings s;
    s.host = "example.invalid";
    s.sshOptions = QStringList{"-G"};
    return s;
}

// ssh -G output as lower-case key -> value.
QMap<QString, QString> resolvedConfig(SshProcess& p) {
    QMap<QString, QString> config;
    if (!p.waitForFinished(10000))
        return config;
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        const int space = line.indexOf(' ');
        if (space > 0)
            config.insert(QString::fromUtf8(line.left(space)).toLower(),
                          QString::fromUtf8(line.mid(space + 1)));
    }
    return config;
}

QString murrowPath() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("murrow");
}

QByteArray netstring(const QByteArray& payload) {
    return QByteArray::number(payload.size()) + ':' + payload + ',';
}

bool failingSource(void*, std::size_t) {
    return false;
}

// Restores an environment variable when the test ends, however it ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name)
        : m_name(name)
        , m_set(qEnvironmentVariableIsSet(name))
        , m_value(qgetenv(name)) {}
    ~EnvGuard() {
        if (m_set)
            qputenv(m_name, m_value);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_set;
    QByteArray m_value;
};

} // namespace

class TestSshProcess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void arguments_data();
    void arguments();
    void plinkIsNotRunHere();
    void hostCannotInjectOptions_data();
    void hostCannotInjectOptions();
    void environment();
    void presetAskPassIsReplaced();
    void randomFailureStartsNoPromptServer();
    void listenFailureStartsNoPromptServer();
    void tunnelPortsAreNeverShared();
    void noFreeTunnelPort();
    void secondStartChangesNothing();
    void closeReleases();
    void exitReleasesPort();
    void promptThroughMurrow();
    void promptsAreServedOneAtATime();
    void answersOnlyWhatWasAsked();
    void badRequestClosesOnlyThatConnection_data();
    void badRequestClosesOnlyThatConnection();
    void answerWithoutConnection();
};

void TestSshProcess::initTestCase() {
    qRegisterMetaType<QProcess::ProcessError>();
    QVERIFY2(QFile::exists(murrowPath()), "murrow is built beside the tests");
}

void TestSshProcess::arguments_data() {
    QTest::addColumn<quint16>("port");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("expectPort");
    QTest::addColumn<QString>("expectUser");
    QTest::newRow("port and user") << quint16(2222) << "bob" << QStringList{"-G"} << "2222"
                                   << "bob";
    QTest::newRow("port 0, no user") << quint16(0) << "" << QStringList{"-G"} << "22"
                                     << "";
    QTest::newRow("empty options dropped") << quint16(2200) << "ann" << QStringList{"", "-G", ""} << "2200"
                                           << "ann";
}

void TestSshProcess::arguments() {
    QFETCH(quint16, port);
    QFETCH(QString, user);
    QFETCH(QStringList, options);
    QFETCH(QString, expectPort);
    QFETCH(QString, expectUser);
    SshLaunchSettings s = printConfig();
    s.port = port;
    s.user = user;
    s.sshOptions = options;
    s.run = "exec velnor-protocol";
    SshProcess p;
    p.start(s);
    QVERIFY(p.waitForStarted(5000));
    const QStringList args = p.arguments();
    QCOMPARE(args.contains("-p"), port != 0);
    QCOMPARE(args.contains("-l"), !user.isEmpty());
    QVERIFY(!args.contains(""));
    QCOMPARE(args.mid(args.indexOf("--")), (QStringList{"--", "example.invalid", "exec velnor-protocol"}));
    // Read now: the port goes back once ssh has ended.
    const quint16 tunnelPort = p.tunnelPort();

    const QMap<QString, QString> config = resolvedConfig(p);
    QCOMPARE(config.value("hostname"), QString("example.invalid"));
    QCOMPARE(config.value("port"), expectPort);
    if (!user.isEmpty())
        QCOMPARE(config.value("user").toLower(), expectUser);
    QCOMPARE(config.value("dynamicforward"), QString("[127.0.0.1]:%1").arg(tunnelPort));
    QCOMPARE(config.value("exitonforwardfailure"), QString("yes"));
    QVERIFY(tunnelPort >= SshProcess::firstProbedTunnelPort() && tunnelPort < SshProcess::lastProbedTunnelPort());
}

void TestSshProcess::plinkIsNotRunHere() {
    // Connection files from another system ask for plink.exe, which this platform does not have.
    SshLaunchSettings s = printConfig();
    s.usePlink = true;
    s.plinkOptions = QStringList{"-batch"};
    s.port = 2200;
    SshProcess p;
    p.start(s);
    QVERIFY(p.waitForStarted(5000));
    QCOMPARE(p.program(), QStringLiteral("ssh"));
    QVERIFY(!p.arguments().contains("-batch"));
    const QMap<QString, QString> config = resolvedConfig(p);
    QCOMPARE(config.value("hostname"), QString("example.invalid"));
    QCOMPARE(config.value("port"), QString("2200"));
}

void TestSshProcess::hostCannotInjectOptions_data() {
    QTest::addColumn<QString>("host");
    QTest::newRow("proxy command") << "-oProxyCommand=touch MARKER";
    QTest::newRow("bare dash") << "-";
    QTest::newRow("double dash") << "--";
}

void TestSshProcess::hostCannotInjectOptions() {
    QFETCH(QString, host);
    QTemporaryDir dir;
    const QString marker = dir.filePath("injected");
    SshLaunchSettings s = printConfig();
    s.host = QString(host).replace("MARKER", marker);
    SshProcess p;
    QSignalSpy errors(&p, &QProcess::errorOccurred);
    p.start(s);
    // Known at once, reported once the caller can listen.
    QCOMPARE(p.lastError(), QProcess::FailedToStart);
    QCOMPARE(errors.count(), 0);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QVERIFY2(p.errorString().contains("must not begin with \"-\""), qPrintable(p.errorString()));
    QCOMPARE(p.state(), QProcess::NotRunning);
    QCOMPARE(p.tunnelPort(), quint16(0));
    QVERIFY(!QFile::exists(marker));
}

void TestSshProcess::environment() {
    EnvGuard askPass("SSH_ASKPASS");
    EnvGuard display("DISPLAY");
    EnvGuard server("HALVANE_MURROW_SERVER");
    qunsetenv("SSH_ASKPASS");
    qunsetenv("DISPLAY");
    qputenv("HALVANE_MURROW_SERVER", "stale");
    SshProcess p;
    p.start(printConfig());
    const QProcessEnvironment env = p.processEnvironment();
    QCOMPARE(env.value("SSH_ASKPASS"), murrowPath());
    QCOMPARE(env.value("SSH_ASKPASS_REQUIRE"), QString("force"));
    QVERIFY(!p.promptServerName().isEmpty());
    QCOMPARE(env.value("HALVANE_MURROW_SERVER"), p.promptServerName());
    QVERIFY(QFileInfo(p.promptServerName()).fileName().startsWith("murrow-"));
    QCOMPARE(QFileInfo(p.promptServerName()).fileName().size(), 7 + 32);
    QCOMPARE(env.value("DISPLAY"), QString(":0"));
    // The prompt server is open to this user only.
    const QFileDevice::Permissions perms = QFile::permissions(p.promptServerName());
    QCOMPARE(perms & (QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ReadGroup |
                      QFileDevice::WriteGroup),
             QFileDevice::Permissions());
    p.waitForFinished(10000);
}

// The environment's own password helper, its setting and a stale server name are replaced; the
// rest of the environment is passed on as it is.
void TestSshProcess::presetAskPassIsReplaced() {
    EnvGuard askPass("SSH_ASKPASS");
    EnvGuard server("HALVANE_MURROW_SERVER");
    EnvGuard require("SSH_ASKPASS_REQUIRE");
    EnvGuard user("VELNOR_TEST_USER_SETTING");
    qputenv("SSH_ASKPASS", "/usr/bin/other-askpass");
    qputenv("HALVANE_MURROW_SERVER", "stale");
    qputenv("SSH_ASKPASS_REQUIRE", "never");
    qputenv("VELNOR_TEST_USER_SETTING", "a=b c");
    QProcessEnvironment expected = QProcessEnvironment::systemEnvironment();
    SshProcess p;
    p.start(printConfig());
    const QProcessEnvironment env = p.processEnvironment();
    QCOMPARE(env.value("SSH_ASKPASS"), murrowPath());
    QCOMPARE(env.value("SSH_ASKPASS_REQUIRE"), QString("force"));
    QVERIFY(!p.promptServerName().isEmpty());
    QCOMPARE(env.value("HALVANE_MURROW_SERVER"), p.promptServerName());
    expected.insert("SSH_ASKPASS", murrowPath());
    expected.insert("SSH_ASKPASS_REQUIRE", "force");
    expected.insert("HALVANE_MURROW_SERVER", p.promptServerName());
    if (!expected.contains("DISPLAY"))
        expected.insert("DISPLAY", ":0");
    QStringList seen = env.toStringList();
    QStringList wanted = expected.toStringList();
    seen.sort();
    wanted.sort();
    QCOMPARE(seen, wanted);
    p.waitForFinished(10000);
}

void TestSshProcess::randomFailureStartsNoPromptServer() {
    EnvGuard askPass("SSH_ASKPASS");
    EnvGuard server("HALVANE_MURROW_SERVER");
    qunsetenv("SSH_ASKPASS");
    qunsetenv("HALVANE_MURROW_SERVER");
    SshProcess p;
    QSignalSpy failed(&p, &SshProcess::promptServerFailed);
    platform::setRandomSource(failingSource);
    p.start(printConfig());
    platform::setRandomSource(nullptr);
    QCOMPARE(failed.count(), 0);
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(failed[0][0].toString().contains("Generating cookie failed"));
    QVERIFY(p.promptServerName().isEmpty());
    QVERIFY(!p.processEnvironment().contains("SSH_ASKPASS"));
    QVERIFY(!p.processEnvironment().contains("HALVANE_MURROW_SERVER"));
    // ssh itself still runs: keys or an agent may need no prompt.
    QVERIFY(p.waitForStarted(5000));
    p.waitForFinished(10000);
}

void TestSshProcess::listenFailureStartsNoPromptServer() {
    EnvGuard askPass("SSH_ASKPASS");
    EnvGuard tmp("TMPDIR");
    qunsetenv("SSH_ASKPASS");
    // The socket goes into the temporary directory; one whose path is too long for a socket
    // address makes listen fail, even for root.
    QTemporaryDir base;
    QString longDir = base.path();
    while (longDir.size() < 120)
        longDir += "/" + QString(20, 'd');
    QVERIFY(QDir().mkpath(longDir));
    qputenv("TMPDIR", QFile::encodeName(longDir));
    SshProcess p;
    QSignalSpy failed(&p, &SshProcess::promptServerFailed);
    p.start(printConfig());
    QCOMPARE(failed.count(), 0);
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(p.promptServerName().isEmpty());
    QVERIFY(!p.processEnvironment().contains("SSH_ASKPASS"));
    QVERIFY(!p.processEnvironment().contains("HALVANE_MURROW_SERVER"));
    p.waitForFinished(10000);
}

void TestSshProcess::tunnelPortsAreNeverShared() {
    // ssh -G binds nothing, so a probe alone would hand both the same port.
    SshProcess a;
    SshProcess b;
    a.start(printConfig());
    b.start(printConfig());
    QVERIFY(a.tunnelPort() != 0);
    QVERIFY(b.tunnelPort() != 0);
    QVERIFY(a.tunnelPort() != b.tunnelPort());
    a.waitForFinished(10000);
    b.waitForFinished(10000);
}

void TestSshProcess::noFreeTunnelPort() {
    // Claim every port of the range with processes that fail at once (no ssh on this PATH).
    SshLaunchSettings claim;
    claim.host = "example.invalid";
    std::vector<std::unique_ptr<SshProcess>> holders;
    {
        QTemporaryDir emptyPath;
        EnvGuard path("PATH");
        qputenv("PATH", QFile::encodeName(emptyPath.path()));
        for (int i = SshProcess::firstProbedTunnelPort(); i < SshProcess::lastProbedTunnelPort(); ++i) {
            holders.push_back(std::make_unique<SshProcess>());
            holders.back()->start(claim);
            holders.back()->waitForStarted(5000);
            if (holders.back()->tunnelPort() == 0)
                break;
        }
    }
    SshProcess p;
    QSignalSpy errors(&p, &QProcess::errorOccurred);
    p.start(printConfig());
    QCOMPARE(errors.count(), 0);
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors[0][0].value<QProcess::ProcessError>(), QProcess::FailedToStart);
    QCOMPARE(p.errorString(), QString("Failed to find an open port for tunneling\n"));
    QCOMPARE(p.state(), QProcess::NotRunning);

    // One released port is enough again.
    holders.front()->close();
    p.start(printConfig());
    QVERIFY2(p.waitForStarted(5000), qPrintable(p.errorString()));
    QVERIFY(p.tunnelPort() != 0);
    p.waitForFinished(10000);
}

void TestSshProcess::secondStartChangesNothing() {
    SshProcess p;
    p.start(printConfig());
    QVERIFY(p.waitForStarted(5000));
    const quint16 port = p.tunnelPort();
    const QString server = p.promptServerName();
    const QStringList args = p.arguments();
    SshLaunchSettings other = printConfig();
    other.host = "other.invalid";
    p.start(other);
    QCOMPARE(p.tunnelPort(), port);
    QCOMPARE(p.promptServerName(), server);
    QCOMPARE(p.arguments(), args);
    p.waitForFinished(10000);
}

void TestSshProcess::closeReleases() {
    SshProcess p;
    p.start(printConfig());
    QVERIFY(p.waitForStarted(5000));
    const QString server = p.promptServerName();
    p.close();
    QCOMPARE(p.tunnelPort(), quint16(0));
    QVERIFY(p.promptServerName().isEmpty());
    QLocalSocket socket;
    socket.connectToServer(server);
    QVERIFY(!socket.waitForConnected(1000));
    // Closed, it can start again.
    p.start(printConfig());
    QVERIFY(p.waitForStarted(5000));
    QVERIFY(p.tunnelPort() != 0);
    p.waitForFinished(10000);
}

void TestSshProcess::exitReleasesPort() {
    // ssh -G ends by itself; nobody calls close.
    SshProcess p;
    p.start(printConfig());
    QVERIFY(p.waitForStarted(5000));
    const quint16 port = p.tunnelPort();
    QVERIFY(port != 0);
    QVERIFY(SshProcess::isTunnelPortClaimed(port));
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.tunnelPort(), quint16(0));
    QVERIFY(!SshProcess::isTunnelPortClaimed(port));
}

void TestSshProcess::promptThroughMurrow() {
    EnvGuard askPass("SSH_ASKPASS");
    qunsetenv("SSH_ASKPASS");
    SshProcess p;
    p.start(printConfig());
    QSignalSpy questioned(&p, &SshProcess::questioned);

    QProcess murrow;
    murrow.setProcessEnvironment(p.processEnvironment());
    murrow.start(p.processEnvironment().value("SSH_ASKPASS"), {"Passphrase für Schlüssel:"});
    QVERIFY(questioned.wait(10000));
    QCOMPARE(questioned[0][0].toString(), QString("Passphrase für Schlüssel:"));
    // Framed by UTF-8 bytes, not characters: murrow prints exactly what was sent.
    p.answer("gr€€n");
    QVERIFY(murrow.waitForFinished(10000));
    QCOMPARE(murrow.exitCode(), 0);
    QCOMPARE(QString::fromUtf8(murrow.readAllStandardOutput()), QString("gr€€n"));
    p.waitForFinished(10000);
}

void TestSshProcess::promptsAreServedOneAtATime() {
    SshProcess p;
    p.start(printConfig());
    QSignalSpy questioned(&p, &SshProcess::questioned);
    QLocalSocket first;
    QLocalSocket second;
    first.connectToServer(p.promptServerName());
    QVERIFY(first.waitForConnected(2000));
    first.write(netstring("one"));
    QVERIFY(questioned.wait(5000));
    second.connectToServer(p.promptServerName());
    QVERIFY(second.waitForConnected(2000));
    second.write(netstring("two"));
    second.flush();
    QVERIFY(!questioned.wait(300));
    QCOMPARE(questioned.count(), 1);

    QByteArray firstReply;
    QByteArray secondReply;
    p.answer("a1");
    QTRY_COMPARE((firstReply += first.readAll()), QByteArray("2:a1,"));
    QCOMPARE(questioned.count(), 1);
    first.disconnectFromServer();
    QTRY_COMPARE(questioned.count(), 2);
    QCOMPARE(questioned[1][0].toString(), QString("two"));
    p.answer("");
    QTRY_COMPARE((secondReply += second.readAll()), QByteArray("0:,"));
    p.waitForFinished(10000);
}

void TestSshProcess::answersOnlyWhatWasAsked() {
    SshProcess p;
    p.start(printConfig());
    QSignalSpy questioned(&p, &SshProcess::questioned);
    QLocalSocket s;
    s.connectToServer(p.promptServerName());
    QVERIFY(s.waitForConnected(2000));
    // The request's terminator comes later.
    s.write("3:one");
    s.flush();
    QVERIFY(questioned.wait(5000));
    p.answer("a1");
    // A second answer has no request to go to, and the answered request is not asked again.
    p.answer("stale");
    QCOMPARE(questioned.count(), 1);

    s.write(",3:two,");
    s.flush();
    QTRY_COMPARE(questioned.count(), 2);
    QCOMPARE(questioned[1][0].toString(), QString("two"));
    p.answer("a2");
    QByteArray replies;
    QTRY_COMPARE((replies += s.readAll()), QByteArray("2:a1,2:a2,"));
    p.waitForFinished(10000);
}

void TestSshProcess::badRequestClosesOnlyThatConnection_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("not a length") << QByteArray("xyz:abc,");
    QTest::newRow("prompt above 64 KiB") << QByteArray("65537:");
    QTest::newRow("endless length") << QByteArray("12345678901");
}

void TestSshProcess::badRequestClosesOnlyThatConnection() {
    QFETCH(QByteArray, request);
    SshProcess p;
    p.start(printConfig());
    QSignalSpy questioned(&p, &SshProcess::questioned);
    QLocalSocket bad;
    bad.connectToServer(p.promptServerName());
    QVERIFY(bad.waitForConnected(2000));
    bad.write(request);
    bad.flush();
    QTRY_COMPARE(bad.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(questioned.count(), 0);

    // The server goes on accepting, and a 64 KiB prompt is still fine.
    QLocalSocket good;
    good.connectToServer(p.promptServerName());
    QVERIFY(good.waitForConnected(2000));
    good.write(netstring(QByteArray(64 * 1024, 'p')));
    QVERIFY(questioned.wait(5000));
    QCOMPARE(questioned[0][0].toString().size(), 64 * 1024);
    p.waitForFinished(10000);
}

void TestSshProcess::answerWithoutConnection() {
    SshProcess p;
    p.answer("nobody asked");
    p.start(printConfig());
    p.answer("still nobody");
    QVERIFY(p.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(TestSshProcess)
#include "tst_ssh_process.moc"

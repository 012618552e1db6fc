// velnorcli run as its own process against the simulator program (and, for the tunnel port, the SOCKS5
// relay on loopback): its command line, exit codes, password from standard input and one session.

#include "Socks5Server.h"
#include "platform/system/UserInfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <QStandardPaths>

#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString standardError;
    QString standardOutput;
};

quint16 refusedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

// The settings the viewer pushes when its main sequence starts, with first-session values, as the
// simulator records them (hex of each entry).
QJsonArray firstSessionPush() {
    const char* entries[] = {"0301",     "04050000",           "0703", "0803", "0940004000", "051e0000",
                             "06020000", "010904000004000000", "0a01"};
    QJsonArray push;
    for (const char* entry : entries) {
        push.append(QJsonArray{QString::fromLatin1(entry)});
    }
    return push;
}

} // namespace

class TestVelnorCli : public QObject {
    Q_OBJECT

private:
    // Runs velnorcli with the arguments and standard input, the event loop turning meanwhile.
    // `prefix` runs the viewer through another program (its arguments first); `environment` changes
    // the environment (an empty value removes the variable).
    Run runViewer(const QStringList& arguments, const QByteArray& input = QByteArray(),
                  bool closeInput = true, const QStringList& prefix = QStringList(),
                  const QMap<QString, QString>& environment = {}) {
        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (auto it = environment.begin(); it != environment.end(); ++it) {
            if (it.value().isEmpty()) {
                env.remove(it.key());
            } else {
                env.insert(it.key(), it.value());
            }
        }
        viewer.setProcessEnvironment(env);
        QSignalSpy finished(&viewer, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        if (prefix.isEmpty()) {
            viewer.start(QStringLiteral(VELNORCLI_PROGRAM), arguments);
        } else {
            viewer.start(prefix.first(),
                         prefix.mid(1) + QStringList{QStringLiteral(VELNORCLI_PROGRAM)} + arguments);
        }
        Run run;
        if (!viewer.waitForStarted(10000)) {
            run.standardError = QStringLiteral("did not start");
            return run;
        }
        if (!input.isEmpty()) {
            viewer.write(input);
        }
        if (closeInput) {
            viewer.closeWriteChannel();
        }
        if (!finished.wait(30000)) {
            viewer.kill();
            viewer.waitForFinished();
            run.standardError = QStringLiteral("timed out");
            return run;
        }
        run.exitCode = viewer.exitCode();
        run.status = viewer.exitStatus();
        run.standardError = QString::fromUtf8(viewer.readAllStandardError());
        run.standardOutput = QString::fromUtf8(viewer.readAllStandardOutput());
        return run;
    }

    // Starts the simulator program for one client; returns its URL, empty on failure.
    QString startSimulator(QProcess& sim, const QStringList& arguments, const QString& reportFile) {
        sim.setProcessChannelMode(QProcess::SeparateChannels);
        sim.start(QStringLiteral(DISPLAY_SIM_PROGRAM),
                  QStringList{QStringLiteral("--once"), QStringLiteral("--open-channels"),
                              QStringLiteral("--report"), reportFile} +
                      arguments);
        if (!sim.waitForStarted(10000) || !sim.waitForReadyRead(10000)) {
            return QString();
        }
        return QString::fromUtf8(sim.readLine().trimmed());
    }

    static QJsonObject readReport(const QString& file) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(in.readAll()).object();
    }

private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }

    void commandLineErrors_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");

        QTest::newRow("no url") << QStringList{} << 2 << "";
        QTest::newRow("only a user") << QStringList{"--user", "x"} << 2 << "";
        QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << "bogus";
        QTest::newRow("no help option") << QStringList{"--help"} << 1 << "help";
        QTest::newRow("url without value") << QStringList{"--url"} << 1 << "url";
        QTest::newRow("tport not a number")
            << QStringList{"--url", "ws://127.0.0.1:1/", "--tport", "abc"} << 1 << "\"abc\"";
        QTest::newRow("tport above 65535")
            << QStringList{"--url", "ws://127.0.0.1:1/", "--tport", "70000"} << 1 << "\"70000\"";
        QTest::newRow("tport negative")
            << QStringList{"--url", "ws://127.0.0.1:1/", "--tport", "-1"} << 1 << "\"-1\"";
        QTest::newRow("tport empty") << QStringList{"--url", "ws://127.0.0.1:1/", "--tport", ""} << 1
                                     << "\"\"";
    }

    void commandLineErrors() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        // Standard input stays open: none of these may wait for a password.
        const Run run = runViewer(arguments, QByteArray(), false);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.standardOutput.contains(QLatin1String("--geometry")), "the help is shown");
        QVERIFY2(run.standardError.contains(message), qPrintable(run.standardError));
    }

    void sessions_data() {
        QTest::addColumn<QStringList>("simulator");
        QTest::addColumn<QStringList>("viewer"); // "URL" is replaced by the simulator's URL
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("throughProxy");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");     // on standard error; empty: nothing
        QTest::addColumn<QString>("displayName"); // empty: the login name
        QTest::addColumn<QByteArray>("password"); // empty: not checked
        QTest::addColumn<QJsonArray>("channels"); // empty: not checked

        const QJsonArray channels{"clipboard", "magellan", "diagnostics", "clientcomm"};
        const QStringList rfx7Desktop{"--desktop", "--codec", "2", "--fps", "50", "--end-after-acks", "5"};

        QTest::newRow("ws, password on standard input")
            << (rfx7Desktop + QStringList{"--password", "secret"})
            << QStringList{"--url", "URL", "--user", "alice", "--sessionId", "s1"} << QByteArray("secret")
            << false << 0 << ""
            << "alice" << QByteArray("secret") << channels;
        QTest::newRow("tcp, password on the command line")
            << (rfx7Desktop + QStringList{"--transport", "tcp", "--password", "pw"})
            << QStringList{"--url", "URL", "--user", "bob", "--password", "pw"} << QByteArray() << false << 0
            << ""
            << "bob" << QByteArray("pw") << channels;
        QTest::newRow("through the SOCKS5 tunnel port")
            << (rfx7Desktop + QStringList{"--password", "secret"})
            << QStringList{"--url", "URL", "--user", "carol"} << QByteArray("secret") << true << 0 << ""
            << "carol" << QByteArray() << channels;
        QTest::newRow("rootless asks for multiwindow first")
            << (rfx7Desktop + QStringList{"--ask-password"})
            << QStringList{"--url", "URL", "--user", "h", "--geometry", "rootless"} << QByteArray("x")
            << false << 0 << ""
            << "h" << QByteArray("x")
            << QJsonArray{"multiwindow", "clipboard", "magellan", "diagnostics", "clientcomm"};
        QTest::newRow("trailing newline kept")
            << QStringList{"--ask-password", "--end-after-acks", "1", "--desktop"}
            << QStringList{"--url", "URL", "--user", "d"} << QByteArray("secret\n") << false << 0 << ""
            << "d" << QByteArray("secret\n") << QJsonArray();
        QTest::newRow("5000 characters give 4128")
            << QStringList{"--ask-password", "--end-after-acks", "1", "--desktop"}
            << QStringList{"--url", "URL", "--user", "e"} << QByteArray(5000, 'p') << false << 0 << ""
            << "e" << QByteArray(4128, 'p') << QJsonArray();
        QTest::newRow("login name by default")
            << QStringList{"--ask-password", "--end-after-acks", "1", "--desktop"}
            << QStringList{"--url", "URL"} << QByteArray("x") << false << 0 << ""
            << "" << QByteArray() << QJsonArray();
        QTest::newRow("wrong password")
            << QStringList{"--password", "right"} << QStringList{"--url", "URL", "--user", "f"}
            << QByteArray("wrong") << false << 3 << "Authentication failed"
            << "f" << QByteArray("wrong") << QJsonArray();
        QTest::newRow("server ends with a fault level")
            << QStringList{"--ask-password", "--desktop", "--end-after-acks", "2",
                           "--end-level",    "4",         "--end-reason",     "Server stopped"}
            << QStringList{"--url", "URL", "--user", "g"} << QByteArray("x") << false << 3 << "Server stopped"
            << "g" << QByteArray() << QJsonArray();
    }

    void sessions() {
        QFETCH(QStringList, simulator);
        QFETCH(QStringList, viewer);
        QFETCH(QByteArray, input);
        QFETCH(bool, throughProxy);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFETCH(QString, displayName);
        QFETCH(QByteArray, password);
        QFETCH(QJsonArray, channels);

        const QString reportFile = config.filePath(QStringLiteral("report.json"));
        QFile::remove(reportFile);
        QProcess sim;
        const QString url = startSimulator(sim, simulator, reportFile);
        QVERIFY(!url.isEmpty());

        Socks5::Server socks;
        QStringList arguments = viewer;
        arguments.replaceInStrings(QStringLiteral("URL"), url);
        if (throughProxy) {
            QVERIFY(socks.listen());
            arguments << QStringLiteral("--tport") << QString::number(socks.port());
        }
        const Run run = runViewer(arguments, input);
        QVERIFY2(sim.state() == QProcess::NotRunning || sim.waitForFinished(10000),
                 "the simulator ends when its client goes");

        QCOMPARE(run.status, QProcess::NormalExit);
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.standardError));
        if (message.isEmpty()) {
            QVERIFY2(!run.standardError.contains(QLatin1String("velnorcli:")), qPrintable(run.standardError));
        } else {
            QVERIFY2(run.standardError.contains(message), qPrintable(run.standardError));
        }

        const QJsonObject report = readReport(reportFile);
        QVERIFY(!report.isEmpty());
        QCOMPARE(report.value("clientIdentity").toString(), QStringLiteral("Velnor"));
        QCOMPARE(report.value("displayName").toString(),
                 displayName.isEmpty() ? platform::loginName() : displayName);
        if (!password.isEmpty()) {
            QCOMPARE(QByteArray::fromHex(report.value("passwordHex").toString().toLatin1()), password);
        }
        if (!channels.isEmpty()) {
            QCOMPARE(report.value("channelRequests").toArray(), channels);
            // The session window adds its own desktop size (lone geometry entries) as it is shown.
            QJsonArray settings;
            for (const QJsonValue& message : report.value("settings").toArray()) {
                const QJsonArray entries = message.toArray();
                if (entries.size() != 1 || !entries.at(0).toString().startsWith(QLatin1String("02"))) {
                    settings.append(message);
                }
            }
            QCOMPARE(settings, firstSessionPush());
            QVERIFY(report.value("frameAcks").toInt() >= 5);
        }
        if (throughProxy) {
            QCOMPARE(socks.connects().size(), 1);
            QCOMPARE(socks.connects().at(0).port, quint16(QUrl(url).port()));
            QVERIFY(socks.connects().at(0).succeeded);
        }
    }

    // The server's Disconnect reason reaches the terminal as one bounded line that cannot drive it.
    void hostileReason() {
        const QString reportFile = config.filePath(QStringLiteral("report.json"));
        QProcess sim;
        const QString reason = QStringLiteral("\x1b]0;owned\x07\x1b[2J\rvelnorcli: forged\n") +
                               QString(100000, QLatin1Char('r'));
        const QString url = startSimulator(sim,
                                           {"--ask-password", "--desktop", "--end-after-acks", "1",
                                            "--end-level", "4", "--end-reason", reason},
                                           reportFile);
        QVERIFY(!url.isEmpty());
        const Run run = runViewer({"--url", url, "--user", "g"}, QByteArray("x"));
        sim.waitForFinished(10000);
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 3);
        QVERIFY(!run.standardError.contains(QChar(0x1b)));
        QVERIFY(!run.standardError.contains(QLatin1Char('\r')));
        const QStringList lines = run.standardError.split(QLatin1Char('\n'));
        QStringList ours;
        for (const QString& line : lines) {
            if (line.startsWith(QLatin1String("velnorcli: ")))
                ours.append(line);
        }
        QCOMPARE(ours.size(), 1);
        QVERIFY2(ours.first().startsWith(
                     QLatin1String("velnorcli: \\x1b]0;owned\\x07\\x1b[2J\\rvelnorcli: forged\\nrrr")),
                 qPrintable(ours.first().left(200)));
        QVERIFY(
            ours.first().endsWith(QStringLiteral(" [... %1 more characters cut]").arg(reason.size() - 4096)));
        QVERIFY(ours.first().size() < 4300);
    }

    // Without --password, a terminal on standard input is asked for one line with echo off; the
    // line's end is not part of the password.
    void passwordAtTerminal_data() {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<QByteArray>("password");
        QTest::newRow("Enter as newline") << QByteArray("secret\n") << QByteArray("secret");
        QTest::newRow("Enter as carriage return") << QByteArray("pass word\r") << QByteArray("pass word");
        QTest::newRow("only the first line") << QByteArray("first\nsecond\n") << QByteArray("first");
        QTest::newRow("empty line") << QByteArray("\n") << QByteArray();
    }

    void passwordAtTerminal() {
        QFETCH(QByteArray, typed);
        QFETCH(QByteArray, password);

        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        auto closeMaster = qScopeGuard([master] { ::close(master); });
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        const QString terminal = QString::fromLocal8Bit(ptsname(master));
        const int watcher = ::open(ptsname(master), O_RDWR | O_NOCTTY);
        QVERIFY(watcher >= 0);
        auto closeWatcher = qScopeGuard([watcher] { ::close(watcher); });

        const QString reportFile = config.filePath(QStringLiteral("report.json"));
        QFile::remove(reportFile);
        QProcess sim;
        const QString url =
            startSimulator(sim, {"--ask-password", "--end-after-acks", "1", "--desktop"}, reportFile);
        QVERIFY(!url.isEmpty());

        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        viewer.setProcessEnvironment(env);
        viewer.setStandardInputFile(terminal);
        viewer.start(QStringLiteral(VELNORCLI_PROGRAM), {"--url", url, "--user", "t"});
        QVERIFY(viewer.waitForStarted(10000));
        QByteArray standardError;
        QTRY_VERIFY_WITH_TIMEOUT((standardError += viewer.readAllStandardError()).contains("Password: "),
                                 20000);
        termios settings{};
        QVERIFY(tcgetattr(watcher, &settings) == 0);
        QVERIFY2(!(settings.c_lflag & ECHO), "typing is not echoed");

        QCOMPARE(::write(master, typed.constData(), size_t(typed.size())), ssize_t(typed.size()));
        QVERIFY(viewer.waitForFinished(30000));
        QCOMPARE(viewer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(viewer.exitCode(), 0);
        QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(10000));
        QVERIFY(tcgetattr(watcher, &settings) == 0);
        QVERIFY2(settings.c_lflag & ECHO, "echo is back");
        const QJsonObject report = readReport(reportFile);
        QCOMPARE(QByteArray::fromHex(report.value("passwordHex").toString().toLatin1()), password);
    }

    // A user id without an entry in the user database still gives a display name.
    void loginNameWithoutDatabaseEntry_data() {
        QTest::addColumn<QString>("user"); // the USER variable; empty: not set
        QTest::addColumn<QString>("expected");
        QTest::newRow("USER") << "visitor"
                              << "visitor";
        QTest::newRow("numeric id") << ""
                                    << "54321";
        QTest::newRow("USER of 300 characters")
            << QString(300, QLatin1Char('u')) << QString(256, QLatin1Char('u'));
    }

    void loginNameWithoutDatabaseEntry() {
        QFETCH(QString, user);
        QFETCH(QString, expected);
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (geteuid() != 0 || setpriv.isEmpty() || getpwuid(54321)) {
            QSKIP("needs root, setpriv and the unused user id 54321");
        }
        // The unprivileged viewer writes its settings into a folder of its own.
        QTemporaryDir home;
        QVERIFY(home.isValid());
        QVERIFY(::chown(QFile::encodeName(home.path()).constData(), 54321, 54321) == 0);

        const QString reportFile = config.filePath(QStringLiteral("report.json"));
        QFile::remove(reportFile);
        QProcess sim;
        const QString url =
            startSimulator(sim, {"--ask-password", "--end-after-acks", "1", "--desktop"}, reportFile);
        QVERIFY(!url.isEmpty());
        const Run run = runViewer({"--url", url}, QByteArray("x"), true,
                                  {setpriv, "--reuid=54321", "--regid=54321", "--clear-groups"},
                                  {{"USER", user},
                                   {"XDG_CONFIG_HOME", home.path()},
                                   {"HOME", home.path()},
                                   {"XDG_RUNTIME_DIR", home.path()}});
        QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(10000));
        QVERIFY2(run.exitCode == 0, qPrintable(run.standardError));
        QCOMPARE(readReport(reportFile).value("displayName").toString(), expected);
    }

    void connectionRefused() {
        const Run run = runViewer(
            {QStringLiteral("--url"), QStringLiteral("ws://127.0.0.1:%1/client/protocol").arg(refusedPort())},
            QByteArray("pw"));
        QCOMPARE(run.status, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.standardError.contains(QLatin1String("velnorcli: ")), qPrintable(run.standardError));
    }

private:
    QTemporaryDir config;
};

QTEST_GUILESS_MAIN(TestVelnorCli)
#include "tst_velnorcli.moc"

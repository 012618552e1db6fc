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

#include <memory>

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
    Run runViewer(const QStringList& arguments, const QByteArray& input = QByteArray(),
                  bool closeInput = true) {
        QProcess viewer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        viewer.setProcessEnvironment(env);
        QSignalSpy finished(&viewer, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        viewer.start(QStringLiteral(VELNORCLI_PROGRAM), arguments);
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

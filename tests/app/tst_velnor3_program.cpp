// Velnor3 as a real process with its own data folders: the first start imports the older
// connection files into "MyConnections" and opens the manager; a launch command line that cannot be
// read says why in its box and on standard error.

#include "XvfbServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestVelnor3Program : public QObject {
    Q_OBJECT
private slots:
    void firstStartImportsAndRuns() {
        QTemporaryDir home;
        const QString data = home.filePath("data/Halvane/Velnor3");
        QVERIFY(QDir().mkpath(data + "/SshConnections"));
        QFile older(data + "/SshConnections/lab.xml");
        QVERIFY(older.open(QIODevice::WriteOnly));
        older.write("<?xml version=\"1.0\"?><SshConnection><Name>lab</Name><Host>lab.example</Host>"
                    "<User>ann</User></SshConnection>");
        older.close();

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(QDir(QCoreApplication::applicationDirPath()).filePath("Velnor3"), QStringList());
        QVERIFY(program.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(data + "/MyConnections/lab.velnor"), 20000);
        // The manager keeps running until it is told to end.
        QVERIFY(!program.waitForFinished(1000));
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
        QVERIFY(QFile::exists(data + "/SshConnections/lab.xml"));
    }

    // The launch modes name what is missing, on standard error as well as in the failure box, and
    // exit with 1 once the user has closed the box.
    void launchCommandLineFailures_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("ssh without host") << QStringList{"--ssh", "--bid", "B"}
                                          << "Failed to parse an SSH connection: the option --host is missing";
        QTest::newRow("ssh with an empty host") << QStringList{"--ssh", "--host", "", "--bid", "B"}
                                                << "Failed to parse an SSH connection: the option --host has no value";
        QTest::newRow("web without url") << QStringList{"--web", "--bid", "B"}
                                         << "Failed to parse a Web connection: the option --url is missing";
        QTest::newRow("ssh without bid") << QStringList{"--ssh", "--host", "h"}
                                         << "Failed to parse a bookmark ID: the option --bid is missing";
        QTest::newRow("web with an empty bid") << QStringList{"--web", "--url", "https://h", "--bid", ""}
                                               << "Failed to parse a bookmark ID: the option --bid has no value";
    }
    void launchCommandLineFailures() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        if (m_display.displayName().isEmpty()) {
            const QString failure = m_display.start();
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        QVERIFY2(!xdotool.isEmpty(), "xdotool is not installed; the set-up installs it");
        QTemporaryDir home;
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", home.filePath("data"));
        env.insert("XDG_CONFIG_HOME", home.filePath("config"));
        env.insert("DISPLAY", m_display.displayName());
        env.insert("QT_QPA_PLATFORM", "xcb");
        program.setProcessEnvironment(env);
        program.start(QDir(QCoreApplication::applicationDirPath()).filePath("Velnor3"), arguments);
        QVERIFY(program.waitForStarted(10000));
        QByteArray errors;
        QTRY_VERIFY_WITH_TIMEOUT((errors += program.readAllStandardError()).contains(message.toUtf8()), 20000);
        // The box waits for the user, who closes it with Return.
        QVERIFY(!program.waitForFinished(200));
        QProcessEnvironment xdotoolEnv = QProcessEnvironment::systemEnvironment();
        xdotoolEnv.insert("DISPLAY", m_display.displayName());
        QProcess search;
        search.setProcessEnvironment(xdotoolEnv);
        search.start(xdotool, {"search", "--sync", "--onlyvisible", "--pid", QString::number(program.processId())});
        QVERIFY(search.waitForFinished(20000));
        const QByteArray window = search.readAllStandardOutput().trimmed().split('\n').last();
        QVERIFY2(!window.isEmpty(), search.readAllStandardError().constData());
        QProcess key;
        key.setProcessEnvironment(xdotoolEnv);
        key.start(xdotool, {"windowfocus", "--sync", QString::fromLatin1(window), "key", "Return"});
        QVERIFY(key.waitForFinished(20000));
        QVERIFY2(program.waitForFinished(20000), errors.constData());
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
    }

private:
    XvfbServer m_display;
};

QTEST_GUILESS_MAIN(TestVelnor3Program)
#include "tst_velnor3_program.moc"

// Velnor3 as a real process with its own data folders: the first start imports the older
// connection files into "MyConnections" and opens the manager.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
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
};

QTEST_GUILESS_MAIN(TestVelnor3Program)
#include "tst_velnor3_program.moc"

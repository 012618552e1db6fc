#include "app/StartupFolders.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestStartupFolders : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath("data")));
        QCoreApplication::setOrganizationName(QStringLiteral("Halvane"));
        QCoreApplication::setApplicationName(QStringLiteral("Velnor"));
    }

    void markers_data() {
        QTest::addColumn<QStringList>("markers");
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("besideTheProgram");
        QTest::newRow("none") << QStringList() << int(Standard) << false;
        QTest::newRow("local") << QStringList{"localinstall"} << int(Local) << false;
        QTest::newRow("portable") << QStringList{"flashinstall"} << int(Portable) << true;
        QTest::newRow("both") << QStringList{"localinstall", "flashinstall"} << int(Local) << false;
        // A marker may be a folder as well as a file.
        QTest::newRow("marker folder") << QStringList{"flashinstall/"} << int(Portable) << true;
    }

    void markers() {
        QFETCH(QStringList, markers);
        QFETCH(int, type);
        QFETCH(bool, besideTheProgram);
        QTemporaryDir program;
        for (const QString& m : markers) {
            if (m.endsWith('/'))
                QVERIFY(QDir(program.path()).mkdir(m.chopped(1)));
            else
                QVERIFY(QFile(program.filePath(m)).open(QIODevice::WriteOnly));
        }
        QCOMPARE(int(installType(program.path())), type);
        const QString user = userDataFolder(InstallType(type), program.path());
        QCOMPARE(user, besideTheProgram ? program.path() : m_home.filePath("data/Halvane/Velnor3"));
        QCOMPARE(userConnectionFolder(user), user + QStringLiteral("/MyConnections"));
    }

    void systemFolder() {
        qputenv("XDG_DATA_DIRS", "/srv/first:/srv/second");
        QCOMPARE(systemDataDirectory(), QStringLiteral("/srv/first/Halvane/Velnor"));
        QCOMPARE(systemConnectionFolder(systemDataDirectory()), QStringLiteral("/srv/first/Halvane/Velnor/Connections"));
        // No second location: no system folder at all, not a relative one.
        QCOMPARE(systemConnectionFolder(QString()), QString());
    }

private:
    QTemporaryDir m_home;
};

QTEST_MAIN(TestStartupFolders)
#include "tst_startup_folders.moc"

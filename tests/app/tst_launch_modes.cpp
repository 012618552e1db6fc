#include "../ClosedPort.h"

#include "app/CloseHelper.h"
#include "app/LaunchModes.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {


void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const QByteArray olderSsh = "<?xml version=\"1.0\"?><SshConnection><Name>lab</Name><Host>lab.example</Host>"
                            "<User>ann</User></SshConnection>";

} // namespace

class TestLaunchModes : public QObject {
    Q_OBJECT
private slots:
    void modes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("mode");
        QTest::newRow("none") << QStringList{"Velnor3"} << int(LaunchMode::Manager);
        QTest::newRow("ssh and web: ssh") << QStringList{"Velnor3", "--web", "--ssh"} << int(LaunchMode::Ssh);
        QTest::newRow("web") << QStringList{"Velnor3", "--web", "--url", "https://h"} << int(LaunchMode::Web);
        QTest::newRow("unknown options") << QStringList{"Velnor3", "--frobnicate", "-x", "--ssh"}
                                         << int(LaunchMode::Ssh);
        QTest::newRow("only unknown") << QStringList{"Velnor3", "--frobnicate"} << int(LaunchMode::Manager);
    }
    void modes() {
        QFETCH(QStringList, arguments);
        QFETCH(int, mode);
        QCOMPARE(int(launchModeOf(arguments)), mode);
    }

    void launchFailures_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("text");
        QTest::newRow("ssh without bid") << QStringList{"Velnor3", "--ssh", "--host", "h", "--user", "u"}
                                         << "Failed to parse a bookmark ID: the option --bid is missing";
        QTest::newRow("ssh host with a dash") << QStringList{"Velnor3", "--ssh", "--host", "-oProxyCommand=x",
                                                             "--bid", "b"}
                                              << "Failed to parse an SSH connection: the value of --host begins with "
                                                 "\"-\" or holds blanks or control characters";
        QTest::newRow("web without url") << QStringList{"Velnor3", "--web", "--bid", "b"}
                                         << "Failed to parse a Web connection: the option --url is missing";
        // A port that is not a number reads as 0 and is no reason to stop: the bookmark id is.
        QTest::newRow("ssh port not a number, no bid")
            << QStringList{"Velnor3", "--ssh", "--host", "h", "--port", "abc"}
            << "Failed to parse a bookmark ID: the option --bid is missing";
        QTest::newRow("ssh without host") << QStringList{"Velnor3", "--ssh", "--bid", "b"}
                                          << "Failed to parse an SSH connection: the option --host is missing";
        QTest::newRow("web url without host") << QStringList{"Velnor3", "--web", "--url", "https://", "--bid", "b"}
                                              << "Failed to parse a Web connection: the value of --url names no server";
        QTest::newRow("web url unreadable") << QStringList{"Velnor3", "--web", "--url", "https://[::1", "--bid", "b"}
                                            << "Failed to parse a Web connection: the value of --url names no server";
        QTest::newRow("web with an empty bid")
            << QStringList{"Velnor3", "--web", "--url", "https://h:8443/x", "--bid", ""}
            << "Failed to parse a bookmark ID: the option --bid has no value";
    }
    void launchFailures() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, text);
        QString seen;
        QString title = QStringLiteral("unseen");
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->text();
                title = box->windowTitle();
                icon = box->icon();
                box->done(QMessageBox::Ok);
            }
        });
        poll.start(20);
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        const int code = launchModeOf(arguments) == LaunchMode::Ssh ? runSshLaunch(*app, arguments)
                                                                      : runWebLaunch(*app, arguments);
        QCOMPARE(code, 1);
        QCOMPARE(seen, text);
        // A critical box without a title.
        QCOMPARE(title, QString());
        QCOMPARE(icon, QMessageBox::Critical);
    }

    // A launch that ends in its failure box exits with 1, so that a script can tell; here nothing
    // listens where the connection points.
    void bringUpFailureExitsWithOne_data() {
        QTest::addColumn<QStringList>("arguments");
        const QString port = QString::number(closedPort());
        QTest::newRow("ssh") << QStringList{"Velnor3", "--ssh", "--host", "127.0.0.1", "--port", port,
                                            "--user", "u", "--bid", "b"};
        QTest::newRow("web") << QStringList{"Velnor3", "--web", "--url", "https://127.0.0.1:" + port,
                                            "--user", "u", "--bid", "b"};
    }
    void bringUpFailureExitsWithOne() {
        QFETCH(QStringList, arguments);
        qunsetenv("SSH_ASKPASS");
        qunsetenv("SSH_AUTH_SOCK");
        CloseHelper::instance();
        bool shown = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == QLatin1String("BringUpFailureBox") && widget->isVisible()) {
                    shown = true;
                    widget->close();
                }
            }
        });
        poll.start(20);
        QTimer safety;
        safety.setSingleShot(true);
        connect(&safety, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        safety.start(60000);
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        const int code = launchModeOf(arguments) == LaunchMode::Ssh ? runSshLaunch(*app, arguments)
                                                                      : runWebLaunch(*app, arguments);
        QVERIFY(shown);
        QCOMPARE(code, 1);
    }

    void firstStart_data() {
        QTest::addColumn<QByteArray>("olderFile");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<int>("imported");
        QTest::newRow("no older files") << QByteArray() << true << 0;
        QTest::newRow("one good file") << olderSsh << true << 1;
        QTest::newRow("only a bad file") << QByteArray("<SshConnection><Host>h</Hos") << false << 0;
    }
    void firstStart() {
        QFETCH(QByteArray, olderFile);
        QFETCH(bool, kept);
        QFETCH(int, imported);
        QTemporaryDir data;
        if (!olderFile.isEmpty()) {
            QVERIFY(QDir(data.path()).mkpath("SshConnections"));
            write(data.filePath("SshConnections/lab.xml"), olderFile);
        }
        firstStartImport(data.path());
        const QDir mine(data.filePath("MyConnections"));
        QCOMPARE(mine.exists(), kept);
        QCOMPARE(int(mine.entryList(QDir::Files).size()), imported);
        // A second start with the folder in place imports nothing more.
        if (kept) {
            firstStartImport(data.path());
            QCOMPARE(int(mine.entryList(QDir::Files).size()), imported);
        } else {
            // Retried at the next start, once the file is readable.
            write(data.filePath("SshConnections/lab.xml"), olderSsh);
            firstStartImport(data.path());
            QCOMPARE(int(mine.entryList(QDir::Files).size()), 1);
        }
    }
};

QTEST_MAIN(TestLaunchModes)
#include "tst_launch_modes.moc"

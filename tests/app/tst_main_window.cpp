#include "app/MainWindow.h"
#include "connections/ConnectionModel.h"
#include "connections/ConnectionWindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Closes every message box that shows up, keeping its text.
struct BoxCloser {
    QStringList texts;
    QTimer timer;
    BoxCloser() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->done(QMessageBox::Ok);
            }
        });
        timer.start(20);
    }
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_root.reset(new QTemporaryDir);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath("config")));
        QDir(m_root->path()).mkpath("user");
    }

    void closingTheOnlyTabOpensConnections() {
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QCOMPARE(window.tabWidget()->count(), 0);
        window.openConnectionList();
        QCOMPARE(window.tabWidget()->count(), 1);
        QPointer<QWidget> first = window.tabWidget()->widget(0);
        QVERIFY(qobject_cast<ConnectionWindow*>(first));
        emit window.tabWidget()->tabCloseRequested(0);
        QCOMPARE(window.tabWidget()->count(), 1);
        QCOMPARE(window.tabWidget()->tabText(0), QStringLiteral("Connections"));
        QTRY_VERIFY(first.isNull());
        // The Connections tab leaves the session entries off.
        QVERIFY(!window.newSessionAction()->isEnabled());
        for (QMenu* menu : {window.sessionMenu(), window.viewMenu()})
            for (QAction* action : menu->actions())
                QVERIFY(action->isSeparator() || !action->isEnabled());
    }

    // Ctrl+Q does nothing while a session window passes command keys to its session.
    void quitRespectsCommandKeys() {
        MainWindow window(qApp, m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QWidget session;
        session.setProperty("SendCommandKey", true);
        session.show();
        QApplication::setActiveWindow(&session);
        QTRY_COMPARE(QApplication::activeWindow(), &session);
        bool quit = false;
        QTimer::singleShot(0, [&] { window.quitAction()->trigger(); });
        QTimer::singleShot(300, [&] { QCoreApplication::exit(42); });
        quit = QCoreApplication::exec() == 0;
        QVERIFY(!quit);
    }

    // Product files are copied under a free name, older files converted, bad files named.
    void importMixes() {
        const QString user = m_root->filePath("user");
        writeFile(user + "/lab.velnor", R"({"type":"ssh","host":"old"})");
        writeFile(m_root->filePath("lab.velnor"), R"({"type":"ssh","host":"new","name":"lab"})");
        writeFile(m_root->filePath("bad.velnor"), R"(["not an object"])");
        writeFile(m_root->filePath("old.xml"),
                  "<?xml version=\"1.0\"?><WebConnection><Name>web</Name><Url>https://w.example:8443/gw</Url>"
                  "</WebConnection>");
        writeFile(m_root->filePath("opts.velnor"),
                  R"({"type":"ssh","host":"o","name":"with options","sshOptions":["-oProxyCommand=x"]})");
        MainWindow window(qApp, user, m_root->filePath("system"));
        window.openConnectionList();
        auto* list = qobject_cast<ConnectionWindow*>(window.tabWidget()->widget(0));
        QCOMPARE(list->model()->rowCount(), 1);
        BoxCloser boxes;
        const QStringList problems = window.importFiles({m_root->filePath("lab.velnor"), m_root->filePath("bad.velnor"),
                                                         m_root->filePath("old.xml"), m_root->filePath("opts.velnor")});
        QCOMPARE(problems.size(), 1);
        QVERIFY(problems.first().startsWith("bad.velnor"));
        // Nothing existing was replaced, and the open list shows the new rows.
        QFile old(user + "/lab.velnor");
        old.open(QIODevice::ReadOnly);
        QVERIFY(old.readAll().contains("\"old\""));
        QCOMPARE(list->model()->rowCount(), 4);
        // A connection file keeps its own name where it is free.
        QVERIFY(QFile::exists(user + "/opts.velnor"));
        // The ssh options were pointed out.
        QTRY_VERIFY(!boxes.texts.isEmpty());
        QVERIFY(boxes.texts.first().contains("opts.velnor"));
    }

private:
    std::unique_ptr<QTemporaryDir> m_root;
};

QTEST_MAIN(TestMainWindow)
#include "tst_main_window.moc"

#include "app/CloseHelper.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

constexpr int watchdogExit = 99;

// Queues a step behind everything already posted, so checks queued by an earlier step run first.
void later(const std::function<void()>& step) {
    QMetaObject::invokeMethod(qApp, step, Qt::QueuedConnection);
}

// Runs the application's event loop from the given first step; returns the exit code, which is
// watchdogExit when nothing quit the application.
int runApplication(const std::function<void()>& firstStep) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(watchdogExit); });
    watchdog.start(20000);
    later(firstStep);
    const int code = QApplication::exec();
    QCoreApplication::sendPostedEvents();
    return code;
}

// A viewer stand-in that sends the application's Close event from its own call stack.
class Viewer : public QObject {
public:
    void closeApplicationFromHere() {
        QCloseEvent close;
        QCoreApplication::sendEvent(qApp, &close);
        ++m_calls; // still alive here
    }

private:
    int m_calls = 0;
};

// A window that refuses to close, so the application's Close event does not end it.
class StubbornWindow : public QWidget {
protected:
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

} // namespace

class TestCloseHelper : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        CloseHelper::instance();
        QVERIFY(!QGuiApplication::quitOnLastWindowClosed());
    }

    void cleanup() { QVERIFY(CloseHelper::instance()->trackedObjects().isEmpty()); }

    void closingMainWindowKeepsRunningViewer() {
        QWidget window;
        auto* viewer = new QObject;
        bool aliveAfterClose = false;
        const int code = runApplication([&] {
            window.show();
            CloseHelper::instance()->addObject(viewer);
            later([&] {
                window.close();
                later([&] {
                    aliveAfterClose = true;
                    delete viewer;
                });
            });
        });
        QCOMPARE(code, 0);
        QVERIFY(aliveAfterClose);
    }

    void endingViewerKeepsVisibleMainWindow() {
        QWidget window;
        bool aliveAfterViewer = false;
        const int code = runApplication([&] {
            window.show();
            auto* viewer = new QObject;
            CloseHelper::instance()->addObject(viewer);
            delete viewer;
            later([&] {
                aliveAfterViewer = true;
                window.close();
            });
        });
        QCOMPARE(code, 0);
        QVERIFY(aliveAfterViewer);
    }

    void objectAddedTwiceGoesWithOneDestruction() {
        const int code = runApplication([] {
            auto* viewer = new QObject;
            CloseHelper::instance()->addObject(viewer);
            CloseHelper::instance()->addObject(viewer);
            QCOMPARE(CloseHelper::instance()->trackedObjects().size(), 2);
            delete viewer;
        });
        QCOMPARE(code, 0);
    }

    // Windows that do not keep the application alive once the last viewer ends.
    void windowsThatDoNotKeepAlive_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no quit-on-close") << "noQuitOnClose";
        QTest::newRow("window with a parent widget") << "parented";
    }
    void windowsThatDoNotKeepAlive() {
        QFETCH(QString, kind);
        QWidget parent;
        std::unique_ptr<QWidget> window;
        if (kind == "parented") {
            window.reset(new QWidget(&parent, Qt::Window));
        } else {
            window.reset(new QWidget);
            window->setAttribute(Qt::WA_QuitOnClose, false);
        }
        const int code = runApplication([&] {
            window->show();
            auto* viewer = new QObject;
            CloseHelper::instance()->addObject(viewer);
            delete viewer;
        });
        QCOMPARE(code, 0);
    }

    // A last window that is only hidden, or destroyed without closing, ends the application too.
    void lastWindowHiddenOrDestroyed_data() {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("dialog hidden") << false;
        QTest::newRow("dialog destroyed") << true;
    }
    void lastWindowHiddenOrDestroyed() {
        QFETCH(bool, destroy);
        QPointer<QDialog> dialog = new QDialog;
        const int code = runApplication([&] {
            dialog->show();
            later([&] {
                if (destroy)
                    delete dialog;
                else
                    dialog->hide();
            });
        });
        QCOMPARE(code, 0);
        delete dialog;
    }

    // The application's Close event deletes tracked viewers once control is back in the event loop
    // (the sender may be one of them) and quits only through the usual check.
    void closeEventDeletesTrackedViewersDeferred() {
        StubbornWindow window;
        QPointer<Viewer> viewer = new Viewer;
        QPointer<QObject> other = new QObject;
        bool survivedOwnCall = false;
        bool deletedAfterwards = false;
        const int code = runApplication([&] {
            window.show();
            CloseHelper::instance()->addObject(viewer);
            CloseHelper::instance()->addObject(other);
            viewer->closeApplicationFromHere();
            survivedOwnCall = !viewer.isNull() && !other.isNull();
            QVERIFY(CloseHelper::instance()->trackedObjects().isEmpty());
            later([&] {
                deletedAfterwards = viewer.isNull() && other.isNull();
                window.hide();
            });
        });
        QCOMPARE(code, 0);
        QVERIFY(survivedOwnCall);
        QVERIFY(deletedAfterwards);
    }
};

QTEST_MAIN(TestCloseHelper)
#include "tst_close_helper.moc"

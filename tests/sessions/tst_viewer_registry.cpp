#include "sessions/ViewerRegistry.h"

#include "viewer/engine/RdpInstance.h"

#include <QTest>

#include <memory>

class TestViewerRegistry : public QObject {
    Q_OBJECT
private slots:
    void newerViewerIsFoundFirst() {
        auto older = std::make_unique<RdpInstance>();
        auto newer = std::make_unique<RdpInstance>();
        RdpInstance other;
        registerViewer("s1", older.get());
        registerViewer("s1", newer.get());
        registerViewer("s2", &other);
        QCOMPARE(findViewer("s1"), newer.get());
        QCOMPARE(findViewer("s2"), &other);
        QCOMPARE(findViewer("s3"), nullptr);

        emit newer->finished();
        QCOMPARE(findViewer("s1"), older.get());
        emit older->finished();
        QCOMPARE(findViewer("s1"), nullptr);
        QCOMPARE(findViewer("s2"), &other);
        QCOMPARE(unregisterViewer("s2", &other), 1);
        QCOMPARE(findViewer("s2"), nullptr);
    }

    void repeatedEntriesGoTogether() {
        RdpInstance viewer;
        registerViewer("s1", &viewer);
        registerViewer("s1", &viewer);
        registerViewer("s9", &viewer);
        QCOMPARE(unregisterViewer("s1", &viewer), 2);
        QCOMPARE(findViewer("s9"), &viewer);
        QCOMPARE(unregisterViewer("s9", &viewer), 1);
    }

    // A viewer destroyed without finishing leaves no dangling entry behind.
    void destroyedViewerLeaves() {
        auto kept = std::make_unique<RdpInstance>();
        registerViewer("s1", kept.get());
        {
            RdpInstance gone;
            registerViewer("s1", &gone);
            QCOMPARE(findViewer("s1"), &gone);
        }
        QCOMPARE(findViewer("s1"), kept.get());
        kept.reset();
        QCOMPARE(findViewer("s1"), nullptr);
    }
};

QTEST_MAIN(TestViewerRegistry)
#include "tst_viewer_registry.moc"

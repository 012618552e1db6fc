#include "viewer/widgets/RdpWidget.h"

#include "platform/viewer/FakeViewerPlatform.h"

#include <QWindow>
#include <QtTest>

using ViewerPlatform::FakeViewerPlatform;
using ViewerPlatform::ScopedPlatform;

namespace {

void runDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class TestRdpWidgetList : public QObject {
    Q_OBJECT

private slots:
    void windowFollowsItsSession() {
        auto* session = new QObject;
        RdpWidget window(session, 7);
        QCOMPARE(window.windowId(), 7u);
        QCOMPARE(window.master<QObject>(), session);
        delete session;
        QCOMPARE(window.master<QObject>(), nullptr);
        QCOMPARE(window.masterObject(), nullptr);

        RdpWidget orphan(nullptr, 0);
        QCOMPARE(orphan.masterObject(), nullptr);
    }

    void firstRegistrationWins() {
        RdpWidgetList list(nullptr);
        QPointer<RdpWidget> first = new RdpWidget(nullptr, 3);
        QPointer<RdpWidget> second = new RdpWidget(nullptr, 3);
        list.addWidget(first);
        list.addWidget(second);
        QCOMPARE(list.widget(3), first);
        QCOMPARE(list.windowIds(), QList<quint32>{3});

        list.removeWidget(3);
        runDeferredDeletes();
        QVERIFY(first.isNull());
        QVERIFY(!second.isNull()); // never registered, so never the registry's to delete
        delete second;
    }

    void removeAndLookUp() {
        RdpWidgetList list(nullptr);
        QPointer<RdpWidget> window = new RdpWidget(nullptr, 9);
        list.addWidget(window);
        QVERIFY(list.widget(10).isNull());

        list.removeWidget(10); // unknown: nothing happens
        runDeferredDeletes();
        QVERIFY(!window.isNull());

        list.removeWidget(9);
        QVERIFY(list.widget(9).isNull());
        QVERIFY(!window.isNull()); // deleted later, not at once
        runDeferredDeletes();
        QVERIFY(window.isNull());
    }

    void removeAfterWindowIsGone() {
        RdpWidgetList list(nullptr);
        auto* window = new RdpWidget(nullptr, 4);
        list.addWidget(window);
        delete window;
        QVERIFY(list.widget(4).isNull());
        list.removeWidget(4);
        QVERIFY(list.windowIds().isEmpty());
        // A new window may take the id again.
        QPointer<RdpWidget> again = new RdpWidget(nullptr, 4);
        list.addWidget(again);
        QCOMPARE(list.widget(4), again);
    }

    void destructionDeletesRemainingWindows() {
        QPointer<RdpWidget> a = new RdpWidget(nullptr, 1);
        QPointer<RdpWidget> b = new RdpWidget(nullptr, 2);
        QPointer<RdpWidget> gone = new RdpWidget(nullptr, 3);
        {
            RdpWidgetList list(nullptr);
            list.addWidget(a);
            list.addWidget(b);
            list.addWidget(gone);
            delete gone;
        }
        QVERIFY(a && b);
        runDeferredDeletes();
        QVERIFY(a.isNull());
        QVERIFY(b.isNull());
    }

    void restoreWindowsBringsEachForward() {
        RdpWidgetList list(nullptr);
        QPointer<RdpWidget> hidden = new RdpWidget(nullptr, 1);
        QPointer<RdpWidget> minimized = new RdpWidget(nullptr, 2);
        QPointer<RdpWidget> gone = new RdpWidget(nullptr, 3);
        minimized->showMaximized();
        minimized->setWindowState(minimized->windowState() | Qt::WindowMinimized);
        QVERIFY(minimized->isMinimized());
        list.addWidget(hidden);
        list.addWidget(minimized);
        list.addWidget(gone);
        delete gone;

        list.restoreWindows();
        QVERIFY(hidden->isVisible());
        QVERIFY(!minimized->isMinimized());
        QVERIFY(minimized->windowState() & Qt::WindowMaximized);
    }

    void firstModalWindow_data() {
        QTest::addColumn<QList<quint32>>("ids");
        QTest::addColumn<int>("expected"); // index into ids; -1 for none

        // Registered: 1 hidden modal, 2 visible modal pop-up, 3 visible not modal, 4 and 5 visible modal.
        QTest::newRow("first qualifying") << QList<quint32>{1, 2, 3, 4, 5} << 3;
        QTest::newRow("order of the list decides") << QList<quint32>{5, 4} << 0;
        QTest::newRow("unregistered ids skipped") << QList<quint32>{99, 4} << 1;
        QTest::newRow("none") << QList<quint32>{1, 2, 3, 99} << -1;
        QTest::newRow("empty") << QList<quint32>{} << -1;
    }

    void firstModalWindow() {
        QFETCH(QList<quint32>, ids);
        QFETCH(int, expected);

        RdpWidgetList list(nullptr);
        auto make = [&list](quint32 id, Qt::WindowFlags flags, Qt::WindowModality modality, bool visible) {
            auto* w = new RdpWidget(nullptr, id, nullptr, flags);
            w->setWindowModality(modality);
            w->setVisible(visible);
            list.addWidget(w);
        };
        make(1, Qt::Window, Qt::ApplicationModal, false);
        make(2, Qt::Popup, Qt::ApplicationModal, true);
        make(3, Qt::Window, Qt::NonModal, true);
        make(4, Qt::Window, Qt::WindowModal, true);
        make(5, Qt::Window, Qt::ApplicationModal, true);

        const auto it = ::firstModalWindow(list, ids);
        QCOMPARE(it == ids.cend() ? -1 : int(it - ids.cbegin()), expected);
    }

    void popupWindowType() {
        QWidget popup(nullptr, Qt::Popup);
        QWidget tool(nullptr, Qt::Tool); // shares a bit with Popup but is not one
        QWidget plain;
        QVERIFY(isPopupWindow(&popup));
        QVERIFY(!isPopupWindow(&tool));
        QVERIFY(!isPopupWindow(&plain));
        QVERIFY(!isPopupWindow(nullptr));
    }

    void nativeHandlesAreCollectedOnce() {
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        RdpWidgetList list(nullptr);
        RdpWidget* a = new RdpWidget(nullptr, 1);
        RdpWidget* b = new RdpWidget(nullptr, 2);
        RdpWidget* noWindow = new RdpWidget(nullptr, 3);
        a->show();
        b->show();
        list.addWidget(a);
        list.addWidget(b);
        list.addWidget(noWindow);
        fake.handles[a->windowHandle()] = 0x51;
        fake.handles[b->windowHandle()] = 0x51; // two windows on one native window

        QCOMPARE(nativeHandles(list, {3, 1, 2, 99, 1}), QList<ViewerPlatform::NativeWindow>{0x51});

        fake.handles[b->windowHandle()] = 0x52;
        QCOMPARE(nativeHandles(list, {2, 1}), (QList<ViewerPlatform::NativeWindow>{0x52, 0x51}));
    }

    void minimizeAndRestoreAll() {
        FakeViewerPlatform fake;
        ScopedPlatform scope(&fake);
        RdpWidgetList list(nullptr);
        auto make = [&](quint32 id, ViewerPlatform::NativeWindow handle, bool iconic, bool visible) {
            auto* w = new RdpWidget(nullptr, id);
            w->show();
            fake.handles[w->windowHandle()] = handle;
            w->setVisible(visible);
            fake.addWindow(handle).iconic = iconic;
            list.addWidget(w);
        };
        make(1, 0x11, false, true);
        make(2, 0x12, true, true);
        make(3, 0x13, false, false); // hidden: left alone
        const QList<quint32> ids{1, 2, 3, 99};

        minimizeAll(list, ids);
        QCOMPARE(fake.calls.filter(QStringLiteral("showWindow")),
                 QStringList{QStringLiteral("showWindow 17 6")});
        QVERIFY(fake.window(0x11)->iconic);
        QVERIFY(!fake.window(0x13)->iconic);

        fake.calls.clear();
        restoreAll(list, ids);
        QCOMPARE(fake.calls.filter(QStringLiteral("showWindow")),
                 (QStringList{QStringLiteral("showWindow 17 9"), QStringLiteral("showWindow 18 9")}));
        QVERIFY(!fake.window(0x11)->iconic && !fake.window(0x12)->iconic);

        fake.calls.clear();
        restoreAll(list, ids);
        QVERIFY(fake.calls.filter(QStringLiteral("showWindow")).isEmpty());
    }

    void minimizeWithoutPlatformDoesNothing() {
        FakeViewerPlatform fake;
        fake.missing.insert(ViewerPlatform::Feature::NativeHandles);
        ScopedPlatform scope(&fake);
        RdpWidgetList list(nullptr);
        auto* w = new RdpWidget(nullptr, 1);
        w->show();
        list.addWidget(w);
        minimizeAll(list, {1});
        restoreAll(list, {1});
        QVERIFY(fake.calls.filter(QStringLiteral("showWindow")).isEmpty());
    }
};

QTEST_MAIN(TestRdpWidgetList)
#include "tst_rdpwidgetlist.moc"

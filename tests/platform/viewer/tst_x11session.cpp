// The platform layer inside a real Qt session on X11: the process's implementation is the X11 one
// bound to Qt's display, and the registry queries reach the session's native windows through it.
#include "platform/viewer/ViewerPlatform.h"
#include "viewer/widgets/RdpWidget.h"

#include "XvfbServer.h"

#include <QApplication>
#include <QWindow>
#include <QtTest>

#include <cstdio>
#include <memory>

using namespace ViewerPlatform;

class TestX11Session : public QObject {
    Q_OBJECT

private slots:
    void processUsesTheX11Implementation() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        Interface* platform = instance();
        QVERIFY(platform != unavailable());
        QVERIFY(platform->available(Feature::WindowStacking));
        QVERIFY(!platform->available(Feature::SystemMenu));
    }

    void sessionWindowsHaveNativeHandles() {
        RdpWidgetList list(nullptr);
        auto* first = new RdpWidget(nullptr, 1);
        auto* second = new RdpWidget(nullptr, 2);
        auto* never = new RdpWidget(nullptr, 3); // never shown: no native window
        list.addWidget(first);
        list.addWidget(second);
        list.addWidget(never);
        first->show();
        second->show();
        QVERIFY(QTest::qWaitForWindowExposed(first));
        QVERIFY(QTest::qWaitForWindowExposed(second));

        const QList<NativeWindow> handles = nativeHandles(list, {1, 2, 3});
        QCOMPARE(handles, (QList<NativeWindow>{NativeWindow(first->winId()), NativeWindow(second->winId())}));

        // The handles are the desktop's top-level windows, and restacking them is seen by the server.
        Interface* platform = instance();
        auto order = [&] {
            QList<NativeWindow> ours;
            for (NativeWindow w : platform->topLevelWindows()) {
                if (handles.contains(w)) {
                    ours << w;
                }
            }
            return ours;
        };
        QCOMPARE(order(), (QList<NativeWindow>{handles[1], handles[0]}));
        platform->placeWindow(handles[1], InsertAfter::below(handles[0]));
        QCOMPARE(order(), (QList<NativeWindow>{handles[0], handles[1]}));
    }
};

int main(int argc, char** argv) {
    return runTestUnderXvfb<TestX11Session>(argc, argv);
}

#include "tst_x11session.moc"

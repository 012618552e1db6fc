// Runs under a QGuiApplication: the start-up routine creates the 3D-mouse window and removes it at quit.
#include "viewer/engine/constants/ViewerConstants.h"

#include <QGuiApplication>
#include <QPointer>
#include <QWindow>
#include <QtTest>

namespace {

int factoryCalls = 0;

QWindow* windowFactory() {
    ++factoryCalls;
    auto* window = new QWindow;
    window->setObjectName(QStringLiteral("startup"));
    return window;
}

const bool factoryInstalled = (VnConstants::setStartupWindowFactory(windowFactory), true);

} // namespace

class TestViewerConstantsGui : public QObject {
    Q_OBJECT

private slots:
    void startupWindowLivesUntilAboutToQuit() {
        QVERIFY(factoryInstalled);
        QTRY_VERIFY(VnConstants::startupWindow() != nullptr);
        QCOMPARE(factoryCalls, 1);
        QPointer<QWindow> window = VnConstants::startupWindow();
        QCOMPARE(window->objectName(), QStringLiteral("startup"));

        QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
        QVERIFY(window.isNull());
        QCOMPARE(VnConstants::startupWindow(), nullptr);
    }
};

QTEST_MAIN(TestViewerConstantsGui)
#include "tst_viewerconstants_gui.moc"

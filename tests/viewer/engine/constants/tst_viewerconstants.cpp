// Runs under a plain QCoreApplication, as command-line tools and most tests do.
#include "viewer/engine/constants/ViewerConstants.h"

#include <QMetaEnum>
#include <QWindow>
#include <QtTest>

namespace {

int factoryCalls = 0;

QWindow* countingFactory() {
    ++factoryCalls;
    // Constructing a window here would abort a process without a GUI application.
    return new QWindow;
}

// Installed during static initialisation, as the 3D-mouse code will do.
const bool factoryInstalled = (VnConstants::setStartupWindowFactory(countingFactory), true);

} // namespace

class TestViewerConstants : public QObject {
    Q_OBJECT

private slots:
    void coreApplicationGetsNoStartupWindow() {
        QVERIFY(factoryInstalled);
        // The start-up routine's single shot, had it been posted, runs here.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(factoryCalls, 0);
        QCOMPARE(VnConstants::startupWindow(), nullptr);
    }

    void notificationButtonsMatchStandardButtonNames() {
        const QMetaEnum buttonEnum = QMetaEnum::fromType<QMessageBox::StandardButtons>();
        const auto& buttons = VnConstants::notificationButtons();
        QCOMPARE(buttons.size(), 18);
        for (auto it = buttons.cbegin(); it != buttons.cend(); ++it) {
            const char* key = buttonEnum.valueToKey(it.value());
            QVERIFY2(key, qPrintable(it.key()));
            QCOMPARE(QString::fromLatin1(key).toLower(), it.key());
        }
        QVERIFY(!buttons.contains(QStringLiteral("nobutton")));
        QVERIFY(!buttons.contains(QStringLiteral("Ok")));
    }

    void surfaceImageEventTypeIsOwnAndStable() {
        const QEvent::Type type = VnConstants::surfaceImageEventType();
        QVERIFY(type >= QEvent::User && type <= QEvent::MaxUser);
        QCOMPARE(VnConstants::surfaceImageEventType(), type);
        QVERIFY(QEvent::registerEventType() != type);
    }
};

QTEST_GUILESS_MAIN(TestViewerConstants)
#include "tst_viewerconstants.moc"

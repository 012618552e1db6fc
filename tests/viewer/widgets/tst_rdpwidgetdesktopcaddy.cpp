#include "RdpWidgetDesktopTestSession.h"
#include "viewer/engine/constants/ViewerConstants.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpPreferences.h"
#include "viewer/widgets/RdpWidgetDesktop.h"
#include "viewer/widgets/RdpWidgetDesktopCaddySupport.h"
#include "viewer/widgets/RdpWidgetNotification.h"
#include "viewer/widgets/RdpWidgetToolbar.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QtTest>

#include <cmath>

namespace {

QJsonObject participant(const QString& id, const QString& name, const QString& status = QString(),
                        const QString& role = QStringLiteral("viewer")) {
    return QJsonObject{{"client", id}, {"name", name}, {"status", status}, {"role", role}};
}

QPushButton* button(QWidget* toolbar, const char* name) {
    return toolbar->findChild<QPushButton*>(QLatin1String(name));
}

} // namespace

class TestRdpWidgetDesktopCaddy : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false")); }

    void init() {
        session = std::make_unique<TestSession>();
        QVERIFY(session->start());
    }
    void cleanup() { session.reset(); }

    void pages_data() {
        QTest::addColumn<QJsonObject>("me");
        QTest::addColumn<int>("page");
        QTest::addColumn<bool>("toolbarVisible");
        QTest::addColumn<bool>("resizeEnabled");

        using C = RdpWidgetDesktopCaddy;
        QTest::newRow("owner") << participant("a", "", "input", "master") << int(C::ViewPage) << true << true;
        QTest::newRow("holds the input")
            << participant("a", "Ann", "input") << int(C::ViewPage) << true << true;
        QTest::newRow("watching") << participant("a", "Ann", "viewing") << int(C::ViewPage) << true << false;
        QTest::newRow("not shared") << QJsonObject() << int(C::UserPage) << true << true;
        QTest::newRow("in the lobby")
            << participant("a", "Ann", "lobby") << int(C::LobbyPage) << false << false;
        QTest::newRow("unnamed guest")
            << participant("a", "", "viewing") << int(C::UserPage) << true << false;
        QTest::newRow("unnamed guest in the lobby")
            << participant("a", "", "lobby") << int(C::UserPage) << false << false;
    }

    void pages() {
        QFETCH(QJsonObject, me);
        QFETCH(int, page);
        QFETCH(bool, toolbarVisible);
        QFETCH(bool, resizeEnabled);

        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        session->master->shareMe(me);
        QCOMPARE(caddy->currentPage(), page);
        QCOMPARE(caddy->toolbar()->isVisible(), toolbarVisible);
        QCOMPARE(button(caddy->toolbar(), "ResizeButton")->isEnabled(), resizeEnabled);
    }

    void pageContents() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        QCOMPARE(caddy->findChild<QScrollArea*>("ScrollArea")->widget(), caddy->desktop());
        auto* join = caddy->findChild<QDialogButtonBox*>("JoinButtonBox");
        QCOMPARE(join->buttons().size(), 1);
        QCOMPARE(join->buttons().first()->text(), QStringLiteral("Join"));
        QCOMPARE(join->buttonRole(join->buttons().first()), QDialogButtonBox::AcceptRole);
        const QString lobby = caddy->findChild<QTextBrowser*>("TextBrowser")->toPlainText();
        QVERIFY2(lobby.contains("You are in the lobby.") &&
                     lobby.contains("A moderator will admit you shortly."),
                 qPrintable(lobby));
    }

    void banner_data() {
        QTest::addColumn<QJsonArray>("first");
        QTest::addColumn<QJsonArray>("second");
        QTest::addColumn<QString>("text");

        const QJsonObject ann = participant("a", "Ann");
        const QJsonObject bob = participant("b", "Bob");
        QTest::newRow("control change")
            << QJsonArray{ann, bob} << QJsonArray{ann, participant("b", "Bob", "input")}
            << "Bob now has control of the session.";
        QTest::newRow("unnamed join") << QJsonArray{ann} << QJsonArray{ann, participant("c", "")}
                                      << "A new user has joined the session.";
        QTest::newRow("leave") << QJsonArray{ann, bob} << QJsonArray{ann} << "Bob has left the session.";
        QTest::newRow("markup stays text")
            << QJsonArray{ann} << QJsonArray{ann, participant("m", "<b>Mal</b>")}
            << "<b>Mal</b> has joined the session.";
        QTest::newRow("several lines")
            << QJsonArray{ann, bob} << QJsonArray{participant("a", "Ann", "input"), participant("c", "Cy")}
            << "Ann now has control of the session.\nCy has joined the session.\n"
               "Bob has left the session.";
    }

    void banner() {
        QFETCH(QJsonArray, first);
        QFETCH(QJsonArray, second);
        QFETCH(QString, text);

        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        RdpWidgetNotification* banner = caddy->notification();
        const QString before = banner->text();

        // The first list after connecting never produces a banner.
        session->master->shareClient(first);
        QCOMPARE(banner->text(), before);
        QCOMPARE(banner->geometry(), caddy->notificationHiddenGeometry());

        session->master->shareClient(second);
        QCOMPARE(banner->text(), text);
        QTRY_COMPARE(banner->geometry(), caddy->notificationShownGeometry());
        // Once in, it leaves by itself after a while.
        QTRY_VERIFY(caddy->isNotificationTimerActive());

        // A click opens the sharing panel and removes the banner at once.
        QSignalSpy sharing(session->master.get(), &RdpMaster::wantsToShowSharing);
        QTest::mouseClick(banner, Qt::LeftButton);
        QCOMPARE(sharing.count(), 1);
        QCOMPARE(banner->geometry(), caddy->notificationHiddenGeometry());
        QVERIFY(!caddy->isNotificationTimerActive());
    }

    void unchangedListShowsNothing() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        const QJsonArray list{participant("a", "Ann", "input"), participant("b", "Bob")};
        session->master->shareClient(list);
        session->master->shareClient(list);
        QCOMPARE(caddy->notification()->geometry(), caddy->notificationHiddenGeometry());
    }

    void toolbarSlides() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QWidget* toolbar = caddy->toolbar();
        QCOMPARE(toolbar->geometry(), caddy->toolbarHiddenGeometry());

        QEvent enter(QEvent::Enter);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(toolbar, &enter);
        QTRY_COMPARE(toolbar->geometry(), caddy->toolbarShownGeometry());
        QVERIFY(!caddy->isToolbarTimerActive());

        // Leaving starts the countdown, coming back stops it.
        QCoreApplication::sendEvent(toolbar, &leave);
        QVERIFY(caddy->isToolbarTimerActive());
        QCoreApplication::sendEvent(toolbar, &enter);
        QVERIFY(!caddy->isToolbarTimerActive());
        QCoreApplication::sendEvent(toolbar, &leave);

        // A click in the desktop slides it out at once.
        QTest::mousePress(caddy->desktop(), Qt::LeftButton, {}, QPoint(100, 200));
        QVERIFY(!caddy->isToolbarTimerActive());
        QTRY_COMPARE(toolbar->geometry(), caddy->toolbarHiddenGeometry());
        QTest::mouseRelease(caddy->desktop(), Qt::LeftButton, {}, QPoint(100, 200));
    }

    void toolbarCaughtHalfWay() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QWidget* toolbar = caddy->toolbar();
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(toolbar, &enter);
        QTRY_VERIFY(toolbar->geometry() != caddy->toolbarHiddenGeometry());
        QVERIFY(toolbar->geometry() != caddy->toolbarShownGeometry());

        // Entering again while it moves does not restart the slide.
        const QRect moving = toolbar->geometry();
        QCoreApplication::sendEvent(toolbar, &enter);
        QVERIFY(toolbar->geometry().bottom() >= moving.bottom());

        // A wheel turn in the desktop while it is on its way snaps it back.
        QWheelEvent wheel(QPointF(50, 50), QPointF(caddy->desktop()->mapToGlobal(QPoint(50, 50))), QPoint(),
                          QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(caddy->desktop(), &wheel);
        QCOMPARE(toolbar->geometry(), caddy->toolbarHiddenGeometry());
    }

    void resizeIsDebounced() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        QVERIFY(caddy->toolbar()->isResizeChecked());
        session->master->setDpi(-1);
        caddy->resize(700, 500);
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QTRY_COMPARE(session->geometryEntries().value(session->geometryEntries().size() - 1),
                     DisplaySim::Entry::geometry(700, 500));
        const int before = session->geometryEntries().size();

        // The first size goes at once, the ones within 100 ms only update what is wanted ...
        caddy->resize(800, 600);
        QCOMPARE(caddy->sentSize(), QSize(800, 600));
        QVERIFY(caddy->isSizeTimerActive());
        caddy->resize(810, 600);
        caddy->resize(820, 610);
        QCOMPARE(caddy->sentSize(), QSize(800, 600));
        QCOMPARE(caddy->desiredSize(), QSize(820, 610));

        // ... and the last one always arrives.
        QTRY_COMPARE(caddy->sentSize(), QSize(820, 610));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QTRY_COMPARE(session->geometryEntries().size(), before + 2);
        const QList<QByteArray> entries = session->geometryEntries().mid(before);
        QCOMPARE(entries, (QList<QByteArray>{DisplaySim::Entry::geometry(800, 600),
                                             DisplaySim::Entry::geometry(820, 610)}));
    }

    // When the window is first shown its own resize comes before the layout has sized the scroll area;
    // the server must never hear the scroll area's size from before then.
    void firstSizeFitsTheWindow() {
        RdpWidgetDesktopCaddy* sessionWindow = session->caddy();
        QTRY_VERIFY(!sessionWindow->isSizeTimerActive());
        const QSize sessionWindowSize = sessionWindow->scrollArea()->size();
        const int before = session->geometryEntries().size();

        session->ownCaddy = std::make_unique<RdpWidgetDesktopCaddy>(session->master.get(), 0, false);
        RdpWidgetDesktopCaddy* caddy = session->ownCaddy.get();
        caddy->resize(700, 500);
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QTRY_VERIFY(sentPixelSizes(before).contains(QSize(700, 500)));
        for (QSize size : sentPixelSizes(before))
            QVERIFY2(size == QSize(700, 500) || size == sessionWindowSize,
                     qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())));
    }

    // A window asked for W x H server pixels at a stored zoom asks the server for exactly W x H, and a
    // zoom change and back or full screen and back asks for it again.
    void zoomRoundTrips_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<QSize>("geometry");
        for (int row = 0; row < int(zoomTable.size()); ++row) {
            for (QSize geometry : {QSize(1024, 768), QSize(1025, 769)})
                QTest::addRow("%s, %dx%d", zoomTable[row].label, geometry.width(), geometry.height())
                    << zoomTable[row].exactFactor << geometry;
        }
    }

    void zoomRoundTrips() {
        QFETCH(double, factor);
        QFETCH(QSize, geometry);
        const QString host = QStringLiteral("zoom-host");
        session.reset();
        session = std::make_unique<TestSession>();
        writeServerPreference(host, VnConstants::ScalingFactorKey, roundedZoomFactor(factor));
        QVERIFY(session->start(QStringLiteral("%1x%2").arg(geometry.width()).arg(geometry.height()), false,
                               host));
        QCOMPARE(session->master->scalingFactor(), factor);
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QTRY_VERIFY(!sentPixelSizes(0).isEmpty());
        for (QSize sent : sentPixelSizes(0))
            QCOMPARE(sent, geometry);

        const double other = factor == 1.0 ? 2.0 : 1.0;
        session->master->setScalingFactor(other);
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        session->master->setScalingFactor(factor);
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QCOMPARE(caddy->sentSize(), geometry);

        QPushButton* fullScreenButton = button(caddy->toolbar(), "FullScreenButton");
        fullScreenButton->click();
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        fullScreenButton->click();
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        QTRY_COMPARE(caddy->sentSize(), geometry);
        QTRY_COMPARE(sentPixelSizes(0).value(sentPixelSizes(0).size() - 1), geometry);
    }

    // A resize while the lobby is shown sends nothing until the desktop is back, then the size it has.
    void resizeInTheLobby() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        session->master->setDpi(-1);
        caddy->resize(700, 500);
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QTRY_COMPARE(caddy->sentSize(), QSize(700, 500));
        session->master->shareMe(participant("a", "Ann", "lobby"));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        const int before = session->geometryEntries().size();

        caddy->resize(900, 650);
        QCOMPARE(caddy->sentSize(), QSize(700, 500));
        session->master->shareMe(participant("a", "Ann", "input"));
        QTRY_COMPARE(caddy->sentSize(), QSize(900, 650));
        QTRY_VERIFY(sentPixelSizes(before).contains(QSize(900, 650)));
        QCOMPARE(sentPixelSizes(before).first(), QSize(900, 650));
    }

    void resizeOffSendsNothing() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        button(caddy->toolbar(), "ResizeButton")->click();
        QVERIFY(!session->master->autoResize());
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        const QSize sent = caddy->sentSize();

        // The toolbar and banner still snap back.
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(caddy->toolbar(), &enter);
        caddy->resize(caddy->width() + 30, caddy->height() + 20);
        QCOMPARE(caddy->toolbar()->geometry(), caddy->toolbarHiddenGeometry());
        QCOMPARE(caddy->sentSize(), sent);
        QVERIFY(!caddy->isSizeTimerActive());

        // Switching it back on sends the size for the window as it is now.
        button(caddy->toolbar(), "ResizeButton")->click();
        QVERIFY(session->master->autoResize());
        QCOMPARE(caddy->sentSize(), caddy->scrollArea()->size());
    }

    void physicalSize_data() {
        QTest::addColumn<int>("dpi");
        QTest::newRow("server's DPI") << -1;
        QTest::newRow("automatic") << 0;
        QTest::newRow("96") << 96;
    }

    void physicalSize() {
        QFETCH(int, dpi);
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->resize(960, 480);
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        session->master->setDpi(dpi == 0 ? 1 : 0); // make the next change a real one
        session->master->setDpi(dpi);
        QTRY_VERIFY(!caddy->isSizeTimerActive());

        QByteArray expected = DisplaySim::Entry::geometry(960, 480);
        if (dpi >= 0) {
            int dpiX = dpi;
            int dpiY = dpi;
            if (dpi == 0) {
                dpiX = dpiY = 0;
                for (QScreen* screen : QGuiApplication::screens()) {
                    dpiX = std::max(dpiX, int(screen->physicalDotsPerInchX()));
                    dpiY = std::max(dpiY, int(screen->physicalDotsPerInchY()));
                }
            }
            if (dpiX >= 1 && dpiY >= 1)
                expected = DisplaySim::Entry::geometry(960, 480, quint32(960 * 254 / (dpiX * 10) + 1),
                                                       quint32(480 * 254 / (dpiY * 10) + 1));
        }
        QTRY_COMPARE(session->geometryEntries().value(session->geometryEntries().size() - 1), expected);
    }

    void scalingFactorChangesTheSize() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        session->master->setDpi(-1);
        caddy->resize(600, 400);
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        QTRY_VERIFY(!caddy->isSizeTimerActive());
        session->master->setScalingFactor(2.0);
        QTRY_COMPARE(session->geometryEntries().value(session->geometryEntries().size() - 1),
                     DisplaySim::Entry::geometry(1200, 800));
    }

    void fullScreen_data() {
        QTest::addColumn<bool>("startInFullScreen");
        QTest::newRow("entered from the toolbar") << false;
        QTest::newRow("started in full screen") << true;
    }

    void fullScreen() {
        QFETCH(bool, startInFullScreen);
        session->ownCaddy =
            std::make_unique<RdpWidgetDesktopCaddy>(session->master.get(), 0, startInFullScreen);
        RdpWidgetDesktopCaddy* caddy = session->ownCaddy.get();
        QPushButton* fullScreenButton = button(caddy->toolbar(), "FullScreenButton");
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QSignalSpy closeOptions(session->master.get(), &RdpMaster::wantsToCloseOptions);
        QSignalSpy closeSharing(session->master.get(), &RdpMaster::wantsToCloseSharing);

        const QRect normal(40, 50, 640, 480);
        if (!startInFullScreen) {
            caddy->setGeometry(normal);
            caddy->show();
            QVERIFY(QTest::qWaitForWindowExposed(caddy));
            fullScreenButton->click();
        }
        QVERIFY(caddy->isInFullScreen());
        QVERIFY(fullScreenButton->isChecked());
        QVERIFY(caddy->windowFlags().testFlag(Qt::FramelessWindowHint));
        QTRY_COMPARE(caddy->geometry(), screen);

        // The window system does not call a frameless window full screen; the button keeps to our state.
        caddy->setWindowState(Qt::WindowMaximized);
        caddy->setWindowState(Qt::WindowNoState);
        QVERIFY(fullScreenButton->isChecked());

        // It can always be left from the toolbar.
        fullScreenButton->click();
        QVERIFY(!caddy->isInFullScreen());
        QVERIFY(!fullScreenButton->isChecked());
        QVERIFY(!caddy->windowFlags().testFlag(Qt::FramelessWindowHint));
        if (!startInFullScreen)
            QTRY_COMPARE(caddy->geometry(), normal);
        QVERIFY(caddy->isVisible());
        QCOMPARE(closeOptions.count(), startInFullScreen ? 1 : 2);
        QCOMPARE(closeSharing.count(), closeOptions.count());
    }

    void closingQuits() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QSignalSpy quit(session->master.get(), &RdpMaster::wantsToQuit);
        caddy->close();
        QCOMPARE(quit.count(), 1);
        button(caddy->toolbar(), "DisconnectButton")->click();
        QCOMPARE(quit.count(), 2);
    }

    void toolbarButtonsReachTheSession() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QSignalSpy options(session->master.get(), &RdpMaster::wantsToShowOptions);
        QSignalSpy sharing(session->master.get(), &RdpMaster::wantsToShowSharing);
        button(caddy->toolbar(), "OptionsButton")->click();
        button(caddy->toolbar(), "SharingButton")->click();
        QCOMPARE(options.count(), 1);
        QCOMPARE(sharing.count(), 1);

        QWidget* diagnostics = session->master->diagnosticsWindow();
        QVERIFY(diagnostics);
        button(caddy->toolbar(), "DiagnosticsButton")->click();
        QVERIFY(diagnostics->isVisible());
        button(caddy->toolbar(), "DiagnosticsButton")->click();
        QVERIFY(!diagnostics->isVisible());
    }

    void tabStaysInTheDesktop() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        caddy->show();
        QVERIFY(QTest::qWaitForWindowExposed(caddy));
        caddy->activateWindow();
        caddy->desktop()->setFocus();
        QTest::keyClick(caddy->desktop(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), caddy->desktop());
    }

    void sendCommandKeyIsMirrored() {
        RdpWidgetDesktopCaddy* caddy = session->caddy();
        const bool before = session->master->sendCommandKey();
        QCOMPARE(caddy->property("SendCommandKey").toBool(), before);
        session->master->setSendCommandKey(!before);
        QCOMPARE(caddy->property("SendCommandKey").toBool(), !before);
    }

private:
    // Pixel sizes of the geometry settings the server received, from the `from`th on.
    QList<QSize> sentPixelSizes(int from) const {
        QList<QSize> sizes;
        for (const QByteArray& entry : session->geometryEntries().mid(from)) {
            DisplaySim::FrameReader fields(entry, 1);
            quint16 width = 0, height = 0;
            if (fields.u16(width) && fields.u16(height))
                sizes.append(QSize(width, height));
        }
        return sizes;
    }

    std::unique_ptr<TestSession> session;
};

QTEST_MAIN(TestRdpWidgetDesktopCaddy)
#include "tst_rdpwidgetdesktopcaddy.moc"

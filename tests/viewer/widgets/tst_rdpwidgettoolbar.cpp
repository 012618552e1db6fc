#include "viewer/widgets/RdpWidgetNotification.h"
#include "viewer/widgets/RdpWidgetToolbar.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

// The toolbar's buttons and the banner, on their own.
class TestRdpWidgetToolbar : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { qunsetenv("VN_DIAGNOSTICS"); }

    void buttonsEmitTheirSignals_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("signal");
        QTest::addColumn<bool>("checkable");

        QTest::newRow("disconnect") << "DisconnectButton" << QByteArray(SIGNAL(clickedDisconnect())) << false;
        QTest::newRow("resize") << "ResizeButton" << QByteArray(SIGNAL(clickedResize(bool))) << true;
        QTest::newRow("full screen") << "FullScreenButton" << QByteArray(SIGNAL(clickedFullScreen(bool)))
                                     << true;
        QTest::newRow("options") << "OptionsButton" << QByteArray(SIGNAL(clickedOptions())) << false;
        QTest::newRow("diagnostics") << "DiagnosticsButton" << QByteArray(SIGNAL(clickedDiagnostics(bool)))
                                     << true;
        QTest::newRow("sharing") << "SharingButton" << QByteArray(SIGNAL(clickedSharing())) << false;
    }

    void buttonsEmitTheirSignals() {
        QFETCH(QString, button);
        QFETCH(QByteArray, signal);
        QFETCH(bool, checkable);

        RdpWidgetToolbar toolbar;
        toolbar.show();
        auto* pushButton = toolbar.findChild<QPushButton*>(button);
        QVERIFY(pushButton);
        QVERIFY(pushButton->text().isEmpty());
        QVERIFY(!pushButton->icon().isNull());
        QVERIFY(!pushButton->icon().pixmap(24, 24).isNull());

        QSignalSpy spy(&toolbar, signal.constData());
        pushButton->click();
        QCOMPARE(spy.count(), 1);
        if (checkable) {
            QCOMPARE(spy.at(0).at(0).toBool(), true);
            pushButton->click();
            QCOMPARE(spy.count(), 2);
            QCOMPARE(spy.at(1).at(0).toBool(), false);
        }
    }

    void settingStatesEmitsNothing() {
        RdpWidgetToolbar toolbar;
        QSignalSpy resize(&toolbar, &RdpWidgetToolbar::clickedResize);
        QSignalSpy fullScreen(&toolbar, &RdpWidgetToolbar::clickedFullScreen);

        toolbar.setResizeChecked(true);
        toolbar.setFullScreenChecked(true);
        QVERIFY(toolbar.isResizeChecked());
        QVERIFY(toolbar.findChild<QPushButton*>("FullScreenButton")->isChecked());
        toolbar.setResizeEnabled(false);
        QVERIFY(!toolbar.findChild<QPushButton*>("ResizeButton")->isEnabled());
        QCOMPARE(resize.count(), 0);
        QCOMPARE(fullScreen.count(), 0);
    }

    void diagnosticsButtonFollowsTheEnvironment_data() {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("unset") << false << QByteArray();
        QTest::newRow("empty value") << true << QByteArray();
        QTest::newRow("any value") << true << QByteArray("0");
    }

    void diagnosticsButtonFollowsTheEnvironment() {
        QFETCH(bool, set);
        QFETCH(QByteArray, value);
        if (set)
            qputenv("VN_DIAGNOSTICS", value);
        RdpWidgetToolbar toolbar;
        toolbar.show();
        QCOMPARE(toolbar.findChild<QPushButton*>("DiagnosticsButton")->isVisible(), set);
    }

    void bannerShowsNamesAsPlainText() {
        RdpWidgetNotification banner;
        const QString markup = QStringLiteral("<b>Eve</b> <img src=x> has joined the session.");
        banner.setText(markup);
        auto* label = banner.findChild<QLabel*>("TextLabel");
        QCOMPARE(label->text(), markup);
        QCOMPARE(label->textFormat(), Qt::PlainText);
    }

    void bannerHeightFollowsTheText() {
        RdpWidgetNotification banner;
        banner.show();
        banner.setText(QStringLiteral("one line"));
        const int oneLine = banner.height();
        QCOMPARE(banner.width(), 300);

        banner.setText(QStringLiteral("first\nsecond\nthird"));
        QVERIFY2(banner.height() > oneLine, qPrintable(QString::number(banner.height())));
        QCOMPARE(banner.width(), 300);

        QStringList many;
        for (int i = 0; i < 100; ++i)
            many << QStringLiteral("Participant %1 has joined the session.").arg(i);
        banner.setText(many.join('\n'));
        QCOMPARE(banner.height(), 300);
    }
};

QTEST_MAIN(TestRdpWidgetToolbar)
#include "tst_rdpwidgettoolbar.moc"

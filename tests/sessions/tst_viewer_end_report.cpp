#include "sessions/ViewerEndReport.h"
#include "viewer/engine/RdpInstance.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>

Q_DECLARE_METATYPE(ViewerTransport)

class TestViewerEndReport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QCoreApplication::setApplicationName("Velnor3"); }

    void report_data() {
        QTest::addColumn<ViewerTransport>("transport");
        QTest::addColumn<bool>("wasConnected");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("errorText");
        QTest::addColumn<QString>("disconnectText");
        QTest::addColumn<bool>("logged");

        const QString problem = "There was a problem connecting to the session.<br><br>";
        const QString sshHint = "Make sure it is still running and that SSH tunneling is enabled.";
        const QString webHint = "Make sure it is still running and that you have access to the server.";
        QTest::newRow("never connected, ssh")
            << ViewerTransport::Ssh << false << 0 << "" << problem + "<br>" + sshHint << "" << false;
        QTest::newRow("never connected, web, refused")
            << ViewerTransport::Web << false << 3 << "Refused <b>now</b>"
            << problem + "Refused &lt;b&gt;now&lt;/b&gt;<br>" + webHint
            << "Desk &amp; Co has disconnected.<br><br>Refused &lt;b&gt;now&lt;/b&gt;" << true;
        QTest::newRow("level 3, two lines with markup")
            << ViewerTransport::Ssh << true << 3 << "Ended by admin\n<a href=\"x\">see</a>"
            << ""
            << "Desk &amp; Co has disconnected.<br><br>Ended by admin<br />&lt;a "
               "href=&quot;x&quot;&gt;see&lt;/a&gt;"
            << true;
        QTest::newRow("level 5") << ViewerTransport::Web << true << 5 << "Session closed"
                                 << ""
                                 << "" << true;
        QTest::newRow("user quit") << ViewerTransport::Ssh << true << 0 << ""
                                   << ""
                                   << "" << false;
    }
    void report() {
        QFETCH(ViewerTransport, transport);
        QFETCH(bool, wasConnected);
        QFETCH(int, level);
        QFETCH(QString, message);
        QFETCH(QString, errorText);
        QFETCH(QString, disconnectText);
        QFETCH(bool, logged);
        const ViewerEndReport r = viewerEndReport(transport, wasConnected, level, message, "Desk & Co");
        QCOMPARE(r.errorText, errorText);
        QCOMPARE(r.errorTitle, errorText.isEmpty() ? QString() : QStringLiteral("Velnor3 Error"));
        QCOMPARE(r.disconnectText, disconnectText);
        QCOMPARE(r.disconnectTitle,
                 disconnectText.isEmpty() ? QString() : QStringLiteral("Velnor3 Disconnected"));
        QCOMPARE(r.logMessage, logged);
    }

    // One viewer's end must not block the other open viewers.
    void boxesDoNotBlock() {
        RdpInstance viewer;
        reportViewerFinishedWeb(&viewer);
        QList<QMessageBox*> boxes;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget))
                if (box->isVisible())
                    boxes.append(box);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->windowModality(), Qt::NonModal);
        QVERIFY(!QApplication::activeModalWidget());
        boxes.first()->close();
    }
};

QTEST_MAIN(TestViewerEndReport)
#include "tst_viewer_end_report.moc"

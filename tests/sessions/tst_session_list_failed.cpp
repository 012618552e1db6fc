#include "sessions/SessionListFailedWidget.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class TestSessionListFailed : public QObject {
    Q_OBJECT
private slots:
    void buttonsReportAndLeaveTheDecisionToTheWindow() {
        SessionListFailedWidget page;
        QSignalSpy reconnect(&page, &SessionListFailedWidget::reconnect);
        QSignalSpy done(&page, &SessionListFailedWidget::done);
        page.show();

        // Never set: an empty object.
        page.findChild<QPushButton*>("ReconnectButton")->click();
        QCOMPARE(reconnect.count(), 1);
        QCOMPARE(reconnect.takeFirst().at(0).toJsonObject(), QJsonObject());

        const QJsonObject json{{"type", "ssh"}, {"host", "h"}};
        page.setConnectionJson(json);
        page.findChild<QPushButton*>("ReconnectButton")->click();
        QCOMPARE(reconnect.takeFirst().at(0).toJsonObject(), json);

        page.findChild<QPushButton*>("CloseButton")->click();
        QCOMPARE(done.count(), 1);
        QVERIFY(page.isVisible());
    }

    // Reason, details and log come from the server or ssh: markup in them is shown as typed.
    void textsArePlain() {
        SessionListFailedWidget page;
        const QString markup = QStringLiteral("<b>bold</b> <a href=\"https://x.example\">link</a>");
        page.setReason(markup);
        page.setDetails(markup);
        page.setLog(markup);
        page.show();
        for (const char* name : {"ReasonLabel", "DetailsLabel"}) {
            auto* label = page.findChild<QLabel*>(name);
            QCOMPARE(label->textFormat(), Qt::PlainText);
            QCOMPARE(label->text(), markup);
        }
        auto* log = page.findChild<QPlainTextEdit*>("LogTextEdit");
        QCOMPARE(log->toPlainText(), markup);
        QVERIFY(log->isReadOnly());
    }
};

QTEST_MAIN(TestSessionListFailed)
#include "tst_session_list_failed.moc"

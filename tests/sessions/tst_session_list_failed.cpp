#include "sessions/SessionListFailedWidget.h"

#include <QGridLayout>
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

    // The form's cells: the labels one cell each, the buttons between two spacers, the log across.
    void formCells_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("columnSpan");
        QTest::newRow("reason") << "ReasonLabel" << 1 << 0 << 1;
        QTest::newRow("details") << "DetailsLabel" << 2 << 0 << 1;
        QTest::newRow("reconnect") << "ReconnectButton" << 3 << 2 << 1;
        QTest::newRow("close") << "CloseButton" << 3 << 3 << 1;
        QTest::newRow("log") << "LogTextEdit" << 4 << 0 << 6;
    }
    void formCells() {
        QFETCH(QString, name);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, columnSpan);
        SessionListFailedWidget page;
        auto* grid = qobject_cast<QGridLayout*>(page.layout());
        QVERIFY(grid);
        QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
        auto* widget = page.findChild<QWidget*>(name);
        QVERIFY(widget);
        int r = -1, c = -1, rs = -1, cs = -1;
        grid->getItemPosition(grid->indexOf(widget), &r, &c, &rs, &cs);
        QCOMPARE(QList<int>({r, c, rs, cs}), QList<int>({row, column, 1, columnSpan}));
        for (int spacerColumn : {0, 5})
            QVERIFY(grid->itemAtPosition(3, spacerColumn) && grid->itemAtPosition(3, spacerColumn)->spacerItem());
    }
};

QTEST_MAIN(TestSessionListFailed)
#include "tst_session_list_failed.moc"

#include "viewer/widgets/RdpLogDialog.h"
#include "viewer/widgets/SleepMonitor.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBrowser>
#include <QtTest>

class TestRdpLogDialog : public QObject {
    Q_OBJECT

private slots:
    void form() {
        RdpLogDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("RdpLogDialog"));
        QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
        auto* browser = dialog.findChild<QTextBrowser*>(QStringLiteral("TextBrowser"));
        auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("ButtonBox"));
        QVERIFY(browser && buttons);
        QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Close);
        QCOMPARE(browser->font().family(), QStringLiteral("Courier"));

        dialog.show();
        QSignalSpy rejected(&dialog, &QDialog::rejected);
        buttons->button(QDialogButtonBox::Close)->click();
        QCOMPARE(rejected.count(), 1);
        QVERIFY(!dialog.isVisible());
    }

    void appendKeepsTextAsGiven() {
        RdpLogDialog dialog;
        dialog.append(QStringLiteral("a\n"));
        dialog.append(QStringLiteral("b"));
        QCOMPARE(dialog.textBrowser()->toPlainText(), QStringLiteral("a\nb"));
        dialog.append(QStringLiteral("c"));
        QCOMPARE(dialog.textBrowser()->toPlainText(), QStringLiteral("a\nbc"));
    }

    void appendGoesToTheEndWhateverIsSelected() {
        RdpLogDialog dialog;
        dialog.append(QStringLiteral("first\nsecond\n"));
        QTextCursor cursor = dialog.textBrowser()->textCursor();
        cursor.setPosition(0);
        cursor.movePosition(QTextCursor::EndOfLine, QTextCursor::KeepAnchor);
        dialog.textBrowser()->setTextCursor(cursor);

        dialog.append(QStringLiteral("third"));
        QCOMPARE(dialog.textBrowser()->toPlainText(), QStringLiteral("first\nsecond\nthird"));
        QVERIFY(!dialog.textBrowser()->textCursor().hasSelection());
    }

    void viewFollowsTheEnd() {
        RdpLogDialog dialog;
        dialog.show();
        for (int i = 0; i < 200; ++i) {
            dialog.append(QStringLiteral("GOT KEYDOWN: %1\n    SCANCODE: %1\n\n").arg(i));
        }
        QScrollBar* bar = dialog.textBrowser()->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void sleepMonitorIsOnePerProcessUntilQuit() {
        SleepMonitor* first = SleepMonitor::instance();
        QVERIFY(first);
        QCOMPARE(SleepMonitor::instance(), first);
        QVERIFY(first->parent() == nullptr);

        QVERIFY(QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection));
        QPointer<SleepMonitor> old = first;
        SleepMonitor* second = SleepMonitor::instance();
        QVERIFY(second && second != first);
        QVERIFY(!old.isNull()); // cleared, not deleted
        QCOMPARE(SleepMonitor::instance(), second);
        delete old;
    }
};

QTEST_MAIN(TestRdpLogDialog)
#include "tst_rdplogdialog.moc"

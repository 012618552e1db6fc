#include "sessions/SessionDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>

namespace {

QVariantMap line(const QString& text, const QString& type) {
    return QVariantMap{{"line", text}, {"type", type}};
}

// Every run of text in the document with its colour and whether it is a link.
struct Run {
    QString text;
    QColor colour;
    bool anchor;
};

QList<Run> runsOf(const QTextDocument* document) {
    QList<Run> runs;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            runs.append({fragment.text(), format.foreground().color(), format.isAnchor()});
        }
    return runs;
}

QMap<QString, QString> rowsOf(const QTableWidget* table) {
    QMap<QString, QString> rows;
    for (int r = 0; r < table->rowCount(); ++r)
        rows.insert(table->item(r, 0)->text(), table->item(r, 1)->text());
    return rows;
}

int rowOfKey(const QTableWidget* table, const QString& key) {
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 0) && table->item(r, 0)->text() == key)
            return r;
    return -1;
}

} // namespace

class TestSessionDialogs : public QObject {
    Q_OBJECT
private slots:
    void execDialog_data();
    void execDialog();
    void execDialogRefusesAnEmptyCommand();
    void execOutputIsEscapedAndOnlyStderrRed();
    void infoRowsKeepTheirValuesWhileSorted();
    void logDialogsShowPlainText();
    void params_data();
    void params();
    void paramsNotTextAreReadOnly();
    void questionIsPlainText();
};

void TestSessionDialogs::execDialog_data() {
    QTest::addColumn<bool>("background");
    QTest::addColumn<QJsonObject>("params");
    QTest::newRow("foreground sends stdin")
        << false << QJsonObject{{"command", "ls -l"}, {"stdin", "input"}, {"env", QJsonObject()}};
    QTest::newRow("background sends no stdin")
        << true << QJsonObject{{"command", "ls -l"}, {"env", QJsonObject()}};
}

void TestSessionDialogs::execDialog() {
    QFETCH(bool, background);
    QFETCH(QJsonObject, params);
    ExecDialog dialog;
    QSignalSpy spy(&dialog, &ExecDialog::execCommand);
    QPushButton* ok = dialog.buttonBox()->button(QDialogButtonBox::Ok);
    QVERIFY(!ok->isEnabled());
    dialog.commandEdit()->setPlainText(QStringLiteral("ls -l"));
    QVERIFY(ok->isEnabled());
    dialog.stdinEdit()->setPlainText(QStringLiteral("input"));
    dialog.backgroundCheckBox()->setChecked(background);
    dialog.show();
    ok->click();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<QJsonObject>(), params);
    QCOMPARE(spy.at(0).at(1).toBool(), background);
    QVERIFY(!dialog.isVisible());
}

void TestSessionDialogs::execDialogRefusesAnEmptyCommand() {
    ExecDialog dialog;
    QSignalSpy spy(&dialog, &ExecDialog::execCommand);
    dialog.show();
    dialog.commandEdit()->setPlainText(QStringLiteral("x"));
    dialog.commandEdit()->clear();
    QVERIFY(!dialog.buttonBox()->button(QDialogButtonBox::Ok)->isEnabled());
    dialog.accept();
    QCOMPARE(spy.count(), 0);
    QVERIFY(dialog.isVisible());
}

void TestSessionDialogs::execOutputIsEscapedAndOnlyStderrRed() {
    const QVariantList output{line("a<b", "stdout"), line("  two  spaces\tand tab", "system"),
                              line("<a href=\"http://example.com\">click</a> &amp; <b>bold</b>", "stderr"),
                              line("http://example.com/plain", "stdout")};
    ExecOutputDialog dialog;
    dialog.setExitCode(3);
    dialog.setOutput(ExecOutputDialog::outputHtml(output));
    QCOMPARE(dialog.exitCodeLabel()->text(), QStringLiteral("Exit Code: 3"));

    const QTextDocument* document = dialog.outputView()->document();
    QCOMPARE(document->toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n')),
             QStringLiteral("a<b\n  two  spaces\tand tab\n"
                            "<a href=\"http://example.com\">click</a> &amp; <b>bold</b>\n"
                            "http://example.com/plain"));
    const QString stderrText = output.at(2).toMap().value("line").toString();
    for (const Run& run : runsOf(document)) {
        QVERIFY2(!run.anchor, qPrintable(run.text));
        const bool red = run.colour == QColor(Qt::red);
        QCOMPARE(red, stderrText.contains(run.text.trimmed()) && !run.text.trimmed().isEmpty());
    }
    QVERIFY(!dialog.outputView()->openLinks());
    QVERIFY(!dialog.outputView()->openExternalLinks());
}

void TestSessionDialogs::infoRowsKeepTheirValuesWhileSorted() {
    InfoDialog dialog;
    QVERIFY(dialog.table()->isSortingEnabled());
    const QMap<QString, QString> rows{
        {"Session Id", "s1"}, {"Login", "ann"}, {"Command", "xterm"}, {"Zeta", "z"}};
    for (auto it = rows.begin(); it != rows.end(); ++it)
        dialog.addRow(it.key(), it.value());
    QCOMPARE(rowsOf(dialog.table()), rows);
    QVERIFY(!(dialog.table()->item(0, 1)->flags() & Qt::ItemIsEditable));

    dialog.addButton(QStringLiteral("Close"));
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    dialog.show();
    dialog.buttonBox()->buttons().value(0)->click();
    QCOMPARE(accepted.count(), 1);
}

void TestSessionDialogs::logDialogsShowPlainText() {
    const QString log = QStringLiteral("<b>not bold</b> <a href='x'>no link</a>\n");
    LogDialog connectionLog;
    connectionLog.append(log);
    connectionLog.append(QStringLiteral("second & last\n"));
    QCOMPARE(connectionLog.textView()->toPlainText(), log + QStringLiteral("second & last\n"));
    QCOMPARE(connectionLog.textView()->textCursor().position(),
             connectionLog.textView()->document()->characterCount() - 1);

    SessionLogDialog sessionLogs;
    sessionLogs.addLog(QStringLiteral("session.log"), log);
    sessionLogs.addLog(QStringLiteral("app.log"), QStringLiteral("app & <i>more</i>"));
    QCOMPARE(sessionLogs.comboBox()->currentText(), QStringLiteral("session.log"));
    QCOMPARE(sessionLogs.textView()->toPlainText(), log);
    sessionLogs.comboBox()->setCurrentIndex(sessionLogs.comboBox()->findText(QStringLiteral("app.log")));
    QCOMPARE(sessionLogs.textView()->toPlainText(), QStringLiteral("app & <i>more</i>"));
}

void TestSessionDialogs::params_data() {
    // The edit: "set key=value" changes or adds a row, "delete key" deletes its row, "rename a=b".
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QVariantMap>("sent");
    QTest::newRow("unchanged sends nothing") << QStringList() << QVariantMap();
    QTest::newRow("a changed value only") << QStringList{"set name=Other"} << QVariantMap{{"name", "Other"}};
    QTest::newRow("same text again is no change") << QStringList{"set count=3"} << QVariantMap();
    QTest::newRow("deleted key sent empty") << QStringList{"delete name"} << QVariantMap{{"name", ""}};
    QTest::newRow("added key") << QStringList{"add extra=1"} << QVariantMap{{"extra", "1"}};
    QTest::newRow("deleted then re-added unchanged")
        << QStringList{"delete name", "add name=Desk"} << QVariantMap();
    QTest::newRow("renamed key") << QStringList{"rename flag=flag2"}
                                 << QVariantMap{{"flag", ""}, {"flag2", "true"}};
    QTest::newRow("deleted nested value") << QStringList{"delete nested"} << QVariantMap{{"nested", ""}};
    QTest::newRow("empty new row ignored") << QStringList{"add ="} << QVariantMap();
}

void TestSessionDialogs::params() {
    QFETCH(QStringList, edits);
    QFETCH(QVariantMap, sent);
    ParamsDialog dialog;
    QSignalSpy spy(&dialog, &ParamsDialog::newParams);
    dialog.addParam("name", "Desk");
    dialog.addParam("count", 3.0);
    dialog.addParam("flag", true);
    dialog.addParam("nested", QVariantMap{{"inner", QVariantList{1.0, "x"}}});
    QTableWidget* table = dialog.table();
    for (const QString& edit : edits) {
        const QString command = edit.section(' ', 0, 0);
        const QString arg = edit.section(' ', 1);
        const QString key = arg.section('=', 0, 0);
        const QString value = arg.section('=', 1);
        if (command == "set") {
            table->item(rowOfKey(table, key), 1)->setText(value);
        } else if (command == "delete") {
            table->setCurrentCell(rowOfKey(table, key), 0);
            QMetaObject::invokeMethod(&dialog, "on_DeleteParam_clicked");
        } else if (command == "add") {
            QMetaObject::invokeMethod(&dialog, "on_NewParam_clicked");
            const int row = table->currentRow();
            QVERIFY(row >= 0);
            // Sorting moves the row once its key is set; both cells move together.
            QTableWidgetItem* keyItem = table->item(row, 0);
            QTableWidgetItem* valueItem = table->item(row, 1);
            keyItem->setText(key);
            valueItem->setText(value);
        } else if (command == "rename") {
            table->item(rowOfKey(table, key), 0)->setText(value);
        }
    }
    dialog.accept();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toMap(), sent);
}

void TestSessionDialogs::paramsNotTextAreReadOnly() {
    ParamsDialog dialog;
    // Filled while sorting is on: each key keeps its own value.
    dialog.addParam("zeta", "z");
    dialog.addParam("alpha", "a");
    dialog.addParam("list", QVariantList{1.0, 2.0});
    dialog.addParam("map", QVariantMap{{"k", "v"}});
    dialog.addParam("number", 4194304.0);
    QVERIFY(dialog.table()->isSortingEnabled());
    const QMap<QString, QString> rows = rowsOf(dialog.table());
    QCOMPARE(rows.value("zeta"), QStringLiteral("z"));
    QCOMPARE(rows.value("alpha"), QStringLiteral("a"));
    QCOMPARE(rows.value("number"), QStringLiteral("4194304"));
    QCOMPARE(rows.value("list"), QStringLiteral("[1,2]"));
    QCOMPARE(rows.value("map"), QStringLiteral("{\"k\":\"v\"}"));
    for (const QString& key : {QStringLiteral("list"), QStringLiteral("map")}) {
        const int row = rowOfKey(dialog.table(), key);
        QVERIFY(!(dialog.table()->item(row, 0)->flags() & Qt::ItemIsEditable));
        QVERIFY(!(dialog.table()->item(row, 1)->flags() & Qt::ItemIsEditable));
    }
    QVERIFY(dialog.table()->item(rowOfKey(dialog.table(), "alpha"), 1)->flags() & Qt::ItemIsEditable);
}

void TestSessionDialogs::questionIsPlainText() {
    QuestionDialog dialog;
    const QString question = QStringLiteral("Terminate \"<b>x</b> & <img src=y>\"?");
    dialog.setQuestion(question);
    QCOMPARE(dialog.questionLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(dialog.questionLabel()->text(), question);
    QPushButton* yes = dialog.addAcceptButton(QStringLiteral("Terminate"));
    QPushButton* no = dialog.addRejectButton(QStringLiteral("Keep"));
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    dialog.show();
    no->click();
    QCOMPARE(rejected.count(), 1);
    dialog.show();
    yes->click();
    QCOMPARE(accepted.count(), 1);
}

QTEST_MAIN(TestSessionDialogs)
#include "tst_session_dialogs.moc"

#include "connections/ConnectionEditorDialog.h"
#include "connections/ConnectionModel.h"
#include "connections/HttpsConnectionWidget.h"
#include "connections/SshConnectionWidget.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QJsonObject readJson(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

void writeJson(const QString& path, const QJsonObject& json) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(json).toJson());
}

QLineEdit* edit(QWidget* form, const char* name) {
    return form->findChild<QLineEdit*>(name);
}

// Dismisses the next message box and keeps its text.
void dismissBoxes(QString* text) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->done(QMessageBox::Ok);
            timer->deleteLater();
        }
    });
    timer->start(20);
}

} // namespace

class TestConnectionEditor : public QObject {
    Q_OBJECT
private slots:
    void fields_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("hostShown");
        QTest::addColumn<QString>("portShown");
        QTest::addColumn<bool>("savable");
        QTest::newRow("blank host") << "" << "" << "" << "" << false;
        QTest::newRow("leading blank refused") << " h" << "" << "h" << "" << true;
        QTest::newRow("leading dash refused") << "-oProxyCommand=x" << "" << "oProxyCommand=x" << "" << true;
        QTest::newRow("empty port") << "h" << "" << "h" << "" << true;
        QTest::newRow("port 0") << "h" << "0" << "h" << "0" << false;
        QTest::newRow("port 70000") << "h" << "70000" << "h" << "70000" << false;
        QTest::newRow("port 2222") << "h" << "2222" << "h" << "2222" << true;
    }
    // Host and port are typed; every change of either re-evaluates OK.
    void fields() {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, hostShown);
        QFETCH(QString, portShown);
        QFETCH(bool, savable);
        for (bool https : {false, true}) {
            const QJsonObject json{{"type", https ? "https" : "ssh"}};
            std::unique_ptr<ConnectionEditorWidget> form;
            if (https)
                form.reset(new HttpsConnectionWidget(json));
            else
                form.reset(new SshConnectionWidget(json));
            QSignalSpy can(form.get(), &ConnectionEditorWidget::canSave);
            QTest::keyClicks(edit(form.get(), "HostLineEdit"), host);
            QTest::keyClicks(edit(form.get(), "PortLineEdit"), port);
            QCOMPARE(edit(form.get(), "HostLineEdit")->text(), hostShown);
            QCOMPARE(edit(form.get(), "PortLineEdit")->text(), portShown);
            QCOMPARE(form->isSavable(), savable);
            if (!host.isEmpty() || !port.isEmpty()) {
                QVERIFY(!can.isEmpty());
                QCOMPARE(can.last().at(0).toBool(), savable);
            }
            form->save();
            QCOMPARE(form->json().contains("port"), savable && !portShown.isEmpty());
        }
    }

    void httpsForm() {
        HttpsConnectionWidget form(QJsonObject{{"type", "https"}, {"host", "h"}, {"authMethod", "ssh"}});
        // No key in the file: certificates are verified.
        QVERIFY(!form.findChild<QCheckBox*>("SslCheckBox")->isChecked());
        auto* auth = form.findChild<QComboBox*>("AuthComboBox");
        QCOMPARE(auth->currentText(), QStringLiteral("SSH"));
        auth->setCurrentText(QStringLiteral("OpenID Connect"));
        QVERIFY(!edit(&form, "UserLineEdit")->isEnabled());
        form.save();
        QCOMPARE(form.json().value("authMethod").toString(), QStringLiteral("OpenID Connect"));
        QCOMPARE(form.json().value("ignoreSslErrors").toBool(true), false);
        // Tab goes down the rows in their order.
        QStringList chain;
        QWidget* w = edit(&form, "HostLineEdit");
        for (int i = 0; i < 6; ++i, w = w->nextInFocusChain())
            chain << w->objectName();
        QCOMPARE(chain, (QStringList{"HostLineEdit", "UserLineEdit", "PortLineEdit", "UriLineEdit", "AuthComboBox",
                                     "NameLineEdit"}));
    }

    void optionLists_data() {
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("saved");
        QTest::newRow("array") << QJsonValue(QJsonArray{"-v", "-o", "Ciphers=x y"}) << "-v -o \"Ciphers=x y\"" << ""
                               << QStringList{"-v", "-o", "Ciphers=x y"};
        QTest::newRow("string") << QJsonValue("-v -C") << "-v -C" << "" << QStringList{"-v", "-C"};
        QTest::newRow("empty, not edited") << QJsonValue(QJsonArray()) << "" << "" << QStringList{};
        QTest::newRow("empty, edited") << QJsonValue(QJsonArray{"-v"}) << "-v" << "\b\b" << QStringList{""};
        QTest::newRow("unbalanced quote") << QJsonValue("-o \"a b") << "-o \"a b" << "" << QStringList{"-o", "a b"};
        QTest::newRow("not a list") << QJsonValue(7) << "" << "" << QStringList{""};
        const QStringList quoted{"-o", "RemoteCommand=echo \"hi there\""};
        QTest::newRow("quotes inside an option")
            << QJsonValue(QJsonArray::fromStringList(quoted)) << "-o \"RemoteCommand=echo \\\"hi there\\\"\"" << ""
            << quoted;
        QTest::newRow("quotes inside an option, edited")
            << QJsonValue(QJsonArray::fromStringList(quoted)) << "-o \"RemoteCommand=echo \\\"hi there\\\"\""
            << " -v" << (quoted + QStringList{"-v"});
        QTest::newRow("empty item kept when not edited") << QJsonValue(QJsonArray{"-v", ""}) << "-v" << ""
                                                         << QStringList{"-v", ""};
    }
    // The field shows the list as text; saving keeps the stored list unless the text was edited, and
    // edited text gives back every option whole.
    void optionLists() {
        QFETCH(QJsonValue, stored);
        QFETCH(QString, shown);
        QFETCH(QString, typed);
        SshConnectionWidget form(QJsonObject{{"type", "ssh"}, {"host", "h"}, {"sshOptions", stored},
                                             {"usePlink", true}, {"plinkOptions", "-batch"}});
        QLineEdit* field = edit(&form, "SshOptionsEdit");
        QCOMPARE(field->text(), shown);
        field->end(false);
        for (const QChar c : typed) {
            if (c == QLatin1Char('\b'))
                QTest::keyClick(field, Qt::Key_Backspace);
            else
                QTest::keyClicks(field, QString(c));
        }
        QFETCH(QStringList, saved);
        form.save();
        QCOMPARE(form.json().value("sshOptions").toArray().toVariantList(), QVariant(saved).toList());
        // The other ssh program's settings are kept as the file has them.
        QCOMPARE(form.json().value("usePlink").toBool(), true);
        QCOMPARE(form.json().value("plinkOptions").toString(), QStringLiteral("-batch"));
    }

    // Items that hold blanks, quotes or backslashes come back whole from their text.
    void optionTextRoundTrip_data() {
        QTest::addColumn<QStringList>("list");
        QTest::newRow("quoted command") << QStringList{"-o", "RemoteCommand=echo \"hi there\""};
        QTest::newRow("quote without blanks") << QStringList{"-o", "SetEnv=A=\"b\""};
        QTest::newRow("backslashes") << QStringList{"-i", "C:\\keys\\my key", "a\\b"};
        QTest::newRow("backslash before a quote") << QStringList{"say \\\"x\\\""};
        QTest::newRow("trailing backslash") << QStringList{"dir name\\"};
        QTest::newRow("share path") << QStringList{"-i", "\\\\server\\share\\my key"};
        QTest::newRow("backslash pairs") << QStringList{"a \\\\b\\\\", "\\\\\\\\\"q\" \\\\\\\"", "x\\\\"};
        QTest::newRow("only a quote") << QStringList{"\"", "\\\""};
    }
    void optionTextRoundTrip() {
        QFETCH(QStringList, list);
        const QString text = ConnectionEditorWidget::listToText(QJsonArray::fromStringList(list));
        QCOMPARE(ConnectionEditorWidget::textToList(text), list);
    }

    // Typed option text keeps its meaning: inside quotes only \" stands for something else (a quote),
    // so backslashes, as in a share path, are stored as typed; the saved list shows again as text that
    // gives the same list.
    void typedOptions_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("shown");
        QTest::newRow("share path") << "\"\\\\server\\share\\my key\"" << QStringList{"\\\\server\\share\\my key"}
                                    << "\"\\\\server\\share\\my key\"";
        QTest::newRow("share path among options")
            << "-i \"\\\\server\\share\\my key\" -v" << QStringList{"-i", "\\\\server\\share\\my key", "-v"}
            << "-i \"\\\\server\\share\\my key\" -v";
        QTest::newRow("share path unquoted") << "-i \\\\server\\share\\key"
                                             << QStringList{"-i", "\\\\server\\share\\key"}
                                             << "-i \\\\server\\share\\key";
        QTest::newRow("escaped quote") << "-o \"RemoteCommand=echo \\\"hi there\\\"\""
                                       << QStringList{"-o", "RemoteCommand=echo \"hi there\""}
                                       << "-o \"RemoteCommand=echo \\\"hi there\\\"\"";
        QTest::newRow("single backslashes") << "\"C:\\keys\\my key\"" << QStringList{"C:\\keys\\my key"}
                                            << "\"C:\\keys\\my key\"";
        QTest::newRow("double backslash inside") << "\"a\\\\b c\"" << QStringList{"a\\\\b c"} << "\"a\\\\b c\"";
        QTest::newRow("quote after a backslash")
            << "\"say \\\\\\\"x\\\\\\\"\"" << QStringList{"say \\\"x\\\""} << "\"say \\\\\\\"x\\\\\\\"\"";
        QTest::newRow("trailing backslash as shown") << "\"dir name\\\\\"" << QStringList{"dir name\\"}
                                                     << "\"dir name\\\\\"";
        QTest::newRow("plain words") << "  -v   -C " << QStringList{"-v", "-C"} << "-v -C";
    }
    void typedOptions() {
        QFETCH(QString, typed);
        QFETCH(QStringList, stored);
        QFETCH(QString, shown);
        SshConnectionWidget form(QJsonObject{{"type", "ssh"}, {"host", "h"}});
        QTest::keyClicks(edit(&form, "SshOptionsEdit"), typed);
        form.save();
        QCOMPARE(form.json().value("sshOptions").toArray().toVariantList(), QVariant(stored).toList());

        SshConnectionWidget reopened(form.json());
        QCOMPARE(edit(&reopened, "SshOptionsEdit")->text(), shown);
        // The shown text, typed anew, is the same list.
        SshConnectionWidget retyped(QJsonObject{{"type", "ssh"}, {"host", "h"}});
        QTest::keyClicks(edit(&retyped, "SshOptionsEdit"), shown);
        retyped.save();
        QCOMPARE(retyped.json().value("sshOptions").toArray().toVariantList(), QVariant(stored).toList());
    }

    void naming_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("file");
        QTest::newRow("taken twice") << "lab" << "h" << "lab (2).velnor";
        QTest::newRow("no name") << "" << "h.example" << "h.example.velnor";
        QTest::newRow("parent folder") << "../x" << "h" << "_x.velnor";
        QTest::newRow("separator") << "a/b" << "h" << "a_b.velnor";
        QTest::newRow("hidden") << ".hidden" << "h" << "hidden.velnor";
        QTest::newRow("absolute") << "/etc/passwd" << "h" << "_etc_passwd.velnor";
        QTest::newRow("only signs") << "///" << "h" << "h.velnor";
        QTest::newRow("place marker in the name") << "x%2" << "h" << "x%2 (1).velnor";
        QTest::newRow("too long for the file system") << QString(300, 'a') << "h" << QString(248, 'a') + ".velnor";
        QTest::newRow("too long and taken") << QString(248, 'b') << "h" << QString(244, 'b') + " (1).velnor";
        // Cut at a character, never inside one: 2 bytes each, 248 bytes hold 124 of them.
        QTest::newRow("too long in bytes") << QString(200, QChar(0xe9)) << "h" << QString(124, QChar(0xe9)) + ".velnor";
    }
    void naming() {
        QFETCH(QString, name);
        QFETCH(QString, host);
        QFETCH(QString, file);
        QTemporaryDir folder;
        writeJson(folder.filePath("lab.velnor"), {{"host", "a"}});
        writeJson(folder.filePath("lab (1).velnor"), {{"host", "a"}});
        writeJson(folder.filePath("x%2.velnor"), {{"host", "a"}});
        writeJson(folder.filePath(QString(248, 'b') + ".velnor"), {{"host", "a"}});
        const QString chosen = ConnectionEditorDialog::freeFileName(folder.path(), name, host);
        QCOMPARE(chosen, file);
        QVERIFY(QFileInfo(QDir(folder.path()).filePath(chosen)).absolutePath() == QDir(folder.path()).absolutePath());
        // The file system takes the name.
        QFile created(QDir(folder.path()).filePath(chosen));
        QVERIFY2(created.open(QIODevice::WriteOnly), qPrintable(created.errorString()));
    }

    // A new connection lands in the user folder and the store reads it back.
    void newConnectionIsSavedAndListed() {
        QTemporaryDir folder;
        ConnectionEditorDialog dialog(folder.filePath("MyConnections"));
        QPushButton* ok = dialog.findChild<QDialogButtonBox*>("ButtonBox")->button(QDialogButtonBox::Ok);
        QVERIFY(!ok->isEnabled());
        QTest::keyClicks(edit(dialog.editorWidget(), "HostLineEdit"), "lab.example");
        QTest::keyClicks(edit(dialog.editorWidget(), "PortLineEdit"), "2222");
        QVERIFY(ok->isEnabled());
        // Switching the kind keeps what was typed.
        dialog.findChild<QComboBox*>("ConnectionType")->setCurrentIndex(1);
        QCOMPARE(edit(dialog.editorWidget(), "HostLineEdit")->text(), QStringLiteral("lab.example"));
        QCOMPARE(edit(dialog.editorWidget(), "PortLineEdit")->text(), QStringLiteral("2222"));
        ok->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const QJsonObject saved = readJson(dialog.savedPath());
        QCOMPARE(saved.value("type").toString(), QStringLiteral("https"));
        QCOMPARE(saved.value("port").toInt(), 2222);
        QVERIFY(!saved.contains("filename"));
        ConnectionModel model(folder.filePath("MyConnections"), QString(), {"name"});
        QCOMPARE(model.rowCount(), 1);
    }

    void editKeepsUnknownKeys() {
        QTemporaryDir folder;
        const QString path = folder.filePath("lab.velnor");
        writeJson(path, {{"type", "ssh"}, {"host", "h"}, {"lastRun", 17}, {"later", "kept"}});
        ConnectionEditorDialog dialog(folder.path());
        dialog.setConnection({{"type", "ssh"}, {"host", "h"}, {"filename", path}});
        edit(dialog.editorWidget(), "NameLineEdit")->setText(QStringLiteral("Lab"));
        dialog.accept();
        const QJsonObject saved = readJson(path);
        QCOMPARE(saved.value("name").toString(), QStringLiteral("Lab"));
        QCOMPARE(saved.value("lastRun").toInt(), 17);
        QCOMPARE(saved.value("later").toString(), QStringLiteral("kept"));
    }

    // A save that fails keeps the dialog and the input; Cancel writes nothing.
    void failedSaveKeepsTheDialog() {
        QTemporaryDir folder;
        // A plain file where the folder should be: it cannot be created, even as root.
        writeJson(folder.filePath("blocked"), {});
        ConnectionEditorDialog dialog(folder.filePath("blocked/MyConnections"));
        dialog.show();
        QTest::keyClicks(edit(dialog.editorWidget(), "HostLineEdit"), "h");
        QString box;
        dismissBoxes(&box);
        dialog.accept();
        QCOMPARE(box, QStringLiteral("Could not create directory"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(edit(dialog.editorWidget(), "HostLineEdit")->text(), QStringLiteral("h"));

        // A file that no longer parses is left alone and the save refused.
        const QString broken = folder.filePath("broken.velnor");
        QFile(broken).open(QIODevice::WriteOnly);
        QFile file(broken);
        file.open(QIODevice::WriteOnly);
        file.write("{not json");
        file.close();
        ConnectionEditorDialog edit2(folder.path());
        edit2.show();
        edit2.setConnection({{"type", "ssh"}, {"host", "h"}, {"filename", broken}});
        dismissBoxes(&box);
        edit2.accept();
        QVERIFY(box.contains("not a connection file"));
        QFile check(broken);
        check.open(QIODevice::ReadOnly);
        QCOMPARE(check.readAll(), QByteArray("{not json"));

        ConnectionEditorDialog cancelled(folder.filePath("fresh"));
        QTest::keyClicks(edit(cancelled.editorWidget(), "HostLineEdit"), "h");
        cancelled.reject();
        QVERIFY(!QDir(folder.filePath("fresh")).exists());
    }
};

QTEST_MAIN(TestConnectionEditor)
#include "tst_connection_editor.moc"

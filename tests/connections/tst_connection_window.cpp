#include "connections/ConnectionEditorDialog.h"
#include "connections/ConnectionEditorWidget.h"
#include "connections/ConnectionModel.h"
#include "connections/ConnectionWidget.h"
#include "connections/ConnectionWindow.h"
#include "sessions/JoinSessionDialog.h"

#include "HttpsServer.h"
#include "ReadOnlyFolder.h"
#include "ShownConnectionRows.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QSslConfiguration>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

void writeJson(const QString& path, const QJsonObject& json) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(json).toJson());
}

QJsonObject readJson(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

// Answers the next modal box with a button and keeps its text.
void answerBoxes(QMessageBox::StandardButton button, QStringList* texts) {
    // Lives until the test function ends (cleanup), since texts belongs to that function.
    auto* timer = new QTimer(qApp);
    timer->setObjectName(QStringLiteral("answerBoxes"));
    QObject::connect(timer, &QTimer::timeout, [timer, button, texts] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            texts->append(box->text());
            // The static boxes report the button clicked, not the dialog's result.
            if (QAbstractButton* answer = box->button(button))
                answer->click();
            else
                box->done(button);
        }
        if (texts->size() > 4)
            timer->deleteLater();
    });
    timer->start(20);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, timer, &QObject::deleteLater);
}

// The JSON of the page's row for the file at path.
QJsonObject rowJson(const ConnectionWindow& page, const QString& path) {
    for (int row = 0; row < page.model()->rowCount(); ++row) {
        const auto connection = page.model()->index(row, 0).data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>();
        if (connection->filePath() == path)
            return connection->toJson();
    }
    return {};
}

// The page's open editor.
ConnectionEditorDialog* openEditor(const ConnectionWindow& page) {
    for (ConnectionEditorDialog* dialog : page.findChildren<ConnectionEditorDialog*>())
        if (dialog->isVisible())
            return dialog;
    return nullptr;
}

QLineEdit* editorField(ConnectionEditorDialog* dialog, const char* name) {
    return dialog->editorWidget()->findChild<QLineEdit*>(name);
}

// The row widget open over the row of the file at path.
ConnectionWidget* rowWidget(const ConnectionWindow& page, const QString& path) {
    for (int row = 0; row < page.model()->rowCount(); ++row) {
        const QModelIndex index = page.model()->index(row, 0);
        if (index.data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>()->filePath() == path)
            return qobject_cast<ConnectionWidget*>(page.table()->indexWidget(index));
    }
    return nullptr;
}

} // namespace

class TestConnectionWindow : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        qDeleteAll(qApp->findChildren<QTimer*>(QStringLiteral("answerBoxes"), Qt::FindDirectChildrenOnly));
    }

    void init() {
        m_root.reset(new QTemporaryDir);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_root->filePath("config")));
        QSettings().clear();
        QDir(m_root->path()).mkpath("user");
        QDir(m_root->path()).mkpath("system");
        writeJson(m_root->filePath("user/a.velnor"), {{"type", "ssh"}, {"host", "a.example"}, {"user", "ann"}});
        writeJson(m_root->filePath("user/b.velnor"), {{"type", "https"}, {"host", "b.example"}, {"user", "bob"}});
        writeJson(m_root->filePath("system/c.velnor"), {{"type", "ssh"}, {"host", "c.example"}, {"user", "cy"}});
    }

    // Return runs; the stamp lands in the file's current content, so an edit made after listing
    // survives; system rows are not stamped.
    void runStampsTheCurrentFile() {
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QSignalSpy run(&window, &ConnectionWindow::doRun);
        // Edited behind the list's back.
        writeJson(m_root->filePath("user/a.velnor"),
                  {{"type", "ssh"}, {"host", "a.example"}, {"user", "ann"}, {"name", "renamed"}});
        window.table()->setCurrentIndex(window.model()->index(0, 0));
        QTest::keyClick(window.table(), Qt::Key_Return);
        QCOMPARE(run.count(), 1);
        QVERIFY(window.currentConnection());
        const QJsonObject a = readJson(m_root->filePath("user/a.velnor"));
        QCOMPARE(a.value("name").toString(), QStringLiteral("renamed"));
        QVERIFY(a.value("lastRun").toDouble() > 0);

        const QByteArray before = [this] {
            QFile f(m_root->filePath("system/c.velnor"));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        for (int row = 0; row < window.model()->rowCount(); ++row)
            if (window.model()->index(row, 0).data(ConnectionModel::SystemRole).toBool())
                window.table()->setCurrentIndex(window.model()->index(row, 0));
        QTest::keyClick(window.table(), Qt::Key_Return);
        QCOMPARE(run.count(), 2);
        QFile after(m_root->filePath("system/c.velnor"));
        after.open(QIODevice::ReadOnly);
        QCOMPARE(after.readAll(), before);
    }

    // A connection without a user asks for one; cancelling prepares nothing.
    void loginPrompt() {
        writeJson(m_root->filePath("user/a.velnor"), {{"type", "ssh"}, {"host", "a.example"}});
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        QSignalSpy run(&window, &ConnectionWindow::doRun);
        QString answer;
        window.askLogin = [&answer](const QString&, bool* ok) {
            *ok = !answer.isEmpty();
            return answer;
        };
        const QJsonObject json{{"type", "ssh"}, {"host", "a.example"},
                               {"filename", m_root->filePath("user/a.velnor")}};
        window.runConnection(json);
        QCOMPARE(run.count(), 0);
        QVERIFY(!window.currentConnection());
        answer = QStringLiteral("zoe");
        window.runConnection(json);
        QCOMPARE(run.count(), 1);
        QCOMPARE(window.currentConnection()->toJson().value("user").toString(), QStringLiteral("zoe"));
        // The answer is for this run only.
        QVERIFY(!readJson(m_root->filePath("user/a.velnor")).contains("user"));
    }

    void keys_data() {
        QTest::addColumn<int>("filter");
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("runs");
        QTest::addColumn<bool>("asks");
        QTest::newRow("Return runs") << 3 << int(Qt::Key_Return) << true << false;
        QTest::newRow("Backspace asks") << 3 << int(Qt::Key_Backspace) << false << true;
        QTest::newRow("Return on an empty filter") << 0 << int(Qt::Key_Return) << false << false;
        QTest::newRow("Backspace on a system row") << 2 << int(Qt::Key_Backspace) << false << false;
    }
    void keys() {
        QFETCH(int, filter);
        QFETCH(int, key);
        QFETCH(bool, runs);
        QFETCH(bool, asks);
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        window.findChild<QComboBox*>("FilterConnectionsComboBox")->setCurrentIndex(filter);
        QSignalSpy run(&window, &ConnectionWindow::doRun);
        QStringList boxes;
        answerBoxes(QMessageBox::No, &boxes);
        QTest::keyClick(window.table(), Qt::Key(key));
        QTest::qWait(200);
        QCOMPARE(run.count() > 0, runs);
        QCOMPARE(!boxes.isEmpty(), asks);
        QCOMPARE(window.model()->rowCount(), 3);
    }

    // Arrows skip rows the filter hides and stop at the ends.
    void arrowsSkipHiddenRows() {
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        window.findChild<QComboBox*>("FilterConnectionsComboBox")->setCurrentIndex(1);
        QTableView* table = window.table();
        QList<int> shown;
        for (int row = 0; row < window.model()->rowCount(); ++row)
            if (!table->isRowHidden(row))
                shown << row;
        QCOMPARE(shown.size(), 2);
        table->setCurrentIndex(window.model()->index(shown.first(), 0));
        QTest::keyClick(table, Qt::Key_Up);
        QCOMPARE(table->currentIndex().row(), shown.first());
        QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentIndex().row(), shown.last());
        QTest::keyClick(table, Qt::Key_Down);
        QCOMPARE(table->currentIndex().row(), shown.last());
    }

    // The filter survives a restart; unmarking under Favorites hides the row.
    void filterAndFavorites() {
        {
            ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
            window.show();
            window.table()->setCurrentIndex(window.model()->index(0, 0));
            window.table()->edit(window.model()->index(0, 0));
            auto* row = qobject_cast<ConnectionWidget*>(window.table()->indexWidget(window.model()->index(0, 0)));
            QVERIFY(row);
            row->favoriteButton()->click();
            QVERIFY(window.model()->index(0, 0).data(ConnectionModel::FavoriteRole).toBool());
            window.findChild<QComboBox*>("FilterConnectionsComboBox")->setCurrentIndex(0);
        }
        ConnectionWindow again(m_root->filePath("user"), m_root->filePath("system"));
        again.show();
        QCOMPARE(again.findChild<QComboBox*>("FilterConnectionsComboBox")->currentIndex(), 0);
        QVERIFY(!again.table()->isRowHidden(0));
        again.table()->setCurrentIndex(again.model()->index(0, 0));
        again.table()->edit(again.model()->index(0, 0));
        auto* row = qobject_cast<ConnectionWidget*>(again.table()->indexWidget(again.model()->index(0, 0)));
        QVERIFY(row);
        row->favoriteButton()->click();
        QVERIFY(again.table()->isRowHidden(0));
    }

    // Files the store cannot read are named above the list and left as they are.
    void unreadableFilesAreNamed() {
        QFile garbage(m_root->filePath("user/garbage.velnor"));
        QVERIFY(garbage.open(QIODevice::WriteOnly));
        garbage.write("{ not json");
        garbage.close();
        writeJson(m_root->filePath("system/nohost.velnor"), {{"type", "ssh"}, {"user", "x"}});
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        auto* notice = window.findChild<QLabel*>("SkippedFilesNotice");
        QVERIFY(notice && notice->isVisible());
        QVERIFY(notice->text().contains("garbage.velnor"));
        QVERIFY(notice->text().contains("nohost.velnor"));
        QCOMPARE(notice->textFormat(), Qt::PlainText);
        QCOMPARE(window.model()->rowCount(), 3);
        QFile again(m_root->filePath("user/garbage.velnor"));
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), QByteArray("{ not json"));

        QVERIFY(QFile::remove(m_root->filePath("user/garbage.velnor")));
        QVERIFY(QFile::remove(m_root->filePath("system/nohost.velnor")));
        window.model()->reload();
        QVERIFY(!notice->isVisible());
    }

    // Two Connections pages over the same files: an edit from either page, from a row listed before
    // the other page's edit, loses nothing of what the other page wrote.
    void twoPages() {
        ConnectionWindow first(m_root->filePath("user"), m_root->filePath("system"));
        ConnectionWindow second(m_root->filePath("user"), m_root->filePath("system"));
        first.show();
        second.show();
        const QString path = m_root->filePath("user/a.velnor");
        const QJsonObject stale = rowJson(second, path);
        QStringList boxes;
        answerBoxes(QMessageBox::Yes, &boxes);

        // The first page moves the host; the second page's list follows.
        first.editConnection(rowJson(first, path));
        ConnectionEditorDialog* dialog = openEditor(first);
        QVERIFY(dialog);
        editorField(dialog, "HostLineEdit")->setText(QStringLiteral("moved.example"));
        dialog->accept();
        QCOMPARE(readJson(path).value("host").toString(), QStringLiteral("moved.example"));
        QCOMPARE(rowJson(second, path).value("host").toString(), QStringLiteral("moved.example"));

        // An editor opened from a row listed before that starts from the file as it is now.
        second.editConnection(stale);
        dialog = openEditor(second);
        QVERIFY(dialog);
        QCOMPARE(editorField(dialog, "HostLineEdit")->text(), QStringLiteral("moved.example"));
        editorField(dialog, "NameLineEdit")->setText(QStringLiteral("Lab"));
        dialog->accept();
        QCOMPARE(readJson(path).value("host").toString(), QStringLiteral("moved.example"));
        QCOMPARE(readJson(path).value("name").toString(), QStringLiteral("Lab"));
        QVERIFY(boxes.isEmpty());

        // A file changed after the editor read it is not written over.
        first.editConnection(rowJson(first, path));
        dialog = openEditor(first);
        QVERIFY(dialog);
        editorField(dialog, "NameLineEdit")->setText(QStringLiteral("Mine"));
        writeJson(path, {{"type", "ssh"}, {"host", "elsewhere.example"}, {"user", "ann"}});
        dialog->accept();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes.first().contains("changed"), qPrintable(boxes.first()));
        QVERIFY(dialog->isVisible());
        QCOMPARE(readJson(path), (QJsonObject{{"type", "ssh"}, {"host", "elsewhere.example"}, {"user", "ann"}}));
        dialog->reject();

        // A delete on one page takes the row off the other page too.
        const QJsonObject deleted = rowJson(second, m_root->filePath("user/b.velnor"));
        first.deleteConnection(rowJson(first, m_root->filePath("user/b.velnor")));
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(second.model()->rowCount(), 2);
        QVERIFY(rowJson(second, m_root->filePath("user/b.velnor")).isEmpty());
        // Editing it from a row listed before says so and makes no file.
        second.editConnection(deleted);
        QCOMPARE(boxes.size(), 3);
        QVERIFY2(boxes.last().contains("does not exist"), qPrintable(boxes.last()));
        QVERIFY(!openEditor(second));
        QVERIFY(!QFile::exists(m_root->filePath("user/b.velnor")));
    }

    // An edit saved from a row's edit button shows on that row at once, in the page it was made from
    // and in another open page, whether the row keeps its place or moves; changing the filter
    // afterwards shows the same.
    void editShowsAtOnce_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("position");
        QTest::newRow("new host") << "HostLineEdit" << "moved.example" << "<b>a.example</b><br/>ssh://moved.example"
                                  << 0;
        QTest::newRow("rename") << "NameLineEdit" << "Aardvark" << "<b>Aardvark</b><br/>ssh://a.example" << 0;
        QTest::newRow("rename that moves the row") << "NameLineEdit" << "Zeta" << "<b>Zeta</b><br/>ssh://a.example"
                                                   << 2;
    }
    void editShowsAtOnce() {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, shown);
        QFETCH(int, position);
        const QString path = m_root->filePath("user/a.velnor");
        ConnectionWindow first(m_root->filePath("user"), m_root->filePath("system"));
        ConnectionWindow second(m_root->filePath("user"), m_root->filePath("system"));
        first.show();
        second.show();
        QStringList expected = shownRows(first);
        QCOMPARE(expected.size(), 3);
        QCOMPARE(expected.first(), QStringLiteral("<b>a.example</b><br/>ssh://a.example"));
        QCOMPARE(shownRows(second), expected);
        // Both pages open on that row, with its widget over it.
        QVERIFY(rowWidget(second, path));
        ConnectionWidget* row = rowWidget(first, path);
        QVERIFY(row);

        // The user's click, which gives the button the focus.
        QApplication::setActiveWindow(&first);
        QVERIFY(QTest::qWaitForWindowActive(&first));
        QTest::mouseClick(row->editButton(), Qt::LeftButton);
        ConnectionEditorDialog* dialog = openEditor(first);
        QVERIFY(dialog);
        QLineEdit* edit = editorField(dialog, qPrintable(field));
        edit->clear();
        QTest::keyClicks(edit, value);
        dialog->findChild<QDialogButtonBox*>("ButtonBox")->button(QDialogButtonBox::Ok)->click();
        QVERIFY(!openEditor(first));
        QVERIFY(first.isVisible());

        expected.removeFirst();
        expected.insert(position, shown);
        QCOMPARE(shownRows(first), expected);
        QCOMPARE(shownRows(second), expected);
        auto* filter = second.findChild<QComboBox*>("FilterConnectionsComboBox");
        filter->setCurrentIndex(1);
        filter->setCurrentIndex(3);
        QCOMPARE(shownRows(second), expected);
    }

    // A row deleted with its delete button leaves both open pages at once, and the rows left show
    // their own texts.
    void deleteShowsAtOnce() {
        const QString path = m_root->filePath("user/a.velnor");
        ConnectionWindow first(m_root->filePath("user"), m_root->filePath("system"));
        ConnectionWindow second(m_root->filePath("user"), m_root->filePath("system"));
        first.show();
        second.show();
        QStringList expected = shownRows(first);
        QCOMPARE(expected.size(), 3);
        QStringList boxes;
        answerBoxes(QMessageBox::Yes, &boxes);
        ConnectionWidget* row = rowWidget(first, path);
        QVERIFY(row);
        row->deleteButton()->click();
        QCOMPARE(boxes.size(), 1);
        QVERIFY(!QFile::exists(path));
        expected.removeFirst();
        QCOMPARE(shownRows(first), expected);
        QCOMPARE(shownRows(second), expected);
    }

    // A folder the user cannot write, holding a file they can: the run stamp and an edit write the
    // file in place.
    void readOnlyFolderWritableFile() {
        const QString path = m_root->filePath("user/a.velnor");
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        QSignalSpy run(&window, &ConnectionWindow::doRun);
        QStringList boxes;
        answerBoxes(QMessageBox::Ok, &boxes);
        {
            ReadOnlyFolder readOnly(m_root->path(), m_root->filePath("user"), path);
            QVERIFY(readOnly.effective());
            window.runConnection(rowJson(window, path));
            window.editConnection(rowJson(window, path));
            ConnectionEditorDialog* dialog = openEditor(window);
            QVERIFY(dialog);
            editorField(dialog, "NameLineEdit")->setText(QStringLiteral("Lab"));
            dialog->accept();
        }
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('\n')));
        QCOMPARE(run.count(), 1);
        const QJsonObject saved = readJson(path);
        QVERIFY(saved.value("lastRun").toDouble() > 0);
        QCOMPARE(saved.value("name").toString(), QStringLiteral("Lab"));
    }

    // Join asks for a guest link and sends its id and key to the link's server, without sign-in.
    void joinFromTheList() {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificate(HttpsPeer::selfSignedCertificate().certificate);
        QSslConfiguration::setDefaultConfiguration(tls);
        HttpsPeer::Server server;
        QVERIFY(server.start());
        server.route("POST", "/v3/api/nologin/share/connect",
                     [](const HttpsPeer::Request&) { return HttpsPeer::Response::error("denied", "refused"); },
                     false);
        ConnectionWindow window(m_root->filePath("user"), m_root->filePath("system"));
        window.show();
        window.findChild<QPushButton*>("JoinSessionButton")->click();
        auto* dialog = window.findChild<JoinSessionDialog*>();
        QVERIFY(dialog && dialog->isVisible());
        dialog->findChild<QLineEdit*>("SharingUrlLineEdit")
            ->setText(QStringLiteral("https://127.0.0.1:%1/velnor/client/guest;id=s%207;key=k1").arg(server.port()));
        dialog->accept();
        QTRY_COMPARE(server.requests("/v3/api/nologin/share/connect").size(), 1);
        const QJsonObject body = server.requests("/v3/api/nologin/share/connect").first().json();
        QCOMPARE(body.value("id").toString(), QStringLiteral("s 7"));
        QCOMPARE(body.value("key").toString(), QStringLiteral("k1"));
        const auto failureShown = [] {
            const QWidgetList widgets = QApplication::topLevelWidgets();
            return std::any_of(widgets.begin(), widgets.end(), [](QWidget* w) {
                return w->objectName() == QLatin1String("JoinFailureBox") && w->isVisible();
            });
        };
        QTRY_VERIFY(failureShown());
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w))
                w->deleteLater();
    }

private:
    std::unique_ptr<QTemporaryDir> m_root;
};

QTEST_MAIN(TestConnectionWindow)
#include "tst_connection_window.moc"

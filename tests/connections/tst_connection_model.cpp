#include "connections/ConnectionModel.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

ConnectionPtr connectionAt(const ConnectionModel& model, int row) {
    return model.index(row, 0).data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>();
}

QStringList names(const ConnectionModel& model) {
    QStringList result;
    for (int row = 0; row < model.rowCount(); ++row)
        result << model.index(row, 0).data(Qt::EditRole).toString();
    return result;
}

// What the model tester reports, collected while a test runs.
QStringList* modelTesterReports = nullptr;
QtMessageHandler otherHandler = nullptr;

void collectModelTesterReports(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (modelTesterReports && context.category && qstrcmp(context.category, "qt.modeltest") == 0)
        modelTesterReports->append(message);
    else
        otherHandler(type, context, message);
}

// The tester's rules that the model's specified behaviour breaks on purpose: rowCount and columnCount
// do not look at their parent, so a row seems to have children whose parent is the root; flags()
// adds Qt::ItemIsEditable to the base flags for every index, the root included; and every role
// without a meaning of its own answers with the name, Qt::SizeHintRole too.
const char* const specifiedDepartures[] = {
    "model->hasChildren(topIndex)",
    "model->parent(childIndex)",
    "flags == Qt::ItemIsDropEnabled || flags == 0",
    "variant.canConvert<QSize>()",
};

// Watches the model with the tester for as long as the model lives.
void checkModel(ConnectionModel& model) {
    new QAbstractItemModelTester(&model, QAbstractItemModelTester::FailureReportingMode::Warning, &model);
}

} // namespace

class TestConnectionModel : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void loading();
    void unusualEntries_data();
    void unusualEntries();
    void kinds_data();
    void kinds();
    void roles();
    void reloadAfterDelete();
    void reloadAfterEdit();
    void favorites();
    void missingFolders();

private:
    QStringList m_reports;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<QTemporaryDir> m_system;
    QString user(const QString& name) const { return QDir(m_user->path()).filePath(name); }
    QString system(const QString& name) const { return QDir(m_system->path()).filePath(name); }
};

void TestConnectionModel::init() {
    m_user = std::make_unique<QTemporaryDir>();
    m_system = std::make_unique<QTemporaryDir>();
    QSettings().remove(QStringLiteral("ConnectionFavorites"));
    m_reports.clear();
    modelTesterReports = &m_reports;
    otherHandler = qInstallMessageHandler(collectModelTesterReports);
}

void TestConnectionModel::cleanup() {
    qInstallMessageHandler(otherHandler);
    modelTesterReports = nullptr;
    for (const QString& report : qAsConst(m_reports)) {
        const bool specified = std::any_of(std::begin(specifiedDepartures), std::end(specifiedDepartures),
                                           [&report](const char* rule) { return report.contains(QLatin1String(rule)); });
        QVERIFY2(specified, qPrintable(report));
    }
}

void TestConnectionModel::loading() {
    writeFile(user("b.velnor"), R"({"type":"ssh","host":"bravo.example","name":""})");
    writeFile(user("a.velnor"), R"({"host":"alpha.example","name":"Zulu","filename":"/elsewhere"})");
    writeFile(user("c.velnor"), R"({"host":"charlie.example"})");
    writeFile(user(".velnor"), R"({"host":"hidden.example","name":""})");
    writeFile(user("nohost.velnor"), R"({"name":"No host"})");
    writeFile(user("array.velnor"), R"([{"host":"x"}])");
    writeFile(user("broken.velnor"), R"({"host":"x")");
    writeFile(user("other.json"), R"({"host":"other"})");
    QVERIFY(QDir(m_user->path()).mkdir("sub.velnor"));
    writeFile(user("sub.velnor/d.velnor"), R"({"host":"deep"})");
    writeFile(user("locked.velnor"), R"({"host":"locked"})");
    QFile::setPermissions(user("locked.velnor"), QFileDevice::Permissions());
    writeFile(system("s.velnor"), R"({"host":"system.example","name":"ALPHA"})");

    ConnectionModel model(m_user->path(), m_system->path(), {"name"});
    checkModel(model);
    QCOMPARE(model.columnCount(), 1);
    QStringList expected{"ALPHA", "bravo.example", "charlie.example", "hidden.example", "Zulu"};
    if (QFile(user("locked.velnor")).open(QIODevice::ReadOnly))
        expected.insert(4, "locked"); // running as a user who reads every file
    QCOMPARE(names(model), expected);

    // The store's path replaces any "filename" in the file.
    const ConnectionPtr zulu = connectionAt(model, model.rowCount() - 1);
    QCOMPARE(zulu->filePath(), user("a.velnor"));
    QCOMPARE(zulu->toJson().value("filename").toString(), user("a.velnor"));
    // An empty name shows the host; the kind keeps the file's own name.
    QCOMPARE(connectionAt(model, 1)->toJson().value("name").toString(), QString());
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    QVERIFY(!model.headerData(1, Qt::Horizontal).isValid());
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
}

void TestConnectionModel::unusualEntries_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("link to /dev/zero") << "zero";
    QTest::newRow("link to standard input") << "stdin";
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("link to a fifo") << "fifo link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("larger than 1 MiB") << "large";
    QTest::newRow("name not in UTF-8") << "raw name";
}

// Start-up reads these folders: nothing in them may block, exhaust memory or vanish unmentioned.
void TestConnectionModel::unusualEntries() {
    QFETCH(QString, kind);
    writeFile(user("good.velnor"), R"({"host":"good"})");
    const QByteArray folder = QFile::encodeName(m_user->path());
    QString named = user("odd.velnor");
    if (kind == "zero") {
        QVERIFY(QFile::link("/dev/zero", named));
    } else if (kind == "stdin") {
        QVERIFY(QFile::link("/dev/stdin", named));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(named).constData(), 0600), 0);
    } else if (kind == "fifo link") {
        QCOMPARE(::mkfifo(QFile::encodeName(m_user->filePath("pipe")).constData(), 0600), 0);
        QVERIFY(QFile::link(m_user->filePath("pipe"), named));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(m_user->filePath("gone"), named));
    } else if (kind == "large") {
        // A valid connection padded past the limit.
        writeFile(named, R"({"host":"large")" + QByteArray(1024 * 1024, ' ') + "}");
    } else if (kind == "raw name") {
        const QByteArray raw = folder + "/caf\xe9.velnor";
        const int fd = ::open(raw.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, R"({"host":"raw"})", 14), ssize_t(14));
        ::close(fd);
        named = user("caf\\xE9.velnor");
    }

    ConnectionModel model(m_user->path(), QString(), {"name"});
    checkModel(model);
    QCOMPARE(names(model), QStringList{"good"});
    QCOMPARE(model.skippedFiles(), QStringList{named});
}

void TestConnectionModel::kinds_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("ssh");
    QTest::newRow("ssh") << QByteArray(R"({"host":"h","type":"ssh"})") << true;
    QTest::newRow("https") << QByteArray(R"({"host":"h","type":"https"})") << false;
    QTest::newRow("web") << QByteArray(R"({"host":"h","type":"web"})") << false;
    QTest::newRow("no type") << QByteArray(R"({"host":"h"})") << false;
    QTest::newRow("SSH") << QByteArray(R"({"host":"h","type":"SSH"})") << false;
    QTest::newRow("not a string") << QByteArray(R"({"host":"h","type":["ssh"]})") << false;
}

void TestConnectionModel::kinds() {
    QFETCH(QByteArray, file);
    writeFile(user("k.velnor"), file);
    ConnectionModel model(m_user->path(), QString(), {"name"});
    checkModel(model);
    QCOMPARE(model.rowCount(), 1);
    const ConnectionPtr connection = connectionAt(model, 0);
    QTEST(dynamic_cast<SshConnection*>(connection.get()) != nullptr, "ssh");
    QCOMPARE(dynamic_cast<HttpsConnection*>(connection.get()) == nullptr, bool(dynamic_cast<SshConnection*>(connection.get())));
}

void TestConnectionModel::roles() {
    writeFile(user("u.velnor"), R"({"type":"ssh","host":"srv","name":"R&D <lab> team","port":2222,"readOnly":true})");
    writeFile(system("s.velnor"), R"({"type":"ssh","host":"srv2<i>","name":"Theirs","readOnly":false})");
    QSettings().setValue("ConnectionFavorites", QJsonObject{{system("s.velnor"), true}});
    ConnectionModel model(m_user->path(), m_system->path(), {"name", "other"});
    checkModel(model);

    struct Expected {
        QString display;
        bool favorite;
        bool system;
    };
    // Rich text: the name and the address show as written, not as markup.
    const Expected rows[] = {{"<b>R&amp;D &lt;lab&gt; team</b><br/>ssh://srv:2222", false, false},
                             {"<b>Theirs</b><br/>ssh://srv2&lt;i&gt;", true, true}};
    for (int row = 0; row < 2; ++row) {
        const QModelIndex name = model.index(row, 0);
        const QModelIndex other = model.index(row, 1);
        const ConnectionPtr connection = connectionAt(model, row);
        QCOMPARE(name.data(Qt::DisplayRole).toString(), rows[row].display);
        QVERIFY(!other.data(Qt::DisplayRole).isValid());
        QVERIFY(!other.data(Qt::EditRole).isValid());
        for (const QModelIndex& index : {name, other}) {
            QCOMPARE(index.data(Qt::ToolTipRole).toString(), connection->description());
            QCOMPARE(index.data(ConnectionModel::FavoriteRole).toBool(), rows[row].favorite);
            QCOMPARE(index.data(ConnectionModel::SystemRole).toBool(), rows[row].system);
            QCOMPARE(index.data(ConnectionModel::UserConnectionRole).toBool(), !rows[row].system);
            QCOMPARE(index.data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>(), connection);
            QVERIFY(index.flags() & Qt::ItemIsEditable);
        }
        // The system flag comes from the folder, not from the file's "readOnly".
        QCOMPARE(connection->isSystem(), rows[row].system);
    }
    QVERIFY(!model.index(2, 0).data(Qt::DisplayRole).isValid());
    QVERIFY(!model.index(0, 2).data(ConnectionModel::ConnectionPtrRole).isValid());
    QVERIFY(!model.data(QModelIndex(), ConnectionModel::SystemRole).isValid());
}

void TestConnectionModel::reloadAfterDelete() {
    for (const char* name : {"a", "b", "c"})
        writeFile(user(QStringLiteral("%1.velnor").arg(name)), QStringLiteral(R"({"host":"%1"})").arg(name).toUtf8());
    ConnectionModel model(m_user->path(), QString(), {"name"});
    checkModel(model);
    const ConnectionPtr b = connectionAt(model, 1);

    QSignalSpy removing(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &ConnectionModel::connectionRemoved);
    QSignalSpy updated(&model, &ConnectionModel::connectionsUpdated);
    QSignalSpy changed(&model, &ConnectionModel::connectionChanged);
    QVERIFY(QFile::remove(user("b.velnor")));
    model.reload();

    QCOMPARE(names(model), (QStringList{"a", "c"}));
    QCOMPARE(removing.count(), 1);
    QCOMPARE(removing.at(0).at(1).toInt(), 1);
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<ConnectionPtr>(), b);
    QCOMPARE(updated.count(), 1);
    QCOMPARE(changed.count(), 0);

    // Nothing changed on disk: nothing is announced.
    model.reload();
    QCOMPARE(updated.count(), 1);
    QCOMPARE(removed.count(), 1);
}

void TestConnectionModel::reloadAfterEdit() {
    writeFile(user("a.velnor"), R"({"host":"a","name":"A"})");
    writeFile(user("b.velnor"), R"({"host":"b","name":"B"})");
    ConnectionModel model(m_user->path(), QString(), {"name"});
    checkModel(model);

    QSignalSpy data(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy changed(&model, &ConnectionModel::connectionChanged);
    QSignalSpy updated(&model, &ConnectionModel::connectionsUpdated);
    QSignalSpy removed(&model, &ConnectionModel::connectionRemoved);

    // A new port changes the row's address and its tool tip: views hear of the row.
    writeFile(user("b.velnor"), R"({"host":"b","name":"B","port":9})");
    model.reload();
    QCOMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).value<QModelIndex>().row(), 1);
    QCOMPARE(data.at(0).at(1).value<QModelIndex>().row(), 1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>().row(), 1);
    QCOMPARE(updated.count(), 1);

    // A new user shows only in the tool tip; that is a change of the row too.
    writeFile(user("b.velnor"), R"({"host":"b","name":"B","port":9,"user":"ann"})");
    model.reload();
    QCOMPARE(data.count(), 2);
    QCOMPARE(changed.count(), 2);

    // Renaming "a" to "C" moves it past "b": the walk by path removes and inserts it again.
    writeFile(user("a.velnor"), R"({"host":"a","name":"C"})");
    model.reload();
    QCOMPARE(names(model), (QStringList{"B", "C"}));
    QCOMPARE(connectionAt(model, 1)->filePath(), user("a.velnor"));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(updated.count(), 3);
}

void TestConnectionModel::favorites() {
    writeFile(user("a.velnor"), R"({"host":"a"})");
    writeFile(user("b.velnor"), R"({"host":"b"})");
    ConnectionModel model(m_user->path(), QString(), {"name"});
    checkModel(model);
    const ConnectionPtr a = connectionAt(model, 0);
    const ConnectionPtr b = connectionAt(model, 1);

    a->setFavorite(true);
    model.updateFavorite(a);
    QVERIFY(!b->isFavorite());
    QCOMPARE(QSettings().value("ConnectionFavorites").toJsonObject(), (QJsonObject{{user("a.velnor"), true}}));
    model.reload();
    QVERIFY(connectionAt(model, 0)->isFavorite());
    QVERIFY(!connectionAt(model, 1)->isFavorite());

    // Unmarking a stale copy of the row clears the current row of the same file too.
    QVERIFY(connectionAt(model, 0) != a);
    a->setFavorite(false);
    model.updateFavorite(a);
    QVERIFY(!connectionAt(model, 0)->isFavorite());
    QCOMPARE(QSettings().value("ConnectionFavorites").toJsonObject(), QJsonObject());

    // A settings value that is not an object marks nothing.
    QSettings().setValue("ConnectionFavorites", QStringLiteral("a.velnor"));
    model.reload();
    QVERIFY(!connectionAt(model, 0)->isFavorite());
}

void TestConnectionModel::missingFolders() {
    writeFile(system("s.velnor"), R"({"host":"s"})");
    ConnectionModel model(user("missing"), m_system->path(), {"name"});
    checkModel(model);
    QCOMPARE(names(model), QStringList{"s"});
}

int runConnectionModelTests(int argc, char** argv) {
    TestConnectionModel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connection_model.moc"

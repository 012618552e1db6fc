#include "connections/ConnectionImporter.h"
#include "connections/ConnectionModel.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString writeOld(const QTemporaryDir& dir, const QString& name, const QByteArray& content) {
    const QString path = QDir(dir.path()).filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    return path;
}

QJsonObject readJson(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

class TestConnectionImporter : public QObject {
    Q_OBJECT
private slots:
    void convert_data();
    void convert();
    void fileNames_data();
    void fileNames();
    void ownFileName();
    void errors();
    void savedFileLoads();
};

void TestConnectionImporter::convert_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<bool>("error");

    QTest::newRow("ssh")
        << QByteArray("<?xml version=\"1.0\"?><SshConnection><Name>Lab</Name><Host>srv</Host><User>ann</User>"
                      "<Sci>exec other</Sci><ForwardAgent>true</ForwardAgent></SshConnection>")
        << QJsonObject{{"type", "ssh"}, {"name", "Lab"}, {"host", "srv"}, {"user", "ann"}, {"run", "exec other"},
                       {"forwardAgent", true}}
        << false;
    QTest::newRow("ssh nested, repeated, True is false")
        << QByteArray("<SshConnection><Group><Host>one</Host></Group><Host>two</Host>"
                      "<ForwardAgent>True</ForwardAgent><Url>https://x</Url></SshConnection>")
        << QJsonObject{{"type", "ssh"}, {"host", "two"}, {"forwardAgent", false}} << false;
    QTest::newRow("web")
        << QByteArray("<WebConnection><Name>Gw</Name><Url>https://srv.example:3300/x</Url><User>ann</User>"
                      "<IgnoreSslErrors>true</IgnoreSslErrors></WebConnection>")
        << QJsonObject{{"type", "https"}, {"name", "Gw"}, {"host", "srv.example"}, {"port", 3300}, {"uri", "/x"},
                       {"user", "ann"}, {"ignoreSslErrors", true}}
        << false;
    QTest::newRow("web without port, 1 is false")
        << QByteArray("<WebConnection><Url>https://srv.example/</Url><IgnoreSslErrors>1</IgnoreSslErrors>"
                      "<Sci>x</Sci></WebConnection>")
        << QJsonObject{{"type", "https"}, {"host", "srv.example"}, {"port", 443}, {"ignoreSslErrors", false}}
        << false;
    QTest::newRow("other root") << QByteArray("<Connection><Host>srv</Host></Connection>") << QJsonObject() << true;
    QTest::newRow("truncated keeps what was read")
        << QByteArray("<SshConnection><Host>srv</Host><User>an") << QJsonObject{{"type", "ssh"}, {"host", "srv"}}
        << true;
    QTest::newRow("not xml") << QByteArray("{\"host\":\"srv\"}") << QJsonObject() << true;
}

void TestConnectionImporter::convert() {
    QFETCH(QByteArray, xml);
    QTemporaryDir dir;
    ConnectionImporter importer;
    QTEST(importer.read(writeOld(dir, "old.xml", xml)), "json");
    QTEST(importer.hasError(), "error");
    QCOMPARE(importer.errorString().isEmpty(), !importer.hasError());
}

void TestConnectionImporter::fileNames_data() {
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("signs and blanks") << QJsonObject{{"name", "Lab server #2"}, {"host", "h"}} << QStringList{}
                                      << "Lab_server__2.velnor";
    QTest::newRow("other scripts") << QJsonObject{{"name", QString::fromUtf8("Büro-Ω")}} << QStringList{}
                                   << "B_ro__.velnor";
    QTest::newRow("host when no name") << QJsonObject{{"host", "srv.example"}} << QStringList{"srv_example.velnor"}
                                       << "srv_example (1).velnor";
    QTest::newRow("empty name") << QJsonObject{{"name", ""}, {"host", "h"}} << QStringList{"h.velnor"}
                                << "h (1).velnor";
    QTest::newRow("neither") << QJsonObject{{"type", "ssh"}} << QStringList{"velnor_import.velnor"}
                             << "velnor_import (1).velnor";
}

void TestConnectionImporter::fileNames() {
    QFETCH(QJsonObject, json);
    QFETCH(QStringList, existing);
    QFETCH(QString, fileName);
    QTemporaryDir dir;
    for (const QString& name : existing)
        writeOld(dir, name, "{}");
    ConnectionImporter importer;
    json.insert("filename", "/somewhere/else.velnor");
    QVERIFY(importer.save(json, dir.path()));
    QVERIFY(!importer.hasError());
    const QString path = QDir(dir.path()).filePath(fileName);
    QVERIFY2(QFile::exists(path), qPrintable(path));
    json.remove("filename");
    QCOMPARE(readJson(path), json);
    for (const QString& name : existing)
        QCOMPARE(readJson(QDir(dir.path()).filePath(name)), QJsonObject());
}

// A connection file being imported keeps its own name, numbered on that name when it is taken.
void TestConnectionImporter::ownFileName() {
    QTemporaryDir dir;
    ConnectionImporter importer;
    const QJsonObject json{{"type", "ssh"}, {"host", "h"}, {"name", "Other Name"}};
    QVERIFY(importer.save(json, dir.path(), "/elsewhere/mine.velnor"));
    QCOMPARE(readJson(QDir(dir.path()).filePath("mine.velnor")), json);
    QVERIFY(importer.save(json, dir.path(), "mine.velnor"));
    QCOMPARE(readJson(QDir(dir.path()).filePath("mine (1).velnor")), json);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestConnectionImporter::errors() {
    QTemporaryDir dir;
    ConnectionImporter importer;
    const QString missing = QDir(dir.path()).filePath("missing.xml");
    QCOMPARE(importer.read(missing), QJsonObject());
    QVERIFY(importer.hasError());
    QCOMPARE(importer.errorString(), QStringLiteral("Could not open file %1 for reading").arg(missing));

    // The next file of the same run is read and saved.
    const QJsonObject json = importer.read(writeOld(dir, "ok.xml", "<SshConnection><Host>h</Host></SshConnection>"));
    QVERIFY(!importer.hasError());
    QVERIFY(importer.errorString().isEmpty());
    QVERIFY(importer.save(json, dir.path()));
    QVERIFY(QFile::exists(QDir(dir.path()).filePath("h.velnor")));

    // A destination that cannot be written is an error, not a success.
    QVERIFY(!importer.save(json, QDir(dir.path()).filePath("no-such-folder")));
    QVERIFY(importer.hasError());
    QVERIFY(!importer.errorString().isEmpty());
}

void TestConnectionImporter::savedFileLoads() {
    // An import with an empty name lands in a file named only by its extension and lists under its host.
    QTemporaryDir old;
    QTemporaryDir folder;
    ConnectionImporter importer;
    const QJsonObject json =
        importer.read(writeOld(old, "w.xml", "<WebConnection><Name></Name><Url>https://gw.example</Url></WebConnection>"));
    QVERIFY(importer.save(json, folder.path()));
    const ConnectionModel model(folder.path(), QString(), {"name"});
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.index(0, 0).data(Qt::DisplayRole).toString(), QStringLiteral("<b>gw.example</b><br/>https://gw.example (ssh auth)"));
}

int runConnectionImporterTests(int argc, char** argv) {
    TestConnectionImporter test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connection_importer.moc"

// The test server-interface command, read the way the ssh transport reads ssh's output: the start
// marker behind login chatter, then netstrings, straight from a process.

#include "rpc/BoyerMooreMatcher.h"
#include "rpc/NetStringReader.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

QString command() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("velnor-test-server-interface");
}

QByteArray frame(const QJsonObject& message) {
    const QByteArray json = QJsonDocument(message).toJson(QJsonDocument::Compact);
    return QByteArray::number(json.size()) + ':' + json + ',';
}

QJsonObject request(const QString& id, const QString& method, const QJsonValue& params = QJsonValue()) {
    QJsonObject r{{"jsonrpc", "2.0"}, {"method", method}};
    if (!id.isEmpty())
        r.insert("id", id);
    if (!params.isUndefined())
        r.insert("params", params);
    return r;
}

// Runs the command and collects the messages behind the marker.
class Peer : public QObject {
public:
    explicit Peer(const QStringList& args)
        : m_marker(BoyerMooreMatcher::forStartMarker()) {
        connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
            if (!m_marker->found())
                m_marker->feed(&process);
            while (m_marker->found() && reader.isOk()) {
                reader.processBytes(&process);
                if (!reader.isComplete())
                    break;
                messages << QJsonDocument::fromJson(reader.data()).object();
            }
        });
        process.start(command(), args);
    }
    bool markerFound() const { return m_marker->found(); }

    QProcess process;
    NetStringReader reader;
    QList<QJsonObject> messages;

private:
    std::unique_ptr<BoyerMooreMatcher> m_marker;
};

} // namespace

class TestServerInterface : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void defaultMethods();
    void scriptedAnswersAndRecord();
    void exitBeforeMarker();
};

void TestServerInterface::initTestCase() {
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(QFile::exists(command()));
}

void TestServerInterface::defaultMethods() {
    Peer peer({"--chatter", "motd ---- with dashes ----\n"});
    peer.process.write(
        frame(request("1", "echo", QJsonObject{{"a", 1}})) + frame(request("", "echo")) +
        frame(request("2", "nope")) +
        frame(request("3", "notify", QJsonObject{{"method", "session-update"}, {"params", QJsonObject{}}})));
    QTRY_COMPARE(peer.messages.size(), 4);
    QVERIFY(peer.reader.isOk());
    QCOMPARE(peer.messages[0].value("result").toObject().value("a").toInt(), 1);
    // No answer to a request without an id.
    QCOMPARE(peer.messages[1].value("error").toObject().value("name").toString(), QString("not_found"));
    QCOMPARE(peer.messages[2].value("method").toString(), QString("session-update"));
    QCOMPARE(peer.messages[3].value("id").toString(), QString("3"));

    QSignalSpy finished(&peer.process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    peer.process.write(frame(request("4", "exit", QJsonObject{{"code", 7}})));
    QVERIFY(finished.wait(5000));
    QCOMPARE(peer.process.exitCode(), 7);
    QTRY_COMPARE(peer.messages.size(), 5);
}

void TestServerInterface::scriptedAnswersAndRecord() {
    QTemporaryDir dir;
    QFile script(dir.filePath("script.json"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(
        QJsonDocument(
            QJsonObject{
                {"greeting", QJsonArray{QJsonObject{{"jsonrpc", "2.0"}, {"method", "hello"}}}},
                {"methods",
                 QJsonObject{{"/v3/api/session/list", QJsonObject{{"result", QJsonArray{}}}},
                             {"/v3/api/denied", QJsonObject{{"error", QJsonObject{{"name", "denied"}}}}},
                             {"/v3/api/raw", QJsonObject{{"raw", "x:broken"}}}}}})
            .toJson());
    script.close();
    const QString record = dir.filePath("requests.jsonl");
    Peer peer({"--script", script.fileName(), "--record", record});
    peer.process.write(frame(request("a", "/v3/api/session/list")) + frame(request("b", "/v3/api/denied")));
    QTRY_COMPARE(peer.messages.size(), 3);
    QCOMPARE(peer.messages[0].value("method").toString(), QString("hello"));
    QVERIFY(peer.messages[1].value("result").isArray());
    QCOMPARE(peer.messages[2].value("error").toObject().value("name").toString(), QString("denied"));

    // Raw bytes break the stream on purpose.
    peer.process.write(frame(request("c", "/v3/api/raw")));
    QTRY_VERIFY(!peer.reader.isOk());

    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QCOMPARE(recorded.readAll().count('\n'), 3);
    peer.process.closeWriteChannel();
    QVERIFY(peer.process.waitForFinished(5000));
}

void TestServerInterface::exitBeforeMarker() {
    Peer peer({"--chatter", "no protocol here\n", "--stderr", "Permission denied (test)\n",
               "--exit-before-marker", "5"});
    QVERIFY(peer.process.waitForFinished(5000));
    QCOMPARE(peer.process.exitCode(), 5);
    QVERIFY(!peer.markerFound());
    QVERIFY(peer.process.readAllStandardError().contains("Permission denied (test)"));
}

QTEST_GUILESS_MAIN(TestServerInterface)
#include "tst_server_interface.moc"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QUuid>

namespace {

QString murrowPath() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("murrow");
}

struct Run {
    QByteArray request;
    QByteArray output;
    int exitCode = -1;
};

// Plays the main program's prompt server for one murrow run: reads the request, sends the reply
// pieces, optionally hangs up, and collects what murrow printed.
Run runMurrow(const QStringList& args, const QList<QByteArray>& replyPieces, bool hangUp) {
    Run run;
    QLocalServer server;
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen("murrow-test-" + QUuid::createUuid().toString(QUuid::Id128)))
        return run;

    QProcess murrow;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HALVANE_MURROW_SERVER", server.fullServerName());
    murrow.setProcessEnvironment(env);
    murrow.start(murrowPath(), args);
    if (!server.waitForNewConnection(10000))
        return run;
    QLocalSocket* socket = server.nextPendingConnection();

    // The request is one netstring; wait for its last byte.
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        run.request += socket->readAll();
        const int colon = run.request.indexOf(':');
        if (colon > 0 && run.request.size() >= colon + run.request.left(colon).toInt() + 2)
            break;
        socket->waitForReadyRead(100);
    }
    for (const QByteArray& piece : replyPieces) {
        socket->write(piece);
        socket->waitForBytesWritten(2000);
    }
    if (hangUp)
        socket->disconnectFromServer();
    if (murrow.waitForFinished(10000))
        run.exitCode = murrow.exitCode();
    run.output = murrow.readAllStandardOutput();
    return run;
}

} // namespace

class TestMurrow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void exchange_data();
    void exchange();
    void promptFraming();
    void noServer_data();
    void noServer();
};

void TestMurrow::initTestCase() {
    QVERIFY2(QFile::exists(murrowPath()), qPrintable(murrowPath()));
}

void TestMurrow::exchange_data() {
    QTest::addColumn<QList<QByteArray>>("reply");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("whole reply") << QList<QByteArray>{"5:hello,"} << false << QByteArray("hello");
    QTest::newRow("reply in pieces") << QList<QByteArray>{"5:he", "llo,"} << false << QByteArray("hello");
    QTest::newRow("empty answer") << QList<QByteArray>{"0:,"} << false << QByteArray();
    QTest::newRow("bytes printed unchanged")
        << QList<QByteArray>{"4:\xff\xfe\x80\n,"} << false << QByteArray("\xff\xfe\x80\n");
    QTest::newRow("utf-8 answer") << QList<QByteArray>{"2:\xc3\xa9,"} << false << QByteArray("\xc3\xa9");
    QTest::newRow("missing final byte, then hang-up") << QList<QByteArray>{"5:hello"} << true << QByteArray();
    QTest::newRow("negative count") << QList<QByteArray>{"-1:x,"} << false << QByteArray();
    QTest::newRow("count not a number") << QList<QByteArray>{"1x:a,"} << false << QByteArray();
    QTest::newRow("colon first") << QList<QByteArray>{":abc,"} << false << QByteArray();
    QTest::newRow("ten bytes without colon") << QList<QByteArray>{"0123456789"} << false << QByteArray();
    QTest::newRow("colon beyond index 9") << QList<QByteArray>{"0000000001:a,"} << false << QByteArray();
    QTest::newRow("server hangs up") << QList<QByteArray>{} << true << QByteArray();
}

void TestMurrow::exchange() {
    QFETCH(QList<QByteArray>, reply);
    QFETCH(bool, hangUp);
    QFETCH(QByteArray, printed);
    const Run run = runMurrow({"Password:"}, reply, hangUp);
    QCOMPARE(run.request, QByteArray("9:Password:,"));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, printed);
}

void TestMurrow::promptFraming() {
    // ssh passes the prompt as one argument, but every argument is part of it.
    const Run run = runMurrow({"Enter", "passphrase", "for 'clé':"}, {"1:y,"}, false);
    const QByteArray prompt = QString("Enter passphrase for 'clé':").toUtf8();
    QCOMPARE(run.request, QByteArray::number(prompt.size()) + ":" + prompt + ",");
    QCOMPARE(run.output, QByteArray("y"));
}

void TestMurrow::noServer_data() {
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("name");
    QTest::newRow("unset") << false << "";
    QTest::newRow("empty") << true << "";
    QTest::newRow("nobody listening")
        << true << QDir::temp().filePath("murrow-nobody-" + QUuid::createUuid().toString(QUuid::Id128));
}

void TestMurrow::noServer() {
    QFETCH(bool, set);
    QFETCH(QString, name);
    QProcess murrow;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("HALVANE_MURROW_SERVER");
    if (set)
        env.insert("HALVANE_MURROW_SERVER", name);
    murrow.setProcessEnvironment(env);
    murrow.start(murrowPath(), {"Password:"});
    QVERIFY(murrow.waitForFinished(10000));
    QCOMPARE(murrow.exitCode(), 1);
    QVERIFY(murrow.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestMurrow)
#include "tst_murrow.moc"

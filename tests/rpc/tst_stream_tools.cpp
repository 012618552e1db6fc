#include "rpc/BoyerMooreMatcher.h"
#include "rpc/NetStringReader.h"
#include "rpc/PortProbe.h"

#include <QBuffer>
#include <QTcpServer>
#include <QTest>
#include <memory>
#include <vector>

namespace {

// A buffer that can be appended to while it is being read, like a socket receiving more bytes.
class Stream : public QBuffer {
public:
    Stream() { open(QIODevice::ReadWrite); }
    void push(const QByteArray& bytes) {
        const qint64 at = pos();
        seek(size());
        write(bytes);
        seek(at);
    }
};

} // namespace

class TestStreamTools : public QObject {
    Q_OBJECT
private slots:
    void netstring_data();
    void netstring();
    void netstringsInOneChunk();
    void netstringAcrossReads();
    void announcedLengthReservesNothing();
    void smallerMaximum();
    void resetAfterError();
    void markerTables();
    void markerFound_data();
    void markerFound();
    void markerSplitAcrossReads();
    void markerNotFoundLeavesNothingBehind();
    void portProbe();
    void portProbeSkipsClaimedPorts();
};

void TestStreamTools::netstring_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error");
    QTest::newRow("hello") << QByteArray("5:hello,") << true << QByteArray("hello") << "";
    QTest::newRow("other terminator") << QByteArray("5:hello;") << true << QByteArray("hello") << "";
    QTest::newRow("empty payload") << QByteArray("0:,") << true << QByteArray() << "";
    QTest::newRow("binary payload") << QByteArray("3:\0:,,", 6) << true << QByteArray("\0:,", 3) << "";
    QTest::newRow("eleven digits") << QByteArray("12345678901:") << false << QByteArray()
                                   << "NetString length exceeds maximum size";
    QTest::newRow("ten digits overflowing int")
        << QByteArray("9999999999:") << false << QByteArray() << "NetString exceeds maximum size";
    QTest::newRow("just above maximum")
        << QByteArray("268435457:") << false << QByteArray() << "NetString exceeds maximum size";
    QTest::newRow("letters") << QByteArray("abc:") << false << QByteArray()
                             << "NetString length is not an integer";
    QTest::newRow("empty length") << QByteArray(":x,") << false << QByteArray()
                                  << "NetString length is not an integer";
    QTest::newRow("negative") << QByteArray("-1:") << false << QByteArray()
                              << "NetString length is not an integer";
}

void TestStreamTools::netstring() {
    QFETCH(QByteArray, input);
    QFETCH(bool, ok);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);
    Stream stream;
    stream.push(input);
    NetStringReader reader;
    reader.processBytes(&stream);
    QCOMPARE(reader.isOk(), ok);
    QCOMPARE(reader.errorString(), error);
    if (ok) {
        QVERIFY(reader.isComplete());
        QCOMPARE(reader.data(), payload);
        // The terminator stays in the device until the next call.
        QCOMPARE(stream.bytesAvailable(), qint64(1));
        reader.processBytes(&stream);
        QCOMPARE(stream.bytesAvailable(), qint64(0));
        QVERIFY(!reader.isComplete());
        QVERIFY(reader.isOk());
    }
}

void TestStreamTools::netstringsInOneChunk() {
    Stream stream;
    stream.push("3:abc,2:de,");
    NetStringReader reader;
    reader.processBytes(&stream);
    QVERIFY(reader.isComplete());
    QCOMPARE(reader.data(), QByteArray("abc"));
    reader.processBytes(&stream);
    QVERIFY(reader.isComplete());
    QCOMPARE(reader.data(), QByteArray("de"));
    reader.processBytes(&stream);
    QVERIFY(!reader.isComplete());
    QCOMPARE(stream.bytesAvailable(), qint64(0));
}

void TestStreamTools::netstringAcrossReads() {
    Stream stream;
    NetStringReader reader;
    const QList<QByteArray> pieces{"1", "0:01234", "56789", ",4:", "next", ","};
    QList<QByteArray> payloads;
    for (const QByteArray& piece : pieces) {
        stream.push(piece);
        reader.processBytes(&stream);
        QVERIFY(reader.isOk());
        if (reader.isComplete())
            payloads << reader.data();
    }
    QCOMPARE(payloads, (QList<QByteArray>{"0123456789", "next"}));
}

void TestStreamTools::announcedLengthReservesNothing() {
    // A huge announced length with no data behind it must not make the reader hold memory for it.
    Stream stream;
    stream.push("268435456:abc");
    NetStringReader reader;
    reader.processBytes(&stream);
    QVERIFY(reader.isOk());
    QVERIFY(!reader.isComplete());
    QCOMPARE(reader.data(), QByteArray("abc"));
    QVERIFY(reader.data().capacity() < 1024 * 1024);
}

void TestStreamTools::smallerMaximum() {
    NetStringReader reader;
    reader.setMaximumLength(65536);
    Stream ok;
    ok.push("65536:");
    reader.processBytes(&ok);
    QVERIFY(reader.isOk());
    reader.reset();
    Stream tooLong;
    tooLong.push("65537:");
    reader.processBytes(&tooLong);
    QVERIFY(!reader.isOk());
    QCOMPARE(reader.errorString(), QString("NetString exceeds maximum size"));
}

void TestStreamTools::resetAfterError() {
    Stream stream;
    stream.push("x:1:a,");
    NetStringReader reader;
    reader.processBytes(&stream);
    QVERIFY(!reader.isOk());
    // An erring reader reads nothing more until it is reset.
    reader.processBytes(&stream);
    QCOMPARE(stream.bytesAvailable(), qint64(4));
    reader.reset();
    QVERIFY(reader.isOk());
    QVERIFY(reader.errorString().isEmpty());
    reader.processBytes(&stream);
    QVERIFY(reader.isComplete());
    QCOMPARE(reader.data(), QByteArray("a"));
}

void TestStreamTools::markerTables() {
    const QByteArray marker = netStringStartMarker();
    const int m = marker.size();
    QCOMPARE(m, 32);
    const QVector<int> delta1 = boyerMooreDelta1(marker);
    QCOMPARE(delta1.size(), 256);
    QCOMPARE(delta1['-'], 0);
    QCOMPARE(delta1['g'], m - 1 - marker.lastIndexOf('g'));
    QCOMPARE(delta1['z'], m);

    const QVector<int> delta2 = boyerMooreDelta2(marker);
    QCOMPARE(delta2.size(), m);
    const int spaceBeforeLastDashes = m - 5;
    QCOMPARE(marker[spaceBeforeLastDashes], ' ');
    for (int j = 0; j <= spaceBeforeLastDashes; ++j)
        QCOMPARE(delta2[j], 2 * m - 5 - j);
    for (int j = m - 4; j < m; ++j)
        QCOMPARE(delta2[j], 4);
}

void TestStreamTools::markerFound_data() {
    QTest::addColumn<QByteArray>("before");
    const QByteArray dashes = QByteArray("---- -------- BEGIN ---- Velnor ---- NetString ").repeated(20);
    QTest::newRow("at once") << QByteArray();
    QTest::newRow("after login chatter") << QByteArray("Last login: yesterday\nWelcome!\n").repeated(50);
    QTest::newRow("many dashes and near misses") << dashes + "---- BEGIN Velnor NetString ---" + "\n";
    QTest::newRow("one byte short prefix") << QByteArray("--- BEGIN Velnor NetString ----");
}

void TestStreamTools::markerFound() {
    QFETCH(QByteArray, before);
    Stream stream;
    stream.push(before + netStringStartMarker() + "7:{\"a\":1},");
    std::unique_ptr<BoyerMooreMatcher> matcher(BoyerMooreMatcher::forStartMarker());
    matcher->feed(&stream);
    QVERIFY(matcher->found());
    // Nothing past the marker has been read.
    QCOMPARE(stream.readAll(), QByteArray("7:{\"a\":1},"));
}

void TestStreamTools::markerSplitAcrossReads() {
    const QByteArray all = QByteArray("motd ---- line\n") + netStringStartMarker() + "XYZ";
    const int markerEnd = all.size() - 3;
    for (int piece = 1; piece <= 40; piece += 3) {
        Stream stream;
        std::unique_ptr<BoyerMooreMatcher> matcher(BoyerMooreMatcher::forStartMarker());
        int pushed = 0;
        while (pushed < all.size() && !matcher->found()) {
            stream.push(all.mid(pushed, piece));
            pushed = qMin(all.size(), pushed + piece);
            matcher->feed(&stream);
        }
        QVERIFY2(matcher->found(), qPrintable(QString("piece size %1").arg(piece)));
        QCOMPARE(stream.readAll(), all.mid(markerEnd, pushed - markerEnd));
    }
}

void TestStreamTools::markerNotFoundLeavesNothingBehind() {
    Stream stream;
    stream.push(QByteArray("no marker here ---- BEGIN Velnor\n").repeated(10));
    std::unique_ptr<BoyerMooreMatcher> matcher(BoyerMooreMatcher::forStartMarker());
    matcher->feed(&stream);
    QVERIFY(!matcher->found());
    QCOMPARE(stream.bytesAvailable(), qint64(0));
    stream.push(netStringStartMarker() + "rest");
    matcher->feed(&stream);
    QVERIFY(matcher->found());
    QCOMPARE(stream.readAll(), QByteArray("rest"));

    BoyerMooreMatcher empty(QByteArray(), QVector<int>(256, 0), QVector<int>());
    QVERIFY(empty.found());

    // Tables that do not fit the pattern are not indexed out of range.
    Stream again;
    again.push("chatter " + netStringStartMarker() + "rest");
    BoyerMooreMatcher untabled(netStringStartMarker(), QVector<int>(), QVector<int>(3, 1));
    untabled.feed(&again);
    QVERIFY(untabled.found());
    QCOMPARE(again.readAll(), QByteArray("rest"));
}

void TestStreamTools::portProbe() {
    // A run of ports that all answer, found by listening on consecutive ports.
    std::vector<std::unique_ptr<QTcpServer>> servers;
    quint16 first = 0;
    for (int attempt = 0; attempt < 50 && servers.size() < 4; ++attempt) {
        servers.clear();
        auto probe = std::make_unique<QTcpServer>();
        if (!probe->listen(QHostAddress::LocalHost, 0))
            continue;
        first = probe->serverPort();
        servers.push_back(std::move(probe));
        for (int i = 1; i < 4; ++i) {
            auto s = std::make_unique<QTcpServer>();
            if (first + i > 65535 || !s->listen(QHostAddress::LocalHost, quint16(first + i)))
                break;
            servers.push_back(std::move(s));
        }
    }
    QCOMPARE(servers.size(), size_t(4));
    const quint16 last = quint16(first + 4);
    QCOMPARE(findFreeLocalPort(first, last), last);

    servers[2].reset();
    QCOMPARE(findFreeLocalPort(first, last), quint16(first + 2));

    // Begun further on, the search goes on from there and wraps around to the first port.
    servers[0].reset();
    QCOMPARE(findFreeLocalPort(first, last, {}, quint16(first + 1)), quint16(first + 2));
    QCOMPARE(findFreeLocalPort(first, last, {}, quint16(first + 3)), first);
    QCOMPARE(findFreeLocalPort(first, last, {first}, quint16(first + 3)), quint16(first + 2));
}

void TestStreamTools::portProbeSkipsClaimedPorts() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    server.close();
    QCOMPARE(findFreeLocalPort(port, quint16(port + 1)), port);
    QCOMPARE(findFreeLocalPort(port, quint16(port + 1), {port}), quint16(port + 1));
}

QTEST_GUILESS_MAIN(TestStreamTools)
#include "tst_stream_tools.moc"

#include "rpc/EventStreamParser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

QJsonArray feedAll(EventStreamParser& parser, const QList<QByteArray>& chunks) {
    QJsonArray events;
    for (const QByteArray& chunk : chunks) {
        for (const QJsonObject& e : parser.feed(chunk))
            events.append(e);
    }
    return events;
}

QJsonArray parse(const char* json) {
    return QJsonDocument::fromJson(json).array();
}

} // namespace

class TestEventStreamParser : public QObject {
    Q_OBJECT
private slots:
    void events_data();
    void events();
    void everySplitGivesTheSameEvents();
    void retry_data();
    void retry();
    void idLastsUntilReset();
    void overlongLineIsDroppedWithItsEvent();
    void oversizedEventIsDropped();
};

void TestEventStreamParser::events_data() {
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QJsonArray>("expected");

    QTest::newRow("two data lines") << QList<QByteArray>{"data: a\ndata: b\n\n"}
                                    << parse(R"([{"data":"a\nb","type":"message"}])");
    QTest::newRow("event type") << QList<QByteArray>{"event: update\ndata: x\n\n"}
                                << parse(R"([{"data":"x","type":"update"}])");
    QTest::newRow("id stays on later events")
        << QList<QByteArray>{"id: 7\nevent: update\ndata: x\n\ndata: y\n\n"}
        << parse(
               R"([{"data":"x","type":"update","lastEventId":"7"},{"data":"y","type":"message","lastEventId":"7"}])");
    QTest::newRow("empty id changes nothing") << QList<QByteArray>{"id: 7\ndata: a\n\nid:\ndata: b\n\n"}
                                              << parse(R"([{"data":"a","type":"message","lastEventId":"7"},
                                                           {"data":"b","type":"message","lastEventId":"7"}])");
    QTest::newRow("CR LF line ends") << QList<QByteArray>{"event: update\r\ndata: a\r\ndata: b\r\n\r\n"}
                                     << parse(R"([{"data":"a\nb","type":"update"}])");
    QTest::newRow("CR line ends") << QList<QByteArray>{"data: a\rdata: b\r\r"}
                                  << parse(R"([{"data":"a\nb","type":"message"}])");
    QTest::newRow("split inside a data line")
        << QList<QByteArray>{"data: hel", "lo\n\n"} << parse(R"([{"data":"hello","type":"message"}])");
    QTest::newRow("event ending at the end of a read, then more")
        << QList<QByteArray>{"data: a\n\n", "data: b\n\n"}
        << parse(R"([{"data":"a","type":"message"},{"data":"b","type":"message"}])");
    QTest::newRow("CR at the end of a read, LF at the start of the next")
        << QList<QByteArray>{"data: a\r", "\ndata: b\r\n\r\n"}
        << parse(R"([{"data":"a\nb","type":"message"}])");
    QTest::newRow("split inside a UTF-8 character")
        << QList<QByteArray>{"data: h\xc3", "\xa9llo \xe2\x82", "\xac\n\n"}
        << QJsonArray{
               QJsonObject{{"data", QString::fromUtf8("h\xc3\xa9llo \xe2\x82\xac")}, {"type", "message"}}};
    QTest::newRow("comments and unknown fields") << QList<QByteArray>{": hello\nfoo: bar\ndata: a\n:\n\n"}
                                                 << parse(R"([{"data":"a","type":"message"}])");
    QTest::newRow("data without colon is an empty line")
        << QList<QByteArray>{"data\n\n"} << parse(R"([{"data":"","type":"message"}])");
    QTest::newRow("empty line without data clears the type")
        << QList<QByteArray>{"event: update\n\ndata: y\n\n"} << parse(R"([{"data":"y","type":"message"}])");
    QTest::newRow("one leading space removed, not two")
        << QList<QByteArray>{"data:  two\ndata:none\n\n"}
        << parse(R"([{"data":" two\nnone","type":"message"}])");
    QTest::newRow("value may hold colons")
        << QList<QByteArray>{"data: {\"a\":1}\n\n"} << parse(R"([{"data":"{\"a\":1}","type":"message"}])");
    QTest::newRow("no empty line, no event") << QList<QByteArray>{"data: a\n"} << QJsonArray();
    QTest::newRow("incomplete last line waits")
        << QList<QByteArray>{"data: a\n\ndata: b"} << parse(R"([{"data":"a","type":"message"}])");
}

void TestEventStreamParser::events() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QJsonArray, expected);
    EventStreamParser parser;
    QCOMPARE(feedAll(parser, chunks), expected);
}

// Whatever the reads, the same bytes give the same events.
void TestEventStreamParser::everySplitGivesTheSameEvents() {
    const QByteArray stream =
        "id: 1\r\nevent: update\r\ndata: \xc3\xa9t\xc3\xa9\r\n\r\n: note\rdata: b\r\rdata: c\n\n";
    EventStreamParser whole;
    const QJsonArray expected = feedAll(whole, {stream});
    QCOMPARE(expected.size(), 3);
    for (int a = 0; a <= stream.size(); ++a) {
        for (int b = a; b <= stream.size(); ++b) {
            EventStreamParser parser;
            const QJsonArray got = feedAll(parser, {stream.left(a), stream.mid(a, b - a), stream.mid(b)});
            if (got != expected)
                QFAIL(qPrintable(QStringLiteral("split at %1 and %2 differs").arg(a).arg(b)));
        }
    }
}

void TestEventStreamParser::retry_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("retry");
    QTest::newRow("digits") << QByteArray("retry: 2500\n") << 2500;
    QTest::newRow("zero") << QByteArray("retry: 0\n") << 0;
    QTest::newRow("letters") << QByteArray("retry: 25x\n") << -1;
    QTest::newRow("negative") << QByteArray("retry: -5\n") << -1;
    QTest::newRow("plus sign") << QByteArray("retry: +5\n") << -1;
    QTest::newRow("second space") << QByteArray("retry:  5\n") << -1;
    QTest::newRow("empty") << QByteArray("retry:\n") << -1;
    QTest::newRow("beyond int") << QByteArray("retry: 99999999999\n") << -1;
}

void TestEventStreamParser::retry() {
    QFETCH(QByteArray, line);
    QFETCH(int, retry);
    EventStreamParser parser;
    QVERIFY(parser.feed(line).isEmpty());
    QCOMPARE(parser.takeRetry(), retry);
    QCOMPARE(parser.takeRetry(), -1);
}

void TestEventStreamParser::idLastsUntilReset() {
    EventStreamParser parser;
    parser.feed("id: 9\ndata: a\n\ndata: par");
    QCOMPARE(parser.lastEventId(), QStringLiteral("9"));
    parser.reset();
    QCOMPARE(parser.lastEventId(), QString());
    QCOMPARE(parser.pendingBytes(), 0);
    QCOMPARE(feedAll(parser, {"data: b\n\n"}), parse(R"([{"data":"b","type":"message"}])"));
}

void TestEventStreamParser::overlongLineIsDroppedWithItsEvent() {
    EventStreamParser parser;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("line longer than"));
    const QByteArray huge(EventStreamParser::maxLineBytes / 4, 'x');
    QJsonArray events = feedAll(parser, {"data: a\n", "data: "});
    for (int i = 0; i < 6; ++i) {
        events = feedAll(parser, {huge});
        QVERIFY(parser.pendingBytes() <= EventStreamParser::maxLineBytes);
    }
    events = feedAll(parser, {"\n\ndata: next\n\n"});
    QCOMPARE(events, parse(R"([{"data":"next","type":"message"}])"));
}

void TestEventStreamParser::oversizedEventIsDropped() {
    EventStreamParser parser;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("event larger than"));
    const QByteArray line = "data: " + QByteArray(EventStreamParser::maxLineBytes - 16, 'y') + "\n";
    const int lines = EventStreamParser::maxEventBytes / line.size() + 2;
    QJsonArray events;
    for (int i = 0; i < lines; ++i)
        events = feedAll(parser, {line});
    events = feedAll(parser, {"\ndata: small\n\n"});
    QCOMPARE(events, parse(R"([{"data":"small","type":"message"}])"));
}

QTEST_GUILESS_MAIN(TestEventStreamParser)
#include "tst_event_stream_parser.moc"

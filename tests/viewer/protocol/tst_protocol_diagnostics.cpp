// The diagnostics channel's decoder: which handler calls and errors each sequence of frames gives.

#include "Hex.h"
#include "viewer/protocol/Diagnostics.h"

#include <QStringList>
#include <QtTest>

using namespace Protocol;
using namespace Protocol::Diagnostics;

namespace {

// Logs every handler call and error as one line.
class RecordingChannel : public DiagnosticsClientChannel {
public:
    RecordingChannel()
        : DiagnosticsClientChannel("diagnostics", 3) {}

    void onCounterNames(const CounterNameList& names) override {
        QStringList parts;
        for (const auto& [id, name] : names) {
            parts << QStringLiteral("%1=%2").arg(id).arg(QString::fromStdString(name));
        }
        log << QStringLiteral("names ") + parts.join(QLatin1Char(','));
    }
    void onCounterValue(const std::string& name, std::uint32_t value) override {
        log << QStringLiteral("value %1 %2").arg(QString::fromStdString(name)).arg(value);
    }
    void onTimerCounter(const std::string& name, std::uint32_t average, std::uint64_t total) override {
        log << QStringLiteral("timer %1 %2 %3").arg(QString::fromStdString(name)).arg(average).arg(total);
    }
    void onCountersFinished() override { log << QStringLiteral("finished"); }
    void error(std::string message, unsigned char level) override {
        log << QStringLiteral("error %1 %2").arg(QString::fromStdString(message)).arg(level);
    }

    QStringList log;
};

// Names message: 1 = "Fc", 2 = "Bs".
const char* const kNames = "02 02  01000000 02 4663  02000000 02 4273";

} // namespace

class TestProtocolDiagnostics : public QObject {
    Q_OBJECT
private slots:
    void receive_data() {
        QTest::addColumn<QStringList>("frames");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("empty payload") << QStringList{""} << QStringList{"error Failed to read message id 4"};
        QTest::newRow("unknown message id")
            << QStringList{"07 00"} << QStringList{"error Invalid message id 4"};
        QTest::newRow("names") << QStringList{kNames} << QStringList{"names 1=Fc,2=Bs"};
        QTest::newRow("empty names list") << QStringList{"02 00"} << QStringList{"names "};
        QTest::newRow("names: truncated name")
            << QStringList{"02 01 01000000 05 4663"}
            << QStringList{"error failed to read the counter names message 4"};
        QTest::newRow("names: count of five LEB128 bytes")
            << QStringList{"02 8180808000 01000000 00"}
            << QStringList{"error failed to read the counter names message 4"};
        QTest::newRow("names: count far beyond the bytes")
            << QStringList{"02 ffffff7f 01000000 00"}
            << QStringList{"error failed to read the counter names message 4"};
        QTest::newRow("counters before any names")
            << QStringList{"03 01 01000000 00 04 e8030000"} << QStringList{"finished"};
        QTest::newRow("average and timer")
            << QStringList{kNames, "03 02  01000000 00 04 dc050000  02000000 01 0c fa000000 0010000000000001"}
            << QStringList{"names 1=Fc,2=Bs", "value Fc 1500", "timer Bs 250 72057594037932032", "finished"};
        QTest::newRow("timer with a 4-byte payload is skipped")
            << QStringList{kNames, "03 01 02000000 01 04 fa000000"}
            << QStringList{"names 1=Fc,2=Bs", "finished"};
        QTest::newRow("average with a 3-byte payload is skipped")
            << QStringList{kNames, "03 01 01000000 00 03 fa0000"}
            << QStringList{"names 1=Fc,2=Bs", "finished"};
        QTest::newRow("unknown kind is skipped") << QStringList{kNames, "03 01 01000000 07 04 fa000000"}
                                                 << QStringList{"names 1=Fc,2=Bs", "finished"};
        QTest::newRow("longer payload: the leading bytes count")
            << QStringList{kNames, "03 01 01000000 00 06 0a000000 ffff"}
            << QStringList{"names 1=Fc,2=Bs", "value Fc 10", "finished"};
        QTest::newRow("unknown id among known ones")
            << QStringList{kNames, "03 02 09000000 00 04 01000000  01000000 00 04 02000000"}
            << QStringList{"names 1=Fc,2=Bs", "value Fc 2", "finished"};
        QTest::newRow("counters: truncated payload")
            << QStringList{kNames, "03 01 01000000 00 04 fa00"}
            << QStringList{"names 1=Fc,2=Bs", "error failed to read the counters message 4"};
        QTest::newRow("counters: missing entry")
            << QStringList{kNames, "03 02 01000000 00 04 fa000000"}
            << QStringList{"names 1=Fc,2=Bs", "error failed to read the counters message 4"};
        QTest::newRow("counters: no count")
            << QStringList{"03"} << QStringList{"error failed to read the counters message 4"};
        QTest::newRow("a later name replaces an earlier one")
            << QStringList{"02 01 01000000 01 41", "02 01 01000000 01 42", "03 01 01000000 00 04 01000000"}
            << QStringList{"names 1=A", "names 1=B", "value B 1", "finished"};
        // Ids that share their low byte are different counters.
        QTest::newRow("ids 1 and 257 keep apart")
            << QStringList{"02 02 01000000 01 41 01010000 01 42",
                           "03 02 01000000 00 04 01000000 01010000 00 04 02000000"}
            << QStringList{"names 1=A,257=B", "value A 1", "value B 2", "finished"};
        QTest::newRow("names arriving between reports")
            << QStringList{"02 01 01000000 01 41", "03 02 01000000 00 04 01000000 02000000 00 04 02000000",
                           "02 01 02000000 01 42", "03 02 01000000 00 04 01000000 02000000 00 04 02000000"}
            << QStringList{"names 1=A", "value A 1", "finished", "names 2=B",
                           "value A 1", "value B 2", "finished"};
    }

    void receive() {
        QFETCH(QStringList, frames);
        QFETCH(QStringList, expected);
        RecordingChannel channel;
        for (const QString& frame : frames) {
            channel.receive(hex(frame.toLatin1().constData()));
        }
        QCOMPARE(channel.log, expected);
    }

    // A count the bytes could hold but beyond the lists' cap is refused like a count beyond the bytes.
    void countsBeyondTheCap_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("expected");
        const std::size_t count = MaxListEntries + 1;
        Writer names;
        names.u8(Diagnostics::MessageId::CounterNames).leb128(count);
        Writer values;
        values.u8(Diagnostics::MessageId::Counters).leb128(count);
        for (std::size_t i = 0; i < count; ++i) {
            names.u32(std::uint32_t(i)).string("");
            values.u32(std::uint32_t(i)).u8(0).blob({});
        }
        const auto bytes = [](const Writer& w) {
            return QByteArray(reinterpret_cast<const char*>(w.bytes().data()), int(w.bytes().size()));
        };
        QTest::newRow("names") << bytes(names) << "error failed to read the counter names message 4";
        QTest::newRow("counters") << bytes(values) << "error failed to read the counters message 4";
    }

    void countsBeyondTheCap() {
        QFETCH(QByteArray, frame);
        QFETCH(QString, expected);
        RecordingChannel channel;
        channel.receive(std::vector<std::uint8_t>(frame.begin(), frame.end()));
        QCOMPARE(channel.log, QStringList{expected});
        QVERIFY(channel.counterNames.empty());
    }

    // The channel keeps names for its whole life, so it keeps a bounded number of bounded names: names
    // of ids it already knows still replace theirs, names of further ids are dropped and counted.
    void namesKeptAreBounded() {
        RecordingChannel channel;
        CounterNamesMessage first;
        for (std::uint32_t id = 0; id < MaxCounterNames + 10; ++id) {
            first.names.emplace_back(id, "n" + std::to_string(id));
        }
        Writer w;
        QVERIFY(first.write(w));
        channel.receive(std::vector<std::uint8_t>(w.bytes().begin() + 1, w.bytes().end()));
        QCOMPARE(channel.counterNames.size(), MaxCounterNames);
        QCOMPARE(channel.droppedNames, std::size_t(10));
        QVERIFY(channel.counterNames.count(MaxCounterNames) == 0);

        // A long name is cut, not in the middle of a character: 255 ASCII bytes, then a 2-byte one.
        CounterNamesMessage second;
        second.names = {{0, std::string(MaxCounterNameBytes - 1, 'a') + "\xc3\xa9" + std::string(100, 'b')},
                        {MaxCounterNames + 20, "late"}};
        Writer w2;
        QVERIFY(second.write(w2));
        channel.receive(std::vector<std::uint8_t>(w2.bytes().begin() + 1, w2.bytes().end()));
        QCOMPARE(channel.counterNames.at(0), std::string(MaxCounterNameBytes - 1, 'a'));
        QCOMPARE(channel.counterNames.size(), MaxCounterNames);
        QCOMPARE(channel.droppedNames, std::size_t(11));
    }

    // What the client's encoder writes is what its decoder reads, field for field.
    void messagesRoundTrip() {
        CountersMessage counters;
        counters.channel = 3;
        counters.counters = {{7, CounterKind::Timer, hex("01000000 0200000000000000")}, {9, 0, {}}};
        Writer w;
        QVERIFY(counters.write(w));
        QCOMPARE(toHex(w.bytes()), QStringLiteral("03 03 02 07 00 00 00 01 0c 01 00 00 00 02 00 00 00 00 "
                                                  "00 00 00 09 00 00 00 00 00"));
        Reader r(w.bytes().data() + 2, w.bytes().size() - 2);
        CountersMessage back;
        QVERIFY(back.read(r));
        QCOMPARE(back.counters.size(), std::size_t(2));
        QCOMPARE(back.counters[0].payload, counters.counters[0].payload);

        CounterNamesMessage names;
        names.channel = 3;
        names.names = {{300, "FrameToFrame"}};
        Writer nw;
        QVERIFY(names.write(nw));
        Reader nr(nw.bytes().data() + 2, nw.bytes().size() - 2);
        CounterNamesMessage namesBack;
        QVERIFY(namesBack.read(nr));
        QCOMPARE(namesBack.names, names.names);
    }
};

QTEST_GUILESS_MAIN(TestProtocolDiagnostics)
#include "tst_protocol_diagnostics.moc"

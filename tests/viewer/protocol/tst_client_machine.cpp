#include "Hex.h"

#include "viewer/protocol/ClientMachine.h"
#include "viewer/protocol/Entries.h"

#include <QtTest>

using namespace Protocol;

namespace {

QString str(const std::string& s) {
    return QString::fromStdString(s);
}

class LoggingChannel : public Channel {
public:
    LoggingChannel(std::string name, Byte number, QStringList* log)
        : Channel(std::move(name), number)
        , m_log(log) {}

    void receive(std::vector<std::uint8_t> bytes) override {
        *m_log << QString("channel '%1' %2 got [%3]").arg(str(name)).arg(number).arg(toHex(bytes));
        if (!bytes.empty() && bytes.front() == 0xEE) {
            error("bad channel message", ErrorLevel::Protocol);
        }
    }
    void onClosed() override { *m_log << QString("closed '%1'").arg(str(name)); }

    bool sendMessage(Byte messageChannel, std::vector<std::uint8_t> frame) {
        return sendChecked(messageChannel, std::move(frame));
    }

private:
    QStringList* m_log;
};

// Logs every handler call as one line; opens every channel except those named "refused".
class Recorder : public ClientMachine {
public:
    Recorder()
        : ClientMachine("Velnor") {}

    QStringList log;
    QStringList sent;

    void send(std::vector<std::uint8_t> frame) override { sent << toHex(frame); }
    void error(std::string message, unsigned char level) override {
        log << QString("error '%1' %2").arg(str(message)).arg(level);
    }
    void onDisconnect(std::string reason, unsigned char level) override {
        log << QString("disconnect '%1' %2").arg(str(reason)).arg(level);
    }
    void onIdentity(unsigned char version, std::string identity) override {
        log << QString("identity %1 '%2'").arg(version).arg(str(identity));
    }
    void onCapabilities(BlobList entries) override { log << "capabilities" + entriesText(entries); }
    void onSettings(BlobList entries) override { log << "settings" + entriesText(entries); }
    std::shared_ptr<Channel> onChannelOpen(std::string name, unsigned char number) override {
        log << QString("open '%1' %2").arg(str(name)).arg(number);
        if (name == "refused") {
            return nullptr;
        }
        return std::make_shared<ChannelForwarder<LoggingChannel>>(*this, name, number, &log);
    }
    void onChannelClose(std::string name, unsigned char number) override {
        log << QString("close '%1' %2").arg(str(name)).arg(number);
    }
    void onSurfaceCreate(std::uint32_t id, std::uint16_t w, std::uint16_t h) override {
        log << QString("surface create %1 %2x%3").arg(id).arg(w).arg(h);
    }
    void onSurfaceDestroy(std::uint32_t id) override { log << QString("surface destroy %1").arg(id); }
    void onSurfaceResize(std::uint32_t id, std::uint16_t w, std::uint16_t h) override {
        log << QString("surface resize %1 %2x%3").arg(id).arg(w).arg(h);
    }
    void onSurfaceCopy(std::uint32_t source, RectList rects, std::uint32_t destination,
                       Offset offset) override {
        log << QString("surface copy %1 %2 rects to %3 by %4,%5")
                   .arg(source)
                   .arg(rects.size())
                   .arg(destination)
                   .arg(offset.dx)
                   .arg(offset.dy);
    }
    void onRfx7Update(std::uint32_t id, QuantSet y, QuantSet, QuantSet cr, RectList rects, TileList tiles,
                      bool progressive) override {
        log << QString("rfx7 %1 y0 %2 cr9 %3 %4 rects %5 tiles progressive %6")
                   .arg(id)
                   .arg(y[0])
                   .arg(cr[9])
                   .arg(rects.size())
                   .arg(tiles.size())
                   .arg(progressive);
    }
    void onImageCodecUpdate(std::uint8_t codec, std::uint32_t id, RectList rects, TileList tiles) override {
        log << QString("image %1 codec %2 %3 rects %4 tiles")
                   .arg(id)
                   .arg(codec)
                   .arg(rects.size())
                   .arg(tiles.size());
    }
    void onSurfaceFrameBegin(std::uint16_t id) override { log << QString("frame begin %1").arg(id); }
    void onSurfaceFrameEnd(std::uint16_t id) override { log << QString("frame end %1").arg(id); }
    void onNetworkDetectBegin() override { log << "detect begin"; }
    void onNetworkDetectEnd(std::uint64_t value) override { log << QString("detect end %1").arg(value); }
    void onPointerCreate(std::uint8_t id, std::uint16_t x, std::uint16_t y, Blob png) override {
        log << QString("pointer create %1 %2,%3 [%4]").arg(id).arg(x).arg(y).arg(toHex(png));
    }
    void onPointerHide() override { log << "pointer hide"; }
    void onPointerPosition(std::uint16_t x, std::uint16_t y) override {
        log << QString("pointer position %1,%2").arg(x).arg(y);
    }
    void onPointerSetCached(std::uint8_t id) override { log << QString("pointer cached %1").arg(id); }
    void onPointerSystem() override { log << "pointer system"; }

    void feed(const QStringList& frames) {
        for (const QString& f : frames) {
            receive(hex(f.toLatin1().constData()));
        }
    }

private:
    static QString entriesText(const BlobList& entries) {
        QString text;
        for (const Blob& e : entries) {
            text += " [" + toHex(e) + "]";
        }
        return text;
    }
};

// Frames used by several rows.
const QString OpenClip = "00 07  04 636c6970 01 03";          // "clip" opened as 3
const QString OpenRefused = "00 07  07 72656675736564 01 03"; // "refused" as 3
const QString CloseThree = "00 09  03";

} // namespace

class TestClientMachine : public QObject {
    Q_OBJECT

private slots:
    void dispatch_data();
    void dispatch();
    void readFailures_data();
    void readFailures();
    void serverIdentityIsStored();
    void failedIsFinal();
    void encoders_data();
    void encoders();
    void mainSequenceOnlySenders_data();
    void mainSequenceOnlySenders();
    void channelSendsGoThroughTheMachine();
    void channelRefusesForeignChannelNumber();
    void fuzzSeedsAreValidSessions();
};

void TestClientMachine::dispatch_data() {
    QTest::addColumn<uint>("startState");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<uint>("endState");

    // Handshake.
    QTest::newRow("identity in state 1")
        << 1u << QStringList{"00 02 01 03 737276"} << QStringList{"identity 1 'srv'"} << 2u;
    QTest::newRow("identity before connect dropped")
        << 0u << QStringList{"00 02 01 00"} << QStringList{} << 0u;
    QTest::newRow("second identity dropped") << 2u << QStringList{"00 02 01 00"} << QStringList{} << 2u;
    QTest::newRow("capabilities in state 2")
        << 2u << QStringList{"00 03 01 02 02 04 00"} << QStringList{"capabilities [02] [04 00]"} << 3u;
    QTest::newRow("capabilities before identity dropped")
        << 1u << QStringList{"00 03 01 02"} << QStringList{} << 1u;
    QTest::newRow("capabilities in main sequence dropped")
        << 4u << QStringList{"00 03 01 02"} << QStringList{} << 4u;
    QTest::newRow("empty settings enter the main sequence")
        << 3u << QStringList{"00 05"} << QStringList{"settings"} << 4u;
    QTest::newRow("settings in main sequence")
        << 4u << QStringList{"00 05 02 03 01"} << QStringList{"settings [03 01]"} << 4u;
    QTest::newRow("settings in state 1 dropped")
        << 1u << QStringList{"00 05 02 03 01"} << QStringList{} << 1u;
    QTest::newRow("settings in state 2 dropped")
        << 2u << QStringList{"00 05 02 03 01"} << QStringList{} << 2u;
    QTest::newRow("whole handshake") << 1u
                                     << QStringList{"00 02 01 00", "00 03 01 01", "00 05 04 04 05 00 00",
                                                    "00 05 02 03 00"}
                                     << QStringList{"identity 1 ''", "capabilities [01]",
                                                    "settings [04 05 00 00]", "settings [03 00]"}
                                     << 4u;

    // Disconnect, in any state.
    QTest::newRow("disconnect with level")
        << 4u << QStringList{"00 01 03 627965 0c"} << QStringList{"disconnect 'bye' 12"} << 6u;
    QTest::newRow("disconnect without level")
        << 4u << QStringList{"00 01 00"} << QStringList{"disconnect '' 255"} << 6u;
    QTest::newRow("disconnect during handshake")
        << 1u << QStringList{"00 01 00 02"} << QStringList{"disconnect '' 2"} << 6u;
    QTest::newRow("nothing on the control channel after disconnect")
        << 4u << QStringList{"00 01 00", "00 1e", "00 05"} << QStringList{"disconnect '' 255"} << 6u;

    // Ids without a case are ignored, whatever follows them.
    QTest::newRow("ignored ids") << 4u
                                 << QStringList{"00 00 ff", "00 04 01", "00 06", "00 08 ff ff", "00 11 01 00",
                                                "00 12",    "00 18 ff", "00 1b", "00 21",       "00 ff 01 02"}
                                 << QStringList{} << 4u;

    // Main sequence messages.
    const QStringList mainFrames{
        "00 0a 01000000 0004 0003",
        "00 0b 01000000",
        "00 0c 01000000 0005 0004",
        "00 0e 01000000 01 0000 0000 1000 1000 02000000 fcff 0400",
        "00 0d 01000000 02 0500000000 0000000000 00000000f0 01 0000 0000 4000 4000 0000 0000 01 aa",
        "00 0d 01000000 07 0000000000 0000000000 0000000000 00",
        "00 0d 02000000 03 01 0000 0000 0800 0800 0000 0000 01 ff 4000 0000 00",
        "00 0d 02000000 06 00",
        "00 0f 0100",
        "00 10 0100",
        "00 19",
        "00 1a 2a00000000000000",
        "00 1c 02 0100 0200 01 89",
        "00 1d 02",
        "00 1e",
        "00 1f",
        "00 20 0a00 1400",
    };
    QTest::newRow("main sequence messages") << 4u << mainFrames
                                            << QStringList{"surface create 1 1024x768",
                                                           "surface destroy 1",
                                                           "surface resize 1 1280x1024",
                                                           "surface copy 1 1 rects to 2 by -4,4",
                                                           "rfx7 1 y0 5 cr9 15 1 rects 1 tiles progressive 0",
                                                           "rfx7 1 y0 0 cr9 0 0 rects 0 tiles progressive 1",
                                                           "image 2 codec 3 1 rects 2 tiles",
                                                           "image 2 codec 6 0 rects 0 tiles",
                                                           "frame begin 1",
                                                           "frame end 1",
                                                           "detect begin",
                                                           "detect end 42",
                                                           "pointer create 2 1,2 [89]",
                                                           "pointer cached 2",
                                                           "pointer hide",
                                                           "pointer system",
                                                           "pointer position 10,20"}
                                            << 4u;
    QTest::newRow("main sequence messages dropped before it") << 3u << mainFrames << QStringList{} << 3u;
    QTest::newRow("main sequence messages dropped after disconnect")
        << 6u << mainFrames << QStringList{} << 6u;

    // Side channels.
    QTest::newRow("channel open and receive")
        << 4u << QStringList{OpenClip, "03 05 aa", "03"}
        << QStringList{"open 'clip' 3", "channel 'clip' 3 got [05 aa]", "channel 'clip' 3 got []"} << 4u;
    QTest::newRow("channel open with other status ignored")
        << 4u << QStringList{"00 07 04 636c6970 00 03", "03 05"}
        << QStringList{"error 'channel is not open' 4"} << 5u;
    QTest::newRow("channel open before main sequence ignored")
        << 3u << QStringList{OpenClip, "03 05"} << QStringList{"error 'channel is not open' 4"} << 5u;
    QTest::newRow("channel close") << 4u << QStringList{OpenClip, CloseThree, "03 05"}
                                   << QStringList{"open 'clip' 3", "close 'clip' 3", "closed 'clip'",
                                                  "error 'channel is not open' 4"}
                                   << 5u;
    QTest::newRow("close of a number never opened ignored")
        << 4u << QStringList{"00 09 04"} << QStringList{} << 4u;
    QTest::newRow("channel replaced under its number")
        << 4u << QStringList{OpenClip, "00 07 01 62 01 03", "03 01"}
        << QStringList{"open 'clip' 3", "open 'b' 3", "channel 'b' 3 got [01]"} << 4u;
    QTest::newRow("side channel frames pass after disconnect")
        << 4u << QStringList{OpenClip, "00 01 00", "03 01"}
        << QStringList{"open 'clip' 3", "disconnect '' 255", "channel 'clip' 3 got [01]"} << 6u;

    // A refused open is never stored.
    QTest::newRow("refused open leaves the number closed")
        << 4u << QStringList{OpenRefused, "03 01"}
        << QStringList{"open 'refused' 3", "error 'channel is not open' 4"} << 5u;
    QTest::newRow("refused open drops an earlier channel of that number")
        << 4u << QStringList{OpenClip, OpenRefused, "03 01"}
        << QStringList{"open 'clip' 3", "open 'refused' 3", "error 'channel is not open' 4"} << 5u;

    // After an error nothing more is dispatched, side channels included.
    QTest::newRow("nothing after a read failure")
        << 4u << QStringList{OpenClip, "00 0a 01", "03 01", "00 1e", "00 01 00", "00 05"}
        << QStringList{"open 'clip' 3", "error 'failed to read the surface create message' 4"} << 5u;
    QTest::newRow("nothing after a channel's error")
        << 4u << QStringList{OpenClip, "03 ee", "03 01", "00 1e"}
        << QStringList{"open 'clip' 3", "channel 'clip' 3 got [ee]", "error 'bad channel message' 4"} << 5u;
    QTest::newRow("nothing when failed from the start")
        << 5u << QStringList{"00 1e", "00 01 00", ""} << QStringList{} << 5u;
}

void TestClientMachine::dispatch() {
    QFETCH(uint, startState);
    QFETCH(QStringList, frames);
    QFETCH(QStringList, log);
    QFETCH(uint, endState);

    Recorder m;
    m.setState(startState);
    m.feed(frames);
    QCOMPARE(m.log, log);
    QCOMPARE(uint(m.state()), endState);
    QVERIFY(m.sent.isEmpty());
}

void TestClientMachine::readFailures_data() {
    QTest::addColumn<uint>("startState");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("error");

    QTest::newRow("empty frame") << 4u << ""
                                 << "failed to read the channel number";
    QTest::newRow("empty frame in handshake") << 1u << ""
                                              << "failed to read the channel number";
    QTest::newRow("no message id") << 4u << "00"
                                   << "failed to read the message id";
    QTest::newRow("side channel never opened") << 4u << "05 01"
                                               << "channel is not open";
    QTest::newRow("side channel in handshake") << 2u << "05"
                                               << "channel is not open";
    QTest::newRow("disconnect") << 4u << "00 01"
                                << "failed to read the disconnect message";
    QTest::newRow("disconnect reason longer than frame") << 4u << "00 01 05 6162"
                                                         << "failed to read the disconnect message";
    QTest::newRow("identity") << 1u << "00 02 01"
                              << "failed to read the identity message";
    QTest::newRow("identity in wrong state") << 4u << "00 02"
                                             << "failed to read the identity message";
    QTest::newRow("capabilities") << 2u << "00 03 02 01"
                                  << "failed to read the capabilities message";
    QTest::newRow("capabilities length too long") << 2u << "00 03 ffffffff"
                                                  << "failed to read the capabilities message";
    QTest::newRow("settings") << 3u << "00 05 02 03"
                              << "failed to read the settings message";
    QTest::newRow("settings before capabilities") << 1u << "00 05 05"
                                                  << "failed to read the settings message";
    QTest::newRow("channel open") << 4u << "00 07 04 636c6970 01"
                                  << "failed to read the channel open message";
    QTest::newRow("channel close") << 4u << "00 09"
                                   << "failed to read the channel close message";
    QTest::newRow("surface create") << 4u << "00 0a 01000000 0004 00"
                                    << "failed to read the surface create message";
    QTest::newRow("surface destroy") << 4u << "00 0b 010000"
                                     << "failed to read the surface destroy message";
    QTest::newRow("surface resize") << 4u << "00 0c 01000000"
                                    << "failed to read the surface resize message";
    QTest::newRow("surface copy rect count")
        << 4u << "00 0e 01000000 02 0000 0000 1000 1000 02000000 0000 0000"
        << "failed to read the surface copy message";
    QTest::newRow("surface copy offset") << 4u << "00 0e 01000000 00 02000000 0000"
                                         << "failed to read the surface copy message";
    QTest::newRow("frame begin") << 4u << "00 0f 01"
                                 << "failed to read the surface frame begin message";
    QTest::newRow("frame end") << 4u << "00 10"
                               << "failed to read the surface frame end message";
    QTest::newRow("network detect end") << 4u << "00 1a 01020304050607"
                                        << "failed to read the network detect end message";
    QTest::newRow("pointer create") << 4u << "00 1c 01 0000 0000 05 8950"
                                    << "failed to read the pointer create message";
    QTest::newRow("pointer position") << 4u << "00 20 0100"
                                      << "failed to read the pointer position update message";
    QTest::newRow("pointer set cached") << 4u << "00 1d"
                                        << "failed to read the pointer set cached pointer message";
    QTest::newRow("surface bits no codec") << 4u << "00 0d 01000000"
                                           << "failed to read the surface bits message prologue";
    QTest::newRow("surface bits no surface") << 4u << "00 0d 0100"
                                             << "failed to read the surface bits message prologue";
    QTest::newRow("rfx7 quantisers short") << 4u << "00 0d 01000000 02 0000000000 00000000"
                                           << "failed to read the rfx7 surface bits message";
    QTest::newRow("rfx7 rect count") << 4u << "00 0d 01000000 07 0000000000 0000000000 0000000000 01"
                                     << "failed to read the rfx7 surface bits message";
    QTest::newRow("rfx7 tile truncated")
        << 4u << "00 0d 01000000 02 0000000000 0000000000 0000000000 00 0000 0000 02 aa"
        << "failed to read the rfx7 surface bits message";
    QTest::newRow("image rect list missing") << 4u << "00 0d 01000000 04"
                                             << "failed to read the image codec surface bits message";
    QTest::newRow("image tile length too long") << 4u << "00 0d 01000000 05 00 0000 0000 80808080 01"
                                                << "failed to read the image codec surface bits message";
    QTest::newRow("codec 0") << 4u << "00 0d 01000000 00"
                             << "invalid codec";
    QTest::newRow("codec 1") << 4u << "00 0d 01000000 01 00"
                             << "invalid codec";
    QTest::newRow("codec 8") << 4u << "00 0d 01000000 08"
                             << "invalid codec";
    QTest::newRow("codec 255") << 4u << "00 0d 01000000 ff 0102"
                               << "invalid codec";
}

void TestClientMachine::readFailures() {
    QFETCH(uint, startState);
    QFETCH(QString, frame);
    QFETCH(QString, error);

    Recorder m;
    m.setState(startState);
    m.feed({frame});
    QCOMPARE(m.log, QStringList{QString("error '%1' 4").arg(error)});
    QCOMPARE(uint(m.state()), 5u);
}

void TestClientMachine::serverIdentityIsStored() {
    Recorder m;
    QCOMPARE(m.version(), Byte(1));
    QCOMPARE(str(m.identity()), QString("Velnor"));
    m.setState(ClientMachine::IdentitySent);
    m.feed({"00 02 07 03 737276"});
    QCOMPARE(m.serverVersion(), Byte(7));
    QCOMPARE(str(m.serverIdentity()), QString("srv"));
    // A late second Identity changes nothing.
    m.feed({"00 02 09 01 78"});
    QCOMPARE(m.serverVersion(), Byte(7));
    QCOMPARE(str(m.serverIdentity()), QString("srv"));
}

void TestClientMachine::failedIsFinal() {
    Recorder m;
    m.setState(ClientMachine::MainSequence);
    m.reportError("socket gone", ErrorLevel::Socket);
    QCOMPARE(m.log, QStringList{"error 'socket gone' 11"});
    QCOMPARE(m.state(), std::uint32_t(ClientMachine::Failed));
    // The transport closing afterwards does not bring the machine back.
    m.setState(ClientMachine::Closed);
    m.setState(ClientMachine::MainSequence);
    QCOMPARE(m.state(), std::uint32_t(ClientMachine::Failed));
    QVERIFY(!m.sendFrameAck(1));
    QVERIFY(m.sent.isEmpty());
}

void TestClientMachine::encoders_data() {
    QTest::addColumn<QString>("encoder");
    QTest::addColumn<QString>("frame");

    QTest::newRow("identity") << "identity"
                              << "00 02 01 06 56 65 6c 6e 6f 72";
    QTest::newRow("capabilities") << "capabilities"
                                  << "00 03 01 02 01 03 04 04 02 02 07 01 01";
    QTest::newRow("security") << "security"
                              << "00 04 03 61 6e 6e 04 70 c3 a4 73";
    QTest::newRow("security empty") << "security empty"
                                    << "00 04 00 00";
    QTest::newRow("settings") << "settings"
                              << "00 05 05 02 00 04 00 03 04 04 05 00 00";
    QTest::newRow("channel open request") << "open request"
                                          << "00 06 09 63 6c 69 70 62 6f 61 72 64";
    QTest::newRow("frame ack") << "frame ack"
                               << "00 11 34 12";
    QTest::newRow("network detect results")
        << "detect results"
        << "00 1b 2a 00 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 00 10 00 00 00 00 00 00";
}

void TestClientMachine::encoders() {
    QFETCH(QString, encoder);
    QFETCH(QString, frame);

    Recorder m;
    bool ok = false;
    if (encoder == "identity") {
        ok = m.sendIdentity();
    } else if (encoder == "capabilities") {
        ok = m.sendCapabilities(
            {Capability::rfx7(), Capability::jpeg(), Capability::codecList({2, 7}), Capability::password()});
    } else if (encoder == "security") {
        ok = m.sendSecurity("ann", hex("70 c3 a4 73"));
    } else if (encoder == "security empty") {
        ok = m.sendSecurity("", {});
    } else if (encoder == "settings") {
        ok = m.sendSettingsMessage({Setting::geometry(1024, 768), Setting::compression(5)});
    } else if (encoder == "open request") {
        ok = m.channelOpenRequest("clipboard");
    } else if (encoder == "frame ack") {
        ok = m.sendSurfaceFrameAck(0x1234);
    } else if (encoder == "detect results") {
        ok = m.sendNetworkDetectResults(42, 10, 4096);
    }
    QVERIFY(ok);
    QCOMPARE(m.sent, QStringList{frame});
}

void TestClientMachine::mainSequenceOnlySenders_data() {
    QTest::addColumn<uint>("state");
    QTest::addColumn<bool>("sends");

    QTest::newRow("created") << 0u << false;
    QTest::newRow("identity sent") << 1u << false;
    QTest::newRow("waiting capabilities") << 2u << false;
    QTest::newRow("waiting settings") << 3u << false;
    QTest::newRow("main sequence") << 4u << true;
    QTest::newRow("failed") << 5u << false;
    QTest::newRow("closed") << 6u << false;
}

void TestClientMachine::mainSequenceOnlySenders() {
    QFETCH(uint, state);
    QFETCH(bool, sends);

    Recorder m;
    m.setState(state);
    QCOMPARE(m.sendSettings({Setting::automaticAdjust(1)}), sends);
    QCOMPARE(m.sendFrameAck(7), sends);
    const QStringList expected = sends ? QStringList{"00 05 02 03 01", "00 11 07 00"} : QStringList();
    QCOMPARE(m.sent, expected);
}

void TestClientMachine::channelSendsGoThroughTheMachine() {
    Recorder m;
    m.setState(ClientMachine::MainSequence);
    m.feed({OpenClip});
    auto channel = std::dynamic_pointer_cast<LoggingChannel>(m.channel(3));
    QVERIFY(channel);
    QCOMPARE(m.channels().size(), std::size_t(1));
    QVERIFY(channel->sendMessage(3, hex("03 01 02")));
    QCOMPARE(m.sent, QStringList{"03 01 02"});

    // Closing releases the machine's reference; the holder's copy stays usable.
    m.feed({CloseThree});
    QVERIFY(!m.channel(3));
    QCOMPARE(channel.use_count(), 1L);
}

void TestClientMachine::channelRefusesForeignChannelNumber() {
    Recorder m;
    m.setState(ClientMachine::MainSequence);
    m.feed({OpenClip});
    auto channel = std::dynamic_pointer_cast<LoggingChannel>(m.channel(3));
    QVERIFY(channel);
    QVERIFY(!channel->sendMessage(4, hex("04 01")));
    QVERIFY(m.sent.isEmpty());
    QCOMPARE(m.log.last(),
             QString("error 'Message channel number does not match assigned channel number' 4"));
    QCOMPARE(m.state(), std::uint32_t(ClientMachine::Failed));
}

void TestClientMachine::fuzzSeedsAreValidSessions() {
    // The fuzz target's seeds are meant to be valid sessions (u16 length + frame each); a seed that
    // fails early would leave the later states to chance.
    const QDir dir(qEnvironmentVariable("VELNOR_SOURCE_DIR") + "/tests/fuzz/corpus/fuzz_client_machine");
    const QStringList seeds = dir.entryList({"*.bin"}, QDir::Files);
    QVERIFY2(!seeds.isEmpty(), qPrintable(dir.path()));
    for (const QString& name : seeds) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        Recorder m;
        m.setState(ClientMachine::IdentitySent);
        int pos = 0;
        while (pos < data.size()) {
            QVERIFY2(pos + 2 <= data.size(), qPrintable(name));
            const int length = quint8(data[pos]) | (quint8(data[pos + 1]) << 8);
            pos += 2;
            QVERIFY2(pos + length <= data.size(), qPrintable(name));
            m.receive(reinterpret_cast<const Byte*>(data.constData()) + pos, std::size_t(length));
            pos += length;
        }
        QVERIFY2(m.log.filter(QRegularExpression("^error")).isEmpty(),
                 qPrintable(name + ": " + m.log.join(", ")));
        QVERIFY2(m.state() == ClientMachine::MainSequence || m.state() == ClientMachine::Closed,
                 qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(TestClientMachine)
#include "tst_client_machine.moc"

#include "Hex.h"

#include "viewer/protocol/Entries.h"
#include "viewer/protocol/Messages.h"

#include <QtTest>

using namespace Protocol;

namespace {

QString str(const std::string& s) {
    return QString::fromStdString(s);
}

QString blobs(const BlobList& list) {
    QStringList parts;
    for (const Blob& b : list) {
        parts << "[" + toHex(b) + "]";
    }
    return parts.join(' ');
}

QString rects(const RectList& list) {
    QStringList parts;
    for (const Rect& r : list) {
        parts << QString("%1,%2 %3x%4").arg(r.x).arg(r.y).arg(r.width).arg(r.height);
    }
    return "{" + parts.join("; ") + "}";
}

QString tiles(const TileList& list) {
    QStringList parts;
    for (const Tile& t : list) {
        parts << QString("%1,%2:[%3]").arg(t.x).arg(t.y).arg(toHex(t.data));
    }
    return "{" + parts.join("; ") + "}";
}

QString quant(const QuantSet& q) {
    QStringList parts;
    for (Byte v : q) {
        parts << QString::number(v);
    }
    return parts.join(',');
}

template <typename M>
bool readInto(Reader& r, M& m, Byte channel, std::vector<Byte>& reencoded) {
    m.channel = channel;
    if (!m.read(r)) {
        return false;
    }
    reencoded = encodeFrame(m);
    return true;
}

// Decodes one whole frame into its message class, describes its fields, and encodes it again.
QString describe(const std::vector<Byte>& frame, std::vector<Byte>& reencoded) {
    Reader r(frame);
    Byte channel = 0;
    Byte id = 0;
    if (!r.readU8(channel) || !r.readU8(id)) {
        return "short";
    }
    const QString failed = "failed";
    switch (id) {
    case MessageId::Disconnect: {
        DisconnectMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("disconnect '%1' %2").arg(str(m.reason)).arg(m.level)
                   : failed;
    }
    case MessageId::Identity: {
        IdentityMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("identity %1 '%2'").arg(m.version).arg(str(m.identity))
                   : failed;
    }
    case MessageId::Capabilities: {
        CapabilitiesMessage m;
        return readInto(r, m, channel, reencoded) ? "capabilities " + blobs(m.entries) : failed;
    }
    case MessageId::Security: {
        SecurityMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("security '%1' [%2]").arg(str(m.displayName), toHex(m.password))
                   : failed;
    }
    case MessageId::Settings: {
        SettingsMessage m;
        return readInto(r, m, channel, reencoded) ? "settings " + blobs(m.entries) : failed;
    }
    case MessageId::ChannelOpenRequest: {
        ChannelOpenRequestMessage m;
        return readInto(r, m, channel, reencoded) ? "open request '" + str(m.name) + "'" : failed;
    }
    case MessageId::ChannelOpen: {
        ChannelOpenMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("open '%1' status %2 number %3").arg(str(m.name)).arg(m.status).arg(m.number)
                   : failed;
    }
    case MessageId::ChannelClose: {
        ChannelCloseMessage m;
        return readInto(r, m, channel, reencoded) ? QString("close %1").arg(m.number) : failed;
    }
    case MessageId::SurfaceCreate: {
        SurfaceCreateMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("create %1 %2x%3").arg(m.surfaceId).arg(m.width).arg(m.height)
                   : failed;
    }
    case MessageId::SurfaceDestroy: {
        SurfaceDestroyMessage m;
        return readInto(r, m, channel, reencoded) ? QString("destroy %1").arg(m.surfaceId) : failed;
    }
    case MessageId::SurfaceResize: {
        SurfaceResizeMessage m;
        return readInto(r, m, channel, reencoded)
                   ? QString("resize %1 %2x%3").arg(m.surfaceId).arg(m.width).arg(m.height)
                   : failed;
    }
    case MessageId::SurfaceBits: {
        Reader peek = r;
        SurfaceBitsMessage prologue;
        if (!prologue.read(peek)) {
            return failed;
        }
        if (prologue.codec == Codecs::Rfx7 || prologue.codec == Codecs::Rfx7Progressive) {
            Rfx7UpdateMessage m;
            return readInto(r, m, channel, reencoded)
                       ? QString("rfx7 %1 progressive %2 y %3 cb %4 cr %5 %6 %7")
                             .arg(m.surfaceId)
                             .arg(m.progressive())
                             .arg(quant(m.quantY), quant(m.quantCb), quant(m.quantCr), rects(m.rects),
                                  tiles(m.tiles))
                       : failed;
        }
        ImageCodecUpdateMessage m;
        return readInto(r, m, channel, reencoded) ? QString("image %1 codec %2 %3 %4")
                                                        .arg(m.surfaceId)
                                                        .arg(m.codec)
                                                        .arg(rects(m.rects), tiles(m.tiles))
                                                  : failed;
    }
    case MessageId::SurfaceCopy: {
        SurfaceCopyMessage m;
        return readInto(r, m, channel, reencoded) ? QString("copy %1 %2 to %3 by %4,%5")
                                                        .arg(m.sourceId)
                                                        .arg(rects(m.rects))
                                                        .arg(m.destinationId)
                                                        .arg(m.offset.dx)
                                                        .arg(m.offset.dy)
                                                  : failed;
    }
    case MessageId::SurfaceFrameBegin: {
        SurfaceFrameBeginMessage m;
        return readInto(r, m, channel, reencoded) ? QString("frame begin %1").arg(m.frameId) : failed;
    }
    case MessageId::SurfaceFrameEnd: {
        SurfaceFrameEndMessage m;
        return readInto(r, m, channel, reencoded) ? QString("frame end %1").arg(m.frameId) : failed;
    }
    case MessageId::SurfaceFrameAck: {
        SurfaceFrameAckMessage m;
        return readInto(r, m, channel, reencoded) ? QString("frame ack %1").arg(m.frameId) : failed;
    }
    case MessageId::NetworkDetectBegin: {
        NetworkDetectBeginMessage m;
        return readInto(r, m, channel, reencoded) ? QString("detect begin") : failed;
    }
    case MessageId::NetworkDetectEnd: {
        NetworkDetectEndMessage m;
        return readInto(r, m, channel, reencoded) ? QString("detect end %1").arg(m.value) : failed;
    }
    case MessageId::NetworkDetectResults: {
        NetworkDetectResultsMessage m;
        return readInto(r, m, channel, reencoded) ? QString("detect results %1 %2 ms %3 bytes")
                                                        .arg(m.value)
                                                        .arg(m.elapsedMs)
                                                        .arg(m.bytesReceived)
                                                  : failed;
    }
    case MessageId::PointerCreate: {
        PointerCreateMessage m;
        return readInto(r, m, channel, reencoded) ? QString("pointer create %1 hotspot %2,%3 [%4]")
                                                        .arg(m.pointerId)
                                                        .arg(m.hotspotX)
                                                        .arg(m.hotspotY)
                                                        .arg(toHex(m.png))
                                                  : failed;
    }
    case MessageId::PointerSetCached: {
        PointerSetCachedMessage m;
        return readInto(r, m, channel, reencoded) ? QString("pointer cached %1").arg(m.pointerId) : failed;
    }
    case MessageId::PointerHide: {
        PointerHideMessage m;
        return readInto(r, m, channel, reencoded) ? QString("pointer hide") : failed;
    }
    case MessageId::PointerSystem: {
        PointerSystemMessage m;
        return readInto(r, m, channel, reencoded) ? QString("pointer system") : failed;
    }
    case MessageId::PointerPosition: {
        PointerPositionMessage m;
        return readInto(r, m, channel, reencoded) ? QString("pointer at %1,%2").arg(m.x).arg(m.y) : failed;
    }
    default:
        return "unknown";
    }
}

} // namespace

class TestMessages : public QObject {
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void settingEntries_data();
    void settingEntries();
    void capabilityEntries();
    void clientCodecs_data();
    void clientCodecs();
};

void TestMessages::frames_data() {
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("written"); // when writing gives other bytes than were read

    QTest::newRow("disconnect with level") << "00 01  03 627965  0c"
                                           << "disconnect 'bye' 12"
                                           << "";
    QTest::newRow("disconnect without level") << "00 01  00"
                                              << "disconnect '' 255"
                                              << "00 01 00 ff";
    QTest::newRow("identity") << "00 02  01  06 56656c6e6f72"
                              << "identity 1 'Velnor'"
                              << "";
    QTest::newRow("capabilities") << "00 03  01 02  01 03  04 04 02 02 07  01 01"
                                  << "capabilities [02] [03] [04 02 02 07] [01]"
                                  << "";
    QTest::newRow("capabilities empty") << "00 03"
                                        << "capabilities "
                                        << "";
    QTest::newRow("security") << "00 04  03 616e6e  02 7077"
                              << "security 'ann' [70 77]"
                              << "";
    QTest::newRow("settings") << "00 05  04 04 05 01 0a  02 03 01"
                              << "settings [04 05 01 0a] [03 01]"
                              << "";
    QTest::newRow("channel open request") << "00 06  09 636c6970626f617264"
                                          << "open request 'clipboard'"
                                          << "";
    QTest::newRow("channel open") << "00 07  08 6d61676e656c6c61 01 05"
                                  << "open 'magnella' status 1 number 5"
                                  << "";
    QTest::newRow("channel close") << "00 09  05"
                                   << "close 5"
                                   << "";
    QTest::newRow("surface create") << "00 0a  07000000  8007 3804"
                                    << "create 7 1920x1080"
                                    << "";
    QTest::newRow("surface destroy") << "00 0b  ffffffff"
                                     << "destroy 4294967295"
                                     << "";
    QTest::newRow("surface resize") << "00 0c  01000000  0004 0003"
                                    << "resize 1 1024x768"
                                    << "";
    QTest::newRow("rfx7") << "00 0d  02000000 02  21436587a9 11111111 11 66666666 66"
                             "  01 0000 0000 4000 4000  0000 0000 02 abcd"
                          << "rfx7 2 progressive 0 y 1,2,3,4,5,6,7,8,9,10 cb 1,1,1,1,1,1,1,1,1,1 "
                             "cr 6,6,6,6,6,6,6,6,6,6 {0,0 64x64} {0,0:[ab cd]}"
                          << "";
    QTest::newRow("rfx7 progressive") << "00 0d  00000000 07  0000000000 0000000000 0000000000  00"
                                      << "rfx7 0 progressive 1 y 0,0,0,0,0,0,0,0,0,0 cb 0,0,0,0,0,0,0,0,0,0 "
                                         "cr 0,0,0,0,0,0,0,0,0,0 {} {}"
                                      << "";
    QTest::newRow("image png") << "00 0d  03000000 04  02 0a00 f6ff 1000 1000  2000 2000 0100 0100"
                                  "  0a00 f6ff 03 89504e  c0ff 4000 00"
                               << "image 3 codec 4 {10,-10 16x16; 32,32 1x1} {10,-10:[89 50 4e]; -64,64:[]}"
                               << "";
    QTest::newRow("surface copy") << "00 0e  01000000  01 0000 0000 1000 0800  02000000  fcff 0800"
                                  << "copy 1 {0,0 16x8} to 2 by -4,8"
                                  << "";
    QTest::newRow("frame begin") << "00 0f  3412"
                                 << "frame begin 4660"
                                 << "";
    QTest::newRow("frame end") << "00 10  ffff"
                               << "frame end 65535"
                               << "";
    QTest::newRow("frame ack") << "00 11  0100"
                               << "frame ack 1"
                               << "";
    QTest::newRow("network detect begin") << "00 19"
                                          << "detect begin"
                                          << "";
    QTest::newRow("network detect end") << "00 1a  0807060504030201"
                                        << "detect end 72623859790382856"
                                        << "";
    QTest::newRow("network detect results") << "00 1b  2a00000000000000 0a00000000000000 0010000000000000"
                                            << "detect results 42 10 ms 4096 bytes"
                                            << "";
    QTest::newRow("pointer create") << "00 1c  03 0400 0500 02 8950"
                                    << "pointer create 3 hotspot 4,5 [89 50]"
                                    << "";
    QTest::newRow("pointer set cached") << "00 1d  03"
                                        << "pointer cached 3"
                                        << "";
    QTest::newRow("pointer hide") << "00 1e"
                                  << "pointer hide"
                                  << "";
    QTest::newRow("pointer system") << "00 1f"
                                    << "pointer system"
                                    << "";
    QTest::newRow("pointer position") << "00 20  ffff 0001"
                                      << "pointer at 65535,256"
                                      << "";
    QTest::newRow("channel number kept") << "07 1f"
                                         << "pointer system"
                                         << "";
}

void TestMessages::frames() {
    QFETCH(QString, frame);
    QFETCH(QString, fields);
    QFETCH(QString, written);

    const auto bytes = hex(frame.toLatin1().constData());
    std::vector<Byte> reencoded;
    QCOMPARE(describe(bytes, reencoded), fields);
    QCOMPARE(toHex(reencoded), written.isEmpty() ? toHex(bytes) : toHex(hex(written.toLatin1().constData())));
}

void TestMessages::settingEntries_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("parsed"); // empty = parse fails

    QTest::newRow("keyboard") << "01 07040000 04000000"
                              << "keyboard 1031 4";
    QTest::newRow("keyboard short") << "01 07040000 0400"
                                    << "";
    QTest::newRow("geometry with size") << "02 8007 3804 15020000 2f010000"
                                        << "geometry 1920x1080 533x303mm";
    QTest::newRow("geometry without size") << "02 0004 0003"
                                           << "geometry 1024x768 0x0mm";
    QTest::newRow("geometry half size") << "02 0004 0003 15020000"
                                        << "geometry 1024x768 533x0mm";
    QTest::newRow("geometry short") << "02 0004 00"
                                    << "";
    QTest::newRow("automatic adjust") << "03 02"
                                      << "flag 3 1";
    QTest::newRow("automatic adjust off") << "03 00"
                                          << "flag 3 0";
    QTest::newRow("automatic adjust short") << "03"
                                            << "";
    QTest::newRow("compression") << "04 05 01 0a"
                                 << "range 4 5 1 10";
    QTest::newRow("frame rate") << "05 1e 00 3c"
                                << "range 5 30 0 60";
    QTest::newRow("frame window short") << "06 02 01"
                                        << "";
    QTest::newRow("small block format") << "07 04"
                                        << "codec 7 4";
    QTest::newRow("big block format") << "08 03"
                                      << "codec 8 3";
    QTest::newRow("big block size") << "09 4000 2000"
                                    << "block 64x32";
    QTest::newRow("high quality upgrades") << "0a 01"
                                           << "flag 10 1";
    QTest::newRow("empty entry") << ""
                                 << "";
}

void TestMessages::settingEntries() {
    QFETCH(QString, entry);
    QFETCH(QString, parsed);

    const Blob e = hex(entry.toLatin1().constData());
    Byte tag = 0;
    QString got;
    if (entryTag(e, tag)) {
        Setting::Keyboard k;
        Setting::Geometry g;
        Setting::Range range;
        Setting::BlockSize b;
        bool flag = false;
        Byte codec = 0;
        switch (tag) {
        case SettingTag::Keyboard:
            if (Setting::parseKeyboard(e, k)) {
                got = QString("keyboard %1 %2").arg(k.layout).arg(k.type);
            }
            break;
        case SettingTag::Geometry:
            if (Setting::parseGeometry(e, g)) {
                got = QString("geometry %1x%2 %3x%4mm")
                          .arg(g.width)
                          .arg(g.height)
                          .arg(g.widthMM)
                          .arg(g.heightMM);
            }
            break;
        case SettingTag::AutomaticAdjust:
        case SettingTag::HighQualityUpgrades:
            if (Setting::parseFlag(e, tag, flag)) {
                got = QString("flag %1 %2").arg(tag).arg(flag);
            }
            break;
        case SettingTag::Compression:
        case SettingTag::FrameRate:
        case SettingTag::FrameWindow:
            if (Setting::parseRange(e, tag, range)) {
                got = QString("range %1 %2 %3 %4").arg(tag).arg(range.value).arg(range.min).arg(range.max);
            }
            break;
        case SettingTag::SmallBlockImageFormat:
        case SettingTag::BigBlockImageFormat:
            if (Setting::parseCodec(e, tag, codec)) {
                got = QString("codec %1 %2").arg(tag).arg(codec);
            }
            break;
        case SettingTag::BigBlockMinimumSize:
            if (Setting::parseBlockSize(e, b)) {
                got = QString("block %1x%2").arg(b.width).arg(b.height);
            }
            break;
        }
    }
    QCOMPARE(got, parsed);
}

void TestMessages::capabilityEntries() {
    // What the client builds for its own settings and capabilities, byte for byte.
    QCOMPARE(toHex(Setting::keyboard(0x407, 4)), QString("01 07 04 00 00 04 00 00 00"));
    QCOMPARE(toHex(Setting::geometry(1024, 768)), QString("02 00 04 00 03"));
    QCOMPARE(toHex(Setting::geometry(1024, 768, 300, 0)), QString("02 00 04 00 03"));
    QCOMPARE(toHex(Setting::geometry(1024, 768, 300, 200)),
             QString("02 00 04 00 03 2c 01 00 00 c8 00 00 00"));
    QCOMPARE(toHex(Setting::automaticAdjust(1)), QString("03 01"));
    QCOMPARE(toHex(Setting::compression(5)), QString("04 05 00 00"));
    QCOMPARE(toHex(Setting::frameRate(30)), QString("05 1e 00 00"));
    QCOMPARE(toHex(Setting::frameWindow(2)), QString("06 02 00 00"));
    QCOMPARE(toHex(Setting::smallBlockImageFormat(Codecs::Png)), QString("07 04"));
    QCOMPARE(toHex(Setting::bigBlockImageFormat(Codecs::Jpeg)), QString("08 03"));
    QCOMPARE(toHex(Setting::bigBlockMinimumSize(64, 32)), QString("09 40 00 20 00"));
    QCOMPARE(toHex(Setting::highQualityUpgrades(0)), QString("0a 00"));

    QCOMPARE(toHex(Capability::rfx7()), QString("02"));
    QCOMPARE(toHex(Capability::jpeg()), QString("03"));
    QCOMPARE(toHex(Capability::password()), QString("01"));
    QCOMPARE(toHex(Capability::codecList({2, 7})), QString("04 02 02 07"));
    QCOMPARE(toHex(Capability::codecList({})), QString("04 00"));

    std::vector<Byte> codecs;
    QVERIFY(Capability::parseCodecList(hex("04 03 02 07 05"), codecs));
    QCOMPARE(toHex(codecs), QString("02 07 05"));
    QVERIFY(!Capability::parseCodecList(hex("04 03 02 07"), codecs));
    QVERIFY(!Capability::parseCodecList(hex("02"), codecs));
}

void TestMessages::clientCodecs_data() {
    QTest::addColumn<QStringList>("readable");
    QTest::addColumn<QString>("list");

    QTest::newRow("no optional formats") << QStringList{} << "04 02 02 07";
    QTest::newRow("all") << QStringList{"webp", "gif", "png", "jpeg"} << "04 06 02 07 03 04 05 06";
    QTest::newRow("png and webp") << QStringList{"png", "webp"} << "04 04 02 07 04 06";
    QTest::newRow("unrelated formats") << QStringList{"bmp", "svg"} << "04 02 02 07";
}

void TestMessages::clientCodecs() {
    QFETCH(QStringList, readable);
    QFETCH(QString, list);

    const auto codecs = Capability::clientCodecs([&](const char* name) { return readable.contains(name); });
    const BlobList entries = Capability::clientEntries(codecs);
    QCOMPARE(blobs(entries), "[02] [03] [" + list + "] [01]");
}

QTEST_GUILESS_MAIN(TestMessages)
#include "tst_messages.moc"

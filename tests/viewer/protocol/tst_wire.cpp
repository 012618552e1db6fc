#include "Hex.h"

#include "viewer/protocol/Entries.h"
#include "viewer/protocol/Wire.h"

#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <new>

using namespace Protocol;

// The largest single allocation since the last reset, to show that lengths read from the wire do not
// drive allocations on their own.
static std::atomic<std::size_t> g_largestAllocation{0};

void* operator new(std::size_t n) {
    std::size_t seen = g_largestAllocation.load();
    while (n > seen && !g_largestAllocation.compare_exchange_weak(seen, n)) {
    }
    if (void* p = std::malloc(n ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

class TestWire : public QObject {
    Q_OBJECT

private slots:
    void leb128Read_data();
    void leb128Read();
    void leb128Write_data();
    void leb128Write();
    void fixedWidth_data();
    void fixedWidth();
    void blobAndString_data();
    void blobAndString();
    void blobList_data();
    void blobList();
    void rectList_data();
    void rectList();
    void tileList_data();
    void tileList();
    void quantSet();
    void hostileLengthsAllocateNothingLarge_data();
    void hostileLengthsAllocateNothingLarge();
    void writerStaysRefusedAfterAnOversizedLength();
    void listsStopAtTheirEntryCap_data();
    void listsStopAtTheirEntryCap();
};

void TestWire::leb128Read_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<quint32>("value");
    QTest::addColumn<int>("consumed");

    QTest::newRow("zero") << QByteArray::fromHex("00") << true << 0u << 1;
    QTest::newRow("one byte max") << QByteArray::fromHex("7f") << true << 127u << 1;
    QTest::newRow("two bytes") << QByteArray::fromHex("8001") << true << 128u << 2;
    QTest::newRow("300") << QByteArray::fromHex("ac02") << true << 300u << 2;
    QTest::newRow("three bytes") << QByteArray::fromHex("808001") << true << 16384u << 3;
    QTest::newRow("four bytes max") << QByteArray::fromHex("ffffff7f") << true << 0x0FFFFFFFu << 4;
    QTest::newRow("trailing bytes stay") << QByteArray::fromHex("05ff") << true << 5u << 1;
    QTest::newRow("non-shortest form") << QByteArray::fromHex("8000") << true << 0u << 2;
    QTest::newRow("empty") << QByteArray() << false << 0u << 0;
    QTest::newRow("ends inside") << QByteArray::fromHex("80") << false << 0u << 0;
    QTest::newRow("ends inside third") << QByteArray::fromHex("ffff") << false << 0u << 0;
    QTest::newRow("fourth byte continues") << QByteArray::fromHex("8080808001") << false << 0u << 0;
    QTest::newRow("four continuation bytes at end") << QByteArray::fromHex("ffffffff") << false << 0u << 0;
}

void TestWire::leb128Read() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(quint32, value);
    QFETCH(int, consumed);

    Reader r(reinterpret_cast<const Byte*>(bytes.constData()), bytes.size());
    std::uint32_t v = 0xDEADBEEF;
    QCOMPARE(r.readLeb128(v), ok);
    if (ok) {
        QCOMPARE(v, value);
    }
    QCOMPARE(int(bytes.size() - r.remaining()), consumed);
}

void TestWire::leb128Write_data() {
    QTest::addColumn<quint64>("value");
    QTest::addColumn<QString>("bytes"); // empty = refused

    QTest::newRow("zero") << quint64(0) << "00";
    QTest::newRow("127") << quint64(127) << "7f";
    QTest::newRow("128") << quint64(128) << "80 01";
    QTest::newRow("300") << quint64(300) << "ac 02";
    QTest::newRow("16383") << quint64(16383) << "ff 7f";
    QTest::newRow("16384") << quint64(16384) << "80 80 01";
    QTest::newRow("2^28-1") << quint64((1u << 28) - 1) << "ff ff ff 7f";
    QTest::newRow("2^28 refused") << quint64(1u << 28) << "";
    QTest::newRow("2^32 refused") << (quint64(1) << 32) << "";
}

void TestWire::leb128Write() {
    QFETCH(quint64, value);
    QFETCH(QString, bytes);

    Writer w;
    w.u8(0xAA).leb128(value);
    if (bytes.isEmpty()) {
        QVERIFY(!w.ok());
        QVERIFY(encodeLeb128(value).empty());
        return;
    }
    QVERIFY(w.ok());
    QCOMPARE(toHex(w.bytes()), "aa " + bytes);
    QCOMPARE(toHex(encodeLeb128(value)), bytes);

    // What the encoder writes the reader takes back.
    const auto encoded = encodeLeb128(value);
    Reader r(encoded);
    std::uint32_t back = 0;
    QVERIFY(r.readLeb128(back));
    QCOMPARE(quint64(back), value);
    QVERIFY(r.atEnd());
}

void TestWire::fixedWidth_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("value");

    QTest::newRow("u8") << "u8" << QByteArray::fromHex("fe") << true << qint64(0xFE);
    QTest::newRow("u16 little-endian") << "u16" << QByteArray::fromHex("3412") << true << qint64(0x1234);
    QTest::newRow("u16 max") << "u16" << QByteArray::fromHex("ffff") << true << qint64(0xFFFF);
    QTest::newRow("i16 negative") << "i16" << QByteArray::fromHex("ffff") << true << qint64(-1);
    QTest::newRow("i16 min") << "i16" << QByteArray::fromHex("0080") << true << qint64(-32768);
    QTest::newRow("u32") << "u32" << QByteArray::fromHex("78563412") << true << qint64(0x12345678);
    QTest::newRow("u32 high bit") << "u32" << QByteArray::fromHex("000000ff") << true << qint64(0xFF000000u);
    QTest::newRow("u64") << "u64" << QByteArray::fromHex("0807060504030201") << true
                         << qint64(0x0102030405060708LL);
    QTest::newRow("u8 empty") << "u8" << QByteArray() << false << qint64(0);
    QTest::newRow("u16 short") << "u16" << QByteArray::fromHex("01") << false << qint64(0);
    QTest::newRow("i16 short") << "i16" << QByteArray::fromHex("01") << false << qint64(0);
    QTest::newRow("u32 short") << "u32" << QByteArray::fromHex("010203") << false << qint64(0);
    QTest::newRow("u64 short") << "u64" << QByteArray::fromHex("01020304050607") << false << qint64(0);
}

void TestWire::fixedWidth() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(qint64, value);

    Reader r(reinterpret_cast<const Byte*>(bytes.constData()), bytes.size());
    Writer w;
    bool got = false;
    qint64 v = 0;
    if (kind == "u8") {
        std::uint8_t x = 0;
        got = r.readU8(x);
        v = x;
        w.u8(x);
    } else if (kind == "u16") {
        std::uint16_t x = 0;
        got = r.readU16(x);
        v = x;
        w.u16(x);
    } else if (kind == "i16") {
        std::int16_t x = 0;
        got = r.readI16(x);
        v = x;
        w.i16(x);
    } else if (kind == "u32") {
        std::uint32_t x = 0;
        got = r.readU32(x);
        v = x;
        w.u32(x);
    } else {
        std::uint64_t x = 0;
        got = r.readU64(x);
        v = qint64(x);
        w.u64(x);
    }
    QCOMPARE(got, ok);
    if (!ok) {
        QCOMPARE(int(r.remaining()), bytes.size()); // a failed read does not advance
        return;
    }
    QCOMPARE(v, value);
    QVERIFY(r.atEnd());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(w.bytes().data()), int(w.bytes().size())), bytes);
}

void TestWire::blobAndString_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("three bytes") << QByteArray::fromHex("03616263") << true << QByteArray("abc");
    QTest::newRow("empty") << QByteArray::fromHex("00") << true << QByteArray();
    QTest::newRow("utf-8 kept as bytes") << QByteArray::fromHex("02c3a4") << true << QByteArray("\xc3\xa4");
    QTest::newRow("trailing bytes stay") << QByteArray::fromHex("0161ff") << true << QByteArray("a");
    QTest::newRow("two-byte length") << QByteArray::fromHex("8001") + QByteArray(128, 'x') << true
                                     << QByteArray(128, 'x');
    QTest::newRow("longer than the frame") << QByteArray::fromHex("04616263") << false << QByteArray();
    QTest::newRow("no length") << QByteArray() << false << QByteArray();
    QTest::newRow("length ends inside") << QByteArray::fromHex("80") << false << QByteArray();
    QTest::newRow("length too long") << QByteArray::fromHex("80808080") << false << QByteArray();
}

void TestWire::blobAndString() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(QByteArray, content);

    const auto* data = reinterpret_cast<const Byte*>(bytes.constData());
    Reader blobReader(data, bytes.size());
    Blob b;
    QCOMPARE(blobReader.readBlob(b), ok);
    Reader stringReader(data, bytes.size());
    String s;
    QCOMPARE(stringReader.readString(s), ok);
    if (!ok) {
        QCOMPARE(int(blobReader.remaining()), bytes.size());
        QCOMPARE(int(stringReader.remaining()), bytes.size());
        return;
    }
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(b.data()), int(b.size())), content);
    QCOMPARE(QByteArray::fromStdString(s), content);
    QCOMPARE(blobReader.remaining(), stringReader.remaining());

    // Written back, the field is the bytes that were read.
    Writer w;
    w.blob(b).string(s);
    const int used = bytes.size() - int(blobReader.remaining());
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(w.bytes().data()), int(w.bytes().size())),
             bytes.left(used) + bytes.left(used));
}

void TestWire::blobList_data() {
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("count");

    QTest::newRow("empty body is an empty list") << "" << true << 0;
    QTest::newRow("one empty blob") << "00" << true << 1;
    QTest::newRow("three blobs") << "01 02  00  02 04 01" << true << 3;
    QTest::newRow("last blob truncated") << "01 02  03 01 02" << false << 0;
    QTest::newRow("length ends inside") << "01 02  80" << false << 0;
}

void TestWire::blobList() {
    QFETCH(QString, bytes);
    QFETCH(bool, ok);
    QFETCH(int, count);

    const auto data = hex(bytes.toLatin1().constData());
    Reader r(data);
    BlobList list{Blob{9}};
    QCOMPARE(r.readBlobList(list), ok);
    if (!ok) {
        QCOMPARE(list.size(), std::size_t(1)); // untouched on failure
        return;
    }
    QCOMPARE(int(list.size()), count);
    QCOMPARE(toHex(Writer().blobList(list).take()), toHex(data));
}

void TestWire::rectList_data() {
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("rects"); // x,y,w,h;...

    QTest::newRow("none") << "00" << true << "";
    QTest::newRow("one") << "01  0a00 1400 2000 1000" << true << "10,20,32,16";
    QTest::newRow("negative origin") << "01  f6ff ecff ffff 0100" << true << "-10,-20,65535,1";
    QTest::newRow("two") << "02  0000 0000 4000 4000  4000 0000 4000 4000" << true << "0,0,64,64;64,0,64,64";
    QTest::newRow("count beyond the frame") << "02  0000 0000 4000 4000" << false << "";
    QTest::newRow("last rect truncated") << "01  0000 0000 4000 40" << false << "";
    QTest::newRow("no count") << "" << false << "";
}

void TestWire::rectList() {
    QFETCH(QString, bytes);
    QFETCH(bool, ok);
    QFETCH(QString, rects);

    const auto data = hex(bytes.toLatin1().constData());
    Reader r(data);
    RectList list;
    QCOMPARE(r.readRectList(list), ok);
    if (!ok) {
        QCOMPARE(r.remaining(), data.size());
        return;
    }
    QStringList got;
    for (const Rect& rect : list) {
        got << QString("%1,%2,%3,%4").arg(rect.x).arg(rect.y).arg(rect.width).arg(rect.height);
    }
    QCOMPARE(got.join(';'), rects);
    QCOMPARE(toHex(Writer().rectList(list).take()), toHex(data));
}

void TestWire::tileList_data() {
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("tiles"); // x,y,size;...

    QTest::newRow("no tiles") << "" << true << "";
    QTest::newRow("one") << "4000 8000 03 aabbcc" << true << "64,128,3";
    QTest::newRow("negative and empty") << "c0ff 0000 00  0000 c0ff 01 ee" << true << "-64,0,0;0,-64,1";
    QTest::newRow("data beyond the frame") << "4000 8000 04 aabbcc" << false << "";
    QTest::newRow("position truncated") << "4000 8000 00  40" << false << "";
    QTest::newRow("length missing") << "4000 8000" << false << "";
}

void TestWire::tileList() {
    QFETCH(QString, bytes);
    QFETCH(bool, ok);
    QFETCH(QString, tiles);

    const auto data = hex(bytes.toLatin1().constData());
    Reader r(data);
    TileList list;
    QCOMPARE(r.readTileList(list), ok);
    if (!ok) {
        QCOMPARE(r.remaining(), data.size());
        return;
    }
    QStringList got;
    for (const Tile& t : list) {
        got << QString("%1,%2,%3").arg(t.x).arg(t.y).arg(t.data.size());
    }
    QCOMPARE(got.join(';'), tiles);
    QCOMPARE(toHex(Writer().tileList(list).take()), toHex(data));
}

void TestWire::quantSet() {
    // Low nibble first: byte 0x21 holds LL3 = 1 and LH3 = 2.
    const auto data = hex("21 43 65 87 a9  ff");
    Reader r(data);
    QuantSet q{};
    QVERIFY(r.readQuantSet(q));
    QCOMPARE(r.remaining(), std::size_t(1));
    const QuantSet expected{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    QVERIFY(q == expected);
    QCOMPARE(toHex(Writer().quantSet(q).take()), QString("21 43 65 87 a9"));

    const auto shortData = hex("21 43 65 87");
    Reader shortReader(shortData);
    QVERIFY(!shortReader.readQuantSet(q));
    QCOMPARE(shortReader.remaining(), std::size_t(4));
}

void TestWire::hostileLengthsAllocateNothingLarge_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("bytes");

    // Each claims up to 2^28-1 items or bytes in a frame of a few bytes.
    QTest::newRow("blob length") << "blob"
                                 << "ffffff7f 00";
    QTest::newRow("string length") << "string"
                                   << "ffffff7f 41 42";
    QTest::newRow("rect count") << "rects"
                                << "ffffff7f 0000 0000 0100 0100";
    QTest::newRow("rect count just past the frame") << "rects"
                                                    << "02 0000 0000 0100 0100 00";
    QTest::newRow("tile data length") << "tiles"
                                      << "0000 0000 ffffff7f 00";
    QTest::newRow("blob list entry length") << "blobs"
                                            << "00 ffffff7f";
    QTest::newRow("codec list count") << "codecs"
                                      << "04 ffffff7f 02 07";
}

void TestWire::hostileLengthsAllocateNothingLarge() {
    QFETCH(QString, field);
    QFETCH(QString, bytes);

    const auto data = hex(bytes.toLatin1().constData());
    Reader r(data);
    bool ok = true;
    Blob blob;
    String string;
    RectList rects;
    TileList tiles;
    BlobList blobs;
    std::vector<Byte> codecs;
    g_largestAllocation = 0;
    if (field == "blob") {
        ok = r.readBlob(blob);
    } else if (field == "string") {
        ok = r.readString(string);
    } else if (field == "rects") {
        ok = r.readRectList(rects);
    } else if (field == "tiles") {
        ok = r.readTileList(tiles);
    } else if (field == "blobs") {
        ok = r.readBlobList(blobs);
    } else {
        ok = Capability::parseCodecList(data, codecs);
    }
    const std::size_t largest = g_largestAllocation;
    QVERIFY(!ok);
    QVERIFY2(largest <= 1024, qPrintable(QString("allocated %1 bytes").arg(largest)));
}

void TestWire::writerStaysRefusedAfterAnOversizedLength() {
    // A refused length must not leave a frame that reads as something else.
    Writer w;
    w.u8(1).leb128(1u << 28).u8(2).string("abc");
    QVERIFY(!w.ok());
    QCOMPARE(toHex(w.bytes()), QString("01"));
}

void TestWire::listsStopAtTheirEntryCap_data() {
    QTest::addColumn<bool>("tiles");
    QTest::addColumn<int>("entries");
    QTest::addColumn<bool>("ok");

    // The smallest entries (an empty blob; a tile with empty data) cost far more in memory than on the
    // wire, so a frame full of them must not turn into a list many times the frame's size.
    const int blobCap = int(MaxBlobListEntries);
    const int tileCap = int(MaxTileListEntries);
    QTest::newRow("blob list at the cap") << false << blobCap << true;
    QTest::newRow("blob list over the cap") << false << blobCap + 1 << false;
    QTest::newRow("tile list at the cap") << true << tileCap << true;
    QTest::newRow("tile list over the cap") << true << tileCap + 1 << false;
}

void TestWire::listsStopAtTheirEntryCap() {
    QFETCH(bool, tiles);
    QFETCH(int, entries);
    QFETCH(bool, ok);

    const std::size_t entrySize = tiles ? 5 : 1; // i16 x, i16 y, empty blob / empty blob
    const std::vector<Byte> data(std::size_t(entries) * entrySize, 0);
    Reader r(data);
    TileList tileList;
    BlobList blobList;
    QCOMPARE(tiles ? r.readTileList(tileList) : r.readBlobList(blobList), ok);
    QCOMPARE(r.atEnd(), ok);
    QCOMPARE(tiles ? tileList.size() : blobList.size(), ok ? std::size_t(entries) : std::size_t(0));
}

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"

// The tile decoder: bit reader, RLGR3, the alpha plane's placement, the progressive cache and
// damaged input.

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <QtTest>

#include <memory>
#include <random>
#include <vector>

using Bytes = std::vector<uint8_t>;
using Values = std::vector<int16_t>;
Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(Values)

namespace {

constexpr ptrdiff_t kStride = 256;

struct Decoded {
    Rfx7DecodeResult result;
    Bytes pixels;
    uint8_t b(int i) const { return pixels[size_t(i) * 4]; }
    uint8_t g(int i) const { return pixels[size_t(i) * 4 + 1]; }
    uint8_t r(int i) const { return pixels[size_t(i) * 4 + 2]; }
    uint8_t a(int i) const { return pixels[size_t(i) * 4 + 3]; }
};

const Rfx7QuantSet kOnes = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

Decoded decode(const Bytes& tile, Rfx7TileCacheEntry* entry = nullptr, const Rfx7QuantSet& quant = kOnes) {
    static Rfx7WorkBuffer work;
    Decoded d;
    d.pixels.assign(size_t(kStride) * 64, 0xA5);
    d.result =
        decodeRfx7Tile(work, tile.data(), tile.size(), quant, quant, quant, entry, d.pixels.data(), kStride);
    return d;
}

Values zeroCoefficients() {
    return Values(kRfx7CoefficientCount, 0);
}

// Quantised values whose stream is exactly `bits` long, found by trying coefficient sizes.
Values valuesWithStreamLength(uint64_t bits) {
    Values values = zeroCoefficients();
    for (int first = 1; first < 4000; ++first)
        for (int second = 0; second < 40; ++second) {
            values[0] = int16_t(first);
            values[9000] = int16_t(second);
            Rfx7BitWriter writer;
            rlgr3Encode(writer, values.data(), values.size());
            if (writer.bitCount() == bits)
                return values;
        }
    qFatal("no stream of the wanted length");
    return values;
}

Bytes alphaStream(uint8_t planeValue) {
    Values alpha(kRfx7PlaneSize, int16_t(int8_t(planeValue)));
    Rfx7BitWriter writer;
    rlgr3Encode(writer, alpha.data(), alpha.size());
    return writer.take();
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::unique_ptr<Rfx7TileCacheEntry> newEntry() {
    return std::make_unique<Rfx7TileCacheEntry>();
}

} // namespace

class TestRfx7Decoder : public QObject {
    Q_OBJECT

private slots:
    void bitReaderStopsAtTheEnd_data() {
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<QList<int>>("widths");
        QTest::addColumn<QList<uint>>("values");
        QTest::addColumn<QList<uint>>("consumed");
        QTest::newRow("most significant bit first")
            << Bytes{0xA5} << QList<int>{1, 1, 2, 4} << QList<uint>{1, 0, 2, 5} << QList<uint>{1, 2, 4, 8};
        QTest::newRow("across bytes") << Bytes{0x12, 0x34, 0x56} << QList<int>{4, 12, 8}
                                      << QList<uint>{0x1, 0x234, 0x56} << QList<uint>{4, 16, 24};
        QTest::newRow("past the end: what remains, then zeros")
            << Bytes{0xFF} << QList<int>{6, 5, 3} << QList<uint>{0x3F, 0x18, 0} << QList<uint>{6, 8, 8};
        QTest::newRow("empty") << Bytes{} << QList<int>{1, 32} << QList<uint>{0, 0} << QList<uint>{0, 0};
        QTest::newRow("32 bits") << Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x01} << QList<int>{32, 8}
                                 << QList<uint>{0xDEADBEEF, 0x01} << QList<uint>{32, 40};
    }
    void bitReaderStopsAtTheEnd() {
        QFETCH(Bytes, bytes);
        QFETCH(QList<int>, widths);
        QFETCH(QList<uint>, values);
        QFETCH(QList<uint>, consumed);
        Rfx7BitReader reader(bytes.data(), bytes.size());
        for (int i = 0; i < widths.size(); ++i) {
            QCOMPARE(reader.readBits(widths[i]), values[i]);
            QCOMPARE(reader.bitsConsumed(), uint64_t(consumed[i]));
        }
        reader.seek(1000);
        QCOMPARE(reader.bitsConsumed(), reader.totalBits());
        QVERIFY(reader.atEnd());
    }

    void rlgr3RoundTrip_data() {
        QTest::addColumn<Values>("values");
        std::mt19937 random(5);
        Values small(kRfx7CoefficientCount), large(kRfx7CoefficientCount), sparse(kRfx7CoefficientCount, 0);
        for (auto& v : small)
            v = int16_t(int(random() % 5) - 2);
        for (auto& v : large)
            v = int16_t(uint16_t(random()));
        for (size_t i = 0; i < sparse.size(); i += 1 + random() % 300)
            sparse[i] = int16_t(int(random() % 2001) - 1000);
        Values extremes(64);
        for (size_t i = 0; i < extremes.size(); ++i)
            extremes[i] = int16_t(i % 3 == 0 ? -32768 : (i % 3 == 1 ? 32767 : 0));
        Values lastOnly(kRfx7CoefficientCount, 0);
        lastOnly.back() = -3;
        Values alternating(999);
        for (size_t i = 0; i < alternating.size(); ++i)
            alternating[i] = int16_t(i % 2 ? 1 : -1);
        // Many non-zero pairs drive kp to its floor; the zero pairs after them must bring back run mode.
        Values floorThenRuns = {5};
        for (int i = 0; i < 60; ++i)
            floorThenRuns.push_back(int16_t(i % 2 ? 3 : -2));
        floorThenRuns.insert(floorThenRuns.end(), 4, 0);
        floorThenRuns.insert(floorThenRuns.end(), 5000, 0);
        floorThenRuns.push_back(9);
        QTest::newRow("all zero") << zeroCoefficients();
        QTest::newRow("small") << small;
        QTest::newRow("full 16-bit range") << large;
        QTest::newRow("sparse") << sparse;
        QTest::newRow("extremes") << extremes;
        QTest::newRow("one value at the end") << lastOnly;
        QTest::newRow("odd count of non-zero values") << alternating;
        QTest::newRow("kp floor, then long runs") << floorThenRuns;
        QTest::newRow("single value") << Values{-7};
    }
    void rlgr3RoundTrip() {
        QFETCH(Values, values);
        Rfx7BitWriter writer;
        rlgr3Encode(writer, values.data(), values.size());
        const uint64_t bits = writer.bitCount();
        const Bytes stream = writer.take();
        Values decoded(values.size(), 1234);
        Rfx7BitReader reader(stream.data(), stream.size());
        QVERIFY(rlgr3Decode(reader, decoded.data(), decoded.size()));
        QCOMPARE(decoded, values);
        // The alpha plane's position depends on reading exactly the coefficient bits.
        QCOMPARE(reader.bitsConsumed(), bits);

        // The 8-bit form keeps the low byte of the same values.
        std::vector<uint8_t> bytes(values.size());
        Rfx7BitReader byteReader(stream.data(), stream.size());
        QVERIFY(rlgr3Decode(byteReader, bytes.data(), bytes.size()));
        for (size_t i = 0; i < values.size(); ++i)
            QCOMPARE(bytes[i], uint8_t(values[i]));
    }

    // 22 zero bits: the run grows 2, 2, 4, 4, 8, ... while kp climbs by 4; at kp 80 (k = 10) it stops
    // climbing, so the last zeros add 1024 each: 6140 in all, then 10 remainder bits.
    void runParameterStopsAt80() {
        Rfx7BitWriter writer;
        writer.write(0, 22);
        writer.write(1, 1);
        writer.write(0, 10); // remainder
        writer.write(0, 1);  // sign
        writer.write(0, 2);  // Golomb-Rice with kr = 1: magnitude 0, so the value is 1
        const Bytes stream = writer.take();
        Values decoded(6141, 99);
        Rfx7BitReader reader(stream.data(), stream.size());
        QVERIFY(rlgr3Decode(reader, decoded.data(), decoded.size()));
        QCOMPARE(decoded.back(), int16_t(1));
        QCOMPARE(std::count(decoded.begin(), decoded.end(), int16_t(0)), 6140);
        QCOMPARE(reader.bitsConsumed(), uint64_t(36));
    }

    void dequantize_data() {
        QTest::addColumn<int>("band");
        QTest::addColumn<int>("quant");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("q 0 clears") << 8 << 0 << 1234 << 0;
        QTest::newRow("q 1 leaves") << 8 << 1 << -1234 << -1234;
        QTest::newRow("q 2 doubles") << 0 << 2 << -3 << -6;
        QTest::newRow("q 6 on LL3") << 0 << 6 << 5 << 160;
        QTest::newRow("q 9 on HH1") << 9 << 9 << -2 << -512;
        QTest::newRow("q 15 wraps to 16 bits") << 4 << 15 << 3 << -16384;
    }
    void dequantize() {
        QFETCH(int, band);
        QFETCH(int, quant);
        QFETCH(int, value);
        QFETCH(int, expected);
        Values plane(kRfx7PlaneSize, int16_t(value));
        Rfx7QuantSet set = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        set[size_t(band)] = uint8_t(quant);
        dequantizePlane(plane.data(), set);
        const Rfx7Band where = kRfx7Bands[band];
        for (int i = 0; i < kRfx7PlaneSize; ++i) {
            const bool inBand = i >= where.start && i < where.start + where.length;
            QCOMPARE(int(plane[size_t(i)]), inBand ? expected : value);
        }
    }

    void ll3DeltasAreARunningSum() {
        Values plane(kRfx7PlaneSize, 3);
        plane[4032] = 32760;
        decodeLl3Deltas(plane.data());
        QCOMPARE(plane[4031], int16_t(3)); // the bands before LL3 stay
        QCOMPARE(plane[4032], int16_t(32760));
        QCOMPARE(plane[4033], int16_t(32763));
        QCOMPARE(plane[4035], int16_t(-32767)); // wraps around 16 bits
        QCOMPARE(plane[4095], int16_t(uint16_t(32760 + 63 * 3)));
    }

    void flatLl3GivesAFlatPlane_data() {
        QTest::addColumn<int>("level");
        QTest::newRow("positive") << 1000;
        QTest::newRow("negative") << -4096;
        QTest::newRow("zero") << 0;
    }
    void flatLl3GivesAFlatPlane() {
        QFETCH(int, level);
        Values plane(kRfx7PlaneSize, 0), scratch(kRfx7PlaneSize, -1);
        std::fill(plane.begin() + 4032, plane.end(), int16_t(level));
        inverseDwt(plane.data(), scratch.data());
        QCOMPARE(plane, Values(kRfx7PlaneSize, int16_t(level)));
    }

    void zeroPlanesGiveOpaqueMidGrey() {
        const Decoded d = decode(rfx7EncodeStream(zeroCoefficients().data(), nullptr));
        QVERIFY(d.result.ok());
        QVERIFY(!d.result.hasAlpha);
        for (int i = 0; i < kRfx7PlaneSize; ++i) {
            QCOMPARE(d.b(i), uint8_t(128));
            QCOMPARE(d.g(i), uint8_t(128));
            QCOMPARE(d.r(i), uint8_t(128));
            QCOMPARE(d.a(i), uint8_t(255));
        }
    }

    // Known pixels of the colour formula: channel offsets, clamping at both ends, alpha stored inverted.
    void colourConversion_data() {
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("cb");
        QTest::addColumn<int>("cr");
        QTest::addColumn<int>("alpha");
        QTest::addColumn<QList<int>>("bgra");
        QTest::newRow("brighter grey") << 1000 << 0 << 0 << 0 << QList<int>{159, 159, 159, 255};
        QTest::newRow("blue and red apart") << 0 << 1000 << -1000 << 0 << QList<int>{183, 139, 84, 255};
        QTest::newRow("dark red, translucent") << -1500 << -2000 << 2500 << 200 << QList<int>{0, 46, 190, 55};
        QTest::newRow("white, transparent") << 8000 << 0 << 0 << 255 << QList<int>{255, 255, 255, 0};
        QTest::newRow("black") << -5000 << 0 << 0 << 0 << QList<int>{0, 0, 0, 255};
        QTest::newRow("mixed clamps") << 3000 << -3000 << 3000 << 17 << QList<int>{55, 187, 255, 238};
        // Planes beyond what a real picture gives (crafted streams, high quantisers on saturated edges)
        // still follow the formula exactly, with sums that need more than 32 bits.
        QTest::newRow("bright Y, strong negative Cb")
            << 13000 << -6000 << 0 << 0 << QList<int>{202, 255, 255, 255};
        QTest::newRow("dark Y, strong Cr") << -20000 << 0 << 15000 << 0 << QList<int>{0, 0, 160, 255};
        QTest::newRow("dark Y, strong Cb") << -20000 << 20000 << 0 << 0 << QList<int>{255, 0, 0, 255};
        QTest::newRow("Y past 32-bit base") << 30000 << 0 << 0 << 0 << QList<int>{255, 255, 255, 255};
        QTest::newRow("all largest") << 32767 << 32767 << 32767 << 0 << QList<int>{255, 68, 255, 255};
        QTest::newRow("all smallest") << -32768 << -32768 << -32768 << 0 << QList<int>{0, 187, 0, 255};
        QTest::newRow("opposite extremes") << -32768 << 32767 << -32768 << 9 << QList<int>{255, 0, 0, 246};
        QTest::newRow("bright Y, both chroma negative")
            << 16000 << -12000 << -9000 << 0 << QList<int>{0, 255, 233, 255};
    }
    void colourConversion() {
        QFETCH(int, y);
        QFETCH(int, cb);
        QFETCH(int, cr);
        QFETCH(int, alpha);
        QFETCH(QList<int>, bgra);
        const Values yPlane(kRfx7PlaneSize, int16_t(y)), cbPlane(kRfx7PlaneSize, int16_t(cb)),
            crPlane(kRfx7PlaneSize, int16_t(cr));
        const Bytes alphaPlane(kRfx7PlaneSize, uint8_t(alpha));
        for (const Rfx7Kernels* kernels : {&rfx7ScalarKernels(), rfx7Sse2Kernels(), rfx7Avx2Kernels()}) {
            if (!kernels)
                continue;
            Bytes pixels(size_t(kStride) * 64, 0);
            kernels->yCbCrToArgb(yPlane.data(), cbPlane.data(), crPlane.data(), alphaPlane.data(),
                                 pixels.data(), kStride);
            for (size_t i : {size_t(0), size_t(kRfx7PlaneSize - 1)})
                for (size_t c = 0; c < 4; ++c)
                    QVERIFY2(int(pixels[i * 4 + c]) == bgra[int(c)],
                             qPrintable(QStringLiteral("%1: byte %2 is %3, expected %4")
                                            .arg(kernels->name)
                                            .arg(c)
                                            .arg(pixels[i * 4 + c])
                                            .arg(bgra[int(c)])));
        }
    }

    // Where the alpha plane is looked for: the first multiple of 64 bits strictly beyond the coefficients.
    void alphaPlanePlacement_data() {
        QTest::addColumn<int>("coefficientBits");
        QTest::addColumn<int>("alphaAt"); // -1: no alpha plane follows
        QTest::addColumn<bool>("hasAlpha");
        QTest::newRow("ends on 64-bit boundary, nothing follows") << 128 << -1 << false;
        QTest::newRow("ends on 128 bits, alpha from bit 192") << 128 << 192 << true;
        QTest::newRow("ends inside a word, alpha from the next") << 100 << 128 << true;
        QTest::newRow("ends inside a word, nothing follows") << 100 << -1 << false;
    }
    void alphaPlanePlacement() {
        QFETCH(int, coefficientBits);
        QFETCH(int, alphaAt);
        QFETCH(bool, hasAlpha);
        const Values values = valuesWithStreamLength(uint64_t(coefficientBits));
        Rfx7BitWriter writer;
        rlgr3Encode(writer, values.data(), values.size());
        Bytes tile;
        if (alphaAt >= 0) {
            // Ones in the gap: a decoder that started the plane early would read them.
            writer.writeOnes(uint64_t(alphaAt - coefficientBits));
            tile = concat(writer.take(), alphaStream(0x30));
        } else {
            tile = writer.take();
        }
        const Decoded d = decode(tile);
        QVERIFY(d.result.ok());
        QCOMPARE(d.result.hasAlpha, hasAlpha);
        for (int i = 0; i < kRfx7PlaneSize; ++i)
            QCOMPARE(d.a(i), uint8_t(hasAlpha ? 255 - 0x30 : 255));
    }

    void refinementKeepsCachedAlpha() {
        auto entry = newEntry();
        entry->hasCoefficients = 1;
        entry->hasAlpha = 1;
        entry->alpha.fill(0x40);
        // Bytes after the refinement that look like an alpha plane must not be read as one.
        Rfx7BitWriter writer;
        rlgr3Encode(writer, zeroCoefficients().data(), kRfx7CoefficientCount);
        writer.padTo((writer.bitCount() / 64 + 1) * 64);
        const Decoded d = decode(concat(writer.take(), alphaStream(0x10)), entry.get());
        QVERIFY(d.result.ok());
        QVERIFY(d.result.hasAlpha);
        for (int i = 0; i < kRfx7PlaneSize; ++i)
            QCOMPARE(d.a(i), uint8_t(255 - 0x40));
        QCOMPARE(entry->alpha[0], uint8_t(0x40));
    }

    // A first pass without alpha into an entry that once had alpha (a full update clears only the
    // coefficients flag): later refinements must show the tile opaque, not the old alpha.
    void firstPassWithoutAlphaForgetsOldAlpha() {
        auto entry = newEntry();
        entry->hasAlpha = 1;
        entry->alpha.fill(0x40);
        const Bytes opaque = rfx7EncodeStream(zeroCoefficients().data(), nullptr);
        const Decoded first = decode(opaque, entry.get());
        QVERIFY(first.result.ok());
        QVERIFY(!first.result.hasAlpha);
        QCOMPARE(entry->hasCoefficients, uint8_t(1));
        QCOMPARE(entry->hasAlpha, uint8_t(0));
        const Decoded refined = decode(opaque, entry.get());
        QVERIFY(refined.result.ok());
        QVERIFY(!refined.result.hasAlpha);
        QCOMPARE(refined.a(0), uint8_t(255));
    }

    void firstPassWithAlphaIsCached() {
        auto entry = newEntry();
        const std::vector<uint8_t> plane(kRfx7PlaneSize, 0x22);
        const Decoded d = decode(rfx7EncodeStream(zeroCoefficients().data(), plane.data()), entry.get());
        QVERIFY(d.result.ok());
        QVERIFY(d.result.hasAlpha);
        QCOMPARE(entry->hasAlpha, uint8_t(1));
        QCOMPARE(entry->alpha[4095], uint8_t(0x22));
        QCOMPARE(d.a(4095), uint8_t(255 - 0x22));
    }

    void refinementAddsToTheCachedCoefficients() {
        auto entry = newEntry();
        Values first = zeroCoefficients(), second = zeroCoefficients();
        first[10] = 300;     // Y HL1
        first[5000] = 32767; // Cb LH1
        second[10] = -20;
        second[5000] = 1;                                          // wraps around 16 bits
        const Rfx7QuantSet quant = {1, 1, 1, 1, 1, 1, 1, 1, 1, 3}; // HH1 x4: not these bands
        QVERIFY(decode(rfx7EncodeStream(first.data(), nullptr), entry.get(), quant).result.ok());
        QCOMPARE(entry->coefficients[10], int16_t(300));
        QVERIFY(decode(rfx7EncodeStream(second.data(), nullptr), entry.get(), quant).result.ok());
        QCOMPARE(entry->coefficients[10], int16_t(280));
        QCOMPARE(entry->coefficients[5000], int16_t(-32768));
    }

    void refinementMatchesTheWholeTile() {
        // Decoding first pass + refinement gives the same pixels as one tile with the summed values.
        std::mt19937 random(9);
        Values first(kRfx7CoefficientCount), second(kRfx7CoefficientCount), sum(kRfx7CoefficientCount);
        for (size_t i = 0; i < first.size(); ++i) {
            first[i] = int16_t(int(random() % 41) - 20);
            second[i] = int16_t(int(random() % 5) - 2);
        }
        // LL3 travels as differences: sum the absolute values, then difference again.
        for (int p = 0; p < 3; ++p) {
            Values a(first.begin() + p * 4096, first.begin() + (p + 1) * 4096);
            Values b(second.begin() + p * 4096, second.begin() + (p + 1) * 4096);
            decodeLl3Deltas(a.data());
            decodeLl3Deltas(b.data());
            for (int i = 0; i < 4096; ++i)
                sum[size_t(p * 4096 + i)] = int16_t(a[size_t(i)] + b[size_t(i)]);
            for (int i = 4095; i > 4032; --i)
                sum[size_t(p * 4096 + i)] =
                    int16_t(sum[size_t(p * 4096 + i)] - sum[size_t(p * 4096 + i - 1)]);
        }
        auto entry = newEntry();
        QVERIFY(decode(rfx7EncodeStream(first.data(), nullptr), entry.get()).result.ok());
        const Decoded refined = decode(rfx7EncodeStream(second.data(), nullptr), entry.get());
        const Decoded whole = decode(rfx7EncodeStream(sum.data(), nullptr));
        QVERIFY(refined.result.ok() && whole.result.ok());
        QCOMPARE(refined.pixels, whole.pixels);
    }

    // Damaged tiles end as corrupt, quickly, and touch neither the pixels nor the cache.
    void corruptTilesAreRefused_data() {
        QTest::addColumn<Bytes>("tile");
        QTest::newRow("empty") << Bytes{};
        QTest::newRow("one zero byte") << Bytes{0};
        QTest::newRow("zeros only") << Bytes(5000, 0);
        QTest::newRow("over-long unary prefix") << Bytes(40000, 0xFF);
        Bytes cut = rfx7EncodeStream(zeroCoefficients().data(), nullptr);
        cut.resize(1);
        QTest::newRow("zero tile cut to one byte") << cut;
    }
    void corruptTilesAreRefused() {
        QFETCH(Bytes, tile);
        auto entry = newEntry();
        entry->hasCoefficients = 1;
        entry->coefficients.fill(7);
        const Decoded d = decode(tile, entry.get());
        QCOMPARE(d.result.status, Rfx7Status::Corrupt);
        QCOMPARE(d.pixels, Bytes(size_t(kStride) * 64, 0xA5));
        QCOMPARE(entry->coefficients[0], int16_t(7));
        QCOMPARE(entry->hasCoefficients, uint8_t(1));
    }

    void truncatedTilesEndCleanly() {
        const std::vector<uint32_t> photo = rfx7SampleTile("photo");
        const Bytes full = encodeRfx7Tile(photo.data(), 256, kRfx7TypicalQuant, kRfx7TypicalQuant,
                                          kRfx7TypicalQuant, Rfx7Alpha::Include);
        QVERIFY(decode(full, nullptr, kRfx7TypicalQuant).result.ok());
        for (size_t length = 0; length < full.size(); ++length) {
            auto entry = newEntry();
            const Decoded d =
                decode(Bytes(full.begin(), full.begin() + long(length)), entry.get(), kRfx7TypicalQuant);
            if (!d.result.ok()) {
                QCOMPARE(d.pixels, Bytes(size_t(kStride) * 64, 0xA5));
                QCOMPARE(entry->hasCoefficients, uint8_t(0));
            }
        }
        QCOMPARE(decode(Bytes(full.begin(), full.begin() + long(full.size() / 2))).result.status,
                 Rfx7Status::Corrupt);
    }

    // Random bytes with the largest quantisers: whatever the values, the decoder stays defined
    // (the sanitizer build checks the arithmetic) and finishes.
    void garbageDecodesWithoutFault() {
        std::mt19937 random(21);
        const Rfx7QuantSet coarse = {15, 15, 15, 15, 15, 15, 15, 15, 15, 15};
        auto entry = newEntry();
        bool refused = false, decoded = false;
        for (int round = 0; round < 300; ++round) {
            Bytes tile(1 + random() % 3000);
            for (uint8_t& b : tile)
                b = uint8_t(round % 3 == 0 ? (random() & 1 ? 0xFF : random()) : random());
            const Decoded d = decode(tile, round % 2 ? entry.get() : nullptr, round % 5 ? coarse : kOnes);
            if (!d.result.ok()) {
                refused = true;
                QCOMPARE(d.pixels, Bytes(size_t(kStride) * 64, 0xA5));
            } else {
                decoded = true;
                if (!d.result.hasAlpha)
                    QCOMPARE(d.a(4095), uint8_t(255));
            }
        }
        // Both outcomes happen, so the wild values do reach the transform and the colour conversion.
        QVERIFY(refused);
        QVERIFY(decoded);
    }

    void workBufferContentsDoNotMatter_data() {
        QTest::addColumn<QByteArray>("sample");
        QTest::addColumn<bool>("withAlpha");
        QTest::newRow("translucent") << QByteArray("translucent") << true;
        QTest::newRow("opaque") << QByteArray("text") << false;
    }
    void workBufferContentsDoNotMatter() {
        QFETCH(QByteArray, sample);
        QFETCH(bool, withAlpha);
        const std::vector<uint32_t> text = rfx7SampleTile(sample.constData());
        const Bytes tile =
            encodeRfx7Tile(text.data(), 256, kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant,
                           withAlpha ? Rfx7Alpha::Include : Rfx7Alpha::Omit);
        auto clean = std::make_unique<Rfx7WorkBuffer>();
        auto dirty = std::make_unique<Rfx7WorkBuffer>();
        std::memset(clean.get(), 0, sizeof(Rfx7WorkBuffer));
        std::memset(dirty.get(), 0x9C, sizeof(Rfx7WorkBuffer));
        Bytes a(256 * 64), b(256 * 64);
        const auto q = kRfx7TypicalQuant;
        QVERIFY(decodeRfx7Tile(*clean, tile.data(), tile.size(), q, q, q, nullptr, a.data(), 256).ok());
        QVERIFY(decodeRfx7Tile(*dirty, tile.data(), tile.size(), q, q, q, nullptr, b.data(), 256).ok());
        QCOMPARE(a, b);
    }
};

QTEST_GUILESS_MAIN(TestRfx7Decoder)
#include "tst_rfx7_decoder.moc"

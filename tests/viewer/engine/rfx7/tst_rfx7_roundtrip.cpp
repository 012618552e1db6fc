// Encoder and decoder together: pictures come back close to the original.

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

namespace {

using Pixels = std::vector<uint32_t>;

struct Result {
    bool ok = false;
    bool hasAlpha = false;
    Pixels pixels = Pixels(64 * 64);
};

Result decode(const std::vector<uint8_t>& tile, const Rfx7QuantSet& quant,
              Rfx7TileCacheEntry* entry = nullptr) {
    auto work = std::make_unique<Rfx7WorkBuffer>();
    Result r;
    const Rfx7DecodeResult d = decodeRfx7Tile(*work, tile.data(), tile.size(), quant, quant, quant, entry,
                                              reinterpret_cast<uint8_t*>(r.pixels.data()), 256);
    r.ok = d.ok();
    r.hasAlpha = d.hasAlpha;
    return r;
}

// Peak signal-to-noise ratio over the colour channels (and alpha when asked), in dB.
double psnr(const Pixels& a, const Pixels& b, bool withAlpha) {
    double sum = 0;
    int samples = 0;
    for (size_t i = 0; i < a.size(); ++i)
        for (int shift = 0; shift < (withAlpha ? 32 : 24); shift += 8) {
            const double d = double((a[i] >> shift) & 0xFF) - double((b[i] >> shift) & 0xFF);
            sum += d * d;
            ++samples;
        }
    const double mse = sum / samples;
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace

class TestRfx7RoundTrip : public QObject {
    Q_OBJECT

private slots:
    void tilesComeBackClose_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("fine");
        QTest::addColumn<double>("floor");
        // Floors sit a few dB under what the codec reaches, so that a real loss shows.
        QTest::newRow("flat, typical") << "flat" << false << 45.0;
        QTest::newRow("gradient, typical") << "gradient" << false << 45.0;
        QTest::newRow("photo, typical") << "photo" << false << 34.0;
        QTest::newRow("text, typical") << "text" << false << 35.0;
        QTest::newRow("gradient, finest") << "gradient" << true << 55.0;
        QTest::newRow("text, finest") << "text" << true << 55.0;
        QTest::newRow("noise, finest") << "noise" << true << 55.0;
    }
    void tilesComeBackClose() {
        QFETCH(QString, kind);
        QFETCH(bool, fine);
        QFETCH(double, floor);
        const Pixels original = rfx7SampleTile(kind.toLatin1().constData());
        const Rfx7QuantSet& q = fine ? kRfx7FinestQuant : kRfx7TypicalQuant;
        const Result r = decode(encodeRfx7Tile(original.data(), 256, q, q, q, Rfx7Alpha::Omit), q);
        QVERIFY(r.ok);
        QVERIFY(!r.hasAlpha);
        const double quality = psnr(original, r.pixels, false);
        QVERIFY2(quality >= floor, qPrintable(QStringLiteral("PSNR %1 dB").arg(quality)));
    }

    void alphaComesBackExactly() {
        const Pixels original = rfx7SampleTile("translucent");
        const Rfx7QuantSet& q = kRfx7TypicalQuant;
        const Result r = decode(encodeRfx7Tile(original.data(), 256, q, q, q, Rfx7Alpha::Include), q);
        QVERIFY(r.ok);
        QVERIFY(r.hasAlpha);
        for (size_t i = 0; i < original.size(); ++i)
            QCOMPARE(r.pixels[i] >> 24, original[i] >> 24);
        QVERIFY(psnr(original, r.pixels, false) >= 38.0);
    }

    void refinementsImproveTheTile() {
        const Pixels original = rfx7SampleTile("photo");
        const Rfx7QuantSet coarse = {10, 10, 10, 10, 11, 11, 12, 12, 12, 13};
        const Rfx7QuantSet& fine = kRfx7FinestQuant;
        Rfx7ProgressiveTileEncoder encoder(original.data(), 256);
        auto entry = std::make_unique<Rfx7TileCacheEntry>();
        const Result first =
            decode(encoder.firstPass(coarse, coarse, coarse, Rfx7Alpha::Omit), coarse, entry.get());
        const Result middle = decode(encoder.refine(kRfx7TypicalQuant, kRfx7TypicalQuant, kRfx7TypicalQuant),
                                     kRfx7TypicalQuant, entry.get());
        const Result last = decode(encoder.refine(fine, fine, fine), fine, entry.get());
        QVERIFY(first.ok && middle.ok && last.ok);
        const double p1 = psnr(original, first.pixels, false);
        const double p2 = psnr(original, middle.pixels, false);
        const double p3 = psnr(original, last.pixels, false);
        QVERIFY2(p1 < p2 && p2 < p3, qPrintable(QStringLiteral("%1 %2 %3 dB").arg(p1).arg(p2).arg(p3)));
        QVERIFY2(p3 >= 55.0, qPrintable(QStringLiteral("%1 dB").arg(p3)));
    }

    void progressiveAlphaStaysWithRefinements() {
        const Pixels original = rfx7SampleTile("translucent");
        const Rfx7QuantSet& q = kRfx7TypicalQuant;
        Rfx7ProgressiveTileEncoder encoder(original.data(), 256);
        auto entry = std::make_unique<Rfx7TileCacheEntry>();
        QVERIFY(decode(encoder.firstPass(q, q, q, Rfx7Alpha::Include), q, entry.get()).ok);
        const Result refined = decode(encoder.refine(q, q, q), q, entry.get());
        QVERIFY(refined.ok);
        QVERIFY(refined.hasAlpha);
        QCOMPARE(refined.pixels[100] >> 24, original[100] >> 24);
    }

    void desktopTilesRoundTrip() {
        // Every tile of a small desktop picture, with its edge tiles partly outside the picture.
        const int width = 200, height = 150;
        const Pixels desktop = rfx7DesktopImage(width, height);
        Pixels padded(size_t(256) * 192, 0);
        for (int y = 0; y < height; ++y)
            std::copy_n(desktop.begin() + y * width, width, padded.begin() + y * 256);
        const Rfx7QuantSet& q = kRfx7TypicalQuant;
        for (int ty = 0; ty < 192; ty += 64)
            for (int tx = 0; tx < 256; tx += 64) {
                const uint32_t* block = padded.data() + ty * 256 + tx;
                const Result r = decode(encodeRfx7Tile(block, 256 * 4, q, q, q, Rfx7Alpha::Omit), q);
                QVERIFY(r.ok);
                Pixels original(64 * 64);
                for (int y = 0; y < 64; ++y)
                    std::copy_n(block + y * 256, 64, original.begin() + y * 64);
                const double quality = psnr(original, r.pixels, false);
                QVERIFY2(quality >= 30.0,
                         qPrintable(QStringLiteral("tile %1,%2: %3 dB").arg(tx).arg(ty).arg(quality)));
            }
    }
};

QTEST_GUILESS_MAIN(TestRfx7RoundTrip)
#include "tst_rfx7_roundtrip.moc"

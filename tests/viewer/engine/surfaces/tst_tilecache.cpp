#include "viewer/engine/surfaces/Rfx7TileCache.h"

#include <QtTest>

#include <memory>
#include <random>

class TestTileCache : public QObject {
    Q_OBJECT

private slots:
    void key_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<quint32>("key");
        QTest::newRow("origin") << 0 << 0 << 0x00000000u;
        QTest::newRow("inside the first tile") << 63 << 63 << 0x00000000u;
        QTest::newRow("second column") << 64 << 0 << 0x00000040u;
        QTest::newRow("second row") << 0 << 64 << 0x00400000u;
        QTest::newRow("unaligned") << 130 << 200 << 0x00C00080u;
        // y with its top bit set: the shift must not overflow a signed int.
        QTest::newRow("largest y") << 0 << 32767 << 0x7FC00000u;
        QTest::newRow("negative y") << 0 << -1 << 0xFFC00000u;
        QTest::newRow("negative x and y") << -64 << -64 << 0xFFC0FFC0u;
    }

    void key() {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(quint32, key);
        QCOMPARE(rfx7TileKey(std::int16_t(x), std::int16_t(y)), key);
    }

    void entriesStartEmptyAndAreShared() {
        Rfx7TileCache cache;
        Rfx7PackedTileEntry& entry = cache.entry(1, 10, 10);
        QCOMPARE(entry.hasCoefficients, std::uint8_t(0));
        QCOMPARE(entry.hasAlpha, std::uint8_t(0));
        entry.hasCoefficients = 1;
        // Another position inside the same 64x64 cell reaches the same entry; another surface does not.
        QCOMPARE(&cache.entry(1, 0, 63), &entry);
        QCOMPARE(cache.entry(2, 0, 0).hasCoefficients, std::uint8_t(0));
        cache.eraseSurface(1);
        QCOMPARE(cache.find(1, 0, 0), nullptr);
        QVERIFY(cache.find(2, 0, 0));
    }

    // The packed entry gives back exactly what it was given, and keeps only blocks that are not zero:
    // a flat tile (its three LL3 blocks) stays a few hundred bytes instead of 28 KB.
    void packedEntryRoundTrip_data() {
        QTest::addColumn<int>("nonZero"); // coefficients set, spread at random (-1: only LL3)
        QTest::addColumn<bool>("alpha");
        QTest::addColumn<int>("maxStoredBytes");
        QTest::newRow("empty") << 0 << false << 0;
        QTest::newRow("flat tile") << -1 << false << 3 * 64 * 2;
        QTest::newRow("flat tile with opaque alpha") << -1 << true << 3 * 64 * 2;
        QTest::newRow("sparse") << 40 << true << 40 * 64 * 2 + 40 * 64;
        QTest::newRow("dense") << 20000 << true << kRfx7CoefficientCount * 2 + kRfx7PlaneSize;
    }

    void packedEntryRoundTrip() {
        QFETCH(int, nonZero);
        QFETCH(bool, alpha);
        QFETCH(int, maxStoredBytes);
        auto entry = std::make_unique<Rfx7TileCacheEntry>();
        entry->hasCoefficients = 1;
        entry->hasAlpha = alpha ? 1 : 0;
        std::mt19937 random(7);
        if (nonZero < 0) {
            for (int plane = 0; plane < 3; ++plane) {
                for (int i = 4032; i < 4096; ++i) {
                    entry->coefficients[std::size_t(plane * kRfx7PlaneSize + i)] = std::int16_t(i - 4000);
                }
            }
        } else {
            for (int i = 0; i < nonZero; ++i) {
                entry->coefficients[random() % kRfx7CoefficientCount] = std::int16_t(random());
                if (alpha) {
                    entry->alpha[random() % kRfx7PlaneSize] = std::uint8_t(random());
                }
            }
        }
        Rfx7PackedTileEntry packed;
        packed.pack(*entry);
        QVERIFY(packed.storedBytes() <= std::size_t(maxStoredBytes));
        QCOMPARE(packed.hasCoefficients, std::uint8_t(1));
        QCOMPARE(packed.hasAlpha, entry->hasAlpha);
        // Unpacking overwrites whatever the target held.
        auto out = std::make_unique<Rfx7TileCacheEntry>();
        out->coefficients.fill(-5);
        out->alpha.fill(9);
        packed.unpack(*out);
        QVERIFY(out->coefficients == entry->coefficients);
        if (alpha) {
            QVERIFY(out->alpha == entry->alpha);
        }
        QCOMPARE(out->hasAlpha, entry->hasAlpha);
    }

    void prune_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QList<int>>("keptX"); // of the tiles at x = 0, 64, 128, 192 in row 0
        QTest::addColumn<bool>("keepsRow64");
        QTest::newRow("shrink 200 to 100 wide") << 100 << 200 << QList<int>{0, 64} << true;
        QTest::newRow("exact multiple") << 128 << 200 << QList<int>{0, 64} << true;
        QTest::newRow("one past a multiple") << 129 << 200 << QList<int>{0, 64, 128} << true;
        QTest::newRow("shorter") << 256 << 64 << QList<int>{0, 64, 128, 192} << false;
        QTest::newRow("to nothing") << 0 << 0 << QList<int>{} << false;
    }

    void prune() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QList<int>, keptX);
        QFETCH(bool, keepsRow64);
        Rfx7TileCache cache;
        for (int x : {0, 64, 128, 192}) {
            cache.entry(4, std::int16_t(x), 0);
        }
        cache.entry(4, 0, 64);
        cache.entry(5, 192, 192);
        cache.prune(4, width, height);
        for (int x : {0, 64, 128, 192}) {
            QCOMPARE(cache.find(4, std::int16_t(x), 0) != nullptr, keptX.contains(x));
        }
        QCOMPARE(cache.find(4, 0, 64) != nullptr, keepsRow64);
        QVERIFY(cache.find(5, 192, 192));
    }
};

QTEST_GUILESS_MAIN(TestTileCache)
#include "tst_tilecache.moc"

// Every vector table gives the scalar table's bits, for ordinary and for extreme inputs.

#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <QtTest>

#include <random>
#include <vector>

namespace {

enum class Values { Small, Image, Full };

std::vector<int16_t> randomValues(size_t count, Values kind, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<int16_t> v(count);
    for (int16_t& x : v) {
        switch (kind) {
        case Values::Small:
            x = int16_t(int(random() % 9) - 4);
            break;
        case Values::Image:
            x = int16_t(int(random() % 9000) - 4500);
            break;
        case Values::Full:
            x = int16_t(uint16_t(random()));
            break;
        }
    }
    if (kind == Values::Full) {
        // The corners of the range, where an overflow would show.
        const int16_t corners[] = {-32768, 32767, -32767, 32766, 0, -1};
        for (size_t i = 0; i < count; i += 7)
            v[i] = corners[(i / 7) % 6];
    }
    return v;
}

} // namespace

class TestRfx7Kernels : public QObject {
    Q_OBJECT

private:
    QList<const Rfx7Kernels*> vectorTables() {
        QList<const Rfx7Kernels*> tables;
        for (const Rfx7Kernels* k : {rfx7Sse2Kernels(), rfx7Avx2Kernels()})
            if (k)
                tables << k;
        return tables;
    }

    void addRows() {
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("kind");
        const QList<const Rfx7Kernels*> tables = vectorTables();
        if (tables.isEmpty())
            QSKIP("no vector path on this processor");
        for (const Rfx7Kernels* k : tables) {
            QTest::addRow("%s small", k->name) << QString(k->name) << int(Values::Small);
            QTest::addRow("%s image", k->name) << QString(k->name) << int(Values::Image);
            QTest::addRow("%s full range", k->name) << QString(k->name) << int(Values::Full);
        }
    }

    const Rfx7Kernels& table(const QString& name) {
        for (const Rfx7Kernels* k : vectorTables())
            if (name == k->name)
                return *k;
        return rfx7ScalarKernels();
    }

private slots:
    void dequantizeMatchesScalar_data() { addRows(); }
    void dequantizeMatchesScalar() {
        QFETCH(QString, table);
        QFETCH(int, kind);
        std::mt19937 random(11);
        for (int round = 0; round < 40; ++round) {
            Rfx7QuantSet quant;
            for (uint8_t& q : quant)
                q = uint8_t(random() % 16);
            const std::vector<int16_t> input = randomValues(kRfx7PlaneSize, Values(kind), uint32_t(round));
            std::vector<int16_t> expected = input, actual = input;
            rfx7ScalarKernels().dequantizePlane(expected.data(), quant);
            this->table(table).dequantizePlane(actual.data(), quant);
            QCOMPARE(actual, expected);
        }
    }

    void addMatchesScalar_data() { addRows(); }
    void addMatchesScalar() {
        QFETCH(QString, table);
        QFETCH(int, kind);
        const std::vector<int16_t> source = randomValues(kRfx7CoefficientCount + 5, Values(kind), 3);
        std::vector<int16_t> expected = randomValues(kRfx7CoefficientCount + 5, Values(kind), 4);
        std::vector<int16_t> actual = expected;
        // An odd count also covers the tail after the last full vector.
        rfx7ScalarKernels().addCoefficients(expected.data(), source.data(), expected.size());
        this->table(table).addCoefficients(actual.data(), source.data(), actual.size());
        QCOMPARE(actual, expected);
    }

    void inverseDwtMatchesScalar_data() { addRows(); }
    void inverseDwtMatchesScalar() {
        QFETCH(QString, table);
        QFETCH(int, kind);
        for (uint32_t seed = 0; seed < 20; ++seed) {
            const std::vector<int16_t> input = randomValues(kRfx7PlaneSize, Values(kind), seed);
            std::vector<int16_t> expected = input, actual = input;
            std::vector<int16_t> scratch(kRfx7PlaneSize, 77);
            rfx7ScalarKernels().inverseDwt(expected.data(), scratch.data());
            this->table(table).inverseDwt(actual.data(), scratch.data());
            QCOMPARE(actual, expected);
        }
    }

    void colourMatchesScalar_data() { addRows(); }
    void colourMatchesScalar() {
        QFETCH(QString, table);
        QFETCH(int, kind);
        // A stride wider than a row: bytes between rows stay untouched.
        const ptrdiff_t stride = 4 * 64 + 20;
        for (uint32_t seed = 0; seed < 10; ++seed) {
            const std::vector<int16_t> y = randomValues(kRfx7PlaneSize, Values(kind), seed * 3);
            const std::vector<int16_t> cb = randomValues(kRfx7PlaneSize, Values(kind), seed * 3 + 1);
            const std::vector<int16_t> cr = randomValues(kRfx7PlaneSize, Values(kind), seed * 3 + 2);
            std::vector<uint8_t> alpha(kRfx7PlaneSize);
            for (size_t i = 0; i < alpha.size(); ++i)
                alpha[i] = uint8_t(i * 7 + seed);
            // Also without an alpha plane (opaque).
            for (const uint8_t* a :
                 {static_cast<const uint8_t*>(alpha.data()), static_cast<const uint8_t*>(nullptr)}) {
                std::vector<uint8_t> expected(size_t(stride) * 64, 0xA5), actual = expected;
                rfx7ScalarKernels().yCbCrToArgb(y.data(), cb.data(), cr.data(), a, expected.data(), stride);
                this->table(table).yCbCrToArgb(y.data(), cb.data(), cr.data(), a, actual.data(), stride);
                QCOMPARE(actual, expected);
            }
        }
    }

    // Every value pair of a coarse grid over the whole 16-bit range, for the colour formula's edges.
    void colourMatchesScalarOnGrid() {
        const QList<const Rfx7Kernels*> tables = vectorTables();
        if (tables.isEmpty())
            QSKIP("no vector path on this processor");
        std::vector<int16_t> y(kRfx7PlaneSize), cb(kRfx7PlaneSize), cr(kRfx7PlaneSize);
        std::vector<uint8_t> alpha(kRfx7PlaneSize, 0);
        for (int yv = -32768; yv < 32768; yv += 1021) {
            for (int i = 0; i < kRfx7PlaneSize; ++i) {
                y[size_t(i)] = int16_t(yv);
                cb[size_t(i)] = int16_t(-32768 + (i % 64) * 1040);
                cr[size_t(i)] = int16_t(-32768 + (i / 64) * 1040);
            }
            std::vector<uint8_t> expected(256 * 64);
            rfx7ScalarKernels().yCbCrToArgb(y.data(), cb.data(), cr.data(), alpha.data(), expected.data(),
                                            256);
            for (const Rfx7Kernels* k : tables) {
                std::vector<uint8_t> actual(256 * 64);
                k->yCbCrToArgb(y.data(), cb.data(), cr.data(), alpha.data(), actual.data(), 256);
                QVERIFY2(actual == expected, qPrintable(QStringLiteral("%1 at Y %2").arg(k->name).arg(yv)));
            }
        }
    }

    void activeTableIsTheBestAvailable() {
        const Rfx7Kernels* best = rfx7Avx2Kernels() ? rfx7Avx2Kernels() : rfx7Sse2Kernels();
        if (qEnvironmentVariableIsSet("VELNOR_RFX7_KERNELS") || !best)
            QSKIP("kernel choice narrowed by the environment or no vector path");
        QCOMPARE(QString(rfx7ActiveKernels().name), QString(best->name));
    }
};

QTEST_GUILESS_MAIN(TestRfx7Kernels)
#include "tst_rfx7_kernels.moc"

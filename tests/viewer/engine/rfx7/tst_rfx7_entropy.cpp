// RLGR3 decoding against a frozen copy of the plain window decoder it replaced: on random and damaged
// streams as well as the encoder's real ones, both must give the same values, the same status and
// the same count of bits used, in both element widths. The faster decoder's table lookups and wide
// steps have edge cases (parameters near 80, codes split over a refill, streams ending inside a code)
// that a round trip of valid streams never reaches.

#include "rfx7-encoder/Rfx7Encoder.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace reference {

// The decoder as it was before the table-driven one, kept unchanged as the reference.
constexpr int kParameterMax = 80;
constexpr uint64_t kMaxUnaryOnes = 1u << 17;

class BitWindow {
public:
    BitWindow(const uint8_t* data, size_t size, uint64_t startBit)
        : m_data(data)
        , m_size(size)
        , m_next(size_t(startBit >> 3)) {
        refill();
        consume(int(startBit & 7));
    }

    uint64_t window() const { return m_acc; }
    int count() const { return m_count; }
    uint64_t consumed() const { return uint64_t(m_next) * 8 - uint64_t(m_count); }

    void refill() {
        if (m_next + 8 <= m_size) {
            uint64_t word;
            std::memcpy(&word, m_data + m_next, 8);
            m_acc |= __builtin_bswap64(word) >> m_count;
            m_next += size_t(63 - m_count) >> 3;
            m_count |= 56;
        } else {
            while (m_count < 56) {
                const uint64_t byte = m_next < m_size ? m_data[m_next] : 0;
                m_acc |= byte << (56 - m_count);
                ++m_next;
                m_count += 8;
            }
        }
    }

    void consume(int n) {
        m_acc <<= n;
        m_count -= n;
    }

    uint32_t read(int n) {
        if (n == 0)
            return 0;
        if (m_count < n)
            refill();
        const uint32_t value = uint32_t(m_acc >> (64 - n));
        consume(n);
        return value;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_next;
    uint64_t m_acc = 0;
    int m_count = 0;
};

constexpr int kShortRun = 8;
struct RunStep {
    uint32_t run = 0;
    uint8_t kp = 0;
};
struct RunTable {
    RunStep steps[kParameterMax + 1][kShortRun]{};
    constexpr RunTable() {
        for (int start = 0; start <= kParameterMax; ++start)
            for (int zeros = 0; zeros < kShortRun; ++zeros) {
                uint32_t run = 0;
                int kp = start;
                for (int i = 0; i < zeros; ++i) {
                    run += 1u << (kp >> 3);
                    kp = std::min(kp + 4, kParameterMax);
                }
                steps[start][zeros].run = run;
                steps[start][zeros].kp = uint8_t(kp);
            }
    }
};
constexpr RunTable kRunTable;

inline void adaptKrp(int& krp, uint64_t ones) {
    if (ones == 0)
        krp = std::max(krp - 2, 0);
    else if (ones >= 2)
        krp = int(std::min<uint64_t>(uint64_t(krp) + ones, kParameterMax));
}

inline bool readGolombRice(BitWindow& bits, int& krp, uint32_t& code) {
    const int kr = krp >> 3;
    if (bits.count() < 57)
        bits.refill();
    int run = __builtin_clzll(~bits.window() | 1);
    if (run + 1 + kr <= bits.count()) {
        code = (uint32_t(run) << kr) + (kr ? uint32_t((bits.window() << (run + 1)) >> (64 - kr)) : 0);
        bits.consume(run + 1 + kr);
        adaptKrp(krp, uint64_t(run));
        return true;
    }
    uint64_t ones = 0;
    for (;;) {
        if (run < bits.count()) {
            ones += uint64_t(run);
            bits.consume(run + 1);
            break;
        }
        ones += uint64_t(bits.count());
        bits.consume(bits.count());
        if (ones > kMaxUnaryOnes)
            return false;
        bits.refill();
        run = __builtin_clzll(~bits.window() | 1);
    }
    if (ones > kMaxUnaryOnes)
        return false;
    code = (uint32_t(ones) << kr) + bits.read(kr);
    adaptKrp(krp, ones);
    return true;
}

template <typename T>
inline T lowBits(int64_t value) {
    return T(std::make_unsigned_t<T>(value));
}

inline int64_t unmapPair(int64_t x) {
    return (x >> 1) ^ -(x & 1);
}

template <typename T>
inline void writeZeros(T* output, size_t n, size_t room) {
    constexpr size_t kChunk = 32 / sizeof(T);
    if (n <= kChunk && room >= kChunk)
        std::memset(output, 0, 32);
    else
        std::memset(output, 0, n * sizeof(T));
}

template <typename T>
bool rlgr3Decode(Rfx7BitReader& reader, T* output, size_t count) {
    const uint64_t totalBits = reader.totalBits();
    BitWindow bits(reader.data(), reader.size(), reader.bitsConsumed());
    int kp = 8;
    int krp = 8;
    size_t written = 0;
    bool ok = true;
    while (written < count) {
        if (kp >= 8) {
            uint64_t run = 0;
            bool negative;
            if (bits.count() < 57)
                bits.refill();
            int found = __builtin_clzll(bits.window() | 1);
            if (found < kShortRun) {
                const RunStep step = kRunTable.steps[kp][found];
                kp = step.kp;
                const int k = kp >> 3;
                const uint64_t rest = bits.window() << (found + 1);
                run = step.run + (k ? rest >> (64 - k) : 0);
                negative = ((rest << k) >> 63) != 0;
                bits.consume(found + 2 + k);
            } else {
                int k = kp >> 3;
                for (;;) {
                    const bool terminated = found < bits.count();
                    const int zeros = terminated ? found : bits.count();
                    for (int i = 0; i < zeros; ++i) {
                        run += uint64_t(1) << k;
                        kp = std::min(kp + 4, kParameterMax);
                        k = kp >> 3;
                    }
                    if (terminated) {
                        bits.consume(zeros + 1);
                        break;
                    }
                    bits.consume(zeros);
                    if (bits.consumed() >= totalBits) {
                        ok = false;
                        break;
                    }
                    bits.refill();
                    found = __builtin_clzll(bits.window() | 1);
                }
                if (!ok)
                    break;
                run += bits.read(kp >> 3);
                negative = bits.read(1) != 0;
            }
            const size_t zeros = size_t(std::min<uint64_t>(run, count - written));
            writeZeros(output + written, zeros, count - written);
            written += zeros;

            uint32_t magnitude;
            if (!readGolombRice(bits, krp, magnitude)) {
                ok = false;
                break;
            }
            if (written < count)
                output[written++] = lowBits<T>(negative ? -(int64_t(magnitude) + 1) : int64_t(magnitude) + 1);
            kp = std::max(kp - 6, 0);
        } else {
            uint32_t code;
            if (!readGolombRice(bits, krp, code)) {
                ok = false;
                break;
            }
            const int n = code ? 32 - __builtin_clz(code) : 0;
            const int64_t first = bits.read(n);
            const int64_t second = int64_t(code) - first;
            output[written++] = lowBits<T>(unmapPair(first));
            if (written < count)
                output[written++] = lowBits<T>(unmapPair(second));
            if (first != 0 && second != 0)
                kp = std::max(kp - 6, 0);
            else if (first == 0 && second == 0)
                kp = std::min(kp + 6, kParameterMax);
        }
    }
    if (!ok)
        std::memset(output + written, 0, (count - written) * sizeof(T));
    reader.seek(bits.consumed());
    return ok;
}

} // namespace reference

namespace {

// Values past `count` in the output must stay as they were: both decoders get this much room.
constexpr size_t kGuard = 64;

struct Stream {
    Bytes bytes;
    uint64_t startBit = 0;
    size_t count = kRfx7CoefficientCount;
};

// Runs both decoders over one stream in one element width; an empty string when they agree.
template <typename T>
QString compareWidth(const Stream& s, T fill) {
    std::vector<T> expected(s.count + kGuard, fill), actual(s.count + kGuard, fill);
    Rfx7BitReader expectedReader(s.bytes.data(), s.bytes.size());
    Rfx7BitReader actualReader(s.bytes.data(), s.bytes.size());
    expectedReader.seek(s.startBit);
    actualReader.seek(s.startBit);
    const bool expectedOk = reference::rlgr3Decode(expectedReader, expected.data(), s.count);
    const bool actualOk = rlgr3Decode(actualReader, actual.data(), s.count);
    const QString where = QStringLiteral("%1 bytes from bit %2, %3 %4-bit values")
                              .arg(s.bytes.size())
                              .arg(s.startBit)
                              .arg(s.count)
                              .arg(sizeof(T) * 8);
    if (expectedOk != actualOk)
        return QStringLiteral("status %1, expected %2; %3").arg(actualOk).arg(expectedOk).arg(where);
    if (expectedReader.bitsConsumed() != actualReader.bitsConsumed())
        return QStringLiteral("%1 bits used, expected %2; %3")
            .arg(actualReader.bitsConsumed())
            .arg(expectedReader.bitsConsumed())
            .arg(where);
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
    if (mismatch.first != actual.end())
        return QStringLiteral("value %1 is %2, expected %3; %4")
            .arg(mismatch.first - actual.begin())
            .arg(*mismatch.first)
            .arg(*mismatch.second)
            .arg(where);
    return QString();
}

QString compare(const Stream& s) {
    QString failure = compareWidth<int16_t>(s, int16_t(0x5A5A));
    if (failure.isEmpty())
        failure = compareWidth<uint8_t>(s, uint8_t(0xA5));
    return failure;
}

// Bytes whose bits are 1 with the given probability: long zero runs or long unary prefixes.
Bytes biasedBytes(std::mt19937& random, size_t size, double ones) {
    std::bernoulli_distribution bit(ones);
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        for (int i = 0; i < 8; ++i)
            b = uint8_t((b << 1) | (bit(random) ? 1 : 0));
    return bytes;
}

// Values such as the encoder's callers produce, and wilder ones.
std::vector<int16_t> randomValues(std::mt19937& random, size_t count, int kind) {
    std::vector<int16_t> values(count, 0);
    std::geometric_distribution<int> gap(kind == 0 ? 0.01 : 0.2);
    switch (kind) {
    case 0: // sparse: long zero runs with isolated values
    case 1: // denser
        for (size_t i = gap(random); i < count; i += 1 + size_t(gap(random)))
            values[i] = int16_t(int(random() % 201) - 100);
        break;
    case 2: // small values everywhere
        for (int16_t& v : values)
            v = int16_t(int(random() % 7) - 3);
        break;
    case 3: // full 16-bit range
        for (int16_t& v : values)
            v = int16_t(uint16_t(random()));
        break;
    default: // bursts of large values between zero stretches
        for (size_t i = 0; i < count; ++i)
            if ((i / 97) % 3 == 0)
                values[i] = int16_t(int(random() % 60001) - 30000);
        break;
    }
    return values;
}

} // namespace

class TestRfx7Entropy : public QObject {
    Q_OBJECT

private slots:
    void randomStreams() {
        std::mt19937 random(45);
        const size_t counts[] = {1, 2, 3, 31, 64, 333, kRfx7PlaneSize, kRfx7CoefficientCount};
        const double ones[] = {0.5, 0.02, 0.1, 0.3, 0.7, 0.9, 0.98, 0.999};
        for (int round = 0; round < 4000; ++round) {
            Stream s;
            const size_t size = round % 7 == 0 ? random() % 16 : 1 + random() % 6000;
            s.bytes = biasedBytes(random, size, ones[round % 8]);
            s.count = counts[random() % 8];
            s.startBit = random() % 5 == 0 ? random() % (size * 8 + 9) : 0;
            const QString failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
    }

    // Every pattern of a few bytes, so that codes ending exactly at the end of the stream, and one
    // bit before or after it, all occur.
    void shortStreams() {
        for (uint32_t pattern = 0; pattern < (1u << 16); ++pattern) {
            Stream s;
            s.bytes = {uint8_t(pattern >> 8), uint8_t(pattern)};
            for (size_t count : {size_t(1), size_t(2), size_t(5), size_t(40)}) {
                s.count = count;
                const QString failure = compare(s);
                QVERIFY2(failure.isEmpty(), qPrintable(failure));
            }
        }
        std::mt19937 random(46);
        for (int round = 0; round < 20000; ++round) {
            Stream s;
            s.bytes = biasedBytes(random, 3 + random() % 14, round % 2 ? 0.5 : 0.15);
            s.count = 1 + random() % 40;
            s.startBit = random() % 8;
            const QString failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
    }

    // The encoder's streams of many value patterns, whole, cut short, with bits flipped and with
    // bytes following them.
    void encodedStreams() {
        std::mt19937 random(47);
        for (int round = 0; round < 600; ++round) {
            const size_t count = round % 3 == 0 ? kRfx7PlaneSize : kRfx7CoefficientCount;
            const std::vector<int16_t> values = randomValues(random, count, round % 5);
            Rfx7BitWriter writer;
            const uint64_t lead = random() % 4 == 0 ? random() % 70 : 0;
            writer.padTo(lead);
            rlgr3Encode(writer, values.data(), values.size());
            const uint64_t bits = writer.bitCount();
            Stream s;
            s.bytes = writer.take();
            s.startBit = lead;
            s.count = count;
            QString failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));

            Stream damaged = s;
            switch (round % 4) {
            case 0:
                damaged.bytes.resize(size_t(random() % (bits / 8 + 1)));
                break;
            case 1:
                for (int i = 0; i < 3; ++i)
                    damaged.bytes[random() % damaged.bytes.size()] ^= uint8_t(1u << (random() % 8));
                break;
            case 2:
                for (int i = 0; i < 40; ++i)
                    damaged.bytes.push_back(uint8_t(random()));
                damaged.count = count - random() % 50;
                break;
            default:
                damaged.bytes.resize(damaged.bytes.size() + random() % 9, round % 8 == 3 ? 0xFF : 0);
                damaged.count = count + 1 + random() % 300;
                break;
            }
            failure = compare(damaged);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
    }

    // Whole tiles of a desktop picture at several quantisers, as decodeRfx7Tile reads them: the
    // coefficients from the start and the alpha plane from its place behind them.
    void encoderTiles() {
        const int width = 640, height = 384;
        const std::vector<uint32_t> picture = rfx7DesktopImage(width, height, 3);
        const Rfx7QuantSet quants[] = {kRfx7TypicalQuant, kRfx7FinestQuant, {6, 6, 6, 6, 6, 6, 6, 6, 6, 6}};
        std::mt19937 random(48);
        int tileIndex = 0;
        for (int y = 0; y < height; y += 64)
            for (int x = 0; x < width; x += 64, ++tileIndex) {
                const Rfx7QuantSet& q = quants[tileIndex % 3];
                const Bytes tile = encodeRfx7Tile(picture.data() + y * width + x, width * 4, q, q, q,
                                                  tileIndex % 2 ? Rfx7Alpha::Include : Rfx7Alpha::Omit);
                Stream s;
                s.bytes = tile;
                QString failure = compare(s);
                QVERIFY2(failure.isEmpty(), qPrintable(failure));

                Rfx7BitReader reader(tile.data(), tile.size());
                std::vector<int16_t> coefficients(kRfx7CoefficientCount);
                QVERIFY(rlgr3Decode(reader, coefficients.data(), coefficients.size()));
                Stream alpha = s;
                alpha.startBit = (reader.bitsConsumed() / 64 + 1) * 64;
                alpha.count = kRfx7PlaneSize;
                failure = compareWidth<uint8_t>(alpha, uint8_t(0xA5));
                QVERIFY2(failure.isEmpty(), qPrintable(failure));

                for (int cut = 0; cut < 4; ++cut) {
                    Stream shorter = s;
                    shorter.bytes.resize(size_t(random() % tile.size()));
                    failure = compare(shorter);
                    QVERIFY2(failure.isEmpty(), qPrintable(failure));
                }
                Stream flipped = s;
                flipped.bytes[random() % tile.size()] ^= uint8_t(1u << (random() % 8));
                failure = compare(flipped);
                QVERIFY2(failure.isEmpty(), qPrintable(failure));
            }
    }

    // Parameters driven to their ends: kp to 80 by long zero runs and krp to 80 by long unary
    // prefixes, then back down.
    void extremeParameters() {
        std::mt19937 random(49);
        for (int round = 0; round < 300; ++round) {
            Bytes bytes;
            while (bytes.size() < 3000) {
                const int kind = int(random() % 4);
                const size_t length = 1 + random() % 40;
                for (size_t i = 0; i < length; ++i)
                    bytes.push_back(kind == 0 ? 0x00 : kind == 1 ? 0xFF : uint8_t(random()));
            }
            Stream s;
            s.bytes = bytes;
            s.count = round % 2 ? kRfx7CoefficientCount : size_t(60000);
            const QString failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
        for (size_t size : {size_t(16383), size_t(16384), size_t(16385), size_t(40000)}) {
            Stream s;
            s.bytes.assign(size, 0xFF);
            QString failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            s.bytes.assign(size, 0x00);
            failure = compare(s);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
    }
};

QTEST_GUILESS_MAIN(TestRfx7Entropy)
#include "tst_rfx7_entropy.moc"

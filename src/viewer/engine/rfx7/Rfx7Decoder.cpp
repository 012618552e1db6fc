#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kParameterMax = 80;
// No 16-bit value pair needs a unary prefix longer than this even with kr = 0; a longer one can
// only come from a corrupt stream and would overflow the code arithmetic.
constexpr uint64_t kMaxUnaryOnes = 1u << 17;

// A 64-bit window over the stream for the decoding loop: the top `m_count` bits are the next stream
// bits; below them are either the stream's following bits or 0, so only the top `m_count` bits may
// be relied on. Past the end the stream reads as 0 bits, and consumed() keeps counting so that the
// caller can tell when it has run off the end.
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

    // 56 to 63 bits in the window afterwards.
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

    void consume(int n) { // n < 64 and n <= count()
        m_acc <<= n;
        m_count -= n;
    }

    uint32_t read(int n) { // n <= 32
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

// Zero runs of up to kShortRun run-mode zero bits, looked up: the run length they add and kp after them.
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

// krp after a Golomb-Rice code whose unary prefix had `ones` 1 bits: -2 for none, unchanged for one,
// +ones for more, within 0..80.
inline int adaptKrp(int krp, uint64_t ones) {
    const int step = ones >= 2 ? int(std::min<uint64_t>(ones, kParameterMax)) : ones == 1 ? 0 : -2;
    return std::min(std::max(krp + step, 0), kParameterMax);
}

// The same for the prefixes that fit a window (0..63 ones) from a table: prefix lengths of
// coefficient data are too irregular for a branch.
struct KrpSteps {
    int8_t step[64]{};
    constexpr KrpSteps() {
        step[0] = -2;
        for (int ones = 2; ones < 64; ++ones)
            step[ones] = int8_t(ones);
    }
};
constexpr KrpSteps kKrpSteps;

inline int adaptKrpShort(int krp, int ones) {
    return std::min(std::max(krp + kKrpSteps.step[ones], 0), kParameterMax);
}

// The top n bits (n in 0..63) of a window, 0 for n = 0, without a branch.
inline uint64_t topBits(uint64_t window, int n) {
    return (window >> 1) >> (63 - n);
}

// Golomb-Rice code of a prefix too long for the window (or one that may run off the stream): the
// window is refilled first, so where it stops reading and what it reports depend only on the stream.
// False on an over-long prefix.
__attribute__((noinline)) bool readLongGolombRice(BitWindow& bits, int& krp, uint32_t& code) {
    const int kr = krp >> 3;
    bits.refill();
    int run = __builtin_clzll(~bits.window() | 1);
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
    krp = adaptKrp(krp, ones);
    return true;
}

// Golomb-Rice code with parameter kr (from krp), adapting krp; the whole code is taken from the
// window when it is there (nearly always). False on an over-long prefix.
inline bool readGolombRice(BitWindow& bits, int& krp, uint32_t& code) {
    const int kr = krp >> 3;
    const uint64_t window = bits.window();
    const int ones = __builtin_clzll(~window | 1);
    if (__builtin_expect(ones + 1 + kr <= bits.count(), 1)) {
        code = (uint32_t(ones) << kr) + uint32_t(topBits(window << (ones + 1), kr));
        bits.consume(ones + 1 + kr);
        krp = adaptKrpShort(krp, ones);
        return true;
    }
    // Copies, so that the caller's window and parameters can stay in registers.
    BitWindow copy = bits;
    int krpCopy = krp;
    uint32_t codeCopy = 0;
    const bool ok = readLongGolombRice(copy, krpCopy, codeCopy);
    bits = copy;
    krp = krpCopy;
    code = codeCopy;
    return ok;
}

// A run of more than kShortRun zero bits, from a refilled window: the run length it adds, kp after it
// and the sign. False when the stream ends inside the zeros.
__attribute__((noinline)) bool readLongRun(BitWindow& bits, uint64_t totalBits, int& kp, uint64_t& run,
                                           bool& negative) {
    bits.refill();
    int found = __builtin_clzll(bits.window() | 1);
    int k = kp >> 3;
    for (;;) {
        // A set bit is a stream bit; a window without one is all zeros (or past the end).
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
        // A stream that ends inside the zeros would otherwise be counted for ever.
        if (bits.consumed() >= totalBits)
            return false;
        bits.refill();
        found = __builtin_clzll(bits.window() | 1);
    }
    run += bits.read(kp >> 3);
    negative = bits.read(1) != 0;
    return true;
}

template <typename T>
inline T lowBits(int64_t value) {
    return T(std::make_unsigned_t<T>(value));
}

// x / 2 for even x, -(x + 1) / 2 for odd x (also for the negative x of a corrupt stream).
inline int64_t unmapPair(int64_t x) {
    return (x >> 1) ^ -(x & 1);
}

// Zeros for a run of n values with `room` values left in the output. Short runs take one fixed-size
// store; the values it writes beyond the run are overwritten by the values that follow.
template <typename T>
inline void writeZeros(T* output, size_t n, size_t room) {
    constexpr size_t kChunk = 64 / sizeof(T);
    if (n <= kChunk && room >= kChunk)
        std::memset(output, 0, 64);
    else
        std::memset(output, 0, n * sizeof(T));
}

// kp change after a pair: both values zero +6, one zero 0, neither zero -6.
constexpr int kPairKpStep[3] = {6, 0, -6};

template <typename T>
bool rlgr3DecodeAny(Rfx7BitReader& reader, T* output, size_t count) {
    const uint64_t totalBits = reader.totalBits();
    BitWindow bits(reader.data(), reader.size(), reader.bitsConsumed());
    int kp = 8;
    int krp = 8;
    size_t written = 0;
    bool ok = true;
    while (written < count) {
        // 56 or more bits: a short run, its remainder and sign and a Golomb-Rice code of up to about 36
        // bits, or a pair code and its first value, all come from this one window.
        bits.refill();
        if (kp >= 8) {
            // Run mode: unary count of zero runs, each worth 2^k, then the k-bit remainder.
            uint64_t run;
            bool negative;
            const uint64_t window = bits.window();
            const int found = __builtin_clzll(window | 1);
            if (__builtin_expect(found < kShortRun, 1)) {
                const RunStep step = kRunTable.steps[kp][found];
                kp = step.kp;
                // The terminating 1, the k remainder bits and the sign: at most 19 bits, all in the window.
                const int k = kp >> 3;
                const uint64_t rest = window << (found + 1);
                run = step.run + topBits(rest, k);
                negative = ((rest << k) >> 63) != 0;
                bits.consume(found + 2 + k);
            } else {
                // Copies, so that the window and parameters can stay in registers.
                BitWindow copy = bits;
                int kpCopy = kp;
                uint64_t runCopy = 0;
                bool negativeCopy = false;
                ok = readLongRun(copy, totalBits, kpCopy, runCopy, negativeCopy);
                bits = copy;
                kp = kpCopy;
                run = runCopy;
                negative = negativeCopy;
                if (!ok)
                    break;
            }
            const size_t zeros = size_t(std::min<uint64_t>(run, count - written));
            writeZeros(output + written, zeros, count - written);
            written += zeros;

            uint32_t magnitude;
            if (!readGolombRice(bits, krp, magnitude)) {
                ok = false;
                break;
            }
            // sign ? -(magnitude + 1) : magnitude + 1
            const int64_t sign = -int64_t(negative);
            if (written < count)
                output[written++] = lowBits<T>((int64_t(magnitude) + 1 + sign) ^ sign);
            kp = std::max(kp - 6, 0);
        } else {
            // Pair mode: one code holds two mapped values; the first is sent in as many bits as the code has.
            uint32_t code;
            if (!readGolombRice(bits, krp, code)) {
                ok = false;
                break;
            }
            const int n = 63 - __builtin_clzll((uint64_t(code) << 1) | 1);
            if (__builtin_expect(bits.count() < n, 0))
                bits.refill();
            const int64_t first = int64_t(topBits(bits.window(), n));
            bits.consume(n);
            const int64_t second = int64_t(code) - first;
            output[written++] = lowBits<T>(unmapPair(first));
            if (written < count)
                output[written++] = lowBits<T>(unmapPair(second));
            kp = std::min(std::max(kp + kPairKpStep[int(first != 0) + int(second != 0)], 0), kParameterMax);
        }
    }
    if (!ok)
        std::memset(output + written, 0, (count - written) * sizeof(T));
    reader.seek(bits.consumed());
    return ok;
}

constexpr int kLl3Start = 4032;

} // namespace

bool rlgr3Decode(Rfx7BitReader& reader, int16_t* output, size_t count) {
    return rlgr3DecodeAny(reader, output, count);
}

bool rlgr3Decode(Rfx7BitReader& reader, uint8_t* output, size_t count) {
    return rlgr3DecodeAny(reader, output, count);
}

void decodeLl3Deltas(int16_t* plane) {
    int16_t* ll3 = plane + kLl3Start;
    for (int i = 1; i < 64; ++i)
        ll3[i] = int16_t(uint16_t(uint16_t(ll3[i]) + uint16_t(ll3[i - 1])));
}

void dequantizePlane(int16_t* plane, const Rfx7QuantSet& quant) {
    rfx7ActiveKernels().dequantizePlane(plane, quant);
}

void inverseDwt(int16_t* plane, int16_t* scratch) {
    rfx7ActiveKernels().inverseDwt(plane, scratch);
}

void yCbCrToArgb(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                 uint8_t* destination, ptrdiff_t strideBytes) {
    rfx7ActiveKernels().yCbCrToArgb(y, cb, cr, alpha, destination, strideBytes);
}

Rfx7DecodeResult decodeRfx7Tile(Rfx7WorkBuffer& work, const uint8_t* data, size_t size,
                                const Rfx7QuantSet& quantY, const Rfx7QuantSet& quantCb,
                                const Rfx7QuantSet& quantCr, Rfx7TileCacheEntry* entry, uint8_t* destination,
                                ptrdiff_t strideBytes) {
    const Rfx7Kernels& kernels = rfx7ActiveKernels();
    Rfx7DecodeResult result;
    Rfx7BitReader reader(data, size);
    if (!rlgr3Decode(reader, work.coefficients, kRfx7CoefficientCount))
        return result;

    const bool refinement = entry && entry->hasCoefficients;
    const uint8_t* alpha = nullptr; // opaque
    bool alphaDecoded = false;
    if (!refinement) {
        // The alpha plane starts at the first multiple of 64 bits beyond the coefficients.
        const uint64_t consumed = reader.bitsConsumed();
        if (consumed > 0)
            reader.seek((consumed / 64 + 1) * 64);
        if (!reader.atEnd()) {
            if (!rlgr3Decode(reader, work.alpha, kRfx7PlaneSize))
                return result;
            alphaDecoded = true;
            alpha = work.alpha;
        }
        result.hasAlpha = alphaDecoded;
    } else if (entry->hasAlpha) {
        alpha = entry->alpha.data();
        result.hasAlpha = true;
    }

    const Rfx7QuantSet* quants[3] = {&quantY, &quantCb, &quantCr};
    for (int p = 0; p < 3; ++p) {
        decodeLl3Deltas(work.plane(p));
        kernels.dequantizePlane(work.plane(p), *quants[p]);
    }

    if (entry) {
        if (refinement) {
            kernels.addCoefficients(work.coefficients, entry->coefficients.data(), kRfx7CoefficientCount);
        } else {
            entry->hasCoefficients = 1;
            // Whether this pass brought alpha, so that a later refinement never shows an older tile's alpha.
            entry->hasAlpha = alphaDecoded;
            if (alphaDecoded)
                std::memcpy(entry->alpha.data(), work.alpha, sizeof work.alpha);
        }
        std::memcpy(entry->coefficients.data(), work.coefficients, sizeof work.coefficients);
    }

    for (int p = 0; p < 3; ++p)
        kernels.inverseDwt(work.plane(p), work.scratch);
    kernels.yCbCrToArgb(work.plane(0), work.plane(1), work.plane(2), alpha, destination, strideBytes);
    result.status = Rfx7Status::Ok;
    return result;
}

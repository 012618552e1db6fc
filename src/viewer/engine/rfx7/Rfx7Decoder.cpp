#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kParameterMax = 80;
// Bits of a window from Rfx7BitReader::peek that are sure to come from the stream.
constexpr int kWindowBits = 57;
// No 16-bit value pair needs a unary prefix longer than this even with kr = 0; a longer one can
// only come from a corrupt stream and would overflow the code arithmetic.
constexpr uint64_t kMaxUnaryOnes = 1u << 17;

// Golomb-Rice code with parameter kr (from krp), adapting krp. False on an over-long prefix.
inline bool readGolombRice(Rfx7BitReader& reader, int& krp, uint32_t& code) {
    const int kr = krp >> 3;
    uint64_t ones = 0;
    for (;;) {
        // Bits past the end read as 0, so this always finds a terminating 0.
        const uint64_t inverted = ~reader.peek();
        const int run = inverted ? __builtin_clzll(inverted) : 64;
        if (run < kWindowBits) {
            ones += uint64_t(run);
            reader.skip(uint64_t(run) + 1);
            break;
        }
        ones += kWindowBits;
        reader.skip(kWindowBits);
        if (ones > kMaxUnaryOnes)
            return false;
    }
    if (ones > kMaxUnaryOnes)
        return false;
    code = (uint32_t(ones) << kr) + reader.readBits(kr);
    if (ones == 0)
        krp = std::max(krp - 2, 0);
    else if (ones >= 2)
        krp = int(std::min<uint64_t>(uint64_t(krp) + ones, kParameterMax));
    return true;
}

template <typename T>
inline T lowBits(int64_t value) {
    return T(std::make_unsigned_t<T>(value));
}

inline int64_t unmapPair(int64_t x) {
    return (x & 1) ? -((x + 1) / 2) : x / 2;
}

template <typename T>
bool rlgr3DecodeAny(Rfx7BitReader& reader, T* output, size_t count) {
    int kp = 8;
    int krp = 8;
    size_t written = 0;
    while (written < count) {
        int k = kp >> 3;
        if (k != 0) {
            // Run mode: unary count of zero runs, each worth 2^k, then the k-bit remainder.
            uint64_t run = 0;
            for (;;) {
                const uint64_t window = reader.peek();
                if (window != 0) {
                    const int zeros = __builtin_clzll(window); // a set bit is always a stream bit
                    for (int i = 0; i < zeros; ++i) {
                        run += uint64_t(1) << k;
                        kp = std::min(kp + 4, kParameterMax);
                        k = kp >> 3;
                    }
                    reader.skip(uint64_t(zeros) + 1);
                    break;
                }
                // A stream that ends inside the zeros would otherwise be counted for ever.
                if (reader.bitsRemaining() <= uint64_t(kWindowBits))
                    return false;
                for (int i = 0; i < kWindowBits; ++i) {
                    run += uint64_t(1) << k;
                    kp = std::min(kp + 4, kParameterMax);
                    k = kp >> 3;
                }
                reader.skip(kWindowBits);
            }
            run += reader.readBits(k);
            const size_t zeros = size_t(std::min<uint64_t>(run, count - written));
            std::memset(output + written, 0, zeros * sizeof(T));
            written += zeros;

            const bool negative = reader.readBit();
            uint32_t magnitude;
            if (!readGolombRice(reader, krp, magnitude))
                return false;
            if (written < count)
                output[written++] = lowBits<T>(negative ? -(int64_t(magnitude) + 1) : int64_t(magnitude) + 1);
            kp = std::max(kp - 6, 0);
        } else {
            // Pair mode: one code holds two mapped values; the first is sent in as many bits as the code has.
            uint32_t code;
            if (!readGolombRice(reader, krp, code))
                return false;
            const int bits = code ? 32 - __builtin_clz(code) : 0;
            const int64_t first = reader.readBits(bits);
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
    return true;
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
    const uint8_t* alpha = work.alpha;
    bool alphaDecoded = false;
    if (!refinement) {
        // The alpha plane starts at the first multiple of 64 bits beyond the coefficients.
        const uint64_t consumed = reader.bitsConsumed();
        if (consumed > 0)
            reader.seek((consumed / 64 + 1) * 64);
        std::memset(work.alpha, 0, sizeof work.alpha);
        if (!reader.atEnd()) {
            if (!rlgr3Decode(reader, work.alpha, kRfx7PlaneSize))
                return result;
            alphaDecoded = true;
        }
        result.hasAlpha = alphaDecoded;
    } else if (entry->hasAlpha) {
        alpha = entry->alpha.data();
        result.hasAlpha = true;
    } else {
        std::memset(work.alpha, 0, sizeof work.alpha);
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

// SSE2 and AVX2 forms of the hot stages. They work in 16-bit lanes where the scalar code works in
// int: every step is exact modulo 2^16 (rounded averages through the unsigned average with the sign
// bit flipped, floor averages as (a & b) + ((a ^ b) >> 1)), so the stored results are the same bits.

#include "viewer/engine/rfx7/Rfx7Kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define RFX7_AVX2 __attribute__((target("avx2")))

namespace {

// ---------------------------------------------------------------- SSE2

inline __m128i roundedAverage(__m128i a, __m128i b) // (a + b + 1) >> 1
{
    const __m128i bias = _mm_set1_epi16(int16_t(0x8000));
    return _mm_xor_si128(_mm_avg_epu16(_mm_xor_si128(a, bias), _mm_xor_si128(b, bias)), bias);
}

inline __m128i floorAverage(__m128i a, __m128i b) // (a + b) >> 1
{
    return _mm_add_epi16(_mm_and_si128(a, b), _mm_srai_epi16(_mm_xor_si128(a, b), 1));
}

void dequantizeSse2(int16_t* plane, const Rfx7QuantSet& quant) {
    for (int b = 0; b < 10; ++b) {
        __m128i* band = reinterpret_cast<__m128i*>(plane + kRfx7Bands[b].start);
        const int vectors = kRfx7Bands[b].length / 8;
        const int q = quant[b] & 15;
        if (q == 0) {
            for (int i = 0; i < vectors; ++i)
                _mm_storeu_si128(band + i, _mm_setzero_si128());
        } else if (q > 1) {
            const __m128i shift = _mm_cvtsi32_si128(q - 1);
            for (int i = 0; i < vectors; ++i)
                _mm_storeu_si128(band + i, _mm_sll_epi16(_mm_loadu_si128(band + i), shift));
        }
    }
}

void addSse2(int16_t* destination, const int16_t* source, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(destination + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_add_epi16(a, b));
    }
    for (; i < count; ++i)
        destination[i] = int16_t(uint16_t(uint16_t(destination[i]) + uint16_t(source[i])));
}

// One row: n = 8 * M low values and n high values give 2n interleaved outputs.
template <int M>
inline void idwtRow(const int16_t* low, const int16_t* high, int16_t* out) {
    const __m128i firstLane = _mm_setr_epi16(-1, 0, 0, 0, 0, 0, 0, 0);
    const __m128i lastLane = _mm_setr_epi16(0, 0, 0, 0, 0, 0, 0, -1);
    __m128i h[M], e[M];
    for (int k = 0; k < M; ++k)
        h[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high + 8 * k));
    for (int k = 0; k < M; ++k) {
        // Lane i holds H[i - 1]; before the first value stands the first value itself.
        const __m128i carry = k == 0 ? _mm_and_si128(h[0], firstLane) : _mm_srli_si128(h[k - 1], 14);
        const __m128i previous = _mm_or_si128(_mm_slli_si128(h[k], 2), carry);
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low + 8 * k));
        e[k] = _mm_sub_epi16(l, roundedAverage(previous, h[k]));
    }
    for (int k = 0; k < M; ++k) {
        // Lane i holds E[i + 1]; after the last value stands the last value itself.
        const __m128i carry = k == M - 1 ? _mm_and_si128(e[k], lastLane) : _mm_slli_si128(e[k + 1], 14);
        const __m128i next = _mm_or_si128(_mm_srli_si128(e[k], 2), carry);
        const __m128i o = _mm_add_epi16(_mm_add_epi16(h[k], h[k]), floorAverage(e[k], next));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k), _mm_unpacklo_epi16(e[k], o));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k + 8), _mm_unpackhi_epi16(e[k], o));
    }
}

struct DwtLevel {
    int n, ll, hl, lh, hh, out;
};
const DwtLevel kLevels[3] = {
    {8, 4032, 3840, 3904, 3968, 3840},
    {16, 3840, 3072, 3328, 3584, 3072},
    {32, 3072, 0, 1024, 2048, 0},
};

template <int M>
void idwtRows(int16_t* plane, int16_t* scratch, const DwtLevel& level) {
    const int n = level.n;
    for (int r = 0; r < n; ++r) {
        idwtRow<M>(plane + level.ll + r * n, plane + level.hl + r * n, scratch + r * 2 * n);
        idwtRow<M>(plane + level.lh + r * n, plane + level.hh + r * n, scratch + (n + r) * 2 * n);
    }
}

void idwtRowsAnyLevel(int16_t* plane, int16_t* scratch, const DwtLevel& level) {
    if (level.n == 8)
        idwtRows<1>(plane, scratch, level);
    else if (level.n == 16)
        idwtRows<2>(plane, scratch, level);
    else
        idwtRows<4>(plane, scratch, level);
}

void idwtColumnsSse2(const int16_t* scratch, int16_t* out, int n) {
    const int width = 2 * n;
    auto at = [](const int16_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto put = [](int16_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
    for (int i = 0; i < n; ++i) {
        const int16_t* l = scratch + i * width;
        const int16_t* h = scratch + (n + i) * width;
        const int16_t* hPrevious = i == 0 ? h : h - width;
        for (int c = 0; c < width; c += 8)
            put(out + 2 * i * width + c,
                _mm_sub_epi16(at(l + c), roundedAverage(at(hPrevious + c), at(h + c))));
    }
    for (int i = 0; i < n; ++i) {
        const int16_t* h = scratch + (n + i) * width;
        const int16_t* e = out + 2 * i * width;
        const int16_t* eNext = i == n - 1 ? e : e + 2 * width;
        for (int c = 0; c < width; c += 8) {
            const __m128i hv = at(h + c);
            put(out + (2 * i + 1) * width + c,
                _mm_add_epi16(_mm_add_epi16(hv, hv), floorAverage(at(e + c), at(eNext + c))));
        }
    }
}

void inverseDwtSse2(int16_t* plane, int16_t* scratch) {
    for (const DwtLevel& level : kLevels) {
        idwtRowsAnyLevel(plane, scratch, level);
        idwtColumnsSse2(scratch, plane + level.out, level.n);
    }
}

// Constants for _mm_madd_epi16 over (first, second) 16-bit pairs: low half multiplies the first.
constexpr int pairOf(int first, int second) {
    return int((uint32_t(uint16_t(second)) << 16) | uint16_t(first));
}

// Each channel is (2^16 (Y + 4096) + c X) >> 21. With c = 4a + b (b < 4) that equals
// (2^14 Y + a X + ((b X + 2^28) >> 2)) >> 19, whose terms stay inside 32 bits for every 16-bit input:
// Blue  = (16384 Y + 28999 Cb + ((2 Cb + 2^28) >> 2)) >> 19
// Red   = (16384 Y + 22986 Cr + ((3 Cr + 2^28) >> 2)) >> 19
// Green = (16384 Y - 5636 Cb - 11698 Cr + 2^26) >> 19
void yCbCrToArgbSse2(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                     uint8_t* destination, ptrdiff_t strideBytes) {
    const __m128i blue1 = _mm_set1_epi32(pairOf(28999, 16384)), blue2 = _mm_set1_epi32(pairOf(2, 0));
    const __m128i red1 = _mm_set1_epi32(pairOf(22986, 16384)), red2 = _mm_set1_epi32(pairOf(3, 0));
    const __m128i green1 = _mm_set1_epi32(pairOf(-5636, -11698)), green2 = _mm_set1_epi32(pairOf(0, 16384));
    const __m128i offset = _mm_set1_epi32(1 << 28), greenOffset = _mm_set1_epi32(1 << 26);
    const __m128i zero = _mm_setzero_si128(), max8 = _mm_set1_epi16(255);
    for (int row = 0; row < kRfx7TileSize; ++row) {
        uint8_t* out = destination + row * strideBytes;
        for (int col = 0; col < kRfx7TileSize; col += 8) {
            const int i = row * kRfx7TileSize + col;
            auto load = [i](const int16_t* p) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            };
            const __m128i yv = load(y), cbv = load(cb), crv = load(cr);
            const __m128i blueLo = _mm_unpacklo_epi16(cbv, yv), blueHi = _mm_unpackhi_epi16(cbv, yv);
            const __m128i redLo = _mm_unpacklo_epi16(crv, yv), redHi = _mm_unpackhi_epi16(crv, yv);
            const __m128i chromaLo = _mm_unpacklo_epi16(cbv, crv), chromaHi = _mm_unpackhi_epi16(cbv, crv);
            auto channel = [&](__m128i pairs, __m128i c1, __m128i c2) {
                const __m128i fraction = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, c2), offset), 2);
                return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, c1), fraction), 19);
            };
            auto green = [&](__m128i chroma, __m128i pairs) {
                return _mm_srai_epi32(
                    _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(chroma, green1), greenOffset),
                                  _mm_madd_epi16(pairs, green2)),
                    19);
            };
            auto clamp8 = [&](__m128i v) { return _mm_min_epi16(_mm_max_epi16(v, zero), max8); };
            const __m128i b =
                clamp8(_mm_packs_epi32(channel(blueLo, blue1, blue2), channel(blueHi, blue1, blue2)));
            const __m128i r = clamp8(_mm_packs_epi32(channel(redLo, red1, red2), channel(redHi, red1, red2)));
            const __m128i g = clamp8(_mm_packs_epi32(green(chromaLo, blueLo), green(chromaHi, blueHi)));
            const __m128i a =
                alpha ? _mm_sub_epi16(max8,
                                      _mm_unpacklo_epi8(
                                          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(alpha + i)), zero))
                      : max8;
            const __m128i gb = _mm_or_si128(b, _mm_slli_epi16(g, 8));
            const __m128i ar = _mm_or_si128(r, _mm_slli_epi16(a, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * col), _mm_unpacklo_epi16(gb, ar));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * col + 16), _mm_unpackhi_epi16(gb, ar));
        }
    }
}

const Rfx7Kernels kSse2 = {"sse2", dequantizeSse2, addSse2, inverseDwtSse2, yCbCrToArgbSse2};

// ---------------------------------------------------------------- AVX2

RFX7_AVX2 inline __m256i roundedAverage256(__m256i a, __m256i b) {
    const __m256i bias = _mm256_set1_epi16(int16_t(0x8000));
    return _mm256_xor_si256(_mm256_avg_epu16(_mm256_xor_si256(a, bias), _mm256_xor_si256(b, bias)), bias);
}

RFX7_AVX2 inline __m256i floorAverage256(__m256i a, __m256i b) {
    return _mm256_add_epi16(_mm256_and_si256(a, b), _mm256_srai_epi16(_mm256_xor_si256(a, b), 1));
}

RFX7_AVX2 void dequantizeAvx2(int16_t* plane, const Rfx7QuantSet& quant) {
    for (int b = 0; b < 10; ++b) {
        __m256i* band = reinterpret_cast<__m256i*>(plane + kRfx7Bands[b].start);
        const int vectors = kRfx7Bands[b].length / 16;
        const int q = quant[b] & 15;
        if (q == 0) {
            for (int i = 0; i < vectors; ++i)
                _mm256_storeu_si256(band + i, _mm256_setzero_si256());
        } else if (q > 1) {
            const __m128i shift = _mm_cvtsi32_si128(q - 1);
            for (int i = 0; i < vectors; ++i)
                _mm256_storeu_si256(band + i, _mm256_sll_epi16(_mm256_loadu_si256(band + i), shift));
        }
    }
}

RFX7_AVX2 void addAvx2(int16_t* destination, const int16_t* source, size_t count) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(destination + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i), _mm256_add_epi16(a, b));
    }
    for (; i < count; ++i)
        destination[i] = int16_t(uint16_t(uint16_t(destination[i]) + uint16_t(source[i])));
}

RFX7_AVX2 inline __m256i at(const int16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
RFX7_AVX2 inline void put(int16_t* p, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

RFX7_AVX2 void idwtColumnsAvx2(const int16_t* scratch, int16_t* out, int n) {
    const int width = 2 * n;
    for (int i = 0; i < n; ++i) {
        const int16_t* l = scratch + i * width;
        const int16_t* h = scratch + (n + i) * width;
        const int16_t* hPrevious = i == 0 ? h : h - width;
        for (int c = 0; c < width; c += 16)
            put(out + 2 * i * width + c,
                _mm256_sub_epi16(at(l + c), roundedAverage256(at(hPrevious + c), at(h + c))));
    }
    for (int i = 0; i < n; ++i) {
        const int16_t* h = scratch + (n + i) * width;
        const int16_t* e = out + 2 * i * width;
        const int16_t* eNext = i == n - 1 ? e : e + 2 * width;
        for (int c = 0; c < width; c += 16) {
            const __m256i hv = at(h + c);
            put(out + (2 * i + 1) * width + c,
                _mm256_add_epi16(_mm256_add_epi16(hv, hv), floorAverage256(at(e + c), at(eNext + c))));
        }
    }
}

// One row of n = 16 * M low and n high values into 2n outputs, with elements moved across the two
// 128-bit lanes by permute + alignr.
template <int M>
RFX7_AVX2 inline void idwtRowAvx2(const int16_t* low, const int16_t* high, int16_t* out) {
    const __m256i firstLane = _mm256_setr_epi16(-1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i lastLane = _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1);
    __m256i h[M], e[M];
    for (int k = 0; k < M; ++k)
        h[k] = at(high + 16 * k);
    for (int k = 0; k < M; ++k) {
        // Lane i holds H[i - 1]; before the first value stands the first value itself.
        const __m256i shifted = _mm256_alignr_epi8(h[k], _mm256_permute2x128_si256(h[k], h[k], 0x08), 14);
        const __m256i carry =
            k == 0 ? _mm256_and_si256(h[0], firstLane)
                   : _mm256_srli_si256(_mm256_permute2x128_si256(h[k - 1], h[k - 1], 0x81), 14);
        const __m256i previous = _mm256_or_si256(shifted, carry);
        e[k] = _mm256_sub_epi16(at(low + 16 * k), roundedAverage256(previous, h[k]));
    }
    for (int k = 0; k < M; ++k) {
        // Lane i holds E[i + 1]; after the last value stands the last value itself.
        const __m256i shifted = _mm256_alignr_epi8(_mm256_permute2x128_si256(e[k], e[k], 0x81), e[k], 2);
        const __m256i carry =
            k == M - 1 ? _mm256_and_si256(e[k], lastLane)
                       : _mm256_slli_si256(_mm256_permute2x128_si256(e[k + 1], e[k + 1], 0x08), 14);
        const __m256i next = _mm256_or_si256(shifted, carry);
        const __m256i o = _mm256_add_epi16(_mm256_add_epi16(h[k], h[k]), floorAverage256(e[k], next));
        const __m256i lo = _mm256_unpacklo_epi16(e[k], o); // outputs 0-7 and 16-23
        const __m256i hi = _mm256_unpackhi_epi16(e[k], o); // outputs 8-15 and 24-31
        put(out + 32 * k, _mm256_permute2x128_si256(lo, hi, 0x20));
        put(out + 32 * k + 16, _mm256_permute2x128_si256(lo, hi, 0x31));
    }
}

template <int M>
RFX7_AVX2 void idwtRowsAvx2(int16_t* plane, int16_t* scratch, const DwtLevel& level) {
    const int n = level.n;
    for (int r = 0; r < n; ++r) {
        idwtRowAvx2<M>(plane + level.ll + r * n, plane + level.hl + r * n, scratch + r * 2 * n);
        idwtRowAvx2<M>(plane + level.lh + r * n, plane + level.hh + r * n, scratch + (n + r) * 2 * n);
    }
}

RFX7_AVX2 void inverseDwtAvx2(int16_t* plane, int16_t* scratch) {
    idwtRows<1>(plane, scratch, kLevels[0]);
    idwtColumnsAvx2(scratch, plane + kLevels[0].out, kLevels[0].n);
    idwtRowsAvx2<1>(plane, scratch, kLevels[1]);
    idwtColumnsAvx2(scratch, plane + kLevels[1].out, kLevels[1].n);
    idwtRowsAvx2<2>(plane, scratch, kLevels[2]);
    idwtColumnsAvx2(scratch, plane + kLevels[2].out, kLevels[2].n);
}

// The same arithmetic as the SSE2 form.
RFX7_AVX2 inline __m256i channel256(__m256i pairs, __m256i c1, __m256i c2, __m256i offset) {
    const __m256i fraction = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(pairs, c2), offset), 2);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(pairs, c1), fraction), 19);
}

RFX7_AVX2 inline __m256i green256(__m256i chroma, __m256i c1, __m256i pairs, __m256i c2, __m256i offset) {
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(chroma, c1), offset),
                                              _mm256_madd_epi16(pairs, c2)),
                             19);
}

RFX7_AVX2 inline __m256i clamp256(__m256i v, __m256i low, __m256i high) {
    return _mm256_min_epi16(_mm256_max_epi16(v, low), high);
}

RFX7_AVX2 void yCbCrToArgbAvx2(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                               uint8_t* destination, ptrdiff_t strideBytes) {
    const __m256i blue1 = _mm256_set1_epi32(pairOf(28999, 16384)), blue2 = _mm256_set1_epi32(pairOf(2, 0));
    const __m256i red1 = _mm256_set1_epi32(pairOf(22986, 16384)), red2 = _mm256_set1_epi32(pairOf(3, 0));
    const __m256i green1 = _mm256_set1_epi32(pairOf(-5636, -11698)),
                  green2 = _mm256_set1_epi32(pairOf(0, 16384));
    const __m256i offset = _mm256_set1_epi32(1 << 28), greenOffset = _mm256_set1_epi32(1 << 26);
    const __m256i zero = _mm256_setzero_si256(), max8 = _mm256_set1_epi16(255);
    for (int row = 0; row < kRfx7TileSize; ++row) {
        uint8_t* out = destination + row * strideBytes;
        for (int col = 0; col < kRfx7TileSize; col += 16) {
            const int i = row * kRfx7TileSize + col;
            const __m256i yv = at(y + i), cbv = at(cb + i), crv = at(cr + i);
            const __m256i blueLo = _mm256_unpacklo_epi16(cbv, yv), blueHi = _mm256_unpackhi_epi16(cbv, yv);
            const __m256i redLo = _mm256_unpacklo_epi16(crv, yv), redHi = _mm256_unpackhi_epi16(crv, yv);
            const __m256i chromaLo = _mm256_unpacklo_epi16(cbv, crv),
                          chromaHi = _mm256_unpackhi_epi16(cbv, crv);
            // packs undoes unpacklo/unpackhi within each 128-bit lane, so the pixel order is kept.
            const __m256i b = clamp256(_mm256_packs_epi32(channel256(blueLo, blue1, blue2, offset),
                                                          channel256(blueHi, blue1, blue2, offset)),
                                       zero, max8);
            const __m256i r = clamp256(_mm256_packs_epi32(channel256(redLo, red1, red2, offset),
                                                          channel256(redHi, red1, red2, offset)),
                                       zero, max8);
            const __m256i g =
                clamp256(_mm256_packs_epi32(green256(chromaLo, green1, blueLo, green2, greenOffset),
                                            green256(chromaHi, green1, blueHi, green2, greenOffset)),
                         zero, max8);
            const __m256i a = alpha
                                  ? _mm256_sub_epi16(max8, _mm256_cvtepu8_epi16(_mm_loadu_si128(
                                                               reinterpret_cast<const __m128i*>(alpha + i))))
                                  : max8;
            const __m256i gb = _mm256_or_si256(b, _mm256_slli_epi16(g, 8));
            const __m256i ar = _mm256_or_si256(r, _mm256_slli_epi16(a, 8));
            const __m256i lo = _mm256_unpacklo_epi16(gb, ar); // pixels 0-3 and 8-11
            const __m256i hi = _mm256_unpackhi_epi16(gb, ar); // pixels 4-7 and 12-15
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * col),
                                _mm256_permute2x128_si256(lo, hi, 0x20));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * col + 32),
                                _mm256_permute2x128_si256(lo, hi, 0x31));
        }
    }
}

const Rfx7Kernels kAvx2 = {"avx2", dequantizeAvx2, addAvx2, inverseDwtAvx2, yCbCrToArgbAvx2};

} // namespace

const Rfx7Kernels* rfx7Sse2Kernels() {
    return &kSse2;
}

const Rfx7Kernels* rfx7Avx2Kernels() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported ? &kAvx2 : nullptr;
}

#else

const Rfx7Kernels* rfx7Sse2Kernels() {
    return nullptr;
}
const Rfx7Kernels* rfx7Avx2Kernels() {
    return nullptr;
}

#endif

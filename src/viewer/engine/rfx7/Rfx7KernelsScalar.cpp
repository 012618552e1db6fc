// The portable definitions of the hot stages. The vector tables must give the same bits.

#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

const Rfx7Band kRfx7Bands[10] = {
    {4032, 64},   // LL3
    {3904, 64},   // LH3
    {3840, 64},   // HL3
    {3968, 64},   // HH3
    {3328, 256},  // LH2
    {3072, 256},  // HL2
    {3584, 256},  // HH2
    {1024, 1024}, // LH1
    {0, 1024},    // HL1
    {2048, 1024}, // HH1
};

namespace {

void dequantizeScalar(int16_t* plane, const Rfx7QuantSet& quant) {
    for (int b = 0; b < 10; ++b) {
        int16_t* band = plane + kRfx7Bands[b].start;
        const int length = kRfx7Bands[b].length;
        const int q = quant[b] & 15;
        if (q == 0) {
            std::memset(band, 0, size_t(length) * sizeof(int16_t));
            continue;
        }
        const int shift = q - 1;
        for (int i = 0; i < length; ++i)
            band[i] = int16_t(uint16_t(uint16_t(band[i]) << shift));
    }
}

void addScalar(int16_t* destination, const int16_t* source, size_t count) {
    for (size_t i = 0; i < count; ++i)
        destination[i] = int16_t(uint16_t(uint16_t(destination[i]) + uint16_t(source[i])));
}

// One inverse lifting step: n low and n high values (each `inStride` apart) give 2n outputs
// (`outStride` apart). Arithmetic in int, every output stored as 16 bits before it is reused.
void idwt1d(const int16_t* low, const int16_t* high, ptrdiff_t inStride, int16_t* out, ptrdiff_t outStride,
            int n) {
    auto L = [&](int i) { return int(low[i * inStride]); };
    auto H = [&](int i) { return int(high[i * inStride]); };
    auto O = [&](int i) -> int16_t& { return out[i * outStride]; };
    O(0) = int16_t(L(0) - H(0));
    for (int i = 1; i < n; ++i)
        O(2 * i) = int16_t(L(i) - ((H(i - 1) + H(i) + 1) >> 1));
    for (int i = 0; i < n - 1; ++i)
        O(2 * i + 1) = int16_t(2 * H(i) + ((int(O(2 * i)) + int(O(2 * i + 2))) >> 1));
    O(2 * n - 1) = int16_t(2 * H(n - 1) + int(O(2 * n - 2)));
}

// Where each level's bands lie; the level's output replaces them (it has the same size).
struct DwtLevel {
    int n, ll, hl, lh, hh, out;
};
const DwtLevel kLevels[3] = {
    {8, 4032, 3840, 3904, 3968, 3840},
    {16, 3840, 3072, 3328, 3584, 3072},
    {32, 3072, 0, 1024, 2048, 0},
};

void inverseDwtScalar(int16_t* plane, int16_t* scratch) {
    for (const DwtLevel& level : kLevels) {
        const int n = level.n;
        const int width = 2 * n;
        for (int r = 0; r < n; ++r) {
            idwt1d(plane + level.ll + r * n, plane + level.hl + r * n, 1, scratch + r * width, 1, n);
            idwt1d(plane + level.lh + r * n, plane + level.hh + r * n, 1, scratch + (n + r) * width, 1, n);
        }
        for (int c = 0; c < width; ++c)
            idwt1d(scratch + c, scratch + n * width + c, width, plane + level.out + c, width, n);
    }
}

inline int clampTo(int v, int low, int high) {
    return v < low ? low : (v > high ? high : v);
}

void yCbCrToArgbScalar(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                       uint8_t* destination, ptrdiff_t strideBytes) {
    for (int row = 0; row < kRfx7TileSize; ++row) {
        uint8_t* out = destination + row * strideBytes;
        for (int col = 0; col < kRfx7TileSize; ++col) {
            const int i = row * kRfx7TileSize + col;
            // 64 bits: with extreme planes the sums need up to 34.
            const int64_t base = int64_t(y[i] + 4096) * 65536;
            const int64_t Cb = cb[i], Cr = cr[i];
            out[4 * col + 0] = uint8_t(clampTo(int((base + 115998 * Cb) >> 21), 0, 255));
            out[4 * col + 1] = uint8_t(clampTo(int((base - 22544 * Cb - 46792 * Cr) >> 21), 0, 255));
            out[4 * col + 2] = uint8_t(clampTo(int((base + 91947 * Cr) >> 21), 0, 255));
            out[4 * col + 3] = alpha ? uint8_t(255 - alpha[i]) : uint8_t(255);
        }
    }
}

const Rfx7Kernels kScalar = {"scalar", dequantizeScalar, addScalar, inverseDwtScalar, yCbCrToArgbScalar};

const Rfx7Kernels* chooseKernels() {
    const char* wanted = std::getenv("VELNOR_RFX7_KERNELS");
    const std::string choice = wanted ? wanted : "";
    if (choice == "scalar")
        return &kScalar;
    if (choice != "sse2")
        if (const Rfx7Kernels* k = rfx7Avx2Kernels())
            return k;
    if (const Rfx7Kernels* k = rfx7Sse2Kernels())
        return k;
    return &kScalar;
}

} // namespace

const Rfx7Kernels& rfx7ScalarKernels() {
    return kScalar;
}

const Rfx7Kernels& rfx7ActiveKernels() {
    static const Rfx7Kernels* active = chooseKernels();
    return *active;
}

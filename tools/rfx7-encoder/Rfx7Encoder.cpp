#include "rfx7-encoder/Rfx7Encoder.h"

#include "viewer/engine/rfx7/Rfx7Kernels.h"

#include <algorithm>
#include <cstring>

const Rfx7QuantSet kRfx7TypicalQuant = {6, 6, 6, 6, 7, 7, 8, 8, 8, 9};
const Rfx7QuantSet kRfx7FinestQuant = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// ------------------------------------------------------------------ bits

void Rfx7BitWriter::write(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
        if ((m_bits & 7) == 0)
            m_bytes.push_back(0);
        if ((value >> i) & 1)
            m_bytes.back() |= uint8_t(0x80 >> (m_bits & 7));
        ++m_bits;
    }
}

void Rfx7BitWriter::writeOnes(uint64_t count) {
    for (; count >= 32; count -= 32)
        write(0xFFFFFFFFu, 32);
    write((1u << count) - 1, int(count));
}

void Rfx7BitWriter::padTo(uint64_t bitCount) {
    while (m_bits < bitCount)
        write(0, int(std::min<uint64_t>(bitCount - m_bits, 32)));
}

std::vector<uint8_t> Rfx7BitWriter::take() {
    m_bits = 0;
    return std::move(m_bytes);
}

// ------------------------------------------------------------------ RLGR3

namespace {

constexpr int kParameterMax = 80;

void writeGolombRice(Rfx7BitWriter& writer, int& krp, uint32_t value) {
    const int kr = krp >> 3;
    const uint32_t ones = value >> kr;
    writer.writeOnes(ones);
    writer.write(0, 1);
    writer.write(value & ((1u << kr) - 1), kr);
    if (ones == 0)
        krp = std::max(krp - 2, 0);
    else if (ones >= 2)
        krp = int(std::min<uint32_t>(uint32_t(krp) + ones, kParameterMax));
}

inline uint32_t mapPair(int v) {
    return v >= 0 ? uint32_t(2 * v) : uint32_t(-2 * v - 1);
}

} // namespace

void rlgr3Encode(Rfx7BitWriter& writer, const int16_t* values, size_t count) {
    int kp = 8;
    int krp = 8;
    size_t i = 0;
    while (i < count) {
        int k = kp >> 3;
        if (k != 0) {
            size_t zeros = 0;
            while (i < count && values[i] == 0) {
                ++zeros;
                ++i;
            }
            while (zeros >= (size_t(1) << k)) {
                writer.write(0, 1);
                zeros -= size_t(1) << k;
                kp = std::min(kp + 4, kParameterMax);
                k = kp >> 3;
            }
            writer.write(1, 1);
            writer.write(uint32_t(zeros), k);
            // A run that reaches the end is still followed by a sign and a magnitude, which the decoder
            // reads and drops.
            const int value = i < count ? values[i++] : 1;
            writer.write(value < 0 ? 1 : 0, 1);
            writeGolombRice(writer, krp, uint32_t(std::abs(value)) - 1);
            kp = std::max(kp - 6, 0);
        } else {
            const uint32_t first = mapPair(values[i++]);
            const uint32_t second = i < count ? mapPair(values[i++]) : 0;
            const uint32_t code = first + second;
            writeGolombRice(writer, krp, code);
            writer.write(first, code ? 32 - __builtin_clz(code) : 0);
            if (first != 0 && second != 0)
                kp = std::max(kp - 6, 0);
            else if (first == 0 && second == 0)
                kp = std::min(kp + 6, kParameterMax);
        }
    }
}

std::vector<uint8_t> rfx7EncodeStream(const int16_t* quantised, const uint8_t* alphaPlane) {
    Rfx7BitWriter writer;
    rlgr3Encode(writer, quantised, kRfx7CoefficientCount);
    if (alphaPlane) {
        // The alpha plane starts at the first multiple of 64 bits beyond the coefficients.
        writer.padTo((writer.bitCount() / 64 + 1) * 64);
        int16_t values[kRfx7PlaneSize];
        for (int i = 0; i < kRfx7PlaneSize; ++i)
            values[i] = int16_t(int8_t(alphaPlane[i])); // the decoder keeps the low 8 bits
        rlgr3Encode(writer, values, kRfx7PlaneSize);
    }
    return writer.take();
}

// ------------------------------------------------------------------ transform

namespace {

// Forward lifting step: the decoder gets the even samples back exactly and the odd ones within one
// unit. 2n samples give n low and n high values; the edges mirror as the decoder expects.
void fdwt1d(const int* x, int n, int* low, int* high) {
    auto X = [&](int i) { return x[std::min(i, 2 * n - 2 + (i & 1))]; };
    for (int i = 0; i < n; ++i)
        high[i] = (X(2 * i + 1) - ((X(2 * i) + X(2 * i + 2)) >> 1)) >> 1;
    for (int i = 0; i < n; ++i)
        low[i] = X(2 * i) + ((high[i == 0 ? 0 : i - 1] + high[i] + 1) >> 1);
}

inline int16_t toInt16(int v) {
    return int16_t(std::clamp(v, -32768, 32767));
}

struct Level {
    int n, hl, lh, hh, ll;
};
// Band positions of each level's output; the level's LL feeds the next one.
const Level kForwardLevels[3] = {
    {32, 0, 1024, 2048, -1},
    {16, 3072, 3328, 3584, -1},
    {8, 3840, 3904, 3968, 4032},
};

void forwardDwt(const int* samples, int16_t* plane) {
    std::vector<int> block(samples, samples + kRfx7PlaneSize);
    int size = 64;
    int column[64], low[32], high[32];
    for (const Level& level : kForwardLevels) {
        const int n = level.n;
        std::vector<int> tmp(size_t(size) * size);
        // Columns first, then rows: the decoder undoes rows first, then columns.
        for (int c = 0; c < size; ++c) {
            for (int r = 0; r < size; ++r)
                column[r] = block[size_t(r) * size + c];
            fdwt1d(column, n, low, high);
            for (int r = 0; r < n; ++r) {
                tmp[size_t(r) * size + c] = low[r];
                tmp[size_t(n + r) * size + c] = high[r];
            }
        }
        std::vector<int> ll(size_t(n) * n);
        for (int r = 0; r < size; ++r) {
            fdwt1d(&tmp[size_t(r) * size], n, low, high);
            for (int i = 0; i < n; ++i) {
                if (r < n) {
                    ll[size_t(r) * n + i] = low[i];
                    plane[level.hl + r * n + i] = toInt16(high[i]);
                } else {
                    plane[level.lh + (r - n) * n + i] = toInt16(low[i]);
                    plane[level.hh + (r - n) * n + i] = toInt16(high[i]);
                }
            }
        }
        if (level.ll >= 0)
            for (int i = 0; i < n * n; ++i)
                plane[level.ll + i] = toInt16(ll[size_t(i)]);
        block = std::move(ll);
        size = n;
    }
}

inline int roundShift(int v, int shift) {
    return shift == 0 ? v : (v + (1 << (shift - 1))) >> shift;
}

// Quantises a plane (LL3 left as absolute values).
void quantise(const int16_t* plane, const Rfx7QuantSet& quant, int16_t* out) {
    for (int b = 0; b < 10; ++b) {
        const Rfx7Band band = kRfx7Bands[b];
        const int q = quant[b] & 15;
        for (int i = band.start; i < band.start + band.length; ++i)
            out[i] = q == 0 ? 0 : toInt16(roundShift(plane[i], q - 1));
    }
}

void dequantise(int16_t* plane, const Rfx7QuantSet& quant) {
    rfx7ScalarKernels().dequantizePlane(plane, quant);
}

void toLl3Differences(int16_t* plane) {
    int16_t* ll3 = plane + 4032;
    for (int i = 63; i > 0; --i)
        ll3[i] = int16_t(uint16_t(uint16_t(ll3[i]) - uint16_t(ll3[i - 1])));
}

// Quantised values of `coefficients` for the three planes, ready for the stream; `held` (if given)
// receives what the decoder reconstructs from them.
void quantiseTile(const int16_t* coefficients, const Rfx7QuantSet* quants[3], int16_t* stream,
                  int16_t* reconstructed) {
    for (int p = 0; p < 3; ++p) {
        int16_t* out = stream + p * kRfx7PlaneSize;
        quantise(coefficients + p * kRfx7PlaneSize, *quants[p], out);
        if (reconstructed) {
            std::memcpy(reconstructed + p * kRfx7PlaneSize, out, kRfx7PlaneSize * sizeof(int16_t));
            dequantise(reconstructed + p * kRfx7PlaneSize, *quants[p]);
        }
        toLl3Differences(out);
    }
}

} // namespace

Rfx7TileCoefficients rfx7ForwardTransform(const uint32_t* pixels, ptrdiff_t strideBytes) {
    Rfx7TileCoefficients result;
    std::vector<int> y(kRfx7PlaneSize), cb(kRfx7PlaneSize), cr(kRfx7PlaneSize);
    for (int row = 0; row < kRfx7TileSize; ++row) {
        const uint32_t* line =
            reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) + row * strideBytes);
        for (int col = 0; col < kRfx7TileSize; ++col) {
            const uint32_t argb = line[col];
            const int r = int((argb >> 16) & 0xFF), g = int((argb >> 8) & 0xFF), b = int(argb & 0xFF);
            const int i = row * kRfx7TileSize + col;
            // Full-range BT.601 in units of 1/32, Y centred on 0; the decoder's shift floors, so Y
            // carries half a unit for rounding.
            y[size_t(i)] = ((19595 * r + 38470 * g + 7471 * b) * 32 + 32768) / 65536 - 4096 + 16;
            cb[size_t(i)] = (-11058 * r - 21710 * g + 32768 * b) * 32 / 65536;
            cr[size_t(i)] = (32768 * r - 27439 * g - 5329 * b) * 32 / 65536;
            result.alpha[size_t(i)] = uint8_t(255 - (argb >> 24));
        }
    }
    forwardDwt(y.data(), result.values.data());
    forwardDwt(cb.data(), result.values.data() + kRfx7PlaneSize);
    forwardDwt(cr.data(), result.values.data() + 2 * kRfx7PlaneSize);
    return result;
}

std::vector<uint8_t> encodeRfx7Tile(const uint32_t* pixels, ptrdiff_t strideBytes, const Rfx7QuantSet& quantY,
                                    const Rfx7QuantSet& quantCb, const Rfx7QuantSet& quantCr,
                                    Rfx7Alpha alpha) {
    return Rfx7ProgressiveTileEncoder(pixels, strideBytes).firstPass(quantY, quantCb, quantCr, alpha);
}

Rfx7ProgressiveTileEncoder::Rfx7ProgressiveTileEncoder(const uint32_t* pixels, ptrdiff_t strideBytes)
    : m_target(rfx7ForwardTransform(pixels, strideBytes)) {}

std::vector<uint8_t> Rfx7ProgressiveTileEncoder::firstPass(const Rfx7QuantSet& quantY,
                                                           const Rfx7QuantSet& quantCb,
                                                           const Rfx7QuantSet& quantCr, Rfx7Alpha alpha) {
    const Rfx7QuantSet* quants[3] = {&quantY, &quantCb, &quantCr};
    std::vector<int16_t> stream(kRfx7CoefficientCount);
    quantiseTile(m_target.values.data(), quants, stream.data(), m_held.data());
    return rfx7EncodeStream(stream.data(), alpha == Rfx7Alpha::Include ? m_target.alpha.data() : nullptr);
}

std::vector<uint8_t> Rfx7ProgressiveTileEncoder::refine(const Rfx7QuantSet& quantY,
                                                        const Rfx7QuantSet& quantCb,
                                                        const Rfx7QuantSet& quantCr) {
    const Rfx7QuantSet* quants[3] = {&quantY, &quantCb, &quantCr};
    std::vector<int16_t> residual(kRfx7CoefficientCount), stream(kRfx7CoefficientCount),
        added(kRfx7CoefficientCount);
    for (int i = 0; i < kRfx7CoefficientCount; ++i)
        residual[size_t(i)] = toInt16(int(m_target.values[size_t(i)]) - m_held[size_t(i)]);
    quantiseTile(residual.data(), quants, stream.data(), added.data());
    rfx7ScalarKernels().addCoefficients(m_held.data(), added.data(), kRfx7CoefficientCount);
    return rfx7EncodeStream(stream.data(), nullptr);
}

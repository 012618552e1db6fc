#pragma once

// RFX7 tile encoder for test peers and benchmarks (plain C++17, no Qt). It produces the tile bytes that
// go into a SurfaceBits tile list (codec 2, or codec 7 with first passes and refinements); the
// quantiser sets used must be the ones written into the same message.
//
//     // codec 2: one 64x64 block of 0xAARRGGBB pixels (QImage::Format_ARGB32 bits), rows stride bytes apart
//     std::vector<uint8_t> tile = encodeRfx7Tile(pixels, stride, kRfx7TypicalQuant, kRfx7TypicalQuant,
//                                                kRfx7TypicalQuant, Rfx7Alpha::Omit);
//
//     // codec 7: one encoder per tile position, kept while the client caches that tile
//     Rfx7ProgressiveTileEncoder progressive(pixels, stride);
//     auto first = progressive.firstPass(coarse, coarse, coarse, Rfx7Alpha::Include);
//     auto better = progressive.refine(fine, fine, fine);   // added to what the client holds
//
// Pixels of blocks at the right or bottom edge of a surface that lie outside it may hold anything.

#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

enum class Rfx7Alpha {
    Omit,    // opaque tile: no alpha plane in the stream
    Include, // the pixels' alpha bytes follow as an alpha plane
};

// The usual quantisers: 6, 6, 6, 6, 7, 7, 8, 8, 8, 9 (LL3 ... HH1).
extern const Rfx7QuantSet kRfx7TypicalQuant;
// Quantiser 1 everywhere: no quantisation loss.
extern const Rfx7QuantSet kRfx7FinestQuant;

// One 64x64 block transformed but not yet quantised.
struct Rfx7TileCoefficients {
    std::array<int16_t, kRfx7CoefficientCount> values{}; // Y, Cb, Cr planes in band layout
    std::array<uint8_t, kRfx7PlaneSize> alpha{};         // 255 - pixel alpha, row-major
};

Rfx7TileCoefficients rfx7ForwardTransform(const uint32_t* pixels, ptrdiff_t strideBytes);

// Full tile: codec 2, or a first pass of codec 7.
std::vector<uint8_t> encodeRfx7Tile(const uint32_t* pixels, ptrdiff_t strideBytes, const Rfx7QuantSet& quantY,
                                    const Rfx7QuantSet& quantCb, const Rfx7QuantSet& quantCr,
                                    Rfx7Alpha alpha);

class Rfx7ProgressiveTileEncoder {
public:
    Rfx7ProgressiveTileEncoder(const uint32_t* pixels, ptrdiff_t strideBytes);

    // Starts over: a full tile, and what the client then holds.
    std::vector<uint8_t> firstPass(const Rfx7QuantSet& quantY, const Rfx7QuantSet& quantCb,
                                   const Rfx7QuantSet& quantCr, Rfx7Alpha alpha);
    // The difference between the block and what the client holds, at the given quantisers.
    std::vector<uint8_t> refine(const Rfx7QuantSet& quantY, const Rfx7QuantSet& quantCb,
                                const Rfx7QuantSet& quantCr);

private:
    Rfx7TileCoefficients m_target;
    std::array<int16_t, kRfx7CoefficientCount> m_held{}; // the client's cached coefficients
};

// The stream layer, for tests that need exact streams.

class Rfx7BitWriter {
public:
    void write(uint32_t value, int bits); // bits 0..32, most significant first
    void writeOnes(uint64_t count);
    uint64_t bitCount() const { return m_bits; }
    void padTo(uint64_t bitCount); // zero bits up to bitCount
    std::vector<uint8_t> take();   // pads to a byte boundary

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_bits = 0;
};

// RLGR3 coding of count values; the decoder reads exactly the bits written.
void rlgr3Encode(Rfx7BitWriter& writer, const int16_t* values, size_t count);

// A tile stream from already quantised values (12288, LL3 as differences) and an optional alpha
// plane (4096 values, stored as 255 - alpha), laid out as the decoder expects.
std::vector<uint8_t> rfx7EncodeStream(const int16_t* quantised, const uint8_t* alphaPlane);

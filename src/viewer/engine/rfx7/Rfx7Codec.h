#pragma once

// RFX7 tile decoder: one 64x64 tile of three wavelet-coded planes (Y, Cb, Cr), RLGR3 entropy coded,
// optionally followed by an alpha plane. Plain C++17, no Qt: the caller wraps the pixels in an image.
//
// Typical use from a decode job (one Rfx7WorkBuffer per pool thread, reused for every tile):
//
//     thread_local Rfx7WorkBuffer work;           // or one per runnable; need not be zeroed
//     QImage image(64, 64, QImage::Format_ARGB32);
//     Rfx7DecodeResult r = decodeRfx7Tile(work, bytes.data(), bytes.size(), qY, qCb, qCr, entryOrNull,
//                                         image.bits(), image.bytesPerLine());
//     if (!r.ok())
//         image = QImage();                         // corrupt tile: paint nothing
//     else if (!r.hasAlpha)
//         image.reinterpretAsFormat(QImage::Format_RGB32);  // every alpha byte written is 0xFF then
//
// decodeRfx7Tile is a pure function of its arguments and the cache entry; tiles may be decoded
// concurrently as long as each call has its own work buffer and its own cache entry.

#include "viewer/engine/rfx7/Rfx7BitReader.h"

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int kRfx7TileSize = 64;
constexpr int kRfx7PlaneSize = 4096;
constexpr int kRfx7CoefficientCount = 3 * kRfx7PlaneSize;

// Ten 4-bit quantisers (0-15) in wire order: LL3, LH3, HL3, HH3, LH2, HL2, HH2, LH1, HL1, HH1.
using Rfx7QuantSet = std::array<uint8_t, 10>;

// Progressive state of one tile (kept by the surfaces' tile cache). A new entry has both flags 0.
struct Rfx7TileCacheEntry {
    uint8_t hasCoefficients = 0;
    uint8_t hasAlpha = 0;
    std::array<int16_t, kRfx7CoefficientCount> coefficients{}; // dequantised Y, Cb, Cr planes
    std::array<uint8_t, kRfx7PlaneSize> alpha{};
};

// Scratch memory of one decode. Its contents on entry do not matter, so one buffer can be reused
// for any number of tiles on the same thread.
struct alignas(64) Rfx7WorkBuffer {
    int16_t coefficients[kRfx7CoefficientCount]; // Y, then Cb, then Cr
    int16_t scratch[kRfx7PlaneSize];
    uint8_t alpha[kRfx7PlaneSize];

    int16_t* plane(int index) { return coefficients + index * kRfx7PlaneSize; }
};

enum class Rfx7Status : uint8_t {
    Ok,
    Corrupt, // the stream ended inside a code, or a code was out of range; nothing was written
};

struct Rfx7DecodeResult {
    Rfx7Status status = Rfx7Status::Corrupt;
    bool hasAlpha = false; // the pixels carry an alpha plane (ARGB32), else they are opaque (RGB32)

    bool ok() const { return status == Rfx7Status::Ok; }
};

// Decodes one tile into 64 rows of 64 pixels 0xAARRGGBB (bytes B, G, R, A in memory), rows
// strideBytes apart. With a cache entry the tile is either a first pass (entry without coefficients:
// they are stored) or a refinement added to the stored coefficients (codec 7). On a corrupt tile the
// destination and the cache entry are left untouched.
Rfx7DecodeResult decodeRfx7Tile(Rfx7WorkBuffer& work, const uint8_t* data, size_t size,
                                const Rfx7QuantSet& quantY, const Rfx7QuantSet& quantCb,
                                const Rfx7QuantSet& quantCr, Rfx7TileCacheEntry* entry, uint8_t* destination,
                                ptrdiff_t strideBytes);

// The stages, exposed for tests and for the encoder's mirror of the decoder.

// RLGR3 decoding of count values. The 8-bit form keeps the low 8 bits of each value. Returns false
// when the stream ends inside a run code or a code is longer than any valid value needs.
bool rlgr3Decode(Rfx7BitReader& reader, int16_t* output, size_t count);
bool rlgr3Decode(Rfx7BitReader& reader, uint8_t* output, size_t count);

// The 64 LL3 coefficients (the plane's last 64) are differences; turns them into a running sum.
void decodeLl3Deltas(int16_t* plane);

// Shifts every subband left by (q - 1); q = 0 clears the band. Results wrap to 16 bits.
void dequantizePlane(int16_t* plane, const Rfx7QuantSet& quant);

// Three-level integer inverse wavelet transform of one plane in place (band layout in, 64x64 out).
void inverseDwt(int16_t* plane, int16_t* scratch);

// Colour conversion of 64x64 values into pixels B, G, R, 255 - alpha, exact for every 16-bit input.
// A null alpha plane stands for a cleared one (every pixel opaque).
void yCbCrToArgb(const int16_t* y, const int16_t* cb, const int16_t* cr, const uint8_t* alpha,
                 uint8_t* destination, ptrdiff_t strideBytes);

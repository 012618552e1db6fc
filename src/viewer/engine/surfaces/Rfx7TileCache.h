#pragma once

// The progressive tile cache: per surface, one entry per 64x64 tile position, refined by codec 7.

#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <array>
#include <cstdint>
#include <map>
#include <vector>

// Key of the tile at (x, y): the 64-aligned x in the low 16 bits and y in the high 16 bits, both
// taken as u16, computed in unsigned 32-bit arithmetic.
constexpr std::uint32_t rfx7TileKey(std::int16_t x, std::int16_t y) {
    return ((std::uint32_t(std::uint16_t(y)) & 0xFFC0u) << 16) | (std::uint32_t(std::uint16_t(x)) & 0xFFC0u);
}

// One tile's progressive state as the cache keeps it: the coefficients and the alpha plane in blocks
// of 64 values, only the blocks that are not all zero stored. Quantised wavelet planes are mostly
// zero, so a surface of tens of thousands of tiles keeps kilobytes per tile rather than 28 KB.
// The decoder works on a full Rfx7TileCacheEntry: unpack into one before, pack from it after.
class Rfx7PackedTileEntry {
public:
    static constexpr int BlockSize = 64;
    static constexpr int CoefficientBlocks = kRfx7CoefficientCount / BlockSize;
    static constexpr int AlphaBlocks = kRfx7PlaneSize / BlockSize;

    std::uint8_t hasCoefficients = 0;
    std::uint8_t hasAlpha = 0;

    void pack(const Rfx7TileCacheEntry& entry);
    void unpack(Rfx7TileCacheEntry& entry) const;
    Rfx7TileCacheEntry unpacked() const;
    // Bytes held on the heap.
    std::size_t storedBytes() const;

private:
    std::array<std::uint64_t, (CoefficientBlocks + 63) / 64> m_coefficientBlocks{};
    std::uint64_t m_alphaBlocks = 0;
    std::vector<std::int16_t> m_coefficients; // the stored blocks, in order
    std::vector<std::uint8_t> m_alpha;
};

class Rfx7TileCache {
public:
    using SurfaceTiles = std::map<std::uint32_t, Rfx7PackedTileEntry>;

    // Finds or creates the entry; the reference stays valid until the entry is erased or pruned.
    Rfx7PackedTileEntry& entry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y);
    // The entry if there is one, else null.
    const Rfx7PackedTileEntry* find(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) const;

    void eraseSurface(std::uint32_t surfaceId);
    // Drops the entries whose tile x is at least width, or whose tile y is at least height, each
    // rounded up to a multiple of 64.
    void prune(std::uint32_t surfaceId, int width, int height);

    std::size_t size(std::uint32_t surfaceId) const;
    void clear() { m_surfaces.clear(); }

private:
    std::map<std::uint32_t, SurfaceTiles> m_surfaces;
};

#pragma once

// The progressive tile cache: per surface, one entry per 64x64 tile position, refined by codec 7.

#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <cstdint>
#include <map>

// Key of the tile at (x, y): the 64-aligned x in the low 16 bits and y in the high 16 bits, both
// taken as u16, computed in unsigned 32-bit arithmetic.
constexpr std::uint32_t rfx7TileKey(std::int16_t x, std::int16_t y) {
    return ((std::uint32_t(std::uint16_t(y)) & 0xFFC0u) << 16) | (std::uint32_t(std::uint16_t(x)) & 0xFFC0u);
}

class Rfx7TileCache {
public:
    using SurfaceTiles = std::map<std::uint32_t, Rfx7TileCacheEntry>;

    // Finds or creates the entry; the reference stays valid until the entry is erased or pruned.
    Rfx7TileCacheEntry& entry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y);
    // The entry if there is one, else null.
    const Rfx7TileCacheEntry* find(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) const;

    void eraseSurface(std::uint32_t surfaceId);
    // Drops the entries whose tile x is at least width, or whose tile y is at least height, each
    // rounded up to a multiple of 64.
    void prune(std::uint32_t surfaceId, int width, int height);

    std::size_t size(std::uint32_t surfaceId) const;
    void clear() { m_surfaces.clear(); }

private:
    std::map<std::uint32_t, SurfaceTiles> m_surfaces;
};

#include "viewer/engine/surfaces/Rfx7TileCache.h"

#include <cstring>

namespace {

template <typename T>
bool allZero(const T* values, int count) {
    T any = 0;
    for (int i = 0; i < count; ++i) {
        any |= values[i];
    }
    return any == 0;
}

// Appends the blocks of values that are not all zero to stored and marks them in the mask.
template <typename T>
void packBlocks(const T* values, int blocks, std::uint64_t* mask, std::vector<T>& stored) {
    constexpr int n = Rfx7PackedTileEntry::BlockSize;
    stored.clear();
    for (int b = 0; b < blocks; ++b) {
        if (!allZero(values + b * n, n)) {
            mask[b / 64] |= std::uint64_t(1) << (b % 64);
            stored.insert(stored.end(), values + b * n, values + (b + 1) * n);
        }
    }
    stored.shrink_to_fit();
}

template <typename T>
void unpackBlocks(const std::vector<T>& stored, int blocks, const std::uint64_t* mask, T* values) {
    constexpr int n = Rfx7PackedTileEntry::BlockSize;
    const T* next = stored.data();
    for (int b = 0; b < blocks; ++b) {
        if (mask[b / 64] >> (b % 64) & 1) {
            std::memcpy(values + b * n, next, n * sizeof(T));
            next += n;
        } else {
            std::memset(values + b * n, 0, n * sizeof(T));
        }
    }
}

} // namespace

void Rfx7PackedTileEntry::pack(const Rfx7TileCacheEntry& entry) {
    hasCoefficients = entry.hasCoefficients;
    hasAlpha = entry.hasAlpha;
    m_coefficientBlocks.fill(0);
    m_alphaBlocks = 0;
    packBlocks(entry.coefficients.data(), CoefficientBlocks, m_coefficientBlocks.data(), m_coefficients);
    // Without alpha the entry's plane is left over from elsewhere; it is never read.
    if (hasAlpha) {
        packBlocks(entry.alpha.data(), AlphaBlocks, &m_alphaBlocks, m_alpha);
    } else {
        m_alpha = {};
    }
}

void Rfx7PackedTileEntry::unpack(Rfx7TileCacheEntry& entry) const {
    entry.hasCoefficients = hasCoefficients;
    entry.hasAlpha = hasAlpha;
    unpackBlocks(m_coefficients, CoefficientBlocks, m_coefficientBlocks.data(), entry.coefficients.data());
    unpackBlocks(m_alpha, AlphaBlocks, &m_alphaBlocks, entry.alpha.data());
}

Rfx7TileCacheEntry Rfx7PackedTileEntry::unpacked() const {
    Rfx7TileCacheEntry entry;
    unpack(entry);
    return entry;
}

std::size_t Rfx7PackedTileEntry::storedBytes() const {
    return m_coefficients.capacity() * sizeof(std::int16_t) + m_alpha.capacity();
}

Rfx7PackedTileEntry& Rfx7TileCache::entry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) {
    return m_surfaces[surfaceId][rfx7TileKey(x, y)];
}

const Rfx7PackedTileEntry* Rfx7TileCache::find(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) const {
    auto surface = m_surfaces.find(surfaceId);
    if (surface == m_surfaces.end()) {
        return nullptr;
    }
    auto it = surface->second.find(rfx7TileKey(x, y));
    return it == surface->second.end() ? nullptr : &it->second;
}

void Rfx7TileCache::eraseSurface(std::uint32_t surfaceId) {
    m_surfaces.erase(surfaceId);
}

void Rfx7TileCache::prune(std::uint32_t surfaceId, int width, int height) {
    auto surface = m_surfaces.find(surfaceId);
    if (surface == m_surfaces.end()) {
        return;
    }
    auto roundUp = [](int v) { return std::uint32_t(v < 0 ? 0 : (v + 63) / 64 * 64); };
    const std::uint32_t maxX = roundUp(width);
    const std::uint32_t maxY = roundUp(height);
    SurfaceTiles& tiles = surface->second;
    for (auto it = tiles.begin(); it != tiles.end();) {
        if ((it->first & 0xFFFFu) >= maxX || (it->first >> 16) >= maxY) {
            it = tiles.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t Rfx7TileCache::size(std::uint32_t surfaceId) const {
    auto surface = m_surfaces.find(surfaceId);
    return surface == m_surfaces.end() ? 0 : surface->second.size();
}

#include "viewer/engine/surfaces/Rfx7TileCache.h"

Rfx7TileCacheEntry& Rfx7TileCache::entry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) {
    return m_surfaces[surfaceId][rfx7TileKey(x, y)];
}

const Rfx7TileCacheEntry* Rfx7TileCache::find(std::uint32_t surfaceId, std::int16_t x, std::int16_t y) const {
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

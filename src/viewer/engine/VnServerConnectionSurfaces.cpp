// Surface messages of VnServerConnection: each becomes a queued surface command in the surface
// pipeline, updates after their tiles are decoded on the connection's decode pool.

#include "viewer/engine/VnServerConnection.h"

void VnServerConnection::setUpSurfaces() {
    m_surfaces = new VnSurfacePipeline(this);
    // Both on the network thread, while a surface message is handled.
    connect(m_surfaces, &VnSurfacePipeline::frameEndRequested, this, &VnServerConnection::gotFrameEnd,
            Qt::DirectConnection);
    connect(
        m_surfaces, &VnSurfacePipeline::failed, this,
        [this](const QString& message, uchar level) { reportError(message.toStdString(), level); },
        Qt::DirectConnection);
}

bool VnServerConnection::applyCommands(Surface::SurfaceMap& surfaces, Surface::CommandList& changes) {
    return m_surfaces->applyCommands(surfaces, changes);
}

void VnServerConnection::pruneTileCache(std::uint32_t surfaceId, int width, int height) {
    m_surfaces->pruneTileCache(surfaceId, width, height);
}

Rfx7PackedTileEntry& VnServerConnection::tileCacheEntry(std::uint32_t surfaceId, std::int16_t x,
                                                       std::int16_t y) {
    return m_surfaces->tileCacheEntry(surfaceId, x, y);
}

void VnServerConnection::onSurfaceCreate(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) {
    m_surfaces->surfaceCreate(surfaceId, width, height);
}

void VnServerConnection::onSurfaceDestroy(std::uint32_t surfaceId) {
    m_surfaces->surfaceDestroy(surfaceId);
}

void VnServerConnection::onSurfaceResize(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) {
    m_surfaces->surfaceResize(surfaceId, width, height);
}

void VnServerConnection::onSurfaceCopy(std::uint32_t sourceId, Protocol::RectList rects,
                                       std::uint32_t destinationId, Protocol::Offset offset) {
    m_surfaces->surfaceCopy(sourceId, rects, destinationId, offset);
}

void VnServerConnection::onRfx7Update(std::uint32_t surfaceId, Protocol::QuantSet quantY,
                                      Protocol::QuantSet quantCb, Protocol::QuantSet quantCr,
                                      Protocol::RectList rects, Protocol::TileList tiles, bool progressive) {
    m_surfaces->setNegotiatedCodecs(m_negotiatedCodecs);
    m_surfaces->rfx7Update(surfaceId, quantY, quantCb, quantCr, rects, std::move(tiles), progressive);
}

void VnServerConnection::onImageCodecUpdate(std::uint8_t codecId, std::uint32_t surfaceId,
                                            Protocol::RectList rects, Protocol::TileList tiles) {
    m_surfaces->setNegotiatedCodecs(m_negotiatedCodecs);
    m_surfaces->setCodecFormatNames(m_codecFormatNames);
    m_surfaces->imageCodecUpdate(codecId, surfaceId, rects, std::move(tiles));
}

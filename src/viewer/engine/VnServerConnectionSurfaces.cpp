// Surface messages of VnServerConnection. The surface layer turns each into a queued surface command;
// until it is wired in here, they are accepted and dropped.

#include "viewer/engine/VnServerConnection.h"

void VnServerConnection::onSurfaceCreate(std::uint32_t, std::uint16_t, std::uint16_t) {}

void VnServerConnection::onSurfaceDestroy(std::uint32_t) {}

void VnServerConnection::onSurfaceResize(std::uint32_t, std::uint16_t, std::uint16_t) {}

void VnServerConnection::onSurfaceCopy(std::uint32_t, Protocol::RectList, std::uint32_t, Protocol::Offset) {}

void VnServerConnection::onRfx7Update(std::uint32_t, Protocol::QuantSet, Protocol::QuantSet,
                                      Protocol::QuantSet, Protocol::RectList, Protocol::TileList, bool) {}

void VnServerConnection::onImageCodecUpdate(std::uint8_t, std::uint32_t, Protocol::RectList,
                                            Protocol::TileList) {}

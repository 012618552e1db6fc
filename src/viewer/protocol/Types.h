#pragma once

// Plain value types of the display protocol. No Qt here: this library is shared with tools and fuzzers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Protocol {

using Byte = std::uint8_t;
using Word = std::uint32_t; // a remote window id; 0 = no window / the full desktop
using Blob = std::vector<Byte>;
using String = std::string; // UTF-8 bytes, no terminator on the wire
using BlobList = std::vector<Blob>;

// Codec ids as carried in SurfaceBits and in the capability codec list.
namespace Codecs {
constexpr Byte Rfx7 = 2;
constexpr Byte Jpeg = 3;
constexpr Byte Png = 4;
constexpr Byte Gif = 5;
constexpr Byte WebP = 6;
constexpr Byte Rfx7Progressive = 7;

// Image format name of an image codec ("jpeg", "png", "gif", "webp"); null for any other id.
inline const char* formatName(Byte codec) {
    switch (codec) {
    case Jpeg:
        return "jpeg";
    case Png:
        return "png";
    case Gif:
        return "gif";
    case WebP:
        return "webp";
    default:
        return nullptr;
    }
}
} // namespace Codecs

// Levels passed with every error and session end.
namespace ErrorLevel {
constexpr Byte Protocol = 4;
constexpr Byte Socket = 11;
constexpr Byte ConnectionClosed = 12; // also: socket not ready
constexpr Byte UnrequestedChannel = 13;
constexpr Byte Unspecified = 255; // quit, or a Disconnect without a level
} // namespace ErrorLevel

// Control channel (channel 0) message ids.
namespace MessageId {
constexpr Byte Disconnect = 1;
constexpr Byte Identity = 2;
constexpr Byte Capabilities = 3;
constexpr Byte Security = 4;
constexpr Byte Settings = 5;
constexpr Byte ChannelOpenRequest = 6;
constexpr Byte ChannelOpen = 7;
constexpr Byte ChannelClose = 9;
constexpr Byte SurfaceCreate = 10;
constexpr Byte SurfaceDestroy = 11;
constexpr Byte SurfaceResize = 12;
constexpr Byte SurfaceBits = 13;
constexpr Byte SurfaceCopy = 14;
constexpr Byte SurfaceFrameBegin = 15;
constexpr Byte SurfaceFrameEnd = 16;
constexpr Byte SurfaceFrameAck = 17;
constexpr Byte NetworkDetectBegin = 25;
constexpr Byte NetworkDetectEnd = 26;
constexpr Byte NetworkDetectResults = 27;
constexpr Byte PointerCreate = 28;
constexpr Byte PointerSetCached = 29;
constexpr Byte PointerHide = 30;
constexpr Byte PointerSystem = 31;
constexpr Byte PointerPosition = 32;
} // namespace MessageId

// Tags of Capabilities entries (the first byte of each entry blob).
namespace CapabilityTag {
constexpr Byte Password = 1;
constexpr Byte Rfx7 = 2;
constexpr Byte Jpeg = 3;
constexpr Byte CodecList = 4;
} // namespace CapabilityTag

// Tags of Settings entries; the same tags both ways.
namespace SettingTag {
constexpr Byte Keyboard = 1;
constexpr Byte Geometry = 2;
constexpr Byte AutomaticAdjust = 3;
constexpr Byte Compression = 4;
constexpr Byte FrameRate = 5;
constexpr Byte FrameWindow = 6;
constexpr Byte SmallBlockImageFormat = 7;
constexpr Byte BigBlockImageFormat = 8;
constexpr Byte BigBlockMinimumSize = 9;
constexpr Byte HighQualityUpgrades = 10;
} // namespace SettingTag

struct Rect {
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    bool operator==(const Rect& o) const {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
    bool operator!=(const Rect& o) const { return !(*this == o); }
};
using RectList = std::vector<Rect>;

// One encoded tile; x and y are the surface coordinates of its top-left corner.
struct Tile {
    std::int16_t x = 0;
    std::int16_t y = 0;
    Blob data;

    bool operator==(const Tile& o) const { return x == o.x && y == o.y && data == o.data; }
    bool operator!=(const Tile& o) const { return !(*this == o); }
};
using TileList = std::vector<Tile>;

// Offset added to every source rect of a SurfaceCopy to give its destination.
struct Offset {
    std::int16_t dx = 0;
    std::int16_t dy = 0;

    bool operator==(const Offset& o) const { return dx == o.dx && dy == o.dy; }
    bool operator!=(const Offset& o) const { return !(*this == o); }
};

// One RFX7 quantiser set: ten values 0-15 in the order LL3, LH3, HL3, HH3, LH2, HL2, HH2, LH1, HL1, HH1.
using QuantSet = std::array<Byte, 10>;

} // namespace Protocol

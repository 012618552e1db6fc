#pragma once

// Tagged entries of Capabilities and Settings: a blob whose first byte is the tag and whose remaining
// bytes are the tag's payload. Builders for what the client sends, parsers for what it receives.

#include "viewer/protocol/Types.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace Protocol {

// Tag of an entry; false for an empty entry.
bool entryTag(const Blob& entry, Byte& tag);

namespace Capability {
Blob password();
Blob rfx7();
Blob jpeg();
// Tag 4: LEB128 count, then one byte per codec id. Empty when the list is too long to encode.
Blob codecList(const std::vector<Byte>& codecIds);
// The codec ids of a tag-4 entry; false when the entry is not one or is truncated.
bool parseCodecList(const Blob& entry, std::vector<Byte>& codecIds);
// The client's codec list: 2 and 7, then each of 3, 4, 5, 6 whose format name the platform can read.
std::vector<Byte> clientCodecs(const std::function<bool(const char* formatName)>& canRead);
// The client's Capabilities entries, in the order it sends them: tag 2, tag 3, the codec list, tag 1.
BlobList clientEntries(const std::vector<Byte>& codecIds);
} // namespace Capability

namespace Setting {

struct Keyboard {
    std::uint32_t layout = 0;
    std::uint32_t type = 0;
};
struct Geometry {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint32_t widthMM = 0; // 0 when absent
    std::uint32_t heightMM = 0;
};
// Compression, frame rate and frame window share this payload.
struct Range {
    std::uint8_t value = 0;
    std::uint8_t min = 0;
    std::uint8_t max = 0;
};
struct BlockSize {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};

Blob keyboard(std::uint32_t layout, std::uint32_t type);
// Physical size is written only when both are non-zero.
Blob geometry(std::uint16_t width, std::uint16_t height, std::uint32_t widthMM = 0,
              std::uint32_t heightMM = 0);
Blob automaticAdjust(std::uint8_t enabled);
Blob compression(std::uint8_t value, std::uint8_t min = 0, std::uint8_t max = 0);
Blob frameRate(std::uint8_t value, std::uint8_t min = 0, std::uint8_t max = 0);
Blob frameWindow(std::uint8_t value, std::uint8_t min = 0, std::uint8_t max = 0);
Blob smallBlockImageFormat(Byte codecId);
Blob bigBlockImageFormat(Byte codecId);
Blob bigBlockMinimumSize(std::uint16_t width, std::uint16_t height);
Blob highQualityUpgrades(std::uint8_t enabled);

// Parsers take the whole entry (tag included) and fail when the tag differs or the payload is too short.
bool parseKeyboard(const Blob& entry, Keyboard& out);
bool parseGeometry(const Blob& entry, Geometry& out);        // a missing physical size reads as 0
bool parseFlag(const Blob& entry, Byte tag, bool& out);      // tags 3 and 10: non-zero = true
bool parseRange(const Blob& entry, Byte tag, Range& out);    // tags 4, 5, 6
bool parseCodec(const Blob& entry, Byte tag, Byte& codecId); // tags 7, 8
bool parseBlockSize(const Blob& entry, BlockSize& out);      // tag 9

} // namespace Setting

} // namespace Protocol

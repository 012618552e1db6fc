#include "viewer/protocol/Entries.h"

#include "viewer/protocol/Wire.h"

namespace Protocol {

bool entryTag(const Blob& entry, Byte& tag) {
    if (entry.empty()) {
        return false;
    }
    tag = entry.front();
    return true;
}

namespace {

// A reader over the payload of an entry with the expected tag; false when the tag differs.
bool payload(const Blob& entry, Byte tag, Reader& r) {
    if (entry.empty() || entry.front() != tag) {
        return false;
    }
    r = Reader(entry.data() + 1, entry.size() - 1);
    return true;
}

Blob tagOnly(Byte tag) {
    return Blob{tag};
}

Blob range(Byte tag, std::uint8_t value, std::uint8_t min, std::uint8_t max) {
    return Blob{tag, value, min, max};
}

} // namespace

namespace Capability {

Blob password() {
    return tagOnly(CapabilityTag::Password);
}
Blob rfx7() {
    return tagOnly(CapabilityTag::Rfx7);
}
Blob jpeg() {
    return tagOnly(CapabilityTag::Jpeg);
}

Blob codecList(const std::vector<Byte>& codecIds) {
    Writer w;
    w.u8(CapabilityTag::CodecList).leb128(codecIds.size()).bytes(codecIds);
    return w.ok() ? w.take() : Blob{};
}

bool parseCodecList(const Blob& entry, std::vector<Byte>& codecIds) {
    Reader r;
    std::uint32_t count = 0;
    return payload(entry, CapabilityTag::CodecList, r) && r.readLeb128(count) && r.readBytes(count, codecIds);
}

std::vector<Byte> clientCodecs(const std::function<bool(const char* formatName)>& canRead) {
    std::vector<Byte> ids{Codecs::Rfx7, Codecs::Rfx7Progressive};
    for (Byte codec : {Codecs::Jpeg, Codecs::Png, Codecs::Gif, Codecs::WebP}) {
        if (canRead && canRead(Codecs::formatName(codec))) {
            ids.push_back(codec);
        }
    }
    return ids;
}

BlobList clientEntries(const std::vector<Byte>& codecIds) {
    return {rfx7(), jpeg(), codecList(codecIds), password()};
}

} // namespace Capability

namespace Setting {

Blob keyboard(std::uint32_t layout, std::uint32_t type) {
    return Writer().u8(SettingTag::Keyboard).u32(layout).u32(type).take();
}

Blob geometry(std::uint16_t width, std::uint16_t height, std::uint32_t widthMM, std::uint32_t heightMM) {
    Writer w;
    w.u8(SettingTag::Geometry).u16(width).u16(height);
    if (widthMM != 0 && heightMM != 0) {
        w.u32(widthMM).u32(heightMM);
    }
    return w.take();
}

Blob automaticAdjust(std::uint8_t enabled) {
    return Blob{SettingTag::AutomaticAdjust, enabled};
}
Blob compression(std::uint8_t value, std::uint8_t min, std::uint8_t max) {
    return range(SettingTag::Compression, value, min, max);
}
Blob frameRate(std::uint8_t value, std::uint8_t min, std::uint8_t max) {
    return range(SettingTag::FrameRate, value, min, max);
}
Blob frameWindow(std::uint8_t value, std::uint8_t min, std::uint8_t max) {
    return range(SettingTag::FrameWindow, value, min, max);
}
Blob smallBlockImageFormat(Byte codecId) {
    return Blob{SettingTag::SmallBlockImageFormat, codecId};
}
Blob bigBlockImageFormat(Byte codecId) {
    return Blob{SettingTag::BigBlockImageFormat, codecId};
}
Blob bigBlockMinimumSize(std::uint16_t width, std::uint16_t height) {
    return Writer().u8(SettingTag::BigBlockMinimumSize).u16(width).u16(height).take();
}
Blob highQualityUpgrades(std::uint8_t enabled) {
    return Blob{SettingTag::HighQualityUpgrades, enabled};
}

bool parseKeyboard(const Blob& entry, Keyboard& out) {
    Reader r;
    Keyboard k;
    if (!payload(entry, SettingTag::Keyboard, r) || !r.readU32(k.layout) || !r.readU32(k.type)) {
        return false;
    }
    out = k;
    return true;
}

bool parseGeometry(const Blob& entry, Geometry& out) {
    Reader r;
    Geometry g;
    if (!payload(entry, SettingTag::Geometry, r) || !r.readU16(g.width) || !r.readU16(g.height)) {
        return false;
    }
    if (!r.readU32(g.widthMM)) {
        g.widthMM = 0;
    }
    if (!r.readU32(g.heightMM)) {
        g.heightMM = 0;
    }
    out = g;
    return true;
}

bool parseFlag(const Blob& entry, Byte tag, bool& out) {
    Reader r;
    std::uint8_t v = 0;
    if (!payload(entry, tag, r) || !r.readU8(v)) {
        return false;
    }
    out = v != 0;
    return true;
}

bool parseRange(const Blob& entry, Byte tag, Range& out) {
    Reader r;
    Range v;
    if (!payload(entry, tag, r) || !r.readU8(v.value) || !r.readU8(v.min) || !r.readU8(v.max)) {
        return false;
    }
    out = v;
    return true;
}

bool parseCodec(const Blob& entry, Byte tag, Byte& codecId) {
    Reader r;
    return payload(entry, tag, r) && r.readU8(codecId);
}

bool parseBlockSize(const Blob& entry, BlockSize& out) {
    Reader r;
    BlockSize b;
    if (!payload(entry, SettingTag::BigBlockMinimumSize, r) || !r.readU16(b.width) || !r.readU16(b.height)) {
        return false;
    }
    out = b;
    return true;
}

} // namespace Setting

} // namespace Protocol

#include "viewer/protocol/ClipboardMessages.h"

#include <utility>

namespace Protocol {
namespace Clipboard {

namespace {

Writer& head(Writer& w, const MessageBase& m, Byte id) {
    return w.u8(m.channel).u8(id);
}

// A count, then that many blobs. Fails without touching `out`.
bool readBlobs(Reader& r, std::list<Blob>& out) {
    std::uint32_t count = 0;
    if (!r.readLeb128(count) || count > MaxListEntries || count > r.remaining()) {
        return false;
    }
    std::list<Blob> list;
    for (std::uint32_t i = 0; i < count; ++i) {
        Blob b;
        if (!r.readBlob(b)) {
            return false;
        }
        list.push_back(std::move(b));
    }
    out = std::move(list);
    return true;
}

Writer& writeBlobs(Writer& w, const std::list<Blob>& list) {
    w.leb128(list.size());
    for (const Blob& b : list) {
        w.blob(b);
    }
    return w;
}

bool readClipboardId(Reader& r, ClipboardIds& id) {
    Byte v = 0;
    if (!r.readU8(v)) {
        return false;
    }
    id = static_cast<ClipboardIds>(v);
    return true;
}

std::size_t leb128Size(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

} // namespace

bool CapabilitiesMessage::read(Reader& r) {
    return readBlobs(r, capabilities);
}

bool CapabilitiesMessage::write(Writer& w) const {
    return writeBlobs(head(w, *this, Id), capabilities).ok();
}

bool SettingsMessage::read(Reader& r) {
    return readBlobs(r, settings);
}

bool SettingsMessage::write(Writer& w) const {
    return writeBlobs(head(w, *this, Id), settings).ok();
}

bool FormatsMessage::read(Reader& r) {
    ClipboardIds id = Clipboard;
    std::uint32_t count = 0;
    if (!readClipboardId(r, id) || !r.readLeb128(count) || count > MaxListEntries || count > r.remaining()) {
        return false;
    }
    std::list<String> list;
    for (std::uint32_t i = 0; i < count; ++i) {
        String s;
        if (!r.readString(s)) {
            return false;
        }
        list.push_back(std::move(s));
    }
    clipboardId = id;
    formats = std::move(list);
    return true;
}

bool FormatsMessage::write(Writer& w) const {
    head(w, *this, Id).u8(clipboardId).leb128(formats.size());
    for (const String& s : formats) {
        w.string(s);
    }
    return w.ok();
}

bool DataRequestMessage::read(Reader& r) {
    return readClipboardId(r, clipboardId) && r.readString(format);
}

bool DataRequestMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(clipboardId).string(format).ok();
}

bool DataResponseMessage::read(Reader& r) {
    Byte s = 0;
    if (!r.readU8(s) || !readClipboardId(r, clipboardId) || !r.readString(format) || !r.readBlob(data)) {
        return false;
    }
    status = static_cast<RequestStatus>(s);
    return true;
}

bool DataResponseMessage::write(Writer& w) const {
    return head(w, *this, Id).u8(status).u8(clipboardId).string(format).blob(data).ok();
}

bool DataResponseMessage::fitsOnWire() const {
    if (format.size() > MaxLeb128 || data.size() > MaxLeb128) {
        return false;
    }
    const std::uint64_t frame =
        4 + leb128Size(format.size()) + format.size() + leb128Size(data.size()) + std::uint64_t(data.size());
    return frame <= MaxLeb128;
}

} // namespace Clipboard
} // namespace Protocol

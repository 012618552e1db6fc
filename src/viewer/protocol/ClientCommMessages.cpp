#include "viewer/protocol/ClientCommMessages.h"

#include <utility>

namespace Protocol {
namespace ClientComm {

namespace {

Writer& head(Writer& w, const MessageBase& m, Byte id) {
    return w.u8(m.channel).u8(id);
}

} // namespace

bool CapabilitiesMessage::read(Reader& r) {
    std::uint32_t count = 0;
    // Every blob takes at least one byte, so a count beyond the bytes left cannot be met; an empty blob
    // in memory is many times its one byte, hence the cap.
    if (!r.readLeb128(count) || count > MaxCapabilities || count > r.remaining()) {
        return false;
    }
    BlobList list;
    for (std::uint32_t i = 0; i < count; ++i) {
        Blob b;
        if (!r.readBlob(b)) {
            return false;
        }
        list.push_back(std::move(b));
    }
    entries = std::move(list);
    return true;
}

bool CapabilitiesMessage::write(Writer& w) const {
    head(w, *this, Id).leb128(entries.size());
    for (const Blob& b : entries) {
        w.blob(b);
    }
    return w.ok();
}

bool SettingsMessage::read(Reader& r) {
    std::uint8_t format = 0;
    if (!r.readU8(format) || format != SettingsFormat) {
        return false;
    }
    std::vector<String> names;
    while (!r.atEnd()) {
        String name;
        if (names.size() == MaxTypeNames || !r.readString(name)) {
            return false;
        }
        names.push_back(std::move(name));
    }
    types = std::move(names);
    return true;
}

bool SettingsMessage::write(Writer& w) const {
    head(w, *this, Id).u8(SettingsFormat);
    for (const String& name : types) {
        w.string(name);
    }
    return w.ok();
}

bool MessageMessage::read(Reader& r) {
    return r.readU16(requestId) && r.readString(type) && r.readBlob(data);
}

bool MessageMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(requestId).string(type).blob(data).ok();
}

bool ResponseMessage::read(Reader& r) {
    return r.readU16(requestId) && r.readBlob(data);
}

bool ResponseMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(requestId).blob(data).ok();
}

bool NackMessage::read(Reader& r) {
    return r.readU16(requestId) && r.readString(status);
}

bool NackMessage::write(Writer& w) const {
    return head(w, *this, Id).u16(requestId).string(status).ok();
}

} // namespace ClientComm
} // namespace Protocol

#include "viewer/protocol/Magellan.h"

namespace Protocol {
namespace Magellan {

bool MoveMessage::read(Reader& r) {
    const Reader start = r;
    if (!r.readI16(x) || !r.readI16(y) || !r.readI16(z) || !r.readI16(rx) || !r.readI16(ry) ||
        !r.readI16(rz) || !r.readU32(period)) {
        r = start;
        return false;
    }
    return true;
}

bool MoveMessage::write(Writer& w) const {
    w.u8(channel).u8(Id).i16(x).i16(y).i16(z).i16(rx).i16(ry).i16(rz).u32(period);
    return w.ok();
}

bool KeysMessage::read(Reader& r) {
    return r.readU32(keys);
}

bool KeysMessage::write(Writer& w) const {
    w.u8(channel).u8(Id).u32(keys);
    return w.ok();
}

MagellanClientChannel::MagellanClientChannel(std::string name, Byte number)
    : Channel(std::move(name), number) {}

void MagellanClientChannel::receive(std::vector<std::uint8_t> bytes) {
    if (bytes.empty()) {
        error("Failed to read message id", ErrorLevel::Protocol);
        return;
    }
    if (bytes.front() != MessageId::Capabilities) {
        error("Invalid message id", ErrorLevel::Protocol);
        return;
    }
    onCapabilities();
}

bool MagellanClientChannel::sendMove(const MoveMessage& message) {
    Writer w;
    if (!message.write(w)) {
        return false;
    }
    return sendChecked(message.channel, w.take());
}

bool MagellanClientChannel::sendKeys(const KeysMessage& message) {
    Writer w;
    if (!message.write(w)) {
        return false;
    }
    return sendChecked(message.channel, w.take());
}

} // namespace Magellan
} // namespace Protocol

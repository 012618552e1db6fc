#include "viewer/protocol/InputMessages.h"

#include <utility>
#include <vector>

namespace Protocol {

namespace {

template <typename M>
Writer& head(Writer& w, const M& m) {
    return w.u8(m.channel).u8(M::Id);
}

template <typename M>
bool sendMessage(ClientMachine& machine, const M& message) {
    std::vector<Byte> frame = encodeFrame(message);
    if (frame.empty()) {
        return false;
    }
    machine.send(std::move(frame));
    return true;
}

bool active(const ClientMachine& machine) {
    return machine.state() == ClientMachine::MainSequence;
}

} // namespace

bool KeyDownMessage::read(Reader& r) {
    return r.readU16(scanCode);
}

bool KeyDownMessage::write(Writer& w) const {
    return head(w, *this).u16(scanCode).ok();
}

bool KeyUpMessage::read(Reader& r) {
    return r.readU16(scanCode);
}

bool KeyUpMessage::write(Writer& w) const {
    return head(w, *this).u16(scanCode).ok();
}

bool KeyboardResetMessage::read(Reader& r) {
    return r.readU8(lockBits);
}

bool KeyboardResetMessage::write(Writer& w) const {
    return head(w, *this).u8(lockBits).ok();
}

bool MouseMoveMessage::read(Reader& r) {
    return r.readU16(x) && r.readU16(y);
}

bool MouseMoveMessage::write(Writer& w) const {
    return head(w, *this).u16(x).u16(y).ok();
}

bool MouseButtonDownMessage::read(Reader& r) {
    return r.readU16(x) && r.readU16(y) && r.readU8(buttons);
}

bool MouseButtonDownMessage::write(Writer& w) const {
    return head(w, *this).u16(x).u16(y).u8(buttons).ok();
}

bool MouseWheelMessage::read(Reader& r) {
    return r.readU16(x) && r.readU16(y) && r.readI16(delta);
}

bool MouseWheelMessage::write(Writer& w) const {
    return head(w, *this).u16(x).u16(y).i16(delta).ok();
}

bool sendKeyDown(ClientMachine& machine, std::uint16_t scanCode) {
    if (!active(machine)) {
        return false;
    }
    KeyDownMessage m;
    m.scanCode = scanCode;
    return sendMessage(machine, m);
}

bool sendKeyUp(ClientMachine& machine, std::uint16_t scanCode) {
    if (!active(machine)) {
        return false;
    }
    KeyUpMessage m;
    m.scanCode = scanCode;
    return sendMessage(machine, m);
}

bool sendKeyboardReset(ClientMachine& machine, Byte lockBits) {
    if (!active(machine)) {
        return false;
    }
    KeyboardResetMessage m;
    m.lockBits = lockBits;
    return sendMessage(machine, m);
}

bool sendMouseMove(ClientMachine& machine, std::uint16_t x, std::uint16_t y) {
    MouseMoveMessage m;
    m.x = x;
    m.y = y;
    return sendMessage(machine, m);
}

bool sendMouseButtons(ClientMachine& machine, std::uint16_t x, std::uint16_t y, Byte buttons) {
    MouseButtonDownMessage m;
    m.x = x;
    m.y = y;
    m.buttons = buttons;
    return sendMessage(machine, m);
}

bool sendMouseWheel(ClientMachine& machine, std::uint16_t x, std::uint16_t y, std::int16_t delta) {
    MouseWheelMessage m;
    m.x = x;
    m.y = y;
    m.delta = delta;
    return sendMessage(machine, m);
}

} // namespace Protocol

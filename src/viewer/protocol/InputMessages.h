#pragma once

// Keyboard and mouse messages on the control channel. The client only sends them; read() is there so
// that test peers decode them with the same encoding.

#include "viewer/protocol/ClientMachine.h"
#include "viewer/protocol/Messages.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>

namespace Protocol {

namespace InputMessageId {
constexpr Byte KeyDown = 18;
constexpr Byte KeyUp = 19;
constexpr Byte KeyboardReset = 20;
constexpr Byte MouseMove = 21;
constexpr Byte MouseButtonDown = 22;
constexpr Byte MouseWheel = 24;
} // namespace InputMessageId

// Lock toggles carried by KeyboardReset.
namespace LockKeyBits {
constexpr Byte ScrollLock = 1;
constexpr Byte NumLock = 2;
constexpr Byte CapsLock = 4;
constexpr Byte Kana = 8;
} // namespace LockKeyBits

// Buttons of MouseButtonDown: the whole state after the change, for presses and releases alike.
namespace MouseButtonBits {
constexpr Byte Left = 1;
constexpr Byte Middle = 2;
constexpr Byte Right = 4;
} // namespace MouseButtonBits

struct KeyDownMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::KeyDown;
    std::uint16_t scanCode = 0; // set 1, 0x100 added for extended keys

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct KeyUpMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::KeyUp;
    std::uint16_t scanCode = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct KeyboardResetMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::KeyboardReset;
    Byte lockBits = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct MouseMoveMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::MouseMove;
    std::uint16_t x = 0;
    std::uint16_t y = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct MouseButtonDownMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::MouseButtonDown;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    Byte buttons = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct MouseWheelMessage : MessageBase {
    static constexpr Byte Id = InputMessageId::MouseWheel;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
    std::int16_t delta = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

// Senders on a machine. The key senders send only in the main sequence and return false otherwise;
// the mouse senders leave that test to their caller, which keeps its own position bookkeeping.
bool sendKeyDown(ClientMachine& machine, std::uint16_t scanCode);
bool sendKeyUp(ClientMachine& machine, std::uint16_t scanCode);
bool sendKeyboardReset(ClientMachine& machine, Byte lockBits);
bool sendMouseMove(ClientMachine& machine, std::uint16_t x, std::uint16_t y);
bool sendMouseButtons(ClientMachine& machine, std::uint16_t x, std::uint16_t y, Byte buttons);
bool sendMouseWheel(ClientMachine& machine, std::uint16_t x, std::uint16_t y, std::int16_t delta);

} // namespace Protocol

#pragma once

// The "magellan" side channel: a multi-axis controller (six axes and buttons) forwarded to the server.
// The server's capabilities message says it accepts the input; the client then sends motion and keys.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Protocol {
namespace Magellan {

namespace MessageId {
constexpr Byte Capabilities = 1;
constexpr Byte Move = 2;
constexpr Byte Keys = 3;
} // namespace MessageId

// write() appends the whole frame (channel, id, fields); read() takes the fields after the id.
struct MoveMessage {
    static constexpr Byte Id = MessageId::Move;
    Byte channel = 0;
    std::int16_t x = 0, y = 0, z = 0, rx = 0, ry = 0, rz = 0;
    std::uint32_t period = 0; // milliseconds the motion covers

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct KeysMessage {
    static constexpr Byte Id = MessageId::Keys;
    Byte channel = 0;
    std::uint32_t keys = 0; // bit mask of pressed buttons

    bool read(Reader& r);
    bool write(Writer& w) const;
};

class MagellanClientChannel : public Channel {
public:
    MagellanClientChannel(std::string name, Byte number);

    void receive(std::vector<std::uint8_t> bytes) override;
    // The server accepts 3D-mouse input.
    virtual void onCapabilities() = 0;

    // Send when the message's channel number is this channel's; otherwise report the mismatch.
    bool sendMove(const MoveMessage& message);
    bool sendKeys(const KeysMessage& message);
};

} // namespace Magellan
} // namespace Protocol

#pragma once

// Base of every side channel: a numbered stream of its own messages inside the display protocol.
// The protocol machine hands each frame for the channel's number to receive(); the channel's encoders
// go out through send(). ClientMachine::ChannelForwarder binds send() and error() to a machine.

#include "viewer/protocol/Types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Protocol {

class Channel {
public:
    Channel(std::string name, Byte number);
    virtual ~Channel();

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Called once when the server closes the channel.
    virtual void onClosed();
    // The frame after the channel number: message id and fields.
    virtual void receive(std::vector<std::uint8_t> bytes) = 0;
    // A whole frame, channel number first. The base drops it.
    virtual void send(std::vector<std::uint8_t> frame);
    // A decoding failure or a refused send. The base drops the report.
    virtual void error(std::string message, unsigned char level);

    std::string name; // the name it was opened under
    Byte number = 0;  // the number the server assigned

protected:
    // For the channel's encoders: sends the frame when the message's channel number is this channel's,
    // otherwise reports the mismatch (level 4) and sends nothing. Returns whether it was sent.
    bool sendChecked(Byte messageChannel, std::vector<std::uint8_t> frame);
};

} // namespace Protocol

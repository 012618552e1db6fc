#pragma once

// Decoder and encoders of the client-communication side channel. The viewer's channel class derives
// from it and implements the five handlers; they run on the thread that feeds the frames.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/ClientCommMessages.h"

namespace Protocol {
namespace ClientComm {

class ClientCommClientChannel : public Channel {
public:
    ClientCommClientChannel(std::string name, Byte number);

    // Reads the message id and calls its handler; a frame that cannot be read is reported at level 4
    // and dropped.
    void receive(std::vector<std::uint8_t> bytes) override;

    virtual void onCapabilities(CapabilitiesMessage message) = 0;
    virtual void onSettings(SettingsMessage message) = 0;
    virtual void onMessage(MessageMessage message) = 0;
    virtual void onResponse(ResponseMessage message) = 0;
    virtual void onNack(NackMessage message) = 0;

    // Encoders. Each refuses a message whose channel number is not this channel's (level 4) and one that
    // cannot be encoded; the result tells whether the frame went out.
    bool sendSettings(const SettingsMessage& message);
    bool sendMessage(const MessageMessage& message);
    bool sendResponse(const ResponseMessage& message);
    bool sendNack(const NackMessage& message);

private:
    template <typename M>
    bool sendEncoded(const M& message);
};

} // namespace ClientComm
} // namespace Protocol

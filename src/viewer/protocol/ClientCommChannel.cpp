#include "viewer/protocol/ClientCommChannel.h"

#include <utility>

namespace Protocol {
namespace ClientComm {

ClientCommClientChannel::ClientCommClientChannel(std::string name_, Byte number_)
    : Channel(std::move(name_), number_) {}

void ClientCommClientChannel::receive(std::vector<std::uint8_t> bytes) {
    Reader r(bytes);
    Byte id = 0;
    if (!r.readU8(id)) {
        error("Failed to read message id", ErrorLevel::Protocol);
        return;
    }
    switch (id) {
    case MessageId::Capabilities: {
        CapabilitiesMessage m;
        m.channel = number;
        if (!m.read(r)) {
            error("failed to read the capabilities message", ErrorLevel::Protocol);
            return;
        }
        onCapabilities(std::move(m));
        return;
    }
    case MessageId::Settings: {
        SettingsMessage m;
        m.channel = number;
        if (!m.read(r)) {
            error("failed to read the settings message", ErrorLevel::Protocol);
            return;
        }
        onSettings(std::move(m));
        return;
    }
    case MessageId::Message: {
        MessageMessage m;
        m.channel = number;
        if (!m.read(r)) {
            error("failed to read the message message", ErrorLevel::Protocol);
            return;
        }
        onMessage(std::move(m));
        return;
    }
    case MessageId::Response: {
        ResponseMessage m;
        m.channel = number;
        if (!m.read(r)) {
            error("failed to read the response message", ErrorLevel::Protocol);
            return;
        }
        onResponse(std::move(m));
        return;
    }
    case MessageId::Nack: {
        NackMessage m;
        m.channel = number;
        if (!m.read(r)) {
            error("failed to read the nack message", ErrorLevel::Protocol);
            return;
        }
        onNack(std::move(m));
        return;
    }
    default:
        error("Invalid message id", ErrorLevel::Protocol);
        return;
    }
}

template <typename M>
bool ClientCommClientChannel::sendEncoded(const M& message) {
    std::vector<Byte> frame = encodeFrame(message);
    if (frame.empty() && message.channel == number) {
        return false;
    }
    return sendChecked(message.channel, std::move(frame));
}

bool ClientCommClientChannel::sendSettings(const SettingsMessage& message) {
    return sendEncoded(message);
}

bool ClientCommClientChannel::sendMessage(const MessageMessage& message) {
    return sendEncoded(message);
}

bool ClientCommClientChannel::sendResponse(const ResponseMessage& message) {
    return sendEncoded(message);
}

bool ClientCommClientChannel::sendNack(const NackMessage& message) {
    return sendEncoded(message);
}

} // namespace ClientComm
} // namespace Protocol

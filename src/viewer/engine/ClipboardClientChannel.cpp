#include "viewer/engine/ClipboardClientChannel.h"

#include "viewer/protocol/Wire.h"

#include <utility>

namespace Protocol {
namespace Clipboard {

ClipboardClientChannel::ClipboardClientChannel(std::string name, Byte number)
    : Channel(std::move(name), number) {}

ClipboardClientChannel::~ClipboardClientChannel() = default;

void ClipboardClientChannel::receive(std::vector<std::uint8_t> bytes) {
    Reader r(bytes);
    Byte id = 0;
    if (!r.readU8(id)) {
        error("Failed to read message id", ErrorLevel::Protocol);
        return;
    }
    switch (id) {
    case MessageId::Capabilities: {
        CapabilitiesMessage m;
        if (!m.read(r)) {
            error("failed to read the capabilities message", ErrorLevel::Protocol);
            return;
        }
        onCapabilities(std::move(m.capabilities));
        return;
    }
    case MessageId::Settings: {
        SettingsMessage m;
        if (!m.read(r)) {
            error("failed to read the settings message", ErrorLevel::Protocol);
            return;
        }
        onSettings(std::move(m.settings));
        return;
    }
    case MessageId::Formats: {
        FormatsMessage m;
        if (!m.read(r)) {
            error("failed to read the formats message", ErrorLevel::Protocol);
            return;
        }
        onFormats(m.clipboardId, std::move(m.formats));
        return;
    }
    case MessageId::DataRequest: {
        DataRequestMessage m;
        if (!m.read(r)) {
            error("failed to read the data request message", ErrorLevel::Protocol);
            return;
        }
        onDataRequest(m.clipboardId, std::move(m.format));
        return;
    }
    case MessageId::DataResponse: {
        DataResponseMessage m;
        if (!m.read(r)) {
            error("failed to read the data response message", ErrorLevel::Protocol);
            return;
        }
        onDataResponse(m.status, m.clipboardId, std::move(m.format), std::move(m.data));
        return;
    }
    default:
        error("Invalid message id", ErrorLevel::Protocol);
        return;
    }
}

template <typename Message>
bool ClipboardClientChannel::encode(const Message& message) {
    if (message.channel != number) {
        error("Message channel number does not match assigned channel number", ErrorLevel::Protocol);
        return false;
    }
    Writer w;
    if (!message.write(w)) {
        return false;
    }
    send(w.take());
    return true;
}

bool ClipboardClientChannel::sendMessage(const CapabilitiesMessage& message) {
    return encode(message);
}

bool ClipboardClientChannel::sendMessage(const SettingsMessage& message) {
    return encode(message);
}

bool ClipboardClientChannel::sendMessage(const FormatsMessage& message) {
    return encode(message);
}

bool ClipboardClientChannel::sendMessage(const DataRequestMessage& message) {
    return encode(message);
}

bool ClipboardClientChannel::sendMessage(const DataResponseMessage& message) {
    if (message.fitsOnWire()) {
        return encode(message);
    }
    DataResponseMessage refusal;
    refusal.channel = message.channel;
    refusal.status = NotAvailable;
    refusal.clipboardId = message.clipboardId;
    refusal.format = message.format;
    return encode(refusal);
}

} // namespace Clipboard
} // namespace Protocol

#pragma once

// Decoder and encoders of the "clipboard" side channel, free of Qt. The viewer class derives from it and
// implements the five handlers, one per message id.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/ClipboardMessages.h"
#include "viewer/protocol/Types.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

namespace Protocol {
namespace Clipboard {

class ClipboardClientChannel : public Channel {
public:
    ClipboardClientChannel(std::string name, Byte number);
    ~ClipboardClientChannel() override;

    // Reads the message id and fields and calls the matching handler. A frame that cannot be read is
    // reported at level 4 and dropped; bytes after the last field are ignored.
    void receive(std::vector<std::uint8_t> bytes) override;

    // Encoders. Each refuses a message meant for another channel number (level 4) and sends nothing when
    // a field cannot be encoded; they return whether a frame went out.
    bool sendMessage(const CapabilitiesMessage& message);
    bool sendMessage(const SettingsMessage& message);
    bool sendMessage(const FormatsMessage& message);
    bool sendMessage(const DataRequestMessage& message);
    // Data too long for one frame goes out as status 0 without data, so the server still gets its answer.
    bool sendMessage(const DataResponseMessage& message);

    virtual void onCapabilities(std::list<Blob> capabilities) = 0;
    virtual void onSettings(std::list<Blob> settings) = 0;
    virtual void onFormats(ClipboardIds clipboardId, std::list<String> formats) = 0;
    virtual void onDataRequest(ClipboardIds clipboardId, String format) = 0;
    virtual void onDataResponse(RequestStatus status, ClipboardIds clipboardId, String format, Blob data) = 0;

private:
    template <typename Message>
    bool encode(const Message& message);
};

} // namespace Clipboard
} // namespace Protocol

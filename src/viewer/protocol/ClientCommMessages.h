#pragma once

// Messages of the client-communication side channel: a small request/answer bus on which each message
// names a service type and carries an opaque payload. Like the control-channel messages, each can be
// read and written whichever side normally sends it.
//
// read() takes the fields after the message id; write() appends the whole frame (channel number,
// message id, fields) and returns false when a value cannot be encoded.

#include "viewer/protocol/Messages.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>
#include <vector>

namespace Protocol {
namespace ClientComm {

namespace MessageId {
constexpr Byte Capabilities = 1;
constexpr Byte Settings = 2;
constexpr Byte Message = 3;
constexpr Byte Response = 4;
constexpr Byte Nack = 5;
} // namespace MessageId

// The only Settings format there is.
constexpr Byte SettingsFormat = 1;
// Most type names one Settings message, and most entries one Capabilities message, may carry; far
// more than there are services.
constexpr std::size_t MaxTypeNames = MaxBlobListEntries;
constexpr std::size_t MaxCapabilities = MaxBlobListEntries;

struct CapabilitiesMessage : MessageBase {
    static constexpr Byte Id = MessageId::Capabilities;
    BlobList entries;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SettingsMessage : MessageBase {
    static constexpr Byte Id = MessageId::Settings;
    std::vector<String> types; // up to the end of the frame, no count

    bool read(Reader& r);
    bool write(Writer& w) const;
};

// A request; id 0 means that no answer is wanted.
struct MessageMessage : MessageBase {
    static constexpr Byte Id = MessageId::Message;
    std::uint16_t requestId = 0;
    String type;
    Blob data;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct ResponseMessage : MessageBase {
    static constexpr Byte Id = MessageId::Response;
    std::uint16_t requestId = 0;
    Blob data;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct NackMessage : MessageBase {
    static constexpr Byte Id = MessageId::Nack;
    std::uint16_t requestId = 0;
    String status;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

} // namespace ClientComm
} // namespace Protocol

#pragma once

// Messages of the "clipboard" side channel. The same five messages travel both ways, so each can be read
// and written. read() takes the fields after the message id; write() appends the whole frame (channel
// number, message id, fields) and returns false when a value cannot be encoded.

#include "viewer/protocol/Messages.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstddef>
#include <list>

namespace Protocol {
namespace Clipboard {

// Which local clipboard a message is about. Any other value may arrive on the wire.
enum ClipboardIds : Byte {
    Clipboard = 0,
    Selection = 1, // the primary selection
};

enum RequestStatus : Byte {
    NotAvailable = 0,
    Available = 1,
};

namespace MessageId {
constexpr Byte Capabilities = 1;
constexpr Byte Settings = 2;
constexpr Byte Formats = 3;
constexpr Byte DataRequest = 4;
constexpr Byte DataResponse = 5;
} // namespace MessageId

// Capability blobs are judged by their first byte.
namespace Capability {
constexpr Byte ServerToClient = 1; // the server announces formats, the client takes its data
constexpr Byte ClientToServer = 2; // the client announces its clipboard and serves the server's requests
} // namespace Capability

// The only format ever offered, requested or accepted.
constexpr char TextFormat[] = "text/plain";

// Counted lists are refused beyond this many entries: an empty entry is one byte on the wire but many
// in memory.
constexpr std::size_t MaxListEntries = MaxBlobListEntries;

struct CapabilitiesMessage : MessageBase {
    static constexpr Byte Id = MessageId::Capabilities;
    std::list<Blob> capabilities;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SettingsMessage : MessageBase {
    static constexpr Byte Id = MessageId::Settings;
    std::list<Blob> settings;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct FormatsMessage : MessageBase {
    static constexpr Byte Id = MessageId::Formats;
    ClipboardIds clipboardId = Clipboard;
    std::list<String> formats;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct DataRequestMessage : MessageBase {
    static constexpr Byte Id = MessageId::DataRequest;
    ClipboardIds clipboardId = Clipboard;
    String format;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct DataResponseMessage : MessageBase {
    static constexpr Byte Id = MessageId::DataResponse;
    RequestStatus status = NotAvailable;
    ClipboardIds clipboardId = Clipboard;
    String format;
    Blob data;

    bool read(Reader& r);
    bool write(Writer& w) const;
    // Whether the whole frame, channel byte included, stays within what a length field can carry.
    bool fitsOnWire() const;
};

} // namespace Clipboard
} // namespace Protocol

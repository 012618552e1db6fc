#pragma once

// Control-channel messages (channel 0). Each message can be read and written, whichever side normally
// sends it, so that tests and test peers speak the same encoding as the client.
//
// read() takes the fields that follow the message id (the caller has consumed channel and id) and fails
// when a field is missing or malformed. write() appends the whole frame: channel number, message id,
// fields; it returns false when a value cannot be encoded, and then the frame must not be sent.

#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>
#include <vector>

namespace Protocol {

struct MessageBase {
    Byte channel = 0; // the frame's channel number: stamped by decoders, written first by encoders
};

struct DisconnectMessage : MessageBase {
    static constexpr Byte Id = MessageId::Disconnect;
    String reason;
    Byte level = ErrorLevel::Unspecified; // absent on the wire = 255

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct IdentityMessage : MessageBase {
    static constexpr Byte Id = MessageId::Identity;
    Byte version = 0;
    String identity;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct CapabilitiesMessage : MessageBase {
    static constexpr Byte Id = MessageId::Capabilities;
    BlobList entries; // tagged entries (CapabilityTag)

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SecurityMessage : MessageBase {
    static constexpr Byte Id = MessageId::Security;
    String displayName;
    Blob password; // UTF-8 bytes

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SettingsMessage : MessageBase {
    static constexpr Byte Id = MessageId::Settings;
    BlobList entries; // tagged entries (SettingTag)

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct ChannelOpenRequestMessage : MessageBase {
    static constexpr Byte Id = MessageId::ChannelOpenRequest;
    String name;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct ChannelOpenMessage : MessageBase {
    static constexpr Byte Id = MessageId::ChannelOpen;
    static constexpr Byte StatusOpened = 1;
    String name;
    Byte status = 0;
    Byte number = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct ChannelCloseMessage : MessageBase {
    static constexpr Byte Id = MessageId::ChannelClose;
    Byte number = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceCreateMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceCreate;
    std::uint32_t surfaceId = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceDestroyMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceDestroy;
    std::uint32_t surfaceId = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceResizeMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceResize;
    std::uint32_t surfaceId = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

// The prologue every SurfaceBits shares; the codec decides the body.
struct SurfaceBitsMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceBits;
    std::uint32_t surfaceId = 0;
    Byte codec = 0;

    bool read(Reader& r);        // the prologue only
    bool write(Writer& w) const; // the prologue only
};

// SurfaceBits with codec 2 (RFX7) or 7 (RFX7 progressive).
struct Rfx7UpdateMessage : SurfaceBitsMessage {
    QuantSet quantY{};
    QuantSet quantCb{};
    QuantSet quantCr{};
    RectList rects; // the updated region
    TileList tiles; // encoded 64x64 tiles

    Rfx7UpdateMessage() { codec = Codecs::Rfx7; }
    bool progressive() const { return codec == Codecs::Rfx7Progressive; }
    bool readBody(Reader& r); // after the prologue
    bool read(Reader& r);     // prologue and body
    bool write(Writer& w) const;
};

// SurfaceBits with codec 3 (JPEG), 4 (PNG), 5 (GIF) or 6 (WebP).
struct ImageCodecUpdateMessage : SurfaceBitsMessage {
    RectList rects; // the updated region
    TileList tiles; // one encoded image each

    ImageCodecUpdateMessage() { codec = Codecs::Jpeg; }
    bool readBody(Reader& r); // after the prologue
    bool read(Reader& r);     // prologue and body
    bool write(Writer& w) const;
};

struct SurfaceCopyMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceCopy;
    std::uint32_t sourceId = 0;
    RectList rects; // source rects
    std::uint32_t destinationId = 0;
    Offset offset;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceFrameBeginMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceFrameBegin;
    std::uint16_t frameId = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceFrameEndMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceFrameEnd;
    std::uint16_t frameId = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct SurfaceFrameAckMessage : MessageBase {
    static constexpr Byte Id = MessageId::SurfaceFrameAck;
    std::uint16_t frameId = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct NetworkDetectBeginMessage : MessageBase {
    static constexpr Byte Id = MessageId::NetworkDetectBegin;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct NetworkDetectEndMessage : MessageBase {
    static constexpr Byte Id = MessageId::NetworkDetectEnd;
    std::uint64_t value = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct NetworkDetectResultsMessage : MessageBase {
    static constexpr Byte Id = MessageId::NetworkDetectResults;
    std::uint64_t value = 0; // echoed from NetworkDetectEnd
    std::uint64_t elapsedMs = 0;
    std::uint64_t bytesReceived = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct PointerCreateMessage : MessageBase {
    static constexpr Byte Id = MessageId::PointerCreate;
    Byte pointerId = 0;
    std::uint16_t hotspotX = 0;
    std::uint16_t hotspotY = 0;
    Blob png;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct PointerSetCachedMessage : MessageBase {
    static constexpr Byte Id = MessageId::PointerSetCached;
    Byte pointerId = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct PointerHideMessage : MessageBase {
    static constexpr Byte Id = MessageId::PointerHide;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct PointerSystemMessage : MessageBase {
    static constexpr Byte Id = MessageId::PointerSystem;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct PointerPositionMessage : MessageBase {
    static constexpr Byte Id = MessageId::PointerPosition;
    std::uint16_t x = 0;
    std::uint16_t y = 0;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

// The whole frame of a message, or an empty vector when it cannot be encoded.
template <typename M>
std::vector<Byte> encodeFrame(const M& message) {
    Writer w;
    if (!message.write(w)) {
        return {};
    }
    return w.take();
}

} // namespace Protocol

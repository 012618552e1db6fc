#pragma once

// Client side of the display protocol's control channel. The machine knows nothing about sockets: the
// transport hands it whole frames through receive() and gives it a way out by overriding send().
// Decoded messages arrive at the virtual handlers below; their base bodies do nothing.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Protocol {

class ClientMachine {
public:
    enum State : std::uint32_t {
        Created = 0,             // transport not connected
        IdentitySent = 1,        // waiting for the server's Identity
        WaitingCapabilities = 2, // waiting for the server's Capabilities
        WaitingSettings = 3,     // waiting for the first Settings
        MainSequence = 4,        // surfaces, pointer, channels, settings both ways
        Failed = 5,              // protocol or socket error; final
        Closed = 6,              // Disconnect received or transport closed
    };

    static constexpr Byte ProtocolVersion = 1;

    explicit ClientMachine(std::string identity);
    virtual ~ClientMachine();

    ClientMachine(const ClientMachine&) = delete;
    ClientMachine& operator=(const ClientMachine&) = delete;

    // Decodes one whole frame and dispatches it. In state Failed every frame is dropped.
    void receive(Reader frame);
    void receive(const Byte* data, std::size_t size) { receive(Reader(data, size)); }
    void receive(const std::vector<Byte>& frame) { receive(Reader(frame)); }

    std::uint32_t state() const { return m_state.load(); }
    // For the transport (0, 1, 5 on a socket error, 6 when the socket closes). Failed is final: once
    // there, the machine stays there.
    void setState(std::uint32_t state);

    Byte version() const { return m_version; }
    const std::string& identity() const { return m_identity; }
    Byte serverVersion() const { return m_serverVersion; }
    const std::string& serverIdentity() const { return m_serverIdentity; }

    // Open side channels by number.
    const std::map<Byte, std::shared_ptr<Channel>>& channels() const { return m_channels; }
    std::shared_ptr<Channel> channel(Byte number) const;

    // Enters state Failed, then calls error(). Use this, rather than error() directly, to end the
    // session from a handler or a channel, so that nothing more is dispatched.
    void reportError(std::string message, unsigned char level);

    // Encoders: each builds a channel-0 frame and passes it to send(). They return false, sending
    // nothing, when a field cannot be encoded (a length of 2^28 bytes or more).
    bool sendIdentity();
    bool sendCapabilities(const BlobList& entries);
    bool sendSecurity(const String& displayName, const Blob& password);
    bool sendSettingsMessage(const BlobList& entries);
    bool channelOpenRequest(const String& name);
    bool sendSurfaceFrameAck(std::uint16_t frameId);
    bool sendNetworkDetectResults(std::uint64_t value, std::uint64_t elapsedMs, std::uint64_t bytesReceived);

    // Sends Settings only in the main sequence; otherwise the list is dropped (false).
    bool sendSettings(const BlobList& entries);
    // Sends SurfaceFrameAck only in the main sequence (false otherwise).
    bool sendFrameAck(std::uint16_t frameId);

    // Joins a side-channel class T to a machine: the channel's sends and error reports go to it.
    template <typename T>
    class ChannelForwarder;

    // The transport's way out. Called from whichever thread encodes.
    virtual void send(std::vector<std::uint8_t> frame);
    // A protocol failure; the base does nothing. The machine's own failures have already set Failed.
    virtual void error(std::string message, unsigned char level);

    virtual void onDisconnect(std::string reason, unsigned char level);
    virtual void onIdentity(unsigned char version, std::string identity);
    virtual void onCapabilities(BlobList entries);
    virtual void onSettings(BlobList entries);
    // Returns the channel object, or an empty pointer to refuse; a refused number stays closed.
    virtual std::shared_ptr<Channel> onChannelOpen(std::string name, unsigned char number);
    virtual void onChannelClose(std::string name, unsigned char number);
    virtual void onSurfaceCreate(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height);
    virtual void onSurfaceDestroy(std::uint32_t surfaceId);
    virtual void onSurfaceResize(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height);
    virtual void onSurfaceCopy(std::uint32_t sourceId, RectList rects, std::uint32_t destinationId,
                               Offset offset);
    virtual void onRfx7Update(std::uint32_t surfaceId, QuantSet quantY, QuantSet quantCb, QuantSet quantCr,
                              RectList rects, TileList tiles, bool progressive);
    virtual void onImageCodecUpdate(std::uint8_t codecId, std::uint32_t surfaceId, RectList rects,
                                    TileList tiles);
    virtual void onSurfaceFrameBegin(std::uint16_t frameId);
    virtual void onSurfaceFrameEnd(std::uint16_t frameId);
    virtual void onNetworkDetectBegin();
    virtual void onNetworkDetectEnd(std::uint64_t value);
    virtual void onPointerCreate(std::uint8_t pointerId, std::uint16_t hotspotX, std::uint16_t hotspotY,
                                 Blob png);
    virtual void onPointerHide();
    virtual void onPointerPosition(std::uint16_t x, std::uint16_t y);
    virtual void onPointerSetCached(std::uint8_t pointerId);
    virtual void onPointerSystem();

private:
    void fail(const char* message);
    bool sendEncoded(bool ok, std::vector<Byte>&& frame);
    void dispatchControl(Byte id, Reader& r);

    std::atomic<std::uint32_t> m_state{Created};
    Byte m_version = ProtocolVersion;
    std::string m_identity;
    Byte m_serverVersion = 0;
    std::string m_serverIdentity;
    std::map<Byte, std::shared_ptr<Channel>> m_channels;
};

template <typename T>
class ClientMachine::ChannelForwarder : public T {
public:
    // The remaining arguments construct T, e.g. (name, number, parent).
    template <typename... Args>
    explicit ChannelForwarder(ClientMachine& machine, Args&&... args)
        : T(std::forward<Args>(args)...)
        , m_machine(machine) {}

    void send(std::vector<std::uint8_t> frame) override { m_machine.send(std::move(frame)); }
    void error(std::string message, unsigned char level) override {
        m_machine.reportError(std::move(message), level);
    }

    ClientMachine& machine() const { return m_machine; }

private:
    ClientMachine& m_machine;
};

} // namespace Protocol

#include "viewer/protocol/ClientMachine.h"

#include "viewer/protocol/Messages.h"

#include <utility>

namespace Protocol {

ClientMachine::ClientMachine(std::string identity)
    : m_identity(std::move(identity)) {}

ClientMachine::~ClientMachine() = default;

void ClientMachine::setState(std::uint32_t state) {
    std::uint32_t current = m_state.load();
    while (current != Failed && !m_state.compare_exchange_weak(current, state)) {
    }
}

std::shared_ptr<Channel> ClientMachine::channel(Byte number) const {
    auto it = m_channels.find(number);
    return it == m_channels.end() ? nullptr : it->second;
}

void ClientMachine::reportError(std::string message, unsigned char level) {
    m_state.store(Failed);
    error(std::move(message), level);
}

void ClientMachine::fail(const char* message) {
    reportError(message, ErrorLevel::Protocol);
}

void ClientMachine::receive(Reader frame) {
    // After a failure nothing more is dispatched, side channels included.
    if (state() == Failed) {
        return;
    }
    Byte channelNumber = 0;
    if (!frame.readU8(channelNumber)) {
        fail("failed to read the channel number");
        return;
    }
    if (channelNumber != 0) {
        auto it = m_channels.find(channelNumber);
        if (it == m_channels.end()) {
            fail("channel is not open");
            return;
        }
        // Hold a reference for the call: the channel may end the session from inside receive().
        std::shared_ptr<Channel> target = it->second;
        target->receive(frame.rest());
        return;
    }
    Byte id = 0;
    if (!frame.readU8(id)) {
        fail("failed to read the message id");
        return;
    }
    dispatchControl(id, frame);
}

void ClientMachine::dispatchControl(Byte id, Reader& r) {
    const bool inMain = state() == MainSequence;
    switch (id) {
    case MessageId::Disconnect: {
        DisconnectMessage m;
        if (!m.read(r)) {
            return fail("failed to read the disconnect message");
        }
        setState(Closed);
        onDisconnect(std::move(m.reason), m.level);
        return;
    }
    case MessageId::Identity: {
        IdentityMessage m;
        if (!m.read(r)) {
            return fail("failed to read the identity message");
        }
        if (state() == IdentitySent) {
            m_serverVersion = m.version;
            m_serverIdentity = m.identity;
            setState(WaitingCapabilities);
            onIdentity(m.version, std::move(m.identity));
        }
        return;
    }
    case MessageId::Capabilities: {
        CapabilitiesMessage m;
        if (!m.read(r)) {
            return fail("failed to read the capabilities message");
        }
        if (state() == WaitingCapabilities) {
            setState(WaitingSettings);
            onCapabilities(std::move(m.entries));
        }
        return;
    }
    case MessageId::Settings: {
        SettingsMessage m;
        if (!m.read(r)) {
            return fail("failed to read the settings message");
        }
        if (state() == WaitingSettings) {
            setState(MainSequence);
        }
        if (state() == MainSequence) {
            onSettings(std::move(m.entries));
        }
        return;
    }
    case MessageId::ChannelOpen: {
        ChannelOpenMessage m;
        if (!m.read(r)) {
            return fail("failed to read the channel open message");
        }
        if (!inMain || m.status != ChannelOpenMessage::StatusOpened) {
            return;
        }
        std::shared_ptr<Channel> opened = onChannelOpen(std::move(m.name), m.number);
        if (opened) {
            m_channels[m.number] = std::move(opened);
        } else {
            // A refused number stays closed, whatever it carried before.
            m_channels.erase(m.number);
        }
        return;
    }
    case MessageId::ChannelClose: {
        ChannelCloseMessage m;
        if (!m.read(r)) {
            return fail("failed to read the channel close message");
        }
        if (!inMain) {
            return;
        }
        auto it = m_channels.find(m.number);
        if (it == m_channels.end()) {
            return;
        }
        std::shared_ptr<Channel> closing = it->second;
        onChannelClose(closing->name, m.number);
        closing->onClosed();
        auto again = m_channels.find(m.number);
        if (again != m_channels.end() && again->second == closing) {
            m_channels.erase(again);
        }
        return;
    }
    case MessageId::SurfaceCreate: {
        SurfaceCreateMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface create message");
        }
        if (inMain) {
            onSurfaceCreate(m.surfaceId, m.width, m.height);
        }
        return;
    }
    case MessageId::SurfaceDestroy: {
        SurfaceDestroyMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface destroy message");
        }
        if (inMain) {
            onSurfaceDestroy(m.surfaceId);
        }
        return;
    }
    case MessageId::SurfaceResize: {
        SurfaceResizeMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface resize message");
        }
        if (inMain) {
            onSurfaceResize(m.surfaceId, m.width, m.height);
        }
        return;
    }
    case MessageId::SurfaceBits: {
        SurfaceBitsMessage prologue;
        if (!prologue.read(r)) {
            return fail("failed to read the surface bits message prologue");
        }
        switch (prologue.codec) {
        case Codecs::Rfx7:
        case Codecs::Rfx7Progressive: {
            Rfx7UpdateMessage m;
            if (!m.readBody(r)) {
                return fail("failed to read the rfx7 surface bits message");
            }
            if (inMain) {
                onRfx7Update(prologue.surfaceId, m.quantY, m.quantCb, m.quantCr, std::move(m.rects),
                             std::move(m.tiles), prologue.codec == Codecs::Rfx7Progressive);
            }
            return;
        }
        case Codecs::Jpeg:
        case Codecs::Png:
        case Codecs::Gif:
        case Codecs::WebP: {
            ImageCodecUpdateMessage m;
            if (!m.readBody(r)) {
                return fail("failed to read the image codec surface bits message");
            }
            if (inMain) {
                onImageCodecUpdate(prologue.codec, prologue.surfaceId, std::move(m.rects),
                                   std::move(m.tiles));
            }
            return;
        }
        default:
            if (inMain) {
                fail("invalid codec");
            }
            return;
        }
    }
    case MessageId::SurfaceCopy: {
        SurfaceCopyMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface copy message");
        }
        if (inMain) {
            onSurfaceCopy(m.sourceId, std::move(m.rects), m.destinationId, m.offset);
        }
        return;
    }
    case MessageId::SurfaceFrameBegin: {
        SurfaceFrameBeginMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface frame begin message");
        }
        if (inMain) {
            onSurfaceFrameBegin(m.frameId);
        }
        return;
    }
    case MessageId::SurfaceFrameEnd: {
        SurfaceFrameEndMessage m;
        if (!m.read(r)) {
            return fail("failed to read the surface frame end message");
        }
        if (inMain) {
            onSurfaceFrameEnd(m.frameId);
        }
        return;
    }
    case MessageId::NetworkDetectBegin:
        if (inMain) {
            onNetworkDetectBegin();
        }
        return;
    case MessageId::NetworkDetectEnd: {
        NetworkDetectEndMessage m;
        if (!m.read(r)) {
            return fail("failed to read the network detect end message");
        }
        if (inMain) {
            onNetworkDetectEnd(m.value);
        }
        return;
    }
    case MessageId::PointerCreate: {
        PointerCreateMessage m;
        if (!m.read(r)) {
            return fail("failed to read the pointer create message");
        }
        if (inMain) {
            onPointerCreate(m.pointerId, m.hotspotX, m.hotspotY, std::move(m.png));
        }
        return;
    }
    case MessageId::PointerSetCached: {
        PointerSetCachedMessage m;
        if (!m.read(r)) {
            return fail("failed to read the pointer set cached pointer message");
        }
        if (inMain) {
            onPointerSetCached(m.pointerId);
        }
        return;
    }
    case MessageId::PointerHide:
        if (inMain) {
            onPointerHide();
        }
        return;
    case MessageId::PointerSystem:
        if (inMain) {
            onPointerSystem();
        }
        return;
    case MessageId::PointerPosition: {
        PointerPositionMessage m;
        if (!m.read(r)) {
            return fail("failed to read the pointer position update message");
        }
        if (inMain) {
            onPointerPosition(m.x, m.y);
        }
        return;
    }
    default:
        // 0, above 32, and the client's own ids (4, 6, 8, 17-24, 27) are ignored.
        return;
    }
}

bool ClientMachine::sendEncoded(bool ok, std::vector<Byte>&& frame) {
    if (!ok) {
        return false;
    }
    send(std::move(frame));
    return true;
}

bool ClientMachine::sendIdentity() {
    IdentityMessage m;
    m.version = m_version;
    m.identity = m_identity;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendCapabilities(const BlobList& entries) {
    CapabilitiesMessage m;
    m.entries = entries;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendSecurity(const String& displayName, const Blob& password) {
    SecurityMessage m;
    m.displayName = displayName;
    m.password = password;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendSettingsMessage(const BlobList& entries) {
    SettingsMessage m;
    m.entries = entries;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::channelOpenRequest(const String& name) {
    ChannelOpenRequestMessage m;
    m.name = name;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendSurfaceFrameAck(std::uint16_t frameId) {
    SurfaceFrameAckMessage m;
    m.frameId = frameId;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendNetworkDetectResults(std::uint64_t value, std::uint64_t elapsedMs,
                                             std::uint64_t bytesReceived) {
    NetworkDetectResultsMessage m;
    m.value = value;
    m.elapsedMs = elapsedMs;
    m.bytesReceived = bytesReceived;
    Writer w;
    const bool ok = m.write(w);
    return sendEncoded(ok, w.take());
}

bool ClientMachine::sendSettings(const BlobList& entries) {
    return state() == MainSequence && sendSettingsMessage(entries);
}

bool ClientMachine::sendFrameAck(std::uint16_t frameId) {
    return state() == MainSequence && sendSurfaceFrameAck(frameId);
}

void ClientMachine::send(std::vector<std::uint8_t>) {}
void ClientMachine::error(std::string, unsigned char) {}
void ClientMachine::onDisconnect(std::string, unsigned char) {}
void ClientMachine::onIdentity(unsigned char, std::string) {}
void ClientMachine::onCapabilities(BlobList) {}
void ClientMachine::onSettings(BlobList) {}
std::shared_ptr<Channel> ClientMachine::onChannelOpen(std::string, unsigned char) {
    return nullptr;
}
void ClientMachine::onChannelClose(std::string, unsigned char) {}
void ClientMachine::onSurfaceCreate(std::uint32_t, std::uint16_t, std::uint16_t) {}
void ClientMachine::onSurfaceDestroy(std::uint32_t) {}
void ClientMachine::onSurfaceResize(std::uint32_t, std::uint16_t, std::uint16_t) {}
void ClientMachine::onSurfaceCopy(std::uint32_t, RectList, std::uint32_t, Offset) {}
void ClientMachine::onRfx7Update(std::uint32_t, QuantSet, QuantSet, QuantSet, RectList, TileList, bool) {}
void ClientMachine::onImageCodecUpdate(std::uint8_t, std::uint32_t, RectList, TileList) {}
void ClientMachine::onSurfaceFrameBegin(std::uint16_t) {}
void ClientMachine::onSurfaceFrameEnd(std::uint16_t) {}
void ClientMachine::onNetworkDetectBegin() {}
void ClientMachine::onNetworkDetectEnd(std::uint64_t) {}
void ClientMachine::onPointerCreate(std::uint8_t, std::uint16_t, std::uint16_t, Blob) {}
void ClientMachine::onPointerHide() {}
void ClientMachine::onPointerPosition(std::uint16_t, std::uint16_t) {}
void ClientMachine::onPointerSetCached(std::uint8_t) {}
void ClientMachine::onPointerSystem() {}

} // namespace Protocol

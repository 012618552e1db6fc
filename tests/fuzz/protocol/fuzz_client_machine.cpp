// Fuzzes ClientMachine::receive with a whole session's worth of frames.
//
// Input: frames one after another, each a u16 little-endian length and that many bytes (a short last
// frame takes what is left). The machine starts as the transport leaves it after connecting (Identity
// sent), so a valid handshake leads into the main sequence. Its handlers answer like the real
// connection does and open every side channel except "refused", so channel frames, closes and
// channel errors are reached too.

#include "viewer/protocol/ClientMachine.h"
#include "viewer/protocol/Entries.h"
#include "viewer/protocol/Messages.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace Protocol;

namespace {

// A handler that runs once the machine has failed is a fault: nothing may be dispatched after an error.
void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

class FuzzChannel : public Channel {
public:
    FuzzChannel(std::string name, Byte number)
        : Channel(std::move(name), number) {}

    void receive(std::vector<std::uint8_t> bytes) override {
        if (bytes.empty()) {
            error("Failed to read message id", ErrorLevel::Protocol);
            return;
        }
        if (bytes[0] == 0xEE) {
            error("Invalid message id", ErrorLevel::Protocol);
            return;
        }
        // Echo the message back, sometimes under a wrong number, which the channel must refuse.
        const Byte target = (bytes[0] & 1) ? number : static_cast<Byte>(number + 1);
        std::vector<std::uint8_t> frame;
        frame.push_back(target);
        frame.insert(frame.end(), bytes.begin(), bytes.end());
        sendChecked(target, std::move(frame));
    }
};

class FuzzMachine : public ClientMachine {
public:
    FuzzMachine()
        : ClientMachine("Velnor") {}

    bool failedSeen = false;

    void send(std::vector<std::uint8_t> frame) override {
        check(!frame.empty());
        sentBytes += frame.size();
    }
    void error(std::string message, unsigned char) override {
        check(!message.empty());
        failedSeen = true;
    }

    void live() const { check(state() != Failed && !failedSeen); }

    void onDisconnect(std::string, unsigned char) override { live(); }
    void onIdentity(unsigned char, std::string) override {
        live();
        check(state() == WaitingCapabilities);
        sendCapabilities({Capability::rfx7(), Capability::jpeg(), Capability::codecList({2, 7, 3, 4}),
                          Capability::password()});
    }
    void onCapabilities(BlobList entries) override {
        live();
        for (const Blob& e : entries) {
            std::vector<Byte> codecs;
            Byte tag = 0;
            if (entryTag(e, tag) && tag == CapabilityTag::Password && state() == WaitingSettings) {
                sendSecurity("user", Blob{'p', 'w'});
            }
            Capability::parseCodecList(e, codecs);
        }
    }
    void onSettings(BlobList entries) override {
        live();
        check(state() == MainSequence);
        for (const Blob& e : entries) {
            Setting::Geometry g;
            Setting::Keyboard k;
            Setting::Range r;
            Setting::BlockSize b;
            bool flag = false;
            Byte codec = 0;
            Setting::parseGeometry(e, g);
            Setting::parseKeyboard(e, k);
            Setting::parseRange(e, SettingTag::Compression, r);
            Setting::parseBlockSize(e, b);
            Setting::parseFlag(e, SettingTag::AutomaticAdjust, flag);
            Setting::parseCodec(e, SettingTag::SmallBlockImageFormat, codec);
        }
        sendSettings({Setting::geometry(1024, 768, 300, 200)});
        channelOpenRequest("clipboard");
    }
    std::shared_ptr<Channel> onChannelOpen(std::string name, unsigned char number) override {
        live();
        check(state() == MainSequence);
        if (name == "refused") {
            return nullptr;
        }
        return std::make_shared<ChannelForwarder<FuzzChannel>>(*this, std::move(name), number);
    }
    void onChannelClose(std::string, unsigned char number) override {
        live();
        check(channel(number) != nullptr);
    }
    void onSurfaceCreate(std::uint32_t, std::uint16_t, std::uint16_t) override { inMain(); }
    void onSurfaceDestroy(std::uint32_t) override { inMain(); }
    void onSurfaceResize(std::uint32_t, std::uint16_t, std::uint16_t) override { inMain(); }
    void onSurfaceCopy(std::uint32_t, RectList, std::uint32_t, Offset) override { inMain(); }
    void onRfx7Update(std::uint32_t, QuantSet y, QuantSet cb, QuantSet cr, RectList, TileList,
                      bool) override {
        inMain();
        for (const QuantSet* q : {&y, &cb, &cr}) {
            for (Byte v : *q) {
                check(v <= 15);
            }
        }
    }
    void onImageCodecUpdate(std::uint8_t codec, std::uint32_t, RectList, TileList) override {
        inMain();
        check(codec >= Codecs::Jpeg && codec <= Codecs::WebP);
    }
    void onSurfaceFrameBegin(std::uint16_t) override { inMain(); }
    void onSurfaceFrameEnd(std::uint16_t frameId) override {
        inMain();
        check(sendFrameAck(frameId));
    }
    void onNetworkDetectBegin() override { inMain(); }
    void onNetworkDetectEnd(std::uint64_t value) override {
        inMain();
        sendNetworkDetectResults(value, 1, sentBytes);
    }
    void onPointerCreate(std::uint8_t, std::uint16_t, std::uint16_t, Blob) override { inMain(); }
    void onPointerHide() override { inMain(); }
    void onPointerPosition(std::uint16_t, std::uint16_t) override { inMain(); }
    void onPointerSetCached(std::uint8_t) override { inMain(); }
    void onPointerSystem() override { inMain(); }

private:
    void inMain() const {
        live();
        check(state() == MainSequence);
    }

    std::uint64_t sentBytes = 0;
};

// Whatever decodes must encode, and the encoding must decode to the same encoding again.
template <typename M>
void roundTrip(Reader r) {
    M first;
    if (!first.read(r)) {
        return;
    }
    const std::vector<Byte> encoded = encodeFrame(first);
    check(encoded.size() >= 2);
    Reader again(encoded.data() + 2, encoded.size() - 2);
    M second;
    check(second.read(again));
    check(encodeFrame(second) == encoded);
}

void roundTripControl(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    Byte channel = 0;
    Byte id = 0;
    if (!r.readU8(channel) || channel != 0 || !r.readU8(id)) {
        return;
    }
    switch (id) {
    case MessageId::Disconnect:
        return roundTrip<DisconnectMessage>(r);
    case MessageId::Identity:
        return roundTrip<IdentityMessage>(r);
    case MessageId::Capabilities:
        return roundTrip<CapabilitiesMessage>(r);
    case MessageId::Security:
        return roundTrip<SecurityMessage>(r);
    case MessageId::Settings:
        return roundTrip<SettingsMessage>(r);
    case MessageId::ChannelOpen:
        return roundTrip<ChannelOpenMessage>(r);
    case MessageId::SurfaceBits: {
        SurfaceBitsMessage prologue;
        Reader peek = r;
        if (prologue.read(peek) &&
            (prologue.codec == Codecs::Rfx7 || prologue.codec == Codecs::Rfx7Progressive)) {
            return roundTrip<Rfx7UpdateMessage>(r);
        }
        return roundTrip<ImageCodecUpdateMessage>(r);
    }
    case MessageId::SurfaceCopy:
        return roundTrip<SurfaceCopyMessage>(r);
    case MessageId::NetworkDetectResults:
        return roundTrip<NetworkDetectResultsMessage>(r);
    case MessageId::PointerCreate:
        return roundTrip<PointerCreateMessage>(r);
    default:
        return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzMachine machine;
    machine.setState(ClientMachine::IdentitySent);
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        std::size_t length = data[pos] | (static_cast<std::size_t>(data[pos + 1]) << 8);
        pos += 2;
        if (length > size - pos) {
            length = size - pos;
        }
        roundTripControl(data + pos, length);
        const std::uint32_t before = machine.state();
        machine.receive(data + pos, length);
        pos += length;
        // Failed is final.
        check(before != ClientMachine::Failed || machine.state() == ClientMachine::Failed);
    }
    return 0;
}

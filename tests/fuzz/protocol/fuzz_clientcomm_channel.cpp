// Fuzzes the client-communication channel's decoder. Every message it accepts must encode again and
// decode to the same message, and a frame it refuses must be reported exactly once. Decoding, with the
// checks' own copies, holds no more than a few times the frame's size.

#include "../AllocationWatch.h"
#include "viewer/protocol/ClientCommChannel.h"

#include <cstddef>
#include <cstdint>

using namespace Protocol::ClientComm;
using Protocol::Byte;
using Protocol::encodeFrame;
using Protocol::Reader;
namespace ErrorLevel = Protocol::ErrorLevel;

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

template <typename M>
M roundTrip(const M& message) {
    std::vector<Byte> frame = encodeFrame(message);
    check(frame.size() >= 2 && frame[0] == message.channel && frame[1] == M::Id);
    Reader r(frame.data() + 2, frame.size() - 2);
    M again;
    again.channel = message.channel;
    check(again.read(r));
    return again;
}

class FuzzChannel : public ClientCommClientChannel {
public:
    FuzzChannel()
        : ClientCommClientChannel("clientcomm", 7) {}

    void error(std::string, unsigned char level) override {
        check(level == ErrorLevel::Protocol);
        ++errors;
    }
    void send(std::vector<std::uint8_t> frame) override { check(!frame.empty() && frame[0] == number); }

    void onCapabilities(CapabilitiesMessage m) override {
        ++handled;
        check(roundTrip(m).entries == m.entries);
    }
    void onSettings(SettingsMessage m) override {
        ++handled;
        check(roundTrip(m).types == m.types);
        check(sendSettings(m));
    }
    void onMessage(MessageMessage m) override {
        ++handled;
        const MessageMessage again = roundTrip(m);
        check(again.requestId == m.requestId && again.type == m.type && again.data == m.data);
        check(sendMessage(m));
    }
    void onResponse(ResponseMessage m) override {
        ++handled;
        const ResponseMessage again = roundTrip(m);
        check(again.requestId == m.requestId && again.data == m.data);
        check(sendResponse(m));
    }
    void onNack(NackMessage m) override {
        ++handled;
        const NackMessage again = roundTrip(m);
        check(again.requestId == m.requestId && again.status == m.status);
        // A message for another channel is refused, not sent.
        m.channel = Byte(number + 1);
        const int before = errors;
        check(!sendNack(m));
        check(errors == before + 1);
        errors = before;
    }

    int errors = 0;
    int handled = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzChannel channel;
    std::vector<std::uint8_t> frame(data, data + size);
    const fuzzing::AllocationWatch watch;
    channel.receive(std::move(frame));
    watch.checkWithin(size, 8, 6 << 20);
    check(channel.handled + channel.errors == 1);
    return 0;
}

// Peak memory the client-communication and diagnostics decoders hold while they read one 40 MB frame
// of the kind that costs them most: a Capabilities message of empty entries, and a counter-names
// message of empty names under new ids. The peak counts every byte allocated through operator new
// and not yet freed while the channel receives the frame (the frame itself excluded).

#include "viewer/protocol/ClientCommChannel.h"
#include "viewer/protocol/Diagnostics.h"
#include "viewer/protocol/Wire.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace {

bool counting = false;
long long live = 0;
long long peak = 0;

void* allocate(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) {
        throw std::bad_alloc();
    }
    if (counting) {
        live += static_cast<long long>(malloc_usable_size(p));
        peak = live > peak ? live : peak;
    }
    return p;
}

void release(void* p) {
    if (p && counting) {
        live -= static_cast<long long>(malloc_usable_size(p));
    }
    std::free(p);
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}

namespace {

using namespace Protocol;

class ClientCommSink : public ClientComm::ClientCommClientChannel {
public:
    ClientCommSink()
        : ClientCommClientChannel("clientcomm", 1) {}
    void onCapabilities(ClientComm::CapabilitiesMessage m) override { entries = m.entries.size(); }
    void onSettings(ClientComm::SettingsMessage) override {}
    void onMessage(ClientComm::MessageMessage) override {}
    void onResponse(ClientComm::ResponseMessage) override {}
    void onNack(ClientComm::NackMessage) override {}
    void error(std::string message, unsigned char) override { failure = message; }
    std::size_t entries = 0;
    std::string failure;
};

class DiagnosticsSink : public Diagnostics::DiagnosticsClientChannel {
public:
    DiagnosticsSink()
        : DiagnosticsClientChannel("diagnostics", 2) {}
    void onCounterNames(const Protocol::Diagnostics::CounterNameList& names) override {
        listed = names.size();
    }
    void onCounterValue(const std::string&, std::uint32_t) override {}
    void onTimerCounter(const std::string&, std::uint32_t, std::uint64_t) override {}
    void onCountersFinished() override {}
    void error(std::string message, unsigned char) override { failure = message; }
    std::size_t listed = 0;
    std::string failure;
};

constexpr std::size_t FrameBytes = 40u * 1000 * 1000;

template <typename Channel>
void measure(const char* what, std::vector<std::uint8_t> frame,
             const std::function<std::string(Channel&)>& outcome) {
    const std::size_t size = frame.size();
    // The channel frees the frame when it is done with it; that is not what it keeps.
    const long long frameAllocation = static_cast<long long>(malloc_usable_size(frame.data()));
    Channel channel;
    live = 0;
    peak = 0;
    counting = true;
    const auto start = std::chrono::steady_clock::now();
    channel.receive(std::move(frame));
    const auto end = std::chrono::steady_clock::now();
    const long long kept = live + frameAllocation;
    counting = false;
    std::printf("%-46s frame %5.1f MB  peak %7.1f MB (%5.1fx)  kept %7.1f MB  %6.0f ms  %s\n", what,
                size / 1e6, peak / 1e6, double(peak) / double(size), kept / 1e6,
                std::chrono::duration<double, std::milli>(end - start).count(), outcome(channel).c_str());
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("--benchmark_", 0) != 0) {
            std::fprintf(stderr, "usage: %s\n", argv[0]);
            return 1;
        }
    }
    {
        // id, count, then empty blobs up to the frame's size (the channel number is not passed on).
        Writer w;
        const std::size_t count = FrameBytes - 1 - 4;
        w.u8(ClientComm::MessageId::Capabilities).leb128(count);
        std::vector<std::uint8_t> frame = w.take();
        frame.resize(FrameBytes, 0);
        measure<ClientCommSink>(
            "client communication: Capabilities", std::move(frame), [](ClientCommSink& c) {
                return c.failure.empty() ? std::to_string(c.entries) + " entries" : "refused: " + c.failure;
            });
    }
    {
        Writer w;
        const std::size_t count = (FrameBytes - 1 - 4) / 5;
        w.u8(Protocol::Diagnostics::MessageId::CounterNames).leb128(count);
        for (std::size_t i = 0; i < count; ++i) {
            w.u32(std::uint32_t(i)).u8(0);
        }
        measure<DiagnosticsSink>("diagnostics: counter names", w.take(), [](DiagnosticsSink& c) {
            return c.failure.empty() ? std::to_string(c.listed) + " names, " +
                                           std::to_string(c.counterNames.size()) + " kept"
                                     : "refused: " + c.failure;
        });
    }
    {
        // The most entries a frame may carry, the rest of the 40 MB in the last one.
        const std::size_t count = ClientComm::MaxCapabilities;
        Writer w;
        w.u8(ClientComm::MessageId::Capabilities).leb128(count);
        for (std::size_t i = 0; i + 1 < count; ++i) {
            w.blob({});
        }
        const std::size_t rest = FrameBytes - w.bytes().size() - 4;
        w.blob(Blob(rest, 0x61));
        measure<ClientCommSink>(
            "client communication: Capabilities at the cap", w.take(), [](ClientCommSink& c) {
                return c.failure.empty() ? std::to_string(c.entries) + " entries" : "refused: " + c.failure;
            });
    }
    {
        const std::size_t count = Protocol::Diagnostics::MaxListEntries;
        Writer w;
        w.u8(Protocol::Diagnostics::MessageId::CounterNames).leb128(count);
        for (std::size_t i = 0; i + 1 < count; ++i) {
            w.u32(std::uint32_t(i)).u8(0);
        }
        const std::size_t rest = FrameBytes - w.bytes().size() - 4 - 4;
        w.u32(std::uint32_t(count)).string(std::string(rest, 'n'));
        measure<DiagnosticsSink>("diagnostics: counter names at the cap", w.take(), [](DiagnosticsSink& c) {
            return c.failure.empty() ? std::to_string(c.listed) + " names, " +
                                           std::to_string(c.counterNames.size()) + " kept"
                                     : "refused: " + c.failure;
        });
    }
    return 0;
}

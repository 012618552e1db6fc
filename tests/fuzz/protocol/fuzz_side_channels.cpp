// Fuzzes the decoders of the diagnostics and 3D-mouse channels with a channel's worth of frames.
//
// Input: frames one after another, each a u16 little-endian length and that many bytes (a short last
// frame takes what is left). Every frame goes to both channels. A frame that reports an error must
// have called no handler, counter handlers only see names the channel knows, and a report always ends
// with its finish call. The channels together never hold more than a few times the input's size (a
// large seed names many thousands of counters over many frames).

#include "../AllocationWatch.h"
#include "viewer/protocol/Diagnostics.h"
#include "viewer/protocol/Magellan.h"

#include <cstddef>
#include <cstdint>
#include <set>

using namespace Protocol;

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

class FuzzDiagnostics : public Diagnostics::DiagnosticsClientChannel {
public:
    FuzzDiagnostics()
        : DiagnosticsClientChannel("diagnostics", 1) {}

    int calls = 0;
    int errors = 0;
    bool inReport = false;

    void onCounterNames(const Diagnostics::CounterNameList& names) override {
        ++calls;
        // Every name is kept, unless the channel already keeps as many as it may.
        for (const auto& [id, name] : names) {
            check(counterNames.count(id) == 1 ||
                  (droppedNames > 0 && counterNames.size() == Diagnostics::MaxCounterNames));
        }
        check(counterNames.size() <= Diagnostics::MaxCounterNames);
    }
    void onCounterValue(const std::string& name, std::uint32_t) override { counted(name); }
    void onTimerCounter(const std::string& name, std::uint32_t, std::uint64_t) override { counted(name); }
    void onCountersFinished() override { ++calls; }
    void error(std::string message, unsigned char level) override {
        check(!message.empty() && level == ErrorLevel::Protocol);
        ++errors;
    }

private:
    void counted(const std::string& name) {
        ++calls;
        bool known = false;
        for (const auto& entry : counterNames) {
            known = known || entry.second == name;
        }
        check(known);
    }
};

class FuzzMagellan : public Magellan::MagellanClientChannel {
public:
    FuzzMagellan()
        : MagellanClientChannel("magellan", 2) {}

    int calls = 0;
    int errors = 0;

    void onCapabilities() override {
        ++calls;
        // Answer with both client messages, once under a wrong number, which must be refused.
        Magellan::MoveMessage move;
        move.channel = number;
        move.x = -1;
        check(sendMove(move));
        Magellan::KeysMessage keys;
        keys.channel = static_cast<Byte>(number + 1);
        answering = true;
        check(!sendKeys(keys));
        answering = false;
    }
    void send(std::vector<std::uint8_t> frame) override { check(frame.size() == 18 && frame[0] == number); }
    void error(std::string message, unsigned char level) override {
        check(level == ErrorLevel::Protocol);
        if (answering) {
            check(message == "Message channel number does not match assigned channel number");
            return;
        }
        ++errors;
    }

private:
    bool answering = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzDiagnostics diagnostics;
    FuzzMagellan magellan;
    const fuzzing::AllocationWatch watch;
    std::size_t at = 0;
    while (at < size) {
        std::size_t length = data[at];
        if (at + 1 < size) {
            length |= std::size_t(data[at + 1]) << 8;
        }
        at += 2;
        if (at > size) {
            break;
        }
        const std::size_t take = length < size - at ? length : size - at;
        const std::vector<std::uint8_t> frame(data + at, data + at + take);
        at += take;

        const int callsBefore = diagnostics.calls;
        const int errorsBefore = diagnostics.errors;
        diagnostics.receive(frame);
        check(diagnostics.errors - errorsBefore <= 1);
        if (diagnostics.errors != errorsBefore) {
            check(diagnostics.calls == callsBefore);
        }

        const int magellanErrors = magellan.errors;
        const int magellanCalls = magellan.calls;
        magellan.receive(frame);
        check(magellan.errors - magellanErrors + magellan.calls - magellanCalls == 1);
    }
    watch.checkWithin(size, 8, 256 << 10);
    return 0;
}

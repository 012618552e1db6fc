#pragma once

// The "diagnostics" side channel: the server's performance counters. The server names its counters
// once (names may also change or arrive between reports) and then reports their values in batches.

#include "viewer/protocol/Channel.h"
#include "viewer/protocol/Types.h"
#include "viewer/protocol/Wire.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Protocol {
namespace Diagnostics {

namespace MessageId {
constexpr Byte CounterNames = 2;
constexpr Byte Counters = 3;
} // namespace MessageId

namespace CounterKind {
constexpr Byte Average = 0; // u32: an average in thousandths
constexpr Byte Timer = 1;   // u32 average in thousandths, then u64 running total
} // namespace CounterKind

using CounterNameList = std::vector<std::pair<std::uint32_t, std::string>>;

// Entries of one message beyond this make it unreadable, as in the other channels' lists.
constexpr std::size_t MaxListEntries = MaxBlobListEntries;
// What the channel keeps of the names for its whole life.
constexpr std::size_t MaxCounterNames = 256;
constexpr std::size_t MaxCounterNameBytes = 256;

// read() takes the fields after the message id; write() appends the whole frame (channel, id, fields).
struct CounterNamesMessage {
    static constexpr Byte Id = MessageId::CounterNames;
    Byte channel = 0;
    CounterNameList names;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

struct Counter {
    std::uint32_t id = 0;
    Byte kind = 0;
    Blob payload;
};

struct CountersMessage {
    static constexpr Byte Id = MessageId::Counters;
    Byte channel = 0;
    std::vector<Counter> counters;

    bool read(Reader& r);
    bool write(Writer& w) const;
};

class DiagnosticsClientChannel : public Channel {
public:
    DiagnosticsClientChannel(std::string name, Byte number);

    void receive(std::vector<std::uint8_t> bytes) override;

    virtual void onCounterNames(const CounterNameList& names) = 0;
    // value: an average in thousandths.
    virtual void onCounterValue(const std::string& name, std::uint32_t value) = 0;
    // average in thousandths; total: the timer's running total.
    virtual void onTimerCounter(const std::string& name, std::uint32_t average, std::uint64_t total) = 0;
    virtual void onCountersFinished() = 0;

    // Names by counter id; a later name replaces an earlier one. Keyed by the whole id, so that two
    // counters whose ids share their low bits keep apart. At most MaxCounterNames ids are kept, each
    // name cut to MaxCounterNameBytes; names beyond are dropped and counted in `droppedNames`.
    std::map<std::uint32_t, std::string> counterNames;
    std::size_t droppedNames = 0;

private:
    void handleCounters(const CountersMessage& message);
};

} // namespace Diagnostics
} // namespace Protocol

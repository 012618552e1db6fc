#include "viewer/protocol/Diagnostics.h"

namespace Protocol {
namespace Diagnostics {

namespace {

// Smallest wire size of one list entry: a u32 id and an empty length-prefixed field.
constexpr std::size_t MinNameEntry = 4 + 1;
constexpr std::size_t MinCounterEntry = 4 + 1 + 1;

// At most MaxCounterNameBytes of the name, cut where a UTF-8 character starts.
std::string keptName(const std::string& name) {
    if (name.size() <= MaxCounterNameBytes) {
        return name;
    }
    std::size_t end = MaxCounterNameBytes;
    while (end > 0 && (std::uint8_t(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return name.substr(0, end);
}

std::uint32_t readLe32(const Blob& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

} // namespace

bool CounterNamesMessage::read(Reader& r) {
    const Reader start = r;
    std::uint32_t count = 0;
    if (!r.readLeb128(count) || count > MaxListEntries || count > r.remaining() / MinNameEntry) {
        r = start;
        return false;
    }
    CounterNameList list;
    list.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;
        String name;
        if (!r.readU32(id) || !r.readString(name)) {
            r = start;
            return false;
        }
        list.emplace_back(id, std::move(name));
    }
    names = std::move(list);
    return true;
}

bool CounterNamesMessage::write(Writer& w) const {
    w.u8(channel).u8(Id).leb128(names.size());
    for (const auto& [id, name] : names) {
        w.u32(id).string(name);
    }
    return w.ok();
}

bool CountersMessage::read(Reader& r) {
    const Reader start = r;
    std::uint32_t count = 0;
    if (!r.readLeb128(count) || count > MaxListEntries || count > r.remaining() / MinCounterEntry) {
        r = start;
        return false;
    }
    std::vector<Counter> list;
    list.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        Counter c;
        if (!r.readU32(c.id) || !r.readU8(c.kind) || !r.readBlob(c.payload)) {
            r = start;
            return false;
        }
        list.push_back(std::move(c));
    }
    counters = std::move(list);
    return true;
}

bool CountersMessage::write(Writer& w) const {
    w.u8(channel).u8(Id).leb128(counters.size());
    for (const Counter& c : counters) {
        w.u32(c.id).u8(c.kind).blob(c.payload);
    }
    return w.ok();
}

DiagnosticsClientChannel::DiagnosticsClientChannel(std::string name, Byte number)
    : Channel(std::move(name), number) {}

void DiagnosticsClientChannel::receive(std::vector<std::uint8_t> bytes) {
    Reader r(bytes);
    Byte id = 0;
    if (!r.readU8(id)) {
        error("Failed to read message id", ErrorLevel::Protocol);
        return;
    }
    switch (id) {
    case MessageId::CounterNames: {
        CounterNamesMessage message;
        message.channel = number;
        if (!message.read(r)) {
            error("failed to read the counter names message", ErrorLevel::Protocol);
            return;
        }
        for (const auto& [counterId, counterName] : message.names) {
            const auto kept = counterNames.find(counterId);
            if (kept != counterNames.end()) {
                kept->second = keptName(counterName);
            } else if (counterNames.size() < MaxCounterNames) {
                counterNames.emplace(counterId, keptName(counterName));
            } else {
                ++droppedNames;
            }
        }
        onCounterNames(message.names);
        return;
    }
    case MessageId::Counters: {
        CountersMessage message;
        message.channel = number;
        if (!message.read(r)) {
            error("failed to read the counters message", ErrorLevel::Protocol);
            return;
        }
        handleCounters(message);
        return;
    }
    default:
        error("Invalid message id", ErrorLevel::Protocol);
        return;
    }
}

void DiagnosticsClientChannel::handleCounters(const CountersMessage& message) {
    for (const Counter& c : message.counters) {
        const auto named = counterNames.find(c.id);
        if (named == counterNames.end()) {
            continue;
        }
        const Blob& p = c.payload;
        if (c.kind == CounterKind::Average && p.size() >= 4) {
            onCounterValue(named->second, readLe32(p, 0));
        } else if (c.kind == CounterKind::Timer && p.size() >= 12) {
            const std::uint64_t total = std::uint64_t(readLe32(p, 4)) | std::uint64_t(readLe32(p, 8)) << 32;
            onTimerCounter(named->second, readLe32(p, 0), total);
        }
    }
    onCountersFinished();
}

} // namespace Diagnostics
} // namespace Protocol

// Fuzzes the event-stream parser with a stream arriving in reads whose sizes the input chooses.
//
// Input: one byte giving the read size (1 to 256), then the stream. Checks: every event has its
// "data" and "type", its data is never longer than the stream, and the parser never holds more than
// its bounds; cutting the stream differently (all at once) gives the same events.

#include "rpc/EventStreamParser.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QLoggingCategory>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Dropped lines are logged; the fuzzer has no use for the noise.
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.*=false"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int step = data[0] + 1;
    const QByteArray stream(reinterpret_cast<const char*>(data + 1), int(size - 1));

    EventStreamParser pieces;
    QList<QJsonObject> events;
    for (int at = 0; at < stream.size(); at += step) {
        events += pieces.feed(stream.mid(at, step));
        check(pieces.pendingBytes() <= EventStreamParser::maxLineBytes);
    }
    for (const QJsonObject& event : events) {
        check(event.value(QLatin1String("data")).isString());
        check(!event.value(QLatin1String("type")).toString().isEmpty());
        check(event.value(QLatin1String("data")).toString().size() <= stream.size());
    }

    EventStreamParser whole;
    check(whole.feed(stream) == events);
    return 0;
}

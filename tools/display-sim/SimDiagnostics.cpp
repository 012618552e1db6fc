#include "SimDiagnostics.h"

#include "SimWire.h"

namespace DisplaySim {
namespace Diagnostics {

QByteArray counterNames(const QList<QPair<quint32, QString>>& names) {
    FrameWriter w;
    w.u8(CounterNamesId).leb128(quint32(names.size()));
    for (const auto& [id, name] : names) {
        w.u32(id).string(name);
    }
    return w.bytes();
}

QByteArray counters(const QList<Counter>& entries) {
    FrameWriter w;
    w.u8(CountersId).leb128(quint32(entries.size()));
    for (const Counter& c : entries) {
        w.u32(c.id).u8(c.kind).blob(c.payload);
    }
    return w.bytes();
}

Counter average(quint32 id, quint32 thousandths) {
    return {id, AverageKind, FrameWriter().u32(thousandths).bytes()};
}

Counter timer(quint32 id, quint32 averageThousandths, quint64 total) {
    return {id, TimerKind, FrameWriter().u32(averageThousandths).u64(total).bytes()};
}

Counter raw(quint32 id, quint8 kind, const QByteArray& payload) {
    return {id, kind, payload};
}

} // namespace Diagnostics
} // namespace DisplaySim

#pragma once

// The server side of the "diagnostics" channel: messages naming counters and reporting their values,
// built from the wire tables independently of the client's decoder. Each builder returns the frame after
// the channel byte, for Server::sendChannelFrame(number, ...).
//
//     using namespace DisplaySim::Diagnostics;
//     server.sendChannelFrame(n, counterNames({{1, "FrameCount"}, {2, "BytesSent"}}));
//     server.sendChannelFrame(n, counters({timer(1, 0, 10), timer(2, 0, 4096)}));

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace DisplaySim {
namespace Diagnostics {

enum : quint8 { CounterNamesId = 2, CountersId = 3 };
enum : quint8 { AverageKind = 0, TimerKind = 1 };

struct Counter {
    quint32 id = 0;
    quint8 kind = AverageKind;
    QByteArray payload;
};

// Message 2: count, then (u32 id, length-prefixed UTF-8 name) per entry.
QByteArray counterNames(const QList<QPair<quint32, QString>>& names);
// Message 3: count, then (u32 id, u8 kind, length-prefixed payload) per entry.
QByteArray counters(const QList<Counter>& entries);
// Kind 0: an average in thousandths.
Counter average(quint32 id, quint32 thousandths);
// Kind 1: average in thousandths and running total.
Counter timer(quint32 id, quint32 averageThousandths, quint64 total);
// Any kind and payload, for counters the client must skip.
Counter raw(quint32 id, quint8 kind, const QByteArray& payload);

} // namespace Diagnostics
} // namespace DisplaySim

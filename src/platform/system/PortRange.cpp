#include "platform/system/PortRange.h"

#include <QFile>
#include <QList>

namespace platform {

PortRange ephemeralPortRange() {
    QFile file(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = file.readAll().simplified().split(' ');
    if (fields.size() != 2)
        return {};
    bool okLow = false;
    bool okHigh = false;
    const uint low = fields[0].toUInt(&okLow);
    const uint high = fields[1].toUInt(&okHigh);
    if (!okLow || !okHigh || low == 0 || low > high || high > 65535)
        return {};
    // The kernel's upper bound is inclusive.
    return {quint16(low), quint16(qMin(high + 1, 65535u))};
}

PortRange outsideEphemeralPorts(PortRange wanted, PortRange ephemeral) {
    if (ephemeral.first == 0 || wanted.last <= ephemeral.first || wanted.first >= ephemeral.last)
        return wanted;
    const int size = wanted.last - wanted.first;
    if (int(ephemeral.last) + size <= 65535)
        return {ephemeral.last, quint16(ephemeral.last + size)};
    if (int(ephemeral.first) - size >= 1024)
        return {quint16(ephemeral.first - size), ephemeral.first};
    return wanted;
}

} // namespace platform

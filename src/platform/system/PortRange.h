#pragma once

#include <QtGlobal>

namespace platform {

// A block of local ports, from first up to, not including, last.
struct PortRange {
    quint16 first = 0;
    quint16 last = 0;
};

// The kernel's range of ephemeral ports, from which outgoing connections take their local port;
// {0, 0} when it cannot be read.
PortRange ephemeralPortRange();

// The wanted block, moved out of the ephemeral range when it lies inside it. A port in that range can be
// taken at any moment by an outgoing connection (even ssh's own, to its server), so a listener chosen
// there would lose its address. The block moves just above the range, or just below it when it does
// not fit above.
PortRange outsideEphemeralPorts(PortRange wanted, PortRange ephemeral = ephemeralPortRange());

} // namespace platform

#include "rpc/PortProbe.h"

#include <QHostAddress>
#include <QTcpSocket>

quint16 findFreeLocalPort(quint16 first, quint16 last, const QSet<quint16>& skip) {
    return findFreeLocalPort(first, last, skip, first);
}

quint16 findFreeLocalPort(quint16 first, quint16 last, const QSet<quint16>& skip, quint16 start) {
    if (first >= last)
        return last;
    if (start < first || start >= last)
        start = first;
    const int count = last - first;
    for (int i = 0; i < count; ++i) {
        const quint16 port = quint16(first + (start - first + i) % count);
        if (skip.contains(port))
            continue;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        if (!socket.waitForConnected(100))
            return port;
        socket.abort();
    }
    return last;
}

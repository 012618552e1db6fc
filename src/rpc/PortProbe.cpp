#include "rpc/PortProbe.h"

#include <QHostAddress>
#include <QTcpSocket>

quint16 findFreeLocalPort(quint16 first, quint16 last, const QSet<quint16>& skip) {
    for (quint16 port = first; port != last; ++port) {
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

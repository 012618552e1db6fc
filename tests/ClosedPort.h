#pragma once

#include <QHostAddress>
#include <QTcpServer>

// A loopback port nobody listens on (it was free a moment ago).
inline quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

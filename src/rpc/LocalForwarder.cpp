#include "rpc/LocalForwarder.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

LocalForwarder::LocalForwarder(const QNetworkProxy& proxy, const QString& targetHost,
                               quint16 targetPort, QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_proxy(proxy), m_host(targetHost),
      m_port(targetPort) {
    connect(m_server, &QTcpServer::newConnection, this,
            &LocalForwarder::acceptForwardedConnections, Qt::DirectConnection);
}

bool LocalForwarder::listen() {
    m_server->setProxy(QNetworkProxy::NoProxy);
    return m_server->listen(QHostAddress::LocalHost, 0);
}

quint16 LocalForwarder::port() const {
    return m_server->serverPort();
}

int LocalForwarder::connectionCount() const {
    return m_server->findChildren<QTcpSocket*>(QString(), Qt::FindDirectChildrenOnly).size();
}

void LocalForwarder::acceptForwardedConnections() {
    while (QTcpSocket* incoming = m_server->nextPendingConnection()) {
        auto* outgoing = new QTcpSocket(incoming);
        outgoing->setProxy(m_proxy);
        // The browser's socket takes in no more than the tunnel may queue: a service that does not
        // read stops the reading from the browser instead of filling memory. (The tunnel side reads
        // through Qt's SOCKS5 engine, whose own connection reads without a bound, and which stalls
        // when its socket's buffer is bounded.)
        incoming->setReadBufferSize(kMaxQueued);

        // Ends the pair once, whichever side goes first or fails to connect at all.
        auto finish = [incoming, outgoing] {
            if (incoming->property("velnorClosing").toBool())
                return;
            incoming->setProperty("velnorClosing", true);
            outgoing->abort();
            incoming->close();
            incoming->deleteLater(); // takes the outgoing socket with it
        };
        auto toOut = [incoming, outgoing] { pumpSocketData(incoming, outgoing); };
        auto toIn = [incoming, outgoing] { pumpSocketData(outgoing, incoming); };

        connect(incoming, &QTcpSocket::readyRead, outgoing, toOut, Qt::DirectConnection);
        connect(outgoing, &QTcpSocket::readyRead, incoming, toIn, Qt::DirectConnection);
        connect(outgoing, &QTcpSocket::connected, incoming, toOut, Qt::DirectConnection);
        // A drained peer makes room for what was left in the other socket.
        connect(outgoing, &QTcpSocket::bytesWritten, incoming, toOut, Qt::DirectConnection);
        connect(incoming, &QTcpSocket::bytesWritten, outgoing, toIn, Qt::DirectConnection);
        connect(incoming, &QTcpSocket::disconnected, incoming, finish, Qt::DirectConnection);
        connect(outgoing, &QTcpSocket::disconnected, incoming, finish, Qt::DirectConnection);
        // A proxy or target that never connects reports an error, not a disconnect.
        connect(outgoing, &QTcpSocket::errorOccurred, incoming, finish, Qt::QueuedConnection);
        connect(incoming, &QTcpSocket::errorOccurred, incoming, finish, Qt::QueuedConnection);

        outgoing->connectToHost(m_host, m_port);
        if (incoming->bytesAvailable() > 0)
            toOut();
    }
}

void pumpSocketData(QTcpSocket* source, QTcpSocket* destination) {
    if (destination->state() != QAbstractSocket::ConnectedState)
        return; // kept in the source until the destination connects
    while (source->bytesAvailable() > 0) {
        const qint64 room = LocalForwarder::kMaxQueued - destination->bytesToWrite();
        if (room <= 0)
            return;
        const QByteArray piece = source->read(qMin(room, LocalForwarder::kChunk));
        if (piece.isEmpty())
            return;
        if (destination->write(piece) != piece.size()) {
            destination->abort();
            return;
        }
    }
}

#pragma once

// A loopback TCP server whose every connection is relayed through a SOCKS5 proxy to one target.

#include <QNetworkProxy>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

class LocalForwarder : public QObject {
    Q_OBJECT
public:
    // Largest piece read per pump, and the most bytes left queued toward a slow peer before
    // reading from the other side stops until it drains; also each socket's read buffer.
    static constexpr qint64 kChunk = 4096;
    static constexpr qint64 kMaxQueued = 64 * 1024;

    // Only the proxy's host and port are used: the forwarder speaks SOCKS5 (no authentication)
    // itself, so that both sockets of a connection are plain sockets with bounded buffers.
    LocalForwarder(const QNetworkProxy& proxy, const QString& targetHost, quint16 targetPort,
                   QObject* parent = nullptr);

    bool listen(); // on 127.0.0.1, a port chosen by the system
    quint16 port() const;
    int connectionCount() const;

private:
    void acceptForwardedConnections();

    QTcpServer* m_server;
    QNetworkProxy m_proxy;
    QString m_host;
    quint16 m_port;
};

// Moves what the source has toward the destination, leaving in the source what cannot be queued.
void pumpSocketData(QTcpSocket* source, QTcpSocket* destination);

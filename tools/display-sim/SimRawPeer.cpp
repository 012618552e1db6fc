#include "SimRawPeer.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

namespace DisplaySim {

namespace {
// Longest upgrade request read before the peer gives up on a client.
constexpr int kMaxRequest = 64 * 1024;
} // namespace

RawPeer::RawPeer(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &RawPeer::onNewConnection);
}

RawPeer::~RawPeer() = default;

bool RawPeer::listen() {
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QUrl RawPeer::url() const {
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/client/protocol").arg(m_server->serverPort()));
}

QByteArray RawPeer::acceptKey(const QByteArray& key) {
    return QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1)
        .toBase64();
}

void RawPeer::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        ++m_connections;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_bytes.isEmpty() && !m_acceptUpgrade) {
            socket->close();
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRequest(socket); });
    }
}

void RawPeer::onRequest(QTcpSocket* socket) {
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    if (!request.contains("\r\n\r\n")) {
        if (request.size() > kMaxRequest)
            socket->abort();
        else
            socket->setProperty("request", request);
        return;
    }
    socket->disconnect(this); // one answer per connection; later bytes are ignored
    QByteArray out;
    if (m_acceptUpgrade) {
        QByteArray key;
        for (const QByteArray& line : request.split('\n')) {
            if (line.toLower().startsWith("sec-websocket-key:"))
                key = line.mid(line.indexOf(':') + 1).trimmed();
        }
        out = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: " +
              acceptKey(key) + "\r\n\r\n";
    }
    out += m_bytes;
    socket->write(out);
    if (m_closeAfterWrite)
        socket->disconnectFromHost();
}

} // namespace DisplaySim

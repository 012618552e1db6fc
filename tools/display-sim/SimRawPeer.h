#pragma once

// A stand-in for a broken or hostile WebSocket server, for what the simulator's own WebSocket cannot do:
// it reads the client's upgrade request and then writes exactly the bytes it was given. With
// `acceptUpgrade` it first answers the upgrade properly, so the bytes arrive as the start of the
// WebSocket stream (a bare frame header, say); otherwise they are the whole answer, and an empty answer
// closes the connection at once.
//
//     DisplaySim::RawPeer peer;
//     peer.setAcceptUpgrade(true);
//     peer.setBytes(QByteArray::fromHex("827f0000000040000000"));   // a 1 GiB binary frame, never sent
//     peer.listen();
//     ...connect the client to peer.url()...

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QTcpServer;
class QTcpSocket;

namespace DisplaySim {

// No signals of its own, so no meta-object: it needs no moc step.
class RawPeer : public QObject {
public:
    explicit RawPeer(QObject* parent = nullptr);
    ~RawPeer() override;

    void setAcceptUpgrade(bool accept) { m_acceptUpgrade = accept; }
    void setBytes(const QByteArray& bytes) { m_bytes = bytes; }
    // After writing, close the connection (default) or keep it open.
    void setCloseAfterWrite(bool close) { m_closeAfterWrite = close; }

    bool listen(); // on 127.0.0.1, a free port
    QUrl url() const;
    int connections() const { return m_connections; }

    // The value of Sec-WebSocket-Accept for a request's key.
    static QByteArray acceptKey(const QByteArray& key);

private:
    void onNewConnection();
    void onRequest(QTcpSocket* socket);

    QTcpServer* m_server;
    bool m_acceptUpgrade = false;
    bool m_closeAfterWrite = true;
    QByteArray m_bytes;
    int m_connections = 0;
};

} // namespace DisplaySim

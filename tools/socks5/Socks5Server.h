#pragma once

// A small SOCKS5 server on loopback (no authentication, or username/password when configured) that
// relays CONNECT requests. Tests use it to check that a client really goes through the proxy.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace Socks5 {

struct ConnectRecord {
    QString host; // address or domain name as the client sent it
    quint16 port = 0;
    bool succeeded = false;
};

class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    // Requires RFC 1929 username/password when both are non-empty.
    void setCredentials(const QString& user, const QString& password);
    bool listen(quint16 port = 0); // on 127.0.0.1
    quint16 port() const;
    QString errorString() const;

    const QList<ConnectRecord>& connects() const { return m_connects; }

    // For trying a client's parsing: the answer to the greeting and the reply to a successful
    // CONNECT are these bytes instead, when not empty, and are written a byte at a time a few
    // milliseconds apart, so that the client reads them in pieces.
    void setScriptedAnswers(const QByteArray& method, const QByteArray& connectReply) {
        m_scriptedMethod = method;
        m_scriptedReply = connectReply;
    }

signals:
    void connectRequested(const Socks5::ConnectRecord& record);

private:
    class Session;
    void onNewConnection();

    QTcpServer* m_server;
    QString m_user;
    QString m_password;
    QList<ConnectRecord> m_connects;
    QByteArray m_scriptedMethod;
    QByteArray m_scriptedReply;
};

} // namespace Socks5

Q_DECLARE_METATYPE(Socks5::ConnectRecord)

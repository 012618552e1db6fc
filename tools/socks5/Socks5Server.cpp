#include "Socks5Server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

namespace Socks5 {

namespace {
constexpr quint8 kVersion = 5;
constexpr quint8 kNoAuth = 0x00;
constexpr quint8 kUserPassword = 0x02;
constexpr quint8 kNoAcceptableMethod = 0xff;
constexpr quint8 kConnect = 1;
constexpr quint8 kIpv4 = 1;
constexpr quint8 kDomain = 3;
constexpr quint8 kIpv6 = 4;
constexpr quint8 kReplyOk = 0;
constexpr quint8 kReplyFailure = 1;
constexpr quint8 kReplyRefused = 5;
constexpr quint8 kReplyCommandNotSupported = 7;
constexpr quint8 kReplyAddressNotSupported = 8;
// Bytes each relay socket takes in, and queues toward its peer, before it waits for the peer to
// read: a side that does not read holds back the other one instead of filling this relay.
constexpr qint64 kRelayBuffer = 64 * 1024;
constexpr int kTrickleMs = 5;

QByteArray bytes(std::initializer_list<quint8> list) {
    QByteArray out;
    for (quint8 b : list)
        out.append(static_cast<char>(b));
    return out;
}
} // namespace

// One client: greeting, optional authentication, one CONNECT, then bytes both ways.
class Server::Session : public QObject {
public:
    Session(Server* server, QTcpSocket* client)
        : QObject(server)
        , m_server(server)
        , m_client(client) {
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, &Session::onClientData);
        connect(client, &QTcpSocket::disconnected, this, [this] {
            if (m_step == Step::Relay)
                pump(m_client, m_target);
            else
                finish();
        });
        connect(client, &QTcpSocket::bytesWritten, this, [this] {
            if (m_step == Step::Relay)
                pump(m_target, m_client);
        });
    }

private:
    enum class Step { Greeting, Authentication, Request, Connecting, Relay, Done };

    void onClientData() {
        if (m_step == Step::Relay) {
            pump(m_client, m_target);
            return;
        }
        m_buffer.append(m_client->readAll());
        bool progressed = true;
        while (progressed && m_step != Step::Done) {
            switch (m_step) {
            case Step::Greeting:
                progressed = readGreeting();
                break;
            case Step::Authentication:
                progressed = readAuthentication();
                break;
            case Step::Request:
                progressed = readRequest();
                break;
            case Step::Connecting:
                progressed = false; // hold the bytes until the target answers
                break;
            case Step::Relay:
            case Step::Done:
                progressed = false;
                break;
            }
        }
    }

    bool readGreeting() {
        if (m_buffer.size() < 2)
            return false;
        const int count = static_cast<quint8>(m_buffer[1]);
        if (m_buffer.size() < 2 + count)
            return false;
        if (static_cast<quint8>(m_buffer[0]) != kVersion) {
            finish();
            return false;
        }
        const QByteArray methods = m_buffer.mid(2, count);
        m_buffer.remove(0, 2 + count);
        const bool wantAuth = !m_server->m_user.isEmpty() && !m_server->m_password.isEmpty();
        const quint8 method = wantAuth ? kUserPassword : kNoAuth;
        if (!methods.contains(static_cast<char>(method))) {
            m_client->write(bytes({kVersion, kNoAcceptableMethod}));
            m_client->disconnectFromHost();
            m_step = Step::Done;
            return false;
        }
        m_step = wantAuth ? Step::Authentication : Step::Request;
        if (!m_server->m_scriptedMethod.isEmpty()) {
            trickle(m_server->m_scriptedMethod, [] {});
            return true;
        }
        m_client->write(bytes({kVersion, method}));
        return true;
    }

    bool readAuthentication() {
        if (m_buffer.size() < 2)
            return false;
        const int userLength = static_cast<quint8>(m_buffer[1]);
        if (m_buffer.size() < 3 + userLength)
            return false;
        const int passwordLength = static_cast<quint8>(m_buffer[2 + userLength]);
        if (m_buffer.size() < 3 + userLength + passwordLength)
            return false;
        const QString user = QString::fromUtf8(m_buffer.mid(2, userLength));
        const QString password = QString::fromUtf8(m_buffer.mid(3 + userLength, passwordLength));
        m_buffer.remove(0, 3 + userLength + passwordLength);
        const bool good = user == m_server->m_user && password == m_server->m_password;
        m_client->write(bytes({1, quint8(good ? 0 : 1)}));
        if (!good) {
            m_client->disconnectFromHost();
            m_step = Step::Done;
            return false;
        }
        m_step = Step::Request;
        return true;
    }

    bool readRequest() {
        if (m_buffer.size() < 5)
            return false;
        const quint8 command = static_cast<quint8>(m_buffer[1]);
        const quint8 type = static_cast<quint8>(m_buffer[3]);
        int addressLength = 0;
        int addressStart = 4;
        if (type == kIpv4) {
            addressLength = 4;
        } else if (type == kIpv6) {
            addressLength = 16;
        } else if (type == kDomain) {
            addressLength = static_cast<quint8>(m_buffer[4]);
            addressStart = 5;
        } else {
            reply(kReplyAddressNotSupported);
            return false;
        }
        if (m_buffer.size() < addressStart + addressLength + 2)
            return false;
        const QByteArray address = m_buffer.mid(addressStart, addressLength);
        const quint16 port =
            static_cast<quint16>((static_cast<quint8>(m_buffer[addressStart + addressLength]) << 8) |
                                 static_cast<quint8>(m_buffer[addressStart + addressLength + 1]));
        m_buffer.remove(0, addressStart + addressLength + 2);

        QString host;
        if (type == kIpv4) {
            quint32 v4 = 0;
            for (char c : address)
                v4 = (v4 << 8) | static_cast<quint8>(c);
            host = QHostAddress(v4).toString();
        } else if (type == kIpv6) {
            host = QHostAddress(reinterpret_cast<const quint8*>(address.constData())).toString();
        } else {
            host = QString::fromUtf8(address);
        }
        m_record = {host, port, false};
        if (command != kConnect) {
            reply(kReplyCommandNotSupported);
            return false;
        }
        m_step = Step::Connecting;
        m_target = new QTcpSocket(this);
        connect(m_target, &QTcpSocket::connected, this, [this] {
            m_record.succeeded = true;
            m_server->m_connects.append(m_record);
            emit m_server->connectRequested(m_record);
            if (m_server->m_scriptedReply.isEmpty()) {
                reply(kReplyOk);
                startRelay();
            } else {
                m_step = Step::Done; // nothing is relayed before the whole reply is out
                trickle(m_server->m_scriptedReply, [this] { startRelay(); });
            }
        });
        connect(m_target, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (m_step == Step::Connecting) {
                m_server->m_connects.append(m_record);
                emit m_server->connectRequested(m_record);
                reply(error == QAbstractSocket::ConnectionRefusedError ? kReplyRefused : kReplyFailure);
            }
        });
        connect(m_target, &QTcpSocket::readyRead, this, [this] {
            if (m_step == Step::Relay)
                pump(m_target, m_client);
        });
        connect(m_target, &QTcpSocket::bytesWritten, this, [this] {
            if (m_step == Step::Relay)
                pump(m_client, m_target);
        });
        connect(m_target, &QTcpSocket::disconnected, this, [this] {
            if (m_step == Step::Relay)
                pump(m_target, m_client);
            else
                finish();
        });
        m_target->connectToHost(host, port);
        return false;
    }

    void startRelay() {
        if (m_client->state() != QAbstractSocket::ConnectedState ||
            m_target->state() != QAbstractSocket::ConnectedState) {
            finish();
            return;
        }
        m_step = Step::Relay;
        m_client->setReadBufferSize(kRelayBuffer);
        m_target->setReadBufferSize(kRelayBuffer);
        if (!m_buffer.isEmpty())
            m_target->write(m_buffer);
        m_buffer.clear();
        pump(m_client, m_target);
        pump(m_target, m_client);
    }

    // Moves what one side holds to the other as far as the other's queue allows. A side that has
    // closed and handed on everything closes the other one once its queue is out.
    void pump(QTcpSocket* from, QTcpSocket* to) {
        while (from->bytesAvailable() > 0 && to->state() == QAbstractSocket::ConnectedState &&
               to->bytesToWrite() < kRelayBuffer)
            to->write(from->read(kRelayBuffer - to->bytesToWrite()));
        const bool clientClosed = m_client->state() == QAbstractSocket::UnconnectedState;
        const bool targetClosed = m_target->state() == QAbstractSocket::UnconnectedState;
        if (clientClosed && targetClosed) {
            m_step = Step::Done;
            deleteLater();
        } else if (clientClosed && m_client->bytesAvailable() == 0 &&
                   m_target->state() == QAbstractSocket::ConnectedState) {
            m_target->disconnectFromHost();
        } else if (targetClosed && m_target->bytesAvailable() == 0 &&
                   m_client->state() == QAbstractSocket::ConnectedState) {
            m_client->disconnectFromHost();
        }
    }

    // Writes bytes one at a time, a few milliseconds apart, then calls next.
    void trickle(const QByteArray& bytes, std::function<void()> next) {
        if (bytes.isEmpty()) {
            next();
            return;
        }
        m_client->write(bytes.left(1));
        QTimer::singleShot(kTrickleMs, this, [this, rest = bytes.mid(1), next] { trickle(rest, next); });
    }

    void reply(quint8 code) {
        QByteArray answer(10, '\0');
        answer[0] = char(kVersion);
        answer[1] = char(code);
        answer[3] = char(kIpv4);
        m_client->write(answer);
        if (code != kReplyOk) {
            m_client->disconnectFromHost();
            m_step = Step::Done;
        }
    }

    // Closes both sides once their written bytes are out; the session goes when both are closed.
    void finish() {
        m_step = Step::Done;
        for (QTcpSocket* socket : {m_client, m_target}) {
            if (socket && socket->state() != QAbstractSocket::UnconnectedState)
                socket->disconnectFromHost();
        }
        const bool targetClosed = !m_target || m_target->state() == QAbstractSocket::UnconnectedState;
        if (targetClosed && m_client->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
    }

    Server* m_server;
    QTcpSocket* m_client;
    QTcpSocket* m_target = nullptr;
    QByteArray m_buffer;
    Step m_step = Step::Greeting;
    ConnectRecord m_record;
};

Server::Server(QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this)) {
    qRegisterMetaType<Socks5::ConnectRecord>();
    connect(m_server, &QTcpServer::newConnection, this, &Server::onNewConnection);
}

Server::~Server() = default;

void Server::setCredentials(const QString& user, const QString& password) {
    m_user = user;
    m_password = password;
}

bool Server::listen(quint16 port) {
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 Server::port() const {
    return m_server->serverPort();
}

QString Server::errorString() const {
    return m_server->errorString();
}

void Server::onNewConnection() {
    while (QTcpSocket* client = m_server->nextPendingConnection())
        new Session(this, client);
}

} // namespace Socks5

#include "Socks5Server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

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
        connect(client, &QTcpSocket::disconnected, this, &Session::finish);
    }

private:
    enum class Step { Greeting, Authentication, Request, Connecting, Relay, Done };

    void onClientData() {
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
                if (!m_buffer.isEmpty())
                    m_target->write(m_buffer);
                m_buffer.clear();
                progressed = false;
                break;
            case Step::Done:
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
        m_client->write(bytes({kVersion, method}));
        m_step = wantAuth ? Step::Authentication : Step::Request;
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
            reply(kReplyOk);
            m_step = Step::Relay;
            onClientData();
        });
        connect(m_target, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (m_step == Step::Connecting) {
                m_server->m_connects.append(m_record);
                emit m_server->connectRequested(m_record);
                reply(error == QAbstractSocket::ConnectionRefusedError ? kReplyRefused : kReplyFailure);
            }
        });
        connect(m_target, &QTcpSocket::readyRead, this, [this] { m_client->write(m_target->readAll()); });
        connect(m_target, &QTcpSocket::disconnected, this, &Session::finish);
        m_target->connectToHost(host, port);
        return false;
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

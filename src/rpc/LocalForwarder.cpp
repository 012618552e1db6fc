#include "rpc/LocalForwarder.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

namespace {

Q_LOGGING_CATEGORY(lcForwarder, "velnor.rpc")

constexpr char kSocksVersion = 5;
constexpr char kNoAuthentication = 0;
constexpr char kConnect = 1;
constexpr char kIpv4 = 1;
constexpr char kDomainName = 3;
constexpr char kIpv6 = 4;

QString refusalReason(quint8 code) {
    switch (code) {
    case 1:
        return LocalForwarder::tr("general failure");
    case 2:
        return LocalForwarder::tr("not allowed by its rules");
    case 3:
        return LocalForwarder::tr("network unreachable");
    case 4:
        return LocalForwarder::tr("host unreachable");
    case 5:
        return LocalForwarder::tr("connection refused");
    case 6:
        return LocalForwarder::tr("time to live expired");
    case 7:
        return LocalForwarder::tr("command not supported");
    case 8:
        return LocalForwarder::tr("address type not supported");
    default:
        return LocalForwarder::tr("reply code %1").arg(code);
    }
}

void appendPort(QByteArray& out, quint16 port) {
    out.append(char(port >> 8));
    out.append(char(port & 0xff));
}

// The CONNECT request for host and port; empty when the host cannot be named to the proxy.
QByteArray connectRequest(const QString& host, quint16 port) {
    QByteArray request;
    request.append(kSocksVersion).append(kConnect).append('\0');
    QHostAddress address;
    if (address.setAddress(host) && address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = address.toIPv4Address();
        request.append(kIpv4);
        for (int shift = 24; shift >= 0; shift -= 8)
            request.append(char((v4 >> shift) & 0xff));
    } else if (!address.isNull() && address.protocol() == QAbstractSocket::IPv6Protocol) {
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        request.append(kIpv6);
        request.append(reinterpret_cast<const char*>(v6.c), 16);
    } else {
        const QByteArray name = QUrl::toAce(host);
        if (name.isEmpty() || name.size() > 255)
            return QByteArray();
        request.append(kDomainName).append(char(name.size())).append(name);
    }
    appendPort(request, port);
    return request;
}

// One browser connection: the SOCKS5 handshake on the tunnel side, then bytes both ways. A side
// that ends hands on what it still holds before the other side is closed; a failure ends both at
// once. Lives as a child of the browser's socket, which owns the tunnel's socket too.
class Relay : public QObject {
public:
    Relay(QTcpSocket* incoming, const QString& proxyHost, quint16 proxyPort, const QString& host,
          quint16 port)
        : QObject(incoming)
        , m_in(incoming)
        , m_out(new QTcpSocket(incoming))
        , m_proxyHost(proxyHost)
        , m_proxyPort(proxyPort)
        , m_proxy(QStringLiteral("%1:%2").arg(proxyHost).arg(proxyPort))
        , m_targetHost(host)
        , m_target(QStringLiteral("%1:%2").arg(host).arg(port))
        , m_request(connectRequest(host, port)) {
        // The handshake is spoken here, not by Qt's proxy support, whose socket cannot have its
        // read buffer bounded.
        m_out->setProxy(QNetworkProxy::NoProxy);
        // Neither side takes in more than the other may queue: a peer that does not read stops the
        // reading from the other side instead of filling memory.
        m_in->setReadBufferSize(LocalForwarder::kMaxQueued);
        m_out->setReadBufferSize(LocalForwarder::kMaxQueued);

        connect(m_out, &QTcpSocket::connected, this, [this] {
            m_out->write(QByteArray().append(kSocksVersion).append(char(1)).append(kNoAuthentication));
            m_step = Step::Method;
        });
        connect(m_out, &QTcpSocket::readyRead, this, [this] {
            if (m_step == Step::Method || m_step == Step::Reply)
                handshake();
            else
                relay(m_out, m_in);
        });
        connect(m_in, &QTcpSocket::readyRead, this, [this] { relay(m_in, m_out); });
        // A drained side makes room for what was left in the other one.
        connect(m_out, &QTcpSocket::bytesWritten, this, [this] { relay(m_in, m_out); });
        connect(m_in, &QTcpSocket::bytesWritten, this, [this] { relay(m_out, m_in); });
        connect(m_in, &QTcpSocket::disconnected, this, [this] { ended(m_in); });
        connect(m_out, &QTcpSocket::disconnected, this, [this] { ended(m_out); });
        // A proxy that cannot be reached reports an error, not a disconnect; a closing peer reports
        // both, and the disconnect is handled.
        connect(
            m_out, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError || m_step == Step::Done)
                    return;
                if (m_step == Step::Connecting)
                    fail(LocalForwarder::tr("The SOCKS proxy at %1 could not be reached: %2")
                             .arg(m_proxy, m_out->errorString()));
                else
                    abortBoth();
            },
            Qt::QueuedConnection);
        connect(
            m_in, &QTcpSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::RemoteHostClosedError && m_step != Step::Done)
                    abortBoth();
            },
            Qt::QueuedConnection);
    }

    void start() {
        if (m_request.isEmpty()) {
            fail(LocalForwarder::tr("The host name \"%1\" cannot be sent to the SOCKS proxy at %2")
                     .arg(m_targetHost, m_proxy));
            return;
        }
        m_out->connectToHost(m_proxyHost, m_proxyPort);
    }

private:
    enum class Step { Connecting, Method, Reply, Relaying, Done };

    // The proxy's answers: the chosen method (2 bytes), then the CONNECT reply, whose length
    // depends on the type of the address it carries (at most 262 bytes). What follows the reply
    // already comes from the target.
    void handshake() {
        if (m_step == Step::Method) {
            char answer[2];
            if (m_out->bytesAvailable() < 2 || m_out->read(answer, 2) != 2)
                return;
            if (answer[0] != kSocksVersion) {
                fail(LocalForwarder::tr("The proxy at %1 does not answer as a SOCKS5 proxy").arg(m_proxy));
                return;
            }
            if (answer[1] != kNoAuthentication) {
                fail(LocalForwarder::tr("The SOCKS proxy at %1 asks for a sign-in that is not offered")
                         .arg(m_proxy));
                return;
            }
            m_out->write(m_request);
            m_step = Step::Reply;
        }
        char head[5];
        const qint64 seen = m_out->peek(head, sizeof head);
        if (seen >= 1 && head[0] != kSocksVersion) {
            malformedReply();
            return;
        }
        if (seen >= 2 && head[1] != 0) {
            fail(LocalForwarder::tr("The SOCKS proxy at %1 did not connect to %2: %3")
                     .arg(m_proxy, m_target, refusalReason(quint8(head[1]))));
            return;
        }
        if (seen < 5)
            return;
        qint64 length = -1;
        if (head[3] == kIpv4)
            length = 4 + 4 + 2;
        else if (head[3] == kIpv6)
            length = 4 + 16 + 2;
        else if (head[3] == kDomainName)
            length = 4 + 1 + quint8(head[4]) + 2;
        if (head[2] != 0 || length < 0) {
            malformedReply();
            return;
        }
        if (m_out->bytesAvailable() < length)
            return;
        m_out->read(length);
        m_step = Step::Relaying;
        relay(m_in, m_out); // what the browser sent while the tunnel was being set up
        relay(m_out, m_in);
    }

    void malformedReply() {
        fail(LocalForwarder::tr("The SOCKS proxy at %1 sent a reply that is not SOCKS5").arg(m_proxy));
    }

    void relay(QTcpSocket* source, QTcpSocket* destination) {
        if (m_step != Step::Relaying)
            return; // the browser's bytes wait in its bounded buffer until the tunnel is up
        pumpSocketData(source, destination);
        closeWhenDrained();
    }

    void ended(QTcpSocket* side) {
        if (m_step == Step::Done)
            return;
        if (m_step != Step::Relaying) {
            if (side == m_out)
                fail(LocalForwarder::tr("The SOCKS proxy at %1 closed the connection before it was set up")
                         .arg(m_proxy));
            else
                abortBoth();
            return;
        }
        relay(side, side == m_in ? m_out : m_in);
    }

    // A side that has ended and handed on everything it held closes the other one, which first
    // sends what it still has queued; the pair goes once both are closed.
    void closeWhenDrained() {
        const bool inClosed = m_in->state() == QAbstractSocket::UnconnectedState;
        const bool outClosed = m_out->state() == QAbstractSocket::UnconnectedState;
        if (inClosed && outClosed) {
            m_step = Step::Done;
            m_in->deleteLater();
            return;
        }
        if (inClosed && m_in->bytesAvailable() == 0 && m_out->state() == QAbstractSocket::ConnectedState)
            m_out->disconnectFromHost();
        else if (outClosed && m_out->bytesAvailable() == 0 &&
                 m_in->state() == QAbstractSocket::ConnectedState)
            m_in->disconnectFromHost();
    }

    void fail(const QString& message) {
        qCWarning(lcForwarder).noquote() << message;
        abortBoth();
    }

    void abortBoth() {
        m_step = Step::Done;
        m_out->abort();
        m_in->abort();
        m_in->deleteLater(); // takes the tunnel's socket and this with it
    }

    QTcpSocket* m_in;
    QTcpSocket* m_out;
    const QString m_proxyHost;
    const quint16 m_proxyPort;
    const QString m_proxy; // host and port, for messages
    const QString m_targetHost;
    const QString m_target;
    const QByteArray m_request;
    Step m_step = Step::Connecting;
};

} // namespace

LocalForwarder::LocalForwarder(const QNetworkProxy& proxy, const QString& targetHost, quint16 targetPort,
                               QObject* parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_proxy(proxy)
    , m_host(targetHost)
    , m_port(targetPort) {
    connect(m_server, &QTcpServer::newConnection, this, &LocalForwarder::acceptForwardedConnections,
            Qt::DirectConnection);
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
    while (QTcpSocket* incoming = m_server->nextPendingConnection())
        (new Relay(incoming, m_proxy.hostName(), m_proxy.port(), m_host, m_port))->start();
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

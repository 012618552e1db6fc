#include "HttpsServer.h"

#include "TestCertificate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

namespace HttpsPeer {

namespace {

constexpr int maxHeadBytes = 64 * 1024;
constexpr qint64 maxBodyBytes = 64 * 1024 * 1024;
constexpr int maxRecordedRequests = 10000;

QByteArray reasonFor(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

void writeChunks(QPointer<QTcpSocket> socket, const QList<QByteArray>& chunks, int index, bool end) {
    if (!socket)
        return;
    if (index < chunks.size()) {
        socket->write(chunks.at(index));
        socket->flush();
        QTimer::singleShot(20, socket,
                           [socket, chunks, index, end] { writeChunks(socket, chunks, index + 1, end); });
        return;
    }
    if (end)
        socket->disconnectFromHost();
}

QString routeKey(const QByteArray& method, const QString& path) {
    return QString::fromLatin1(method) + QLatin1Char(' ') + path;
}

} // namespace

QJsonObject Request::json() const {
    return QJsonDocument::fromJson(body).object();
}

Response Response::json(const QJsonValue& document, int status) {
    Response r;
    r.status = status;
    if (document.isObject())
        r.body = QJsonDocument(document.toObject()).toJson(QJsonDocument::Compact);
    else if (document.isArray())
        r.body = QJsonDocument(document.toArray()).toJson(QJsonDocument::Compact);
    r.header("Content-Type", "application/json");
    return r;
}

Response Response::error(const QString& name, const QString& message) {
    return json(QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("name"), name},
                                                                  {QStringLiteral("message"), message}}}});
}

Response Response::raw(const QByteArray& body, const QByteArray& contentType, int status) {
    Response r;
    r.status = status;
    r.body = body;
    if (!contentType.isEmpty())
        r.header("Content-Type", contentType);
    return r;
}

Response Response::page(const QByteArray& body) {
    return raw("<html><body>" + body + "</body></html>", "text/html");
}

Response Response::withStatus(int status, const QByteArray& reason) {
    Response r;
    r.status = status;
    r.reason = reason;
    return r;
}

Response Response::redirect(const QUrl& to, int status) {
    Response r;
    r.status = status;
    r.header("Location", to.toEncoded());
    return r;
}

Response Response::silent() {
    Response r;
    r.kind = Silent;
    return r;
}

Response Response::drop() {
    Response r;
    r.kind = Drop;
    return r;
}

Response Response::stream(const QList<QByteArray>& chunks, bool end, const QByteArray& contentType) {
    Response r;
    r.kind = Stream;
    r.chunks = chunks;
    r.endStream = end;
    if (!contentType.isEmpty())
        r.header("Content-Type", contentType);
    r.header("Cache-Control", "no-cache");
    return r;
}

QByteArray Certificate::digest() const {
    return certificate.digest(QCryptographicHash::Sha256);
}

Certificate selfSignedCertificate(const QString& name) {
    static QHash<QString, Certificate> made;
    const auto found = made.constFind(name);
    if (found != made.constEnd())
        return found.value();

    Certificate pair;
    const TestCertificatePem pem = makeTestCertificate(QStringLiteral("/CN=127.0.0.1/O=%1").arg(name));
    if (!pem.error.isEmpty()) {
        pair.error = pem.error;
        return pair;
    }
    pair.certificate = QSslCertificate(pem.certificatePem, QSsl::Pem);
    pair.key = QSslKey(pem.keyPem, QSsl::Ec, QSsl::Pem);
    if (pair.isNull()) {
        pair.error = QStringLiteral("openssl wrote an unreadable certificate");
        return pair;
    }
    made.insert(name, pair);
    return pair;
}

class Server::Listener : public QTcpServer {
public:
    explicit Listener(Server* server)
        : QTcpServer(server)
        , m_server(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_server->accept(descriptor); }

private:
    Server* m_server;
};

struct Server::Connection {
    QTcpSocket* socket = nullptr;
    QByteArray buffer;
    bool held = false; // silent or streaming: no more requests are read
    bool streaming = false;
    bool encrypted = false;
};

Server::Server(QObject* parent)
    : QObject(parent)
    , m_token("token-of-the-test-server") {
    installDefaultRoutes();
}

Server::~Server() {
    for (Connection* c : qAsConst(m_connections)) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c;
    }
    qDeleteAll(m_dead);
}

bool Server::start(Mode mode, quint16 port) {
    m_mode = mode;
    if (mode == Https && m_certificate.isNull()) {
        m_certificate = selfSignedCertificate();
        if (m_certificate.isNull()) {
            m_error = m_certificate.error;
            return false;
        }
    }
    m_listener = new Listener(this);
    if (!m_listener->listen(QHostAddress::LocalHost, port)) {
        m_error = m_listener->errorString();
        return false;
    }
    return true;
}

quint16 Server::port() const {
    return m_listener ? m_listener->serverPort() : 0;
}

QUrl Server::url() const {
    QUrl u;
    u.setScheme(m_mode == Https ? QStringLiteral("https") : QStringLiteral("http"));
    u.setHost(QStringLiteral("127.0.0.1"));
    u.setPort(port());
    return u;
}

void Server::route(const QByteArray& method, const QString& path, Handler handler, bool needsToken) {
    m_routes.insert(routeKey(method, path), Route{std::move(handler), needsToken});
}

void Server::script(const QByteArray& method, const QString& path, const QList<Response>& responses) {
    for (const Response& r : responses)
        m_scripted.append(Scripted{method, path, r});
}

QJsonArray Server::sessions() const {
    return m_sessions;
}

void Server::setSessions(const QJsonArray& sessions) {
    m_sessions = sessions;
}

QList<Request> Server::requests(const QString& path) const {
    QList<Request> out;
    for (const Request& r : m_requests) {
        if (r.path == path)
            out.append(r);
    }
    return out;
}

int Server::openStreams() const {
    int n = 0;
    for (const Connection* c : m_connections) {
        if (c->streaming)
            ++n;
    }
    return n;
}

void Server::pushToStreams(const QByteArray& bytes) {
    for (Connection* c : qAsConst(m_connections)) {
        if (c->streaming) {
            c->socket->write(bytes);
            c->socket->flush();
        }
    }
}

void Server::pushEvent(const QString& type, const QJsonObject& data) {
    QByteArray event;
    if (!type.isEmpty())
        event += "event: " + type.toUtf8() + "\n";
    event += "data: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
    pushToStreams(event);
}

void Server::endStreams() {
    const QList<Connection*> all = m_connections;
    for (Connection* c : all) {
        if (c->streaming)
            c->socket->disconnectFromHost();
    }
}

void Server::dropConnections() {
    const QList<Connection*> all = m_connections;
    for (Connection* c : all)
        c->socket->abort();
}

void Server::accept(qintptr descriptor) {
    auto* c = new Connection;
    if (m_mode == Https) {
        auto* ssl = new QSslSocket(this);
        c->socket = ssl;
        if (!ssl->setSocketDescriptor(descriptor)) {
            delete ssl;
            delete c;
            return;
        }
        ssl->setLocalCertificate(m_certificate.certificate);
        ssl->setPrivateKey(m_certificate.key);
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(ssl, &QSslSocket::encrypted, this, [c] { c->encrypted = true; });
        connect(ssl, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), ssl,
                [ssl] { ssl->ignoreSslErrors(); });
        ssl->startServerEncryption();
    } else {
        c->socket = new QTcpSocket(this);
        if (!c->socket->setSocketDescriptor(descriptor)) {
            delete c->socket;
            delete c;
            return;
        }
        c->encrypted = true;
    }
    m_connections.append(c);
    connect(c->socket, &QTcpSocket::readyRead, this, [this, c] { readFrom(c); });
    connect(c->socket, &QTcpSocket::disconnected, this, [this, c] { forget(c); });
    connect(c->socket, &QAbstractSocket::errorOccurred, this, [this, c](QAbstractSocket::SocketError) {
        if (!c->encrypted)
            ++m_refusedHandshakes;
        forget(c);
    });
}

void Server::forget(Connection* c) {
    if (!m_connections.removeOne(c))
        return;
    c->socket->disconnect(this);
    c->socket->deleteLater();
    // Deleted later: this may run inside readFrom for the same connection.
    m_dead.append(c);
    QTimer::singleShot(0, this, [this] {
        qDeleteAll(m_dead);
        m_dead.clear();
    });
}

void Server::readFrom(Connection* c) {
    c->buffer += c->socket->readAll();
    while (!c->held) {
        const int headEnd = c->buffer.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (c->buffer.size() > maxHeadBytes) {
                send(c, Response::withStatus(400));
                c->socket->disconnectFromHost();
            }
            return;
        }
        const QList<QByteArray> lines = c->buffer.left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        if (requestLine.size() != 3) {
            send(c, Response::withStatus(400));
            c->socket->disconnectFromHost();
            return;
        }
        Request request;
        request.method = requestLine.at(0);
        const QUrl target = QUrl::fromEncoded(requestLine.at(1));
        request.path = target.path(QUrl::FullyDecoded);
        request.query = QUrlQuery(target);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        bool ok = true;
        const qint64 length = request.headers.value("content-length", "0").toLongLong(&ok);
        if (!ok || length < 0 || length > maxBodyBytes) {
            send(c, Response::withStatus(413));
            c->socket->disconnectFromHost();
            c->held = true;
            return;
        }
        if (c->buffer.size() < headEnd + 4 + length)
            return;
        request.body = c->buffer.mid(headEnd + 4, int(length));
        c->buffer.remove(0, headEnd + 4 + int(length));
        answer(c, request);
        if (!m_connections.contains(c))
            return;
    }
}

void Server::answer(Connection* c, const Request& request) {
    m_requests.append(request);
    while (m_requests.size() > maxRecordedRequests)
        m_requests.removeFirst();

    Response response;
    bool found = false;
    for (int i = 0; i < m_scripted.size(); ++i) {
        if (m_scripted.at(i).method == request.method && m_scripted.at(i).path == request.path) {
            response = m_scripted.takeAt(i).response;
            found = true;
            break;
        }
    }
    if (!found) {
        auto route = m_routes.constFind(routeKey(request.method, request.path));
        if (route == m_routes.constEnd()) {
            // A prefix route: the longest registered "METHOD /prefix/" that the path begins with.
            int best = -1;
            for (auto it = m_routes.constBegin(); it != m_routes.constEnd(); ++it) {
                const QString& key = it.key();
                const QString prefix = routeKey(request.method, QString());
                if (!key.endsWith(QLatin1Char('/')) || !key.startsWith(prefix))
                    continue;
                const QString path = key.mid(prefix.size());
                if (request.path.startsWith(path) && path.size() > best) {
                    best = path.size();
                    route = it;
                }
            }
        }
        if (route == m_routes.constEnd()) {
            response = Response::raw("no such route", "text/plain", 404);
        } else if (route->needsToken && !m_token.isEmpty() && request.header("X-VELNOR-TOKEN") != m_token) {
            response = Response::raw("token required", "text/plain", 403);
        } else {
            response = route->handler(request);
        }
    }
    if (response.delayMs > 0) {
        // Nothing more is read from this connection until the late answer has gone.
        c->held = true;
        QTimer::singleShot(response.delayMs, this, [this, c, response] {
            if (!m_connections.contains(c))
                return;
            c->held = false;
            Response now = response.build ? response.build() : response;
            now.delayMs = 0;
            send(c, now);
            if (m_connections.contains(c) && !c->held && !c->buffer.isEmpty())
                readFrom(c);
        });
    } else {
        send(c, response.build ? response.build() : response);
    }
    emit requestReceived(request.path);
}

void Server::send(Connection* c, const Response& response) {
    QTcpSocket* socket = c->socket;
    switch (response.kind) {
    case Response::Silent:
        c->held = true;
        return;
    case Response::Drop:
        c->held = true;
        socket->abort();
        return;
    case Response::Whole:
    case Response::Stream:
        break;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' +
                      (response.reason.isEmpty() ? reasonFor(response.status) : response.reason) + "\r\n";
    for (const auto& h : response.headers)
        head += h.first + ": " + h.second + "\r\n";
    if (response.kind == Response::Whole) {
        if (response.status != 204)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += "\r\n";
        socket->write(head + response.body);
        return;
    }
    // A stream has no length: it ends when the connection does.
    c->held = true;
    c->streaming = true;
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    socket->flush();
    // One chunk per write, a little apart, so that the client sees them as separate reads.
    writeChunks(QPointer<QTcpSocket>(socket), response.chunks, 0, response.endStream);
}

} // namespace HttpsPeer

#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

class QTcpSocket;

namespace HttpsPeer {

// One request as the server received it.
struct Request {
    QByteArray method;
    QString path; // decoded, without the query
    QUrlQuery query;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    // The body as a JSON object; empty when it is none.
    QJsonObject json() const;
};

// What a route answers. Whole: status, headers and body at once. Silent: never answers and keeps
// the connection. Drop: closes the connection without an answer. Stream: status and headers, then
// the chunks one write each, then the connection stays open for pushes (or ends, with endStream).
struct Response {
    enum Kind { Whole, Silent, Drop, Stream };
    Kind kind = Whole;
    int status = 200;
    QByteArray reason; // empty: the usual phrase of the status
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    QList<QByteArray> chunks;
    bool endStream = false;
    int delayMs = 0; // held back this long before it is sent
    // When set, the response actually sent is the one this makes at sending time.
    std::function<Response()> build;

    Response& header(const QByteArray& name, const QByteArray& value) {
        headers.append(qMakePair(name, value));
        return *this;
    }

    static Response json(const QJsonValue& document, int status = 200);
    static Response result(const QJsonValue& value) {
        return json(QJsonObject{{QStringLiteral("result"), value}});
    }
    static Response error(const QString& name, const QString& message);
    static Response raw(const QByteArray& body, const QByteArray& contentType, int status = 200);
    // A small HTML page with body inside <body>.
    static Response page(const QByteArray& body);
    static Response withStatus(int status, const QByteArray& reason = QByteArray());
    static Response redirect(const QUrl& to, int status = 307);
    static Response silent();
    // The same response, sent that many milliseconds after the request arrived.
    Response after(int ms) const {
        Response r = *this;
        r.delayMs = ms;
        return r;
    }
    static Response drop();
    // Made by `build` only when it is sent, that many milliseconds after the request arrived: what
    // the route does on the server's side happens then, not on arrival.
    static Response later(int ms, std::function<Response()> build) {
        Response r;
        r.delayMs = ms;
        r.build = std::move(build);
        return r;
    }
    // An event stream; contentType as sent (the exact type is "text/event-stream").
    static Response stream(const QList<QByteArray>& chunks = {}, bool end = false,
                           const QByteArray& contentType = "text/event-stream");
};

using Handler = std::function<Response(const Request&)>;

// A key pair for the server, made with the openssl command; isNull() when that failed (error says why).
struct Certificate {
    QSslCertificate certificate;
    QSslKey key;
    QString error;
    bool isNull() const { return certificate.isNull() || key.isNull(); }
    // SHA-256 of the certificate's DER form.
    QByteArray digest() const;
};
// A self-signed certificate for 127.0.0.1 and localhost; each name is made once per process.
Certificate selfSignedCertificate(const QString& name = QStringLiteral("first"));

// An HTTPS (or plain HTTP) server on 127.0.0.1 that answers the server's REST paths and its event
// stream, lets a test replace any route, and records every request.
class Server : public QObject {
    Q_OBJECT
public:
    enum Mode { Https, Http };

    explicit Server(QObject* parent = nullptr);
    ~Server() override;

    // Listens on a free port (or the given one). False with error() set when it could not.
    bool start(Mode mode = Https, quint16 port = 0);
    QString error() const { return m_error; }
    QUrl url() const;
    quint16 port() const;

    // The certificate shown to new connections.
    void setCertificate(const Certificate& certificate) { m_certificate = certificate; }
    Certificate certificate() const { return m_certificate; }

    // The token the "/v3/api/" routes and the event stream require in "X-VELNOR-TOKEN"; a route
    // registered with needsToken answers 403 without it. Empty: nothing is required. It starts as
    // "token-of-the-test-server", which the sign-in route "/v3/api/auth/ssh" hands out.
    void setToken(const QByteArray& token) { m_token = token; }
    QByteArray token() const { return m_token; }

    // Routes: the handler for one method and path (exact) or path prefix (ending in "/").
    void route(const QByteArray& method, const QString& path, Handler handler, bool needsToken = true);
    // The next requests of that method and path get these responses, in order, before the route.
    void script(const QByteArray& method, const QString& path, const QList<Response>& responses);
    void script(const QByteArray& method, const QString& path, const Response& response) {
        script(method, path, QList<Response>{response});
    }

    // The sessions the list and event routes report.
    QJsonArray sessions() const;
    void setSessions(const QJsonArray& sessions);

    // Requests received so far, oldest first (at most the last 10000).
    QList<Request> requests() const { return m_requests; }
    QList<Request> requests(const QString& path) const;
    void clearRequests() { m_requests.clear(); }

    // Open event streams (connections answered with Stream and not yet ended).
    int openStreams() const;
    // Writes bytes to every open stream; each write goes out as its own TCP segment when it can.
    void pushToStreams(const QByteArray& bytes);
    // One event: "event: type", "data: <json>" and an empty line.
    void pushEvent(const QString& type, const QJsonObject& data);
    // Ends every open stream by closing its connection.
    void endStreams();
    // Closes every connection, answered or not.
    void dropConnections();
    // Number of TLS handshakes that failed (the client refused the certificate).
    int refusedHandshakes() const { return m_refusedHandshakes; }

signals:
    void requestReceived(const QString& path);

private:
    class Listener;
    struct Connection;
    struct Scripted {
        QByteArray method;
        QString path;
        Response response;
    };
    struct Route {
        Handler handler;
        bool needsToken = true;
    };

    void accept(qintptr descriptor);
    void readFrom(Connection* connection);
    void answer(Connection* connection, const Request& request);
    void send(Connection* connection, const Response& response);
    void forget(Connection* connection);
    void installDefaultRoutes();

    Listener* m_listener = nullptr;
    Mode m_mode = Https;
    QString m_error;
    Certificate m_certificate;
    QByteArray m_token;
    QHash<QString, Route> m_routes; // key: method + " " + path
    QList<Scripted> m_scripted;
    QList<Request> m_requests;
    QList<Connection*> m_connections;
    QList<Connection*> m_dead;
    QJsonArray m_sessions;
    int m_refusedHandshakes = 0;
};

// A connect reply the default routes answer with.
QJsonObject connectReply(const QString& id);

} // namespace HttpsPeer

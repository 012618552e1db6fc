// The default answers of the server's REST paths and its event stream. Tests replace any of them
// with Server::route or put answers in front with Server::script.

#include "HttpsServer.h"

#include <QBuffer>
#include <QImage>

namespace HttpsPeer {

QJsonObject connectReply(const QString& id) {
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("password"), QStringLiteral("session-password")},
        {QStringLiteral("geometry"), QStringLiteral("1024x768")},
        {QStringLiteral("windowMode"), QStringLiteral("desktop")},
        {QStringLiteral("webSocketPort"), 4000},
        {QStringLiteral("uri"), QStringLiteral("ws://127.0.0.1:4000/client/protocol")},
        {QStringLiteral("params"), QJsonObject{{QStringLiteral("name"), QStringLiteral("Session")}}}};
}

namespace {

QJsonObject bookmarkLists() {
    const QJsonObject own{{QStringLiteral("id"), QStringLiteral("b1")},
                          {QStringLiteral("name"), QStringLiteral("Terminal")},
                          {QStringLiteral("command"), QStringLiteral("xterm")}};
    return QJsonObject{{QStringLiteral("user"), QJsonArray{own}},
                       {QStringLiteral("favorites"), QJsonArray{QStringLiteral("b1")}}};
}

QByteArray pngScreenshot() {
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString idOf(const Request& r) {
    return r.json().value(QLatin1String("id")).toString();
}

} // namespace

void Server::installDefaultRoutes() {
    const auto ok = [](const Request&) { return Response::result(true); };
    const auto echo = [](const Request& r) { return Response::result(r.json()); };
    const auto connect = [](const Request& r) { return Response::result(connectReply(idOf(r))); };
    const auto bookmarks = [](const Request&) { return Response::result(bookmarkLists()); };
    const auto list = [this](const Request&) { return Response::result(m_sessions); };
    const auto signIn = [this](const Request&) {
        return Response::result(QJsonObject{{QStringLiteral("token"), QString::fromUtf8(m_token)}});
    };

    route("POST", QStringLiteral("/v3/api/user/logout"), ok);
    route("POST", QStringLiteral("/v3/api/user/me"), [](const Request&) {
        return Response::result(QJsonObject{
            {QStringLiteral("login"), QJsonObject{{QStringLiteral("sub"), QStringLiteral("tester")}}},
            {QStringLiteral("config"),
             QJsonObject{{QStringLiteral("messageOfTheDay"), QStringLiteral("hello")}}}});
    });
    route("POST", QStringLiteral("/v3/api/session/list"), list);
    route("POST", QStringLiteral("/v3/api/session/list-shared"), list);
    route("POST", QStringLiteral("/v3/api/session/params"), echo);
    route("POST", QStringLiteral("/v3/api/session/params-form/list"), [](const Request&) {
        return Response::result(QJsonObject{{QStringLiteral("forms"), QJsonArray()}});
    });
    route("POST", QStringLiteral("/v3/api/session/servers/list"), [](const Request&) {
        return Response::result(QJsonObject{{QStringLiteral("servers"), QJsonArray()}});
    });
    route("POST", QStringLiteral("/v3/api/session/log"), [](const Request& r) {
        return Response::result(
            QJsonObject{{QStringLiteral("session.log"), QStringLiteral("log of ") + idOf(r)}});
    });
    route("POST", QStringLiteral("/v3/api/session/start"),
          [](const Request&) { return Response::result(connectReply(QStringLiteral("started-1"))); });
    route("POST", QStringLiteral("/v3/api/session/connect"), connect);
    route("POST", QStringLiteral("/v3/api/session/exec"), [](const Request&) {
        return Response::result(
            QJsonObject{{QStringLiteral("code"), 0}, {QStringLiteral("output"), QJsonArray()}});
    });
    route("POST", QStringLiteral("/v3/api/session/exec-bg"), [](const Request&) {
        return Response::result(QJsonObject{{QStringLiteral("pid"), 42}});
    });
    route("POST", QStringLiteral("/v3/api/session/disconnect"), ok);
    route("POST", QStringLiteral("/v3/api/session/purge"), ok);
    route("POST", QStringLiteral("/v3/api/session/terminate"), ok);
    route("POST", QStringLiteral("/v3/api/bookmark/shortcut"),
          [](const Request&) { return Response::result(connectReply(QStringLiteral("shortcut-1"))); });
    route("GET", QStringLiteral("/v3/api/bookmark/list"), bookmarks);
    route("POST", QStringLiteral("/v3/api/bookmark/edit"), bookmarks);
    route("POST", QStringLiteral("/v3/api/bookmark/delete"), bookmarks);
    route("POST", QStringLiteral("/v3/api/bookmark/favorite"), bookmarks);
    route("POST", QStringLiteral("/v3/api/bookmark/unfavorite"), bookmarks);
    route("POST", QStringLiteral("/v3/api/share/load"), [](const Request&) {
        return Response::result(QJsonObject{
            {QStringLiteral("users"),
             QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("ann")},
                                    {QStringLiteral("role"), QStringLiteral("viewer")}}}},
            {QStringLiteral("sharingKey"), QStringLiteral("k1")},
            {QStringLiteral("public"), QJsonObject{{QStringLiteral("visibility"), QStringLiteral("public")},
                                                   {QStringLiteral("role"), QStringLiteral("lobby")}}}});
    });
    route("POST", QStringLiteral("/v3/api/share/update"), ok);
    route("POST", QStringLiteral("/v3/api/share/save"), ok);
    route("POST", QStringLiteral("/v3/api/share/remove"), ok);
    route("POST", QStringLiteral("/v3/api/share/connect"), connect);
    route("POST", QStringLiteral("/v3/api/nologin/share/connect"), connect, false);
    route("POST", QStringLiteral("/v3/api/auth/ssh"), signIn, false);
    route(
        "POST", QStringLiteral("/v3/api/auth/ssh/config"),
        [](const Request&) {
            return Response::result(QJsonObject{{QStringLiteral("agent"), true}});
        },
        false);

    // Screenshots: "missing" is not found, "garbage" is not an image, any other id a small PNG.
    route("GET", QStringLiteral("/session/screenshot/"), [](const Request& r) {
        const QString id = r.path.mid(QStringLiteral("/session/screenshot/").size());
        if (id == QLatin1String("missing"))
            return Response::withStatus(404);
        if (id == QLatin1String("garbage"))
            return Response::raw("this is not an image", "image/png");
        return Response::raw(pngScreenshot(), "image/png");
    });

    // The event stream stays open; tests push events with pushEvent.
    route("GET", QStringLiteral("/sse/my-sessions"), [](const Request&) { return Response::stream(); });
}

} // namespace HttpsPeer

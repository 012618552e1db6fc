#include "SessionRoutes.h"

#include <QBuffer>
#include <QtEndian>

namespace HttpsPeer {

const QSize SessionRoutes::labelledSize(320, 240);

namespace {

quint32 crc32(const QByteArray& bytes) {
    quint32 crc = 0xffffffffu;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray chunk(const QByteArray& type, const QByteArray& data) {
    QByteArray out(4, '\0');
    qToBigEndian<quint32>(quint32(data.size()), out.data());
    out += type + data;
    QByteArray crc(4, '\0');
    qToBigEndian<quint32>(crc32(type + data), crc.data());
    return out + crc;
}

} // namespace

QByteArray SessionRoutes::labelledPng(const QString& id) {
    QImage image(labelledSize, QImage::Format_RGB32);
    image.fill(Qt::darkBlue);
    image.setText(QStringLiteral("session"), id);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray SessionRoutes::hugePng() {
    QByteArray header(13, '\0');
    qToBigEndian<quint32>(100000, header.data());
    qToBigEndian<quint32>(100000, header.data() + 4);
    header[8] = 8; // bit depth
    header[9] = 2; // truecolour
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
           chunk("IDAT", QByteArray::fromHex("789c030000000001")) + chunk("IEND", QByteArray());
}

SessionRoutes::SessionRoutes(Server& server)
    : m_server(&server) {
    server.route("POST", QStringLiteral("/v3/api/session/list"), [this](const Request&) {
        ++m_listRequests;
        return Response::result(m_own).after(m_listDelay);
    });
    server.route("POST", QStringLiteral("/v3/api/session/list-shared"), [this](const Request&) {
        ++m_listRequests;
        const QJsonValue list = m_sharedAsRows ? QJsonValue(QJsonObject{{QStringLiteral("rows"), m_shared}})
                                               : QJsonValue(m_shared);
        return Response::result(list).after(m_listDelay);
    });
    server.route("GET", QStringLiteral("/session/screenshot/"), [this](const Request& r) {
        const QString id = r.path.mid(QStringLiteral("/session/screenshot/").size());
        m_shotRequests.append(id);
        const Plan plan = m_shots.value(id);
        Response response;
        switch (plan.shot) {
        case Labelled:
            response = Response::raw(labelledPng(id), "image/png");
            break;
        case Missing:
            response = Response::withStatus(404);
            break;
        case NotAnImage:
            response = Response::raw("this is not an image", "image/png");
            break;
        case Huge:
            response = Response::raw(hugePng(), "image/png");
            break;
        case NoAnswer:
            return Response::silent();
        }
        return response.after(plan.delayMs);
    });
}

void SessionRoutes::addOperationRoutes() {
    for (const char* path : {"/v3/api/session/disconnect", "/v3/api/session/terminate",
                             "/v3/api/session/purge", "/v3/api/session/params", "/v3/api/session/exec",
                             "/v3/api/session/exec-bg", "/v3/api/session/log"}) {
        const QString p = QLatin1String(path);
        m_server->route("POST", p, [this, p](const Request& r) { return operate(p, r); });
    }
}

void SessionRoutes::failNext(const QString& path, const QString& name, const QString& message) {
    m_failNext.insert(path, qMakePair(name, message));
}

Response SessionRoutes::operate(const QString& path, const Request& r) {
    const QJsonObject body = r.json();
    m_operations[path].append(body);
    if (m_failNext.contains(path)) {
        const QPair<QString, QString> error = m_failNext.take(path);
        return Response::error(error.first, error.second);
    }
    const QString id = body.value(QLatin1String("id")).toString();
    int at = -1;
    for (int i = 0; i < m_own.size(); ++i)
        if (m_own.at(i).toObject().value(QLatin1String("id")).toString() == id)
            at = i;
    if (at < 0)
        return Response::error(QStringLiteral("not_found"), QStringLiteral("No such session"));
    QJsonObject session = m_own.at(at).toObject();

    if (path.endsWith(QLatin1String("/exec")))
        return Response::result(m_execReply.isEmpty() ? QJsonObject{{QStringLiteral("code"), 0},
                                                                    {QStringLiteral("output"), QJsonArray()}}
                                                      : m_execReply);
    if (path.endsWith(QLatin1String("/exec-bg")))
        return Response::result(QJsonObject{{QStringLiteral("pid"), m_pid}});
    if (path.endsWith(QLatin1String("/log")))
        return Response::result(m_logs);

    if (path.endsWith(QLatin1String("/terminate")) || path.endsWith(QLatin1String("/purge"))) {
        m_own.removeAt(at);
        m_server->pushEvent(QStringLiteral("delete"), session);
        return Response::result(true);
    }
    if (path.endsWith(QLatin1String("/disconnect"))) {
        session.insert(QStringLiteral("clientCount"), 0);
    } else { // params
        QJsonObject params = session.value(QLatin1String("params")).toObject();
        for (auto it = body.begin(); it != body.end(); ++it) {
            if (it.key() == QLatin1String("id"))
                continue;
            if (it.value().toString().isEmpty() && it.value().isString())
                params.remove(it.key());
            else
                params.insert(it.key(), it.value());
        }
        session.insert(QStringLiteral("params"), params);
    }
    m_own[at] = session;
    m_server->pushEvent(QStringLiteral("update"), session);
    return Response::result(path.endsWith(QLatin1String("/params"))
                                ? QJsonValue(session.value(QLatin1String("params")))
                                : QJsonValue(true));
}

} // namespace HttpsPeer

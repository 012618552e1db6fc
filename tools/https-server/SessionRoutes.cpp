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

SessionRoutes::SessionRoutes(Server& server) {
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

} // namespace HttpsPeer

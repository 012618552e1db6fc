#include "SimClientComm.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

namespace DisplaySim {

const QString ClientCommPeer::ChannelName = QStringLiteral("clientcomm");

namespace {

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString utf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

} // namespace

QJsonObject CcFrame::json() const {
    return QJsonDocument::fromJson(data).object();
}

ClientCommPeer::ClientCommPeer(Server& server, QObject* parent)
    : QObject(parent)
    , m_server(server) {
    connect(&m_server, &Server::frameReceived, this, &ClientCommPeer::onFrame);
}

quint8 ClientCommPeer::number() const {
    return m_server.channelNumber(ChannelName);
}

bool ClientCommPeer::awaitOpen(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (number() == 0 && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return number() != 0;
}

void ClientCommPeer::sendCapabilities(const QList<QByteArray>& entries) {
    FrameWriter w(number(), CcMsg::Capabilities);
    w.leb128(quint32(entries.size()));
    for (const QByteArray& entry : entries)
        w.blob(entry);
    m_server.send(w.bytes());
}

void ClientCommPeer::sendSettings(const QStringList& types, quint8 format) {
    FrameWriter w(number(), CcMsg::Settings);
    w.u8(format);
    for (const QString& type : types)
        w.string(type);
    m_server.send(w.bytes());
}

void ClientCommPeer::sendMessage(quint16 id, const QString& type, const QByteArray& data) {
    m_server.send(FrameWriter(number(), CcMsg::Message).u16(id).string(type).blob(data).bytes());
}

void ClientCommPeer::sendResponse(quint16 id, const QByteArray& data) {
    m_server.send(FrameWriter(number(), CcMsg::Response).u16(id).blob(data).bytes());
}

void ClientCommPeer::sendNack(quint16 id, const QString& status) {
    m_server.send(FrameWriter(number(), CcMsg::Nack).u16(id).string(status).bytes());
}

void ClientCommPeer::sendRaw(const QByteArray& afterChannelByte) {
    m_server.sendChannelFrame(number(), afterChannelByte);
}

void ClientCommPeer::shareHello(quint16 id, const QString& client, const QString& role, const QString& login,
                                const QString& version) {
    const QJsonObject params{{"client", client}, {"role", role}, {"login", login}, {"version", version}};
    sendMessage(id, QStringLiteral("vn-share"), compact({{"method", "hello"}, {"params", params}}));
}

void ClientCommPeer::shareClientNotify(const QJsonArray& clients) {
    sendMessage(0, QStringLiteral("vn-share"),
                compact({{"method", "client-notify"}, {"params", QJsonObject{{"clients", clients}}}}));
}

void ClientCommPeer::shareMeNotify(const QJsonObject& me) {
    sendMessage(0, QStringLiteral("vn-share"),
                compact({{"method", "me-notify"}, {"params", QJsonObject{{"me", me}}}}));
}

void ClientCommPeer::shareMessage(const QString& client, const QJsonValue& message) {
    sendMessage(
        0, QStringLiteral("vn-share"),
        compact({{"method", "message"}, {"params", QJsonObject{{"client", client}, {"message", message}}}}));
}

QJsonObject ClientCommPeer::participant(const QString& client, const QString& role, const QString& status,
                                        const QString& name, const QString& login, const QString& version) {
    return {{"client", client}, {"role", role},   {"status", status},
            {"name", name},     {"login", login}, {"version", version}};
}

void ClientCommPeer::notify(quint16 id, const QJsonObject& request) {
    sendMessage(id, QStringLiteral("vn-notify"), compact(request));
}

void ClientCommPeer::openUrl(quint16 id, const QJsonObject& request) {
    sendMessage(id, QStringLiteral("vn-url"), compact(request));
}

CcFrame ClientCommPeer::decode(const QByteArray& frame) {
    CcFrame f;
    f.bytes = frame;
    FrameReader r(frame, 1);
    if (!r.u8(f.messageId))
        return f;
    switch (f.messageId) {
    case CcMsg::Settings: {
        if (!r.u8(f.format))
            return f;
        while (!r.atEnd()) {
            QByteArray name;
            if (!r.blob(name))
                return f;
            f.types << utf8(name);
        }
        f.wellFormed = true;
        break;
    }
    case CcMsg::Message: {
        QByteArray type;
        f.wellFormed = r.u16(f.requestId) && r.blob(type) && r.blob(f.data) && r.atEnd();
        f.type = utf8(type);
        break;
    }
    case CcMsg::Response:
        f.wellFormed = r.u16(f.requestId) && r.blob(f.data) && r.atEnd();
        break;
    case CcMsg::Nack: {
        QByteArray status;
        f.wellFormed = r.u16(f.requestId) && r.blob(status) && r.atEnd();
        f.status = utf8(status);
        break;
    }
    default:
        break;
    }
    return f;
}

void ClientCommPeer::onFrame(const ClientFrame& frame) {
    if (number() != 0 && frame.channel == number())
        m_received.append(decode(frame.bytes));
}

std::optional<CcFrame> ClientCommPeer::awaitFrame(quint8 messageId, int timeoutMs) {
    const quint8 channel = number();
    if (channel == 0)
        return std::nullopt;
    const auto frame = m_server.awaitFrame(channel, messageId, timeoutMs);
    if (!frame)
        return std::nullopt;
    return decode(frame->bytes);
}

std::optional<CcFrame> ClientCommPeer::awaitRequest(const QString& type, int timeoutMs) {
    const quint8 channel = number();
    if (channel == 0)
        return std::nullopt;
    const auto frame = m_server.awaitFrame(
        [&](const ClientFrame& f) {
            return f.channel == channel && f.messageId == CcMsg::Message && decode(f.bytes).type == type;
        },
        timeoutMs);
    if (!frame)
        return std::nullopt;
    return decode(frame->bytes);
}

std::optional<QStringList> ClientCommPeer::awaitClientTypes(int timeoutMs) {
    const auto frame = awaitFrame(CcMsg::Settings, timeoutMs);
    if (!frame || !frame->wellFormed || frame->format != 1)
        return std::nullopt;
    return frame->types;
}

} // namespace DisplaySim

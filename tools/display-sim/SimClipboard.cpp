#include "SimClipboard.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

namespace DisplaySim {

namespace ClipboardMsg {
QByteArray serverToClient() {
    return QByteArray(1, char(1));
}
QByteArray clientToServer() {
    return QByteArray(1, char(2));
}
} // namespace ClipboardMsg

namespace {

const QString kChannelName = QStringLiteral("clipboard");

bool countedBlobs(FrameReader& r, QList<QByteArray>& list) {
    quint32 count = 0;
    if (!r.leb128(count) || count > quint32(r.remaining()))
        return false;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray entry;
        if (!r.blob(entry))
            return false;
        list.append(entry);
    }
    return true;
}

FrameWriter& countedBlobs(FrameWriter& w, const QList<QByteArray>& list) {
    w.leb128(quint32(list.size()));
    for (const QByteArray& entry : list)
        w.blob(entry);
    return w;
}

} // namespace

std::optional<ClipboardMessage> decodeClipboardFrame(const QByteArray& frame) {
    FrameReader r(frame);
    quint8 channel = 0;
    ClipboardMessage m;
    m.bytes = frame;
    if (!r.u8(channel) || !r.u8(m.id))
        return std::nullopt;
    bool ok = false;
    switch (m.id) {
    case ClipboardMsg::Capabilities:
    case ClipboardMsg::Settings:
        ok = countedBlobs(r, m.blobs);
        break;
    case ClipboardMsg::Formats:
        ok = r.u8(m.clipboardId) && countedBlobs(r, m.formats);
        break;
    case ClipboardMsg::DataRequest:
        ok = r.u8(m.clipboardId) && r.blob(m.format);
        break;
    case ClipboardMsg::DataResponse:
        ok = r.u8(m.status) && r.u8(m.clipboardId) && r.blob(m.format) && r.blob(m.data);
        break;
    default:
        break;
    }
    // The client writes nothing after the last field.
    if (!ok || !r.atEnd())
        return std::nullopt;
    return m;
}

SimClipboard::SimClipboard(Server& server, QObject* parent)
    : QObject(parent)
    , m_server(&server) {
    qRegisterMetaType<DisplaySim::ClipboardMessage>();
    connect(&server, &Server::frameReceived, this, &SimClipboard::onFrame);
}

quint8 SimClipboard::number() const {
    if (m_number != 0 || !m_server)
        return m_number;
    return m_server->channelNumber(kChannelName);
}

void SimClipboard::sendCapabilities(const QList<QByteArray>& blobs) {
    FrameWriter w(number(), ClipboardMsg::Capabilities);
    m_server->send(countedBlobs(w, blobs).bytes());
}

void SimClipboard::sendSettings(const QList<QByteArray>& blobs) {
    FrameWriter w(number(), ClipboardMsg::Settings);
    m_server->send(countedBlobs(w, blobs).bytes());
}

void SimClipboard::sendFormats(quint8 clipboardId, const QList<QByteArray>& formats) {
    FrameWriter w(number(), ClipboardMsg::Formats);
    w.u8(clipboardId);
    m_server->send(countedBlobs(w, formats).bytes());
}

void SimClipboard::sendDataRequest(quint8 clipboardId, const QByteArray& format) {
    m_server->send(FrameWriter(number(), ClipboardMsg::DataRequest).u8(clipboardId).blob(format).bytes());
}

void SimClipboard::sendDataResponse(quint8 status, quint8 clipboardId, const QByteArray& format,
                                    const QByteArray& data) {
    m_server->send(FrameWriter(number(), ClipboardMsg::DataResponse)
                       .u8(status)
                       .u8(clipboardId)
                       .blob(format)
                       .blob(data)
                       .bytes());
}

void SimClipboard::onFrame(const ClientFrame& frame) {
    const quint8 own = number();
    if (own == 0 || frame.channel != own)
        return;
    const std::optional<ClipboardMessage> message = decodeClipboardFrame(frame.bytes);
    if (!message) {
        ++m_malformed;
        return;
    }
    m_received.append(*message);
    m_pending.append(*message);
    emit messageReceived(*message);
}

std::optional<ClipboardMessage> SimClipboard::awaitMessage(quint8 id, int timeoutMs) {
    return awaitMessage([id](const ClipboardMessage& m) { return m.id == id; }, timeoutMs);
}

std::optional<ClipboardMessage>
SimClipboard::awaitMessage(const std::function<bool(const ClipboardMessage&)>& match, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const auto found = std::find_if(m_pending.begin(), m_pending.end(), match);
        if (found != m_pending.end()) {
            ClipboardMessage m = *found;
            m_pending.erase(found);
            return m;
        }
        if (deadline.hasExpired())
            return std::nullopt;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(std::min<qint64>(deadline.remainingTime(), 50));
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &SimClipboard::messageReceived, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

} // namespace DisplaySim

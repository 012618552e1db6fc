#include "SimServer.h"

#include "TestCertificate.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>

namespace DisplaySim {

namespace {

// Frames longer than this on the TCP transport are treated as a broken client.
constexpr quint32 kMaxFrame = 64u * 1024 * 1024;

// Level of the Disconnect sent for a wrong password (the server's own choice).
constexpr quint8 kAuthenticationFailedLevel = 3;

QString hex(const QByteArray& bytes) {
    constexpr int kShown = 48;
    QString text = QString::fromLatin1(bytes.left(kShown).toHex(' '));
    if (bytes.size() > kShown)
        text += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    return text;
}

} // namespace

Server::Server(ServerOptions options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_pumpTimer(new QTimer(this)) {
    qRegisterMetaType<DisplaySim::ClientFrame>();
    connect(m_pumpTimer, &QTimer::timeout, this, &Server::pump);
}

Server::~Server() {
    stop();
}

bool Server::listen(quint16 port) {
    stop();
    if (m_options.transport == Transport::Tcp) {
        m_tcpServer = new QTcpServer(this);
        connect(m_tcpServer, &QTcpServer::newConnection, this, &Server::onNewTcp);
        if (!m_tcpServer->listen(QHostAddress::LocalHost, port)) {
            m_error = m_tcpServer->errorString();
            return false;
        }
        return true;
    }
    const bool secure = m_options.transport == Transport::SecureWebSocket;
    m_wsServer =
        new QWebSocketServer(QStringLiteral("DisplaySim"),
                             secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    if (secure) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        const QSslCertificate cert(m_options.certificatePem, QSsl::Pem);
        QSslKey key(m_options.keyPem, QSsl::Ec, QSsl::Pem);
        if (key.isNull())
            key = QSslKey(m_options.keyPem, QSsl::Rsa, QSsl::Pem);
        if (cert.isNull() || key.isNull()) {
            m_error = QStringLiteral("secure transport needs a PEM certificate and key");
            return false;
        }
        config.setLocalCertificate(cert);
        config.setPrivateKey(key);
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_wsServer->setSslConfiguration(config);
    }
    connect(m_wsServer, &QWebSocketServer::newConnection, this, &Server::onNewWebSocket);
    if (!m_wsServer->listen(QHostAddress::LocalHost, port)) {
        m_error = m_wsServer->errorString();
        return false;
    }
    return true;
}

void Server::stop() {
    abortClient();
    if (m_wsServer) {
        m_wsServer->close();
        delete m_wsServer;
        m_wsServer = nullptr;
    }
    if (m_tcpServer) {
        m_tcpServer->close();
        delete m_tcpServer;
        m_tcpServer = nullptr;
    }
}

quint16 Server::port() const {
    if (m_tcpServer)
        return m_tcpServer->serverPort();
    if (m_wsServer)
        return m_wsServer->serverPort();
    return 0;
}

QUrl Server::url() const {
    QUrl url;
    switch (m_options.transport) {
    case Transport::WebSocket:
        url.setScheme(QStringLiteral("ws"));
        break;
    case Transport::SecureWebSocket:
        url.setScheme(QStringLiteral("wss"));
        break;
    case Transport::Tcp:
        url.setScheme(QStringLiteral("velnor"));
        break;
    }
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    if (m_options.transport != Transport::Tcp)
        url.setPath(m_options.path);
    return url;
}

bool Server::hasClient() const {
    return m_ws || m_tcp;
}

void Server::note(const QString& text) {
    record({TranscriptEntry::Event, {}, text});
}

void Server::record(TranscriptEntry entry) {
    m_transcript.append(std::move(entry));
    if (m_transcript.size() > m_options.historyLimit)
        m_transcript.removeFirst();
}

QString Server::transcriptText() const {
    QStringList lines;
    for (const TranscriptEntry& e : m_transcript) {
        switch (e.kind) {
        case TranscriptEntry::FromClient:
            lines << QStringLiteral("C> ") + hex(e.bytes);
            break;
        case TranscriptEntry::ToClient:
            lines << QStringLiteral("S> ") + hex(e.bytes);
            break;
        case TranscriptEntry::RawToClient:
            lines << QStringLiteral("S> raw ") + hex(e.bytes);
            break;
        case TranscriptEntry::Event:
            lines << QStringLiteral("-- ") + e.note;
            break;
        }
    }
    return lines.join(QLatin1Char('\n'));
}

void Server::onNewWebSocket() {
    while (QWebSocket* socket = m_wsServer->nextPendingConnection()) {
        abortClient();
        const QNetworkRequest upgrade = socket->request();
        m_upgrades.append(UpgradeRequest{upgrade.url().path(), upgrade.url().query(),
                                         upgrade.hasRawHeader("X-VELNOR-TOKEN")
                                             ? upgrade.rawHeader("X-VELNOR-TOKEN")
                                             : QByteArray()});
        m_ws = socket;
        socket->setParent(this);
        connect(socket, &QWebSocket::binaryMessageReceived, this, &Server::handleFrame);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this](const QString& text) { note(QStringLiteral("unexpected text message: ") + text); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            if (m_ws == socket)
                detachClient();
            socket->deleteLater();
        });
        attachClient();
    }
}

void Server::onNewTcp() {
    while (QTcpSocket* socket = m_tcpServer->nextPendingConnection()) {
        abortClient();
        m_tcp = socket;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, this, &Server::onTcpReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_tcp == socket)
                detachClient();
            socket->deleteLater();
        });
        attachClient();
    }
}

void Server::attachClient() {
    ++m_clientCount;
    m_record = SessionRecord();
    m_pending.clear();
    m_readBuffer.clear();
    m_outQueue.clear();
    m_outOffset = 0;
    m_unacked.clear();
    m_networkDetectOpen = false;
    m_networkDetectAwaited.clear();
    m_unexpectedAcks = 0;
    m_openChannels.clear();
    note(QStringLiteral("client connected"));
    emit clientConnected();
}

void Server::detachClient() {
    m_ws = nullptr;
    m_tcp = nullptr;
    m_pumpTimer->stop();
    m_outQueue.clear();
    note(QStringLiteral("client gone"));
    emit clientDisconnected();
}

void Server::closeClient() {
    if (m_ws)
        m_ws->close(QWebSocketProtocol::CloseCodeNormal);
    else if (m_tcp)
        m_tcp->disconnectFromHost();
}

void Server::abortClient() {
    if (m_ws) {
        QWebSocket* socket = m_ws;
        socket->disconnect(this);
        detachClient();
        socket->abort();
        socket->deleteLater();
    } else if (m_tcp) {
        QTcpSocket* socket = m_tcp;
        socket->disconnect(this);
        detachClient();
        socket->abort();
        socket->deleteLater();
    }
}

void Server::onTcpReadyRead() {
    if (!m_tcp)
        return;
    m_readBuffer.append(m_tcp->readAll());
    while (m_tcp) {
        quint32 length = 0;
        const int prefix = readLengthPrefix(m_readBuffer, length);
        if (prefix == 0)
            return;
        if (prefix < 0 || length > kMaxFrame) {
            note(QStringLiteral("bad length prefix from client: ") + hex(m_readBuffer.left(4)));
            abortClient();
            return;
        }
        if (m_readBuffer.size() - prefix < static_cast<int>(length))
            return;
        const QByteArray frame = m_readBuffer.mid(prefix, static_cast<int>(length));
        m_readBuffer.remove(0, prefix + static_cast<int>(length));
        if (!frame.isEmpty())
            handleFrame(frame);
    }
}

void Server::handleFrame(const QByteArray& bytes) {
    ClientFrame frame;
    frame.bytes = bytes;
    if (!bytes.isEmpty())
        frame.channel = static_cast<quint8>(bytes[0]);
    if (bytes.size() > 1)
        frame.messageId = static_cast<quint8>(bytes[1]);
    record({TranscriptEntry::FromClient, bytes, {}});

    if (frame.channel == 0 && frame.messageId) {
        FrameReader r = frame.fields();
        switch (*frame.messageId) {
        case Msg::Identity: {
            quint8 version;
            QByteArray identity;
            if (r.u8(version) && r.blob(identity)) {
                m_record.clientVersion = version;
                m_record.clientIdentity = QString::fromUtf8(identity);
            } else {
                note(QStringLiteral("malformed Identity from client"));
            }
            break;
        }
        case Msg::Capabilities:
            if (!r.blobList(m_record.clientCapabilities))
                note(QStringLiteral("malformed Capabilities from client"));
            break;
        case Msg::Security: {
            QByteArray name, password;
            if (r.blob(name) && r.blob(password)) {
                m_record.gotSecurity = true;
                m_record.displayName = QString::fromUtf8(name);
                m_record.password = password;
            } else {
                note(QStringLiteral("malformed Security from client"));
            }
            break;
        }
        case Msg::Settings: {
            QList<QByteArray> entries;
            if (r.blobList(entries))
                m_record.clientSettings.append(entries);
            else
                note(QStringLiteral("malformed Settings from client"));
            break;
        }
        case Msg::ChannelOpenRequest: {
            QByteArray name;
            if (r.blob(name)) {
                m_record.channelRequests.append(QString::fromUtf8(name));
                emit channelRequested(QString::fromUtf8(name));
            } else {
                note(QStringLiteral("malformed ChannelOpenRequest from client"));
            }
            break;
        }
        case Msg::SurfaceFrameAck: {
            quint16 id;
            if (r.u16(id)) {
                m_record.frameAcks.append(id); // small and counted by callers: not trimmed
                if (!m_unacked.remove(id))
                    ++m_unexpectedAcks;
                emit ackReceived(id);
            } else {
                note(QStringLiteral("malformed SurfaceFrameAck from client"));
            }
            break;
        }
        case Msg::NetworkDetectResults: {
            NetworkDetectResult result;
            if (r.u64(result.value) && r.u64(result.elapsedMs) && r.u64(result.receivedBytes)) {
                m_record.networkDetectResults.append(result);
                if (!m_networkDetectAwaited.removeOne(result.value)) {
                    ++m_record.networkDetectOutOfSequence;
                    note(QStringLiteral("NetworkDetectResults answering no End after a Begin"));
                }
            } else
                note(QStringLiteral("malformed NetworkDetectResults from client"));
            break;
        }
        default:
            break;
        }
    }

    m_pending.append(frame);
    if (m_pending.size() > m_options.historyLimit)
        m_pending.removeFirst();
    if (m_options.autoHandshake)
        handshakeStep(frame);
    emit frameReceived(frame);
}

void Server::handshakeStep(const ClientFrame& frame) {
    if (frame.channel != 0 || !frame.messageId)
        return;
    const bool asksPassword = std::any_of(m_options.capabilities.cbegin(), m_options.capabilities.cend(),
                                          [](const QByteArray& e) { return e == Entry::password(); });
    switch (*frame.messageId) {
    case Msg::Identity:
        sendIdentity();
        break;
    case Msg::Capabilities:
        sendCapabilities(m_options.capabilities);
        if (!asksPassword && m_options.autoFirstSettings)
            sendSettings(m_options.firstSettings);
        break;
    case Msg::Security:
        if (m_record.mainSequence)
            break;
        if (m_options.expectedPassword && m_record.password != *m_options.expectedPassword) {
            sendDisconnect(QStringLiteral("Authentication failed"), kAuthenticationFailedLevel);
            break;
        }
        if (m_options.autoFirstSettings)
            sendSettings(m_options.firstSettings);
        break;
    case Msg::ChannelOpenRequest:
        if (m_options.autoOpenChannels) {
            const QString name = m_record.channelRequests.value(m_record.channelRequests.size() - 1);
            quint8 number = 1;
            while (m_openChannels.contains(number))
                ++number;
            m_openChannels.insert(number, name);
            sendChannelOpen(name, 1, number);
        }
        break;
    default:
        break;
    }
}

bool Server::waitFor(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        // The poll interval only bounds how late a change that emits nothing is noticed.
        timer.start(std::min<qint64>(deadline.remainingTime(), 50));
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &Server::frameReceived, &loop, &QEventLoop::quit);
        connect(this, &Server::clientConnected, &loop, &QEventLoop::quit);
        connect(this, &Server::clientDisconnected, &loop, &QEventLoop::quit);
        connect(this, &Server::mainSequenceEntered, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool Server::awaitClient(int timeoutMs) {
    return waitFor([this] { return hasClient(); }, timeoutMs);
}

bool Server::awaitMainSequence(int timeoutMs) {
    return waitFor([this] { return hasClient() && m_record.mainSequence; }, timeoutMs);
}

bool Server::awaitClientGone(int timeoutMs) {
    return waitFor([this] { return !hasClient(); }, timeoutMs);
}

std::optional<ClientFrame> Server::awaitFrame(quint8 channel, quint8 messageId, int timeoutMs) {
    return awaitFrame([=](const ClientFrame& f) { return f.channel == channel && f.messageId == messageId; },
                      timeoutMs);
}

std::optional<ClientFrame> Server::awaitFrame(const std::function<bool(const ClientFrame&)>& match,
                                              int timeoutMs) {
    std::optional<ClientFrame> found;
    waitFor(
        [&] {
            for (int i = 0; i < m_pending.size(); ++i) {
                if (match(m_pending[i])) {
                    found = m_pending.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool Server::awaitAck(quint16 frameId, int timeoutMs) {
    return waitFor([&] { return m_record.frameAcks.contains(frameId); }, timeoutMs);
}

bool Server::noFrame(quint8 channel, quint8 messageId, int waitMs) {
    return !awaitFrame(channel, messageId, waitMs);
}

void Server::send(const QByteArray& frame) {
    if (!hasClient())
        return;
    record({TranscriptEntry::ToClient, frame, {}});
    if (m_tcp)
        enqueue(encodeLeb128(static_cast<quint32>(frame.size())) + frame);
    else
        enqueue(frame);
}

void Server::sendRaw(const QByteArray& bytes) {
    if (!hasClient())
        return;
    record({TranscriptEntry::RawToClient, bytes, {}});
    enqueue(bytes);
}

void Server::enqueue(const QByteArray& chunk) {
    const bool immediate = m_options.writeDelayMs == 0 && m_options.writeMode != WriteMode::ByteAtATime &&
                           m_options.writeMode != WriteMode::Coalesced;
    if (immediate && m_outQueue.isEmpty()) {
        writeNow(chunk);
        return;
    }
    m_outQueue.append(chunk);
    if (!m_pumpTimer->isActive())
        m_pumpTimer->start(m_options.writeDelayMs);
}

void Server::pump() {
    if (m_outQueue.isEmpty() || !hasClient()) {
        m_pumpTimer->stop();
        return;
    }
    if (m_tcp && m_options.writeMode == WriteMode::ByteAtATime) {
        QByteArray& head = m_outQueue.first();
        writeNow(head.mid(m_outOffset, 1));
        if (++m_outOffset >= head.size()) {
            m_outQueue.removeFirst();
            m_outOffset = 0;
        }
    } else if (m_tcp && m_options.writeMode == WriteMode::Coalesced) {
        QByteArray all;
        for (const QByteArray& chunk : qAsConst(m_outQueue))
            all += chunk;
        m_outQueue.clear();
        writeNow(all);
    } else {
        writeNow(m_outQueue.takeFirst());
    }
    if (m_outQueue.isEmpty())
        m_pumpTimer->stop();
}

void Server::writeNow(const QByteArray& chunk) {
    if (m_tcp) {
        m_tcp->write(chunk);
        m_tcp->flush();
    } else if (m_ws) {
        m_ws->sendBinaryMessage(chunk);
        m_ws->flush();
    }
}

void Server::sendDisconnect(const QString& reason, std::optional<quint8> level) {
    FrameWriter w(0, Msg::Disconnect);
    w.string(reason);
    if (level)
        w.u8(*level);
    send(w.bytes());
}

void Server::sendIdentity() {
    sendIdentity(m_options.protocolVersion, m_options.identity);
}

void Server::sendIdentity(quint8 version, const QString& identity) {
    send(FrameWriter(0, Msg::Identity).u8(version).string(identity).bytes());
}

void Server::sendCapabilities(const QList<QByteArray>& entries) {
    FrameWriter w(0, Msg::Capabilities);
    for (const QByteArray& e : entries)
        w.blob(e);
    send(w.bytes());
}

void Server::sendSettings(const QList<QByteArray>& entries) {
    FrameWriter w(0, Msg::Settings);
    for (const QByteArray& e : entries)
        w.blob(e);
    send(w.bytes());
    if (!m_record.mainSequence && hasClient()) {
        m_record.mainSequence = true;
        emit mainSequenceEntered();
    }
}

void Server::sendChannelOpen(const QString& name, quint8 status, quint8 number) {
    if (status == 1)
        m_openChannels.insert(number, name);
    send(FrameWriter(0, Msg::ChannelOpen).string(name).u8(status).u8(number).bytes());
}

void Server::sendChannelClose(quint8 number) {
    m_openChannels.remove(number);
    send(FrameWriter(0, Msg::ChannelClose).u8(number).bytes());
}

void Server::sendChannelFrame(quint8 number, const QByteArray& afterChannelByte) {
    send(FrameWriter().u8(number).raw(afterChannelByte).bytes());
}

void Server::sendSurfaceCreate(quint32 id, quint16 width, quint16 height) {
    send(FrameWriter(0, Msg::SurfaceCreate).u32(id).u16(width).u16(height).bytes());
}

void Server::sendSurfaceDestroy(quint32 id) {
    send(FrameWriter(0, Msg::SurfaceDestroy).u32(id).bytes());
}

void Server::sendSurfaceResize(quint32 id, quint16 width, quint16 height) {
    send(FrameWriter(0, Msg::SurfaceResize).u32(id).u16(width).u16(height).bytes());
}

void Server::sendSurfaceCopy(quint32 source, const QVector<Rect>& rects, quint32 destination, qint16 dx,
                             qint16 dy) {
    send(FrameWriter(0, Msg::SurfaceCopy).u32(source).rects(rects).u32(destination).i16(dx).i16(dy).bytes());
}

void Server::sendSurfaceBits(quint32 surfaceId, quint8 codec, const QByteArray& body) {
    send(FrameWriter(0, Msg::SurfaceBits).u32(surfaceId).u8(codec).raw(body).bytes());
}

void Server::sendRfx7Update(quint32 surfaceId, bool progressive, const QByteArray& quantisers,
                            const QVector<Rect>& rects, const QVector<Tile>& tiles) {
    QByteArray q = quantisers.left(15);
    q.append(QByteArray(15 - q.size(), '\0'));
    sendSurfaceBits(surfaceId, progressive ? 7 : 2, FrameWriter().raw(q).rects(rects).tiles(tiles).bytes());
}

void Server::sendImageUpdate(quint8 codec, quint32 surfaceId, const QVector<Rect>& rects,
                             const QVector<Tile>& tiles) {
    sendSurfaceBits(surfaceId, codec, FrameWriter().rects(rects).tiles(tiles).bytes());
}

void Server::sendFrameBegin(quint16 frameId) {
    send(FrameWriter(0, Msg::SurfaceFrameBegin).u16(frameId).bytes());
}

void Server::sendFrameEnd(quint16 frameId) {
    if (hasClient())
        m_unacked.insert(frameId);
    send(FrameWriter(0, Msg::SurfaceFrameEnd).u16(frameId).bytes());
}

void Server::sendNetworkDetectBegin() {
    m_networkDetectOpen = true;
    send(FrameWriter(0, Msg::NetworkDetectBegin).bytes());
}

void Server::sendNetworkDetectEnd(quint64 value) {
    if (m_networkDetectOpen)
        m_networkDetectAwaited.append(value);
    m_networkDetectOpen = false;
    send(FrameWriter(0, Msg::NetworkDetectEnd).u64(value).bytes());
}

void Server::sendPointerCreate(quint8 id, quint16 hotX, quint16 hotY, const QByteArray& png) {
    send(FrameWriter(0, Msg::PointerCreate).u8(id).u16(hotX).u16(hotY).blob(png).bytes());
}

void Server::sendPointerSetCached(quint8 id) {
    send(FrameWriter(0, Msg::PointerSetCached).u8(id).bytes());
}

void Server::sendPointerHide() {
    send(FrameWriter(0, Msg::PointerHide).bytes());
}

void Server::sendPointerSystem() {
    send(FrameWriter(0, Msg::PointerSystem).bytes());
}

void Server::sendPointerPosition(quint16 x, quint16 y) {
    send(FrameWriter(0, Msg::PointerPosition).u16(x).u16(y).bytes());
}

CertificatePair makeSelfSignedCertificate() {
    const TestCertificatePem made = makeTestCertificate(QStringLiteral("/CN=127.0.0.1"));
    return {made.certificatePem, made.keyPem, made.error};
}

} // namespace DisplaySim

#include "viewer/engine/VnServerConnection.h"

#include "viewer/engine/TerminalText.h"
#include "viewer/protocol/Entries.h"

#include <QBuffer>
#include <QImageReader>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QThread>
#include <QWebSocket>

#include <algorithm>
#include <limits>

Q_LOGGING_CATEGORY(lcConnection, "velnor.connection")

namespace {

using Protocol::Byte;

constexpr quint16 kCloseNormal = 1000;

// Qt's SOCKS5 engine leaves a translator's marker in some of its texts ("Remote host closed
// connection###"); the user sees them without it.
QString socketErrorText(QString text) {
    while (text.endsWith(QLatin1Char('#')))
        text.chop(1);
    return text.trimmed();
}

const std::pair<uchar, const char*> kImageCodecs[] = {
    {Protocol::Codecs::Jpeg, "jpeg"},
    {Protocol::Codecs::Png, "png"},
    {Protocol::Codecs::Gif, "gif"},
    {Protocol::Codecs::WebP, "webp"},
};

std::string toStd(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

VnServerConnection::VnServerConnection(const QString& identity, const QString& displayName,
                                       const QByteArray& password, const QNetworkProxy& proxy,
                                       QObject* parent)
    : QObject(parent)
    , Protocol::ClientMachine(toStd(identity.toUtf8()))
    , m_displayName(displayName)
    , m_password(password)
    , m_proxy(proxy) {
    qRegisterMetaType<QSet<Protocol::Byte>>();
    qRegisterMetaType<uchar>("uchar");
    qRegisterMetaType<ushort>("ushort");
    setUpSurfaces();
}

VnServerConnection::~VnServerConnection() {
    {
        // Waits for a channel's send that is under way on another thread; later ones are dropped.
        QMutexLocker lock(&m_channelLink->mutex);
        m_channelLink->alive = false;
    }
    // The sockets are children and would go with the QObject base; drop them first so that nothing they
    // emit on the way out reaches a half-destroyed connection.
    m_finished = true;
    dropWebSocket(false);
    dropTcpSocket(false);
}

bool VnServerConnection::onOwnThread() const {
    return QThread::currentThread() == thread();
}

void VnServerConnection::finish(const QString& message, uchar level) {
    if (m_finished) {
        qCDebug(lcConnection).noquote()
            << "Further ending ignored:" << terminalText(message) << "Level" << level;
        return;
    }
    m_finished = true;
    m_requests.clear();
    emit finished(message, level);
}

void VnServerConnection::dropWebSocket(bool close) {
    if (!m_webSocket)
        return;
    QWebSocket* socket = m_webSocket;
    m_webSocket = nullptr;
    socket->disconnect(this);
    if (close)
        socket->close(QWebSocketProtocol::CloseCode(kCloseNormal));
    else
        socket->abort();
    socket->deleteLater();
}

void VnServerConnection::dropTcpSocket(bool close) {
    if (!m_tcpSocket)
        return;
    QTcpSocket* socket = m_tcpSocket;
    m_tcpSocket = nullptr;
    socket->disconnect(this);
    if (close)
        socket->close();
    else
        socket->abort();
    socket->deleteLater();
}

void VnServerConnection::connectToServer(QList<QNetworkRequest> requests) {
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(
            this, [this, requests] { connectToServer(requests); }, Qt::QueuedConnection);
        return;
    }
    if (requests.isEmpty()) {
        setState(Failed);
        finish(tr("No session URL to connect to"), Protocol::ErrorLevel::Socket);
        return;
    }
    const QNetworkRequest request = requests.takeFirst();
    m_requests = requests;
    const QUrl url = request.url();

    if (url.scheme() == QLatin1String("velnor")) {
        m_requests.clear();
        if (url.port() < 0) {
            setState(Failed);
            finish(tr("The session URL %1 has no port").arg(url.toDisplayString()),
                   Protocol::ErrorLevel::Socket);
            return;
        }
        auto* socket = new QTcpSocket(this);
        m_tcpSocket = socket;
        connect(socket, &QTcpSocket::connected, this, &VnServerConnection::onSocketConnected);
        connect(socket, &QTcpSocket::disconnected, this, &VnServerConnection::onSocketDisconnected);
        connect(socket, &QTcpSocket::readyRead, this, &VnServerConnection::handleReadyRead);
        connect(socket, &QTcpSocket::errorOccurred, this, &VnServerConnection::onError);
        socket->setProxy(m_proxy);
        socket->connectToHost(url.host(QUrl::FullyDecoded), static_cast<quint16>(url.port()),
                              QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
        return;
    }

    auto* socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    m_webSocket = socket;
    // A bigger frame or message closes the socket instead of growing a buffer. The frame bound matters
    // on its own: a frame is held whole in the socket's buffer before the message bound is checked.
    socket->setMaxAllowedIncomingFrameSize(MaxFrame);
    socket->setMaxAllowedIncomingMessageSize(MaxFrame);
    const bool verifyOff = request.sslConfiguration().peerVerifyMode() == QSslSocket::VerifyNone;
    connect(socket, &QWebSocket::connected, this, [this, socket] {
        if (m_webSocket != socket)
            return;
        m_requests.clear(); // connected: the other candidates are no longer needed
        connect(socket, &QWebSocket::disconnected, this, &VnServerConnection::onSocketDisconnected);
        onSocketConnected();
    });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this, socket](QAbstractSocket::SocketError code) {
                if (m_webSocket != socket)
                    return;
                if (m_requests.isEmpty()) {
                    onError(code);
                    return;
                }
                qCDebug(lcConnection).noquote() << "Candidate failed:" << socket->requestUrl().toString()
                                                << terminalText(socketErrorText(socket->errorString()));
                // The failed socket is done with: nothing it emits later may start another candidate.
                dropWebSocket(false);
                connectToServer(m_requests);
            });
    connect(socket, &QWebSocket::binaryMessageReceived, this,
            &VnServerConnection::handleBinaryMessageReceived);
    connect(socket, &QWebSocket::sslErrors, this, [socket, verifyOff](const QList<QSslError>&) {
        if (verifyOff)
            socket->ignoreSslErrors();
    });
    if (verifyOff)
        socket->ignoreSslErrors();
    socket->setProxy(m_proxy);
    socket->open(request);
}

void VnServerConnection::onSocketConnected() {
    qCDebug(lcConnection) << "Connected";
    if (state() == Created) {
        setState(IdentitySent);
        sendIdentity();
    }
    emit connected();
}

void VnServerConnection::onSocketDisconnected() {
    if (m_webSocket && m_webSocket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData) {
        // The socket refused a message over the cap: a protocol failure, not an ordinary close.
        dropWebSocket(false);
        reportError("WebSocket message too long", Protocol::ErrorLevel::Protocol);
        return;
    }
    setState(Closed);
    QString message = tr("Connection Closed");
    if (m_webSocket && !m_webSocket->errorString().isEmpty() &&
        m_webSocket->error() != QAbstractSocket::UnknownSocketError) {
        message = socketErrorText(m_webSocket->errorString());
        qCDebug(lcConnection).noquote() << "WebSocket closed:" << terminalText(message);
    }
    dropWebSocket(false);
    dropTcpSocket(false);
    finish(message, Protocol::ErrorLevel::ConnectionClosed);
}

void VnServerConnection::onError(QAbstractSocket::SocketError error) {
    // A peer that closes an established stream is an ordinary close, not a socket failure; before the
    // transport was up (a WebSocket upgrade cut off) it is a failed connection.
    if (error == QAbstractSocket::RemoteHostClosedError && state() != Created) {
        onSocketDisconnected();
        return;
    }
    setState(Failed);
    QString message;
    if (m_webSocket) {
        message = socketErrorText(m_webSocket->errorString());
        dropWebSocket(true);
    } else if (m_tcpSocket) {
        message = socketErrorText(m_tcpSocket->errorString());
        dropTcpSocket(true);
    }
    qCDebug(lcConnection).noquote() << "Socket error:" << terminalText(message);
    finish(message, Protocol::ErrorLevel::Socket);
}

void VnServerConnection::handleBinaryMessageReceived(QByteArray bytes) {
    if (m_finished)
        return;
    m_receivedBytes += static_cast<quint64>(bytes.size());
    receive(reinterpret_cast<const Byte*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

void VnServerConnection::handleReadyRead() {
    while (m_tcpSocket && !m_finished) {
        if (m_expectedLength == 0) {
            char prefix[4];
            const qint64 peeked = m_tcpSocket->peek(prefix, sizeof prefix);
            quint32 length = 0;
            int used = 0;
            bool complete = false;
            for (int i = 0; i < peeked; ++i) {
                const auto byte = static_cast<quint8>(prefix[i]);
                length |= quint32(byte & 0x7f) << (7 * i);
                if (!(byte & 0x80)) {
                    used = i + 1;
                    complete = true;
                    break;
                }
            }
            if (!complete) {
                if (peeked >= 4) {
                    const QString message = QStringLiteral("TcpSocket read: Can't read %1 bytes")
                                                .arg(m_tcpSocket->bytesAvailable());
                    qCWarning(lcConnection) << message;
                    reportError(toStd(message.toUtf8()), Protocol::ErrorLevel::Protocol);
                }
                return;
            }
            m_tcpSocket->skip(used);
            if (length == 0)
                continue;
            if (length > MaxFrame) {
                const QString message =
                    QStringLiteral("TcpSocket read: frame of %1 bytes is too long").arg(length);
                qCWarning(lcConnection) << message;
                reportError(toStd(message.toUtf8()), Protocol::ErrorLevel::Protocol);
                return;
            }
            m_expectedLength = length;
            m_readBuffer.clear();
        }
        // Only what has arrived is buffered; the prefix alone never reserves memory (QIODevice::read
        // sizes its result from the count it is asked for, so ask for no more than is there).
        const qint64 wanted =
            std::min(qint64(m_expectedLength) - m_readBuffer.size(), m_tcpSocket->bytesAvailable());
        if (wanted > 0)
            m_readBuffer.append(m_tcpSocket->read(wanted));
        if (m_readBuffer.size() < qint64(m_expectedLength))
            return;
        const QByteArray frame = std::move(m_readBuffer);
        m_readBuffer = QByteArray();
        m_expectedLength = 0;
        m_receivedBytes += static_cast<quint64>(frame.size());
        receive(reinterpret_cast<const Byte*>(frame.constData()), static_cast<std::size_t>(frame.size()));
    }
}

void VnServerConnection::send(std::vector<std::uint8_t> frame) {
    // Every socket is touched only on its own thread; the order of sends from one thread is kept.
    if (onOwnThread()) {
        queueFrame(std::move(frame));
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, f = std::move(frame)]() mutable { queueFrame(std::move(f)); }, Qt::QueuedConnection);
}

void VnServerConnection::queueFrame(std::vector<std::uint8_t> frame) {
    if (m_webSocket) {
        if (!m_webSocket->isValid()) {
            error("WebSocket is not ready", Protocol::ErrorLevel::ConnectionClosed);
            return;
        }
        queueWebSocketFrame(std::move(frame));
    } else if (m_tcpSocket) {
        if (!m_tcpSocket->isValid()) {
            error("TcpSocket is not ready", Protocol::ErrorLevel::ConnectionClosed);
            return;
        }
        queueTcpFrame(std::move(frame));
    }
}

void VnServerConnection::queueWebSocketFrame(std::vector<std::uint8_t> frame) {
    QMetaObject::invokeMethod(
        this,
        [this, f = std::move(frame)] {
            if (!m_webSocket)
                return;
            if (f.size() > std::size_t(std::numeric_limits<int>::max())) {
                qCWarning(lcConnection) << "Frame of" << f.size() << "bytes is too long to send; dropped";
                return;
            }
            m_webSocket->sendBinaryMessage(
                QByteArray(reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size())));
            m_webSocket->flush();
        },
        Qt::QueuedConnection);
}

void VnServerConnection::queueTcpFrame(std::vector<std::uint8_t> frame) {
    QMetaObject::invokeMethod(
        this,
        [this, f = std::move(frame)] {
            if (!m_tcpSocket)
                return;
            const std::vector<Byte> prefix = Protocol::encodeLeb128(f.size());
            if (prefix.empty()) {
                // Beyond what the length prefix can carry: writing it would break every frame after it.
                qCWarning(lcConnection) << "Frame of" << f.size() << "bytes is too long to send; dropped";
                return;
            }
            m_tcpSocket->write(reinterpret_cast<const char*>(prefix.data()),
                               static_cast<qint64>(prefix.size()));
            m_tcpSocket->write(reinterpret_cast<const char*>(f.data()), static_cast<qint64>(f.size()));
            m_tcpSocket->flush();
        },
        Qt::QueuedConnection);
}

void VnServerConnection::error(std::string message, unsigned char level) {
    if (!onOwnThread()) {
        QMetaObject::invokeMethod(
            this, [this, message, level] { error(message, level); }, Qt::QueuedConnection);
        return;
    }
    const QString text = QString::fromStdString(message);
    qCDebug(lcConnection).noquote() << "Error" << terminalText(text);
    if (m_finished)
        return;
    qCDebug(lcConnection) << "Closing connection";
    // Report first: closing a socket can emit disconnected at once, which must not become the cause.
    finish(text, level);
    dropWebSocket(true);
    dropTcpSocket(true);
}

void VnServerConnection::onDisconnect(std::string reason, unsigned char level) {
    const QString text = QString::fromStdString(reason);
    qCDebug(lcConnection).noquote() << "Disconnect:" << terminalText(text) << "Level" << level;
    finish(text, level);
    dropWebSocket(true);
    dropTcpSocket(true);
}

void VnServerConnection::onIdentity(unsigned char version, std::string identity) {
    qCDebug(lcConnection).noquote() << "Protocol version" << version << "identity"
                                    << terminalText(QString::fromStdString(identity));
    const QList<QByteArray> readable = QImageReader::supportedImageFormats();
    std::vector<Byte> codecs{Protocol::Codecs::Rfx7, Protocol::Codecs::Rfx7Progressive};
    for (const auto& [id, name] : kImageCodecs) {
        m_codecFormatNames.insert(id, name);
        if (readable.contains(name))
            codecs.push_back(id);
    }
    if (state() == WaitingCapabilities) {
        sendCapabilities({Protocol::Capability::rfx7(), Protocol::Capability::jpeg(),
                          Protocol::Capability::codecList(codecs), Protocol::Capability::password()});
    }
}

void VnServerConnection::onCapabilities(Protocol::BlobList entries) {
    auto add = [this](Byte codec, const char* what) {
        if (!m_negotiatedCodecs.contains(codec)) {
            m_negotiatedCodecs.insert(codec);
            qCDebug(lcConnection) << what;
        }
    };
    for (const Protocol::Blob& entry : entries) {
        Byte tag = 0;
        if (!Protocol::entryTag(entry, tag))
            continue;
        std::vector<Byte> list;
        switch (tag) {
        case Protocol::CapabilityTag::Password:
            m_passwordCapability = true;
            qCDebug(lcConnection) << "Password Capability";
            break;
        case Protocol::CapabilityTag::Rfx7:
            add(Protocol::Codecs::Rfx7, "RFX7 Capability");
            break;
        case Protocol::CapabilityTag::Jpeg:
            add(Protocol::Codecs::Jpeg, "JPEG Capability");
            break;
        case Protocol::CapabilityTag::CodecList:
            if (!Protocol::Capability::parseCodecList(entry, list))
                break;
            for (Byte id : list) {
                switch (id) {
                case Protocol::Codecs::Rfx7:
                    add(id, "RFX7 Capability");
                    break;
                case Protocol::Codecs::Rfx7Progressive:
                    add(id, "RFX7 Progressive Capability");
                    break;
                case Protocol::Codecs::Jpeg:
                    add(id, "JPEG Capability");
                    break;
                case Protocol::Codecs::Png:
                    add(id, "PNG Capability");
                    break;
                case Protocol::Codecs::Gif:
                    add(id, "GIF Capability");
                    break;
                case Protocol::Codecs::WebP:
                    add(id, "WebP Capability");
                    break;
                default:
                    break;
                }
            }
            break;
        default:
            break;
        }
    }
    emit supportedCodecsChanged(m_negotiatedCodecs);
    if (m_passwordCapability && state() == WaitingSettings) {
        const QByteArray name = m_displayName.toUtf8();
        sendSecurity(toStd(name), Protocol::Blob(m_password.cbegin(), m_password.cend()));
    }
}

void VnServerConnection::onSettings(Protocol::BlobList entries) {
    if (!m_enteredMainSequence) {
        m_enteredMainSequence = true;
        emit enteredMainSequence();
        for (const std::string& name : m_channelRequestsToSend)
            channelOpenRequest(name);
        m_channelRequestsToSend.clear();
    }
    for (const Protocol::Blob& entry : entries) {
        Byte tag = 0;
        if (!Protocol::entryTag(entry, tag))
            continue;
        Protocol::Setting::Keyboard keyboard;
        Protocol::Setting::Geometry geometry;
        Protocol::Setting::Range range;
        Protocol::Setting::BlockSize block;
        bool flag = false;
        Byte codec = 0;
        switch (tag) {
        case Protocol::SettingTag::Keyboard:
            if (Protocol::Setting::parseKeyboard(entry, keyboard))
                emit gotKeyboardSetting(keyboard.layout, keyboard.type);
            break;
        case Protocol::SettingTag::Geometry:
            if (Protocol::Setting::parseGeometry(entry, geometry))
                emit gotGeometrySetting(geometry.width, geometry.height, geometry.widthMM, geometry.heightMM);
            break;
        case Protocol::SettingTag::AutomaticAdjust:
            if (Protocol::Setting::parseFlag(entry, tag, flag))
                emit gotAutomaticAdjustSetting(flag);
            break;
        case Protocol::SettingTag::Compression:
            if (Protocol::Setting::parseRange(entry, tag, range))
                emit gotCompressionSetting(range.value, range.min, range.max);
            break;
        case Protocol::SettingTag::FrameRate:
            if (Protocol::Setting::parseRange(entry, tag, range))
                emit gotFrameRateSetting(range.value, range.min, range.max);
            break;
        case Protocol::SettingTag::FrameWindow:
            if (Protocol::Setting::parseRange(entry, tag, range))
                emit gotFrameWindowSetting(range.value, range.min, range.max);
            break;
        case Protocol::SettingTag::SmallBlockImageFormat:
            if (Protocol::Setting::parseCodec(entry, tag, codec))
                emit gotSmallBlockImageFormatSetting(codec);
            break;
        case Protocol::SettingTag::BigBlockImageFormat:
            if (Protocol::Setting::parseCodec(entry, tag, codec))
                emit gotBigBlockImageFormatSetting(codec);
            break;
        case Protocol::SettingTag::BigBlockMinimumSize:
            if (Protocol::Setting::parseBlockSize(entry, block))
                emit gotBigBlockMinimumSizeSetting(block.width, block.height);
            break;
        case Protocol::SettingTag::HighQualityUpgrades:
            if (Protocol::Setting::parseFlag(entry, tag, flag))
                emit gotHighQualityUpgradesSetting(flag);
            break;
        default:
            break;
        }
    }
}

void VnServerConnection::sendKeyboardSetting(quint32 layout, quint32 type) {
    sendSettings({Protocol::Setting::keyboard(layout, type)});
}

void VnServerConnection::sendGeometrySetting(QSize size, QSize sizeMM) {
    const bool physical = sizeMM.width() != 0 && sizeMM.height() != 0;
    sendSettings(
        {Protocol::Setting::geometry(static_cast<quint16>(size.width()), static_cast<quint16>(size.height()),
                                     physical ? static_cast<quint32>(sizeMM.width()) : 0,
                                     physical ? static_cast<quint32>(sizeMM.height()) : 0)});
}

void VnServerConnection::sendGeometrySetting(QSize size) {
    sendSettings({Protocol::Setting::geometry(static_cast<quint16>(size.width()),
                                              static_cast<quint16>(size.height()))});
}

void VnServerConnection::sendAutomaticAdjustSetting(quint8 enabled) {
    sendSettings({Protocol::Setting::automaticAdjust(enabled)});
}

void VnServerConnection::sendQualitySettings(quint8 adjust, quint8 compression, quint8 frameRate,
                                             quint8 frameWindow) {
    sendSettings(
        {Protocol::Setting::automaticAdjust(adjust), Protocol::Setting::compression(compression, 0, 0),
         Protocol::Setting::frameRate(frameRate, 0, 0), Protocol::Setting::frameWindow(frameWindow, 0, 0)});
}

void VnServerConnection::sendCompressionSetting(quint8 value) {
    sendSettings({Protocol::Setting::compression(value, 0, 0)});
}

void VnServerConnection::sendFrameRateSetting(quint8 value) {
    sendSettings({Protocol::Setting::frameRate(value, 0, 0)});
}

void VnServerConnection::sendFrameWindowSetting(quint8 value) {
    sendSettings({Protocol::Setting::frameWindow(value, 0, 0)});
}

void VnServerConnection::sendSmallBlockImageFormatSetting(quint8 codec) {
    sendSettings({Protocol::Setting::smallBlockImageFormat(codec)});
}

void VnServerConnection::sendBigBlockImageFormatSetting(quint8 codec) {
    sendSettings({Protocol::Setting::bigBlockImageFormat(codec)});
}

void VnServerConnection::sendBigBlockMinimumSizeSetting(quint16 width, quint16 height) {
    sendSettings({Protocol::Setting::bigBlockMinimumSize(width, height)});
}

void VnServerConnection::sendHighQualityUpgradesSetting(quint8 enabled) {
    sendSettings({Protocol::Setting::highQualityUpgrades(enabled)});
}

void VnServerConnection::requestChannel(const QString& name, ChannelFactory factory) {
    const QByteArray utf8 = name.toUtf8();
    std::string key = toStd(utf8);
    if (!onOwnThread()) {
        // The pending set belongs to the network thread; requests keep their order.
        QMetaObject::invokeMethod(
            this,
            [this, key = std::move(key), f = std::move(factory)]() mutable {
                doRequestChannel(key, std::move(f));
            },
            Qt::QueuedConnection);
        return;
    }
    doRequestChannel(key, std::move(factory));
}

void VnServerConnection::doRequestChannel(const std::string& name, ChannelFactory factory) {
    if (m_pendingChannels.count(name))
        return;
    m_pendingChannels.emplace(name, std::move(factory));
    if (state() == MainSequence)
        channelOpenRequest(name);
    else
        m_channelRequestsToSend.push_back(name);
}

std::shared_ptr<Protocol::Channel> VnServerConnection::channel(const QString& name) const {
    QMutexLocker lock(&m_channelsMutex);
    return m_namedChannels.value(name);
}

std::shared_ptr<Protocol::Channel> VnServerConnection::onChannelOpen(std::string name, unsigned char number) {
    const auto pending = m_pendingChannels.find(name);
    if (pending == m_pendingChannels.end()) {
        reportError("Got channel open for unrequested channel", Protocol::ErrorLevel::UnrequestedChannel);
        return {};
    }
    ChannelFactory factory = std::move(pending->second);
    m_pendingChannels.erase(pending);
    std::shared_ptr<Protocol::Channel> created = factory ? factory(name, number) : nullptr;
    if (!created)
        return {};
    const QString qname = QString::fromStdString(name);
    {
        QMutexLocker lock(&m_channelsMutex);
        m_namedChannels.insert(qname, created);
    }
    emit channelOpened(qname);
    return created;
}

void VnServerConnection::onChannelClose(std::string name, unsigned char number) {
    Q_UNUSED(number)
    const QString qname = QString::fromStdString(name);
    emit channelClosed(qname);
    std::shared_ptr<Protocol::Channel> released;
    {
        QMutexLocker lock(&m_channelsMutex);
        released = m_namedChannels.take(qname);
    }
    // `released` goes here, outside the lock; the machine still holds its own reference.
}

void VnServerConnection::onSurfaceFrameEnd(std::uint16_t frameId) {
    emit gotFrameEnd();
    sendFrameAck(frameId); // written and flushed on this thread by the queued write
}

void VnServerConnection::onNetworkDetectBegin() {
    // A second Begin before the End starts the measurement over; the End then closes the later one.
    m_networkDetectTimer.restart();
    m_receivedBytes = 0;
    m_networkDetectOpen = true;
}

void VnServerConnection::onNetworkDetectEnd(std::uint64_t value) {
    // Results answer the End of a measurement; an End that closes no Begin has nothing to report.
    if (!m_networkDetectOpen) {
        if (!m_strayNetworkDetectEndLogged) {
            m_strayNetworkDetectEndLogged = true;
            qCWarning(lcConnection) << "Network detection end without its begin ignored";
        }
        return;
    }
    m_networkDetectOpen = false;
    const quint64 elapsed = quint64(m_networkDetectTimer.elapsed());
    if (state() == MainSequence)
        sendNetworkDetectResults(value, elapsed, m_receivedBytes);
}

void VnServerConnection::onPointerCreate(std::uint8_t pointerId, std::uint16_t hotspotX,
                                         std::uint16_t hotspotY, Protocol::Blob png) {
    if (png.size() > std::size_t(MaxPointerBytes)) {
        qCWarning(lcConnection) << "Pointer image of" << png.size() << "bytes dropped";
        return;
    }
    QByteArray bytes(reinterpret_cast<const char*>(png.data()), static_cast<int>(png.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "PNG");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > MaxPointerSide || size.height() > MaxPointerSide) {
        qCWarning(lcConnection) << "Pointer image of size" << size << "dropped";
        return;
    }
    const QImage image = reader.read();
    if (image.isNull())
        qCWarning(lcConnection) << "Pointer image unreadable:" << reader.errorString();
    emit createPointer(pointerId, QPoint(hotspotX, hotspotY), image);
}

void VnServerConnection::onPointerHide() {
    emit hidePointer();
}

void VnServerConnection::onPointerPosition(std::uint16_t x, std::uint16_t y) {
    emit movePointer(QPoint(x, y));
}

void VnServerConnection::onPointerSetCached(std::uint8_t pointerId) {
    emit setPointer(pointerId);
}

void VnServerConnection::onPointerSystem() {
    emit setSystemPointer();
}

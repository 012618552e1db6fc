#pragma once

// One session's link to the display server: the socket (raw TCP for "velnor" URLs, WebSocket otherwise),
// the handshake, settings both ways, pointers, frame acknowledgement, network detection and side channels.
// Lives on the session's network thread; sends and channel requests may come from any thread.

#include "viewer/engine/surfaces/VnSurfacePipeline.h"
#include "viewer/protocol/ClientMachine.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QString>
#include <QThread>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QTcpSocket;
class QWebSocket;

Q_DECLARE_METATYPE(QSet<Protocol::Byte>)

// Shared between a connection and the channel objects its factories made. A channel object can outlive
// the connection (it waits for its deferred delete on its own thread); once the connection is gone its
// sends and error reports are dropped instead of reaching a deleted machine.
struct VnChannelLink {
    QRecursiveMutex mutex; // held across a call into the connection; recursive for nested sends
    bool alive = true;
};

template <typename T>
class VnLinkedChannel final : public Protocol::ClientMachine::ChannelForwarder<T> {
    using Forwarder = Protocol::ClientMachine::ChannelForwarder<T>;

public:
    VnLinkedChannel(std::shared_ptr<VnChannelLink> link, Protocol::ClientMachine& machine, std::string name,
                    uchar number)
        : Forwarder(machine, std::move(name), number, nullptr)
        , m_link(std::move(link)) {}

    void send(std::vector<std::uint8_t> frame) override {
        QMutexLocker lock(&m_link->mutex);
        if (m_link->alive)
            Forwarder::send(std::move(frame));
    }
    void error(std::string message, unsigned char level) override {
        QMutexLocker lock(&m_link->mutex);
        if (m_link->alive)
            Forwarder::error(std::move(message), level);
    }

private:
    std::shared_ptr<VnChannelLink> m_link;
};

class VnServerConnection : public QObject, public Protocol::ClientMachine {
    Q_OBJECT
public:
    using ChannelFactory = std::function<std::shared_ptr<Protocol::Channel>(std::string name, uchar number)>;

    // Longest frame either transport accepts: all that the TCP length prefix (four LEB128 bytes) can
    // announce. A longer WebSocket message ends the session. Memory follows the bytes that arrive, never
    // the announced length.
    static constexpr quint32 MaxFrame = (1u << 28) - 1;
    // Pointer images beyond these are dropped without being decoded.
    static constexpr int MaxPointerBytes = 1024 * 1024;
    static constexpr int MaxPointerSide = 512;

    VnServerConnection(const QString& identity, const QString& displayName, const QByteArray& password,
                       const QNetworkProxy& proxy = QNetworkProxy(QNetworkProxy::NoProxy),
                       QObject* parent = nullptr);
    ~VnServerConnection() override;

    // Tries the requests in order (WebSocket URLs only; a "velnor" URL is the last one tried).
    Q_INVOKABLE void connectToServer(QList<QNetworkRequest> requests);

    void sendKeyboardSetting(quint32 layout, quint32 type);
    void sendGeometrySetting(QSize size, QSize sizeMM);
    void sendGeometrySetting(QSize size);
    void sendAutomaticAdjustSetting(quint8 enabled);
    void sendQualitySettings(quint8 adjust, quint8 compression, quint8 frameRate, quint8 frameWindow);
    void sendCompressionSetting(quint8 value);
    void sendFrameRateSetting(quint8 value);
    void sendFrameWindowSetting(quint8 value);
    void sendSmallBlockImageFormatSetting(quint8 codec);
    void sendBigBlockImageFormatSetting(quint8 codec);
    void sendBigBlockMinimumSizeSetting(quint16 width, quint16 height);
    void sendHighQualityUpgradesSetting(quint8 enabled);

    // Asks the server for a channel; the factory makes the channel object when the server opens it.
    // A second request for a name that is still pending is dropped.
    void requestChannel(const QString& name, ChannelFactory factory);
    // The open channel of that name, or empty. Safe from any thread.
    std::shared_ptr<Protocol::Channel> channel(const QString& name) const;

    // A factory for a channel class T (a QObject and a Protocol::Channel constructed from (name, number,
    // parent)). The object has no Qt parent, lives on `home` (or the calling thread when null) and is
    // deleted there, once, when the last reference goes.
    template <typename T>
    ChannelFactory channelFactory(QThread* home = nullptr);

    // State of the network thread: read it there (a posted call, a direct slot), not from another thread.
    bool passwordCapability() const { return m_passwordCapability; }
    QSet<Protocol::Byte> negotiatedCodecs() const { return m_negotiatedCodecs; }
    // Image reader format per image codec id, known from the server's Identity on.
    QMap<uchar, QByteArray> codecFormatNames() const { return m_codecFormatNames; }
    bool ignoreFrame() const { return m_ignoreFrame; }
    void setIgnoreFrame(bool ignore) {
        m_ignoreFrame = ignore;
        m_surfaces->setIgnoreFrame(ignore);
    }
    quint64 receivedBytes() const { return m_receivedBytes; }

    // Protocol::ClientMachine
    void send(std::vector<std::uint8_t> frame) override;
    void error(std::string message, unsigned char level) override;
    void onDisconnect(std::string reason, unsigned char level) override;
    void onIdentity(unsigned char version, std::string identity) override;
    void onCapabilities(Protocol::BlobList entries) override;
    void onSettings(Protocol::BlobList entries) override;
    std::shared_ptr<Protocol::Channel> onChannelOpen(std::string name, unsigned char number) override;
    void onChannelClose(std::string name, unsigned char number) override;
    void onSurfaceFrameEnd(std::uint16_t frameId) override;
    void onNetworkDetectBegin() override;
    void onNetworkDetectEnd(std::uint64_t value) override;
    void onPointerCreate(std::uint8_t pointerId, std::uint16_t hotspotX, std::uint16_t hotspotY,
                         Protocol::Blob png) override;
    void onPointerHide() override;
    void onPointerPosition(std::uint16_t x, std::uint16_t y) override;
    void onPointerSetCached(std::uint8_t pointerId) override;
    void onPointerSystem() override;

    // Surfaces (VnServerConnectionSurfaces.cpp): the queued surface commands, the progressive tile cache
    // and the decode pool. applyCommands runs on the network thread, under the controller's lock.
    bool applyCommands(Surface::SurfaceMap& surfaces, Surface::CommandList& changes);
    void pruneTileCache(std::uint32_t surfaceId, int width, int height);
    Rfx7PackedTileEntry& tileCacheEntry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y);
    QThreadPool* decodePool() const { return m_surfaces->decodePool(); }
    VnWorkTeam* decodeTeam() const { return m_surfaces->decodeTeam(); }

    // Surface messages. They become queued surface commands in the surface layer; see
    // VnServerConnectionSurfaces.cpp.
    void onSurfaceCreate(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) override;
    void onSurfaceDestroy(std::uint32_t surfaceId) override;
    void onSurfaceResize(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) override;
    void onSurfaceCopy(std::uint32_t sourceId, Protocol::RectList rects, std::uint32_t destinationId,
                       Protocol::Offset offset) override;
    void onRfx7Update(std::uint32_t surfaceId, Protocol::QuantSet quantY, Protocol::QuantSet quantCb,
                      Protocol::QuantSet quantCr, Protocol::RectList rects, Protocol::TileList tiles,
                      bool progressive) override;
    void onImageCodecUpdate(std::uint8_t codecId, std::uint32_t surfaceId, Protocol::RectList rects,
                            Protocol::TileList tiles) override;

signals:
    void connected();
    void finished(QString message, uchar level);
    void channelClosed(QString channelName);
    void channelOpened(QString channelName);
    void enteredMainSequence();
    void gotKeyboardSetting(uint layout, uint type);
    void gotGeometrySetting(ushort width, ushort height, uint widthMM, uint heightMM);
    void gotAutomaticAdjustSetting(bool enabled);
    void gotCompressionSetting(uchar value, uchar min, uchar max);
    void gotFrameRateSetting(uchar value, uchar min, uchar max);
    void gotFrameWindowSetting(uchar value, uchar min, uchar max);
    void gotSmallBlockImageFormatSetting(uchar codecId);
    void gotBigBlockImageFormatSetting(uchar codecId);
    void gotBigBlockMinimumSizeSetting(ushort width, ushort height);
    void gotHighQualityUpgradesSetting(bool enabled);
    void gotFrameEnd();
    void createPointer(uchar id, QPoint hotspot, QImage cursor);
    void hidePointer();
    void movePointer(QPoint pos);
    void setPointer(uchar id);
    void setSystemPointer();
    void supportedCodecsChanged(QSet<Protocol::Byte> codecIds);

private slots:
    void onSocketConnected();
    void onSocketDisconnected();
    void onError(QAbstractSocket::SocketError error);
    void handleBinaryMessageReceived(QByteArray bytes);
    void handleReadyRead();

private:
    bool onOwnThread() const;
    // Emits finished once per session; later causes are only logged.
    void finish(const QString& message, uchar level);
    void dropWebSocket(bool close);
    void dropTcpSocket(bool close);
    // On the network thread: checks the socket, then queues the write behind what is already posted.
    void queueFrame(std::vector<std::uint8_t> frame);
    void queueWebSocketFrame(std::vector<std::uint8_t> frame);
    void queueTcpFrame(std::vector<std::uint8_t> frame);
    void doRequestChannel(const std::string& name, ChannelFactory factory);
    void setUpSurfaces();

    QPointer<QWebSocket> m_webSocket;
    QPointer<QTcpSocket> m_tcpSocket;
    QList<QNetworkRequest> m_requests; // candidates not yet tried
    QByteArray m_readBuffer;
    quint32 m_expectedLength = 0;
    QString m_displayName;
    QByteArray m_password;
    std::map<std::string, ChannelFactory> m_pendingChannels;
    // Requests made before the main sequence, in order; sent when it starts.
    std::vector<std::string> m_channelRequestsToSend;
    mutable QMutex m_channelsMutex; // guards m_namedChannels
    QMap<QString, std::shared_ptr<Protocol::Channel>> m_namedChannels;
    QMap<uchar, QByteArray> m_codecFormatNames;
    QSet<Protocol::Byte> m_negotiatedCodecs;
    QNetworkProxy m_proxy;
    bool m_passwordCapability = false;
    bool m_enteredMainSequence = false;
    bool m_ignoreFrame = false;
    bool m_finished = false;
    std::shared_ptr<VnChannelLink> m_channelLink = std::make_shared<VnChannelLink>();
    QElapsedTimer m_networkDetectTimer;
    bool m_networkDetectOpen = false; // a Begin awaits its End
    bool m_strayNetworkDetectEndLogged = false;
    quint64 m_receivedBytes = 0;
    VnSurfacePipeline* m_surfaces = nullptr; // child: moves to the network thread with the connection
};

template <typename T>
VnServerConnection::ChannelFactory VnServerConnection::channelFactory(QThread* home) {
    return [this, home](std::string name, uchar number) -> std::shared_ptr<Protocol::Channel> {
        auto* channel = new VnLinkedChannel<T>(m_channelLink, *this, std::move(name), number);
        if (home)
            channel->moveToThread(home);
        return std::shared_ptr<Protocol::Channel>(channel, [channel](Protocol::Channel*) {
            // On its own thread from that thread's event loop; at once when the loop has ended there (a
            // network thread going down delivers no deferred delete posted while it finishes).
            QThread* current = QThread::currentThread();
            if (channel->thread() == current && current->loopLevel() == 0)
                delete channel;
            else
                channel->deleteLater();
        });
    };
}

#pragma once

// A display server on loopback for tests and benchmarks: it accepts one client at a time over WebSocket,
// secure WebSocket or the raw length-prefixed TCP transport, runs the server side of the handshake, records
// every frame both ways in a transcript and lets a test script everything else.
//
//     DisplaySim::ServerOptions options;                 // ws, no password, codecs 2, 3, 4, 7
//     options.capabilities << DisplaySim::Entry::password();
//     DisplaySim::Server server(options);
//     server.listen();                                   // 127.0.0.1, free port; server.url() to connect
//     ...start the client...
//     QVERIFY(server.awaitMainSequence());               // handshake done, first Settings sent
//     server.sendSurfaceCreate(0, 640, 480);
//     server.sendFrameEnd(1);
//     QVERIFY(server.awaitAck(1));
//     auto frame = server.awaitFrame(0, DisplaySim::Msg::Settings);   // taken from the unawaited frames
//     qDebug().noquote() << server.transcriptText();     // every frame both ways, in hex
//
// The waits run the calling thread's event loop, so the client must live on another thread or be driven
// by the same loop.

#include "SimWire.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QImage;
class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace DisplaySim {

enum class Transport { WebSocket, SecureWebSocket, Tcp };

enum class WriteMode {
    Whole,       // one write per frame
    ByteAtATime, // TCP: every byte is its own write
    Coalesced,   // TCP: all frames sent in one event-loop turn go out in a single write
};

struct ServerOptions {
    Transport transport = Transport::WebSocket;
    QString path = QStringLiteral("/client/protocol");
    quint8 protocolVersion = 1;
    QString identity = QStringLiteral("DisplaySim");
    // Capabilities entries; add Entry::password() to ask the client for Security.
    QList<QByteArray> capabilities{Entry::rfx7(), Entry::jpeg(), Entry::codecList({2, 3, 4, 7})};
    // When set, a Security with any other password is answered with a Disconnect.
    std::optional<QByteArray> expectedPassword;
    // The first Settings, which takes the client into its main sequence.
    QList<QByteArray> firstSettings{Entry::geometry(1024, 768)};
    // Send firstSettings by ourselves at the end of the handshake; otherwise the test does.
    bool autoFirstSettings = true;
    // Answer Identity, Capabilities and Security by ourselves.
    bool autoHandshake = true;
    // Open every requested channel with the next free number.
    bool autoOpenChannels = false;
    WriteMode writeMode = WriteMode::Whole;
    int writeDelayMs = 0; // pause between writes (between bytes in ByteAtATime)
    // Most transcript entries and unawaited client frames kept; the oldest go first.
    int historyLimit = 100000;
    // For SecureWebSocket: certificate and key in PEM.
    QByteArray certificatePem;
    QByteArray keyPem;
};

struct ClientFrame {
    quint8 channel = 0;
    std::optional<quint8> messageId;
    QByteArray bytes; // the whole frame, channel byte included
    FrameReader fields() const { return FrameReader(bytes, 2); }
};

struct TranscriptEntry {
    enum Kind { FromClient, ToClient, RawToClient, Event };
    Kind kind;
    QByteArray bytes;
    QString note;
};

struct NetworkDetectResult {
    quint64 value = 0;
    quint64 elapsedMs = 0;
    quint64 receivedBytes = 0;
};

// What the client told us during the current session.
struct SessionRecord {
    std::optional<quint8> clientVersion;
    QString clientIdentity;
    QList<QByteArray> clientCapabilities;
    bool gotSecurity = false;
    QString displayName;
    QByteArray password;
    QList<QList<QByteArray>> clientSettings; // one list per Settings message
    QList<QString> channelRequests;
    QList<quint16> frameAcks;
    QList<NetworkDetectResult> networkDetectResults;
    // Results that answer no End closing a Begin (an End without its Begin, or a second End).
    int networkDetectOutOfSequence = 0;
    bool mainSequence = false; // first Settings sent
};

// One WebSocket upgrade the server accepted: where the client asked to go and the token it sent.
struct UpgradeRequest {
    QString path;
    QString query;
    QByteArray token; // "X-VELNOR-TOKEN"; null when the header was absent
};

class Server : public QObject {
    Q_OBJECT
public:
    explicit Server(ServerOptions options = {}, QObject* parent = nullptr);
    ~Server() override;

    ServerOptions& options() { return m_options; }

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    void stop();
    quint16 port() const;
    QUrl url() const;
    QString errorString() const { return m_error; }

    bool hasClient() const;
    const SessionRecord& record() const { return m_record; }
    // Every WebSocket upgrade since listen(), oldest first.
    QList<UpgradeRequest> upgrades() const { return m_upgrades; }
    const QList<TranscriptEntry>& transcript() const { return m_transcript; }
    QString transcriptText() const;
    int clientCount() const { return m_clientCount; }

    // Waiting, with the event loop running. Frames taken by awaitFrame are not returned again.
    bool awaitClient(int timeoutMs = 5000);
    bool awaitMainSequence(int timeoutMs = 5000);
    bool awaitClientGone(int timeoutMs = 5000);
    std::optional<ClientFrame> awaitFrame(quint8 channel, quint8 messageId, int timeoutMs = 5000);
    std::optional<ClientFrame> awaitFrame(const std::function<bool(const ClientFrame&)>& match,
                                          int timeoutMs = 5000);
    bool awaitAck(quint16 frameId, int timeoutMs = 5000);
    // True when nothing matching arrives within the time.
    bool noFrame(quint8 channel, quint8 messageId, int waitMs);
    QList<ClientFrame> pendingFrames() const { return m_pending; }

    // Sending.
    void send(const QByteArray& frame);
    void
    sendRaw(const QByteArray& bytes); // no framing: bytes straight onto the stream (WebSocket: one message)
    void sendDisconnect(const QString& reason, std::optional<quint8> level = std::nullopt);
    void sendIdentity();
    void sendIdentity(quint8 version, const QString& identity);
    void sendCapabilities(const QList<QByteArray>& entries);
    void sendSettings(const QList<QByteArray>& entries);
    void sendChannelOpen(const QString& name, quint8 status, quint8 number);
    void sendChannelClose(quint8 number);
    void sendChannelFrame(quint8 number, const QByteArray& afterChannelByte);
    void sendSurfaceCreate(quint32 id, quint16 width, quint16 height);
    void sendSurfaceDestroy(quint32 id);
    void sendSurfaceResize(quint32 id, quint16 width, quint16 height);
    void sendSurfaceCopy(quint32 source, const QVector<Rect>& rects, quint32 destination, qint16 dx,
                         qint16 dy);
    void sendSurfaceBits(quint32 surfaceId, quint8 codec, const QByteArray& body);
    // quantisers: three sets of five bytes (Y, Cb, Cr).
    void sendRfx7Update(quint32 surfaceId, bool progressive, const QByteArray& quantisers,
                        const QVector<Rect>& rects, const QVector<Tile>& tiles);
    // The image as RFX7 tiles (codec 2, or 7 with first passes) at (x, y) of the surface, with the usual
    // quantisers; keep x and y multiples of 64 so that tiles meet the client's tile grid. False when the
    // simulator was built without the tile encoder.
    bool sendRfx7Image(quint32 surfaceId, const QImage& image, int x, int y, bool progressive = false);
    static bool canEncodeRfx7();
    void sendImageUpdate(quint8 codec, quint32 surfaceId, const QVector<Rect>& rects,
                         const QVector<Tile>& tiles);
    void sendFrameBegin(quint16 frameId);
    void sendFrameEnd(quint16 frameId);
    void sendNetworkDetectBegin();
    void sendNetworkDetectEnd(quint64 value);
    void sendPointerCreate(quint8 id, quint16 hotX, quint16 hotY, const QByteArray& png);
    void sendPointerSetCached(quint8 id);
    void sendPointerHide();
    void sendPointerSystem();
    void sendPointerPosition(quint16 x, quint16 y);

    // Frame-acknowledge accounting: frame ends sent and not yet acknowledged.
    int framesInFlight() const { return m_unacked.size(); }
    int unexpectedAcks() const { return m_unexpectedAcks; }

    // Number assigned to a channel by autoOpenChannels, 0 when none.
    quint8 channelNumber(const QString& name) const { return m_openChannels.key(name, 0); }

    void closeClient(); // orderly close
    void abortClient(); // drop the connection at once

signals:
    void clientConnected();
    void clientDisconnected();
    void frameReceived(const DisplaySim::ClientFrame& frame);
    void mainSequenceEntered();
    void ackReceived(quint16 frameId);
    void channelRequested(const QString& name);

private:
    void onNewWebSocket();
    void onNewTcp();
    void attachClient();
    void detachClient();
    void onTcpReadyRead();
    void handleFrame(const QByteArray& frame);
    void handshakeStep(const ClientFrame& frame);
    void enqueue(const QByteArray& chunk);
    void pump();
    void writeNow(const QByteArray& chunk);
    bool waitFor(const std::function<bool()>& done, int timeoutMs);
    void note(const QString& text);
    void record(TranscriptEntry entry);

    ServerOptions m_options;
    QWebSocketServer* m_wsServer = nullptr;
    QTcpServer* m_tcpServer = nullptr;
    QPointer<QWebSocket> m_ws;
    QPointer<QTcpSocket> m_tcp;
    QByteArray m_readBuffer;
    QList<QByteArray> m_outQueue;
    int m_outOffset = 0; // bytes of the first queued chunk already written (ByteAtATime)
    QTimer* m_pumpTimer = nullptr;
    QString m_error;
    SessionRecord m_record;
    QList<UpgradeRequest> m_upgrades;
    QList<TranscriptEntry> m_transcript;
    QList<ClientFrame> m_pending;
    QSet<quint16> m_unacked;
    bool m_networkDetectOpen = false;      // a Begin was sent and no End since
    QList<quint64> m_networkDetectAwaited; // values of Ends that closed a Begin, not yet answered
    int m_unexpectedAcks = 0;
    QMap<quint8, QString> m_openChannels;
    int m_clientCount = 0;
};

// A self-signed certificate for 127.0.0.1/localhost made with the openssl command; empty on failure.
struct CertificatePair {
    QByteArray certificatePem;
    QByteArray keyPem;
    QString error;
};
CertificatePair makeSelfSignedCertificate();

} // namespace DisplaySim

Q_DECLARE_METATYPE(DisplaySim::ClientFrame)

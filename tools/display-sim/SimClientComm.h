#pragma once

// The server side of the "clientcomm" channel: its five messages, the "vn-share", "vn-notify" and
// "vn-url" services, and a decoded record of what the client sends on the channel.
//
//     DisplaySim::ClientCommPeer cc(server);
//     QVERIFY(cc.awaitOpen());                             // the client asked and the server opened it
//     QCOMPARE(cc.awaitClientTypes(), QStringList({"vn-notify", "vn-url", "vn-share"}));
//     cc.sendSettings({"vn-share"});
//     cc.shareHello(0, "c1", "master", "alice", "1.0");
//     auto request = cc.awaitFrame(DisplaySim::CcMsg::Message);   // e.g. the client's hello

#include "SimServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QStringList>

#include <optional>

namespace DisplaySim {

namespace CcMsg {
enum : quint8 { Capabilities = 1, Settings = 2, Message = 3, Response = 4, Nack = 5 };
}

// One frame the client sent on the channel, decoded by the simulator's own reader.
struct CcFrame {
    quint8 messageId = 0;
    bool wellFormed = false;
    quint16 requestId = 0; // Message, Response, Nack
    QString type;          // Message
    QByteArray data;       // Message, Response
    QString status;        // Nack
    quint8 format = 0;     // Settings
    QStringList types;     // Settings
    QByteArray bytes;      // the whole frame

    // The data parsed as a JSON object (empty when it is not one).
    QJsonObject json() const;
};

class ClientCommPeer : public QObject {
    Q_OBJECT
public:
    static const QString ChannelName;

    explicit ClientCommPeer(Server& server, QObject* parent = nullptr);

    // The number the server gave the channel; 0 while it is not open.
    quint8 number() const;
    bool awaitOpen(int timeoutMs = 5000);

    // Messages, on the open channel.
    void sendCapabilities(const QList<QByteArray>& entries);
    void sendSettings(const QStringList& types, quint8 format = 1);
    void sendMessage(quint16 id, const QString& type, const QByteArray& data);
    void sendResponse(quint16 id, const QByteArray& data);
    void sendNack(quint16 id, const QString& status);
    // Any bytes after the channel number, for malformed frames.
    void sendRaw(const QByteArray& afterChannelByte);

    // "vn-share" events.
    void shareHello(quint16 id, const QString& client, const QString& role, const QString& login,
                    const QString& version);
    void shareClientNotify(const QJsonArray& clients);
    void shareMeNotify(const QJsonObject& me);
    void shareMessage(const QString& client, const QJsonValue& message);
    static QJsonObject participant(const QString& client, const QString& role, const QString& status,
                                   const QString& name, const QString& login = QString(),
                                   const QString& version = QString());
    // "vn-notify" and "vn-url" requests.
    void notify(quint16 id, const QJsonObject& request);
    void openUrl(quint16 id, const QJsonObject& request);

    // What the client sent on the channel, in order (taken frames included).
    const QList<CcFrame>& received() const { return m_received; }
    // Takes the client's next frame of that message id (and, when given, request type).
    std::optional<CcFrame> awaitFrame(quint8 messageId, int timeoutMs = 5000);
    std::optional<CcFrame> awaitRequest(const QString& type, int timeoutMs = 5000);
    // The types named by the client's Settings.
    std::optional<QStringList> awaitClientTypes(int timeoutMs = 5000);

    static CcFrame decode(const QByteArray& frame);

private:
    void onFrame(const ClientFrame& frame);

    Server& m_server;
    QList<CcFrame> m_received;
};

} // namespace DisplaySim

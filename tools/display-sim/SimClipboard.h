#pragma once

// The server side of the "clipboard" channel: sends the channel's five messages and decodes and records
// every clipboard message the client sends. Written from the wire tables with the simulator's own reader
// and writer, independently of the client.
//
//     DisplaySim::SimClipboard clipboard(server);       // number from the server's automatic channel open
//     QVERIFY(clipboard.awaitMessage(DisplaySim::ClipboardMsg::Capabilities));
//     clipboard.sendCapabilities({DisplaySim::ClipboardMsg::serverToClient()});
//     clipboard.sendFormats(0, {"text/plain"});
//     auto request = clipboard.awaitMessage(DisplaySim::ClipboardMsg::DataRequest);

#include "SimServer.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

namespace DisplaySim {

namespace ClipboardMsg {
enum : quint8 { Capabilities = 1, Settings = 2, Formats = 3, DataRequest = 4, DataResponse = 5 };
QByteArray serverToClient(); // capability blob 1
QByteArray clientToServer(); // capability blob 2
} // namespace ClipboardMsg

// One clipboard message from the client, decoded. Fields that the message does not carry stay empty.
struct ClipboardMessage {
    quint8 id = 0;
    QList<QByteArray> blobs;   // Capabilities, Settings
    quint8 clipboardId = 0;    // Formats, DataRequest, DataResponse
    QList<QByteArray> formats; // Formats
    QByteArray format;         // DataRequest, DataResponse
    quint8 status = 0;         // DataResponse
    QByteArray data;           // DataResponse
    QByteArray bytes;          // the whole frame, channel byte included
};

class SimClipboard : public QObject {
    Q_OBJECT
public:
    // Listens to the server's client frames on the channel's number.
    explicit SimClipboard(Server& server, QObject* parent = nullptr);

    // The number the server's automatic open gave "clipboard", unless set here.
    quint8 number() const;
    void setNumber(quint8 number) { m_number = number; }

    void sendCapabilities(const QList<QByteArray>& blobs);
    void sendSettings(const QList<QByteArray>& blobs);
    void sendFormats(quint8 clipboardId, const QList<QByteArray>& formats);
    void sendDataRequest(quint8 clipboardId, const QByteArray& format);
    void sendDataResponse(quint8 status, quint8 clipboardId, const QByteArray& format,
                          const QByteArray& data);

    // Every well-formed clipboard message of the client, in order.
    const QList<ClipboardMessage>& received() const { return m_received; }
    // Client frames on the channel that could not be decoded.
    int malformed() const { return m_malformed; }

    // Waits, with the event loop running, for a message not yet taken by an earlier wait.
    std::optional<ClipboardMessage> awaitMessage(quint8 id, int timeoutMs = 5000);
    std::optional<ClipboardMessage> awaitMessage(const std::function<bool(const ClipboardMessage&)>& match,
                                                 int timeoutMs = 5000);
    // Messages not yet taken by a wait.
    QList<ClipboardMessage> pendingMessages() const { return m_pending; }

signals:
    void messageReceived(const DisplaySim::ClipboardMessage& message);

private:
    void onFrame(const ClientFrame& frame);

    QPointer<Server> m_server;
    quint8 m_number = 0;
    QList<ClipboardMessage> m_received;
    QList<ClipboardMessage> m_pending;
    int m_malformed = 0;
};

// Decodes one clipboard frame (channel byte first); empty when malformed.
std::optional<ClipboardMessage> decodeClipboardFrame(const QByteArray& frame);

} // namespace DisplaySim

Q_DECLARE_METATYPE(DisplaySim::ClipboardMessage)

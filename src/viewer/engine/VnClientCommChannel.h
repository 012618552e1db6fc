#pragma once

// The client-communication channel: a request/answer bus between the remote session and the viewer.
// Each message names a service type; the server's Settings offer types, and for each one the viewer
// serves the channel creates a listener that handles that type's messages on the GUI thread.

#include "viewer/protocol/ClientCommChannel.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <map>

class RdpMaster;
class VnClientCommChannel;

// A requester's handle on one request. The requester owns it; a callback deleted before the answer
// arrives is simply not told.
class VnClientCommCallback : public QObject {
    Q_OBJECT
public:
    explicit VnClientCommCallback(QObject* parent = nullptr);

signals:
    void gotResponse(ushort number, QByteArray data);
    void gotNack(ushort number, QString status);
};

// A listener for one service type. It is owned by its channel and keeps a guarded pointer to it.
class VnClientCommType : public QObject {
    Q_OBJECT
public:
    explicit VnClientCommType(VnClientCommChannel* channel);

    // Called on the GUI thread for every Message of the type.
    virtual void handle(quint16 id, QString type, QByteArray data) = 0;

protected:
    VnClientCommChannel* channel() const { return m_channel; }
    // Answers only when an answer was asked for (id != 0) and the channel still exists.
    void respond(quint16 id, const QByteArray& data);
    void refuse(quint16 id, const QString& status);

private:
    QPointer<VnClientCommChannel> m_channel;
};

class VnClientCommChannel : public QObject, public Protocol::ClientComm::ClientCommClientChannel {
    Q_OBJECT
public:
    // The status of the Nack for a type that has no listener.
    static const QString NoListenerStatus;
    // The status a callback gets when every request id is waiting for an answer.
    static const QString NoRequestIdStatus;

    // A non-null master takes the channel to its thread.
    VnClientCommChannel(std::string name, Protocol::Byte number, RdpMaster* master,
                        QObject* parent = nullptr);
    ~VnClientCommChannel() override;

    // Tells the server which types the viewer serves.
    void announceTypes();
    // Sends a Message of the type. With a callback the request gets an id and the callback is told the
    // answer; without one the id is 0 and no answer comes. False when nothing was sent; a callback then
    // gets a Nack with id 0 from the event loop.
    bool sendRequest(const QString& type, const QByteArray& data, VnClientCommCallback* callback = nullptr);
    void sendResponse(quint16 id, const QByteArray& data);
    void sendNack(quint16 id, const QString& status);

    // The live listener of the type, or null.
    VnClientCommType* listener(const QString& type) const;

signals:
    // Once for every type name in every Settings message from the server.
    void typeEnabled(QString type);

protected:
    void onCapabilities(Protocol::ClientComm::CapabilitiesMessage message) override;
    void onSettings(Protocol::ClientComm::SettingsMessage message) override;
    void onMessage(Protocol::ClientComm::MessageMessage message) override;
    void onResponse(Protocol::ClientComm::ResponseMessage message) override;
    void onNack(Protocol::ClientComm::NackMessage message) override;

private:
    void enableTypes(const QStringList& types);
    void dispatch(quint16 id, const QString& type, const QByteArray& data);
    QPointer<VnClientCommCallback> takeCallback(quint16 id);
    // The next free request id, or 0 when every id has a live callback.
    quint16 allocateRequestId();

    RdpMaster* m_master = nullptr; // not owned
    quint16 m_nextRequestId = 0;   // the last id handed out
    std::map<quint16, QPointer<VnClientCommCallback>> m_pendingCallbacks;
    std::map<QString, QPointer<VnClientCommType>> m_listeners;
};

#pragma once

// The "clipboard" side channel: plain text both ways between the local clipboard (and the primary
// selection) and the remote session. The decoder runs on the network thread; everything that touches
// the application clipboard runs on the GUI thread, where the object lives.

#include "viewer/engine/ClipboardClientChannel.h"
#include "viewer/engine/VnServerConnection.h"

#include <QMetaType>
#include <QObject>
#include <QPointer>

#include <atomic>
#include <list>
#include <string>

class RdpMaster;

class VnClipboardChannel : public QObject, public Protocol::Clipboard::ClipboardClientChannel {
    Q_OBJECT
public:
    // The framework's factories construct channels from (name, number, parent); attach() then joins the
    // channel to its session.
    VnClipboardChannel(std::string name, Protocol::Byte number, QObject* parent = nullptr);
    ~VnClipboardChannel() override;

    // The factory the controller requests "clipboard" with: the channel lives on the master's thread and
    // is attached to the master.
    static VnServerConnection::ChannelFactory factory(VnServerConnection& connection, RdpMaster* master);

    // From any thread: follows the master's handlePrimarySelection, taken on the channel's own thread
    // before any message that arrives after this call is handled.
    void attach(QPointer<RdpMaster> master);

    // Capabilities with the blobs 1 and 2.
    void sendCapabilities();
    // Formats for that clipboard id, offering "text/plain" only.
    void announceFormats(Protocol::Clipboard::ClipboardIds clipboardId);

    bool isActive() const { return m_active; }
    bool serverToClient() const { return m_serverToClient; }
    bool clientToServer() const { return m_clientToServer; }

    // Ids of channels: process-wide, never reused. lastClipboardWriter() is the id of the channel that
    // last wrote the local clipboard (not the selection), 0 for none. GUI thread only.
    quint64 writerId() const { return m_writerId; }
    static quint64 lastClipboardWriter();

    // Protocol::Clipboard::ClipboardClientChannel, on the network thread.
    void onCapabilities(std::list<Protocol::Blob> capabilities) override;
    void onSettings(std::list<Protocol::Blob> settings) override;
    void onFormats(Protocol::Clipboard::ClipboardIds clipboardId,
                   std::list<Protocol::String> formats) override;
    void onDataRequest(Protocol::Clipboard::ClipboardIds clipboardId, Protocol::String format) override;
    void onDataResponse(Protocol::Clipboard::RequestStatus status,
                        Protocol::Clipboard::ClipboardIds clipboardId, Protocol::String format,
                        Protocol::Blob data) override;

signals:
    void capabilities(std::list<Protocol::Blob> capabilities);
    void settings(std::list<Protocol::Blob> settings);

private slots:
    void handleSettings(std::list<Protocol::Blob> settings);
    void handleFormats(Protocol::Clipboard::ClipboardIds clipboardId, std::list<Protocol::String> formats);
    void handleDataRequest(Protocol::Clipboard::ClipboardIds clipboardId, Protocol::String format);
    void handleDataResponse(Protocol::Clipboard::RequestStatus status,
                            Protocol::Clipboard::ClipboardIds clipboardId, Protocol::String format,
                            Protocol::Blob data);
    void handleClipboardChange(int mode);

private:
    void bindClipboard();
    void bindMaster(const QPointer<RdpMaster>& master);

    QPointer<RdpMaster> m_master;
    // Written once by the decoder on the network thread, read on the GUI thread.
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_serverToClient{false};
    std::atomic<bool> m_clientToServer{false};
    bool m_settingSelection = false;
    bool m_handlePrimarySelection = true;
    const quint64 m_writerId;
};

Q_DECLARE_METATYPE(std::list<Protocol::Blob>)

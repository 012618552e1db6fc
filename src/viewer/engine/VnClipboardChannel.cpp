#include "viewer/engine/VnClipboardChannel.h"

#include "viewer/engine/RdpMaster.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeData>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QWidget> // RdpMaster.h returns a QPointer<QWidget> as a QWidget*

#include <utility>

using namespace Protocol::Clipboard;

namespace {

std::atomic<quint64> nextWriterId{1};
quint64 lastWriter = 0; // GUI thread only

QClipboard* applicationClipboard() {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::clipboard()
                                                                        : nullptr;
}

// Text travels with bare LF line breaks both ways; CR LF from either side becomes LF once.
QString withLineFeeds(QString text) {
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

bool isTextFormat(const Protocol::String& format) {
    return format == TextFormat;
}

} // namespace

VnClipboardChannel::VnClipboardChannel(std::string name, Protocol::Byte number, QObject* parent)
    : QObject(parent)
    , ClipboardClientChannel(std::move(name), number)
    , m_writerId(nextWriterId++) {
    qRegisterMetaType<std::list<Protocol::Blob>>();
    // Queued, so that it runs on the thread the object lives on by then (the factory moves it to the GUI
    // thread after construction on the network thread).
    QMetaObject::invokeMethod(this, &VnClipboardChannel::bindClipboard, Qt::QueuedConnection);
}

VnClipboardChannel::~VnClipboardChannel() = default;

VnServerConnection::ChannelFactory VnClipboardChannel::factory(VnServerConnection& connection,
                                                               RdpMaster* master) {
    VnServerConnection::ChannelFactory make = connection.channelFactory<VnClipboardChannel>(master->thread());
    const QPointer<RdpMaster> guard(master);
    return [make, guard](std::string name, uchar number) -> std::shared_ptr<Protocol::Channel> {
        std::shared_ptr<Protocol::Channel> channel = make(std::move(name), number);
        if (auto* clipboard = dynamic_cast<VnClipboardChannel*>(channel.get())) {
            clipboard->attach(guard);
        }
        return channel;
    };
}

void VnClipboardChannel::attach(QPointer<RdpMaster> master) {
    QMetaObject::invokeMethod(
        this, [this, master] { bindMaster(master); }, Qt::QueuedConnection);
}

void VnClipboardChannel::bindClipboard() {
    if (QClipboard* clipboard = applicationClipboard()) {
        connect(clipboard, &QClipboard::changed, this,
                [this](QClipboard::Mode mode) { handleClipboardChange(int(mode)); });
    }
}

void VnClipboardChannel::bindMaster(const QPointer<RdpMaster>& master) {
    m_master = master;
    if (!master) {
        return;
    }
    m_handlePrimarySelection = master->handlePrimarySelection();
    connect(master, &RdpMaster::handlePrimarySelectionChanged, this,
            [this](bool on) { m_handlePrimarySelection = on; });
}

quint64 VnClipboardChannel::lastClipboardWriter() {
    return lastWriter;
}

void VnClipboardChannel::sendCapabilities() {
    CapabilitiesMessage m;
    m.channel = number;
    m.capabilities = {Protocol::Blob{Capability::ServerToClient}, Protocol::Blob{Capability::ClientToServer}};
    sendMessage(m);
}

void VnClipboardChannel::announceFormats(ClipboardIds clipboardId) {
    FormatsMessage m;
    m.channel = number;
    m.clipboardId = clipboardId;
    m.formats = {TextFormat};
    sendMessage(m);
}

// ---- network thread -------------------------------------------------------------------------------------

void VnClipboardChannel::onCapabilities(std::list<Protocol::Blob> capabilities) {
    SettingsMessage settingsMessage;
    settingsMessage.channel = number;
    sendMessage(settingsMessage);
    FormatsMessage formats;
    formats.channel = number;
    formats.clipboardId = Clipboard;
    sendMessage(formats);
    for (const Protocol::Blob& blob : capabilities) {
        if (blob.empty()) {
            continue;
        }
        if (blob.front() == Capability::ServerToClient) {
            m_serverToClient = true;
        } else if (blob.front() == Capability::ClientToServer) {
            m_clientToServer = true;
        }
    }
    emit this->capabilities(capabilities);
    m_active = true;
}

void VnClipboardChannel::onSettings(std::list<Protocol::Blob> settings) {
    QTimer::singleShot(0, this, [this, settings] { handleSettings(settings); });
    emit this->settings(std::move(settings));
}

void VnClipboardChannel::onFormats(ClipboardIds clipboardId, std::list<Protocol::String> formats) {
    QTimer::singleShot(
        0, this, [this, clipboardId, formats = std::move(formats)] { handleFormats(clipboardId, formats); });
}

void VnClipboardChannel::onDataRequest(ClipboardIds clipboardId, Protocol::String format) {
    QTimer::singleShot(
        0, this, [this, clipboardId, format = std::move(format)] { handleDataRequest(clipboardId, format); });
}

void VnClipboardChannel::onDataResponse(RequestStatus status, ClipboardIds clipboardId,
                                        Protocol::String format, Protocol::Blob data) {
    QTimer::singleShot(0, this,
                       [this, status, clipboardId, format = std::move(format), data = std::move(data)] {
                           handleDataResponse(status, clipboardId, format, data);
                       });
}

// ---- GUI thread ----------------------------------------------------------------------------------------

void VnClipboardChannel::handleSettings(std::list<Protocol::Blob>) {}

void VnClipboardChannel::handleFormats(ClipboardIds clipboardId, std::list<Protocol::String> formats) {
    QClipboard* clipboard = applicationClipboard();
    if (!m_active || !m_serverToClient || !clipboard) {
        return;
    }
    if (clipboardId == Selection && !m_handlePrimarySelection) {
        return;
    }
    bool text = false;
    for (const Protocol::String& format : formats) {
        text = text || isTextFormat(format);
    }
    if (!text) {
        return;
    }
    DataRequestMessage request;
    request.channel = number;
    request.clipboardId = clipboardId;
    request.format = TextFormat;
    sendMessage(request);
}

void VnClipboardChannel::handleDataRequest(ClipboardIds clipboardId, Protocol::String format) {
    QClipboard* clipboard = applicationClipboard();
    if (!m_active || !m_clientToServer || !clipboard) {
        return;
    }
    // Which local clipboard answers: without a selection the clipboard stands in for it; a selection
    // left alone by the user's choice, and unknown ids, have nothing to give.
    const QMimeData* mime = nullptr;
    if (clipboardId == Clipboard || (clipboardId == Selection && !clipboard->supportsSelection())) {
        mime = clipboard->mimeData(QClipboard::Clipboard);
    } else if (clipboardId == Selection && m_handlePrimarySelection) {
        mime = clipboard->mimeData(QClipboard::Selection);
    }
    DataResponseMessage response;
    response.channel = number;
    response.clipboardId = clipboardId;
    response.format = std::move(format);
    if (isTextFormat(response.format) && mime && mime->hasText()) {
        const QByteArray utf8 = withLineFeeds(mime->text()).toUtf8();
        response.status = Available;
        response.data.assign(utf8.begin(), utf8.end());
    }
    sendMessage(response);
}

void VnClipboardChannel::handleDataResponse(RequestStatus status, ClipboardIds clipboardId,
                                            Protocol::String format, Protocol::Blob data) {
    QClipboard* clipboard = applicationClipboard();
    if (!m_active || !m_serverToClient || !clipboard || !isTextFormat(format) || status != Available) {
        return;
    }
    QString text = QString::fromUtf8(reinterpret_cast<const char*>(data.data()), int(data.size()));
    int end = text.size();
    while (end > 0 && text.at(end - 1) == QChar(0)) {
        --end;
    }
    text.truncate(end);
    text = withLineFeeds(std::move(text));

    const bool selection = clipboard->supportsSelection();
    if (clipboardId == Clipboard || (clipboardId == Selection && !selection && m_handlePrimarySelection)) {
        // Before the write: the platform may report the change while the write is still running.
        lastWriter = m_writerId;
        clipboard->setText(text, QClipboard::Clipboard);
    } else if (clipboardId == Selection && selection && m_handlePrimarySelection) {
        m_settingSelection = true;
        clipboard->setText(text, QClipboard::Selection);
        m_settingSelection = false;
    }
}

void VnClipboardChannel::handleClipboardChange(int mode) {
    QClipboard* clipboard = applicationClipboard();
    if (!m_active || !m_clientToServer || !clipboard) {
        return;
    }
    if (mode == QClipboard::Clipboard) {
        if (!clipboard->ownsClipboard()) {
            lastWriter = 0;
        }
        if (lastWriter != m_writerId) {
            announceFormats(Clipboard);
            if (!clipboard->supportsSelection()) {
                announceFormats(Selection);
            }
        }
    } else if (mode == QClipboard::Selection) {
        if (!m_settingSelection && m_handlePrimarySelection) {
            announceFormats(Selection);
        }
    }
}

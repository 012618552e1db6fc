#include "viewer/engine/VnClientCommChannel.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnCcNotify.h"
#include "viewer/engine/VnCcShare.h"
#include "viewer/engine/VnCcUrl.h"
#include "viewer/engine/constants/ViewerConstants.h"

#include <QMetaObject>
#include <QStringList>
#include <QThread>

#include <utility>

namespace {

std::string toUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

QString fromUtf8(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

QByteArray toByteArray(const Protocol::Blob& blob) {
    return QByteArray(reinterpret_cast<const char*>(blob.data()), int(blob.size()));
}

Protocol::Blob toBlob(const QByteArray& bytes) {
    return Protocol::Blob(bytes.constBegin(), bytes.constEnd());
}

} // namespace

const QString VnClientCommChannel::NoListenerStatus =
    QStringLiteral("{ \"error\":{\"name\":\"refused\", \"message\":\"No listener for type\"}}");
const QString VnClientCommChannel::NoRequestIdStatus = QStringLiteral(
    "{ \"error\":{\"name\":\"busy\", \"message\":\"Too many requests waiting for an answer\"}}");

// ---- callback and listener base ------------------------------------------------------------------------

VnClientCommCallback::VnClientCommCallback(QObject* parent)
    : QObject(parent) {}

VnClientCommType::VnClientCommType(VnClientCommChannel* channel)
    : QObject(channel)
    , m_channel(channel) {}

void VnClientCommType::respond(quint16 id, const QByteArray& data) {
    if (id != 0 && m_channel) {
        m_channel->sendResponse(id, data);
    }
}

void VnClientCommType::refuse(quint16 id, const QString& status) {
    if (id != 0 && m_channel) {
        m_channel->sendNack(id, status);
    }
}

// ---- channel -------------------------------------------------------------------------------------------

VnClientCommChannel::VnClientCommChannel(std::string name_, Protocol::Byte number_, RdpMaster* master,
                                         QObject* parent)
    : QObject(parent)
    , Protocol::ClientComm::ClientCommClientChannel(std::move(name_), number_)
    , m_master(master) {
    if (m_master && !parent) {
        moveToThread(m_master->thread());
    }
}

// The listeners are children and go with the channel; the callbacks belong to their requesters.
VnClientCommChannel::~VnClientCommChannel() = default;

void VnClientCommChannel::announceTypes() {
    Protocol::ClientComm::SettingsMessage m;
    m.channel = number;
    for (const QString& type :
         {VnConstants::NotifyTypeName, VnConstants::UrlTypeName, VnConstants::ShareTypeName}) {
        m.types.push_back(toUtf8(type));
    }
    sendSettings(m);
}

bool VnClientCommChannel::sendRequest(const QString& type, const QByteArray& data,
                                      VnClientCommCallback* callback) {
    quint16 id = 0;
    if (callback) {
        id = allocateRequestId();
        if (id == 0) {
            // Every id waits for an answer: fail this request rather than reuse a live one.
            QPointer<VnClientCommCallback> guarded(callback);
            QMetaObject::invokeMethod(
                callback,
                [guarded] {
                    if (guarded) {
                        emit guarded->gotNack(0, NoRequestIdStatus);
                    }
                },
                Qt::QueuedConnection);
            return false;
        }
        m_pendingCallbacks[id] = callback;
    }
    Protocol::ClientComm::MessageMessage m;
    m.channel = number;
    m.requestId = id;
    m.type = toUtf8(type);
    m.data = toBlob(data);
    return sendMessage(m);
}

quint16 VnClientCommChannel::allocateRequestId() {
    for (int tries = 0; tries < 65536; ++tries) {
        ++m_nextRequestId; // wraps from 65535 to 0
        if (m_nextRequestId == 0) {
            continue;
        }
        const auto it = m_pendingCallbacks.find(m_nextRequestId);
        if (it == m_pendingCallbacks.end() || !it->second) {
            return m_nextRequestId;
        }
    }
    return 0;
}

void VnClientCommChannel::sendResponse(quint16 id, const QByteArray& data) {
    Protocol::ClientComm::ResponseMessage m;
    m.channel = number;
    m.requestId = id;
    m.data = toBlob(data);
    Protocol::ClientComm::ClientCommClientChannel::sendResponse(m);
}

void VnClientCommChannel::sendNack(quint16 id, const QString& status) {
    Protocol::ClientComm::NackMessage m;
    m.channel = number;
    m.requestId = id;
    m.status = toUtf8(status);
    Protocol::ClientComm::ClientCommClientChannel::sendNack(m);
}

VnClientCommType* VnClientCommChannel::listener(const QString& type) const {
    const auto it = m_listeners.find(type);
    return it == m_listeners.end() ? nullptr : it->second.data();
}

void VnClientCommChannel::onCapabilities(Protocol::ClientComm::CapabilitiesMessage) {}

// The handlers below run on the network thread; everything they lead to runs on the channel's thread,
// in the order the frames arrived.

void VnClientCommChannel::onSettings(Protocol::ClientComm::SettingsMessage message) {
    QStringList types;
    types.reserve(int(message.types.size()));
    for (const std::string& name : message.types) {
        types << fromUtf8(name);
    }
    QMetaObject::invokeMethod(
        this, [this, types] { enableTypes(types); }, Qt::QueuedConnection);
}

void VnClientCommChannel::onMessage(Protocol::ClientComm::MessageMessage message) {
    const quint16 id = message.requestId;
    const QString type = fromUtf8(message.type);
    const QByteArray data = toByteArray(message.data);
    QMetaObject::invokeMethod(
        this, [this, id, type, data] { dispatch(id, type, data); }, Qt::QueuedConnection);
}

void VnClientCommChannel::onResponse(Protocol::ClientComm::ResponseMessage message) {
    const quint16 id = message.requestId;
    const QByteArray data = toByteArray(message.data);
    QMetaObject::invokeMethod(
        this,
        [this, id, data] {
            if (const QPointer<VnClientCommCallback> callback = takeCallback(id)) {
                emit callback->gotResponse(id, data);
            }
        },
        Qt::QueuedConnection);
}

void VnClientCommChannel::onNack(Protocol::ClientComm::NackMessage message) {
    const quint16 id = message.requestId;
    const QString status = fromUtf8(message.status);
    QMetaObject::invokeMethod(
        this,
        [this, id, status] {
            if (const QPointer<VnClientCommCallback> callback = takeCallback(id)) {
                emit callback->gotNack(id, status);
            }
        },
        Qt::QueuedConnection);
}

void VnClientCommChannel::enableTypes(const QStringList& types) {
    for (const QString& type : types) {
        VnClientCommType* created = nullptr;
        if (type == VnConstants::UrlTypeName) {
            created = new VnCcUrl(this);
        } else if (type == VnConstants::NotifyTypeName) {
            created = new VnCcNotify(this);
        } else if (type == VnConstants::ShareTypeName) {
            created = new VnCcShare(this);
        }
        if (created) {
            QPointer<VnClientCommType>& slot = m_listeners[type];
            if (slot) {
                slot->deleteLater();
            }
            slot = created;
        }
        emit typeEnabled(type);
    }
}

void VnClientCommChannel::dispatch(quint16 id, const QString& type, const QByteArray& data) {
    VnClientCommType* target = listener(type);
    if (!target) {
        if (id != 0) {
            sendNack(id, NoListenerStatus);
        }
        return;
    }
    target->handle(id, type, data);
}

QPointer<VnClientCommCallback> VnClientCommChannel::takeCallback(quint16 id) {
    const auto it = m_pendingCallbacks.find(id);
    if (it == m_pendingCallbacks.end()) {
        return {};
    }
    QPointer<VnClientCommCallback> callback = it->second;
    m_pendingCallbacks.erase(it);
    return callback;
}

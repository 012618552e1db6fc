#include "viewer/widgets/RdpBasic.h"

#include "platform/viewer/ViewerPlatform.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnServerConnection.h"
#include "viewer/protocol/InputMessages.h"
#include "viewer/widgets/KeyboardHook.h"
#include "viewer/widgets/RdpLogDialog.h"

#include <QLoggingCategory>
#include <QPixmap>

#include <algorithm>

namespace {

Q_LOGGING_CATEGORY(lcInput, "velnor.input")

constexpr quint32 ScanLeftShift = 42;
constexpr quint32 ScanRightShift = 54;

// Protocol positions are unsigned 16-bit.
QPoint clampPosition(QPoint p) {
    return QPoint(std::clamp(p.x(), 0, 0xFFFF), std::clamp(p.y(), 0, 0xFFFF));
}

} // namespace

RdpBasic::RdpBasic(RdpMaster* master, QObject* parent)
    : VnSurface(master, 0, parent)
    , m_master(master)
    , m_mouseTimer(new QTimer(this)) {
    m_mouseTimer->setObjectName(QStringLiteral("mouseTimer"));
    m_mouseTimer->setSingleShot(true);
    m_mouseTimer->setInterval(master->mouseQuantum());
    connect(master, &RdpMaster::mouseQuantumChanged, m_mouseTimer, qOverload<int>(&QTimer::setInterval));
    connect(master, &RdpMaster::capturesKeysChanged, this, &RdpBasic::handleCapturesKeysChangeFromMaster);
    connect(master, &RdpMaster::focusChanged, this, &RdpBasic::handleFocusChangeFromMaster);
    connect(m_mouseTimer, &QTimer::timeout, this, &RdpBasic::maybeSendPosition);
    connect(master, &RdpMaster::connectedChanged, this, &RdpBasic::connectPointerSignals);
}

RdpBasic::~RdpBasic() {
    KeyboardHook::releaseFor(this);
}

QCursor RdpBasic::currentCursor() const {
    if (m_currentPointerId == 0) {
        return QCursor();
    }
    return m_cursors.value(m_currentPointerId, QCursor());
}

quint32 RdpBasic::translateScanCode(quint32 nativeScanCode) {
    switch (nativeScanCode) {
    case 0x145:
        return 69; // NumLock
    case 0x136:
        return ScanRightShift;
    default:
        return nativeScanCode;
    }
}

quint8 RdpBasic::protocolButtonMask(Qt::MouseButtons buttons) {
    quint8 mask = 0;
    if (buttons & Qt::LeftButton) {
        mask |= Protocol::MouseButtonBits::Left;
    }
    if (buttons & Qt::RightButton) {
        mask |= Protocol::MouseButtonBits::Right;
    }
    if (buttons & Qt::MiddleButton) {
        mask |= Protocol::MouseButtonBits::Middle;
    }
    return mask;
}

bool RdpBasic::isProtocolActive() const {
    const VnServerConnection* connection = m_master->connection();
    return connection && connection->state() == Protocol::ClientMachine::MainSequence;
}

void RdpBasic::sendKey(quint32 scanCode, bool down) {
    // A key without a code (or one no u16 holds) would reach the server as some other key.
    if (scanCode == 0 || scanCode > 0xFFFF) {
        return;
    }
    const auto code = static_cast<quint16>(scanCode);
    m_master->postToConnection([code, down](VnServerConnection& connection) {
        if (down) {
            Protocol::sendKeyDown(connection, code);
        } else {
            Protocol::sendKeyUp(connection, code);
        }
    });
}

void RdpBasic::keyDown(const KeyInput& input) {
    const quint32 scanCode = translateScanCode(input.nativeScanCode);
    if (RdpLogDialog* log = m_master->logDialog()) {
        log->append(tr("GOT KEYDOWN: %1\n    SCANCODE: %2\n\n").arg(input.nativeVirtualKey).arg(scanCode));
    }
    sendKey(scanCode, true);
}

void RdpBasic::keyUp(const KeyInput& input) {
    // A held key repeats as further key-downs only; window systems that pair each repeat with a release
    // (X11) would otherwise release the key on the server between repeats.
    if (input.autoRepeat) {
        return;
    }
    const quint32 scanCode = translateScanCode(input.nativeScanCode);
    if (RdpLogDialog* log = m_master->logDialog()) {
        log->append(tr("GOT KEYUP: %1\n    SCANCODE: %2\n\n").arg(input.nativeVirtualKey).arg(scanCode));
    }
    sendKey(scanCode, false);

    // A Shift released while the other was held may have been taken by the local system; release the
    // other one too unless it is still down here.
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    if (scanCode == ScanLeftShift && !platform->isKeyDown(ViewerPlatform::VkRShift)) {
        sendKey(ScanRightShift, false);
    } else if (scanCode == ScanRightShift && !platform->isKeyDown(ViewerPlatform::VkLShift)) {
        sendKey(ScanLeftShift, false);
    }
}

void RdpBasic::sendPosition(QPoint position) {
    const auto x = static_cast<quint16>(position.x());
    const auto y = static_cast<quint16>(position.y());
    m_master->postToConnection(
        [x, y](VnServerConnection& connection) { Protocol::sendMouseMove(connection, x, y); });
}

void RdpBasic::mouseMove(const MouseInput& input) {
    if (input.buttons != m_sentButtons) {
        mouseButtons(input);
        return;
    }
    m_pendingPosition = clampPosition(input.position);
    if (!m_mouseTimer->isActive()) {
        maybeSendPosition();
    }
}

void RdpBasic::maybeSendPosition() {
    if (m_pendingPosition == m_sentPosition) {
        return;
    }
    if (isProtocolActive()) {
        sendPosition(m_pendingPosition);
    }
    m_sentPosition = m_pendingPosition;
    m_mouseTimer->start();
}

void RdpBasic::mouseButtons(const MouseInput& input) {
    const QPoint position = clampPosition(input.position);
    const quint8 mask = protocolButtonMask(input.buttons);
    m_pendingPosition = position;
    m_sentButtons = input.buttons;
    if (isProtocolActive()) {
        const auto x = static_cast<quint16>(position.x());
        const auto y = static_cast<quint16>(position.y());
        m_master->postToConnection([x, y, mask](VnServerConnection& connection) {
            Protocol::sendMouseButtons(connection, x, y, mask);
        });
    }
    m_sentPosition = position;
    m_mouseTimer->start();
}

void RdpBasic::mouseWheel(QPoint position, int delta) {
    position = clampPosition(position);
    m_pendingPosition = position;
    if (isProtocolActive()) {
        const auto x = static_cast<quint16>(position.x());
        const auto y = static_cast<quint16>(position.y());
        // Bounded first, so that the negation always fits.
        const auto sent = static_cast<qint16>(-std::clamp(delta, -0x7FFF, 0x7FFF));
        m_master->postToConnection([x, y, sent](VnServerConnection& connection) {
            Protocol::sendMouseWheel(connection, x, y, sent);
        });
    }
    m_sentPosition = position;
    m_mouseTimer->start();
}

void RdpBasic::callback_handlePointerNew(ulong id, QImage image, QPoint hotspot) {
    if (image.isNull()) {
        qCWarning(lcInput) << "Pointer" << id << "has no image; the old shape stays";
        return;
    }
    if (image.width() > MaxPointerSide || image.height() > MaxPointerSide) {
        const QSize original = image.size();
        image = image.scaled(MaxPointerSide, MaxPointerSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        hotspot = QPoint(int(qint64(hotspot.x()) * image.width() / original.width()),
                         int(qint64(hotspot.y()) * image.height() / original.height()));
    }
    hotspot =
        QPoint(std::clamp(hotspot.x(), 0, image.width() - 1), std::clamp(hotspot.y(), 0, image.height() - 1));
    m_cursors.insert(quint32(id), QCursor(QPixmap::fromImage(image), hotspot.x(), hotspot.y()));
}

void RdpBasic::callback_handlePointerFree(ulong id) {
    if (m_cursors.remove(quint32(id)) && m_currentPointerId == quint32(id)) {
        resetPointer();
    }
}

void RdpBasic::callback_handlePointerSet(ulong id) {
    const auto it = m_cursors.constFind(quint32(id));
    if (it == m_cursors.constEnd()) {
        return;
    }
    m_currentPointerId = quint32(id);
    emit currentCursorChanged(it.value());
}

void RdpBasic::callback_handlePointerSetNull() {
    resetPointer();
}

void RdpBasic::callback_handlePointerSetDefault() {
    resetPointer();
}

void RdpBasic::resetPointer() {
    m_currentPointerId = 0;
    emit currentCursorChanged(QCursor());
}

void RdpBasic::connectPointerSignals(bool connected) {
    if (!connected) {
        return;
    }
    VnServerConnection* connection = m_master->connection();
    if (!connection) {
        return;
    }
    // One wiring at a time, however often the session reports itself connected.
    for (const QMetaObject::Connection& c : qAsConst(m_pointerConnections)) {
        disconnect(c);
    }
    m_pointerConnections.clear();
    m_pointerConnections << connect(connection, &VnServerConnection::createPointer, this,
                                    [this](uchar id, QPoint hotspot, QImage cursor) {
                                        callback_handlePointerNew(id, cursor, hotspot);
                                        callback_handlePointerSet(id);
                                    });
    m_pointerConnections << connect(connection, &VnServerConnection::hidePointer, this,
                                    &RdpBasic::callback_handlePointerSetNull);
    m_pointerConnections << connect(connection, &VnServerConnection::setSystemPointer, this,
                                    &RdpBasic::callback_handlePointerSetDefault);
    m_pointerConnections << connect(connection, &VnServerConnection::setPointer, this,
                                    [this](uchar id) { callback_handlePointerSet(id); });
    // The desktop window takes the focus as soon as the transport is up, before the handshake ends,
    // when the keyboard resync cannot be sent yet: it goes out once the main sequence begins.
    m_pointerConnections << connect(connection, &VnServerConnection::enteredMainSequence, this, [this] {
        if (m_master->focus()) {
            resyncKeyboard();
        }
    });
}

bool RdpBasic::hookAllowed() const {
    return !m_master->isSingleApplication() && m_master->capturesKeys();
}

void RdpBasic::resyncKeyboard() {
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    quint8 locks = 0;
    if (platform->isKeyToggled(ViewerPlatform::VkScroll)) {
        locks |= Protocol::LockKeyBits::ScrollLock;
    }
    if (platform->isKeyToggled(ViewerPlatform::VkNumLock)) {
        locks |= Protocol::LockKeyBits::NumLock;
    }
    if (platform->isKeyToggled(ViewerPlatform::VkCapital)) {
        locks |= Protocol::LockKeyBits::CapsLock;
    }
    if (platform->isKeyToggled(ViewerPlatform::VkKana)) {
        locks |= Protocol::LockKeyBits::Kana;
    }
    m_master->postToConnection(
        [locks](VnServerConnection& connection) { Protocol::sendKeyboardReset(connection, locks); });

    static const struct {
        int virtualKey;
        quint32 scanCode;
    } modifiers[] = {
        {ViewerPlatform::VkLControl, 29}, {ViewerPlatform::VkRControl, 0x11D},
        {ViewerPlatform::VkLShift, 42},   {ViewerPlatform::VkRShift, 54},
        {ViewerPlatform::VkLMenu, 56},    {ViewerPlatform::VkRMenu, 0x138},
    };
    for (const auto& modifier : modifiers) {
        if (platform->isKeyDown(modifier.virtualKey)) {
            sendKey(modifier.scanCode, true);
        }
    }
}

void RdpBasic::handleFocusChangeFromMaster(bool focus) {
    if (focus) {
        resyncKeyboard();
#ifdef Q_OS_WIN
        // An Alt released while another window had the focus may still count as held locally.
        ViewerPlatform::Interface* platform = ViewerPlatform::instance();
        for (int alt : {int(ViewerPlatform::VkLMenu), int(ViewerPlatform::VkRMenu)}) {
            if (!platform->isKeyDown(alt)) {
                platform->sendKeyUp(alt);
            }
        }
#endif
        if (hookAllowed()) {
            KeyboardHook::install(this);
        }
        return;
    }

    KeyboardHook::releaseFor(this);
    if (m_mouseTimer->isActive()) {
        maybeSendPosition();
    }
    m_pendingPosition = QPoint();
    m_sentPosition = QPoint();
    m_mouseTimer->stop();
    m_master->postToConnection(
        [](VnServerConnection& connection) { Protocol::sendKeyboardReset(connection, 0); });
}

void RdpBasic::handleCapturesKeysChangeFromMaster(bool on) {
    if (!on) {
        KeyboardHook::releaseFor(this);
        return;
    }
    if (m_master->isSingleApplication() || !m_master->focus()) {
        return;
    }
    KeyboardHook::install(this);
}

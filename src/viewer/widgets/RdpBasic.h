#pragma once

#include "viewer/engine/surfaces/VnSurface.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/MouseInput.h"

#include <QCursor>
#include <QHash>
#include <QImage>
#include <QMetaObject>
#include <QPoint>
#include <QTimer>

class RdpMaster;

// The input and pointer side of one session, and the view of its main surface (id 0). Session windows
// hand it key and mouse events in server pixels; it sends them as input messages (only in the main
// sequence), sends at most one pointer position per mouse quantum, keeps the server's pointer shapes as
// cursors, resynchronises the keyboard when the session gains or loses focus, and holds the keyboard
// hook while keystroke capture is on.
class RdpBasic : public VnSurface {
    Q_OBJECT
    Q_PROPERTY(QCursor currentCursor READ currentCursor NOTIFY currentCursorChanged)

public:
    // Pointer images larger than this are scaled down to fit; the hotspot follows.
    static constexpr int MaxPointerSide = 256;

    explicit RdpBasic(RdpMaster* master, QObject* parent = nullptr);
    ~RdpBasic() override;

    RdpMaster* master() const { return m_master; }

    QCursor currentCursor() const;
    quint32 currentPointerId() const { return m_currentPointerId; }
    bool hasPointer(quint32 id) const { return m_cursors.contains(id); }

    void keyDown(const KeyInput& input);
    void keyUp(const KeyInput& input);
    void mouseMove(const MouseInput& input);
    void mouseButtons(const MouseInput& input);
    // `delta` is the wheel event's vertical angle delta; it goes to the server negated.
    void mouseWheel(QPoint position, int delta);

    void sendKey(quint32 scanCode, bool down);

    // The scan code the server gets for a key's native scan code.
    static quint32 translateScanCode(quint32 nativeScanCode);
    // Qt's buttons as the protocol's: left 1, middle 2, right 4; other buttons are dropped.
    static quint8 protocolButtonMask(Qt::MouseButtons buttons);

signals:
    void currentCursorChanged(QCursor cursor);

public slots:
    void callback_handlePointerNew(ulong id, QImage image, QPoint hotspot);
    void callback_handlePointerFree(ulong id);
    void callback_handlePointerSet(ulong id);
    void callback_handlePointerSetNull();
    void callback_handlePointerSetDefault();
    void handleCapturesKeysChangeFromMaster(bool on);
    void handleFocusChangeFromMaster(bool focus);
    void maybeSendPosition();

private slots:
    void connectPointerSignals(bool connected);

private:
    bool isProtocolActive() const;
    void sendPosition(QPoint position);
    void resetPointer();
    bool hookAllowed() const;
    // Lock toggles and held modifiers as the server must know them when the session has the focus.
    void resyncKeyboard();

    RdpMaster* m_master = nullptr;
    QHash<quint32, QCursor> m_cursors;
    quint32 m_currentPointerId = 0;
    QPoint m_pendingPosition;
    QPoint m_sentPosition;
    QTimer* m_mouseTimer = nullptr; // single shot, interval = the mouse quantum
    Qt::MouseButtons m_sentButtons = Qt::NoButton;
    QList<QMetaObject::Connection> m_pointerConnections;
};

#pragma once

#include "platform/viewer/ViewerPlatform.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidget.h"

#include <QPoint>
#include <QPointer>
#include <QRect>

#include <memory>
#include <optional>

class QTimer;
class VnMultiWindowChannel;
class VnSurface;

// One remote top-level window shown as a local top-level window in per-window mode. It paints its part
// of a server surface, sends input in server desktop pixels and reports local moves, resizes, state
// changes, activation, restacks and close requests to the server through the session's multi-window
// channel.
//
// Local changes go out at once and then at most once per GeometryDebounceMs; the server's own geometry
// and show state are held back until ServerStateHoldMs after the last local change, so that a window
// being dragged does not jump back to where the server last had it.
//
// X11 has no system menu: Ctrl+Alt+Shift+S asks for the settings and Ctrl+Alt+Shift+D disconnects;
// neither key reaches the server.
class RdpWidgetRail : public RdpWidget {
    Q_OBJECT
    Q_PROPERTY(QRect serverGeometry READ serverGeometry WRITE setServerGeometry)
    Q_PROPERTY(int serverShowState READ serverShowState WRITE setServerShowState)

public:
    static constexpr int GeometryDebounceMs = 100;
    static constexpr int ServerStateHoldMs = 2000;
    // How long restacks the server asked for are awaited before the order is reported as it is.
    static constexpr int RestackWaitMs = 1000;
    // System menu items where the platform has a system menu.
    static constexpr quint32 SettingsMenuItem = 16;
    static constexpr quint32 DisconnectMenuItem = 17;
    static constexpr Qt::KeyboardModifiers ChordModifiers =
        Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier;
    static constexpr int SettingsChordKey = Qt::Key_S;
    static constexpr int DisconnectChordKey = Qt::Key_D;

    RdpWidgetRail(RdpMaster* master, quint32 windowId, QRect serverGeometry, int serverShowState,
                  QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    ~RdpWidgetRail() override;

    QRect serverGeometry() const { return m_serverGeometry; }
    void setServerGeometry(QRect geometry);
    int serverShowState() const { return m_serverShowState; }
    void setServerShowState(int state);
    // Applies the server's state unless a local change holds it back.
    void maybeSyncServerState();
    // Shows the new window in the state the server created it in; like every state the server sets,
    // it is not reported back.
    void showInServerState(Qt::WindowStates states);

    // Shows surface `surfaceId` (0: the session's main surface) with the window's top-left at `origin`.
    void setSurface(quint32 surfaceId, QPoint origin);
    quint32 surfaceId() const { return m_surfaceId; }
    QPoint surfaceOrigin() const { return m_surfaceOrigin; }

    // The widget's geometry in server pixels, and the one last sent to the server.
    QRect localGeometry() const { return m_localGeometry; }
    QRect sentGeometry() const { return m_sentGeometry; }
    QTimer* geometryTimer() const { return m_geometryTimer; }
    QTimer* serverStateTimer() const { return m_serverStateTimer; }

    // The local area to repaint when `changed` (surface pixels) of the surface changed.
    QRect repaintArea(const QRect& changed) const;

    // The local geometry that shows `server` (server desktop pixels) at the session's zoom.
    QRect localRectFor(const QRect& server) const;
    // Takes the server's geometry (or only its size, where the window manager places the window).
    void fitToServer(const QRect& server, bool sizeOnly);
    // The server geometry the window's present geometry stands for.
    QRect currentServerGeometry() { return serverRectFor(geometry(), factor()); }

public slots:
    void disconnectFromSession();
    void showOptionsDialog();
    void maybeSendGeometry();
    void syncServerState();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool sessionReady() const;
    std::shared_ptr<VnMultiWindowChannel> channel() const;
    double factor() const;
    QPoint serverPosition(QPoint global) const;
    void geometryChanged(bool spontaneous);
    void addSystemMenuItems();
    // Tells the server where the window now lies in the stacking order, unless it has it there already.
    // `seenAbove`: the window that an event of the window system said this one lay directly above.
    void reportStacking(std::optional<ViewerPlatform::NativeWindow> seenAbove = {});
    // Asks the window system to tell of restacks by others (again after a reparent).
    void watchStacking();
    // The window system moved the window in the stacking order, or may have.
    void restackSeen(ViewerPlatform::NativeWindow below);
    // Reports the session's windows that were seen moved.
    void reportRestacks();
    void queueRestackReport();
    // The window system is to tell of a restack the server asked for.
    void awaitRestack();
    friend void restackWindows(VnMultiWindowChannel& channel);
    class StackingWatch;
    friend class StackingWatch;
    // The first visible, modal, non-pop-up child rail, or null.
    RdpWidgetRail* modalChild() const;
    QList<quint32> childIds() const;
    bool isSessionWindow(QWidget* window) const;
    bool handleChord(QKeyEvent* event, bool press);
    // The server geometry a local geometry stands for at factor `f`.
    QRect serverRectFor(const QRect& local, double f);

    QRect m_serverGeometry;
    int m_serverShowState = 0;
    QRect m_localGeometry;
    QRect m_sentGeometry;
    QPoint m_localOrigin;
    QPoint m_surfaceOrigin;
    quint32 m_surfaceId = 0;
    QPointer<VnSurface> m_view;
    bool m_ownsView = false;
    QTimer* m_geometryTimer = nullptr;
    QTimer* m_serverStateTimer = nullptr;
    bool m_applyingServerState = false;
    int m_swallowedKey = 0; // the chord key whose release is swallowed too
    // The server geometry the window was last fitted to, and where that put it.
    QRect m_fitServer;
    std::optional<QPoint> m_fitLocalOrigin;
    double m_fitFactor = 0.0;
    WindowServerSize m_serverSizes;
    // The native window, and the frame whose events tell of its restacks.
    ViewerPlatform::NativeWindow m_nativeWindow = 0;
    ViewerPlatform::NativeWindow m_stackingFrame = 0;
    bool m_restackSeen = false;
    ViewerPlatform::NativeWindow m_restackSeenAbove = 0;
    bool m_restackReportQueued = false;
    bool m_restackAwaited = false;
    QTimer* m_restackWait = nullptr;
};

// Brings the native stacking of `wanted` (top to bottom) in line: the other windows stay where they
// are, and each wanted window ends up directly below the one before it. Answers the windows it moved.
QList<ViewerPlatform::NativeWindow> restackNativeWindows(ViewerPlatform::Interface& platform,
                                                         const QList<ViewerPlatform::NativeWindow>& wanted);
// Restacks the session's rails to the channel's stacking list; the moves are not reported back.
void restackWindows(VnMultiWindowChannel& channel);

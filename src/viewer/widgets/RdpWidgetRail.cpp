#include "viewer/widgets/RdpWidgetRail.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnMultiWindowChannel.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/MouseInput.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidgetDesktop.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QSet>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>
#include <optional>

namespace ShowState = Protocol::MultiWindow::ShowState;
namespace Syscommand = Protocol::MultiWindow::Syscommand;

RdpWidgetRail::RdpWidgetRail(RdpMaster* master, quint32 windowId, QRect serverGeometry, int serverShowState,
                             QWidget* parent, Qt::WindowFlags flags)
    : RdpWidget(master, windowId, parent, flags)
    , m_serverGeometry(serverGeometry)
    , m_serverShowState(serverShowState)
    , m_sentGeometry(serverGeometry) {
    setWindowFlags(Qt::WindowFlags(int(windowFlags()) & 0x7FFFFFFF));
    setAutoFillBackground(false);
    setFocusPolicy(Qt::ClickFocus);
    setMouseTracking(true);

    m_geometryTimer = new QTimer(this);
    m_geometryTimer->setSingleShot(true);
    m_geometryTimer->setInterval(GeometryDebounceMs);
    connect(m_geometryTimer, &QTimer::timeout, this, &RdpWidgetRail::maybeSendGeometry);
    m_serverStateTimer = new QTimer(this);
    m_serverStateTimer->setSingleShot(true);
    m_serverStateTimer->setInterval(ServerStateHoldMs);
    connect(m_serverStateTimer, &QTimer::timeout, this, &RdpWidgetRail::syncServerState);

    m_localOrigin = serverGeometry.topLeft();
    m_surfaceOrigin = serverGeometry.topLeft();

    if (master) {
        setProperty("SendCommandKey", master->sendCommandKey());
        connect(master, &RdpMaster::sendCommandKeyChanged, this,
                [this](bool on) { setProperty("SendCommandKey", on); });
        if (RdpBasic* basic = master->basic()) {
            connect(basic, &RdpBasic::currentCursorChanged, this,
                    [this](const QCursor& cursor) { setCursor(cursor); });
            setCursor(basic->currentCursor());
        }
        connect(master, &RdpMaster::scalingFactorChanged, this, [this](double f) {
            m_localGeometry = serverRectFor(geometry(), f);
            maybeSendGeometry();
        });
    }
    setSurface(0, serverGeometry.topLeft());
}

RdpWidgetRail::~RdpWidgetRail() {
    if (m_ownsView) {
        delete m_view.data();
    }
}

bool RdpWidgetRail::sessionReady() const {
    RdpMaster* session = master();
    return session && session->basic();
}

std::shared_ptr<VnMultiWindowChannel> RdpWidgetRail::channel() const {
    return multiWindowChannel(master());
}

double RdpWidgetRail::factor() const {
    RdpMaster* session = master();
    return session ? session->scalingFactor() : 1.0;
}

QPoint RdpWidgetRail::serverPosition(QPoint global) const {
    const QPoint mapped = mapPointToServer(global, true, factor());
    return QPoint(std::max(mapped.x(), 0), std::max(mapped.y(), 0));
}

bool RdpWidgetRail::isSessionWindow(QWidget* window) const {
    const auto* widget = qobject_cast<RdpWidget*>(window);
    return widget && widget != this && widget->masterObject() && widget->masterObject() == masterObject();
}

// ---- server state --------------------------------------------------------------------------------------

void RdpWidgetRail::setServerGeometry(QRect geometry) {
    m_serverGeometry = geometry;
    maybeSyncServerState();
}

void RdpWidgetRail::setServerShowState(int state) {
    m_serverShowState = state;
    maybeSyncServerState();
}

void RdpWidgetRail::maybeSyncServerState() {
    if (!m_serverStateTimer->isActive()) {
        syncServerState();
    }
}

void RdpWidgetRail::showInServerState(Qt::WindowStates states) {
    m_applyingServerState = true;
    setWindowState(states);
    show();
    m_applyingServerState = false;
}

void RdpWidgetRail::syncServerState() {
    RdpMaster* session = master();
    if (!session) {
        return;
    }
    m_applyingServerState = true;
    if (!m_serverGeometry.isNull() && m_serverGeometry != m_localGeometry &&
        m_serverShowState == ShowState::Normal) {
        fitToServer(m_serverGeometry, false);
        // The server has this geometry already; echoing it back would only hold its next report.
        m_sentGeometry = m_localGeometry;
    }
    const int state = m_serverShowState;
    if ((state & ShowState::Minimized) && !isMinimized()) {
        showMinimized();
    } else if (!(state & ShowState::Minimized) && (state & ShowState::Maximized) && !isMaximized()) {
        showMaximized();
    } else if (!(state & (ShowState::Minimized | ShowState::Maximized)) && (state & ShowState::FullScreen) &&
               !isFullScreen()) {
        showFullScreen();
    } else if (state == ShowState::Normal &&
               (isHidden() || isMinimized() || isMaximized() || isFullScreen())) {
        showNormal();
    }
    m_applyingServerState = false;

    if (auto c = channel()) {
        QWidget* active = QApplication::activeWindow();
        if (c->activeWindow() == windowId() && active && active != this && isSessionWindow(active)) {
            activateWindow();
        }
    }
}

// ---- local geometry ------------------------------------------------------------------------------------

QRect RdpWidgetRail::localRectFor(const QRect& server) const {
    const double f = factor();
    QSize size = mapSizeFromServer(server.size(), f);
    // No window needs to be larger than the whole local desktop, and the window system (and the
    // backing store behind it) fails on sizes far beyond it.
    const QSize desktop = virtualDesktopGeometry().size();
    if (!desktop.isEmpty()) {
        size = size.boundedTo(desktop);
    }
    return QRect(mapPointFromServer(server.topLeft(), true, f), size);
}

void RdpWidgetRail::fitToServer(const QRect& server, bool sizeOnly) {
    const QRect local = localRectFor(server);
    m_fitFactor = factor();
    m_fitServer = server;
    m_fitLocalOrigin = sizeOnly ? std::optional<QPoint>() : std::optional<QPoint>(local.topLeft());
    if (sizeOnly) {
        resize(local.size());
    } else {
        setGeometry(local);
    }
    m_localGeometry = serverRectFor(geometry(), m_fitFactor);
    m_localOrigin = geometry().topLeft();
    update();
}

QRect RdpWidgetRail::serverRectFor(const QRect& local, double f) {
    // Where the window still lies as it was fitted to the server's geometry, that geometry is what it
    // shows: some server positions and sizes have no local value of their own above 1x.
    const bool fitted = f == m_fitFactor && m_fitServer.isValid();
    const QPoint position = fitted && m_fitLocalOrigin && *m_fitLocalOrigin == local.topLeft()
                                ? m_fitServer.topLeft()
                                : mapPointToServer(local.topLeft(), true, f);
    const QSize size = m_serverSizes.serverSize(local.size(), f, fitted ? m_fitServer.size() : QSize());
    return QRect(position, size);
}

void RdpWidgetRail::geometryChanged(bool spontaneous) {
    m_localGeometry = serverRectFor(geometry(), factor());
    m_localOrigin = geometry().topLeft();
    update();
    if (spontaneous && !m_geometryTimer->isActive()) {
        maybeSendGeometry();
    }
}

void RdpWidgetRail::moveEvent(QMoveEvent* event) {
    geometryChanged(event->spontaneous());
}

void RdpWidgetRail::resizeEvent(QResizeEvent* event) {
    geometryChanged(event->spontaneous());
}

void RdpWidgetRail::maybeSendGeometry() {
    if (m_localGeometry == m_sentGeometry) {
        return;
    }
    if (auto c = channel()) {
        c->sendMove(windowId(), m_localGeometry);
    }
    m_sentGeometry = m_localGeometry;
    m_geometryTimer->start();
    m_serverStateTimer->start();
}

// ---- surface -------------------------------------------------------------------------------------------

void RdpWidgetRail::setSurface(quint32 surfaceId, QPoint origin) {
    RdpMaster* session = master();
    if (!session || !session->basic()) {
        return;
    }
    const bool sameView = m_view && m_surfaceId == surfaceId;
    m_surfaceOrigin = origin;
    if (!sameView) {
        if (m_view) {
            disconnect(m_view, nullptr, this, nullptr);
            if (m_ownsView) {
                delete m_view.data();
            }
        }
        m_surfaceId = surfaceId;
        if (surfaceId == 0) {
            m_view = session->basic();
            m_ownsView = false;
        } else {
            m_view = new VnSurface(session, int(surfaceId), this);
            m_ownsView = true;
        }
        connect(m_view, &VnSurface::surfaceContentsChanged, this,
                [this](const QRegion& region) { update(repaintArea(region.boundingRect())); });
    }
    update();
}

QRect RdpWidgetRail::repaintArea(const QRect& changed) const {
    // Surface pixels to window pixels: the window's top-left lies at the surface origin.
    return RdpWidgetDesktop::localArea(changed.translated(-m_surfaceOrigin), factor());
}

void RdpWidgetRail::paintEvent(QPaintEvent*) {
    RdpMaster* session = master();
    if (!session || !m_view) {
        return;
    }
    const QImage image = session->surfaceImage(m_view->surfaceId());
    if (image.isNull()) {
        return;
    }
    const double f = session->scalingFactor();
    const QRect source(m_surfaceOrigin, mapRectToServer(rect(), false, f).size());
    QPainter painter(this);
    const bool smooth = f != 1.0;
    painter.setRenderHint(QPainter::Antialiasing, smooth);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
    painter.scale(1.0 / f, 1.0 / f);
    painter.drawImage(QRect(QPoint(0, 0), source.size()), image, source);
}

// ---- input ---------------------------------------------------------------------------------------------

bool RdpWidgetRail::handleChord(QKeyEvent* event, bool press) {
    if (press) {
        const int key = event->key();
        if ((event->modifiers() & ChordModifiers) != ChordModifiers ||
            (key != SettingsChordKey && key != DisconnectChordKey)) {
            return false;
        }
        m_swallowedKey = key;
        if (!event->isAutoRepeat()) {
            if (key == SettingsChordKey) {
                showOptionsDialog();
            } else {
                disconnectFromSession();
            }
        }
        return true;
    }
    if (m_swallowedKey && event->key() == m_swallowedKey) {
        if (!event->isAutoRepeat()) {
            m_swallowedKey = 0;
        }
        return true;
    }
    return false;
}

void RdpWidgetRail::keyPressEvent(QKeyEvent* event) {
    event->accept();
    if (!sessionReady() || !(hasFocus() || testAttribute(Qt::WA_ShowWithoutActivating))) {
        return;
    }
    if (handleChord(event, true)) {
        return;
    }
    master()->basic()->keyDown(KeyInput::fromEvent(*event));
}

void RdpWidgetRail::keyReleaseEvent(QKeyEvent* event) {
    event->accept();
    if (!sessionReady() || !(hasFocus() || testAttribute(Qt::WA_ShowWithoutActivating))) {
        return;
    }
    if (handleChord(event, false)) {
        return;
    }
    master()->basic()->keyUp(KeyInput::fromEvent(*event));
}

void RdpWidgetRail::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
    if (!sessionReady()) {
        return;
    }
    master()->basic()->mouseMove(MouseInput(serverPosition(event->globalPos()), event->buttons()));
}

void RdpWidgetRail::mousePressEvent(QMouseEvent* event) {
    event->accept();
    if (!sessionReady()) {
        return;
    }
    master()->basic()->mouseButtons(MouseInput(serverPosition(event->globalPos()), event->buttons()));
    if (isPopupWindow(this) && !rect().contains(event->pos())) {
        QWidget* under = QApplication::widgetAt(event->globalPos());
        auto* target = under ? qobject_cast<RdpWidget*>(under->window()) : nullptr;
        if (target && isSessionWindow(target)) {
            if (auto c = channel()) {
                c->setPendingActivation(target->windowId());
            }
        }
    }
}

void RdpWidgetRail::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (!sessionReady()) {
        return;
    }
    master()->basic()->mouseButtons(MouseInput(serverPosition(event->globalPos()), event->buttons()));
}

void RdpWidgetRail::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (!sessionReady()) {
        return;
    }
    master()->basic()->mouseWheel(serverPosition(event->globalPosition().toPoint()), event->angleDelta().y());
}

// ---- window events -------------------------------------------------------------------------------------

void RdpWidgetRail::closeEvent(QCloseEvent* event) {
    auto c = channel();
    // Only the server closes its windows; without the channel (or the session) nobody would.
    if (!event->spontaneous() || !c || !master()) {
        event->accept();
        return;
    }
    c->sendSyscommand(windowId(), Syscommand::Close);
    event->ignore();
}

QList<quint32> RdpWidgetRail::childIds() const {
    auto c = channel();
    if (!c) {
        return {};
    }
    return c->windows().value(windowId()).children;
}

RdpWidgetRail* RdpWidgetRail::modalChild() const {
    RdpMaster* session = master();
    if (!session || !session->widgetList()) {
        return nullptr;
    }
    const QList<quint32> children = childIds();
    const auto it = firstModalWindow(*session->widgetList(), children);
    return it == children.cend() ? nullptr
                                 : qobject_cast<RdpWidgetRail*>(session->widgetList()->widget(*it).data());
}

void RdpWidgetRail::changeEvent(QEvent* event) {
    RdpWidget::changeEvent(event);
    RdpMaster* session = master();
    if (!session) {
        return;
    }
    if (event->type() == QEvent::WindowStateChange) {
        int state = ShowState::Normal;
        quint16 command = Syscommand::Restore;
        if (isMinimized()) {
            state = m_serverShowState | ShowState::Minimized;
            command = Syscommand::Minimize;
        } else if (isMaximized()) {
            state = ShowState::Maximized;
            command = Syscommand::Maximize;
        } else if (isFullScreen()) {
            state = ShowState::FullScreen;
            command = 0; // no such command: the server put it there
        }
        const bool wasMinimized = m_serverShowState & ShowState::Minimized;
        const bool local = !m_applyingServerState;
        m_serverShowState = state;
        if (local && command) {
            if (auto c = channel()) {
                c->sendSyscommand(windowId(), command);
            }
        }
        // Owned windows go down and come back with their owner.
        if (session->widgetList()) {
            if (command == Syscommand::Minimize) {
                minimizeAll(*session->widgetList(), childIds());
            } else if (wasMinimized) {
                restoreAll(*session->widgetList(), childIds());
            }
        }
    } else if (event->type() == QEvent::ActivationChange) {
        auto c = channel();
        if (!c) {
            return;
        }
        if (isActiveWindow()) {
            if (RdpWidgetRail* modal = modalChild()) {
                modal->activateWindow();
            }
            c->sendActivation(windowId(), true);
            reportStacking();
        } else if (!isSessionWindow(QApplication::activeWindow())) {
            c->sendActivation(windowId(), false);
        }
    }
}

bool RdpWidgetRail::event(QEvent* event) {
    if (event->type() == QEvent::WinIdChange) {
        addSystemMenuItems();
    }
    return RdpWidget::event(event);
}

void RdpWidgetRail::addSystemMenuItems() {
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    if (!platform->available(ViewerPlatform::Feature::SystemMenu) || !windowHandle()) {
        return;
    }
    const ViewerPlatform::NativeWindow handle = platform->nativeHandle(windowHandle());
    if (!handle || platform->systemMenuHasItem(handle, SettingsMenuItem)) {
        return;
    }
    platform->appendSystemMenuSeparator(handle);
    platform->appendSystemMenuItem(handle, SettingsMenuItem, tr("Settings"));
    platform->appendSystemMenuSeparator(handle);
    platform->appendSystemMenuItem(handle, DisconnectMenuItem, tr("Disconnect"));
}

void RdpWidgetRail::reportStacking() {
    auto c = channel();
    RdpMaster* session = master();
    if (!c || !session || !session->widgetList() || c->isRestacking()) {
        return;
    }
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    if (!platform->available(ViewerPlatform::Feature::WindowEnumeration) || !windowHandle()) {
        return;
    }
    const ViewerPlatform::NativeWindow own = platform->nativeHandle(windowHandle());
    const QList<ViewerPlatform::NativeWindow> desktop = platform->topLevelWindows();
    const int at = desktop.indexOf(own);
    if (!own || at < 0) {
        return;
    }
    if (at > 0) {
        const ViewerPlatform::NativeWindow above = desktop.at(at - 1);
        const RdpWidgetList& list = *session->widgetList();
        for (quint32 id : list.windowIds()) {
            if (id == windowId()) {
                continue;
            }
            if (nativeHandles(list, {id}).value(0) == above) {
                c->sendRestack(windowId(), id);
                return;
            }
        }
    }
    c->sendRaise(windowId());
}

void RdpWidgetRail::disconnectFromSession() {
    if (RdpMaster* session = master()) {
        emit session->wantsToQuit();
    }
}

void RdpWidgetRail::showOptionsDialog() {
    if (RdpMaster* session = master()) {
        emit session->wantsToShowOptions();
    }
}

// ---- stacking ------------------------------------------------------------------------------------------

void restackNativeWindows(ViewerPlatform::Interface& platform,
                          const QList<ViewerPlatform::NativeWindow>& wanted) {
    using ViewerPlatform::InsertAfter;
    using ViewerPlatform::NativeWindow;
    QSet<NativeWindow> toPlace(wanted.cbegin(), wanted.cend());
    int next = 0;
    NativeWindow previous = 0;
    const auto place = [&](NativeWindow window) {
        if (!previous || (platform.isTopmost(previous) && !platform.isTopmost(window))) {
            platform.placeWindow(window, platform.isTopmost(window) ? InsertAfter::topmost()
                                                                    : InsertAfter::noTopmost());
        } else {
            platform.placeWindow(window, InsertAfter::below(previous));
        }
    };
    for (NativeWindow window : platform.topLevelWindows()) {
        if (!toPlace.contains(window)) {
            previous = window;
            continue;
        }
        while (next < wanted.size() && wanted.at(next) != window) {
            const NativeWindow moved = wanted.at(next++);
            if (!toPlace.remove(moved)) {
                continue; // listed twice
            }
            place(moved);
            previous = moved;
        }
        if (next < wanted.size()) {
            ++next;
        }
        toPlace.remove(window);
        previous = window;
    }
}

void restackWindows(VnMultiWindowChannel& channel) {
    RdpMaster* session = channel.master();
    if (!session || !session->widgetList()) {
        return;
    }
    const QList<ViewerPlatform::NativeWindow> wanted =
        nativeHandles(*session->widgetList(), channel.stacking());
    channel.setRestacking(true);
    restackNativeWindows(*ViewerPlatform::instance(), wanted);
    channel.setRestacking(false);
}

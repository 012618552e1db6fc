#include "viewer/widgets/RdpWidgetRail.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnMultiWindowChannel.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/MouseInput.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidgetDesktop.h"

#include <QAbstractNativeEventFilter>
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
#include <utility>

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
    m_restackWait = new QTimer(this);
    m_restackWait->setSingleShot(true);
    m_restackWait->setInterval(RestackWaitMs);
    connect(m_restackWait, &QTimer::timeout, this, [this] {
        // The window manager did not move it, or moved it nowhere new: what it did is told now.
        m_restackAwaited = false;
        queueRestackReport();
    });

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

// Reads the native events that tell of restacks, once for all rails.
class RdpWidgetRail::StackingWatch final : public QAbstractNativeEventFilter {
public:
    static StackingWatch& get() {
        static StackingWatch watch;
        return watch;
    }

    void add(RdpWidgetRail* rail) {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            return;
        }
        if (installedOn != app) {
            app->installNativeEventFilter(this);
            installedOn = app;
        }
        if (!rails.contains(rail)) {
            rails << rail;
        }
    }
    void remove(RdpWidgetRail* rail) { rails.removeAll(rail); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override {
        using Kind = ViewerPlatform::WindowChange::Kind;
        const ViewerPlatform::WindowChange change =
            ViewerPlatform::instance()->windowChange(eventType, message);
        if (change.kind == Kind::None || !change.window) {
            return false;
        }
        const QList<RdpWidgetRail*> watching = rails;
        for (RdpWidgetRail* rail : watching) {
            if (change.kind == Kind::Reparented && change.window == rail->m_nativeWindow) {
                rail->watchStacking(); // into a new frame
            } else if (change.kind == Kind::Configured && change.window == rail->m_stackingFrame) {
                rail->restackSeen(change.below);
            }
        }
        return false;
    }

private:
    QPointer<QCoreApplication> installedOn;
    QList<RdpWidgetRail*> rails; // each removes itself when it goes
};

RdpWidgetRail::~RdpWidgetRail() {
    StackingWatch::get().remove(this);
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
            // Where the window now lies, once any restacks the server asked for have been carried out.
            m_restackSeen = true;
            m_restackSeenAbove = 0;
            queueRestackReport();
        } else if (!isSessionWindow(QApplication::activeWindow())) {
            c->sendActivation(windowId(), false);
        }
    }
}

bool RdpWidgetRail::event(QEvent* event) {
    if (event->type() == QEvent::WinIdChange) {
        addSystemMenuItems();
        watchStacking();
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

void RdpWidgetRail::watchStacking() {
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    m_nativeWindow = windowHandle() ? platform->nativeHandle(windowHandle()) : 0;
    m_stackingFrame = m_nativeWindow ? platform->watchStacking(m_nativeWindow) : 0;
    if (m_stackingFrame) {
        StackingWatch::get().add(this);
    }
}

void RdpWidgetRail::restackSeen(ViewerPlatform::NativeWindow below) {
    m_restackSeen = true;
    m_restackSeenAbove = below;
    if (m_restackAwaited) {
        m_restackAwaited = false;
        m_restackWait->stop();
    }
    queueRestackReport();
}

void RdpWidgetRail::queueRestackReport() {
    if (!m_restackReportQueued) {
        m_restackReportQueued = true;
        // Once the events at hand are read, so that a burst of them makes one report per window moved.
        QMetaObject::invokeMethod(this, &RdpWidgetRail::reportRestacks, Qt::QueuedConnection);
    }
}

void RdpWidgetRail::awaitRestack() {
    m_restackAwaited = true;
    m_restackWait->start();
}

void RdpWidgetRail::reportRestacks() {
    m_restackReportQueued = false;
    RdpMaster* session = master();
    if (!session || !session->widgetList()) {
        return;
    }
    const RdpWidgetList& list = *session->widgetList();
    for (quint32 id : list.windowIds()) {
        const auto* rail = qobject_cast<RdpWidgetRail*>(list.widget(id).data());
        if (rail && rail->m_restackAwaited) {
            return; // its event comes with another report
        }
    }
    // Top first: once the upper windows are reported, the lower ones that only had a window put above
    // them lie where the server then has them, and are not reported as moved themselves.
    ViewerPlatform::Interface* platform = ViewerPlatform::instance();
    QList<QPair<int, QPointer<RdpWidgetRail>>> moved;
    for (quint32 id : list.windowIds()) {
        auto* rail = qobject_cast<RdpWidgetRail*>(list.widget(id).data());
        if (rail && rail->m_restackSeen) {
            rail->m_restackSeen = false;
            moved.append({platform->stackingPlace(rail->m_nativeWindow, {}).height, rail});
        }
    }
    std::stable_sort(moved.begin(), moved.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& entry : qAsConst(moved)) {
        if (entry.second) {
            entry.second->reportStacking(std::exchange(entry.second->m_restackSeenAbove, 0));
        }
    }
}

void RdpWidgetRail::reportStacking(std::optional<ViewerPlatform::NativeWindow> seenAbove) {
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
    if (!own) {
        return;
    }
    // The session's other rails that are on the desktop.
    const RdpWidgetList& list = *session->widgetList();
    QList<quint32> ids;
    QList<ViewerPlatform::NativeWindow> handles;
    for (quint32 id : list.windowIds()) {
        const auto* other = qobject_cast<RdpWidgetRail*>(list.widget(id).data());
        if (id == windowId() || !other || !other->isVisible() || other->isMinimized()) {
            continue;
        }
        if (const ViewerPlatform::NativeWindow handle = nativeHandles(list, {id}).value(0)) {
            ids << id;
            handles << handle;
        }
    }
    const ViewerPlatform::StackingPlace place = platform->stackingPlace(own, handles);
    if (!place.found) {
        return;
    }
    // Windows of other programs between two rails are not the server's: the window goes below the
    // nearest rail above it, or on top of the server's windows when there is none.
    const quint32 sibling = place.above ? ids.value(handles.indexOf(place.above)) : 0;

    // The server has it there already when it asked for this order or was told of it, however the
    // window system reports the moves that brought it there.
    QList<quint32> known;
    for (quint32 id : c->stacking()) {
        if (id == windowId() || ids.contains(id)) {
            known << id;
        }
    }
    const int at = known.indexOf(windowId());
    if (at >= 0 && (at == 0 ? sibling == 0 : known.at(at - 1) == sibling)) {
        return;
    }
    // The window system may be further on than its events: when the event put the window directly
    // above the rail that the server has below it, the window lies where the server has it, and the
    // rail now above it moved there later and is told of by its own event.
    if (at >= 0 && seenAbove && *seenAbove) {
        const RdpWidgetRail* seenBelow = nullptr;
        for (quint32 id : qAsConst(ids)) {
            const auto* other = qobject_cast<RdpWidgetRail*>(list.widget(id).data());
            if (other && other->m_stackingFrame == *seenAbove) {
                seenBelow = other;
            }
        }
        if (seenBelow && at + 1 < known.size() && known.at(at + 1) == seenBelow->windowId()) {
            return;
        }
    }
    if (sibling) {
        c->sendRestack(windowId(), sibling);
    } else {
        c->sendRaise(windowId());
    }
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

QList<ViewerPlatform::NativeWindow> restackNativeWindows(ViewerPlatform::Interface& platform,
                                                         const QList<ViewerPlatform::NativeWindow>& wanted) {
    using ViewerPlatform::InsertAfter;
    using ViewerPlatform::NativeWindow;
    QSet<NativeWindow> toPlace(wanted.cbegin(), wanted.cend());
    QList<NativeWindow> moved;
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
            const NativeWindow placed = wanted.at(next++);
            if (!toPlace.remove(placed)) {
                continue; // listed twice
            }
            place(placed);
            moved << placed;
            previous = placed;
        }
        if (next < wanted.size()) {
            ++next;
        }
        toPlace.remove(window);
        previous = window;
    }
    return moved;
}

void restackWindows(VnMultiWindowChannel& channel) {
    RdpMaster* session = channel.master();
    if (!session || !session->widgetList()) {
        return;
    }
    const QList<ViewerPlatform::NativeWindow> wanted =
        nativeHandles(*session->widgetList(), channel.stacking());
    channel.setRestacking(true);
    const QList<ViewerPlatform::NativeWindow> moved =
        restackNativeWindows(*ViewerPlatform::instance(), wanted);
    channel.setRestacking(false);
    // Where the window system tells of the moves later, they are awaited before any restack is reported:
    // until then it tells of the order on the way there.
    for (quint32 id : channel.stacking()) {
        auto* rail = qobject_cast<RdpWidgetRail*>(session->widgetList()->widget(id).data());
        if (rail && rail->m_stackingFrame && moved.contains(rail->m_nativeWindow)) {
            rail->awaitRestack();
        }
    }
}

#include "viewer/engine/VnMultiWindowChannel.h"

#include "platform/viewer/ViewerPlatform.h"
#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/constants/ViewerConstants.h"
#include "viewer/widgets/RdpLogDialog.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidget.h"
#include "viewer/widgets/RdpWidgetRail.h"

#include <QApplication>
#include <QBuffer>
#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QLoggingCategory>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>

using namespace Protocol::MultiWindow;

namespace {

Q_LOGGING_CATEGORY(lcMultiWindow, "velnor.multiwindow")

// A screen that reports no physical size gives no DPI; the usual desktop value stands in.
constexpr int FallbackDpi = 96;

QRect rectOf(const UpdateWindowData& data) {
    if (!data.has(Field::Position) || !data.has(Field::Size)) {
        return QRect();
    }
    return QRect(data.position().x, data.position().y, data.size().width, data.size().height);
}

// The server's window flags as a local top-level window: a kind that is not a window of its own
// (a plain widget, a sub-window, the desktop, ...) becomes a normal window.
Qt::WindowFlags localWindowFlags(quint32 serverFlags) {
    Qt::WindowFlags flags = Qt::WindowFlags(int(serverFlags & 0x7FFFFFFFu));
    const Qt::WindowType type = Qt::WindowType(int(flags & Qt::WindowType_Mask));
    switch (type) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Drawer:
    case Qt::Popup:
    case Qt::Tool:
    case Qt::ToolTip:
    case Qt::SplashScreen:
        return flags;
    default:
        return (flags & ~Qt::WindowType_Mask) | Qt::Window;
    }
}

// Decodes up to MaxIcons PNG icons into one icon whose pixels stay within MaxIconBytes; `reduced` is
// set when an icon was scaled down or left out for that.
QIcon iconFrom(const std::list<Protocol::Blob>& blobs, bool& reduced) {
    constexpr qint64 MinIconPixels = 16 * 16;
    QIcon icon;
    int decoded = 0;
    qint64 pixelsLeft = VnMultiWindowChannel::MaxIconBytes / 4;
    reduced = false;
    for (const Protocol::Blob& blob : blobs) {
        if (decoded == VnMultiWindowChannel::MaxIcons) {
            break;
        }
        QByteArray bytes(reinterpret_cast<const char*>(blob.data()), int(blob.size()));
        QBuffer buffer(&bytes);
        QImageReader reader(&buffer, "PNG");
        // The header names the size; an image that would not fit in an icon is not decoded at all.
        const QSize size = reader.size();
        if (!size.isValid() || size.width() > VnMultiWindowChannel::MaxIconSide ||
            size.height() > VnMultiWindowChannel::MaxIconSide) {
            continue;
        }
        const qint64 pixels = qint64(size.width()) * size.height();
        if (pixels > pixelsLeft) {
            reduced = true;
            if (pixelsLeft < MinIconPixels) {
                break;
            }
            const double scale = std::sqrt(double(pixelsLeft) / double(pixels));
            reader.setScaledSize(
                QSize(std::max(1, int(size.width() * scale)), std::max(1, int(size.height() * scale))));
        }
        const QImage image = reader.read();
        if (!image.isNull()) {
            icon.addPixmap(QPixmap::fromImage(image));
            pixelsLeft -= qint64(image.width()) * image.height();
            ++decoded;
        }
    }
    return icon;
}

// At most MaxTitleLength characters of the UTF-8 title; `cut` tells whether it was longer.
QString titleFrom(const std::string& utf8, bool& cut) {
    constexpr std::size_t maxBytes = std::size_t(VnMultiWindowChannel::MaxTitleLength) * 4;
    QString title = QString::fromUtf8(utf8.data(), int(std::min(utf8.size(), maxBytes)));
    cut = utf8.size() > maxBytes || title.size() > VnMultiWindowChannel::MaxTitleLength;
    if (title.size() > VnMultiWindowChannel::MaxTitleLength) {
        title.truncate(VnMultiWindowChannel::MaxTitleLength);
        if (title.at(title.size() - 1).isHighSurrogate()) {
            title.chop(1);
        }
    }
    return title;
}

bool intersectsAnyScreen(const QRect& local) {
    for (QScreen* screen : QGuiApplication::screens()) {
        if (screen->geometry().intersects(local)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::shared_ptr<VnMultiWindowChannel> multiWindowChannel(const RdpMaster* master) {
    if (!master || !master->connection()) {
        return {};
    }
    return std::dynamic_pointer_cast<VnMultiWindowChannel>(
        master->connection()->channel(VnConstants::MultiWindowChannelName));
}

VnMultiWindowChannel::VnMultiWindowChannel(std::string name_, uchar number_, QObject* parent)
    : QObject(parent)
    , MultiWindowClientChannel(std::move(name_), number_) {
    // By the names the signals use, so that they may be queued.
    qRegisterMetaType<UpdateWindowData>("Protocol::MultiWindow::UpdateWindowData");
    qRegisterMetaType<std::list<Protocol::Blob>>("std::list<Protocol::Blob>");
    qRegisterMetaType<std::vector<Protocol::Word>>("std::vector<Protocol::Word>");
    qRegisterMetaType<Protocol::Word>("Protocol::Word");
    qRegisterMetaType<Protocol::Byte>("Protocol::Byte");
}

VnMultiWindowChannel::~VnMultiWindowChannel() = default;

void VnMultiWindowChannel::attach(RdpMaster* master) {
    m_master = master;
    QMetaObject::invokeMethod(this, &VnMultiWindowChannel::wire, Qt::QueuedConnection);
}

void VnMultiWindowChannel::wire() {
    RdpMaster* session = m_master.data();
    if (!session) {
        return;
    }
    connect(session, &RdpMaster::scalingFactorChanged, this, &VnMultiWindowChannel::sendMonitorLayout);
    connect(session, &RdpMaster::dpiChanged, this, &VnMultiWindowChannel::sendMonitorLayout);
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::screenAdded, this, &VnMultiWindowChannel::handleScreenAdd);
        connect(app, &QGuiApplication::screenRemoved, this, &VnMultiWindowChannel::handleScreenRemove);
        for (QScreen* screen : QGuiApplication::screens()) {
            handleScreenAdd(screen);
        }
    }
}

// ---- senders -------------------------------------------------------------------------------------------

void VnMultiWindowChannel::sendCapabilities(std::list<Protocol::Blob> list) {
    CapabilitiesMessage m;
    m.channel = channelNumber();
    m.capabilities = std::move(list);
    sendMessage(m);
}

void VnMultiWindowChannel::sendActivation(quint32 window, bool active) {
    if (active) {
        m_activeWindow = window;
        ActivateWindowMessage m;
        m.channel = channelNumber();
        m.window = window;
        sendMessage(m);
        return;
    }
    if (m_activeWindow == window) {
        m_activeWindow = 0;
    }
    DeactivateWindowMessage m;
    m.channel = channelNumber();
    m.window = window;
    sendMessage(m);
}

void VnMultiWindowChannel::sendSyscommand(quint32 window, quint16 command) {
    SyscommandMessage m;
    m.channel = channelNumber();
    m.window = window;
    m.command = command;
    sendMessage(m);
}

void VnMultiWindowChannel::sendMove(quint32 window, QRect serverRect) {
    MoveWindowMessage m;
    m.channel = channelNumber();
    m.window = window;
    m.left = serverRect.left();
    m.top = serverRect.top();
    m.width = serverRect.width();
    m.height = serverRect.height();
    sendMessage(m);
}

void VnMultiWindowChannel::sendRaise(quint32 window) {
    if (m_restacking) {
        return;
    }
    qCDebug(lcMultiWindow).noquote() << "Raise window" << windowLabel(window);
    RaiseWindowMessage m;
    m.channel = channelNumber();
    m.window = window;
    sendMessage(m);
    noteStacking(window, 0);
}

void VnMultiWindowChannel::sendRestack(quint32 window, quint32 sibling) {
    if (m_restacking) {
        return;
    }
    qCDebug(lcMultiWindow).noquote() << "Stack window" << windowLabel(window) << "below"
                                     << windowLabel(sibling);
    RestackWindowMessage m;
    m.channel = channelNumber();
    m.window = window;
    m.sibling = sibling;
    sendMessage(m);
    noteStacking(window, sibling);
}

void VnMultiWindowChannel::noteStacking(quint32 window, quint32 sibling) {
    if (!m_windows.contains(window) || (sibling && !m_windows.contains(sibling))) {
        return;
    }
    m_stacking.removeAll(window);
    if (!sibling) {
        m_stacking.prepend(window);
        return;
    }
    if (!m_stacking.contains(sibling)) {
        m_stacking << sibling;
    }
    m_stacking.insert(m_stacking.indexOf(sibling) + 1, window);
}

QString VnMultiWindowChannel::windowLabel(quint32 id) const {
    if (RdpWidgetRail* r = rail(id)) {
        if (!r->windowTitle().isEmpty()) {
            return r->windowTitle();
        }
    }
    return QString::asprintf("0x%08x", id);
}

RdpWidgetRail* VnMultiWindowChannel::rail(quint32 id) const {
    RdpMaster* session = m_master.data();
    if (!session || !session->widgetList()) {
        return nullptr;
    }
    return qobject_cast<RdpWidgetRail*>(session->widgetList()->widget(id).data());
}

// ---- monitor layout ------------------------------------------------------------------------------------

void VnMultiWindowChannel::handleScreenAdd(QScreen* screen) {
    if (!screen) {
        return;
    }
    connect(screen, &QScreen::availableGeometryChanged, this, &VnMultiWindowChannel::sendMonitorLayout);
    connect(screen, &QScreen::physicalDotsPerInchChanged, this, &VnMultiWindowChannel::sendMonitorLayout);
    QTimer::singleShot(0, this, &VnMultiWindowChannel::sendMonitorLayout);
}

void VnMultiWindowChannel::handleScreenRemove(QScreen* screen) {
    if (screen) {
        disconnect(screen, nullptr, this, nullptr);
    }
    QTimer::singleShot(0, this, &VnMultiWindowChannel::sendMonitorLayout);
}

QSize VnMultiWindowChannel::desktopMillimetres(QSize pixels, int dpiX, int dpiY) {
    dpiX = dpiX > 0 ? dpiX : FallbackDpi;
    dpiY = dpiY > 0 ? dpiY : FallbackDpi;
    return QSize(int(qint64(pixels.width()) * 254 / (qint64(dpiX) * 10)),
                 int(qint64(pixels.height()) * 254 / (qint64(dpiY) * 10)));
}

void VnMultiWindowChannel::sendMonitorLayout() {
    // Screens belong to the GUI thread.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &VnMultiWindowChannel::sendMonitorLayout, Qt::QueuedConnection);
        return;
    }
    RdpMaster* session = m_master.data();
    if (!session || !qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        return;
    }
    const double factor = session->scalingFactor();
    const QList<QScreen*> screens = QGuiApplication::screens();
    QRegion region;
    MonitorLayoutMessage layout;
    layout.channel = channelNumber();
    for (QScreen* screen : screens) {
        const QRect mapped = mapRectToServer(screen->availableGeometry(), true, factor);
        region += mapped;
        layout.monitors.push_back({mapped.left(), mapped.top(), mapped.width(), mapped.height()});
    }
    const QRect bounds = region.boundingRect();
    const QSize desktop = bounds.isEmpty() ? QSize(0, 0) : QSize(bounds.right() + 1, bounds.bottom() + 1);

    if (session->dpi() < 0) {
        session->resizeDesktop(desktop);
    } else {
        int dpiX = 0;
        int dpiY = 0;
        for (QScreen* screen : screens) {
            dpiX = std::max(dpiX, int(screen->physicalDotsPerInchX()));
            dpiY = std::max(dpiY, int(screen->physicalDotsPerInchY()));
        }
        if (session->dpi() != 0) {
            dpiX = dpiY = session->dpi();
        }
        session->resizeDesktop(desktop, desktopMillimetres(desktop, dpiX, dpiY));
    }
    sendMessage(layout);
}

// ---- handlers (network thread) -------------------------------------------------------------------------

void VnMultiWindowChannel::onCapabilities(std::list<Protocol::Blob> list) {
    sendMonitorLayout();
    emit capabilities(list);
}

void VnMultiWindowChannel::onDeleteWindow(Protocol::Word window) {
    QTimer::singleShot(0, this, [this, window] { applyDeleteWindow(window); });
    emit deleteWindow(window);
}

void VnMultiWindowChannel::onUpdateWindow(Protocol::Word window, UpdateWindowData data) {
    QTimer::singleShot(0, this, [this, window, data] { applyWindowUpdate(window, data); });
    emit updateWindow(window, data);
}

void VnMultiWindowChannel::onActivateWindow(Protocol::Word window) {
    QTimer::singleShot(0, this, [this, window] { applyActivateWindow(window); });
    emit activateWindow(window);
}

void VnMultiWindowChannel::onRaiseWindow(Protocol::Word window) {
    QTimer::singleShot(0, this, [this, window] { applyRaiseWindow(window); });
    emit raiseWindow(window);
}

void VnMultiWindowChannel::onZOrder(std::vector<Protocol::Word> windows) {
    QTimer::singleShot(0, this, [this, windows] { applyZOrder(windows); });
    emit zOrder(windows);
}

void VnMultiWindowChannel::onDesktopSync(Protocol::Byte active) {
    QTimer::singleShot(0, this, [this, active] { applyDesktopSync(active); });
    emit desktopSync(active);
}

// ---- GUI thread ----------------------------------------------------------------------------------------

void VnMultiWindowChannel::logOwner(quint32 owner, quint32 id) const {
    RdpMaster* session = m_master.data();
    if (session && session->logDialog()) {
        session->logDialog()->append(QStringLiteral("GOT OWNER: %1\n    FOR: %2\n\n").arg(owner).arg(id));
    }
}

void VnMultiWindowChannel::applyActivateWindow(quint32 id) {
    if (!m_windows.contains(id)) {
        return;
    }
    m_activeWindow = id;
    if (RdpWidgetRail* r = rail(id)) {
        r->maybeSyncServerState();
    }
}

void VnMultiWindowChannel::applyRaiseWindow(quint32 id) {
    if (!m_windows.contains(id)) {
        return;
    }
    noteStacking(id, 0);
    if (RdpWidgetRail* r = rail(id)) {
        r->raise();
    }
}

void VnMultiWindowChannel::applyWindowUpdate(quint32 id, const UpdateWindowData& data) {
    if (!m_master) {
        return;
    }
    const bool full = data.isFull();
    if (m_syncing) {
        m_seen << id;
    }
    if (!m_windows.contains(id)) {
        createWindow(id, data);
    }
    auto it = m_windows.find(id);
    if (it == m_windows.end()) {
        return;
    }
    RdpWidgetRail* r = rail(id);

    if (full || data.fields & (Field::Position | Field::Size | Field::Quads)) {
        it->geometry = rectOf(data);
        if (r) {
            r->setServerGeometry(it->geometry);
        }
    }

    if (full || data.has(Field::Owner)) {
        const quint32 owner = data.has(Field::Owner) ? data.owner() : 0;
        logOwner(owner, id);
        if (it->owner != owner && wouldOwnItself(id, owner)) {
            refused(Refusal::Owner,
                    QStringLiteral("Owner %1 of window %2 refused: the window would own itself")
                        .arg(owner)
                        .arg(id));
        } else if (it->owner != owner) {
            const quint32 previous = it->owner;
            if (m_windows.contains(previous)) {
                m_windows[previous].children.removeAll(id);
            }
            it = m_windows.find(id);
            it->owner = owner;
            if (m_windows.contains(owner) && owner != id) {
                m_windows[owner].children.append(id);
            }
            followOwner(id);
            it = m_windows.find(id);
        }
    }

    if (r && (full || data.has(Field::Title))) {
        bool cut = false;
        r->setWindowTitle(data.has(Field::Title) ? titleFrom(data.title(), cut) : QStringLiteral("Window"));
        if (cut) {
            refused(Refusal::Title,
                    QStringLiteral("Title of window %1 cut to %2 characters").arg(id).arg(MaxTitleLength));
        }
    }

    if (r && (full || data.has(Field::Icons))) {
        bool reduced = false;
        r->setWindowIcon(data.has(Field::Icons) ? iconFrom(data.icons(), reduced)
                                                : QApplication::windowIcon());
        if (reduced) {
            refused(Refusal::Icons, QStringLiteral("Icons of window %1 scaled down to %2 bytes of pixels")
                                        .arg(id)
                                        .arg(MaxIconBytes));
        }
    }

    if (full || data.has(Field::ShowState)) {
        it->showState = data.has(Field::ShowState) ? data.showState() : 0;
        if (r) {
            r->setServerShowState(it->showState);
        }
    }

    if (r && (full || data.fields & (Field::SurfaceId | Field::SurfaceOrigin))) {
        // A partial update that only moves the origin keeps the surface the window is on.
        const quint32 surface = data.has(Field::SurfaceId) ? data.surfaceId() : (full ? 0u : r->surfaceId());
        const QPoint origin = data.has(Field::SurfaceOrigin)
                                  ? QPoint(data.surfaceOrigin().x, data.surfaceOrigin().y)
                                  : it->geometry.topLeft();
        r->setSurface(surface, origin);
    }
}

void VnMultiWindowChannel::createWindow(quint32 id, const UpdateWindowData& data) {
    constexpr std::uint32_t required = Field::WindowFlags | Field::ShowState | Field::Position | Field::Size;
    if ((data.fields & required) != required) {
        return;
    }
    const Point16 position = data.position();
    if (position.x == -1 && position.y == -1) {
        return;
    }
    RdpMaster* session = m_master.data();
    if (!session || !session->widgetList()) {
        return;
    }
    if (m_windows.size() >= MaxWindows) {
        refused(Refusal::Windows,
                QStringLiteral("Window %1 not created: the session already shows %2 windows")
                    .arg(id)
                    .arg(MaxWindows));
        return;
    }
    const quint32 windowFlags = data.windowFlags();
    const quint32 kind = windowFlags & 0xF;
    quint32 owner = data.has(Field::Owner) ? data.owner() : 0;
    QWidget* parent = nullptr;
    if (owner) {
        logOwner(owner, id);
        if (wouldOwnItself(id, owner)) {
            refused(Refusal::Owner,
                    QStringLiteral("Owner %1 of window %2 refused: the window would own itself")
                        .arg(owner)
                        .arg(id));
            owner = 0;
        } else if (m_windows.contains(owner)) {
            m_windows[owner].children.append(id);
            if (kind != WindowKind::Normal) {
                parent = rail(owner);
            }
        }
    }
    RemoteWindow record;
    record.id = id;
    record.owner = owner;
    record.geometry = rectOf(data);
    record.showState = data.showState();
    m_windows.insert(id, record);

    auto* r = new RdpWidgetRail(session, id, record.geometry, record.showState, parent,
                                localWindowFlags(windowFlags));
    if (kind == WindowKind::Popup) {
        r->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    if (data.flags & UpdateFlag::ModalityGiven) {
        qCDebug(lcMultiWindow) << "modal" << data.flags;
        const bool modal = (data.flags & UpdateFlag::Modal) && owner;
        r->setWindowModality(modal ? Qt::WindowModal : Qt::NonModal);
    }
    const QRect local = r->localRectFor(record.geometry);
    const int show = record.showState;
    const bool normalOrMinimized = show == ShowState::Normal || (show & ShowState::Minimized);
    const bool placedByWindowManager = (normalOrMinimized && record.geometry.topLeft() == QPoint(0, 0)) ||
                                       (show == ShowState::Normal && !intersectsAnyScreen(local));
    if (placedByWindowManager) {
        r->fitToServer(record.geometry, true);
    } else if (normalOrMinimized) {
        r->fitToServer(record.geometry, false);
    }
    r->showInServerState(
        Qt::WindowStates(show & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)));
    if (kind == WindowKind::Popup) {
        r->raise();
    } else if (!(show & ShowState::Minimized)) {
        r->setFocus(Qt::OtherFocusReason);
    }
    if (placedByWindowManager) {
        sendMove(id, r->currentServerGeometry());
    }
    session->widgetList()->addWidget(r);
    if (owner && !parent) {
        followOwner(id);
    }
}

bool VnMultiWindowChannel::wouldOwnItself(quint32 id, quint32 owner) const {
    // The table holds no circle, so the walk ends; the step count only guards against a fault.
    for (int steps = 0; owner && steps <= m_windows.size(); ++steps) {
        if (owner == id) {
            return true;
        }
        const auto it = m_windows.constFind(owner);
        if (it == m_windows.constEnd()) {
            return false;
        }
        owner = it->owner;
    }
    return owner != 0;
}

void VnMultiWindowChannel::refused(Refusal kind, const QString& text) {
    bool& logged = m_refusalLogged[int(kind)];
    if (!logged) {
        logged = true;
        qCWarning(lcMultiWindow).noquote() << text;
    }
}

void VnMultiWindowChannel::followOwner(quint32 id) {
    RdpWidgetRail* r = rail(id);
    const auto it = m_windows.constFind(id);
    if (!r || it == m_windows.constEnd()) {
        return;
    }
    RdpWidgetRail* ownerRail = it->owner && it->owner != id ? rail(it->owner) : nullptr;
    // An owner that the window itself owns, however indirectly, would make a circle of windows.
    for (QWidget* up = ownerRail; up; up = up->parentWidget()) {
        if (up == r) {
            ownerRail = nullptr;
            break;
        }
    }
    // Normal windows stay windows of their own; owned windows of other kinds live inside their owner.
    QWidget* parent = r->windowType() == Qt::Window ? nullptr : ownerRail;
    if (r->parentWidget() != parent) {
        const bool visible = r->isVisible();
        const Qt::WindowFlags flags = r->windowFlags();
        r->setParent(parent, flags);
        if (visible) {
            r->show();
        }
    }
    // A window of its own that has an owner stays above it: the window system is told whose it is,
    // and Qt's window modality blocks the owner while it is modal.
    if (!parent) {
        r->winId();
        if (ownerRail) {
            ownerRail->winId();
        }
        QWindow* window = r->windowHandle();
        QWindow* ownerWindow = ownerRail ? ownerRail->windowHandle() : nullptr;
        if (window) {
            window->setTransientParent(ownerWindow);
            ViewerPlatform::Interface* platform = ViewerPlatform::instance();
            platform->setOwnerWindow(platform->nativeHandle(window),
                                     ownerWindow ? platform->nativeHandle(ownerWindow) : 0);
        }
    }
}

void VnMultiWindowChannel::applyDeleteWindow(quint32 id) {
    const auto it = m_windows.find(id);
    if (it == m_windows.end()) {
        return;
    }
    const QList<quint32> children = it->children;
    for (quint32 child : children) {
        auto c = m_windows.find(child);
        if (c == m_windows.end()) {
            continue;
        }
        c->owner = 0;
        followOwner(child); // detaches it from the rail about to go
    }
    if (m_windows.contains(it->owner)) {
        m_windows[it->owner].children.removeAll(id);
    }
    const bool wasPopup = isPopupWindow(rail(id));
    m_windows.remove(id);
    if (m_activeWindow == id) {
        m_activeWindow = 0;
    }
    if (m_pendingActivation && wasPopup) {
        if (m_pendingActivation != id) {
            if (RdpWidgetRail* pending = rail(m_pendingActivation)) {
                pending->activateWindow();
            }
        }
        m_pendingActivation = 0;
    }
    m_stacking.removeAll(id);
    if (RdpMaster* session = m_master.data()) {
        if (session->widgetList()) {
            session->widgetList()->removeWidget(id);
        }
    }
}

void VnMultiWindowChannel::applyDesktopSync(Protocol::Byte active) {
    if (active) {
        m_syncing = true;
        m_seen.clear();
        return;
    }
    m_syncing = false;
    const QList<quint32> known = m_windows.keys();
    for (quint32 id : known) {
        if (!m_seen.contains(id) && m_windows.contains(id)) {
            applyDeleteWindow(id);
            emit deleteWindow(id);
        }
    }
    m_seen.clear();
}

void VnMultiWindowChannel::applyZOrder(const std::vector<Protocol::Word>& bottomToTop) {
    QList<quint32> stacking;
    for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
        if (m_windows.contains(*it) && !stacking.contains(*it)) {
            stacking << *it;
        }
    }
    m_stacking = stacking;
    if (lcMultiWindow().isDebugEnabled()) {
        qCDebug(lcMultiWindow) << "### Stacking order (top to bottom)";
        for (quint32 id : qAsConst(m_stacking)) {
            qCDebug(lcMultiWindow).noquote() << windowLabel(id);
        }
    }
    restackWindows(*this);
}

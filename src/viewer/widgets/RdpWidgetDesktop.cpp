#include "viewer/widgets/RdpWidgetDesktop.h"

#include "viewer/engine/RdpMaster.h"
#include "viewer/engine/VnServerConnection.h"
#include "viewer/widgets/KeyInput.h"
#include "viewer/widgets/MouseInput.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidgetToolbar.h"
#include "viewer/widgets/SurfaceScaler.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QPropertyAnimation>
#include <QRadialGradient>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

RdpWidgetDesktop::RdpWidgetDesktop(RdpMaster* master, quint32 windowId, QWidget* parent)
    : RdpWidget(master, windowId, parent) {
    initRdpWidgetResources();
    overlayCursor = QPixmap(QStringLiteral(":/images/resources/cursor.png"));
    clickAnimation = new QPropertyAnimation(this, "overlayMouseClickRadius", this);

    setAutoFillBackground(false);
    setFocusPolicy(Qt::ClickFocus);
    setAttribute(Qt::WA_MouseTracking);
    setWindowFlag(Qt::WindowFullscreenButtonHint, false);

    if (!master)
        return;
    VnSurface* view = mainView();
    connect(master, &RdpMaster::scalingFactorChanged, this, [this](double factor) {
        if (VnSurface* view = mainView())
            fitToSurface(view->surfaceSize(), factor);
    });
    // Repaint on every change, also when this client takes the input: the overlay it had drawn must go.
    connect(master, &RdpMaster::clientMeChanged, this, [this] { update(overlayRect()); });
    connect(master, &RdpMaster::cursorPosChanged, this, &RdpWidgetDesktop::setOverlayMousePosition);
    connect(master, &RdpMaster::cursorDownChanged, this, &RdpWidgetDesktop::animatePress);
    if (view) {
        connect(view, &VnSurface::surfaceContentsChanged, this, [this](const QRegion& region) {
            RdpMaster* session = this->master();
            if (!session)
                return;
            // Rect by rect, so that the area between distant changes is not repainted; a region of very
            // many rects is repainted over its bounding rectangle.
            const double factor = session->scalingFactor();
            if (region.rectCount() > 64) {
                update(localArea(region.boundingRect(), factor));
                return;
            }
            QRegion local;
            for (const QRect& rect : region)
                local += localArea(rect, factor);
            update(local);
        });
        connect(view, &VnSurface::surfaceSizeChanged, this, [this](QSize size) {
            if (RdpMaster* session = this->master())
                fitToSurface(size, session->scalingFactor());
        });
        fitToSurface(view->surfaceSize(), master->scalingFactor());
    }
    if (RdpBasic* basic = master->basic()) {
        connect(basic, &RdpBasic::currentCursorChanged, this,
                [this](const QCursor& cursor) { setCursor(cursor); });
        setCursor(basic->currentCursor());
    }
}

RdpWidgetDesktop::~RdpWidgetDesktop() = default;

VnSurface* RdpWidgetDesktop::mainView() const {
    RdpMaster* session = master();
    if (!session)
        return nullptr;
    if (session->basic())
        return session->basic();
    return session->mainView();
}

bool RdpWidgetDesktop::sessionReady() const {
    RdpMaster* session = master();
    return session && session->basic();
}

QRect RdpWidgetDesktop::localArea(const QRect& serverArea, double factor) {
    QRect local = mapRectFromServer(serverArea, false, 1.0 / factor);
    if (factor != 1.0 && std::isfinite(factor) && factor > 0.0) {
        // Smooth scaling blends each server pixel into its neighbours on every side, also up and left.
        const int margin = int(std::ceil(1.0 / factor)) + 1;
        local.adjust(-margin, -margin, margin, margin);
    }
    return local;
}

void RdpWidgetDesktop::fitToSurface(QSize surfaceSize, double factor) {
    // Exactly the local size that shows the surface, no margin: the window asks for sizes from it.
    resize(mapSizeFromServer(surfaceSize, factor));
}

bool RdpWidgetDesktop::isOverlayShown() const {
    RdpMaster* session = master();
    if (!session)
        return false;
    const QString status = session->clientMe().status;
    return !status.isEmpty() && status != QLatin1String("input");
}

QPoint RdpWidgetDesktop::overlayPoint() const {
    // The position comes from another participant; far outside any widget it only has to stay far
    // outside, without overflowing the rectangles built around it.
    constexpr int limit = 1 << 24;
    return QPoint(std::clamp(mousePosition.x(), -limit, limit), std::clamp(mousePosition.y(), -limit, limit));
}

double RdpWidgetDesktop::overlayRadius() const {
    return std::isfinite(clickRadius) ? std::clamp(clickRadius, 0.0, 1000.0) : 0.0;
}

QRect RdpWidgetDesktop::overlayRect() const {
    if (!mousePositionKnown)
        return QRect();
    const QPoint at = overlayPoint();
    const double x = at.x();
    const double y = at.y();
    const double r = overlayRadius();
    const QRect disc(QPoint(int(std::floor(x - r)), int(std::floor(y - r))),
                     QPoint(int(std::ceil(x + r)), int(std::ceil(y + r))));
    return disc.united(QRect(at, overlayCursor.size()));
}

void RdpWidgetDesktop::setOverlayMouseClickRadius(double radius) {
    const bool shown = isOverlayShown();
    if (shown)
        update(overlayRect());
    clickRadius = radius;
    if (shown)
        update(overlayRect());
}

void RdpWidgetDesktop::setOverlayMousePosition(QPoint position) {
    const bool shown = isOverlayShown();
    if (shown)
        update(overlayRect());
    mousePosition = position;
    mousePositionKnown = true;
    if (shown)
        update(overlayRect());
}

void RdpWidgetDesktop::animatePress(bool down) {
    if (clickAnimation->state() == QAbstractAnimation::Running) {
        clickAnimation->stop();
        setOverlayMouseClickRadius(clickAnimation->endValue().toDouble());
    }
    clickAnimation->setStartValue(down ? 0.0 : pressRadius);
    clickAnimation->setEndValue(down ? pressRadius : 0.0);
    clickAnimation->setDuration(pressAnimationMs);
    clickAnimation->start();
}

void RdpWidgetDesktop::disconnectFromSession() {
    if (RdpMaster* session = master())
        emit session->wantsToQuit();
}

void RdpWidgetDesktop::showOptionsDialog() {
    if (RdpMaster* session = master())
        emit session->wantsToShowOptions();
}

QPoint RdpWidgetDesktop::serverPosition(QPoint local) const {
    const QPoint mapped = mapPointToServer(local, false, master()->scalingFactor());
    return QPoint(std::max(mapped.x(), 0), std::max(mapped.y(), 0));
}

void RdpWidgetDesktop::keyPressEvent(QKeyEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    if (hasFocus())
        master()->basic()->keyDown(KeyInput::fromEvent(*event));
}

void RdpWidgetDesktop::keyReleaseEvent(QKeyEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    if (hasFocus())
        master()->basic()->keyUp(KeyInput::fromEvent(*event));
}

void RdpWidgetDesktop::mouseMoveEvent(QMouseEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    master()->basic()->mouseMove(MouseInput(serverPosition(event->pos()), event->buttons()));
}

void RdpWidgetDesktop::mousePressEvent(QMouseEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    master()->basic()->mouseButtons(MouseInput(serverPosition(event->pos()), event->buttons()));
}

void RdpWidgetDesktop::mouseReleaseEvent(QMouseEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    master()->basic()->mouseButtons(MouseInput(serverPosition(event->pos()), event->buttons()));
}

void RdpWidgetDesktop::wheelEvent(QWheelEvent* event) {
    if (!sessionReady())
        return;
    event->accept();
    master()->basic()->mouseWheel(serverPosition(event->position().toPoint()), event->angleDelta().y());
}

namespace {

// The 32-bit image the painter's raster engine writes to, and where widget coordinates land in it,
// when the painter draws there pixel for pixel (no scale, an integer offset, nothing of ours to blend
// or clip): the scaled pixels can then be written straight into it. Null otherwise.
QImage* directTarget(QPainter& painter, QPoint& offset) {
    QPaintEngine* engine = painter.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || !engine->paintDevice() ||
        engine->paintDevice()->devType() != QInternal::Image)
        return nullptr;
    auto* image = static_cast<QImage*>(engine->paintDevice());
    const QImage::Format format = image->format();
    if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
        format != QImage::Format_ARGB32_Premultiplied)
        return nullptr;
    if (painter.hasClipping() || painter.opacity() != 1.0 ||
        (painter.compositionMode() != QPainter::CompositionMode_SourceOver &&
         painter.compositionMode() != QPainter::CompositionMode_Source))
        return nullptr;
    const QTransform transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxTranslate)
        return nullptr;
    const int dx = int(transform.dx());
    const int dy = int(transform.dy());
    if (dx != transform.dx() || dy != transform.dy())
        return nullptr;
    offset = QPoint(dx, dy);
    return image;
}

} // namespace

VnWorkTeam* RdpWidgetDesktop::decodeTeam() const {
    if (RdpMaster* session = master())
        if (VnServerConnection* connection = session->connection())
            return connection->decodeTeam();
    return nullptr;
}

QRegion RdpWidgetDesktop::paintScaled(QPainter& painter, const QImage& image, double zoom, const QRegion& area) {
    // The view's own bilinear scaler: only the repainted pixels are computed, on the decode team's
    // threads as well. It covers the local pixels whose centres lie on the picture; what is left (a
    // partly covered last row or column) is for Qt's scaled draw.
    const QRect covered(0, 0, int(std::floor(image.width() * zoom + 0.5)),
                        int(std::floor(image.height() * zoom + 0.5)));
    VnWorkTeam* const team = decodeTeam();

    // Straight into the painter's image where it allows it, only where this paint may draw (the event's
    // region within the painter's system clip): no second copy of the pixels.
    QPoint offset;
    if (QImage* device = area.rectCount() <= 16 ? directTarget(painter, offset) : nullptr) {
        QRegion allowed = area & covered;
        const QRegion systemClip = painter.paintEngine()->systemClip();
        if (!systemClip.isEmpty())
            allowed &= systemClip.translated(-offset);
        allowed &= device->rect().translated(-offset);
        // The engine writes to the bits it was given when it began, never detaching the image: so do we.
        uchar* const bits = const_cast<uchar*>(device->constBits());
        const qsizetype stride = device->bytesPerLine();
        QRegion painted;
        for (const QRect& local : allowed) {
            const QRect at = local.translated(offset);
            QImage scaled(bits + at.y() * stride + at.x() * qsizetype(4), at.width(), at.height(), int(stride),
                          QImage::Format_RGB32);
            if (!SurfaceScaler::scaleArea(image, zoom, local, scaled, team))
                break;
            painted += local;
        }
        return area - painted;
    }

    // Otherwise through one kept buffer, drawn unscaled. Many small rects are cheaper as one.
    const QRegion parts = area.rectCount() > 16 ? QRegion(area.boundingRect()) : area;
    QRegion painted;
    for (const QRect& rect : parts) {
        const QRect local = rect & covered;
        if (local.isEmpty())
            continue;
        // One buffer kept for every paint: a fresh image of a few dozen megabytes would cost more in
        // page faults than the scaling itself.
        const qint64 bytes = qint64(local.width()) * local.height() * 4;
        if (scaleBuffer.sizeInBytes() < bytes) {
            scaleBuffer = QImage();
            scaleBuffer = QImage(local.size(), QImage::Format_RGB32);
            if (scaleBuffer.isNull())
                break;
        }
        QImage scaled(scaleBuffer.bits(), local.width(), local.height(), local.width() * 4,
                      QImage::Format_RGB32);
        if (!SurfaceScaler::scaleArea(image, zoom, local, scaled, team))
            break;
        painter.drawImage(local.topLeft(), scaled);
        painted += local;
    }
    return area - painted;
}

void RdpWidgetDesktop::paintEvent(QPaintEvent* event) {
    RdpMaster* session = master();
    VnSurface* view = mainView();
    if (!session || !view)
        return;
    QPainter painter(this);
    {
        // Drawn from the surface itself, under the surface lock: a copy still held here while the
        // network thread paints the next frame would detach into a second full-size image.
        const RdpMaster::SurfaceReadLock lock(*session);
        const Surface::SurfaceMap& surfaces = session->surfaceMap();
        const auto it = surfaces.find(Surface::SurfaceId(view->surfaceId()));
        const QImage* image = it == surfaces.end() ? nullptr : it->second.get();
        if (image && !image->isNull()) {
            const QRect source = image->rect();
            const double factor = session->scalingFactor();
            const double scale = 1.0 / factor;
            const bool smooth = scale != 1.0;
            // Where every pixel the repainted area reads is opaque, smooth scaling can ignore alpha.
            const QRect read =
                mapRectToServer(event->rect(), false, factor).adjusted(-2, -2, 2, 2) & image->rect();
            const bool opaque = smooth && (image->format() == QImage::Format_RGB32 ||
                                           (image->format() == QImage::Format_ARGB32 &&
                                            SurfaceScaler::isOpaque(*image, read, decodeTeam())));
            if (!smooth)
                scaleBuffer = QImage();
            // Our scaler writes into the painter's image or through one reused buffer: only for a
            // painter that draws at once.
            const bool ownScaler = smooth && opaque && painter.paintEngine() &&
                                   painter.paintEngine()->type() == QPaintEngine::Raster;
            const QRegion rest = ownScaler ? paintScaled(painter, *image, scale, event->region()) : event->region();
            if (!rest.isEmpty()) {
                painter.save();
                painter.setClipRegion(rest, Qt::IntersectClip);
                painter.setRenderHint(QPainter::Antialiasing, smooth);
                painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
                painter.scale(scale, scale);
                // Smooth scaling of non-premultiplied pixels is about twice as slow as of opaque ones:
                // opaque bits are drawn as RGB32, no copy (the wrapper lives only inside the lock).
                if (smooth && opaque && image->format() == QImage::Format_ARGB32)
                    painter.drawImage(source,
                                      QImage(image->constBits(), image->width(), image->height(),
                                             image->bytesPerLine(), QImage::Format_RGB32),
                                      source);
                else
                    painter.drawImage(source, *image, source);
                painter.restore();
            }
        }
    }
    if (isOverlayShown() && mousePositionKnown) {
        QRadialGradient gradient;
        gradient.setColorAt(0.0, Qt::white);
        gradient.setColorAt(1.0, QColor(0, 112, 184, 255));
        painter.save();
        painter.setOpacity(overlayOpacity);
        painter.setBrush(QBrush(gradient));
        painter.setPen(Qt::NoPen);
        const QPoint at = overlayPoint();
        const double r = overlayRadius();
        painter.drawEllipse(QRectF(at.x() - r, at.y() - r, 2 * r, 2 * r));
        painter.drawPixmap(QRect(at, overlayCursor.size()), overlayCursor);
        painter.restore();
    }
}

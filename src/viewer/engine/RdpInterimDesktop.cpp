#include "viewer/engine/RdpInterimDesktop.h"

#include "viewer/engine/RdpMaster.h"

#include <QCloseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

RdpInterimDesktop::RdpInterimDesktop(RdpMaster* master, quint32 windowId, QWidget* parent)
    : RdpWidget(master, windowId, parent)
    , m_surfaceSize(master ? master->defaultViewSize() : QSize()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    if (!master) {
        return;
    }
    connect(master, &RdpMaster::surfaceSizeChanged, this, &RdpInterimDesktop::onSurfaceSizeChanged);
    connect(master, &RdpMaster::surfaceContentsChanged, this, &RdpInterimDesktop::onSurfaceContentsChanged);
    connect(master, &RdpMaster::scalingFactorChanged, this, [this] {
        resize(sizeHint());
        update();
    });
    resize(sizeHint());
}

double RdpInterimDesktop::factor() const {
    const RdpMaster* session = master();
    const double f = session ? session->scalingFactor() : 1.0;
    return std::isfinite(f) && f > 0 ? f : 1.0;
}

QSize RdpInterimDesktop::sizeHint() const {
    if (!m_surfaceSize.isValid()) {
        return QSize(800, 600);
    }
    const double f = factor();
    return QSize(qMax(1, int(std::ceil(m_surfaceSize.width() / f))),
                 qMax(1, int(std::ceil(m_surfaceSize.height() / f))));
}

void RdpInterimDesktop::onSurfaceSizeChanged(int surfaceId, QSize size) {
    if (surfaceId != 0) {
        return;
    }
    m_surfaceSize = size;
    resize(sizeHint());
    update();
}

void RdpInterimDesktop::onSurfaceContentsChanged(int surfaceId, const QRegion& region) {
    if (surfaceId != 0) {
        return;
    }
    const double f = factor();
    const QRect bounds = region.boundingRect();
    update(QRect(int(std::floor(bounds.x() / f)), int(std::floor(bounds.y() / f)),
                 int(std::ceil(bounds.width() / f)) + 2, int(std::ceil(bounds.height() / f)) + 2));
}

void RdpInterimDesktop::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), Qt::black);
    const RdpMaster* session = master();
    if (!session) {
        return;
    }
    // Outside the fan-out: surfaceImage takes the session's surface lock.
    const QImage image = session->surfaceImage(0);
    if (image.isNull()) {
        return;
    }
    const double f = factor();
    painter.scale(1.0 / f, 1.0 / f);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, f != 1.0);
    painter.drawImage(QPoint(0, 0), image);
}

void RdpInterimDesktop::closeEvent(QCloseEvent* event) {
    event->accept();
    if (RdpMaster* session = master()) {
        emit session->wantsToQuit();
    }
}

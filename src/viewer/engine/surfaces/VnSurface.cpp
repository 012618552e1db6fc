#include "viewer/engine/surfaces/VnSurface.h"

#include "viewer/engine/constants/ViewerConstants.h"

#include <QCoreApplication>
#include <QMutexLocker>

VnSurfaceSource::~VnSurfaceSource() = default;

VnSurface::VnSurface(QObject* controller, int surfaceId, QObject* parent)
    : QObject(parent)
    , m_controller(controller)
    , m_source(dynamic_cast<const VnSurfaceSource*>(controller))
    , m_surfaceId(surfaceId) {
    if (!controller) {
        return;
    }
    connect(controller, SIGNAL(surfaceAttached(int)), this, SLOT(onSurfaceAttached(int)));
    connect(controller, SIGNAL(surfaceDetached(int)), this, SLOT(onSurfaceDetached(int)));
    connect(controller, SIGNAL(surfaceSizeChanged(int, QSize)), this, SLOT(onSurfaceSizeChanged(int, QSize)));
    connect(controller, SIGNAL(surfaceContentsChanged(int, QRegion)), this,
            SLOT(onSurfaceContentsChanged(int, QRegion)));
    m_attached = lookUp() != nullptr;
}

VnSurface::~VnSurface() = default;

bool VnSurface::isActive() const {
    QMutexLocker lock(&m_mutex);
    return m_active;
}

std::shared_ptr<QImage> VnSurface::lookUp() const {
    if (!m_controller || !m_source || m_surfaceId < 0) {
        return nullptr;
    }
    const Surface::SurfaceMap& surfaces = m_source->surfaceMap();
    auto it = surfaces.find(Surface::SurfaceId(m_surfaceId));
    return it == surfaces.end() ? nullptr : it->second;
}

QImage VnSurface::image() const {
    if (!m_attached) {
        return QImage();
    }
    std::shared_ptr<QImage> image = lookUp();
    return image ? *image : QImage();
}

QSize VnSurface::surfaceSize() const {
    std::shared_ptr<QImage> image = lookUp();
    return image ? image->size() : m_defaultSize;
}

void VnSurface::setDefaultSize(QSize size) {
    m_defaultSize = size;
}

void VnSurface::detach() {
    QMutexLocker lock(&m_mutex);
    m_active = false;
    QCoreApplication::removePostedEvents(this, VnConstants::surfaceImageEventType());
    m_waitCondition.wakeAll();
}

void VnSurface::onSurfaceAttached(int surfaceId) {
    if (surfaceId != m_surfaceId) {
        return;
    }
    m_attached = true;
    if (std::shared_ptr<QImage> image = lookUp()) {
        emit surfaceSizeChanged(image->size());
        emit surfaceContentsChanged(QRegion(image->rect()));
    }
}

void VnSurface::onSurfaceDetached(int surfaceId) {
    if (surfaceId == m_surfaceId) {
        m_attached = false;
    }
}

void VnSurface::onSurfaceSizeChanged(int surfaceId, QSize size) {
    if (surfaceId != m_surfaceId) {
        return;
    }
    emit surfaceSizeChanged(size);
    emit surfaceContentsChanged(QRegion(QRect(QPoint(0, 0), size)));
}

void VnSurface::onSurfaceContentsChanged(int surfaceId, QRegion region) {
    if (surfaceId == m_surfaceId) {
        emit surfaceContentsChanged(region);
    }
}

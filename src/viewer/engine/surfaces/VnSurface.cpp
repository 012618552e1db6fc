#include "viewer/engine/surfaces/VnSurface.h"

#include "viewer/engine/constants/ViewerConstants.h"

#include <QCoreApplication>
#include <QMutexLocker>

VnSurfaceSource::~VnSurfaceSource() = default;

void VnSurfaceSource::readSurfaces(const std::function<void(const Surface::SurfaceMap&)>& read) const {
    read(surfaceMap());
}

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
    readImage([this](const QImage* image) { m_attached = image != nullptr; });
}

VnSurface::~VnSurface() = default;

bool VnSurface::isActive() const {
    QMutexLocker lock(&m_mutex);
    return m_active;
}

void VnSurface::readImage(const std::function<void(const QImage*)>& f) const {
    if (!m_controller || !m_source || m_surfaceId < 0) {
        f(nullptr);
        return;
    }
    m_source->readSurfaces([this, &f](const Surface::SurfaceMap& surfaces) {
        auto it = surfaces.find(Surface::SurfaceId(m_surfaceId));
        f(it == surfaces.end() ? nullptr : it->second.get());
    });
}

QImage VnSurface::image() const {
    QImage copy;
    if (m_attached) {
        // The copy shares the pixels; the next command that paints the surface detaches it.
        readImage([&copy](const QImage* image) {
            if (image) {
                copy = *image;
            }
        });
    }
    return copy;
}

QSize VnSurface::surfaceSize() const {
    QSize size = m_defaultSize;
    readImage([&size](const QImage* image) {
        if (image) {
            size = image->size();
        }
    });
    return size;
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
    QSize size;
    readImage([&size](const QImage* image) {
        if (image) {
            size = image->size();
        }
    });
    if (size.isValid()) {
        emit surfaceSizeChanged(size);
        emit surfaceContentsChanged(QRegion(QRect(QPoint(0, 0), size)));
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

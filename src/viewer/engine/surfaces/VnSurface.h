#pragma once

// A window's view of one surface of its session. It follows the controller's surface signals for its
// surface id and reads the image from the controller's surface map.

#include "viewer/engine/surfaces/SurfaceCommands.h"

#include <QImage>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QRegion>
#include <QSize>
#include <QWaitCondition>

#include <functional>

// What a surface view needs of its controller besides the controller's signals surfaceAttached(int),
// surfaceDetached(int), surfaceSizeChanged(int, QSize) and surfaceContentsChanged(int, QRegion).
// The controller derives from QObject and from this. Views read the map only through readSurfaces.
class VnSurfaceSource {
public:
    virtual ~VnSurfaceSource();
    virtual const Surface::SurfaceMap& surfaceMap() const = 0;
    // Runs read with the map while no command is being applied to it. A controller whose commands are
    // applied on another thread takes its lock here; the default reads the map directly.
    virtual void readSurfaces(const std::function<void(const Surface::SurfaceMap&)>& read) const;
};

class VnSurface : public QObject {
    Q_OBJECT
    Q_PROPERTY(QSize surfaceSize READ surfaceSize NOTIFY surfaceSizeChanged)

public:
    // The controller must be a QObject that also derives from VnSurfaceSource.
    VnSurface(QObject* controller, int surfaceId, QObject* parent = nullptr);
    ~VnSurface() override;

    int surfaceId() const { return m_surfaceId; }
    bool isAttached() const { return m_attached; }
    bool isActive() const;

    // A copy of the surface's image that later commands leave unchanged; null while detached.
    QImage image() const;
    // The image's size, or the default size while there is no image.
    QSize surfaceSize() const;
    void setDefaultSize(QSize size);

    // Stops the view for good: pending image hand-overs are dropped and waiters woken.
    void detach();

signals:
    void surfaceContentsChanged(QRegion invalid);
    void surfaceSizeChanged(QSize size);

private slots:
    void onSurfaceAttached(int surfaceId);
    void onSurfaceDetached(int surfaceId);
    void onSurfaceSizeChanged(int surfaceId, QSize size);
    void onSurfaceContentsChanged(int surfaceId, QRegion region);

private:
    // Runs f with this view's surface image (null when there is none) under the source's read rule.
    void readImage(const std::function<void(const QImage*)>& f) const;

    QPointer<QObject> m_controller;
    const VnSurfaceSource* m_source = nullptr;
    mutable QMutex m_mutex;
    bool m_active = true;
    QWaitCondition m_waitCondition;
    bool m_attached = false;
    int m_surfaceId;
    QSize m_defaultSize{800, 600};
};

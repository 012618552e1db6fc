#include "viewer/engine/constants/ViewerConstants.h"
#include "viewer/engine/surfaces/VnSurface.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// Stands in for the session controller: its surface map and the four surface signals.
class Controller : public QObject, public VnSurfaceSource {
    Q_OBJECT

public:
    Surface::SurfaceMap surfaces;
    const Surface::SurfaceMap& surfaceMap() const override { return surfaces; }

    void add(int id, QSize size, QRgb fill) {
        auto image = std::make_shared<QImage>(size, QImage::Format_ARGB32);
        image->fill(fill);
        surfaces[Surface::SurfaceId(id)] = image;
    }

signals:
    void surfaceAttached(int surfaceId);
    void surfaceDetached(int surfaceId);
    void surfaceSizeChanged(int surfaceId, QSize size);
    void surfaceContentsChanged(int surfaceId, QRegion region);
};

class RecordingSurface : public VnSurface {
public:
    using VnSurface::VnSurface;
    QList<int> received;

protected:
    void customEvent(QEvent* event) override { received.append(event->type()); }
};

} // namespace

class TestVnSurface : public QObject {
    Q_OBJECT

private slots:
    void detachedUntilTheSurfaceExists() {
        Controller controller;
        VnSurface view(&controller, 2);
        QVERIFY(!view.isAttached());
        QVERIFY(view.image().isNull());
        QCOMPARE(view.surfaceSize(), QSize(800, 600));
        view.setDefaultSize(QSize(1024, 768));
        QCOMPARE(view.property("surfaceSize").toSize(), QSize(1024, 768));

        QSignalSpy sizes(&view, &VnSurface::surfaceSizeChanged);
        QSignalSpy contents(&view, &VnSurface::surfaceContentsChanged);
        controller.add(2, QSize(40, 30), qRgb(1, 2, 3));
        emit controller.surfaceAttached(1); // another surface: ignored
        QCOMPARE(sizes.count(), 0);
        emit controller.surfaceAttached(2);
        QVERIFY(view.isAttached());
        QCOMPARE(sizes.count(), 1);
        QCOMPARE(sizes.at(0).at(0).toSize(), QSize(40, 30));
        QCOMPARE(contents.count(), 1);
        QCOMPARE(contents.at(0).at(0).value<QRegion>(), QRegion(0, 0, 40, 30));
        QCOMPARE(view.surfaceSize(), QSize(40, 30));
        QCOMPARE(view.image().pixel(0, 0), qRgb(1, 2, 3));
    }

    void attachedWhenTheSurfaceAlreadyExists() {
        Controller controller;
        controller.add(0, QSize(10, 10), qRgb(4, 5, 6));
        VnSurface view(&controller, 0);
        QVERIFY(view.isAttached());
        QCOMPARE(view.image().size(), QSize(10, 10));

        emit controller.surfaceDetached(0);
        QVERIFY(!view.isAttached());
        QVERIFY(view.image().isNull());
    }

    void forwardsItsOwnSignalsOnly() {
        Controller controller;
        controller.add(3, QSize(10, 10), qRgb(0, 0, 0));
        VnSurface view(&controller, 3);
        QSignalSpy sizes(&view, &VnSurface::surfaceSizeChanged);
        QSignalSpy contents(&view, &VnSurface::surfaceContentsChanged);

        emit controller.surfaceContentsChanged(4, QRegion(0, 0, 1, 1));
        emit controller.surfaceSizeChanged(4, QSize(1, 1));
        QCOMPARE(sizes.count() + contents.count(), 0);

        emit controller.surfaceContentsChanged(3, QRegion(2, 2, 3, 3));
        QCOMPARE(contents.count(), 1);
        QCOMPARE(contents.takeFirst().at(0).value<QRegion>(), QRegion(2, 2, 3, 3));

        // A size change also invalidates the whole new area.
        emit controller.surfaceSizeChanged(3, QSize(20, 15));
        QCOMPARE(sizes.count(), 1);
        QCOMPARE(sizes.at(0).at(0).toSize(), QSize(20, 15));
        QCOMPARE(contents.count(), 1);
        QCOMPARE(contents.at(0).at(0).value<QRegion>(), QRegion(0, 0, 20, 15));
    }

    // The image handed out is a copy: painting the surface afterwards leaves it as it was.
    void imageIsASnapshot() {
        Controller controller;
        controller.add(0, QSize(8, 8), qRgb(10, 10, 10));
        VnSurface view(&controller, 0);
        const QImage before = view.image();
        controller.surfaces[0]->fill(qRgb(200, 200, 200));
        QCOMPARE(before.pixel(3, 3), qRgb(10, 10, 10));
        QCOMPARE(view.image().pixel(3, 3), qRgb(200, 200, 200));
    }

    void detachDropsPendingHandOvers() {
        Controller controller;
        RecordingSurface view(&controller, 0);
        QVERIFY(view.isActive());
        QCoreApplication::postEvent(&view, new QEvent(VnConstants::surfaceImageEventType()));
        QCoreApplication::postEvent(&view, new QEvent(QEvent::User));
        view.detach();
        QVERIFY(!view.isActive());
        QCoreApplication::sendPostedEvents(&view);
        // Only the hand-over is gone; the object's other events still arrive.
        QCOMPARE(view.received, QList<int>{QEvent::User});
    }

    void outlivesItsController() {
        auto controller = std::make_unique<Controller>();
        controller->add(0, QSize(8, 8), qRgb(1, 1, 1));
        VnSurface view(controller.get(), 0);
        controller.reset();
        QVERIFY(view.image().isNull());
        QCOMPARE(view.surfaceSize(), QSize(800, 600));
    }
};

QTEST_MAIN(TestVnSurface)
#include "tst_vnsurface.moc"

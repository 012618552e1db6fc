#include "viewer/engine/surfaces/SurfaceCommands.h"

#include <QPainter>
#include <QtTest>

#include <memory>

using namespace Surface;

namespace {

// An image whose every pixel tells its own coordinates, so that misplaced copies show.
QImage coordinateImage(QSize size, int alpha = 255) {
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            image.setPixel(x, y, qRgba(x & 0xFF, y & 0xFF, (x >> 8) | ((y >> 8) << 4), alpha));
        }
    }
    return image;
}

SurfaceMap mapWith(SurfaceId id, const QImage& image) {
    SurfaceMap surfaces;
    surfaces[id] = std::make_shared<QImage>(image);
    return surfaces;
}

} // namespace

class TestSurfaceCommands : public QObject {
    Q_OBJECT

private slots:
    void createMakesBlackSurfaceOnce() {
        SurfaceMap surfaces;
        CommandList changes;
        QVERIFY(CreateCommand(3, QSize(20, 10)).apply(surfaces, changes));
        QCOMPARE(surfaces.count(3), std::size_t(1));
        const QImage& image = *surfaces[3];
        QCOMPARE(image.size(), QSize(20, 10));
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        QCOMPARE(image.pixel(19, 9), qRgb(0, 0, 0));
        QCOMPARE(changes.size(), std::size_t(1));
        auto record = std::dynamic_pointer_cast<CreateCommand>(changes.front());
        QVERIFY(record);
        QCOMPARE(record->id, 3u);
        QCOMPARE(record->size, QSize(20, 10));

        // A second create for the id fails and leaves the old image.
        surfaces[3]->setPixel(0, 0, qRgb(1, 2, 3));
        QVERIFY(!CreateCommand(3, QSize(5, 5)).apply(surfaces, changes));
        QCOMPARE(surfaces[3]->size(), QSize(20, 10));
        QCOMPARE(surfaces[3]->pixel(0, 0), qRgb(1, 2, 3));
        QCOMPARE(changes.size(), std::size_t(1));
    }

    // A window's surface may start without pixels and get them when it is resized.
    void emptySurfaceCanGrow() {
        SurfaceMap surfaces;
        CommandList changes;
        QVERIFY(CreateCommand(2, QSize(0, 30)).apply(surfaces, changes));
        QVERIFY(surfaces.at(2)->isNull());
        QVERIFY(ResizeCommand(2, QSize(16, 8)).apply(surfaces, changes));
        QCOMPARE(surfaces.at(2)->size(), QSize(16, 8));
        QCOMPARE(surfaces.at(2)->format(), QImage::Format_ARGB32);
        QCOMPARE(surfaces.at(2)->pixel(15, 7), qRgb(0, 0, 0));
        QCOMPARE(changes.size(), std::size_t(2));
    }

    void destroy() {
        SurfaceMap surfaces = mapWith(1, coordinateImage(QSize(4, 4)));
        CommandList changes;
        QVERIFY(!DestroyCommand(2).apply(surfaces, changes));
        QVERIFY(changes.empty());
        QVERIFY(DestroyCommand(1).apply(surfaces, changes));
        QVERIFY(surfaces.empty());
        QVERIFY(std::dynamic_pointer_cast<DestroyCommand>(changes.front()));
    }

    void resize_data() {
        QTest::addColumn<QSize>("newSize");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("larger") << QSize(60, 50) << true;
        QTest::newRow("smaller") << QSize(10, 5) << true;
        QTest::newRow("zero width") << QSize(0, 40) << false;
        QTest::newRow("zero height") << QSize(40, 0) << false;
    }

    void resize() {
        QFETCH(QSize, newSize);
        QFETCH(bool, succeeds);
        // Translucent pixels must keep their exact values, not be blended onto the black fill.
        const QImage old = coordinateImage(QSize(40, 30), 0x40);
        SurfaceMap surfaces = mapWith(7, old);
        auto before = surfaces[7];
        CommandList changes;
        QCOMPARE(ResizeCommand(7, newSize).apply(surfaces, changes), succeeds);
        if (!succeeds) {
            QCOMPARE(surfaces[7], before);
            QVERIFY(changes.empty());
            return;
        }
        const QImage& image = *surfaces[7];
        QCOMPARE(image.size(), newSize);
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        for (int y = 0; y < newSize.height(); ++y) {
            for (int x = 0; x < newSize.width(); ++x) {
                const QRgb expected = old.rect().contains(x, y) ? old.pixel(x, y) : qRgb(0, 0, 0);
                QCOMPARE(image.pixel(x, y), expected);
            }
        }
        QCOMPARE(changes.size(), std::size_t(1));
    }

    void resizeUnknownSurfaceFails() {
        SurfaceMap surfaces;
        CommandList changes;
        QVERIFY(!ResizeCommand(1, QSize(10, 10)).apply(surfaces, changes));
    }

    void copyBetweenSurfaces() {
        SurfaceMap surfaces = mapWith(1, coordinateImage(QSize(64, 64), 0x80));
        surfaces[2] = std::make_shared<QImage>(QSize(64, 64), QImage::Format_ARGB32);
        surfaces[2]->fill(Qt::black);
        const QRegion region = QRegion(0, 0, 8, 8) + QRegion(20, 20, 4, 10);
        CommandList changes;
        QVERIFY(CopyCommand(1, region, 2, QPoint(30, 1)).apply(surfaces, changes));
        const QImage& source = *surfaces[1];
        const QImage& destination = *surfaces[2];
        for (int y = 0; y < 64; ++y) {
            for (int x = 0; x < 64; ++x) {
                const QPoint from = QPoint(x, y) - QPoint(30, 1);
                const QRgb expected = region.contains(from) ? source.pixel(from) : qRgb(0, 0, 0);
                QCOMPARE(destination.pixel(x, y), expected);
            }
        }
        auto record = std::dynamic_pointer_cast<CopyCommand>(changes.front());
        QVERIFY(record);
        QCOMPARE(record->sourceRegion, region);
        QCOMPARE(record->offset, QPoint(30, 1));
    }

    void copyOutsideFails_data() {
        QTest::addColumn<QRegion>("region");
        QTest::addColumn<QPoint>("offset");
        QTest::addColumn<QString>("warning");
        QTest::newRow("beyond source")
            << QRegion(60, 0, 8, 8) << QPoint(0, 0) << "outside of source image rect";
        QTest::newRow("negative source")
            << QRegion(-1, 0, 8, 8) << QPoint(4, 0) << "outside of source image rect";
        QTest::newRow("beyond destination")
            << QRegion(0, 0, 8, 8) << QPoint(0, 30) << "outside of destination image rect";
    }

    void copyOutsideFails() {
        QFETCH(QRegion, region);
        QFETCH(QPoint, offset);
        QFETCH(QString, warning);
        SurfaceMap surfaces = mapWith(1, coordinateImage(QSize(64, 64)));
        surfaces[2] = std::make_shared<QImage>(QSize(32, 32), QImage::Format_ARGB32);
        surfaces[2]->fill(Qt::black);
        const QImage before = surfaces[2]->copy();
        CommandList changes;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
        QVERIFY(!CopyCommand(1, region, 2, offset).apply(surfaces, changes));
        QCOMPARE(*surfaces[2], before);
        QVERIFY(changes.empty());
    }

    void copyMissingSurfaceFails() {
        SurfaceMap surfaces = mapWith(1, coordinateImage(QSize(16, 16)));
        CommandList changes;
        QVERIFY(!CopyCommand(9, QRegion(0, 0, 4, 4), 1, QPoint()).apply(surfaces, changes));
        QVERIFY(!CopyCommand(1, QRegion(0, 0, 4, 4), 9, QPoint()).apply(surfaces, changes));
        QVERIFY(changes.empty());
    }

    // Scrolling inside one surface must read every rect from the picture before the copy started.
    void scrollWithinSurface_data() {
        QTest::addColumn<QRegion>("region");
        QTest::addColumn<QPoint>("offset");
        QTest::newRow("up by 16") << QRegion(0, 16, 200, 184) << QPoint(0, -16);
        QTest::newRow("down by 16") << QRegion(0, 0, 200, 184) << QPoint(0, 16);
        QTest::newRow("left, in bands")
            << (QRegion(10, 0, 190, 50) + QRegion(10, 60, 190, 50)) << QPoint(-10, 5);
        QTest::newRow("right by 1") << QRegion(0, 0, 199, 200) << QPoint(1, 0);
        QTest::newRow("down and left") << QRegion(5, 0, 190, 190) << QPoint(-5, 7);
        QTest::newRow("up and right") << QRegion(0, 9, 150, 150) << QPoint(30, -9);
    }

    void scrollWithinSurface() {
        QFETCH(QRegion, region);
        QFETCH(QPoint, offset);
        const QImage original = coordinateImage(QSize(200, 200));
        SurfaceMap surfaces = mapWith(0, original);
        CommandList changes;
        QVERIFY(CopyCommand(0, region, 0, offset).apply(surfaces, changes));
        const QImage& result = *surfaces[0];
        const QRegion destination = region.translated(offset);
        for (int y = 0; y < 200; ++y) {
            for (int x = 0; x < 200; ++x) {
                const QPoint p(x, y);
                const QRgb expected =
                    destination.contains(p) ? original.pixel(p - offset) : original.pixel(p);
                if (result.pixel(p) != expected) {
                    QFAIL(qPrintable(QStringLiteral("smeared at %1,%2").arg(x).arg(y)));
                }
            }
        }
    }

    // After a copy the source entry is a new image object: an earlier holder keeps what it saw.
    void copyLeavesEarlierHoldersUnchanged() {
        SurfaceMap surfaces = mapWith(0, coordinateImage(QSize(32, 32)));
        std::shared_ptr<QImage> held = surfaces[0];
        const QImage snapshot = held->copy();
        CommandList changes;
        QVERIFY(CopyCommand(0, QRegion(0, 0, 8, 8), 0, QPoint(16, 16)).apply(surfaces, changes));
        QVERIFY(surfaces[0] != held);

        QImage patch(8, 8, QImage::Format_ARGB32);
        patch.fill(qRgb(9, 9, 9));
        QVERIFY(UpdateCommand(0, std::make_shared<QImage>(patch), QRegion(0, 0, 8, 8), QPoint())
                    .apply(surfaces, changes));
        QCOMPARE(surfaces[0]->pixel(0, 0), qRgb(9, 9, 9));
        QVERIFY(held->pixel(0, 0) != qRgb(9, 9, 9));
        QCOMPARE(held->pixel(20, 20), surfaces[0]->pixel(20, 20));
        Q_UNUSED(snapshot);
    }

    void updatePaintsOnlyItsRegion() {
        SurfaceMap surfaces = mapWith(5, QImage(QSize(300, 300), QImage::Format_ARGB32));
        surfaces[5]->fill(Qt::black);
        // The image covers the region's bounding rect (40,100)-(259,229); offset maps surface to image.
        const QImage image = coordinateImage(QSize(220, 130), 0x33);
        const QRegion region =
            QRegion(40, 100, 220, 20) + QRegion(200, 100, 60, 130) + QRegion(40, 228, 1, 1);
        CommandList changes;
        QVERIFY(UpdateCommand(5, std::make_shared<QImage>(image), region, QPoint(-40, -100))
                    .apply(surfaces, changes));
        const QImage& surface = *surfaces[5];
        for (int y = 0; y < 300; ++y) {
            for (int x = 0; x < 300; ++x) {
                const QPoint p(x, y);
                const QRgb expected = region.contains(p) ? image.pixel(p - QPoint(40, 100)) : qRgb(0, 0, 0);
                if (surface.pixel(p) != expected) {
                    QFAIL(qPrintable(QStringLiteral("wrong pixel at %1,%2").arg(x).arg(y)));
                }
            }
        }
        auto record = std::dynamic_pointer_cast<UpdateCommand>(changes.front());
        QVERIFY(record);
        QCOMPARE(record->image, surfaces[5]);
        QCOMPARE(record->region, region);
        QCOMPARE(record->offset, QPoint());
    }

    // A whole-surface update takes the composed pixels without a copy, yet the surface keeps its image
    // object: change records still waiting for the windows hold no earlier frames' pixels.
    void wholeSurfaceUpdatesKeepTheImageObject() {
        SurfaceMap surfaces = mapWith(0, QImage(QSize(64, 32), QImage::Format_ARGB32));
        const std::shared_ptr<QImage> surface = surfaces[0];
        CommandList changes;
        for (QRgb fill : {qRgb(1, 2, 3), qRgba(4, 5, 6, 7)}) {
            auto frame = std::make_shared<QImage>(64, 32, QImage::Format_ARGB32);
            frame->fill(fill);
            QVERIFY(UpdateCommand(0, frame, QRegion(0, 0, 64, 32), QPoint()).apply(surfaces, changes));
            QCOMPARE(surfaces[0]->pixel(10, 10), fill);
            QCOMPARE(surfaces[0]->constBits(), frame->constBits());
        }
        QCOMPARE(surfaces[0], surface);
        for (const CommandPtr& change : changes) {
            QCOMPARE(std::static_pointer_cast<UpdateCommand>(change)->image, surface);
        }
    }

    void updateEdgeCases() {
        SurfaceMap surfaces;
        CommandList changes;
        auto image = std::make_shared<QImage>(4, 4, QImage::Format_ARGB32);
        // An empty region succeeds at once without a change record, even for an unknown surface.
        QVERIFY(UpdateCommand(1, image, QRegion(), QPoint()).apply(surfaces, changes));
        QVERIFY(changes.empty());
        QVERIFY(!UpdateCommand(1, image, QRegion(0, 0, 4, 4), QPoint()).apply(surfaces, changes));
        QVERIFY(changes.empty());
    }

    // Blocks are aligned to multiples of 128, also for regions that start at negative coordinates.
    void paintRegionCoversEveryBlock_data() {
        QTest::addColumn<QRegion>("region");
        QTest::newRow("unaligned") << QRegion(100, 120, 300, 140);
        QTest::newRow("negative start") << QRegion(-130, -5, 400, 260);
        QTest::newRow("two bands") << (QRegion(0, 0, 129, 1) + QRegion(255, 256, 2, 2));
        QRegion scattered;
        for (int i = 0; i < 60; ++i) {
            scattered += QRect((i * 53) % 300, (i * 97) % 280, 3 + i % 7, 2 + i % 5);
        }
        QTest::newRow("scattered rects") << scattered;
    }

    void paintRegionCoversEveryBlock() {
        QFETCH(QRegion, region);
        const QRect bounds = region.boundingRect();
        const QImage image = coordinateImage(bounds.size());
        QImage target(bounds.size() +
                          QSize(bounds.left() < 0 ? 0 : bounds.left(), bounds.top() < 0 ? 0 : bounds.top()),
                      QImage::Format_ARGB32);
        target.fill(Qt::black);
        {
            QPainter painter(&target);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            paintRegion(painter, region, image, -bounds.topLeft());
        }
        for (int y = 0; y < target.height(); ++y) {
            for (int x = 0; x < target.width(); ++x) {
                const QPoint p(x, y);
                const QRgb expected = region.contains(p) ? image.pixel(p - bounds.topLeft()) : qRgb(0, 0, 0);
                if (target.pixel(p) != expected) {
                    QFAIL(qPrintable(QStringLiteral("wrong pixel at %1,%2").arg(x).arg(y)));
                }
            }
        }
    }
};

QTEST_MAIN(TestSurfaceCommands)
#include "tst_surfacecommands.moc"

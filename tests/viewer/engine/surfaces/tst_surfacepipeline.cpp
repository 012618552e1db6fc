#include "viewer/engine/surfaces/VnDecoderRunnables.h"
#include "viewer/engine/surfaces/VnSurfacePipeline.h"

#include <QBuffer>
#include <QImageWriter>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Protocol::Byte;

namespace {

const QSet<Byte> AllCodecs{2, 3, 4, 5, 6, 7};

// A pipeline with the surface map its commands are applied to, as the controller keeps it.
struct Session {
    explicit Session(const QSet<Byte>& codecs = AllCodecs) { pipeline.setNegotiatedCodecs(codecs); }
    bool apply() { return pipeline.applyCommands(surfaces, changes); }
    const QImage& surface(Surface::SurfaceId id) { return *surfaces.at(id); }

    VnSurfacePipeline pipeline;
    Surface::SurfaceMap surfaces;
    Surface::CommandList changes;
};

QByteArray encode(const QImage& image, const char* format, int quality = -1) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image)) {
        qFatal("cannot write %s: %s", format, qPrintable(writer.errorString()));
    }
    return bytes;
}

QByteArray dataFile(const QString& name) {
    QFile file(qEnvironmentVariable("VELNOR_SOURCE_DIR") + "/tests/viewer/engine/surfaces/data/" + name);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing test data %s", qPrintable(file.fileName()));
    }
    return file.readAll();
}

QImage patternImage(QSize size, int alpha = 255) {
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            image.setPixel(x, y, qRgba(40 + x * 3, 200 - y * 2, (x * y) & 0xFF, alpha));
        }
    }
    return image;
}

Protocol::Tile tile(int x, int y, const QByteArray& bytes) {
    Protocol::Tile t;
    t.x = std::int16_t(x);
    t.y = std::int16_t(y);
    t.data.assign(bytes.begin(), bytes.end());
    return t;
}

Protocol::Rect rect(int x, int y, int width, int height) {
    return Protocol::Rect{std::int16_t(x), std::int16_t(y), std::uint16_t(width), std::uint16_t(height)};
}

std::uint32_t crc32(const char* data, int size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < size; ++i) {
        crc ^= std::uint8_t(data[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// A valid small PNG whose header claims another size (its chunk checksum fixed up to match).
QByteArray pngClaiming(QSize claimed) {
    QByteArray png = encode(patternImage(QSize(2, 2)), "png");
    // Signature (8), IHDR length (4) and type (4), then width and height big-endian.
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = char((claimed.width() >> (24 - 8 * i)) & 0xFF);
        png[20 + i] = char((claimed.height() >> (24 - 8 * i)) & 0xFF);
    }
    const std::uint32_t crc = crc32(png.constData() + 12, 17);
    for (int i = 0; i < 4; ++i) {
        png[29 + i] = char((crc >> (24 - 8 * i)) & 0xFF);
    }
    return png;
}

QImage decoded(const QByteArray& bytes, const char* format) {
    return QImage::fromData(bytes, format).convertToFormat(QImage::Format_ARGB32);
}

// Every pixel of the surface: inside the region from `expected` placed at `origin`, elsewhere `outside`.
void verifySurface(const QImage& surface, const QRegion& region, const QImage& expected, QPoint origin,
                   QRgb outside) {
    for (int y = 0; y < surface.height(); ++y) {
        for (int x = 0; x < surface.width(); ++x) {
            const QPoint p(x, y);
            const QRgb want = region.contains(p) ? expected.pixel(p - origin) : outside;
            if (surface.pixel(p) != want) {
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2 is %3, expected %4")
                                     .arg(x)
                                     .arg(y)
                                     .arg(surface.pixel(p), 8, 16, QChar('0'))
                                     .arg(want, 8, 16, QChar('0'))));
            }
        }
    }
}

} // namespace

class TestSurfacePipeline : public QObject {
    Q_OBJECT

private slots:
    void commandsApplyInMessageOrder() {
        Session s;
        QVERIFY(!s.apply());
        s.pipeline.surfaceCreate(1, 10, 10);
        s.pipeline.surfaceResize(1, 20, 16);
        s.pipeline.surfaceCreate(2, 20, 16);
        s.pipeline.surfaceCopy(1, {rect(0, 0, 4, 4), rect(2, 2, 4, 4)}, 2, Protocol::Offset{10, 5});
        s.pipeline.surfaceDestroy(9);
        s.pipeline.surfaceDestroy(1);
        QCOMPARE(s.pipeline.pendingCommands().size(), std::size_t(6));

        // The destroy of an unknown surface fails with the warning; the commands after it still run.
        QTest::ignoreMessage(QtWarningMsg,
                             "In VnServerConnection::applyCommands failed to apply command list");
        QVERIFY(s.apply());
        QVERIFY(s.pipeline.pendingCommands().empty());
        QCOMPARE(s.surfaces.size(), std::size_t(1));
        QCOMPARE(s.surface(2).size(), QSize(20, 16));
        QCOMPARE(s.changes.size(), std::size_t(5));
        auto copy = std::dynamic_pointer_cast<Surface::CopyCommand>(*std::next(s.changes.begin(), 3));
        QVERIFY(copy);
        QCOMPARE(copy->sourceRegion, QRegion(0, 0, 4, 4) + QRegion(2, 2, 4, 4));
        QCOMPARE(copy->offset, QPoint(10, 5));
        QVERIFY(!s.apply());
    }

    void imageTilesComposeIntoSurface_data() {
        QTest::addColumn<Byte>("codec");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("bytes");
        const QImage picture = patternImage(QSize(40, 24));
        QTest::newRow("jpeg") << Byte(3) << QByteArray("jpeg") << encode(picture, "jpeg", 90);
        QTest::newRow("png") << Byte(4) << QByteArray("png") << encode(picture, "png");
        QTest::newRow("gif") << Byte(5) << QByteArray("gif") << dataFile("checks-64x64.gif");
        QTest::newRow("webp") << Byte(6) << QByteArray("webp") << encode(picture, "webp", 100);
    }

    void imageTilesComposeIntoSurface() {
        QFETCH(Byte, codec);
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, bytes);
        Session s;
        s.pipeline.surfaceCreate(0, 120, 90);
        // The region covers part of the tile and some space no tile covers: only tile pixels paint.
        const QPoint origin(30, 20);
        s.pipeline.imageCodecUpdate(codec, 0, {rect(35, 25, 20, 10), rect(0, 0, 10, 10)},
                                    {tile(origin.x(), origin.y(), bytes)});
        QVERIFY(s.apply());
        verifySurface(s.surface(0), QRegion(35, 25, 20, 10), decoded(bytes, format), origin, qRgb(0, 0, 0));
        auto update = std::dynamic_pointer_cast<Surface::UpdateCommand>(s.changes.back());
        QVERIFY(update);
        QCOMPARE(update->region, QRegion(35, 25, 20, 10));
    }

    // Overlapping tiles compose in message order: the later one wins where they overlap.
    void laterTileWins() {
        Session s;
        s.pipeline.surfaceCreate(0, 64, 64);
        QImage red(30, 30, QImage::Format_ARGB32);
        red.fill(qRgb(255, 0, 0));
        QImage blue(30, 30, QImage::Format_ARGB32);
        blue.fill(qRgb(0, 0, 255));
        s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 64, 64)},
                                    {tile(0, 0, encode(red, "png")), tile(20, 20, encode(blue, "png"))});
        s.apply();
        QCOMPARE(s.surface(0).pixel(10, 10), qRgb(255, 0, 0));
        QCOMPARE(s.surface(0).pixel(25, 25), qRgb(0, 0, 255));
        QCOMPARE(s.surface(0).pixel(49, 49), qRgb(0, 0, 255));
        QCOMPARE(s.surface(0).pixel(55, 5), qRgb(0, 0, 0));
    }

    // Remote windows with transparency need the decoded alpha on the surface, exactly.
    void alphaSurvivesComposing_data() {
        QTest::addColumn<Byte>("codec");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("png, translucent")
            << Byte(4) << QByteArray("png") << encode(patternImage(QSize(16, 8), 0x40), "png");
        QTest::newRow("png, nearly clear")
            << Byte(4) << QByteArray("png") << encode(patternImage(QSize(16, 8), 1), "png");
        QTest::newRow("gif, transparent index")
            << Byte(5) << QByteArray("gif") << dataFile("stripes-16x8-transparent.gif");
    }

    void alphaSurvivesComposing() {
        QFETCH(Byte, codec);
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, bytes);
        Session s;
        s.pipeline.surfaceCreate(0, 32, 16);
        s.pipeline.imageCodecUpdate(codec, 0, {rect(0, 0, 32, 16)}, {tile(8, 4, bytes)});
        s.apply();
        const QImage expected = decoded(bytes, format);
        QVERIFY(expected.hasAlphaChannel());
        verifySurface(s.surface(0), QRegion(8, 4, 16, 8), expected, QPoint(8, 4), qRgb(0, 0, 0));
        QCOMPARE(s.surface(0).format(), QImage::Format_ARGB32);
    }

    void tileThatFailsPaintsNothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray png = encode(patternImage(QSize(20, 20)), "png");
        QTest::newRow("garbage") << QByteArray("not an image at all");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("truncated") << png.left(png.size() / 2);
        QTest::newRow("header claims 60000x60000") << pngClaiming(QSize(60000, 60000));
        QTest::newRow("header claims 1x2000000000") << pngClaiming(QSize(1, 2000000000));
        QTest::newRow("larger than the surface") << encode(patternImage(QSize(200, 10)), "png");
    }

    void tileThatFailsPaintsNothing() {
        QFETCH(QByteArray, bytes);
        Session s;
        s.pipeline.surfaceCreate(0, 100, 100);
        QImage white(100, 100, QImage::Format_ARGB32);
        white.fill(Qt::white);
        s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 100, 100)}, {tile(0, 0, encode(white, "png"))});
        // A failing tile between two good ones: its area keeps what the surface had.
        QImage green(10, 10, QImage::Format_ARGB32);
        green.fill(Qt::green);
        s.pipeline.imageCodecUpdate(
            4, 0, {rect(0, 0, 100, 100)},
            {tile(0, 0, encode(green, "png")), tile(40, 40, bytes), tile(90, 90, encode(green, "png"))});
        s.apply();
        const QImage& surface = s.surface(0);
        QCOMPARE(surface.pixel(5, 5), qRgb(0, 255, 0));
        QCOMPARE(surface.pixel(95, 95), qRgb(0, 255, 0));
        QCOMPARE(surface.pixel(45, 45), qRgb(255, 255, 255));
        QCOMPARE(surface.pixel(99, 0), qRgb(255, 255, 255));
        auto update = std::dynamic_pointer_cast<Surface::UpdateCommand>(s.changes.back());
        QCOMPARE(update->region, QRegion(0, 0, 10, 10) + QRegion(90, 90, 10, 10));
    }

    void composedImageStaysInsideSurface() {
        Session s;
        s.pipeline.surfaceCreate(0, 100, 50);
        QImage picture(64, 64, QImage::Format_ARGB32);
        picture.fill(Qt::red);
        s.pipeline.imageCodecUpdate(4, 0, {rect(-30000, -30000, 65535, 65535)},
                                    {tile(80, 40, encode(picture, "png"))});
        auto update = std::dynamic_pointer_cast<Surface::UpdateCommand>(s.pipeline.pendingCommands().back());
        QVERIFY(update && update->image);
        QCOMPARE(update->image->size(), QSize(20, 10));
        QCOMPARE(update->region, QRegion(80, 40, 20, 10));
        s.apply();
        QCOMPARE(s.surface(0).pixel(99, 49), qRgb(255, 0, 0));
        QCOMPARE(s.surface(0).pixel(79, 49), qRgb(0, 0, 0));
    }

    void updateOfUnknownSurfaceFailsWhenApplied() {
        Session s;
        QImage picture(8, 8, QImage::Format_ARGB32);
        picture.fill(Qt::red);
        s.pipeline.imageCodecUpdate(4, 3, {rect(0, 0, 8, 8)}, {tile(0, 0, encode(picture, "png"))});
        QTest::ignoreMessage(QtWarningMsg,
                             "In VnServerConnection::applyCommands failed to apply command list");
        QVERIFY(s.apply());
        QVERIFY(s.changes.empty());
    }

    void invalidCodecEndsTheSession_data() {
        QTest::addColumn<QSet<Byte>>("negotiated");
        QTest::addColumn<Byte>("codec");
        QTest::addColumn<bool>("withoutName");
        QTest::addColumn<QString>("message");
        QTest::newRow("jpeg not negotiated") << QSet<Byte>{2, 4} << Byte(3) << false << "invalid codec 3";
        QTest::newRow("png without a format name") << AllCodecs << Byte(4) << true << "invalid codec 4";
        QTest::newRow("rfx7 not negotiated") << QSet<Byte>{3, 7} << Byte(2) << false << "invalid codec 2";
        QTest::newRow("progressive without rfx7") << QSet<Byte>{7} << Byte(7) << false << "invalid codec 2";
    }

    void invalidCodecEndsTheSession() {
        QFETCH(QSet<Byte>, negotiated);
        QFETCH(Byte, codec);
        QFETCH(bool, withoutName);
        QFETCH(QString, message);
        Session s(negotiated);
        if (withoutName) {
            auto names = VnSurfacePipeline::defaultCodecFormatNames();
            names.remove(codec);
            s.pipeline.setCodecFormatNames(names);
        }
        QSignalSpy failed(&s.pipeline, &VnSurfacePipeline::failed);
        s.pipeline.surfaceCreate(0, 64, 64);
        if (codec == 2 || codec == 7) {
            s.pipeline.rfx7Update(0, {}, {}, {}, {rect(0, 0, 64, 64)}, {}, codec == 7);
        } else {
            s.pipeline.imageCodecUpdate(codec, 0, {rect(0, 0, 64, 64)}, {});
        }
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), message);
        QCOMPARE(failed.at(0).at(1).value<uchar>(), uchar(4));
        QCOMPARE(s.pipeline.pendingCommands().size(), std::size_t(1));
    }

    void progressiveWithoutNegotiationIsDropped() {
        Session s(QSet<Byte>{2});
        QSignalSpy failed(&s.pipeline, &VnSurfacePipeline::failed);
        s.pipeline.surfaceCreate(0, 64, 64);
        s.pipeline.rfx7Update(0, {}, {}, {}, {rect(0, 0, 64, 64)}, {tile(0, 0, "xx")}, true);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(s.pipeline.pendingCommands().size(), std::size_t(1));
    }

    // Sizes are checked when the message arrives; the session ends before anything is allocated.
    void oversizedSurfacesEndTheSession_data() {
        QTest::addColumn<QList<QList<int>>>("messages"); // {kind, id, width, height}: 0 create, 1 resize
        QTest::addColumn<int>("queuedBeforeFailure");
        QTest::newRow("create too wide") << QList<QList<int>>{{0, 1, 16385, 1}} << 0;
        QTest::newRow("create too tall") << QList<QList<int>>{{0, 1, 1, 65535}} << 0;
        QTest::newRow("resize too wide") << QList<QList<int>>{{0, 1, 10, 10}, {1, 1, 16385, 10}} << 1;
        QTest::newRow("largest side is fine, total is not")
            << QList<QList<int>>{{0, 1, 16384, 16384}, {0, 2, 1, 1}} << 1;
        QTest::newRow("fifth quarter over the total") << QList<QList<int>>{{0, 1, 16384, 4096},
                                                                           {0, 2, 16384, 4096},
                                                                           {0, 3, 16384, 4096},
                                                                           {0, 4, 16384, 4096},
                                                                           {0, 5, 1, 1}}
                                                      << 4;
        QTest::newRow("resize past the total")
            << QList<QList<int>>{{0, 1, 16384, 8192}, {0, 2, 16384, 8192}, {1, 2, 16384, 8193}} << 2;
    }

    void oversizedSurfacesEndTheSession() {
        QFETCH(QList<QList<int>>, messages);
        QFETCH(int, queuedBeforeFailure);
        Session s;
        QSignalSpy failed(&s.pipeline, &VnSurfacePipeline::failed);
        for (const QList<int>& m : messages) {
            if (m[0] == 0) {
                s.pipeline.surfaceCreate(std::uint32_t(m[1]), std::uint16_t(m[2]), std::uint16_t(m[3]));
            } else {
                s.pipeline.surfaceResize(std::uint32_t(m[1]), std::uint16_t(m[2]), std::uint16_t(m[3]));
            }
        }
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(1).value<uchar>(), uchar(4));
        QVERIFY(failed.at(0).at(0).toString().startsWith("surface "));
        QCOMPARE(int(s.pipeline.pendingCommands().size()), queuedBeforeFailure);
        // Nothing more is handled once the session is over.
        s.pipeline.surfaceCreate(9, 1, 1);
        s.pipeline.surfaceCopy(1, {rect(0, 0, 1, 1)}, 1, {});
        QCOMPARE(int(s.pipeline.pendingCommands().size()), queuedBeforeFailure);
        QCOMPARE(failed.count(), 1);
    }

    // Destroying or shrinking a surface gives its memory back to the total.
    void freedSurfaceMemoryCanBeReused() {
        Session s;
        QSignalSpy failed(&s.pipeline, &VnSurfacePipeline::failed);
        s.pipeline.surfaceCreate(1, 16384, 16384);
        s.pipeline.surfaceDestroy(1);
        s.pipeline.surfaceCreate(2, 16384, 16384);
        s.pipeline.surfaceResize(2, 16384, 8192);
        s.pipeline.surfaceCreate(3, 16384, 8192);
        // A create for an existing id changes nothing, so it costs nothing either.
        s.pipeline.surfaceCreate(3, 16384, 16384);
        QCOMPARE(failed.count(), 0);
    }

    void ignoreFrameAppliesEveryPaintAtOnce() {
        Session s;
        QSignalSpy requested(&s.pipeline, &VnSurfacePipeline::frameEndRequested);
        s.pipeline.surfaceCreate(0, 64, 64);
        s.pipeline.surfaceCopy(0, {rect(0, 0, 8, 8)}, 0, {8, 8});
        QCOMPARE(requested.count(), 0);

        s.pipeline.setIgnoreFrame(true);
        s.pipeline.surfaceCreate(1, 8, 8);
        QCOMPARE(requested.count(), 0);
        s.pipeline.surfaceCopy(0, {rect(0, 0, 8, 8)}, 1, {0, 0});
        QCOMPARE(requested.count(), 1);
        s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 8, 8)}, {});
        QCOMPARE(requested.count(), 2);
        s.pipeline.rfx7Update(0, {}, {}, {}, {rect(0, 0, 8, 8)}, {}, false);
        QCOMPARE(requested.count(), 3);
    }

    // Without a frame end, queued images beyond the cap are applied early rather than piling up.
    void queuedImagesAreBounded() {
        Session s;
        QSignalSpy requested(&s.pipeline, &VnSurfacePipeline::frameEndRequested);
        s.pipeline.surfaceCreate(0, 8192, 4096);
        QImage dot(1, 1, QImage::Format_ARGB32);
        dot.fill(Qt::red);
        const QByteArray png = encode(dot, "png");
        // Two dots in opposite corners make a composed image of the whole surface, 128 MiB, each time;
        // only two of its pixels are ever touched.
        for (int i = 0; i < 3; ++i) {
            s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 8192, 4096)},
                                        {tile(0, 0, png), tile(8191, 4095, png)});
        }
        QCOMPARE(requested.count(), 1);
        s.apply();
        s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 8192, 4096)}, {tile(0, 0, png), tile(8191, 4095, png)});
        QCOMPARE(requested.count(), 1);
    }

    void queuedCommandsAreBounded() {
        Session s;
        QSignalSpy requested(&s.pipeline, &VnSurfacePipeline::frameEndRequested);
        for (int i = 0; i < VnSurfacePipeline::MaxPendingCommands; ++i) {
            s.pipeline.surfaceDestroy(std::uint32_t(i));
        }
        QCOMPARE(requested.count(), 0);
        s.pipeline.surfaceDestroy(0);
        QCOMPARE(requested.count(), 1);
    }

    void tileJobsInFlightAreBounded() {
        Session s;
        s.pipeline.decodePool()->setMaxThreadCount(1);
        s.pipeline.surfaceCreate(0, 512, 512);
        QImage dot(1, 1, QImage::Format_ARGB32);
        dot.fill(Qt::red);
        const QByteArray png = encode(dot, "png");
        Protocol::TileList tiles;
        for (int i = 0; i < 2000; ++i) {
            tiles.push_back(tile(i % 512, i / 512, png));
        }
        VnTileDecoderRunnable::resetPeakLiveJobs();
        s.pipeline.imageCodecUpdate(4, 0, {rect(0, 0, 512, 512)}, std::move(tiles));
        QVERIFY(VnTileDecoderRunnable::peakLiveJobs() <= s.pipeline.maxJobsInFlight());
        s.apply();
        QCOMPARE(s.surface(0).pixel(1999 % 512, 1999 / 512), qRgb(255, 0, 0));
    }

    void tileCacheFollowsTheSurface() {
        Session s;
        s.pipeline.surfaceCreate(1, 200, 200);
        for (int x : {0, 64, 128, 192}) {
            s.pipeline.tileCacheEntry(1, std::int16_t(x), 0).hasCoefficients = 1;
        }
        s.pipeline.surfaceResize(1, 100, 200);
        QVERIFY(s.pipeline.tileCache().find(1, 0, 0));
        QVERIFY(s.pipeline.tileCache().find(1, 64, 0));
        QVERIFY(!s.pipeline.tileCache().find(1, 128, 0));
        QVERIFY(!s.pipeline.tileCache().find(1, 192, 0));

        s.pipeline.surfaceCreate(1, 10, 10); // fails when applied, yet the cache starts over
        QCOMPARE(s.pipeline.tileCache().size(1), std::size_t(0));
        s.pipeline.tileCacheEntry(1, 0, 0);
        s.pipeline.surfaceDestroy(1);
        QCOMPARE(s.pipeline.tileCache().size(1), std::size_t(0));
    }

    // Rects united pairwise give the same region as adding them one by one.
    void regionFromManyRects() {
        Protocol::RectList rects;
        QRegion expected;
        for (int i = 0; i < 3000; ++i) {
            rects.push_back(rect((i * 37) % 1900 - 20, (i * 91) % 1060, 3 + i % 5, 2 + i % 3));
            expected += QRect(rects.back().x, rects.back().y, rects.back().width, rects.back().height);
        }
        bool ok = false;
        QCOMPARE(VnSurfacePipeline::regionFromRects(rects, &ok), expected);
        QVERIFY(ok);
        QVERIFY(VnSurfacePipeline::regionFromRects({rect(5, 5, 0, 10)}).isEmpty());
    }

    // A few thousand crossing strips, some 30 kB on the wire, would unite into millions of rects: the
    // message ends the session instead, whatever carries the region.
    void crossingStripsEndTheSession_data() {
        QTest::addColumn<int>("kind"); // 0 copy, 1 image update, 2 RFX7 update
        QTest::newRow("copy") << 0;
        QTest::newRow("image update") << 1;
        QTest::newRow("rfx7 update") << 2;
    }

    void crossingStripsEndTheSession() {
        QFETCH(int, kind);
        Protocol::RectList strips;
        for (int i = 0; i < 2000; ++i) {
            strips.push_back(rect(0, 2 * i, 4096, 1));
            strips.push_back(rect(2 * i, 0, 1, 4096));
        }
        Session s;
        QSignalSpy failed(&s.pipeline, &VnSurfacePipeline::failed);
        s.pipeline.surfaceCreate(1, 4096, 4096);
        QImage dot(1, 1, QImage::Format_ARGB32);
        dot.fill(Qt::red);
        if (kind == 0) {
            s.pipeline.surfaceCopy(1, strips, 1, {0, 0});
        } else if (kind == 1) {
            s.pipeline.imageCodecUpdate(4, 1, strips, {tile(0, 0, encode(dot, "png"))});
        } else {
            s.pipeline.rfx7Update(1, {}, {}, {}, strips, {}, false);
        }
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("region of surface 1 too complex"));
        QCOMPARE(failed.at(0).at(1).value<uchar>(), uchar(4));
        QCOMPARE(int(s.pipeline.pendingCommands().size()), 1); // the create only
    }
};

QTEST_MAIN(TestSurfacePipeline)
#include "tst_surfacepipeline.moc"

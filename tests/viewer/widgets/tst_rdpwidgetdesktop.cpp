#include "RdpWidgetDesktopTestSession.h"
#include "platform/viewer/FakeViewerPlatform.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/widgets/RdpBasic.h"
#include "viewer/widgets/RdpMapping.h"
#include "viewer/widgets/RdpWidgetDesktop.h"
#include "viewer/widgets/SurfaceScaler.h"

#include <QGuiApplication>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPainter>
#include <QPropertyAnimation>
#include <QScopeGuard>
#include <QScreen>
#include <QWindow>
#include <QtTest>

#include <cstdlib>
#include <limits>

namespace {

// What the window system shows of a top-level widget: its backing store, with every partial repaint
// as it happened.
QImage shownImage(QWidget* widget) {
    return widget->windowHandle()
        ->screen()
        ->grabWindow(widget->winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// A fresh paint of the whole widget.
QImage freshImage(QWidget* widget) {
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int largestDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return 256;
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            largest =
                std::max({largest, std::abs(qRed(ra[x]) - qRed(rb[x])),
                          std::abs(qGreen(ra[x]) - qGreen(rb[x])), std::abs(qBlue(ra[x]) - qBlue(rb[x]))});
        }
    }
    return largest;
}

QImage filled(QSize size, QColor colour) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// A pattern with detail down to single pixels, so that any shift or stale pixel shows.
QImage pattern(QSize size, int seed) {
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb((x * 7 + seed * 31) & 255, (y * 13 + seed) & 255, ((x ^ y) * 5) & 255));
    return image;
}

bool matchesFreshPaint(QWidget* widget, int tolerance) {
    return largestDifference(shownImage(widget), freshImage(widget)) <= tolerance;
}

class PaintRecorder : public QObject {
public:
    QRegion painted;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

} // namespace

class TestRdpWidgetDesktop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false")); }

    void init() {
        session = std::make_unique<TestSession>();
        QVERIFY(session->start());
        QVERIFY(session->createSurface(surfaceSize, QColor(40, 60, 90)));
    }
    void cleanup() {
        desktop.reset();
        session.reset();
    }

    void painting_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<int>("tolerance");
        QTest::newRow("1") << 1.0 << 0;
        QTest::newRow("2") << 2.0 << 2;
        QTest::newRow("0.5") << 0.5 << 2;
        QTest::newRow("2/3") << 2.0 / 3.0 << 2;
        QTest::newRow("1.75") << 1.75 << 2;
    }

    // The view shows the surface, and what it shows after updates at odd places equals a fresh paint:
    // no update leaves a stale edge behind.
    void painting() {
        QFETCH(double, factor);
        QFETCH(int, tolerance);
        session->master->setScalingFactor(factor);
        showDesktop();

        QImage surface = pattern(surfaceSize, 1);
        QVERIFY(session->sendImage(surface, 0, 0));
        const QList<QRect> updates{QRect(101, 57, 37, 23), QRect(3, 211, 1, 1), QRect(250, 0, 69, 13),
                                   QRect(0, 0, 1, 239), QRect(318, 238, 2, 2)};
        int seed = 2;
        for (const QRect& area : updates) {
            const QImage patch = pattern(area.size(), seed++);
            QVERIFY(session->sendImage(patch, area.x(), area.y()));
            QPainter(&surface).drawImage(area.topLeft(), patch);
        }
        // Smoothing may round a clipped repaint one step apart from a whole one; a stale pixel of the
        // pattern differs by far more.
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), tolerance));
        if (factor == 1.0)
            QCOMPARE(shownImage(desktop.get()), surface);
    }

    void flatAreasKeepTheirColourWhenScaled_data() {
        QTest::addColumn<double>("factor");
        QTest::newRow("2") << 2.0;
        QTest::newRow("2/3") << 2.0 / 3.0;
    }

    void flatAreasKeepTheirColourWhenScaled() {
        QFETCH(double, factor);
        session->master->setScalingFactor(factor);
        showDesktop();
        QVERIFY(session->sendImage(filled(QSize(161, 121), Qt::red), 37, 29));
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 2));
        const QImage shown = shownImage(desktop.get());
        const auto local = [factor](int x, int y) { return QPoint(int(x / factor), int(y / factor)); };
        QCOMPARE(QColor(shown.pixel(local(100, 90))), QColor(Qt::red));
        QCOMPARE(QColor(shown.pixel(local(10, 10))), QColor(40, 60, 90));
        QCOMPARE(QColor(shown.pixel(local(250, 200))), QColor(40, 60, 90));
    }

    void scaledPaintEqualsTheSurfaceDrawnDirectly_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<QRect>("repainted"); // server pixels
        QTest::addColumn<int>("tolerance");
        // A block of transparent red sits at (120, 80, 60, 50) of an opaque pattern. Opaque areas are
        // scaled by the view's own bilinear scaler, within 2 per channel of Qt's.
        for (double factor : {2.0, 2.0 / 3.0, 0.8}) {
            const QByteArray f = QByteArray::number(factor, 'g', 3);
            QTest::addRow("%s, over the translucent block", f.constData())
                << factor << QRect(100, 60, 100, 90) << 0;
            QTest::addRow("%s, touching it", f.constData()) << factor << QRect(40, 80, 80, 50) << 0;
            QTest::addRow("%s, one pixel away", f.constData()) << factor << QRect(40, 80, 79, 50) << 0;
            QTest::addRow("%s, opaque only", f.constData()) << factor << QRect(0, 150, 320, 90) << 2;
        }
    }

    // However the view draws the surface, translucent pixels blend with what is below them, also where
    // smoothing pulls them into a neighbouring repainted area.
    void scaledPaintEqualsTheSurfaceDrawnDirectly() {
        QFETCH(double, factor);
        QFETCH(QRect, repainted);
        QFETCH(int, tolerance);
        session->master->setScalingFactor(factor);
        showDesktop();
        QImage picture = pattern(surfaceSize, 3).convertToFormat(QImage::Format_ARGB32);
        QPainter block(&picture);
        block.setCompositionMode(QPainter::CompositionMode_Source);
        block.fillRect(QRect(120, 80, 60, 50), QColor(255, 0, 0, 0));
        block.end();
        QVERIFY(session->sendImage(picture, 0, 0));
        const QImage surface = session->master->surfaceImage(0);
        QCOMPARE(qAlpha(surface.pixel(130, 90)), 0);

        // Exactly the mapped area, without the margin a surface change adds: the view alone must see
        // which neighbours smoothing reads.
        const QRect local = mapRectFromServer(repainted, false, 1.0 / factor) & desktop->rect();
        QImage shown(desktop->size(), QImage::Format_ARGB32_Premultiplied);
        shown.fill(Qt::green);
        QImage expected = shown;
        desktop->render(&shown, local.topLeft(), QRegion(local), QWidget::RenderFlags());
        QPainter painter(&expected);
        painter.setClipRect(local);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.scale(1.0 / factor, 1.0 / factor);
        painter.drawImage(surface.rect(), surface, surface.rect());
        painter.end();
        QVERIFY(largestDifference(shown, expected) <= tolerance);
    }

    void scaledPaintMatchesQtSmoothScaling_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<bool>("wide");
        for (const ZoomRow& row : zoomTable)
            if (row.exactFactor != 1.0)
                for (const bool wide : {true, false})
                    QTest::addRow("%s, %s kernels", row.label, wide ? "32-byte" : "16-byte")
                        << row.exactFactor << wide;
    }

    // At every zoom the view's scaled paint of an opaque desktop is Qt's smooth scaling within 2 per
    // channel, and a repaint of any part, edges included, gives exactly what a whole repaint gives there;
    // with either set of the scaler's kernels.
    void scaledPaintMatchesQtSmoothScaling() {
        QFETCH(double, factor);
        QFETCH(bool, wide);
        SurfaceScaler::useWideKernels(wide);
        const auto restore = qScopeGuard([] { SurfaceScaler::useWideKernels(true); });
        session->master->setScalingFactor(factor);
        showDesktop();
        const std::vector<std::uint32_t> pixels = rfx7DesktopImage(surfaceSize.width(), surfaceSize.height());
        const QImage picture = QImage(reinterpret_cast<const uchar*>(pixels.data()), surfaceSize.width(),
                                      surfaceSize.height(), surfaceSize.width() * 4, QImage::Format_RGB32)
                                   .copy();
        QVERIFY(session->sendImage(picture, 0, 0));
        const QImage surface = session->master->surfaceImage(0);
        QCOMPARE(surface.size(), surfaceSize);

        QImage whole(desktop->size(), QImage::Format_RGB32);
        whole.fill(Qt::green);
        desktop->render(&whole, QPoint(), QRegion(desktop->rect()), QWidget::RenderFlags());
        QImage expected(desktop->size(), QImage::Format_RGB32);
        expected.fill(Qt::green);
        QPainter painter(&expected);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.scale(1.0 / factor, 1.0 / factor);
        const QImage opaque = surface.convertToFormat(QImage::Format_RGB32);
        painter.drawImage(opaque.rect(), opaque, opaque.rect());
        painter.end();
        // The local pixels wholly on the picture; Qt's antialiased draw blends a partly covered last
        // row or column with what is below.
        const QRect covered(0, 0, int(surfaceSize.width() / factor), int(surfaceSize.height() / factor));
        const int difference = largestDifference(whole.copy(covered), expected.copy(covered));
        QVERIFY2(difference <= 2, qPrintable(QStringLiteral("differs by %1").arg(difference)));

        const QRect view = desktop->rect();
        const QList<QRect> parts{QRect(0, 0, 7, 5), QRect(33, 17, 61, 40), QRect(101, 0, 1, view.height()),
                                 QRect(view.width() - 13, view.height() - 9, 13, 9)};
        for (const QRect& part : parts) {
            QImage repainted(desktop->size(), QImage::Format_RGB32);
            repainted.fill(Qt::green);
            desktop->render(&repainted, part.topLeft(), QRegion(part), QWidget::RenderFlags());
            QCOMPARE(largestDifference(repainted.copy(part), whole.copy(part)), 0);
        }
    }

    void scaledRepaintTouchesOnlyItsRegion_data() {
        QTest::addColumn<int>("format");   // of the image painted into
        QTest::addColumn<QPoint>("shift"); // where the view's pixels land in that image, from their place
        QTest::addColumn<QRect>("clip");   // the painter's own clip, in the image; none when empty
        for (const auto& [name, format] :
             {std::pair("RGB32", QImage::Format_RGB32), std::pair("ARGB32", QImage::Format_ARGB32),
              std::pair("ARGB32 premultiplied", QImage::Format_ARGB32_Premultiplied)}) {
            QTest::addRow("%s, in place", name) << int(format) << QPoint() << QRect();
            QTest::addRow("%s, shifted", name) << int(format) << QPoint(13, 5) << QRect();
            QTest::addRow("%s, partly off the image", name) << int(format) << QPoint(-25, -20) << QRect();
        }
        QTest::addRow("a clipped painter")
            << int(QImage::Format_RGB32) << QPoint(3, 2) << QRect(20, 20, 100, 85);
    }

    // A repaint of two distant rects writes those rects (within the painter's clip) with the pixels of a
    // whole repaint, and not one pixel between them, around them or off the image.
    void scaledRepaintTouchesOnlyItsRegion() {
        QFETCH(int, format);
        QFETCH(QPoint, shift);
        QFETCH(QRect, clip);
        session->master->setScalingFactor(2.0 / 3.0);
        showDesktop();
        QVERIFY(session->sendImage(pattern(surfaceSize, 4), 0, 0));
        QImage whole(desktop->size(), QImage::Format_RGB32);
        desktop->render(&whole, QPoint(), QRegion(desktop->rect()), QWidget::RenderFlags());

        const QRegion region = QRegion(10, 12, 40, 30) + QRegion(120, 90, 50, 40);
        const QColor background(0, 255, 0, 255);
        QImage target(desktop->size() + QSize(20, 20), QImage::Format(format));
        target.fill(background);
        QRegion written = region.translated(shift) & target.rect();
        if (clip.isEmpty()) {
            desktop->render(&target, region.boundingRect().topLeft() + shift, region, QWidget::RenderFlags());
        } else {
            QPainter painter(&target);
            painter.setClipRect(clip);
            desktop->render(&painter, region.boundingRect().topLeft() + shift, region,
                            QWidget::RenderFlags());
            written &= clip;
        }
        for (int y = 0; y < target.height(); ++y)
            for (int x = 0; x < target.width(); ++x) {
                const QPoint at(x, y);
                const QRgb expected = written.contains(at) ? whole.pixel(at - shift) : background.rgba();
                if (target.pixel(at) != expected)
                    QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, not %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(target.pixel(at), 8, 16)
                                         .arg(expected, 8, 16)));
            }
    }

    void opacityCheck_data() {
        QTest::addColumn<bool>("wide");
        QTest::newRow("32-byte kernels") << true;
        QTest::newRow("16-byte kernels") << false;
    }

    // The check that lets the view scale ignoring alpha sees a pixel of alpha 254 wherever it lies in
    // the area (the rows' vector bodies and their ends), and nothing just outside the area.
    void opacityCheck() {
        QFETCH(bool, wide);
        SurfaceScaler::useWideKernels(wide);
        const auto restore = qScopeGuard([] { SurfaceScaler::useWideKernels(true); });
        QImage image(80, 4, QImage::Format_ARGB32);
        image.fill(qRgba(10, 20, 30, 255));
        for (const int width : {1, 7, 8, 9, 31, 32, 33, 71}) {
            const QRect area(3, 1, width, 2);
            QVERIFY(SurfaceScaler::isOpaque(image, area, nullptr));
            for (const QPoint outside :
                 {QPoint(2, 1), QPoint(area.right() + 1, 2), QPoint(5, 0), QPoint(5, 3)}) {
                image.setPixel(outside, qRgba(10, 20, 30, 0));
                QVERIFY(SurfaceScaler::isOpaque(image, area, nullptr));
                image.setPixel(outside, qRgba(10, 20, 30, 255));
            }
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) {
                    image.setPixel(x, y, qRgba(10, 20, 30, 254));
                    if (SurfaceScaler::isOpaque(image, area, nullptr))
                        QFAIL(
                            qPrintable(QStringLiteral("width %1: (%2, %3) missed").arg(width).arg(x).arg(y)));
                    image.setPixel(x, y, qRgba(10, 20, 30, 255));
                }
        }
    }

    void distantChangesRepaintOnlyThemselves_data() {
        QTest::addColumn<double>("factor");
        QTest::newRow("1") << 1.0;
        QTest::newRow("2/3") << 2.0 / 3.0;
    }

    // One update of two small areas in opposite corners repaints those areas, not the screen between.
    void distantChangesRepaintOnlyThemselves() {
        QFETCH(double, factor);
        session->master->setScalingFactor(factor);
        showDesktop();
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        QCoreApplication::processEvents();
        PaintRecorder recorder;
        desktop->installEventFilter(&recorder);

        const QRect first(2, 3, 20, 10), second(290, 220, 25, 15);
        QVector<DisplaySim::Tile> tiles;
        for (const QRect& area : {first, second}) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            pattern(area.size(), area.x()).save(&buffer, "PNG");
            tiles.append({qint16(area.x()), qint16(area.y()), png});
        }
        const QVector<DisplaySim::Rect> rects{
            {qint16(first.x()), qint16(first.y()), quint16(first.width()), quint16(first.height())},
            {qint16(second.x()), qint16(second.y()), quint16(second.width()), quint16(second.height())}};
        session->server.sendFrameBegin(session->nextFrame);
        session->server.sendImageUpdate(4, 0, rects, tiles);
        session->server.sendFrameEnd(session->nextFrame);
        QVERIFY(session->server.awaitAck(session->nextFrame++));

        const QRect firstLocal = mapRectFromServer(first, false, 1.0 / factor);
        const QRect secondLocal = mapRectFromServer(second, false, 1.0 / factor);
        QTRY_VERIFY(recorder.painted.contains(firstLocal) && recorder.painted.contains(secondLocal));
        QVERIFY(!recorder.painted.intersects(QRect(firstLocal.right() + 20, firstLocal.bottom() + 20,
                                                   secondLocal.left() - firstLocal.right() - 40,
                                                   secondLocal.top() - firstLocal.bottom() - 40)));
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), factor == 1.0 ? 0 : 2));
    }

    void sizeFollowsSurfaceAndFactor() {
        showDesktop();
        QCOMPARE(desktop->size(), surfaceSize);
        session->master->setScalingFactor(2.0);
        QVERIFY(desktop->width() >= 160 && desktop->width() <= 162);
        QVERIFY(desktop->height() >= 120 && desktop->height() <= 122);
        session->master->setScalingFactor(1.0);
        session->server.sendFrameBegin(session->nextFrame);
        session->server.sendSurfaceResize(0, 400, 300);
        session->server.sendFrameEnd(session->nextFrame);
        QVERIFY(session->server.awaitAck(session->nextFrame++));
        QTRY_COMPARE(desktop->size(), QSize(400, 300));
    }

    void mouseReachesTheServer_data() {
        QTest::addColumn<double>("factor");
        QTest::addColumn<QPoint>("local");
        QTest::addColumn<QPoint>("server");
        QTest::newRow("1") << 1.0 << QPoint(33, 44) << QPoint(33, 44);
        QTest::newRow("2") << 2.0 << QPoint(33, 44) << QPoint(66, 88);
        QTest::newRow("2/3") << 2.0 / 3.0 << QPoint(31, 44) << QPoint(20, 29);
    }

    void mouseReachesTheServer() {
        QFETCH(double, factor);
        QFETCH(QPoint, local);
        QFETCH(QPoint, server);
        session->master->setScalingFactor(factor);
        showDesktop();

        QTest::mousePress(desktop.get(), Qt::RightButton, {}, local);
        const auto press = session->server.awaitFrame(quint8(0), quint8(22));
        QVERIFY(press);
        DisplaySim::FrameReader fields = press->fields();
        quint16 x = 0, y = 0;
        quint8 buttons = 0;
        QVERIFY(fields.u16(x) && fields.u16(y) && fields.u8(buttons));
        QCOMPARE(QPoint(x, y), server);
        QCOMPARE(buttons, quint8(4));
        QTest::mouseRelease(desktop.get(), Qt::RightButton, {}, local);
    }

    void wheelReachesTheServer() {
        session->master->setScalingFactor(2.0);
        showDesktop();
        const QPoint local(33, 44);
        QWheelEvent wheel(QPointF(local), QPointF(desktop->mapToGlobal(local)), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(desktop.get(), &wheel);
        QVERIFY(wheel.isAccepted());
        const auto frame = session->server.awaitFrame(quint8(0), quint8(24));
        QVERIFY(frame);
        DisplaySim::FrameReader fields = frame->fields();
        quint16 x = 0, y = 0, delta = 0;
        QVERIFY(fields.u16(x) && fields.u16(y) && fields.u16(delta));
        QCOMPARE(QPoint(x, y), QPoint(66, 88));
        QCOMPARE(qint16(delta), qint16(120));
    }

    void positionsLeftOfTheViewAreClamped() {
        showDesktop();
        QMouseEvent first(QEvent::MouseMove, QPointF(10, 10), QPointF(desktop->mapToGlobal(QPoint(10, 10))),
                          Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(desktop.get(), &first);
        QVERIFY(session->server.awaitFrame(quint8(0), quint8(21)));
        QMouseEvent move(QEvent::MouseMove, QPointF(-5, -7), QPointF(desktop->mapToGlobal(QPoint(-5, -7))),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(desktop.get(), &move);
        const auto frame = session->server.awaitFrame(quint8(0), quint8(21));
        QVERIFY(frame);
        DisplaySim::FrameReader fields = frame->fields();
        quint16 x = 1, y = 1;
        QVERIFY(fields.u16(x) && fields.u16(y));
        QCOMPARE(QPoint(x, y), QPoint(0, 0));
    }

    void keysOnlyWithFocus() {
        // Key codes are read the way the X11 platform reads them.
        ViewerPlatform::FakeViewerPlatform platform;
        ViewerPlatform::ScopedPlatform scoped(&platform);
        showDesktop();
        QVERIFY(desktop->hasFocus());
        // X keycode 38 is the A key, set-1 scan code 30.
        QKeyEvent focused(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0x61, 0, QStringLiteral("a"));
        QCoreApplication::sendEvent(desktop.get(), &focused);
        const auto down = session->server.awaitFrame(quint8(0), quint8(18));
        QVERIFY(down);
        DisplaySim::FrameReader fields = down->fields();
        quint16 scanCode = 0;
        QVERIFY(fields.u16(scanCode));
        QCOMPARE(scanCode, quint16(30));

        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.activateWindow();
        other.setFocus();
        QVERIFY(!desktop->hasFocus());

        // Delivered to the view without focus: accepted, nothing sent.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0x41, 0, QStringLiteral("a"));
        press.ignore();
        QCoreApplication::sendEvent(desktop.get(), &press);
        QVERIFY(press.isAccepted());
        QVERIFY(session->server.noFrame(quint8(0), quint8(18), 200));
    }

    void overlay() {
        session->master->shareMe(QJsonObject{{"client", "me"}, {"status", "viewing"}, {"name", "Me"}});
        showDesktop();
        QVERIFY(desktop->isOverlayShown());
        const QImage plain = freshImage(desktop.get());

        // No position reported yet: nothing is drawn.
        QVERIFY(desktop->overlayRect().isEmpty());
        QCOMPARE(freshImage(desktop.get()), plain);

        session->master->setCursorPos(QPoint(50, 60));
        QCOMPARE(desktop->overlayMousePosition(), QPoint(50, 60));
        QVERIFY(desktop->overlayRect().contains(QPoint(52, 65)));
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        const QImage withCursor = shownImage(desktop.get());
        QVERIFY(withCursor != plain);
        QCOMPARE(withCursor.copy(0, 0, 40, 40), plain.copy(0, 0, 40, 40));

        // Moving it leaves nothing behind.
        session->master->setCursorPos(QPoint(150, 100));
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        QCOMPARE(shownImage(desktop.get()).copy(40, 50, 30, 30), plain.copy(40, 50, 30, 30));

        // Positions far outside are harmless, and no part of the overlay shows.
        const int most = std::numeric_limits<int>::max();
        const int least = std::numeric_limits<int>::min();
        for (const QPoint far : {QPoint(most, most), QPoint(least, least), QPoint(most, least)}) {
            session->master->setCursorPos(far);
            QVERIFY(!desktop->overlayRect().intersects(desktop->rect()));
            desktop->repaint();
            QCOMPARE(freshImage(desktop.get()), plain);
        }

        // Taking the input takes the overlay off the screen.
        session->master->setCursorPos(QPoint(50, 60));
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        QVERIFY(shownImage(desktop.get()) != plain);
        session->master->shareMe(QJsonObject{{"client", "me"}, {"status", "input"}, {"name", "Me"}});
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        QCOMPARE(shownImage(desktop.get()), plain);
    }

    void noOverlayWhileHoldingTheInput() {
        session->master->shareMe(QJsonObject{{"client", "me"}, {"status", "input"}, {"name", "Me"}});
        showDesktop();
        QVERIFY(!desktop->isOverlayShown());
        const QImage plain = freshImage(desktop.get());
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
        QCoreApplication::processEvents();
        PaintRecorder recorder;
        desktop->installEventFilter(&recorder);
        session->master->setCursorPos(QPoint(50, 60));
        session->master->setCursorDown(true);
        QTRY_VERIFY(desktop->pressAnimation()->state() == QAbstractAnimation::Stopped);
        QCoreApplication::processEvents();
        QVERIFY(!recorder.painted.intersects(QRect(35, 45, 40, 40)));
        QCOMPARE(freshImage(desktop.get()), plain);
    }

    void pressAnimation() {
        session->master->shareMe(QJsonObject{{"client", "me"}, {"status", "viewing"}, {"name", "Me"}});
        showDesktop();
        session->master->setCursorPos(QPoint(80, 80));
        QPropertyAnimation* animation = desktop->pressAnimation();

        session->master->setCursorDown(true);
        QCOMPARE(animation->state(), QAbstractAnimation::Running);
        QCOMPARE(animation->duration(), 100);
        QCOMPARE(animation->startValue().toDouble(), 0.0);
        QCOMPARE(animation->endValue().toDouble(), 10.0);
        QTRY_COMPARE(desktop->overlayMouseClickRadius(), 10.0);

        // A release in the middle of a press first jumps to the press's end.
        session->master->setCursorDown(false);
        session->master->setCursorDown(true);
        QCOMPARE(animation->startValue().toDouble(), 0.0);
        QVERIFY(desktop->overlayMouseClickRadius() <= 10.0);
        session->master->setCursorDown(false);
        QCOMPARE(desktop->overlayMouseClickRadius(), 10.0);
        QCOMPARE(animation->startValue().toDouble(), 10.0);
        QCOMPARE(animation->endValue().toDouble(), 0.0);
        QTRY_COMPARE(desktop->overlayMouseClickRadius(), 0.0);
        QTRY_VERIFY(matchesFreshPaint(desktop.get(), 0));
    }

    void goneSessionIsHarmless() {
        showDesktop();
        session->master.reset();
        QTest::mouseClick(desktop.get(), Qt::LeftButton, {}, QPoint(5, 5));
        QTest::keyClick(desktop.get(), Qt::Key_A);
        desktop->repaint();
        desktop->disconnectFromSession();
    }

private:
    void showDesktop() {
        desktop = std::make_unique<RdpWidgetDesktop>(session->master.get(), 0);
        desktop->show();
        QVERIFY(QTest::qWaitForWindowExposed(desktop.get()));
        desktop->activateWindow();
        desktop->setFocus();
    }

    const QSize surfaceSize{320, 240};
    std::unique_ptr<TestSession> session;
    std::unique_ptr<RdpWidgetDesktop> desktop;
};

QTEST_MAIN(TestRdpWidgetDesktop)
#include "tst_rdpwidgetdesktop.moc"

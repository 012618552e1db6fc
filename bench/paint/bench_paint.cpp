// The desktop view's paint of a 1920x1080 session at zoom 1.0, 1.25, 1.5 and 2.0 (offscreen raster),
// for a full-screen change and for a 256x256 change in the middle, beside a bare smooth
// QPainter::drawImage of the same area into the same kind of target: from the surface image itself
// (ARGB32, as the surfaces hold it) and from an RGB32 copy of it (opaque pixels, Qt's fast path).
// Rounds are interleaved (view, bare, view, bare, ...); figures are medians in milliseconds per paint.
//
// The session is real: the controller connects to the display-server simulator, which creates the
// 1920x1080 main surface and paints a desktop-like picture into it; the view paints what the
// controller holds. A paint is QWidget::render of the changed area (the area the view asks to repaint
// for that change) into an RGB32 image of the view's size, as the raster backing store would.
//
// Options: --rounds=N (default: VELNOR_BENCH_ROUNDS, else 7); arguments of the form --benchmark_* are
// ignored.

#include "BenchSupport.h"

#include "RdpWidgetDesktopTestSession.h"
#include "rfx7-encoder/Rfx7TestImage.h"
#include "viewer/widgets/RdpWidgetDesktop.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using bench::loadAverage;
using bench::median;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// Milliseconds per call of `paint`, over enough calls for about 50 ms.
template <typename Paint>
double msPerPaint(Paint paint) {
    paint(); // warm
    QElapsedTimer timer;
    int calls = 0;
    timer.start();
    do {
        paint();
        ++calls;
    } while (timer.nsecsElapsed() < 50'000'000 && calls < 1000);
    return double(timer.nsecsElapsed()) / 1e6 / calls;
}

struct Zoom {
    const char* label;
    double zoom;   // local pixels per server pixel
    double factor; // the session's scaling factor (server pixels per local pixel)
};

const Zoom kZooms[] = {{"1.0", 1.0, 1.0}, {"1.25", 1.25, 0.8}, {"1.5", 1.5, 2.0 / 3.0}, {"2.0", 2.0, 0.5}};

struct Change {
    const char* label;
    QRect server;
};

const Change kChanges[] = {{"full 1920x1080", QRect(0, 0, kWidth, kHeight)},
                           {"256x256", QRect(832, 412, 256, 256)}};

} // namespace

int main(int argc, char** argv) {
    const int rounds = bench::roundsFromCommandLine(argc, argv);
    if (rounds < 0)
        return 2;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("velnor.*.debug=false"));
    std::printf("load average at start: %s\n", loadAverage().c_str());

    TestSession session;
    const std::vector<uint32_t> pixels = rfx7DesktopImage(kWidth, kHeight);
    const QImage picture(reinterpret_cast<const uchar*>(pixels.data()), kWidth, kHeight, kWidth * 4,
                         QImage::Format_RGB32);
    if (!session.start(QStringLiteral("%1x%2").arg(kWidth).arg(kHeight)) ||
        !session.createSurface(QSize(kWidth, kHeight), Qt::black) || !session.sendImage(picture, 0, 0)) {
        std::fprintf(stderr, "the simulator session did not start\n");
        return 1;
    }
    RdpMaster* master = session.master.get();
    RdpWidgetDesktop view(master, 0);
    const QImage surface = master->surfaceImage(0);
    std::printf("surface %dx%d, format %d; target RGB32; %d rounds\n\n", surface.width(), surface.height(),
                int(surface.format()), rounds);

    // [zoom][change] -> per-round figures.
    const QImage opaque = surface.convertToFormat(QImage::Format_RGB32);
    std::vector<double> viewMs[4][2], bareMs[4][2], bareOpaqueMs[4][2];
    for (int r = 0; r < rounds; ++r) {
        for (int z = 0; z < 4; ++z) {
            const Zoom& zoom = kZooms[z];
            master->setScalingFactor(zoom.factor);
            QCoreApplication::processEvents();
            QImage target(view.size(), QImage::Format_RGB32);
            target.fill(Qt::gray);
            for (int c = 0; c < 2; ++c) {
                const QRect local =
                    RdpWidgetDesktop::localArea(kChanges[c].server, zoom.factor) & view.rect();
                viewMs[z][c].push_back(msPerPaint(
                    [&] { view.render(&target, local.topLeft(), QRegion(local), QWidget::RenderFlags()); }));
                auto bare = [&](const QImage& image) {
                    return msPerPaint([&] {
                        QPainter painter(&target);
                        painter.setClipRect(local);
                        painter.setRenderHint(QPainter::SmoothPixmapTransform, zoom.zoom != 1.0);
                        painter.scale(zoom.zoom, zoom.zoom);
                        painter.drawImage(image.rect(), image, image.rect());
                    });
                };
                bareMs[z][c].push_back(bare(surface));
                bareOpaqueMs[z][c].push_back(bare(opaque));
            }
        }
    }

    std::printf("%-6s %-16s %10s %12s %12s %10s\n", "zoom", "change", "view ms", "bare ARGB32", "bare RGB32",
                "view/RGB32");
    for (int z = 0; z < 4; ++z)
        for (int c = 0; c < 2; ++c) {
            const double v = median(viewMs[z][c]), b = median(bareMs[z][c]), o = median(bareOpaqueMs[z][c]);
            std::printf("%-6s %-16s %10.3f %12.3f %12.3f %10.2f\n", kZooms[z].label, kChanges[c].label, v, b,
                        o, v / o);
        }
    std::printf("load average at the end: %s\n", loadAverage().c_str());
    return 0;
}

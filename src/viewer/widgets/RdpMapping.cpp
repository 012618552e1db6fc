#include "viewer/widgets/RdpMapping.h"

#include <QGuiApplication>
#include <QPointF>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace {

std::function<QRect()>& geometrySource() {
    static std::function<QRect()> source;
    return source;
}

// Coordinates are kept within ±(2^30 - 1): a rectangle's width and height (right - left + 1) and a
// move by a screen origin then stay in the int range, however far off the rectangle maps.
constexpr double coordinateLimit = double((1 << 30) - 1);

// Double to int, clamped to the coordinate range.
int toInt(double value) {
    if (!(value > -coordinateLimit)) {
        return -int(coordinateLimit);
    }
    if (!(value < coordinateLimit)) {
        return int(coordinateLimit);
    }
    return static_cast<int>(value);
}

QPointF origin(bool relativeToVirtualDesktop) {
    return relativeToVirtualDesktop ? QPointF(virtualDesktopGeometry().topLeft()) : QPointF();
}

// A rectangle's edges as doubles, the right and bottom ones exclusive, so that nothing overflows.
struct Edges {
    double left;
    double top;
    double right;
    double bottom;
};

Edges edgesOf(const QRect& rect, QPointF offset) {
    return {double(rect.left()) + offset.x(), double(rect.top()) + offset.y(),
            double(rect.right()) + 1.0 + offset.x(), double(rect.bottom()) + 1.0 + offset.y()};
}

// A rectangle from its top-left corner and its exclusive bottom-right corner, all already rounded.
QRect fromCorners(double left, double top, double exclusiveRight, double exclusiveBottom) {
    return QRect(QPoint(toInt(left), toInt(top)),
                 QPoint(toInt(exclusiveRight - 1.0), toInt(exclusiveBottom - 1.0)));
}

// floor and ceil that take a value within a hair of an integer as that integer. Exact products of the
// table's factors with whole numbers are at least 1/7 away from any other integer.
double nearInteger(double value) {
    const double nearest = std::round(value);
    return std::abs(value - nearest) <= 1e-9 + std::abs(value) * 1e-12 ? nearest : value;
}

double floorOf(double value) {
    return std::floor(nearInteger(value));
}

double ceilOf(double value) {
    return std::ceil(nearInteger(value));
}

double usableFactor(double factor) {
    // Infinity, NaN, zero or a negative factor (e.g. the reciprocal of a zero scaling factor).
    return std::isfinite(factor) && factor > 0.0 ? factor : 1.0;
}

} // namespace

const std::array<ZoomRow, 9> zoomTable{{
    {2.0, 2.0, "0.5x"},
    {1.75, 1.75, "0.57x"},
    {1.5, 1.5, "0.67x"},
    {1.25, 1.25, "0.8x"},
    {1.0, 1.0, "1x"},
    {0.8, 0.8, "1.25x"},
    {2.0 / 3.0, 0.67, "1.5x"},
    {4.0 / 7.0, 0.57, "1.75x"},
    {0.5, 0.5, "2x"},
}};

QRect virtualDesktopGeometry() {
    if (geometrySource()) {
        return geometrySource()();
    }
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            return screen->virtualGeometry();
        }
    }
    return {};
}

void setVirtualDesktopGeometrySource(std::function<QRect()> source) {
    geometrySource() = std::move(source);
}

bool isValidScalingFactor(double factor) {
    return std::isfinite(factor) && factor > 0.0 && factor <= 8.0;
}

QRect mapRectToServer(const QRect& local, bool relativeToVirtualDesktop, double factor) {
    const Edges edges = edgesOf(local, -origin(relativeToVirtualDesktop));
    factor = usableFactor(factor);
    if (factor == 1.0) {
        return fromCorners(edges.left, edges.top, edges.right, edges.bottom);
    }
    // Inward: only server pixels that lie wholly inside the local rectangle.
    return fromCorners(ceilOf(edges.left * factor), ceilOf(edges.top * factor), floorOf(edges.right * factor),
                       floorOf(edges.bottom * factor));
}

QPoint mapPointToServer(const QPoint& local, bool relativeToVirtualDesktop, double factor) {
    const QPointF point = QPointF(local) - origin(relativeToVirtualDesktop);
    factor = usableFactor(factor);
    if (factor == 1.0) {
        return QPoint(toInt(point.x()), toInt(point.y()));
    }
    return QPoint(toInt(floorOf(point.x() * factor)), toInt(floorOf(point.y() * factor)));
}

QRect mapRectFromServer(const QRect& server, bool relativeToVirtualDesktop, double factor) {
    Edges edges = edgesOf(server, QPointF());
    factor = usableFactor(factor);
    if (factor != 1.0) {
        // Outward, with a margin of ceil(factor) pixels at the right and bottom (one of them is the
        // exclusive edge already).
        const double margin = std::ceil(factor) - 1.0;
        edges = {floorOf(edges.left * factor), floorOf(edges.top * factor),
                 ceilOf((edges.right + margin) * factor), ceilOf((edges.bottom + margin) * factor)};
    }
    const QPointF offset = origin(relativeToVirtualDesktop);
    return fromCorners(edges.left + offset.x(), edges.top + offset.y(), edges.right + offset.x(),
                       edges.bottom + offset.y());
}

int mapLengthToServer(int local, double factor) {
    return toInt(floorOf(double(local) * usableFactor(factor)));
}

int mapLengthFromServer(int server, double factor) {
    factor = usableFactor(factor);
    int local = toInt(ceilOf(double(server) / factor));
    // The division may land one off the product's rounding; settle on the smallest length that shows
    // `server`, as seen by mapLengthToServer itself.
    for (int step = 0;
         step < 4 && local > -int(coordinateLimit) && mapLengthToServer(local - 1, factor) >= server;
         ++step) {
        --local;
    }
    for (int step = 0; step < 4 && local < int(coordinateLimit) && mapLengthToServer(local, factor) < server;
         ++step) {
        ++local;
    }
    return local;
}

QSize mapSizeToServer(QSize local, double factor) {
    return QSize(mapLengthToServer(local.width(), factor), mapLengthToServer(local.height(), factor));
}

QSize mapSizeFromServer(QSize server, double factor) {
    return QSize(mapLengthFromServer(server.width(), factor), mapLengthFromServer(server.height(), factor));
}

QPoint mapPointFromServer(const QPoint& server, bool relativeToVirtualDesktop, double factor) {
    const QPoint local(mapLengthFromServer(server.x(), factor), mapLengthFromServer(server.y(), factor));
    if (!relativeToVirtualDesktop) {
        return local;
    }
    const QPointF moved = QPointF(local) + origin(true);
    return QPoint(toInt(moved.x()), toInt(moved.y()));
}

QSize WindowServerSize::serverSize(QSize local, double factor, QSize shown) {
    const QSize plain = mapSizeToServer(local, factor);
    auto same = [&](const Fit& fit) { return fit.factor == factor && fit.local == local; };
    const auto known = std::find_if(fits.begin(), fits.end(), same);
    if (shown.isValid() && mapSizeFromServer(shown, factor) == local) {
        if (known != fits.end()) {
            fits.erase(known);
        }
        if (shown != plain) {
            if (fits.size() == maximumFits) {
                fits.erase(fits.begin());
            }
            fits.push_back({factor, local, shown});
        }
        return shown;
    }
    return known != fits.end() ? known->server : plain;
}

QString zoomLabel(int row) {
    if (row < 0 || row >= int(zoomTable.size())) {
        return {};
    }
    return QString::fromLatin1(zoomTable[row].label);
}

int zoomIndex(double exactFactor) {
    for (std::size_t row = 0; row < zoomTable.size(); ++row) {
        if (zoomTable[row].exactFactor == exactFactor) {
            return int(row);
        }
    }
    return int(zoomTable.size());
}

double zoomFactorAt(int row) {
    if (row < 0 || row >= int(zoomTable.size())) {
        return 1.0;
    }
    return zoomTable[row].exactFactor;
}

double exactZoomFactor(double storedFactor) {
    for (const ZoomRow& row : zoomTable) {
        if (row.storedFactor == storedFactor) {
            return row.exactFactor;
        }
    }
    return 1.0;
}

double roundedZoomFactor(double exactFactor) {
    for (const ZoomRow& row : zoomTable) {
        if (row.exactFactor == exactFactor) {
            return row.storedFactor;
        }
    }
    return 1.0;
}

double nearestZoomFactor(double factor) {
    if (!isValidScalingFactor(factor)) {
        return 1.0;
    }
    double best = zoomTable[0].exactFactor;
    for (const ZoomRow& row : zoomTable) {
        if (std::abs(std::log(row.exactFactor / factor)) < std::abs(std::log(best / factor))) {
            best = row.exactFactor;
        }
    }
    return best;
}

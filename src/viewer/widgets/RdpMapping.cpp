#include "viewer/widgets/RdpMapping.h"

#include <QGuiApplication>
#include <QScreen>

#include <climits>
#include <cmath>

namespace {

std::function<QRect()>& geometrySource() {
    static std::function<QRect()> source;
    return source;
}

// Double to int, clamped to the int range (a far-off rectangle must not overflow).
int toInt(double value) {
    if (!(value > double(INT_MIN))) {
        return INT_MIN;
    }
    if (!(value < double(INT_MAX))) {
        return INT_MAX;
    }
    return static_cast<int>(value);
}

QPoint origin() {
    return virtualDesktopGeometry().topLeft();
}

// The exclusive corner of a rectangle as doubles: right + 1, bottom + 1 without int overflow.
double exclusive(int edge, int extra) {
    return double(edge) + double(extra);
}

// A rectangle from its top-left corner and its exclusive bottom-right corner, all already rounded.
QRect fromCorners(double left, double top, double exclusiveRight, double exclusiveBottom) {
    return QRect(QPoint(toInt(left), toInt(top)),
                 QPoint(toInt(exclusiveRight - 1.0), toInt(exclusiveBottom - 1.0)));
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
    QRect rect = local;
    if (relativeToVirtualDesktop) {
        rect.translate(-origin());
    }
    factor = usableFactor(factor);
    if (factor == 1.0) {
        return rect;
    }
    // Inward: only server pixels that lie wholly inside the local rectangle.
    return fromCorners(std::ceil(rect.left() * factor), std::ceil(rect.top() * factor),
                       std::floor(exclusive(rect.right(), 1) * factor),
                       std::floor(exclusive(rect.bottom(), 1) * factor));
}

QPoint mapPointToServer(const QPoint& local, bool relativeToVirtualDesktop, double factor) {
    QPoint point = local;
    if (relativeToVirtualDesktop) {
        point -= origin();
    }
    factor = usableFactor(factor);
    if (factor == 1.0) {
        return point;
    }
    return QPoint(toInt(std::floor(point.x() * factor)), toInt(std::floor(point.y() * factor)));
}

QRect mapRectFromServer(const QRect& server, bool relativeToVirtualDesktop, double factor) {
    QRect rect = server;
    factor = usableFactor(factor);
    if (factor != 1.0) {
        // Outward, with a margin of ceil(factor) pixels at the right and bottom.
        const int margin = toInt(std::ceil(factor));
        rect = fromCorners(std::floor(rect.left() * factor), std::floor(rect.top() * factor),
                           std::ceil(exclusive(rect.right(), margin) * factor),
                           std::ceil(exclusive(rect.bottom(), margin) * factor));
    }
    if (relativeToVirtualDesktop) {
        rect.translate(origin());
    }
    return rect;
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

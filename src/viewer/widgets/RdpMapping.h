#pragma once

#include <QPoint>
#include <QRect>
#include <QString>

#include <array>
#include <functional>

// Conversion between local widget pixels and server pixels. The factor is server pixels per local
// pixel (server = local × factor); callers pass the session's scaling factor to the "to server"
// functions and its reciprocal to `mapRectFromServer`. With `relativeToVirtualDesktop` the local side
// is measured from the top-left corner of the virtual desktop.
//
// A factor that is not finite or not above 0 is treated as 1.0, and every coordinate is clamped to
// ±(2^30 - 1), so that no mapping turns infinity or an overflow into an integer and the result's width,
// height and a move by a screen origin stay in the int range.

QRect mapRectToServer(const QRect& local, bool relativeToVirtualDesktop, double factor);
QPoint mapPointToServer(const QPoint& local, bool relativeToVirtualDesktop, double factor);
QRect mapRectFromServer(const QRect& server, bool relativeToVirtualDesktop, double factor);

// The geometry of the primary screen's virtual desktop. By default read from the primary screen
// (a null rectangle without screens); the program may install its own source once at start.
QRect virtualDesktopGeometry();
void setVirtualDesktopGeometrySource(std::function<QRect()> source);

// A scaling factor is finite, above 0 and at most 8; setters refuse any other and keep the old one.
bool isValidScalingFactor(double factor);

struct ZoomRow {
    double exactFactor;  // used for drawing and mapping
    double storedFactor; // written to preferences and settings
    const char* label;
};

extern const std::array<ZoomRow, 9> zoomTable;

// The row's label; empty outside the table.
QString zoomLabel(int row);
// The first row whose exact factor equals `exactFactor`; the table size when none does.
int zoomIndex(double exactFactor);
// The row's exact factor; 1.0 outside the table.
double zoomFactorAt(int row);
// The exact factor of the first row whose stored factor equals `storedFactor`; 1.0 when none.
double exactZoomFactor(double storedFactor);
// The stored factor of the first row whose exact factor equals `exactFactor`; 1.0 when none.
double roundedZoomFactor(double exactFactor);

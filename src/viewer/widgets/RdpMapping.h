#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <array>
#include <functional>
#include <vector>

// Conversion between local widget pixels and server pixels. The factor is server pixels per local
// pixel (server = local × factor); callers pass the session's scaling factor to the "to server"
// functions and its reciprocal to `mapRectFromServer`. With `relativeToVirtualDesktop` the local side
// is measured from the top-left corner of the virtual desktop.
//
// A factor that is not finite or not above 0 is treated as 1.0, and every coordinate is clamped to
// ±(2^30 - 1), so that no mapping turns infinity or an overflow into an integer and the result's width,
// height and a move by a screen origin stay in the int range.

//
// Products that lie within a hair of an integer count as that integer, so that the table's factors,
// which doubles hold only nearly (2/3, 4/7), map whole numbers exactly: 1536 × 2/3 is 1024.

QRect mapRectToServer(const QRect& local, bool relativeToVirtualDesktop, double factor);
QPoint mapPointToServer(const QPoint& local, bool relativeToVirtualDesktop, double factor);
QRect mapRectFromServer(const QRect& server, bool relativeToVirtualDesktop, double factor);

// Whole windows: their sizes, and the positions of per-window mode. These take the scaling factor
// itself, never its reciprocal, and use one rule both ways: a local length L shows floor(L × factor)
// server pixels, and a server length S takes the smallest local length that shows at least S (so a
// window never hides a server pixel). Server → local → server gives S back for every factor up to 1.
// Above 1 a local pixel spans more than one server pixel and some server lengths have no local length
// of their own (at 2.0 an odd one); a window that shows S therefore keeps asking for S as long as its
// local size is the one that shows S (`WindowServerSize`).
int mapLengthToServer(int local, double factor);
int mapLengthFromServer(int server, double factor);
QSize mapSizeToServer(QSize local, double factor);
QSize mapSizeFromServer(QSize server, double factor);
QPoint mapPointFromServer(const QPoint& server, bool relativeToVirtualDesktop, double factor);

// The server size a window asks for. A window of `local` pixels that shows `shown` server pixels asks
// for `shown` when `local` is exactly its local size; otherwise for the size it asked for at the same
// local size and factor before (a zoom change and back, a resize and back, full screen and back ask for
// the same size again), and failing that for the size `local` shows.
class WindowServerSize {
public:
    QSize serverSize(QSize local, double factor, QSize shown);

private:
    struct Fit {
        double factor;
        QSize local;
        QSize server;
    };
    // Only fits that the plain rule would not find again; a handful is plenty.
    static constexpr std::size_t maximumFits = 8;
    std::vector<Fit> fits;
};

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
// The exact factor of the row nearest to a valid scaling factor, nearness measured as a ratio (zoom
// steps are multiplicative): 3.0 gives 2.0, 0.3 gives 0.5, 1.1 gives 1.0. An invalid factor gives 1.0.
double nearestZoomFactor(double factor);

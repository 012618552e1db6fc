#pragma once

#include <QImage>
#include <QRect>

class VnWorkTeam;

// Bilinear scaling of an opaque surface for the desktop view, faster than drawing it through a scaled
// QPainter: only the requested area of the scaled picture is computed, in horizontal bands spread over
// the session's decode team, into pixels that are then shown unscaled. The arithmetic is that of Qt's
// smooth scaling of opaque pixels (16.16 positions, weights of 8 bits, the source's edge pixels
// repeated outwards), with every position taken from the view's origin, so any area gives exactly the
// pixels a whole repaint gives there.
namespace SurfaceScaler {

// Writes the pixels of `area` (local coordinates) of `source` scaled by `zoom` local pixels per source
// pixel into `out`, a 32-bit image of the area's size (its bits may lie inside a larger image); false
// when the arguments do not fit. The source is taken as opaque: every pixel written has alpha 255.
// Bands run on `team` (may be null) and on the calling thread.
bool scaleArea(const QImage& source, double zoom, const QRect& area, QImage& out, VnWorkTeam* team);

// Whether every pixel of `area` of a 32-bit image has alpha 255; rows are read on `team` (may be null)
// and on the calling thread.
bool isOpaque(const QImage& image, const QRect& area, VnWorkTeam* team);

// For tests: false keeps the scaler to its 16-byte kernels, true lets it use the 32-byte ones where the
// processor has them. Returns whether the 32-byte kernels are in use.
bool useWideKernels(bool allowed);

} // namespace SurfaceScaler

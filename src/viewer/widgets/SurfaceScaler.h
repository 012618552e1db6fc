#pragma once

#include <QImage>
#include <QRect>

class VnWorkTeam;

// Bilinear scaling of an opaque surface for the desktop view, faster than drawing it through a scaled
// QPainter: only the requested area of the scaled picture is computed, in horizontal bands spread over
// the session's decode team, and the result is drawn unscaled. The arithmetic is that of Qt's smooth scaling of
// opaque pixels (16.16 positions, weights of 8 bits, the source's edge pixels repeated outwards), with
// every position taken from the view's origin, so any area gives exactly the pixels a whole repaint
// gives there.
namespace SurfaceScaler {

// Writes the pixels of `area` (local coordinates) of `source` scaled by `zoom` local pixels per source
// pixel into `out`, a 32-bit image of the area's size; false when the arguments do not fit. The
// source's alpha is ignored. Bands run on `team` (may be null) and on the calling thread.
bool scaleArea(const QImage& source, double zoom, const QRect& area, QImage& out, VnWorkTeam* team);

} // namespace SurfaceScaler

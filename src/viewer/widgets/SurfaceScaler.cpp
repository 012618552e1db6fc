#include "viewer/widgets/SurfaceScaler.h"

#include "viewer/engine/surfaces/VnWorkTeam.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <vector>

namespace SurfaceScaler {

namespace {

// Output pixels of one band, about: a band is worth handing to another thread.
constexpr qint64 BandPixels = 64 * 1024;

// Qt's 16.16 fixed point.
constexpr qint64 FixedOne = 65536;
constexpr qint64 HalfPoint = FixedOne / 2;

// The source position (16.16, of the left or upper of the two pixels blended) of local pixel i as
// Qt's smooth transform computes it at the start of a span: (i + 0.5) / zoom - 0.5.
qint64 spanStart(int i, double inverse) {
    return qint64((i + 0.5) * inverse * double(FixedOne)) - HalfPoint;
}

// The two source pixels blended for a position, edge pixels repeated outwards.
void neighbours(qint64 position, int size, int& first, int& second) {
    const qint64 whole = position >> 16;
    if (whole < 0) {
        first = second = 0;
    } else if (whole >= size - 1) {
        first = second = size - 1;
    } else {
        first = int(whole);
        second = first + 1;
    }
}

// Blends `count` pixels of two source rows, the lower weighted disty of 256, into separate red-blue
// and alpha-green words (0x00RR00BB, 0x00AA00GG).
void blendRows(const quint32* __restrict top, const quint32* __restrict bottom, int disty, int count,
               quint32* __restrict rb, quint32* __restrict ag) {
    const int idisty = 256 - disty;
    int c = 0;
#if defined(__SSE2__)
    const __m128i down = _mm_set1_epi16(short(disty));
    const __m128i up = _mm_set1_epi16(short(idisty));
    const __m128i mask = _mm_set1_epi32(0x00ff00ff);
    for (; c + 4 <= count; c += 4) {
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + c));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + c));
        const __m128i tAG = _mm_mullo_epi16(_mm_srli_epi16(t, 8), up);
        const __m128i tRB = _mm_mullo_epi16(_mm_and_si128(t, mask), up);
        const __m128i bAG = _mm_mullo_epi16(_mm_srli_epi16(b, 8), down);
        const __m128i bRB = _mm_mullo_epi16(_mm_and_si128(b, mask), down);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(ag + c), _mm_srli_epi16(_mm_add_epi16(tAG, bAG), 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rb + c), _mm_srli_epi16(_mm_add_epi16(tRB, bRB), 8));
    }
#endif
    for (; c < count; ++c) {
        rb[c] = (((top[c] & 0xff00ff) * quint32(idisty) + (bottom[c] & 0xff00ff) * quint32(disty)) >> 8) & 0xff00ff;
        ag[c] = ((((top[c] >> 8) & 0xff00ff) * quint32(idisty) + ((bottom[c] >> 8) & 0xff00ff) * quint32(disty)) >> 8) &
                0xff00ff;
    }
}

// For each column c two 64-bit words: the red-blue words of columns c and c + 1 with their 16-bit
// halves interleaved (low of c, low of c + 1, high of c, high of c + 1), then the alpha-green ones
// likewise. One 16-byte load then holds all an output pixel blends, ready for a multiply-add; and
// reading 16 bytes per column keeps the loads from running in step with the stores of the output row
// (which would make every load wait on a store to the same address modulo 4 KB at zoom 2). rb and ag
// have count + 4 entries.
void pairUp(const quint32* __restrict rb, const quint32* __restrict ag, int count, quint64* __restrict pairs) {
    int c = 0;
#if defined(__SSE2__)
    for (; c + 4 <= count; c += 4) {
        const __m128i rbHere = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb + c));
        const __m128i rbNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb + c + 1));
        const __m128i agHere = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ag + c));
        const __m128i agNext = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ag + c + 1));
        const __m128i rbLow = _mm_unpacklo_epi16(rbHere, rbNext);
        const __m128i rbHigh = _mm_unpackhi_epi16(rbHere, rbNext);
        const __m128i agLow = _mm_unpacklo_epi16(agHere, agNext);
        const __m128i agHigh = _mm_unpackhi_epi16(agHere, agNext);
        auto* out = reinterpret_cast<__m128i*>(pairs + 2 * c);
        _mm_storeu_si128(out, _mm_unpacklo_epi64(rbLow, agLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi64(rbLow, agLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi64(rbHigh, agHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi64(rbHigh, agHigh));
    }
#endif
    const auto pairOf = [](quint64 a, quint64 b) {
        return (a & 0xffff) | (b & 0xffff) << 16 | (a >> 16) << 32 | (b >> 16) << 48;
    };
    for (; c < count; ++c) {
        pairs[2 * c] = pairOf(rb[c], rb[c + 1]);
        pairs[2 * c + 1] = pairOf(ag[c], ag[c + 1]);
    }
}

// The second step: output pixel i blends the pairs of column firsts[i] with the weights
// pairWeights[2i] (left) and pairWeights[2i + 1] (right).
void blendColumns(const quint64* __restrict pairs, const quint32* firsts, const quint16* pairWeights, int width,
                  quint32* __restrict line) {
    int i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= width; i += 4) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairWeights + 2 * i));
        const __m128i w01 = _mm_unpacklo_epi32(w, w);
        const __m128i w23 = _mm_unpackhi_epi32(w, w);
        const auto column = [pairs](quint32 c) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairs + 2 * std::size_t(c)));
        };
        const __m128i p0 = column(firsts[i]), p1 = column(firsts[i + 1]);
        const __m128i p2 = column(firsts[i + 2]), p3 = column(firsts[i + 3]);
        const __m128i rbLow = _mm_srli_epi32(_mm_madd_epi16(_mm_unpacklo_epi64(p0, p1), w01), 8);
        const __m128i rbHigh = _mm_srli_epi32(_mm_madd_epi16(_mm_unpacklo_epi64(p2, p3), w23), 8);
        const __m128i agLow = _mm_srli_epi32(_mm_madd_epi16(_mm_unpackhi_epi64(p0, p1), w01), 8);
        const __m128i agHigh = _mm_srli_epi32(_mm_madd_epi16(_mm_unpackhi_epi64(p2, p3), w23), 8);
        const __m128i rbWords = _mm_packs_epi32(rbLow, rbHigh); // 0x00RR00BB per pixel
        const __m128i agWords = _mm_packs_epi32(agLow, agHigh); // 0x00AA00GG per pixel
        _mm_storeu_si128(reinterpret_cast<__m128i*>(line + i), _mm_or_si128(rbWords, _mm_slli_epi16(agWords, 8)));
    }
#endif
    for (; i < width; ++i) {
        const quint64 r = pairs[2 * std::size_t(firsts[i])];
        const quint64 g = pairs[2 * std::size_t(firsts[i]) + 1];
        const quint32 left = pairWeights[2 * i];
        const quint32 right = pairWeights[2 * i + 1];
        const quint32 blue = ((r & 0xffff) * left + (r >> 16 & 0xffff) * right) >> 8;
        const quint32 red = ((r >> 32 & 0xffff) * left + (r >> 48) * right) >> 8;
        const quint32 green = ((g & 0xffff) * left + (g >> 16 & 0xffff) * right) >> 8;
        const quint32 alpha = ((g >> 32 & 0xffff) * left + (g >> 48) * right) >> 8;
        line[i] = alpha << 24 | red << 16 | green << 8 | blue;
    }
}

// Qt's bilinear blend of opaque pixels, step for step (weights of 8 bits, first down the column
// between the two rows, then along the row), so that the result equals its smooth scaling exactly.
// Along a row Qt steps by the truncated 16.16 step from where the row starts; every local row is
// placed anew. Positions here are taken as if each row started at local x 0, so any area gives the
// pixels a whole repaint gives.
void scaleRows(const QImage& source, double zoom, const QRect& area, QImage& out, int firstRow, int rows) {
    const double inverse = 1.0 / zoom;
    const qint64 step = qint64(inverse * double(FixedOne));
    const qint64 rowStart = spanStart(0, inverse);
    const int width = area.width();

    thread_local std::vector<quint32> columns; // per output pixel: index of its left blended pixel
    thread_local std::vector<quint16> weights; // per output pixel: weights of its two pixels (sum 256)
    thread_local std::vector<quint32> rb;      // the current row pair blended, red and blue
    thread_local std::vector<quint32> ag;      // alpha and green
    thread_local std::vector<quint64> pairs;   // rb and ag, each column with the next
    columns.resize(std::size_t(width));
    weights.resize(2 * std::size_t(width));

    // The source columns this area reads, and for each output pixel which of them and how.
    int leftmost = 0;
    int unused = 0;
    neighbours(rowStart + qint64(area.x()) * step, source.width(), leftmost, unused);
    int rightmost = leftmost;
    for (int i = 0; i < width; ++i) {
        const qint64 fx = rowStart + qint64(area.x() + i) * step;
        int first = 0;
        int second = 0;
        neighbours(fx, source.width(), first, second);
        columns[std::size_t(i)] = quint32(first - leftmost);
        // At an edge both pixels are the same one, all weight on the left of the pair.
        const quint16 distx = second == first ? 0 : quint16((fx & 0xffff) >> 8);
        weights[2 * std::size_t(i)] = quint16(256 - distx);
        weights[2 * std::size_t(i) + 1] = distx;
        rightmost = std::max(rightmost, second);
    }
    const int span = rightmost - leftmost + 1;
    // Room for pairUp's reads past the last column (their pairs are never used).
    rb.resize(std::size_t(span) + 4);
    ag.resize(std::size_t(span) + 4);
    pairs.resize(2 * std::size_t(span));

    const quint32* const firsts = columns.data();
    const quint16* const pairWeights = weights.data();
    quint32* const rbRow = rb.data();
    quint32* const agRow = ag.data();
    for (int row = firstRow; row < firstRow + rows; ++row) {
        const qint64 fy = spanStart(area.y() + row, inverse);
        int top = 0;
        int bottom = 0;
        neighbours(fy, source.height(), top, bottom);
        const int disty = int((fy & 0xffff) >> 8);
        blendRows(reinterpret_cast<const quint32*>(source.constScanLine(top)) + leftmost,
                  reinterpret_cast<const quint32*>(source.constScanLine(bottom)) + leftmost, disty, span, rbRow,
                  agRow);
        pairUp(rbRow, agRow, span, pairs.data());
        blendColumns(pairs.data(), firsts, pairWeights, width, reinterpret_cast<quint32*>(out.scanLine(row)));
    }
}

} // namespace

bool scaleArea(const QImage& source, double zoom, const QRect& area, QImage& out, VnWorkTeam* team) {
    if (area.isEmpty() || source.isNull() || !(zoom > 0.0) || source.depth() != 32 || out.depth() != 32 ||
        out.size() != area.size())
        return false;

    // A small area is done here alone: handing it over costs more than it saves.
    const qint64 pixels = qint64(area.width()) * area.height();
    if (!team || pixels < 4 * BandPixels) {
        scaleRows(source, zoom, area, out, 0, area.height());
        return true;
    }
    // Bands are taken in order by whichever thread is free, the caller included, so a busy team
    // delays nothing: the caller then does every band itself.
    const int rowsPerBand = std::max(1, int(BandPixels / area.width()));
    const int bands = (area.height() + rowsPerBand - 1) / rowsPerBand;
    VnWorkTeam::Group group(*team, [&](std::size_t band) {
        const int first = int(band) * rowsPerBand;
        scaleRows(source, zoom, area, out, first, std::min(rowsPerBand, area.height() - first));
    });
    group.publish(std::size_t(bands));
    group.wait();
    return true;
}

} // namespace SurfaceScaler

#include "viewer/widgets/SurfaceScaler.h"

#include "viewer/engine/surfaces/VnWorkTeam.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SURFACE_SCALER_X86 1
#define SURFACE_SCALER_AVX2 __attribute__((target("avx2")))
#endif

#include <algorithm>
#include <atomic>
#include <functional>
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
        rb[c] = (((top[c] & 0xff00ff) * quint32(idisty) + (bottom[c] & 0xff00ff) * quint32(disty)) >> 8) &
                0xff00ff;
        ag[c] = ((((top[c] >> 8) & 0xff00ff) * quint32(idisty) +
                  ((bottom[c] >> 8) & 0xff00ff) * quint32(disty)) >>
                 8) &
                0xff00ff;
    }
}

// For each column c two 64-bit words: the red-blue words of columns c and c + 1 with their 16-bit
// halves interleaved (low of c, low of c + 1, high of c, high of c + 1), then the alpha-green ones
// likewise. One 16-byte load then holds all an output pixel blends, ready for a multiply-add; and
// reading 16 bytes per column keeps the loads from running in step with the stores of the output row
// (which would make every load wait on a store to the same address modulo 4 KB at zoom 2). rb and ag
// have count + 4 entries.
void pairUp(const quint32* __restrict rb, const quint32* __restrict ag, int count,
            quint64* __restrict pairs) {
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

// The second step: output pixel i blends the pairs of column firsts[i] with the weights in the low
// (left) and high (right) half of pairWeights[i].
void blendColumns(const quint64* __restrict pairs, const quint32* firsts, const quint32* pairWeights,
                  int width, quint32* __restrict line) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    for (; i + 4 <= width; i += 4) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pairWeights + i));
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
        _mm_storeu_si128(reinterpret_cast<__m128i*>(line + i),
                         _mm_or_si128(_mm_or_si128(rbWords, _mm_slli_epi16(agWords, 8)), opaque));
    }
#endif
    for (; i < width; ++i) {
        const quint64 r = pairs[2 * std::size_t(firsts[i])];
        const quint64 g = pairs[2 * std::size_t(firsts[i]) + 1];
        const quint32 left = pairWeights[i] & 0xffff;
        const quint32 right = pairWeights[i] >> 16;
        const quint32 blue = ((r & 0xffff) * left + (r >> 16 & 0xffff) * right) >> 8;
        const quint32 red = ((r >> 32 & 0xffff) * left + (r >> 48) * right) >> 8;
        const quint32 green = ((g & 0xffff) * left + (g >> 16 & 0xffff) * right) >> 8;
        const quint32 alpha = ((g >> 32 & 0xffff) * left + (g >> 48) * right) >> 8;
        line[i] = (alpha << 24 | red << 16 | green << 8 | blue) | 0xff000000u;
    }
}

#if defined(SURFACE_SCALER_X86)
// The same two steps 32 bytes at a time. The rows are blended into one 16-bit word per channel (blue,
// green, red, alpha), 8 bytes per source column; the second step takes each output pixel's two columns
// with one 16-byte load and orders the words (blue, blue of the next, green, ...) for a multiply-add.

// Four pixels of two rows blended, a 16-bit word per channel.
SURFACE_SCALER_AVX2 inline __m256i blendFour(const quint32* top, const quint32* bottom, __m256i up,
                                             __m256i down) {
    const __m256i t = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top)));
    const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom)));
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(t, up), _mm256_mullo_epi16(b, down)), 8);
}

SURFACE_SCALER_AVX2 void blendRowsWide(const quint32* __restrict top, const quint32* __restrict bottom,
                                       int disty, int count, quint64* __restrict words) {
    const __m256i down = _mm256_set1_epi16(short(disty));
    const __m256i up = _mm256_set1_epi16(short(256 - disty));
    int c = 0;
    for (; c + 8 <= count; c += 8) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + c), blendFour(top + c, bottom + c, up, down));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + c + 4),
                            blendFour(top + c + 4, bottom + c + 4, up, down));
    }
    const quint64 idisty = quint64(256 - disty);
    for (; c < count; ++c) {
        const auto spread = [](quint32 p) {
            return quint64(p & 0xff) | quint64(p >> 8 & 0xff) << 16 | quint64(p >> 16 & 0xff) << 32 |
                   quint64(p >> 24) << 48;
        };
        // Each word stays below 2^16: 255 * 256 at most.
        words[c] =
            ((spread(top[c]) * idisty + spread(bottom[c]) * quint64(disty)) >> 8) & 0x00ff00ff00ff00ffull;
    }
}

// Output pixels k (low lane) and k + 1 (high lane) of a group: blue, green, red and alpha, 32 bits each.
template <int k>
SURFACE_SCALER_AVX2 inline __m256i blendTwo(const quint64* words, const quint32* firsts, __m256i weights) {
    const __m256i order = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, //
                                           0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + firsts[k]));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + firsts[k + 1]));
    const __m256i p =
        _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1), order);
    const __m256i w =
        _mm256_permutevar8x32_epi32(weights, _mm256_setr_epi32(k, k, k, k, k + 1, k + 1, k + 1, k + 1));
    return _mm256_srli_epi32(_mm256_madd_epi16(p, w), 8);
}

SURFACE_SCALER_AVX2 void blendColumnsWide(const quint64* __restrict words, const quint32* firsts,
                                          const quint32* pairWeights, int width, quint32* __restrict line) {
    const __m256i pixels = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i opaque = _mm256_set1_epi32(int(0xff000000u));
    int i = 0;
    for (; i + 8 <= width; i += 8) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pairWeights + i));
        const quint32* const at = firsts + i;
        const __m256i low =
            _mm256_packs_epi32(blendTwo<0>(words, at, w), blendTwo<2>(words, at, w)); // 0, 2 | 1, 3
        const __m256i high =
            _mm256_packs_epi32(blendTwo<4>(words, at, w), blendTwo<6>(words, at, w)); // 4, 6 | 5, 7
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(low, high), pixels);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(line + i), _mm256_or_si256(bytes, opaque));
    }
    for (; i < width; ++i) {
        const quint64 a = words[firsts[i]];
        const quint64 b = words[firsts[i] + 1];
        const quint32 left = pairWeights[i] & 0xffff;
        const quint32 right = pairWeights[i] >> 16;
        quint32 pixel = 0;
        for (int shift = 0; shift < 64; shift += 16)
            pixel |= quint32(((a >> shift & 0xffff) * left + (b >> shift & 0xffff) * right) >> 8)
                     << (shift / 2);
        line[i] = pixel | 0xff000000u;
    }
}

bool cpuHasAvx2() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#else
bool cpuHasAvx2() {
    return false;
}
#endif

#if defined(SURFACE_SCALER_X86)
// Whether every one of `count` pixels has alpha 255.
SURFACE_SCALER_AVX2 bool opaqueWide(const quint32* pixels, int count) {
    const __m256i alpha = _mm256_set1_epi32(int(0xff000000u));
    __m256i all = alpha;
    int c = 0;
    for (; c + 32 <= count; c += 32) {
        const auto* at = reinterpret_cast<const __m256i*>(pixels + c);
        all = _mm256_and_si256(
            all, _mm256_and_si256(_mm256_and_si256(_mm256_loadu_si256(at), _mm256_loadu_si256(at + 1)),
                                  _mm256_and_si256(_mm256_loadu_si256(at + 2), _mm256_loadu_si256(at + 3))));
    }
    for (; c + 8 <= count; c += 8)
        all = _mm256_and_si256(all, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels + c)));
    quint32 rest = 0xff000000u;
    for (; c < count; ++c)
        rest &= pixels[c];
    return _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_and_si256(all, alpha), alpha)) == -1 &&
           (rest & 0xff000000u) == 0xff000000u;
}
#endif

bool opaque(const quint32* pixels, int count) {
    quint32 all = 0xff000000u;
    for (int c = 0; c < count; ++c)
        all &= pixels[c];
    return (all & 0xff000000u) == 0xff000000u;
}

std::atomic<bool> wideAllowed{true};

// Whether the 32-byte kernels run: the processor has them and tests have not switched them off.
bool wideKernels() {
    return cpuHasAvx2() && wideAllowed.load(std::memory_order_relaxed);
}

// Qt's bilinear blend of opaque pixels, step for step (weights of 8 bits, first down the column
// between the two rows, then along the row), so that the result equals its smooth scaling exactly.
// Along a row Qt steps by the truncated 16.16 step from where the row starts; every local row is
// placed anew. Positions here are taken as if each row started at local x 0, so any area gives the
// pixels a whole repaint gives.
void scaleRows(const QImage& source, double zoom, const QRect& area, uchar* out, qsizetype stride,
               int firstRow, int rows) {
    const double inverse = 1.0 / zoom;
    const int width = area.width();

    // Which source columns each output pixel blends depends only on the zoom, the area's columns and the
    // source's width: kept per thread from one band, and one paint, to the next.
    struct Columns {
        double zoom = 0.0;
        int x = 0;
        int width = -1;
        int sourceWidth = -1;
        int leftmost = 0;
        int span = 0;
        std::vector<quint32> firsts;  // per output pixel: index of its left blended pixel, from leftmost
        std::vector<quint32> weights; // per output pixel: weight of its left pixel | of its right << 16
    };
    thread_local Columns columns;
    thread_local std::vector<quint32> rb;    // the current row pair blended, red and blue
    thread_local std::vector<quint32> ag;    // alpha and green
    thread_local std::vector<quint64> pairs; // rb and ag, each column with the next
    thread_local std::vector<quint64> words; // the row pair blended, a word per channel (wide kernels)

    if (columns.zoom != zoom || columns.x != area.x() || columns.width != width ||
        columns.sourceWidth != source.width()) {
        const qint64 step = qint64(inverse * double(FixedOne));
        const qint64 rowStart = spanStart(0, inverse);
        columns.firsts.resize(std::size_t(width));
        columns.weights.resize(std::size_t(width));
        int leftmost = 0;
        int unused = 0;
        neighbours(rowStart + qint64(area.x()) * step, source.width(), leftmost, unused);
        int rightmost = leftmost;
        for (int i = 0; i < width; ++i) {
            const qint64 fx = rowStart + qint64(area.x() + i) * step;
            int first = 0;
            int second = 0;
            neighbours(fx, source.width(), first, second);
            columns.firsts[std::size_t(i)] = quint32(first - leftmost);
            // At an edge both pixels are the same one, all weight on the left of the pair.
            const quint32 distx = second == first ? 0 : quint32((fx & 0xffff) >> 8);
            columns.weights[std::size_t(i)] = (256 - distx) | distx << 16;
            rightmost = std::max(rightmost, second);
        }
        columns.zoom = zoom;
        columns.x = area.x();
        columns.width = width;
        columns.sourceWidth = source.width();
        columns.leftmost = leftmost;
        columns.span = rightmost - leftmost + 1;
    }
    const int leftmost = columns.leftmost;
    const int span = columns.span;
    const quint32* const firsts = columns.firsts.data();
    const quint32* const pairWeights = columns.weights.data();

    const bool wide = wideKernels();
    if (wide) {
        // Room for the 16-byte loads of the last column's pair.
        if (words.size() < std::size_t(span) + 2)
            words.resize(std::size_t(span) + 2);
    } else {
        // Room for pairUp's reads past the last column (their pairs are never used).
        rb.resize(std::size_t(span) + 4);
        ag.resize(std::size_t(span) + 4);
        pairs.resize(2 * std::size_t(span));
    }

    for (int row = firstRow; row < firstRow + rows; ++row) {
        const qint64 fy = spanStart(area.y() + row, inverse);
        int top = 0;
        int bottom = 0;
        neighbours(fy, source.height(), top, bottom);
        const int disty = int((fy & 0xffff) >> 8);
        const quint32* const topLine = reinterpret_cast<const quint32*>(source.constScanLine(top)) + leftmost;
        const quint32* const bottomLine =
            reinterpret_cast<const quint32*>(source.constScanLine(bottom)) + leftmost;
        quint32* const line = reinterpret_cast<quint32*>(out + row * stride);
#if defined(SURFACE_SCALER_X86)
        if (wide) {
            blendRowsWide(topLine, bottomLine, disty, span, words.data());
            blendColumnsWide(words.data(), firsts, pairWeights, width, line);
            continue;
        }
#endif
        blendRows(topLine, bottomLine, disty, span, rb.data(), ag.data());
        pairUp(rb.data(), ag.data(), span, pairs.data());
        blendColumns(pairs.data(), firsts, pairWeights, width, line);
    }
}

// Runs work(band) for every band 0 .. bands - 1 and returns once all are done: on the calling thread,
// and also on the team's threads when there are `pixels` of work, at least `least`, below which handing
// bands over costs more than it saves (measured with the team's threads asleep). Bands are taken in
// order by whichever thread is free, the caller included, so a busy team delays nothing: the caller
// then does every band itself.
void runBands(VnWorkTeam* team, qint64 pixels, qint64 least, int bands,
              const std::function<void(int)>& work) {
    if (!team || pixels < least || bands < 2) {
        for (int band = 0; band < bands; ++band)
            work(band);
        return;
    }
    VnWorkTeam::Group group(*team, [&work](std::size_t band) { work(int(band)); });
    group.publish(std::size_t(bands));
    group.wait();
}

} // namespace

bool scaleArea(const QImage& source, double zoom, const QRect& area, QImage& out, VnWorkTeam* team) {
    if (area.isEmpty() || source.isNull() || !(zoom > 0.0) || source.depth() != 32 || out.depth() != 32 ||
        out.size() != area.size())
        return false;

    // Bands small enough that a helper the system holds back delays little.
    const int rowsPerBand = std::max(1, int(BandPixels / area.width()));
    const int bands = (area.height() + rowsPerBand - 1) / rowsPerBand;
    const qint64 pixels = qint64(area.width()) * area.height();
    // Taken here, once: QImage::bits() is not for several threads at a time.
    uchar* const bits = out.bits();
    const qsizetype stride = out.bytesPerLine();
    runBands(team, pixels, 5 * BandPixels, bands, [&](int band) {
        const int first = band * rowsPerBand;
        scaleRows(source, zoom, area, bits, stride, first, std::min(rowsPerBand, area.height() - first));
    });
    return true;
}

bool isOpaque(const QImage& image, const QRect& area, VnWorkTeam* team) {
    const QRect rect = area & image.rect();
    if (image.depth() != 32)
        return false;
    if (rect.isEmpty())
        return true;
    // Reading is far quicker than scaling: bands of more pixels, and helpers only for a picture larger than
    // a full HD one, which one thread reads in about a tenth of a millisecond.
    constexpr qint64 bandPixels = 4 * BandPixels;
    const int rowsPerBand = std::max(1, int(bandPixels / rect.width()));
    const int bands = (rect.height() + rowsPerBand - 1) / rowsPerBand;
    const bool wide = wideKernels();
    std::atomic<bool> translucent{false};
    runBands(team, qint64(rect.width()) * rect.height(), 16 * bandPixels, bands, [&](int band) {
        const int first = rect.top() + band * rowsPerBand;
        const int last = std::min(first + rowsPerBand, rect.bottom() + 1);
        for (int y = first; y < last && !translucent.load(std::memory_order_relaxed); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y)) + rect.left();
#if defined(SURFACE_SCALER_X86)
            const bool whole = wide ? opaqueWide(line, rect.width()) : opaque(line, rect.width());
#else
            const bool whole = opaque(line, rect.width());
#endif
            if (!whole)
                translucent.store(true, std::memory_order_relaxed);
        }
    });
    return !translucent.load();
}

bool useWideKernels(bool allowed) {
    wideAllowed.store(allowed, std::memory_order_relaxed);
    return wideKernels();
}

} // namespace SurfaceScaler

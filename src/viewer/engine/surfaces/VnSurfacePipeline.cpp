#include "viewer/engine/surfaces/VnSurfacePipeline.h"

#include "viewer/engine/surfaces/VnDecoderRunnables.h"

#include <QDebug>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

constexpr int BytesPerPixel = 4;

qint64 imageBytes(QSize size) {
    return size.isEmpty() ? 0 : qint64(size.width()) * size.height() * BytesPerPixel;
}

int roundUpTo64(int v) {
    return (v + 63) / 64 * 64;
}

// The bands of a region, top to bottom: the rects of one band share their top and bottom.
struct Band {
    int top;
    int bottom; // exclusive
    qint64 rects;
};
using Bands = std::vector<Band>;

Bands bandsOf(const QRegion& region) {
    Bands bands;
    for (const QRect& r : region) {
        if (!bands.empty() && bands.back().top == r.top()) {
            ++bands.back().rects;
        } else {
            bands.push_back({r.top(), r.y() + r.height(), 1});
        }
    }
    return bands;
}

// At most how many rects the union or the intersection of two regions has: every band of the result
// lies between consecutive band edges of the operands, and holds at most the rects both operands have
// there.
qint64 combinedBound(const Bands& a, const Bands& b) {
    std::vector<int> edges;
    edges.reserve(2 * (a.size() + b.size()));
    for (const Bands* bands : {&a, &b}) {
        for (const Band& band : *bands) {
            edges.push_back(band.top);
            edges.push_back(band.bottom);
        }
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    qint64 bound = 0;
    std::size_t i = 0;
    std::size_t j = 0;
    for (std::size_t k = 0; k + 1 < edges.size(); ++k) {
        const int y = edges[k];
        while (i < a.size() && a[i].bottom <= y) {
            ++i;
        }
        while (j < b.size() && b[j].bottom <= y) {
            ++j;
        }
        if (i < a.size() && a[i].top <= y) {
            bound += a[i].rects;
        }
        if (j < b.size() && b[j].top <= y) {
            bound += b[j].rects;
        }
    }
    return bound;
}

// Region arithmetic on what the server sends, with its cost bounded. A union or intersection can have
// far more rects than its operands (a few thousand crossing strips make millions), so every operation
// is bounded before it is made, and so is all the work of one message; an operation that would exceed
// either fails.
class RegionBudget {
public:
    struct Part {
        QRegion region;
        Bands bands;
    };

    static Part part(QRegion region) {
        Bands bands = bandsOf(region);
        return Part{std::move(region), std::move(bands)};
    }

    bool unite(const Part& a, const Part& b, Part& into) { return combine(a, b, true, into); }
    bool intersect(const Part& a, const Part& b, Part& into) { return combine(a, b, false, into); }

    // The union of the rects, built pairwise (a binary counter of partial unions), so that n rects
    // cost about n log n band merges instead of the n^2 of adding them one by one.
    bool uniteRects(const std::vector<QRect>& rects, Part& into) {
        std::vector<std::pair<Part, int>> stack; // partial union and how many merges deep it is
        for (const QRect& r : rects) {
            if (r.isEmpty()) {
                continue;
            }
            Part part{QRegion(r), Bands{{r.top(), r.y() + r.height(), 1}}};
            int level = 0;
            while (!stack.empty() && stack.back().second == level) {
                Part merged;
                if (!unite(stack.back().first, part, merged)) {
                    return false;
                }
                stack.pop_back();
                part = std::move(merged);
                ++level;
            }
            stack.emplace_back(std::move(part), level);
        }
        Part all;
        while (!stack.empty()) {
            Part merged;
            if (!unite(stack.back().first, all, merged)) {
                return false;
            }
            stack.pop_back();
            all = std::move(merged);
        }
        into = std::move(all);
        return true;
    }

private:
    bool combine(const Part& a, const Part& b, bool unite, Part& into) {
        const qint64 bound = combinedBound(a.bands, b.bands);
        m_work += bound + a.region.rectCount() + b.region.rectCount();
        if (bound > VnSurfacePipeline::MaxRegionRects || m_work > VnSurfacePipeline::MaxRegionWork) {
            return false;
        }
        into = part(unite ? a.region.united(b.region) : a.region.intersected(b.region));
        return true;
    }

    qint64 m_work = 0;
};

// Copies src into dst with its top-left at `at`, replacing the pixels (alpha included).
void blitReplacing(uchar* dstBits, qsizetype dstStride, QSize dstSize, QPoint at, const QImage& source) {
    const QImage src = source.format() == QImage::Format_ARGB32 || source.format() == QImage::Format_RGB32
                           ? source
                           : source.convertToFormat(QImage::Format_ARGB32);
    const QRect target = QRect(at, src.size()) & QRect(QPoint(), dstSize);
    if (target.isEmpty()) {
        return;
    }
    const int srcX = target.x() - at.x();
    const int srcY = target.y() - at.y();
    for (int row = 0; row < target.height(); ++row) {
        std::memcpy(dstBits + qsizetype(target.y() + row) * dstStride + qsizetype(target.x()) * BytesPerPixel,
                    src.constScanLine(srcY + row) + qsizetype(srcX) * BytesPerPixel,
                    size_t(target.width()) * BytesPerPixel);
    }
}

// Runs the tile jobs of one update on the pool and composes their pixels, in message order, into the
// update's image. Jobs are gathered into rounds that run on the pool while more are added: a round
// holds at most maxJobs jobs and MaxDecodedBytesInFlight of decoded pixels waiting to be composed,
// and a tile that shares a cache entry, or pixels one of them writes directly, with a tile of the
// round starts the next round, after every job of this one has finished.
//
// With `spent`, finished jobs are not destroyed when their round is composed, while the other threads
// wait, but one by one before each later job is made, while they decode; their pixels are released
// at once.
class TileComposer {
public:
    TileComposer(VnWorkTeam& team, int maxJobs, QImage* composed, QRect bounds, VnSpentJobs* spent = nullptr)
        : m_batch(team, std::size_t(std::max(1, maxJobs)))
        , m_bounds(bounds)
        , m_spent(spent)
        , m_chain(std::size_t(std::max(1, maxJobs))) {
        // At least twice as many buckets as tiles in a round.
        std::size_t buckets = 64;
        for (m_bucketShift = 26; buckets < 2 * m_chain.size(); buckets *= 2) {
            --m_bucketShift;
        }
        m_buckets.assign(buckets, 0);
        if (composed && !composed->isNull()) {
            m_bits = composed->bits();
            m_stride = composed->bytesPerLine();
            m_size = composed->size();
        }
    }
    ~TileComposer() { finish(); }

    bool hasImage() const { return m_bits != nullptr; }

    // Where a tile's pixels go when it lies wholly inside the composed image, else null.
    uchar* directDestination(const QRect& rect) const {
        if (!m_bits || !m_bounds.contains(rect)) {
            return nullptr;
        }
        return m_bits + qsizetype(rect.y() - m_bounds.y()) * m_stride +
               qsizetype(rect.x() - m_bounds.x()) * BytesPerPixel;
    }
    qsizetype stride() const { return m_stride; }

    // Makes room for the next tile: finishes the round when the tile conflicts with one of its
    // tiles or would not fit within its bounds. Call before creating the tile's job, then start() it.
    void makeRoom(QRect rect, bool hasKey, std::uint32_t key, bool direct, qint64 resultBytes) {
        if (m_spent) {
            m_spent->dropOne();
        }
        m_next = Slot{nullptr, rect, hasKey, key, direct, resultBytes};
        if (!m_round.empty() &&
            (m_batch.full() || m_bytesInFlight + resultBytes > VnSurfacePipeline::MaxDecodedBytesInFlight ||
             conflictsWithRound(m_next))) {
            finishRound();
        }
    }

    void start(std::unique_ptr<VnTileDecoderRunnable> job) {
        m_next.job = std::move(job);
        m_bytesInFlight += m_next.resultBytes;
        remember(m_round.size(), m_next);
        m_round.push_back(std::move(m_next));
        m_batch.add(m_round.back().job.get());
    }

    // Waits for every job; returns the rects that decoded tiles painted.
    std::vector<QRect> finish() {
        finishRound();
        return std::exchange(m_painted, {});
    }

private:
    struct Slot {
        std::unique_ptr<VnTileDecoderRunnable> job;
        QRect rect;
        bool hasKey = false;
        std::uint32_t key = 0;
        bool direct = false;
        qint64 resultBytes = 0;
    };

    // Tiles of the round by the 64-pixel cell of their top-left corner: two rects at most a tile
    // wide and high can only meet when those cells are neighbours.
    static constexpr int CellShift = 6;
    static constexpr int CellSize = 1 << CellShift;
    static quint32 cellOf(int cellX, int cellY) {
        // Tile positions are 16-bit, so cells fit in 10 bits each way.
        return (quint32(cellY) & 0x3ff) << 10 | (quint32(cellX) & 0x3ff);
    }
    std::size_t bucketOf(quint32 cell) const { return (cell * 0x9e3779b1u) >> m_bucketShift; }
    static bool small(const QRect& r) { return r.width() <= CellSize && r.height() <= CellSize; }

    static bool rectsConflict(const Slot& earlier, const Slot& later) {
        return (earlier.direct || later.direct) && earlier.rect.intersects(later.rect);
    }

    void remember(std::size_t index, const Slot& slot) {
        if (slot.hasKey) {
            m_keys.insert(slot.key);
        }
        if (slot.direct) {
            ++m_directs;
        }
        if (small(slot.rect)) {
            // Small tiles by cell in a flat table: each bucket holds its latest tile, each tile the one
            // before it in its bucket (indices plus one, zero for none).
            const std::size_t bucket =
                bucketOf(cellOf(slot.rect.x() >> CellShift, slot.rect.y() >> CellShift));
            if (m_buckets[bucket] == 0) {
                m_usedBuckets.push_back(std::uint32_t(bucket));
            }
            m_chain[index] = m_buckets[bucket];
            m_buckets[bucket] = std::uint32_t(index + 1);
        } else {
            m_large.push_back(index);
        }
    }

    bool conflictsWithRound(const Slot& next) const {
        if (next.hasKey && m_keys.count(next.key) != 0) {
            return true;
        }
        // Pixels conflict only where a tile writes directly.
        if (!next.direct && m_directs == 0) {
            return false;
        }
        for (std::size_t index : m_large) {
            if (rectsConflict(m_round[index], next)) {
                return true;
            }
        }
        if (!small(next.rect)) {
            // Larger than a tile (image codecs, which never write directly): every tile of the round.
            return std::any_of(m_round.begin(), m_round.end(),
                               [&next](const Slot& earlier) { return rectsConflict(earlier, next); });
        }
        const int cellX = next.rect.x() >> CellShift;
        const int cellY = next.rect.y() >> CellShift;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                const quint32 cell = cellOf(cellX + dx, cellY + dy);
                for (std::uint32_t i = m_buckets[bucketOf(cell)]; i != 0; i = m_chain[i - 1]) {
                    const Slot& earlier = m_round[i - 1];
                    if (cellOf(earlier.rect.x() >> CellShift, earlier.rect.y() >> CellShift) == cell &&
                        rectsConflict(earlier, next)) {
                        return true;
                    }
                }
            }
        }
        return false;
    }

    // Waits for the round's jobs and composes them in order.
    void finishRound() {
        m_batch.wait();
        for (Slot& slot : m_round) {
            compose(slot);
        }
        if (m_spent) {
            for (Slot& slot : m_round) {
                slot.job->result = QImage();
                m_spent->add(std::move(slot.job));
            }
        }
        m_round.clear();
        m_keys.clear();
        for (std::uint32_t bucket : m_usedBuckets) {
            m_buckets[bucket] = 0;
        }
        m_usedBuckets.clear();
        m_large.clear();
        m_directs = 0;
        m_bytesInFlight = 0;
    }

    void compose(const Slot& slot) {
        if (!slot.job->ok) {
            return;
        }
        if (slot.direct) {
            m_painted.push_back(slot.rect);
            return;
        }
        const QImage& result = slot.job->result;
        if (m_bits && !result.isNull()) {
            blitReplacing(m_bits, m_stride, m_size, slot.rect.topLeft() - m_bounds.topLeft(), result);
            // Only what the decoder delivered counts as painted, should it be less than announced.
            m_painted.push_back(slot.rect & QRect(slot.rect.topLeft(), result.size()));
        }
    }

    VnDecodeBatch m_batch;
    QRect m_bounds;
    VnSpentJobs* m_spent;
    uchar* m_bits = nullptr;
    qsizetype m_stride = 0;
    QSize m_size;
    std::vector<Slot> m_round;
    std::unordered_set<std::uint32_t> m_keys;
    int m_bucketShift = 32;
    std::vector<std::uint32_t> m_buckets;
    std::vector<std::uint32_t> m_chain;
    std::vector<std::uint32_t> m_usedBuckets;
    std::vector<std::size_t> m_large;
    int m_directs = 0;
    qint64 m_bytesInFlight = 0;
    std::vector<QRect> m_painted;
    Slot m_next;
};

// The tile's bytes without a copy; the tile list outlives every job of its update.
QByteArray rawBytes(const Protocol::Blob& data) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                   int(std::min<std::size_t>(data.size(), INT_MAX)));
}

std::vector<QRect> toQRects(const Protocol::RectList& rects) {
    std::vector<QRect> qrects;
    qrects.reserve(rects.size());
    for (const Protocol::Rect& r : rects) {
        qrects.emplace_back(r.x, r.y, r.width, r.height);
    }
    return qrects;
}

// The union of whole tiles of the 64-pixel grid, which is what encoders send, built straight as rows of
// spans (rows with the same spans as one band, as QRegion keeps them); false for any other rects.
bool gridTileUnion(const std::vector<QRect>& tiles, QRegion& unionOf) {
    for (const QRect& r : tiles) {
        if (r.width() != kRfx7TileSize || r.height() != kRfx7TileSize || (r.x() & (kRfx7TileSize - 1)) != 0 ||
            (r.y() & (kRfx7TileSize - 1)) != 0) {
            return false;
        }
    }
    const auto before = [](const QRect& a, const QRect& b) {
        return a.y() != b.y() ? a.y() < b.y() : a.x() < b.x();
    };
    // Tiles come in rows as a rule: a sorted copy only when they do not.
    std::vector<QRect> sorted;
    if (!std::is_sorted(tiles.begin(), tiles.end(), before)) {
        sorted = tiles;
        std::sort(sorted.begin(), sorted.end(), before);
    }
    const std::vector<QRect>& rects = sorted.empty() ? tiles : sorted;
    std::vector<QRect> bands;
    std::size_t bandStart = 0; // first rect of the last band in `bands`
    for (std::size_t i = 0; i < rects.size();) {
        const int y = rects[i].y();
        const std::size_t rowStart = bands.size();
        for (; i < rects.size() && rects[i].y() == y; ++i) {
            const QRect& r = rects[i];
            if (bands.size() > rowStart && r.x() <= bands.back().right() + 1) {
                bands.back().setRight(std::max(bands.back().right(), r.right()));
            } else {
                bands.emplace_back(r);
            }
        }
        // A row right below a band of the same spans extends that band.
        const std::size_t spans = bands.size() - rowStart;
        const bool sameSpans =
            rowStart > 0 && rowStart - bandStart == spans && bands[bandStart].bottom() + 1 == y &&
            std::equal(bands.begin() + qsizetype(bandStart), bands.begin() + qsizetype(rowStart),
                       bands.begin() + qsizetype(rowStart), [](const QRect& a, const QRect& b) {
                           return a.left() == b.left() && a.right() == b.right();
                       });
        if (sameSpans) {
            for (std::size_t b = bandStart; b < rowStart; ++b) {
                bands[b].setBottom(bands[rowStart].bottom());
            }
            bands.resize(rowStart);
        } else {
            bandStart = rowStart;
        }
    }
    unionOf = QRegion();
    unionOf.setRects(bands.data(), int(bands.size()));
    return true;
}

// What an update paints: the pixels of its region that decoded tiles covered.
bool paintedRegion(RegionBudget& budget, const QRegion& region, const std::vector<QRect>& paintedRects,
                   QRegion& painted) {
    RegionBudget::Part tiles;
    RegionBudget::Part result;
    QRegion grid;
    if (gridTileUnion(paintedRects, grid)) {
        tiles = RegionBudget::part(std::move(grid));
    } else if (!budget.uniteRects(paintedRects, tiles)) {
        return false;
    }
    if (!budget.intersect(RegionBudget::part(region), tiles, result)) {
        return false;
    }
    painted = std::move(result.region);
    return true;
}

QString regionTooComplex(std::uint32_t surfaceId) {
    return QStringLiteral("region of surface %1 too complex").arg(surfaceId);
}

} // namespace

// Where one update's pixels go: the requested region clipped to the surface, and a composed image
// covering its bounding rect. For a surface the queued commands do not know nothing is decoded.
struct VnSurfacePipeline::UpdateTarget {
    bool knownSurface = false;
    QRect surfaceRect;
    QRegion region;
    QRect bounds;
    std::shared_ptr<QImage> image;
};

// The pixels of composed images nothing uses any more, kept for the next update of the same size.
// A fresh image costs the decode threads a page fault for every 4 KB they write, and a whole-surface
// update hands its image to the surface, whose previous image comes back here once the windows let
// go of it. Images may go on any thread.
class VnSurfacePipeline::ComposedBuffers : public std::enable_shared_from_this<ComposedBuffers> {
public:
    // Two full frames of a 4K screen, at most.
    static constexpr std::size_t MaxKept = 2;
    static constexpr std::size_t MaxKeptBytes = std::size_t(40) << 20;

    ~ComposedBuffers() {
        for (const Buffer& buffer : m_kept) {
            std::free(buffer.bits);
        }
    }

    // A 64-byte aligned image of the size, or a null image when memory runs out.
    QImage image(int width, int height, qsizetype stride) {
        const std::size_t bytes = std::size_t(stride) * std::size_t(height);
        void* bits = take(bytes);
        if (!bits) {
            return QImage();
        }
        auto* owner = new Owner{shared_from_this(), bits, bytes};
        return QImage(static_cast<uchar*>(bits), width, height, stride, QImage::Format_ARGB32,
                      [](void* info) {
                          auto* o = static_cast<Owner*>(info);
                          o->buffers->give(o->bits, o->bytes);
                          delete o;
                      },
                      owner);
    }

private:
    struct Buffer {
        void* bits;
        std::size_t bytes;
    };
    struct Owner {
        std::shared_ptr<ComposedBuffers> buffers;
        void* bits;
        std::size_t bytes;
    };

    void* take(std::size_t bytes) {
        {
            QMutexLocker lock(&m_mutex);
            for (auto it = m_kept.begin(); it != m_kept.end(); ++it) {
                if (it->bytes == bytes) {
                    void* bits = it->bits;
                    m_keptBytes -= bytes;
                    m_kept.erase(it);
                    return bits;
                }
            }
        }
        return std::aligned_alloc(64, bytes);
    }

    void give(void* bits, std::size_t bytes) {
        {
            QMutexLocker lock(&m_mutex);
            if (m_kept.size() < MaxKept && m_keptBytes + bytes <= MaxKeptBytes) {
                m_kept.push_back({bits, bytes});
                m_keptBytes += bytes;
                return;
            }
        }
        std::free(bits);
    }

    QMutex m_mutex;
    std::vector<Buffer> m_kept;
    std::size_t m_keptBytes = 0;
};

VnSurfacePipeline::VnSurfacePipeline(QObject* parent)
    : QObject(parent)
    , m_composedBuffers(std::make_shared<ComposedBuffers>())
    , m_formatNames(defaultCodecFormatNames()) {}

VnSurfacePipeline::~VnSurfacePipeline() {
    m_decodeTeam.stop();
    m_decodePool.waitForDone();
}

int VnSurfacePipeline::maxJobsInFlight() const {
    // Every round of jobs ends with the network thread waiting for the pool to run dry, so rounds are
    // long: a full 1920x1080 frame is one. A job beside its tile's bytes is about a hundred bytes.
    return std::max(1024, 64 * m_decodePool.maxThreadCount());
}

QMap<Protocol::Byte, QByteArray> VnSurfacePipeline::defaultCodecFormatNames() {
    return {{Protocol::Codecs::Jpeg, "jpeg"},
            {Protocol::Codecs::Png, "png"},
            {Protocol::Codecs::Gif, "gif"},
            {Protocol::Codecs::WebP, "webp"}};
}

void VnSurfacePipeline::fail(const QString& message) {
    m_failed = true;
    emit failed(message, Protocol::ErrorLevel::Protocol);
}

bool VnSurfacePipeline::checkSurfaceSize(std::uint32_t surfaceId, int width, int height) {
    if (width > MaxSurfaceSide || height > MaxSurfaceSide) {
        fail(QStringLiteral("surface %1 too large: %2x%3").arg(surfaceId).arg(width).arg(height));
        return false;
    }
    return true;
}

bool VnSurfacePipeline::reserveSurfaceBytes(std::uint32_t surfaceId, qint64 oldBytes, qint64 newBytes) {
    const qint64 total = m_surfaceBytes - oldBytes + newBytes;
    if (total > MaxSurfaceBytes) {
        fail(QStringLiteral("surface %1 exceeds the memory for surfaces: %2 bytes in all")
                 .arg(surfaceId)
                 .arg(total));
        return false;
    }
    m_surfaceBytes = total;
    return true;
}

void VnSurfacePipeline::queue(Surface::CommandPtr command) {
    m_pending.push_back(std::move(command));
    if (int(m_pending.size()) > MaxPendingCommands) {
        emit frameEndRequested();
    }
}

void VnSurfacePipeline::afterQueueingPaint() {
    if (m_ignoreFrame || m_pendingImageBytes > MaxPendingImageBytes) {
        emit frameEndRequested();
    }
}

void VnSurfacePipeline::surfaceCreate(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) {
    if (m_failed || !checkSurfaceSize(surfaceId, width, height)) {
        return;
    }
    m_tileCache.eraseSurface(surfaceId);
    const QSize size(width, height);
    // A create for an existing id fails when applied, so it changes nothing here either.
    if (m_sizes.count(surfaceId) == 0) {
        if (!reserveSurfaceBytes(surfaceId, 0, imageBytes(size))) {
            return;
        }
        m_sizes.emplace(surfaceId, size);
    }
    queue(std::make_shared<Surface::CreateCommand>(surfaceId, size, QImage::Format_ARGB32));
}

void VnSurfacePipeline::surfaceDestroy(std::uint32_t surfaceId) {
    if (m_failed) {
        return;
    }
    m_tileCache.eraseSurface(surfaceId);
    auto it = m_sizes.find(surfaceId);
    if (it != m_sizes.end()) {
        m_surfaceBytes -= imageBytes(it->second);
        m_sizes.erase(it);
    }
    queue(std::make_shared<Surface::DestroyCommand>(surfaceId));
}

void VnSurfacePipeline::surfaceResize(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height) {
    if (m_failed || !checkSurfaceSize(surfaceId, width, height)) {
        return;
    }
    pruneTileCache(surfaceId, width, height);
    const QSize size(width, height);
    auto it = m_sizes.find(surfaceId);
    // A resize of an unknown surface or to nothing fails when applied.
    if (it != m_sizes.end() && width >= 1 && height >= 1) {
        if (!reserveSurfaceBytes(surfaceId, imageBytes(it->second), imageBytes(size))) {
            return;
        }
        it->second = size;
    }
    queue(std::make_shared<Surface::ResizeCommand>(surfaceId, size));
}

void VnSurfacePipeline::surfaceCopy(std::uint32_t sourceId, const Protocol::RectList& rects,
                                    std::uint32_t destinationId, Protocol::Offset offset) {
    if (m_failed) {
        return;
    }
    bool ok = false;
    QRegion region = regionFromRects(rects, &ok);
    if (!ok) {
        fail(regionTooComplex(sourceId));
        return;
    }
    queue(std::make_shared<Surface::CopyCommand>(sourceId, std::move(region), destinationId,
                                                 QPoint(offset.dx, offset.dy)));
    afterQueueingPaint();
}

void VnSurfacePipeline::queueUpdate(std::uint32_t surfaceId, const UpdateTarget& target,
                                    const QRegion& painted) {
    if (target.image) {
        m_pendingImageBytes += imageBytes(target.image->size());
    }
    queue(
        std::make_shared<Surface::UpdateCommand>(surfaceId, target.image, painted, -target.bounds.topLeft()));
    afterQueueingPaint();
}

void VnSurfacePipeline::rfx7Update(std::uint32_t surfaceId, const Protocol::QuantSet& quantY,
                                   const Protocol::QuantSet& quantCb, const Protocol::QuantSet& quantCr,
                                   const Protocol::RectList& rects, Protocol::TileList tiles,
                                   bool progressive) {
    if (m_failed) {
        return;
    }
    if (progressive && !m_negotiated.contains(Protocol::Codecs::Rfx7Progressive)) {
        return;
    }
    if (!m_negotiated.contains(Protocol::Codecs::Rfx7)) {
        fail(QStringLiteral("invalid codec %1").arg(Protocol::Codecs::Rfx7));
        return;
    }
    const bool useCache = m_negotiated.contains(Protocol::Codecs::Rfx7Progressive);

    RegionBudget budget;
    RegionBudget::Part requested;
    if (!budget.uniteRects(toQRects(rects), requested)) {
        fail(regionTooComplex(surfaceId));
        return;
    }
    UpdateTarget target;
    if (!prepareTarget(surfaceId, std::move(requested.region), target)) {
        queueUpdate(surfaceId, target, target.region);
        return;
    }
    // Tiles are composed in batches of consecutive tiles whose composed image stays within
    // MaxComposedBytes, each queued as its own update: a frame of thousands of tiles never holds a
    // second image of its whole area beside the surface (queued images are applied early beyond
    // MaxPendingImageBytes). Later batches are applied after earlier ones, so message order holds.
    const QRect regionBounds = target.bounds;
    struct Batch {
        std::size_t end; // one past its last tile
        QRect bounds;    // what its tiles can paint
    };
    std::vector<Batch> batches;
    QRect batchBounds;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const QRect paints =
            QRect(tiles[i].x, tiles[i].y, kRfx7TileSize, kRfx7TileSize) & target.surfaceRect & regionBounds;
        const QRect grown = batchBounds | paints;
        if (!paints.isEmpty() && !batchBounds.isEmpty() && imageBytes(grown.size()) > MaxComposedBytes) {
            batches.push_back({i, batchBounds});
            batchBounds = paints;
        } else {
            batchBounds = grown;
        }
    }
    batches.push_back({tiles.size(), batchBounds});

    const VnRfx7DecoderRunnable::Quantisers quantisers{quantY, quantCb, quantCr};
    // Jobs of the update before this one that its own jobs did not replace go when it ends.
    struct DropEarlier {
        VnSpentJobs& spent;
        std::uint64_t first;
        ~DropEarlier() { spent.dropBefore(first); }
    } dropEarlier{m_spentJobs, m_spentJobs.added};
    std::unordered_set<std::uint32_t> seenKeys;
    std::size_t first = 0;
    for (const Batch& batch : batches) {
        UpdateTarget part;
        part.knownSurface = target.knownSurface;
        part.surfaceRect = target.surfaceRect;
        part.bounds = regionBounds;
        part.region = batches.size() == 1 ? target.region : target.region.intersected(batch.bounds);
        allocateImage(part, batch.bounds);
        std::vector<QRect> paintedRects;
        {
            TileComposer composer(m_decodeTeam, maxJobsInFlight(), part.image.get(), part.bounds, &m_spentJobs);
            for (std::size_t i = first; i < batch.end; ++i) {
                Protocol::Tile& tile = tiles[i];
                const QRect rect(tile.x, tile.y, kRfx7TileSize, kRfx7TileSize);
                const bool inSurface = rect.intersects(target.surfaceRect);
                const bool inImage = composer.hasImage() && rect.intersects(part.bounds);
                // Tiles off the surface paint nothing; they are cached only while they touch it.
                if (!inImage && !(useCache && inSurface)) {
                    continue;
                }
                Rfx7PackedTileEntry* entry = nullptr;
                const std::uint32_t key = rfx7TileKey(tile.x, tile.y);
                if (useCache) {
                    entry = &m_tileCache.entry(surfaceId, tile.x, tile.y);
                    // An earlier tile of this message may still be decoding into the entry: its flag is
                    // only read for keys no such tile has.
                    if (progressive && seenKeys.count(key) == 0 && !entry->hasCoefficients) {
                        qWarning() << "invalid tile cache";
                    }
                    seenKeys.insert(key);
                }
                uchar* direct = composer.directDestination(rect);
                composer.makeRoom(rect, useCache, key, direct != nullptr, direct ? 0 : imageBytes(rect.size()));
                auto job = std::make_unique<VnRfx7DecoderRunnable>(tile.x, tile.y, std::move(tile.data),
                                                                   &quantisers, entry, !progressive);
                if (direct) {
                    job->setDestination(direct, composer.stride());
                }
                composer.start(std::move(job));
            }
            paintedRects = composer.finish();
        }
        first = batch.end;
        QRegion painted;
        if (!paintedRegion(budget, part.region, paintedRects, painted)) {
            fail(regionTooComplex(surfaceId));
            return;
        }
        if (batches.size() > 1 && painted.isEmpty()) {
            continue;
        }
        queueUpdate(surfaceId, part, painted);
        if (m_failed) {
            return;
        }
    }
}

void VnSurfacePipeline::imageCodecUpdate(Protocol::Byte codecId, std::uint32_t surfaceId,
                                         const Protocol::RectList& rects, Protocol::TileList tiles) {
    if (m_failed) {
        return;
    }
    const QByteArray format = m_formatNames.value(codecId);
    if (format.isEmpty() || !m_negotiated.contains(codecId)) {
        fail(QStringLiteral("invalid codec %1").arg(codecId));
        return;
    }

    RegionBudget budget;
    RegionBudget::Part requested;
    if (!budget.uniteRects(toQRects(rects), requested)) {
        fail(regionTooComplex(surfaceId));
        return;
    }
    UpdateTarget target;
    if (!prepareTarget(surfaceId, std::move(requested.region), target)) {
        queueUpdate(surfaceId, target, target.region);
        return;
    }
    // Every tile's size comes from its header, before anything is decoded. No tile may be larger
    // than its surface (with a tile's slack); larger ones and unreadable ones paint nothing.
    const QSize maxTile(roundUpTo64(target.surfaceRect.width()), roundUpTo64(target.surfaceRect.height()));
    std::vector<QRect> tileRects(tiles.size());
    QRect tileBounds;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        if (!target.bounds.isEmpty()) {
            const QSize size = VnImageDecoderRunnable::declaredSize(rawBytes(tiles[i].data), format);
            if (size.isValid() && size.width() <= maxTile.width() && size.height() <= maxTile.height()) {
                tileRects[i] = QRect(QPoint(tiles[i].x, tiles[i].y), size);
                tileBounds |= tileRects[i] & target.surfaceRect;
            }
        }
    }
    allocateImage(target, tileBounds);

    std::vector<QRect> paintedRects;
    {
        TileComposer composer(m_decodeTeam, maxJobsInFlight(), target.image.get(), target.bounds);
        for (std::size_t i = 0; i < tiles.size(); ++i) {
            const QRect& rect = tileRects[i];
            if (!composer.hasImage() || !rect.intersects(target.bounds)) {
                continue;
            }
            composer.makeRoom(rect, false, 0, false, imageBytes(rect.size()));
            composer.start(std::make_unique<VnImageDecoderRunnable>(
                tiles[i].x, tiles[i].y, rawBytes(tiles[i].data), format, rect.size()));
        }
        paintedRects = composer.finish();
    }
    QRegion painted;
    if (!paintedRegion(budget, target.region, paintedRects, painted)) {
        fail(regionTooComplex(surfaceId));
        return;
    }
    queueUpdate(surfaceId, target, painted);
}

bool VnSurfacePipeline::prepareTarget(std::uint32_t surfaceId, QRegion region, UpdateTarget& target) const {
    target.region = std::move(region);
    auto known = m_sizes.find(surfaceId);
    if (known == m_sizes.end()) {
        // Nothing to draw into: the command fails when applied, as an update of an unknown surface does.
        target.bounds = target.region.boundingRect();
        return false;
    }
    target.surfaceRect = QRect(QPoint(), known->second);
    target.region = target.region.intersected(target.surfaceRect);
    target.bounds = target.region.boundingRect();
    return true;
}

void VnSurfacePipeline::allocateImage(UpdateTarget& target, const QRect& tileBounds) const {
    // Only what the tiles can paint: the composed image never exceeds the surface or the tiles.
    target.bounds &= tileBounds;
    if (target.bounds.isEmpty()) {
        target.bounds = QRect();
        return;
    }
    // Rows start on cache lines, so that tiles side by side, decoded on different threads straight
    // into the image, never write to one line (a 64-pixel tile row is four whole lines). Pixels no
    // tile paints are left as they were: nothing reads them.
    const qsizetype stride = (qsizetype(target.bounds.width()) * BytesPerPixel + 63) / 64 * 64;
    QImage image = m_composedBuffers->image(target.bounds.width(), target.bounds.height(), stride);
    if (image.isNull()) {
        target.bounds = QRect();
        return;
    }
    target.image = std::make_shared<QImage>(std::move(image));
}

bool VnSurfacePipeline::applyCommands(Surface::SurfaceMap& surfaces, Surface::CommandList& changes) {
    if (m_pending.empty()) {
        return false;
    }
    for (const Surface::CommandPtr& command : m_pending) {
        if (!command->apply(surfaces, changes)) {
            qWarning() << "In VnServerConnection::applyCommands failed to apply command list";
        }
    }
    m_pending.clear();
    m_pendingImageBytes = 0;
    return true;
}

void VnSurfacePipeline::pruneTileCache(std::uint32_t surfaceId, int width, int height) {
    m_tileCache.prune(surfaceId, width, height);
}

Rfx7PackedTileEntry& VnSurfacePipeline::tileCacheEntry(std::uint32_t surfaceId, std::int16_t x,
                                                      std::int16_t y) {
    return m_tileCache.entry(surfaceId, x, y);
}

QRegion VnSurfacePipeline::regionFromRects(const Protocol::RectList& rects, bool* ok) {
    RegionBudget budget;
    RegionBudget::Part region;
    const bool united = budget.uniteRects(toQRects(rects), region);
    if (ok) {
        *ok = united;
    }
    return united ? region.region : QRegion();
}

#include "viewer/engine/surfaces/VnDecoderRunnables.h"

#include <QBuffer>
#include <QImageReader>

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

namespace {
std::atomic<int> liveJobs{0};
std::atomic<int> peakJobs{0};
std::atomic<int> workBuffers{0};
} // namespace

VnDecodeBatch::VnDecodeBatch(VnWorkTeam& team, std::size_t capacity)
    : m_jobs(std::max<std::size_t>(1, capacity), nullptr)
    , m_group(team, [this](std::size_t i) { m_jobs[i]->run(); }) {}

void VnDecodeBatch::add(VnTileDecoderRunnable* job) {
    m_jobs[m_count++] = job;
    // The first jobs go out one by one so that every thread starts at once; later ones in eights,
    // which keeps the threads' reads of the shared counters from meeting a write at every job.
    if (m_count <= 16 || m_count % 8 == 0) {
        m_group.publish(m_count);
    }
}

void VnDecodeBatch::wait() {
    if (m_count > 0) {
        m_group.publish(m_count);
    }
    m_group.wait();
    m_count = 0;
}

VnTileDecoderRunnable::VnTileDecoderRunnable(std::int16_t x, std::int16_t y)
    : x(x)
    , y(y) {
    setAutoDelete(false);
    const int live = ++liveJobs;
    int peak = peakJobs.load();
    while (live > peak && !peakJobs.compare_exchange_weak(peak, live)) {
    }
}

VnTileDecoderRunnable::~VnTileDecoderRunnable() {
    --liveJobs;
}

int VnTileDecoderRunnable::peakLiveJobs() {
    return peakJobs.load();
}

void VnTileDecoderRunnable::resetPeakLiveJobs() {
    peakJobs = liveJobs.load();
}

void VnTileDecoderRunnable::run() {
    ok = decode();
    if (!ok) {
        result = QImage();
    }
}

VnRfx7DecoderRunnable::VnRfx7DecoderRunnable(std::int16_t x, std::int16_t y, std::vector<std::uint8_t> bytes,
                                             const Quantisers* quantisers, Rfx7PackedTileEntry* entry,
                                             bool restartEntry)
    : VnTileDecoderRunnable(x, y)
    , m_bytes(std::move(bytes))
    , m_quantisers(quantisers)
    , m_entry(entry)
    , m_restartEntry(restartEntry) {}

void VnRfx7DecoderRunnable::setDestination(std::uint8_t* destination, std::ptrdiff_t strideBytes) {
    m_destination = destination;
    m_stride = strideBytes;
}

bool VnRfx7DecoderRunnable::decode() {
    // One work buffer per pool thread, reused for every tile that thread decodes.
    thread_local std::unique_ptr<Rfx7WorkBuffer> work;
    if (!work) {
        work = std::make_unique<Rfx7WorkBuffer>();
        ++workBuffers;
    }
    if (m_entry && m_restartEntry) {
        m_entry->hasCoefficients = 0;
    }
    // The decoder refines a full entry; the cache keeps it packed.
    thread_local std::unique_ptr<Rfx7TileCacheEntry> unpacked;
    Rfx7TileCacheEntry* entry = nullptr;
    if (m_entry) {
        if (!unpacked) {
            unpacked = std::make_unique<Rfx7TileCacheEntry>();
        }
        entry = unpacked.get();
        if (m_entry->hasCoefficients) {
            m_entry->unpack(*entry);
        } else {
            entry->hasCoefficients = 0;
            entry->hasAlpha = 0;
        }
    }
    std::uint8_t* destination = m_destination;
    std::ptrdiff_t stride = m_stride;
    if (!destination) {
        result = QImage(kRfx7TileSize, kRfx7TileSize, QImage::Format_ARGB32);
        if (result.isNull()) {
            return false;
        }
        destination = result.bits();
        stride = result.bytesPerLine();
    }
    const Rfx7DecodeResult r =
        decodeRfx7Tile(*work, m_bytes.data(), m_bytes.size(), m_quantisers->y, m_quantisers->cb,
                       m_quantisers->cr, entry, destination, stride);
    if (entry && r.ok()) {
        m_entry->pack(*entry);
    }
    hasAlpha = r.hasAlpha;
    if (r.ok() && !r.hasAlpha && !result.isNull()) {
        result.reinterpretAsFormat(QImage::Format_RGB32);
    }
    return r.ok();
}

int VnRfx7DecoderRunnable::workBuffersCreated() {
    return workBuffers.load();
}

VnImageDecoderRunnable::VnImageDecoderRunnable(std::int16_t x, std::int16_t y, QByteArray bytes,
                                               QByteArray format, QSize maxSize)
    : VnTileDecoderRunnable(x, y)
    , m_bytes(std::move(bytes))
    , m_format(std::move(format))
    , m_maxSize(maxSize) {}

QSize VnImageDecoderRunnable::declaredSize(const QByteArray& bytes, const QByteArray& format) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    return reader.size();
}

bool VnImageDecoderRunnable::decode() {
    QBuffer buffer;
    buffer.setData(m_bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, m_format);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || size.width() > m_maxSize.width() ||
        size.height() > m_maxSize.height()) {
        return false;
    }
    result = reader.read();
    // A decoder that delivers more than its header promised is not trusted either.
    if (result.isNull() || result.width() > m_maxSize.width() || result.height() > m_maxSize.height()) {
        return false;
    }
    // Composing copies 32-bit rows; other formats (indexed GIF, premultiplied) are converted here, on
    // the pool, rather than on the network thread.
    if (result.format() != QImage::Format_ARGB32 && result.format() != QImage::Format_RGB32) {
        result = result.convertToFormat(QImage::Format_ARGB32);
    }
    return !result.isNull();
}

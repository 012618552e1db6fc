#pragma once

// Decode jobs for the tiles of one update, run on the connection's decode pool. The network thread
// owns the jobs (they are not auto-deleted) and hands them to the pool through a VnDecodeBatch.

#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/surfaces/Rfx7TileCache.h"

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QRunnable>
#include <QSize>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class VnTileDecoderRunnable;

// Hands jobs to the pool as the network thread adds them, and waits for them. One runner per pool
// thread (never more than there are jobs) takes the next added job by an atomic index, so that a job
// costs no pool start, no lock and no wake-up of its own, and the network thread sleeps once per
// wait() rather than once per job. Jobs run in the order added, on several threads at once.
class VnDecodeBatch {
public:
    // At most `capacity` jobs between two waits.
    VnDecodeBatch(QThreadPool& pool, std::size_t capacity);
    ~VnDecodeBatch();

    std::size_t size() const { return m_count; }
    bool full() const { return m_count >= m_jobs.size(); }
    // Starts the job (not full() first). The job stays the caller's and must live until wait().
    void add(VnTileDecoderRunnable* job);
    // Waits until every added job has run; then the batch takes new jobs.
    void wait();

private:
    void runJobs();

    QThreadPool& m_pool;
    int m_maxRunners;
    std::vector<VnTileDecoderRunnable*> m_jobs;
    std::size_t m_count = 0; // network thread only
    int m_runnersStarted = 0; // network thread only
    std::atomic<std::size_t> m_published{0};
    std::atomic<std::size_t> m_next{0};
    std::atomic<int> m_idle{0};
    QMutex m_mutex;
    QWaitCondition m_more;
    QWaitCondition m_finished;
    bool m_closed = false; // guarded by the mutex
    int m_runners = 0;     // guarded by the mutex
};

class VnTileDecoderRunnable : public QRunnable {
public:
    VnTileDecoderRunnable(std::int16_t x, std::int16_t y);
    ~VnTileDecoderRunnable() override;

    // How many jobs exist at most at one time since the last reset (memory stays bounded by it).
    static int peakLiveJobs();
    static void resetPeakLiveJobs();

    void run() final;
    // Decodes the tile; false when it is corrupt or refused, and then it paints nothing.
    virtual bool decode() = 0;

    std::int16_t x;
    std::int16_t y;
    QImage result; // the decoded pixels, unless they went straight into the caller's destination
    bool ok = false;

};

// One RFX7 tile. With a destination the 64x64 pixels are written there (rows strideBytes apart)
// and result stays null; otherwise they land in result.
class VnRfx7DecoderRunnable : public VnTileDecoderRunnable {
public:
    struct Quantisers {
        Rfx7QuantSet y;
        Rfx7QuantSet cb;
        Rfx7QuantSet cr;
    };

    VnRfx7DecoderRunnable(std::int16_t x, std::int16_t y, std::vector<std::uint8_t> bytes,
                          const Quantisers* quantisers, Rfx7PackedTileEntry* entry, bool restartEntry);

    void setDestination(std::uint8_t* destination, std::ptrdiff_t strideBytes);
    bool decode() override;

    // Work buffers made so far, in all threads; each pool thread makes one and reuses it.
    static int workBuffersCreated();

    bool hasAlpha = false;

private:
    std::vector<std::uint8_t> m_bytes;
    const Quantisers* m_quantisers;
    Rfx7PackedTileEntry* m_entry;
    bool m_restartEntry; // a full tile replaces whatever the entry held
    std::uint8_t* m_destination = nullptr;
    std::ptrdiff_t m_stride = 0;
};

// One tile in an image format ("jpeg", "png", "gif", "webp"). The image's size is read from its
// header first; an image larger than maxSize is refused without being decoded.
class VnImageDecoderRunnable : public VnTileDecoderRunnable {
public:
    VnImageDecoderRunnable(std::int16_t x, std::int16_t y, QByteArray bytes, QByteArray format, QSize maxSize);

    // The size the image's header declares, or an invalid size when it cannot be read.
    static QSize declaredSize(const QByteArray& bytes, const QByteArray& format);

    bool decode() override;

private:
    QByteArray m_bytes;
    QByteArray m_format;
    QSize m_maxSize;
};

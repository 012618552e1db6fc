#pragma once

// Decode jobs for the tiles of one update, run on the connection's decode pool. The network thread
// owns the jobs (they are not auto-deleted) and waits for each through its VnDecodeBatch.

#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/surfaces/Rfx7TileCache.h"

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QRunnable>
#include <QSize>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <vector>

class VnTileDecoderRunnable;

// Completion of the jobs of one update: jobs report here, the network thread waits here. A job
// wakes the network thread only when that thread waits for exactly this job.
class VnDecodeBatch {
public:
    void finished(VnTileDecoderRunnable* job);
    void waitFor(const VnTileDecoderRunnable* job);

private:
    QMutex m_mutex;
    QWaitCondition m_finished;
    const VnTileDecoderRunnable* m_waitingFor = nullptr; // guarded by the mutex
};

class VnTileDecoderRunnable : public QRunnable {
public:
    VnTileDecoderRunnable(std::int16_t x, std::int16_t y, VnDecodeBatch* batch);
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

private:
    friend class VnDecodeBatch;
    VnDecodeBatch* m_batch;
    bool m_done = false; // guarded by the batch's mutex
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
                          const Quantisers* quantisers, Rfx7PackedTileEntry* entry, bool restartEntry,
                          VnDecodeBatch* batch);

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
    VnImageDecoderRunnable(std::int16_t x, std::int16_t y, QByteArray bytes, QByteArray format, QSize maxSize,
                           VnDecodeBatch* batch);

    // The size the image's header declares, or an invalid size when it cannot be read.
    static QSize declaredSize(const QByteArray& bytes, const QByteArray& format);

    bool decode() override;

private:
    QByteArray m_bytes;
    QByteArray m_format;
    QSize m_maxSize;
};

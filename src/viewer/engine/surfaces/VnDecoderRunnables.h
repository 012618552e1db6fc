#pragma once

// Decode jobs for the tiles of one update, run on the connection's decode pool. The network thread
// owns the jobs (they are not auto-deleted) and hands them to the pool's team through a VnDecodeBatch.

#include "viewer/engine/rfx7/Rfx7Codec.h"
#include "viewer/engine/surfaces/Rfx7TileCache.h"
#include "viewer/engine/surfaces/VnWorkTeam.h"

#include <QByteArray>
#include <QImage>
#include <QRunnable>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

class VnTileDecoderRunnable;

// Hands jobs to the decode team as the network thread adds them, and waits for them. The team's
// threads take the next added job by an atomic index, so that a job costs no pool start, no lock and
// no wake-up of its own; the network thread runs jobs too while it waits. Jobs start in the order
// added, on several threads at once.
class VnDecodeBatch {
public:
    // At most `capacity` jobs between two waits.
    VnDecodeBatch(VnWorkTeam& team, std::size_t capacity);

    std::size_t size() const { return m_count; }
    bool full() const { return m_count >= m_jobs.size(); }
    // Starts the job (not full() first). The job stays the caller's and must live until wait().
    void add(VnTileDecoderRunnable* job);
    // Waits until every added job has run; then the batch takes new jobs.
    void wait();

private:
    std::vector<VnTileDecoderRunnable*> m_jobs;
    std::size_t m_count = 0;
    VnWorkTeam::Group m_group; // last: it waits for the jobs before the list goes
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

// Finished jobs kept to be destroyed later, at a moment when other threads are busy; jobs[0] is
// number `added - jobs.size()` of all ever added.
struct VnSpentJobs {
    std::deque<std::unique_ptr<VnTileDecoderRunnable>> jobs;
    std::uint64_t added = 0;

    void add(std::unique_ptr<VnTileDecoderRunnable> job) {
        jobs.push_back(std::move(job));
        ++added;
    }
    void dropOne() {
        if (!jobs.empty()) {
            jobs.pop_front();
        }
    }
    // Drops the jobs added before number `first`.
    void dropBefore(std::uint64_t first) {
        while (!jobs.empty() && added - jobs.size() < first) {
            jobs.pop_front();
        }
    }
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

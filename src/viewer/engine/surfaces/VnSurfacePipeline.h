#pragma once

// The connection's side of the surfaces: it turns every surface message into a queued command,
// decodes the tiles of each update on its own thread pool into one composed image per message, keeps
// the progressive tile cache, and applies the queued commands at frame end. The connection owns one
// and calls it from its surface-message handlers, all on the network thread.
//
// The pipeline keeps its own record of every surface's size as the queued commands will leave it,
// so that it can refuse oversized surfaces and keep each composed image inside its target. That record
// is exact as long as the surface map handed to applyCommands starts empty and changes only there.

#include "viewer/engine/surfaces/Rfx7TileCache.h"
#include "viewer/engine/surfaces/SurfaceCommands.h"
#include "viewer/engine/surfaces/VnDecoderRunnables.h"
#include "viewer/engine/surfaces/VnWorkTeam.h"
#include "viewer/protocol/Types.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

class VnSurfacePipeline : public QObject {
    Q_OBJECT

public:
    // Surfaces larger than this on a side, or larger than MaxSurfaceBytes in all, end the session.
    static constexpr int MaxSurfaceSide = 16384;
    static constexpr qint64 MaxSurfaceBytes = qint64(1) << 30;
    // Decoded pixels waiting in finished jobs of one update, beyond which dispatch waits.
    static constexpr qint64 MaxDecodedBytesInFlight = qint64(64) << 20;
    // The composed image of RFX7 tiles of one update at most; larger updates are queued in parts.
    static constexpr qint64 MaxComposedBytes = qint64(64) << 20;
    // Queued commands are applied early, without waiting for frame end, beyond either of these.
    static constexpr qint64 MaxPendingImageBytes = qint64(256) << 20;
    static constexpr int MaxPendingCommands = 65536;
    // A message whose region would take more rects than this, or more work (rects produced and
    // consumed) than MaxRegionWork to compute, ends the session: crossing strips of a few kilobytes
    // would otherwise unite into millions of rects.
    static constexpr qint64 MaxRegionRects = qint64(1) << 20;
    static constexpr qint64 MaxRegionWork = qint64(1) << 25;

    explicit VnSurfacePipeline(QObject* parent = nullptr);
    ~VnSurfacePipeline() override;

    QThreadPool* decodePool() { return &m_decodePool; }
    // The pool's threads at work on tile jobs, and on other short parallel work of the session.
    VnWorkTeam* decodeTeam() { return &m_decodeTeam; }
    // Tile jobs of one update queued, running or finished but not yet composed, at most.
    int maxJobsInFlight() const;

    void setNegotiatedCodecs(const QSet<Protocol::Byte>& codecs) { m_negotiated = codecs; }
    const QSet<Protocol::Byte>& negotiatedCodecs() const { return m_negotiated; }
    // Image reader format per image codec id; a codec without a name is refused.
    void setCodecFormatNames(const QMap<Protocol::Byte, QByteArray>& names) { m_formatNames = names; }
    static QMap<Protocol::Byte, QByteArray> defaultCodecFormatNames();

    // With ignoreFrame set, every copy and update asks to be applied at once (frameEndRequested).
    // Written from any thread.
    void setIgnoreFrame(bool ignore) { m_ignoreFrame = ignore; }
    bool ignoreFrame() const { return m_ignoreFrame; }

    // Surface message handlers.
    void surfaceCreate(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height);
    void surfaceDestroy(std::uint32_t surfaceId);
    void surfaceResize(std::uint32_t surfaceId, std::uint16_t width, std::uint16_t height);
    void surfaceCopy(std::uint32_t sourceId, const Protocol::RectList& rects, std::uint32_t destinationId,
                     Protocol::Offset offset);
    void rfx7Update(std::uint32_t surfaceId, const Protocol::QuantSet& quantY,
                    const Protocol::QuantSet& quantCb, const Protocol::QuantSet& quantCr,
                    const Protocol::RectList& rects, Protocol::TileList tiles, bool progressive);
    void imageCodecUpdate(Protocol::Byte codecId, std::uint32_t surfaceId, const Protocol::RectList& rects,
                          Protocol::TileList tiles);

    // Applies every queued command in order to surfaces, appending their change records to changes;
    // false when nothing was queued.
    bool applyCommands(Surface::SurfaceMap& surfaces, Surface::CommandList& changes);
    const Surface::CommandList& pendingCommands() const { return m_pending; }

    void pruneTileCache(std::uint32_t surfaceId, int width, int height);
    Rfx7PackedTileEntry& tileCacheEntry(std::uint32_t surfaceId, std::int16_t x, std::int16_t y);
    const Rfx7TileCache& tileCache() const { return m_tileCache; }
    // Every surface's size as the queued commands will leave it.
    const std::map<std::uint32_t, QSize>& queuedSurfaceSizes() const { return m_sizes; }

    // The union of the rects, built pairwise so that many rects stay cheap. A union beyond
    // MaxRegionRects, or costing more than MaxRegionWork, is refused: *ok is false and the region empty.
    static QRegion regionFromRects(const Protocol::RectList& rects, bool* ok = nullptr);

signals:
    // The queued commands should be applied now (ignoreFrame, or too much is queued).
    void frameEndRequested();
    // The server sent something the session cannot go on with; nothing more is handled afterwards.
    void failed(QString message, uchar level);

private:
    enum class TileKind { Rfx7, Image };
    struct UpdateTarget;
    class ComposedBuffers;

    bool checkSurfaceSize(std::uint32_t surfaceId, int width, int height);
    bool reserveSurfaceBytes(std::uint32_t surfaceId, qint64 oldBytes, qint64 newBytes);
    void fail(const QString& message);
    void queue(Surface::CommandPtr command);
    void afterQueueingPaint();
    void queueUpdate(std::uint32_t surfaceId, const UpdateTarget& target, const QRegion& painted);
    bool prepareTarget(std::uint32_t surfaceId, QRegion region, UpdateTarget& target) const;
    void allocateImage(UpdateTarget& target, const QRect& tileBounds) const;

    QThreadPool m_decodePool;
    VnWorkTeam m_decodeTeam{m_decodePool};
    // Finished tile jobs of the latest RFX7 update, destroyed while the next one's tiles decode.
    VnSpentJobs m_spentJobs;
    // Shared with the composed images, which give their pixels back when the last copy goes.
    std::shared_ptr<ComposedBuffers> m_composedBuffers;
    QSet<Protocol::Byte> m_negotiated;
    QMap<Protocol::Byte, QByteArray> m_formatNames;
    std::atomic<bool> m_ignoreFrame{false};
    bool m_failed = false;

    Surface::CommandList m_pending;
    qint64 m_pendingImageBytes = 0;
    Rfx7TileCache m_tileCache;

    // Every surface's size as the queued commands will leave it, and their bytes in all.
    std::map<std::uint32_t, QSize> m_sizes;
    qint64 m_surfaceBytes = 0;
};

#pragma once

// Surfaces and the commands that change them. The connection queues one command per surface
// message; at frame end the commands are applied in order to the session's surface map, and each
// one that succeeds appends a change record from which the controller tells the windows what changed.

#include <QImage>
#include <QPoint>
#include <QRegion>
#include <QSize>

#include <cstdint>
#include <list>
#include <map>
#include <memory>

class QPainter;

namespace Surface {

using SurfaceId = std::uint32_t;
using SurfaceMap = std::map<SurfaceId, std::shared_ptr<QImage>>;

class CommandBase;
using CommandPtr = std::shared_ptr<CommandBase>;
using CommandList = std::list<CommandPtr>;

class CommandBase {
public:
    virtual ~CommandBase();
    // Changes the surfaces; on success appends a change record to changes and returns true.
    virtual bool apply(SurfaceMap& surfaces, CommandList& changes) = 0;
};

class CreateCommand : public CommandBase {
public:
    CreateCommand(SurfaceId id, QSize size, QImage::Format format = QImage::Format_ARGB32);
    bool apply(SurfaceMap& surfaces, CommandList& changes) override;

    SurfaceId id;
    QSize size;
    QImage::Format format;
};

class DestroyCommand : public CommandBase {
public:
    explicit DestroyCommand(SurfaceId id);
    bool apply(SurfaceMap& surfaces, CommandList& changes) override;

    SurfaceId id;
};

class ResizeCommand : public CommandBase {
public:
    ResizeCommand(SurfaceId id, QSize size);
    bool apply(SurfaceMap& surfaces, CommandList& changes) override;

    SurfaceId id;
    QSize size;
};

class CopyCommand : public CommandBase {
public:
    CopyCommand(SurfaceId sourceId, QRegion sourceRegion, SurfaceId destinationId, QPoint offset);
    bool apply(SurfaceMap& surfaces, CommandList& changes) override;

    SurfaceId sourceId;
    QRegion sourceRegion;
    SurfaceId destinationId;
    QPoint offset; // added to a source point to give its destination
};

class UpdateCommand : public CommandBase {
public:
    UpdateCommand(SurfaceId id, std::shared_ptr<QImage> image, QRegion region, QPoint offset);
    bool apply(SurfaceMap& surfaces, CommandList& changes) override;

    SurfaceId id;
    std::shared_ptr<QImage> image;
    QRegion region; // surface coordinates
    QPoint offset;  // added to a surface point to find it in the image
};

// Draws the image into the painter's surface over the region, walking the region's bounding rect in
// 128x128 blocks aligned to multiples of 128 so that each draw stays small and cache-friendly.
void paintRegion(QPainter& painter, const QRegion& region, const QImage& image, QPoint offset);

} // namespace Surface

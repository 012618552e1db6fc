#include "viewer/engine/surfaces/SurfaceCommands.h"

#include <QDebug>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace Surface {

namespace {

constexpr int BlockSize = 128;

std::shared_ptr<QImage> findSurface(const SurfaceMap& surfaces, SurfaceId id) {
    auto it = surfaces.find(id);
    return it == surfaces.end() ? nullptr : it->second;
}

// A black image of the given size, or a null image when it cannot be allocated.
QImage blackImage(QSize size, QImage::Format format) {
    QImage image(size, format);
    if (!image.isNull()) {
        image.fill(Qt::black);
    }
    return image;
}

// Moves the pixels of rect by offset within a 32-bit image; both rect and its destination lie inside.
void scrollRect(QImage& image, const QRect& rect, QPoint offset) {
    uchar* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const size_t rowBytes = size_t(rect.width()) * 4;
    auto moveRow = [&](int y) {
        std::memmove(bits + qsizetype(y + offset.y()) * stride + qsizetype(rect.x() + offset.x()) * 4,
                     bits + qsizetype(y) * stride + qsizetype(rect.x()) * 4, rowBytes);
    };
    if (offset.y() > 0) {
        for (int y = rect.bottom(); y >= rect.top(); --y) {
            moveRow(y);
        }
    } else {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            moveRow(y);
        }
    }
}

} // namespace

CommandBase::~CommandBase() = default;

CreateCommand::CreateCommand(SurfaceId id, QSize size, QImage::Format format)
    : id(id)
    , size(size)
    , format(format) {}

bool CreateCommand::apply(SurfaceMap& surfaces, CommandList& changes) {
    if (surfaces.count(id) != 0) {
        return false;
    }
    // A surface without pixels is a null image until it is resized; only a failed allocation fails.
    QImage image = blackImage(size, format);
    if (image.isNull() && !size.isEmpty()) {
        return false;
    }
    surfaces.emplace(id, std::make_shared<QImage>(std::move(image)));
    changes.push_back(std::make_shared<CreateCommand>(id, size, format));
    return true;
}

DestroyCommand::DestroyCommand(SurfaceId id)
    : id(id) {}

bool DestroyCommand::apply(SurfaceMap& surfaces, CommandList& changes) {
    if (surfaces.erase(id) == 0) {
        return false;
    }
    changes.push_back(std::make_shared<DestroyCommand>(id));
    return true;
}

ResizeCommand::ResizeCommand(SurfaceId id, QSize size)
    : id(id)
    , size(size) {}

bool ResizeCommand::apply(SurfaceMap& surfaces, CommandList& changes) {
    auto it = surfaces.find(id);
    if (it == surfaces.end() || size.width() < 1 || size.height() < 1) {
        return false;
    }
    const QImage& old = *it->second;
    // A surface created without pixels has no format of its own yet.
    QImage image = blackImage(size, old.isNull() ? QImage::Format_ARGB32 : old.format());
    if (image.isNull()) {
        return false;
    }
    {
        QPainter painter(&image);
        // Source keeps the old pixels' alpha instead of blending them onto the black fill.
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, old);
    }
    it->second = std::make_shared<QImage>(std::move(image));
    changes.push_back(std::make_shared<ResizeCommand>(id, size));
    return true;
}

CopyCommand::CopyCommand(SurfaceId sourceId, QRegion sourceRegion, SurfaceId destinationId, QPoint offset)
    : sourceId(sourceId)
    , sourceRegion(std::move(sourceRegion))
    , destinationId(destinationId)
    , offset(offset) {}

bool CopyCommand::apply(SurfaceMap& surfaces, CommandList& changes) {
    std::shared_ptr<QImage> source = findSurface(surfaces, sourceId);
    if (!source) {
        return false;
    }
    const QRect sourceBounds = sourceRegion.boundingRect();
    if (!source->rect().contains(sourceBounds)) {
        qWarning() << sourceBounds << "outside of source image rect" << source->rect();
        return false;
    }
    std::shared_ptr<QImage> destination = findSurface(surfaces, destinationId);
    if (!destination) {
        return false;
    }
    const QRegion destinationRegion = sourceRegion.translated(offset);
    if (!destination->rect().contains(destinationRegion.boundingRect())) {
        qWarning() << destinationRegion.boundingRect() << "outside of destination image rect"
                   << destination->rect();
        return false;
    }

    const bool overlapping = source == destination && sourceRegion.intersects(destinationRegion);
    if (overlapping && sourceRegion.rectCount() == 1 && source->depth() == 32) {
        // One rect scrolled inside its surface: move the rows in an order that reads each row before
        // it is overwritten.
        scrollRect(*destination, sourceBounds, offset);
    } else {
        // Otherwise overlapping rects read from a snapshot, so rects painted first cannot feed later ones.
        QImage snapshot;
        const QImage* from = source.get();
        QPoint fromOrigin;
        if (overlapping) {
            snapshot = source->copy(sourceBounds);
            from = &snapshot;
            fromOrigin = sourceBounds.topLeft();
        }
        QPainter painter(destination.get());
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        for (const QRect& r : sourceRegion) {
            painter.drawImage(r.translated(offset), *from, r.translated(-fromOrigin));
        }
    }
    // A new image object for the source: holders of the previous one keep what they saw.
    surfaces[sourceId] = std::make_shared<QImage>(*surfaces[sourceId]);
    changes.push_back(std::make_shared<CopyCommand>(sourceId, sourceRegion, destinationId, offset));
    return true;
}

UpdateCommand::UpdateCommand(SurfaceId id, std::shared_ptr<QImage> image, QRegion region, QPoint offset)
    : id(id)
    , image(std::move(image))
    , region(std::move(region))
    , offset(offset) {}

bool UpdateCommand::apply(SurfaceMap& surfaces, CommandList& changes) {
    if (region.isEmpty()) {
        return true;
    }
    std::shared_ptr<QImage> surface = findSurface(surfaces, id);
    if (!surface) {
        return false;
    }
    if (image && image->size() == surface->size() && image->format() == surface->format() &&
        offset.isNull() && region.rectCount() == 1 && region.boundingRect() == surface->rect()) {
        // The image replaces the whole surface: share its pixels instead of copying them. The surface
        // keeps its image object, so change records still waiting for the windows hold no old pixels.
        *surface = *image;
    } else if (image && !image->isNull()) {
        QPainter painter(surface.get());
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        paintRegion(painter, region, *image, offset);
    }
    changes.push_back(std::make_shared<UpdateCommand>(id, surface, region, QPoint()));
    return true;
}

void paintRegion(QPainter& painter, const QRegion& region, const QImage& image, QPoint offset) {
    // The region's rects cut along the block grid give the same pieces as intersecting the region
    // with every block, without walking empty blocks or the whole region once per block; the pieces
    // are then drawn block by block, top to bottom, left to right.
    auto floorToBlock = [](int v) {
        return v >= 0 ? v / BlockSize * BlockSize : -((-v + BlockSize - 1) / BlockSize) * BlockSize;
    };
    struct Piece {
        int blockY;
        int blockX;
        QRect rect;
    };
    std::vector<Piece> pieces;
    for (const QRect& r : region) {
        for (int y = floorToBlock(r.top()); y <= r.bottom(); y += BlockSize) {
            for (int x = floorToBlock(r.left()); x <= r.right(); x += BlockSize) {
                pieces.push_back({y, x, r & QRect(x, y, BlockSize, BlockSize)});
            }
        }
    }
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
        return a.blockY != b.blockY ? a.blockY < b.blockY : a.blockX < b.blockX;
    });
    for (const Piece& piece : pieces) {
        painter.drawImage(piece.rect, image, piece.rect.translated(offset));
    }
}

} // namespace Surface

#include "SimDesktop.h"

#include <QBuffer>
#include <QPainter>
#include <QTimer>

namespace DisplaySim {

namespace {

constexpr int kSquare = 64;

QByteArray encodeImage(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage arrowPointer() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    const QPoint arrow[] = {{0, 0}, {0, 14}, {4, 10}, {10, 10}};
    p.drawPolygon(arrow, 4);
    return image;
}

} // namespace

Desktop::Desktop(Server* server, QSize size, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_size(size)
    , m_timer(new QTimer(this)) {
    setFramesPerSecond(20);
    connect(m_timer, &QTimer::timeout, this, &Desktop::tick);
    connect(server, &Server::mainSequenceEntered, this, &Desktop::start);
    connect(server, &Server::clientDisconnected, m_timer, &QTimer::stop);
    connect(server, &Server::ackReceived, this, [this] {
        // A frame slot came free; do not wait for the next tick when we were held back.
        if (m_timer->isActive() && m_server->framesInFlight() == m_window - 1)
            tick();
    });
}

void Desktop::stopFrames() {
    m_timer->stop();
}

void Desktop::setFramesPerSecond(int fps) {
    m_timer->setInterval(1000 / qMax(1, fps));
}

void Desktop::start() {
    m_frameId = 0;
    m_step = 0;
    m_server->sendSurfaceCreate(0, static_cast<quint16>(m_size.width()),
                                static_cast<quint16>(m_size.height()));
    m_server->sendPointerCreate(1, 0, 0, encodeImage(arrowPointer(), "PNG"));
    m_server->sendPointerSetCached(1);
    QImage background(m_size, QImage::Format_RGB32);
    background.fill(QColor(40, 60, 90));
    m_server->sendFrameBegin(m_frameId);
    if (m_backgroundTiles > 1 && m_codec != 2 && m_codec != 7) {
        // One message, several image tiles side by side.
        QVector<Rect> rects;
        QVector<Tile> tiles;
        const int tileWidth = (m_size.width() + m_backgroundTiles - 1) / m_backgroundTiles;
        const int tileHeight = (m_size.height() + m_backgroundTiles - 1) / m_backgroundTiles;
        const char* format = m_codec == 3 ? "JPEG" : "PNG";
        for (int y = 0; y < m_size.height(); y += tileHeight) {
            for (int x = 0; x < m_size.width(); x += tileWidth) {
                const QImage tile = background.copy(x, y, tileWidth, tileHeight)
                                        .copy(0, 0, qMin(tileWidth, m_size.width() - x),
                                              qMin(tileHeight, m_size.height() - y));
                rects.append({static_cast<qint16>(x), static_cast<qint16>(y),
                              static_cast<quint16>(tile.width()), static_cast<quint16>(tile.height())});
                tiles.append({static_cast<qint16>(x), static_cast<qint16>(y), encodeImage(tile, format)});
            }
        }
        background = QImage();
        m_server->sendImageUpdate(m_codec == 3 ? 3 : 4, 0, rects, tiles);
    } else {
        sendImage(background, 0, 0);
    }
    m_server->sendFrameEnd(m_frameId);
    ++m_framesSent;
    emit frameSent(m_frameId++);
    m_timer->start();
}

void Desktop::sendImage(const QImage& image, int x, int y) {
    if ((m_codec == 2 || m_codec == 7) && m_server->sendRfx7Image(0, image, x, y, m_codec == 7))
        return;
    const QVector<Rect> rects{{static_cast<qint16>(x), static_cast<qint16>(y),
                               static_cast<quint16>(image.width()), static_cast<quint16>(image.height())}};
    const char* format = m_codec == 3 ? "JPEG" : "PNG";
    const quint8 codec = m_codec == 3 ? 3 : 4;
    m_server->sendImageUpdate(codec, 0, rects,
                              {{static_cast<qint16>(x), static_cast<qint16>(y), encodeImage(image, format)}});
}

void Desktop::tick() {
    if (!m_server->hasClient() || m_server->framesInFlight() >= m_window)
        return;
    if (m_fullFrames) {
        QImage whole(m_size, QImage::Format_RGB32);
        whole.fill(QColor::fromHsv((m_step++ * 7) % 360, 120, 160));
        m_server->sendFrameBegin(m_frameId);
        sendImage(whole, 0, 0);
        m_server->sendFrameEnd(m_frameId);
        ++m_framesSent;
        emit frameSent(m_frameId++);
        return;
    }
    const int span = qMax(1, m_size.width() - kSquare);
    const int oldX = (m_step * 8) % span;
    const int newX = ((m_step + 1) * 8) % span;
    int y = (m_size.height() - kSquare) / 2;
    ++m_step;

    int left = qMin(oldX, newX);
    int right = qMax(oldX, newX) + kSquare;
    int top = y;
    int height = kSquare;
    if (m_codec == 2 || m_codec == 7) {
        // Tiles sit on the 64-pixel grid.
        left &= ~63;
        right = (right + 63) & ~63;
        top &= ~63;
        height = 2 * kSquare;
    }
    const int width = qMin(right, m_size.width()) - left;
    height = qMin(height, m_size.height() - top);
    QImage patch(width, height, QImage::Format_RGB32);
    patch.fill(QColor(40, 60, 90));
    QPainter p(&patch);
    p.fillRect(newX - left, y - top, kSquare, kSquare, QColor::fromHsv((m_step * 5) % 360, 200, 230));
    p.end();

    m_server->sendFrameBegin(m_frameId);
    sendImage(patch, left, top);
    m_server->sendPointerPosition(static_cast<quint16>(newX + kSquare / 2),
                                  static_cast<quint16>(y + kSquare / 2));
    m_server->sendFrameEnd(m_frameId);
    ++m_framesSent;
    emit frameSent(m_frameId++);
}

} // namespace DisplaySim

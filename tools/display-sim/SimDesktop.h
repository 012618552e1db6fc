#pragma once

// A scripted desktop for the simulator: once the client is in its main sequence it creates surface 0,
// a pointer, and then sends frames of a moving square at a steady rate, never more frames in flight than
// the acknowledge window allows.

#include "SimServer.h"

#include <QColor>
#include <QImage>
#include <QObject>
#include <QSize>

class QTimer;

namespace DisplaySim {

class Desktop : public QObject {
    Q_OBJECT
public:
    Desktop(Server* server, QSize size, QObject* parent = nullptr);

    void setFramesPerSecond(int fps);
    void setAcknowledgeWindow(int frames) { m_window = frames; }
    // Codec for updates: 4 (PNG) by default; 3 JPEG; 2 and 7 when the tile encoder is built in
    // (otherwise PNG).
    void setCodec(quint8 codec) { m_codec = codec; }
    int framesSent() const { return m_framesSent; }
    // Every frame after the first repaints the whole desktop (in a new colour) instead of the square.
    void setFullFrames(bool on) { m_fullFrames = on; }
    // The first frame sends the background as tiles x tiles images in one update message.
    void setBackgroundTiles(int tiles) { m_backgroundTiles = qMax(1, tiles); }

    // No further frames.
    void stopFrames();

    // Sends one update of the given image at (x, y) of surface 0 with the chosen codec.
    void sendImage(const QImage& image, int x, int y);

signals:
    void frameSent(quint16 frameId);

private:
    void start();
    void tick();

    Server* m_server;
    QSize m_size;
    QTimer* m_timer;
    int m_window = 4;
    quint8 m_codec = 4;
    quint16 m_frameId = 0;
    int m_framesSent = 0;
    int m_step = 0;
    bool m_fullFrames = false;
    int m_backgroundTiles = 1;
};

} // namespace DisplaySim

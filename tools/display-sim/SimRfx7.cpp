#include "SimServer.h"

#include <QImage>

#ifdef DISPLAY_SIM_HAS_RFX7_ENCODER
#include "rfx7-encoder/Rfx7Encoder.h"
#endif

namespace DisplaySim {

#ifdef DISPLAY_SIM_HAS_RFX7_ENCODER

namespace {

constexpr int kTile = 64;

// Ten 4-bit values in five bytes, low nibble first.
QByteArray packQuant(const Rfx7QuantSet& q) {
    QByteArray out;
    for (int i = 0; i < 10; i += 2)
        out.append(static_cast<char>((q[i] & 0x0f) | ((q[i + 1] & 0x0f) << 4)));
    return out;
}

} // namespace

bool Server::canEncodeRfx7() {
    return true;
}

bool Server::sendRfx7Image(quint32 surfaceId, const QImage& image, int x, int y, bool progressive) {
    if (image.isNull())
        return false;
    // Opaque 32-bit pixels are copied as they are: a huge desktop is not converted whole first.
    const QImage argb =
        image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    QVector<Tile> tiles;
    QImage block(kTile, kTile, QImage::Format_ARGB32);
    // A block equal to the one before it (a flat area) reuses its bytes instead of encoding again.
    QImage previousBlock;
    QByteArray previousBytes;
    for (int ty = 0; ty < argb.height(); ty += kTile) {
        for (int tx = 0; tx < argb.width(); tx += kTile) {
            // Edge blocks are padded by repeating nothing in particular: the client clips to the rects.
            block.fill(Qt::black);
            for (int row = 0; row < kTile && ty + row < argb.height(); ++row) {
                const int columns = qMin(kTile, argb.width() - tx);
                memcpy(block.scanLine(row), argb.constScanLine(ty + row) + tx * 4, size_t(columns) * 4);
            }
            if (previousBlock.isNull() || block != previousBlock) {
                const auto* pixels = reinterpret_cast<const uint32_t*>(block.constBits());
                const std::vector<uint8_t> bytes =
                    encodeRfx7Tile(pixels, block.bytesPerLine(), kRfx7TypicalQuant, kRfx7TypicalQuant,
                                   kRfx7TypicalQuant, Rfx7Alpha::Include);
                previousBlock = block.copy();
                previousBytes = QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
            }
            tiles.append({static_cast<qint16>(x + tx), static_cast<qint16>(y + ty), previousBytes});
        }
    }
    const QByteArray quant = packQuant(kRfx7TypicalQuant);
    sendRfx7Update(surfaceId, progressive, quant + quant + quant,
                   {{static_cast<qint16>(x), static_cast<qint16>(y), static_cast<quint16>(argb.width()),
                     static_cast<quint16>(argb.height())}},
                   tiles);
    return true;
}

#else

bool Server::canEncodeRfx7() {
    return false;
}

bool Server::sendRfx7Image(quint32, const QImage&, int, int, bool) {
    return false;
}

#endif

} // namespace DisplaySim

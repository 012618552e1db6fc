#pragma once

// The simulator's own reader and writer for display-protocol frames. Written independently of the
// client's decoder on purpose, so that the two can disagree when one of them is wrong.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVector>

namespace DisplaySim {

// Control-channel message ids.
namespace Msg {
enum : quint8 {
    Disconnect = 1,
    Identity = 2,
    Capabilities = 3,
    Security = 4,
    Settings = 5,
    ChannelOpenRequest = 6,
    ChannelOpen = 7,
    ChannelClose = 9,
    SurfaceCreate = 10,
    SurfaceDestroy = 11,
    SurfaceResize = 12,
    SurfaceBits = 13,
    SurfaceCopy = 14,
    SurfaceFrameBegin = 15,
    SurfaceFrameEnd = 16,
    SurfaceFrameAck = 17,
    NetworkDetectBegin = 25,
    NetworkDetectEnd = 26,
    NetworkDetectResults = 27,
    PointerCreate = 28,
    PointerSetCached = 29,
    PointerHide = 30,
    PointerSystem = 31,
    PointerPosition = 32,
};
} // namespace Msg

namespace CapabilityTag {
enum : quint8 { Password = 1, Rfx7 = 2, Jpeg = 3, CodecList = 4 };
}

namespace SettingTag {
enum : quint8 {
    Keyboard = 1,
    Geometry = 2,
    AutomaticAdjust = 3,
    Compression = 4,
    FrameRate = 5,
    FrameWindow = 6,
    SmallBlockImageFormat = 7,
    BigBlockImageFormat = 8,
    BigBlockMinimumSize = 9,
    HighQualityUpgrades = 10,
};
}

struct Rect {
    qint16 x = 0;
    qint16 y = 0;
    quint16 width = 0;
    quint16 height = 0;
};

struct Tile {
    qint16 x = 0;
    qint16 y = 0;
    QByteArray data;
};

QByteArray encodeLeb128(quint32 value);

class FrameWriter {
public:
    FrameWriter() = default;
    FrameWriter(quint8 channel, quint8 messageId);

    FrameWriter& u8(quint8 v);
    FrameWriter& u16(quint16 v);
    FrameWriter& i16(qint16 v) { return u16(static_cast<quint16>(v)); }
    FrameWriter& u32(quint32 v);
    FrameWriter& u64(quint64 v);
    FrameWriter& leb128(quint32 v);
    FrameWriter& blob(const QByteArray& bytes);
    FrameWriter& string(const QString& text) { return blob(text.toUtf8()); }
    FrameWriter& rect(const Rect& r);
    FrameWriter& rects(const QVector<Rect>& list);
    FrameWriter& tiles(const QVector<Tile>& list);
    FrameWriter& raw(const QByteArray& bytes);

    const QByteArray& bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};

// Cursor over one frame. Every read returns false, and leaves the cursor where it was, when the frame is
// too short or a LEB128 number is longer than four bytes.
class FrameReader {
public:
    explicit FrameReader(const QByteArray& bytes, int offset = 0)
        : m_bytes(bytes)
        , m_pos(offset) {}

    bool u8(quint8& v);
    bool u16(quint16& v);
    bool u32(quint32& v);
    bool u64(quint64& v);
    bool leb128(quint32& v);
    bool blob(QByteArray& v);
    bool atEnd() const { return m_pos >= m_bytes.size(); }
    int remaining() const { return m_bytes.size() - m_pos; }
    QByteArray rest() const { return m_bytes.mid(m_pos); }

    // Blobs until the end of the frame (Capabilities and Settings bodies).
    bool blobList(QList<QByteArray>& list);

private:
    bool fixed(int width, quint64& v);
    const QByteArray& m_bytes;
    int m_pos = 0;
};

// Entry builders for Capabilities and Settings.
namespace Entry {
QByteArray password();
QByteArray rfx7();
QByteArray jpeg();
QByteArray codecList(const QList<quint8>& codecs);
QByteArray keyboard(quint32 layout, quint32 type);
QByteArray geometry(quint16 width, quint16 height);
QByteArray geometry(quint16 width, quint16 height, quint32 widthMM, quint32 heightMM);
QByteArray automaticAdjust(bool on);
QByteArray triple(quint8 tag, quint8 value, quint8 min, quint8 max);
QByteArray codec(quint8 tag, quint8 codecId);
QByteArray bigBlockMinimumSize(quint16 width, quint16 height);
QByteArray highQualityUpgrades(bool on);
} // namespace Entry

// The LEB128 length prefix of the raw TCP transport. Returns the number of prefix bytes consumed, 0 when
// more bytes are needed, -1 when the prefix is malformed (a fourth byte with the continuation bit).
int readLengthPrefix(const QByteArray& buffer, quint32& length);

} // namespace DisplaySim

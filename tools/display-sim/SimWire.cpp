#include "SimWire.h"

namespace DisplaySim {

QByteArray encodeLeb128(quint32 value) {
    QByteArray out;
    do {
        quint8 byte = value & 0x7f;
        value >>= 7;
        if (value)
            byte |= 0x80;
        out.append(static_cast<char>(byte));
    } while (value);
    return out;
}

FrameWriter::FrameWriter(quint8 channel, quint8 messageId) {
    u8(channel);
    u8(messageId);
}

FrameWriter& FrameWriter::u8(quint8 v) {
    m_bytes.append(static_cast<char>(v));
    return *this;
}

FrameWriter& FrameWriter::u16(quint16 v) {
    for (int i = 0; i < 2; ++i)
        u8(static_cast<quint8>(v >> (8 * i)));
    return *this;
}

FrameWriter& FrameWriter::u32(quint32 v) {
    for (int i = 0; i < 4; ++i)
        u8(static_cast<quint8>(v >> (8 * i)));
    return *this;
}

FrameWriter& FrameWriter::u64(quint64 v) {
    for (int i = 0; i < 8; ++i)
        u8(static_cast<quint8>(v >> (8 * i)));
    return *this;
}

FrameWriter& FrameWriter::leb128(quint32 v) {
    m_bytes.append(encodeLeb128(v));
    return *this;
}

FrameWriter& FrameWriter::blob(const QByteArray& bytes) {
    leb128(static_cast<quint32>(bytes.size()));
    m_bytes.append(bytes);
    return *this;
}

FrameWriter& FrameWriter::rect(const Rect& r) {
    return i16(r.x).i16(r.y).u16(r.width).u16(r.height);
}

FrameWriter& FrameWriter::rects(const QVector<Rect>& list) {
    leb128(static_cast<quint32>(list.size()));
    for (const Rect& r : list)
        rect(r);
    return *this;
}

FrameWriter& FrameWriter::tiles(const QVector<Tile>& list) {
    for (const Tile& t : list)
        i16(t.x).i16(t.y).blob(t.data);
    return *this;
}

FrameWriter& FrameWriter::raw(const QByteArray& bytes) {
    m_bytes.append(bytes);
    return *this;
}

bool FrameReader::fixed(int width, quint64& v) {
    if (remaining() < width)
        return false;
    v = 0;
    for (int i = 0; i < width; ++i)
        v |= quint64(static_cast<quint8>(m_bytes[m_pos + i])) << (8 * i);
    m_pos += width;
    return true;
}

bool FrameReader::u8(quint8& v) {
    quint64 x;
    if (!fixed(1, x))
        return false;
    v = static_cast<quint8>(x);
    return true;
}

bool FrameReader::u16(quint16& v) {
    quint64 x;
    if (!fixed(2, x))
        return false;
    v = static_cast<quint16>(x);
    return true;
}

bool FrameReader::u32(quint32& v) {
    quint64 x;
    if (!fixed(4, x))
        return false;
    v = static_cast<quint32>(x);
    return true;
}

bool FrameReader::u64(quint64& v) {
    return fixed(8, v);
}

bool FrameReader::leb128(quint32& v) {
    quint32 value = 0;
    for (int i = 0; i < 4; ++i) {
        if (m_pos + i >= m_bytes.size())
            return false;
        const quint8 byte = static_cast<quint8>(m_bytes[m_pos + i]);
        value |= quint32(byte & 0x7f) << (7 * i);
        if (!(byte & 0x80)) {
            m_pos += i + 1;
            v = value;
            return true;
        }
    }
    return false;
}

bool FrameReader::blob(QByteArray& v) {
    const int start = m_pos;
    quint32 size;
    if (!leb128(size))
        return false;
    if (size > static_cast<quint32>(remaining())) {
        m_pos = start;
        return false;
    }
    v = m_bytes.mid(m_pos, static_cast<int>(size));
    m_pos += static_cast<int>(size);
    return true;
}

bool FrameReader::blobList(QList<QByteArray>& list) {
    list.clear();
    while (!atEnd()) {
        QByteArray entry;
        if (!blob(entry))
            return false;
        list.append(entry);
    }
    return true;
}

int readLengthPrefix(const QByteArray& buffer, quint32& length) {
    quint32 value = 0;
    for (int i = 0; i < 4; ++i) {
        if (i >= buffer.size())
            return 0;
        const quint8 byte = static_cast<quint8>(buffer[i]);
        value |= quint32(byte & 0x7f) << (7 * i);
        if (!(byte & 0x80)) {
            length = value;
            return i + 1;
        }
    }
    return -1;
}

namespace Entry {

static QByteArray tagged(quint8 tag, const FrameWriter& payload = FrameWriter()) {
    return QByteArray(1, static_cast<char>(tag)) + payload.bytes();
}

QByteArray password() {
    return tagged(CapabilityTag::Password);
}

QByteArray rfx7() {
    return tagged(CapabilityTag::Rfx7);
}

QByteArray jpeg() {
    return tagged(CapabilityTag::Jpeg);
}

QByteArray codecList(const QList<quint8>& codecs) {
    FrameWriter w;
    w.leb128(static_cast<quint32>(codecs.size()));
    for (quint8 c : codecs)
        w.u8(c);
    return tagged(CapabilityTag::CodecList, w);
}

QByteArray keyboard(quint32 layout, quint32 type) {
    return tagged(SettingTag::Keyboard, FrameWriter().u32(layout).u32(type));
}

QByteArray geometry(quint16 width, quint16 height) {
    return tagged(SettingTag::Geometry, FrameWriter().u16(width).u16(height));
}

QByteArray geometry(quint16 width, quint16 height, quint32 widthMM, quint32 heightMM) {
    return tagged(SettingTag::Geometry, FrameWriter().u16(width).u16(height).u32(widthMM).u32(heightMM));
}

QByteArray automaticAdjust(bool on) {
    return tagged(SettingTag::AutomaticAdjust, FrameWriter().u8(on ? 1 : 0));
}

QByteArray triple(quint8 tag, quint8 value, quint8 min, quint8 max) {
    return tagged(tag, FrameWriter().u8(value).u8(min).u8(max));
}

QByteArray codec(quint8 tag, quint8 codecId) {
    return tagged(tag, FrameWriter().u8(codecId));
}

QByteArray bigBlockMinimumSize(quint16 width, quint16 height) {
    return tagged(SettingTag::BigBlockMinimumSize, FrameWriter().u16(width).u16(height));
}

QByteArray highQualityUpgrades(bool on) {
    return tagged(SettingTag::HighQualityUpgrades, FrameWriter().u8(on ? 1 : 0));
}

} // namespace Entry
} // namespace DisplaySim

#include "viewer/protocol/Wire.h"

namespace Protocol {

namespace {

template <typename T>
bool readLittleEndian(const Byte*& pos, const Byte* end, T& v) {
    if (static_cast<std::size_t>(end - pos) < sizeof(T)) {
        return false;
    }
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        acc |= static_cast<std::uint64_t>(pos[i]) << (8 * i);
    }
    v = static_cast<T>(acc);
    pos += sizeof(T);
    return true;
}

constexpr std::size_t RectSize = 8;

} // namespace

bool Reader::readU8(std::uint8_t& v) {
    return readLittleEndian(m_pos, m_end, v);
}
bool Reader::readU16(std::uint16_t& v) {
    return readLittleEndian(m_pos, m_end, v);
}
bool Reader::readU32(std::uint32_t& v) {
    return readLittleEndian(m_pos, m_end, v);
}
bool Reader::readU64(std::uint64_t& v) {
    return readLittleEndian(m_pos, m_end, v);
}

bool Reader::readI16(std::int16_t& v) {
    std::uint16_t u = 0;
    if (!readU16(u)) {
        return false;
    }
    v = static_cast<std::int16_t>(u);
    return true;
}

bool Reader::readLeb128(std::uint32_t& v) {
    std::uint32_t acc = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (m_pos + i == m_end) {
            return false;
        }
        const Byte b = m_pos[i];
        acc |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) {
            m_pos += i + 1;
            v = acc;
            return true;
        }
    }
    return false; // a fourth byte that still says "more follows"
}

bool Reader::readBytes(std::size_t n, Blob& out) {
    if (n > remaining()) {
        return false;
    }
    out.assign(m_pos, m_pos + n);
    m_pos += n;
    return true;
}

bool Reader::readBlob(Blob& out) {
    const Byte* start = m_pos;
    std::uint32_t n = 0;
    if (!readLeb128(n) || !readBytes(n, out)) {
        m_pos = start;
        return false;
    }
    return true;
}

bool Reader::readString(String& out) {
    const Byte* start = m_pos;
    std::uint32_t n = 0;
    if (!readLeb128(n) || n > remaining()) {
        m_pos = start;
        return false;
    }
    out.assign(reinterpret_cast<const char*>(m_pos), n);
    m_pos += n;
    return true;
}

bool Reader::readBlobList(BlobList& out) {
    const Byte* start = m_pos;
    BlobList list;
    while (!atEnd()) {
        Blob b;
        if (list.size() == MaxBlobListEntries || !readBlob(b)) {
            m_pos = start;
            return false;
        }
        list.push_back(std::move(b));
    }
    out = std::move(list);
    return true;
}

bool Reader::readRect(Rect& r) {
    if (remaining() < RectSize) {
        return false;
    }
    readI16(r.x);
    readI16(r.y);
    readU16(r.width);
    readU16(r.height);
    return true;
}

bool Reader::readRectList(RectList& out) {
    const Byte* start = m_pos;
    std::uint32_t count = 0;
    // The count must fit the bytes that are there before anything is reserved for it.
    if (!readLeb128(count) || count > remaining() / RectSize) {
        m_pos = start;
        return false;
    }
    RectList list(count);
    for (Rect& r : list) {
        readRect(r);
    }
    out = std::move(list);
    return true;
}

bool Reader::readTileList(TileList& out) {
    const Byte* start = m_pos;
    TileList list;
    while (!atEnd()) {
        Tile t;
        if (list.size() == MaxTileListEntries || !readI16(t.x) || !readI16(t.y) || !readBlob(t.data)) {
            m_pos = start;
            return false;
        }
        list.push_back(std::move(t));
    }
    out = std::move(list);
    return true;
}

bool Reader::readQuantSet(QuantSet& q) {
    if (remaining() < q.size() / 2) {
        return false;
    }
    for (std::size_t i = 0; i < q.size() / 2; ++i) {
        const Byte b = m_pos[i];
        q[2 * i] = b & 0x0F;
        q[2 * i + 1] = b >> 4;
    }
    m_pos += q.size() / 2;
    return true;
}

Writer& Writer::u8(std::uint8_t v) {
    if (m_ok) {
        m_bytes.push_back(v);
    }
    return *this;
}

Writer& Writer::u16(std::uint16_t v) {
    if (m_ok) {
        m_bytes.push_back(static_cast<Byte>(v));
        m_bytes.push_back(static_cast<Byte>(v >> 8));
    }
    return *this;
}

Writer& Writer::u32(std::uint32_t v) {
    if (m_ok) {
        for (int i = 0; i < 4; ++i) {
            m_bytes.push_back(static_cast<Byte>(v >> (8 * i)));
        }
    }
    return *this;
}

Writer& Writer::u64(std::uint64_t v) {
    if (m_ok) {
        for (int i = 0; i < 8; ++i) {
            m_bytes.push_back(static_cast<Byte>(v >> (8 * i)));
        }
    }
    return *this;
}

Writer& Writer::i16(std::int16_t v) {
    return u16(static_cast<std::uint16_t>(v));
}

Writer& Writer::leb128(std::uint64_t v) {
    if (!m_ok) {
        return *this;
    }
    if (v > MaxLeb128) {
        m_ok = false;
        return *this;
    }
    do {
        Byte b = v & 0x7F;
        v >>= 7;
        if (v != 0) {
            b |= 0x80;
        }
        m_bytes.push_back(b);
    } while (v != 0);
    return *this;
}

Writer& Writer::bytes(const Byte* data, std::size_t n) {
    if (m_ok && n > 0) {
        m_bytes.insert(m_bytes.end(), data, data + n);
    }
    return *this;
}

Writer& Writer::blob(const Byte* data, std::size_t n) {
    leb128(n);
    return bytes(data, n);
}

Writer& Writer::string(const String& s) {
    return blob(reinterpret_cast<const Byte*>(s.data()), s.size());
}

Writer& Writer::blobList(const BlobList& list) {
    for (const Blob& b : list) {
        blob(b);
    }
    return *this;
}

Writer& Writer::rect(const Rect& r) {
    return i16(r.x).i16(r.y).u16(r.width).u16(r.height);
}

Writer& Writer::rectList(const RectList& list) {
    leb128(list.size());
    for (const Rect& r : list) {
        rect(r);
    }
    return *this;
}

Writer& Writer::tileList(const TileList& list) {
    for (const Tile& t : list) {
        i16(t.x).i16(t.y).blob(t.data);
    }
    return *this;
}

Writer& Writer::quantSet(const QuantSet& q) {
    for (std::size_t i = 0; i < q.size() / 2; ++i) {
        u8(static_cast<Byte>((q[2 * i] & 0x0F) | ((q[2 * i + 1] & 0x0F) << 4)));
    }
    return *this;
}

std::vector<Byte> encodeLeb128(std::uint64_t v) {
    Writer w;
    w.leb128(v);
    return w.ok() ? w.take() : std::vector<Byte>{};
}

} // namespace Protocol

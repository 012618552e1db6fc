#pragma once

// Field encodings of the display protocol: a bounds-checked read cursor over one frame and an
// appending writer. All integers are little-endian; lengths and counts are LEB128 of at most 4 bytes.

#include "viewer/protocol/Types.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Protocol {

// Largest value a LEB128 field may carry (4 groups of 7 bits).
constexpr std::uint32_t MaxLeb128 = (1u << 28) - 1;

// Lists without a count grow entry by entry, and an entry in memory is many times its smallest wire
// form (an empty blob is one byte on the wire). These caps keep what one frame can make the reader
// allocate near the frame's own size. Far more than any real message carries.
constexpr std::size_t MaxBlobListEntries = std::size_t(1) << 16; // tagged entries: ten tags are defined
constexpr std::size_t MaxTileListEntries = std::size_t(1) << 20; // the 64x64 tiles of the largest surface

// Read cursor over a byte range it does not own. Every read either succeeds and advances, or fails and
// leaves the cursor where it was. Nothing read from the wire allocates more than the bytes that remain.
class Reader {
public:
    Reader() = default;
    Reader(const Byte* data, std::size_t size)
        : m_pos(data)
        , m_end(data + size) {}
    explicit Reader(const std::vector<Byte>& bytes)
        : Reader(bytes.data(), bytes.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(m_end - m_pos); }
    bool atEnd() const { return m_pos == m_end; }
    const Byte* position() const { return m_pos; }
    // The bytes not yet read, copied.
    Blob rest() const { return Blob(m_pos, m_end); }
    void skipToEnd() { m_pos = m_end; }

    bool readU8(std::uint8_t& v);
    bool readU16(std::uint16_t& v);
    bool readU32(std::uint32_t& v);
    bool readU64(std::uint64_t& v);
    bool readI16(std::int16_t& v);
    bool readLeb128(std::uint32_t& v);
    // Exactly n bytes.
    bool readBytes(std::size_t n, Blob& out);
    bool readBlob(Blob& out);
    bool readString(String& out);
    // Blobs one after another until the end of the frame; an empty rest is an empty list. More than
    // MaxBlobListEntries entries is a read failure.
    bool readBlobList(BlobList& out);
    bool readRect(Rect& r);
    bool readRectList(RectList& out);
    // Entries until the end of the frame: i16 x, i16 y, blob. More than MaxTileListEntries entries is a
    // read failure.
    bool readTileList(TileList& out);
    // Five bytes of ten 4-bit values, low nibble first.
    bool readQuantSet(QuantSet& q);

private:
    const Byte* m_pos = nullptr;
    const Byte* m_end = nullptr;
};

// Appends fields to a byte vector. A value that cannot be encoded (a length of 2^28 or more) is refused:
// nothing is written for it and ok() turns false for good, so callers drop the whole frame.
class Writer {
public:
    Writer() = default;
    explicit Writer(std::vector<Byte> start)
        : m_bytes(std::move(start)) {}

    bool ok() const { return m_ok; }
    const std::vector<Byte>& bytes() const { return m_bytes; }
    std::vector<Byte> take() { return std::move(m_bytes); }

    Writer& u8(std::uint8_t v);
    Writer& u16(std::uint16_t v);
    Writer& u32(std::uint32_t v);
    Writer& u64(std::uint64_t v);
    Writer& i16(std::int16_t v);
    Writer& leb128(std::uint64_t v);
    Writer& bytes(const Byte* data, std::size_t n);
    Writer& bytes(const Blob& b) { return bytes(b.data(), b.size()); }
    Writer& blob(const Blob& b) { return blob(b.data(), b.size()); }
    Writer& blob(const Byte* data, std::size_t n);
    Writer& string(const String& s);
    Writer& blobList(const BlobList& list);
    Writer& rect(const Rect& r);
    Writer& rectList(const RectList& list);
    Writer& tileList(const TileList& list);
    Writer& quantSet(const QuantSet& q);

private:
    std::vector<Byte> m_bytes;
    bool m_ok = true;
};

// Shortest LEB128 form of v; empty when v is 2^28 or more.
std::vector<Byte> encodeLeb128(std::uint64_t v);

} // namespace Protocol

#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads a tile's bits, most significant first. Reading past the end yields 0 bits and never moves
// the cursor past the end, so bitsConsumed() never exceeds totalBits().
class Rfx7BitReader {
public:
    Rfx7BitReader(const uint8_t* data, size_t size)
        : m_data(data)
        , m_size(size)
        , m_totalBits(uint64_t(size) * 8) {}

    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    uint64_t totalBits() const { return m_totalBits; }
    uint64_t bitsConsumed() const { return m_position; }
    uint64_t bitsRemaining() const { return m_totalBits - m_position; }
    bool atEnd() const { return m_position >= m_totalBits; }

    // The next 57 bits at the cursor, left-aligned in the top bits; bits past the end read as 0.
    uint64_t peek() const {
        const size_t byte = size_t(m_position >> 3);
        uint64_t word;
        if (byte + 8 <= m_size) {
            std::memcpy(&word, m_data + byte, 8);
            word = __builtin_bswap64(word);
        } else {
            word = 0;
            for (size_t i = 0; i < 8 && byte + i < m_size; ++i)
                word |= uint64_t(m_data[byte + i]) << (56 - 8 * i);
        }
        return word << (m_position & 7);
    }

    void skip(uint64_t bits) { m_position = bits >= bitsRemaining() ? m_totalBits : m_position + bits; }
    void seek(uint64_t bitPosition) { m_position = bitPosition < m_totalBits ? bitPosition : m_totalBits; }

    // n in 0..32.
    uint32_t readBits(int n) {
        if (n == 0)
            return 0;
        const uint32_t value = uint32_t(peek() >> (64 - n));
        skip(uint64_t(n));
        return value;
    }

    bool readBit() { return readBits(1) != 0; }

private:
    const uint8_t* m_data;
    size_t m_size;
    uint64_t m_totalBits;
    uint64_t m_position = 0;
};

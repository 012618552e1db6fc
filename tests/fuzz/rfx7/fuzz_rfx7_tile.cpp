// Tile decoder under arbitrary input. Layout of an input: one flags byte, three quantiser sets of
// five bytes (as on the wire), then the tile's bytes. Flags: bit 0 decode against a cache entry,
// bit 1 the entry already holds coefficients, bit 2 it holds alpha, bit 3 decode the tile a second
// time as a refinement.

#include "viewer/engine/rfx7/Rfx7Codec.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

Rfx7QuantSet readQuant(const uint8_t* bytes) {
    Rfx7QuantSet set;
    for (int i = 0; i < 10; ++i)
        set[size_t(i)] = uint8_t((bytes[i / 2] >> (i % 2 ? 4 : 0)) & 15);
    return set;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 16)
        return 0;
    const uint8_t flags = data[0];
    const Rfx7QuantSet y = readQuant(data + 1), cb = readQuant(data + 6), cr = readQuant(data + 11);
    const uint8_t* tile = data + 16;
    const size_t tileSize = size - 16;

    static auto work = std::make_unique<Rfx7WorkBuffer>();
    static auto entry = std::make_unique<Rfx7TileCacheEntry>();
    *entry = Rfx7TileCacheEntry();
    entry->hasCoefficients = (flags & 2) ? 1 : 0;
    entry->hasAlpha = (flags & 4) ? 1 : 0;
    for (size_t i = 0; i < entry->coefficients.size(); ++i)
        entry->coefficients[i] = int16_t(i * 2654435761u);
    Rfx7TileCacheEntry* cache = (flags & 1) ? entry.get() : nullptr;

    uint8_t pixels[64 * 256];
    std::memset(pixels, 0xA5, sizeof pixels);
    const Rfx7DecodeResult result = decodeRfx7Tile(*work, tile, tileSize, y, cb, cr, cache, pixels, 256);
    if (!result.ok()) {
        // A refused tile writes nothing.
        for (uint8_t b : pixels)
            if (b != 0xA5)
                std::abort();
    } else if (!result.hasAlpha) {
        for (size_t i = 3; i < sizeof pixels; i += 4)
            if (pixels[i] != 0xFF)
                std::abort();
    }
    if (cache && (flags & 8))
        decodeRfx7Tile(*work, tile, tileSize, y, cb, cr, cache, pixels, 256);
    return 0;
}

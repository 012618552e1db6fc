#include "rfx7-encoder/Rfx7TestImage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

struct Random {
    uint32_t state;
    uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int below(int n) { return int(next() % uint32_t(n)); }
};

inline uint32_t rgb(int r, int g, int b, int a = 255) {
    auto c = [](int v) { return uint32_t(std::clamp(v, 0, 255)); };
    return (c(a) << 24) | (c(r) << 16) | (c(g) << 8) | c(b);
}

struct Canvas {
    std::vector<uint32_t>& pixels;
    int width, height;

    void fill(int x, int y, int w, int h, uint32_t colour) {
        for (int row = std::max(y, 0); row < std::min(y + h, height); ++row)
            for (int col = std::max(x, 0); col < std::min(x + w, width); ++col)
                pixels[size_t(row) * size_t(width) + size_t(col)] = colour;
    }

    // Lines of glyph-like strokes in 7x12 cells, words separated by spaces.
    void text(int x, int y, int w, int h, uint32_t ink, Random& random) {
        for (int line = y; line + 12 <= y + h; line += 16) {
            int col = x;
            const int end = x + w - 7 - random.below(std::max(w / 3, 1));
            while (col + 7 <= end) {
                const int word = 2 + random.below(8);
                for (int c = 0; c < word && col + 7 <= end; ++c, col += 7) {
                    const uint32_t shape = random.next();
                    for (int gy = 2; gy < 11; ++gy)
                        for (int gx = 1; gx < 6; ++gx)
                            if ((shape >> ((gy * 5 + gx) % 32)) & 1 && ((gx + gy) % 3 != 0))
                                fill(col + gx, line + gy, 1, 1, ink);
                }
                col += 7;
            }
        }
    }

    void window(int x, int y, int w, int h, uint32_t title, Random& random) {
        fill(x - 1, y - 1, w + 2, h + 2, rgb(60, 60, 60));
        fill(x, y, w, 24, title);
        text(x + 8, y + 5, std::min(w / 2, 300), 14, rgb(255, 255, 255), random);
        fill(x, y + 24, w, h - 24, rgb(250, 250, 250));
        text(x + 10, y + 34, w - 20, h - 44, rgb(20, 20, 30), random);
    }

    void photo(int x, int y, int w, int h, Random& random) {
        for (int row = 0; row < h; ++row)
            for (int col = 0; col < w; ++col) {
                const double u = col / double(w), v = row / double(h);
                const double hill = 0.5 + 0.5 * std::sin(u * 9.0 + std::cos(v * 7.0) * 2.0);
                const double sky = v < 0.4 ? 1.0 - v : 0.3;
                const int grain = random.below(13) - 6;
                fill(x + col, y + row, 1, 1,
                     rgb(int(40 + 120 * hill * (1 - v) + 60 * sky) + grain, int(90 + 110 * hill * v) + grain,
                         int(60 + 150 * sky * (1 - hill * 0.5)) + grain));
            }
    }
};

} // namespace

std::vector<uint32_t> rfx7DesktopImage(int width, int height, uint32_t seed) {
    std::vector<uint32_t> pixels(size_t(width) * size_t(height));
    Canvas canvas{pixels, width, height};
    Random random{seed * 2654435761u + 1};
    for (int row = 0; row < height; ++row)
        canvas.fill(0, row, width, 1,
                    rgb(20 + row * 40 / height, 60 + row * 60 / height, 120 + row * 100 / height));
    canvas.photo(width * 55 / 100, height * 8 / 100, width * 40 / 100, height * 45 / 100, random);
    canvas.window(width * 4 / 100, height * 6 / 100, width * 46 / 100, height * 55 / 100, rgb(40, 90, 170),
                  random);
    canvas.window(width * 30 / 100, height * 52 / 100, width * 38 / 100, height * 38 / 100, rgb(120, 40, 90),
                  random);
    // A colour ramp and a task bar.
    for (int col = 0; col < width * 25 / 100; ++col)
        canvas.fill(width * 72 / 100 + col, height * 60 / 100, 1, height * 25 / 100,
                    rgb(col * 255 / (width / 4), 255 - col * 255 / (width / 4), 128));
    canvas.fill(0, height - 40, width, 40, rgb(30, 30, 36));
    canvas.text(60, height - 30, width / 3, 16, rgb(230, 230, 230), random);
    return pixels;
}

std::vector<uint32_t> rfx7SampleTile(const char* kind, uint32_t seed) {
    std::vector<uint32_t> pixels(64 * 64);
    Canvas canvas{pixels, 64, 64};
    Random random{seed * 2654435761u + 7};
    if (std::strcmp(kind, "gradient") == 0 || std::strcmp(kind, "translucent") == 0) {
        const bool translucent = kind[0] == 't';
        for (int row = 0; row < 64; ++row)
            for (int col = 0; col < 64; ++col)
                pixels[size_t(row * 64 + col)] =
                    rgb(col * 4, row * 4, 255 - (col + row) * 2, translucent ? 255 - (col * 3 + row) : 255);
    } else if (std::strcmp(kind, "text") == 0) {
        canvas.fill(0, 0, 64, 64, rgb(250, 250, 250));
        canvas.text(2, 2, 60, 60, rgb(10, 10, 20), random);
    } else if (std::strcmp(kind, "photo") == 0) {
        canvas.photo(0, 0, 64, 64, random);
    } else if (std::strcmp(kind, "noise") == 0) {
        for (uint32_t& p : pixels)
            p = rgb(random.below(256), random.below(256), random.below(256));
    } else {
        canvas.fill(0, 0, 64, 64, rgb(200, 120, 40));
    }
    return pixels;
}

// What a screen should look like, pixel by pixel, for the drawing cases whose
// coordinate sums stay inside 16 bits: rectangles cut at the right edge
// (`width`) and below window row 179, glyphs as sets of blocks. Kept as plain
// sets of pixels rather than address windows and runs, so that it checks the
// primitives instead of repeating them.
#pragma once

#include <cstdint>
#include <vector>

#include "assets.h"

namespace mpt {

constexpr uint32_t color(uint8_t r, uint8_t g, uint8_t b) {
    return 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
}

// Window of a framebuffer `w` columns wide: rows 0..179, column 0..w-1.
struct WindowModel {
    explicit WindowModel(int columns, uint32_t background)
        : w(columns), px(static_cast<size_t>(columns) * 180, background) {}

    void pixel(long x, long y, uint32_t c) {
        if (x >= 0 && x < w && y >= 0 && y < 180) {
            px[static_cast<size_t>(y) * w + x] = c;
        }
    }
    void rect(long x, long y, long rw, long rh, uint32_t c) {
        if (x >= w || y >= 180) {
            return;
        }
        for (long yy = y; yy < y + rh; ++yy) {
            for (long xx = x; xx < x + rw; ++xx) {
                pixel(xx, yy, c);
            }
        }
    }
    // A glyph at scale s: each set bit a block s wide and s + 1 high (s >= 2),
    // or one pixel (s == 1). Only the top-left corner decides whether any of
    // it is drawn.
    void glyph(long x, long y, unsigned char ch, int s, uint32_t c) {
        if (x >= w || y >= 180 || s == 0) {
            return;
        }
        for (int i = 0; i < 8; ++i) {
            for (int j = 0; j < 8; ++j) {
                if ((fontdata_8x8[8 * ch + i] >> (7 - j)) & 1) {
                    if (s == 1) {
                        pixel(x + j, y + i, c);
                    } else {
                        rect(x + j * s, y + i * s, s, s + 1, c);
                    }
                }
            }
        }
    }
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }

    int w;
    std::vector<uint32_t> px;
};

}  // namespace mpt

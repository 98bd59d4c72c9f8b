// Drawing primitives. They work like an LCD controller's interface (set an
// address window, then flood a run of pixels) but straight on the mapped
// framebuffer, with no back buffer: callers compose a screen and push it with
// FB_flash.
//
// Every store goes through flood() or the copy in draw_image(), and both stay
// inside the width x height words that are mapped, whatever the arguments and
// whatever the framebuffer's size: a panel that reports a smaller or narrower
// framebuffer than the 240 x 219 rows the screens are laid out for, or none at
// all, must not make the program scribble over memory next to the mapping.
#include "display/draw.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

#include "assets.h"
#include "device/device.h"
#include "display/lcd.h"

int display_offset = 0;

namespace {

// 0xAARRGGBB with alpha always opaque; in memory blue, green, red, alpha.
uint32_t color_word(uint8_t r, uint8_t g, uint8_t b) {
    return 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | uint32_t{b};
}

// Words that exist in the mapping; 0 when there is none.
int64_t mapped_words() {
    if (FB_buf == nullptr || width <= 0 || height <= 0) {
        return 0;
    }
    return int64_t{width} * int64_t{height};
}

// Eight stores per turn: the ARM926 has no vector unit, and one store per
// turn would spend as many instructions on the loop as on the pixels.
void fill_words(uint32_t *p, size_t n, uint32_t c) {
    for (; n >= 8; n -= 8, p += 8) {
        p[0] = c;
        p[1] = c;
        p[2] = c;
        p[3] = c;
        p[4] = c;
        p[5] = c;
        p[6] = c;
        p[7] = c;
    }
    for (; n > 0; --n) {
        *p++ = c;
    }
}

// Index in FB_buf of window pixel (x, y). Saturated: only an absurd reported
// width reaches the limits, and nothing is ever stored out there anyway.
int window_offset(uint16_t x, uint16_t y) {
    const int64_t off = (int64_t{y} + WINDOW_FIRST_ROW) * int64_t{width} + int64_t{x};
    return static_cast<int>(std::clamp<int64_t>(off, INT_MIN, INT_MAX));
}

// A run of len words from offset, cut to the total words that are mapped.
void fill_run(int offset, uint32_t len, uint32_t c, int64_t total) {
    const int64_t first = std::max<int64_t>(offset, 0);
    const int64_t end = std::min<int64_t>(int64_t{offset} + int64_t{len}, total);
    if (first < end) {
        fill_words(FB_buf + first, static_cast<size_t>(end - first), c);
    }
}

}  // namespace

void set_addr_window(uint16_t x, uint16_t y) {
    display_offset = window_offset(x, y);
}

void flood(uint8_t r, uint8_t g, uint8_t b, uint32_t len) {
    fill_run(display_offset, len, color_word(r, g, b), mapped_words());
}

void draw_pixel(uint16_t x, uint16_t y, uint8_t r, uint8_t g, uint8_t b) {
    if (x >= width || y >= WINDOW_ROWS) {
        return;
    }
    set_addr_window(x, y);
    flood(r, g, b, 1);
}

void draw_fast_HLine(uint16_t x, uint16_t y, uint16_t length, uint8_t r, uint8_t g, uint8_t b) {
    if (x >= width || y >= WINDOW_ROWS || length == 0) {
        return;
    }
    const uint16_t last = static_cast<uint16_t>(x + length - 1);
    if (last >= width) {
        length = static_cast<uint16_t>(width - x);
    }
    set_addr_window(x, y);
    flood(r, g, b, length);
}

void draw_rect_color(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t r, uint8_t g,
                     uint8_t b) {
    if (w == 0 || h == 0 || x >= width || y >= WINDOW_ROWS) {
        return;
    }
    const uint16_t x2 = static_cast<uint16_t>(x + w - 1);
    const uint16_t y2 = static_cast<uint16_t>(y + h - 1);
    if (x2 >= width) {
        w = static_cast<uint16_t>(width - x);
    }
    if (y2 > WINDOW_ROWS - 1) {
        h = static_cast<uint16_t>(WINDOW_ROWS - y);
    }
    if (x == 0 && w == width && int{y} + int{h} <= WINDOW_ROWS) {
        // Whole rows follow each other in memory: the full-window clears of
        // the screens are one run, as fast as the memory takes it.
        set_addr_window(0, y);
        flood(r, g, b, uint32_t{w} * h);
        // Where the row-by-row fill leaves it.
        set_addr_window(0, static_cast<uint16_t>(y + h - 1));
        return;
    }
    // Large text is many small rectangles: the colour and the mapping's
    // size are worked out once, not for every row.
    const uint32_t c = color_word(r, g, b);
    const int64_t total = mapped_words();
    int offset = display_offset;
    for (uint32_t k = 0; k < h; ++k) {
        // For absurd heights the row number wraps at 16 bits; wrapped rows
        // that land inside the window are drawn.
        const uint16_t row = static_cast<uint16_t>(y + k);
        if (row >= WINDOW_ROWS) {
            continue;
        }
        offset = window_offset(x, row);
        fill_run(offset, w, c, total);
    }
    display_offset = offset;
}

void show_char(uint16_t x, uint16_t y, unsigned char c, uint8_t r, uint8_t g, uint8_t b,
               uint8_t size) {
    // Only the top-left corner is tested: the rest of a glyph that leaves the
    // window is cut by the pixel and rectangle clipping.
    if (x >= width || y >= WINDOW_ROWS || size == 0) {
        return;
    }
    const unsigned char *glyph = &fontdata_8x8[8u * c];
    for (unsigned i = 0; i < 8; ++i) {
        const unsigned bits = glyph[i];
        for (unsigned j = 0; j < 8; ++j) {
            if ((bits & (0x80u >> j)) == 0) {
                continue;  // text goes over whatever is there
            }
            if (size == 1) {
                draw_pixel(static_cast<uint16_t>(x + j), static_cast<uint16_t>(y + i), r, g, b);
            } else {
                // One row taller than wide: each block overlaps the block row
                // below, and a glyph's lowest row reaches one row under its cell.
                draw_rect_color(static_cast<uint16_t>(x + j * size),
                                static_cast<uint16_t>(y + i * size), size,
                                static_cast<uint16_t>(size + 1), r, g, b);
            }
        }
    }
}

void show_string(uint16_t x, uint16_t y, const char *string, uint8_t r, uint8_t g, uint8_t b,
                 uint8_t size) {
    if (string == nullptr) {
        return;
    }
    const int step = 8 * size;
    for (const char *p = string; *p != '\0'; ++p) {
        // Version texts come from files and are drawn byte for byte: every
        // byte, control bytes and the upper half included, is a glyph.
        show_char(x, y, static_cast<unsigned char>(*p), r, g, b, size);
        x = static_cast<uint16_t>(x + step);
        // Signed bounds, kept on purpose: above size 22 the bottom bound is
        // negative and every character goes back to row 0. No screen draws
        // that large, but text must land where it always has.
        if (int{x} > width - step) {
            x = 0;
            y = static_cast<uint16_t>(y + step);
        }
        if (int{y} > WINDOW_ROWS - step) {
            y = 0;
        }
    }
}

void copy_image(int w, int h, const uint8_t *img) {
    if (img == nullptr || w <= 0 || h <= 0 || mapped_words() == 0) {
        return;
    }
    // Callers pass window-sized images; the framebuffer may still have fewer
    // rows or columns than that, and only what exists is copied.
    const int64_t rows = std::min<int64_t>(h, int64_t{height} - WINDOW_FIRST_ROW);
    const int64_t cols = std::min<int64_t>(w, width);
    if constexpr (std::endian::native == std::endian::little) {
        if (cols == w && w == width && rows > 0) {
            // Image rows as wide as the framebuffer's: one block copy.
            std::memcpy(FB_buf + int64_t{WINDOW_FIRST_ROW} * width, img,
                        static_cast<size_t>(rows) * static_cast<size_t>(w) * 4u);
            return;
        }
    }
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t *src = img + static_cast<size_t>(y) * static_cast<size_t>(w) * 4u;
        uint32_t *dst = FB_buf + (y + WINDOW_FIRST_ROW) * int64_t{width};
        // The image is stored in the framebuffer's own byte order, alpha
        // included; it is not forced opaque.
        if constexpr (std::endian::native == std::endian::little) {
            // The bytes are the words already: a row is one block copy, which
            // also spares the ARM926 four byte loads per pixel on images that
            // are not word-aligned.
            std::memcpy(dst, src, static_cast<size_t>(cols) * 4u);
        } else {
            for (int64_t x = 0; x < cols; ++x) {
                const uint8_t *p = src + x * 4;
                dst[x] = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                         (uint32_t{p[3]} << 24);
            }
        }
    }
}

void draw_image(int w, int h, const uint8_t *img) {
    copy_image(w, h, img);
    FB_flash();
}

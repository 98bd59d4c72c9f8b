// Drawing primitives on the 240 x 180 window of the framebuffer that starts
// at framebuffer row 39, and the 8x8 font.
#pragma once

#include <cstdint>

// The visible window: every screen is laid out for SCREEN_W x SCREEN_H; the
// right clipping edge is the framebuffer's width, the bottom one is fixed.
inline constexpr uint16_t SCREEN_W = 240;
inline constexpr uint16_t SCREEN_H = 180;
inline constexpr int WINDOW_FIRST_ROW = 39;  // framebuffer row of window row 0
inline constexpr int WINDOW_ROWS = SCREEN_H;

// The colours the screens use, as the r, g, b the primitives take.
struct Colour {
    uint8_t r, g, b;
};
inline constexpr Colour BLACK{0, 0, 0};
inline constexpr Colour WHITE{255, 255, 255};
inline constexpr Colour RED{255, 0, 0};
inline constexpr Colour GREEN{0, 255, 0};
inline constexpr Colour YELLOW{255, 255, 0};

extern int display_offset;  // index in FB_buf of the next pixel flood() writes

void set_addr_window(uint16_t x, uint16_t y);
void flood(uint8_t r, uint8_t g, uint8_t b, uint32_t len);
void draw_pixel(uint16_t x, uint16_t y, uint8_t r, uint8_t g, uint8_t b);
void draw_fast_HLine(uint16_t x, uint16_t y, uint16_t length, uint8_t r, uint8_t g, uint8_t b);

void draw_rect_color(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint8_t r, uint8_t g,
                     uint8_t b);
void show_char(uint16_t x, uint16_t y, unsigned char c, uint8_t r, uint8_t g, uint8_t b,
               uint8_t size);
void show_string(uint16_t x, uint16_t y, const char *string, uint8_t r, uint8_t g, uint8_t b,
                 uint8_t size);
void draw_image(int w, int h, const uint8_t *img);
// draw_image without the push: only the copy into the framebuffer.
void copy_image(int w, int h, const uint8_t *img);

inline void draw_rect_color(uint16_t x, uint16_t y, uint16_t w, uint16_t h, Colour c) {
    draw_rect_color(x, y, w, h, c.r, c.g, c.b);
}
inline void show_string(uint16_t x, uint16_t y, const char *string, Colour c, uint8_t size) {
    show_string(x, y, string, c.r, c.g, c.b, size);
}

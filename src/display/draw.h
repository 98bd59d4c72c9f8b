// Drawing primitives on the 240 x 180 window of the framebuffer that starts
// at framebuffer row 39, and the 8x8 font.
#pragma once

#include <cstdint>

constexpr int WINDOW_FIRST_ROW = 39;  // framebuffer row of window row 0
constexpr int WINDOW_ROWS = 180;

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

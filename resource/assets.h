// Built-in test assets: six 240 x 180 images (bytes blue, green, red, alpha
// per pixel), two mono 16-bit audio clips at 44100 Hz and the 8x8 font.
#pragma once

#include <cstdint>

constexpr unsigned IMAGE_BYTES = 240 * 180 * 4;
constexpr unsigned DATA0_SAMPLES = 220500;    // 1 kHz tone, 5 s
constexpr unsigned G_DATA0_SAMPLES = 313110;  // music, 7.1 s

extern "C" {
extern const uint8_t sample_img[IMAGE_BYTES];        // image screen of the backlight sweep
extern const uint8_t color_img[IMAGE_BYTES];         // third screen of the colour test
extern const uint8_t sample_img_down[IMAGE_BYTES];   // key test prompt: DOWN
extern const uint8_t sample_img_left[IMAGE_BYTES];   // key test prompt: LEFT
extern const uint8_t sample_img_up[IMAGE_BYTES];     // key test prompt: UP
extern const uint8_t sample_img_start[IMAGE_BYTES];  // key test prompt: START
extern const int16_t data0[DATA0_SAMPLES];           // status screen clip
extern const int16_t g_data0[G_DATA0_SAMPLES];       // image screen clip
extern const unsigned char fontdata_8x8[2048];       // VGA 8x8 font, code page 437
}

#include "workloads.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "input/keys.h"
#include "procedures/procedures.h"

namespace workload {

namespace {

constexpr uint32_t kBlack = 0xFF000000u;
int16_t stereo_scratch[2 * sample_count];
uint32_t period_index = 0;

}  // namespace

Canvas::Canvas() : fb_(240 * 240, 0) {
    FB_buf = fb_.data();
    width = 240;
    height = 240;
    colorWidth = 32;
}

Canvas::~Canvas() {
    FB_buf = nullptr;
}

void fill_window() {
    draw_rect_color(0, 0, 240, 180, 0, 0, 0);
}

void copy_window_image() {
    copy_image(240, 180, sample_img);
}

void text_line(int size) {
    show_string(0, 0, kTextLine, 255, 255, 255, static_cast<uint8_t>(size));
}

void audio_period() {
    // Walks through the image screen's clip at full volume (gain 1.5, where
    // loud samples clip), as the audio test plays it.
    const uint32_t periods = G_DATA0_SAMPLES / sample_count;
    const int16_t *at = g_data0 + size_t{period_index} * sample_count;
    prepare_period(at, at, 0.015f, stereo_scratch);
    period_index = (period_index + 1) % periods;
}

void status_pass() {
    status_screen_draw();
}

void key_pass() {
    uint8_t raw[KEY_COUNT];
    read_key_gamepad_raw(raw);
    key_scan_pass(raw);
}

void fill_window_limit(Canvas &c) {
    std::fill(c.window(), c.window() + 240 * 180, kBlack);
}

void copy_image_limit(Canvas &c) {
    std::memcpy(c.window(), sample_img, size_t{240} * 180 * 4);
}

size_t text_words(int size) {
    size_t bits = 0;
    for (const char *p = kTextLine; *p != '\0'; ++p) {
        const unsigned char *glyph = &fontdata_8x8[8u * static_cast<unsigned char>(*p)];
        for (int i = 0; i < 8; ++i)
            bits += static_cast<size_t>(std::popcount(static_cast<unsigned>(glyph[i])));
    }
    // One rectangle of size x (size + 1) per set bit.
    return bits * static_cast<size_t>(size) * static_cast<size_t>(size + 1);
}

void text_limit(Canvas &c, int size) {
    std::fill(c.window(), c.window() + text_words(size), 0xFFFFFFFFu);
}

void prepare_audio() {
    const size_t bytes = sizeof(uint32_t) * sample_count;
    if (audio_buf == nullptr)
        audio_buf = static_cast<uint32_t *>(malloc(bytes));
    if (audio_PCM_buffer == nullptr)
        audio_PCM_buffer = static_cast<uint16_t *>(malloc(bytes));
    init_audio_transfer();
}

}  // namespace workload

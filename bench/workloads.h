// The program's time-critical steps and their physical limits, set up the
// same way for the host benchmarks (mp_bench) and the instruction counts on
// armel (mp_insn_count), so both measure the very same work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace workload {

// Real-time budgets the figures are held against.
constexpr double kPeriodBudgetSec = 256.0 / 44100.0;  // one period on the card, ~5.8 ms
constexpr double kStatusPassSec = 0.010;              // backlight and status thread pass
constexpr double kKeyPassSec = 0.015;                 // key scanner pass

constexpr const char *kTextLine = "BAT 4.05 V";  // a 10-character status line

// A heap framebuffer shaped like the device's (240 x 240 words, window at
// row 39), installed as FB_buf. Drawing into it costs what drawing into the
// mapping costs, without a device behind it.
class Canvas {
  public:
    Canvas();
    ~Canvas();
    Canvas(const Canvas &) = delete;
    Canvas &operator=(const Canvas &) = delete;
    uint32_t *window() { return fb_.data() + 39 * 240; }

  private:
    std::vector<uint32_t> fb_;
};

// ---- the program's work --------------------------------------------------
void fill_window();        // draw_rect_color of the whole 240 x 180 window
void copy_window_image();  // copy_image of the image screen (draw_image without its push)
void text_line(int size);  // show_string of kTextLine at (0, 0)
void audio_period();       // prepare_period: copy, one wheel reading, 512 scalings
void status_pass();        // status_screen_draw: three reads and the drawing
void key_pass();           // seven rewinds and reads, debounce and publication

// ---- the limits: the same bytes moved by the C++ library -----------------
void fill_window_limit(Canvas &c);  // std::fill of the window's words
void copy_image_limit(Canvas &c);   // memcpy of the image's bytes into the window
void text_limit(Canvas &c, int size);
size_t text_words(int size);  // words show_string stores for kTextLine at this size

// Sets up what the steps read: the audio buffers and the volume table. The
// device handles (keys, detect lines, battery, volume wheel) are the caller's:
// opened by init_fd on the simulated device, or plain files; a wheel handle
// that did not open reads as full volume, like the device without its ADC.
void prepare_audio();

}  // namespace workload

// Helpers for the MP test sequence on the simulated device: expected panel
// frames drawn in-process, the operator's key taps, the backlight journal and
// an independent model of the audio test's output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace mptest {

using Window = std::vector<uint32_t>;  // 240 x 180 words 0xAARRGGBB, row by row

constexpr const char *kDuty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
// The finish script leaves its trace on the data partition.
constexpr const char *kFinish = "echo ran > /mnt/UDISK/finish-trace";
constexpr const char *kFinishTrace = "/mnt/UDISK/finish-trace";

// ---- expected frames --------------------------------------------------------
// A window drawn by `draw` with the program's own primitives on a black canvas.
Window render(const std::function<void()> &draw);
// A built-in 240 x 180 image as the panel shows it.
Window image(const uint8_t *img);
Window filled(uint8_t r, uint8_t g, uint8_t b);
// The failure display of the key test for key index btn.
Window failure_label(int btn);
// The status screen with the given detect levels and battery reading.
Window status_screen(int headphone, int usb, int battery_raw);

bool same(const mpsim::Frame &f, const Window &w, std::string *why = nullptr);
// Waits until the panel's latest frame is w.
bool wait_showing(mpsim::Device &dev, const Window &w, mpsim::Ms timeout);
// Index of the first frame from `from` on that equals w, or -1.
int find_frame(const mpsim::Device &dev, const Window &w, int from = 0);

// ---- the operator -----------------------------------------------------------
// The key scanner publishes a key after two samples 15 ms apart; an operator
// holds a key far longer and rests as long between presses.
constexpr mpsim::Ms kHold{500};
void press(mpsim::Device &dev, std::initializer_list<mpsim::Key> keys);
void release(mpsim::Device &dev, std::initializer_list<mpsim::Key> keys);
void rest();
// Press, hold, release, rest.
void tap(mpsim::Device &dev, std::initializer_list<mpsim::Key> keys);

// ---- backlight --------------------------------------------------------------
struct Duty {
    uint64_t time_ns;
    int value;
};
std::vector<Duty> duty_writes(const mpsim::Device &dev);
// The sweep's percents from program start: 0, 1, ..., 100, 99, ..., 1, 0, 1, ...
int sweep_percent(size_t pass);

// ---- audio ------------------------------------------------------------------
struct Clip {
    const int16_t *samples;
    unsigned count;
    float gain;  // per volume percent
};
Clip image_clip();   // g_data0, 0.015
Clip status_clip();  // data0, 0.01

// What the audio test must play, computed here on its own: the sample
// times (percent x gain) in single precision, truncated toward zero, clipped.
int16_t expected_sample(int16_t s, int percent, float gain);

struct AudioMatch {
    bool ok = false;
    std::string why;
    size_t periods = 0;
    int skips = 0;                          // periods the card refused (underruns)
    std::vector<size_t> per_percent;        // periods matched at each candidate percent
    bool hit_min = false, hit_max = false;  // -32768 and 32767 appear
};
// Matches a finished recording period by period with the clip from its first
// sample, each period scaled by one of `percents`, taken in that order (the
// wheel moves forward through them). A period may be skipped up to max_skips
// times in all; a period is never repeated.
AudioMatch match_recording(const mpsim::Recording &r, const Clip &clip,
                           const std::vector<int> &percents, int max_skips);

// Waits until the card has taken `periods` more periods than `since`.
bool wait_played(mpsim::Device &dev, int32_t since, int periods, mpsim::Ms timeout);

// ---- process ----------------------------------------------------------------
// CPU time (user + system) the process has used, in seconds.
double cpu_seconds(pid_t pid);

}  // namespace mptest

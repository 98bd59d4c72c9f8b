// What the scenario files cannot say, on the simulated device: relations
// between successive writes. The porch calibration follows its rule for the
// rates the program itself measured (read back from its porch writes and its
// screen); the backlight sweeps one step a pass and resumes after the status
// screen; the failure display blinks in 100 ms phases. One lost TE edge moves
// a measured rate by 1/3 FPS, so nothing here expects a nominal rate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "display/draw.h"
#include "mpsim/harness.h"

namespace {

using mpsim::Device;
using mpsim::Key;
using namespace std::chrono_literals;

constexpr auto kLong = 60s;          // generous: sanitizers, a loaded machine
constexpr double kLost = 4.0 / 3.0;  // up to four TE edges lost over the 3 s count
const std::string kDuty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";

void keys(Device &d, std::initializer_list<Key> ks, bool down) {
    for (Key k : ks)
        d.set_key(k, down);
}

// An operator's press (0.25 s), then the panel's push number `push`.
void press(Device &d, std::initializer_list<Key> ks, int push) {
    keys(d, ks, true);
    std::this_thread::sleep_for(250ms);
    keys(d, ks, false);
    ASSERT_TRUE(d.wait_pushes(push, kLong)) << "stuck at push " << d.pushes();
}

// Power-on with an entry combination held (mode 2 or 3), let go once drawn.
void enter(Device &d, int mode) {
    d.set_volume_percent(mode == 2 ? 100 : 0);
    keys(d, {mode == 2 ? Key::Right : Key::Left, Key::Start, Key::B}, true);
    d.start_mp_test(d.root(), "true");
    ASSERT_TRUE(d.wait_pushes(1, kLong));
    d.release_all_keys();
}

// From power-on to the key test's DOWN prompt (push 11).
void to_key_test(Device &d) {
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_te_clock(20846);  // 60.6 FPS: good even with lost edges
    enter(d, 2);
    ASSERT_TRUE(d.wait_pushes(6, kLong));
    press(d, {Key::A, Key::B}, 7);
    std::this_thread::sleep_for(300ms);
    press(d, {Key::Up}, 8);
    press(d, {Key::Up}, 10);
    press(d, {Key::Up}, 11);
}

struct Write {
    uint64_t t;
    int value;
    std::string bytes;
};
std::vector<Write> writes(const Device &d, const std::string &path) {
    std::vector<Write> out;
    for (const auto &e : d.journal("write", path)) {
        std::string b(e.bytes.begin(), e.bytes.end());
        out.push_back({e.time_ns, atoi(b.c_str()), b});
    }
    return out;
}

// The value field at (88, y) of frame f shows `text` in yellow, as the
// program's 8x8 font at size 2 draws it.
bool shows(const mpsim::Frame &f, int y, const std::string &text) {
    std::vector<uint32_t> fb(240 * (WINDOW_FIRST_ROW + 20));
    uint32_t *saved = FB_buf;
    const int sw = width, sh = height;
    FB_buf = fb.data();
    width = 240;
    height = WINDOW_FIRST_ROW + 20;
    draw_rect_color(88, 0, 144, 20, 0, 0, 0);
    show_string(88, 0, text.c_str(), 255, 255, 0, 2);
    FB_buf = saved;
    width = sw;
    height = sh;
    for (int r = 0; r < 20; r++)
        for (int x = 88; x < 232; x++)
            if ((fb[(WINDOW_FIRST_ROW + r) * 240 + x] ^ f.at(x, y + r)) & 0xFFFFFFu)
                return false;
    return true;
}

// The rate shown in yellow, among those a measurement can give at `nominal`.
double shown_rate(const mpsim::Frame &f, double nominal) {
    for (int c = static_cast<int>(std::floor((nominal - kLost) * 100)); c <= nominal * 100 + 5;
         c++) {
        char text[16];
        snprintf(text, sizeof text, "%.2f FPS", c / 100.0);
        if (shows(f, 152, text))
            return c / 100.0;
    }
    return -1;
}

int offset(double fps) {
    return static_cast<int>(fps - 60.0);
}

// Calibration from the measurement at porch 24 (the `from` porch write on):
// the candidate, its neighbour, the winner applied again, stored and shown.
void expect_calibration(Device &d, int clock, size_t from) {
    auto nominal = [&](int porch) { return clock / (320.0 + porch); };
    ASSERT_TRUE(d.wait_journal("rename", "/mnt/UDISK/.lcdporch.tmp", 4 * kLong))
        << "nothing stored";
    std::vector<Write> w = writes(d, "/sys/kernel/screen_update/lcdporch");
    ASSERT_EQ(w.size(), from + 3) << "the candidate, its neighbour, the winner";
    const int cand = w[from].value, trial = w[from + 1].value, won = w[from + 2].value;
    // The candidate is the whole part of (rate * 344 / 60 - 320) for a rate
    // measured at 24: that rate lies in [lo, hi).
    const double lo = (cand + 320) * 60.0 / 344.0, hi = (cand + 321) * 60.0 / 344.0;
    EXPECT_TRUE(hi > nominal(24) - kLost && lo <= nominal(24) + 0.05) << "candidate " << cand;
    EXPECT_EQ(std::abs(trial - cand), 1);
    ASSERT_TRUE(won == cand || won == trial) << won;
    char stored[4] = {};
    snprintf(stored, sizeof stored, "%d", won);
    EXPECT_EQ(d.read_file("/mnt/UDISK/.lcdporch"), std::string(stored, 3));
    double s = -1;
    ASSERT_TRUE(d.wait_until(
        [&] {
            auto f = d.current_frame();
            return f && shows(*f, 128, std::to_string(won)) &&
                   (s = shown_rate(*f, nominal(won))) >= 0;
        },
        10s))
        << "not porch " << won << " and a rate it could give, in yellow";
    if (won == cand) {
        // The shown rate is the one measured at the candidate: it chose the
        // trial's side, and the trial measured worse.
        EXPECT_EQ(trial == cand + 1, s > 60.0) << s;
        EXPECT_TRUE(std::abs(offset(nominal(trial) - kLost)) > std::abs(offset(s)) ||
                    std::abs(offset(nominal(trial) + 0.05)) > std::abs(offset(s)));
    } else {
        // The trial won: the candidate measured no better (a tie goes to the
        // trial), on the side the trial was taken.
        bool found = false;
        for (double f0 = nominal(cand) - kLost; f0 <= nominal(cand) + 0.05; f0 += 0.01)
            found = found || ((f0 > 60.0) == (trial == cand + 1) &&
                              std::abs(offset(f0)) >= std::abs(offset(s)));
        EXPECT_TRUE(found) << "no rate at " << cand << " makes " << trial << " the winner";
    }
}

TEST(Calibration, StoredPorchAtAFastPanelStartsAgainFromTheDefault) {
    Device d;
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_te_clock(static_cast<int>(62.0 * 344));
    enter(d, 2);
    expect_calibration(d, static_cast<int>(62.0 * 344), 2);
    const auto w = writes(d, "/sys/kernel/screen_update/lcdporch");
    EXPECT_EQ(w[0].value, 24);
    EXPECT_EQ(w[1].value, 24) << "a stored porch is measured again at the default first";
}

TEST(Calibration, NoPorchFileAndASlowPanelCalibratesWithoutMeasuringAgain) {
    Device d;
    d.set_te_clock(static_cast<int>(58.0 * 344));
    enter(d, 3);
    expect_calibration(d, static_cast<int>(58.0 * 344), 1);
}

TEST(Backlight, SweepsAStepAPassAndResumesAfterTheStatusScreen) {
    Device d;
    to_key_test(d);
    for (auto [k, push] : {std::pair{Key::Down, 12}, {Key::Left, 13}, {Key::Up, 14}})
        press(d, {k}, push);
    press(d, {Key::Start}, 15);
    auto duty_writes = [&](size_t n) {
        ASSERT_TRUE(d.wait_until([&] { return writes(d, kDuty).size() >= n; }, kLong));
    };
    duty_writes(1 + 205);  // a whole sweep, both ends
    press(d, {Key::Up}, 16);
    std::this_thread::sleep_for(300ms);
    const size_t before = writes(d, kDuty).size();
    press(d, {Key::Up}, d.pushes() + 1);
    duty_writes(before + 20);
    keys(d, {Key::A, Key::B}, true);
    ASSERT_TRUE(d.wait_exit(kLong).has_value());

    // Full for the information screen; then 0, 1, ..., 100, 99, ..., 0, 1 %
    // (800 a percent), the status screen's single 80000 between, the sweep
    // going on where it stopped.
    const auto w = writes(d, kDuty);
    ASSERT_FALSE(w.empty());
    // A sysfs value goes out as the whole 10-byte buffer: digits, then zeros.
    EXPECT_EQ(w[0].bytes, std::string("80000\0\0\0\0\0", 10));
    EXPECT_EQ(w[1].bytes, std::string("0\0\0\0\0\0\0\0\0\0", 10));
    int step = 0, status = 0;
    for (size_t i = 1; i < w.size(); i++) {
        const int c = step % 200, want = (c <= 100 ? c : 200 - c) * 800;
        if (w[i].value == want)
            step++;
        else if (w[i].value == 80000)
            status++;
        else
            FAIL() << "duty write " << i << " is " << w[i].value << ", sweep step " << step
                   << " is " << want;
    }
    EXPECT_EQ(status, 1);
    EXPECT_GE(step, 225);
}

}  // namespace

// What the scenario files cannot say, on the simulated device: relations
// between successive writes. The porch calibration follows its rule for the
// rates the program itself measured (calibration_rule.h, which the virtual
// machine's tests share); the backlight sweeps one step a pass and resumes
// after the status screen.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "calibration_rule.h"
#include "mpsim/harness.h"

namespace {

using calibration::kLong;
using calibration::writes;
using mpsim::Device;
using mpsim::Key;
using namespace std::chrono_literals;

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

// From power-on to the key test's DOWN prompt (push 11).
void to_key_test(Device &d) {
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_te_clock(20846);  // 60.6 FPS: good even with lost edges
    calibration::enter(d, 2, d.root(), "true");
    ASSERT_TRUE(d.wait_pushes(6, kLong));
    press(d, {Key::A, Key::B}, 7);
    std::this_thread::sleep_for(300ms);
    press(d, {Key::Up}, 8);
    press(d, {Key::Up}, 10);
    press(d, {Key::Up}, 11);
}

TEST(Calibration, StoredPorchAtAFastPanelStartsAgainFromTheDefault) {
    Device d;
    calibration::stored_porch_at_a_fast_panel(d, d.root(), "true");
}

TEST(Calibration, NoPorchFileAndASlowPanelCalibratesWithoutMeasuringAgain) {
    Device d;
    calibration::no_porch_file_and_a_slow_panel(d, d.root(), "true");
}

// One measurement: 2 s for the line to settle, then 3 s counted, each ending
// at the first TE edge after its time (16 ms at 58 FPS) and 5 ms of sleep;
// the calibration's measurements at the candidate and at its neighbour lie
// between its porch writes. A machine's stalls only lengthen one, and not by
// 0.7 s; one that settled 1 s or 3 s stands out.
TEST(Calibration, AMeasurementSettlesFor2SecondsThenCountsFor3) {
    Device d;
    d.set_te_clock(static_cast<int>(58.0 * 344));
    ASSERT_NO_FATAL_FAILURE(calibration::enter(d, 3, d.root(), "true"));
    ASSERT_TRUE(d.wait_journal("rename", "/mnt/UDISK/.lcdporch.tmp", 4 * kLong))
        << writes(d, "/sys/kernel/screen_update/lcdporch").size() << " porch write(s), "
        << d.pushes() << " push(es); standard output:\n"
        << d.stdout_text();
    const auto w = writes(d, "/sys/kernel/screen_update/lcdporch");
    ASSERT_EQ(w.size(), 4u) << "the default, the candidate, its neighbour, the winner";
    for (size_t i : {1, 2}) {
        const double s = static_cast<double>(w[i + 1].t - w[i].t) / 1e9;
        EXPECT_GT(s, 4.6) << "measurement at porch " << w[i].value;
        EXPECT_LT(s, 5.7) << "measurement at porch " << w[i].value;
    }
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

// The MP test sequence of the real program on the simulated device, entered
// the way an operator does it: RIGHT+START+B from power-on at full volume,
// the information screen with its frame-rate measurement, then A+B.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "assets.h"
#include "input/keys.h"
#include "mp_check.h"
#include "mpsim/harness.h"

namespace {

using mpsim::Device;
using mpsim::Key;
using mpsim::Ms;
using namespace mptest;
using namespace std::chrono_literals;

// Generous: the machine is shared, and sanitizers and emulation are slow.
constexpr Ms kLong = 60s;

// From power-on to the white window that opens the colour test, with A and B
// released again.
void enter_mp(Device &dev) {
    dev.set_volume_percent(100);
    press(dev, {Key::Right, Key::Start, Key::B});
    dev.start_mp_test("/mnt/app", kFinish);
    ASSERT_TRUE(dev.wait_pushes(1, kLong)) << "no information screen\n" << dev.stdout_text();
    dev.release_all_keys();
    // The third push is the "Waiting.." of the measurement, after the screen
    // has seen the keys released; A+B then count once the scanner resumes.
    ASSERT_TRUE(dev.wait_pushes(3, kLong));
    press(dev, {Key::A, Key::B});
    ASSERT_TRUE(wait_showing(dev, filled(255, 255, 255), kLong)) << "the MP test did not start";
    release(dev, {Key::A, Key::B});
    rest();
}

// Colour test with single taps, then the four prompts with the right keys,
// up to the image screen of the backlight and status thread.
void pass_colour_and_key_tests(Device &dev) {
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, filled(0, 0, 0), kLong));
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, image(color_img), kLong));
    tap(dev, {Key::Up});
    const std::pair<const uint8_t *, Key> stages[] = {{sample_img_down, Key::Down},
                                                      {sample_img_left, Key::Left},
                                                      {sample_img_up, Key::Up},
                                                      {sample_img_start, Key::Start}};
    for (const auto &[prompt, key] : stages) {
        ASSERT_TRUE(wait_showing(dev, image(prompt), kLong));
        tap(dev, {key});
    }
    ASSERT_TRUE(wait_showing(dev, image(sample_img), kLong)) << "no image screen";
}

std::vector<Duty> writes_between(const std::vector<Duty> &all, uint64_t after, uint64_t before) {
    std::vector<Duty> out;
    for (const Duty &d : all) {
        if (d.time_ns > after && d.time_ns < before)
            out.push_back(d);
    }
    return out;
}

void expect_recording(const Device &dev, int index, const Clip &clip,
                      const std::vector<int> &percents, AudioMatch *out = nullptr) {
    mpsim::Recording r = dev.recording(index);
    AudioMatch m = match_recording(r, clip, percents, dev.underruns());
    EXPECT_TRUE(m.ok) << "recording " << index << ": " << m.why;
    for (size_t i = 0; i < percents.size(); i++) {
        EXPECT_GE(m.per_percent[i], 10u) << "recording " << index << " has " << m.per_percent[i]
                                         << " periods at " << percents[i] << " percent";
    }
    if (out)
        *out = m;
}

// A change of screen (or the exit) ends the clip after the period under way,
// not at the end of its pass. `played_before` is the card's count of frames
// taken just before the operator's key; the pass under way then must not be
// played to its end. The check is left out when the key came so close to the
// end of a pass that the program's reaction could carry it over.
void expect_stopped_in_pass(const Device &dev, int index, const AudioMatch &m, const Clip &clip,
                            int32_t played_before) {
    int64_t earlier = 0;
    for (int i = 0; i < index; i++)
        earlier += static_cast<int64_t>(dev.recording(i).frames());
    const int64_t before = (played_before - earlier) / 256;  // periods of this recording
    const int64_t pass = clip.count / 256;
    if (before < 0 || before % pass > pass / 2)
        return;
    const int64_t consumed = static_cast<int64_t>(m.periods) + m.skips;
    EXPECT_LT(consumed, (before / pass + 1) * pass)
        << "recording " << index << " played its clip to the end after the key (" << before
        << " periods before it)";
}

TEST(MpSequence, ColourKeySweepStatusAudioThenExitOnStatusScreen) {
    Device dev;
    dev.set_headphone(0);
    dev.set_usb(1);
    dev.set_battery_raw(84);
    enter_mp(dev);
    if (HasFatalFailure())
        return;

    // ---- colour test ---------------------------------------------------------
    // The A and B of the combination do not acknowledge the white stage.
    int frames_at_white = dev.frame_count();
    rest();
    EXPECT_EQ(dev.frame_count(), frames_at_white) << "the released A+B moved the colour test on";

    // Several keys held together: one acknowledgement, and only on release.
    press(dev, {Key::Up, Key::Left, Key::Start});
    rest();
    EXPECT_EQ(dev.frame_count(), frames_at_white)
        << "the colour test moved on while keys were held";
    release(dev, {Key::Up, Key::Left, Key::Start});
    ASSERT_TRUE(wait_showing(dev, filled(0, 0, 0), kLong)) << "no black stage";
    rest();
    EXPECT_TRUE(same(*dev.current_frame(), filled(0, 0, 0)))
        << "keys held together acknowledged more than one stage";
    tap(dev, {Key::A});
    ASSERT_TRUE(wait_showing(dev, image(color_img), kLong)) << "no colour image stage";
    tap(dev, {Key::B});

    // ---- key test --------------------------------------------------------------
    ASSERT_TRUE(wait_showing(dev, image(sample_img_down), kLong)) << "no DOWN prompt";
    // DOWN comes before LEFT in the scan, so the pair passes the DOWN prompt;
    // the LEFT prompt waits for both to be released.
    press(dev, {Key::Down, Key::Left});
    rest();
    rest();
    EXPECT_TRUE(same(*dev.current_frame(), image(sample_img_down)))
        << "the next prompt came while the keys were held";
    release(dev, {Key::Down, Key::Left});
    ASSERT_TRUE(wait_showing(dev, image(sample_img_left), kLong)) << "no LEFT prompt";
    tap(dev, {Key::Left});
    ASSERT_TRUE(wait_showing(dev, image(sample_img_up), kLong)) << "no UP prompt";
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, image(sample_img_start), kLong)) << "no START prompt";
    int frames_at_start = dev.frame_count();
    press(dev, {Key::Start});
    rest();
    rest();
    EXPECT_EQ(dev.frame_count(), frames_at_start) << "the key test ended while START was held";
    release(dev, {Key::Start});

    // ---- image screen: sweep and the image clip ------------------------------
    ASSERT_TRUE(wait_showing(dev, image(sample_img), kLong)) << "no image screen";
    const int img0 = find_frame(dev, image(sample_img), frames_at_start);
    ASSERT_GE(img0, 0);
    const uint64_t t_img0 = dev.frame(img0).time_ns;
    EXPECT_EQ(dev.gpio_level(128), 1) << "GPIO 128 not driven high for the audio test";

    // At full volume the image clip clips at both ends early on.
    const int32_t played0 = dev.state().frames_played.load();
    ASSERT_TRUE(wait_played(dev, played0, 60, kLong)) << "no sound on the image screen";
    dev.set_volume_percent(37);
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 60, kLong));
    // A whole sweep up and a good part of the way down.
    ASSERT_TRUE(dev.wait_until(
        [&] { return writes_between(duty_writes(dev), t_img0, UINT64_MAX).size() >= 140; }, kLong))
        << "the backlight does not sweep";

    // ---- status screen ----------------------------------------------------------
    const int r_img = dev.recording_count() - 1;
    const int frames_before_status = dev.frame_count();
    const int32_t played_before_status = dev.state().frames_played.load();
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, status_screen(0, 1, 84), kLong)) << "no status screen";
    const int stat0 = find_frame(dev, status_screen(0, 1, 84), frames_before_status);
    ASSERT_GE(stat0, 0);
    const uint64_t t_stat0 = dev.frame(stat0).time_ns;
    ASSERT_TRUE(dev.wait_until([&] { return dev.recording_count() > r_img + 1; }, kLong))
        << "the audio test did not restart with the status clip";
    const int r_stat = r_img + 1;

    // The status clip follows the wheel too; at 0 it plays silence.
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong));
    dev.set_headphone(1);
    EXPECT_TRUE(wait_showing(dev, status_screen(1, 1, 84), kLong)) << "headphone box not redrawn";
    dev.set_volume_percent(0);
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong));
    dev.set_usb(0);
    EXPECT_TRUE(wait_showing(dev, status_screen(1, 0, 84), kLong)) << "USB box not redrawn";
    dev.set_volume_percent(55);
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 20, kLong));
    const int underruns_before = dev.underruns();
    dev.request_underruns(1);
    ASSERT_TRUE(dev.wait_until([&] { return dev.underruns() > underruns_before; }, kLong));
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong))
        << "playback did not go on after an underrun";
    for (int raw : {0, 63, 85}) {
        dev.set_battery_raw(raw);
        EXPECT_TRUE(wait_showing(dev, status_screen(1, 0, raw), kLong))
            << "battery reading " << raw << " not shown";
    }

    // ---- back to the image screen, then the status screen again -----------------
    const int frames_before_img1 = dev.frame_count();
    tap(dev, {Key::B});
    ASSERT_TRUE(wait_showing(dev, image(sample_img), kLong)) << "no way back to the image screen";
    const int img1 = find_frame(dev, image(sample_img), frames_before_img1);
    ASSERT_GE(img1, 0);
    const uint64_t t_img1 = dev.frame(img1).time_ns;
    ASSERT_TRUE(dev.wait_until([&] { return dev.recording_count() > r_stat + 1; }, kLong));
    const int r_img2 = r_stat + 1;
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong));
    dev.set_volume_percent(100);
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong));
    ASSERT_TRUE(dev.wait_until(
        [&] { return writes_between(duty_writes(dev), t_img1, UINT64_MAX).size() >= 30; }, kLong));

    const int frames_before_stat1 = dev.frame_count();
    tap(dev, {Key::Down});
    ASSERT_TRUE(wait_showing(dev, status_screen(1, 0, 85), kLong));
    const int stat1 = find_frame(dev, status_screen(1, 0, 85), frames_before_stat1);
    ASSERT_GE(stat1, 0);
    const uint64_t t_stat1 = dev.frame(stat1).time_ns;
    ASSERT_TRUE(dev.wait_until([&] { return dev.recording_count() > r_img2 + 1; }, kLong));
    const int r_stat2 = r_img2 + 1;
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 40, kLong));

    // ---- exit combination --------------------------------------------------------
    const int32_t played_before_exit = dev.state().frames_played.load();
    press(dev, {Key::A, Key::B});
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value()) << "the exit combination did not end the MP test";
    EXPECT_TRUE(st->exited);
    EXPECT_EQ(st->code, 0) << dev.stderr_text();
    EXPECT_TRUE(dev.read_file(kFinishTrace).has_value()) << "no hand-off: finish script not run";
    EXPECT_TRUE(dev.keys_bound()) << "keys not given back";
    EXPECT_EQ(dev.gpio_level(128), 1);
    EXPECT_EQ(dev.recording_count(), r_stat2 + 1) << "sound played after the exit combination";

    // ---- the backlight as the journal saw it -------------------------------------
    const std::vector<Duty> all = duty_writes(dev);
    std::vector<Duty> up_to_status = writes_between(all, t_img0, t_stat0);
    std::vector<Duty> on_status = writes_between(all, t_stat0, t_img1);
    std::vector<Duty> resumed = writes_between(all, t_img1, t_stat1);
    std::vector<Duty> after = writes_between(all, t_stat1, UINT64_MAX);
    ASSERT_GE(up_to_status.size(), 141u);
    ASSERT_GE(resumed.size(), 31u);
    // Each change to the status screen sets full brightness, and nothing
    // else is written while it shows.
    EXPECT_EQ(up_to_status.back().value, 80000);
    EXPECT_EQ(resumed.back().value, 80000);
    EXPECT_TRUE(on_status.empty()) << on_status.size() << " duty writes on the status screen";
    EXPECT_TRUE(after.empty()) << after.size() << " duty writes after the last change of screen";
    up_to_status.pop_back();
    resumed.pop_back();
    // One sweep from the first pass on: 0, 800, ..., 80000, 79200, ...,
    // continued after the status screen where it stopped.
    std::vector<Duty> sweep = up_to_status;
    sweep.insert(sweep.end(), resumed.begin(), resumed.end());
    for (size_t k = 0; k < sweep.size(); k++) {
        ASSERT_EQ(sweep[k].value, sweep_percent(k) * 800)
            << "sweep step " << k << (k < up_to_status.size() ? "" : " (after the status screen)");
    }

    // ---- the sound, sample by sample ---------------------------------------------
    AudioMatch m;
    expect_recording(dev, r_img, image_clip(), {100, 37}, &m);
    EXPECT_TRUE(m.hit_min && m.hit_max) << "the image clip at full volume did not clip";
    expect_stopped_in_pass(dev, r_img, m, image_clip(), played_before_status);
    expect_recording(dev, r_stat, status_clip(), {37, 0, 55}, &m);
    EXPECT_GE(m.skips, 1) << "the period refused by the underrun was played again";
    expect_recording(dev, r_img2, image_clip(), {55, 100});
    expect_recording(dev, r_stat2, status_clip(), {100}, &m);
    expect_stopped_in_pass(dev, r_stat2, m, status_clip(), played_before_exit);
}

TEST(MpSequence, WrongKeyEndsInTheBlinkingFailureDisplay) {
    Device dev;
    enter_mp(dev);
    if (HasFatalFailure())
        return;
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, filled(0, 0, 0), kLong));
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, image(color_img), kLong));
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, image(sample_img_down), kLong));

    // UP comes before DOWN in the scan: the pair fails at the DOWN prompt.
    press(dev, {Key::Up, Key::Down});
    ASSERT_TRUE(wait_showing(dev, failure_label(KEY_UP), kLong)) << "no failure display";
    const int fail = find_frame(dev, failure_label(KEY_UP));
    const uint64_t t_fail = dev.frame(fail).time_ns;
    release(dev, {Key::Up, Key::Down});

    ASSERT_TRUE(dev.wait_until(
        [&] { return writes_between(duty_writes(dev), t_fail, UINT64_MAX).size() >= 12; }, kLong))
        << "the backlight does not blink";
    std::vector<Duty> blink = writes_between(duty_writes(dev), t_fail, UINT64_MAX);
    std::vector<uint64_t> gaps;
    for (size_t i = 0; i < blink.size(); i++) {
        EXPECT_EQ(blink[i].value, i % 2 == 0 ? 0 : 80000) << "blink write " << i;
        if (i > 0)
            gaps.push_back(blink[i].time_ns - blink[i - 1].time_ns);
    }
    for (uint64_t g : gaps)
        EXPECT_GE(g, 99'000'000u) << "a blink phase shorter than 100 ms";
    std::sort(gaps.begin(), gaps.end());
    EXPECT_LT(gaps[gaps.size() / 2], 500'000'000u) << "the blink is far slower than 100 ms";

    // The failure display is final: no key leads out, no hand-off follows.
    tap(dev, {Key::A, Key::B});
    tap(dev, {Key::Start});
    EXPECT_TRUE(dev.running());
    EXPECT_TRUE(same(*dev.current_frame(), failure_label(KEY_UP)));
    EXPECT_FALSE(dev.read_file(kFinishTrace).has_value()) << "hand-off after a failed key test";
    EXPECT_FALSE(dev.keys_bound());
    dev.kill_program();
}

TEST(MpSequence, WithoutSoundDeviceIdlesAndEndsOnTheImageScreen) {
    Device dev;
    dev.set_headphone(1);
    dev.set_usb(0);
    dev.set_battery_raw(80);
    dev.fail_sound_open(ENODEV);
    enter_mp(dev);
    if (HasFatalFailure())
        return;
    pass_colour_and_key_tests(dev);
    if (HasFatalFailure())
        return;

    // Both screens, each with an audio test that cannot play.
    const double cpu0 = cpu_seconds(dev.pid());
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, status_screen(1, 0, 80), kLong)) << "no status screen";
    std::this_thread::sleep_for(1500ms);
    const double cpu1 = cpu_seconds(dev.pid());
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    ASSERT_GE(cpu0, 0.0);
    // Idle polling costs a few hundredths of a CPU second per second; a loop
    // that spins takes a whole core, or half of one on a loaded machine.
    EXPECT_LT((cpu1 - cpu0) / wall, 0.25)
        << "busy without a sound device: " << cpu1 - cpu0 << " CPU seconds in " << wall << " s";
    EXPECT_EQ(dev.recording_count(), 0);

    tap(dev, {Key::Up});
    ASSERT_TRUE(wait_showing(dev, image(sample_img), kLong));
    press(dev, {Key::A, Key::B});
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value()) << "the exit combination did not end the MP test";
    EXPECT_TRUE(st->exited);
    EXPECT_EQ(st->code, 0) << dev.stderr_text();
    EXPECT_TRUE(dev.read_file(kFinishTrace).has_value()) << "no hand-off: finish script not run";
    EXPECT_EQ(dev.gpio_level(128), 1);
}

}  // namespace

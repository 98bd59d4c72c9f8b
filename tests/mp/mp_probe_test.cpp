// Single procedures of the MP test run by a small program on the simulated
// device, without the information screen in front: the failure display of
// every key, the key test's wrong keys, and MP_mode returning after the exit
// combination.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "assets.h"
#include "input/keys.h"
#include "mp_check.h"
#include "mpsim/harness.h"

#ifndef MP_PROBE
#error "MP_PROBE must name the procedure probe program"
#endif

namespace {

using mpsim::Device;
using mpsim::Key;
using mpsim::Ms;
using namespace mptest;
using namespace std::chrono_literals;

constexpr Ms kLong = 60s;

std::vector<std::string> probe(const std::string &cmd, const std::string &arg) {
    return {MP_PROBE, cmd, arg};
}

bool has_red(const mpsim::Frame &f) {
    for (uint32_t p : f.px) {
        if (p == mpsim::rgb(255, 0, 0))
            return true;
    }
    return false;
}

// The backlight goes dark and full in turn, starting dark.
void expect_blinking(Device &dev) {
    ASSERT_TRUE(dev.wait_until([&] { return duty_writes(dev).size() >= 4; }, kLong))
        << "the backlight does not blink";
    std::vector<Duty> d = duty_writes(dev);
    for (size_t i = 0; i < d.size(); i++)
        EXPECT_EQ(d[i].value, i % 2 == 0 ? 0 : 80000) << "duty write " << i;
}

class FailureDisplay : public ::testing::TestWithParam<int> {};

TEST_P(FailureDisplay, NamesTheKeyInRedAndBlinks) {
    const int btn = GetParam();
    Device dev;
    dev.start(probe("twinkle", std::to_string(btn)));
    ASSERT_TRUE(dev.wait_until([&] { return dev.frame_count() >= 1; }, kLong)) << dev.stdout_text();
    auto f = dev.current_frame();
    ASSERT_TRUE(f.has_value());
    if (btn >= 0 && btn < KEY_COUNT) {
        std::string why;
        EXPECT_TRUE(same(*f, failure_label(btn), &why)) << why;
        EXPECT_TRUE(has_red(*f));
    } else {
        EXPECT_FALSE(has_red(*f)) << "a label was drawn for key index " << btn;
    }
    expect_blinking(dev);
    EXPECT_TRUE(dev.running());
    dev.kill_program();
}

INSTANTIATE_TEST_SUITE_P(EveryKeyAndOutOfRange, FailureDisplay,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, -1),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param < 0 ? std::string("Minus1")
                                                : "Key" + std::to_string(p.param);
                         });

struct WrongKey {
    const char *name;
    int passed;                // prompts passed with the right key first
    std::vector<Key> pressed;  // held together at the next prompt
    int label;                 // key index named by the failure display
};
void PrintTo(const WrongKey &w, std::ostream *os) {
    *os << w.name;
}

class KeyTestWrongKey : public ::testing::TestWithParam<WrongKey> {};

const std::pair<const uint8_t *, Key> kPrompts[] = {{sample_img_down, Key::Down},
                                                    {sample_img_left, Key::Left},
                                                    {sample_img_up, Key::Up},
                                                    {sample_img_start, Key::Start}};

void press_all(Device &dev, const std::vector<Key> &keys) {
    for (Key k : keys)
        dev.set_key(k, true);
}

TEST_P(KeyTestWrongKey, FailsWithTheLowestHeldKey) {
    const WrongKey &c = GetParam();
    Device dev;
    dev.start(probe("keytest", kFinish));
    for (int i = 0; i < c.passed; i++) {
        ASSERT_TRUE(wait_showing(dev, image(kPrompts[i].first), kLong)) << "prompt " << i;
        tap(dev, {kPrompts[i].second});
    }
    ASSERT_TRUE(wait_showing(dev, image(kPrompts[c.passed].first), kLong));
    press_all(dev, c.pressed);
    ASSERT_TRUE(wait_showing(dev, failure_label(c.label), kLong))
        << "no failure display naming key " << c.label;
    expect_blinking(dev);
    dev.release_all_keys();
    rest();
    EXPECT_TRUE(dev.running());
    EXPECT_EQ(dev.stdout_text().find("key test passed"), std::string::npos);
    EXPECT_FALSE(dev.read_file(kFinishTrace).has_value());
    dev.kill_program();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyTestWrongKey,
    ::testing::Values(WrongKey{"RightAtDown", 0, {Key::Right}, KEY_RIGHT},
                      WrongKey{"AAtLeft", 1, {Key::A}, KEY_A},
                      WrongKey{"BAtUp", 2, {Key::B}, KEY_B},
                      // DOWN comes before START in the scan.
                      WrongKey{"DownWithStartAtStart", 3, {Key::Start, Key::Down}, KEY_DOWN}),
    [](const ::testing::TestParamInfo<WrongKey> &p) { return std::string(p.param.name); });

TEST(KeyTest, RightKeysPassEachPromptOnlyAfterRelease) {
    Device dev;
    dev.start(probe("keytest", kFinish));
    for (const auto &[prompt, key] : kPrompts) {
        ASSERT_TRUE(wait_showing(dev, image(prompt), kLong));
        const int n = dev.frame_count();
        dev.set_key(key, true);
        rest();
        rest();
        EXPECT_EQ(dev.frame_count(), n) << "moved on while the key was held";
        EXPECT_EQ(dev.stdout_text().find("key test passed"), std::string::npos);
        dev.set_key(key, false);
    }
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(st->code, 0) << dev.stderr_text();
    EXPECT_NE(dev.stdout_text().find("key test passed"), std::string::npos);
    // The four prompts, in order, and nothing else.
    std::vector<mpsim::Frame> frames = dev.frames();
    ASSERT_EQ(frames.size(), 4u);
    for (size_t i = 0; i < 4; i++)
        EXPECT_TRUE(same(frames[i], image(kPrompts[i].first))) << "frame " << i;
}

TEST(MpMode, ReturnsAfterTheExitCombinationOnTheImageScreen) {
    Device dev;
    dev.set_volume_percent(100);
    // As after the information screen: A and B still held.
    press(dev, {Key::A, Key::B});
    dev.start(probe("mp", kFinish));
    ASSERT_TRUE(wait_showing(dev, filled(255, 255, 255), kLong));
    rest();
    release(dev, {Key::A, Key::B});
    rest();
    EXPECT_TRUE(same(*dev.current_frame(), filled(255, 255, 255)))
        << "the entry keys acknowledged the white stage";
    tap(dev, {Key::Start});
    ASSERT_TRUE(wait_showing(dev, filled(0, 0, 0), kLong));
    tap(dev, {Key::Start});
    ASSERT_TRUE(wait_showing(dev, image(color_img), kLong));
    tap(dev, {Key::Start});
    for (const auto &[prompt, key] : kPrompts) {
        ASSERT_TRUE(wait_showing(dev, image(prompt), kLong));
        tap(dev, {key});
    }
    ASSERT_TRUE(wait_showing(dev, image(sample_img), kLong));
    ASSERT_TRUE(wait_played(dev, dev.state().frames_played.load(), 60, kLong));
    const int recordings = dev.recording_count();

    press(dev, {Key::A, Key::B});
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value()) << "MP_mode did not return";
    EXPECT_EQ(st->code, 0) << dev.stderr_text();
    EXPECT_NE(dev.stdout_text().find("MP_mode returned"), std::string::npos);
    EXPECT_TRUE(dev.read_file(kFinishTrace).has_value());
    EXPECT_EQ(dev.gpio_level(128), 1);
    // The image clip, stopped after a whole period by the exit.
    EXPECT_EQ(dev.recording_count(), recordings);
    mpsim::Recording r = dev.recording(recordings - 1);
    AudioMatch m = match_recording(r, image_clip(), {100}, dev.underruns());
    EXPECT_TRUE(m.ok) << m.why;
    EXPECT_GE(m.periods, 60u);
}

}  // namespace

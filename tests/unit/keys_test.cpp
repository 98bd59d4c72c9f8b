// The key scanner's pass: two-sample debounce, publication and the exit
// combination, driven pass by pass so no timing is involved.
#include "input/keys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Starts a scanner's history (all ones) and runs one pass per character of
// `samples` for the UP key ('1' pressed, '0' released); returns what was
// published after each pass.
std::string publish(const std::string &samples, uint8_t before = 0) {
    for (auto &d : debounce)
        d = 0xFF;
    for (auto &k : key_state)
        k = 0;
    key_state[KEY_UP] = before;
    MP_key_combination = false;
    std::string out;
    for (char c : samples) {
        uint8_t raw[KEY_COUNT] = {};
        raw[KEY_UP] = c == '1';
        key_scan_pass(raw);
        out += static_cast<char>('0' + key_state[KEY_UP]);
    }
    return out;
}

TEST(KeyScan, TwoEqualSamplesPublishAChange) {
    EXPECT_EQ(publish("1"), "1") << "held since before the scanner started";
    EXPECT_EQ(publish("000"), "000") << "the first pass sees a pressed history: no change";
    EXPECT_EQ(publish("00", 1), "10") << "a release needs two released samples";
    EXPECT_EQ(publish("00100"), "00000") << "a one-sample press is never published";
    EXPECT_EQ(publish("00110011"), "00011001") << "published on the second equal sample";
}

TEST(KeyScan, ExitCombinationOnlyOnTheMpScreensOnceTheMpTestStarted) {
    struct Case {
        bool mp_started;
        int mode;
        bool exits;
    };
    const Case cases[] = {
        {true, MODE_IMAGE_SCREEN, true}, {true, MODE_STATUS_SCREEN, true},
        {true, MODE_MP_ENTRY, false},    {true, MODE_PORCH_ADJUST, false},
        {true, MODE_NONE, false},        {false, MODE_IMAGE_SCREEN, false},
    };
    for (const Case &c : cases) {
        for (auto &d : debounce)
            d = 0xFF;
        MP_key_combination = c.mp_started;
        mode_type = c.mode;
        exit_MP = 0;
        backlight_task_is_running = true;
        uint8_t raw[KEY_COUNT] = {};
        raw[KEY_A] = raw[KEY_B] = 1;
        const bool goes_on = key_scan_pass(raw);
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        EXPECT_EQ(goes_on, !c.exits);
        EXPECT_EQ(exit_MP, c.exits ? 1 : 0);
        EXPECT_EQ(mode_type, c.exits ? MODE_NONE : c.mode);
        EXPECT_EQ(backlight_task_is_running, !c.exits);
        EXPECT_EQ(key_state[KEY_A] + key_state[KEY_B], 2) << "A and B stay published as held";
    }
}

}  // namespace

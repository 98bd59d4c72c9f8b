// The key scanner's pass logic: debounce, publication and the exit
// combination, driven directly so no timing is involved.
#include "input/keys.h"

#include <gtest/gtest.h>

#include <array>

#include "procedures/procedures.h"
#include "station/station.h"

namespace {

using Raw = std::array<uint8_t, KEY_COUNT>;

Raw pressed(std::initializer_list<int> keys) {
    Raw r{};
    for (int k : keys)
        r[static_cast<size_t>(k)] = 1;
    return r;
}

class KeyScan : public testing::Test {
  protected:
    void SetUp() override {
        // As the scanner starts: history all ones, published state untouched.
        for (auto &d : debounce)
            d = 0xFF;
        for (auto &k : key_state)
            k = 0;
        MP_key_combination = false;
        mode_type = 4;
        exit_MP = 0;
        backlight_task_is_running = true;
    }
    bool pass(const Raw &raw) { return key_scan_pass(raw.data()); }
    Raw published() const {
        Raw r{};
        for (int i = 0; i < KEY_COUNT; i++)
            r[static_cast<size_t>(i)] = key_state[i];
        return r;
    }
};

TEST_F(KeyScan, KeyHeldSinceStartCountsAsHeldAfterTheFirstPass) {
    pass(pressed({KEY_RIGHT, KEY_START, KEY_B}));
    EXPECT_EQ(published(), pressed({KEY_RIGHT, KEY_START, KEY_B}));
}

TEST_F(KeyScan, ReleasedKeyNeedsTwoReleasedSamples) {
    pass(pressed({}));
    EXPECT_EQ(published(), pressed({})) << "first pass: history says pressed, sample released";
    key_state[KEY_UP] = 1;  // as if published held before
    debounce[KEY_UP] = 0xFF;
    pass(pressed({}));
    EXPECT_EQ(key_state[KEY_UP], 1) << "one released sample changes nothing";
    pass(pressed({}));
    EXPECT_EQ(key_state[KEY_UP], 0);
}

TEST_F(KeyScan, ASingleSamplePressIsNeverPublished) {
    pass(pressed({}));
    pass(pressed({}));
    pass(pressed({KEY_DOWN}));
    EXPECT_EQ(key_state[KEY_DOWN], 0);
    pass(pressed({}));
    EXPECT_EQ(key_state[KEY_DOWN], 0);
    pass(pressed({KEY_DOWN}));
    pass(pressed({KEY_DOWN}));
    EXPECT_EQ(key_state[KEY_DOWN], 1) << "published on the second consecutive sample";
}

TEST_F(KeyScan, ExitCombinationOnlyOnTheMpScreens) {
    pass(pressed({}));
    pass(pressed({}));
    for (int mode : {2, 3, 4}) {
        mode_type = mode;
        MP_key_combination = true;
        EXPECT_TRUE(pass(pressed({KEY_A, KEY_B}))) << "mode " << mode;
        EXPECT_EQ(exit_MP, 0);
    }
    mode_type = 0;
    MP_key_combination = false;
    EXPECT_TRUE(pass(pressed({KEY_A, KEY_B})));
    EXPECT_EQ(exit_MP, 0);

    MP_key_combination = true;
    mode_type = 1;
    EXPECT_FALSE(pass(pressed({KEY_A, KEY_B})));
    EXPECT_EQ(exit_MP, 1);
    EXPECT_EQ(mode_type, 4);
    EXPECT_FALSE(backlight_task_is_running);
    EXPECT_EQ(key_state[KEY_A], 1);
    EXPECT_EQ(key_state[KEY_B], 1);
}

TEST_F(KeyScan, WaitAllReleaseReturnsAtOnceWithNoKeyHeld) {
    EXPECT_TRUE(wait_all_release());
    std::atomic<bool> run{false};
    key_state[KEY_A] = 1;
    EXPECT_FALSE(wait_all_release_while(run)) << "a cleared run flag ends the wait";
    key_state[KEY_A] = 0;
}

TEST(KeyTable, GpiosByKeyIndex) {
    const unsigned want[KEY_COUNT] = {133, 136, 135, 134, 139, 138, 137};
    for (int i = 0; i < KEY_COUNT; i++)
        EXPECT_EQ(key_gpio[i], want[i]);
}

}  // namespace

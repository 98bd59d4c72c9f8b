// The entry window's decision and the rate offset of the information screen.
#include "station/station.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "input/keys.h"
#include "station/info_screen.h"

namespace {

int g_volume = 50;
int g_volume_reads = 0;
int volume() {
    g_volume_reads++;
    return g_volume;
}

int decide(std::initializer_list<int> held, int percent) {
    for (auto &k : key_state)
        k = 0;
    for (int k : held)
        key_state[k] = 1;
    g_volume = percent;
    g_volume_reads = 0;
    return entry_window_check(volume);
}

TEST(EntryWindow, FactoryAndPorchAdjustCombinations) {
    EXPECT_EQ(decide({KEY_RIGHT, KEY_START, KEY_B}, 100), 2);
    EXPECT_EQ(decide({KEY_RIGHT, KEY_START, KEY_B}, 99), 0);
    EXPECT_EQ(decide({KEY_LEFT, KEY_START, KEY_B}, 0), 3);
    EXPECT_EQ(decide({KEY_LEFT, KEY_START, KEY_B}, 1), 0);
    EXPECT_EQ(decide({KEY_LEFT, KEY_START, KEY_B}, 100), 0);
    EXPECT_EQ(decide({KEY_RIGHT, KEY_START, KEY_B}, 0), 0);
}

TEST(EntryWindow, AllFourKeysLetTheVolumeDecide) {
    EXPECT_EQ(decide({KEY_RIGHT, KEY_LEFT, KEY_START, KEY_B}, 100), 2);
    EXPECT_EQ(decide({KEY_RIGHT, KEY_LEFT, KEY_START, KEY_B}, 0), 3);
    EXPECT_EQ(decide({KEY_RIGHT, KEY_LEFT, KEY_START, KEY_B}, 50), 0);
    EXPECT_EQ(g_volume_reads, 2) << "one read per combination whose keys are held";
}

TEST(EntryWindow, VolumeIsReadOnlyWhileACombinationIsHeld) {
    EXPECT_EQ(decide({}, 100), 0);
    EXPECT_EQ(g_volume_reads, 0);
    EXPECT_EQ(decide({KEY_RIGHT, KEY_START}, 100), 0);
    EXPECT_EQ(decide({KEY_START, KEY_B, KEY_A, KEY_UP, KEY_DOWN}, 100), 0);
    EXPECT_EQ(g_volume_reads, 0);
    decide({KEY_RIGHT, KEY_START, KEY_B}, 100);
    EXPECT_EQ(g_volume_reads, 1);
}

TEST(RateOffset, GoodOnlyStrictlyBetween59And61) {
    EXPECT_EQ(rate_offset(60.0), 0);
    EXPECT_EQ(rate_offset(59.01), 0);
    EXPECT_EQ(rate_offset(60.99), 0);
    EXPECT_EQ(rate_offset(59.0), -1);
    EXPECT_EQ(rate_offset(61.0), 1);
    EXPECT_EQ(rate_offset(62.0), 2);
    EXPECT_EQ(rate_offset(0.0), -60);
}

}  // namespace

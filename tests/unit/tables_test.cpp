// The program's pure rules as tables of hand-worked cases: sysfs value
// parsing, the volume table, the rate offset, the audio scaling and the
// battery text.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "device/device.h"
#include "procedures/procedures.h"
#include "station/info_screen.h"

namespace {

TEST(SysfsValue, BooleanByFirstByteValueLikeAtoiFromTenBytes) {
    struct Case {
        std::string file;
        int is_bool;
        int want;
    };
    const Case cases[] = {
        {"0\n", 1, 0},
        {"1\n", 1, 1},
        {std::string("\0", 1), 1, 1},  // only the digit 0 reads as level 0
        {"", 1, 1},                    // an empty read is level 1: a key reads released
        {"4095\n", 0, 4095},
        {" \t-12x", 0, -12},
        {"+7", 0, 7},
        {"abc", 0, 0},
        {"", 0, 0},
        {"123456789012", 0, 1234567890},  // one read takes ten bytes
        {"9999999999", 0, INT_MAX},       // saturates, never overflows
        {"-999999999999", 0, -999999999},
    };
    const int fd = memfd_create("value", 0);
    ASSERT_GE(fd, 0);
    for (const Case &c : cases) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(pwrite(fd, c.file.data(), c.file.size(), 0), static_cast<ssize_t>(c.file.size()));
        lseek(fd, 3, SEEK_SET);  // left anywhere: every read rewinds first
        EXPECT_EQ(read_value_from_fd(fd, c.is_bool), c.want) << '"' << c.file << '"';
    }
    close(fd);
    EXPECT_EQ(read_value_from_fd(-1, 1), 1) << "a handle that never opened";
    EXPECT_EQ(read_value_from_fd(-1, 0), 0);
}

TEST(VolumeTable, FullAtTheTopSilentFromReading3863) {
    init_audio_transfer();
    const int reading[] = {0, 200, 201, 236, 237, 273, 274, 3825, 3826, 3862, 3863, 3894, 4095};
    const int percent[] = {100, 100, 99, 99, 98, 98, 97, 2, 1, 1, 0, 0, 0};
    for (size_t i = 0; i < std::size(reading); i++)
        EXPECT_EQ(vol[reading[i]], percent[i]) << "reading " << reading[i];
}

TEST(RateOffset, GoodOnlyStrictlyBetween59And61) {
    const double rate[] = {60.0, 59.01, 60.99, 59.0, 61.0, 62.0, 58.5, 0.0};
    const int offset[] = {0, 0, 0, -1, 1, 2, -1, -60};
    for (size_t i = 0; i < std::size(rate); i++)
        EXPECT_EQ(rate_offset(rate[i]), offset[i]) << rate[i];
}

TEST(RateOffset, TheTrialWinsATieAndLosesOnlyWhenFurtherOff) {
    struct Case {
        double first, trial;
        bool trial_wins;
    };
    const Case cases[] = {
        {60.4, 59.9, true},    // offsets 0 and 0
        {60.08, 59.91, true},  // 0 and 0: close to 60 is not closer
        {59.01, 60.99, true},  // 0 and 0 at the edges
        {61.2, 60.5, true},    // 1 and 0
        {58.5, 58.7, true},    // -1 and -1
        {60.08, 58.9, false},  // 0 and -1
        {59.5, 61.0, false},   // 0 and 1
        {62.5, 57.5, true},    // 2 and -2: a tie across 60
        {61.5, 62.0, false},   // 1 and 2
    };
    for (const auto &c : cases)
        EXPECT_EQ(trial_wins(c.first, c.trial), c.trial_wins) << c.first << " vs " << c.trial;
}

// The panel's pixel clock is the rate times the 344 lines of a refresh at the
// default porch; the candidate is the porch at which that clock gives 60 FPS:
// clock / 60 - 320, its whole part (toward zero).
TEST(FirstPorchCandidate, TheClockAt344LinesOver60LessThe320Rows) {
    const struct {
        double fps;
        int porch;
    } cases[] = {
        {58.0, 12},    // 19952 / 60 = 332.53
        {60.0, 24},    // 20640 / 60 = 344
        {62.0, 35},    // 21328 / 60 = 355.47
        {63.549, 44},  // 21860.856 / 60 = 364.35
        {59.9, 23},    // 20605.6 / 60 = 343.43
        {55.0, -4},    // 18920 / 60 = 315.33: -4.67 toward zero
        {52.0, -21},   // 17888 / 60 = 298.13: -21.87 toward zero
    };
    for (const auto &c : cases)
        EXPECT_EQ(first_porch_candidate(c.fps), c.porch) << c.fps;
}

TEST(ScalePeriod, TruncatedTowardZeroAndClippedTo16Bits) {
    struct Case {
        int16_t in;
        float volume;  // as the audio test forms it: percent times the clip's gain
        int16_t out;
    };
    const Case cases[] = {
        {32767, 0.0f, 0},       {-32768, 0.0f, 0},       // volume 0: silence
        {-32768, 1.5f, -32768}, {32767, 1.5f, 32767},    // the image clip at 100: clipped
        {21844, 1.5f, 32766},   {-21845, 1.5f, -32767},  // just inside the range
        {100, 1.5f, 150},       {-101, 1.5f, -151},      // -151.5 toward zero
        {32767, 1.0f, 32767},   {-32768, 1.0f, -32768},  // the tone at 100: unchanged
        {1, 0.01f, 0},          {-1, 0.01f, 0},          // the tone at 1 percent
        {32767, 0.01f, 327},    {-32768, 0.01f, -327},
    };
    for (const Case &c : cases) {
        uint16_t out = 0xAAAA;
        scale_period(&c.in, &out, 1, c.volume);
        EXPECT_EQ(static_cast<int16_t>(out), c.out) << c.in << " x " << c.volume;
    }
}

TEST(BatteryText, TwoDecimalsASpaceAndV) {
    const int adc[] = {0, 21, 63, 84, 85, 4999};
    const char *text[] = {"0.00 V", "1.00 V", "3.00 V", "4.00 V", "4.05 V", "238.05 V"};
    for (size_t i = 0; i < std::size(adc); i++) {
        char buf[20];
        battery_text(adc[i], buf, sizeof buf);
        EXPECT_STREQ(buf, text[i]) << adc[i];
    }
}

}  // namespace

// Arithmetic of the MP test procedures: the audio period scaling, the battery
// text of the status screen and the backlight sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "procedures/procedures.h"

namespace {

std::vector<int16_t> scaled(const std::vector<int16_t> &in, float volume) {
    std::vector<uint16_t> out(in.size(), 0xAAAA);
    scale_period(in.data(), out.data(), static_cast<unsigned>(in.size()), volume);
    std::vector<int16_t> res;
    for (uint16_t v : out)
        res.push_back(static_cast<int16_t>(v));
    return res;
}

// The gains the audio test forms: percent converted to float, times the
// clip's gain, in single precision.
float gain(int percent, float per_percent) {
    return static_cast<float>(percent) * per_percent;
}

TEST(ScalePeriod, VolumeZeroGivesSilence) {
    std::vector<int16_t> in = {32767, 32767, -32768, -32768, 1, 1, -1, -1, 1234, 1234};
    EXPECT_EQ(scaled(in, gain(0, 0.015f)), std::vector<int16_t>(in.size(), 0));
    EXPECT_EQ(scaled(in, gain(0, 0.01f)), std::vector<int16_t>(in.size(), 0));
}

TEST(ScalePeriod, ImageClipAtFullVolumeClipsBothEnds) {
    float v = gain(100, 0.015f);
    ASSERT_EQ(v, 1.5f);
    // -32768 * 1.5 = -49152 and 32767 * 1.5 = 49150.5 leave the 16-bit range.
    std::vector<int16_t> in = {-32768, -32768, 32767, 32767, 100, 100, -101, -101, 21845, 21845};
    std::vector<int16_t> want = {-32768, -32768, 32767, 32767, 150, 150, -151, -151, 32767, 32767};
    EXPECT_EQ(scaled(in, v), want);
    // Just inside the range nothing is clipped; 21844 * 1.5 = 32766 exactly.
    EXPECT_EQ(scaled({21844, -21845}, v), (std::vector<int16_t>{32766, -32767}));
}

TEST(ScalePeriod, StatusClipAtFullVolumeIsUnchanged) {
    float v = gain(100, 0.01f);
    ASSERT_EQ(v, 1.0f);
    std::vector<int16_t> in;
    for (int s = -32768; s <= 32767; s += 97)
        in.push_back(static_cast<int16_t>(s));
    in.push_back(32767);
    in.push_back(-1);
    in.push_back(1);
    EXPECT_EQ(scaled(in, v), in);
}

TEST(ScalePeriod, TruncatesTowardZeroAtLowVolume) {
    float v = gain(1, 0.01f);
    std::vector<int16_t> in = {1, 1, -1, -1, 32767, 32767, -32768, -32768, 99, -99, 100, -100};
    // 100 x 0.0099999998 rounds to exactly 1 in single precision.
    std::vector<int16_t> want = {0, 0, 0, 0, 327, 327, -327, -327, 0, 0, 1, -1};
    EXPECT_EQ(scaled(in, v), want);
}

TEST(ScalePeriod, EveryPercentMatchesTheSinglePrecisionProduct) {
    // Both channels of every frame carry the same value, so a left/right
    // pair must come out as an equal pair, negative samples included.
    std::vector<int16_t> in;
    for (int s = -32768; s <= 32767; s += 251) {
        in.push_back(static_cast<int16_t>(s));
        in.push_back(static_cast<int16_t>(s));
    }
    for (float per : {0.015f, 0.01f}) {
        for (int pct = 0; pct <= 100; pct++) {
            float v = gain(pct, per);
            std::vector<int16_t> out = scaled(in, v);
            for (size_t i = 0; i < in.size(); i += 2) {
                float p = static_cast<float>(in[i]) * v;
                double t = std::trunc(static_cast<double>(p));
                t = std::fmin(32767.0, std::fmax(-32768.0, t));
                ASSERT_EQ(out[i], static_cast<int16_t>(t)) << "sample " << in[i] << " at " << pct;
                ASSERT_EQ(out[i + 1], out[i]);
            }
        }
    }
}

std::string battery(int raw) {
    char buf[20];
    battery_text(raw, buf, sizeof buf);
    return buf;
}

TEST(Battery, VoltsAndText) {
    EXPECT_EQ(battery(0), "0.00 V");
    EXPECT_EQ(battery(63), "3.00 V");
    EXPECT_EQ(battery(84), "4.00 V");
    EXPECT_EQ(battery(85), "4.05 V");
    EXPECT_FLOAT_EQ(battery_volts(84), 4.0f);
    // Rounded to two decimals the shown value never differs from raw / 21.
    for (int raw = 0; raw < 5000; raw++) {
        char want[32];
        snprintf(want, sizeof want, "%.2f V", raw / 21.0);
        ASSERT_EQ(battery(raw), want) << raw;
    }
}

TEST(Battery, LargestTextFitsTheBuffer) {
    // The most negative reading gives the longest text; it must still fit
    // the 20-character buffer with its terminator.
    char buf[20];
    battery_text(INT32_MIN, buf, sizeof buf);
    std::string text = buf;
    EXPECT_EQ(text.size(), 15u) << text;
    EXPECT_EQ(text.substr(0, 5), "-1022") << text;
    EXPECT_EQ(text.substr(text.size() - 5), ".00 V") << text;
}

TEST(Sweep, RisesToFullFallsToDarkAndTurnsOnce) {
    uint32_t val = 0;
    int dir = 0;
    std::vector<uint32_t> shown;
    for (int i = 0; i < 402; i++)
        shown.push_back(sweep_step(val, dir));
    // 0, 1, ..., 100, 99, ..., 1, then again from 0: 200 passes per cycle,
    // each end shown once.
    for (int i = 0; i < 402; i++) {
        int c = i % 200;
        uint32_t want = static_cast<uint32_t>(c <= 100 ? c : 200 - c);
        ASSERT_EQ(shown[static_cast<size_t>(i)], want) << "pass " << i;
    }
}

TEST(Sweep, ResumesFromStoredPercentAndDirection) {
    uint32_t val = 37;
    int dir = 1;
    EXPECT_EQ(sweep_step(val, dir), 37u);
    EXPECT_EQ(sweep_step(val, dir), 36u);
    val = 1;
    dir = 1;
    EXPECT_EQ(sweep_step(val, dir), 1u);
    EXPECT_EQ(dir, 0);
    EXPECT_EQ(sweep_step(val, dir), 0u);
    EXPECT_EQ(sweep_step(val, dir), 1u);
}

}  // namespace

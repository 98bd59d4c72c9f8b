// The two built-in clips: the 1 kHz buzz of the status screen and the music
// of the image screen, checked as a listener would judge them (pitch, level,
// where the loud and quiet parts are and what they sound like).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include "assets.h"

namespace {

constexpr double kRate = 44100.0;

TEST(Tone, FollowsTheWrappedSineRule) {
    // 65534 * sin wraps around the 16-bit range, which makes the loud buzz.
    const int start[] = {0, 9305, 18422, 27167, -30176};
    for (int n = 0; n < 5; ++n) {
        EXPECT_NEAR(data0[n], start[n], 3) << "sample " << n;
    }
    int off = 0;
    for (unsigned n = 0; n < DATA0_SAMPLES; ++n) {
        // 1000 / 44100 = 10 / 441: the phase repeats every 441 samples.
        const double x = 65534.0 * std::sin(2.0 * std::numbers::pi * ((10 * n) % 441) / 441.0);
        const long v = std::lround(x);
        const long wrapped = ((v + 32768) % 65536 + 65536) % 65536 - 32768;
        if (std::abs(data0[n] - wrapped) > 3 && off++ == 0) {
            ADD_FAILURE() << "sample " << n << " is " << data0[n] << ", expected " << wrapped;
        }
    }
    EXPECT_EQ(off, 0);
}

TEST(Tone, PeaksAndLoudness) {
    const auto [lo, hi] = std::minmax_element(data0, data0 + DATA0_SAMPLES);
    EXPECT_NEAR(*lo, -32569, 3);
    EXPECT_NEAR(*hi, 32568, 3);
    double sum_sq = 0;
    for (unsigned n = 0; n < DATA0_SAMPLES; ++n) {
        sum_sq += static_cast<double>(data0[n]) * data0[n];
    }
    EXPECT_NEAR(std::sqrt(sum_sq / DATA0_SAMPLES), 16600.0, 200.0);
}

// Energy of x[0..len) at DFT bin k of a len-point transform (Goertzel).
double bin_energy(const int16_t *x, int len, int k) {
    const double w = 2.0 * std::numbers::pi * k / len;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (int i = 0; i < len; ++i) {
        const double s0 = x[i] + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

// Fraction of the window's energy between f_lo and f_hi (Hz), from the
// one-sided spectrum and Parseval's relation sum |X_k|^2 = len * sum x^2.
double band_fraction(const int16_t *x, int len, double f_lo, double f_hi) {
    double total = 0;
    for (int i = 0; i < len; ++i) {
        total += static_cast<double>(x[i]) * x[i];
    }
    double band = 0;
    for (int k = static_cast<int>(std::ceil(f_lo * len / kRate)); k * kRate / len < f_hi; ++k) {
        band += (k == 0 ? 1.0 : 2.0) * bin_energy(x, len, k);
    }
    return band / (len * total);
}

double rms(const int16_t *x, int len) {
    double s = 0;
    for (int i = 0; i < len; ++i) {
        s += static_cast<double>(x[i]) * x[i];
    }
    return std::sqrt(s / len);
}

constexpr int kLead = 148;
constexpr int kWindow = 13230;  // 0.3 s, one note step
constexpr int kStep = 4410;     // 0.1 s

struct Window {
    double start_s;
    const int16_t *x;
    double rms;
};

std::vector<Window> music_windows() {
    std::vector<Window> w;
    for (int s = kLead; s + kWindow <= static_cast<int>(G_DATA0_SAMPLES); s += kStep) {
        w.push_back({(s - kLead) / kRate, g_data0 + s, rms(g_data0 + s, kWindow)});
    }
    return w;
}

double loudest(const std::vector<Window> &w) {
    double m = 0;
    for (const Window &x : w) {
        m = std::max(m, x.rms);
    }
    return m;
}

TEST(Music, StartsAfterShortSilenceAndPeaks) {
    for (int n = 0; n < kLead; ++n) {
        ASSERT_EQ(g_data0[n], 0) << "sample " << n;
    }
    EXPECT_NE(g_data0[kLead], 0);
    const auto [lo, hi] = std::minmax_element(g_data0, g_data0 + G_DATA0_SAMPLES);
    EXPECT_EQ(*lo, -30737);
    EXPECT_EQ(*hi, 29070);
    // No fade: the end is still at the level of a quiet passage.
    EXPECT_GT(rms(g_data0 + G_DATA0_SAMPLES - 4410, 4410), 500.0);
}

TEST(Music, LoudPhrasesAreBass) {
    const auto w = music_windows();
    const double top = loudest(w);
    int loud = 0;
    for (const Window &x : w) {
        if (x.rms > 0.5 * top) {
            ++loud;
            EXPECT_GT(band_fraction(x.x, kWindow, 0.0, 200.0), 0.7)
                << "loud window at " << x.start_s << " s";
        }
    }
    EXPECT_GE(loud, 20);
}

// Between the phrases the music drops to about a sixth of its peak level
// on a held D (D4 and D5, 293.66 and 587.33 Hz). Looked at in 0.1 s steps:
// a quiet passage is a run of at least 0.2 s whose level is a sixth or so
// of the peak and whose energy is mostly in the two D bands.
TEST(Music, QuietPassagesHoldTheD) {
    constexpr int kShort = 4410;
    const int16_t *lo = std::min_element(g_data0, g_data0 + G_DATA0_SAMPLES);
    const int peak = std::abs(*lo);
    int passages = 0, run = 0;
    for (int s = kLead; s + kShort <= static_cast<int>(G_DATA0_SAMPLES); s += kShort) {
        const int16_t *x = g_data0 + s;
        int level = 0;
        for (int i = 0; i < kShort; ++i) {
            level = std::max(level, std::abs(static_cast<int>(x[i])));
        }
        const double d =
            band_fraction(x, kShort, 280.0, 310.0) + band_fraction(x, kShort, 570.0, 605.0);
        const bool quiet_d = d > 0.6 && level > peak / 10 && level < peak / 4;
        run = quiet_d ? run + 1 : 0;
        passages += run == 2;
    }
    EXPECT_GE(passages, 5);
}

TEST(Music, LongLoudStretchInTheMiddle) {
    const auto w = music_windows();
    const double top = loudest(w);
    for (const Window &x : w) {
        // Every 0.3 s window from 3.8 s to 5.4 s holds a strong note.
        if (x.start_s >= 3.8 && x.start_s + 0.3 <= 5.4 + 1e-9) {
            EXPECT_GT(x.rms, 0.5 * top) << "window at " << x.start_s << " s";
        }
    }
}

}  // namespace

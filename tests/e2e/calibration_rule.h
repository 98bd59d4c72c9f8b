// The porch calibration's rule, checked against the rates the program itself
// measured (read back from its porch writes and its screen), on whichever
// device runs the program: the simulated one (tests/e2e) or Debian's kernel
// in the virtual machine (tests/vm). One lost TE edge moves a measured rate
// by 1/3 FPS, so nothing here expects a nominal rate.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "mpsim/harness.h"

namespace calibration {

using namespace std::chrono_literals;
using mpsim::Key;

constexpr auto kLong = std::chrono::seconds(60);  // generous: sanitizers, a loaded machine
constexpr double kLost = 4.0 / 3.0;               // up to four TE edges lost over the 3 s count
// A count that starts late after an edge (a long sleep, a busy emulator)
// reads high by less than one edge over its 3 s.
constexpr double kGained = 1.0 / 3.0;

struct Write {
    uint64_t t;
    int value;
    std::string bytes;
};
template <class D>
std::vector<Write> writes(const D &d, const std::string &path) {
    std::vector<Write> out;
    for (const auto &e : d.journal("write", path)) {
        std::string b(e.bytes.begin(), e.bytes.end());
        out.push_back({e.time_ns, atoi(b.c_str()), b});
    }
    return out;
}

// The characters of the information screen's value fields, "0123456789. FPS",
// 16 x 20 pixels each as the panel shows them (size 2): a golden picture
// (value-glyphs.pbm, plain PBM, 1 = ink), the same pixels as the committed
// frame golden info-measured.png's "60.60 FPS". Rows of text.
inline const std::vector<std::string> &glyph_rows() {
    static const std::vector<std::string> rows = [] {
        std::ifstream in(MP_E2E_DIR "/value-glyphs.pbm");
        std::string magic;
        int w = 0, h = 0;
        in >> magic >> w >> h;
        std::vector<std::string> out(in && magic == "P1" && w == 240 ? h : 0);
        for (auto &row : out)
            in >> row;
        return out;
    }();
    return rows;
}

// The value field at (88, y) of frame f shows `text` in yellow, and only it.
inline bool shows(const mpsim::Frame &f, int y, const std::string &text) {
    static constexpr std::string_view kChars = "0123456789. FPS";
    const auto &rows = glyph_rows();
    if (rows.size() != 20) {
        ADD_FAILURE() << "cannot read value-glyphs.pbm";
        return false;
    }
    for (int r = 0; r < 20; r++)
        for (int x = 0; x < 144; x++) {
            const size_t i = static_cast<size_t>(x / 16);
            const size_t c = i < text.size() ? kChars.find(text[i]) : std::string_view::npos;
            const bool ink =
                c != std::string_view::npos &&
                rows[static_cast<size_t>(r)][c * 16 + static_cast<size_t>(x % 16)] == '1';
            if ((f.at(88 + x, y + r) & 0xFFFFFFu) != (ink ? 0xFFFF00u : 0u))
                return false;
        }
    return true;
}

// The rate shown in yellow, among those a measurement can give at `nominal`.
inline double shown_rate(const mpsim::Frame &f, double nominal) {
    for (int c = static_cast<int>(std::floor((nominal - kLost) * 100));
         c <= (nominal + kGained) * 100; c++) {
        char text[16];
        snprintf(text, sizeof text, "%.2f FPS", c / 100.0);
        if (shows(f, 152, text))
            return c / 100.0;
    }
    return -1;
}

inline int offset(double fps) {
    return static_cast<int>(fps - 60.0);
}

// Calibration from the measurement at porch 24 (the `from` porch write on):
// the candidate, its neighbour, the winner applied again, stored and shown.
template <class D>
void expect_calibration(D &d, int clock, size_t from) {
    auto nominal = [&](int porch) { return clock / (320.0 + porch); };
    const bool renamed = d.wait_journal("rename", "/mnt/UDISK/.lcdporch.tmp", 4 * kLong);
    std::vector<Write> w = writes(d, "/sys/kernel/screen_update/lcdporch");
    ASSERT_TRUE(renamed) << "nothing stored after " << w.size() << " porch write(s)";
    ASSERT_EQ(w.size(), from + 3) << "the candidate, its neighbour, the winner";
    const int cand = w[from].value, trial = w[from + 1].value, won = w[from + 2].value;
    // The candidate is the whole part of (rate * 344 / 60 - 320) for a rate
    // measured at 24: that rate lies in [lo, hi).
    const double lo = (cand + 320) * 60.0 / 344.0, hi = (cand + 321) * 60.0 / 344.0;
    EXPECT_TRUE(hi > nominal(24) - kLost && lo <= nominal(24) + kGained) << "candidate " << cand;
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
                    std::abs(offset(nominal(trial) + kGained)) > std::abs(offset(s)));
    } else {
        // The trial won: the candidate measured no better (a tie goes to the
        // trial), on the side the trial was taken.
        bool found = false;
        for (double f0 = nominal(cand) - kLost; f0 <= nominal(cand) + kGained; f0 += 0.01)
            found = found || ((f0 > 60.0) == (trial == cand + 1) &&
                              std::abs(offset(f0)) >= std::abs(offset(s)));
        EXPECT_TRUE(found) << "no rate at " << cand << " makes " << trial << " the winner";
    }
}

// Power-on with an entry combination held (mode 2 or 3), let go once drawn.
template <class D>
void enter(D &d, int mode, const std::string &app_dir, const std::string &finish) {
    d.set_volume_percent(mode == 2 ? 100 : 0);
    for (Key k : {mode == 2 ? Key::Right : Key::Left, Key::Start, Key::B})
        d.set_key(k, true);
    // The wall clock stands still through the entry window, as in the
    // scenario flows: started just before a second changes on a loaded
    // machine, the program could close its window before it saw the keys.
    d.hold_wall_clock(true);
    d.start_mp_test(app_dir, finish);
    ASSERT_TRUE(d.wait_pushes(1, kLong));
    d.hold_wall_clock(false);
    d.release_all_keys();
}

// A stored porch at a fast panel (63 FPS): measured again at the default
// porch first, then calibrated. At 63 FPS the first measurement reads 61 or
// more, and so calibrates, with up to five TE edges lost over its 3 s count
// (at 62 FPS three lost edges read 60.8, a good rate, and nothing happened).
template <class D>
void stored_porch_at_a_fast_panel(D &d, const std::string &app_dir, const std::string &finish) {
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_te_clock(63 * 344);
    ASSERT_NO_FATAL_FAILURE(enter(d, 2, app_dir, finish));
    ASSERT_NO_FATAL_FAILURE(expect_calibration(d, 63 * 344, 2));
    const auto w = writes(d, "/sys/kernel/screen_update/lcdporch");
    EXPECT_EQ(w[0].value, 24);
    EXPECT_EQ(w[1].value, 24) << "a stored porch is measured again at the default first";
}

// No porch file and a slow panel (58 FPS): calibrated from the first measurement.
template <class D>
void no_porch_file_and_a_slow_panel(D &d, const std::string &app_dir, const std::string &finish) {
    d.set_te_clock(static_cast<int>(58.0 * 344));
    ASSERT_NO_FATAL_FAILURE(enter(d, 3, app_dir, finish));
    expect_calibration(d, static_cast<int>(58.0 * 344), 1);
}

}  // namespace calibration

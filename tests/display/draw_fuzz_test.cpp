// Random drawing on framebuffers of many sizes (fixed seeds, so a failure
// repeats): no store ever lands outside the framebuffer, and where the
// coordinates stay inside 16 bits the pixels drawn are exactly the expected
// ones, cut to the part of the window that exists.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "display/draw.h"
#include "guarded_fb.h"
#include "pixel_model.h"

namespace {

using mpt::color;
using mpt::GuardedFb;
using mpt::kBackground;
using mpt::WindowModel;

const std::vector<std::pair<int, int>> kSizes = {
    {240, 240}, {240, 219}, {240, 218}, {240, 100}, {240, 40}, {240, 39}, {240, 1},  {240, 0},
    {200, 240}, {320, 240}, {320, 100}, {1, 1},     {7, 300},  {0, 240},  {1000, 50}};

class Rng {
  public:
    explicit Rng(uint32_t seed) : g_(seed) {}
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(g_); }
    uint8_t byte() { return static_cast<uint8_t>(below(256)); }
    // Mostly on and around the window, sometimes anywhere in 16 bits, sometimes
    // just below 65536 where sums wrap.
    uint16_t coord() {
        switch (below(4)) {
            case 0:
            case 1:
                return static_cast<uint16_t>(below(400));
            case 2:
                return static_cast<uint16_t>(65535 - below(600));
            default:
                return static_cast<uint16_t>(below(65536));
        }
    }
    uint8_t text_size() {
        const uint32_t k = below(10);
        if (k < 7) {
            return static_cast<uint8_t>(below(9));
        }
        return static_cast<uint8_t>(k < 9 ? below(41) : below(256));
    }

  private:
    std::mt19937 g_;
};

TEST(DrawFuzz, NoStoreOutsideTheFramebuffer) {
    for (auto [w, h] : kSizes) {
        SCOPED_TRACE("framebuffer " + std::to_string(w) + "x" + std::to_string(h));
        GuardedFb fb(w, h);
        Rng rng(0x5EED0000u + static_cast<uint32_t>(w * 1000 + h));
        for (int op = 0; op < 1500; ++op) {
            const uint8_t r = rng.byte(), g = rng.byte(), b = rng.byte();
            const uint32_t kind = rng.below(6);
            switch (kind) {
                case 0:
                    draw_pixel(rng.coord(), rng.coord(), r, g, b);
                    break;
                case 1:
                    draw_fast_HLine(rng.coord(), rng.coord(), rng.coord(), r, g, b);
                    break;
                case 2:
                    draw_rect_color(rng.coord(), rng.coord(), rng.coord(), rng.coord(), r, g, b);
                    break;
                case 3:
                    show_char(rng.coord(), rng.coord(), rng.byte(), r, g, b, rng.text_size());
                    break;
                case 4: {
                    std::string s(rng.below(9), ' ');
                    for (char &c : s) {
                        c = static_cast<char>(1 + rng.below(255));
                    }
                    show_string(rng.coord(), rng.coord(), s.c_str(), r, g, b, rng.text_size());
                    break;
                }
                default: {
                    set_addr_window(rng.coord(), rng.coord());
                    const uint32_t len =
                        rng.below(2) ? rng.below(70000) : 0xFFFFFFFFu - rng.below(10);
                    flood(r, g, b, len);
                    break;
                }
            }
            ASSERT_TRUE(fb.guards_intact()) << "operation " << op << " (kind " << kind << ")";
        }
    }
}

// Every primitive at every combination of positions and lengths next to the
// edges (of the window, of the framebuffer, of 16 bits), where an off-by-one
// would store one word past the end.
TEST(DrawFuzz, EdgeSweepStaysInside) {
    for (auto [w, h] : kSizes) {
        SCOPED_TRACE("framebuffer " + std::to_string(w) + "x" + std::to_string(h));
        GuardedFb fb(w, h);
        std::vector<int> at = {0, 1, 178, 179, 180, 181, 238, 239, 240, 241, 65534, 65535};
        for (int d = -2; d <= 2; ++d) {
            at.push_back(w + d);
            at.push_back(h - 39 + d);
        }
        for (int xi : at) {
            for (int yi : at) {
                if (xi < 0 || yi < 0 || xi > 65535 || yi > 65535) {
                    continue;
                }
                const auto x = static_cast<uint16_t>(xi);
                const auto y = static_cast<uint16_t>(yi);
                std::vector<int> lens = {0, 1, 2, 65535};
                for (int d = -1; d <= 1; ++d) {
                    lens.push_back(w - xi + d);
                    lens.push_back(180 - yi + d);
                }
                draw_pixel(x, y, 1, 2, 3);
                for (int len : lens) {
                    if (len < 0 || len > 65535) {
                        continue;
                    }
                    const auto l = static_cast<uint16_t>(len);
                    draw_fast_HLine(x, y, l, 4, 5, 6);
                    draw_rect_color(x, y, l, 2, 7, 8, 9);
                    draw_rect_color(x, y, 2, l, 7, 8, 9);
                    set_addr_window(x, y);
                    flood(1, 1, 1, l);
                }
                for (uint8_t s : {1, 2, 3, 23, 255}) {
                    show_char(x, y, 219, 10, 11, 12, s);
                }
                show_string(x, y, "\xDB\xDB\xDB", 13, 14, 15, 2);
            }
            ASSERT_TRUE(fb.guards_intact()) << "x " << xi;
        }
    }
}

TEST(DrawFuzz, DrawsExactlyTheExpectedPixelsWhereTheyExist) {
    for (auto [w, h] : kSizes) {
        if (w == 0) {
            continue;
        }
        SCOPED_TRACE("framebuffer " + std::to_string(w) + "x" + std::to_string(h));
        GuardedFb fb(w, h);
        WindowModel m(w, kBackground);
        Rng rng(0xD1A90000u + static_cast<uint32_t>(w * 1000 + h));
        for (int op = 0; op < 800; ++op) {
            const uint8_t r = rng.byte(), g = rng.byte(), b = rng.byte();
            const uint32_t c = color(r, g, b);
            const auto x = static_cast<uint16_t>(rng.below(400));
            const auto y = static_cast<uint16_t>(rng.below(260));
            switch (rng.below(4)) {
                case 0:
                    draw_pixel(x, y, r, g, b);
                    m.pixel(x, y, c);
                    break;
                case 1: {
                    const auto len = static_cast<uint16_t>(rng.below(400));
                    draw_fast_HLine(x, y, len, r, g, b);
                    m.rect(x, y, len, 1, c);
                    break;
                }
                case 2: {
                    const auto rw = static_cast<uint16_t>(rng.below(300));
                    const auto rh = static_cast<uint16_t>(rng.below(200));
                    draw_rect_color(x, y, rw, rh, r, g, b);
                    m.rect(x, y, rw, rh, c);
                    break;
                }
                default: {
                    const auto ch = rng.byte();
                    const auto s = static_cast<uint8_t>(rng.below(31));
                    show_char(x, y, ch, r, g, b, s);
                    m.glyph(x, y, ch, s, c);
                    break;
                }
            }
        }
        ASSERT_TRUE(fb.guards_intact());
        // Rows that exist: the window's part equals the model, the rest the background.
        for (int row = 0; row < h; ++row) {
            for (int x = 0; x < w; ++x) {
                const bool in_window = row >= 39 && row < 219;
                const uint32_t want = in_window ? m.at(x, row - 39) : kBackground;
                if (fb.fb(x, row) != want) {
                    char buf[120];
                    std::snprintf(buf, sizeof buf, "column %d row %d is %08X, expected %08X", x,
                                  row, fb.fb(x, row), want);
                    FAIL() << buf;
                }
            }
        }
    }
}

}  // namespace

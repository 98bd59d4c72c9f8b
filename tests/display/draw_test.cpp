// The drawing primitives on in-memory framebuffers of the expected size and of
// other sizes: where they draw, where they stop, and that nothing outside the
// framebuffer is ever written.
#include "display/draw.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "assets.h"
#include "guarded_fb.h"
#include "pixel_model.h"

namespace {

using mpt::color;
using mpt::GuardedFb;
using mpt::kBackground;
using mpt::WindowModel;

constexpr unsigned char kFullBlock = 219;  // every bit set; also a byte above 127

// The whole framebuffer equals the model inside the window's rows that exist
// and the background everywhere else; the guards are untouched.
::testing::AssertionResult matches(GuardedFb &fb, const WindowModel &m) {
    if (!fb.guards_intact()) {
        return ::testing::AssertionFailure() << "a store landed outside the framebuffer";
    }
    for (int row = 0; row < fb.h(); ++row) {
        for (int x = 0; x < fb.w(); ++x) {
            const bool in_window = row >= 39 && row < 39 + 180;
            const uint32_t want = in_window ? m.at(x, row - 39) : kBackground;
            if (fb.fb(x, row) != want) {
                char buf[160];
                std::snprintf(
                    buf, sizeof buf,
                    "framebuffer %dx%d: column %d row %d (window row %d) is %08X, expected %08X",
                    fb.w(), fb.h(), x, row, row - 39, fb.fb(x, row), want);
                return ::testing::AssertionFailure() << buf;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult untouched(GuardedFb &fb) {
    WindowModel m(fb.w(), kBackground);
    return matches(fb, m);
}

TEST(DrawPixel, WindowStartsAtRow39AndColourWordIsOpaqueRgb) {
    GuardedFb fb(240, 240);
    draw_pixel(0, 0, 0x12, 0x34, 0x56);
    draw_pixel(239, 179, 0xFF, 0x00, 0x80);
    EXPECT_EQ(fb.fb(0, 39), 0xFF123456u);
    EXPECT_EQ(fb.fb(239, 218), 0xFFFF0080u);
    WindowModel m(240, kBackground);
    m.pixel(0, 0, 0xFF123456u);
    m.pixel(239, 179, 0xFFFF0080u);
    EXPECT_TRUE(matches(fb, m));
}

TEST(DrawPixel, OutsideTheWindowDrawsNothing) {
    GuardedFb fb(240, 240);
    draw_pixel(240, 0, 1, 2, 3);
    draw_pixel(0, 180, 1, 2, 3);
    draw_pixel(65535, 65535, 1, 2, 3);
    EXPECT_TRUE(untouched(fb));
}

TEST(DrawRect, FullWindowFill) {
    GuardedFb fb(240, 240);
    draw_rect_color(0, 0, 240, 180, 10, 20, 30);
    WindowModel m(240, color(10, 20, 30));
    EXPECT_TRUE(matches(fb, m));
}

TEST(DrawRect, FullWindowOnWiderFramebufferLeavesColumnsFrom240) {
    GuardedFb fb(320, 240);
    draw_rect_color(0, 0, 240, 180, 10, 20, 30);
    WindowModel m(320, kBackground);
    m.rect(0, 0, 240, 180, color(10, 20, 30));
    EXPECT_TRUE(matches(fb, m));
    EXPECT_EQ(fb.win(240, 0), kBackground);
    EXPECT_EQ(fb.win(239, 0), color(10, 20, 30));
}

TEST(DrawRect, FullWindowOnNarrowerFramebufferStopsAtWidth) {
    GuardedFb fb(200, 240);
    draw_rect_color(0, 0, 240, 180, 10, 20, 30);
    WindowModel m(200, color(10, 20, 30));
    EXPECT_TRUE(matches(fb, m));
}

TEST(DrawRect, CutAtRightEdgeAndBelowRow179) {
    GuardedFb fb(240, 240);
    draw_rect_color(230, 170, 50, 50, 1, 2, 3);
    WindowModel m(240, kBackground);
    m.rect(230, 170, 10, 10, color(1, 2, 3));
    EXPECT_TRUE(matches(fb, m));
    EXPECT_EQ(fb.win(239, 179), color(1, 2, 3));
    EXPECT_EQ(fb.fb(239, 219), kBackground);  // first row below the window
}

TEST(DrawRect, EmptyOrStartingOutsideDrawsNothing) {
    GuardedFb fb(240, 240);
    draw_rect_color(0, 0, 0, 10, 1, 2, 3);
    draw_rect_color(0, 0, 10, 0, 1, 2, 3);
    draw_rect_color(240, 0, 10, 10, 1, 2, 3);
    draw_rect_color(0, 180, 10, 10, 1, 2, 3);
    draw_rect_color(1000, 1000, 10, 10, 1, 2, 3);
    EXPECT_TRUE(untouched(fb));
}

TEST(DrawHLine, CutAtWidthAndNeverWrapsIntoTheNextRow) {
    GuardedFb fb(240, 240);
    draw_fast_HLine(235, 5, 100, 7, 8, 9);
    draw_fast_HLine(0, 6, 0, 7, 8, 9);  // zero length
    draw_fast_HLine(240, 7, 5, 7, 8, 9);
    draw_fast_HLine(0, 180, 5, 7, 8, 9);
    WindowModel m(240, kBackground);
    m.rect(235, 5, 5, 1, color(7, 8, 9));
    EXPECT_TRUE(matches(fb, m));
}

TEST(Flood, RunsOnAcrossRowsButStopsAtTheEndOfTheFramebuffer) {
    GuardedFb fb(240, 240);
    set_addr_window(230, 4);
    EXPECT_EQ(display_offset, 43 * 240 + 230);
    flood(1, 1, 1, 20);  // ten words in row 43, ten at the start of row 44
    EXPECT_EQ(fb.fb(229, 43), kBackground);
    EXPECT_EQ(fb.fb(230, 43), color(1, 1, 1));
    EXPECT_EQ(fb.fb(9, 44), color(1, 1, 1));
    EXPECT_EQ(fb.fb(10, 44), kBackground);

    set_addr_window(200, 200);  // framebuffer row 239, the last one
    flood(2, 2, 2, 100000);
    EXPECT_EQ(fb.fb(199, 239), kBackground);
    EXPECT_EQ(fb.fb(239, 239), color(2, 2, 2));
    EXPECT_TRUE(fb.guards_intact());
}

TEST(DrawSmallFramebuffer, OnlyRowsThatExistAreDrawn) {
    for (int rows : {100, 40, 39, 1, 0}) {
        SCOPED_TRACE("rows " + std::to_string(rows));
        GuardedFb fb(240, rows);
        draw_rect_color(0, 0, 240, 180, 5, 6, 7);
        show_string(0, 150, "\xDB\xDB\xDB", 5, 6, 7, 6);
        draw_pixel(100, 179, 5, 6, 7);
        draw_fast_HLine(0, 179, 240, 5, 6, 7);
        WindowModel m(240, color(5, 6, 7));
        EXPECT_TRUE(matches(fb, m));
    }
}

TEST(DrawSmallFramebuffer, ZeroWidthDrawsNothing) {
    GuardedFb fb(0, 240);
    draw_rect_color(0, 0, 240, 180, 5, 6, 7);
    show_string(0, 0, "AB", 5, 6, 7, 2);
    EXPECT_TRUE(fb.guards_intact());
}

TEST(DrawNoFramebuffer, NothingIsDrawnAndNothingFails) {
    FB_buf = nullptr;
    width = 240;
    height = 240;
    draw_pixel(1, 1, 1, 2, 3);
    draw_fast_HLine(0, 0, 240, 1, 2, 3);
    draw_rect_color(0, 0, 240, 180, 1, 2, 3);
    show_string(0, 0, "no framebuffer", 1, 2, 3, 3);
    set_addr_window(0, 0);
    flood(1, 2, 3, 1000);
    width = 0;
    height = 0;
    SUCCEED();  // reaching here, without a fault (or an ASan report), is the check
}

TEST(ShowChar, BlocksAreSizeWideAndOneRowTaller) {
    for (int s : {2, 3, 6}) {
        SCOPED_TRACE("size " + std::to_string(s));
        GuardedFb fb(240, 240);
        show_char(10, 20, kFullBlock, 200, 100, 50, static_cast<uint8_t>(s));
        WindowModel m(240, kBackground);
        // 8s columns, 8s + 1 rows: the lowest block row reaches one row below the cell.
        m.rect(10, 20, 8 * s, 8 * s + 1, color(200, 100, 50));
        EXPECT_TRUE(matches(fb, m));
    }
}

TEST(ShowChar, GlyphsAtSize2And6MatchTheirFontBits) {
    for (unsigned char ch : std::initializer_list<unsigned char>{'A', 'g', '/', '7', 1, 0xE4}) {
        for (int s : {2, 6}) {
            SCOPED_TRACE("glyph " + std::to_string(ch) + " size " + std::to_string(s));
            GuardedFb fb(240, 240);
            show_char(30, 40, ch, 0, 255, 0, static_cast<uint8_t>(s));
            WindowModel m(240, kBackground);
            m.glyph(30, 40, ch, s, color(0, 255, 0));
            EXPECT_TRUE(matches(fb, m));
        }
    }
}

TEST(ShowChar, Size1PlotsOnePixelPerSetBit) {
    GuardedFb fb(240, 240);
    show_char(100, 100, 'W', 9, 9, 9, 1);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            const bool set = (fontdata_8x8[8 * 'W' + i] >> (7 - j)) & 1;
            EXPECT_EQ(fb.win(100 + j, 100 + i), set ? color(9, 9, 9) : kBackground)
                << j << "," << i;
        }
    }
    WindowModel m(240, kBackground);
    m.glyph(100, 100, 'W', 1, color(9, 9, 9));
    EXPECT_TRUE(matches(fb, m));
}

TEST(ShowChar, OnlyTheTopLeftCornerIsTestedTheRestIsCut) {
    GuardedFb fb(240, 240);
    show_char(235, 175, kFullBlock, 1, 2, 3, 2);  // corner inside: cut at column 239 and row 179
    show_char(240, 0, kFullBlock, 1, 2, 3, 2);    // corner outside: nothing
    show_char(0, 180, kFullBlock, 1, 2, 3, 2);
    WindowModel m(240, kBackground);
    m.rect(235, 175, 5, 5, color(1, 2, 3));
    EXPECT_TRUE(matches(fb, m));
}

TEST(ShowChar, Size0DrawsNothing) {
    GuardedFb fb(240, 240);
    show_char(10, 10, kFullBlock, 1, 2, 3, 0);
    show_string(10, 10, "\xDB\xDB hello", 1, 2, 3, 0);
    EXPECT_TRUE(untouched(fb));
}

// Blocks of glyph 219 at the given cursor positions, size s.
WindowModel blocks_at(int w, std::initializer_list<std::pair<int, int>> at, int s, uint32_t c) {
    WindowModel m(w, kBackground);
    for (auto [x, y] : at) {
        m.glyph(x, y, kFullBlock, s, c);
    }
    return m;
}

TEST(ShowString, Size2FromColumn88WrapsAfterNineCharactersToColumn0) {
    GuardedFb fb(240, 240);
    show_string(88, 20, std::string(10, '\xDB').c_str(), 255, 255, 255, 2);
    const uint32_t c = color(255, 255, 255);
    WindowModel m = blocks_at(240,
                              {{88, 20},
                               {104, 20},
                               {120, 20},
                               {136, 20},
                               {152, 20},
                               {168, 20},
                               {184, 20},
                               {200, 20},
                               {216, 20},
                               {0, 36}},
                              2, c);
    EXPECT_TRUE(matches(fb, m));
}

TEST(ShowString, Size2FromRow170DrawsTheFirstCutThenGoesBackToRow0) {
    GuardedFb fb(240, 240);
    show_string(0, 170, "\xDB\xDB", 0, 0, 255, 2);
    WindowModel m = blocks_at(240, {{0, 170}, {16, 0}}, 2, color(0, 0, 255));
    EXPECT_TRUE(matches(fb, m));
    EXPECT_EQ(fb.win(0, 179), color(0, 0, 255));
}

TEST(ShowString, AboveSize22TheCursorReturnsToRow0AfterEveryCharacter) {
    {
        // 180 - 8 x 23 is negative: compared as signed numbers, every character
        // ends on row 0, even when the line does not wrap.
        GuardedFb fb(640, 240);
        show_string(0, 50, "\xDB\xDB", 1, 2, 3, 23);
        WindowModel m = blocks_at(640, {{0, 50}, {184, 0}}, 23, color(1, 2, 3));
        EXPECT_TRUE(matches(fb, m));
    }
    {
        GuardedFb fb(240, 240);
        show_string(0, 50, "\xDB\xDB", 1, 2, 3, 23);
        WindowModel m = blocks_at(240, {{0, 50}, {0, 0}}, 23, color(1, 2, 3));
        EXPECT_TRUE(matches(fb, m));
    }
    {
        // At size 22 the bound is 4: row 2 stays, the second character is drawn
        // on the same text line.
        GuardedFb fb(640, 240);
        show_string(0, 2, "\xDB\xDB", 1, 2, 3, 22);
        WindowModel m = blocks_at(640, {{0, 2}, {176, 2}}, 22, color(1, 2, 3));
        EXPECT_TRUE(matches(fb, m));
    }
}

TEST(ShowString, ControlBytesAndUpperBytesAreGlyphs) {
    const std::string text = "A\nB\x01\t\x80\xFF\xE9";
    GuardedFb fb(240, 240);
    show_string(8, 8, text.c_str(), 255, 0, 0, 3);
    WindowModel m(240, kBackground);
    int x = 8;
    for (char ch : text) {
        m.glyph(x, 8, static_cast<unsigned char>(ch), 3, color(255, 0, 0));
        x += 24;
    }
    EXPECT_TRUE(matches(fb, m));
    // The newline is glyph 10 (not blank) and drew something in its cell.
    bool drawn = false;
    for (int y = 8; y < 33; ++y) {
        for (int xx = 32; xx < 56; ++xx) {
            drawn = drawn || fb.win(xx, y) == color(255, 0, 0);
        }
    }
    EXPECT_TRUE(drawn);
}

TEST(ShowString, TextGoesOverWhatIsThere) {
    GuardedFb fb(240, 240);
    draw_rect_color(0, 0, 240, 180, 0, 0, 80);
    show_string(4, 4, "Hi.", 255, 255, 0, 2);
    WindowModel m(240, color(0, 0, 80));
    for (int i = 0; i < 3; ++i) {
        m.glyph(4 + 16 * i, 4, static_cast<unsigned char>("Hi."[i]), 2, color(255, 255, 0));
    }
    EXPECT_TRUE(matches(fb, m));
}

}  // namespace

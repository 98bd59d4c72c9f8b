// What reaches the panel: draw_image run by display_probe on the simulated
// device (draw_image always ends with a panel push), and reference images of
// text at the three scales the screens use and of the four key prompts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "golden.h"
#include "guarded_fb.h"
#include "mpsim/harness.h"
#include "probe_image.h"

namespace {

using mpsim::Device;
using mpsim::Ms;
using mpsim::Options;

// Generous: on a loaded machine, or under an emulator, a start takes a while.
constexpr Ms kExitTimeout{60000};

// Window pixel (x, y) of a 240 x 180 image in the program's byte order.
uint32_t image_word(const uint8_t *img, int x, int y) {
    const uint8_t *p = img + (static_cast<size_t>(y) * 240 + x) * 4;
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Runs display_probe with the arguments and expects a clean exit.
::testing::AssertionResult run_probe(Device &dev, const std::vector<std::string> &args,
                                     int want_code = 0) {
    std::vector<std::string> argv{DISPLAY_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    dev.start(argv);
    const auto st = dev.wait_exit(kExitTimeout);
    if (!st) {
        dev.kill_program();
        return ::testing::AssertionFailure()
               << "display_probe did not end; stderr: " << dev.stderr_text();
    }
    if (!st->exited || st->code != want_code) {
        return ::testing::AssertionFailure()
               << "display_probe " << (st->exited ? "exited with " : "killed by signal ")
               << st->code << "; stderr: " << dev.stderr_text();
    }
    return ::testing::AssertionSuccess();
}

// ---- text -----------------------------------------------------------------

struct TextCase {
    const char *name;
    int size;
    uint16_t x, y;
    const char *text;
};

void PrintTo(const TextCase &c, std::ostream *os) {
    *os << c.name;
}

class TextGolden : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextGolden, MatchesReference) {
    MPT_REQUIRE_PNG();
    const TextCase &c = GetParam();
    mpt::GuardedFb fb(240, 240);
    // Drawn the way the screens are: background cleared first, text over it.
    draw_rect_color(0, 0, 240, 180, 0, 0, 0);
    show_string(c.x, c.y, c.text, 255, 255, 255, static_cast<uint8_t>(c.size));
    ASSERT_TRUE(fb.guards_intact());
    const auto words = fb.contents();
    EXPECT_TRUE(mpt::matches_golden(c.name, mpt::window_of(words.data(), 240)));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, TextGolden,
    ::testing::Values(TextCase{"text_size2", 2, 0, 20,
                               "LCD porch: 24 fps: 60.02 Vol 100% v1.7 /mnt/a-b"},
                      TextCase{"text_size3", 3, 0, 30, "Battery:3.95V USB:1 HP:0"},
                      TextCase{"text_size6", 6, 24, 60, "DOWN"}),
    [](const auto &p) { return std::string(p.param.name); });

// ---- the key prompt images, as the panel shows them -------------------------

struct PromptCase {
    const char *name;  // display_probe's name for the image
    const uint8_t *img;
};

void PrintTo(const PromptCase &c, std::ostream *os) {
    *os << c.name;
}

class PromptImage : public ::testing::TestWithParam<PromptCase> {};

TEST_P(PromptImage, ReachesThePanelUnchangedAndMatchesReference) {
    const PromptCase &c = GetParam();
    Device dev;
    ASSERT_TRUE(run_probe(dev, {"image", c.name}));
    EXPECT_EQ(dev.pushes(), 1);
    const auto f = dev.current_frame();
    ASSERT_TRUE(f.has_value()) << "no frame reached the panel";
    ASSERT_EQ(f->width, 240);
    ASSERT_EQ(f->height, 180);
    int differ = 0;
    for (int y = 0; y < 180; ++y) {
        for (int x = 0; x < 240; ++x) {
            differ += f->at(x, y) != image_word(c.img, x, y);
        }
    }
    EXPECT_EQ(differ, 0) << "pixels of the pushed frame that differ from the image";
    if (mpsim::png_supported()) {
        EXPECT_TRUE(mpt::matches_golden(std::string("prompt_") + c.name, *f));
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, PromptImage,
                         ::testing::Values(PromptCase{"down", sample_img_down},
                                           PromptCase{"left", sample_img_left},
                                           PromptCase{"up", sample_img_up},
                                           PromptCase{"start", sample_img_start}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(PromptImage, StartPromptMarksTheTopRightDiscBlueOnWhite) {
    Device dev;
    ASSERT_TRUE(run_probe(dev, {"image", "start"}));
    const auto f = dev.current_frame();
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->at(189, 69), 0xFF0000FFu);
    EXPECT_EQ(f->at(0, 0), 0xFFFFFFFFu);
}

// ---- draw_image on framebuffers of other sizes -------------------------------

struct CopyCase {
    int fb_w, fb_h;  // in-memory framebuffer
    int w, h;        // image passed to draw_image
};

std::string copy_case_name(const CopyCase &c) {
    auto n = [](int v) { return v < 0 ? "minus" + std::to_string(-v) : std::to_string(v); };
    return "fb" + n(c.fb_w) + "x" + n(c.fb_h) + "_img" + n(c.w) + "x" + n(c.h);
}

void PrintTo(const CopyCase &c, std::ostream *os) {
    *os << copy_case_name(c);
}

class DrawImageCopy : public ::testing::TestWithParam<CopyCase> {};

// The image lands with its row 0 on framebuffer row 39, rows `width` words
// apart; only the rows and columns that exist are written, and the frame is
// pushed even when nothing was copied.
TEST_P(DrawImageCopy, CopiesWhatExistsAndPushes) {
    const CopyCase &c = GetParam();
    Device dev;
    const std::string dump = dev.root() + "/probe.dump";
    ASSERT_TRUE(run_probe(dev, {"guarded", std::to_string(c.fb_w), std::to_string(c.fb_h),
                                std::to_string(c.w), std::to_string(c.h), dump}));
    EXPECT_EQ(dev.pushes(), 1);

    std::ifstream in(dump, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    const size_t words = static_cast<size_t>(c.fb_w) * static_cast<size_t>(c.fb_h);
    ASSERT_EQ(bytes.size(), words * 4);
    std::vector<uint32_t> fb(words);
    if (!bytes.empty()) {
        std::memcpy(fb.data(), bytes.data(), bytes.size());
    }

    int wrong = 0;
    std::string first;
    for (int row = 0; row < c.fb_h; ++row) {
        for (int x = 0; x < c.fb_w; ++x) {
            const int iy = row - 39;
            const bool copied = iy >= 0 && iy < c.h && x < c.w;
            const uint32_t want = copied ? mpt::probe_pixel(x, iy) : mpt::kBackground;
            const uint32_t got = fb[static_cast<size_t>(row) * c.fb_w + x];
            if (got != want && wrong++ == 0) {
                char buf[120];
                std::snprintf(buf, sizeof buf, "first at column %d row %d: %08X, expected %08X", x,
                              row, got, want);
                first = buf;
            }
        }
    }
    EXPECT_EQ(wrong, 0) << first;
}

INSTANTIATE_TEST_SUITE_P(Sizes, DrawImageCopy,
                         ::testing::Values(CopyCase{240, 240, 240, 180},  // the program's case
                                           CopyCase{320, 240, 240,
                                                    180},  // wider: columns from 240 kept
                                           CopyCase{200, 240, 240, 180},  // narrower: cut at 200
                                           CopyCase{240, 219, 240, 180},  // exactly the window
                                           CopyCase{240, 100, 240, 180},  // rows 39..99 only
                                           CopyCase{240, 39, 240, 180},   // no window row at all
                                           CopyCase{240, 0, 240, 180},    // no rows
                                           CopyCase{240, 240, 100, 50},   // smaller image
                                           CopyCase{240, 240, 0, 180},    // nothing to copy
                                           CopyCase{240, 240, -5, 10}),
                         [](const auto &p) { return copy_case_name(p.param); });

// The program's own mapping (FB_init) of framebuffers the panel reports in other
// sizes: the part of the window that exists shows the image's top-left part.
struct MappedCase {
    int fb_w, fb_h;
    int shown_w, shown_h;  // the window part the panel can show
};

void PrintTo(const MappedCase &c, std::ostream *os) {
    *os << c.fb_w << "x" << c.fb_h;
}

class DrawImageMapped : public ::testing::TestWithParam<MappedCase> {};

TEST_P(DrawImageMapped, ShowsTheImageWhereTheWindowExists) {
    const MappedCase &c = GetParam();
    Options opt;
    opt.fb_width = c.fb_w;
    opt.fb_height = c.fb_h;
    Device dev(opt);
    ASSERT_TRUE(run_probe(dev, {"image", "left"}));
    EXPECT_EQ(dev.pushes(), 1);
    if (c.shown_h == 0) {
        return;  // nothing of the window exists; the push alone is the check
    }
    const auto f = dev.current_frame();
    ASSERT_TRUE(f.has_value());
    ASSERT_EQ(f->width, c.shown_w);
    ASSERT_EQ(f->height, c.shown_h);
    int differ = 0;
    for (int y = 0; y < c.shown_h; ++y) {
        for (int x = 0; x < c.shown_w; ++x) {
            differ += f->at(x, y) != image_word(sample_img_left, x, y);
        }
    }
    EXPECT_EQ(differ, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DrawImageMapped,
    ::testing::Values(MappedCase{320, 240, 240, 180}, MappedCase{200, 240, 200, 180},
                      MappedCase{240, 100, 240, 61}, MappedCase{240, 39, 240, 0}),
    [](const auto &p) {
        return "fb" + std::to_string(p.param.fb_w) + "x" + std::to_string(p.param.fb_h);
    });

TEST(DrawImage, WithoutFramebufferStillPushes) {
    Options opt;
    opt.fb_present = false;
    Device dev(opt);
    ASSERT_TRUE(run_probe(dev, {"none"}));
    EXPECT_EQ(dev.pushes(), 1);
}

}  // namespace

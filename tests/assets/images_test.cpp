// The six built-in images: format, the key prompt layout that the operator
// reads during the key test, and that the photographs really are photographs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "assets.h"

namespace {

constexpr int kWidth = 240;
constexpr int kHeight = 180;

struct Rgb {
    int r, g, b;
};

Rgb pixel(const uint8_t *img, int x, int y) {
    const uint8_t *p = img + (y * kWidth + x) * 4;
    return {p[2], p[1], p[0]};
}

// The framebuffer word draw_image() stores for this pixel (bytes copied
// unchanged, lowest byte first).
uint32_t word(const uint8_t *img, int x, int y) {
    const uint8_t *p = img + (y * kWidth + x) * 4;
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string where(const char *name, int x, int y) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s (%d, %d)", name, x, y);
    return buf;
}

struct Image {
    const char *name;
    const uint8_t *data;
};

const std::array<Image, 6> kImages{{
    {"sample_img", sample_img},
    {"color_img", color_img},
    {"sample_img_down", sample_img_down},
    {"sample_img_left", sample_img_left},
    {"sample_img_up", sample_img_up},
    {"sample_img_start", sample_img_start},
}};

TEST(Images, EveryPixelIsOpaque) {
    for (const Image &img : kImages) {
        int not_opaque = 0;
        for (unsigned i = 3; i < IMAGE_BYTES; i += 4) {
            not_opaque += img.data[i] != 0xFF;
        }
        EXPECT_EQ(not_opaque, 0) << img.name;
    }
}

// Squares (top-left corner) the seven discs of diameter 20 are inscribed in.
struct Disc {
    const char *name;
    int x0, y0;
};
const std::array<Disc, 7> kDiscs{{
    {"left group top", 40, 60},
    {"left group left", 20, 80},
    {"left group right", 60, 80},
    {"left group bottom", 40, 100},
    {"right group top", 180, 60},
    {"right group right", 200, 80},
    {"right group bottom", 180, 100},
}};

struct Prompt {
    const char *name;
    const uint8_t *data;
    Rgb background;
    int marked;  // index in kDiscs
    Rgb marked_colour;
};

constexpr Rgb kWhite{255, 255, 255}, kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255},
    kBlack{0, 0, 0};

const std::array<Prompt, 4> kPrompts{{
    {"sample_img_down", sample_img_down, kRed, 3, kWhite},
    {"sample_img_left", sample_img_left, kGreen, 1, kRed},
    {"sample_img_up", sample_img_up, kBlue, 0, kGreen},
    {"sample_img_start", sample_img_start, kWhite, 4, kBlue},
}};

int inside_square(int x, int y) {
    for (int i = 0; i < static_cast<int>(kDiscs.size()); ++i) {
        if (x >= kDiscs[i].x0 && x < kDiscs[i].x0 + 20 && y >= kDiscs[i].y0 &&
            y < kDiscs[i].y0 + 20) {
            return i;
        }
    }
    return -1;
}

bool same(Rgb a, Rgb b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

// A channel of an edge pixel lies strictly between disc and background
// wherever the two differ, and equals them where they agree.
bool is_blend(Rgb p, Rgb fg, Rgb bg) {
    auto channel = [](int v, int f, int b) {
        return f == b ? v == f : v > std::min(f, b) && v < std::max(f, b);
    };
    return channel(p.r, fg.r, bg.r) && channel(p.g, fg.g, bg.g) && channel(p.b, fg.b, bg.b);
}

TEST(PromptImages, BackgroundOutsideTheDiscs) {
    for (const Prompt &p : kPrompts) {
        int wrong = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (inside_square(x, y) < 0 && !same(pixel(p.data, x, y), p.background)) {
                    if (wrong++ == 0) {
                        ADD_FAILURE() << "first wrong pixel " << where(p.name, x, y);
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0) << p.name;
    }
}

// Inside each disc's square: solid disc colour well inside the circle of
// radius 10, background well outside it, and on the circle itself a blend
// of the two (the soft edge, about one pixel wide).
TEST(PromptImages, DiscsAreSolidWithASoftEdge) {
    for (const Prompt &p : kPrompts) {
        for (int i = 0; i < static_cast<int>(kDiscs.size()); ++i) {
            const Disc &d = kDiscs[i];
            const Rgb fg = i == p.marked ? p.marked_colour : kBlack;
            const double cx = d.x0 + 10.0, cy = d.y0 + 10.0;
            int edge_pixels = 0;
            for (int y = d.y0; y < d.y0 + 20; ++y) {
                for (int x = d.x0; x < d.x0 + 20; ++x) {
                    const double r = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
                    const Rgb px = pixel(p.data, x, y);
                    const std::string at = where(p.name, x, y) + " " + d.name;
                    if (r <= 9.2) {
                        ASSERT_TRUE(same(px, fg)) << at << " should be the disc colour";
                    } else if (r >= 10.8) {
                        ASSERT_TRUE(same(px, p.background)) << at << " should be background";
                    } else if (r > 9.8 && r < 10.2) {
                        ASSERT_TRUE(is_blend(px, fg, p.background)) << at << " should be a blend";
                        ++edge_pixels;
                    } else {
                        ASSERT_TRUE(same(px, fg) || same(px, p.background) ||
                                    is_blend(px, fg, p.background))
                            << at;
                    }
                }
            }
            // The whole circumference is soft, not a few stray pixels.
            EXPECT_GE(edge_pixels, 16) << p.name << " " << d.name;
        }
    }
}

TEST(PromptImages, MarkedDiscCentres) {
    for (const Prompt &p : kPrompts) {
        for (int i = 0; i < static_cast<int>(kDiscs.size()); ++i) {
            const Rgb want = i == p.marked ? p.marked_colour : kBlack;
            const Rgb got = pixel(p.data, kDiscs[i].x0 + 9, kDiscs[i].y0 + 9);
            EXPECT_TRUE(same(got, want)) << p.name << " " << kDiscs[i].name << " centre is ("
                                         << got.r << ", " << got.g << ", " << got.b << ")";
        }
    }
}

TEST(PromptImages, StartPromptWordsAsDrawn) {
    EXPECT_EQ(word(sample_img_start, 189, 69), 0xFF0000FFu);
    EXPECT_EQ(word(sample_img_start, 0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(word(sample_img_down, 239, 179), 0xFFFF0000u);
    EXPECT_EQ(word(sample_img_left, 120, 90), 0xFF00FF00u);
    EXPECT_EQ(word(sample_img_up, 49, 69), 0xFF00FF00u);
    EXPECT_EQ(word(sample_img_up, 0, 0), 0xFF0000FFu);
}

struct Photo {
    const char *name;
    const uint8_t *data;
};

TEST(Photographs, ManyColoursAndDetail) {
    for (const Photo &p : {Photo{"sample_img", sample_img}, Photo{"color_img", color_img}}) {
        std::vector<uint32_t> colours;
        colours.reserve(kWidth * kHeight);
        double sum = 0, sum_sq = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                colours.push_back(word(p.data, x, y) & 0xFFFFFFu);
                const Rgb c = pixel(p.data, x, y);
                const double luma = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
                sum += luma;
                sum_sq += luma * luma;
            }
        }
        std::sort(colours.begin(), colours.end());
        const auto distinct = std::unique(colours.begin(), colours.end()) - colours.begin();
        EXPECT_GT(distinct, 20000) << p.name;

        const double n = kWidth * kHeight;
        const double mean = sum / n;
        const double spread = std::sqrt(sum_sq / n - mean * mean);
        EXPECT_GT(mean, 40.0) << p.name << " is too dark to judge the panel by";
        EXPECT_LT(mean, 215.0) << p.name;
        EXPECT_GT(spread, 25.0) << p.name << " has almost no contrast";
    }
    // Two different pictures, not the same one twice.
    int differing = 0;
    for (unsigned i = 0; i < IMAGE_BYTES; ++i) {
        differing += sample_img[i] != color_img[i];
    }
    EXPECT_GT(differing, static_cast<int>(IMAGE_BYTES / 2));
}

}  // namespace

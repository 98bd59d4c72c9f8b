// The drawing primitives with arbitrary arguments on framebuffers of
// arbitrary size: no width at all, one column, narrower and wider than the
// 240 the screens are laid out for, fewer rows than the 219 the window
// reaches, or no mapping at all. The framebuffer is a heap block of exactly
// width x height words, so AddressSanitizer stops any store outside it; after
// the calls it must hold exactly what a model of the primitives (address
// window and runs, cut to the words that exist) says.
//
// Input: width, height and flag bytes, then up to kMaxOps calls, each a kind
// byte, the colour and the kind's arguments (see run_op). Positions are
// mostly near the window, sometimes just below 65536 where 16-bit sums wrap,
// sometimes anywhere.
//
// draw_image ends with a panel push: FB_flash is replaced here by a counter
// (this file defines it, so the device-file version is never linked in; a
// second definition would stop the link), and the push must happen exactly
// once per image, even for an empty one, and never for the other primitives.
// Images stay within the 240 x 180 the program passes.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "display/lcd.h"
#include "fuzz_util.h"

namespace {

int pushes = 0;

constexpr int kMaxOps = 48;
constexpr int kMaxString = 24;
// Stores the model may make per input, so that huge text on a wide
// framebuffer cannot turn one input into a time-out.
constexpr int64_t kStoreBudget = 600'000;
constexpr int kImageMaxW = 240;
constexpr int kImageMaxH = 180;

const int kWidths[16] = {0, 1, 8, 64, 120, 200, 232, 240, 248, 256, 320, 480, 640, 800, 1000, 16};
const int kHeights[16] = {0, 1, 5, 10, 38, 39, 40, 100, 180, 200, 218, 219, 220, 240, 300, 59};

// A table entry moved by -8..+7: edges and their neighbours are one byte away.
int pick(const int (&table)[16], uint8_t sel) {
    return std::max(0, table[sel & 15] + (sel >> 4) - 8);
}

uint16_t coord(uint16_t v) {
    const uint16_t r = static_cast<uint16_t>(v >> 2);
    switch (v & 3) {
        case 0:
        case 1:
            return static_cast<uint16_t>(r % 512);
        case 2:
            return static_cast<uint16_t>(65535 - r % 1024);
        default:
            return v;
    }
}

uint32_t color_word(uint8_t r, uint8_t g, uint8_t b) {
    return 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | uint32_t{b};
}

// The primitives as the device's drawing layer defines them, on a plain word
// array: an address window, runs of one colour from it, and nothing stored
// outside the words that exist.
class Model {
  public:
    // `px` holds the framebuffer's starting contents (none when unmapped).
    Model(int w, int h, bool mapped, std::vector<uint32_t> &px)
        : w_(w), h_(h), total_(mapped ? int64_t{w} * h : 0), px_(px) {}

    FUZZ_NO_COVERAGE void flood(int64_t at, int64_t len, uint32_t c) {
        const int64_t first = std::max<int64_t>(at, 0);
        const int64_t end = std::min<int64_t>(at + len, total_);
        for (int64_t i = first; i < end; ++i) {
            px_[static_cast<size_t>(i)] = c;
        }
    }
    int64_t at(uint16_t x, uint16_t y) const { return (int64_t{y} + 39) * w_ + x; }

    FUZZ_NO_COVERAGE void pixel(uint16_t x, uint16_t y, uint32_t c) {
        if (x >= w_ || y >= 180) {
            return;
        }
        flood(at(x, y), 1, c);
    }
    FUZZ_NO_COVERAGE void hline(uint16_t x, uint16_t y, uint16_t len, uint32_t c) {
        if (x >= w_ || y >= 180 || len == 0) {
            return;
        }
        if (static_cast<uint16_t>(x + len - 1) >= w_) {
            len = static_cast<uint16_t>(w_ - x);
        }
        flood(at(x, y), len, c);
    }
    FUZZ_NO_COVERAGE void rect(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint32_t c) {
        if (w == 0 || h == 0 || x >= w_ || y >= 180) {
            return;
        }
        if (static_cast<uint16_t>(x + w - 1) >= w_) {
            w = static_cast<uint16_t>(w_ - x);
        }
        if (static_cast<uint16_t>(y + h - 1) > 179) {
            h = static_cast<uint16_t>(180 - y);
        }
        for (int i = 0; i < h; ++i) {
            hline(x, static_cast<uint16_t>(y + i), w, c);
        }
    }
    FUZZ_NO_COVERAGE void glyph(uint16_t x, uint16_t y, unsigned char ch, uint8_t size,
                                uint32_t c) {
        if (x >= w_ || y >= 180 || size == 0) {
            return;
        }
        for (int i = 0; i < 8; ++i) {
            for (int j = 0; j < 8; ++j) {
                if (((fontdata_8x8[8 * ch + i] << j) & 0x80) == 0) {
                    continue;
                }
                if (size == 1) {
                    pixel(static_cast<uint16_t>(x + j), static_cast<uint16_t>(y + i), c);
                } else {
                    rect(static_cast<uint16_t>(x + j * size), static_cast<uint16_t>(y + i * size),
                         size, static_cast<uint16_t>(size + 1), c);
                }
            }
        }
    }
    FUZZ_NO_COVERAGE void text(uint16_t x, uint16_t y, const unsigned char *s, size_t n,
                               uint8_t size, uint32_t c) {
        const int step = 8 * size;
        for (size_t k = 0; k < n; ++k) {
            glyph(x, y, s[k], size, c);
            x = static_cast<uint16_t>(x + step);
            if (int{x} > w_ - step) {
                x = 0;
                y = static_cast<uint16_t>(y + step);
            }
            if (int{y} > 180 - step) {
                y = 0;
            }
        }
    }
    // The program's images never exceed the window; of a framebuffer with
    // fewer columns or rows only what exists receives the image.
    FUZZ_NO_COVERAGE void image(int w, int h, const uint8_t *img) {
        if (total_ == 0) {
            return;
        }
        for (int y = 0; y < h && y + 39 < h_; ++y) {
            for (int x = 0; x < w && x < w_; ++x) {
                uint32_t word;
                std::memcpy(&word, img + (static_cast<size_t>(y) * w + x) * 4, 4);
                px_[static_cast<size_t>((y + 39) * int64_t{w_} + x)] = word;
            }
        }
    }

  private:
    int w_;
    int h_;
    int64_t total_;
    std::vector<uint32_t> &px_;
};

// Starting contents of framebuffer word i: alpha never 0xFF, so no colour
// the primitives make, and different from its neighbours.
uint32_t background(size_t i) {
    return 0x00A5C300u ^ static_cast<uint32_t>(i * 2654435761u);
}

FUZZ_NO_COVERAGE void fill_background(uint32_t *fb, std::vector<uint32_t> &want, size_t words) {
    want.resize(words);
    for (size_t i = 0; i < words; ++i) {
        fb[i] = background(i);
        want[i] = fb[i];
    }
}

// The first word that differs, or `words`.
FUZZ_NO_COVERAGE size_t first_difference(const uint32_t *fb, const std::vector<uint32_t> &want,
                                         size_t words) {
    for (size_t i = 0; i < words; ++i) {
        if (fb[i] != want[i]) {
            return i;
        }
    }
    return words;
}

FUZZ_NO_COVERAGE void fill_image(uint8_t *img, size_t bytes, uint8_t r, uint8_t g, uint8_t b) {
    for (size_t i = 0; i < bytes; ++i) {
        img[i] = static_cast<uint8_t>(r + i * g + (i >> 8) * b);
    }
}

// One call from the input, on the framebuffer and on the model. Returns false
// once the input is used up.
bool run_op(mpfuzz::Input &in, Model &m, int64_t &budget, int64_t words) {
    if (in.left() == 0) {
        return false;
    }
    const uint8_t kind = in.u8() % 7;
    const uint8_t r = in.u8(), g = in.u8(), b = in.u8();
    const uint32_t c = color_word(r, g, b);
    const int64_t cap = std::max<int64_t>(words, 1);
    const int pushes_before = pushes;
    switch (kind) {
        case 0: {
            const uint16_t x = coord(in.u16()), y = coord(in.u16());
            draw_pixel(x, y, r, g, b);
            m.pixel(x, y, c);
            budget -= 1;
            break;
        }
        case 1: {
            const uint16_t x = coord(in.u16()), y = coord(in.u16()), len = coord(in.u16());
            draw_fast_HLine(x, y, len, r, g, b);
            m.hline(x, y, len, c);
            budget -= std::min<int64_t>(len, cap);
            break;
        }
        case 2: {
            const uint16_t x = coord(in.u16()), y = coord(in.u16());
            const uint16_t w = coord(in.u16()), h = coord(in.u16());
            const int64_t cost = std::min<int64_t>(w, cap) * std::min<int64_t>(h, 180);
            if (cost > budget) {
                return false;
            }
            draw_rect_color(x, y, w, h, r, g, b);
            m.rect(x, y, w, h, c);
            budget -= cost;
            break;
        }
        case 3:
        case 4: {
            const uint16_t x = coord(in.u16()), y = coord(in.u16());
            const uint8_t size = in.u8();
            size_t n = 1;
            unsigned char text[kMaxString + 1] = {};
            if (kind == 3) {
                text[0] = in.u8();
            } else {
                const uint8_t *bytes = in.take(in.u8() % (kMaxString + 1), &n);
                std::memcpy(text, bytes, n);
                // The string ends at its first zero byte, as for the program.
                n = std::strlen(reinterpret_cast<const char *>(text));
            }
            const int64_t block = std::min<int64_t>(size, cap) * std::min<int64_t>(size + 1, 180);
            const int64_t cost = int64_t(n) * 64 * std::max<int64_t>(block, 1);
            if (cost > budget) {
                return false;
            }
            if (kind == 3) {
                show_char(x, y, text[0], r, g, b, size);
            } else {
                show_string(x, y, reinterpret_cast<const char *>(text), r, g, b, size);
            }
            m.text(x, y, text, n, size, c);
            budget -= cost;
            break;
        }
        case 5: {
            // A run from an address window, clipped only by what is mapped.
            const uint16_t x = coord(in.u16()), y = coord(in.u16());
            const uint16_t lo = in.u16(), hi = in.u16();
            const uint32_t len = (uint32_t{hi} << 16) | lo;
            set_addr_window(x, y);
            const int64_t want_offset = m.at(x, y);
            FUZZ_CHECK(want_offset > INT_MAX || display_offset == want_offset,
                       "set_addr_window(%u, %u) set offset %d, expected %lld", x, y, display_offset,
                       static_cast<long long>(want_offset));
            flood(r, g, b, len);
            m.flood(want_offset, len, c);
            budget -= std::min<int64_t>(len, cap);
            break;
        }
        default: {
            const int w = in.u16() % (kImageMaxW + 3) - 2;  // -2 .. 240
            const int h = in.u16() % (kImageMaxH + 3) - 2;  // -2 .. 180
            const size_t bytes = static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) * 4;
            std::unique_ptr<uint8_t[]> img(new uint8_t[bytes]);
            fill_image(img.get(), bytes, r, g, b);
            draw_image(w, h, img.get());
            m.image(w, h, img.get());
            budget -= static_cast<int64_t>(bytes / 4);
            FUZZ_CHECK(pushes == pushes_before + 1, "draw_image(%d, %d) pushed %d frames", w, h,
                       pushes - pushes_before);
            return budget > 0;
        }
    }
    FUZZ_CHECK(pushes == pushes_before, "primitive kind %u pushed a frame", kind);
    return budget > 0;
}

}  // namespace

// Stands in for the panel push: no TE wait, no device files.
void FB_flash() {
    ++pushes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    mpfuzz::Input in(data, size);
    const int w = pick(kWidths, in.u8());
    const int h = pick(kHeights, in.u8());
    const bool mapped = (in.u8() & 1) == 0;  // a failed mapping leaves sizes but no buffer

    const size_t words = static_cast<size_t>(w) * static_cast<size_t>(h);
    // Exactly the framebuffer's words, for AddressSanitizer; the model's
    // array is kept from input to input, as only its contents matter.
    std::unique_ptr<uint32_t[]> fb(new uint32_t[words]);
    static std::vector<uint32_t> want;
    fill_background(fb.get(), want, words);
    Model m(w, h, mapped, want);
    FB_buf = mapped ? fb.get() : nullptr;
    width = w;
    height = h;

    int64_t budget = kStoreBudget;
    for (int op = 0; op < kMaxOps && run_op(in, m, budget, mapped ? int64_t(words) : 0); ++op) {
    }

    FB_buf = nullptr;
    width = 0;
    height = 0;
    const size_t i = first_difference(fb.get(), want, words);
    FUZZ_CHECK(i == words,
               "framebuffer %dx%d%s: word %zu (column %zu, row %zu) is %08X, expected %08X", w, h,
               mapped ? "" : " (not mapped)", i, i % static_cast<size_t>(w),
               i / static_cast<size_t>(w), fb[i], want[i]);
    return 0;
}

// Cases the fuzz targets (tests/fuzz) have found, kept so that they stay fixed
// in the ordinary suite.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "device/device.h"
#include "display/draw.h"

namespace {

constexpr uint32_t kUntouched = 0x12345678u;  // alpha 0x12: no colour the primitives make

// A heap framebuffer the drawing primitives write through the device globals.
class MemoryFb {
  public:
    MemoryFb(int w, int h) : w_(w), px_(static_cast<size_t>(w) * h, kUntouched) {
        FB_buf = px_.data();
        width = w;
        height = h;
    }
    ~MemoryFb() {
        FB_buf = nullptr;
        width = 0;
        height = 0;
    }
    MemoryFb(const MemoryFb &) = delete;
    MemoryFb &operator=(const MemoryFb &) = delete;
    uint32_t at(int x, int row) const { return px_[static_cast<size_t>(row) * w_ + x]; }

  private:
    int w_;
    std::vector<uint32_t> px_;
};

// fuzz_draw: a rectangle whose height is so large that its bottom row number
// wraps at 16 bits inside the window (136 + 65518 - 1 wraps to 117), so it is
// not cut at window row 179. Its rows are still only window rows: one version
// of the fill wrote the rows from 180 on as well, into the framebuffer rows
// below the window (framebuffer row 219 onward of a 240-row framebuffer).
TEST(FuzzRegressions, RectangleWithWrappingHeightStaysInTheWindowRows) {
    MemoryFb fb(240, 240);
    draw_rect_color(146, 136, 141, 65518, 0x4F, 0x52, 0x43);
    const uint32_t c = 0xFF4F5243u;
    for (int row = 0; row < 240; ++row) {
        const bool window_row = row >= 39 && row < 39 + 180;
        for (int x = 0; x < 240; ++x) {
            if (!window_row || x < 146) {
                ASSERT_EQ(fb.at(x, row), kUntouched) << "column " << x << " row " << row;
            }
        }
    }
    // From the rectangle's top row to the window's bottom, cut at the right edge.
    for (int y = 136; y < 180; ++y) {
        for (int x = 146; x < 240; ++x) {
            ASSERT_EQ(fb.at(x, y + 39), c) << "column " << x << " window row " << y;
        }
    }
}

}  // namespace

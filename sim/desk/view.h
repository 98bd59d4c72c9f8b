// What the window shows: the panel as the panel last received it, lit by the
// backlight, and the device's state beside it, drawn in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "desk_device.h"

namespace desk {

// The window's geometry. The panel's top-left corner is kEdge pixels from the
// window's, at every zoom; the tests and the README rely on it.
struct Layout {
    static constexpr int kEdge = 16;
    static constexpr int kSideWidth = 400;
    static constexpr int kMinHeight = 560;
    int zoom = 3;
    int panel_w() const { return BOARD_GLASS_WIDTH * zoom; }
    int panel_h() const { return BOARD_GLASS_HEIGHT * zoom; }
    int side_x() const { return kEdge + panel_w() + 24; }
    int width() const { return side_x() + kSideWidth + kEdge; }
    int height() const { return std::max(panel_h() + 2 * kEdge, kMinHeight); }
};

// 0xAARRGGBB pixels in memory, with the few primitives the window needs.
class Canvas {
  public:
    Canvas(int w, int h) : w_(w), h_(h), px_(static_cast<size_t>(w) * h) {}
    int width() const { return w_; }
    int height() const { return h_; }
    uint32_t *pixels() { return px_.data(); }
    void fill(int x, int y, int w, int h, uint32_t c);
    void frame(int x, int y, int w, int h, uint32_t c);  // a one-pixel outline
    // Text in the program's own 8x8 font, each glyph `scale` times its size.
    void text(int x, int y, const std::string &s, uint32_t c, int scale = 1);

  private:
    int w_, h_;
    std::vector<uint32_t> px_;
};

// The panel's picture as a person sees it: the last frame the panel took,
// each colour scaled by the duty over the backlight's period (its full duty). Black while
// the backlight is off or no frame has arrived; rows or columns the frame
// lacks stay black.
mpsim::Frame lit_panel(const mpsim::Frame *f, int duty);

void draw_window(Canvas &c, const Layout &l, const Status &s, const mpsim::Frame &lit,
                 const std::string &note);

}  // namespace desk

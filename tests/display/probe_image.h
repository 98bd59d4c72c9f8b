// The test image that display_probe hands to draw_image in its "guarded"
// mode, and that the test expects to find in the framebuffer: every pixel
// different from its neighbours and from the background, with an alpha that is
// not 0xFF, so that a copy to the wrong place or a forced alpha shows.
#pragma once

#include <cstdint>
#include <vector>

namespace mpt {

constexpr uint32_t probe_pixel(int x, int y) {
    const auto ux = static_cast<uint32_t>(x);
    const auto uy = static_cast<uint32_t>(y);
    return ((0x80u | ((ux + uy) & 0x7Fu)) << 24) |
           ((((ux >> 8) | ((uy >> 8) << 4)) ^ 0x5Au) << 16) | ((uy & 0xFFu) << 8) | (ux & 0xFFu);
}

// w x h pixels, rows from the top, bytes blue, green, red, alpha.
inline std::vector<uint8_t> probe_image(int w, int h) {
    std::vector<uint8_t> img;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint32_t p = probe_pixel(x, y);
            for (int k = 0; k < 4; ++k) {
                img.push_back(static_cast<uint8_t>(p >> (8 * k)));
            }
        }
    }
    return img;
}

}  // namespace mpt

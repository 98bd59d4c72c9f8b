// Helpers for end-to-end tests: what a region of a panel frame should show,
// drawn with the program's own primitives on a blank canvas.
#pragma once

#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace e2e {

struct Colour {
    uint8_t r, g, b;
};
constexpr Colour kWhite{255, 255, 255};
constexpr Colour kBlack{0, 0, 0};
constexpr Colour kYellow{255, 255, 0};
constexpr Colour kGreen{0, 255, 0};
constexpr Colour kRed{255, 0, 0};

// A 240 x 180 window as drawn by `draw` (which calls the drawing primitives);
// the canvas starts all black.
std::vector<uint32_t> render(void (*draw)(const void *), const void *ctx);

// The 144 x 20 value field of the information screen at (88, y) showing `text`.
std::vector<uint32_t> value_field(const std::string &text, Colour c);

// True when the rectangle (x, y, w, h) of frame f equals the same rectangle
// of the 240-wide canvas; on mismatch `why` says where.
bool region_equals(const mpsim::Frame &f, int x, int y, int w, int h,
                   const std::vector<uint32_t> &canvas, std::string *why = nullptr);

// The value field at (88, y) of frame f shows exactly `text` in colour c.
bool field_shows(const mpsim::Frame &f, int y, const std::string &text, Colour c,
                 std::string *why = nullptr);

// The value field at (88, y) holds some text, all of it in colour c.
bool field_in_colour(const mpsim::Frame &f, int y, Colour c);

// The value field at (88, y) of `after` shows the same text as in `before`,
// now in colour c.
bool field_recoloured(const mpsim::Frame &before, const mpsim::Frame &after, int y, Colour c);

// Golden frames: compares f with tests/e2e/golden/<name>.png, or writes it
// when MP_UPDATE_GOLDEN=1. Returns an empty string on success, else why not.
// Skips (returns "skip") when this build cannot read PNG files.
std::string check_golden(const mpsim::Frame &f, const std::string &name);

}  // namespace e2e

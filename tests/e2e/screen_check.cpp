#include "screen_check.h"

#include <cstdlib>
#include <sstream>

#include "device/device.h"
#include "display/draw.h"

#ifndef MP_E2E_GOLDEN_DIR
#error "MP_E2E_GOLDEN_DIR must name the folder of the reference frames"
#endif

namespace e2e {

namespace {
struct FieldCtx {
    const std::string *text;
    Colour c;
    int y;
};
}  // namespace

std::vector<uint32_t> render(void (*draw)(const void *), const void *ctx) {
    // Draw into memory: the primitives write wherever FB_buf points.
    std::vector<uint32_t> fb(240 * (39 + 180), 0xFF000000u);
    uint32_t *saved_buf = FB_buf;
    int saved_w = width, saved_h = height;
    FB_buf = fb.data();
    width = 240;
    height = 39 + 180;
    draw(ctx);
    FB_buf = saved_buf;
    width = saved_w;
    height = saved_h;
    return {fb.begin() + 240 * 39, fb.end()};
}

std::vector<uint32_t> value_field(const std::string &text, Colour c) {
    FieldCtx ctx{&text, c, 0};
    return render(
        [](const void *p) {
            auto *f = static_cast<const FieldCtx *>(p);
            draw_rect_color(88, 0, 144, 20, 0, 0, 0);
            show_string(88, 0, f->text->c_str(), f->c.r, f->c.g, f->c.b, 2);
        },
        &ctx);
}

bool region_equals(const mpsim::Frame &f, int x, int y, int w, int h,
                   const std::vector<uint32_t> &canvas, std::string *why) {
    if (f.width < x + w || f.height < y + h) {
        if (why)
            *why = "frame too small";
        return false;
    }
    for (int j = 0; j < h; j++) {
        for (int i = 0; i < w; i++) {
            uint32_t want = canvas[static_cast<size_t>(j) * 240 + static_cast<size_t>(i + x)];
            uint32_t got = f.at(x + i, y + j);
            if (want != got) {
                if (why) {
                    std::ostringstream s;
                    s << "pixel (" << x + i << ", " << y + j << ") is " << std::hex << got
                      << ", want " << want;
                    *why = s.str();
                }
                return false;
            }
        }
    }
    return true;
}

bool field_shows(const mpsim::Frame &f, int y, const std::string &text, Colour c,
                 std::string *why) {
    std::vector<uint32_t> want = value_field(text, c);
    // The field's canvas was drawn at row 0; compare row by row with offset y.
    if (f.height < y + 20 || f.width < 240) {
        if (why)
            *why = "frame too small";
        return false;
    }
    for (int j = 0; j < 20; j++) {
        for (int i = 88; i < 88 + 144; i++) {
            uint32_t w = want[static_cast<size_t>(j) * 240 + static_cast<size_t>(i)];
            uint32_t g = f.at(i, y + j);
            if (w != g) {
                if (why) {
                    std::ostringstream s;
                    s << "field at y " << y << " does not show \"" << text << "\": pixel (" << i
                      << ", " << y + j << ") is " << std::hex << g << ", want " << w;
                    *why = s.str();
                }
                return false;
            }
        }
    }
    return true;
}

namespace {
constexpr uint32_t kBlackPx = 0xFF000000u;
uint32_t px(Colour c) {
    return mpsim::rgb(c.r, c.g, c.b);
}
}  // namespace

bool field_in_colour(const mpsim::Frame &f, int y, Colour c) {
    if (f.height < y + 20 || f.width < 240)
        return false;
    bool any = false;
    for (int j = 0; j < 20; j++)
        for (int i = 88; i < 88 + 144; i++) {
            uint32_t p = f.at(i, y + j);
            if (p == kBlackPx)
                continue;
            if (p != px(c))
                return false;
            any = true;
        }
    return any;
}

bool field_recoloured(const mpsim::Frame &before, const mpsim::Frame &after, int y, Colour c) {
    if (!field_in_colour(after, y, c) || before.height < y + 20 || before.width < 240)
        return false;
    for (int j = 0; j < 20; j++)
        for (int i = 88; i < 88 + 144; i++)
            if ((before.at(i, y + j) == kBlackPx) != (after.at(i, y + j) == kBlackPx))
                return false;
    return true;
}

std::string check_golden(const mpsim::Frame &f, const std::string &name) {
    if (!mpsim::png_supported())
        return "skip";
    std::string file = std::string(MP_E2E_GOLDEN_DIR) + "/" + name + ".png";
    const char *update = getenv("MP_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1")
        return mpsim::write_png(file, f) ? "" : "cannot write " + file;
    auto ref = mpsim::read_png(file);
    if (!ref)
        return "cannot read " + file + " (regenerate with MP_UPDATE_GOLDEN=1)";
    if (ref->width != f.width || ref->height != f.height)
        return "size differs from " + file;
    for (int y = 0; y < f.height; y++)
        for (int x = 0; x < f.width; x++)
            if (ref->at(x, y) != f.at(x, y)) {
                std::ostringstream s;
                s << name << ": pixel (" << x << ", " << y << ") is " << std::hex << f.at(x, y)
                  << ", reference " << ref->at(x, y);
                return s.str();
            }
    return "";
}

}  // namespace e2e

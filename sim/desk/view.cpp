// The window's picture, drawn in memory: the lit panel at its zoom, the
// gamepad with the keys the GPIOs show pressed, the board's inputs, the
// panel's porch and rate, who holds the keys, and what the program and the
// normal application printed.
#include "view.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "assets.h"
#include "mpsim/board.h"

namespace desk {

namespace {

constexpr uint32_t kBackground = 0xFF202428;
constexpr uint32_t kText = 0xFFE0E0E0;
constexpr uint32_t kDim = 0xFF8A9096;
constexpr uint32_t kHeading = 0xFF80C0FF;
constexpr uint32_t kOn = 0xFF60E060;
constexpr uint32_t kNote = 0xFFFFE060;
constexpr uint32_t kKeyLit = 0xFFFFD000;
constexpr uint32_t kKeyIdle = 0xFF404850;
constexpr uint32_t kBezel = 0xFF50565C;
constexpr int kLine = 22;       // a line of scale-2 text
constexpr int kSmallLine = 10;  // a line of scale-1 text
constexpr size_t kSmallChars = Layout::kSideWidth / 8;

uint32_t scaled(uint32_t c, int duty) {
    auto ch = [&](int shift) {
        return static_cast<uint32_t>(((c >> shift) & 0xFF) * static_cast<uint64_t>(duty) /
                                     BOARD_BACKLIGHT_PERIOD_NS)
               << shift;
    };
    return 0xFF000000u | ch(16) | ch(8) | ch(0);
}

__attribute__((format(printf, 1, 2))) std::string fmt(const char *f, ...) {
    char buf[128];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

void draw_panel(Canvas &c, const Layout &l, const mpsim::Frame &lit) {
    const int x0 = Layout::kEdge, y0 = Layout::kEdge, z = l.zoom;
    c.frame(x0 - 3, y0 - 3, l.panel_w() + 6, l.panel_h() + 6, kBezel);
    std::vector<uint32_t> row(static_cast<size_t>(l.panel_w()));
    for (int y = 0; y < lit.height; ++y) {
        for (int x = 0; x < lit.width; ++x)
            std::fill_n(row.begin() + x * z, z, lit.at(x, y));
        for (int r = 0; r < z; ++r)
            std::memcpy(c.pixels() + static_cast<size_t>(y0 + y * z + r) * c.width() + x0,
                        row.data(), row.size() * sizeof row[0]);
    }
}

// A key as a box, lit while its GPIO reads pressed.
void draw_key(Canvas &c, int x, int y, int w, int h, const std::string &label, int scale,
              bool down) {
    c.fill(x, y, w, h, down ? kKeyLit : kKeyIdle);
    c.frame(x, y, w, h, kDim);
    const int tw = static_cast<int>(label.size()) * 8 * scale;
    c.text(x + (w - tw) / 2, y + (h - 8 * scale) / 2, label, down ? 0xFF000000 : kText, scale);
}

int draw_gamepad(Canvas &c, int x0, int y, const Status &s) {
    using mpsim::Key;
    auto down = [&](Key k) { return s.key_down[static_cast<int>(k)]; };
    const int cx = x0 + 56, cy = y + 50;
    draw_key(c, cx - 15, cy - 47, 30, 30, "\x18", 2, down(Key::Up));
    draw_key(c, cx - 15, cy + 17, 30, 30, "\x19", 2, down(Key::Down));
    draw_key(c, cx - 47, cy - 15, 30, 30, "\x1b", 2, down(Key::Left));
    draw_key(c, cx + 17, cy - 15, 30, 30, "\x1a", 2, down(Key::Right));
    draw_key(c, x0 + 134, cy - 12, 80, 24, "START", 1, down(Key::Start));
    draw_key(c, x0 + 252, cy - 4, 36, 36, "B", 2, down(Key::B));
    draw_key(c, x0 + 304, cy - 30, 36, 36, "A", 2, down(Key::A));
    const int hint = cy + 58;
    c.text(x0 + 32, hint, "arrows", kDim);
    c.text(x0 + 150, hint, "Return", kDim);
    c.text(x0 + 254, hint, "B key  A key", kDim);
    return hint + 16;
}

std::string power_text(const Status &s) {
    switch (s.power) {
        case Status::Power::Off:
            return "OFF";
        case Status::Power::Starting:
            return "ON  booting";
        case Status::Power::Running:
            return "ON  mp_test runs";
        case Status::Power::Ended:
            break;
    }
    return "ON  mp_test ended";
}

std::string ended_text(const Status &s) {
    return s.exited ? fmt("exit status %d", s.exit_code) : fmt("ended by signal %d", s.exit_code);
}

void small_lines(Canvas &c, int x, int &y, const std::vector<std::string> &lines, uint32_t col) {
    for (const std::string &l : lines) {
        c.text(x, y, l.substr(0, kSmallChars), col);
        y += kSmallLine;
    }
}

}  // namespace

void Canvas::fill(int x, int y, int w, int h, uint32_t c) {
    const int x1 = std::min(x + w, w_), y1 = std::min(y + h, h_);
    for (int yy = std::max(y, 0); yy < y1; ++yy)
        for (int xx = std::max(x, 0); xx < x1; ++xx)
            px_[static_cast<size_t>(yy) * w_ + xx] = c;
}

void Canvas::frame(int x, int y, int w, int h, uint32_t c) {
    fill(x, y, w, 1, c);
    fill(x, y + h - 1, w, 1, c);
    fill(x, y, 1, h, c);
    fill(x + w - 1, y, 1, h, c);
}

void Canvas::text(int x, int y, const std::string &s, uint32_t c, int scale) {
    for (unsigned char ch : s) {
        for (int row = 0; row < 8; ++row) {
            const uint8_t bits = fontdata_8x8[ch * 8 + row];
            for (int col = 0; col < 8; ++col)
                if ((bits & (0x80 >> col)) != 0)
                    fill(x + col * scale, y + row * scale, scale, scale, c);
        }
        x += 8 * scale;
    }
}

mpsim::Frame lit_panel(const mpsim::Frame *f, int duty) {
    mpsim::Frame lit;
    lit.width = BOARD_GLASS_WIDTH;
    lit.height = BOARD_GLASS_HEIGHT;
    lit.px.assign(static_cast<size_t>(lit.width) * lit.height, 0xFF000000u);
    if (f == nullptr || duty <= 0)
        return lit;
    lit.push = f->push;
    lit.time_ns = f->time_ns;
    for (int y = 0; y < std::min(f->height, lit.height); ++y)
        for (int x = 0; x < std::min(f->width, lit.width); ++x)
            lit.px[static_cast<size_t>(y) * lit.width + x] = scaled(f->at(x, y), duty);
    return lit;
}

void draw_window(Canvas &c, const Layout &l, const Status &s, const mpsim::Frame &lit,
                 const std::string &note) {
    c.fill(0, 0, c.width(), c.height(), kBackground);
    draw_panel(c, l, lit);

    const int x = l.side_x();
    int y = Layout::kEdge;
    c.text(x, y, "POWER", kHeading, 2);
    c.text(x + 96, y, power_text(s), s.power == Status::Power::Off ? kDim : kOn, 2);
    y += kLine;
    if (s.ran && (s.power == Status::Power::Ended || s.power == Status::Power::Off))
        c.text(x + 96, y, "mp_test: " + ended_text(s), kDim);
    y = draw_gamepad(c, x, y + 14, s);

    auto row = [&](const char *label, const std::string &value, uint32_t col = kText) {
        c.text(x, y, label, kHeading, 2);
        c.text(x + 96, y, value, col, 2);
        y += kLine;
    };
    row("VOL", fmt("%3d%%  raw %d", s.volume_percent, s.volume_raw));
    row("DET", fmt("HP %d   USB %d", s.headphone, s.usb));
    row("BAT", fmt("%d = %.2f V", s.battery_raw, s.battery_raw / 21.0));
    const double rate = s.te_clock / static_cast<double>(BOARD_PANEL_LINES + s.porch);
    row("PORCH", s.te_stopped ? fmt("%d, TE dead", s.porch) : fmt("%d = %.2f Hz", s.porch, rate));
    row("LIGHT", s.duty < 0 ? std::string("off")
                            : fmt("%d = %d%%", s.duty, s.duty * 100 / BOARD_BACKLIGHT_PERIOD_NS));
    row("KEYS", s.keys_bound ? "kernel driver" : fmt("program (%d GPIOs)", s.keys_exported),
        s.keys_bound ? kText : kNote);

    y += 6;
    c.text(x, y, "PROGRAM OUTPUT", kHeading);
    y += kSmallLine + 2;
    small_lines(c, x, y, s.output, kText);
    if (s.output.empty() && s.power == Status::Power::Running) {
        c.text(x, y, "none yet", kDim);
        y += kSmallLine;
    }
    y += 4;
    if (s.app_ran) {
        c.text(x, y, "NORMAL APPLICATION RAN:", kOn);
        y += kSmallLine + 2;
        small_lines(c, x, y, s.app_output, kText);
    } else if (s.ran) {
        c.text(x, y, "normal application not started", kDim);
        y += kSmallLine;
    }
    if (!note.empty())
        c.text(x, y + 4, note.substr(0, kSmallChars), kNote);

    static const char *const help[] = {
        "arrows Return A B: keys   wheel + -: volume",
        "Home End: volume 100/0   H U: detect levels",
        "[ ]: battery (Shift: 10)  P: panel screenshot",
        "F1 on  F2 factory entry  F3 porch-adjust entry",
        "F4 off  F5 power cycle  F8 factory-fresh",
        "Ctrl+Q or close: power off and quit",
    };
    int hy = c.height() - Layout::kEdge - 6 * kSmallLine;
    for (const char *h : help) {
        c.text(x, hy, h, kDim);
        hy += kSmallLine;
    }
}

}  // namespace desk

#include "mp_check.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"

namespace mptest {

using mpsim::Device;
using mpsim::Key;

constexpr int kW = 240;
constexpr int kH = 180;
constexpr int kFirstRow = 39;

Window render(const std::function<void()> &draw) {
    // The primitives write wherever FB_buf points: draw into memory.
    std::vector<uint32_t> fb(static_cast<size_t>(kW) * (kFirstRow + kH), 0xFF000000u);
    uint32_t *saved_buf = FB_buf;
    int saved_w = width, saved_h = height;
    FB_buf = fb.data();
    width = kW;
    height = kFirstRow + kH;
    draw();
    FB_buf = saved_buf;
    width = saved_w;
    height = saved_h;
    return {fb.begin() + static_cast<long>(kW) * kFirstRow, fb.end()};
}

Window image(const uint8_t *img) {
    Window w(static_cast<size_t>(kW) * kH);
    for (size_t i = 0; i < w.size(); i++) {
        const uint8_t *p = img + 4 * i;  // blue, green, red, alpha
        w[i] = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    }
    return w;
}

Window filled(uint8_t r, uint8_t g, uint8_t b) {
    return Window(static_cast<size_t>(kW) * kH, mpsim::rgb(r, g, b));
}

Window failure_label(int btn) {
    struct Label {
        const char *text;
        uint16_t x;
    };
    static const Label labels[] = {{"UP", 72},   {"RIGHT", 0}, {"DOWN", 24}, {"LEFT", 24},
                                   {"START", 0}, {"A", 96},    {"B", 96}};
    const Label &l = labels[btn];
    return render([&] {
        draw_rect_color(0, 0, 240, 180, 0, 0, 0);
        show_string(l.x, 66, l.text, 255, 0, 0, 6);
    });
}

Window status_screen(int headphone, int usb, int battery_raw) {
    // Volts in single precision, step by step: 2a / 63 * 3 / 2.
    float v = static_cast<float>(battery_raw);
    v = v + v;
    v = v / 63.0f;
    v = v * 3.0f;
    v = v * 0.5f;
    char text[32];
    snprintf(text, sizeof text, "%.2f V", static_cast<double>(v));
    return render([&] {
        draw_rect_color(0, 0, 240, 180, 0, 0, 0);
        // Headphone detect: green for level 0. USB detect: green for level 1.
        if (headphone == 0)
            draw_rect_color(91, 106, 58, 34, 0, 255, 0);
        else
            draw_rect_color(91, 106, 58, 34, 255, 0, 0);
        show_string(96, 111, "HP", 0, 0, 0, 3);
        if (usb == 1)
            draw_rect_color(79, 146, 82, 34, 0, 255, 0);
        else
            draw_rect_color(79, 146, 82, 34, 255, 0, 0);
        show_string(84, 151, "USB", 0, 0, 0, 3);
        draw_rect_color(43, 0, 154, 66, 0, 0, 0);
        show_string(84, 5, "BAT", 255, 255, 255, 3);
        show_string(48, 37, text, 255, 255, 255, 3);
    });
}

bool same(const mpsim::Frame &f, const Window &w, std::string *why) {
    if (f.width != kW || f.height != kH) {
        if (why)
            *why = "frame is " + std::to_string(f.width) + " x " + std::to_string(f.height);
        return false;
    }
    for (size_t i = 0; i < w.size(); i++) {
        if (f.px[i] != w[i]) {
            if (why) {
                std::ostringstream s;
                s << "pixel (" << i % kW << ", " << i / kW << ") is " << std::hex << f.px[i]
                  << ", want " << w[i];
                *why = s.str();
            }
            return false;
        }
    }
    return true;
}

bool wait_showing(Device &dev, const Window &w, mpsim::Ms timeout) {
    return dev.wait_until(
        [&] {
            auto f = dev.current_frame();
            return f && same(*f, w);
        },
        timeout);
}

int find_frame(const Device &dev, const Window &w, int from) {
    int n = dev.frame_count();
    for (int i = from; i < n; i++) {
        if (same(dev.frame(i), w))
            return i;
    }
    return -1;
}

void press(Device &dev, std::initializer_list<Key> keys) {
    for (Key k : keys)
        dev.set_key(k, true);
}

void release(Device &dev, std::initializer_list<Key> keys) {
    for (Key k : keys)
        dev.set_key(k, false);
}

void rest() {
    std::this_thread::sleep_for(kHold);
}

void tap(Device &dev, std::initializer_list<Key> keys) {
    press(dev, keys);
    rest();
    release(dev, keys);
    rest();
}

std::vector<Duty> duty_writes(const Device &dev) {
    std::vector<Duty> out;
    for (const auto &e : dev.journal("write", kDuty)) {
        if (!e.ok())
            continue;
        std::string text(e.bytes.begin(), e.bytes.end());
        out.push_back({e.time_ns, atoi(text.c_str())});
    }
    return out;
}

int sweep_percent(size_t pass) {
    int c = static_cast<int>(pass % 200);
    return c <= 100 ? c : 200 - c;
}

Clip image_clip() {
    return {g_data0, G_DATA0_SAMPLES, 0.015f};
}
Clip status_clip() {
    return {data0, DATA0_SAMPLES, 0.01f};
}

int16_t expected_sample(int16_t s, int percent, float gain) {
    float volume = static_cast<float>(percent) * gain;
    float product = static_cast<float>(s) * volume;
    double t = std::trunc(static_cast<double>(product));
    if (t > 32767.0)
        t = 32767.0;
    if (t < -32768.0)
        t = -32768.0;
    return static_cast<int16_t>(t);
}

namespace {

constexpr unsigned kPeriod = 256;

bool period_matches(const int16_t *rec, const int16_t *clip, int percent, float gain) {
    for (unsigned k = 0; k < kPeriod; k++) {
        int16_t want = expected_sample(clip[k], percent, gain);
        if (rec[2 * k] != want || rec[2 * k + 1] != want)
            return false;
    }
    return true;
}

}  // namespace

AudioMatch match_recording(const mpsim::Recording &r, const Clip &clip,
                           const std::vector<int> &percents, int max_skips) {
    AudioMatch m;
    m.per_percent.assign(percents.size(), 0);
    if (r.rate != 44100 || r.channels != 2) {
        m.why = "recording is " + std::to_string(r.rate) + " Hz, " + std::to_string(r.channels) +
                " channels";
        return m;
    }
    const size_t per_period = 2 * kPeriod;
    if (r.samples.size() % per_period != 0) {
        m.why =
            "recording of " + std::to_string(r.samples.size()) + " samples is not whole periods";
        return m;
    }
    // A pass plays whole periods only and then starts the clip over.
    const unsigned pass_periods = clip.count / kPeriod;
    unsigned q = 0;  // clip period expected next
    size_t vi = 0;   // current candidate percent
    m.periods = r.samples.size() / per_period;
    for (size_t j = 0; j < m.periods; j++) {
        const int16_t *rec = r.samples.data() + j * per_period;
        bool found = false;
        for (int skip = 0; skip <= max_skips - m.skips && !found; skip++) {
            unsigned qq = (q + static_cast<unsigned>(skip)) % pass_periods;
            for (size_t v = vi; v < percents.size(); v++) {
                if (period_matches(rec, clip.samples + qq * kPeriod, percents[v], clip.gain)) {
                    found = true;
                    vi = v;
                    m.skips += skip;
                    q = (qq + 1) % pass_periods;
                    break;
                }
            }
        }
        if (!found) {
            std::ostringstream s;
            s << "period " << j << " of " << m.periods << " is not clip period " << q
              << " at any of the percents from " << percents[vi] << " on (first frame: " << rec[0]
              << ", " << rec[1] << "; clip sample " << clip.samples[q * kPeriod] << ")";
            m.why = s.str();
            return m;
        }
        m.per_percent[vi]++;
    }
    for (int16_t s : r.samples) {
        m.hit_min = m.hit_min || s == -32768;
        m.hit_max = m.hit_max || s == 32767;
    }
    m.ok = true;
    return m;
}

bool wait_played(Device &dev, int32_t since, int periods, mpsim::Ms timeout) {
    return dev.wait_until(
        [&] { return dev.state().frames_played.load() - since >= periods * int32_t{256}; },
        timeout);
}

double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    // The command name may hold spaces; the fields after it are fixed.
    size_t close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && rest >> field; i++) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace mptest

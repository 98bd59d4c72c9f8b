#include "checks.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "mpsim/harness.h"
#include "run.h"
#include "runner.h"
#include "scenario.h"

namespace fs = std::filesystem;

namespace mpsim {

namespace {

using Clock = std::chrono::steady_clock;

std::string ms_text(double ns) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", ns / 1e6);
    return buf;
}

std::string frame_name(int index, const char *ext = "") {
    char buf[32];
    std::snprintf(buf, sizeof buf, "frame-%04d%s", index, ext);
    return buf;
}

std::string rgb_text(uint32_t px) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06X", px & 0xFFFFFFu);
    return buf;
}

// How a frame differs from a golden one, outside the ignored rectangles.
struct FrameDiff {
    long count = LONG_MAX;  // differing pixels (every pixel when the sizes differ)
    int x = -1, y = -1;     // the first of them
    uint32_t got = 0, want = 0;
    bool size_differs = false;
};

FrameDiff compare_frame(const Frame &f, const Frame &want, const std::vector<Rect> &ignore) {
    FrameDiff d;
    d.count = 0;
    if (f.width != want.width || f.height != want.height) {
        d.size_differs = true;
        d.count = static_cast<long>(want.width) * want.height;
        return d;
    }
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            // The panel has no alpha: red, green and blue are what shows.
            const uint32_t a = f.at(x, y) & 0xFFFFFFu, b = want.at(x, y) & 0xFFFFFFu;
            if (a == b || std::any_of(ignore.begin(), ignore.end(),
                                      [&](const Rect &r) { return r.contains(x, y); }))
                continue;
            if (d.count++ == 0) {
                d.x = x;
                d.y = y;
                d.got = a;
                d.want = b;
            }
        }
    }
    return d;
}

// What a window of a frame holds: pixels of the ink colour, black ones and
// others (the first of those).
struct Ink {
    long ink = 0, black = 0, other = 0;
    int x = -1, y = -1;
    uint32_t px = 0;
    bool inside = true;  // the rectangle lies within the frame
};

Ink ink_of(const Frame &f, const Rect &r, uint32_t colour) {
    Ink k;
    k.inside = r.x + r.w <= f.width && r.y + r.h <= f.height;
    for (int y = r.y; y < std::min(r.y + r.h, f.height); ++y) {
        for (int x = r.x; x < std::min(r.x + r.w, f.width); ++x) {
            const uint32_t p = f.at(x, y) & 0xFFFFFFu;
            if (p == colour) {
                ++k.ink;
            } else if (p == 0) {
                ++k.black;
            } else if (k.other++ == 0) {
                k.x = x;
                k.y = y;
                k.px = p;
            }
        }
    }
    return k;
}

// A journal line as a step names it: OP PATH and, when given, ARG (the
// exact bytes of a write or a read, else the journaled argument).
struct JournalMatch {
    std::string op, path;
    std::optional<std::string> arg;

    explicit JournalMatch(const Step &s) : op(s.text("OP")), path(s.text("PATH")) {
        if (s.given("ARG"))
            arg = s.text("ARG");
    }
    bool operator()(const JournalEntry &e, bool prefix = false) const {
        if (e.op != op || e.path != path)
            return false;
        if (!arg)
            return true;
        const std::string got =
            op == "write" || op == "read" ? std::string(e.bytes.begin(), e.bytes.end()) : e.arg;
        return prefix ? got.rfind(*arg, 0) == 0 : got == *arg;
    }
    std::string what() const {
        return op + " of " + path + (arg ? " with '" + escape_bytes(*arg) + "'" : "");
    }
};

}  // namespace

void expect_frame(Run &r, const Step &s) {
    Target &dev = r.target();
    Mark &mark = r.mark();
    const std::string &file = s.text("FILE");
    const std::string name = fs::path(file).filename().string();
    if (r.config().update_golden) {
        r.log(s.where + ": " + s.source);
        const int n = dev.frame_count();
        if (n == 0)
            return r.fail(s, "no frame on the panel to write to " + file);
        std::error_code ec;
        fs::create_directories(fs::path(file).parent_path(), ec);
        if (!write_png(file, dev.frame(n - 1))) {
            return r.fail(
                s, "cannot write " + file + (png_supported() ? "" : " (this build has no PNG)"));
        }
        r.log("update mode: wrote " + frame_name(n - 1, ".png") + " to " + file);
        r.set_mark();
        mark.frame_next = n;
        mark.frame_at = n - 1;
        return;
    }
    const auto want = read_png(file);
    if (!want) {
        r.log(s.where + ": " + s.source);
        return r.fail(s,
                      "cannot read the golden frame " + file +
                          (png_supported() ? " (make it with MP_UPDATE_GOLDEN=1 or --update-golden)"
                                           : " (this build of mp-sim reads no PNG)"));
    }
    const auto &ignore = s.arg("ignore").rects;
    const int first = mark.frame_next;
    int next = first, matched = -1, closest = -1;
    FrameDiff best;
    r.waited(
        s,
        [&] {
            for (; next < dev.frame_count(); ++next) {
                const FrameDiff d = compare_frame(dev.frame(next), *want, ignore);
                if (d.count == 0) {
                    matched = next;
                    return true;
                }
                if (d.count < best.count) {
                    best = d;
                    closest = next;
                }
            }
            return false;
        },
        [&] {
            if (closest < 0)
                return "no frame on the panel from " + frame_name(first) + " on";
            const std::string keep = "closest-" + name;
            write_png((r.outdir() / keep).string(), dev.frame(closest));
            std::string why = "no frame from " + frame_name(first) + " to " + frame_name(next - 1) +
                              " equals " + name + "; the closest, " + frame_name(closest) +
                              " (kept as " + keep + "), ";
            if (best.size_differs)
                return why + "has another size than the golden's " + std::to_string(want->width) +
                       "x" + std::to_string(want->height);
            return why + "differs in " + std::to_string(best.count) + " pixel(s), the first at (" +
                   std::to_string(best.x) + ", " + std::to_string(best.y) +
                   "): " + rgb_text(best.got) + " instead of " + rgb_text(best.want);
        });
    if (matched >= 0) {
        mark.frame_next = matched + 1;
        mark.frame_at = matched;
    }
}

void expect_ink(Run &r, const Step &s) {
    Target &dev = r.target();
    Mark &mark = r.mark();
    const Rect rect = s.arg("X Y W H").rects.at(0);
    const auto colour = static_cast<uint32_t>(s.number("COLOUR"));
    const int first = mark.frame_at;
    int next = first, matched = -1;
    Ink last;
    r.waited(
        s,
        [&] {
            for (; next < dev.frame_count(); ++next) {
                last = ink_of(dev.frame(next), rect, colour);
                if (last.inside && last.ink > 0 && last.other == 0) {
                    matched = next;
                    return true;
                }
            }
            return false;
        },
        [&] {
            if (next == first)
                return "no frame on the panel from " + frame_name(first) + " on";
            std::string why = "no frame from " + frame_name(first) + " to " + frame_name(next - 1) +
                              " shows " + rgb_text(colour) + " on black there; the last ";
            if (!last.inside)
                return why + "is smaller than the rectangle";
            why += "has " + std::to_string(last.ink) + " pixel(s) of it";
            if (last.other > 0)
                why += " and " + std::to_string(last.other) + " of other colours, the first " +
                       rgb_text(last.px) + " at (" + std::to_string(last.x) + ", " +
                       std::to_string(last.y) + ")";
            return why;
        });
    if (matched >= 0)
        mark.frame_next = mark.frame_at = matched;
}

void expect_journal(Run &r, const Step &s) {
    const JournalMatch match(s);
    const size_t first = r.mark().journal;
    size_t j = first;
    std::optional<size_t> matched;
    r.waited(
        s,
        [&] {
            const auto &all = r.journal();
            for (; j < all.size(); ++j)
                if (match(all[j])) {
                    matched = j;
                    return true;
                }
            return false;
        },
        [&] {
            std::string why = "no " + match.what() + " after journal line " + std::to_string(first);
            const auto &all = r.journal();
            for (size_t k = first; k-- > 0;)
                if (match(all[k]))
                    return why + " (there is one before it, at line " + std::to_string(k + 1) + ")";
            return why;
        });
    // The cursor sits just after the match: the next line checks the order,
    // and the next wait-pushes counts the pushes after the matched line, not
    // those after the moment the runner happened to look.
    if (!matched)
        return;
    r.mark().journal = *matched + 1;
    const auto &all = r.journal();
    r.mark().pushes = 0;
    for (size_t k = *matched + 1; k-- > 0;)
        if (all[k].op == "push") {
            r.mark().pushes = atoi(all[k].result.c_str());
            break;
        }
}

void expect_no_journal(Run &r, const Step &s) {
    const JournalMatch match(s);
    r.log(s.where + ": " + s.source);
    const auto &all = r.journal();
    for (size_t j = 0; j < all.size(); ++j)
        if (match(all[j], true))
            return r.fail(s, "journal line " + std::to_string(j + 1) + " is a " + match.what());
}

// The median of the intervals between `count` successive matching lines
// from the cursor on. Sleeps only ever run long, so a loaded machine moves a
// median up by a fraction of a period at most; a pass that is half as long
// again as it should be stands out.
void expect_period(Run &r, const Step &s) {
    constexpr double kBelow = 0.9, kAbove = 1.25;
    const JournalMatch match(s);
    const auto count = static_cast<size_t>(s.number("count"));
    const double period = static_cast<double>(s.seconds("every").count()) * 1e6;  // ns
    std::vector<uint64_t> times;
    size_t j = r.mark().journal, last = j;
    r.waited(
        s,
        [&] {
            const auto &all = r.journal();
            for (; j < all.size() && times.size() < count; ++j)
                if (match(all[j])) {
                    times.push_back(all[j].time_ns);
                    last = j;
                }
            return times.size() >= count;
        },
        [&] {
            return std::to_string(times.size()) + " " + match.what() + " of the " +
                   std::to_string(count) + " needed";
        });
    if (r.failed())
        return;
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < times.size(); ++i)
        gaps.push_back(times[i] - times[i - 1]);
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<long>(gaps.size() / 2), gaps.end());
    const auto median = static_cast<double>(gaps[gaps.size() / 2]);
    const std::string seen =
        "the median of " + std::to_string(gaps.size()) + " intervals is " + ms_text(median);
    if (median < kBelow * period || median > kAbove * period)
        return r.fail(s, seen + ", not within " + ms_text(kBelow * period) + " to " +
                             ms_text(kAbove * period));
    r.log(seen);
    r.mark().journal = last + 1;
}

// The first and the last matching line of the run so far lie at most S apart.
void expect_span(Run &r, const Step &s) {
    const JournalMatch match(s);
    r.log(s.where + ": " + s.source);
    std::optional<uint64_t> first, last;
    for (const auto &e : r.journal()) {
        if (!match(e))
            continue;
        if (!first)
            first = e.time_ns;
        last = e.time_ns;
    }
    if (!first || *first == *last)
        return r.fail(s, "fewer than two lines " + match.what());
    const double span = static_cast<double>(*last - *first) / 1e9;
    const double limit = static_cast<double>(s.seconds("within").count()) / 1e3;
    const std::string seen = "the lines " + match.what() + " span " + seconds_text(span) + " s";
    if (span > limit)
        return r.fail(s, seen);
    r.log(seen);
}

namespace {

// -1: the latest opening of the sound device when the line runs (the first
// short openings of the MP test race with the screen's start).
int recording_index(Run &r, const Step &s) {
    const int index = s.integer("INDEX");
    return index < 0 ? std::max(r.target().recording_count() - 1, 0) : index;
}

// Waits until recording `index` holds `need(channels)` frames.
bool wait_recording(Run &r, const Step &s, int index,
                    const std::function<size_t(unsigned channels)> &need) {
    Target &dev = r.target();
    size_t have = 0, needed = 0;
    r.waited(
        s,
        [&] {
            if (dev.recording_count() <= index)
                return false;
            unsigned channels = 0;
            have = dev.recording_frames(index, channels);
            needed = channels > 0 ? need(channels) : 0;
            return channels > 0 && have >= needed;
        },
        [&] {
            if (dev.recording_count() <= index)
                return std::to_string(dev.recording_count()) + " recording(s), no recording " +
                       std::to_string(index);
            return "recording " + std::to_string(index) + " holds " + std::to_string(have) +
                   " frame(s), not the " + std::to_string(needed) + " needed";
        });
    return !r.failed();
}

}  // namespace

void expect_samples(Run &r, const Step &s) {
    const int index = recording_index(r, s);
    const auto first = static_cast<size_t>(s.number("FRAME"));
    const auto &want = s.arg("V").numbers;
    if (!wait_recording(r, s, index,
                        [&](unsigned ch) { return first + (want.size() + ch - 1) / ch; }))
        return;
    const Recording rec = r.target().recording(index);
    const size_t from = first * rec.channels;
    for (size_t i = 0; i < want.size(); ++i) {
        if (rec.samples.at(from + i) != want[i]) {
            std::string got;
            for (size_t k = 0; k < want.size(); ++k)
                got += (k ? " " : "") + std::to_string(rec.samples.at(from + k));
            return r.fail(s, "sample " + std::to_string(i) + " is " +
                                 std::to_string(rec.samples[from + i]) + "; the recording holds " +
                                 got);
        }
    }
}

void expect_cpu_below(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    Target &dev = r.target();
    const auto window = s.seconds("over");
    const auto before = dev.cpu_seconds();
    const auto t0 = Clock::now();
    const auto end = t0 + window;
    while (Clock::now() < end && !r.ended())
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds{50}, end - Clock::now()));
    const auto after = r.ended() ? std::nullopt : dev.cpu_seconds();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!before || !after)
        return r.fail(s, "the program ended before " +
                             seconds_text(static_cast<double>(window.count()) / 1e3) + " s");
    const double percent = (*after - *before) / wall * 100.0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f %% of one core", percent);
    if (percent > static_cast<double>(s.number("PERCENT")))
        return r.fail(s, std::string("the program used ") + buf);
    r.log(std::string("the program used ") + buf);
    r.set_mark();
}

}  // namespace mpsim

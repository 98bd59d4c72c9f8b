#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace mpsim {

namespace {

constexpr const char *kKeyLabels[] = {"UP", "RIGHT", "DOWN", "LEFT", "START", "A", "B"};
// Nested includes deeper than this are a loop the file names did not show.
constexpr int kMaxIncludeDepth = 32;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string> tokens(std::string_view s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i]))
            ++i;
        size_t j = i;
        while (j < s.size() && !is_blank(s[j]))
            ++j;
        if (j > i)
            out.emplace_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

bool parse_long(const std::string &s, long &v) {
    const char *b = s.data();
    const char *e = b + s.size();
    auto [p, ec] = std::from_chars(b, e, v);
    return ec == std::errc() && p == e;
}

// Seconds as a decimal number ("3", "0.2"); at most a day.
bool parse_seconds(const std::string &s, std::chrono::milliseconds &out) {
    if (s.empty())
        return false;
    char *end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || !std::isfinite(v) || v < 0.0 || v > 86400.0)
        return false;
    out = std::chrono::milliseconds(std::llround(v * 1000.0));
    return true;
}

std::optional<uint32_t> parse_colour(const std::string &s) {
    static constexpr std::pair<const char *, uint32_t> kNames[] = {
        {"white", 0xFFFFFF}, {"black", 0x000000}, {"red", 0xFF0000},
        {"green", 0x00FF00}, {"blue", 0x0000FF},  {"yellow", 0xFFFF00}};
    for (const auto &[name, rgb] : kNames)
        if (s == name)
            return rgb;
    if (s.size() != 7 || s[0] != '#')
        return std::nullopt;
    uint32_t v = 0;
    auto [p, ec] = std::from_chars(s.data() + 1, s.data() + 7, v, 16);
    if (ec != std::errc() || p != s.data() + 7)
        return std::nullopt;
    return v;
}

bool is_journal_op(const std::string &op) {
    return op == "open" || op == "write" || op == "push" || op == "rename" || op == "fsync" ||
           op == "unlink";
}

// Set-up lines that set the same thing.
std::string setup_key(const std::string &cmd) {
    if (cmd == "no-porch-file")
        return "porch-file";
    if (cmd == "no-framebuffer")
        return "framebuffer";
    return cmd;
}

bool is_trap_op(const std::string &op) {
    return op == "open" || op == "write" || op == "rename" || op == "fsync" || op == "unlink";
}

// Line kinds: set-up lines (before the start), text set-up lines taking the
// rest of the line, actions at any time, lines that wait or check (the first
// of them starts the program), and lines that shape the scenario itself.
enum class Kind { Setup, Text, Action, Timed, Start, Meta };

struct Command {
    const char *name;
    Kind kind;
    bool text = false;  // the rest of the line is literal text: no comment
};

constexpr Command kCommands[] = {
    {"porch-file", Kind::Text, true},
    {"etc-version", Kind::Text, true},
    {"app-version", Kind::Text, true},
    {"app-dir", Kind::Text, true},
    {"finish", Kind::Text, true},
    {"args", Kind::Text, true},
    {"no-porch-file", Kind::Setup},
    {"app-noinit", Kind::Setup},
    {"framebuffer", Kind::Setup},
    {"no-framebuffer", Kind::Setup},
    {"start", Kind::Start},
    {"hold", Kind::Action},
    {"release", Kind::Action},
    {"volume", Kind::Action},
    {"volume-raw", Kind::Action},
    {"battery", Kind::Action},
    {"headphone", Kind::Action},
    {"usb", Kind::Action},
    {"te-clock", Kind::Action},
    {"te", Kind::Action},
    {"underrun", Kind::Action},
    {"remove", Kind::Action},
    {"refuse-write", Kind::Action},
    {"sound-fails", Kind::Action},
    {"sound-write-fails", Kind::Action},
    {"sound-suspend", Kind::Action},
    {"wall-clock-step", Kind::Action},
    {"trap", Kind::Action},
    {"no-gpio", Kind::Action},
    {"unwritable", Kind::Action},
    {"signal", Kind::Action},
    {"wall-clock", Kind::Action},
    {"slow-writes", Kind::Action},
    {"press", Kind::Timed},
    {"wait", Kind::Timed},
    {"wait-pushes", Kind::Timed},
    {"wait-frames", Kind::Timed},
    {"wait-journal", Kind::Timed},
    {"wait-exit", Kind::Timed},
    {"expect-exit", Kind::Timed},
    {"expect-signal", Kind::Timed},
    {"expect-frame", Kind::Timed},
    {"expect-ink", Kind::Timed},
    {"expect-journal", Kind::Timed},
    {"expect-no-journal", Kind::Timed},
    {"expect-file", Kind::Timed},
    {"expect-no-file", Kind::Timed},
    {"expect-stdout", Kind::Timed, true},
    {"expect-stderr", Kind::Timed, true},
    {"expect-stdout-count", Kind::Timed, true},
    {"expect-cpu-below", Kind::Timed},
    {"expect-gpio", Kind::Timed},
    {"expect-porch", Kind::Timed},
    {"expect-recordings", Kind::Timed},
    {"expect-samples", Kind::Timed},
    {"expect-recording", Kind::Timed},
    {"expect-underruns", Kind::Timed},
    {"include", Kind::Meta},
    {"flows", Kind::Meta},
    {"flow", Kind::Meta},
    {"when", Kind::Meta},
    {"frame-golden", Kind::Meta},
    {"labels", Kind::Meta},
    {"repeat", Kind::Meta},
    {"ends", Kind::Meta},
};

const Command *find_command(std::string_view name) {
    for (const auto &c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

std::string same_file_key(const fs::path &p) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    return (ec ? p.lexically_normal() : c).string();
}

class Parser {
  public:
    Parser(Scenario &out, std::string flow, const std::string &top)
        : sc_(out), flow_(std::move(flow)), top_(top) {
        sc_.flow = flow_;
    }

    // The lines of one file, in place of the line that included it.
    bool file(const std::string &name, std::string_view text);
    bool finish();
    const std::string &message() const { return message_; }

  private:
    struct Golden {
        std::string file;         // the golden as expect-frame lines name it
        std::string replacement;  // "" to leave those lines out
        std::string where;
        bool used = false;
    };

    bool fail(const std::string &msg) {
        message_ = where() + ": " + msg;
        for (size_t i = from_.size(); i-- > 0;)
            message_ += (i + 1 == from_.size() ? " (included from " : ", from ") + from_[i];
        if (!from_.empty())
            message_ += ")";
        return false;
    }
    std::string where() const { return file_ + ":" + std::to_string(line_); }
    fs::path here(const std::string &name) const {
        return (fs::path(file_).parent_path() / name).lexically_normal();
    }
    bool line(std::string_view raw);
    bool meta_line(const std::string &cmd, std::string_view body);
    bool include(const fs::path &file);
    bool text_line(const std::string &cmd, std::string_view rest);
    bool setup_line(const std::string &cmd, const std::vector<std::string> &t);
    bool action_line(const std::string &cmd, const std::vector<std::string> &t, ScenarioStep &s);
    bool timed_line(const std::string &cmd, const std::vector<std::string> &t, ScenarioStep &s);
    bool expect_line(const std::string &cmd, std::vector<std::string> t, ScenarioStep &s);
    bool output_line(const std::string &cmd, std::string_view rest, ScenarioStep &s);
    bool keys(const std::vector<std::string> &t, size_t from, size_t to, ScenarioStep &s);
    bool integer(const std::string &what, const std::string &tok, long lo, long hi, long &v);
    bool no_more(const std::vector<std::string> &t, size_t n);
    bool needs(const std::vector<std::string> &t, size_t n, const std::string &what);
    bool timeout(const std::vector<std::string> &t, size_t from, ScenarioStep &s);
    bool take_timeout(std::vector<std::string> &t, ScenarioStep &s);
    bool device_path(const std::string &tok);
    bool errno_arg(const std::string &tok, long &v);
    bool signal_arg(const std::string &tok, long &v);
    bool bytes_arg(const std::string &tok, std::string &bytes);
    bool rect(const std::vector<std::string> &t, size_t from, Rect &r);
    void start_here(const std::string &source);

    Scenario &sc_;
    const std::string flow_;
    const std::string top_;
    std::string message_;
    std::string file_;                  // file of the line being read
    int line_ = 0;                      // its line
    std::vector<std::string> from_;     // "file:line" of each include that led here
    int depth_ = 0;                     // 0: the scenario file itself
    std::set<std::string> pinned_;      // set-up lines given by the scenario file itself
    std::vector<std::string> reading_;  // files being read, to see a loop
    std::string start_where_;           // where the program starts, "" until then
    bool implicit_start_ = false;
    bool flows_seen_ = false, flow_seen_ = false, repeat_seen_ = false;
    std::string flows_file_;
    std::vector<Golden> goldens_;
};

bool Parser::integer(const std::string &what, const std::string &tok, long lo, long hi, long &v) {
    if (!parse_long(tok, v))
        return fail(what + " must be a whole number, not '" + tok + "'");
    if (v < lo || v > hi) {
        return fail(what + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) +
                    ", not " + tok);
    }
    return true;
}

bool Parser::no_more(const std::vector<std::string> &t, size_t n) {
    if (t.size() > n)
        return fail("unexpected '" + t[n] + "' after '" + t[n - 1] + "'");
    return true;
}

bool Parser::needs(const std::vector<std::string> &t, size_t n, const std::string &what) {
    if (t.size() < n)
        return fail("'" + t[0] + "' needs " + what);
    return true;
}

bool Parser::timeout(const std::vector<std::string> &t, size_t from, ScenarioStep &s) {
    s.duration = kDefaultWaitTimeout;
    if (t.size() <= from)
        return true;
    if (t[from] != "timeout")
        return fail("expected 'timeout <seconds>' instead of '" + t[from] + "'");
    if (t.size() == from + 1)
        return fail("'timeout' needs a number of seconds");
    if (!parse_seconds(t[from + 1], s.duration)) {
        return fail("'" + t[from + 1] + "' is not a number of seconds");
    }
    return no_more(t, from + 2);
}

// A final "timeout S" of a line with optional words before it.
bool Parser::take_timeout(std::vector<std::string> &t, ScenarioStep &s) {
    s.duration = kDefaultWaitTimeout;
    if (!t.empty() && t.back() == "timeout")
        return fail("'timeout' needs a number of seconds");
    if (t.size() < 3 || t[t.size() - 2] != "timeout")
        return true;
    if (!parse_seconds(t.back(), s.duration))
        return fail("'" + t.back() + "' is not a number of seconds");
    t.resize(t.size() - 2);
    return true;
}

bool Parser::device_path(const std::string &tok) {
    if (tok.empty() || tok[0] != '/')
        return fail("'" + tok + "' is not a device path (it starts with /)");
    return true;
}

bool Parser::errno_arg(const std::string &tok, long &v) {
    auto e = errno_from_name(tok);
    if (!e || *e <= 0)
        return fail("unknown errno name '" + tok + "'");
    v = *e;
    return true;
}

bool Parser::signal_arg(const std::string &tok, long &v) {
    auto sig = signal_from_name(tok);
    if (!sig)
        return fail("unknown signal '" + tok + "' (SIGTERM, SIGINT, SIGKILL, ... or a number)");
    v = *sig;
    return true;
}

bool Parser::bytes_arg(const std::string &tok, std::string &bytes) {
    std::string msg;
    if (!unescape_bytes(tok, bytes, msg))
        return fail(msg);
    return true;
}

bool Parser::rect(const std::vector<std::string> &t, size_t from, Rect &r) {
    if (t.size() < from + 4)
        return fail("a rectangle is X Y W H");
    long v[4];
    static const char *const kWhat[] = {"X", "Y", "the width", "the height"};
    for (int i = 0; i < 4; ++i)
        if (!integer(kWhat[i], t[from + i], i < 2 ? 0 : 1, 4096, v[i]))
            return false;
    r = Rect{static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]),
             static_cast<int>(v[3])};
    return true;
}

bool Parser::keys(const std::vector<std::string> &t, size_t from, size_t to, ScenarioStep &s) {
    if (from >= to)
        return fail("'" + t[0] + "' needs at least one key (UP RIGHT DOWN LEFT START A B)");
    for (size_t i = from; i < to; ++i) {
        auto k = key_index_from_label(t[i]);
        if (!k)
            return fail("unknown key '" + t[i] + "' (keys: UP RIGHT DOWN LEFT START A B)");
        s.keys.push_back(*k);
    }
    return true;
}

void Parser::start_here(const std::string &source) {
    ScenarioStep s;
    s.kind = StepKind::Start;
    s.where = where();
    s.source = source;
    sc_.steps.push_back(s);
    start_where_ = where();
}

bool Parser::text_line(const std::string &cmd, std::string_view rest) {
    auto &su = sc_.setup;
    std::string msg;
    if (cmd == "porch-file") {
        su.porch_file = ScenarioSetup::PorchFile::Write;
        if (!unescape_bytes(rest, su.porch_bytes, msg))
            return fail(msg);
    } else if (cmd == "etc-version") {
        std::string b;
        if (!unescape_bytes(rest, b, msg))
            return fail(msg);
        su.etc_version = b;
    } else if (cmd == "app-version") {
        std::string b;
        if (!unescape_bytes(rest, b, msg))
            return fail(msg);
        su.app_version = b;
    } else if (cmd == "app-dir") {
        if (rest.empty())
            return fail("'app-dir' needs a path");
        su.app_dir = std::string(rest);
    } else if (cmd == "finish") {
        su.finish = std::string(rest);
    } else if (cmd == "args") {
        std::vector<std::string> words;
        if (!split_words(rest, words, msg))
            return fail(msg);
        su.args = words;
    }
    return true;
}

bool Parser::setup_line(const std::string &cmd, const std::vector<std::string> &t) {
    auto &su = sc_.setup;
    if (cmd == "no-porch-file") {
        su.porch_file = ScenarioSetup::PorchFile::Remove;
        su.porch_bytes.clear();
        return no_more(t, 1);
    }
    if (cmd == "app-noinit") {
        su.app_noinit = true;
        return no_more(t, 1);
    }
    if (cmd == "no-framebuffer") {
        su.fb_present = false;
        return no_more(t, 1);
    }
    // framebuffer <w> <h>
    if (t.size() < 3)
        return fail("'framebuffer' needs a width and a height");
    long w = 0, h = 0;
    if (!integer("the framebuffer width", t[1], 1, 4096, w))
        return false;
    if (!integer("the framebuffer height", t[2], 1, 4096, h))
        return false;
    su.fb_width = static_cast<int>(w);
    su.fb_height = static_cast<int>(h);
    su.fb_present = true;
    return no_more(t, 3);
}

bool Parser::action_line(const std::string &cmd, const std::vector<std::string> &t,
                         ScenarioStep &s) {
    if (cmd == "hold") {
        s.kind = StepKind::Hold;
        return keys(t, 1, t.size(), s);
    }
    if (cmd == "release") {
        if (t.size() >= 2 && t[1] == "all") {
            s.kind = StepKind::ReleaseAll;
            return no_more(t, 2);
        }
        s.kind = StepKind::Release;
        return keys(t, 1, t.size(), s);
    }
    if (cmd == "te") {
        if (t.size() < 2 || (t[1] != "stop" && t[1] != "start")) {
            return fail("'te' needs 'stop' or 'start'");
        }
        s.kind = t[1] == "stop" ? StepKind::TeStop : StepKind::TeStart;
        return no_more(t, 2);
    }
    if (cmd == "underrun") {
        s.kind = StepKind::Underrun;
        s.value = 1;
        if (t.size() >= 2 && !integer("the underrun count", t[1], 1, 1000000, s.value))
            return false;
        return no_more(t, 2);
    }
    if (cmd == "remove") {
        s.kind = StepKind::Remove;
        if (!needs(t, 2, "a device path") || !device_path(t[1]))
            return false;
        s.path = t[1];
        return no_more(t, 2);
    }
    if (cmd == "refuse-write") {
        s.kind = StepKind::RefuseWrite;
        if (!needs(t, 3, "a device path and an errno name") || !device_path(t[1]) ||
            !errno_arg(t[2], s.value))
            return false;
        s.path = t[1];
        if (t.size() >= 4 && !integer("the number of refused writes", t[3], 1, 1000000, s.count)) {
            return false;
        }
        return no_more(t, 4);
    }
    if (cmd == "sound-fails" || cmd == "sound-write-fails") {
        s.kind = cmd == "sound-fails" ? StepKind::SoundFails : StepKind::SoundWriteFails;
        if (!needs(t, 2, "an errno name (or 'none')"))
            return false;
        if (t[1] == "none") {
            s.value = 0;
            return no_more(t, 2);
        }
        if (!errno_arg(t[1], s.value))
            return false;
        if (s.kind == StepKind::SoundFails)
            return no_more(t, 2);
        if (t.size() < 4 || t[2] != "after")
            return fail("'sound-write-fails' needs 'after <periods>' after the errno name");
        if (!integer("the number of periods", t[3], 0, 100000000, s.count))
            return false;
        return no_more(t, 4);
    }
    if (cmd == "sound-suspend") {
        s.kind = StepKind::SoundSuspend;
        s.value = 2;
        if (t.size() >= 2 && !integer("the number of EAGAIN answers", t[1], 0, 1000, s.value))
            return false;
        return no_more(t, 2);
    }
    if (cmd == "wall-clock-step") {
        s.kind = StepKind::WallClockStep;
        s.count = 1;
        if (!needs(t, 2, "a number of seconds (negative: set back)") ||
            !integer("the step", t[1], -1000000000, 1000000000, s.value))
            return false;
        if (t.size() >= 3) {
            if (t[2] != "after" || t.size() < 4)
                return fail("expected 'after <calls>' instead of '" + t[2] + "'");
            if (!integer("the number of calls", t[3], 0, 1000000000, s.count))
                return false;
        }
        return no_more(t, 4);
    }
    if (cmd == "unwritable") {
        s.kind = StepKind::Unwritable;
        if (!needs(t, 2, "a device path") || !device_path(t[1]))
            return false;
        s.path = t[1];
        return no_more(t, 2);
    }
    if (cmd == "slow-writes") {
        s.kind = StepKind::SlowWrites;
        if (!needs(t, 3, "a device path and milliseconds") || !device_path(t[1]) ||
            !integer("the milliseconds", t[2], 0, 10000, s.value))
            return false;
        s.path = t[1];
        return no_more(t, 3);
    }
    if (cmd == "signal") {
        s.kind = StepKind::Signal;
        if (!needs(t, 2, "a signal name") || !signal_arg(t[1], s.value))
            return false;
        return no_more(t, 2);
    }
    if (cmd == "wall-clock") {
        if (t.size() < 2 || (t[1] != "hold" && t[1] != "run"))
            return fail("'wall-clock' needs 'hold' or 'run'");
        s.kind = StepKind::WallClockHold;
        s.value = t[1] == "hold";
        return no_more(t, 2);
    }
    if (cmd == "trap") {
        s.kind = StepKind::Trap;
        s.count = 1;
        if (!needs(t, 4, "an operation, a device path and a signal"))
            return false;
        if (!is_trap_op(t[1]))
            return fail("the trap operation is open, write, rename, fsync or unlink, not '" + t[1] +
                        "'");
        if (!device_path(t[2]) || !signal_arg(t[3], s.value))
            return false;
        s.op = t[1];
        s.path = t[2];
        if (t.size() >= 5 && !integer("the occurrence", t[4], 1, 1000000, s.count))
            return false;
        return no_more(t, 5);
    }
    // The single-number actions.
    struct Num {
        const char *name;
        StepKind kind;
        const char *what;
        long lo, hi;
    };
    static constexpr Num kNums[] = {
        {"volume", StepKind::Volume, "the volume percent", 0, 100},
        // Any reading: a broken converter may give what a 12-bit one cannot.
        {"volume-raw", StepKind::VolumeRaw, "the raw volume reading", -1000000000, 1000000000},
        {"no-gpio", StepKind::NoGpio, "a GPIO number", 0, 255},
        {"battery", StepKind::Battery, "the raw battery reading", 0, 1000000},
        {"headphone", StepKind::Headphone, "the headphone detect level", 0, 1},
        {"usb", StepKind::Usb, "the USB detect level", 0, 1},
        {"te-clock", StepKind::TeClock, "the TE clock", 1, 100000000},
    };
    for (const auto &n : kNums) {
        if (cmd != n.name)
            continue;
        s.kind = n.kind;
        if (t.size() < 2)
            return fail("'" + cmd + "' needs " + n.what);
        if (!integer(n.what, t[1], n.lo, n.hi, s.value))
            return false;
        return no_more(t, 2);
    }
    return fail("unknown command '" + cmd + "'");
}

bool Parser::timed_line(const std::string &cmd, const std::vector<std::string> &t,
                        ScenarioStep &s) {
    if (cmd == "press") {
        s.kind = StepKind::Press;
        size_t end = t.size();
        s.duration = kDefaultPressTime;
        for (size_t i = 1; i < t.size(); ++i) {
            if (t[i] == "for") {
                end = i;
                if (i + 1 >= t.size())
                    return fail("'for' needs a number of seconds");
                if (!parse_seconds(t[i + 1], s.duration)) {
                    return fail("'" + t[i + 1] + "' is not a number of seconds");
                }
                if (!no_more(t, i + 2))
                    return false;
                break;
            }
        }
        return keys(t, 1, end, s);
    }
    if (cmd == "wait") {
        s.kind = StepKind::Wait;
        if (t.size() < 2)
            return fail("'wait' needs a number of seconds");
        if (!parse_seconds(t[1], s.duration))
            return fail("'" + t[1] + "' is not a number of seconds");
        return no_more(t, 2);
    }
    if (cmd == "wait-pushes" || cmd == "wait-frames") {
        s.kind = cmd == "wait-pushes" ? StepKind::WaitPushes : StepKind::WaitFrames;
        if (t.size() < 2)
            return fail("'" + cmd + "' needs a count");
        if (!integer("the count", t[1], 0, 1000000, s.value))
            return false;
        return timeout(t, 2, s);
    }
    if (cmd == "wait-journal") {
        s.kind = StepKind::WaitJournal;
        if (t.size() < 3)
            return fail("'wait-journal' needs an operation and a device path");
        if (!is_journal_op(t[1])) {
            return fail(
                "the journal operation is open, write, push, rename, fsync or unlink, not '" +
                t[1] + "'");
        }
        if (!device_path(t[2]))
            return false;
        s.op = t[1];
        s.path = t[2];
        return timeout(t, 3, s);
    }
    if (cmd == "wait-exit") {
        s.kind = StepKind::WaitExit;
        return timeout(t, 1, s);
    }
    if (cmd == "expect-exit") {
        s.kind = StepKind::ExpectExit;
        if (t.size() < 2)
            return fail("'expect-exit' needs an exit status");
        if (!integer("the exit status", t[1], -128, 255, s.value))
            return false;
        s.value = (s.value + 256) % 256;  // a program's -1 is status 255
        return timeout(t, 2, s);
    }
    return expect_line(cmd, t, s);
}

// The expectations that came with scenarios as tests. All take an optional
// final "timeout S"; those checked at once refuse it.
bool Parser::expect_line(const std::string &cmd, std::vector<std::string> t, ScenarioStep &s) {
    const size_t given = t.size();
    if (!take_timeout(t, s))
        return false;
    const bool timed = t.size() != given;
    auto at_once = [&] {
        if (timed)
            return fail("'" + cmd + "' checks at once and takes no time-out");
        return true;
    };
    if (cmd == "expect-signal") {
        s.kind = StepKind::ExpectSignal;
        if (!needs(t, 2, "a signal") || !signal_arg(t[1], s.value))
            return false;
        return no_more(t, 2);
    }
    if (cmd == "expect-frame") {
        s.kind = StepKind::ExpectFrame;
        if (!needs(t, 2, "a PNG file"))
            return false;
        s.file = fs::absolute(here(t[1])).string();
        for (size_t i = 2; i < t.size(); i += 5) {
            if (t[i] != "ignore")
                return fail("expected 'ignore X Y W H' instead of '" + t[i] + "'");
            Rect r;
            if (!rect(t, i + 1, r))
                return false;
            s.rects.push_back(r);
        }
        return true;
    }
    if (cmd == "expect-ink") {
        s.kind = StepKind::ExpectInk;
        if (!needs(t, 6, "X Y W H and a colour"))
            return false;
        Rect r;
        if (!rect(t, 1, r))
            return false;
        s.rects.push_back(r);
        auto c = parse_colour(t[5]);
        if (!c)
            return fail("unknown colour '" + t[5] +
                        "' (white black red green blue yellow or #RRGGBB)");
        s.colour = *c;
        return no_more(t, 6);
    }
    if (cmd == "expect-journal" || cmd == "expect-no-journal") {
        s.kind = cmd == "expect-journal" ? StepKind::ExpectJournal : StepKind::ExpectNoJournal;
        if ((s.kind == StepKind::ExpectNoJournal && !at_once()) ||
            !needs(t, 3, "an operation and a device path"))
            return false;
        if (!is_journal_op(t[1]))
            return fail(
                "the journal operation is open, write, push, rename, fsync or unlink, not '" +
                t[1] + "'");
        if (!device_path(t[2]))
            return false;
        s.op = t[1];
        s.path = t[2];
        if (t.size() >= 4) {
            std::string arg = t[3];
            if (s.op == "write" && !bytes_arg(t[3], arg))
                return false;
            s.arg = arg;
        }
        return no_more(t, 4);
    }
    if (cmd == "expect-file" || cmd == "expect-no-file") {
        s.kind = cmd == "expect-file" ? StepKind::ExpectFile : StepKind::ExpectNoFile;
        if ((s.kind == StepKind::ExpectNoFile && !at_once()) || !needs(t, 2, "a path"))
            return false;
        if (t[1].rfind("{root}/", 0) != 0 && !device_path(t[1]))
            return false;
        s.path = t[1];
        if (s.kind == StepKind::ExpectNoFile)
            return no_more(t, 2);
        std::string bytes;
        if (t.size() >= 3 && !bytes_arg(t[2], bytes))
            return false;
        s.arg = bytes;
        return no_more(t, 3);
    }
    if (cmd == "expect-cpu-below") {
        s.kind = StepKind::ExpectCpuBelow;
        if (!at_once() || !needs(t, 4, "a percentage and 'over <seconds>'"))
            return false;
        if (!integer("the percentage", t[1], 1, 10000, s.value))
            return false;
        if (t[2] != "over")
            return fail("expected 'over <seconds>' instead of '" + t[2] + "'");
        if (!parse_seconds(t[3], s.duration) || s.duration.count() == 0)
            return fail("'" + t[3] + "' is not a number of seconds above 0");
        return no_more(t, 4);
    }
    if (cmd == "expect-gpio") {
        s.kind = StepKind::ExpectGpio;
        if (!needs(t, 3, "a GPIO number and a level") ||
            !integer("the GPIO", t[1], 0, 255, s.value) ||
            !integer("the level", t[2], 0, 1, s.count))
            return false;
        return no_more(t, 3);
    }
    struct Count {
        const char *name;
        StepKind kind;
        const char *what;
        long hi;
    };
    static constexpr Count kCounts[] = {
        {"expect-porch", StepKind::ExpectPorch, "the porch", 999},
        {"expect-recordings", StepKind::ExpectRecordings, "the number of recordings", 1000000},
        {"expect-underruns", StepKind::ExpectUnderruns, "the number of underruns", 1000000},
    };
    for (const auto &c : kCounts) {
        if (cmd != c.name)
            continue;
        s.kind = c.kind;
        if (!needs(t, 2, c.what) || !integer(c.what, t[1], 0, c.hi, s.value))
            return false;
        return no_more(t, 2);
    }
    if (cmd == "expect-samples") {
        s.kind = StepKind::ExpectSamples;
        if (!needs(t, 4, "a recording, a frame and at least one sample") ||
            !integer("the recording", t[1], -1, 1000000, s.value) ||
            !integer("the frame", t[2], 0, 1000000000, s.count))
            return false;
        for (size_t i = 3; i < t.size(); ++i) {
            long v = 0;
            if (!integer("a sample", t[i], -32768, 32767, v))
                return false;
            s.samples.push_back(v);
        }
        return true;
    }
    // expect-recording INDEX FILE.wav [frames N]
    s.kind = StepKind::ExpectRecording;
    if (!needs(t, 3, "a recording and a WAV file") ||
        !integer("the recording", t[1], -1, 1000000, s.value))
        return false;
    s.file = fs::absolute(here(t[2])).string();
    if (t.size() >= 4) {
        if (t[3] != "frames" || t.size() < 5)
            return fail("expected 'frames <count>' instead of '" + t[3] + "'");
        if (!integer("the number of frames", t[4], 1, 100000000, s.count))
            return false;
    }
    return no_more(t, 5);
}

// expect-stdout TEXT, expect-stderr TEXT, expect-stdout-count N TEXT: the
// text is the rest of the line; a final "timeout S" is the time-out.
bool Parser::output_line(const std::string &cmd, std::string_view rest, ScenarioStep &s) {
    auto t = tokens(rest);
    s.duration = kDefaultWaitTimeout;
    if (cmd == "expect-stdout-count") {
        s.kind = StepKind::ExpectStdoutCount;
        if (t.size() < 2)
            return fail("'expect-stdout-count' needs a count and a text");
        if (!integer("the count", t[0], 0, 1000000, s.value))
            return false;
        s.text = std::string(trim(rest.substr(rest.find(t[0]) + t[0].size())));
        return true;
    }
    s.kind = cmd == "expect-stdout" ? StepKind::ExpectStdout : StepKind::ExpectStderr;
    std::chrono::milliseconds d{};
    if (t.size() >= 3 && t[t.size() - 2] == "timeout" && parse_seconds(t.back(), d)) {
        s.duration = d;
        rest = trim(rest.substr(0, rest.rfind("timeout")));
    }
    if (rest.empty())
        return fail("'" + cmd + "' needs a text");
    s.text = std::string(rest);
    return true;
}

bool Parser::include(const fs::path &file) {
    const std::string key = same_file_key(file);
    for (const auto &r : reading_)
        if (r == key)
            return fail("'" + file.string() + "' includes itself");
    if (depth_ >= kMaxIncludeDepth)
        return fail("includes nested deeper than " + std::to_string(kMaxIncludeDepth));
    const auto text = read_file(file);
    if (!text)
        return fail("cannot read '" + file.string() + "': " + std::strerror(errno));
    const std::string file_was = file_;
    const int line_was = line_;
    from_.push_back(where());
    const bool ok = this->file(file.string(), *text);
    from_.pop_back();
    file_ = file_was;
    line_ = line_was;
    return ok;
}

bool Parser::meta_line(const std::string &cmd, std::string_view rest) {
    if (cmd == "when") {
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos)
            return fail("'when' needs flow names, ':' and a line");
        const auto names = tokens(rest.substr(0, colon));
        if (names.empty())
            return fail("'when' needs at least one flow name before ':'");
        bool applies = false;
        for (const auto &n : names) {
            if (depth_ == 0) {
                if (!flows_seen_)
                    return fail("'when' needs a 'flows' line before it");
                if (std::find(sc_.flows.begin(), sc_.flows.end(), n) == sc_.flows.end())
                    return fail("'" + n + "' is not one of the flows");
            }
            applies = applies || n == flow_;
        }
        const std::string_view what = trim(rest.substr(colon + 1));
        if (what.empty())
            return fail("'when' needs a line after ':'");
        return applies ? line(what) : true;
    }
    std::string_view body = rest;
    if (auto hash = body.find('#'); hash != std::string_view::npos)
        body = body.substr(0, hash);
    auto t = tokens(body);
    t.insert(t.begin(), cmd);
    if (cmd == "include") {
        if (!needs(t, 2, "a file") || !no_more(t, 2))
            return false;
        return include(here(t[1]));
    }
    if (cmd == "flows") {
        if (depth_ != 0)
            return fail("'flows' belongs in the scenario file itself, not in an included file");
        if (flows_seen_)
            return fail("second 'flows' line");
        if (!needs(t, 2, "at least one flow name"))
            return false;
        for (size_t i = 1; i < t.size(); ++i) {
            if (t[i].find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456"
                                       "789_-") != std::string::npos)
                return fail("a flow name is letters, digits, '-' and '_', not '" + t[i] + "'");
            if (std::find(sc_.flows.begin(), sc_.flows.end(), t[i]) != sc_.flows.end())
                return fail("flow '" + t[i] + "' named twice");
            sc_.flows.push_back(t[i]);
        }
        flows_seen_ = true;
        if (!flow_.empty() &&
            std::find(sc_.flows.begin(), sc_.flows.end(), flow_) == sc_.flows.end())
            return fail("there is no flow '" + flow_ + "' here");
        return true;
    }
    if (cmd == "flow") {
        if (!flows_seen_)
            return fail("'flow' needs a 'flows' line before it");
        if (flow_seen_)
            return fail("second 'flow' line");
        if (!no_more(t, 1))
            return false;
        flow_seen_ = true;
        if (flow_.empty())
            return true;
        // The nearest flows/NAME.scn in the scenario's folder or above it.
        const fs::path cwd = fs::current_path();
        fs::path dir = fs::absolute(fs::path(top_)).parent_path();
        while (true) {
            const fs::path cand = dir / "flows" / (flow_ + ".scn");
            // Named as the scenario names its own folders: below the current
            // folder relative, elsewhere absolute.
            const fs::path rel = cand.lexically_relative(cwd);
            if (fs::exists(cand))
                return include(!rel.empty() && *rel.begin() != ".." ? rel : cand);
            if (dir == dir.parent_path())
                return fail("no flows/" + flow_ + ".scn in the scenario's folder or above it");
            dir = dir.parent_path();
        }
    }
    if (cmd == "frame-golden") {
        if (!needs(t, 3, "a PNG file and its replacement (or 'skip')") || !no_more(t, 3))
            return false;
        goldens_.push_back({same_file_key(here(t[1])),
                            t[2] == "skip" ? "" : fs::absolute(here(t[2])).string(), where()});
        return true;
    }
    if (cmd == "labels") {
        if (depth_ != 0)
            return fail("'labels' belongs in the scenario file itself (CMake reads it there)");
        return needs(t, 2, "at least one label");
    }
    if (cmd == "repeat") {
        if (repeat_seen_)
            return fail("second 'repeat' line");
        repeat_seen_ = true;
        long n = 0;
        if (!needs(t, 2, "a count") || !integer("the count", t[1], 1, 1000, n))
            return false;
        sc_.repeat = static_cast<int>(n);
        return no_more(t, 2);
    }
    // ends
    static constexpr std::pair<const char *, Ends> kEnds[] = {{"hand-off", Ends::HandOff},
                                                              {"signal", Ends::Signal},
                                                              {"running", Ends::Running},
                                                              {"power-cut", Ends::PowerCut},
                                                              {"usage", Ends::Usage}};
    if (!sc_.ends_where.empty())
        return fail("second 'ends' line (the first is " + sc_.ends_where + ")");
    if (!needs(t, 2, "hand-off, signal, running, power-cut or usage"))
        return false;
    for (const auto &[name, e] : kEnds) {
        if (t[1] == name) {
            sc_.ends = e;
            sc_.ends_where = where();
            return no_more(t, 2);
        }
    }
    return fail("'ends' is hand-off, signal, running, power-cut or usage, not '" + t[1] + "'");
}

bool Parser::line(std::string_view raw) {
    std::string_view l = trim(raw);
    if (l.empty() || l.front() == '#')
        return true;

    size_t kw_end = 0;
    while (kw_end < l.size() && !is_blank(l[kw_end]))
        ++kw_end;
    const std::string cmd(l.substr(0, kw_end));
    const Command *c = find_command(cmd);
    if (!c)
        return fail("unknown command '" + cmd + "'");
    if (c->kind == Kind::Meta)
        return meta_line(cmd, l.substr(kw_end));

    if (c->kind == Kind::Text || c->kind == Kind::Setup) {
        if (!start_where_.empty()) {
            return fail("'" + cmd + "' sets up the device and must come before the program starts" +
                        (implicit_start_
                             ? " (it started at " + start_where_ + ", the first line that waits)"
                             : " (" + start_where_ + ")"));
        }
    }
    // A set-up value of the scenario file itself wins over one of a file it
    // includes (a fault's porch file or panel clock over a flow's).
    if (c->kind == Kind::Text || c->kind == Kind::Setup ||
        (start_where_.empty() && cmd == "te-clock")) {
        const std::string key = setup_key(cmd);
        if (depth_ == 0)
            pinned_.insert(key);
        else if (pinned_.count(key))
            return true;
    }
    if (c->kind == Kind::Text)
        return text_line(cmd, trim(l.substr(kw_end)));

    ScenarioStep s;
    s.where = where();
    s.top = depth_ == 0;
    auto push_timed = [&] {
        if (start_where_.empty()) {
            implicit_start_ = true;
            start_here("start (implicit)");
        }
        sc_.steps.push_back(s);
        return true;
    };
    if (c->text) {
        s.source = std::string(l);
        return output_line(cmd, trim(l.substr(kw_end)), s) && push_timed();
    }

    // Everything else may end in a comment.
    std::string_view body = l;
    if (auto hash = body.find('#'); hash != std::string_view::npos)
        body = trim(body.substr(0, hash));
    const auto t = tokens(body);
    s.source = std::string(body);

    switch (c->kind) {
        case Kind::Setup:
            return setup_line(cmd, t);
        case Kind::Start:
            if (!start_where_.empty()) {
                return fail(implicit_start_
                                ? "'start' after the program already started at " + start_where_ +
                                      " (the first line that waits)"
                                : "second 'start' (the first is at " + start_where_ + ")");
            }
            if (!no_more(t, 1))
                return false;
            start_here(s.source);
            return true;
        case Kind::Action:
            if (!action_line(cmd, t, s))
                return false;
            // The panel clock before start is part of the power-on set-up.
            if (s.kind == StepKind::TeClock && start_where_.empty())
                sc_.setup.te_clock = static_cast<int>(s.value);
            else
                sc_.steps.push_back(s);
            return true;
        case Kind::Timed:
            return timed_line(cmd, t, s) && push_timed();
        case Kind::Text:
        case Kind::Meta:
            break;
    }
    return true;
}

bool Parser::file(const std::string &name, std::string_view text) {
    file_ = name;
    reading_.push_back(same_file_key(name));
    int lineno = 0;
    size_t pos = 0;
    bool ok = true;
    while (ok && pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        line_ = ++lineno;
        ok = line(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    reading_.pop_back();
    if (depth_ == 0)
        line_ = lineno;
    return ok;
}

bool Parser::finish() {
    file_ = top_;
    if (!flow_.empty() && !flows_seen_)
        return fail("a flow is given ('" + flow_ + "'), but the scenario has no 'flows' line");
    if (flows_seen_ && !flow_seen_)
        return fail("'flows' without a 'flow' line to say where the flow goes");
    if (start_where_.empty()) {
        implicit_start_ = true;
        start_here("start (implicit)");
    }
    // The power-on actions of the scenario file itself come last, just before
    // the start, so that they win over those of an included flow (a fault's
    // volume reading over the flow's volume 100).
    const auto start = std::find_if(sc_.steps.begin(), sc_.steps.end(), [](const ScenarioStep &s) {
        return s.kind == StepKind::Start;
    });
    std::stable_partition(sc_.steps.begin(), start, [](const ScenarioStep &s) { return !s.top; });
    // frame-golden lines replace or drop the expect-frame lines of the
    // golden they name, wherever those come from.
    std::erase_if(sc_.steps, [&](ScenarioStep &s) {
        if (s.kind != StepKind::ExpectFrame)
            return false;
        const std::string key = same_file_key(s.file);
        for (const auto &g : goldens_) {
            if (g.file != key)
                continue;
            if (g.replacement.empty())
                return true;
            s.file = g.replacement;
            s.source += " (" + g.where + ": instead " + g.replacement + ")";
        }
        return false;
    });
    return true;
}

}  // namespace

bool parse_scenario(std::string_view text, const std::string &file, const std::string &flow,
                    Scenario &out, std::string &message) {
    Scenario sc;
    Parser p(sc, flow, file);
    if (!p.file(file, text) || !p.finish()) {
        message = p.message();
        return false;
    }
    out = std::move(sc);
    return true;
}

bool load_scenario(const std::string &file, const std::string &flow, Scenario &out,
                   std::string &message) {
    const auto text = read_file(file);
    if (!text) {
        message = file + ": cannot read: " + std::strerror(errno);
        return false;
    }
    return parse_scenario(*text, file, flow, out, message);
}

const char *key_label(int key_index) {
    if (key_index < 0 || key_index > 6)
        return "?";
    return kKeyLabels[key_index];
}

std::optional<std::string> read_file(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::optional<int> key_index_from_label(std::string_view s) {
    for (int i = 0; i < 7; ++i) {
        std::string_view l = kKeyLabels[i];
        if (l.size() != s.size())
            continue;
        bool same = true;
        for (size_t j = 0; j < l.size(); ++j) {
            char c = s[j];
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            if (c != l[j])
                same = false;
        }
        if (same)
            return i;
    }
    return std::nullopt;
}

std::optional<int> errno_from_name(std::string_view s) {
    long n = 0;
    if (parse_long(std::string(s), n)) {
        if (n < 0 || n > 4095)
            return std::nullopt;
        return static_cast<int>(n);
    }
    for (int e = 1; e < 256; ++e) {
        const char *name = strerrorname_np(e);
        if (name && s == name)
            return e;
    }
    return std::nullopt;
}

std::string errno_label(int err) {
    const char *name = err > 0 ? strerrorname_np(err) : nullptr;
    return name ? name : std::to_string(err);
}

std::optional<int> signal_from_name(std::string_view s) {
    long n = 0;
    if (parse_long(std::string(s), n))
        return n > 0 && n < NSIG ? std::optional<int>(static_cast<int>(n)) : std::nullopt;
    if (s.substr(0, 3) != "SIG")
        return std::nullopt;
    for (int sig = 1; sig < NSIG; ++sig) {
        const char *abbrev = sigabbrev_np(sig);
        if (abbrev && s.substr(3) == abbrev)
            return sig;
    }
    return std::nullopt;
}

std::string signal_label(int sig) {
    const char *abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(sig);
}

std::string escape_bytes(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        switch (c) {
            case '\0':
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case ' ':
                out += "\\s";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (c < 0x20 || c >= 0x7f) {
                    static const char hex[] = "0123456789abcdef";
                    out += "\\x";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string substitute_root(const std::string &s, const std::string &root) {
    static constexpr std::string_view kRoot = "{root}";
    std::string out;
    size_t pos = 0;
    while (true) {
        size_t f = s.find(kRoot, pos);
        if (f == std::string::npos)
            break;
        out.append(s, pos, f - pos);
        out += root;
        pos = f + kRoot.size();
    }
    out.append(s, pos, std::string::npos);
    return out;
}

bool split_words(std::string_view s, std::vector<std::string> &words, std::string &error) {
    words.clear();
    size_t i = 0;
    while (true) {
        while (i < s.size() && is_blank(s[i]))
            ++i;
        if (i >= s.size())
            return true;
        std::string w;
        while (i < s.size() && !is_blank(s[i])) {
            if (s[i] != '"') {
                w += s[i++];
                continue;
            }
            ++i;  // opening quote
            bool closed = false;
            while (i < s.size()) {
                char c = s[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\' && i < s.size() && (s[i] == '"' || s[i] == '\\'))
                    c = s[i++];
                w += c;
            }
            if (!closed) {
                error = "unterminated quote in 'args'";
                return false;
            }
        }
        words.push_back(std::move(w));
    }
}

bool unescape_bytes(std::string_view s, std::string &bytes, std::string &error) {
    bytes.clear();
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c != '\\') {
            bytes += c;
            continue;
        }
        if (i + 1 >= s.size()) {
            error = "a lone '\\' at the end of the text (write \\\\ for a backslash)";
            return false;
        }
        char e = s[++i];
        switch (e) {
            case '0':
                bytes += '\0';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 'r':
                bytes += '\r';
                break;
            case 't':
                bytes += '\t';
                break;
            case 's':
                bytes += ' ';
                break;
            case '\\':
                bytes += '\\';
                break;
            case 'x': {
                auto hex = [](char h) -> int {
                    if (h >= '0' && h <= '9')
                        return h - '0';
                    if (h >= 'a' && h <= 'f')
                        return h - 'a' + 10;
                    if (h >= 'A' && h <= 'F')
                        return h - 'A' + 10;
                    return -1;
                };
                int hi = i + 1 < s.size() ? hex(s[i + 1]) : -1;
                int lo = i + 2 < s.size() ? hex(s[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "'\\x' needs two hex digits";
                    return false;
                }
                bytes += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = std::string("unknown escape '\\") + e +
                        "' (use \\0 \\n \\r \\t \\s \\\\ \\xHH)";
                return false;
        }
    }
    return true;
}

}  // namespace mpsim

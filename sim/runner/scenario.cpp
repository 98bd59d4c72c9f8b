#include "scenario.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace mpsim {

namespace {

constexpr const char *kKeyLabels[] = {"UP", "RIGHT", "DOWN", "LEFT", "START", "A", "B"};

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

enum class Kind { Setup, Text, Action, Timed, Start };

struct Command {
    const char *name;
    Kind kind;
};

// Set-up lines that take the rest of the line as their text (no comments).
constexpr Command kCommands[] = {
    {"porch-file", Kind::Text},      {"etc-version", Kind::Text},    {"app-version", Kind::Text},
    {"app-dir", Kind::Text},         {"finish", Kind::Text},         {"args", Kind::Text},
    {"no-porch-file", Kind::Setup},  {"app-noinit", Kind::Setup},    {"framebuffer", Kind::Setup},
    {"no-framebuffer", Kind::Setup}, {"start", Kind::Start},         {"hold", Kind::Action},
    {"release", Kind::Action},       {"volume", Kind::Action},       {"volume-raw", Kind::Action},
    {"battery", Kind::Action},       {"headphone", Kind::Action},    {"usb", Kind::Action},
    {"te-clock", Kind::Action},      {"te", Kind::Action},           {"underrun", Kind::Action},
    {"remove", Kind::Action},        {"refuse-write", Kind::Action}, {"sound-fails", Kind::Action},
    {"press", Kind::Timed},          {"wait", Kind::Timed},          {"wait-pushes", Kind::Timed},
    {"wait-frames", Kind::Timed},    {"wait-journal", Kind::Timed},  {"wait-exit", Kind::Timed},
    {"expect-exit", Kind::Timed},
};

const Command *find_command(std::string_view name) {
    for (const auto &c : kCommands) {
        if (name == c.name)
            return &c;
    }
    return nullptr;
}

class Parser {
  public:
    Parser(Scenario &out, ScenarioError &err) : sc_(out), err_(err) {}

    bool line(int lineno, std::string_view raw);
    bool finish(int last_line);

  private:
    bool fail(const std::string &msg) {
        err_.line = lineno_;
        err_.message = msg;
        return false;
    }
    bool text_line(const std::string &cmd, std::string_view rest);
    bool setup_line(const std::string &cmd, const std::vector<std::string> &t);
    bool action_line(const std::string &cmd, const std::vector<std::string> &t, ScenarioStep &s);
    bool timed_line(const std::string &cmd, const std::vector<std::string> &t, ScenarioStep &s);
    bool keys(const std::vector<std::string> &t, size_t from, size_t to, ScenarioStep &s);
    bool integer(const std::string &what, const std::string &tok, long lo, long hi, long &v);
    bool no_more(const std::vector<std::string> &t, size_t n);
    bool timeout(const std::vector<std::string> &t, size_t from, ScenarioStep &s);
    bool device_path(const std::string &tok);
    void start_here(const std::string &source);

    Scenario &sc_;
    ScenarioError &err_;
    int lineno_ = 0;
    int start_line_ = 0;  // line where the program starts, 0 until then
    bool implicit_start_ = false;
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
        return fail("unexpected '" + t[n] + "' after '" + t[0] + "'");
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

bool Parser::device_path(const std::string &tok) {
    if (tok.empty() || tok[0] != '/')
        return fail("'" + tok + "' is not a device path (it starts with /)");
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
    s.line = lineno_;
    s.source = source;
    sc_.steps.push_back(s);
    start_line_ = lineno_;
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
        if (t.size() < 2)
            return fail("'remove' needs a device path");
        if (!device_path(t[1]))
            return false;
        s.path = t[1];
        return no_more(t, 2);
    }
    if (cmd == "refuse-write") {
        s.kind = StepKind::RefuseWrite;
        if (t.size() < 3)
            return fail("'refuse-write' needs a device path and an errno name");
        if (!device_path(t[1]))
            return false;
        s.path = t[1];
        auto e = errno_from_name(t[2]);
        if (!e || *e <= 0)
            return fail("unknown errno name '" + t[2] + "'");
        s.value = *e;
        if (t.size() >= 4 && !integer("the number of refused writes", t[3], 1, 1000000, s.count)) {
            return false;
        }
        return no_more(t, 4);
    }
    if (cmd == "sound-fails") {
        s.kind = StepKind::SoundFails;
        if (t.size() < 2)
            return fail("'sound-fails' needs an errno name (or 'none')");
        if (t[1] == "none") {
            s.value = 0;
        } else {
            auto e = errno_from_name(t[1]);
            if (!e || *e <= 0)
                return fail("unknown errno name '" + t[1] + "'");
            s.value = *e;
        }
        return no_more(t, 2);
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
        {"volume-raw", StepKind::VolumeRaw, "the raw volume reading", 0, 4095},
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
        if (t[1] != "open" && t[1] != "write" && t[1] != "push") {
            return fail("the journal operation is open, write or push, not '" + t[1] + "'");
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
    // expect-exit <code> [timeout <s>]
    s.kind = StepKind::ExpectExit;
    if (t.size() < 2)
        return fail("'expect-exit' needs an exit status");
    if (!integer("the exit status", t[1], -128, 255, s.value))
        return false;
    s.value = (s.value + 256) % 256;  // a program's -1 is status 255
    return timeout(t, 2, s);
}

bool Parser::line(int lineno, std::string_view raw) {
    lineno_ = lineno;
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

    if (c->kind == Kind::Text || c->kind == Kind::Setup) {
        if (start_line_) {
            return fail("'" + cmd + "' sets up the device and must come before the program starts" +
                        (implicit_start_ ? " (it started at line " + std::to_string(start_line_) +
                                               ", the first line that waits)"
                                         : " (line " + std::to_string(start_line_) + ")"));
        }
    }
    if (c->kind == Kind::Text)
        return text_line(cmd, trim(l.substr(kw_end)));

    // Everything else may end in a comment.
    std::string_view body = l;
    if (auto hash = body.find('#'); hash != std::string_view::npos)
        body = trim(body.substr(0, hash));
    const auto t = tokens(body);
    const std::string source(body);

    switch (c->kind) {
        case Kind::Setup:
            return setup_line(cmd, t);
        case Kind::Start:
            if (start_line_) {
                return fail(implicit_start_
                                ? "'start' after the program already started at line " +
                                      std::to_string(start_line_) + " (the first line that waits)"
                                : "second 'start' (the first is at line " +
                                      std::to_string(start_line_) + ")");
            }
            if (!no_more(t, 1))
                return false;
            start_here(source);
            return true;
        case Kind::Action: {
            // The panel clock before start is part of the power-on set-up.
            if (cmd == "te-clock" && !start_line_) {
                ScenarioStep s;
                if (!action_line(cmd, t, s))
                    return false;
                sc_.setup.te_clock = static_cast<int>(s.value);
                return true;
            }
            ScenarioStep s;
            s.line = lineno;
            s.source = source;
            if (!action_line(cmd, t, s))
                return false;
            sc_.steps.push_back(s);
            return true;
        }
        case Kind::Timed: {
            ScenarioStep s;
            s.line = lineno;
            s.source = source;
            if (!timed_line(cmd, t, s))
                return false;
            if (!start_line_) {
                implicit_start_ = true;
                start_here("start (implicit)");
            }
            sc_.steps.push_back(s);
            return true;
        }
        case Kind::Text:
            break;
    }
    return true;
}

bool Parser::finish(int last_line) {
    if (!start_line_) {
        lineno_ = last_line;
        implicit_start_ = true;
        start_here("start (implicit)");
    }
    return true;
}

}  // namespace

bool parse_scenario(std::string_view text, Scenario &out, ScenarioError &err) {
    Scenario sc;
    Parser p(sc, err);
    int lineno = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        ++lineno;
        if (!p.line(lineno, text.substr(pos, nl - pos)))
            return false;
        pos = nl + 1;
    }
    p.finish(lineno);
    out = std::move(sc);
    return true;
}

bool load_scenario(const std::string &file, Scenario &out, std::string &message) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        message = file + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    ScenarioError err;
    if (!parse_scenario(ss.str(), out, err)) {
        message = file + ":" + std::to_string(err.line) + ": " + err.message;
        return false;
    }
    return true;
}

const char *key_label(int key_index) {
    if (key_index < 0 || key_index > 6)
        return "?";
    return kKeyLabels[key_index];
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

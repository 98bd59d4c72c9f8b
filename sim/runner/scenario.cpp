#include "scenario.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ranges>
#include <set>
#include <sstream>

#include "mpsim/board.h"
#include "mpsim/hex.h"

namespace fs = std::filesystem;

namespace mpsim {

namespace {

// Nested includes deeper than this are a loop the file names did not show.
constexpr int kMaxIncludeDepth = 32;

// The escapes of byte texts: the byte and the letter after the backslash.
constexpr std::pair<char, char> kEscapes[] = {{'\0', '0'}, {'\n', 'n'}, {'\r', 'r'},
                                              {'\t', 't'}, {' ', 's'},  {'\\', '\\'}};

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

// "a|b|c" as words.
std::vector<std::string> choices_of(std::string_view choices) {
    std::vector<std::string> out;
    for (const auto word : std::views::split(choices, '|'))
        out.emplace_back(word.begin(), word.end());
    return out;
}

// "a, b or c" for messages.
std::string listed(const char *choices) {
    const auto words = choices_of(choices);
    std::string out;
    for (size_t i = 0; i < words.size(); ++i)
        out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return out;
}

std::string same_file_key(const fs::path &p) {
    std::error_code ec;
    fs::path c = fs::weakly_canonical(p, ec);
    return (ec ? p.lexically_normal() : c).string();
}

bool is_text(ArgKind k) {
    return k == ArgKind::Text || k == ArgKind::TextBytes || k == ArgKind::TextWords;
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
    bool when(std::string_view rest);
    bool meta(const Step &s);
    bool include(const fs::path &file);
    bool args(const Command &c, std::string_view rest, Step &s);
    bool value(const Command &c, const Arg &a, const std::vector<std::string> &t, size_t &i,
               ArgValue &v);
    bool number(const Arg &a, const std::string &tok, long &v);
    bool seconds(const std::string &tok, std::chrono::milliseconds &out);
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
    std::vector<Golden> goldens_;
};

bool Parser::number(const Arg &a, const std::string &tok, long &v) {
    if (!parse_long(tok, v))
        return fail(std::string(a.what) + " must be a whole number, not '" + tok + "'");
    if (v < a.lo || v > a.hi) {
        return fail(std::string(a.what) + " must be between " + std::to_string(a.lo) + " and " +
                    std::to_string(a.hi) + ", not " + tok);
    }
    return true;
}

bool Parser::seconds(const std::string &tok, std::chrono::milliseconds &out) {
    if (!parse_seconds(tok, out))
        return fail("'" + tok + "' is not a number of seconds");
    return true;
}

// One argument's value from the words at `i` on (a keyword argument's
// keyword already taken); moves `i` past what it used.
bool Parser::value(const Command &c, const Arg &a, const std::vector<std::string> &t, size_t &i,
                   ArgValue &v) {
    auto word = [&]() -> const std::string * {
        if (i >= t.size()) {
            fail(a.keyword ? "'" + std::string(a.keyword) + "' needs " + a.what
                           : "'" + std::string(c.name) + "' needs " + a.what);
            return nullptr;
        }
        return &t[i++];
    };
    // Words up to the next keyword of this command (or the end).
    auto is_keyword = [&](const std::string &w) {
        return w == "timeout" || std::any_of(c.args.begin(), c.args.end(), [&](const Arg &b) {
                   return b.keyword && w == b.keyword;
               });
    };
    v.given = true;
    // Every kind but the lists, the rectangle and the texts is one word.
    const bool one_word = a.kind != ArgKind::Keys && a.kind != ArgKind::Ints &&
                          a.kind != ArgKind::Rect && !is_text(a.kind);
    const std::string *w = one_word ? word() : nullptr;
    if (one_word && !w)
        return false;
    switch (a.kind) {
        case ArgKind::Int:
            return number(a, *w, v.number);
        case ArgKind::Seconds:
            return seconds(*w, v.time);
        case ArgKind::Keys:
        case ArgKind::Ints: {
            while (i < t.size() && !is_keyword(t[i])) {
                const std::string &item = t[i++];
                if (a.kind == ArgKind::Ints) {
                    long n = 0;
                    if (!number(a, item, n))
                        return false;
                    v.numbers.push_back(n);
                } else if (item == "all" || item == "ALL") {
                    for (long k = 0; k < long{BOARD_KEY_COUNT}; ++k)
                        v.numbers.push_back(k);
                } else if (auto k = key_index_from_label(item)) {
                    v.numbers.push_back(*k);
                } else {
                    return fail("unknown key '" + item + "' (keys: UP RIGHT DOWN LEFT START A B)");
                }
            }
            if (v.numbers.empty())
                return fail("'" + std::string(c.name) + "' needs " + a.what);
            return true;
        }
        case ArgKind::Path: {
            if (w->rfind("{root}/", 0) != 0 && (w->empty() || (*w)[0] != '/'))
                return fail("'" + *w + "' is not a device path (it starts with /)");
            v.text = *w;
            return true;
        }
        case ArgKind::Errno: {
            if (a.choices && *w == a.choices) {
                v.number = 0;
                v.text = *w;
                return true;
            }
            auto e = errno_from_name(*w);
            if (!e || *e <= 0)
                return fail("unknown errno name '" + *w + "'");
            v.number = *e;
            return true;
        }
        case ArgKind::Signal: {
            auto sig = signal_from_name(*w);
            if (!sig)
                return fail("unknown signal '" + *w +
                            "' (SIGTERM, SIGINT, SIGKILL, ... or a number)");
            v.number = *sig;
            return true;
        }
        case ArgKind::Choice: {
            const auto words = choices_of(a.choices);
            const auto it = std::find(words.begin(), words.end(), *w);
            if (it == words.end())
                return fail(std::string(a.what) + " is " + listed(a.choices) + ", not '" + *w +
                            "'");
            v.number = it - words.begin();
            v.text = *w;
            return true;
        }
        case ArgKind::Bytes: {
            std::string msg;
            if (!unescape_bytes(*w, v.text, msg))
                return fail(msg);
            return true;
        }
        case ArgKind::Colour: {
            auto col = parse_colour(*w);
            if (!col)
                return fail("unknown colour '" + *w +
                            "' (white black red green blue yellow or #RRGGBB)");
            v.number = *col;
            return true;
        }
        case ArgKind::File: {
            v.text = fs::absolute(here(*w)).string();
            return true;
        }
        case ArgKind::Rect: {
            if (i + 4 > t.size() || std::any_of(t.begin() + static_cast<long>(i),
                                                t.begin() + static_cast<long>(i + 4), is_keyword))
                return fail("a rectangle is X Y W H");
            long n[4];
            static const char *const kWhat[] = {"X", "Y", "the width", "the height"};
            for (int k = 0; k < 4; ++k) {
                Arg part = a;
                part.what = kWhat[k];
                part.lo = k < 2 ? 0 : 1;
                if (!number(part, t[i++], n[k]))
                    return false;
            }
            v.rects.push_back(Rect{static_cast<int>(n[0]), static_cast<int>(n[1]),
                                   static_cast<int>(n[2]), static_cast<int>(n[3])});
            return true;
        }
        case ArgKind::Mode: {
            long m = 0;
            auto [p, ec] = std::from_chars(w->data(), w->data() + w->size(), m, 8);
            if (ec != std::errc() || p != w->data() + w->size() || m < 0 || m > 07777)
                return fail("'" + *w + "' is not an octal file mode (0644)");
            v.number = m;
            return true;
        }
        case ArgKind::Text:
        case ArgKind::TextBytes:
        case ArgKind::TextWords:
            break;
    }
    return fail("'" + std::string(c.name) + "': " + a.name + " cannot be read here");
}

// The arguments of a line by its command's declaration: positional ones in
// order, keyword ones ("for S", "after N", "ignore X Y W H") where their word
// stands, a waiting line's final "timeout S", and a text argument taking the
// rest of the line.
bool Parser::args(const Command &c, std::string_view rest, Step &s) {
    s.values.assign(c.args.size(), ArgValue{});
    const bool text = !c.args.empty() && is_text(c.args.back().kind);
    std::string_view body = rest;
    // Everything but a text line may end in a comment.
    if (!text) {
        if (auto hash = body.find('#'); hash != std::string_view::npos)
            body = trim(body.substr(0, hash));
    }
    std::vector<std::string> t = tokens(body);
    s.timeout = kDefaultWaitTimeout;
    // The time-out: the last two words.
    if (c.waits && !t.empty() && t.back() == "timeout")
        return fail("'timeout' needs a number of seconds");
    if (t.size() >= 2 && t[t.size() - 2] == "timeout") {
        if (!c.waits) {
            return fail("'" + std::string(c.name) +
                        (c.phase == Phase::Run ? "' checks at once and takes no time-out"
                                               : "' takes no time-out"));
        }
        if (!text || parse_seconds(t.back(), s.timeout)) {
            if (!seconds(t.back(), s.timeout))
                return false;
            t.resize(t.size() - 2);
            if (text)
                body = trim(body.substr(0, body.rfind("timeout")));
        }
    }
    size_t i = 0;
    for (size_t n = 0; n < c.args.size(); ++n) {
        const Arg &a = c.args[n];
        ArgValue &v = s.values[n];
        if (is_text(a.kind)) {
            // The rest of the line after the words taken so far.
            std::string_view r = body;
            for (size_t k = 0; k < i; ++k)
                r = trim(r.substr(r.find(t[k]) + t[k].size()));
            std::string msg;
            v.given = true;
            if (r.empty() && !a.optional)
                return fail("'" + std::string(c.name) + "' needs " + a.what);
            if (a.kind == ArgKind::Text)
                v.text = std::string(r);
            else if (a.kind == ArgKind::TextBytes && !unescape_bytes(r, v.text, msg))
                return fail(msg);
            else if (a.kind == ArgKind::TextWords && !split_words(r, v.words, msg))
                return fail(msg);
            return true;
        }
        if (a.keyword) {
            if (i >= t.size() || t[i] != a.keyword) {
                if (!a.optional) {
                    return fail(i < t.size() ? "expected '" + std::string(a.keyword) + " " +
                                                   a.name + "' instead of '" + t[i] + "'"
                                             : "'" + std::string(c.name) + "' needs '" + a.keyword +
                                                   " " + a.name + "'");
                }
                v.number = a.fallback;
                v.time = std::chrono::milliseconds(a.fallback);
                continue;
            }
            do {
                ++i;
                if (!value(c, a, t, i, v))
                    return false;
            } while (a.repeated && i < t.size() && t[i] == a.keyword);
            continue;
        }
        const bool keyword_next =
            i < t.size() && std::any_of(c.args.begin(), c.args.end(), [&](const Arg &b) {
                return b.keyword && t[i] == b.keyword;
            });
        if (a.optional && (i >= t.size() || keyword_next)) {
            v.number = a.fallback;
            v.time = std::chrono::milliseconds(a.fallback);
            continue;
        }
        if (!value(c, a, t, i, v))
            return false;
    }
    if (i < t.size()) {
        if (i == 0)
            return fail("'" + std::string(c.name) + "' takes no '" + t[i] + "'");
        return fail("unexpected '" + t[i] + "' after '" + t[i - 1] + "'");
    }
    if (c.check) {
        if (auto why = c.check(s))
            return fail(*why);
    }
    return true;
}

void Parser::start_here(const std::string &source) {
    Step s;
    s.cmd = find_command("start");
    s.where = where();
    s.top = depth_ == 0;
    s.source = source;
    sc_.steps.push_back(s);
    start_where_ = where();
}

bool Parser::include(const fs::path &file) {
    const std::string key = same_file_key(file);
    for (const auto &r : reading_)
        if (r == key)
            return fail("'" + file.string() + "' includes itself");
    if (depth_ >= kMaxIncludeDepth)
        return fail("includes nested deeper than " + std::to_string(kMaxIncludeDepth));
    const auto text = file_text(file);
    if (!text)
        return fail("cannot read '" + file.string() + "': " + std::strerror(errno));
    const std::string file_was = file_;
    const int line_was = line_;
    from_.push_back(where());
    ++depth_;
    const bool ok = this->file(file.string(), *text);
    --depth_;
    from_.pop_back();
    file_ = file_was;
    line_ = line_was;
    return ok;
}

// when NAME... : LINE
bool Parser::when(std::string_view rest) {
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

// The lines that shape the scenario itself.
bool Parser::meta(const Step &s) {
    const std::string_view cmd = s.cmd->name;
    if (cmd == "include")
        return include(here(s.text("FILE")));
    if (cmd == "flows") {
        if (depth_ != 0)
            return fail("'flows' belongs in the scenario file itself, not in an included file");
        if (flows_seen_)
            return fail("second 'flows' line");
        for (const auto &n : s.arg("NAME").words) {
            if (n.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456"
                                    "789_-") != std::string::npos)
                return fail("a flow name is letters, digits, '-' and '_', not '" + n + "'");
            if (std::find(sc_.flows.begin(), sc_.flows.end(), n) != sc_.flows.end())
                return fail("flow '" + n + "' named twice");
            sc_.flows.push_back(n);
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
        const std::string &with = s.arg("REPLACEMENT").text;
        goldens_.push_back({same_file_key(s.text("FILE")),
                            fs::path(with).filename() == "skip" ? "" : with, where()});
        return true;
    }
    if (cmd == "labels") {
        if (depth_ != 0)
            return fail("'labels' belongs in the scenario file itself (CMake reads it there)");
        return true;
    }
    if (cmd == "repeat") {
        if (repeat_seen_)
            return fail("second 'repeat' line");
        repeat_seen_ = true;
        sc_.repeat = s.integer("N");
        return true;
    }
    // ends
    if (!sc_.ends_where.empty())
        return fail("second 'ends' line (the first is " + sc_.ends_where + ")");
    sc_.ends = static_cast<Ends>(s.number("HOW"));
    sc_.ends_where = where();
    return true;
}

bool Parser::line(std::string_view raw) {
    std::string_view l = trim(raw);
    if (l.empty() || l.front() == '#')
        return true;

    size_t kw_end = 0;
    while (kw_end < l.size() && !is_blank(l[kw_end]))
        ++kw_end;
    const std::string name(l.substr(0, kw_end));
    const std::string_view rest = trim(l.substr(kw_end));
    if (name == "when")
        return when(rest);
    const Command *c = find_command(name);
    if (!c)
        return fail("unknown command '" + name + "'");

    Step s;
    s.cmd = c;
    s.where = where();
    s.top = depth_ == 0;
    if (!args(*c, rest, s))
        return false;
    s.source = std::string(l);
    if (!c->args.empty() && !is_text(c->args.back().kind)) {
        if (auto hash = l.find('#'); hash != std::string_view::npos)
            s.source = std::string(trim(l.substr(0, hash)));
    }

    switch (c->phase) {
        case Phase::Meta:
            return meta(s);
        case Phase::Setup: {
            if (!start_where_.empty()) {
                return fail("'" + name + "' sets up the device and must come before the program " +
                            "starts" +
                            (implicit_start_ ? " (it started at " + start_where_ +
                                                   ", the first line that waits)"
                                             : " (" + start_where_ + ")"));
            }
            // A set-up value of the scenario file itself wins over one of a
            // file it includes (a fault's porch file over a flow's).
            const std::string key = c->sets ? c->sets : c->name;
            if (depth_ == 0)
                pinned_.insert(key);
            else if (pinned_.count(key))
                return true;
            c->setup(sc_.setup, s);
            return true;
        }
        case Phase::Start:
            if (!start_where_.empty()) {
                return fail(implicit_start_
                                ? "'start' after the program already started at " + start_where_ +
                                      " (the first line that waits)"
                                : "second 'start' (the first is at " + start_where_ + ")");
            }
            start_here(s.source);
            return true;
        case Phase::Action:
            sc_.steps.push_back(std::move(s));
            return true;
        case Phase::Run:
            if (start_where_.empty()) {
                implicit_start_ = true;
                start_here("start (implicit)");
            }
            sc_.steps.push_back(std::move(s));
            return true;
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
    // volume reading or panel clock over the flow's).
    const auto start = std::find_if(sc_.steps.begin(), sc_.steps.end(),
                                    [](const Step &s) { return s.cmd->phase == Phase::Start; });
    std::stable_partition(sc_.steps.begin(), start, [](const Step &s) { return !s.top; });
    // frame-golden lines replace or drop the expect-frame lines of the
    // golden they name, wherever those come from.
    std::erase_if(sc_.steps, [&](Step &s) {
        if (!s.is("expect-frame"))
            return false;
        ArgValue &file = s.values.at(0);
        const std::string key = same_file_key(file.text);
        for (const auto &g : goldens_) {
            if (g.file != key)
                continue;
            if (g.replacement.empty())
                return true;
            file.text = g.replacement;
            s.source += " (" + g.where + ": instead " + g.replacement + ")";
        }
        return false;
    });
    return true;
}

}  // namespace

const char *ends_name(Ends e) {
    static const char *const kNames[] = {"hand-off", "signal", "running", "power-cut", "usage"};
    return kNames[static_cast<int>(e)];
}

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
    const auto text = file_text(file);
    if (!text) {
        message = file + ": cannot read: " + std::strerror(errno);
        return false;
    }
    return parse_scenario(*text, file, flow, out, message);
}

std::optional<int> key_index_from_label(std::string_view s) {
    for (int i = 0; i < BOARD_KEY_COUNT; ++i)
        if (strcasecmp(std::string(s).c_str(), board_keys[static_cast<size_t>(i)].name) == 0)
            return i;
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

std::string escape_bytes(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const auto *e = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                     [&](const auto &x) { return x.first == bytes[i]; });
        if (e != std::end(kEscapes))
            out += std::string("\\") + e->second;
        else if (c < 0x20 || c >= 0x7f)
            out += "\\x" + hex(bytes.substr(i, 1));
        else
            out += bytes[i];
    }
    return out;
}

std::string substitute_root(const std::string &s, const std::string &root) {
    static constexpr std::string_view kRoot = "{root}";
    std::string out = s;
    for (size_t at = 0; (at = out.find(kRoot, at)) != std::string::npos; at += root.size())
        out.replace(at, kRoot.size(), root);
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
        if (s[i] != '\\') {
            bytes += s[i];
            continue;
        }
        if (i + 1 >= s.size()) {
            error = "a lone '\\' at the end of the text (write \\\\ for a backslash)";
            return false;
        }
        const char e = s[++i];
        const auto *x = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                     [&](const auto &p) { return p.second == e; });
        if (x != std::end(kEscapes)) {
            bytes += x->first;
        } else if (e == 'x') {
            const std::string byte = unhex(s.substr(i + 1, 2));
            if (byte.empty()) {
                error = "'\\x' needs two hex digits";
                return false;
            }
            bytes += byte;
            i += 2;
        } else {
            error =
                std::string("unknown escape '\\") + e + "' (use \\0 \\n \\r \\t \\s \\\\ \\xHH)";
            return false;
        }
    }
    return true;
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

}  // namespace mpsim

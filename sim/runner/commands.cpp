// The scenario language: every command, declared once. A declaration gives
// the command's name, when it may stand, its arguments with their kinds,
// its one-line help and its handler; the parser reads lines by it, the
// runner calls the handler, and `mp-sim --commands` prints the tables that
// sim/runner/README.md carries (a test keeps the two the same).
//
// To add a command: one entry in kCommands below, its handler bound there (a
// lambda when it is a line, a named function above otherwise). A board
// action has no handler: `.act = true` hands the line to the device's table
// of actions by the command's name (Target::act).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "checks.h"
#include "mpsim/board.h"
#include "run.h"
#include "runner.h"
#include "scenario.h"

namespace mpsim {

namespace {

using std::chrono::milliseconds;

// Lines of an output text; a last line without its newline counts only once
// the writer has ended.
std::vector<std::string> lines_of(const std::string &text, bool ended) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            if (ended)
                out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// ---- arguments, as the table below declares them ----------------------------

Arg num(const char *name, const char *what, long lo, long hi) {
    return {.name = name, .kind = ArgKind::Int, .what = what, .lo = lo, .hi = hi};
}
Arg opt_num(const char *name, const char *what, long lo, long hi, long fallback) {
    return {.name = name,
            .kind = ArgKind::Int,
            .what = what,
            .optional = true,
            .lo = lo,
            .hi = hi,
            .fallback = fallback};
}
// "after N", "count N": an optional number after its keyword.
Arg kw_num(const char *kw, const char *what, long lo, long hi, long fallback) {
    return {.name = "N",
            .kind = ArgKind::Int,
            .what = what,
            .keyword = kw,
            .optional = true,
            .lo = lo,
            .hi = hi,
            .fallback = fallback};
}
Arg kw_secs(const char *kw, bool optional, long fallback_ms = 0) {
    return {.name = "S",
            .kind = ArgKind::Seconds,
            .what = "a number of seconds",
            .keyword = kw,
            .optional = optional,
            .fallback = fallback_ms};
}
Arg of(ArgKind kind, const char *name, const char *what, bool optional = false) {
    return {.name = name, .kind = kind, .what = what, .optional = optional};
}
Arg choice(const char *name, const char *what, const char *choices) {
    return {.name = name, .kind = ArgKind::Choice, .what = what, .choices = choices};
}
const Arg kKeys = of(ArgKind::Keys, "KEY...", "at least one key (UP RIGHT DOWN LEFT START A B)");
const Arg kPath = of(ArgKind::Path, "PATH", "a device path");
const Arg kErrnoOrNone = {.name = "ERRNO|none",
                          .kind = ArgKind::Errno,
                          .what = "an errno name (or 'none')",
                          .choices = "none"};
const Arg kJournalOp =
    choice("OP", "the journal operation", "open|write|push|rename|fsync|unlink|read|sync");
const Arg kJournalArg = of(ArgKind::Bytes, "ARG", "the argument", true);
const Arg kText = of(ArgKind::Text, "TEXT", "a text");
const Arg kBytesOrNone = of(ArgKind::TextBytes, "TEXT", "the bytes", true);
constexpr long kBig = 1000000;
const Arg kCount = num("N", "the count", 0, kBig);

// ---- handlers longer than a line ---------------------------------------------

// Keys held for a while, then let go; not a wait: the next wait counts from
// before the press.
void press(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    r.target().act({"hold", s.arg("KEY").numbers});
    r.target().pause(s.seconds("for"));
    r.target().act({"release", s.arg("KEY").numbers});
}

void wait_pushes(Run &r, const Step &s) {
    Target &dev = r.target();
    const int from = r.mark().pushes;
    const long n = s.number("N");
    r.waited(
        s, [&] { return dev.pushes() >= from + n; },
        [&] { return std::to_string(dev.pushes() - from) + " push(es) of " + std::to_string(n); });
}

// wait-exit, expect-exit, expect-signal
void program_end(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    const auto st = r.wait_program(s.timeout);
    if (!st)
        return r.fail(s, "the program still runs after " +
                             seconds_text(static_cast<double>(s.timeout.count()) / 1e3) + " s");
    if (s.is("expect-exit")) {
        const long code = (s.number("CODE") + 256) % 256;  // a program's -1 is status 255
        if (!(st->exited && st->code == code))
            return r.fail(
                s, "expected exit status " + std::to_string(code) + ", got " + describe(*st));
        r.status_checked();
    }
    if (s.is("expect-signal")) {
        if (!(!st->exited && st->code == s.number("NAME")))
            return r.fail(s, "expected the program to end by " + signal_label(s.integer("NAME")) +
                                 ", got " + describe(*st));
        r.status_checked();
    }
    r.log("program ended: " + describe(*st));
    r.set_mark();
}

void expect_file(Run &r, const Step &s) {
    const std::string &path = s.text("PATH");
    const std::string &want = s.text("BYTES");
    std::optional<std::string> now;
    r.waited(
        s,
        [&] {
            now = r.target().read_file(path);
            return now == want;
        },
        [&] {
            return now ? path + " holds '" + escape_bytes(*now) + "', not '" + escape_bytes(want) +
                             "'"
                       : path + " does not exist";
        });
    r.file_checked(path);
}

void expect_no_file(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    if (r.target().exists(s.text("PATH")))
        r.fail(s, s.text("PATH") + " exists");
}

void expect_mode(Run &r, const Step &s) {
    const std::string &path = s.text("PATH");
    const auto want = static_cast<unsigned>(s.number("MODE"));
    std::optional<unsigned> now;
    auto octal = [](unsigned m) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04o", m);
        return std::string(buf);
    };
    r.waited(
        s,
        [&] {
            now = r.target().file_mode(path);
            return now == want;
        },
        [&] {
            return now ? path + " has mode " + octal(*now) + ", not " + octal(want)
                       : path + " does not exist";
        });
}

// expect-stdout, expect-stdout-count
void expect_stdout(Run &r, const Step &s) {
    const std::string &text = s.text("TEXT");
    auto count = [&] {
        const auto lines = lines_of(r.target().stdout_text(), r.ended());
        return std::count(lines.begin(), lines.end(), text);
    };
    if (s.is("expect-stdout-count")) {
        r.log(s.where + ": " + s.source);
        const auto n = count();
        if (n != s.number("N"))
            r.fail(s, std::to_string(n) + " line(s) '" + text + "' on standard output");
        return;
    }
    r.waited(
        s, [&] { return count() > 0; },
        [&] { return "no line '" + text + "' on standard output"; });
}

void expect_gpio(Run &r, const Step &s) {
    const auto gpio = static_cast<unsigned>(s.number("N"));
    r.waited(
        s, [&] { return r.target().gpio_level(gpio) == s.number("LEVEL"); },
        [&] {
            return "GPIO " + std::to_string(gpio) + " is at " +
                   std::to_string(r.target().gpio_level(gpio));
        });
}

void expect_porch(Run &r, const Step &s) {
    r.waited(
        s, [&] { return r.target().porch() == s.number("N"); },
        [&] { return "the panel runs at porch " + std::to_string(r.target().porch()); });
}

void expect_recordings(Run &r, const Step &s) {
    r.waited(
        s, [&] { return r.target().recording_count() >= s.number("N"); },
        [&] { return std::to_string(r.target().recording_count()) + " recording(s)"; });
}

void expect_underruns(Run &r, const Step &s) {
    Target &dev = r.target();
    r.waited(
        s, [&] { return dev.underruns() >= s.number("N"); },
        [&] { return std::to_string(dev.underruns()) + " underrun(s)"; });
    if (!r.failed() && dev.underruns() != s.number("N"))
        r.fail(s, std::to_string(dev.underruns()) + " underruns");
}

// ---- the table ---------------------------------------------------------------------

const char *const kEnds = "hand-off|signal|running|power-cut|usage";

const std::vector<Command> kCommands = {
    // Composition (read by the parser).
    {.name = "include",
     .phase = Phase::Meta,
     .args = {of(ArgKind::File, "FILE", "a file")},
     .help = "the lines of FILE (relative to the folder of the file holding the line) in place of "
             "this line; nested includes are fine, a loop is a mistake"},
    {.name = "flows",
     .phase = Phase::Meta,
     .args = {of(ArgKind::TextWords, "NAME...", "at least one flow name")},
     .help = "the scenario is run once per flow; only in the scenario file itself (CMake reads "
             "it)"},
    {.name = "flow",
     .phase = Phase::Meta,
     .help = "where the flow's lines go: the file `flows/NAME.scn` in the scenario's folder or the "
             "nearest folder above it; exactly one in a scenario with `flows`"},
    {.name = "when",
     .phase = Phase::Meta,
     .args = {of(ArgKind::Text, "NAME... : LINE", "flow names, ':' and a line")},
     .help = "LINE (any line, `include` too) applies only when the run's flow is one of the NAMEs"},
    {.name = "frame-golden",
     .phase = Phase::Meta,
     .args = {of(ArgKind::File, "FILE", "a PNG file"),
              of(ArgKind::File, "REPLACEMENT", "its replacement (or 'skip')")},
     .help = "every `expect-frame FILE` line compares with REPLACEMENT instead, or is left out "
             "(`skip`); for the whole scenario"},
    {.name = "labels",
     .phase = Phase::Meta,
     .args = {of(ArgKind::TextWords, "NAME...", "at least one label")},
     .help = "CTest labels, read by CMake from the scenario file itself"},
    {.name = "repeat",
     .phase = Phase::Meta,
     .args = {num("N", "the count", 1, 1000)},
     .help = "the whole scenario runs N times, each time on a fresh device; all must pass"},
    {.name = "ends",
     .phase = Phase::Meta,
     .args = {choice("HOW", "'ends'", kEnds)},
     .help = "which post-conditions apply (default `hand-off`); at most one per run"},

    // Set-up.
    {.name = "porch-file",
     .phase = Phase::Setup,
     .args = {kBytesOrNone},
     .help = "the porch file `/mnt/UDISK/.lcdporch` holds these bytes (none: empty)",
     .setup =
         [](ScenarioSetup &su, const Step &s) {
             su.porch_file = ScenarioSetup::PorchFile::Write;
             su.porch_bytes = s.text("TEXT");
         }},
    {.name = "no-porch-file",
     .phase = Phase::Setup,
     .help = "no porch file",
     .setup =
         [](ScenarioSetup &su, const Step &) {
             su.porch_file = ScenarioSetup::PorchFile::Remove;
             su.porch_bytes.clear();
         },
     .sets = "porch-file"},
    {.name = "etc-version",
     .phase = Phase::Setup,
     .args = {kBytesOrNone},
     .help = "`/etc/version` holds these bytes",
     .setup = [](ScenarioSetup &su, const Step &s) { su.etc_version = s.text("TEXT"); }},
    {.name = "app-dir",
     .phase = Phase::Setup,
     .args = {of(ArgKind::Text, "PATH", "a path")},
     .help = "the application directory (argument 1); default `{root}/app`",
     .setup = [](ScenarioSetup &su, const Step &s) { su.app_dir = s.text("PATH"); }},
    {.name = "app-version",
     .phase = Phase::Setup,
     .args = {kBytesOrNone},
     .help = "`PATH/version` of the application directory holds these bytes",
     .setup = [](ScenarioSetup &su, const Step &s) { su.app_version = s.text("TEXT"); }},
    {.name = "app-noinit",
     .phase = Phase::Setup,
     .help = "creates `.noinit` in the application directory",
     .setup = [](ScenarioSetup &su, const Step &) { su.app_noinit = true; }},
    {.name = "finish",
     .phase = Phase::Setup,
     .args = {of(ArgKind::Text, "COMMAND", "a command", true)},
     .help = "the finish script (argument 2); default `echo finish script ran > "
             "{root}/finish.txt`",
     .setup = [](ScenarioSetup &su, const Step &s) { su.finish = s.text("COMMAND"); }},
    {.name = "args",
     .phase = Phase::Setup,
     .args = {of(ArgKind::TextWords, "WORD...", "words", true)},
     .help = "the whole argument list instead of the two above; `\"...\"` groups words",
     .setup = [](ScenarioSetup &su, const Step &s) { su.args = s.arg("WORD").words; }},
    {.name = "framebuffer",
     .phase = Phase::Setup,
     .args = {num("W", "the framebuffer width", 1, 4096),
              num("H", "the framebuffer height", 1, 4096)},
     .help = "framebuffer size (default the board's)",
     .setup =
         [](ScenarioSetup &su, const Step &s) {
             su.fb_width = s.integer("W");
             su.fb_height = s.integer("H");
             su.fb_present = true;
         }},
    {.name = "no-framebuffer",
     .phase = Phase::Setup,
     .help = "no `/dev/fb0`",
     .setup = [](ScenarioSetup &su, const Step &) { su.fb_present = false; },
     .sets = "framebuffer"},

    {.name = "start",
     .phase = Phase::Start,
     .help = "starts the program (or powers the device on)",
     .run = [](Run &r, const Step &s) { r.start_program(s); }},

    // Operator and board actions.
    {.name = "hold",
     .phase = Phase::Action,
     .args = {kKeys},
     .help = "press and keep holding the keys",
     .act = true},
    {.name = "release",
     .phase = Phase::Action,
     .args = {kKeys},
     .help = "let go of the keys (`all`: every key)",
     .act = true},
    {.name = "volume",
     .phase = Phase::Action,
     .args = {num("P", "the volume percent", 0, 100)},
     .help = "volume wheel at the reading the program's table maps to P percent",
     .run = [](Run &r, const Step &s) { r.target().set_volume_percent(s.integer("P")); }},
    // Any reading: a broken converter may give what a 12-bit one cannot.
    {.name = "volume-raw",
     .phase = Phase::Action,
     .args = {num("N", "the raw volume reading", -1000000000, 1000000000)},
     .help = "volume wheel raw reading (0 to 4095 from a working converter)",
     .act = true},
    {.name = "battery",
     .phase = Phase::Action,
     .args = {num("N", "the raw battery reading", 0, kBig)},
     .help = "raw battery reading (the status screen shows N / 21 volts)",
     .act = true},
    {.name = "headphone",
     .phase = Phase::Action,
     .args = {num("LEVEL", "the headphone detect level", 0, 1)},
     .help = "headphone detect line level",
     .act = true},
    {.name = "usb",
     .phase = Phase::Action,
     .args = {num("LEVEL", "the USB detect level", 0, 1)},
     .help = "USB detect line level",
     .act = true},
    {.name = "te-clock",
     .phase = Phase::Action,
     .args = {num("N", "the TE clock", 1, 100000000)},
     .help = "panel clock: TE rate = N / (panel lines + porch); default the board's, 60 FPS at "
             "porch 24",
     .act = true},
    {.name = "te",
     .phase = Phase::Action,
     .args = {choice("HOW", "'te'", "stop|start")},
     .help = "the TE line stops toggling / toggles again",
     .act = true},
    {.name = "underrun",
     .phase = Phase::Action,
     .args = {opt_num("N", "the underrun count", 1, kBig, 1)},
     .help = "the next N sound writes report an underrun",
     .act = true},
    {.name = "remove",
     .phase = Phase::Action,
     .args = {kPath},
     .help = "a device file disappears (e.g. `/sys/class/gpio/gpio132/value`)",
     .run = [](Run &r, const Step &s) { r.target().remove_file(s.text("PATH")); }},
    {.name = "refuse-write",
     .phase = Phase::Action,
     .args = {kPath, of(ArgKind::Errno, "ERRNO", "an errno name"),
              opt_num("N", "the number of refused writes", 1, kBig, -1)},
     .help = "writes to PATH fail with ERRNO, all of them or the next N",
     .act = true},
    {.name = "sound-fails",
     .phase = Phase::Action,
     .args = {kErrnoOrNone},
     .help = "opening the sound device fails with ERRNO / works again",
     .act = true},
    {.name = "sound-write-fails",
     .phase = Phase::Action,
     .args = {kErrnoOrNone, kw_num("after", "the number of periods", 0, 100000000, 0)},
     .help = "after N more periods, every write to the sound card fails with -ERRNO until cleared",
     .act = true,
     .check = [](const Step &s) -> std::optional<std::string> {
         if (s.number("ERRNO") != 0 && !s.given("after"))
             return "'sound-write-fails' needs 'after <periods>' after the errno name";
         return std::nullopt;
     }},
    {.name = "sound-suspend",
     .phase = Phase::Action,
     .args = {opt_num("N", "the number of EAGAIN answers", 0, 1000, 2)},
     .help = "the next write finds the card suspended; `snd_pcm_resume` answers -EAGAIN N times "
             "first",
     .act = true},
    {.name = "wall-clock-step",
     .phase = Phase::Action,
     .args = {num("S", "the step", -1000000000, 1000000000),
              kw_num("after", "the number of calls", 0, 1000000000, 1)},
     .help = "from the program's (N+1)-th call of time() on, its wall clock is S seconds off",
     .act = true},
    {.name = "no-gpio",
     .phase = Phase::Action,
     .args = {num("N", "a GPIO number", 0, 255)},
     .help = "the board lacks GPIO N: its export is refused (EINVAL)",
     .act = true},
    {.name = "unwritable",
     .phase = Phase::Action,
     .args = {kPath},
     .help = "a device file or folder becomes read-only",
     .act = true},
    {.name = "wall-clock",
     .phase = Phase::Action,
     .args = {choice("HOW", "'wall-clock'", "hold|run")},
     .help = "time() stands still at the current second / runs again",
     .act = true},
    {.name = "slow-writes",
     .phase = Phase::Action,
     .args = {kPath, num("MS", "the milliseconds", 0, 10000)},
     .help = "every write to a device path beginning with PATH takes MS milliseconds longer; 0 "
             "ends it",
     .act = true},
    {.name = "trap",
     .phase = Phase::Action,
     .args = {choice("OP", "the trap operation", "open|write|rename|fsync|unlink"), kPath,
              of(ArgKind::Signal, "SIGNAL", "a signal"),
              opt_num("N", "the occurrence", 1, kBig, 1)},
     .help = "the N-th OP on a device path beginning with PATH gets SIGNAL just before it is "
             "carried out (SIGKILL: a power cut there)",
     .act = true},
    {.name = "journal-reads",
     .phase = Phase::Action,
     .args = {num("GPIO", "a GPIO number", 0, 255)},
     .help = "reads of GPIO's value file become journal lines (`read`), as a logic analyser "
             "would see them",
     .act = true},

    // Waiting and checking.
    {.name = "press",
     .phase = Phase::Run,
     .args = {kKeys, kw_secs("for", true, 200)},
     .help = "hold the keys together for S seconds (default 0.2), then let them go; not a wait",
     .run = press},
    {.name = "wait",
     .phase = Phase::Run,
     .args = {of(ArgKind::Seconds, "S", "a number of seconds")},
     .help = "S seconds pass; never fails",
     .run =
         [](Run &r, const Step &s) {
             r.log(s.where + ": " + s.source);
             r.pause(s.seconds("S"));
         }},
    {.name = "wait-pushes",
     .phase = Phase::Run,
     .args = {kCount},
     .help = "N more panel pushes",
     .run = wait_pushes,
     .waits = true},
    {.name = "wait-exit",
     .phase = Phase::Run,
     .help = "the program ended",
     .run = program_end,
     .waits = true},
    {.name = "expect-exit",
     .phase = Phase::Run,
     .args = {num("CODE", "the exit status", -128, 255)},
     .help = "the program ended with exit status CODE (-1 means 255)",
     .run = program_end,
     .waits = true},
    {.name = "expect-signal",
     .phase = Phase::Run,
     .args = {of(ArgKind::Signal, "NAME", "a signal")},
     .help = "the program ended by that signal",
     .run = program_end,
     .waits = true},
    {.name = "expect-frame",
     .phase = Phase::Run,
     .args = {of(ArgKind::File, "FILE", "a PNG file"),
              {.name = "X Y W H",
               .kind = ArgKind::Rect,
               .what = "a rectangle",
               .keyword = "ignore",
               .optional = true,
               .hi = 4096,
               .repeated = true}},
     .help = "the panel shows a frame equal to the PNG FILE, outside the ignored rectangles",
     .run = expect_frame,
     .waits = true},
    {.name = "expect-ink",
     .phase = Phase::Run,
     .args = {{.name = "X Y W H", .kind = ArgKind::Rect, .what = "a rectangle", .hi = 4096},
              of(ArgKind::Colour, "COLOUR", "a colour")},
     .help = "in some frame, the rectangle holds at least one pixel of COLOUR and otherwise only "
             "black",
     .run = expect_ink,
     .waits = true},
    {.name = "expect-journal",
     .phase = Phase::Run,
     .args = {kJournalOp, kPath, kJournalArg},
     .help = "the journal has, after the journal cursor, a line with OP on PATH (and ARG)",
     .run = expect_journal,
     .waits = true},
    {.name = "expect-no-journal",
     .phase = Phase::Run,
     .args = {kJournalOp, kPath, kJournalArg},
     .help = "*at once*: no such line (ARG a prefix) since the program started",
     .run = expect_no_journal},
    {.name = "expect-period",
     .phase = Phase::Run,
     .args = {kJournalOp, kPath, kJournalArg, kw_secs("every", false),
              kw_num("count", "the number of lines", 3, 100000, 20)},
     .help = "the next N (default 20) such lines come every S seconds: their median interval "
             "lies within 0.9 to 1.25 times S",
     .run = expect_period,
     .waits = true},
    {.name = "expect-span",
     .phase = Phase::Run,
     .args = {kJournalOp, kPath, kJournalArg, kw_secs("within", false)},
     .help = "*at once*: the first and the last such line of the run lie at most S seconds apart",
     .run = expect_span},
    {.name = "expect-file",
     .phase = Phase::Run,
     .args = {kPath, of(ArgKind::Bytes, "BYTES", "the bytes", true)},
     .help = "the device file PATH (or `{root}/...`) holds exactly BYTES (none: empty)",
     .run = expect_file,
     .waits = true},
    {.name = "expect-no-file",
     .phase = Phase::Run,
     .args = {kPath},
     .help = "*at once*: PATH does not exist",
     .run = expect_no_file},
    {.name = "expect-mode",
     .phase = Phase::Run,
     .args = {kPath, of(ArgKind::Mode, "MODE", "an octal mode")},
     .help = "the file PATH exists with the permission bits MODE (`0644`)",
     .run = expect_mode,
     .waits = true},
    {.name = "expect-stdout",
     .phase = Phase::Run,
     .args = {kText},
     .help = "the program's standard output has a line equal to TEXT",
     .run = expect_stdout,
     .waits = true},
    {.name = "expect-stdout-count",
     .phase = Phase::Run,
     .args = {kCount, kText},
     .help = "*at once*: exactly N lines of standard output equal TEXT so far",
     .run = expect_stdout},
    {.name = "expect-cpu-below",
     .phase = Phase::Run,
     .args = {num("PERCENT", "the percentage", 1, 10000), kw_secs("over", false)},
     .help = "waits S seconds; fails when the program used more than PERCENT % of one core over "
             "them",
     .run = expect_cpu_below},
    {.name = "expect-gpio",
     .phase = Phase::Run,
     .args = {num("N", "the GPIO", 0, 255), num("LEVEL", "the level", 0, 1)},
     .help = "GPIO N's line level, as the hardware holds it, is LEVEL",
     .run = expect_gpio,
     .waits = true},
    {.name = "expect-porch",
     .phase = Phase::Run,
     .args = {num("N", "the porch", 0, 999)},
     .help = "the panel runs at porch N (atoi of the last lcdporch write)",
     .run = expect_porch,
     .waits = true},
    {.name = "expect-recordings",
     .phase = Phase::Run,
     .args = {num("N", "the number of recordings", 0, kBig)},
     .help = "at least N openings of the sound device were recorded",
     .run = expect_recordings,
     .waits = true},
    {.name = "expect-samples",
     .phase = Phase::Run,
     .args = {num("INDEX", "the recording", -1, kBig),
              num("FRAME", "the frame", 0, 1000000000),
              {.name = "V...",
               .kind = ArgKind::Ints,
               .what = "at least one sample",
               .lo = -32768,
               .hi = 32767}},
     .help = "recording INDEX, from stereo frame FRAME on, holds exactly the interleaved samples V",
     .run = expect_samples,
     .waits = true},
    {.name = "expect-underruns",
     .phase = Phase::Run,
     .args = {num("N", "the number of underruns", 0, kBig)},
     .help = "the sound card has reported exactly N underruns",
     .run = expect_underruns,
     .waits = true},
};

std::string arg_usage(const Arg &a) {
    std::string u = a.keyword ? std::string(a.keyword) + " " + a.name : a.name;
    if (a.kind == ArgKind::Keys)
        u = "KEY...|all";
    if (a.kind == ArgKind::Choice && !a.keyword)
        u = a.choices;
    if (a.optional)
        u = "[" + u + "]";
    if (a.repeated)
        u += "...";
    return u;
}

}  // namespace

const std::vector<Command> &commands() {
    return kCommands;
}

const Command *find_command(std::string_view name) {
    for (const auto &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

std::string usage(const Command &c) {
    std::string u = c.name;
    for (const auto &a : c.args)
        u += " " + arg_usage(a);
    if (c.waits)
        u += " [timeout S]";
    return u;
}

std::string commands_markdown() {
    static const std::pair<Phase, const char *> kSections[] = {
        {Phase::Meta, "Composition"},
        {Phase::Setup, "Set-up (before the program starts)"},
        {Phase::Start, "Start"},
        {Phase::Action, "Operator and board actions (any time; before the start: at power-on)"},
        {Phase::Run, "Waiting and checking"}};
    std::string out;
    for (const auto &[phase, title] : kSections) {
        out += "#### " + std::string(title) + "\n\n| Line | Effect |\n|---|---|\n";
        for (const auto &c : kCommands) {
            if (c.phase != phase)
                continue;
            std::string u = usage(c);
            std::string escaped;
            for (char ch : u)
                escaped += ch == '|' ? std::string("\\|") : std::string(1, ch);
            out += "| `" + escaped + "` | " + c.help + " |\n";
        }
        out += "\n";
    }
    return out;
}

bool Step::is(std::string_view name) const {
    return cmd != nullptr && name == cmd->name;
}

namespace {

// An argument's name as handlers ask for it: its keyword, or its name
// without "..." and choices.
std::string_view lookup_name(const Arg &a) {
    std::string_view n = a.keyword ? a.keyword : a.name;
    if (!a.keyword) {
        if (const size_t cut = n.find_first_of(".|"); cut != std::string_view::npos)
            n = n.substr(0, cut);
    }
    return n;
}

}  // namespace

bool Step::declares(std::string_view name) const {
    return std::any_of(cmd->args.begin(), cmd->args.end(),
                       [&](const Arg &a) { return lookup_name(a) == name; });
}

const ArgValue &Step::arg(std::string_view name) const {
    for (size_t i = 0; i < cmd->args.size() && i < values.size(); ++i)
        if (lookup_name(cmd->args[i]) == name)
            return values[i];
    throw std::logic_error(std::string(cmd->name) + " has no argument " + std::string(name));
}

}  // namespace mpsim

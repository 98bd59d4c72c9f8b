// The scenario language: every command, declared once. A declaration gives
// the command's name, when it may stand, its arguments with their kinds,
// its one-line help and its handler; the parser reads lines by it, the
// runner calls the handler, and `mp-sim --commands` prints the tables that
// sim/runner/README.md carries (a test keeps the two the same).
//
// To add a command: one entry in kCommands below and its handler above it.
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

std::string seconds_text(milliseconds d) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(d.count()) / 1e3);
    return buf;
}

std::string describe(const ExitStatus &st) {
    if (st.exited)
        return "exit status " + std::to_string(st.code);
    return "killed by signal " + signal_label(st.code) + " (" + strsignal(st.code) + ")";
}

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
    return {name, ArgKind::Int, what, nullptr, false, lo, hi};
}
Arg opt_num(const char *name, const char *what, long lo, long hi, long fallback) {
    return {name, ArgKind::Int, what, nullptr, true, lo, hi, nullptr, fallback};
}
Arg kw_num(const char *kw, const char *name, const char *what, long lo, long hi, bool optional,
           long fallback = 0) {
    return {name, ArgKind::Int, what, kw, optional, lo, hi, nullptr, fallback};
}
Arg secs(const char *name, const char *what) {
    return {name, ArgKind::Seconds, what};
}
Arg kw_secs(const char *kw, bool optional, long fallback_ms = 0) {
    return {"S", ArgKind::Seconds, "a number of seconds", kw, optional, 0, 0, nullptr, fallback_ms};
}
Arg of(ArgKind kind, const char *name, const char *what, bool optional = false) {
    return {name, kind, what, nullptr, optional};
}
Arg choice(const char *name, const char *what, const char *choices) {
    return {name, ArgKind::Choice, what, nullptr, false, 0, 0, choices};
}
const Arg kKeys = of(ArgKind::Keys, "KEY...", "at least one key (UP RIGHT DOWN LEFT START A B)");
const Arg kPath = of(ArgKind::Path, "PATH", "a device path");
const Arg kJournalOp =
    choice("OP", "the journal operation", "open|write|push|rename|fsync|unlink|read|sync");
const Arg kJournalArg = of(ArgKind::Bytes, "ARG", "the argument", true);

// ---- set-up ------------------------------------------------------------------

void porch_file(ScenarioSetup &su, const Step &s) {
    su.porch_file = ScenarioSetup::PorchFile::Write;
    su.porch_bytes = s.text("TEXT");
}
void no_porch_file(ScenarioSetup &su, const Step &) {
    su.porch_file = ScenarioSetup::PorchFile::Remove;
    su.porch_bytes.clear();
}
void etc_version(ScenarioSetup &su, const Step &s) {
    su.etc_version = s.text("TEXT");
}
void app_dir(ScenarioSetup &su, const Step &s) {
    su.app_dir = s.text("PATH");
}
void app_version(ScenarioSetup &su, const Step &s) {
    su.app_version = s.text("TEXT");
}
void app_noinit(ScenarioSetup &su, const Step &) {
    su.app_noinit = true;
}
void finish(ScenarioSetup &su, const Step &s) {
    su.finish = s.text("COMMAND");
}
void args(ScenarioSetup &su, const Step &s) {
    su.args = s.arg("WORD").words;
}
void framebuffer(ScenarioSetup &su, const Step &s) {
    su.fb_width = s.integer("W");
    su.fb_height = s.integer("H");
    su.fb_present = true;
}
void no_framebuffer(ScenarioSetup &su, const Step &) {
    su.fb_present = false;
}

// ---- operator and board actions ------------------------------------------------

void keys(Run &r, const Step &s, bool down) {
    for (long k : s.arg("KEY").numbers)
        r.target().set_key(static_cast<Key>(k), down);
}
void hold(Run &r, const Step &s) {
    keys(r, s, true);
}
void release(Run &r, const Step &s) {
    keys(r, s, false);
}
void volume(Run &r, const Step &s) {
    r.target().set_volume_percent(s.integer("P"));
}
void volume_raw(Run &r, const Step &s) {
    r.target().set_volume_raw(s.integer("N"));
}
void battery(Run &r, const Step &s) {
    r.target().set_battery_raw(s.integer("N"));
}
void headphone(Run &r, const Step &s) {
    r.target().set_headphone(s.integer("LEVEL"));
}
void usb(Run &r, const Step &s) {
    r.target().set_usb(s.integer("LEVEL"));
}
void te_clock(Run &r, const Step &s) {
    r.target().set_te_clock(s.integer("N"));
}
void te(Run &r, const Step &s) {
    r.target().stop_te(s.text("HOW") == "stop");
}
void underrun(Run &r, const Step &s) {
    r.target().request_underruns(s.integer("N"));
}
void remove_file(Run &r, const Step &s) {
    r.target().remove_file(s.text("PATH"));
}
void refuse_write(Run &r, const Step &s) {
    r.target().refuse_writes(s.text("PATH"), s.integer("ERRNO"), s.integer("N"));
}
void sound_fails(Run &r, const Step &s) {
    r.target().fail_sound_open(s.integer("ERRNO"));
}
void sound_write_fails(Run &r, const Step &s) {
    r.target().fail_sound_writes(s.integer("ERRNO"), s.integer("after"));
}
std::optional<std::string> errno_needs_after(const Step &s) {
    if (s.number("ERRNO") != 0 && !s.given("after"))
        return "'sound-write-fails' needs 'after <periods>' after the errno name";
    return std::nullopt;
}
void sound_suspend(Run &r, const Step &s) {
    r.target().suspend_sound(s.integer("N"));
}
void wall_clock_step(Run &r, const Step &s) {
    r.target().step_wall_clock(s.integer("S"), s.integer("after"));
}
void no_gpio(Run &r, const Step &s) {
    r.target().remove_gpio_line(static_cast<unsigned>(s.number("N")));
}
void unwritable(Run &r, const Step &s) {
    r.target().make_unwritable(s.text("PATH"));
}
void send_signal(Run &r, const Step &s) {
    r.target().send_signal(s.integer("NAME"));
}
void wall_clock(Run &r, const Step &s) {
    r.target().hold_wall_clock(s.text("HOW") == "hold");
}
void slow_writes(Run &r, const Step &s) {
    r.target().slow_writes(s.text("PATH"), s.integer("MS") * 1000);
}
void trap(Run &r, const Step &s) {
    r.target().trap(s.text("OP"), s.text("PATH"), s.integer("SIGNAL"), s.integer("N"));
}
void journal_reads(Run &r, const Step &s) {
    r.target().journal_reads(static_cast<unsigned>(s.number("GPIO")));
}

// ---- start, waits and checks -------------------------------------------------------

void start(Run &r, const Step &s) {
    r.start_program(s);
}

// Keys held for a while, then let go; not a wait: the next wait counts from
// before the press.
void press(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    keys(r, s, true);
    std::this_thread::sleep_for(s.seconds("for"));
    keys(r, s, false);
}

void wait_seconds(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    r.pause(s.seconds("S"));
}

void wait_count(Run &r, const Step &s, bool pushes) {
    Target &dev = r.target();
    const int from = pushes ? r.mark().pushes : r.mark().frames;
    const long n = s.number("N");
    auto count = [&] { return pushes ? dev.pushes() : dev.frame_count(); };
    r.waited(
        s, [&] { return count() >= from + n; },
        [&] {
            return std::to_string(count() - from) + (pushes ? " push(es)" : " new frame(s)") +
                   " of " + std::to_string(n);
        });
}
void wait_pushes(Run &r, const Step &s) {
    wait_count(r, s, true);
}
void wait_frames(Run &r, const Step &s) {
    wait_count(r, s, false);
}

// wait-exit, expect-exit, expect-signal
void program_end(Run &r, const Step &s) {
    r.log(s.where + ": " + s.source);
    const auto st = r.wait_program(s.timeout);
    if (!st)
        return r.fail(s, "the program still runs after " + seconds_text(s.timeout) + " s");
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

// expect-stdout, expect-stderr, expect-stdout-count
void expect_output(Run &r, const Step &s) {
    const bool out = !s.is("expect-stderr");
    const std::string &text = s.text("TEXT");
    auto count = [&] {
        Target &dev = r.target();
        const auto lines = lines_of(out ? dev.stdout_text() : dev.stderr_text(), r.ended());
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
        [&] { return "no line '" + text + "' on standard " + (out ? "output" : "error"); });
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

constexpr long kBig = 1000000;
const char *const kEnds = "hand-off|signal|running|power-cut|usage";

const std::vector<Command> kCommands = {
    // Composition (read by the parser).
    {"include",
     Phase::Meta,
     {of(ArgKind::File, "FILE", "a file")},
     "the lines of FILE (relative to the folder of the file holding the line) in place of this "
     "line; nested includes are fine, a loop is a mistake"},
    {"flows",
     Phase::Meta,
     {of(ArgKind::TextWords, "NAME...", "at least one flow name")},
     "the scenario is run once per flow; only in the scenario file itself (CMake reads it)"},
    {"flow",
     Phase::Meta,
     {},
     "where the flow's lines go: the file `flows/NAME.scn` in the scenario's folder or the nearest "
     "folder above it; exactly one in a scenario with `flows`"},
    {"when",
     Phase::Meta,
     {of(ArgKind::Text, "NAME... : LINE", "flow names, ':' and a line")},
     "LINE (any line, `include` too) applies only when the run's flow is one of the NAMEs"},
    {"frame-golden",
     Phase::Meta,
     {of(ArgKind::File, "FILE", "a PNG file"),
      of(ArgKind::File, "REPLACEMENT", "its replacement (or 'skip')")},
     "every `expect-frame FILE` line compares with REPLACEMENT instead, or is left out (`skip`); "
     "for the whole scenario"},
    {"labels",
     Phase::Meta,
     {of(ArgKind::TextWords, "NAME...", "at least one label")},
     "CTest labels, read by CMake from the scenario file itself"},
    {"repeat",
     Phase::Meta,
     {num("N", "the count", 1, 1000)},
     "the whole scenario runs N times, each time on a fresh device; all must pass"},
    {"ends",
     Phase::Meta,
     {choice("HOW", "'ends'", kEnds)},
     "which post-conditions apply (default `hand-off`); at most one per run"},

    // Set-up.
    {"porch-file",
     Phase::Setup,
     {of(ArgKind::TextBytes, "TEXT", "the bytes", true)},
     "the porch file `/mnt/UDISK/.lcdporch` holds these bytes (none: empty)",
     nullptr,
     porch_file},
    {"no-porch-file",
     Phase::Setup,
     {},
     "no porch file",
     nullptr,
     no_porch_file,
     false,
     "porch-file"},
    {"etc-version",
     Phase::Setup,
     {of(ArgKind::TextBytes, "TEXT", "the bytes", true)},
     "`/etc/version` holds these bytes",
     nullptr,
     etc_version},
    {"app-dir",
     Phase::Setup,
     {of(ArgKind::Text, "PATH", "a path")},
     "the application directory (argument 1); default `{root}/app`",
     nullptr,
     app_dir},
    {"app-version",
     Phase::Setup,
     {of(ArgKind::TextBytes, "TEXT", "the bytes", true)},
     "`PATH/version` of the application directory holds these bytes",
     nullptr,
     app_version},
    {"app-noinit",
     Phase::Setup,
     {},
     "creates `.noinit` in the application directory",
     nullptr,
     app_noinit},
    {"finish",
     Phase::Setup,
     {of(ArgKind::Text, "COMMAND", "a command", true)},
     "the finish script (argument 2); default `echo finish script ran > {root}/finish.txt`",
     nullptr,
     finish},
    {"args",
     Phase::Setup,
     {of(ArgKind::TextWords, "WORD...", "words", true)},
     "the whole argument list instead of the two above; `\"...\"` groups words",
     nullptr,
     args},
    {"framebuffer",
     Phase::Setup,
     {num("W", "the framebuffer width", 1, 4096), num("H", "the framebuffer height", 1, 4096)},
     "framebuffer size (default 240 x 240)",
     nullptr,
     framebuffer},
    {"no-framebuffer",
     Phase::Setup,
     {},
     "no `/dev/fb0`",
     nullptr,
     no_framebuffer,
     false,
     "framebuffer"},

    {"start", Phase::Start, {}, "starts the program (or powers the device on)", start},

    // Operator and board actions.
    {"hold", Phase::Action, {kKeys}, "press and keep holding the keys", hold},
    {"release", Phase::Action, {kKeys}, "let go of the keys (`all`: every key)", release},
    {"volume",
     Phase::Action,
     {num("P", "the volume percent", 0, 100)},
     "volume wheel at the reading the program's table maps to P percent",
     volume},
    // Any reading: a broken converter may give what a 12-bit one cannot.
    {"volume-raw",
     Phase::Action,
     {num("N", "the raw volume reading", -1000000000, 1000000000)},
     "volume wheel raw reading (0 to 4095 from a working converter)",
     volume_raw},
    {"battery",
     Phase::Action,
     {num("N", "the raw battery reading", 0, kBig)},
     "raw battery reading (the status screen shows N / 21 volts)",
     battery},
    {"headphone",
     Phase::Action,
     {num("LEVEL", "the headphone detect level", 0, 1)},
     "headphone detect line level (GPIO 132)",
     headphone},
    {"usb",
     Phase::Action,
     {num("LEVEL", "the USB detect level", 0, 1)},
     "USB detect line level (GPIO 1)",
     usb},
    {"te-clock",
     Phase::Action,
     {num("N", "the TE clock", 1, 100000000)},
     "panel clock: TE rate = N / (320 + porch); default 20640, 60 FPS at porch 24",
     te_clock},
    {"te",
     Phase::Action,
     {choice("HOW", "'te'", "stop|start")},
     "the TE line stops toggling / toggles again",
     te},
    {"underrun",
     Phase::Action,
     {opt_num("N", "the underrun count", 1, kBig, 1)},
     "the next N sound writes report an underrun",
     underrun},
    {"remove",
     Phase::Action,
     {kPath},
     "a device file disappears (e.g. `/sys/class/gpio/gpio132/value`)",
     remove_file},
    {"refuse-write",
     Phase::Action,
     {kPath, of(ArgKind::Errno, "ERRNO", "an errno name"),
      opt_num("N", "the number of refused writes", 1, kBig, -1)},
     "writes to PATH fail with ERRNO, all of them or the next N",
     refuse_write},
    {"sound-fails",
     Phase::Action,
     {{"ERRNO|none", ArgKind::Errno, "an errno name (or 'none')", nullptr, false, 0, 0, "none"}},
     "opening the sound device fails with ERRNO / works again",
     sound_fails},
    {"sound-write-fails",
     Phase::Action,
     {{"ERRNO|none", ArgKind::Errno, "an errno name (or 'none')", nullptr, false, 0, 0, "none"},
      kw_num("after", "N", "the number of periods", 0, 100000000, true)},
     "after N more periods, every write to the sound card fails with -ERRNO until cleared",
     sound_write_fails,
     nullptr,
     false,
     nullptr,
     errno_needs_after},
    {"sound-suspend",
     Phase::Action,
     {opt_num("N", "the number of EAGAIN answers", 0, 1000, 2)},
     "the next write finds the card suspended; `snd_pcm_resume` answers -EAGAIN N times first",
     sound_suspend},
    {"wall-clock-step",
     Phase::Action,
     {num("S", "the step", -1000000000, 1000000000),
      kw_num("after", "N", "the number of calls", 0, 1000000000, true, 1)},
     "from the program's (N+1)-th call of time() on, its wall clock is S seconds off",
     wall_clock_step},
    {"no-gpio",
     Phase::Action,
     {num("N", "a GPIO number", 0, 255)},
     "the board lacks GPIO N: its export is refused (EINVAL)",
     no_gpio},
    {"unwritable", Phase::Action, {kPath}, "a device file or folder becomes read-only", unwritable},
    {"signal",
     Phase::Action,
     {of(ArgKind::Signal, "NAME", "a signal name")},
     "sends the signal to the program alone, as init would",
     send_signal},
    {"wall-clock",
     Phase::Action,
     {choice("HOW", "'wall-clock'", "hold|run")},
     "time() stands still at the current second / runs again",
     wall_clock},
    {"slow-writes",
     Phase::Action,
     {kPath, num("MS", "the milliseconds", 0, 10000)},
     "every write to a device path beginning with PATH takes MS milliseconds longer; 0 ends it",
     slow_writes},
    {"trap",
     Phase::Action,
     {choice("OP", "the trap operation", "open|write|rename|fsync|unlink"), kPath,
      of(ArgKind::Signal, "SIGNAL", "a signal"), opt_num("N", "the occurrence", 1, kBig, 1)},
     "the N-th OP on a device path beginning with PATH gets SIGNAL just before it is carried out "
     "(SIGKILL: a power cut there)",
     trap},
    {"journal-reads",
     Phase::Action,
     {num("GPIO", "a GPIO number", 0, 255)},
     "reads of GPIO's value file become journal lines (`read`), as a logic analyser would see "
     "them",
     journal_reads},

    // Waiting and checking.
    {"press",
     Phase::Run,
     {kKeys, kw_secs("for", true, 200)},
     "hold the keys together for S seconds (default 0.2), then let them go; not a wait",
     press},
    {"wait",
     Phase::Run,
     {secs("S", "a number of seconds")},
     "S seconds pass; never fails",
     wait_seconds},
    {"wait-pushes",
     Phase::Run,
     {num("N", "the count", 0, kBig)},
     "N more panel pushes",
     wait_pushes,
     nullptr,
     true},
    {"wait-frames",
     Phase::Run,
     {num("N", "the count", 0, kBig)},
     "N more distinct frames",
     wait_frames,
     nullptr,
     true},
    {"wait-journal",
     Phase::Run,
     {kJournalOp, kPath},
     "a new journal line with OP on the device path PATH",
     wait_journal,
     nullptr,
     true},
    {"wait-exit", Phase::Run, {}, "the program ended", program_end, nullptr, true},
    {"expect-exit",
     Phase::Run,
     {num("CODE", "the exit status", -128, 255)},
     "the program ended with exit status CODE (-1 means 255)",
     program_end,
     nullptr,
     true},
    {"expect-signal",
     Phase::Run,
     {of(ArgKind::Signal, "NAME", "a signal")},
     "the program ended by that signal",
     program_end,
     nullptr,
     true},
    {"expect-frame",
     Phase::Run,
     {of(ArgKind::File, "FILE", "a PNG file"),
      {"X Y W H", ArgKind::Rect, "a rectangle", "ignore", true, 0, 4096, nullptr, 0, true}},
     "the panel shows a frame equal to the PNG FILE, outside the ignored rectangles",
     expect_frame,
     nullptr,
     true},
    {"expect-ink",
     Phase::Run,
     {{"X Y W H", ArgKind::Rect, "a rectangle", nullptr, false, 0, 4096},
      of(ArgKind::Colour, "COLOUR", "a colour")},
     "in some frame, the rectangle holds at least one pixel of COLOUR and otherwise only black",
     expect_ink,
     nullptr,
     true},
    {"expect-journal",
     Phase::Run,
     {kJournalOp, kPath, kJournalArg},
     "the journal has, after the journal cursor, a line with OP on PATH (and ARG)",
     expect_journal,
     nullptr,
     true},
    {"expect-no-journal",
     Phase::Run,
     {kJournalOp, kPath, kJournalArg},
     "*at once*: no such line (ARG a prefix) since the program started",
     expect_no_journal},
    {"expect-period",
     Phase::Run,
     {kJournalOp, kPath, kJournalArg, kw_secs("every", false),
      kw_num("count", "N", "the number of lines", 3, 100000, true, 20)},
     "the next N (default 20) such lines come every S seconds: their median interval lies "
     "within 0.9 to 1.25 times S",
     expect_period,
     nullptr,
     true},
    {"expect-span",
     Phase::Run,
     {kJournalOp, kPath, kJournalArg, kw_secs("within", false)},
     "*at once*: the first and the last such line of the run lie at most S seconds apart",
     expect_span},
    {"expect-file",
     Phase::Run,
     {kPath, of(ArgKind::Bytes, "BYTES", "the bytes", true)},
     "the device file PATH (or `{root}/...`) holds exactly BYTES (none: empty)",
     expect_file,
     nullptr,
     true},
    {"expect-no-file", Phase::Run, {kPath}, "*at once*: PATH does not exist", expect_no_file},
    {"expect-mode",
     Phase::Run,
     {kPath, of(ArgKind::Mode, "MODE", "an octal mode")},
     "the file PATH exists with the permission bits MODE (`0644`)",
     expect_mode,
     nullptr,
     true},
    {"expect-stdout",
     Phase::Run,
     {of(ArgKind::Text, "TEXT", "a text")},
     "the program's standard output has a line equal to TEXT",
     expect_output,
     nullptr,
     true},
    {"expect-stderr",
     Phase::Run,
     {of(ArgKind::Text, "TEXT", "a text")},
     "the program's standard error has a line equal to TEXT",
     expect_output,
     nullptr,
     true},
    {"expect-stdout-count",
     Phase::Run,
     {num("N", "the count", 0, kBig), of(ArgKind::Text, "TEXT", "a text")},
     "*at once*: exactly N lines of standard output equal TEXT so far",
     expect_output},
    {"expect-cpu-below",
     Phase::Run,
     {num("PERCENT", "the percentage", 1, 10000), kw_secs("over", false)},
     "waits S seconds; fails when the program used more than PERCENT % of one core over them",
     expect_cpu_below},
    {"expect-gpio",
     Phase::Run,
     {num("N", "the GPIO", 0, 255), num("LEVEL", "the level", 0, 1)},
     "GPIO N's line level, as the hardware holds it, is LEVEL",
     expect_gpio,
     nullptr,
     true},
    {"expect-porch",
     Phase::Run,
     {num("N", "the porch", 0, 999)},
     "the panel runs at porch N (atoi of the last lcdporch write)",
     expect_porch,
     nullptr,
     true},
    {"expect-recordings",
     Phase::Run,
     {num("N", "the number of recordings", 0, kBig)},
     "at least N openings of the sound device were recorded",
     expect_recordings,
     nullptr,
     true},
    {"expect-samples",
     Phase::Run,
     {num("INDEX", "the recording", -1, kBig),
      num("FRAME", "the frame", 0, 1000000000),
      {"V...", ArgKind::Ints, "at least one sample", nullptr, false, -32768, 32767}},
     "recording INDEX, from stereo frame FRAME on, holds exactly the interleaved samples V",
     expect_samples,
     nullptr,
     true},
    {"expect-recording",
     Phase::Run,
     {num("INDEX", "the recording", -1, kBig), of(ArgKind::File, "FILE", "a WAV file"),
      kw_num("frames", "N", "the number of frames", 1, 100000000, true)},
     "recording INDEX begins with the samples of the WAV file",
     expect_recording,
     nullptr,
     true},
    {"expect-underruns",
     Phase::Run,
     {num("N", "the number of underruns", 0, kBig)},
     "the sound card has reported exactly N underruns",
     expect_underruns,
     nullptr,
     true},
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

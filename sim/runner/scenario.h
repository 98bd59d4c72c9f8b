// Scenario files of mp-sim: a line based description of what the operator
// and the board do to the simulated device while a program runs on it, and
// of what the hardware must see. The language is described in README.md next
// to this file.
//
// This part only parses (includes and flows too); it knows nothing of the
// harness, so it can be tested on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mpsim {

enum class StepKind {
    Start,
    // operator and board actions
    Hold,
    Release,
    ReleaseAll,
    Press,
    Volume,
    VolumeRaw,
    Battery,
    Headphone,
    Usb,
    TeClock,
    TeStop,
    TeStart,
    Underrun,
    Remove,
    RefuseWrite,
    SoundFails,
    SoundWriteFails,
    SoundSuspend,
    WallClockStep,
    Trap,
    NoGpio,
    Unwritable,
    Signal,
    WallClockHold,
    SlowWrites,
    // waiting and checking
    Wait,
    WaitPushes,
    WaitFrames,
    WaitJournal,
    WaitExit,
    ExpectExit,
    ExpectSignal,
    ExpectFrame,
    ExpectInk,
    ExpectJournal,
    ExpectNoJournal,
    ExpectFile,
    ExpectNoFile,
    ExpectStdout,
    ExpectStderr,
    ExpectStdoutCount,
    ExpectCpuBelow,
    ExpectGpio,
    ExpectPorch,
    ExpectRecordings,
    ExpectSamples,
    ExpectRecording,
    ExpectUnderruns,
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

struct ScenarioStep {
    StepKind kind = StepKind::Start;
    std::string where;      // "file:line" of the line in the file that holds it
    bool top = false;       // the line is in the scenario file itself, not an included one
    std::string source;     // the line as written, without comment
    std::vector<int> keys;  // key indices 0 UP .. 6 B (hold, release, press)
    // percent, raw reading, level, clock, count, errno, exit status, signal,
    // GPIO, porch, recording index, seconds of a wall-clock step
    long value = 0;
    // refuse-write: how many writes (-1 all); sound-write-fails, trap,
    // wall-clock-step: periods, occurrence, calls; expect-gpio: the level;
    // expect-samples: the first frame; expect-recording: frames to write (-1
    // as many as the file holds)
    long count = -1;
    std::chrono::milliseconds duration{0};  // press length, wait time, time-out, CPU window
    std::string op;                         // journal operation, trap operation
    std::string path;                       // device path
    std::optional<std::string> arg;         // journal argument or bytes; expected file bytes
    std::string text;                       // expected output line
    std::string file;                       // golden PNG or WAV (resolved)
    std::vector<Rect> rects;                // expect-frame: ignored; expect-ink: the window
    uint32_t colour = 0;                    // expect-ink, 0xRRGGBB
    std::vector<long> samples;              // expect-samples
};

// Device and program set-up, fixed before the program starts.
struct ScenarioSetup {
    enum class PorchFile { Untouched, Write, Remove };
    PorchFile porch_file = PorchFile::Untouched;
    std::string porch_bytes;
    std::optional<std::string> etc_version;
    std::optional<std::string> app_version;
    bool app_noinit = false;
    std::string app_dir = "{root}/app";
    std::string finish = "echo finish script ran > {root}/finish.txt";
    // Given by `args`: the whole argument list after the program path,
    // replacing the default (app_dir, finish).
    std::optional<std::vector<std::string>> args;
    std::optional<int> fb_width, fb_height;
    bool fb_present = true;
    std::optional<int> te_clock;
};

// How the program is meant to end, and so which post-conditions apply.
enum class Ends { HandOff, Signal, Running, PowerCut, Usage };

struct Scenario {
    ScenarioSetup setup;
    // In file order. Exactly one Start step; steps before it are actions that
    // set the hardware the program finds at power-on.
    std::vector<ScenarioStep> steps;
    std::vector<std::string> flows;  // from `flows`; empty: a single run
    std::string flow;                // the flow this was parsed for
    Ends ends = Ends::HandOff;
    std::string ends_where;  // "file:line" of the `ends` line, "" for the default
    int repeat = 1;
};

// Time-out of a wait that names none.
constexpr std::chrono::milliseconds kDefaultWaitTimeout{60000};
// How long `press` holds its keys when no `for` is given.
constexpr std::chrono::milliseconds kDefaultPressTime{200};

// Parses a scenario whose text is given; `file` names it in messages and is
// where includes and flows are looked up from. For a scenario with `flows`,
// `flow` selects the flow ("" leaves the `flow` line empty: enough to read
// the flow list). On failure returns false with "file:line: message" (and
// "(included from file:line)" for an included file's line).
bool parse_scenario(std::string_view text, const std::string &file, const std::string &flow,
                    Scenario &out, std::string &message);
// The same, reading `file` (line 0: the file could not be read).
bool load_scenario(const std::string &file, const std::string &flow, Scenario &out,
                   std::string &message);

// Helpers shared with the runner.
// The whole file, or none when it cannot be opened.
std::optional<std::string> read_file(const std::filesystem::path &file);
const char *key_label(int key_index);                         // "UP" .. "B"
std::optional<int> key_index_from_label(std::string_view s);  // case-insensitive
std::optional<int> errno_from_name(std::string_view s);       // "EBUSY" -> EBUSY, or a number
std::string errno_label(int err);                             // EBUSY -> "EBUSY"
std::optional<int> signal_from_name(std::string_view s);      // "SIGTERM" -> 15, or a number
std::string signal_label(int sig);                            // 15 -> "SIGTERM"
// Replaces every "{root}" in `s` with `root`.
std::string substitute_root(const std::string &s, const std::string &root);
// Splits the text of an `args` line into words: blanks separate words,
// double quotes group them (\" and \\ inside quotes).
bool split_words(std::string_view s, std::vector<std::string> &words, std::string &error);
// Decodes \0 \n \r \t \s \\ \xHH in a byte text.
bool unescape_bytes(std::string_view s, std::string &bytes, std::string &error);
// Shows bytes with the same escapes, for messages.
std::string escape_bytes(std::string_view bytes);

}  // namespace mpsim

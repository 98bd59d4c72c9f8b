// Scenario files of mp-sim: a short, line based description of what the
// operator and the board do to the simulated device while a program runs on
// it. The language is described in README.md next to this file.
//
// This part only parses; it knows nothing of the harness, so it can be tested
// on its own.
#pragma once

#include <chrono>
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
    // waiting and checking
    Wait,
    WaitPushes,
    WaitFrames,
    WaitJournal,
    WaitExit,
    ExpectExit,
};

struct ScenarioStep {
    StepKind kind = StepKind::Start;
    int line = 0;           // 1-based line of the scenario file
    std::string source;     // the line as written, without comment
    std::vector<int> keys;  // key indices 0 UP .. 6 B (hold, release, press)
    long value = 0;         // percent, raw reading, level, clock, count, errno, exit code
    long count = -1;        // refuse-write: how many writes to refuse (-1 all)
    std::chrono::milliseconds duration{0};  // press length, wait time or time-out
    std::string op;                         // wait-journal
    std::string path;                       // wait-journal, remove, refuse-write
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

struct Scenario {
    ScenarioSetup setup;
    // In file order. Exactly one Start step; steps before it are actions that
    // set the hardware the program finds at power-on.
    std::vector<ScenarioStep> steps;
};

struct ScenarioError {
    int line = 0;
    std::string message;
};

// Time-out of a wait that names none.
constexpr std::chrono::milliseconds kDefaultWaitTimeout{60000};
// How long `press` holds its keys when no `for` is given.
constexpr std::chrono::milliseconds kDefaultPressTime{200};

// Parses a whole scenario. On failure returns false and describes the first
// error in `err`.
bool parse_scenario(std::string_view text, Scenario &out, ScenarioError &err);

// Reads and parses a file; errors come back as "file:line: message" (line 0:
// the file could not be read).
bool load_scenario(const std::string &file, Scenario &out, std::string &message);

// Helpers shared with the runner.
const char *key_label(int key_index);                         // "UP" .. "B"
std::optional<int> key_index_from_label(std::string_view s);  // case-insensitive
std::optional<int> errno_from_name(std::string_view s);       // "EBUSY" -> EBUSY, or a number
std::string errno_label(int err);                             // EBUSY -> "EBUSY"
// Replaces every "{root}" in `s` with `root`.
std::string substitute_root(const std::string &s, const std::string &root);
// Splits the text of an `args` line into words: blanks separate words,
// double quotes group them (\" and \\ inside quotes).
bool split_words(std::string_view s, std::vector<std::string> &words, std::string &error);
// Decodes \0 \n \r \t \\ \xHH in a byte text.
bool unescape_bytes(std::string_view s, std::string &bytes, std::string &error);

}  // namespace mpsim

// Scenario files of mp-sim: a line based description of what the operator
// and the board do to the simulated device while a program runs on it, and
// of what the hardware must see. The language is described in README.md next
// to this file.
//
// This part only parses (includes and flows too), by the commands'
// declarations; it knows nothing of the harness.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "mpsim/harness.h"

namespace mpsim {

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
};

// How the program is meant to end, and so which post-conditions apply.
enum class Ends { HandOff, Signal, Running, PowerCut, Usage };
const char *ends_name(Ends e);  // "hand-off", ...

struct Scenario {
    ScenarioSetup setup;
    // In file order. Exactly one start step; steps before it are actions that
    // set the hardware the program finds at power-on.
    std::vector<Step> steps;
    std::vector<std::string> flows;  // from `flows`; empty: a single run
    std::string flow;                // the flow this was parsed for
    Ends ends = Ends::HandOff;
    std::string ends_where;  // "file:line" of the `ends` line, "" for the default
    int repeat = 1;
};

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
std::optional<int> key_index_from_label(std::string_view s);  // case-insensitive
std::optional<int> errno_from_name(std::string_view s);       // "EBUSY" -> EBUSY, or a number
std::optional<int> signal_from_name(std::string_view s);      // "SIGTERM" -> 15, or a number
// Replaces every "{root}" in `s` with `root`.
std::string substitute_root(const std::string &s, const std::string &root);
// Splits the text of an `args` line into words: blanks separate words,
// double quotes group them (\" and \\ inside quotes).
bool split_words(std::string_view s, std::vector<std::string> &words, std::string &error);
// Decodes \0 \n \r \t \s \\ \xHH in a byte text.
bool unescape_bytes(std::string_view s, std::string &bytes, std::string &error);
// Shows bytes with the same escapes, for messages.
std::string escape_bytes(std::string_view bytes);
std::string seconds_text(double s);  // 1.5 -> "1.500"

}  // namespace mpsim

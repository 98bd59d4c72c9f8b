// The commands of mp-sim's scenario language, each declared once (in
// commands.cpp): its name, when it may stand, its arguments and their kinds,
// its one-line help and its handler, or for a board action the device's own
// by the same name. The parser reads a line by its command's declaration,
// the runner carries it out, and `mp-sim --commands` prints the list that
// sim/runner/README.md carries.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mpsim {

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

// What an argument is; the parser checks it and the help names it.
enum class ArgKind {
    Int,      // a whole number between lo and hi
    Seconds,  // a decimal number of seconds, at most a day
    Keys,     // key names (UP RIGHT DOWN LEFT START A B), one or more, or "all"
    Path,     // a device path ("/sys/...") or a file of the device root ("{root}/...")
    Errno,    // an errno name (EBUSY) or number; "none" is 0 where `none` is set
    Signal,   // a signal name (SIGTERM) or number
    Choice,   // one of the words in `choices` ("hold|run"); its index is the number
    Bytes,    // one word of bytes with escapes (\0 \n \s \xHH ...)
    Colour,   // white black red green blue yellow or #RRGGBB
    File,     // a file named relative to the scenario file holding the line
    Rect,     // X Y W H
    Ints,     // one or more whole numbers
    Mode,     // an octal file mode (0644)
    // The rest of the line, taken literally ('#' included); a waiting line's
    // final "timeout S" still counts as its time-out.
    Text,       // as it stands
    TextBytes,  // with byte escapes
    TextWords,  // words separated by blanks, "..." grouping
};

struct Arg {
    const char *name;  // as the help shows it: "PATH", "ERRNO", "KEY..."
    ArgKind kind;
    const char *what;               // for messages: "a device path"
    const char *keyword = nullptr;  // the word that introduces it ("for", "after")
    bool optional = false;          // may be left out (then `fallback`)
    long lo = 0, hi = 0;            // Int, Ints, Rect: the range
    const char *choices = nullptr;  // Choice: "stop|start"; Errno: "none" allowed
    long fallback = 0;              // the number when left out
    bool repeated = false;          // a keyword argument that may come again
};

// One argument's value as given on a line.
struct ArgValue {
    bool given = false;
    long number = 0;            // Int, Errno, Signal, Choice (the index), Colour (0xRRGGBB), Mode
    std::string text;           // Path, Bytes, File (resolved), Text..., Choice (the word)
    std::vector<long> numbers;  // Keys (key indices), Ints
    std::vector<Rect> rects;    // Rect (one per occurrence)
    std::vector<std::string> words;     // TextWords
    std::chrono::milliseconds time{0};  // Seconds
};

// When a line may stand and what it does to the scenario.
enum class Phase {
    Setup,   // sets up the device before the program starts (into ScenarioSetup)
    Action,  // operator or board action, at any time; before the start: at power-on
    Start,   // starts the program
    Run,     // needs the running program: the first such line starts it
    Meta,    // shapes the scenario itself (includes, flows, labels); read by the parser
};

struct Step;
struct ScenarioSetup;
class Run;

// An entry of the table, written by member name:
//   {.name = "te", .phase = Phase::Action, .args = {...}, .help = "...",
//    .run = [](Run &r, const Step &s) { ... }}
struct Command {
    const char *name;
    Phase phase;
    std::vector<Arg> args = {};
    const char *help;
    // Run and Action lines: carried out by the runner.
    void (*run)(Run &, const Step &) = nullptr;
    // An operator or board action the device does by the command's name:
    // the runner passes the line's values to Target::act, numbers and words
    // in their declared order (mpsim::Action).
    bool act = false;
    // Setup lines: fill in the set-up.
    void (*setup)(ScenarioSetup &, const Step &) = nullptr;
    // A Run line that waits takes a final "timeout S" (default 60 s) and
    // moves the point the next wait counts from.
    bool waits = false;
    // Set-up lines that set the same thing share this (default: the name).
    const char *sets = nullptr;
    // A further check of the arguments together; a message when they do not fit.
    std::optional<std::string> (*check)(const Step &) = nullptr;
};

// A parsed line.
struct Step {
    const Command *cmd = nullptr;
    std::string where;             // "file:line" of the line in the file that holds it
    bool top = false;              // the line is in the scenario file itself, not an included one
    std::string source;            // the line as written, without comment
    std::vector<ArgValue> values;  // one per cmd->args
    std::chrono::milliseconds timeout{0};  // of a waiting line

    bool is(std::string_view name) const;
    // The value of the argument of that name (as declared, without "..."):
    // a mistake in the runner's own code throws std::logic_error.
    const ArgValue &arg(std::string_view name) const;
    bool given(std::string_view name) const { return declares(name) && arg(name).given; }
    // The command has an argument of that name.
    bool declares(std::string_view name) const;
    long number(std::string_view name) const { return arg(name).number; }
    int integer(std::string_view name) const { return static_cast<int>(arg(name).number); }
    const std::string &text(std::string_view name) const { return arg(name).text; }
    std::chrono::milliseconds seconds(std::string_view name) const { return arg(name).time; }
};

// Every command, in the order of the help.
const std::vector<Command> &commands();
const Command *find_command(std::string_view name);
// The commands as Markdown tables, one per phase, for the README.
std::string commands_markdown();
// A command's usage line: "refuse-write PATH ERRNO [N]".
std::string usage(const Command &c);

// Time-out of a wait that names none.
constexpr std::chrono::milliseconds kDefaultWaitTimeout{60000};

}  // namespace mpsim

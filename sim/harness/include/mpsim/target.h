// A device to run the program on, as tests and mp-sim drive it: the
// simulated device (mpsim::Device, the program with the preloaded library)
// or the virtual machine (mpsim::VmDevice, Debian's kernel with the board's
// module). Both give back the same frames, journal, recordings and output.
// Operator and board actions reach a device by name, as the scenario command
// names them (act): each device keeps a table of the actions it does, and
// what it does not do ends here, in Target::act, which throws Unsupported
// with the device's name and the action's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mpsim/board.h"
#include "mpsim/journal.h"

namespace mpsim {

using Ms = std::chrono::milliseconds;

// Keys by key index, with their GPIOs.
enum class Key { Up = 0, Right, Down, Left, Start, A, B };
unsigned key_gpio(Key k);  // the key's line, from the board's key table

// Raw volume wheel reading that the program's volume table maps to `percent`.
int volume_raw_for_percent(int percent);

struct Frame {
    int width = 0;
    int height = 0;
    uint32_t push = 0;         // push number that first showed it
    uint64_t time_ns = 0;      // CLOCK_MONOTONIC of that push
    std::vector<uint32_t> px;  // 0xAARRGGBB, row by row
    uint32_t at(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
};

struct Recording {
    unsigned rate = 0;
    unsigned channels = 0;
    std::vector<int16_t> samples;  // interleaved
    size_t frames() const { return channels ? samples.size() / channels : 0; }
};

struct ExitStatus {
    bool exited = false;  // normal exit (else killed by a signal)
    int code = -1;        // exit status 0..255, or the signal number
};

// What one device can do and another cannot: the message says which device
// and what.
class Unsupported : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An operator or board action, named as its scenario command is ("battery",
// "trap"), with the command's arguments in their declared order: the numbers
// (errno and signal numbers, key indices) in one list, the words (paths,
// "hold|run" choices) in the other.
struct Action {
    std::string name;
    std::vector<long> numbers = {};
    std::vector<std::string> words = {};
    // The i-th number or word (std::out_of_range when the action lacks it).
    int integer(size_t i) const { return static_cast<int>(numbers.at(i)); }
    const std::string &word(size_t i) const { return words.at(i); }
};

class Target {
  public:
    // Removes the device's folder unless it is kept.
    virtual ~Target();
    // "the simulated device", "the virtual machine": for messages.
    virtual std::string name() const = 0;
    // The device's folder on this machine.
    const std::string &root() const { return folder_; }
    // A line for a summary: where the device lived.
    virtual std::string whereabouts() const { return "device root: " + folder_ + fate(); }

    // ---- the operator and the board ------------------------------------------
    // Does the action by its name. A device does the actions of its own
    // table and hands the others here, which throws Unsupported naming the
    // device and the action.
    virtual void act(const Action &a);
    // Shorthands for tests.
    void set_key(Key k, bool down) { act({down ? "hold" : "release", {static_cast<long>(k)}}); }
    void release_all_keys();
    void set_volume_percent(int percent) { set_volume_raw(volume_raw_for_percent(percent)); }
    void set_volume_raw(int raw) { act({"volume-raw", {raw}}); }
    void set_battery_raw(int raw) { act({"battery", {raw}}); }
    void set_headphone(int level) { act({"headphone", {level}}); }
    void set_usb(int level) { act({"usb", {level}}); }
    void set_te_clock(int clock) { act({"te-clock", {clock}}); }
    // time() of programs on the device stands still at the current second.
    void hold_wall_clock(bool held) { act({"wall-clock", {}, {held ? "hold" : "run"}}); }

    // ---- faults: a hook in the program's calls, which a real kernel lacks ------
    // The board lacks the line: its export is refused.
    void remove_gpio_line(unsigned gpio) { act({"no-gpio", {static_cast<long>(gpio)}}); }
    // time() is `s` seconds off from call after + 1 on.
    void step_wall_clock(int s, int after) { act({"wall-clock-step", {s, after}}); }
    void request_underruns(int n) { act({"underrun", {n}}); }
    // err 0 clears.
    void fail_sound_writes(int err, int after) { act({"sound-write-fails", {err, after}}); }
    // The next write fails -ESTRPIPE, then resume answers -EAGAIN n times.
    void suspend_sound(int n) { act({"sound-suspend", {n}}); }
    // op "open", "write", "rename", "fsync" or "unlink"; sig 0 or nth 0 disarms.
    void trap(const std::string &op, const std::string &path_prefix, int sig, int nth) {
        act({"trap", {sig, nth}, {op, path_prefix}});
    }

    // ---- files at device paths ("/mnt/UDISK/.lcdporch", "/finish.txt") ---------
    virtual void write_file(const std::string &device_path, const std::string &bytes) = 0;
    virtual std::optional<std::string> read_file(const std::string &device_path) const = 0;
    virtual void remove_file(const std::string &device_path) = 0;
    virtual bool exists(const std::string &device_path) const;
    // Permission bits (0644); none when missing.
    virtual std::optional<unsigned> file_mode(const std::string &) const {
        unsupported("report a file's mode");
    }

    // ---- the program ---------------------------------------------------------
    // Starts argv[0] (a path); extra_env entries are "NAME=value".
    virtual void start(const std::vector<std::string> &, const std::vector<std::string> & = {}) {
        unsupported("start a program of one's choosing: its start script starts the firmware");
    }
    // Starts the factory program with an application directory and a finish
    // script, as the board's start script does.
    virtual void start_mp_test(const std::string &app_dir, const std::string &finish_script) = 0;
    virtual bool running() = 0;
    virtual pid_t pid() const = 0;
    virtual std::optional<ExitStatus> wait_exit(Ms timeout) = 0;
    virtual void kill_program() = 0;  // SIGKILL to it and what it started
    // CPU time of the program, all its threads, in seconds.
    virtual std::optional<double> cpu_seconds() const {
        unsupported("measure the program's processor time");
    }
    virtual std::string stdout_text() const = 0;
    virtual std::string stderr_text() const = 0;

    // ---- what the hardware holds and saw ---------------------------------------
    virtual int gpio_level(
        unsigned gpio) const = 0;  // e.g. the audio enable line, as the program drove it
    virtual bool gpio_exported(unsigned gpio) const = 0;
    virtual bool keys_bound() const = 0;
    virtual int porch() const = 0;  // the panel's porch, as last written
    virtual int pushes() const = 0;
    virtual int frame_count() const = 0;
    virtual Frame frame(int index) const = 0;
    std::vector<Frame> frames() const;
    std::optional<Frame> current_frame() const;  // the last distinct frame pushed
    virtual int recording_count() const = 0;
    virtual Recording recording(int index) const = 0;
    // Frames recording `index` holds so far, and its channels; 0 while it
    // has no header.
    virtual size_t recording_frames(int index, unsigned &channels) const;
    virtual int underruns() const = 0;
    // Appends the journal lines after the first into.size() (a reader that
    // keeps its copy).
    virtual void read_journal(std::vector<JournalEntry> &into) const = 0;
    std::vector<JournalEntry> journal() const;
    // The lines of one operation on one path ("" for any).
    std::vector<JournalEntry> journal(const std::string &op, const std::string &path) const;
    // The journal's text as the device wrote it.
    virtual std::string journal_text() const = 0;

    // ---- waiting -----------------------------------------------------------------
    // Looks at cond until it holds (true) or the time-out passes (false).
    // Time-outs and pauses are the device's own time: a key held for 0.25 s
    // is held for 0.25 s of the program's time, and a wait lasts as long of
    // it as it would on the device, however busy the host is.
    bool wait_until(const std::function<bool()> &cond, Ms timeout);
    void pause(Ms d);
    bool wait_pushes(int n, Ms timeout);
    bool wait_journal(const std::string &op, const std::string &path, Ms timeout);

  protected:
    [[noreturn]] void unsupported(const std::string &what) const;
    // The device's clock in seconds where it keeps one apart from the host's
    // (a virtual machine, which a busy host slows down); nothing where the
    // device's time is the host's.
    virtual std::optional<double> own_seconds() { return std::nullopt; }
    // How often a wait looks again.
    virtual Ms poll_step() const { return Ms(10); }
    // Makes the device's folder: `folder` emptied, or a fresh one in $TMPDIR
    // whose name begins with `prefix`. It outlives the device when `keep` is
    // set or MPSIM_KEEP_ROOT is 1.
    void make_folder(const std::string &folder, const std::string &prefix, bool keep);
    // " (kept)" or " (removed)": what becomes of the folder.
    std::string fate() const { return keep_ ? " (kept)" : " (removed)"; }

  private:
    std::string folder_;
    bool keep_ = false;
};

}  // namespace mpsim

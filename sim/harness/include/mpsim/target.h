// A device to run the program on, as tests and mp-sim drive it: the
// simulated device (mpsim::Device, the program with the preloaded library)
// or the virtual machine (mpsim::VmDevice, Debian's kernel with the board's
// module). Both take the same operator and board actions and give back the
// same frames, journal, recordings and output. What a device cannot do keeps
// the default written here with the action, which throws Unsupported with the
// device's name.
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

class Target {
  public:
    virtual ~Target() = default;
    // "the simulated device", "the virtual machine": for messages.
    virtual std::string name() const = 0;
    // The device's folder on this machine.
    virtual const std::string &root() const = 0;
    // A line for a summary: where the device lived.
    virtual std::string whereabouts() const = 0;

    // ---- the operator and the board ------------------------------------------
    virtual void set_gpio_level(unsigned gpio, int level) = 0;
    virtual void set_volume_raw(int raw) = 0;
    virtual void set_battery_raw(int raw) = 0;
    virtual void set_te_clock(int clock) = 0;
    virtual void stop_te(bool stopped) = 0;
    // Holds the wall clock of programs on the device at the current second
    // (time() stands still) or lets it run again.
    virtual void hold_wall_clock(bool held) = 0;
    void set_key(Key k, bool pressed) { set_gpio_level(key_gpio(k), pressed ? 0 : 1); }
    void release_all_keys();
    void set_volume_percent(int percent) { set_volume_raw(volume_raw_for_percent(percent)); }
    void set_headphone(int level) { set_gpio_level(BOARD_GPIO_HEADPHONE_DETECT, level); }
    void set_usb(int level) { set_gpio_level(BOARD_GPIO_USB_DETECT, level); }

    // ---- faults: a hook in the program's calls, which a real kernel lacks ------
    // The board lacks the line: its export is refused.
    virtual void remove_gpio_line(unsigned) {
        unsupported(
            "remove a GPIO line: the board module registers its lines as the board has them");
    }
    // time() is `seconds` off from call after_calls + 1 on.
    virtual void step_wall_clock(int, int) {
        unsupported("step the wall clock after a number of calls of time()");
    }
    virtual void make_unwritable(const std::string &) {
        unsupported("make a device file read-only: root writes what the kernel lets it");
    }
    virtual void refuse_writes(const std::string &, int, int = -1) {
        unsupported("refuse writes to a device file: the kernel's drivers answer for themselves");
    }
    // err 0 clears
    virtual void fail_sound_open(int) { unsupported("make the sound card fail to open"); }
    virtual void request_underruns(int) { unsupported("make the sound card underrun on demand"); }
    // err 0 clears
    virtual void fail_sound_writes(int, int) { unsupported("make the sound card's writes fail"); }
    // The next write fails -ESTRPIPE, then resume answers -EAGAIN that often.
    virtual void suspend_sound(int) { unsupported("suspend the sound card"); }
    // op "open", "write", "rename", "fsync" or "unlink"; sig 0 or nth 0 disarms
    virtual void trap(const std::string &, const std::string &, int, int) {
        unsupported("trap a file operation with a signal");
    }
    // Writes to device paths starting with path_prefix take `us` longer (0: off).
    virtual void slow_writes(const std::string &, int) {
        unsupported("slow down writes: the kernel's drivers take the time they take");
    }
    // Reads of GPIO `gpio`'s value file become journal lines ("read").
    virtual void journal_reads(unsigned) { unsupported("journal the reads of a value file"); }

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
    // Looks at cond, the way the device learns of news, until it holds (true)
    // or the time-out passes (false).
    virtual bool wait_until(const std::function<bool()> &cond, Ms timeout) = 0;
    bool wait_pushes(int n, Ms timeout);
    bool wait_journal(const std::string &op, const std::string &path, Ms timeout);

  protected:
    [[noreturn]] void unsupported(const std::string &what) const;
};

}  // namespace mpsim

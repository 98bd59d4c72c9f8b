// C++ harness around the simulated device: makes a fresh device root, starts
// a program on it (with the preloaded library and the simulated sound card),
// drives the hardware and reads back what the hardware saw.
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
#include "mpsim/state.h"

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

struct JournalEntry {
    uint64_t time_ns = 0;
    pid_t pid = 0;
    std::string op;              // "open", "write", "read", "push", "rename", "unlink", "fsync",
                                 // "sync" (path "/")
    std::string path;            // device path as the program named it
    std::string arg;             // open: mode ("r", "w", "rw", with "c" when creating); push: frame
                                 // index; rename: the new path
    std::vector<uint8_t> bytes;  // write, read: the exact bytes
    std::string result;          // "ok", a byte count, or an errno name ("EBUSY")
    bool ok() const;             // result is "ok" or a count
};

// One line of the device journal (format in mpsim/state.h); nullopt for a
// line that is not one.
std::optional<JournalEntry> parse_journal_line(const std::string &line);

struct Recording {
    unsigned rate = 0;
    unsigned channels = 0;
    std::vector<int16_t> samples;  // interleaved
    size_t frames() const { return channels ? samples.size() / channels : 0; }
};

struct Options {
    int fb_width = 240;
    int fb_height = 240;
    bool fb_present = true;
    int te_clock = BOARD_TE_CLOCK;
    bool keep_root = false;  // keep the root folder after the Device is destroyed
    std::string root;        // use this folder (made empty) instead of a fresh temporary one
};

// What one device can do and another cannot (the simulated device's faults
// need a hook in the program's calls; a real kernel has none): the message
// says why.
class Unsupported : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ExitStatus {
    bool exited = false;  // normal exit (else killed by a signal)
    int code = -1;        // exit status 0..255, or the signal number
};

// What every device offers built on its own primitives: the operator's
// keys and wheel and the detect lines on set_gpio_level and set_volume_raw,
// the waits on wait_until (which polls the way that device learns of news),
// pushes(), frame_count(), frame() and journal(op, path).
template <class Dev>
class DeviceCommon {
  public:
    void set_key(Key k, bool pressed) { self().set_gpio_level(key_gpio(k), pressed ? 0 : 1); }
    void release_all_keys() {
        for (const auto &key : board_keys)
            self().set_gpio_level(key.gpio, 1);
    }
    void set_volume_percent(int percent) { self().set_volume_raw(volume_raw_for_percent(percent)); }
    void set_headphone(int level) { self().set_gpio_level(BOARD_GPIO_HEADPHONE_DETECT, level); }
    void set_usb(int level) { self().set_gpio_level(BOARD_GPIO_USB_DETECT, level); }

    bool wait_pushes(int n, Ms timeout) {
        return self().wait_until([&] { return self().pushes() >= n; }, timeout);
    }
    // True as soon as a frame kept so far (each looked at once, in push
    // order) satisfies pred.
    bool wait_frame(const std::function<bool(const Frame &)> &pred, Ms timeout) {
        int next = 0;
        return self().wait_until(
            [&] {
                for (int n = self().frame_count(); next < n; ++next)
                    if (pred(self().frame(next)))
                        return true;
                return false;
            },
            timeout);
    }
    bool wait_journal(const std::string &op, const std::string &path, Ms timeout) {
        return self().wait_until([&] { return !self().journal(op, path).empty(); }, timeout);
    }

  private:
    Dev &self() { return static_cast<Dev &>(*this); }
};

class Device : public DeviceCommon<Device> {
  public:
    explicit Device(Options opt = {});
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &root() const;
    std::string path(const std::string &device_path) const;  // "/sys/..." -> <root>/sys/...

    // ---- hardware the operator and the board set --------------------------
    // (keys, the wheel in percent and the detect lines: DeviceCommon)
    void set_volume_raw(int raw);
    void set_battery_raw(int raw);
    void set_gpio_level(unsigned gpio, int level);
    int gpio_level(unsigned gpio) const;  // e.g. GPIO 128 driven by the program
    bool gpio_exported(unsigned gpio) const;
    bool keys_bound() const;
    void remove_gpio_line(unsigned gpio);  // the board lacks it: its export is refused
    // Holds the wall clock of programs on the device at the current second
    // (time() stands still) or lets it run again.
    void hold_wall_clock(bool held);
    void step_wall_clock(int seconds, int after_calls);  // time() offset from call after_calls+1
    void set_te_clock(int clock);
    void stop_te(bool stopped);
    int porch() const;  // last value written to lcdporch (atoi of its 3 bytes)

    // ---- files and faults --------------------------------------------------
    void write_file(const std::string &device_path, const std::string &bytes);
    std::optional<std::string> read_file(const std::string &device_path) const;
    void remove_file(const std::string &device_path);  // any device file missing
    void make_unwritable(const std::string &device_path);
    void remove_framebuffer();
    void refuse_writes(const std::string &device_path, int err, int count = -1);
    void fail_sound_open(int err);  // 0 to clear
    void request_underruns(int n);
    void fail_sound_writes(int err, int after_periods);  // err 0 clears
    void suspend_sound(int eagain_answers);              // next write -ESTRPIPE
    // op "open", "write", "rename", "fsync" or "unlink"; sig 0 or nth 0 disarms
    void trap(const std::string &op, const std::string &path_prefix, int sig, int nth);
    // Writes to device paths starting with path_prefix take `us` longer (0: off).
    void slow_writes(const std::string &path_prefix, int us);
    // Reads of GPIO `gpio`'s value file become journal lines ("read").
    void journal_reads(unsigned gpio);

    // ---- running a program -------------------------------------------------
    // Starts argv[0] (a path) with the simulated device. extra_env entries are
    // "NAME=value". stdout and stderr go to files under the root.
    void start(const std::vector<std::string> &argv,
               const std::vector<std::string> &extra_env = {});
    // Starts the product (mp_test) with an application directory and finish script.
    void start_mp_test(const std::string &app_dir, const std::string &finish_script);
    bool running();
    pid_t pid() const;
    std::optional<ExitStatus> wait_exit(Ms timeout);
    void send_signal(int sig);  // to the program alone, as init would
    void kill_program();        // SIGKILL and reap
    std::string stdout_text() const;
    std::string stderr_text() const;

    // ---- what the hardware saw ---------------------------------------------
    int pushes() const;
    int frame_count() const;
    Frame frame(int index) const;
    std::vector<Frame> frames() const;
    std::optional<Frame> current_frame() const;  // the last distinct frame pushed
    std::vector<JournalEntry> journal() const;
    std::vector<JournalEntry> journal(const std::string &op, const std::string &path) const;
    int recording_count() const;
    Recording recording(int index) const;
    int underruns() const;
    State &state();

    // ---- waiting -----------------------------------------------------------
    // Polls cond every few milliseconds until it holds (true) or the time-out
    // passes (false).
    bool wait_until(const std::function<bool()> &cond, Ms timeout);

  private:
    struct Impl;
    Impl *impl_;
};

// Built artefacts, from the build (overridable with MPSIM_PRELOAD, MPSIM_ALSA_PLUGIN,
// MPSIM_MP_TEST, MPSIM_EMULATOR in the environment).
std::string preload_library();  // may contain a literal "$LIB"
std::string alsa_plugin();
std::string mp_test_binary();
std::vector<std::string> emulator();  // e.g. {"qemu-arm", "-cpu", "arm926"} in a cross build

// Pixel helpers.
constexpr uint32_t rgb(uint8_t r, uint8_t g, uint8_t b) {
    return 0xFF000000u | (uint32_t{r} << 16) | (uint32_t{g} << 8) | b;
}
// PNG files of frames (8-bit RGBA). Available when built with libpng.
bool png_supported();
bool write_png(const std::string &file, const Frame &f);
std::optional<Frame> read_png(const std::string &file);
// WAV files of recordings (16-bit PCM).
bool write_wav(const std::string &file, const Recording &r);

}  // namespace mpsim

// C++ harness around the simulated device: makes a fresh device root, starts
// a program on it (with the preloaded library and the simulated sound card),
// drives the hardware and reads back what the hardware saw.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mpsim/board.h"
#include "mpsim/state.h"
#include "mpsim/target.h"

namespace mpsim {

struct Options {
    int fb_width = BOARD_FB_WIDTH;
    int fb_height = BOARD_FB_HEIGHT;
    bool fb_present = true;
    int te_clock = BOARD_TE_CLOCK;
    bool keep_root = false;  // keep the root folder after the Device is destroyed
    std::string root;        // use this folder (made empty) instead of a fresh temporary one
};

// The simulated device: what a device offers (mpsim/target.h) and every
// fault the preloaded library can put in the program's calls.
class Device final : public Target {
  public:
    explicit Device(Options opt = {});
    ~Device() override;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    std::string name() const override { return "the simulated device"; }
    std::string path(const std::string &device_path) const;  // "/sys/..." -> <root>/sys/...

    // Every action, the faults of the preloaded library's hooks too.
    void act(const Action &a) override;

    void write_file(const std::string &device_path, const std::string &bytes) override;
    std::optional<std::string> read_file(const std::string &device_path) const override;
    void remove_file(const std::string &device_path) override;  // any device file missing
    bool exists(const std::string &device_path) const override;
    std::optional<unsigned> file_mode(const std::string &device_path) const override;

    // Starts argv[0] (a path) with the simulated device, through the
    // emulator in a cross build. stdout and stderr go to files under the root.
    void start(const std::vector<std::string> &argv,
               const std::vector<std::string> &extra_env = {}) override;
    void start_mp_test(const std::string &app_dir, const std::string &finish_script) override;
    bool running() override;
    pid_t pid() const override;
    std::optional<ExitStatus> wait_exit(Ms timeout) override;
    void send_signal(int sig);     // to the program alone, as init would
    void kill_program() override;  // SIGKILL to its process group, and reap
    std::optional<double> cpu_seconds() const override;
    std::string stdout_text() const override;
    std::string stderr_text() const override;

    int gpio_level(unsigned gpio) const override;
    bool gpio_exported(unsigned gpio) const override;
    bool keys_bound() const override;
    int porch() const override;  // last value written to lcdporch (atoi of its 3 bytes)
    int pushes() const override;
    int frame_count() const override;
    Frame frame(int index) const override;
    int recording_count() const override;
    Recording recording(int index) const override;
    size_t recording_frames(int index, unsigned &channels) const override;
    int underruns() const override;
    void read_journal(std::vector<JournalEntry> &into) const override;
    std::string journal_text() const override;
    State &state();

  protected:
    Ms poll_step() const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Built artefacts, from the build (overridable with MPSIM_PRELOAD, MPSIM_ALSA_PLUGIN,
// MPSIM_MP_TEST, MPSIM_EMULATOR in the environment).
std::string preload_library();  // may contain a literal "$LIB"
std::string alsa_plugin();
std::string mp_test_binary();
std::vector<std::string> emulator();  // e.g. {"qemu-arm", "-cpu", "arm926"} in a cross build

// PNG files of frames (8-bit RGBA). Available when built with libpng.
bool png_supported();
bool write_png(const std::string &file, const Frame &f);
std::optional<Frame> read_png(const std::string &file);
// WAV files of recordings (16-bit PCM).
bool write_wav(const std::string &file, const Recording &r);

// The whole file, or none when it cannot be opened.
std::optional<std::string> file_text(const std::filesystem::path &file);
// A word in single quotes for the shell (and /etc/default/mp_test's values).
std::string shell_quoted(const std::string &s);
std::string signal_label(int sig);               // 15 -> "SIGTERM"
std::string describe(const ExitStatus &status);  // "exit status 1", "killed by signal ..."

}  // namespace mpsim

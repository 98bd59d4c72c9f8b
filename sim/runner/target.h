// The device a scenario runs on, as mp-sim sees it: the simulated device
// (the program with the preloaded library, sim_target.cpp) or Debian's
// kernel in a virtual machine with the board's module (vm_target.cpp). Both
// take the same operator and board actions and give back the same frames,
// journal, recordings and output; what one of them cannot do throws
// Unsupported, and mp-sim says so instead of passing the line.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "mpsim/board.h"
#include "mpsim/harness.h"
#include "scenario.h"

namespace mpsim {

struct RunConfig;

// The storage a scenario sets before power-on: the porch file written or
// removed, the system's version file. Dev is the simulated device or the
// virtual machine (both write and remove files at device paths).
template <class Dev>
void place_stored_files(Dev &dev, const ScenarioSetup &su) {
    switch (su.porch_file) {
        case ScenarioSetup::PorchFile::Write:
            dev.write_file(BOARD_PORCH_FILE, su.porch_bytes);
            break;
        case ScenarioSetup::PorchFile::Remove:
            dev.remove_file(BOARD_PORCH_FILE);
            break;
        case ScenarioSetup::PorchFile::Untouched:
            break;
    }
    if (su.etc_version)
        dev.write_file(BOARD_SYSTEM_VERSION, *su.etc_version);
}

class Target {
  public:
    virtual ~Target() = default;
    // "the simulated device", "the virtual machine": for messages.
    virtual std::string name() const = 0;

    // ---- before the program starts -----------------------------------------
    // Storage, versions and the application directory as the scenario sets them.
    virtual void prepare(const ScenarioSetup &setup) = 0;
    // Powers on or starts the program; returns its command line for the log.
    virtual std::string start(const ScenarioSetup &setup, const RunConfig &cfg) = 0;

    // ---- the operator and the board ----------------------------------------
    virtual void set_key(Key k, bool pressed) = 0;
    virtual void set_volume_percent(int percent) = 0;
    virtual void set_volume_raw(int raw) = 0;
    virtual void set_battery_raw(int raw) = 0;
    virtual void set_headphone(int level) = 0;
    virtual void set_usb(int level) = 0;
    virtual void set_te_clock(int clock) = 0;
    virtual void stop_te(bool stopped) = 0;
    virtual void send_signal(int sig) = 0;

    // ---- faults (the simulated device's; elsewhere Unsupported) -------------
    virtual void remove_file(const std::string &path);
    virtual void make_unwritable(const std::string &path);
    virtual void refuse_writes(const std::string &path, int err, int count);
    virtual void remove_gpio_line(unsigned gpio);
    virtual void fail_sound_open(int err);
    virtual void fail_sound_writes(int err, int after_periods);
    virtual void suspend_sound(int eagain_answers);
    virtual void request_underruns(int n);
    virtual void hold_wall_clock(bool held);
    virtual void step_wall_clock(int seconds, int after_calls);
    virtual void trap(const std::string &op, const std::string &path, int sig, int nth);
    virtual void slow_writes(const std::string &path, int us);
    // Reads of GPIO N's value file become journal lines ("read").
    virtual void journal_reads(unsigned gpio);

    // ---- what the hardware holds and saw -------------------------------------
    virtual int gpio_level(unsigned gpio) = 0;
    virtual bool gpio_exported(unsigned gpio) = 0;
    virtual bool keys_bound() = 0;
    virtual int porch() = 0;
    virtual int pushes() = 0;
    virtual int frame_count() = 0;
    virtual Frame frame(int index) = 0;
    virtual int recording_count() = 0;
    virtual Recording recording(int index) = 0;
    // Frames recording `index` holds so far, and its channels (cheap: no
    // samples read); 0 while it has no header.
    virtual size_t recording_frames(int index, unsigned &channels) = 0;
    virtual int underruns() = 0;
    // Appends the journal lines written since the last call.
    virtual void read_journal(std::vector<JournalEntry> &into) = 0;
    // The journal as its device writes it, for the output folder.
    virtual std::string journal_text() = 0;
    // The index in `journal` of the line that shows the finish script
    // starting, if it did.
    virtual std::optional<size_t> finish_started(const std::vector<JournalEntry> &journal) = 0;
    // A device path ("/mnt/UDISK/.lcdporch") or a file of the device root
    // ("{root}/finish.txt"); none when missing.
    virtual std::optional<std::string> read_file(const std::string &path) = 0;
    virtual bool exists(const std::string &path) = 0;
    // Permission bits of a file (0644); none when missing.
    virtual std::optional<unsigned> file_mode(const std::string &path) = 0;

    // ---- the program ---------------------------------------------------------
    virtual bool running() = 0;
    virtual std::optional<ExitStatus> wait_exit(Ms timeout) = 0;
    virtual void kill_program() = 0;
    // CPU time of the program, all its threads, in seconds.
    virtual std::optional<double> cpu_seconds() = 0;
    virtual std::string stdout_text() = 0;
    virtual std::string stderr_text() = 0;
    // What the finish script wrote (the default one writes a line), if any.
    virtual std::optional<std::string> finish_output() = 0;
    // A line for the summary: where the device lived.
    virtual std::string whereabouts() = 0;
};

// A target that drives a device object (Device, VmDevice): the operator's and
// the board's actions, what the hardware holds and the program's state are
// handed to it as they are; the target adds what differs.
template <class Dev>
class DeviceTarget : public Target {
  public:
    void set_key(Key k, bool pressed) override { dev_.set_key(k, pressed); }
    void set_volume_percent(int percent) override { dev_.set_volume_percent(percent); }
    void set_volume_raw(int raw) override { dev_.set_volume_raw(raw); }
    void set_battery_raw(int raw) override { dev_.set_battery_raw(raw); }
    void set_headphone(int level) override { dev_.set_headphone(level); }
    void set_usb(int level) override { dev_.set_usb(level); }
    void set_te_clock(int clock) override { dev_.set_te_clock(clock); }
    void stop_te(bool stopped) override { dev_.stop_te(stopped); }
    void send_signal(int sig) override { dev_.send_signal(sig); }
    void hold_wall_clock(bool held) override { dev_.hold_wall_clock(held); }
    int gpio_level(unsigned gpio) override { return dev_.gpio_level(gpio); }
    bool gpio_exported(unsigned gpio) override { return dev_.gpio_exported(gpio); }
    bool keys_bound() override { return dev_.keys_bound(); }
    int porch() override { return dev_.porch(); }
    int pushes() override { return dev_.pushes(); }
    int frame_count() override { return dev_.frame_count(); }
    Frame frame(int index) override { return dev_.frame(index); }
    int recording_count() override { return dev_.recording_count(); }
    int underruns() override { return dev_.underruns(); }
    bool running() override { return dev_.running(); }
    std::optional<ExitStatus> wait_exit(Ms timeout) override { return dev_.wait_exit(timeout); }
    void kill_program() override { dev_.kill_program(); }
    std::string stdout_text() override { return dev_.stdout_text(); }
    std::string stderr_text() override { return dev_.stderr_text(); }

  protected:
    template <class... A>
    explicit DeviceTarget(A &&...args) : dev_(std::forward<A>(args)...) {}
    Dev dev_;
};

// The simulated device, made for this scenario.
std::unique_ptr<Target> make_sim_target(const ScenarioSetup &setup, const RunConfig &cfg);
// The virtual machine (a build with sim/vm).
std::unique_ptr<Target> make_vm_target(const ScenarioSetup &setup, const RunConfig &cfg);

}  // namespace mpsim

// The handheld as a virtual machine: Debian's kernel under QEMU with the
// board module, BusyBox init and the firmware's start script, driven like the
// simulated device (mpsim::Device) wherever that has a meaning on a real
// kernel. Power-on is a boot: the start script runs the program with the
// image's arguments; a power cut is a SIGKILL to QEMU. The storage
// (/mnt/UDISK, a virtual disk) is kept between the boots of one VmDevice.
//
// What the board holds at power-on (keys, volume wheel, battery, detect
// lines, panel clock) goes to the board module's parameters; while the
// machine runs, changes go to the bench agent inside it. Frames, journal,
// output and exit status come back from the agent (see vm_protocol.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace mpsim {

struct VmOptions {
    std::string
        image;  // folder with vmlinuz, rootfs.cpio and machine; default MPSIM_VM_IMAGE or build/vm
    std::string
        folder;  // the device's own folder (disk, console log); default a fresh temporary one
    bool keep_folder = false;
    int te_clock = BOARD_TE_CLOCK;
    int disk_mb = 16;
    Ms boot_timeout{60000};  // power-on until the bench agent answers
    // The machine's clock counts the instructions it runs (QEMU's icount,
    // 4 ns each) and runs in real time while the machine idles: a host busy
    // with other work slows the machine down instead of making it miss the
    // panel's TE edges. Off (MPSIM_VM_ICOUNT=0): the machine's clock is the
    // host's, and a loaded host loses edges.
    bool icount = true;
    // The real-time clock at power-on, UTC ("2038-01-19T03:14:06"); empty:
    // the host's time.
    std::string rtc_base;
};

class VmDevice : public DeviceCommon<VmDevice> {
  public:
    explicit VmDevice(VmOptions opt = {});
    ~VmDevice();
    VmDevice(const VmDevice &) = delete;
    VmDevice &operator=(const VmDevice &) = delete;

    const std::string &root() const;  // the device's folder on the host

    // ---- hardware the operator and the board set --------------------------
    // (keys, the wheel in percent and the detect lines: DeviceCommon)
    void set_volume_raw(int raw);
    void set_battery_raw(int raw);
    void set_gpio_level(unsigned gpio, int level);
    int gpio_level(unsigned gpio) const;
    bool gpio_exported(unsigned gpio) const;
    bool keys_bound() const;
    void remove_gpio_line(unsigned gpio);  // Unsupported
    void hold_wall_clock(bool held);       // the bench agent sets the clock back to its second
    void step_wall_clock(int seconds, int after_calls);  // Unsupported
    void set_te_clock(int clock);
    void stop_te(bool stopped);
    int porch() const;

    // ---- files and faults --------------------------------------------------
    // Files of the image (/etc/version, the application directory) and of
    // the storage (/mnt/UDISK/...). Written while the machine is off, they
    // are there at the next power-on (the image's files at every one);
    // written while it runs, they are written there and then (and synced).
    void write_file(const std::string &device_path, const std::string &bytes);
    std::optional<std::string> read_file(const std::string &device_path) const;
    void remove_file(const std::string &device_path);
    void make_unwritable(const std::string &device_path);                         // Unsupported
    void remove_framebuffer();                                                    // Unsupported
    void refuse_writes(const std::string &device_path, int err, int count = -1);  // Unsupported
    void fail_sound_open(int err);                                                // Unsupported
    void request_underruns(int n);                                                // Unsupported
    void fail_sound_writes(int err, int after_periods);                           // Unsupported
    void suspend_sound(int eagain_answers);                                       // Unsupported
    void trap(const std::string &op, const std::string &path_prefix, int sig,
              int nth);                                        // Unsupported
    void slow_writes(const std::string &path_prefix, int us);  // Unsupported

    // ---- running a program -------------------------------------------------
    // Unsupported: the virtual device runs what its start script starts.
    void start(const std::vector<std::string> &argv,
               const std::vector<std::string> &extra_env = {});
    // Power-on with the program's arguments for this boot (the image's
    // /etc/default/mp_test): the machine boots and S99 starts the program.
    void start_mp_test(const std::string &app_dir, const std::string &finish_script);
    bool running();
    pid_t pid() const;  // the program's pid in the machine (0 until it started)
    std::optional<ExitStatus> wait_exit(Ms timeout);
    void send_signal(int sig);  // to the program alone, as init would
    void kill_program();        // SIGKILL to the program and what it started
    void power_cut();           // SIGKILL to QEMU: the machine stops where it is
    std::string stdout_text() const;
    std::string stderr_text() const;
    std::string system_log() const;  // /var/log/messages of the current or last boot
    std::string kernel_release() const;
    // From power-on to the program's start (its execve), once it started.
    std::optional<Ms> boot_time() const;
    // The machine's wall clock (CLOCK_REALTIME ns) at a moment given as this
    // machine's CLOCK_MONOTONIC ns, as times of frames and journal lines are.
    int64_t machine_wall_clock(int64_t host_ns) const;

    // ---- what the hardware saw ---------------------------------------------
    int pushes() const;
    int frame_count() const;
    Frame frame(int index) const;
    std::vector<Frame> frames() const;
    std::optional<Frame> current_frame() const;
    // Journal lines as the simulated device writes them, from the program's
    // real system calls (strace in the machine). Besides open, write, push,
    // rename, unlink and fsync there are "exec" lines: a program started by
    // the factory program or its children, with argv (NUL-separated) in
    // `bytes`.
    std::vector<JournalEntry> journal() const;
    std::vector<JournalEntry> journal(const std::string &op, const std::string &path) const;
    // Appends the lines after the first into.size() (a reader that keeps its copy).
    void append_journal(std::vector<JournalEntry> &into) const;
    int recording_count() const;
    Recording recording(int index) const;
    // Underruns of the loopback card: each run of its playback side after
    // the first of one opening (the card ran dry, the program prepared it).
    int underruns() const;

    // ---- waiting -----------------------------------------------------------
    bool wait_until(const std::function<bool()> &cond, Ms timeout);

  private:
    struct Impl;
    Impl *impl_;
};

// The image built by sim/vm/image/build-image (MPSIM_VM_IMAGE overrides).
std::string vm_image_folder();

}  // namespace mpsim

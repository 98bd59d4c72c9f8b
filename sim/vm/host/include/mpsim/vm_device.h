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
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mpsim/target.h"

namespace mpsim {

struct VmOptions {
    std::string
        image;  // folder with kernel, rootfs.cpio and machine; default MPSIM_VM_IMAGE or build/vm
    std::string
        folder;  // the device's own folder (disk, console log); default a fresh temporary one
    bool keep_folder = false;
    int te_clock = BOARD_TE_CLOCK;
    int disk_mb = 16;
    Ms boot_timeout{60000};  // power-on until the bench agent answers
    // The machine's clock counts the instructions it runs (QEMU's icount,
    // 1 ns each, the shift of the machine row in build-image) and runs in real time while the
    // machine idles: a host busy with other work slows the machine down instead of making it miss
    // the panel's TE edges. Off (MPSIM_VM_ICOUNT=0): the machine's clock is the host's, and a
    // loaded host loses edges.
    bool icount = true;
    // The real-time clock at power-on, UTC ("2038-01-19T03:14:06"); empty:
    // the host's time.
    std::string rtc_base;
};

class VmDevice final : public Target {
  public:
    explicit VmDevice(VmOptions opt = {});
    ~VmDevice() override;
    VmDevice(const VmDevice &) = delete;
    VmDevice &operator=(const VmDevice &) = delete;

    std::string name() const override { return "the virtual machine"; }
    std::string whereabouts() const override;

    // The keys, the detect lines, the volume wheel, the battery, the TE line
    // and the wall clock: no fault in the program's calls.
    void act(const Action &a) override;

    // Files of the image (/etc/version, the application directory) and of
    // the storage (/mnt/UDISK/...). Written while the machine is off, they
    // are there at the next power-on (the image's files at every one);
    // written while it runs, they are written there and then (and synced).
    // Files are removed only while the machine is off.
    void write_file(const std::string &device_path, const std::string &bytes) override;
    std::optional<std::string> read_file(const std::string &device_path) const override;
    void remove_file(const std::string &device_path) override;

    // Power-on with the program's arguments for this boot (the image's
    // /etc/default/mp_test): the machine boots and S99 starts the program.
    void start_mp_test(const std::string &app_dir, const std::string &finish_script) override;
    bool running() override;
    pid_t pid() const override;  // the program's pid in the machine (0 until it started)
    std::optional<ExitStatus> wait_exit(Ms timeout) override;
    void kill_program() override;
    void power_cut();  // SIGKILL to QEMU: the machine stops where it is
    std::string stdout_text() const override;
    std::string stderr_text() const override;
    std::string system_log() const;  // /var/log/messages of the current or last boot
    std::string kernel_release() const;
    // From power-on to the program's start (its execve), once it started.
    std::optional<Ms> boot_time() const;
    // The machine's wall clock (CLOCK_REALTIME ns) at a moment given as this
    // machine's CLOCK_MONOTONIC ns, as times of frames and journal lines are.
    int64_t machine_wall_clock(int64_t host_ns) const;
    // The entries of a folder of the running machine ("." and ".." aside):
    // /proc/PID/fd, the descriptors a process has open; /proc/PID/task.
    std::vector<std::string> folder_entries(const std::string &device_path) const;

    int gpio_level(unsigned gpio) const override;
    bool gpio_exported(unsigned gpio) const override;
    bool keys_bound() const override;
    int porch() const override;
    int pushes() const override;
    int frame_count() const override;
    Frame frame(int index) const override;
    int recording_count() const override;
    Recording recording(int index) const override;
    // Underruns of the loopback card: each run of its playback side after
    // the first of one opening (the card ran dry, the program prepared it).
    int underruns() const override;
    // From the program's real system calls (strace in the machine), with
    // exec lines: programs started by the factory program or its children.
    void read_journal(std::vector<JournalEntry> &into) const override;
    std::string journal_text() const override;  // the lines as the agent sent them

  protected:
    // The machine's own clock, which runs slower than the host's while the
    // host is busy.
    std::optional<double> own_seconds() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The image built by sim/vm/image/build-image (MPSIM_VM_IMAGE overrides).
std::string vm_image_folder();

}  // namespace mpsim

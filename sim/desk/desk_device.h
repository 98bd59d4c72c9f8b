// The device on the desk: one simulated device at a time, powered on and off
// by the operator, with storage that outlives every boot, and the inputs the
// operator sets (keys, volume wheel, detect lines, battery) carried from one
// device to the next.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace desk {

// How a power-on meets the entry window.
enum class Entry {
    Plain,        // no keys held by the desk: the ordinary boot
    Factory,      // RIGHT, START, B held, volume wheel at 100
    PorchAdjust,  // LEFT, START, B held, volume wheel at 0
};

struct DeskConfig {
    std::string storage;  // folder holding the device's storage (absolute)
    std::string root;     // device root to use at every power-on; empty: a fresh temporary one
    int te_clock = BOARD_TE_CLOCK;
    std::string finish = "echo normal application started";  // the normal application
    std::string sys_version;  // written to /etc/version when not empty
    std::string app_version;  // written to the application's version file when not empty
};

// Everything the window shows beside the panel; two equal snapshots draw the
// same picture.
struct Status {
    enum class Power { Off, Starting, Running, Ended } power = Power::Off;
    bool exited = false;    // how mp_test ended (Power::Ended, or the last run when
    int exit_code = -1;     // Off): its exit status, or the signal that ended it
    bool ran = false;       // mp_test ran on this device
    int frame = -1;         // index of the frame on the panel (-1: none yet)
    int duty = -1;          // backlight PWM duty (-1: channel not exported)
    bool key_down[7] = {};  // key GPIO at level 0
    int volume_percent = 0;
    int volume_raw = 0;
    int headphone = 1;  // headphone detect line level
    int usb = 1;        // USB detect line level
    int battery_raw = 0;
    int porch = 0;  // last porch the panel took
    int te_clock = 0;
    bool te_stopped = false;
    bool keys_bound = true;           // gpio-keys.7 bound to the kernel driver
    int keys_exported = 0;            // key GPIOs exported by the program
    std::vector<std::string> output;  // last lines of the program's output
    bool app_ran = false;             // the finish script started the normal application
    std::vector<std::string> app_output;
    bool operator==(const Status &) const = default;
};

class DeskDevice {
  public:
    explicit DeskDevice(DeskConfig cfg);
    ~DeskDevice();
    DeskDevice(const DeskDevice &) = delete;
    DeskDevice &operator=(const DeskDevice &) = delete;

    // A device already on is powered off first: that is a power cycle.
    void power_on(Entry entry);
    // SIGTERM to mp_test, as init sends it; returns what became of it.
    void power_off();
    // Off, and the storage as the factory leaves it.
    void factory_fresh();
    // Called often: starts a pending power-on at its moment, lets go of the
    // entry keys once the information screen is on the panel.
    void tick();

    // ---- the operator's hands ----------------------------------------------
    void set_key(mpsim::Key k, bool down);
    void release_keys();
    void step_volume(int percent);
    void set_volume(int percent);
    void toggle_headphone();
    void toggle_usb();
    void step_battery(int raw);

    Status status();
    // The frame on the panel, if the panel has received any since power-on.
    const mpsim::Frame *panel() const { return frame_ ? &*frame_ : nullptr; }
    const std::string &storage() const { return cfg_.storage; }
    const std::string &root() const { return dev_->root(); }
    const mpsim::State &state() const { return dev_->state(); }

  private:
    void make_device();
    void link_storage();
    void apply_inputs();
    void start_program();

    DeskConfig cfg_;
    std::unique_ptr<mpsim::Device> dev_;  // the device on the desk, on or off
    Status::Power power_ = Status::Power::Off;
    std::optional<mpsim::ExitStatus> ended_;
    bool ran_ = false;
    std::optional<std::chrono::system_clock::time_point> start_at_;  // pending power-on
    bool entry_keys_[7] = {};  // held by the desk for the entry window
    bool hand_keys_[7] = {};   // held by the operator
    int volume_percent_ = 50;
    int headphone_ = 1;
    int usb_ = 1;
    int battery_raw_ = 0;
    std::optional<mpsim::Frame> frame_;
    int frame_index_ = -1;
};

// Storage layout, mirroring the device paths it stands for.
void make_storage(const std::string &storage, const DeskConfig &cfg);

}  // namespace desk

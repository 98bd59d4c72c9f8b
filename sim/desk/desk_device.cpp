// The device's life on the desk: power-on with or without an entry
// combination, power-off as init does it, storage that survives both.
#include "desk_device.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "mpsim/board.h"

namespace desk {

namespace fs = std::filesystem;
using mpsim::Key;
using namespace std::chrono_literals;

namespace {

constexpr size_t kOutputLines = 8;
constexpr size_t kAppLines = 4;

// The folders of the storage that the device sees at these paths.
constexpr const char *kStoredDirs[] = {"mnt/UDISK", "app"};
constexpr const char *kStoredFiles[] = {"etc/version"};

std::vector<std::string> last_lines(const std::string &text, size_t n) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    if (lines.size() > n)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(n));
    return lines;
}

void put(const fs::path &file, const std::string &text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace

void make_storage(const std::string &storage, const DeskConfig &cfg) {
    for (const char *d : kStoredDirs)
        fs::create_directories(fs::path(storage) / d);
    fs::create_directories(fs::path(storage) / "etc");
    if (!cfg.sys_version.empty())
        put(fs::path(storage) / "etc/version", cfg.sys_version);
    if (!cfg.app_version.empty())
        put(fs::path(storage) / "app/version", cfg.app_version);
}

DeskDevice::DeskDevice(DeskConfig cfg) : cfg_(std::move(cfg)) {
    make_storage(cfg_.storage, cfg_);
    make_device();
    // The desk starts with the board as a fresh device has it.
    mpsim::State &s = dev_->state();
    battery_raw_ = s.adc_bat.load();
    headphone_ = s.gpio_level[BOARD_GPIO_HEADPHONE_DETECT].load();
    usb_ = s.gpio_level[1].load();
    apply_inputs();
}

DeskDevice::~DeskDevice() {
    power_off();
}

// A fresh device for every boot, as a power cycle resets the kernel's state
// (exports, the key driver's binding, the panel's porch); only the storage is
// carried over.
void DeskDevice::make_device() {
    frame_.reset();
    frame_index_ = -1;
    ran_ = false;
    ended_.reset();
    dev_.reset();
    mpsim::Options o;
    o.te_clock = cfg_.te_clock;
    if (!cfg_.root.empty()) {
        o.root = cfg_.root;
        o.keep_root = true;
    }
    dev_ = std::make_unique<mpsim::Device>(o);
    link_storage();
    const std::string root = dev_->root();
    put(fs::path(root) / "finish",
        "#!/bin/sh\n"
        "# The normal application on the desk; its output is shown in the window.\n"
        "exec >" +
            mpsim::shell_quoted(root + "/finish.txt") + " 2>&1\n" + cfg_.finish + "\n");
    fs::permissions(fs::path(root) / "finish", static_cast<fs::perms>(0755));
}

// The storage is linked in, not copied: what the program writes there is kept
// at once, whatever becomes of the desk afterwards.
void DeskDevice::link_storage() {
    const fs::path root = dev_->root();
    const fs::path storage = cfg_.storage;
    for (const char *d : kStoredDirs) {
        fs::remove_all(root / d);
        fs::create_directories((root / d).parent_path());
        fs::create_directory_symlink(storage / d, root / d);
    }
    for (const char *f : kStoredFiles) {
        fs::remove(root / f);
        fs::create_directories((root / f).parent_path());
        fs::create_symlink(storage / f, root / f);
    }
}

void DeskDevice::apply_inputs() {
    for (int k = 0; k < 7; ++k)
        dev_->set_key(static_cast<Key>(k), hand_keys_[k] || entry_keys_[k]);
    dev_->set_volume_percent(volume_percent_);
    dev_->set_headphone(headphone_);
    dev_->set_usb(usb_);
    dev_->set_battery_raw(battery_raw_);
}

void DeskDevice::power_on(Entry entry) {
    power_off();
    make_device();
    for (bool &k : entry_keys_)
        k = false;
    if (entry == Entry::Factory) {
        volume_percent_ = 100;
        for (Key k : {Key::Right, Key::Start, Key::B})
            entry_keys_[static_cast<int>(k)] = true;
    } else if (entry == Entry::PorchAdjust) {
        volume_percent_ = 0;
        for (Key k : {Key::Left, Key::Start, Key::B})
            entry_keys_[static_cast<int>(k)] = true;
    }
    apply_inputs();
    static const char *const names[] = {"plainly",
                                        "holding the factory entry (RIGHT START B, volume 100)",
                                        "holding the porch-adjust entry (LEFT START B, volume 0)"};
    std::printf("mp-desk: power on %s\n", names[static_cast<int>(entry)]);
    std::fflush(stdout);

    // The entry window lasts until the wall-clock second changes. With keys
    // held from power-on the boot is timed to just after a second begins, so
    // the program sees a whole second of it; the loop waits for that moment
    // instead of the harness sleeping through it.
    bool held = false;
    for (int k = 0; k < 7; ++k)
        held = held || hand_keys_[k] || entry_keys_[k];
    const auto now = std::chrono::system_clock::now();
    const auto second = std::chrono::ceil<std::chrono::seconds>(now);
    power_ = Status::Power::Starting;
    if (!held || now - std::chrono::floor<std::chrono::seconds>(now) < 15ms)
        start_program();
    else
        start_at_ = second + 2ms;
}

void DeskDevice::start_program() {
    start_at_.reset();
    const std::string root = dev_->root();
    try {
        dev_->start_mp_test(root + "/app", root + "/finish");
        power_ = Status::Power::Running;
        ran_ = true;
    } catch (const std::exception &e) {
        std::printf("mp-desk: mp_test does not start: %s\n", e.what());
        power_ = Status::Power::Off;
    }
}

void DeskDevice::tick() {
    if (start_at_) {
        const auto left = *start_at_ - std::chrono::system_clock::now();
        if (left <= 20ms) {
            if (left > 0ms)
                std::this_thread::sleep_for(left);
            start_program();
        }
        return;
    }
    if (power_ != Status::Power::Running)
        return;
    bool entry_held = false;
    for (bool k : entry_keys_)
        entry_held = entry_held || k;
    const bool running = dev_->running();
    if (entry_held && (dev_->pushes() > 0 || !running)) {
        for (bool &k : entry_keys_)
            k = false;
        apply_inputs();
    }
    if (!running) {
        ended_ = dev_->wait_exit(0ms);
        power_ = Status::Power::Ended;
    }
}

void DeskDevice::power_off() {
    start_at_.reset();
    for (bool &k : entry_keys_)
        k = false;
    if (power_ == Status::Power::Off)
        return;
    const bool was_running = dev_->running();
    if (was_running) {
        dev_->send_signal(SIGTERM);
        ended_ = dev_->wait_exit(10s);
    } else if (ran_) {
        ended_ = dev_->wait_exit(0ms);
    }
    // Whatever the normal application started goes with the power.
    dev_->kill_program();
    if (ran_ && !ended_)
        ended_ = dev_->wait_exit(0ms);
    power_ = Status::Power::Off;
    apply_inputs();
    if (was_running || ran_) {
        std::printf("mp-desk: power off: mp_test %s (%s), keys %s\n",
                    was_running ? "stopped" : "had ended",
                    ended_ ? describe(*ended_).c_str() : "no status",
                    dev_->keys_bound() ? "with the kernel driver" : "still held by the program");
    } else {
        std::printf("mp-desk: power off\n");
    }
    std::fflush(stdout);
}

void DeskDevice::factory_fresh() {
    power_off();
    fs::remove_all(cfg_.storage);
    make_storage(cfg_.storage, cfg_);
    std::printf("mp-desk: factory-fresh storage in %s\n", cfg_.storage.c_str());
    std::fflush(stdout);
}

void DeskDevice::set_key(Key k, bool down) {
    hand_keys_[static_cast<int>(k)] = down;
    apply_inputs();
}

void DeskDevice::release_keys() {
    for (bool &k : hand_keys_)
        k = false;
    apply_inputs();
}

void DeskDevice::set_volume(int percent) {
    volume_percent_ = std::clamp(percent, 0, 100);
    dev_->set_volume_percent(volume_percent_);
}

void DeskDevice::step_volume(int percent) {
    set_volume(volume_percent_ + percent);
}

void DeskDevice::toggle_headphone() {
    headphone_ ^= 1;
    dev_->set_headphone(headphone_);
}

void DeskDevice::toggle_usb() {
    usb_ ^= 1;
    dev_->set_usb(usb_);
}

void DeskDevice::step_battery(int raw) {
    battery_raw_ = std::clamp(battery_raw_ + raw, 0, 4095);
    dev_->set_battery_raw(battery_raw_);
}

Status DeskDevice::status() {
    Status s;
    mpsim::Device &d = *dev_;
    mpsim::State &st = d.state();
    s.power = power_;
    s.ran = ran_;
    if (ended_) {
        s.exited = ended_->exited;
        s.exit_code = ended_->code;
    }
    for (int k = 0; k < 7; ++k) {
        s.key_down[k] = d.gpio_level(mpsim::key_gpio(static_cast<Key>(k))) == 0;
        if (d.gpio_exported(mpsim::key_gpio(static_cast<Key>(k))))
            ++s.keys_exported;
    }
    s.volume_percent = volume_percent_;
    s.volume_raw = st.adc_vol.load();
    s.headphone = d.gpio_level(BOARD_GPIO_HEADPHONE_DETECT);
    s.usb = d.gpio_level(BOARD_GPIO_USB_DETECT);
    s.battery_raw = st.adc_bat.load();
    s.porch = d.porch();
    s.te_clock = st.te_clock.load();
    s.te_stopped = st.te_stopped.load() != 0;
    s.keys_bound = d.keys_bound();
    if (ran_) {
        s.output = last_lines(d.stdout_text() + d.stderr_text(), kOutputLines);
        if (auto app = d.read_file("/finish.txt")) {
            s.app_ran = true;
            s.app_output = last_lines(*app, kAppLines);
        }
    }
    if (power_ == Status::Power::Off)
        return s;  // panel and backlight without power
    if (auto duty = d.read_file(BOARD_PWM_DUTY))
        s.duty = std::clamp(std::atoi(duty->c_str()), 0, int{BOARD_BACKLIGHT_PERIOD_NS});
    // Only what was pushed: the frames the panel took, never the framebuffer.
    const int n = d.frame_count();
    if (n - 1 != frame_index_) {
        try {
            frame_ = d.frame(n - 1);
            frame_index_ = n - 1;
        } catch (const std::exception &) {
            // Not there yet: the next look finds it.
        }
    }
    s.frame = frame_index_;
    return s;
}

}  // namespace desk

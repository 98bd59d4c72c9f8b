// The virtual machine as a scenario's target: Debian's kernel with the
// board's module, booted by BusyBox init into the firmware's start script,
// which starts the program with the arguments the scenario gives it for this
// boot. What only the simulated device can do fails the line, saying so.
#include <cstdio>

#include "mpsim/board.h"
#include "mpsim/vm_device.h"
#include "runner.h"
#include "target.h"

namespace mpsim {

namespace {

// "{root}" of a scenario (a file of the device's own) is the machine's /.
std::string guest_path(const std::string &s) {
    return substitute_root(s, "");
}

std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out.empty() ? "-" : out;
}

class VmTarget final : public Target {
  public:
    explicit VmTarget(const RunConfig &cfg) : dev_(options(cfg)), keep_(cfg.keep_root) {}

    std::string name() const override { return "the virtual machine"; }

    void prepare(const ScenarioSetup &su) override {
        if (su.fb_width || su.fb_height || !su.fb_present)
            throw Unsupported(name() + " has the board's framebuffer (240 x 240), no other");
        place_stored_files(dev_, su);
        const std::string app = guest_path(su.app_dir);
        if (su.app_version)
            dev_.write_file(app + "/version", *su.app_version);
        if (su.app_noinit)
            dev_.write_file(app + "/.noinit", "");
    }

    std::string start(const ScenarioSetup &su, const RunConfig &) override {
        // The start script gives the program exactly two arguments.
        if (su.args && su.args->size() != 2)
            throw Unsupported(name() +
                              " starts the program from its start script, with an "
                              "application directory and a finish script only");
        app_ = guest_path(su.args ? (*su.args)[0] : su.app_dir);
        finish_ = guest_path(su.args ? (*su.args)[1] : su.finish);
        dev_.start_mp_test(app_, finish_);
        return "power-on: /etc/init.d/S99mp_test starts '/usr/bin/mp_test' '" + app_ + "' '" +
               finish_ + "'";
    }

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
    Recording recording(int index) override { return dev_.recording(index); }
    size_t recording_frames(int index, unsigned &channels) override {
        const Recording r = dev_.recording(index);
        channels = r.channels;
        return r.frames();
    }
    int underruns() override { return dev_.underruns(); }

    void read_journal(std::vector<JournalEntry> &into) override {
        const auto all = dev_.journal();
        for (size_t i = into.size(); i < all.size(); ++i)
            into.push_back(all[i]);
    }

    // The simulated device's journal format, so that the output folder reads
    // the same whichever device made it.
    std::string journal_text() override {
        std::string out;
        char head[64];
        for (const auto &e : dev_.journal()) {
            std::snprintf(head, sizeof head, "%llu %d ", static_cast<unsigned long long>(e.time_ns),
                          static_cast<int>(e.pid));
            out += head + e.op + " " + e.path;
            if (e.op == "write" || e.op == "read" || e.op == "exec")
                out += " " + hex(e.bytes);
            else if (!e.arg.empty())
                out += " " + e.arg;
            out += " " + e.result + "\n";
        }
        return out;
    }

    // The shell system() starts for the finish script: sh -c SCRIPT.
    std::optional<size_t> finish_started(const std::vector<JournalEntry> &j) override {
        const std::string shell = std::string("sh") + '\0' + "-c" + '\0' + finish_;
        for (size_t i = 0; i < j.size(); ++i)
            if (j[i].op == "exec" && std::string(j[i].bytes.begin(), j[i].bytes.end()) == shell)
                return i;
        return std::nullopt;
    }

    std::optional<std::string> read_file(const std::string &path) override {
        return dev_.read_file(guest_path(path));
    }
    bool exists(const std::string &path) override { return read_file(path).has_value(); }
    std::optional<unsigned> file_mode(const std::string &) override {
        throw Unsupported(name() + " does not report a file's mode");
    }

    bool running() override { return dev_.running(); }
    std::optional<ExitStatus> wait_exit(Ms timeout) override { return dev_.wait_exit(timeout); }
    void kill_program() override { dev_.kill_program(); }
    std::optional<double> cpu_seconds() override {
        throw Unsupported(name() + " does not measure the program's processor time");
    }
    std::string stdout_text() override { return dev_.stdout_text(); }
    std::string stderr_text() override { return dev_.stderr_text(); }
    std::optional<std::string> finish_output() override { return read_file("/finish.txt"); }
    std::string whereabouts() override {
        return "virtual machine: kernel " + dev_.kernel_release() + ", folder " + dev_.root() +
               (keep_ ? " (kept)" : " (removed)");
    }

  private:
    static VmOptions options(const RunConfig &cfg) {
        VmOptions o;
        o.keep_folder = cfg.keep_root;
        return o;
    }

    VmDevice dev_;
    bool keep_;
    std::string app_, finish_;
};

}  // namespace

std::unique_ptr<Target> make_vm_target(const ScenarioSetup &, const RunConfig &cfg) {
    return std::make_unique<VmTarget>(cfg);
}

}  // namespace mpsim

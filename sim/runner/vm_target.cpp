// The virtual machine as a scenario's target: Debian's kernel with the
// board's module, booted by BusyBox init into the firmware's start script,
// which starts the program with the arguments the scenario gives it for this
// boot. What only the simulated device can do fails the line, saying so.
#include <cstdio>

#include "mpsim/board.h"
#include "mpsim/vm_device.h"
#include "mpsim/vm_protocol.h"
#include "runner.h"
#include "target.h"

namespace mpsim {

namespace {

// "{root}" of a scenario (a file of the device's own) is the machine's /.
std::string guest_path(const std::string &s) {
    return substitute_root(s, "");
}

// A journal line's bytes: hex, "-" for none.
std::string journal_bytes(const std::vector<uint8_t> &bytes) {
    return bytes.empty() ? "-"
                         : vm::hex(std::string_view(reinterpret_cast<const char *>(bytes.data()),
                                                    bytes.size()));
}

class VmTarget final : public DeviceTarget<VmDevice> {
  public:
    explicit VmTarget(const RunConfig &cfg) : DeviceTarget(options(cfg)), keep_(cfg.keep_root) {}

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

    Recording recording(int index) override { return dev_.recording(index); }
    size_t recording_frames(int index, unsigned &channels) override {
        const Recording r = dev_.recording(index);
        channels = r.channels;
        return r.frames();
    }

    void read_journal(std::vector<JournalEntry> &into) override { dev_.append_journal(into); }

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
                out += " " + journal_bytes(e.bytes);
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

    std::optional<double> cpu_seconds() override {
        throw Unsupported(name() + " does not measure the program's processor time");
    }
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

    bool keep_;
    std::string app_, finish_;
};

}  // namespace

std::unique_ptr<Target> make_vm_target(const ScenarioSetup &, const RunConfig &cfg) {
    return std::make_unique<VmTarget>(cfg);
}

}  // namespace mpsim

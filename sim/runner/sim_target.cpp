// The simulated device as a scenario's target: a fresh device root, the
// program started on it with the preloaded library (through the emulator in
// a cross build), and what the library and the sound card kept.
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mpsim/board.h"
#include "runner.h"
#include "target.h"

namespace fs = std::filesystem;

namespace mpsim {

namespace {

// The shell that runs the finish script opens this device path first, so
// its start is a journal line in order with the program's own.
constexpr const char *kFinishMark = "/sys/mpsim-finish-started";

bool write_text(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

Options device_options(const ScenarioSetup &su, const RunConfig &cfg) {
    Options o;
    if (su.fb_width)
        o.fb_width = *su.fb_width;
    if (su.fb_height)
        o.fb_height = *su.fb_height;
    o.fb_present = su.fb_present;
    o.keep_root = cfg.keep_root;
    return o;
}

class SimTarget final : public DeviceTarget<Device> {
  public:
    SimTarget(const ScenarioSetup &su, const RunConfig &cfg)
        : DeviceTarget(device_options(su, cfg)), cwd_(fs::current_path()), keep_(cfg.keep_root) {}
    ~SimTarget() override {
        std::error_code ec;
        fs::current_path(cwd_, ec);
    }

    std::string name() const override { return "the simulated device"; }

    void prepare(const ScenarioSetup &su) override {
        place_stored_files(dev_, su);

        // The application directory is made (with its files) only inside the
        // device root: a scenario must not litter the machine, and a
        // directory outside the root stands for one the program cannot find.
        const std::string app = app_dir(su);
        const std::string &root = dev_.root();
        const bool inside = app.compare(0, root.size() + 1, root + "/") == 0;
        if (inside) {
            std::error_code ec;
            fs::create_directories(app, ec);
            if (ec)
                throw std::runtime_error("cannot make the application directory " + app);
        } else if (su.app_version || su.app_noinit) {
            throw std::runtime_error(
                "app-version and app-noinit need an app-dir inside the device root ({root}/...), "
                "not " +
                app);
        }
        if (su.app_version && !write_text(app + "/version", *su.app_version))
            throw std::runtime_error("cannot write " + app + "/version");
        if (su.app_noinit && !write_text(app + "/.noinit", ""))
            throw std::runtime_error("cannot write " + app + "/.noinit");
    }

    std::string start(const ScenarioSetup &su, const RunConfig &cfg) override {
        const std::string &root = dev_.root();
        std::vector<std::string> argv = {cfg.program};
        if (su.args) {
            for (const auto &a : *su.args)
                argv.push_back(substitute_root(a, root));
        } else {
            argv.push_back(substitute_root(su.app_dir, root));
            argv.push_back(std::string(": > ") + kFinishMark + "; " +
                           substitute_root(su.finish, root));
        }
        std::string shown;
        for (const auto &a : argv)
            shown += (shown.empty() ? "'" : " '") + a + "'";
        // Under emulation the preloaded library goes to the emulated program
        // only: the emulator itself runs as any program of the machine.
        std::vector<std::string> exec = argv;
        std::vector<std::string> env;
        if (!cfg.emulator.empty()) {
            exec = cfg.emulator;
            exec.push_back("-E");
            exec.push_back("LD_PRELOAD=" + preload_library());
            exec.insert(exec.end(), argv.begin(), argv.end());
            env.push_back("LD_PRELOAD=");
        }
        // Relative paths given to the program (a relative app-dir) mean the
        // device root.
        if (chdir(root.c_str()) != 0) {
            throw std::runtime_error("cannot enter the device root " + root + ": " +
                                     std::strerror(errno));
        }
        dev_.start(exec, env);
        return shown;
    }

    void remove_file(const std::string &path) override { dev_.remove_file(path); }
    void make_unwritable(const std::string &path) override { dev_.make_unwritable(path); }
    void refuse_writes(const std::string &path, int err, int count) override {
        dev_.refuse_writes(path, err, count);
    }
    void remove_gpio_line(unsigned gpio) override { dev_.remove_gpio_line(gpio); }
    void fail_sound_open(int err) override { dev_.fail_sound_open(err); }
    void fail_sound_writes(int err, int after) override { dev_.fail_sound_writes(err, after); }
    void suspend_sound(int eagain_answers) override { dev_.suspend_sound(eagain_answers); }
    void request_underruns(int n) override { dev_.request_underruns(n); }
    void step_wall_clock(int seconds, int after) override { dev_.step_wall_clock(seconds, after); }
    void trap(const std::string &op, const std::string &path, int sig, int nth) override {
        dev_.trap(op, path, sig, nth);
    }
    void slow_writes(const std::string &path, int us) override { dev_.slow_writes(path, us); }
    void journal_reads(unsigned gpio) override { dev_.journal_reads(gpio); }

    // A recording of an opening that played nothing is only its header. Read
    // here, since the harness's reader copies its (absent) samples from a
    // null buffer, which the undefined-behaviour checks of the sanitizer
    // builds stop.
    Recording recording(int index) override {
        RecordingHeader h{};
        if (header(index, h) && fs::file_size(recording_file(index)) == sizeof h) {
            Recording r;
            r.rate = h.rate;
            r.channels = h.channels;
            return r;
        }
        return dev_.recording(index);
    }

    size_t recording_frames(int index, unsigned &channels) override {
        RecordingHeader h{};
        std::error_code ec;
        const auto size = fs::file_size(recording_file(index), ec);
        if (!header(index, h) || ec)
            return 0;
        channels = h.channels;
        return (size - sizeof h) / (2u * h.channels);
    }

    // The journal file, read from where the last look ended.
    void read_journal(std::vector<JournalEntry> &into) override {
        std::ifstream in(journal_file(), std::ios::binary);
        if (!in)
            return;
        in.seekg(static_cast<std::streamoff>(journal_read_));
        const std::string chunk((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        size_t pos = 0;
        for (size_t nl; (nl = chunk.find('\n', pos)) != std::string::npos; pos = nl + 1) {
            if (auto e = parse_journal_line(chunk.substr(pos, nl - pos)))
                into.push_back(std::move(*e));
        }
        journal_read_ += pos;  // a line still being written is read next time
    }

    std::string journal_text() override { return mpsim::read_file(journal_file()).value_or(""); }

    std::optional<size_t> finish_started(const std::vector<JournalEntry> &j) override {
        for (size_t i = 0; i < j.size(); ++i)
            if (j[i].op == "open" && j[i].path == kFinishMark)
                return i;
        return std::nullopt;
    }

    std::optional<std::string> read_file(const std::string &path) override {
        return mpsim::read_file(host_path(path));
    }
    bool exists(const std::string &path) override {
        std::error_code ec;
        return fs::exists(fs::symlink_status(host_path(path), ec));
    }
    std::optional<unsigned> file_mode(const std::string &path) override {
        std::error_code ec;
        const auto st = fs::status(host_path(path), ec);
        if (ec || !fs::exists(st))
            return std::nullopt;
        return static_cast<unsigned>(st.permissions()) & 07777u;
    }

    // User plus system time of the process, from /proc/PID/stat.
    std::optional<double> cpu_seconds() override {
        const auto stat = mpsim::read_file("/proc/" + std::to_string(dev_.pid()) + "/stat");
        if (!stat)
            return std::nullopt;
        const size_t paren = stat->rfind(')');
        if (paren == std::string::npos)
            return std::nullopt;
        std::istringstream in(stat->substr(paren + 1));
        std::string field;
        long long utime = 0, stime = 0;
        // Fields from the third (state) on; utime and stime are the 14th and 15th.
        for (int i = 3; i <= 15 && (in >> field); ++i) {
            if (i == 14)
                utime = std::atoll(field.c_str());
            if (i == 15)
                stime = std::atoll(field.c_str());
        }
        if (!in)
            return std::nullopt;
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    std::optional<std::string> finish_output() override {
        return mpsim::read_file(dev_.root() + "/finish.txt");
    }
    std::string whereabouts() override {
        return "device root: " + dev_.root() + (keep_ ? " (kept)" : " (removed)");
    }

  private:
    std::string journal_file() const { return dev_.root() + "/.sim/journal"; }
    fs::path recording_file(int index) const {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.pcm", index);
        return fs::path(dev_.root()) / ".sim" / "audio" / name;
    }
    bool header(int index, RecordingHeader &h) const {
        std::ifstream in(recording_file(index), std::ios::binary);
        return in.read(reinterpret_cast<char *>(&h), sizeof h) && h.magic == kRecordingMagic &&
               h.channels != 0;
    }
    // The application directory as mp-sim reaches it. The program runs in
    // the device root, so a relative directory lies inside the root.
    std::string app_dir(const ScenarioSetup &su) const {
        std::string d = substitute_root(su.app_dir, dev_.root());
        if (!d.empty() && d[0] != '/')
            d = dev_.root() + "/" + d;
        return d;
    }
    // A device path, or a "{root}/..." file, as mp-sim reaches it.
    std::string host_path(const std::string &path) const {
        if (path.rfind("{root}/", 0) == 0)
            return substitute_root(path, dev_.root());
        return dev_.path(path);
    }

    fs::path cwd_;
    bool keep_;
    uint64_t journal_read_ = 0;  // bytes of the journal file read
};

}  // namespace

std::unique_ptr<Target> make_sim_target(const ScenarioSetup &setup, const RunConfig &cfg) {
    return std::make_unique<SimTarget>(setup, cfg);
}

// What the simulated device alone can do: elsewhere a scenario line that
// needs it is reported, never passed.
#define MPSIM_UNSUPPORTED(sig, what)                                                     \
    void Target::sig {                                                                   \
        throw Unsupported(name() + " cannot " + what + " (a simulated device's fault)"); \
    }
MPSIM_UNSUPPORTED(remove_file(const std::string &), "remove a device file")
MPSIM_UNSUPPORTED(make_unwritable(const std::string &), "make a device file read-only")
MPSIM_UNSUPPORTED(refuse_writes(const std::string &, int, int), "refuse writes to a device file")
MPSIM_UNSUPPORTED(remove_gpio_line(unsigned), "remove a GPIO line")
MPSIM_UNSUPPORTED(fail_sound_open(int), "make the sound device fail to open")
MPSIM_UNSUPPORTED(fail_sound_writes(int, int), "make the sound card's writes fail")
MPSIM_UNSUPPORTED(suspend_sound(int), "suspend the sound card")
MPSIM_UNSUPPORTED(request_underruns(int), "make the sound card report underruns")
MPSIM_UNSUPPORTED(hold_wall_clock(bool), "hold the wall clock")
MPSIM_UNSUPPORTED(step_wall_clock(int, int), "step the wall clock")
MPSIM_UNSUPPORTED(trap(const std::string &, const std::string &, int, int), "trap a file operation")
MPSIM_UNSUPPORTED(slow_writes(const std::string &, int), "slow down writes")
MPSIM_UNSUPPORTED(journal_reads(unsigned), "journal the reads of a value file")
#undef MPSIM_UNSUPPORTED

}  // namespace mpsim

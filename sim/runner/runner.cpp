#include "runner.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "mpsim/harness.h"

namespace fs = std::filesystem;

namespace mpsim {

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks at the device. Reading the counters is cheap; the
// journal is read only from where the last look ended.
constexpr Ms kPoll{10};

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", s);
    return buf;
}

std::string numbered(const char *prefix, int index, const char *ext) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%04d%s", prefix, index, ext);
    return buf;
}

bool write_text(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::optional<std::string> read_text(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string describe(const ExitStatus &st) {
    if (st.exited)
        return "exit status " + std::to_string(st.code);
    return "killed by signal " + std::to_string(st.code) + " (" + strsignal(st.code) + ")";
}

// Where the waits count from: the counters when the program started or when
// the last waiting line ended. An action followed by a wait for its effect
// thus never misses an effect that came quickly.
struct Mark {
    int pushes = 0;
    int frames = 0;
    uint64_t journal_bytes = 0;
};

class Runner {
  public:
    Runner(const Scenario &sc, const RunConfig &cfg) : sc_(sc), cfg_(cfg) {}
    int run();

  private:
    Options device_options() const;
    void set_up();
    void step(const ScenarioStep &s);
    void start_program(const ScenarioStep &s);
    bool wait_for(const std::function<bool()> &cond, Ms timeout);
    std::optional<ExitStatus> wait_program(Ms timeout);
    bool journal_has(const std::string &op, const std::string &path, uint64_t &from);
    uint64_t journal_size() const;
    std::string journal_file() const { return dev_->root() + "/.sim/journal"; }
    std::string host_app_dir() const;
    void set_mark();
    void fail(const ScenarioStep &s, const std::string &why);
    void log(const std::string &line);
    std::string stamp() const;
    void finish_program();
    bool write_outputs();
    void clear_old_outputs();
    Recording recording(int index) const;

    const Scenario &sc_;
    const RunConfig &cfg_;
    std::optional<Device> dev_;
    std::ofstream steps_;
    fs::path out_;
    Mark mark_;
    bool started_ = false;
    uint64_t start_ns_ = 0;
    std::vector<std::string> argv_;
    std::optional<ExitStatus> exit_;
    bool killed_ = false;
    bool failed_ = false;
    std::string failure_;
};

std::string Runner::stamp() const {
    if (!started_)
        return "[      -  ]";
    char buf[32];
    std::snprintf(buf, sizeof buf, "[%8.3f ]",
                  static_cast<double>(monotonic_ns() - start_ns_) / 1e9);
    return buf;
}

void Runner::log(const std::string &line) {
    const std::string l = stamp() + " " + line;
    std::cout << l << std::endl;
    steps_ << l << '\n';
    steps_.flush();
}

void Runner::fail(const ScenarioStep &s, const std::string &why) {
    failed_ = true;
    failure_ = cfg_.scenario_file + ":" + std::to_string(s.line) + ": " + s.source + ": " + why;
    log("FAILED: " + why);
    std::cerr << "mp-sim: " << failure_ << std::endl;
}

Options Runner::device_options() const {
    Options o;
    const auto &su = sc_.setup;
    if (su.fb_width)
        o.fb_width = *su.fb_width;
    if (su.fb_height)
        o.fb_height = *su.fb_height;
    o.fb_present = su.fb_present;
    if (su.te_clock)
        o.te_clock = *su.te_clock;
    o.keep_root = cfg_.keep_root;
    return o;
}

// The application directory as mp-sim reaches it. The program runs in the
// device root, so a relative directory lies inside the root.
std::string Runner::host_app_dir() const {
    std::string d = substitute_root(sc_.setup.app_dir, dev_->root());
    if (!d.empty() && d[0] != '/')
        d = dev_->root() + "/" + d;
    return d;
}

void Runner::set_up() {
    const auto &su = sc_.setup;
    Device &dev = *dev_;
    switch (su.porch_file) {
        case ScenarioSetup::PorchFile::Write:
            dev.write_file("/mnt/UDISK/.lcdporch", su.porch_bytes);
            break;
        case ScenarioSetup::PorchFile::Remove:
            dev.remove_file("/mnt/UDISK/.lcdporch");
            break;
        case ScenarioSetup::PorchFile::Untouched:
            break;
    }
    if (su.etc_version)
        dev.write_file("/etc/version", *su.etc_version);

    // The application directory is made (with its files) only inside the
    // device root: a scenario must not litter the machine, and a directory
    // outside the root stands for one the program cannot find.
    const std::string app = host_app_dir();
    const std::string root = dev.root();
    const bool inside = app.compare(0, root.size() + 1, root + "/") == 0;
    if (inside) {
        std::error_code ec;
        fs::create_directories(app, ec);
        if (ec)
            throw std::runtime_error("cannot make the application directory " + app);
    } else if (su.app_version || su.app_noinit) {
        throw std::runtime_error(
            "app-version and app-noinit need an app-dir inside the device "
            "root ({root}/...), not " +
            app);
    }
    if (su.app_version && !write_text(app + "/version", *su.app_version)) {
        throw std::runtime_error("cannot write " + app + "/version");
    }
    if (su.app_noinit && !write_text(app + "/.noinit", "")) {
        throw std::runtime_error("cannot write " + app + "/.noinit");
    }
}

void Runner::set_mark() {
    mark_.pushes = dev_->pushes();
    mark_.frames = dev_->frame_count();
    mark_.journal_bytes = journal_size();
}

uint64_t Runner::journal_size() const {
    struct stat st {};
    if (stat(journal_file().c_str(), &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

// Looks for "<ns> <pid> <op> <path> ..." among the whole lines after `from`,
// and moves `from` past the lines it has read.
bool Runner::journal_has(const std::string &op, const std::string &path, uint64_t &from) {
    std::ifstream in(journal_file(), std::ios::binary);
    if (!in)
        return false;
    in.seekg(static_cast<std::streamoff>(from));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pos = 0;
    while (true) {
        const size_t nl = chunk.find('\n', pos);
        if (nl == std::string::npos)
            break;  // a line still being written
        std::istringstream fields(chunk.substr(pos, nl - pos));
        std::string ns, pid, o, p;
        fields >> ns >> pid >> o >> p;
        from += nl + 1 - pos;
        pos = nl + 1;
        if (o == op && p == path)
            return true;
    }
    return false;
}

// Polls `cond` until it holds or the time-out passes. A program that has
// ended cannot make anything more happen, so the wait stops there too.
bool Runner::wait_for(const std::function<bool()> &cond, Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (cond())
            return true;
        if (exit_ || !dev_->running())
            return cond();
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
}

std::optional<ExitStatus> Runner::wait_program(Ms timeout) {
    if (!exit_)
        exit_ = dev_->wait_exit(timeout);
    return exit_;
}

void Runner::start_program(const ScenarioStep &s) {
    const auto &su = sc_.setup;
    const std::string root = dev_->root();
    argv_ = {cfg_.program};
    if (su.args) {
        for (const auto &a : *su.args)
            argv_.push_back(substitute_root(a, root));
    } else {
        argv_.push_back(substitute_root(su.app_dir, root));
        argv_.push_back(substitute_root(su.finish, root));
    }
    std::string shown;
    for (const auto &a : argv_)
        shown += (shown.empty() ? "'" : " '") + a + "'";
    // Relative paths given to the program (a relative app-dir) mean the
    // device root.
    if (chdir(root.c_str()) != 0) {
        throw std::runtime_error("cannot enter the device root " + root + ": " +
                                 std::strerror(errno));
    }
    start_ns_ = monotonic_ns();
    started_ = true;
    dev_->start(argv_);
    set_mark();
    log("line " + std::to_string(s.line) + ": " + s.source + ": " + shown);
}

void Runner::step(const ScenarioStep &s) {
    Device &dev = *dev_;
    const std::string where = "line " + std::to_string(s.line) + ": " + s.source;
    auto keys = [&](bool down) {
        for (int k : s.keys)
            dev.set_key(static_cast<Key>(k), down);
    };
    switch (s.kind) {
        case StepKind::Start:
            start_program(s);
            return;
        case StepKind::Hold:
            keys(true);
            break;
        case StepKind::Release:
            keys(false);
            break;
        case StepKind::ReleaseAll:
            dev.release_all_keys();
            break;
        case StepKind::Press:
            log(where);
            keys(true);
            std::this_thread::sleep_for(s.duration);
            keys(false);
            return;
        case StepKind::Volume:
            dev.set_volume_percent(static_cast<int>(s.value));
            break;
        case StepKind::VolumeRaw:
            dev.set_volume_raw(static_cast<int>(s.value));
            break;
        case StepKind::Battery:
            dev.set_battery_raw(static_cast<int>(s.value));
            break;
        case StepKind::Headphone:
            dev.set_headphone(static_cast<int>(s.value));
            break;
        case StepKind::Usb:
            dev.set_usb(static_cast<int>(s.value));
            break;
        case StepKind::TeClock:
            dev.set_te_clock(static_cast<int>(s.value));
            break;
        case StepKind::TeStop:
            dev.stop_te(true);
            break;
        case StepKind::TeStart:
            dev.stop_te(false);
            break;
        case StepKind::Underrun:
            dev.request_underruns(static_cast<int>(s.value));
            break;
        case StepKind::Remove:
            dev.remove_file(s.path);
            break;
        case StepKind::RefuseWrite:
            dev.refuse_writes(s.path, static_cast<int>(s.value), static_cast<int>(s.count));
            break;
        case StepKind::SoundFails:
            dev.fail_sound_open(static_cast<int>(s.value));
            break;
        case StepKind::Wait:
            log(where);
            std::this_thread::sleep_for(s.duration);
            set_mark();
            return;
        case StepKind::WaitPushes:
        case StepKind::WaitFrames: {
            log(where);
            const bool pushes = s.kind == StepKind::WaitPushes;
            const int goal = (pushes ? mark_.pushes : mark_.frames) + static_cast<int>(s.value);
            auto count = [&] { return pushes ? dev.pushes() : dev.frame_count(); };
            if (!wait_for([&] { return count() >= goal; }, s.duration)) {
                const int got = count() - (pushes ? mark_.pushes : mark_.frames);
                fail(s, std::to_string(got) + (pushes ? " push(es)" : " new frame(s)") + " of " +
                            std::to_string(s.value) +
                            (exit_ || !dev.running()
                                 ? " before the program ended"
                                 : " within " + seconds_text(s.duration.count() / 1e3) + " s"));
                return;
            }
            set_mark();
            return;
        }
        case StepKind::WaitJournal: {
            log(where);
            uint64_t from = mark_.journal_bytes;
            if (!wait_for([&] { return journal_has(s.op, s.path, from); }, s.duration)) {
                fail(s, "no " + s.op + " of " + s.path +
                            (exit_ || !dev.running()
                                 ? " before the program ended"
                                 : " within " + seconds_text(s.duration.count() / 1e3) + " s"));
                return;
            }
            set_mark();
            return;
        }
        case StepKind::WaitExit:
        case StepKind::ExpectExit: {
            log(where);
            const auto st = wait_program(s.duration);
            if (!st) {
                fail(s, "the program still runs after " + seconds_text(s.duration.count() / 1e3) +
                            " s");
                return;
            }
            if (s.kind == StepKind::ExpectExit && !(st->exited && st->code == s.value)) {
                fail(s,
                     "expected exit status " + std::to_string(s.value) + ", got " + describe(*st));
                return;
            }
            log("program ended: " + describe(*st));
            set_mark();
            return;
        }
    }
    log(where);
}

void Runner::finish_program() {
    if (!started_)
        return;
    if (!exit_ && dev_->running()) {
        dev_->kill_program();
        killed_ = true;
        log("the program still ran at the end of the scenario; mp-sim killed it");
    }
    if (!exit_)
        exit_ = dev_->wait_exit(Ms{5000});
}

void Runner::clear_old_outputs() {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(out_, ec)) {
        const std::string n = e.path().filename().string();
        const bool ours = (n.rfind("frame-", 0) == 0 && e.path().extension() == ".png") ||
                          (n.rfind("rec-", 0) == 0 && e.path().extension() == ".wav") ||
                          n == "frames.txt" || n == "journal.txt" || n == "stdout.txt" ||
                          n == "stderr.txt" || n == "summary.txt" || n == "steps.txt" ||
                          n == "finish.txt";
        if (ours)
            fs::remove(e.path(), ec);
    }
}

// A recording of an opening that played nothing is only its header. Read
// here, since the harness's reader copies its (absent) samples from a null
// buffer, which the undefined-behaviour checks of the sanitizer builds stop.
Recording Runner::recording(int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.pcm", index);
    const fs::path file = fs::path(dev_->root()) / ".sim" / "audio" / name;
    std::error_code ec;
    if (fs::file_size(file, ec) == sizeof(RecordingHeader) && !ec) {
        const auto bytes = read_text(file);
        RecordingHeader h{};
        if (bytes && bytes->size() == sizeof h) {
            std::memcpy(&h, bytes->data(), sizeof h);
            if (h.magic == kRecordingMagic) {
                Recording r;
                r.rate = h.rate;
                r.channels = h.channels;
                return r;
            }
        }
    }
    return dev_->recording(index);
}

bool Runner::write_outputs() {
    Device &dev = *dev_;
    bool ok = true;
    auto problem = [&](const std::string &what) {
        std::cerr << "mp-sim: " << what << std::endl;
        ok = false;
    };

    // Frames.
    const int nframes = dev.frame_count();
    const bool png = png_supported();
    std::ostringstream index;
    index << "# file  push  time since the program started  size\n";
    for (int i = 0; i < nframes; ++i) {
        const std::string name = numbered("frame-", i, ".png");
        Frame f;
        try {
            f = dev.frame(i);
        } catch (const std::exception &e) {
            problem("cannot read frame " + std::to_string(i) + ": " + e.what());
            continue;
        }
        if (png && !write_png((out_ / name).string(), f))
            problem("cannot write " + name);
        const double t =
            f.time_ns >= start_ns_ ? static_cast<double>(f.time_ns - start_ns_) / 1e9 : 0.0;
        index << name << "  push " << f.push << "  " << seconds_text(t) << " s  " << f.width << "x"
              << f.height << "\n";
    }
    if (!write_text(out_ / "frames.txt", index.str()))
        problem("cannot write frames.txt");

    // Sound recordings.
    const int nrec = dev.recording_count();
    std::ostringstream recs;
    for (int i = 0; i < nrec; ++i) {
        const std::string name = numbered("rec-", i, ".wav");
        Recording r;
        try {
            r = recording(i);
        } catch (const std::exception &e) {
            problem("cannot read recording " + std::to_string(i) + ": " + e.what());
            continue;
        }
        if (!write_wav((out_ / name).string(), r))
            problem("cannot write " + name);
        recs << "  " << name << "  " << r.rate << " Hz, " << r.channels << " channel(s), "
             << r.frames() << " frames ("
             << seconds_text(r.rate ? static_cast<double>(r.frames()) / r.rate : 0.0) << " s)\n";
    }

    if (!write_text(out_ / "journal.txt", read_text(journal_file()).value_or(""))) {
        problem("cannot write journal.txt");
    }
    if (!write_text(out_ / "stdout.txt", started_ ? dev.stdout_text() : "")) {
        problem("cannot write stdout.txt");
    }
    if (!write_text(out_ / "stderr.txt", started_ ? dev.stderr_text() : "")) {
        problem("cannot write stderr.txt");
    }
    const auto finish_trace = read_text(dev.root() + "/finish.txt");
    if (finish_trace)
        write_text(out_ / "finish.txt", *finish_trace);

    std::ostringstream sum;
    sum << "scenario: " << cfg_.scenario_file << "\n";
    sum << "result: " << (failed_ ? "FAILED at " + failure_ : "passed") << "\n";
    std::string args;
    for (const auto &a : argv_)
        args += (args.empty() ? "'" : " '") + a + "'";
    sum << "program: " << (started_ ? args : "not started") << "\n";
    if (!started_) {
        sum << "program status: not started\n";
    } else if (killed_) {
        sum << "program status: still running at the end of the scenario, killed by mp-sim\n";
    } else if (exit_) {
        sum << "program status: " << describe(*exit_) << "\n";
    } else {
        sum << "program status: unknown (it did not end)\n";
    }
    if (exit_ && exit_->exited)
        sum << "exit status: " << exit_->code << "\n";
    sum << "pushes: " << dev.pushes() << "\n";
    sum << "frames: " << nframes << (png ? "" : " (this build writes no PNG; see frames.txt)")
        << "\n";
    sum << "recordings: " << nrec << "\n" << recs.str();
    sum << "underruns: " << dev.underruns() << "\n";
    sum << "porch at the end: " << dev.porch() << "\n";
    sum << "finish script output: "
        << (finish_trace ? "finish.txt" : std::string("none ({root}/finish.txt not made)")) << "\n";
    sum << "device root: " << dev.root() << (cfg_.keep_root ? " (kept)" : " (removed)") << "\n";
    if (!write_text(out_ / "summary.txt", sum.str()))
        problem("cannot write summary.txt");
    return ok;
}

int Runner::run() {
    out_ = fs::absolute(cfg_.outdir);
    std::error_code ec;
    fs::create_directories(out_, ec);
    if (ec) {
        std::cerr << "mp-sim: cannot make " << out_ << ": " << ec.message() << std::endl;
        return 1;
    }
    clear_old_outputs();
    steps_.open(out_ / "steps.txt", std::ios::trunc);

    const fs::path cwd = fs::current_path();
    dev_.emplace(device_options());
    try {
        set_up();
        for (const auto &s : sc_.steps) {
            step(s);
            if (failed_)
                break;
        }
    } catch (const std::exception &e) {
        failed_ = true;
        failure_ = std::string("error: ") + e.what();
        log("FAILED: " + failure_);
        std::cerr << "mp-sim: " << e.what() << std::endl;
    }
    finish_program();
    const bool written = write_outputs();
    log(failed_ ? "scenario failed: " + failure_ : "scenario ran to its end");
    std::cout << "output: " << out_.string() << std::endl;
    fs::current_path(cwd, ec);
    dev_.reset();
    return failed_ || !written ? 1 : 0;
}

}  // namespace

int run_scenario(const Scenario &sc, const RunConfig &cfg) {
    return Runner(sc, cfg).run();
}

}  // namespace mpsim

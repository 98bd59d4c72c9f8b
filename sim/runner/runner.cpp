#include "runner.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
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
// journal and the frames are read only from where the last look ended.
constexpr Ms kPoll{10};
// How long mp-sim waits after the last line for the program to end by itself.
constexpr Ms kEndWait{60000};

constexpr const char *kPorchFile = "/mnt/UDISK/.lcdporch";
constexpr const char *kExport = "/sys/class/gpio/export";
constexpr const char *kUnexport = "/sys/class/gpio/unexport";
constexpr const char *kBind = "/sys/bus/platform/drivers/gpio-keys-polled/bind";
constexpr const char *kKeysDevice = "gpio-keys.7";
// The shell that runs the finish script opens this device path first, so
// its start is a journal line in order with the program's own.
constexpr const char *kFinishMark = "/sys/mpsim-finish-started";
constexpr unsigned kKeyGpios[] = {133, 134, 135, 136, 137, 138, 139};

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

std::string rgb_text(uint32_t px) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "#%06X", px & 0xFFFFFFu);
    return buf;
}

bool write_text(const fs::path &file, const std::string &text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string describe(const ExitStatus &st) {
    if (st.exited)
        return "exit status " + std::to_string(st.code);
    return "killed by signal " + signal_label(st.code) + " (" + strsignal(st.code) + ")";
}

std::string bytes_of(const JournalEntry &e) {
    return {e.bytes.begin(), e.bytes.end()};
}

// Lines of an output text; a last line without its newline counts only once
// the writer has ended.
std::vector<std::string> lines_of(const std::string &text, bool ended) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            if (ended)
                out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

// A 16-bit PCM WAV file, as write_wav makes them (other chunks skipped).
std::optional<Recording> read_wav(const std::string &file) {
    const auto b = read_file(file);
    if (!b || b->size() < 12 || b->compare(0, 4, "RIFF") != 0 || b->compare(8, 4, "WAVE") != 0)
        return std::nullopt;
    auto le = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= uint32_t{static_cast<uint8_t>((*b)[at + i])} << (8 * i);
        return v;
    };
    Recording r;
    for (size_t at = 12; at + 8 <= b->size();) {
        const std::string id = b->substr(at, 4);
        const size_t size = le(at + 4, 4), body = at + 8;
        if (body + size > b->size())
            return std::nullopt;
        if (id == "fmt " && size >= 16) {
            if (le(body, 2) != 1 || le(body + 14, 2) != 16)
                return std::nullopt;  // not 16-bit PCM
            r.channels = le(body + 2, 2);
            r.rate = le(body + 4, 4);
        } else if (id == "data" && r.channels > 0) {
            r.samples.resize(size / 2 - (size / 2) % r.channels);
            for (size_t i = 0; i < r.samples.size(); ++i)
                r.samples[i] = static_cast<int16_t>(le(body + 2 * i, 2));
            return r;
        }
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

// How a frame differs from a golden one, outside the ignored rectangles.
struct FrameDiff {
    long count = LONG_MAX;  // differing pixels (every pixel when the sizes differ)
    int x = -1, y = -1;     // the first of them
    uint32_t got = 0, want = 0;
    bool size_differs = false;
};

FrameDiff compare_frame(const Frame &f, const Frame &want, const std::vector<Rect> &ignore) {
    FrameDiff d;
    d.count = 0;
    if (f.width != want.width || f.height != want.height) {
        d.size_differs = true;
        d.count = static_cast<long>(want.width) * want.height;
        return d;
    }
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            // The panel has no alpha: red, green and blue are what shows.
            const uint32_t a = f.at(x, y) & 0xFFFFFFu, b = want.at(x, y) & 0xFFFFFFu;
            if (a == b || std::any_of(ignore.begin(), ignore.end(),
                                      [&](const Rect &r) { return r.contains(x, y); }))
                continue;
            if (d.count++ == 0) {
                d.x = x;
                d.y = y;
                d.got = a;
                d.want = b;
            }
        }
    }
    return d;
}

// What a window of a frame holds: pixels of the ink colour, black ones and
// others (the first of those).
struct Ink {
    long ink = 0, black = 0, other = 0;
    int x = -1, y = -1;
    uint32_t px = 0;
    bool inside = true;  // the rectangle lies within the frame
};

Ink ink_of(const Frame &f, const Rect &r, uint32_t colour) {
    Ink k;
    k.inside = r.x + r.w <= f.width && r.y + r.h <= f.height;
    for (int y = r.y; y < std::min(r.y + r.h, f.height); ++y) {
        for (int x = r.x; x < std::min(r.x + r.w, f.width); ++x) {
            const uint32_t p = f.at(x, y) & 0xFFFFFFu;
            if (p == colour) {
                ++k.ink;
            } else if (p == 0) {
                ++k.black;
            } else if (k.other++ == 0) {
                k.x = x;
                k.y = y;
                k.px = p;
            }
        }
    }
    return k;
}

// CPU time of a process, user plus system, all its threads, in clock ticks.
std::optional<long long> cpu_ticks(pid_t pid) {
    const auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
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
    return utime + stime;
}

// Where the waits count from: the counters when the program started or when
// the last waiting line ended. An action followed by a wait for its effect
// thus never misses an effect that came quickly.
struct Mark {
    int pushes = 0;
    int frames = 0;
    size_t journal = 0;  // journal lines before the cursor
    int frame_next = 0;  // the first frame the next expect-frame looks at
    int frame_at = 0;    // the first frame the next expect-ink looks at
};

class Runner {
  public:
    Runner(const Scenario &sc, const RunConfig &cfg, std::string run_label)
        : sc_(sc), cfg_(cfg), run_label_(std::move(run_label)) {}
    int run();

  private:
    Options device_options() const;
    void set_up();
    void step(const ScenarioStep &s);
    void expect(const ScenarioStep &s);
    void start_program(const ScenarioStep &s);
    bool wait_for(const std::function<bool()> &cond, Ms timeout);
    bool ended();
    std::string unmet(const ScenarioStep &s);
    void waited(const ScenarioStep &s, const std::function<bool()> &cond,
                const std::function<std::string()> &why);
    std::optional<ExitStatus> wait_program(Ms timeout);
    const std::vector<JournalEntry> &journal();
    std::string journal_file() const { return dev_->root() + "/.sim/journal"; }
    std::string host_path(const std::string &path) const;
    std::string host_app_dir() const;
    void set_mark();
    size_t recording_frames(int index, unsigned &channels) const;
    void expect_frame(const ScenarioStep &s);
    void expect_ink(const ScenarioStep &s);
    void expect_journal(const ScenarioStep &s);
    void expect_sound(const ScenarioStep &s);
    void expect_cpu(const ScenarioStep &s);
    void post_conditions();
    void post_fail(const std::string &why);
    void keys_given_back(bool finish_ran);
    void fail(const ScenarioStep &s, const std::string &why);
    void log(const std::string &line);
    std::string stamp() const;
    void finish_program();
    bool write_outputs();
    void clear_old_outputs();
    Recording recording(int index) const;

    const Scenario &sc_;
    const RunConfig &cfg_;
    const std::string run_label_;
    std::optional<Device> dev_;
    std::ofstream steps_;
    fs::path out_;
    Mark mark_;
    bool started_ = false;
    uint64_t start_ns_ = 0;
    std::vector<std::string> argv_;  // as the program gets them
    std::optional<ExitStatus> exit_;
    bool killed_ = false;
    bool failed_ = false;
    std::string failure_;
    std::vector<std::string> post_failures_;
    bool status_checked_ = false;  // an expect-exit or expect-signal ran
    bool porch_checked_ = false;   // an expect-file of the porch file ran
    std::optional<std::string> porch_before_;
    std::vector<JournalEntry> journal_;  // read so far
    uint64_t journal_read_ = 0;          // bytes of the journal file read
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
    failure_ = s.where + ": " + s.source + ": " + why;
    log("FAILED: " + why);
    std::cerr << "mp-sim: " << run_label_ << failure_ << std::endl;
}

void Runner::post_fail(const std::string &why) {
    const std::string where = sc_.ends_where.empty() ? cfg_.scenario_file : sc_.ends_where;
    const std::string ends[] = {"hand-off", "signal", "running", "power-cut", "usage"};
    const std::string msg =
        where + ": after the last line (ends " + ends[static_cast<int>(sc_.ends)] + "): " + why;
    if (!failed_) {
        failed_ = true;
        failure_ = msg;
    }
    post_failures_.push_back(why);
    log("FAILED: " + why);
    std::cerr << "mp-sim: " << run_label_ << msg << std::endl;
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

// A device path, or a "{root}/..." file, as mp-sim reaches it.
std::string Runner::host_path(const std::string &path) const {
    if (path.rfind("{root}/", 0) == 0)
        return substitute_root(path, dev_->root());
    return dev_->path(path);
}

void Runner::set_up() {
    const auto &su = sc_.setup;
    Device &dev = *dev_;
    switch (su.porch_file) {
        case ScenarioSetup::PorchFile::Write:
            dev.write_file(kPorchFile, su.porch_bytes);
            break;
        case ScenarioSetup::PorchFile::Remove:
            dev.remove_file(kPorchFile);
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

// The journal lines written so far, read from where the last look ended.
const std::vector<JournalEntry> &Runner::journal() {
    std::ifstream in(journal_file(), std::ios::binary);
    if (!in)
        return journal_;
    in.seekg(static_cast<std::streamoff>(journal_read_));
    const std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pos = 0;
    for (size_t nl; (nl = chunk.find('\n', pos)) != std::string::npos; pos = nl + 1) {
        if (auto e = parse_journal_line(chunk.substr(pos, nl - pos)))
            journal_.push_back(std::move(*e));
    }
    journal_read_ += pos;  // a line still being written is read next time
    return journal_;
}

void Runner::set_mark() {
    mark_.pushes = dev_->pushes();
    mark_.frames = dev_->frame_count();
    mark_.journal = journal().size();
    mark_.frame_next = mark_.frame_at = std::max(mark_.frames - 1, 0);
}

bool Runner::ended() {
    return exit_.has_value() || !dev_->running();
}

// Polls `cond` until it holds or the time-out passes. A program that has
// ended cannot make anything more happen, so the wait stops there too.
bool Runner::wait_for(const std::function<bool()> &cond, Ms timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (cond())
            return true;
        if (ended())
            return cond();
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
}

std::string Runner::unmet(const ScenarioStep &s) {
    return ended()
               ? " before the program ended"
               : " within " + seconds_text(static_cast<double>(s.duration.count()) / 1e3) + " s";
}

// A waiting line: logs it, waits for `cond`, fails with `why` and the
// reason the wait ended, or moves the starting point of the next wait.
void Runner::waited(const ScenarioStep &s, const std::function<bool()> &cond,
                    const std::function<std::string()> &why) {
    log(s.where + ": " + s.source);
    if (!wait_for(cond, s.duration)) {
        fail(s, why() + unmet(s));
        return;
    }
    set_mark();
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
        argv_.push_back(std::string(": > ") + kFinishMark + "; " +
                        substitute_root(su.finish, root));
    }
    std::string shown;
    for (const auto &a : argv_)
        shown += (shown.empty() ? "'" : " '") + a + "'";
    // Under emulation the preloaded library goes to the emulated program
    // only: the emulator itself runs as any program of the machine.
    std::vector<std::string> exec = argv_;
    std::vector<std::string> env;
    if (!cfg_.emulator.empty()) {
        exec = cfg_.emulator;
        exec.push_back("-E");
        exec.push_back("LD_PRELOAD=" + preload_library());
        exec.insert(exec.end(), argv_.begin(), argv_.end());
        env.push_back("LD_PRELOAD=");
    }
    // Relative paths given to the program (a relative app-dir) mean the
    // device root.
    if (chdir(root.c_str()) != 0) {
        throw std::runtime_error("cannot enter the device root " + root + ": " +
                                 std::strerror(errno));
    }
    porch_before_ = dev_->read_file(kPorchFile);
    start_ns_ = monotonic_ns();
    started_ = true;
    // The waits count from before the start: a quick program's first writes
    // must not slip in ahead of the mark.
    set_mark();
    dev_->start(exec, env);
    log(s.where + ": " + s.source + ": " + shown);
}

size_t Runner::recording_frames(int index, unsigned &channels) const {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.pcm", index);
    const fs::path file = fs::path(dev_->root()) / ".sim" / "audio" / name;
    std::ifstream in(file, std::ios::binary);
    RecordingHeader h{};
    if (!in.read(reinterpret_cast<char *>(&h), sizeof h) || h.magic != kRecordingMagic ||
        h.channels == 0)
        return 0;
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    channels = h.channels;
    return ec ? 0 : (size - sizeof h) / (2u * h.channels);
}

void Runner::step(const ScenarioStep &s) {
    Device &dev = *dev_;
    const std::string where = s.where + ": " + s.source;
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
        case StepKind::SoundWriteFails:
            dev.fail_sound_writes(static_cast<int>(s.value), static_cast<int>(s.count));
            break;
        case StepKind::SoundSuspend:
            dev.suspend_sound(static_cast<int>(s.value));
            break;
        case StepKind::WallClockStep:
            dev.step_wall_clock(static_cast<int>(s.value), static_cast<int>(s.count));
            break;
        case StepKind::Trap:
            dev.trap(s.op, s.path, static_cast<int>(s.value), static_cast<int>(s.count));
            break;
        case StepKind::NoGpio:
            dev.remove_gpio_line(static_cast<unsigned>(s.value));
            break;
        case StepKind::Unwritable:
            dev.make_unwritable(s.path);
            break;
        case StepKind::Signal:
            dev.send_signal(static_cast<int>(s.value));
            break;
        case StepKind::SlowWrites:
            dev.slow_writes(s.path, static_cast<int>(s.value) * 1000);
            break;
        case StepKind::WallClockHold:
            dev.hold_wall_clock(s.value != 0);
            break;
        case StepKind::Wait:
            log(where);
            std::this_thread::sleep_for(s.duration);
            set_mark();
            return;
        default:
            expect(s);
            return;
    }
    log(where);
}

void Runner::expect(const ScenarioStep &s) {
    Device &dev = *dev_;
    switch (s.kind) {
        case StepKind::WaitPushes:
        case StepKind::WaitFrames: {
            const bool pushes = s.kind == StepKind::WaitPushes;
            const int from = pushes ? mark_.pushes : mark_.frames;
            auto count = [&] { return pushes ? dev.pushes() : dev.frame_count(); };
            waited(
                s, [&] { return count() >= from + s.value; },
                [&] {
                    return std::to_string(count() - from) +
                           (pushes ? " push(es)" : " new frame(s)") + " of " +
                           std::to_string(s.value);
                });
            return;
        }
        case StepKind::WaitJournal: {
            size_t j = mark_.journal;
            waited(
                s,
                [&] {
                    const auto &all = journal();
                    for (; j < all.size(); ++j)
                        if (all[j].op == s.op && all[j].path == s.path)
                            return true;
                    return false;
                },
                [&] { return "no " + s.op + " of " + s.path; });
            return;
        }
        case StepKind::WaitExit:
        case StepKind::ExpectExit:
        case StepKind::ExpectSignal: {
            log(s.where + ": " + s.source);
            const auto st = wait_program(s.duration);
            if (!st) {
                fail(s, "the program still runs after " +
                            seconds_text(static_cast<double>(s.duration.count()) / 1e3) + " s");
                return;
            }
            if (s.kind == StepKind::ExpectExit && !(st->exited && st->code == s.value)) {
                fail(s,
                     "expected exit status " + std::to_string(s.value) + ", got " + describe(*st));
                return;
            }
            if (s.kind == StepKind::ExpectSignal && !(!st->exited && st->code == s.value)) {
                fail(s, "expected the program to end by " +
                            signal_label(static_cast<int>(s.value)) + ", got " + describe(*st));
                return;
            }
            status_checked_ = status_checked_ || s.kind != StepKind::WaitExit;
            log("program ended: " + describe(*st));
            set_mark();
            return;
        }
        case StepKind::ExpectFrame:
            expect_frame(s);
            return;
        case StepKind::ExpectInk:
            expect_ink(s);
            return;
        case StepKind::ExpectJournal:
        case StepKind::ExpectNoJournal:
            expect_journal(s);
            return;
        case StepKind::ExpectFile: {
            const std::string file = host_path(s.path);
            std::optional<std::string> now;
            waited(
                s,
                [&] {
                    now = read_file(file);
                    return now == s.arg;
                },
                [&] {
                    return now ? s.path + " holds '" + escape_bytes(*now) + "', not '" +
                                     escape_bytes(*s.arg) + "'"
                               : s.path + " does not exist";
                });
            porch_checked_ = porch_checked_ || s.path == kPorchFile;
            return;
        }
        case StepKind::ExpectNoFile: {
            log(s.where + ": " + s.source);
            std::error_code ec;
            if (fs::exists(fs::symlink_status(host_path(s.path), ec)))
                fail(s, s.path + " exists");
            return;
        }
        case StepKind::ExpectStdout:
        case StepKind::ExpectStderr:
        case StepKind::ExpectStdoutCount: {
            const bool out = s.kind != StepKind::ExpectStderr;
            auto count = [&] {
                const auto lines = lines_of(out ? dev.stdout_text() : dev.stderr_text(), ended());
                return std::count(lines.begin(), lines.end(), s.text);
            };
            if (s.kind == StepKind::ExpectStdoutCount) {
                log(s.where + ": " + s.source);
                const auto n = count();
                if (n != s.value)
                    fail(s, std::to_string(n) + " line(s) '" + s.text + "' on standard output");
                return;
            }
            waited(
                s, [&] { return count() > 0; },
                [&] {
                    return "no line '" + s.text + "' on standard " + (out ? "output" : "error");
                });
            return;
        }
        case StepKind::ExpectCpuBelow:
            expect_cpu(s);
            return;
        case StepKind::ExpectGpio:
            waited(
                s, [&] { return dev.gpio_level(static_cast<unsigned>(s.value)) == s.count; },
                [&] {
                    return "GPIO " + std::to_string(s.value) + " is at " +
                           std::to_string(dev.gpio_level(static_cast<unsigned>(s.value)));
                });
            return;
        case StepKind::ExpectPorch:
            waited(
                s, [&] { return dev.porch() == s.value; },
                [&] { return "the panel runs at porch " + std::to_string(dev.porch()); });
            return;
        case StepKind::ExpectRecordings:
            waited(
                s, [&] { return dev.recording_count() >= s.value; },
                [&] { return std::to_string(dev.recording_count()) + " recording(s)"; });
            return;
        case StepKind::ExpectUnderruns:
            waited(
                s, [&] { return dev.underruns() >= s.value; },
                [&] { return std::to_string(dev.underruns()) + " underrun(s)"; });
            if (!failed_ && dev.underruns() != s.value)
                fail(s, std::to_string(dev.underruns()) + " underruns");
            return;
        case StepKind::ExpectSamples:
        case StepKind::ExpectRecording:
            expect_sound(s);
            return;
        default:
            throw std::logic_error(s.where + ": not a waiting or checking line");
    }
}

void Runner::expect_frame(const ScenarioStep &s) {
    Device &dev = *dev_;
    const std::string name = fs::path(s.file).filename().string();
    if (cfg_.update_golden) {
        log(s.where + ": " + s.source);
        const int n = dev.frame_count();
        if (n == 0) {
            fail(s, "no frame on the panel to write to " + s.file);
            return;
        }
        std::error_code ec;
        fs::create_directories(fs::path(s.file).parent_path(), ec);
        if (!write_png(s.file, dev.frame(n - 1))) {
            fail(s, "cannot write " + s.file + (png_supported() ? "" : " (this build has no PNG)"));
            return;
        }
        log("update mode: wrote " + numbered("frame-", n - 1, ".png") + " to " + s.file);
        set_mark();
        mark_.frame_next = n;
        mark_.frame_at = n - 1;
        return;
    }
    const auto want = read_png(s.file);
    if (!want) {
        log(s.where + ": " + s.source);
        fail(s, "cannot read the golden frame " + s.file +
                    (png_supported() ? " (make it with MP_UPDATE_GOLDEN=1 or --update-golden)"
                                     : " (this build of mp-sim reads no PNG)"));
        return;
    }
    const int first = mark_.frame_next;
    int next = first, matched = -1, closest = -1;
    FrameDiff best;
    waited(
        s,
        [&] {
            for (; next < dev.frame_count(); ++next) {
                const FrameDiff d = compare_frame(dev.frame(next), *want, s.rects);
                if (d.count == 0) {
                    matched = next;
                    return true;
                }
                if (d.count < best.count) {
                    best = d;
                    closest = next;
                }
            }
            return false;
        },
        [&] {
            if (closest < 0)
                return "no frame on the panel from " + numbered("frame-", first, "") + " on";
            const std::string keep = "closest-" + name;
            write_png((out_ / keep).string(), dev.frame(closest));
            std::string why = "no frame from " + numbered("frame-", first, "") + " to " +
                              numbered("frame-", next - 1, "") + " equals " + name +
                              "; the closest, " + numbered("frame-", closest, "") + " (kept as " +
                              keep + "), ";
            if (best.size_differs)
                return why + "has another size than the golden's " + std::to_string(want->width) +
                       "x" + std::to_string(want->height);
            return why + "differs in " + std::to_string(best.count) + " pixel(s), the first at (" +
                   std::to_string(best.x) + ", " + std::to_string(best.y) +
                   "): " + rgb_text(best.got) + " instead of " + rgb_text(best.want);
        });
    if (matched >= 0) {
        mark_.frame_next = matched + 1;
        mark_.frame_at = matched;
    }
}

void Runner::expect_ink(const ScenarioStep &s) {
    Device &dev = *dev_;
    const Rect r = s.rects.at(0);
    const int first = mark_.frame_at;
    int next = first, matched = -1;
    Ink last;
    waited(
        s,
        [&] {
            for (; next < dev.frame_count(); ++next) {
                last = ink_of(dev.frame(next), r, s.colour);
                if (last.inside && last.ink > 0 && last.other == 0) {
                    matched = next;
                    return true;
                }
            }
            return false;
        },
        [&] {
            if (next == first)
                return "no frame on the panel from " + numbered("frame-", first, "") + " on";
            std::string why = "no frame from " + numbered("frame-", first, "") + " to " +
                              numbered("frame-", next - 1, "") + " shows " + rgb_text(s.colour) +
                              " on black there; the last ";
            if (!last.inside)
                return why + "is smaller than the rectangle";
            why += "has " + std::to_string(last.ink) + " pixel(s) of it";
            if (last.other > 0)
                why += " and " + std::to_string(last.other) + " of other colours, the first " +
                       rgb_text(last.px) + " at (" + std::to_string(last.x) + ", " +
                       std::to_string(last.y) + ")";
            return why;
        });
    if (matched >= 0)
        mark_.frame_next = mark_.frame_at = matched;
}

void Runner::expect_journal(const ScenarioStep &s) {
    auto matches = [&](const JournalEntry &e, bool prefix) {
        if (e.op != s.op || e.path != s.path)
            return false;
        if (!s.arg)
            return true;
        const std::string got = s.op == "write" ? bytes_of(e) : e.arg;
        return prefix ? got.rfind(*s.arg, 0) == 0 : got == *s.arg;
    };
    const std::string what =
        s.op + " of " + s.path + (s.arg ? " with '" + escape_bytes(*s.arg) + "'" : "");
    if (s.kind == StepKind::ExpectNoJournal) {
        log(s.where + ": " + s.source);
        const auto &all = journal();
        for (size_t j = 0; j < all.size(); ++j)
            if (matches(all[j], true))
                return fail(s, "journal line " + std::to_string(j + 1) + " is a " + what);
        return;
    }
    const size_t first = mark_.journal;
    size_t j = first;
    std::optional<size_t> matched;
    waited(
        s,
        [&] {
            const auto &all = journal();
            for (; j < all.size(); ++j)
                if (matches(all[j], false)) {
                    matched = j;
                    return true;
                }
            return false;
        },
        [&] {
            std::string why = "no " + what + " after journal line " + std::to_string(first);
            const auto &all = journal();
            for (size_t k = first; k-- > 0;)
                if (matches(all[k], false))
                    return why + " (there is one before it, at line " + std::to_string(k + 1) + ")";
            return why;
        });
    if (matched)
        mark_.journal = *matched + 1;
}

void Runner::expect_sound(const ScenarioStep &s) {
    Device &dev = *dev_;
    // -1: the latest opening of the sound device when the line runs (the
    // first short openings of the MP test race with the screen's start).
    const int index =
        s.value < 0 ? std::max(dev.recording_count() - 1, 0) : static_cast<int>(s.value);
    unsigned channels = 0;
    size_t need = 0;  // frames the recording must hold
    std::optional<Recording> want;
    if (s.kind == StepKind::ExpectSamples) {
        need = static_cast<size_t>(s.count) + 1;  // at least the first frame, then by channels
    } else {
        want = read_wav(s.file);
        if (cfg_.update_golden) {
            need = s.count > 0 ? static_cast<size_t>(s.count) : want ? want->frames() : 0;
            if (need == 0) {
                log(s.where + ": " + s.source);
                return fail(
                    s, "update mode needs 'frames N' on the line (" + s.file + " gives no length)");
            }
        } else if (!want) {
            log(s.where + ": " + s.source);
            return fail(s, "cannot read the WAV file " + s.file +
                               " (16-bit PCM; make it with MP_UPDATE_GOLDEN=1 and 'frames N')");
        } else {
            need = want->frames();
        }
    }
    size_t have = 0;
    waited(
        s,
        [&] {
            if (dev.recording_count() <= index)
                return false;
            have = recording_frames(index, channels);
            if (s.kind == StepKind::ExpectSamples && channels > 0)
                need = static_cast<size_t>(s.count) + (s.samples.size() + channels - 1) / channels;
            return channels > 0 && have >= need;
        },
        [&] {
            if (dev.recording_count() <= index)
                return std::to_string(dev.recording_count()) + " recording(s), no recording " +
                       std::to_string(index);
            return "recording " + std::to_string(index) + " holds " + std::to_string(have) +
                   " frame(s), not the " + std::to_string(need) + " needed";
        });
    if (failed_)
        return;
    const Recording rec = recording(index);
    if (s.kind == StepKind::ExpectSamples) {
        const size_t from = static_cast<size_t>(s.count) * rec.channels;
        for (size_t i = 0; i < s.samples.size(); ++i) {
            if (rec.samples.at(from + i) != s.samples[i]) {
                std::string got;
                for (size_t k = 0; k < s.samples.size(); ++k)
                    got += (k ? " " : "") + std::to_string(rec.samples.at(from + k));
                return fail(s, "sample " + std::to_string(i) + " is " +
                                   std::to_string(rec.samples[from + i]) +
                                   "; the recording holds " + got);
            }
        }
        return;
    }
    if (cfg_.update_golden) {
        Recording head = rec;
        head.samples.resize(need * rec.channels);
        std::error_code ec;
        fs::create_directories(fs::path(s.file).parent_path(), ec);
        if (!write_wav(s.file, head))
            return fail(s, "cannot write " + s.file);
        log("update mode: wrote the first " + std::to_string(need) + " frames of recording " +
            std::to_string(index) + " to " + s.file);
        return;
    }
    if (want->rate != rec.rate || want->channels != rec.channels)
        return fail(s, "recording " + std::to_string(index) + " is " + std::to_string(rec.rate) +
                           " Hz, " + std::to_string(rec.channels) + " channel(s); " + s.file +
                           " is " + std::to_string(want->rate) + " Hz, " +
                           std::to_string(want->channels));
    long differ = 0;
    size_t first = 0;
    for (size_t i = 0; i < want->samples.size(); ++i)
        if (rec.samples[i] != want->samples[i] && differ++ == 0)
            first = i;
    if (differ > 0)
        fail(s, std::to_string(differ) + " of " + std::to_string(want->samples.size()) +
                    " samples differ, the first at frame " + std::to_string(first / rec.channels) +
                    ": " + std::to_string(rec.samples[first]) + " instead of " +
                    std::to_string(want->samples[first]));
}

void Runner::expect_cpu(const ScenarioStep &s) {
    log(s.where + ": " + s.source);
    const pid_t pid = dev_->pid();
    const auto before = cpu_ticks(pid);
    const auto t0 = Clock::now();
    const auto end = t0 + s.duration;
    while (Clock::now() < end && !ended())
        std::this_thread::sleep_for(std::min<Clock::duration>(Ms{50}, end - Clock::now()));
    const auto after = ended() ? std::nullopt : cpu_ticks(pid);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!before || !after)
        return fail(s, "the program ended before " +
                           seconds_text(static_cast<double>(s.duration.count()) / 1e3) + " s");
    const double percent = static_cast<double>(*after - *before) /
                           static_cast<double>(sysconf(_SC_CLK_TCK)) / wall * 100.0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f %% of one core", percent);
    if (percent > static_cast<double>(s.value))
        return fail(s, std::string("the program used ") + buf);
    log(std::string("the program used ") + buf);
    set_mark();
}

// The keys and their driver as an ordinary program leaves them: every key
// GPIO it exported unexported, "gpio-keys.7" bound after the last of them
// and before the finish script started (or: the finish script never started).
void Runner::keys_given_back(bool finish_ran) {
    Device &dev = *dev_;
    const auto &j = journal();
    auto last = [&](const char *path, const std::string &bytes,
                    bool taken) -> std::optional<size_t> {
        for (size_t i = j.size(); i-- > 0;)
            if (j[i].op == "write" && j[i].path == path && bytes_of(j[i]) == bytes &&
                (!taken || j[i].ok()))
                return i;
        return std::nullopt;
    };
    // The bind counts whatever the driver answered: one that was never
    // unbound refuses it (EBUSY), and the driver bound at the end is what
    // matters.
    const auto bind = last(kBind, kKeysDevice, false);
    if (!bind)
        post_fail(std::string("\"") + kKeysDevice + "\" was never written to " + kBind);
    for (unsigned g : kKeyGpios) {
        const std::string n = std::to_string(g);
        if (!last(kExport, n, true))
            continue;
        const auto unexported = last(kUnexport, n, true);
        if (!unexported)
            post_fail("key GPIO " + n + " was exported and never unexported");
        else if (bind && *unexported > *bind)
            post_fail("key GPIO " + n + " was unexported (journal line " +
                      std::to_string(*unexported + 1) + ") after the bind (line " +
                      std::to_string(*bind + 1) + ")");
    }
    for (unsigned g : kKeyGpios)
        if (dev.gpio_exported(g))
            post_fail("key GPIO " + std::to_string(g) + " is still exported");
    if (!dev.keys_bound())
        post_fail("the key driver is not bound at the end");
    if (sc_.setup.args)
        return;  // no finish script of mp-sim's making: its start cannot be seen
    std::optional<size_t> started;
    for (size_t i = 0; i < j.size() && !started; ++i)
        if (j[i].op == "open" && j[i].path == kFinishMark)
            started = i;
    if (!finish_ran && started)
        post_fail("the finish script started (journal line " + std::to_string(*started + 1) + ")");
    if (finish_ran && !started)
        post_fail("the finish script did not start");
    if (finish_ran && started && bind && *started < *bind)
        post_fail("the finish script started (journal line " + std::to_string(*started + 1) +
                  ") before the keys were bound (line " + std::to_string(*bind + 1) + ")");
}

void Runner::post_conditions() {
    Device &dev = *dev_;
    const Ends ends = sc_.ends;
    log("post-conditions");
    // How the program ended.
    if (ends == Ends::Running) {
        if (ended())
            post_fail("the program ended (" + describe(*wait_program(Ms{5000})) +
                      "), but it should still be running");
    } else {
        const auto st = wait_program(kEndWait);
        if (!st) {
            post_fail("the program did not end by itself within " +
                      seconds_text(static_cast<double>(kEndWait.count()) / 1e3) + " s");
        } else if (ends == Ends::Usage) {
            if (!(st->exited && st->code == 255))
                post_fail("expected exit status 255, got " + describe(*st));
        } else if (status_checked_) {
            // An expect-exit or expect-signal line checked it.
        } else if (ends == Ends::HandOff && !(st->exited && st->code == 0)) {
            post_fail("expected exit status 0, got " + describe(*st));
        } else if (ends == Ends::Signal && st->exited) {
            post_fail("expected the program to end by a signal, got " + describe(*st));
        } else if (ends == Ends::PowerCut && !(!st->exited && st->code == SIGKILL)) {
            post_fail("expected the program to end by SIGKILL, got " + describe(*st));
        }
    }
    if (ends == Ends::HandOff || ends == Ends::Signal)
        keys_given_back(ends == Ends::HandOff);
    if (ends == Ends::Usage) {
        for (const auto &e : journal())
            if (e.op == "open")
                return post_fail("the program opened " + e.path);
    }
    if ((ends == Ends::HandOff || ends == Ends::Signal || ends == Ends::Running) &&
        !porch_checked_) {
        const auto now = dev.read_file(kPorchFile);
        if (now != porch_before_)
            post_fail(std::string("the porch file ") + kPorchFile + " " +
                      (now ? "holds '" + escape_bytes(*now) + "'" : std::string("is gone")) +
                      ", it held " +
                      (porch_before_ ? "'" + escape_bytes(*porch_before_) + "'"
                                     : std::string("nothing (missing)")) +
                      " (an expect-file line says when a store is meant)");
    }
    for (const auto &line : lines_of(dev.stderr_text(), true)) {
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("runtime error:") != std::string::npos) {
            post_fail("a sanitizer report on standard error: " + line);
            break;
        }
    }
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
        const std::string ext = e.path().extension().string();
        const bool ours =
            ((n.rfind("frame-", 0) == 0 || n.rfind("closest-", 0) == 0) && ext == ".png") ||
            (n.rfind("rec-", 0) == 0 && ext == ".wav") || n == "frames.txt" || n == "journal.txt" ||
            n == "stdout.txt" || n == "stderr.txt" || n == "summary.txt" || n == "steps.txt" ||
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
        const auto bytes = read_file(file);
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

    if (!write_text(out_ / "journal.txt", read_file(journal_file()).value_or(""))) {
        problem("cannot write journal.txt");
    }
    if (!write_text(out_ / "stdout.txt", started_ ? dev.stdout_text() : "")) {
        problem("cannot write stdout.txt");
    }
    if (!write_text(out_ / "stderr.txt", started_ ? dev.stderr_text() : "")) {
        problem("cannot write stderr.txt");
    }
    const auto finish_trace = read_file(dev.root() + "/finish.txt");
    if (finish_trace)
        write_text(out_ / "finish.txt", *finish_trace);

    std::ostringstream sum;
    sum << "scenario: " << cfg_.scenario_file << "\n";
    if (!sc_.flow.empty())
        sum << "flow: " << sc_.flow << "\n";
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
    sum << "post-conditions: ";
    if (post_failures_.empty())
        sum << (failed_ && failure_.find("after the last line") == std::string::npos
                    ? "not checked (a line failed)"
                    : "held")
            << "\n";
    for (const auto &p : post_failures_)
        sum << "\n  " << p;
    if (!post_failures_.empty())
        sum << "\n";
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
    if (!run_label_.empty())
        log(run_label_);

    const fs::path cwd = fs::current_path();
    dev_.emplace(device_options());
    try {
        set_up();
        for (const auto &s : sc_.steps) {
            step(s);
            if (failed_)
                break;
        }
        if (!failed_)
            post_conditions();
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
    for (int i = 1; i <= sc.repeat; ++i) {
        std::string label;
        if (sc.repeat > 1)
            label = "run " + std::to_string(i) + " of " + std::to_string(sc.repeat) + ": ";
        if (Runner(sc, cfg, label).run() != 0)
            return 1;
    }
    return 0;
}

}  // namespace mpsim

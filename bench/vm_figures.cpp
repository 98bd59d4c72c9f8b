// mp-vm-figures: the benchmark figures of the virtual device (bench/README.md).
//
//   mp-vm-figures [BOOTS]          the figures below
//   mp-vm-figures --soak MINUTES   the soak
//
// An ordinary boot's cost beyond the entry window, over BOOTS boots (default
// 5), twice: once with strace stopping the program only on its execve, open
// and process calls (bench.trace on the kernel's command line: the program's
// writes, most of its calls, run at their own pace), once with the journal's
// full set. Cost = (window start - program start) + (finish script start -
// window end), from the journal: the program's execve, its open of the last
// key's value file, the wall-clock second's turn after it (the machine's
// clock, set from the RTC on a whole second), and the shell's execve for the
// finish script. Then a factory run, entry to hand-off: the program's
// resident memory (VmRSS, sampled every 200 ms), the sound card's underruns,
// and, on the status screen with its tone playing, the cost of one audio
// period in the machine's instructions: the machine's clock counts one
// nanosecond an instruction while it runs, so the CPU time of the program's
// main thread (which plays the sound) over many periods, divided by the
// periods the card played in that time, is about the instructions a period
// takes, user and kernel.
//
// The soak: factory entry to the status screen, then every second the
// headphone and USB lines and the battery change; every minute the program's
// VmRSS, open descriptors, processor time and the underruns are sampled and
// printed; at the end a verdict.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mpsim/vm_device.h"

using namespace mpsim;
using namespace std::chrono_literals;

namespace {

constexpr const char *kApp = "/mnt/app";
constexpr const char *kFinish = "/mnt/app/start.sh";
constexpr const char *kFewCalls = "bench.trace=execve,open,openat,clone,clone3,fork,vfork";
// The soak needs no journal but the program's start: strace stopping on the
// status screen's passes would spend most of the machine's instructions, and
// the machine's clock, counting them, would run at a fraction of real time.
constexpr const char *kExecOnly = "bench.trace=execve,clone,clone3,fork,vfork";
constexpr double kPeriodFrames = 256;
constexpr double kRate = 44100;
constexpr double kTicksPerSecond = 100;  // the kernel's USER_HZ

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void print_row(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return;
    std::printf("| %s | %.1f ms | %.1f ms |\n", what, v[v.size() / 2], v.back());
}

// The kernel's command line gets `words` for the boots of this scope.
class ExtraCmdline {
  public:
    explicit ExtraCmdline(const std::string &words) {
        const char *was = getenv("MPSIM_VM_APPEND");
        if (was != nullptr)
            was_ = was;
        setenv("MPSIM_VM_APPEND", (was_ ? *was_ + " " : std::string()).append(words).c_str(), 1);
    }
    ~ExtraCmdline() {
        if (was_)
            setenv("MPSIM_VM_APPEND", was_->c_str(), 1);
        else
            unsetenv("MPSIM_VM_APPEND");
    }
    ExtraCmdline(const ExtraCmdline &) = delete;
    ExtraCmdline &operator=(const ExtraCmdline &) = delete;

  private:
    std::optional<std::string> was_;
};

void boots(int n, bool few_calls) {
    std::optional<ExtraCmdline> trace;
    if (few_calls)
        trace.emplace(kFewCalls);
    VmDevice d;
    std::vector<double> before, after, stop, total, power_on;
    for (int i = 0; i < n; ++i) {
        d.start_mp_test(kApp, kFinish);
        if (!d.wait_exit(60s)) {
            d.power_cut();
            continue;
        }
        int64_t start = 0, window = 0, unexport = 0, finish = 0;
        int stops = 0;  // the program's calls strace stopped on, start to finish
        for (const JournalEntry &e : d.journal()) {
            const auto t = static_cast<int64_t>(e.time_ns);
            if (e.op == "exec" && e.path == "/usr/bin/mp_test")
                start = t;
            else if (e.op == "exec" && window != 0 && finish == 0)
                finish = t;
            if (e.op == "open" && e.path == "/sys/class/gpio/gpio137/value")
                window = t;
            if (e.op == "write" && e.path == "/sys/class/gpio/unexport" && window != 0 &&
                unexport == 0)
                unexport = t;
            if (start != 0 && finish == 0)
                ++stops;
        }
        if (start == 0 || window == 0 || finish == 0) {
            d.power_cut();
            continue;
        }
        // The window ends when time() turns to the next second.
        const int64_t wall = d.machine_wall_clock(window);
        const int64_t end = window + (1000000000 - wall % 1000000000);
        before.push_back(ms(window - start));
        after.push_back(ms(finish - end));
        total.push_back(before.back() + after.back());
        if (unexport != 0)
            stop.push_back(ms(unexport - end));
        power_on.push_back(static_cast<double>(d.boot_time().value_or(Ms(0)).count()));
        std::printf(
            "boot %d: start-up %.1f ms, window %.0f ms, after %.1f ms, total %.1f ms, "
            "%d journal lines, power-on to program %.0f ms\n",
            i, before.back(), ms(end - window), after.back(), total.back(), stops, power_on.back());
        d.power_cut();
    }
    std::printf("\nOrdinary boot on the virtual device, strace stopping on %s (%zu boots):\n\n",
                few_calls ? "execve, open and the process calls only" : "the journal's calls",
                before.size());
    std::printf("| | Median | Max |\n|---|---|---|\n");
    print_row("start-up to the window", before);
    print_row("window's end to the finish script", after);
    print_row("of it: stopping the key scanner and closing", stop);
    print_row("total beyond the window", total);
    print_row("power-on to the program's start", power_on);
    std::printf("\n");
}

// ---- the program seen from /proc ---------------------------------------------

struct Sample {
    long rss_kb = -1;
    int fds = -1;
    int fds_least = -1, fds_most = -1;    // over the minute, counted every second
    long utime = 0, stime = 0;            // the whole program, clock ticks
    long main_utime = 0, main_stime = 0;  // its main thread, which plays the sound
    double uptime = 0;                    // the machine's clock, seconds
    int underruns = 0;
};

// utime and stime of a /proc/.../stat line (fields 14 and 15; the command
// in parentheses may hold spaces).
bool stat_times(const std::string &stat, long *utime, long *stime) {
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    // Fields 3 to 13, then utime and stime.
    for (int i = 3; i <= 13 && in >> field; ++i) {
    }
    return static_cast<bool>(in >> *utime >> *stime);
}

std::optional<Sample> sample(VmDevice &d) {
    const pid_t pid = d.pid();
    if (pid == 0)
        return std::nullopt;
    const std::string proc = "/proc/" + std::to_string(pid);
    Sample s;
    try {
        auto status = d.read_file(proc + "/status");
        auto stat = d.read_file(proc + "/stat");
        auto main_stat = d.read_file(proc + "/task/" + std::to_string(pid) + "/stat");
        auto uptime = d.read_file("/proc/uptime");
        if (!status || !stat || !main_stat || !uptime)
            return std::nullopt;
        size_t at = status->find("VmRSS:");
        if (at != std::string::npos)
            s.rss_kb = std::atol(status->c_str() + at + 6);
        if (!stat_times(*stat, &s.utime, &s.stime) ||
            !stat_times(*main_stat, &s.main_utime, &s.main_stime))
            return std::nullopt;
        s.uptime = std::atof(uptime->c_str());
        s.fds = static_cast<int>(d.folder_entries(proc + "/fd").size());
        s.underruns = d.underruns();
    } catch (const std::exception &) {
        return std::nullopt;
    }
    return s;
}

// ---- the flows' walk -------------------------------------------------------------

// Where the walk is, on standard error: a walk that lost its way shows where.
void progress(VmDevice &d, const char *step) {
    std::fprintf(stderr, "walk: %s: %d pushes, %d frames, program %s\n", step, d.pushes(),
                 d.frame_count(), d.pid() != 0 ? "started" : "not started");
}

void press(VmDevice &d, std::vector<Key> keys, int pushes) {
    const int p = d.pushes();
    for (Key k : keys)
        d.set_key(k, true);
    std::this_thread::sleep_for(250ms);
    for (Key k : keys)
        d.set_key(k, false);
    d.wait_pushes(p + pushes, 20s);
}

VmOptions factory_options() {
    VmOptions o;
    o.te_clock = 20846;  // 60.6 frames per second at porch 24, as the flows have it
    return o;
}

// Power-on into the factory program, through the information screen, the
// colour and key tests and the image screen, to the status screen.
void to_status_screen(VmDevice &d) {
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_key(Key::Right, true);
    d.set_key(Key::Start, true);
    d.set_key(Key::B, true);
    d.set_volume_percent(100);
    d.start_mp_test(kApp, kFinish);
    d.wait_pushes(2, 30s);
    progress(d, "information screen");
    d.release_all_keys();
    d.wait_pushes(6, 30s);
    progress(d, "rate measured");
    const int p = d.pushes();
    d.set_key(Key::A, true);
    d.set_key(Key::B, true);
    d.wait_pushes(p + 1, 10s);
    d.release_all_keys();
    std::this_thread::sleep_for(300ms);
    progress(d, "colour test");
    press(d, {Key::Up}, 1);
    press(d, {Key::Up}, 2);
    press(d, {Key::Up}, 1);
    progress(d, "key test");
    for (Key k : {Key::Down, Key::Left, Key::Up, Key::Start})
        press(d, {k}, 1);
    progress(d, "image screen");
    std::this_thread::sleep_for(3s);
    press(d, {Key::Up}, 1);
    progress(d, "status screen");
}

struct PeriodCost {
    double periods = 0;
    double user_insns = 0, kernel_insns = 0;  // a period's
};

// The main thread's processor time between two samples over the periods the
// card played meanwhile (at 1 ns an instruction).
PeriodCost period_cost(const Sample &a, const Sample &b) {
    PeriodCost c;
    c.periods = (b.uptime - a.uptime) * kRate / kPeriodFrames;
    if (c.periods <= 0)
        return c;
    const double ns_per_tick = 1e9 / kTicksPerSecond;
    c.user_insns = static_cast<double>(b.main_utime - a.main_utime) * ns_per_tick / c.periods;
    c.kernel_insns = static_cast<double>(b.main_stime - a.main_stime) * ns_per_tick / c.periods;
    return c;
}

void factory_run(int status_seconds) {
    VmDevice d(factory_options());
    std::vector<long> rss;
    std::atomic<bool> sampling{true};
    std::thread sampler([&] {
        while (sampling) {
            if (d.pid() != 0) {
                try {
                    auto status = d.read_file("/proc/" + std::to_string(d.pid()) + "/status");
                    size_t at = status ? status->find("VmRSS:") : std::string::npos;
                    if (at != std::string::npos)
                        rss.push_back(std::atol(status->c_str() + at + 6));
                } catch (const std::exception &) {
                }
            }
            std::this_thread::sleep_for(200ms);
        }
    });
    to_status_screen(d);
    // The status screen's tone: let it settle, then measure.
    std::this_thread::sleep_for(2s);
    const auto a = sample(d);
    std::this_thread::sleep_for(std::chrono::seconds(status_seconds));
    const auto b = sample(d);
    press(d, {Key::Up}, 1);
    std::this_thread::sleep_for(2s);
    d.set_key(Key::A, true);
    d.set_key(Key::B, true);
    auto st = d.wait_exit(30s);
    const int underruns = d.underruns();
    sampling = false;
    sampler.join();
    std::sort(rss.begin(), rss.end());
    std::printf(
        "Factory run on the virtual device: exit %s, %d frames, %d pushes, %d "
        "recordings, %d underruns; VmRSS over %zu samples: median %ld kB, max %ld kB\n",
        st && st->exited && st->code == 0 ? "0" : "not 0", d.frame_count(), d.pushes(),
        d.recording_count(), underruns, rss.size(), rss.empty() ? 0 : rss[rss.size() / 2],
        rss.empty() ? 0 : rss.back());
    if (a && b) {
        const PeriodCost c = period_cost(*a, *b);
        std::printf(
            "Audio period on the status screen, %.1f s of the machine's time (%.0f periods): "
            "main thread %ld + %ld ticks (user + kernel), %.0f + %.0f = %.0f instructions a "
            "period (%.1f %% of the 5.8 ms period at 1 ns an instruction)\n",
            b->uptime - a->uptime, c.periods, b->main_utime - a->main_utime,
            b->main_stime - a->main_stime, c.user_insns, c.kernel_insns,
            c.user_insns + c.kernel_insns,
            (c.user_insns + c.kernel_insns) / (kPeriodFrames / kRate * 1e9) * 100);
    } else {
        std::printf("Audio period: the program's /proc could not be read\n");
    }
}

// ---- the soak --------------------------------------------------------------------

// Processor ticks of every process of the machine (name -> user + kernel,
// threads included), and of the whole machine ("(busy)", "(idle)") from
// /proc/stat: where the machine's processor goes.
std::map<std::string, long> machine_ticks(VmDevice &d) {
    std::map<std::string, long> t;
    for (const std::string &e : d.folder_entries("/proc")) {
        if (e.empty() || e.find_first_not_of("0123456789") != std::string::npos)
            continue;
        auto stat = d.read_file("/proc/" + e + "/stat");
        long u = 0, k = 0;
        if (!stat || !stat_times(*stat, &u, &k))
            continue;
        const size_t open = stat->find('('), close = stat->rfind(')');
        t[stat->substr(open + 1, close - open - 1)] += u + k;
    }
    if (auto all = d.read_file("/proc/stat")) {
        std::istringstream in(*all);
        std::string cpu;
        long f[8] = {};
        in >> cpu >> f[0] >> f[1] >> f[2] >> f[3] >> f[4] >> f[5] >> f[6] >> f[7];
        t["(busy)"] = f[0] + f[1] + f[2] + f[5] + f[6] + f[7];
        t["(idle)"] = f[3] + f[4];
    }
    return t;
}

int soak(int minutes) {
    ExtraCmdline trace(kExecOnly);
    VmDevice d(factory_options());
    d.set_headphone(0);
    d.set_usb(1);
    d.set_battery_raw(84);
    to_status_screen(d);
    std::printf(
        "On the status screen after power-on; %d minutes, headphone, USB and battery "
        "changing every second\n\n",
        minutes);
    std::printf(
        "| Minute | VmRSS | Descriptors (fewest-most) | CPU in the minute (user + kernel) | "
        "Of it the main thread | Machine's seconds | Underruns |\n|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    constexpr int kBattery[] = {84, 63, 85, 0, 72};
    std::vector<Sample> samples;
    auto first = sample(d);
    if (!first) {
        std::printf("soak: the program's /proc could not be read\n");
        return 1;
    }
    samples.push_back(*first);
    const auto ticks_before = machine_ticks(d);
    int changes = 0;
    bool lost = false;
    const std::string fd_folder = "/proc/" + std::to_string(d.pid()) + "/fd";
    for (int minute = 1; minute <= minutes && !lost; ++minute) {
        const auto end = std::chrono::steady_clock::now() + 60s;
        // The status pass opens files for a moment: a sample a minute could
        // catch one open or not, so the count is taken every second and the
        // fewest (the program at rest) tells a leak.
        int least = -1, most = -1;
        while (std::chrono::steady_clock::now() < end) {
            ++changes;
            try {
                d.set_headphone(changes % 2);
                d.set_usb((changes / 2) % 2);
                d.set_battery_raw(kBattery[changes % 5]);
                const int n = static_cast<int>(d.folder_entries(fd_folder).size());
                least = least < 0 ? n : std::min(least, n);
                most = std::max(most, n);
            } catch (const std::exception &e) {
                std::printf("soak: %s\n", e.what());
                lost = true;
                break;
            }
            std::this_thread::sleep_for(1s);
        }
        auto s = sample(d);
        if (!s) {
            std::printf("soak: minute %d: the program is gone (%s)\n", minute,
                        d.running() ? "running" : "not running");
            lost = true;
            break;
        }
        s->fds_least = least;
        s->fds_most = most;
        const Sample &p = samples.back();
        samples.push_back(*s);
        std::printf("| %d | %ld kB | %d-%d | %ld + %ld ticks | %ld + %ld ticks | %.1f | %d |\n",
                    minute, s->rss_kb, s->fds_least, s->fds_most, s->utime - p.utime,
                    s->stime - p.stime, s->main_utime - p.main_utime, s->main_stime - p.main_stime,
                    s->uptime - p.uptime, s->underruns);
        std::fflush(stdout);
    }
    const auto ticks_after = machine_ticks(d);
    std::printf(
        "\nThe machine's processor over the soak, in ticks (processes of 10 ticks or more):\n");
    for (const auto &[name, after] : ticks_after) {
        auto it = ticks_before.find(name);
        const long spent = after - (it != ticks_before.end() ? it->second : 0);
        if (spent >= 10)
            std::printf("  %8ld  %s\n", spent, name.c_str());
    }
    const int done = static_cast<int>(samples.size()) - 1;
    std::printf("\n%d minutes, %d changes of the lines and the battery; the program %s\n", done,
                changes, d.running() ? "still running" : "no longer running");
    if (done < 3) {
        std::printf("Verdict: too short to tell (3 minutes at least)\n");
        return 1;
    }
    // Flat: the last minute's resident memory and fewest descriptors are the
    // second minute's (the first minute may still be settling), the processor
    // time of every minute from the second on is within 10 % of the second's
    // per second of the machine's time (the machine's clock runs slower than
    // the host's while the host is busy), and no underrun on the status
    // screen (those of the walk to it are counted apart).
    auto cpu_rate = [&](int m) {
        const Sample &a = samples[static_cast<size_t>(m - 1)], &b = samples[static_cast<size_t>(m)];
        return static_cast<double>(b.utime + b.stime - a.utime - a.stime) / (b.uptime - a.uptime);
    };
    const Sample &second = samples[2], &last = samples.back();
    bool cpu_flat = true;
    double lo = cpu_rate(2), hi = cpu_rate(2);
    for (int m = 2; m <= done; ++m) {
        lo = std::min(lo, cpu_rate(m));
        hi = std::max(hi, cpu_rate(m));
        if (std::fabs(cpu_rate(m) - cpu_rate(2)) > 0.1 * cpu_rate(2))
            cpu_flat = false;
    }
    const bool rss_flat = last.rss_kb == second.rss_kb;
    const bool fds_flat = last.fds_least == second.fds_least;
    const int underruns = last.underruns - samples[0].underruns;
    const bool no_underrun = underruns == 0;
    const PeriodCost c = period_cost(samples[1], last);
    std::printf(
        "VmRSS %ld kB at minute 2, %ld kB at minute %d: %s\n"
        "descriptors at rest %d at minute 2, %d at minute %d: %s\n"
        "CPU per second of the machine's time, minutes 2 to %d: %.1f to %.1f ticks "
        "(minute 2: %.1f): %s\n"
        "underruns on the status screen: %d (%d before it)\n"
        "main thread per audio period, minutes 2 to %d: %.0f + %.0f instructions (user + "
        "kernel)\n"
        "Verdict: %s\n",
        second.rss_kb, last.rss_kb, done, rss_flat ? "flat" : "NOT FLAT", second.fds_least,
        last.fds_least, done, fds_flat ? "flat" : "NOT FLAT", done, lo, hi, cpu_rate(2),
        cpu_flat ? "within 10 %" : "NOT within 10 %", underruns, samples[0].underruns, done,
        c.user_insns, c.kernel_insns,
        rss_flat && fds_flat && cpu_flat && no_underrun && !lost ? "flat" : "NOT FLAT");
    d.set_key(Key::A, true);
    d.set_key(Key::B, true);
    d.wait_exit(30s);
    return rss_flat && fds_flat && cpu_flat && no_underrun && !lost ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 2 && std::strcmp(argv[1], "--soak") == 0)
        return soak(std::atoi(argv[2]));
    if (argc > 1 && argv[1][0] == '-' && std::strcmp(argv[1], "--factory") != 0) {
        std::fprintf(stderr, "usage: mp-vm-figures [BOOTS] | --factory | --soak MINUTES\n");
        return 2;
    }
    if (argc > 1 && std::strcmp(argv[1], "--factory") == 0) {
        factory_run(20);
        return 0;
    }
    const int n = argc > 1 ? std::atoi(argv[1]) : 5;
    boots(n, true);
    boots(n, false);
    factory_run(20);
}

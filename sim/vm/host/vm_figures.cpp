// mp-vm-figures: the benchmark figures of the virtual device (bench/README.md).
//
//   mp-vm-figures [BOOTS]
//
// An ordinary boot's cost beyond the entry window, over BOOTS boots (default
// 5): (window start - program start) + (finish script start - window end),
// from the journal of the program's system calls: the program's execve, its
// open of the last key's value file, the wall-clock second's turn after it
// (the machine's clock, set from the RTC on a whole second), and the shell's
// execve for the finish script. Then a factory run, entry to hand-off: the
// program's resident memory (VmRSS, sampled every 200 ms) and the sound card's
// underruns.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "mpsim/vm_device.h"

using namespace mpsim;
using namespace std::chrono_literals;

namespace {

constexpr const char *kApp = "/mnt/app";
constexpr const char *kFinish = "/mnt/app/start.sh";

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void print_row(const char *what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return;
    std::printf("| %s | %.1f ms | %.1f ms |\n", what, v[v.size() / 2], v.back());
}

void boots(int n) {
    VmDevice d;
    std::vector<double> before, after, stop;
    for (int i = 0; i < n; ++i) {
        d.start_mp_test(kApp, kFinish);
        if (!d.wait_exit(60s))
            continue;
        int64_t start = 0, window = 0, unexport = 0, finish = 0;
        for (const JournalEntry &e : d.journal()) {
            const auto t = static_cast<int64_t>(e.time_ns);
            if (e.op == "exec" && e.path == "/usr/bin/mp_test")
                start = t;
            if (e.op == "open" && e.path == "/sys/class/gpio/gpio137/value")
                window = t;
            if (e.op == "write" && e.path == "/sys/class/gpio/unexport" && unexport == 0)
                unexport = t;
            if (e.op == "exec" && unexport != 0 && finish == 0)
                finish = t;
        }
        if (start == 0 || window == 0 || unexport == 0 || finish == 0)
            continue;
        // The window ends when time() turns to the next second.
        const int64_t wall = d.machine_wall_clock(window);
        const int64_t end = window + (1000000000 - wall % 1000000000);
        before.push_back(ms(window - start));
        after.push_back(ms(finish - end));
        stop.push_back(ms(unexport - end));
        std::printf(
            "boot %d: start-up %.1f ms, window %.0f ms, after %.1f ms (stop %.1f ms), "
            "power-on to program %lld ms\n",
            i, before.back(), ms(end - window), after.back(), stop.back(),
            static_cast<long long>(d.boot_time().value_or(Ms(0)).count()));
        d.power_cut();
    }
    std::printf(
        "\nOrdinary boot on the virtual device (%zu boots):\n\n| | Median | Max |\n"
        "|---|---|---|\n",
        before.size());
    print_row("start-up to the window", before);
    print_row("window's end to the finish script", after);
    print_row("of it: stopping the key scanner and closing", stop);
}

void factory_run() {
    VmOptions o;
    o.te_clock = 20846;  // 60.6 frames per second at porch 24, as the flows have it
    VmDevice d(o);
    d.write_file("/mnt/UDISK/.lcdporch", std::string("24\0", 3));
    d.set_key(Key::Right, true);
    d.set_key(Key::Start, true);
    d.set_key(Key::B, true);
    d.set_volume_percent(100);
    d.start_mp_test(kApp, kFinish);
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
    auto press = [&](std::vector<Key> keys, int pushes) {
        const int p = d.pushes();
        for (Key k : keys)
            d.set_key(k, true);
        std::this_thread::sleep_for(250ms);
        for (Key k : keys)
            d.set_key(k, false);
        d.wait_pushes(p + pushes, 20s);
    };
    d.wait_pushes(2, 30s);
    d.release_all_keys();
    d.wait_pushes(6, 30s);
    const int p = d.pushes();
    d.set_key(Key::A, true);
    d.set_key(Key::B, true);
    d.wait_pushes(p + 1, 10s);
    d.release_all_keys();
    std::this_thread::sleep_for(300ms);
    press({Key::Up}, 1);
    press({Key::Up}, 2);
    press({Key::Up}, 1);
    for (Key k : {Key::Down, Key::Left, Key::Up, Key::Start})
        press({k}, 1);
    std::this_thread::sleep_for(3s);
    press({Key::Up}, 1);
    std::this_thread::sleep_for(3s);
    press({Key::Up}, 1);
    std::this_thread::sleep_for(2s);
    d.set_key(Key::A, true);
    d.set_key(Key::B, true);
    auto st = d.wait_exit(30s);
    const int underruns = d.underruns();
    sampling = false;
    sampler.join();
    std::sort(rss.begin(), rss.end());
    std::printf(
        "\nFactory run on the virtual device: exit %s, %d frames, %d pushes, %d "
        "recordings, %d underruns; VmRSS over %zu samples: median %ld kB, max %ld kB\n",
        st && st->exited && st->code == 0 ? "0" : "not 0", d.frame_count(), d.pushes(),
        d.recording_count(), underruns, rss.size(), rss.empty() ? 0 : rss[rss.size() / 2],
        rss.empty() ? 0 : rss.back());
}

}  // namespace

int main(int argc, char **argv) {
    boots(argc > 1 ? std::atoi(argv[1]) : 5);
    factory_run();
}

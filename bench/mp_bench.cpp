// Host benchmarks of the program's time-critical steps, each held against
// its physical limit measured in the same run:
//  - drawing against the C++ library moving the same bytes (std::fill for
//    fills and text, memcpy for the image copy);
//  - one audio period against the 5.8 ms the card takes to play it;
//  - one status-screen pass (reads and drawing, no TE wait) against its
//    10 ms pass;
//  - one key-scanning pass (seven rewinds and reads) against its 15 ms pass.
//
// The device files must be the simulated device's, never the machine's
// /sys: started plainly, the program makes a fresh simulated device and runs
// itself again on it, then prints what that run printed. Google Benchmark's
// options (--benchmark_filter, --benchmark_repetitions, ...) pass through.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "device/device.h"
#include "input/keys.h"
#include "mpsim/harness.h"
#include "workloads.h"

namespace {

using workload::Canvas;

void BM_FillWindow(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        workload::fill_window();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 240 * 180 * 4);
}
BENCHMARK(BM_FillWindow);

void BM_FillWindow_StdFill(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        workload::fill_window_limit(c);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 240 * 180 * 4);
}
BENCHMARK(BM_FillWindow_StdFill);

void BM_CopyImage(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        workload::copy_window_image();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 240 * 180 * 4);
}
BENCHMARK(BM_CopyImage);

void BM_CopyImage_Memcpy(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        workload::copy_image_limit(c);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * 240 * 180 * 4);
}
BENCHMARK(BM_CopyImage_Memcpy);

void BM_TextLine(benchmark::State &state) {
    Canvas c;
    const int size = static_cast<int>(state.range(0));
    for (auto _ : state) {
        workload::text_line(size);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TextLine)->Arg(2)->Arg(3)->Arg(6);

void BM_TextLine_StdFill(benchmark::State &state) {
    Canvas c;
    const int size = static_cast<int>(state.range(0));
    for (auto _ : state) {
        workload::text_limit(c, size);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TextLine_StdFill)->Arg(2)->Arg(3)->Arg(6);

void BM_AudioPeriod(benchmark::State &state) {
    workload::prepare_audio();
    for (auto _ : state) {
        workload::audio_period();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AudioPeriod);

void BM_StatusPass(benchmark::State &state) {
    Canvas c;
    workload::status_pass();  // the detect boxes are drawn on the first pass only
    for (auto _ : state) {
        workload::status_pass();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_StatusPass);

void BM_KeyPass(benchmark::State &state) {
    for (auto _ : state) {
        workload::key_pass();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_KeyPass);

// Prints Google Benchmark's usual table, then each step as a ratio to its
// limit from the same run (the median of the repetitions when there are).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // No colours: the run's output goes through a file on its way here.
    RatioReporter() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            const double sec =
                r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            const std::string name = r.run_name.str();
            if (r.run_type == Run::RT_Aggregate) {
                if (r.aggregate_name == "median")
                    median_[name] = sec;
            } else {
                last_[name] = sec;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-28s %12s %14s %9s  %s\n", "step", "time", "limit", "ratio", "target");
        pair("BM_FillWindow", "BM_FillWindow_StdFill", "std::fill", 1.3);
        pair("BM_CopyImage", "BM_CopyImage_Memcpy", "memcpy", 1.3);
        for (const char *s : {"2", "3", "6"})
            pair(std::string("BM_TextLine/") + s, std::string("BM_TextLine_StdFill/") + s,
                 "std::fill", 0);
        budget("BM_AudioPeriod", workload::kPeriodBudgetSec, "period 5.8 ms", 0.02);
        budget("BM_StatusPass", workload::kStatusPassSec, "pass 10 ms", 0);
        budget("BM_KeyPass", workload::kKeyPassSec, "pass 15 ms", 0);
        std::fflush(stdout);
    }

  private:
    std::map<std::string, double> median_, last_;

    double get(const std::string &name) const {
        if (auto it = median_.find(name); it != median_.end())
            return it->second;
        if (auto it = last_.find(name); it != last_.end())
            return it->second;
        return std::nan("");
    }

    void line(const std::string &name, double sec, const std::string &limit, double ratio,
              double target) {
        char t[32] = "-";
        if (target > 0)
            std::snprintf(t, sizeof t, "< %g %s", target < 1 ? target * 100 : target,
                          target < 1 ? "%" : "x");
        const bool ok = target <= 0 || ratio < target;
        if (ratio < 0.1)
            std::printf("%-28s %9.2f us %14s %8.3f%%  %s%s\n", name.c_str(), sec * 1e6,
                        limit.c_str(), ratio * 100, t, ok ? "" : "  MISSED");
        else
            std::printf("%-28s %9.2f us %14s %8.2fx  %s%s\n", name.c_str(), sec * 1e6,
                        limit.c_str(), ratio, t, ok ? "" : "  MISSED");
    }

    void pair(const std::string &name, const std::string &limit_name, const char *limit,
              double target) {
        const double a = get(name), b = get(limit_name);
        if (std::isnan(a) || std::isnan(b))
            return;
        char l[48];
        std::snprintf(l, sizeof l, "%s %.2f us", limit, b * 1e6);
        line(name, a, l, a / b, target);
    }

    void budget(const std::string &name, double budget_sec, const char *limit, double target) {
        const double a = get(name);
        if (std::isnan(a))
            return;
        line(name, a, limit, a / budget_sec, target);
    }
};

// Device handles the steps read, opened the way start-up opens them.
void prepare_device() {
    gpio_export(1, 0, 0);
    gpio_export(132, 0, 0);
    init_key_gamepad();
    init_fd();
    for (int i = 0; i < KEY_COUNT; ++i) {
        if (fd_key[i] < 0) {
            std::fprintf(stderr, "mp_bench: key value file %d did not open\n", i);
            std::exit(1);
        }
    }
}

// Runs this program again on a fresh simulated device; returns its status.
int run_on_simulated_device(int argc, char **argv) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("mp_bench: /proc/self/exe");
        return 1;
    }
    self[n] = '\0';
    std::vector<std::string> args{self};
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    mpsim::Device dev;
    dev.start(args, {"MP_BENCH_ON_DEVICE=1"});
    const auto status = dev.wait_exit(mpsim::Ms(30 * 60 * 1000));
    std::fputs(dev.stdout_text().c_str(), stdout);
    std::fputs(dev.stderr_text().c_str(), stderr);
    if (!status) {
        std::fprintf(stderr, "mp_bench: the run on the simulated device did not end\n");
        return 1;
    }
    return status->exited ? status->code : 128 + status->code;
}

}  // namespace

int main(int argc, char **argv) {
    const char *on_device = std::getenv("MP_BENCH_ON_DEVICE");
    if (on_device == nullptr || std::string(on_device) != "1")
        return run_on_simulated_device(argc, argv);
    // Started by the harness: its preloaded library redirects every device
    // path into the device root. Without it the reads would reach /sys.
    const char *root = std::getenv("MPSIM_ROOT");
    const char *preload = std::getenv("LD_PRELOAD");
    if (root == nullptr || root[0] == '\0' || preload == nullptr ||
        std::string(preload).find("libmpsim") == std::string::npos) {
        std::fprintf(stderr, "mp_bench: not on a simulated device; start it plainly\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    prepare_device();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

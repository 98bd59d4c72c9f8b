// Time budgets of the program's hot steps:
//  - one audio period (256 stereo frames) must be scaled well inside the
//    5.8 ms the card takes to play it;
//  - a full-window fill and a size-6 label must leave the 10 ms pass of the
//    status screen mostly idle;
//  - a key scanner pass (debounce and publication) is a few hundred
//    nanoseconds apart from its seven sysfs reads.
// Run: build/bench/bench/mp_bench (configure with -DMP_BUILD_BENCH=ON).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "input/keys.h"
#include "procedures/procedures.h"

namespace {

void BM_ScalePeriod(benchmark::State &state) {
    std::vector<int16_t> in(512);
    for (size_t i = 0; i < in.size(); i++)
        in[i] = g_data0[i + 10000];
    std::vector<uint16_t> out(512);
    for (auto _ : state) {
        scale_period(in.data(), out.data(), 512, 1.5f);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * 512);
}
BENCHMARK(BM_ScalePeriod);

struct Canvas {
    std::vector<uint32_t> fb = std::vector<uint32_t>(240 * 240);
    Canvas() {
        FB_buf = fb.data();
        width = 240;
        height = 240;
    }
    ~Canvas() { FB_buf = nullptr; }
};

void BM_FullWindowFill(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        draw_rect_color(0, 0, 240, 180, 0, 0, 0);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FullWindowFill);

void BM_FailureLabelSize6(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        show_string(0, 66, "RIGHT", 255, 0, 0, 6);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FailureLabelSize6);

void BM_StatusText(benchmark::State &state) {
    Canvas c;
    for (auto _ : state) {
        draw_rect_color(43, 0, 154, 66, 0, 0, 0);
        show_string(84, 5, "BAT", 255, 255, 255, 3);
        show_string(48, 37, "4.05 V", 255, 255, 255, 3);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_StatusText);

void BM_KeyScanPass(benchmark::State &state) {
    const uint8_t raw[KEY_COUNT] = {0, 1, 0, 0, 1, 0, 1};
    for (auto _ : state) {
        key_scan_pass(raw);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_KeyScanPass);

}  // namespace

BENCHMARK_MAIN();

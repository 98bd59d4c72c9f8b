// The panel's tearing-effect (TE) line as a function of time.
//
// The panel refreshes at te_clock / (lines + porch) frames per second and gives
// one rising TE edge per refresh. Edges happen at te_epoch + k * period for
// k >= 1 and te_base counts the edges before te_epoch, so when the porch or
// the clock changes the phase is carried over: the new period starts at the
// last edge seen with the old one. Shared by the preloaded library (which
// answers poll() on gpio105/value) and the harness (which changes the clock).
#pragma once

#include <sched.h>
#include <time.h>

#include <cmath>
#include <cstdint>

#include "mpsim/board.h"
#include "mpsim/state.h"

#ifdef MPSIM_PRELOAD
namespace mpsim::preload {
// The libc clock_gettime: in the preloaded library the name is the hook that
// answers the program with the panel's time.
int machine_clock_gettime(clockid_t clock, timespec *ts);
}  // namespace mpsim::preload
#endif

namespace mpsim::te {

// The machine's CLOCK_MONOTONIC.
inline int64_t now_ns() {
    timespec ts{};
#ifdef MPSIM_PRELOAD
    preload::machine_clock_gettime(CLOCK_MONOTONIC, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline int64_t load64(const A32 &hi, const A32 &lo) {
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(hi.load())) << 32) |
                                static_cast<uint32_t>(lo.load()));
}

inline void store64(A32 &hi, A32 &lo, int64_t v) {
    auto u = static_cast<uint64_t>(v);
    hi.store(static_cast<int32_t>(static_cast<uint32_t>(u >> 32)));
    lo.store(static_cast<int32_t>(static_cast<uint32_t>(u & 0xffffffffu)));
}

// Spin lock over State::te_lock, shared by every process on the device. A
// holder killed inside its few instructions would block everyone forever, so
// a waiter that has spun for a long time takes the lock over.
class Lock {
  public:
    explicit Lock(State &s) : s_(s) {
        int64_t start = 0;
        for (unsigned spins = 0;; ++spins) {
            int32_t free = 0;
            if (s_.te_lock.compare_exchange_weak(free, 1, std::memory_order_acquire))
                return;
            if (spins < 64)
                continue;
            if (start == 0)
                start = now_ns();
            if (now_ns() - start > 500000000)
                return;  // abandoned: take it over
            sched_yield();
        }
    }
    ~Lock() { s_.te_lock.store(0, std::memory_order_release); }
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

  private:
    State &s_;
};

struct Phase {
    int64_t epoch = 0;
    int64_t base = 0;
    double period = 0;  // ns between edges
    bool running = false;
};

// Caller holds the lock.
inline Phase load_phase(const State &s) {
    Phase p;
    p.epoch = load64(s.te_epoch_hi, s.te_epoch_lo);
    p.base = load64(s.te_base_hi, s.te_base_lo);
    int32_t clock = s.te_clock.load();
    int32_t lines = BOARD_PANEL_LINES + s.porch.load();
    p.running = s.te_stopped.load() == 0 && clock > 0 && lines > 0;
    if (p.running)
        p.period = static_cast<double>(lines) * 1e9 / clock;
    return p;
}

inline Phase snapshot(State &s) {
    Lock l(s);
    return load_phase(s);
}

// Time of the k-th edge after the epoch.
inline int64_t edge_time(const Phase &p, int64_t k) {
    return p.epoch + std::llround(static_cast<double>(k) * p.period);
}

// Edges in (epoch, t].
inline int64_t edges_since_epoch(const Phase &p, int64_t t) {
    if (!p.running || t <= p.epoch)
        return 0;
    auto k = static_cast<int64_t>(std::floor(static_cast<double>(t - p.epoch) / p.period));
    while (k > 0 && edge_time(p, k) > t)
        --k;
    while (edge_time(p, k + 1) <= t)
        ++k;
    return k;
}

// Edges since the panel started, up to and including t.
inline int64_t count(const Phase &p, int64_t t) {
    return p.base + edges_since_epoch(p, t);
}

// Time of the first edge after t, or -1 when the line is not toggling.
inline int64_t next_edge(const Phase &p, int64_t t) {
    if (!p.running)
        return -1;
    return edge_time(p, edges_since_epoch(p, t) + 1);
}

// The panel's time: CLOCK_MONOTONIC less the moments the device stood still.
// A test machine that is the guest of a busy host has its virtual processors
// stopped for 100 ms at a time; the device never is. Through such a stop the
// panel went on toggling TE while its program could not look, and a 3 s count
// lost six edges: a good panel read as a bad one. So the panel, and the
// program's CLOCK_MONOTONIC, run on this clock, which leaves such stops out.
// The device's processes share one processor (the harness starts the program
// so), and each looks at this clock every kBeat (a heartbeat thread of the
// preloaded library), as does every reading of it; a look that finds the last
// one more than kStall before counts the gap, less one beat, as stood still.
// The first look after a stop, whoever makes it, counts the stop, so no
// process sees the clock jump. A device merely kept from its processor that
// long is treated the same: its program could not look at the panel either.
constexpr int64_t kBeat = 2000000;
constexpr int64_t kStall = 10000000;

// Caller holds the lock.
inline int64_t panel_ns_locked(State &s) {
    const int64_t t = now_ns();
    const int64_t beat = load64(s.beat_hi, s.beat_lo);
    int64_t stood = load64(s.stood_hi, s.stood_lo);
    if (t > beat) {
        if (beat != 0 && t - beat > kStall) {
            stood += t - beat - kBeat;
            store64(s.stood_hi, s.stood_lo, stood);
        }
        store64(s.beat_hi, s.beat_lo, t);
    }
    return t - stood;
}

inline int64_t panel_ns(State &s) {
    Lock l(s);
    return panel_ns_locked(s);
}

// Caller holds the lock and is about to change the porch, the clock or the
// stopped flag: folds the edges so far into te_base so the change takes
// effect from the last edge (or, while stopped, from now).
inline void rebase(State &s, int64_t t) {
    Phase p = load_phase(s);
    int64_t k = edges_since_epoch(p, t);
    int64_t epoch = p.running ? edge_time(p, k) : t;
    store64(s.te_base_hi, s.te_base_lo, p.base + k);
    store64(s.te_epoch_hi, s.te_epoch_lo, epoch);
}

}  // namespace mpsim::te

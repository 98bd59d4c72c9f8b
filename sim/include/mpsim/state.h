// The simulated device's shared state.
//
// A simulated device is a folder (the root, named by MPSIM_ROOT in the
// environment of every process that runs on it). Device paths are redirected
// into it: "/sys/..." -> <root>/sys/..., "/dev/fb0" -> <root>/dev/fb0,
// "/mnt/UDISK/..." -> <root>/mnt/UDISK/..., "/etc/version" -> <root>/etc/version.
//
// Hardware state that is not a file (line levels, ADC readings, the panel
// clock, injected faults, counters) lives in <root>/.sim/state, a file holding
// one State, mapped shared by the harness, the preloaded library and the sound
// plugin. Every field is a 32-bit atomic so that the layout and the lock-free
// property are the same on x86-64 and armel.
//
// Other files under <root>/.sim/:
//   journal              one line per file operation on a device path (mpsim/journal.h)
//   frames/NNNNNN.frame  each distinct panel frame, in push order (FrameHeader + pixels)
//   audio/NNNNNN.pcm     one recording per open of the sound device (RecordingHeader + S16_LE)
//   stdout, stderr       the program's output, when started by the harness
#pragma once

#include <atomic>
#include <cstdint>

#include "mpsim/board.h"

namespace mpsim {

constexpr uint32_t kStateMagic = 0x3153504d;  // "MPS1"
constexpr uint32_t kStateVersion = 6;
constexpr int kGpioLines = 256;

using A32 = std::atomic<int32_t>;
static_assert(A32::is_always_lock_free || sizeof(A32) == 4, "32-bit atomics must be plain words");

struct State {
    uint32_t magic;    // kStateMagic once initialised by the harness
    uint32_t version;  // kStateVersion

    // GPIO lines: the level of each line as the hardware holds it. Inputs are
    // set by the harness (a pressed key reads 0); a write to the value file of
    // an exported output sets it. Kept outside sysfs: survives unexport.
    A32 gpio_level[kGpioLines];
    A32 gpio_exported[kGpioLines];  // 1 while gpioN/ exists
    A32 gpio_output[kGpioLines];    // 1 while direction is "out"
    A32 gpio_edge[kGpioLines];      // 0 none, 1 rising, 2 falling, 3 both
    A32 keys_bound;                 // gpio-keys.7 bound to gpio-keys-polled (starts 1)
    A32 gpio_absent[kGpioLines];    // 1: the board has no such line (export refused, EINVAL)

    A32 adc_vol;  // raw volume wheel reading served by tp_adc/value
    A32 adc_bat;  // raw battery reading served by battery/adc

    // Panel: TE rate = te_clock / (BOARD_PANEL_LINES + porch) edges per second.
    A32 te_clock;
    A32 te_stopped;  // 1: the TE line never toggles
    A32 porch;       // atoi of the last 3 bytes written to lcdporch (24 at start)
    // TE phase, guarded by te_lock (a spin lock: 0 free, 1 held): edges happen
    // at te_epoch + k * period for k >= 1; te_base counts the edges before
    // te_epoch. Times are the panel's time (te::panel_ns) in nanoseconds,
    // split in two words.
    A32 te_lock;
    A32 te_epoch_hi, te_epoch_lo;
    A32 te_base_hi, te_base_lo;
    // The panel's time, also guarded by te_lock: CLOCK_MONOTONIC of the last
    // look at it by any process on the device, and the nanoseconds the whole
    // machine stood still so far.
    A32 beat_hi, beat_lo;
    A32 stood_hi, stood_lo;

    // Wall clock: nonzero holds time() at this second (the clock stands still).
    A32 wall_clock_hold;
    // A step of the wall clock (an RTC or network time update): once the
    // program has made wall_clock_step_after more calls of time(), the
    // time(), gettimeofday() and clock_gettime(CLOCK_REALTIME) of every
    // process on the device read wall_clock_offset seconds off (0: no step).
    // CLOCK_MONOTONIC never moves.
    A32 wall_clock_offset;
    A32 wall_clock_step_after;
    A32 program_pid;  // the process the harness started (0: calls of any process count)

    // Panel pushes.
    A32 pushes;  // writes to "update"
    A32 frames;  // distinct frames saved under .sim/frames (index of the next one)

    // Injected faults.
    A32 write_fault_errno;       // nonzero: writes to write_fault_path fail with this errno
    A32 write_fault_count;       // how many such writes to refuse (-1: all)
    char write_fault_path[256];  // device path as the program names it; set before use

    // Sound.
    A32 sound_open_errno;   // nonzero: snd_pcm_open of the simulated card fails with -errno
    A32 underrun_requests;  // > 0: the next write reports an underrun (-EPIPE), then decrements
    A32 recordings;         // recordings made so far (index of the next one)
    A32 frames_played;      // stereo frames taken by the card in all recordings
    A32 underruns;          // underruns reported so far
    // A card that breaks: once it has taken sound_fail_after more periods,
    // every write fails with -sound_fail_errno (ENODEV: unplugged, EBADFD:
    // stream stopped under the program, EIO: the DMA stalls) until cleared.
    A32 sound_fail_errno;
    A32 sound_fail_after;
    // 1: the next write finds the card suspended (-ESTRPIPE); snd_pcm_resume
    // then answers -EAGAIN sound_resume_eagain times before the card resumes.
    A32 sound_suspend;
    A32 sound_resume_eagain;

    // Trap: the trap_nth-th trap_op on a device path starting with
    // trap_prefix, by any process, gets trap_sig sent to that process just
    // before the operation is carried out. trap_nth counts down to 0 (disarmed).
    A32 trap_op;  // a TrapOp
    A32 trap_sig;
    A32 trap_nth;
    char trap_prefix[256];  // set before trap_nth is armed

    // A slow kernel interface: every write to a device path starting with
    // slow_write_prefix takes slow_write_us longer (a driver that takes its
    // time to let a line go or to take it), for any process. 0: off.
    A32 slow_write_us;
    char slow_write_prefix[256];  // set before slow_write_us

    // A probe on a line: reads of GPIO N's value file are journaled while
    // read_journal[N] is 1 (a logic analyser on the line, off by default:
    // a key scanner reads seven values every pass).
    A32 read_journal[kGpioLines];
};

// A factory-fresh board: keys released, detect lines high, the keys' driver
// bound, the wheel and the battery at their fresh readings, the panel at its
// clock and porch. The TE epoch is the caller's.
inline void fresh_board(State &s, int te_clock) {
    for (const auto &k : board_keys)
        s.gpio_level[k.gpio].store(BOARD_FRESH_KEY_LEVEL);
    s.gpio_level[BOARD_GPIO_USB_DETECT].store(BOARD_FRESH_DETECT_LEVEL);
    s.gpio_level[BOARD_GPIO_HEADPHONE_DETECT].store(BOARD_FRESH_DETECT_LEVEL);
    s.keys_bound.store(1);
    s.adc_vol.store(BOARD_FRESH_VOLUME_RAW);
    s.adc_bat.store(BOARD_FRESH_BATTERY_RAW);
    s.te_clock.store(te_clock);
    s.porch.store(BOARD_PORCH);
    s.version = kStateVersion;
    s.magic = kStateMagic;
}

enum TrapOp : int32_t {
    kTrapNone = 0,
    kTrapOpen,
    kTrapWrite,
    kTrapRename,
    kTrapFsync,
    kTrapUnlink
};

// Header of a .frame file, followed by width * height 32-bit pixel words
// (0xAARRGGBB) row by row.
struct FrameHeader {
    uint32_t magic;    // 0x4d465246 "FRFM"
    uint32_t width;    // columns of the window that existed in the framebuffer
    uint32_t height;   // rows
    uint32_t push;     // number of the push that first showed it (1-based)
    uint32_t time_hi;  // CLOCK_MONOTONIC ns of that push
    uint32_t time_lo;
};
constexpr uint32_t kFrameMagic = 0x4d465246;

// Header of a .pcm recording, followed by interleaved S16_LE samples of
// `channels` channels. The header is written at open; `rate` and `channels`
// are what the program configured.
struct RecordingHeader {
    uint32_t magic;  // 0x4d524543 "MREC"
    uint32_t rate;
    uint32_t channels;
    uint32_t format;  // snd_pcm_format_t value
};
constexpr uint32_t kRecordingMagic = 0x4d524543;

}  // namespace mpsim

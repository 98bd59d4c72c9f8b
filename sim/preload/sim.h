// Internals of the preloaded library shared between its sources.
//
// The library is loaded into every process started on the simulated device
// (the program, the shell of system(), the finish script), so it does nothing
// until a process names a device path, allocates nothing on the heap in the
// hot paths, and reaches libc only through the real functions found behind it.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "mpsim/state.h"

namespace mpsim::preload {

// ---- real libc functions ---------------------------------------------------

void *lookup(std::atomic<void *> &slot, const char *name);

template <typename F>
F real_fn(std::atomic<void *> &slot, const char *name) {
    void *p = slot.load(std::memory_order_acquire);
    if (p == nullptr)
        p = lookup(slot, name);
    F f;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&f, &p, sizeof f);
    return f;
}

using OpenatFn = int (*)(int, const char *, int, ...);
using CloseFn = int (*)(int);
using ReadFn = ssize_t (*)(int, void *, size_t);
using PreadFn = ssize_t (*)(int, void *, size_t, off_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using PollFn = int (*)(struct pollfd *, nfds_t, int);
using PpollFn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
using IoctlFn = int (*)(int, unsigned long, ...);
using FopenFn = FILE *(*)(const char *, const char *);
using RenameatFn = int (*)(int, const char *, int, const char *);
using UnlinkatFn = int (*)(int, const char *, int);

#define MPSIM_REAL(type, name)                               \
    inline type real_##name() {                              \
        static std::atomic<void *> slot{nullptr};            \
        return ::mpsim::preload::real_fn<type>(slot, #name); \
    }
MPSIM_REAL(OpenatFn, openat)
MPSIM_REAL(CloseFn, close)
MPSIM_REAL(ReadFn, read)
MPSIM_REAL(PreadFn, pread)
MPSIM_REAL(WriteFn, write)
MPSIM_REAL(PollFn, poll)
MPSIM_REAL(PpollFn, ppoll)
MPSIM_REAL(IoctlFn, ioctl)
MPSIM_REAL(FopenFn, fopen)
MPSIM_REAL(RenameatFn, renameat)
MPSIM_REAL(UnlinkatFn, unlinkat)
#undef MPSIM_REAL

// ---- the device root -------------------------------------------------------

constexpr size_t kPathMax = 4096;

// The root folder (MPSIM_ROOT), or null when the library is to stay out of the way.
const char *root();

// Fills `out` with the file inside the root that stands for `path`; false when
// `path` is not a device path (or the library is off).
bool redirect(const char *path, char *out, size_t size);

// <root>/<rel> into out; false when it does not fit.
bool root_file(char *out, size_t size, const char *rel);

// Opens, writes and closes a file inside the root with the real functions.
bool put_file(const char *abs_path, const char *text, mode_t mode);

// The shared hardware state (a private default one when the root has none).
State &state();

// ---- descriptors of device files -------------------------------------------

enum Kind : int {
    kNone = 0,
    kPlain,          // a regular file: writes land in it
    kGpioExport,     // /sys/class/gpio/export
    kGpioUnexport,   // /sys/class/gpio/unexport
    kGpioValue,      // /sys/class/gpio/gpioN/value
    kGpioDirection,  // /sys/class/gpio/gpioN/direction
    kGpioEdge,       // /sys/class/gpio/gpioN/edge
    kKeysUnbind,     // gpio-keys-polled/unbind
    kKeysBind,       // gpio-keys-polled/bind
    kAdcVol,         // tp_adc/value
    kAdcBat,         // battery/adc
    kPwmExport,      // pwmchip0/export
    kPorch,          // screen_update/lcdporch
    kUpdate,         // screen_update/update
    kFramebuffer,    // /dev/fb0
};

Kind classify(const char *path, int *gpio);

struct FdEntry {
    std::atomic<int> kind{kNone};
    int gpio = -1;
    int accmode = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    std::atomic<int32_t> seen{-1};  // TE edges counted at the last read; -1 before the first
    char path[256] = {};
};

// The entry of a descriptor that refers to a device file, or null.
FdEntry *fd_entry(int fd);
void fd_register(int fd, const char *path, Kind kind, int gpio, int flags);
void fd_forget(int fd);
// `to` now shares the open file of `from` (dup and friends).
void fd_copy(int from, int to);

// ---- journal -----------------------------------------------------------------

const char *errno_name(int err, char *buf, size_t size);
void journal_open(const char *path, int flags, int result_errno);
void journal_write(const char *path, const void *buf, size_t n, ssize_t result, int err);
// A read of a probed value file: the same shape as a write.
void journal_read(const char *path, const void *buf, ssize_t result, int err);
void journal_push(const char *path, int frame_index, int push);
// "<op> <path> [<path2>] <ok|ERRNO>" for rename, unlink and fsync.
void journal_result(const char *op, const char *path, const char *path2, int err);

// ---- traps ---------------------------------------------------------------------

// Called just before a process carries out `op` on the device path `path`
// (a rename passes both of its paths; either may be null): when this is the
// operation the harness set a trap for, sends the trap's signal to this
// process. A SIGKILL never returns from here.
void trap_point(TrapOp op, const char *path, const char *path2);
// Waits as long as the harness made writes to this device path slow.
void slow_write(const char *path);

// ---- device behaviour ------------------------------------------------------

// Checks done before the real open: access a sysfs attribute does not allow,
// files the harness made unwritable. 0 or an errno.
int open_check(Kind kind, const char *real_path, int flags);
// Contents generated at read time, or false when the file's bytes are its contents.
bool generated_text(const FdEntry &e, char *buf, size_t size, size_t *len, int *err);
// Performs a write to a device file: the byte count or -errno.
ssize_t device_write(FdEntry &e, int fd, const void *buf, size_t n);
// Called after a read of a gpio value file (the kernel re-arms its poll then).
void note_read(FdEntry &e);
// Poll on a gpio value file: the events it has now and, if none, the time of
// the next change (-1: none comes by itself).
short gpio_poll_events(FdEntry &e, int64_t now, int64_t *next);
int fb_ioctl(int fd, unsigned long request, void *arg);
// A write to the panel's update file: counts the push, keeps the frame, journals it.
void panel_push(const char *path);

}  // namespace mpsim::preload

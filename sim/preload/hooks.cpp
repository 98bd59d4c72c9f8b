// The libc entry points through which a program reaches device files. Each
// one passes straight through unless it names a device path or a descriptor
// opened on one.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "sim.h"
#include "te_clock.h"

using namespace mpsim::preload;
using enum mpsim::TrapOp;

namespace {

using StatFn = int (*)(const char *, struct stat *);
using Stat64Fn = int (*)(const char *, struct stat64 *);
using FstatatFn = int (*)(int, const char *, struct stat *, int);
using Fstatat64Fn = int (*)(int, const char *, struct stat64 *, int);
using AccessFn = int (*)(const char *, int);
using FaccessatFn = int (*)(int, const char *, int, int);
using OpendirFn = DIR *(*)(const char *);
using StatxFn = int (*)(int, const char *, int, unsigned int, struct statx *);
using DupFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using FcntlFn = int (*)(int, int, ...);
using CopyRangeFn = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int);
using SendfileFn = ssize_t (*)(int, int, off_t *, size_t);
using Sendfile64Fn = ssize_t (*)(int, int, off64_t *, size_t);
using SpliceFn = ssize_t (*)(int, off64_t *, int, off64_t *, size_t, unsigned int);
using TimeFn = time_t (*)(time_t *);
using GettimeofdayFn = int (*)(struct timeval *, void *);
using ClockGettimeFn = int (*)(clockid_t, struct timespec *);
using RenameFn = int (*)(const char *, const char *);
using Renameat2Fn = int (*)(int, const char *, int, const char *, unsigned int);
using UnlinkFn = int (*)(const char *);
using FsyncFn = int (*)(int);
using SyncFn = void (*)();
using SyncfsFn = int (*)(int);

#define REAL(type, name)                          \
    type real_##name() {                          \
        static std::atomic<void *> slot{nullptr}; \
        return real_fn<type>(slot, #name);        \
    }
REAL(StatFn, stat)
REAL(StatFn, lstat)
REAL(Stat64Fn, stat64)
REAL(Stat64Fn, lstat64)
REAL(FstatatFn, fstatat)
REAL(Fstatat64Fn, fstatat64)
REAL(AccessFn, access)
REAL(FaccessatFn, faccessat)
REAL(OpendirFn, opendir)
REAL(FopenFn, fopen64)
REAL(StatxFn, statx)
REAL(DupFn, dup)
REAL(Dup2Fn, dup2)
REAL(Dup3Fn, dup3)
REAL(FcntlFn, fcntl)
REAL(CopyRangeFn, copy_file_range)
REAL(SendfileFn, sendfile)
REAL(Sendfile64Fn, sendfile64)
REAL(TimeFn, time)
REAL(GettimeofdayFn, gettimeofday)
REAL(ClockGettimeFn, clock_gettime)
#if __TIMESIZE == 32
// glibc's 64-bit-time names on a 32-bit target, which a program built with
// _TIME_BITS=64 calls in place of time(), clock_gettime(), gettimeofday()
// and ioctl(). Their struct timespec and timeval begin with a 64-bit second.
using Time64Fn = int64_t (*)(int64_t *);
using ClockGettime64Fn = int (*)(clockid_t, void *);
REAL(Time64Fn, __time64)
REAL(ClockGettime64Fn, __clock_gettime64)
using Gettimeofday64Fn = int (*)(void *, void *);
REAL(Gettimeofday64Fn, __gettimeofday64)
REAL(IoctlFn, __ioctl_time64)
#endif
REAL(RenameFn, rename)
REAL(Renameat2Fn, renameat2)
REAL(UnlinkFn, unlink)
REAL(UnlinkFn, remove)
REAL(FsyncFn, fsync)
REAL(FsyncFn, fdatasync)
REAL(SyncFn, sync)
REAL(SyncfsFn, syncfs)
REAL(SpliceFn, splice)
#undef REAL

bool needs_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// Every open of a path, whichever entry point the program used.
int open_path(int dirfd, const char *path, int flags, mode_t mode) {
    char real[kPathMax];
    if (!redirect(path, real, sizeof real)) {
        int fd = real_openat()(dirfd, path, flags, mode);
        if (fd >= 0)
            fd_forget(fd);  // the number may have been a device file's once
        return fd;
    }
    trap_point(kTrapOpen, path, nullptr);
    int gpio = -1;
    Kind kind = classify(path, &gpio);
    int err = open_check(kind, real, flags);
    int fd = -1;
    if (err == 0) {
        fd = real_openat()(AT_FDCWD, real, flags, mode);
        if (fd < 0)
            err = errno;
    }
    if (fd >= 0)
        fd_register(fd, path, kind, gpio, flags);
    journal_open(path, flags, err);
    errno = err;
    return fd;
}

int close_fd(int fd) {
    // Forget first: once closed, another thread may get the same number.
    fd_forget(fd);
    return real_close()(fd);
}

ssize_t read_fd(int fd, void *buf, size_t n, bool at, off_t off) {
    FdEntry *e = fd_entry(fd);
    if (e == nullptr)
        return at ? real_pread()(fd, buf, n, off) : real_read()(fd, buf, n);
    char text[64];
    size_t len = 0;
    int err = 0;
    if (e->accmode == O_WRONLY || !generated_text(*e, text, sizeof text, &len, &err)) {
        ssize_t r = at ? real_pread()(fd, buf, n, off) : real_read()(fd, buf, n);
        if (r >= 0)
            note_read(*e);
        return r;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    // The value is produced whole at every read, so a reader that rewinds
    // always sees the current level, and the file offset works as in sysfs.
    off_t pos = at ? off : lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    size_t got = 0;
    if (static_cast<size_t>(pos) < len) {
        got = len - static_cast<size_t>(pos);
        if (got > n)
            got = n;
        memcpy(buf, text + pos, got);
    }
    if (!at && got > 0)
        lseek(fd, pos + static_cast<off_t>(got), SEEK_SET);
    note_read(*e);
    if (e->kind.load(std::memory_order_relaxed) == kGpioValue && e->gpio >= 0 &&
        e->gpio < mpsim::kGpioLines && state().read_journal[e->gpio].load() != 0)
        journal_read(e->path, buf, static_cast<ssize_t>(got), 0);
    return static_cast<ssize_t>(got);
}

bool write_refused(const FdEntry &e, int *err) {
    mpsim::State &s = state();
    int e_no = s.write_fault_errno.load();
    if (e_no == 0)
        return false;
    if (strncmp(s.write_fault_path, e.path, sizeof s.write_fault_path) != 0)
        return false;
    int32_t c = s.write_fault_count.load();
    for (;;) {
        if (c == 0)
            return false;
        if (c < 0)
            break;
        if (s.write_fault_count.compare_exchange_weak(c, c - 1))
            break;
    }
    *err = e_no;
    return true;
}

ssize_t write_fd(int fd, const void *buf, size_t n) {
    FdEntry *e = fd_entry(fd);
    if (e == nullptr)
        return real_write()(fd, buf, n);
    trap_point(kTrapWrite, e->path, nullptr);
    slow_write(e->path);
    int err = 0;
    ssize_t r = -1;
    if (e->accmode == O_RDONLY) {
        err = EBADF;
    } else if (!write_refused(*e, &err)) {
        r = device_write(*e, fd, buf, n);
        if (r < 0) {
            err = static_cast<int>(-r);
            r = -1;
        }
    }
    journal_write(e->path, buf, n, r, err);
    if (r >= 0 && e->kind.load(std::memory_order_relaxed) == kUpdate)
        panel_push(e->path);
    errno = err;
    return r;
}

// Copies inside the kernel would bypass read() and write(); sysfs refuses
// them too, and tools like cat then fall back to reading and writing.
bool refuse_kernel_copy(int a, int b) {
    if (fd_entry(a) == nullptr && fd_entry(b) == nullptr)
        return false;
    errno = EINVAL;
    return true;
}

// ---- poll --------------------------------------------------------------------

constexpr int kMaxPollFds = 256;
constexpr int64_t kSlice = 20000000;  // re-read the panel's settings this often while waiting

timespec to_ts(int64_t ns) {
    if (ns < 0)
        ns = 0;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

// poll and ppoll over a set that holds gpio value descriptors: those are
// answered here from the TE line's schedule, the rest by the real ppoll.
int poll_fds(struct pollfd *fds, nfds_t nfds, int64_t timeout_ns, const sigset_t *sigmask,
             bool *handled) {
    *handled = false;
    if (root() == nullptr || nfds > kMaxPollFds)
        return 0;
    FdEntry *entries[kMaxPollFds];
    bool any = false;
    for (nfds_t i = 0; i < nfds; ++i) {
        FdEntry *e = fds[i].fd >= 0 ? fd_entry(fds[i].fd) : nullptr;
        if (e != nullptr && e->kind.load(std::memory_order_relaxed) != kGpioValue)
            e = nullptr;
        entries[i] = e;
        any = any || e != nullptr;
    }
    if (!any)
        return 0;
    *handled = true;

    struct pollfd others[kMaxPollFds];
    nfds_t map[kMaxPollFds];
    nfds_t n_others = 0;
    for (nfds_t i = 0; i < nfds; ++i) {
        fds[i].revents = 0;
        if (entries[i] == nullptr) {
            others[n_others] = fds[i];
            map[n_others++] = i;
        }
    }
    // Time-outs and edges are on the panel's time; the waits in between are
    // real ones of what is left.
    mpsim::State &s = state();
    const int64_t start = mpsim::te::panel_ns(s);
    const int64_t deadline = timeout_ns < 0 ? -1 : start + timeout_ns;
    // kernfs always reports these for an attribute; the events mask filters them.
    const short base = POLLIN | POLLRDNORM | POLLOUT | POLLWRNORM;
    for (bool first = true;; first = false) {
        int64_t now = mpsim::te::panel_ns(s);
        int64_t wake = -1;
        int ready = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            if (entries[i] == nullptr)
                continue;
            int64_t next = -1;
            short ev = static_cast<short>(base | gpio_poll_events(*entries[i], now, &next));
            fds[i].revents = static_cast<short>(ev & (fds[i].events | POLLERR | POLLHUP));
            if (fds[i].revents != 0)
                ++ready;
            if (next >= 0 && (wake < 0 || next < wake))
                wake = next;
        }
        bool expired = deadline >= 0 && now >= deadline;
        if (ready > 0 || expired) {
            if (n_others > 0) {
                timespec zero{};
                int r = real_ppoll()(others, n_others, &zero, sigmask);
                if (r < 0)
                    return -1;
                for (nfds_t j = 0; j < n_others; ++j)
                    fds[map[j]].revents = others[j].revents;
                ready += r;
            }
            return ready;
        }
        (void)first;
        int64_t until = now + kSlice;
        if (wake >= 0 && wake < until)
            until = wake;
        if (deadline >= 0 && deadline < until)
            until = deadline;
        if (n_others > 0 || sigmask != nullptr) {
            timespec rel = to_ts(until - now);
            int r = real_ppoll()(others, n_others, &rel, sigmask);
            if (r < 0)
                return -1;
            if (r > 0) {
                for (nfds_t j = 0; j < n_others; ++j)
                    fds[map[j]].revents = others[j].revents;
                return r;
            }
        } else {
            timespec rel = to_ts(until - now);
            int r = clock_nanosleep(CLOCK_MONOTONIC, 0, &rel, nullptr);
            if (r == EINTR) {
                errno = EINTR;
                return -1;
            }
        }
    }
}

int poll_ms(struct pollfd *fds, nfds_t nfds, int timeout) {
    bool handled = false;
    int64_t t = timeout < 0 ? -1 : static_cast<int64_t>(timeout) * 1000000;
    int r = poll_fds(fds, nfds, t, nullptr, &handled);
    return handled ? r : real_poll()(fds, nfds, timeout);
}

int open_flags_from_mode(const char *mode, int *flags) {
    int f = 0;
    switch (mode[0]) {
        case 'r':
            f = O_RDONLY;
            break;
        case 'w':
            f = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 'a':
            f = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            return EINVAL;
    }
    for (const char *m = mode + 1; *m != '\0' && *m != ','; ++m) {
        if (*m == '+')
            f = (f & ~O_ACCMODE) | O_RDWR;
        if (*m == 'e')
            f |= O_CLOEXEC;
        if (*m == 'x')
            f |= O_EXCL;
    }
    *flags = f;
    return 0;
}

// ---- stdio streams over device files ---------------------------------------------

// glibc's stdio reads and writes through internal calls that no preloaded
// symbol sees, so a stream on a device file is a cookie stream whose
// functions go through the same paths as read() and write().
ssize_t ck_read(void *c, char *buf, size_t n) {
    return read_fd(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n, false, 0);
}
ssize_t ck_write(void *c, const char *buf, size_t n) {
    ssize_t r = write_fd(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
    return r < 0 ? 0 : r;  // stdio sees 0 as an error and keeps errno
}
int ck_seek(void *c, off64_t *pos, int whence) {
    off64_t r = lseek64(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int ck_close(void *c) {
    return close_fd(static_cast<int>(reinterpret_cast<intptr_t>(c)));
}

FILE *open_stream(const char *path, const char *mode, FopenFn real) {
    char tmp[kPathMax];
    if (path == nullptr || mode == nullptr || !redirect(path, tmp, sizeof tmp)) {
        FILE *f = real(path, mode);
        if (f != nullptr)
            fd_forget(fileno(f));
        return f;
    }
    int flags = 0;
    int err = open_flags_from_mode(mode, &flags);
    if (err != 0) {
        errno = err;
        return nullptr;
    }
    int fd = open_path(AT_FDCWD, path, flags, 0666);
    if (fd < 0)
        return nullptr;
    cookie_io_functions_t io{ck_read, ck_write, ck_seek, ck_close};
    FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    if (f == nullptr) {
        err = errno;
        close_fd(fd);
        errno = err;
        return nullptr;
    }
    // fileno() of the stream gives the descriptor, as for an ordinary stream
    // (libstdc++'s file streams read and write through it).
    f->_fileno = fd;
    return f;
}

// ---- renaming, removing and syncing device files -----------------------------------

// A rename whose paths are not both on the device crosses a mount: the
// kernel refuses it with EXDEV before touching either side.
int rename_paths(int from_dir, const char *from, int to_dir, const char *to, unsigned flags,
                 int (*pass)(int, const char *, int, const char *, unsigned)) {
    char a[kPathMax];
    char b[kPathMax];
    const bool dev_a = redirect(from, a, sizeof a);
    const bool dev_b = redirect(to, b, sizeof b);
    if ((!dev_a && !dev_b) || from == nullptr || to == nullptr)
        return pass(from_dir, from, to_dir, to, flags);
    trap_point(kTrapRename, dev_a ? from : nullptr, dev_b ? to : nullptr);
    int err = EXDEV;
    if (dev_a && dev_b) {
        int r = flags == 0 ? real_renameat()(AT_FDCWD, a, AT_FDCWD, b)
                           : real_renameat2()(AT_FDCWD, a, AT_FDCWD, b, flags);
        err = r == 0 ? 0 : errno;
    }
    journal_result("rename", from, to, err);
    errno = err;
    return err == 0 ? 0 : -1;
}

int pass_rename(int, const char *from, int, const char *to, unsigned) {
    return real_rename()(from, to);
}
int pass_renameat(int fd, const char *from, int to_fd, const char *to, unsigned) {
    return real_renameat()(fd, from, to_fd, to);
}
int pass_renameat2(int fd, const char *from, int to_fd, const char *to, unsigned flags) {
    return real_renameat2()(fd, from, to_fd, to, flags);
}

// unlink, unlinkat and remove; `how` is the real call for other paths and,
// with the redirected path, for device paths.
template <typename How>
int unlink_path(const char *path, How how) {
    char real[kPathMax];
    if (!redirect(path, real, sizeof real))
        return how(path);
    trap_point(kTrapUnlink, path, nullptr);
    int err = how(real) == 0 ? 0 : errno;
    journal_result("unlink", path, nullptr, err);
    errno = err;
    return err == 0 ? 0 : -1;
}

int sync_fd(int fd, FsyncFn real) {
    FdEntry *e = fd_entry(fd);
    if (e == nullptr)
        return real(fd);
    trap_point(kTrapFsync, e->path, nullptr);
    int err = real(fd) == 0 ? 0 : errno;
    journal_result("fsync", e->path, nullptr, err);
    errno = err;
    return err == 0 ? 0 : -1;
}

// ---- the panel's time ----------------------------------------------------------

// Every process on the device looks at the panel's time each beat, so that
// the first look after a stop of the device's processor is never the
// program's own reading across a long sleep (te_clock.h). The thread takes no signals:
// those stay with the program's threads.
void *heartbeat(void *state) {
    mpsim::State &s = *static_cast<mpsim::State *>(state);
    const timespec beat = to_ts(mpsim::te::kBeat);
    for (;;) {
        mpsim::te::panel_ns(s);
        clock_nanosleep(CLOCK_MONOTONIC, 0, &beat, nullptr);
    }
    return nullptr;
}

__attribute__((constructor)) void start_heartbeat() {
    if (root() == nullptr)
        return;
    // Mapped here, before the thread exists: a sanitizer sees the program's
    // threads read the state after its creation.
    mpsim::State *s = &state();
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    pthread_attr_t a;
    pthread_attr_init(&a);
    pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&a, 64 << 10);
    pthread_t t;
    pthread_create(&t, &a, heartbeat, s);
    pthread_attr_destroy(&a);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// ---- the wall clock ----------------------------------------------------------------

// Seconds the wall clock is off now. `counted` is a call of time(): the
// program's calls count down to the step.
int32_t wall_offset(bool counted) {
    mpsim::State &s = state();
    const int32_t offset = s.wall_clock_offset.load();
    if (offset == 0)
        return 0;
    int32_t left = s.wall_clock_step_after.load();
    if (left <= 0)
        return offset;
    if (!counted)
        return 0;
    const int32_t pid = s.program_pid.load();
    if (pid != 0 && pid != static_cast<int32_t>(getpid()))
        return 0;
    while (left > 0) {
        if (s.wall_clock_step_after.compare_exchange_weak(left, left - 1))
            return 0;
    }
    return offset;
}

template <typename Fn, typename... A>
auto with_path(Fn real, const char *path, A... a) {
    char tmp[kPathMax];
    return real(redirect(path, tmp, sizeof tmp) ? tmp : path, a...);
}

}  // namespace

int mpsim::preload::machine_clock_gettime(clockid_t clock, timespec *ts) {
    return real_clock_gettime()(clock, ts);
}

// ---- exported entry points ---------------------------------------------------------

extern "C" {

#define OPEN_MODE(flags)                             \
    mode_t mode = 0;                                 \
    if (needs_mode(flags)) {                         \
        va_list ap;                                  \
        va_start(ap, flags);                         \
        mode = static_cast<mode_t>(va_arg(ap, int)); \
        va_end(ap);                                  \
    }

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    OPEN_MODE(flags)
    return open_path(AT_FDCWD, path, flags, mode);
}
__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    OPEN_MODE(flags)
    return open_path(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}
__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    return open_path(AT_FDCWD, path, flags, 0);
}
__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    return open_path(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}
__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE(flags)
    return open_path(dirfd, path, flags, mode);
}
__attribute__((visibility("default"))) int openat64(int dirfd, const char *path, int flags, ...) {
    OPEN_MODE(flags)
    return open_path(dirfd, path, flags | O_LARGEFILE, mode);
}
__attribute__((visibility("default"))) int __openat_2(int dirfd, const char *path, int flags) {
    return open_path(dirfd, path, flags, 0);
}
__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char *path, int flags) {
    return open_path(dirfd, path, flags | O_LARGEFILE, 0);
}
__attribute__((visibility("default"))) int creat(const char *path, mode_t mode) {
    return open_path(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
__attribute__((visibility("default"))) int creat64(const char *path, mode_t mode) {
    return open_path(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_LARGEFILE, mode);
}
#undef OPEN_MODE

__attribute__((visibility("default"))) FILE *fopen(const char *path, const char *mode) {
    return open_stream(path, mode, real_fopen());
}
__attribute__((visibility("default"))) FILE *fopen64(const char *path, const char *mode) {
    return open_stream(path, mode, real_fopen64());
}

// The harness may hold the wall clock so that a window timed in whole
// seconds stays open for as long as a test needs it, or step it as a clock
// set at boot does. Only time() is held; every reading of the wall clock steps.
extern "C++" template <class T, class Real>
T held_time(T *t, Real real) {
    if (root() == nullptr)
        return real(t);
    int32_t held = state().wall_clock_hold.load();
    T now = held != 0 ? static_cast<T>(held) : real(nullptr);
    now += wall_offset(true);
    if (t != nullptr)
        *t = now;
    return now;
}
__attribute__((visibility("default"))) time_t time(time_t *t) {
    return held_time(t, real_time());
}
__attribute__((visibility("default"))) int gettimeofday(struct timeval *tv, void *tz) {
    int r = real_gettimeofday()(tv, tz);
    if (r == 0 && root() != nullptr)
        tv->tv_sec += wall_offset(false);
    return r;
}
// CLOCK_MONOTONIC is the panel's time (te_clock.h): it leaves out the
// moments the device stood still, as the panel's TE line does.
__attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec *ts) {
    int r = real_clock_gettime()(clock, ts);
    if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) && root() != nullptr)
        ts->tv_sec += wall_offset(false);
    if (r == 0 && clock == CLOCK_MONOTONIC && root() != nullptr)
        *ts = to_ts(mpsim::te::panel_ns(state()));
    return r;
}
#if __TIMESIZE == 32
__attribute__((visibility("default"))) int64_t __time64(int64_t *t) {
    return held_time(t, real___time64());
}
__attribute__((visibility("default"))) int __clock_gettime64(clockid_t clock, void *ts) {
    int r = real___clock_gettime64()(clock, ts);
    if (r == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE) && root() != nullptr)
        *static_cast<int64_t *>(ts) += wall_offset(false);
    if (r == 0 && clock == CLOCK_MONOTONIC && root() != nullptr) {
        // struct __timespec64: a 64-bit second, then a 32-bit nanosecond.
        const int64_t t = mpsim::te::panel_ns(state());
        const int64_t sec = t / 1000000000;
        const auto nsec = static_cast<int32_t>(t % 1000000000);
        memcpy(ts, &sec, sizeof sec);
        memcpy(static_cast<char *>(ts) + sizeof sec, &nsec, sizeof nsec);
    }
    return r;
}
__attribute__((visibility("default"))) int __gettimeofday64(void *tv, void *tz) {
    int r = real___gettimeofday64()(tv, tz);
    if (r == 0 && root() != nullptr && tv != nullptr)
        *static_cast<int64_t *>(tv) += wall_offset(false);
    return r;
}
#endif

__attribute__((visibility("default"))) int rename(const char *from, const char *to) {
    return rename_paths(AT_FDCWD, from, AT_FDCWD, to, 0, pass_rename);
}
__attribute__((visibility("default"))) int renameat(int from_dir, const char *from, int to_dir,
                                                    const char *to) {
    return rename_paths(from_dir, from, to_dir, to, 0, pass_renameat);
}
__attribute__((visibility("default"))) int renameat2(int from_dir, const char *from, int to_dir,
                                                     const char *to, unsigned int flags) {
    return rename_paths(from_dir, from, to_dir, to, flags, pass_renameat2);
}
__attribute__((visibility("default"))) int unlink(const char *path) {
    return unlink_path(path, [](const char *p) { return real_unlink()(p); });
}
__attribute__((visibility("default"))) int unlinkat(int dirfd, const char *path, int flags) {
    return unlink_path(path, [&](const char *p) {
        // A redirected path is absolute: the folder descriptor no longer matters.
        return real_unlinkat()(p[0] == '/' ? AT_FDCWD : dirfd, p, flags);
    });
}
// glibc's remove() reaches unlink and rmdir internally, past the symbols above.
__attribute__((visibility("default"))) int remove(const char *path) {
    return unlink_path(path, [](const char *p) { return real_remove()(p); });
}
__attribute__((visibility("default"))) int fsync(int fd) {
    return sync_fd(fd, real_fsync());
}
__attribute__((visibility("default"))) int fdatasync(int fd) {
    return sync_fd(fd, real_fdatasync());
}
// "sync" after a store: what makes a rename itself reach the disk. The
// device's storage is a folder of the machine, so the call goes through as
// it is; the journal keeps when it happened.
__attribute__((visibility("default"))) void sync() {
    real_sync()();
    if (root() != nullptr)
        journal_result("sync", "/", nullptr, 0);
}
__attribute__((visibility("default"))) int syncfs(int fd) {
    const int r = real_syncfs()(fd);
    const int err = r == 0 ? 0 : errno;
    if (root() != nullptr)
        journal_result("sync", "/", nullptr, err);
    errno = err;
    return r;
}

__attribute__((visibility("default"))) int close(int fd) {
    return close_fd(fd);
}

// The shell's redirections (echo 1 > /sys/...) write through a duplicate.
__attribute__((visibility("default"))) int dup(int fd) {
    int r = real_dup()(fd);
    if (r >= 0)
        fd_copy(fd, r);
    return r;
}
__attribute__((visibility("default"))) int dup2(int fd, int to) {
    if (fd != to)
        fd_forget(to);
    int r = real_dup2()(fd, to);
    if (r >= 0 && fd != to)
        fd_copy(fd, r);
    return r;
}
__attribute__((visibility("default"))) int dup3(int fd, int to, int flags) {
    fd_forget(to);
    int r = real_dup3()(fd, to, flags);
    if (r >= 0)
        fd_copy(fd, r);
    return r;
}
__attribute__((visibility("default"))) int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int r = real_fcntl()(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
        fd_copy(fd, r);
    return r;
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t n) {
    return read_fd(fd, buf, n, false, 0);
}
__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buf, size_t n,
                                                          size_t buflen) {
    if (n > buflen)
        abort();  // what glibc's check does, without its message
    return read_fd(fd, buf, n, false, 0);
}
__attribute__((visibility("default"))) ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    return read_fd(fd, buf, n, true, off);
}
__attribute__((visibility("default"))) ssize_t pread64(int fd, void *buf, size_t n, off64_t off) {
    return read_fd(fd, buf, n, true, static_cast<off_t>(off));
}
__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t n) {
    return write_fd(fd, buf, n);
}

__attribute__((visibility("default"))) ssize_t copy_file_range(int in, off64_t *in_off, int out,
                                                               off64_t *out_off, size_t n,
                                                               unsigned int flags) {
    if (refuse_kernel_copy(in, out))
        return -1;
    return real_copy_file_range()(in, in_off, out, out_off, n, flags);
}
__attribute__((visibility("default"))) ssize_t sendfile(int out, int in, off_t *off, size_t n) {
    if (refuse_kernel_copy(in, out))
        return -1;
    return real_sendfile()(out, in, off, n);
}
__attribute__((visibility("default"))) ssize_t sendfile64(int out, int in, off64_t *off, size_t n) {
    if (refuse_kernel_copy(in, out))
        return -1;
    return real_sendfile64()(out, in, off, n);
}
__attribute__((visibility("default"))) ssize_t splice(int in, off64_t *in_off, int out,
                                                      off64_t *out_off, size_t n,
                                                      unsigned int flags) {
    if (refuse_kernel_copy(in, out))
        return -1;
    return real_splice()(in, in_off, out, out_off, n, flags);
}

__attribute__((visibility("default"))) int poll(struct pollfd *fds, nfds_t nfds, int timeout) {
    return poll_ms(fds, nfds, timeout);
}
__attribute__((visibility("default"))) int __poll_chk(struct pollfd *fds, nfds_t nfds, int timeout,
                                                      size_t fdslen) {
    if (fdslen / sizeof *fds < nfds)
        abort();
    return poll_ms(fds, nfds, timeout);
}
__attribute__((visibility("default"))) int ppoll(struct pollfd *fds, nfds_t nfds,
                                                 const struct timespec *tmo,
                                                 const sigset_t *sigmask) {
    bool handled = false;
    int64_t t = tmo == nullptr ? -1 : static_cast<int64_t>(tmo->tv_sec) * 1000000000 + tmo->tv_nsec;
    int r = poll_fds(fds, nfds, t, sigmask, &handled);
    return handled ? r : real_ppoll()(fds, nfds, tmo, sigmask);
}

extern "C++" template <class Real>
int device_ioctl(int fd, unsigned long request, void *arg, Real real) {
    FdEntry *e = fd_entry(fd);
    if (e == nullptr)
        return real(fd, request, arg);
    int r = e->kind.load(std::memory_order_relaxed) == kFramebuffer ? fb_ioctl(fd, request, arg)
                                                                    : -ENOTTY;
    if (r < 0) {
        errno = -r;
        return -1;
    }
    return r;
}
__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return device_ioctl(fd, request, arg, real_ioctl());
}
#if __TIMESIZE == 32
__attribute__((visibility("default"))) int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return device_ioctl(fd, request, arg, real___ioctl_time64());
}
#endif

__attribute__((visibility("default"))) int stat(const char *path, struct stat *st) {
    return with_path(real_stat(), path, st);
}
__attribute__((visibility("default"))) int lstat(const char *path, struct stat *st) {
    return with_path(real_lstat(), path, st);
}
__attribute__((visibility("default"))) int stat64(const char *path, struct stat64 *st) {
    return with_path(real_stat64(), path, st);
}
__attribute__((visibility("default"))) int lstat64(const char *path, struct stat64 *st) {
    return with_path(real_lstat64(), path, st);
}
__attribute__((visibility("default"))) int fstatat(int dirfd, const char *path, struct stat *st,
                                                   int flags) {
    char tmp[kPathMax];
    return real_fstatat()(dirfd, redirect(path, tmp, sizeof tmp) ? tmp : path, st, flags);
}
__attribute__((visibility("default"))) int fstatat64(int dirfd, const char *path, struct stat64 *st,
                                                     int flags) {
    char tmp[kPathMax];
    return real_fstatat64()(dirfd, redirect(path, tmp, sizeof tmp) ? tmp : path, st, flags);
}
__attribute__((visibility("default"))) int access(const char *path, int mode) {
    return with_path(real_access(), path, mode);
}
__attribute__((visibility("default"))) int faccessat(int dirfd, const char *path, int mode,
                                                     int flags) {
    char tmp[kPathMax];
    return real_faccessat()(dirfd, redirect(path, tmp, sizeof tmp) ? tmp : path, mode, flags);
}
__attribute__((visibility("default"))) int statx(int dirfd, const char *path, int flags,
                                                 unsigned int mask, struct statx *st) {
    char tmp[kPathMax];
    return real_statx()(dirfd, redirect(path, tmp, sizeof tmp) ? tmp : path, flags, mask, st);
}
__attribute__((visibility("default"))) DIR *opendir(const char *path) {
    return with_path(real_opendir(), path);
}

}  // extern "C"

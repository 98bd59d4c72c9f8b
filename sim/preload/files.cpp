// The device root, the path redirection, the shared state, the descriptor
// table and the journal.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "mpsim/journal.h"
#include "sim.h"
#include "te_clock.h"

namespace mpsim::preload {

void *lookup(std::atomic<void *> &slot, const char *name) {
    // dlsym may be called by two threads at once; both find the same address.
    void *p = dlsym(RTLD_NEXT, name);
    slot.store(p, std::memory_order_release);
    return p;
}

// ---- root ------------------------------------------------------------------

namespace {

char g_root[kPathMax];
std::atomic<int> g_root_state{0};  // 0 not looked at, 1 looking, 2 off, 3 on

}  // namespace

const char *root() {
    int s = g_root_state.load(std::memory_order_acquire);
    if (s == 0) {
        int expected = 0;
        if (g_root_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
            const char *r = getenv("MPSIM_ROOT");
            int next = 2;
            // Leave room for the longest device path below the root.
            if (r != nullptr && r[0] == '/' && strlen(r) < kPathMax - 512) {
                strcpy(g_root, r);
                size_t len = strlen(g_root);
                while (len > 1 && g_root[len - 1] == '/')
                    g_root[--len] = '\0';
                next = 3;
            }
            g_root_state.store(next, std::memory_order_release);
        }
        while ((s = g_root_state.load(std::memory_order_acquire)) == 1)
            sched_yield();
    }
    return s == 3 ? g_root : nullptr;
}

// `dir` itself or anything below it.
static bool in_tree(const char *p, const char *dir, size_t len) {
    return strncmp(p, dir, len) == 0 && (p[len] == '\0' || p[len] == '/');
}

// All of /mnt, not just the storage folder: a program that opens /mnt/UDISK
// as a folder (to fsync it after a rename) or strays next to it must never
// reach the machine's own /mnt.
static bool is_device_path(const char *p) {
    return in_tree(p, "/sys", 4) || in_tree(p, "/mnt", 4) || strcmp(p, BOARD_FRAMEBUFFER) == 0 ||
           strcmp(p, BOARD_SYSTEM_VERSION) == 0;
}

bool redirect(const char *path, char *out, size_t size) {
    if (path == nullptr || path[0] != '/' || !is_device_path(path))
        return false;
    const char *r = root();
    if (r == nullptr)
        return false;
    int n = snprintf(out, size, "%s%s", r, path);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        // Too long to redirect: make sure the machine's own file is not reached.
        snprintf(out, size, "%s/.sim/too-long", r);
    }
    return true;
}

bool root_file(char *out, size_t size, const char *rel) {
    const char *r = root();
    if (r == nullptr)
        return false;
    int n = snprintf(out, size, "%s/%s", r, rel);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool put_file(const char *abs_path, const char *text, mode_t mode) {
    int fd = real_openat()(AT_FDCWD, abs_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t len = strlen(text);
    bool ok = real_write()(fd, text, len) == static_cast<ssize_t>(len);
    real_close()(fd);
    return ok;
}

// ---- state -------------------------------------------------------------------

namespace {

State g_fallback;  // used when the root holds no state file
std::atomic<State *> g_state{nullptr};

void init_fallback(State &s) {
    fresh_board(s, BOARD_TE_CLOCK);
    te::store64(s.te_epoch_hi, s.te_epoch_lo, te::panel_ns(s));
}

}  // namespace

State &state() {
    State *s = g_state.load(std::memory_order_acquire);
    if (s != nullptr)
        return *s;
    State *found = nullptr;
    char path[kPathMax];
    if (root_file(path, sizeof path, ".sim/state")) {
        int fd = real_openat()(AT_FDCWD, path, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st {};
            if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(State))) {
                void *m = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (m != MAP_FAILED) {
                    found = static_cast<State *>(m);
                    if (found->magic != kStateMagic || found->version != kStateVersion) {
                        munmap(m, sizeof(State));
                        found = nullptr;
                    }
                }
            }
            real_close()(fd);
        }
    }
    if (found == nullptr) {
        static std::atomic<int> fallback_ready{0};
        int expected = 0;
        if (fallback_ready.compare_exchange_strong(expected, 1)) {
            init_fallback(g_fallback);
            fallback_ready.store(2, std::memory_order_release);
        }
        while (fallback_ready.load(std::memory_order_acquire) != 2)
            sched_yield();
        found = &g_fallback;
    }
    State *expected = nullptr;
    if (!g_state.compare_exchange_strong(expected, found, std::memory_order_acq_rel)) {
        if (found != &g_fallback)
            munmap(found, sizeof(State));
        return *expected;
    }
    return *found;
}

// ---- descriptor table ----------------------------------------------------------

namespace {

constexpr int kMaxFds = 4096;
FdEntry g_fds[kMaxFds];
// Orders the reuse of a slot by another thread after a close (the kernel
// hands the number on; a mutex makes that hand-over visible to
// ThreadSanitizer in an instrumented program, which cannot see our atomics).
pthread_mutex_t g_fds_mu = PTHREAD_MUTEX_INITIALIZER;

struct FdTableLock {
    FdTableLock() { pthread_mutex_lock(&g_fds_mu); }
    ~FdTableLock() { pthread_mutex_unlock(&g_fds_mu); }
    FdTableLock(const FdTableLock &) = delete;
    FdTableLock &operator=(const FdTableLock &) = delete;
};

bool starts(const char *s, const char *prefix, const char **rest) {
    size_t n = strlen(prefix);
    if (strncmp(s, prefix, n) != 0)
        return false;
    *rest = s + n;
    return true;
}

}  // namespace

Kind classify(const char *path, int *gpio) {
    static constexpr std::pair<const char *, Kind> kFiles[] = {
        {BOARD_FRAMEBUFFER, kFramebuffer},    {BOARD_GPIO_EXPORT, kGpioExport},
        {BOARD_GPIO_UNEXPORT, kGpioUnexport}, {BOARD_KEYS_UNBIND, kKeysUnbind},
        {BOARD_KEYS_BIND, kKeysBind},         {BOARD_ADC_VOLUME, kAdcVol},
        {BOARD_ADC_BATTERY, kAdcBat},         {BOARD_PWM_EXPORT, kPwmExport},
        {BOARD_PANEL_PORCH, kPorch},          {BOARD_PANEL_UPDATE, kUpdate}};
    *gpio = -1;
    for (const auto &[file, kind] : kFiles)
        if (strcmp(path, file) == 0)
            return kind;
    const char *rest = nullptr;
    if (starts(path, "/sys/class/gpio/gpio", &rest) && *rest >= '0' && *rest <= '9') {
        int n = 0;
        while (*rest >= '0' && *rest <= '9' && n < 100000)
            n = n * 10 + (*rest++ - '0');
        *gpio = n;
        if (strcmp(rest, "/value") == 0)
            return kGpioValue;
        if (strcmp(rest, "/direction") == 0)
            return kGpioDirection;
        if (strcmp(rest, "/edge") == 0)
            return kGpioEdge;
        *gpio = -1;
    }
    return kPlain;
}

FdEntry *fd_entry(int fd) {
    if (fd < 0 || fd >= kMaxFds)
        return nullptr;
    FdEntry &e = g_fds[fd];
    if (e.kind.load(std::memory_order_acquire) == kNone)
        return nullptr;
    // A descriptor closed behind our back (say by fclose of an fdopen stream)
    // may have been reused for another file: trust the entry only while the
    // descriptor still names the file that was opened.
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_dev != e.dev || st.st_ino != e.ino)
        return nullptr;
    return &e;
}

void fd_register(int fd, const char *path, Kind kind, int gpio, int flags) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    FdEntry &e = g_fds[fd];
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return;
    FdTableLock lock;
    e.kind.store(kNone, std::memory_order_relaxed);
    e.gpio = gpio;
    e.accmode = flags & O_ACCMODE;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    e.seen.store(-1);
    snprintf(e.path, sizeof e.path, "%s", path);
    e.kind.store(kind, std::memory_order_release);
}

void fd_forget(int fd) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    FdTableLock lock;
    if (g_fds[fd].kind.load(std::memory_order_relaxed) != kNone)
        g_fds[fd].kind.store(kNone, std::memory_order_release);
}

void fd_copy(int from, int to) {
    if (to < 0 || to >= kMaxFds)
        return;
    FdEntry *src = fd_entry(from);
    if (src == nullptr) {
        fd_forget(to);
        return;
    }
    FdTableLock lock;
    FdEntry &e = g_fds[to];
    e.kind.store(kNone, std::memory_order_relaxed);
    e.gpio = src->gpio;
    e.accmode = src->accmode;
    e.dev = src->dev;
    e.ino = src->ino;
    e.seen.store(src->seen.load());
    memcpy(e.path, src->path, sizeof e.path);
    e.kind.store(src->kind.load(std::memory_order_relaxed), std::memory_order_release);
}

// ---- journal -------------------------------------------------------------------

const char *errno_name(int err, char *buf, size_t size) {
    const char *n = strerrorname_np(err);
    if (n != nullptr)
        return n;
    snprintf(buf, size, "E%d", err);
    return buf;
}

namespace {

void journal_append(const char *line, size_t len) {
    char path[kPathMax];
    if (!root_file(path, sizeof path, ".sim/journal"))
        return;
    // Opened per line: the program may close descriptors it does not know
    // about, and O_APPEND keeps lines of several processes whole.
    int fd = real_openat()(AT_FDCWD, path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t r = real_write()(fd, line, len);
    (void)r;
    real_close()(fd);
}

// One line from its fields, on the stack unless the bytes make it long.
void journal(const JournalLine &l) {
    char small[2048];
    const size_t len = format_journal_line(small, sizeof small, l);
    if (len <= sizeof small) {
        journal_append(small, len);
        return;
    }
    auto *line = static_cast<char *>(malloc(len));
    if (line == nullptr)
        return;
    format_journal_line(line, len, l);
    journal_append(line, len);
    free(line);
}

JournalLine line_of(const char *op, const char *path) {
    JournalLine l;
    l.time_ns = static_cast<uint64_t>(te::now_ns());
    l.pid = getpid();
    l.op = op;
    l.path = path;
    return l;
}

// A result: "ok" for 0, else the errno's name.
const char *result_text(int err, char *buf, size_t size) {
    return err == 0 ? "ok" : errno_name(err, buf, size);
}

// A write or a read: its bytes, and the count or the errno's name.
void journal_io(const char *op, const char *path, const void *buf, size_t n, ssize_t result,
                int err) {
    JournalLine l = line_of(op, path);
    l.bytes = buf;
    l.nbytes = n;
    char rb[24];
    if (result >= 0)
        snprintf(rb, sizeof rb, "%lld", static_cast<long long>(result));
    l.result = result >= 0 ? rb : errno_name(err, rb, sizeof rb);
    journal(l);
}

}  // namespace

void journal_open(const char *path, int flags, int result_errno) {
    const int acc = flags & O_ACCMODE;
    const bool creat = (flags & O_CREAT) != 0;
    JournalLine l = line_of("open", path);
    l.arg = acc == O_WRONLY ? (creat ? "wc" : "w")
            : acc == O_RDWR ? (creat ? "rwc" : "rw")
                            : (creat ? "rc" : "r");
    char eb[16];
    l.result = result_text(result_errno, eb, sizeof eb);
    journal(l);
}

void journal_write(const char *path, const void *buf, size_t n, ssize_t result, int err) {
    journal_io("write", path, buf, n, result, err);
}

void journal_read(const char *path, const void *buf, ssize_t result, int err) {
    journal_io("read", path, buf, result > 0 ? static_cast<size_t>(result) : 0, result, err);
}

void journal_push(const char *path, int frame_index, int push) {
    JournalLine l = line_of("push", path);
    char index[16], number[16];
    snprintf(index, sizeof index, "%d", frame_index);
    snprintf(number, sizeof number, "%d", push);
    l.arg = index;
    l.result = number;
    journal(l);
}

void journal_result(const char *op, const char *path, const char *path2, int err) {
    JournalLine l = line_of(op, path);
    l.arg = path2;
    char eb[16];
    l.result = result_text(err, eb, sizeof eb);
    journal(l);
}

// ---- traps -----------------------------------------------------------------------

namespace {

bool starts_with_prefix(const char *path, const char *prefix, size_t n) {
    return path != nullptr && strncmp(path, prefix, n) == 0;
}

}  // namespace

void trap_point(TrapOp op, const char *path, const char *path2) {
    State &s = state();
    if (s.trap_nth.load(std::memory_order_acquire) <= 0 || s.trap_op.load() != op)
        return;
    const size_t n = strnlen(s.trap_prefix, sizeof s.trap_prefix);
    if (!starts_with_prefix(path, s.trap_prefix, n) && !starts_with_prefix(path2, s.trap_prefix, n))
        return;
    // Each matching operation of any process or thread takes one count; the
    // one that takes the last is stopped.
    int32_t left = s.trap_nth.load();
    while (left > 0 && !s.trap_nth.compare_exchange_weak(left, left - 1)) {
    }
    if (left != 1)
        return;
    // To the process, not this thread: the program takes its stop signals in a
    // thread of its own, as it would from init or the power supervisor.
    kill(getpid(), s.trap_sig.load());
}

void slow_write(const char *path) {
    State &s = state();
    const int32_t us = s.slow_write_us.load(std::memory_order_acquire);
    if (us <= 0 || !starts_with_prefix(path, s.slow_write_prefix,
                                       strnlen(s.slow_write_prefix, sizeof s.slow_write_prefix)))
        return;
    usleep(static_cast<useconds_t>(us));
}

}  // namespace mpsim::preload

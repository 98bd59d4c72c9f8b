// A simulated device: its root folder, the program running on it and what
// its hardware saw.
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "mpsim/harness.h"
#include "te_clock.h"

extern char **environ;

namespace mpsim {

namespace fs = std::filesystem;

namespace {

// How often waits look again. Under instruction-set emulation the harness is
// emulated too, and looking often would take the CPU the emulated program
// needs to keep up with the panel's TE edges.
const Ms kPollStep{sizeof(MPSIM_EMULATOR_DEFAULT) > 1 ? 20 : 10};

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error("mpsim: " + what + ": " + strerror(errno));
}

void write_text(const fs::path &p, const std::string &bytes, mode_t mode = 0644) {
    fs::create_directories(p.parent_path());
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        fail("create " + p.string());
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = write(fd, bytes.data() + done, bytes.size() - done);
        if (r <= 0) {
            close(fd);
            fail("write " + p.string());
        }
        done += static_cast<size_t>(r);
    }
    close(fd);
}

std::string resolve_program(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string d;
    while (std::getline(dirs, d, ':')) {
        std::string cand = (d.empty() ? "." : d) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
    }
    return name;
}

// True for an ELF program built for the machine this harness was built for.
// In a cross build only those go through the emulator: the build machine's
// own programs (the shell, sleep) run natively, as they do when the emulated
// program starts them.
bool own_machine_elf(const std::string &file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char h[EI_NIDENT + 4] = {};
    const ssize_t n = read(fd, h, sizeof h);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof h) || memcmp(h, ELFMAG, SELFMAG) != 0)
        return false;
    // e_machine follows e_type; both targets are little-endian.
    const unsigned machine = h[EI_NIDENT + 2] | (h[EI_NIDENT + 3] << 8);
#if defined(__arm__)
    return machine == EM_ARM;
#elif defined(__aarch64__)
    return machine == EM_AARCH64;
#elif defined(__x86_64__)
    return machine == EM_X86_64;
#elif defined(__i386__)
    return machine == EM_386;
#else
    return true;
#endif
}

bool binary_uses_asan(const std::string &file) {
    auto bytes = file_text(file);
    return bytes && bytes->find("libasan.so") != std::string::npos;
}

}  // namespace

struct Device::Impl {
    Options opt;
    std::string root;
    State *st = nullptr;
    pid_t pid = -1;
    std::optional<ExitStatus> status;

    mutable std::mutex journal_mu;
    mutable std::vector<JournalEntry> journal;
    mutable off_t journal_off = 0;
    mutable std::string journal_tail;

    // A file of the root, named relative to it or by its device path.
    fs::path file(const std::string &rel) const {
        return fs::path(root) / (rel.starts_with('/') ? rel.substr(1) : rel);
    }

    void reap(int wstatus) {
        ExitStatus s;
        if (WIFEXITED(wstatus)) {
            s.exited = true;
            s.code = WEXITSTATUS(wstatus);
        } else if (WIFSIGNALED(wstatus)) {
            s.code = WTERMSIG(wstatus);
        }
        status = s;
    }

    bool poll_child() {
        if (pid < 0 || status)
            return false;
        int ws = 0;
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid) {
            reap(ws);
            return false;
        }
        return r == 0;
    }

    void refresh_journal() const {
        int fd = open(file(".sim/journal").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        char buf[65536];
        for (;;) {
            ssize_t r = pread(fd, buf, sizeof buf, journal_off);
            if (r <= 0)
                break;
            journal_off += r;
            journal_tail.append(buf, static_cast<size_t>(r));
        }
        close(fd);
        size_t start = 0;
        for (size_t nl; (nl = journal_tail.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            if (auto e = parse_journal_line(journal_tail.substr(start, nl - start)))
                journal.push_back(std::move(*e));
        }
        journal_tail.erase(0, start);
    }
};

Device::Device(Options opt) : impl_(std::make_unique<Impl>()) {
    Impl &d = *impl_;
    d.opt = opt;
    make_folder(opt.root, "mpsim", opt.keep_root);
    d.root = root();
    try {
        // The sysfs tree as the board has it at boot.
        for (const char *f : {BOARD_GPIO_EXPORT, BOARD_GPIO_UNEXPORT, BOARD_PWM_EXPORT,
                              BOARD_KEYS_BIND, BOARD_KEYS_UNBIND, BOARD_PANEL_UPDATE})
            write_text(d.file(f), "");
        write_text(d.file(BOARD_PANEL_PORCH), std::to_string(BOARD_PORCH) + "\n");
        fs::create_directories(d.file(BOARD_PWM_CHIP));
        fs::create_directories(d.file(BOARD_STORAGE));
        fs::create_directories(d.file("etc"));
        fs::create_directories(d.file("dev"));
        fs::create_directories(d.file(".sim/frames"));
        fs::create_directories(d.file(".sim/audio"));
        write_text(d.file("home/.asoundrc"), "pcm_type.mpsim { lib \"" + alsa_plugin() +
                                                 "\" }\npcm.!default { type mpsim }\n");
        write_text(d.file(".sim/journal"), "");
        write_text(d.file(".sim/fb_geometry"),
                   std::to_string(opt.fb_width) + " " + std::to_string(opt.fb_height) + "\n");
        if (opt.fb_present) {
            int fd = open(d.file("dev/fb0").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ftruncate(fd, static_cast<off_t>(opt.fb_width) * opt.fb_height * 4) != 0)
                fail("framebuffer");
            close(fd);
        }

        int fd = open(d.file(".sim/state").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || ftruncate(fd, sizeof(State)) != 0)
            fail("state");
        void *m = mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (m == MAP_FAILED)
            fail("mmap state");
        d.st = static_cast<State *>(m);  // zero-filled by ftruncate
        State &s = *d.st;
        te::store64(s.te_epoch_hi, s.te_epoch_lo, te::panel_ns(s));
        fresh_board(s, opt.te_clock);
        write_text(d.file(BOARD_ADC_VOLUME), std::to_string(s.adc_vol.load()) + "\n");
        write_text(d.file(BOARD_ADC_BATTERY), std::to_string(s.adc_bat.load()) + "\n");
    } catch (...) {
        if (d.st != nullptr)
            munmap(d.st, sizeof(State));
        throw;
    }
}

Device::~Device() {
    kill_program();
    if (impl_->st != nullptr)
        munmap(impl_->st, sizeof(State));
}

std::string Device::path(const std::string &device_path) const {
    return impl_->root + (device_path.empty() || device_path[0] != '/' ? "/" : "") + device_path;
}

State &Device::state() {
    return *impl_->st;
}

// ---- hardware ----------------------------------------------------------------

int Device::gpio_level(unsigned gpio) const {
    return gpio < static_cast<unsigned>(kGpioLines) ? impl_->st->gpio_level[gpio].load() : -1;
}

bool Device::gpio_exported(unsigned gpio) const {
    return gpio < static_cast<unsigned>(kGpioLines) && impl_->st->gpio_exported[gpio].load() != 0;
}

bool Device::keys_bound() const {
    return impl_->st->keys_bound.load() != 0;
}

int Device::porch() const {
    return impl_->st->porch.load();
}

// ---- actions -------------------------------------------------------------------

namespace {

void set_level(State &s, unsigned gpio, int level) {
    if (gpio < static_cast<unsigned>(kGpioLines))
        s.gpio_level[gpio].store(level ? 1 : 0);
}

void set_keys(State &s, const std::vector<long> &keys, int level) {
    for (long k : keys)
        set_level(s, key_gpio(static_cast<Key>(k)), level);
}

// The GPIO line an action names.
unsigned gpio_of(const Action &a) {
    const auto gpio = static_cast<unsigned>(a.integer(0));
    if (gpio >= static_cast<unsigned>(kGpioLines))
        throw std::out_of_range("mpsim: no GPIO line " + std::to_string(gpio));
    return gpio;
}

// The TE line's clock or stop changes from the edge it is at.
void retime_te(State &s, std::atomic<int32_t> &field, int value) {
    te::Lock lock(s);
    te::rebase(s, te::panel_ns_locked(s));
    field.store(value);
}

// A device path into a field of the shared state, which the hooks read once
// the number that arms them is stored.
template <size_t N>
void store_path(char (&field)[N], const std::string &path) {
    if (path.size() >= N)
        throw std::invalid_argument("mpsim: path too long: " + path);
    snprintf(field, N, "%s", path.c_str());
}

}  // namespace

// Each action sets the shared state the preloaded library and the sound
// plugin serve the program from.
void Device::act(const Action &action) {
    static const std::map<std::string_view, void (*)(Device &, State &, const Action &)> kRows = {
        {"hold", [](auto &, auto &s, auto &a) { set_keys(s, a.numbers, 0); }},
        {"release", [](auto &, auto &s, auto &a) { set_keys(s, a.numbers, 1); }},
        {"headphone",
         [](auto &, auto &s, auto &a) { set_level(s, BOARD_GPIO_HEADPHONE_DETECT, a.integer(0)); }},
        {"usb",
         [](auto &, auto &s, auto &a) { set_level(s, BOARD_GPIO_USB_DETECT, a.integer(0)); }},
        {"volume-raw", [](auto &, auto &s, auto &a) { s.adc_vol.store(a.integer(0)); }},
        {"battery", [](auto &, auto &s, auto &a) { s.adc_bat.store(a.integer(0)); }},
        {"te-clock", [](auto &, auto &s, auto &a) { retime_te(s, s.te_clock, a.integer(0)); }},
        {"te", [](auto &, auto &s, auto &a) { retime_te(s, s.te_stopped, a.word(0) == "stop"); }},
        {"wall-clock",
         [](auto &, auto &s, auto &a) {
             s.wall_clock_hold.store(a.word(0) == "hold" ? static_cast<int32_t>(::time(nullptr))
                                                         : 0);
         }},
        {"wall-clock-step",
         [](auto &, auto &s, auto &a) {
             s.wall_clock_offset.store(0);
             s.wall_clock_step_after.store(std::max(a.integer(1), 0));
             s.wall_clock_offset.store(a.integer(0));
         }},
        {"no-gpio", [](auto &, auto &s, auto &a) { s.gpio_absent[gpio_of(a)].store(1); }},
        {"journal-reads", [](auto &, auto &s, auto &a) { s.read_journal[gpio_of(a)].store(1); }},
        // Root ignores permission bits, so the preloaded library refuses
        // writes to files with exactly this mode (and creation in folders
        // with 01555).
        {"unwritable",
         [](auto &d, auto &, auto &a) {
             const std::string p = d.path(a.word(0));
             struct stat st {};
             if (stat(p.c_str(), &st) != 0)
                 fail("stat " + p);
             if (chmod(p.c_str(), S_ISDIR(st.st_mode) ? 01555 : 01444) != 0)
                 fail("chmod " + p);
         }},
        {"refuse-write",
         [](auto &, auto &s, auto &a) {
             s.write_fault_errno.store(0);
             store_path(s.write_fault_path, a.word(0));
             s.write_fault_count.store(a.integer(1));
             s.write_fault_errno.store(a.integer(0));
         }},
        {"slow-writes",
         [](auto &, auto &s, auto &a) {
             s.slow_write_us.store(0);
             store_path(s.slow_write_prefix, a.word(0));
             s.slow_write_us.store(a.integer(0) * 1000, std::memory_order_release);
         }},
        {"trap",
         [](auto &, auto &s, auto &a) {
             static const std::pair<const char *, TrapOp> kOps[] = {{"open", kTrapOpen},
                                                                    {"write", kTrapWrite},
                                                                    {"rename", kTrapRename},
                                                                    {"fsync", kTrapFsync},
                                                                    {"unlink", kTrapUnlink}};
             const auto *op = std::find_if(std::begin(kOps), std::end(kOps),
                                           [&](const auto &o) { return a.word(0) == o.first; });
             if (op == std::end(kOps))
                 throw std::invalid_argument("mpsim: no trap for the operation " + a.word(0));
             const int sig = a.integer(0), nth = a.integer(1);
             s.trap_nth.store(0);
             store_path(s.trap_prefix, a.word(1));
             s.trap_op.store(op->second);
             s.trap_sig.store(sig);
             s.trap_nth.store(sig != 0 && nth > 0 ? nth : 0, std::memory_order_release);
         }},
        {"sound-fails", [](auto &, auto &s, auto &a) { s.sound_open_errno.store(a.integer(0)); }},
        {"underrun", [](auto &, auto &s, auto &a) { s.underrun_requests.store(a.integer(0)); }},
        {"sound-write-fails",
         [](auto &, auto &s, auto &a) {
             s.sound_fail_errno.store(0);
             s.sound_fail_after.store(std::max(a.integer(1), 0));
             s.sound_fail_errno.store(a.integer(0));
         }},
        {"sound-suspend",
         [](auto &, auto &s, auto &a) {
             s.sound_resume_eagain.store(std::max(a.integer(0), 0));
             s.sound_suspend.store(1);
         }},
    };
    const auto row = kRows.find(action.name);
    if (row == kRows.end())
        return Target::act(action);
    row->second(*this, *impl_->st, action);
}

// ---- files ----------------------------------------------------------------

void Device::write_file(const std::string &device_path, const std::string &bytes) {
    write_text(path(device_path), bytes);
}

std::optional<std::string> Device::read_file(const std::string &device_path) const {
    return file_text(path(device_path));
}

bool Device::exists(const std::string &device_path) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path(device_path), ec));
}

std::optional<unsigned> Device::file_mode(const std::string &device_path) const {
    std::error_code ec;
    const auto st = fs::status(path(device_path), ec);
    if (ec || !fs::exists(st))
        return std::nullopt;
    return static_cast<unsigned>(st.permissions()) & 07777u;
}

void Device::remove_file(const std::string &device_path) {
    std::error_code ec;
    fs::remove_all(path(device_path), ec);
}

// ---- running a program -------------------------------------------------------

void Device::start(const std::vector<std::string> &argv,
                   const std::vector<std::string> &extra_env) {
    Impl &d = *impl_;
    if (argv.empty())
        throw std::invalid_argument("mpsim: start without a program");
    if (d.pid > 0 && !d.status)
        kill_program();
    d.status.reset();

    const std::string preload = preload_library();
    std::vector<std::string> emu = emulator();
    if (!emu.empty() && !own_machine_elf(resolve_program(argv[0])))
        emu.clear();
    const char *parent_preload = getenv("LD_PRELOAD");
    bool asan =
        (parent_preload != nullptr && parent_preload[0] != '\0') || binary_uses_asan(argv[0]);
#if defined(__SANITIZE_ADDRESS__)
    asan = true;
#endif

    std::vector<std::string> env;
    auto name_of = [](const std::string &kv) { return kv.substr(0, kv.find('=')); };
    std::string asan_options;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        std::string n = name_of(kv);
        if (n == "MPSIM_ROOT" || n == "HOME" || n == "LD_PRELOAD")
            continue;
        if (n == "ASAN_OPTIONS") {
            asan_options = kv.substr(kv.find('=') + 1);
            if (asan)
                continue;
        }
        env.push_back(kv);
    }
    env.push_back("MPSIM_ROOT=" + d.root);
    env.push_back("HOME=" + d.root + "/home");
    // A shared CI machine may stall the program for a few milliseconds; the
    // sound card waits up to a second for late data before it underruns, so
    // recordings stay whole. Tests of real underruns pass 0.
    if (std::none_of(env.begin(), env.end(),
                     [&](const std::string &kv) { return name_of(kv) == "MPSIM_SOUND_SLACK_MS"; }))
        env.push_back("MPSIM_SOUND_SLACK_MS=1000");
    if (emu.empty())
        env.push_back("LD_PRELOAD=" + preload);
    if (asan) {
        // The preloaded library comes ahead of the sanitizer's runtime, and
        // the program never frees what its threads hold when it hands off.
        if (!asan_options.empty())
            asan_options += ":";
        env.push_back("ASAN_OPTIONS=" + asan_options + "verify_asan_link_order=0:detect_leaks=0");
    }
    for (const std::string &kv : extra_env) {
        std::string n = name_of(kv);
        std::erase_if(env, [&](const std::string &x) { return name_of(x) == n; });
        env.push_back(kv);
    }

    std::vector<std::string> args;
    if (!emu.empty()) {
        args = emu;
        args.push_back("-E");
        args.push_back("LD_PRELOAD=" + preload);
        args.insert(args.end(), argv.begin(), argv.end());
    } else {
        args = argv;
    }
    std::string program = resolve_program(args[0]);

    // The entry window lasts until the wall-clock second changes, so a
    // program started late in a second sees almost none of it, exactly as on
    // the device. A test that holds keys from power-on means them to be seen:
    // start it just after a second begins, so the window is a whole second.
    bool key_held = false;
    for (unsigned k = 0; k < 7; ++k)
        key_held = key_held || d.st->gpio_level[key_gpio(static_cast<Key>(k))].load() == 0;
    if (key_held) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_nsec > 20'000'000)
            std::this_thread::sleep_for(
                std::chrono::nanoseconds(1'000'000'000 - now.tv_nsec + 2'000'000));
    }
    std::vector<char *> cargv;
    for (std::string &a : args)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<char *> cenv;
    for (std::string &e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(d.file(".sim/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(d.file(".sim/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0)
        fail("program output files");

    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        // Its own process group, so the shell and the finish script it starts
        // go with it when the device is torn down.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Before the program can run: its calls of time() are the ones a
        // wall-clock step counts (under an emulator the emulator's pid is the
        // program's).
        d.st->program_pid.store(static_cast<int32_t>(getpid()));
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The file mode creation mask init gives every process at boot,
        // whatever the machine's own shell has.
        umask(022);
        // On the device the factory test is the one busy program at boot;
        // here it shares the machine with builds and other tests. Ahead of
        // them, a TE edge or a key scanner pass is not lost to a busy core
        // (as root; elsewhere it runs as it is).
        setpriority(PRIO_PROCESS, 0, -10);
        // The device has one core: the program's threads, and the preloaded
        // library's heartbeat beside them, share one processor of this
        // machine. A host that stops one virtual processor of its guest for
        // 100 ms then stops the whole device, which the panel's time leaves
        // out (te_clock.h), not one thread while the heartbeat goes on.
        cpu_set_t allowed;
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
            int pick = getpid() % CPU_COUNT(&allowed);
            for (int c = 0; c < CPU_SETSIZE; ++c) {
                if (CPU_ISSET(c, &allowed) && pick-- == 0) {
                    cpu_set_t one;
                    CPU_ZERO(&one);
                    CPU_SET(c, &one);
                    sched_setaffinity(0, sizeof one, &one);
                    break;
                }
            }
        }
        execve(program.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    close(in);
    close(out);
    close(err);
    d.pid = pid;
}

void Device::start_mp_test(const std::string &app_dir, const std::string &finish_script) {
    start({mp_test_binary(), app_dir, finish_script});
}

bool Device::running() {
    return impl_->poll_child();
}

pid_t Device::pid() const {
    return impl_->pid;
}

std::optional<ExitStatus> Device::wait_exit(Ms timeout) {
    Impl &d = *impl_;
    if (d.pid < 0)
        return std::nullopt;
    wait_until(
        [&] {
            d.poll_child();
            return d.status.has_value();
        },
        timeout);
    return d.status;
}

void Device::send_signal(int sig) {
    Impl &d = *impl_;
    if (d.pid > 0 && !d.status)
        kill(d.pid, sig);
}

void Device::kill_program() {
    Impl &d = *impl_;
    if (d.pid <= 0)
        return;
    kill(-d.pid, SIGKILL);  // the whole group: the program and its shells
    if (!d.status) {
        kill(d.pid, SIGKILL);
        int ws = 0;
        if (waitpid(d.pid, &ws, 0) == d.pid)
            d.reap(ws);
    }
}

// User plus system time of the process, from /proc/PID/stat.
std::optional<double> Device::cpu_seconds() const {
    const auto stat = file_text("/proc/" + std::to_string(impl_->pid) + "/stat");
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
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string Device::stdout_text() const {
    return file_text(impl_->file(".sim/stdout")).value_or("");
}
std::string Device::stderr_text() const {
    return file_text(impl_->file(".sim/stderr")).value_or("");
}

// ---- what the hardware saw ---------------------------------------------------

int Device::pushes() const {
    return impl_->st->pushes.load();
}
int Device::frame_count() const {
    return impl_->st->frames.load();
}

Frame Device::frame(int index) const {
    char name[32];
    snprintf(name, sizeof name, "%06d.frame", index);
    auto bytes = file_text(impl_->file(".sim/frames") / name);
    if (!bytes || bytes->size() < sizeof(FrameHeader))
        throw std::out_of_range("mpsim: no frame " + std::to_string(index));
    FrameHeader h{};
    memcpy(&h, bytes->data(), sizeof h);
    size_t words = size_t{h.width} * h.height;
    if (h.magic != kFrameMagic || bytes->size() < sizeof h + words * 4)
        throw std::runtime_error("mpsim: bad frame " + std::to_string(index));
    Frame f;
    f.width = static_cast<int>(h.width);
    f.height = static_cast<int>(h.height);
    f.push = h.push;
    f.time_ns = (uint64_t{h.time_hi} << 32) | h.time_lo;
    f.px.resize(words);
    memcpy(f.px.data(), bytes->data() + sizeof h, words * 4);
    return f;
}

void Device::read_journal(std::vector<JournalEntry> &into) const {
    std::lock_guard<std::mutex> lock(impl_->journal_mu);
    impl_->refresh_journal();
    const auto &all = impl_->journal;
    if (into.size() < all.size())
        into.insert(into.end(), all.begin() + static_cast<std::ptrdiff_t>(into.size()), all.end());
}

std::string Device::journal_text() const {
    return file_text(impl_->file(".sim/journal")).value_or("");
}

int Device::recording_count() const {
    return impl_->st->recordings.load();
}

Recording Device::recording(int index) const {
    char name[32];
    snprintf(name, sizeof name, "%06d.pcm", index);
    auto bytes = file_text(impl_->file(".sim/audio") / name);
    if (!bytes || bytes->size() < sizeof(RecordingHeader))
        throw std::out_of_range("mpsim: no recording " + std::to_string(index));
    RecordingHeader h{};
    memcpy(&h, bytes->data(), sizeof h);
    if (h.magic != kRecordingMagic)
        throw std::runtime_error("mpsim: bad recording " + std::to_string(index));
    Recording r;
    r.rate = h.rate;
    r.channels = h.channels;
    size_t samples = (bytes->size() - sizeof h) / 2;
    // A recording still being written may end inside a frame.
    if (h.channels > 0)
        samples -= samples % h.channels;
    r.samples.resize(samples);
    if (samples > 0)
        memcpy(r.samples.data(), bytes->data() + sizeof h, samples * 2);
    return r;
}

size_t Device::recording_frames(int index, unsigned &channels) const {
    char name[32];
    snprintf(name, sizeof name, "%06d.pcm", index);
    const fs::path file = impl_->file(".sim/audio") / name;
    std::ifstream in(file, std::ios::binary);
    RecordingHeader h{};
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (!in.read(reinterpret_cast<char *>(&h), sizeof h) || ec || h.magic != kRecordingMagic ||
        h.channels == 0)
        return 0;
    channels = h.channels;
    return (size - sizeof h) / (2u * h.channels);
}

int Device::underruns() const {
    return impl_->st->underruns.load();
}

// ---- waiting -------------------------------------------------------------------

Ms Device::poll_step() const {
    return kPollStep;
}

std::optional<std::string> file_text(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string shell_quoted(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string signal_label(int sig) {
    const char *abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(sig);
}

std::string describe(const ExitStatus &status) {
    if (status.exited)
        return "exit status " + std::to_string(status.code);
    return "killed by signal " + signal_label(status.code) + " (" + strsignal(status.code) + ")";
}

}  // namespace mpsim

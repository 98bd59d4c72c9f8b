// The handheld as a virtual machine (see vm_device.h).
#include "mpsim/vm_device.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "mpsim/harness.h"
#include "mpsim/vm_protocol.h"

extern char **environ;

namespace mpsim {

namespace fs = std::filesystem;

namespace {

constexpr const char *kUdisk = "/mnt/UDISK/";
// The keys' device in its driver's folder while the driver holds it.
constexpr const char *kKeysBoundLink = BOARD_KEYS_DRIVER_DIR "/" BOARD_KEYS_DEVICE;
constexpr Ms kAnswerTimeout{30000};

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error("mpsim vm: " + what +
                             (errno != 0 ? ": " + std::string(strerror(errno)) : ""));
}

// The machine the image was built for (build-image writes it): the QEMU
// program, machine and CPU, the kernel's console and the instruction-counted
// clock's options, one "name value" line each.
struct Machine {
    std::string qemu, machine, cpu, console, icount;
};

Machine read_machine(const std::string &image) {
    std::ifstream in(image + "/machine");
    if (!in)
        fail("no " + image + "/machine (sim/vm/image/build-image writes it)");
    Machine m;
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string name = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (name == "qemu")
            m.qemu = value;
        else if (name == "machine")
            m.machine = value;
        else if (name == "cpu")
            m.cpu = value;
        else if (name == "console")
            m.console = value;
        else if (name == "icount")
            m.icount = value;
    }
    if (m.qemu.empty() || m.machine.empty() || m.console.empty() || m.icount.empty())
        fail(image + "/machine names no QEMU program, machine, console or instruction clock");
    return m;
}

int64_t mono_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs a program of this machine; its standard output, or nullopt when it fails.
std::optional<std::string> run(const std::vector<std::string> &argv) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char *> args;
    std::vector<std::string> copy = argv;
    for (std::string &a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    int err = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(pipefd[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; err == 0 && (n = read(pipefd[0], buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int ws = 0;
    if (err != 0 || waitpid(pid, &ws, 0) != pid || !WIFEXITED(ws) || WEXITSTATUS(ws) != 0)
        return std::nullopt;
    return out;
}

}  // namespace

std::string vm_image_folder() {
    const char *env = getenv("MPSIM_VM_IMAGE");
    return env != nullptr && env[0] != '\0' ? env : MPSIM_VM_IMAGE_DEFAULT;
}

// What the machine sent back during one boot, behind VmDevice::Impl::mu; a
// power-on starts it afresh.
struct Heard {
    bool connected = false;
    std::string release;
    std::vector<Frame> frames;
    int pushes = 0;
    std::vector<JournalEntry> journal;
    std::string journal_text;  // the lines as they came
    std::string out, err, log;
    std::optional<ExitStatus> exit;
    pid_t program = 0;
    int64_t program_start_ns = 0;
    std::map<int, std::string> answers;
    std::vector<Recording> recordings;
};

struct VmDevice::Impl : Heard {
    VmOptions opt;
    std::string folder;

    // The board at the next power-on.
    std::map<unsigned, int> levels;
    int vol_raw = BOARD_FRESH_VOLUME_RAW;
    int bat_raw = BOARD_FRESH_BATTERY_RAW;
    int te_clock = BOARD_TE_CLOCK;
    int te_stopped = 0;            // 1: the TE line never toggles
    bool wall_clock_held = false;  // the bench agent holds it from power-on
    std::map<std::string, std::optional<std::string>> image_files;  // nullopt: removed
    std::map<std::string, std::optional<std::string>> udisk_files;  // until the next boot
    int last_porch = BOARD_PORCH;
    int last_underruns = 0;
    Machine machine;

    // The machine.
    pid_t qemu = -1;
    int sock = -1;
    std::thread reader;
    int64_t power_on_ns = 0;
    int next_id = 0;

    // Behind mu, as what was heard is.
    mutable std::mutex mu;
    std::condition_variable cv;
    bool gone = true;    // no machine, or it stopped
    int64_t offset = 0;  // host monotonic minus guest monotonic

    void receive();
    void message(uint32_t type, const std::string &p);
    std::string ask(const std::string &verb, const std::string &args = "");
    // What the board holds goes to the bench agent while the machine runs
    // (else to the board module's parameters at the next power-on).
    void tell(const std::string &verb, const std::string &args) {
        if (up())
            ask(verb, args);
    }
    void set(int &field, int value, const std::string &verb) {
        field = value;
        tell(verb, std::to_string(value));
    }
    // Lines changed together go in one input: the agent sets them at one
    // instant, between two scans of the program's.
    void level(const std::vector<unsigned> &gpios, int high) {
        std::string pairs;
        for (unsigned gpio : gpios) {
            levels[gpio] = high ? 1 : 0;
            pairs += (pairs.empty() ? "" : " ") + std::to_string(gpio) + (high ? " 1" : " 0");
        }
        tell("level", pairs);
    }
    void keys(const std::vector<long> &which, int high) {
        std::vector<unsigned> gpios;
        for (long k : which)
            gpios.push_back(key_gpio(static_cast<Key>(k)));
        level(gpios, high);
    }
    bool up() const {
        std::lock_guard<std::mutex> l(mu);
        return !gone;
    }
    void stop_machine();
    std::string cmdline() const;
    void make_initrd(const std::string &app_dir, const std::string &finish);
};

void VmDevice::Impl::message(uint32_t type, const std::string &p) {
    std::lock_guard<std::mutex> l(mu);
    switch (type) {
        case vm::kMsgHello: {
            int64_t guest = std::stoll(p);
            offset = mono_ns() - guest;
            release = p.substr(p.find(' ') + 1);
            connected = true;
            break;
        }
        case vm::kMsgClock: {
            int64_t guest = 0;
            if (p.size() == sizeof guest) {
                memcpy(&guest, p.data(), sizeof guest);
                offset = mono_ns() - guest;
            }
            break;
        }
        case vm::kMsgAnswer: {
            size_t sp = p.find(' ');
            answers[std::stoi(p.substr(0, sp))] = sp == std::string::npos ? "" : p.substr(sp + 1);
            break;
        }
        case vm::kMsgFrame:
        case vm::kMsgPush: {
            if (p.size() < sizeof(vm::FramePayload))
                break;
            vm::FramePayload f{};
            memcpy(&f, p.data(), sizeof f);
            pushes = std::max(pushes, static_cast<int>(f.push));
            if (type == vm::kMsgPush)
                break;
            Frame fr;
            fr.width = static_cast<int>(f.width);
            fr.height = static_cast<int>(f.height);
            fr.push = f.push;
            fr.time_ns = static_cast<uint64_t>(static_cast<int64_t>(f.time_ns) + offset);
            const size_t words = size_t{f.width} * f.height;
            fr.px.reserve(words);
            for (size_t at = sizeof f; at + 8 <= p.size() && fr.px.size() < words; at += 8) {
                uint32_t run_len = 0;
                uint32_t px = 0;
                memcpy(&run_len, p.data() + at, 4);
                memcpy(&px, p.data() + at + 4, 4);
                fr.px.insert(fr.px.end(), std::min<size_t>(run_len, words - fr.px.size()), px);
            }
            fr.px.resize(words);
            frames.push_back(std::move(fr));
            break;
        }
        case vm::kMsgJournal: {
            auto e = parse_journal_line(p);
            if (!e)
                break;
            journal_text += p.ends_with('\n') ? p : p + '\n';
            e->time_ns = static_cast<uint64_t>(static_cast<int64_t>(e->time_ns) + offset);
            if (e->op == "exec") {
                if (e->path == "/usr/bin/mp_test" && program == 0) {
                    program = e->pid;
                    program_start_ns = static_cast<int64_t>(e->time_ns);
                }
            }
            journal.push_back(std::move(*e));
            break;
        }
        case vm::kMsgStdout:
            out += p;
            break;
        case vm::kMsgStderr:
            err += p;
            break;
        case vm::kMsgLog:
            log += p;
            break;
        case vm::kMsgExit: {
            ExitStatus s;
            s.exited = p.starts_with("exited");
            s.code = std::stoi(p.substr(p.find(' ') + 1));
            exit = s;
            break;
        }
        case vm::kMsgRecording: {
            vm::RecordingPayload r{};
            if (p.size() < sizeof r)
                break;
            memcpy(&r, p.data(), sizeof r);
            if (recordings.size() <= r.index)
                recordings.resize(r.index + 1);
            recordings[r.index].rate = r.rate;
            recordings[r.index].channels = r.channels;
            break;
        }
        case vm::kMsgSamples: {
            uint32_t index = 0;
            if (p.size() < 4)
                break;
            memcpy(&index, p.data(), 4);
            if (index >= recordings.size())
                break;
            auto &s = recordings[index].samples;
            size_t n = (p.size() - 4) / 2;
            size_t at = s.size();
            s.resize(at + n);
            memcpy(s.data() + at, p.data() + 4, n * 2);
            break;
        }
        default:
            break;
    }
}

void VmDevice::Impl::receive() {
    std::string buf;
    char chunk[1 << 16];
    for (;;) {
        ssize_t n = read(sock, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buf.append(chunk, static_cast<size_t>(n));
        size_t at = 0;
        while (buf.size() - at >= sizeof(vm::MsgHeader)) {
            vm::MsgHeader h{};
            memcpy(&h, buf.data() + at, sizeof h);
            if (buf.size() - at - sizeof h < h.len)
                break;
            message(h.type, buf.substr(at + sizeof h, h.len));
            at += sizeof h + h.len;
        }
        buf.erase(0, at);
        cv.notify_all();
    }
    std::lock_guard<std::mutex> l(mu);
    gone = true;
    cv.notify_all();
}

std::string VmDevice::Impl::ask(const std::string &verb, const std::string &args) {
    int id = 0;
    {
        std::lock_guard<std::mutex> l(mu);
        if (gone)
            throw std::runtime_error("mpsim vm: the machine is off (" + verb + ")");
        id = ++next_id;
    }
    std::string line = std::to_string(id) + " " + verb + (args.empty() ? "" : " " + args) + "\n";
    if (send(sock, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        fail("send " + verb);
    std::unique_lock<std::mutex> l(mu);
    if (!cv.wait_for(l, kAnswerTimeout, [&] { return answers.count(id) != 0 || gone; }))
        throw std::runtime_error("mpsim vm: no answer to " + verb);
    if (answers.count(id) == 0)
        throw std::runtime_error("mpsim vm: the machine stopped before answering " + verb);
    std::string a = answers[id];
    answers.erase(id);
    if (a.starts_with("error"))
        throw std::runtime_error("mpsim vm: " + verb + " " + args + ": " + a);
    return a.size() > 3 ? a.substr(3) : "";
}

void VmDevice::Impl::stop_machine() {
    if (qemu > 0) {
        kill(qemu, SIGKILL);
        int ws = 0;
        waitpid(qemu, &ws, 0);
        qemu = -1;
    }
    if (sock >= 0)
        shutdown(sock, SHUT_RDWR);
    if (reader.joinable())
        reader.join();
    if (sock >= 0)
        close(sock);
    sock = -1;
    std::lock_guard<std::mutex> l(mu);
    gone = true;
}

std::string VmDevice::Impl::cmdline() const {
    std::string low;
    for (const auto &[line, level] : levels)
        if (level == 0)
            low += (low.empty() ? "" : ",") + std::to_string(line);
    // A quiet console (every character is an exit to the emulator), no
    // address randomisation, no crypto self-tests: seconds off every boot.
    // fbcon=map:9 keeps the text console off the panel's framebuffer.
    std::string c = "console=" + machine.console +
                    " quiet loglevel=1 nokaslr mitigations=off cryptomgr.notests "
                    "fbcon=map:9 rdinit=/sbin/init";
    if (!low.empty())
        c += " handheld_board.low=" + low;
    c += " handheld_board.vol_adc=" + std::to_string(vol_raw);
    c += " handheld_board.bat_adc=" + std::to_string(bat_raw);
    c += " handheld_board.te_clock=" + std::to_string(te_clock);
    c += std::string(" handheld_board.te_stopped=") + (te_stopped ? "1" : "0");
    if (wall_clock_held)
        c += " bench.hold_wall_clock=1";
    // More for whoever looks into a boot, e.g. "loglevel=7".
    const char *more = getenv("MPSIM_VM_APPEND");
    if (more != nullptr && more[0] != '\0')
        c += std::string(" ") + more;
    return c;
}

// The files of this boot, as an initramfs archive (GNU cpio's "newc") after
// the image's own: the kernel unpacks both, the later over the earlier.
void VmDevice::Impl::make_initrd(const std::string &app_dir, const std::string &finish) {
    const std::string overlay = folder + "/overlay";
    fs::remove_all(overlay);
    // A path without its leading "/" is the device's too (an app-dir given
    // relative to the program's folder, the root).
    auto put = [&](const std::string &path, const std::string &bytes) {
        const fs::path p = fs::path(overlay) / fs::path(path).relative_path();
        fs::create_directories(p.parent_path());
        if (!(std::ofstream(p, std::ios::binary) << bytes))
            fail("write " + p.string());
    };
    put("/etc/default/mp_test",
        "APP_DIR=" + shell_quoted(app_dir) + "\nFINISH_SCRIPT=" + shell_quoted(finish) + "\n");
    std::string removed;
    for (const auto &[path, bytes] : image_files) {
        if (bytes)
            put(path, *bytes);
        else
            removed += path + "\n";
    }
    // The image's files that the device lacks go before the start scripts run.
    put("/etc/bench/image.remove", removed);
    std::string udisk_removed;
    for (const auto &[path, bytes] : udisk_files) {
        std::string rel = path.substr(strlen(kUdisk));
        if (bytes)
            put("/etc/bench/udisk/" + rel, *bytes);
        else
            udisk_removed += rel + "\n";
    }
    put("/etc/bench/udisk.remove", udisk_removed);
    const auto archive = run({"sh", "-c",
                              "cd " + shell_quoted(overlay) +
                                  " && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R "
                                  "0:0 --quiet"});
    if (!archive)
        fail("cpio of " + overlay);
    std::string base = opt.image + "/rootfs.cpio";
    std::ifstream in(base, std::ios::binary);
    if (!in)
        fail("no image " + base + " (sim/vm/image/build-image builds it)");
    std::ofstream o(folder + "/initrd.cpio", std::ios::binary | std::ios::trunc);
    o << in.rdbuf() << *archive;
    if (!o)
        fail("write " + folder + "/initrd.cpio");
}

VmDevice::VmDevice(VmOptions opt) : impl_(std::make_unique<Impl>()) {
    Impl &d = *impl_;
    d.opt = std::move(opt);
    if (d.opt.image.empty())
        d.opt.image = vm_image_folder();
    make_folder(d.opt.folder, "mpvm", d.opt.keep_folder);
    d.folder = root();
    for (const auto &key : board_keys)
        d.levels[key.gpio] = BOARD_FRESH_KEY_LEVEL;
    d.levels[BOARD_GPIO_USB_DETECT] = BOARD_FRESH_DETECT_LEVEL;
    d.levels[BOARD_GPIO_HEADPHONE_DETECT] = BOARD_FRESH_DETECT_LEVEL;
    d.te_clock = d.opt.te_clock;
    const char *icount = getenv("MPSIM_VM_ICOUNT");
    if (icount != nullptr && std::string(icount) == "0")
        d.opt.icount = false;
    d.machine = read_machine(d.opt.image);
    // Factory-fresh storage: an empty ext4 file system.
    std::string disk = d.folder + "/udisk.img";
    int fd = open(disk.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(d.opt.disk_mb) << 20) != 0) {
        if (fd >= 0)
            close(fd);
        fail("disk image");
    }
    close(fd);
    if (!run({"mkfs.ext4", "-q", "-F", "-L", "UDISK", disk}))
        fail("mkfs.ext4 " + disk);
}

VmDevice::~VmDevice() {
    impl_->stop_machine();
}

std::string VmDevice::whereabouts() const {
    return "virtual machine: kernel " + kernel_release() + ", folder " + root() + fate();
}

// ---- hardware ----------------------------------------------------------------

// The board's inputs. Faults in the program's calls (no-gpio, trap,
// refuse-write, sound-fails...) are not rows: a real kernel's drivers answer
// for themselves, and the board module registers the lines the board has.
void VmDevice::act(const Action &action) {
    static const std::map<std::string_view, void (*)(Impl &, const Action &)> kRows = {
        {"hold", [](auto &d, auto &a) { d.keys(a.numbers, 0); }},
        {"release", [](auto &d, auto &a) { d.keys(a.numbers, 1); }},
        {"headphone",
         [](auto &d, auto &a) { d.level({BOARD_GPIO_HEADPHONE_DETECT}, a.integer(0)); }},
        {"usb", [](auto &d, auto &a) { d.level({BOARD_GPIO_USB_DETECT}, a.integer(0)); }},
        {"volume-raw", [](auto &d, auto &a) { d.set(d.vol_raw, a.integer(0), "vol"); }},
        {"battery", [](auto &d, auto &a) { d.set(d.bat_raw, a.integer(0), "bat"); }},
        {"te-clock", [](auto &d, auto &a) { d.set(d.te_clock, a.integer(0), "te-clock"); }},
        {"te", [](auto &d, auto &a) { d.set(d.te_stopped, a.word(0) == "stop", "te-stop"); }},
        // The bench agent sets the clock back.
        {"wall-clock",
         [](auto &d, auto &a) {
             d.wall_clock_held = a.word(0) == "hold";
             d.tell("wall-clock", a.word(0));
         }},
    };
    const auto row = kRows.find(action.name);
    if (row == kRows.end())
        return Target::act(action);
    row->second(*impl_, action);
}

int VmDevice::gpio_level(unsigned gpio) const {
    if (!impl_->up()) {
        auto it = impl_->levels.find(gpio);
        return it != impl_->levels.end() ? it->second : 0;
    }
    std::istringstream in(impl_->ask("levels"));
    unsigned line = 0;
    std::string dir;
    int level = 0;
    while (in >> line >> dir >> level)
        if (line == gpio)
            return level;
    return -1;
}

bool VmDevice::gpio_exported(unsigned gpio) const {
    return impl_->up() &&
           impl_->ask("exists", "/sys/class/gpio/gpio" + std::to_string(gpio)) == "1";
}

bool VmDevice::keys_bound() const {
    return !impl_->up() || impl_->ask("exists", kKeysBoundLink) == "1";
}

int VmDevice::porch() const {
    if (impl_->up()) {
        std::string text = vm::unhex(impl_->ask("read", BOARD_PANEL_PORCH));
        impl_->last_porch = std::atoi(text.c_str());
    }
    return impl_->last_porch;
}

// ---- files -------------------------------------------------------------------

void VmDevice::write_file(const std::string &device_path, const std::string &bytes) {
    if (impl_->up()) {
        impl_->ask("write", device_path + " " + vm::hex(bytes));
        return;
    }
    if (device_path.starts_with(kUdisk))
        impl_->udisk_files[device_path] = bytes;
    else
        impl_->image_files[device_path] = bytes;
}

std::optional<std::string> VmDevice::read_file(const std::string &device_path) const {
    Impl &d = *impl_;
    if (d.up()) {
        std::string a = d.ask("read", device_path);
        if (a == "missing")
            return std::nullopt;
        return vm::unhex(a);
    }
    if (!device_path.starts_with(kUdisk)) {
        auto it = d.image_files.find(device_path);
        return it != d.image_files.end() ? it->second : std::nullopt;
    }
    auto pending = d.udisk_files.find(device_path);
    if (pending != d.udisk_files.end())
        return pending->second;
    // The disk as the next boot finds it: the journal replayed, as the
    // kernel replays it when it mounts the partition.
    std::string disk = d.folder + "/udisk.img";
    run({"e2fsck", "-E", "journal_only", "-p", disk});
    std::string inside = "/" + device_path.substr(strlen(kUdisk));
    auto stat = run({"debugfs", "-R", "stat " + inside, disk});
    if (!stat || stat->find("Inode:") == std::string::npos)
        return std::nullopt;
    return run({"debugfs", "-R", "cat " + inside, disk});
}

void VmDevice::remove_file(const std::string &device_path) {
    if (impl_->up())
        unsupported("remove a file while it runs: files are set before power-on");
    if (device_path.starts_with(kUdisk))
        impl_->udisk_files[device_path] = std::nullopt;
    else
        impl_->image_files[device_path] = std::nullopt;
}

// ---- running -----------------------------------------------------------------

void VmDevice::start_mp_test(const std::string &app_dir, const std::string &finish_script) {
    Impl &d = *impl_;
    d.stop_machine();
    {
        std::lock_guard<std::mutex> l(d.mu);
        static_cast<Heard &>(d) = Heard{};
        d.gone = false;
    }
    d.make_initrd(app_dir, finish_script);
    d.udisk_files.clear();  // on the disk from this boot on

    std::string sock_path = d.folder + "/bench.sock";
    unlink(sock_path.c_str());
    std::vector<std::string> args = {
        d.machine.qemu, "-M", d.machine.machine, "-accel", "tcg", "-m", "256", "-smp", "1",
        "-nodefaults", "-no-user-config", "-nographic", "-serial",
        "file:" + d.folder + "/console.log", "-kernel", d.opt.image + "/kernel", "-initrd",
        d.folder + "/initrd.cpio", "-append", d.cmdline(),
        // The writes the guest completed are in the host's page cache when
        // QEMU is killed, so a power cut keeps exactly those: flushes
        // need not reach the host's disk.
        "-drive", "id=udisk,file=" + d.folder + "/udisk.img,format=raw,if=none,cache=unsafe",
        "-device", "virtio-blk-device,drive=udisk", "-device", "virtio-serial-device", "-chardev",
        "socket,id=bench,path=" + sock_path + ",server=on,wait=on", "-device",
        std::string("virtserialport,chardev=bench,name=") + vm::kPortName};
    if (!d.machine.cpu.empty()) {
        args.push_back("-cpu");
        args.push_back(d.machine.cpu);
    }
    // The real-time clock: the host's time, or the one the bench asks for
    // (read by the kernel at boot, as the board's RTC would be).
    args.push_back("-rtc");
    args.push_back((d.opt.rtc_base.empty() ? "base=utc" : "base=" + d.opt.rtc_base) + ",clock=vm");
    if (d.opt.icount) {
        args.push_back("-icount");
        args.push_back(d.machine.icount);
    }
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string qlog = d.folder + "/qemu.log";
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(qlog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = getpid();
    d.power_on_ns = mono_ns();
    d.qemu = fork();
    if (d.qemu == 0) {
        // The machine goes with the thread that powered it on, however that
        // ends: a test killed at its time-out must not leave an emulator
        // running on a core.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    const int err = d.qemu < 0 ? errno : 0;
    close(in);
    close(out);
    if (err != 0) {
        errno = err;
        d.qemu = -1;
        fail("start " + d.machine.qemu);
    }
    // QEMU waits for this connection before the machine starts.
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
    for (int tries = 0;; ++tries) {
        d.sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(d.sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
            break;
        close(d.sock);
        d.sock = -1;
        int ws = 0;
        if (tries > 1000 || waitpid(d.qemu, &ws, WNOHANG) == d.qemu) {
            d.qemu = -1;
            std::lock_guard<std::mutex> l(d.mu);
            d.gone = true;
            throw std::runtime_error("mpsim vm: QEMU did not start; see " + qlog);
        }
        std::this_thread::sleep_for(Ms(10));
    }
    d.reader = std::thread([&d] { d.receive(); });
    std::unique_lock<std::mutex> l(d.mu);
    if (!d.cv.wait_for(l, d.opt.boot_timeout, [&] { return d.connected || d.gone; }) ||
        !d.connected) {
        l.unlock();
        d.stop_machine();
        throw std::runtime_error("mpsim vm: the machine did not boot; see " + d.folder +
                                 "/console.log");
    }
}

bool VmDevice::running() {
    std::lock_guard<std::mutex> l(impl_->mu);
    return !impl_->gone && !impl_->exit;
}

pid_t VmDevice::pid() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->program;
}

std::optional<ExitStatus> VmDevice::wait_exit(Ms timeout) {
    wait_until([&] { return !running(); }, timeout);
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->exit;
}

void VmDevice::kill_program() {
    if (impl_->up() && pid() != 0)
        impl_->ask("kill");
}

void VmDevice::power_cut() {
    impl_->stop_machine();
}

std::string VmDevice::stdout_text() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->out;
}

std::string VmDevice::stderr_text() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->err;
}

std::string VmDevice::system_log() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->log;
}

std::string VmDevice::kernel_release() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->release;
}

std::optional<Ms> VmDevice::boot_time() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (impl_->program_start_ns == 0)
        return std::nullopt;
    return std::chrono::duration_cast<Ms>(
        std::chrono::nanoseconds(impl_->program_start_ns - impl_->power_on_ns));
}

int64_t VmDevice::machine_wall_clock(int64_t host_ns) const {
    std::istringstream in(impl_->ask("clock"));
    int64_t mono = 0, real = 0;
    in >> mono >> real;
    std::lock_guard<std::mutex> l(impl_->mu);
    return host_ns - impl_->offset + (real - mono);
}

// ---- what the hardware saw ---------------------------------------------------

int VmDevice::pushes() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->pushes;
}

int VmDevice::frame_count() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return static_cast<int>(impl_->frames.size());
}

Frame VmDevice::frame(int index) const {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (index < 0 || index >= static_cast<int>(impl_->frames.size()))
        throw std::out_of_range("mpsim vm: no frame " + std::to_string(index));
    return impl_->frames[static_cast<size_t>(index)];
}

void VmDevice::read_journal(std::vector<JournalEntry> &into) const {
    std::lock_guard<std::mutex> l(impl_->mu);
    const auto &all = impl_->journal;
    if (into.size() < all.size())
        into.insert(into.end(), all.begin() + static_cast<std::ptrdiff_t>(into.size()), all.end());
}

std::string VmDevice::journal_text() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return impl_->journal_text;
}

int VmDevice::recording_count() const {
    std::lock_guard<std::mutex> l(impl_->mu);
    return static_cast<int>(impl_->recordings.size());
}

Recording VmDevice::recording(int index) const {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (index < 0 || index >= static_cast<int>(impl_->recordings.size()))
        throw std::out_of_range("mpsim vm: no recording " + std::to_string(index));
    return impl_->recordings[static_cast<size_t>(index)];
}

std::vector<std::string> VmDevice::folder_entries(const std::string &device_path) const {
    std::vector<std::string> names;
    std::istringstream in(impl_->ask("entries", device_path));
    for (std::string name; in >> name;)
        names.push_back(name);
    return names;
}

int VmDevice::underruns() const {
    if (impl_->up())
        impl_->last_underruns = std::atoi(impl_->ask("underruns").c_str());
    return impl_->last_underruns;
}

// ---- waiting -------------------------------------------------------------------

// /proc/uptime (10 ms steps); a machine that is not running has no time of
// its own.
std::optional<double> VmDevice::own_seconds() {
    try {
        auto text = impl_->up() ? read_file("/proc/uptime") : std::nullopt;
        if (text)
            return std::stod(*text);
    } catch (const std::exception &) {
    }
    return std::nullopt;
}

}  // namespace mpsim

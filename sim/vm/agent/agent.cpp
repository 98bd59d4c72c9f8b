// bench-agent: the test bench's hands inside the virtual device.
//
// Started by the image's S30bench before the firmware's start script. It
// talks to the host over the virtio serial port "bench" (vm_protocol.h):
// sets input levels, converter readings and the panel clock through the
// board module's debugfs folder, and sends back every push of the panel, the
// journal of the factory program's system calls (from strace, through the
// pipe /run/bench/syscalls), its output and exit status, the system log and
// the sound the loopback card played.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mpsim/board.h"
#include "mpsim/vm_protocol.h"
#include "sound.h"
#include "syscalls.h"

namespace {

using namespace mpsim::vm;

constexpr const char *kBoard = BOARD_DEBUGFS "/";
constexpr const char *kTracePipe = "/run/bench/syscalls";
constexpr const char *kTraceLog = "/run/bench/syscalls.log";
constexpr const char *kSyslog = "/var/log/messages";

int g_port = -1;

int64_t clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void write_all(const void *data, size_t n) {
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(g_port, p, n);
        if (w < 0 && errno == EAGAIN) {
            pollfd pf{g_port, POLLOUT, 0};
            poll(&pf, 1, 100);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;  // the host went away: nothing left to tell
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Messages are gathered and written once per pass of the main loop: every
// write to the port costs an exit to the emulator.
std::string g_out;

// Whether the next batch carries the machine's clock.
bool g_anchor = false;

// The host converts the machine's times with the latest reading of its
// clock, which goes out only with the answer to an input of the host's (a
// key, a reading, the panel clock, a file, a signal): there the two clocks
// meet. In between, the times the host gets are the machine's own, so the
// intervals between the program's calls are the program's. Under an
// instruction-counted clock the machine's time runs slower than the host's
// whenever the host is busy; a reading with every batch would measure each
// interval that spans two batches on the host's clock instead, and a loaded
// host stretches it (a 100 ms sleep read 170 ms).
void flush() {
    if (g_out.empty())
        return;
    if (g_anchor) {
        int64_t now = clock_ns(CLOCK_MONOTONIC);
        MsgHeader h{kMsgClock, sizeof now};
        std::string head(reinterpret_cast<const char *>(&h), sizeof h);
        head.append(reinterpret_cast<const char *>(&now), sizeof now);
        write_all(head.data(), head.size());
        g_anchor = false;
    }
    write_all(g_out.data(), g_out.size());
    g_out.clear();
}

void send(uint32_t type, const void *a, size_t an, const void *b = nullptr, size_t bn = 0) {
    MsgHeader h{type, static_cast<uint32_t>(an + bn)};
    g_out.append(reinterpret_cast<const char *>(&h), sizeof h);
    g_out.append(static_cast<const char *>(a), an);
    if (bn > 0)
        g_out.append(static_cast<const char *>(b), bn);
    if (g_out.size() > (256u << 10))
        flush();
}

void send_text(uint32_t type, const std::string &s) {
    send(type, s.data(), s.size());
}

std::string find_port() {
    DIR *d = opendir("/sys/class/virtio-ports");
    if (d == nullptr)
        return "";
    std::string found;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string base = std::string("/sys/class/virtio-ports/") + e->d_name;
        FILE *f = std::fopen((base + "/name").c_str(), "r");
        if (f == nullptr)
            continue;
        char name[64] = {};
        if (std::fgets(name, sizeof name, f) != nullptr &&
            std::string(name).substr(0, strlen(kPortName)) == kPortName &&
            (name[strlen(kPortName)] == '\n' || name[strlen(kPortName)] == '\0'))
            found = std::string("/dev/") + e->d_name;
        std::fclose(f);
    }
    closedir(d);
    return found;
}

std::optional<std::string> read_file(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    close(fd);
    return out;
}

bool write_board(const std::string &file, const std::string &text) {
    int fd = open((std::string(kBoard) + file).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// ---- input levels between the program's steps ---------------------------------

// The key scanner reads the seven lines one after another. A pair of keys
// that went down between its reads of UP and of DOWN would read as DOWN alone
// for one scan, and so as pressed first; no two fingers land inside one scan
// of a few hundred microseconds, but the bench's inputs, which come at any
// instruction, would now and then. The machine has one CPU: while the agent
// runs at a real-time priority no thread of the program runs, and a thread of
// the program that sleeps (state S or D) is in a call such as poll or a
// sleep, between two of its steps. So the lines are set once every thread of
// the program sleeps; until then the agent gives the CPU up for 100 us at a
// time, for at most 100 ms (a program that never sleeps still gets them).
bool all_asleep(const std::vector<int> &pids) {
    for (int pid : pids) {
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        DIR *d = opendir(tasks.c_str());
        if (d == nullptr)
            continue;  // gone
        bool asleep = true;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            const auto stat = read_file(tasks + "/" + e->d_name + "/stat");
            const size_t paren = stat ? stat->rfind(") ") : std::string::npos;
            if (paren == std::string::npos || paren + 2 >= stat->size())
                continue;  // the thread ended
            const char state = (*stat)[paren + 2];
            if (state != 'S' && state != 'D' && state != 'Z' && state != 'X')
                asleep = false;
        }
        closedir(d);
        if (!asleep)
            return false;
    }
    return true;
}

bool set_levels_between_steps(const std::vector<int> &program, const std::string &pairs) {
    sched_param rt{};
    rt.sched_priority = 1;
    const bool realtime = sched_setscheduler(0, SCHED_FIFO, &rt) == 0;
    const int64_t give_up = clock_ns(CLOCK_MONOTONIC) + 100'000'000;
    while (realtime && !all_asleep(program) && clock_ns(CLOCK_MONOTONIC) < give_up) {
        const timespec pause{0, 100'000};
        nanosleep(&pause, nullptr);
    }
    const bool ok = write_board(BOARD_DEBUGFS_LEVELS, pairs);
    const int saved = errno;
    sched_param normal{};
    sched_setscheduler(0, SCHED_OTHER, &normal);
    errno = saved;
    return ok;
}

// ---- panel pushes --------------------------------------------------------------

class Glass {
  public:
    bool open_board() {
        fd_ = open((std::string(kBoard) + BOARD_DEBUGFS_GLASS).c_str(),
                   O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }
    int fd() const { return fd_; }

    // Sends every push the board holds; keeps which distinct frame each showed.
    void drain() {
        std::vector<char> rec(BOARD_PUSH_BYTES);
        while (fd_ >= 0) {
            ssize_t r = read(fd_, rec.data(), rec.size());
            if (r != static_cast<ssize_t>(rec.size()))
                return;
            board_push h{};
            memcpy(&h, rec.data(), sizeof h);
            if (h.magic != BOARD_PUSH_MAGIC)
                return;
            // The pixels follow the header at no particular alignment.
            const char *pixels = rec.data() + sizeof h;
            const size_t words = size_t{h.width} * h.height;
            bool same = !last_.empty() && last_.size() == words &&
                        memcmp(last_.data(), pixels, words * 4) == 0;
            if (!same) {
                last_.resize(words);
                memcpy(last_.data(), pixels, words * 4);
                ++distinct_;
            }
            if (frame_of_.size() <= h.push)
                frame_of_.resize(h.push + 1, {-1, 0});
            frame_of_[h.push] = {distinct_ - 1, static_cast<int64_t>(h.time_ns)};
            FramePayload f{h.push, static_cast<uint32_t>(distinct_ - 1), h.time_ns, h.width,
                           h.height};
            if (same) {
                send(kMsgPush, &f, sizeof f);
                continue;
            }
            // Run lengths: screens are mostly flat colour.
            const uint32_t *px = last_.data();
            std::vector<uint32_t> runs;
            for (size_t i = 0; i < words;) {
                size_t j = i + 1;
                while (j < words && px[j] == px[i])
                    ++j;
                runs.push_back(static_cast<uint32_t>(j - i));
                runs.push_back(px[i]);
                i = j;
            }
            send(kMsgFrame, &f, sizeof f, runs.data(), runs.size() * 4);
        }
    }

    int frame_of_push(uint32_t push, int64_t *time_ns) {
        drain();
        if (push >= frame_of_.size() || frame_of_[push].first < 0)
            return -1;
        *time_ns = frame_of_[push].second;
        return frame_of_[push].first;
    }

  private:
    int fd_ = -1;
    int distinct_ = 0;
    std::vector<uint32_t> last_;
    std::vector<std::pair<int, int64_t>> frame_of_;  // push -> frame, time
};

// ---- the system log ------------------------------------------------------------

class LogTail {
  public:
    void poll_once() {
        if (fd_ < 0) {
            fd_ = open(kSyslog, O_RDONLY | O_CLOEXEC);
            if (fd_ < 0)
                return;
        }
        char buf[8192];
        for (;;) {
            ssize_t r = read(fd_, buf, sizeof buf);
            if (r <= 0)
                return;
            send(kMsgLog, buf, static_cast<size_t>(r));
        }
    }

  private:
    int fd_ = -1;
};

// ---- the wall clock ----------------------------------------------------------------

// A wall clock that stands still, as a bench holds it through the entry
// window: the second it shows is set again every 20 ms, long before it can
// turn over. The monotonic clock, which the panel's timer and the program's
// waits run on, is not touched.
class WallClockHold {
  public:
    ~WallClockHold() {
        held_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    void set(bool held) {
        if (held == held_.exchange(held))
            return;
        if (held) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            second_ = now.tv_sec;
            if (thread_.joinable())
                thread_.join();
            thread_ = std::thread([this] {
                const timespec at{second_, 0};
                while (held_) {
                    clock_settime(CLOCK_REALTIME, &at);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
        }
    }

  private:
    std::atomic<bool> held_{false};
    time_t second_ = 0;
    std::thread thread_;
};

// Held from power-on when the kernel's command line says so, before the
// start scripts run the program.
bool held_at_power_on() {
    auto cmdline = read_file("/proc/cmdline");
    return cmdline && cmdline->find("bench.hold_wall_clock=1") != std::string::npos;
}

// ---- commands ------------------------------------------------------------------

class Agent {
  public:
    Agent()
        : journal_(SyscallJournal::Sink{
              [](const std::string &l) { send_text(kMsgJournal, l); },
              [](int fd, const std::string &b) { send_text(fd == 1 ? kMsgStdout : kMsgStderr, b); },
              [](bool killed, int code) {
                  send_text(kMsgExit, (killed ? "killed " : "exited ") + std::to_string(code));
              },
              [this](uint32_t push, int64_t *t) { return glass_.frame_of_push(push, t); },
              [this] { sound_.opened(); }}) {}

    int run();

  private:
    void command(const std::string &line);
    std::string answer(const std::string &verb, const std::string &args);

    Glass glass_;
    WallClockHold wall_clock_;
    LogTail log_;
    SyscallJournal journal_;
    Sound sound_;
    std::string in_;
};

std::string Agent::answer(const std::string &verb, const std::string &args) {
    // The board's inputs, each a file of its debugfs folder.
    if (verb == "level")
        return set_levels_between_steps(journal_.program_tree(), args)
                   ? "ok"
                   : "error " + std::string(strerror(errno));
    static const std::map<std::string, const char *> kBoardFiles = {
        {"vol", BOARD_DEBUGFS_VOL_ADC},
        {"bat", BOARD_DEBUGFS_BAT_ADC},
        {"te-clock", BOARD_DEBUGFS_TE_CLOCK},
        {"te-stop", BOARD_DEBUGFS_TE_STOPPED}};
    if (const auto f = kBoardFiles.find(verb); f != kBoardFiles.end())
        return write_board(f->second, args) ? "ok" : "error " + std::string(strerror(errno));
    if (verb == "levels") {
        auto text = read_file(std::string(kBoard) + BOARD_DEBUGFS_LEVELS);
        return text ? "ok " + *text : "error no board";
    }
    if (verb == "read") {
        auto bytes = read_file(args);
        return bytes ? "ok " + hex(*bytes) : "ok missing";
    }
    if (verb == "write") {
        // "write PATH HEX": the file's whole content, on the disk when this answers.
        size_t sp = args.find(' ');
        std::string path = args.substr(0, sp);
        const std::string bytes =
            sp == std::string::npos ? std::string() : unhex(std::string_view(args).substr(sp + 1));
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return "error " + std::string(strerror(errno));
        bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) &&
                  fsync(fd) == 0;
        close(fd);
        sync();
        return ok ? "ok" : "error " + std::string(strerror(errno));
    }
    if (verb == "exists")
        return access(args.c_str(), F_OK) == 0 ? "ok 1" : "ok 0";
    if (verb == "entries") {
        // A folder's entries but "." and "..", by name: /proc/PID/fd holds
        // the descriptors a process has open, /proc/PID/task its threads.
        DIR *d = opendir(args.c_str());
        if (d == nullptr)
            return "error " + std::string(strerror(errno));
        std::string names;
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names += std::string(names.empty() ? "" : " ") + e->d_name;
        closedir(d);
        return "ok " + names;
    }
    if (verb == "kill") {
        std::vector<int> pids = journal_.program_tree();
        if (pids.empty())
            return "error the program is not running";
        for (int pid : pids)
            kill(pid, SIGKILL);
        return "ok";
    }
    if (verb == "wall-clock") {
        if (args != "hold" && args != "run")
            return "error wall-clock hold|run";
        wall_clock_.set(args == "hold");
        return "ok";
    }
    if (verb == "underruns")
        return "ok " + std::to_string(sound_.underruns());
    if (verb == "clock")
        return "ok " + std::to_string(clock_ns(CLOCK_MONOTONIC)) + " " +
               std::to_string(clock_ns(CLOCK_REALTIME));
    return "error unknown command " + verb;
}

void Agent::command(const std::string &line) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos)
        return;
    size_t sp2 = line.find(' ', sp1 + 1);
    std::string id = line.substr(0, sp1);
    std::string verb =
        line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    std::string args = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
    send_text(kMsgAnswer, id + " " + answer(verb, args));
    // The host's inputs; its questions ("levels", "read", "exists",
    // "entries", "underruns", "clock") change nothing the program sees.
    static const std::set<std::string> inputs = {"level",   "vol",   "bat",  "te-clock",
                                                 "te-stop", "write", "kill", "wall-clock"};
    if (inputs.count(verb) != 0)
        g_anchor = true;
}

int Agent::run() {
    std::string port = find_port();
    g_port = port.empty() ? -1 : open(port.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (g_port < 0) {
        std::fprintf(stderr, "bench-agent: no virtio port named %s\n", kPortName);
        return 1;
    }
    glass_.open_board();
    sound_.start();
    wall_clock_.set(held_at_power_on());

    mkdir("/run/bench", 0755);
    unlink(kTracePipe);
    // Read and write: the pipe never reports an end while strace reopens it.
    int trace =
        mkfifo(kTracePipe, 0600) == 0 ? open(kTracePipe, O_RDWR | O_NONBLOCK | O_CLOEXEC) : -1;
    // strace's own lines too, for whoever looks into the machine.
    int raw = open(kTraceLog, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // Room for a second of the program's calls between two passes.
    if (trace >= 0)
        fcntl(trace, F_SETPIPE_SZ, 1 << 20);
    utsname u{};
    uname(&u);
    send_text(kMsgHello, std::to_string(clock_ns(CLOCK_MONOTONIC)) + " " + u.release);
    flush();

    // The loop wakes at once for the host's commands and otherwise every
    // 20 ms: waking for each of strace's lines would take the CPU the
    // program needs to keep up with the panel's TE edges.
    for (;;) {
        std::vector<pollfd> pf = {{g_port, POLLIN, 0}};
        if (poll(pf.data(), pf.size(), 20) < 0 && errno != EINTR)
            return 1;
        if (pf[0].revents & POLLIN) {
            char buf[4096];
            ssize_t n = read(g_port, buf, sizeof buf);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                for (size_t nl; (nl = in_.find('\n')) != std::string::npos;) {
                    command(in_.substr(0, nl));
                    in_.erase(0, nl + 1);
                }
            }
        }
        glass_.drain();
        const int64_t offset = clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC);
        static char buf[1 << 16];
        for (ssize_t n; trace >= 0 && (n = read(trace, buf, sizeof buf)) > 0;) {
            journal_.feed(buf, static_cast<size_t>(n), offset);
            if (raw >= 0 && write(raw, buf, static_cast<size_t>(n)) != n)
                raw = -1;
        }
        sound_.service();
        log_.poll_once();
        flush();
    }
}

}  // namespace

void mpsim::vm::send_message(uint32_t type, const void *a, size_t an, const void *b, size_t bn) {
    send(type, a, an, b, bn);
}

int main() {
    signal(SIGPIPE, SIG_IGN);
    Agent agent;
    return agent.run();
}

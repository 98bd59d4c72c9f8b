// The factory program's system calls, from strace's output, as the lines of
// the simulated device's journal.
//
// strace runs the firmware's start script (see the image's rcS) with
//   -f -q -xx -X raw --absolute-timestamps=format:unix,precision:ns
// so each line is "<tid> <seconds.nanoseconds> <call>(<args>) = <result>",
// possibly split into "<unfinished ...>" and "<... resumed>" halves.
// Every traced process's opens, writes, renames, unlinks and fsyncs of device
// files become journal lines; the processes are told apart by thread group
// (the journal names a process by its pid, as getpid() gives it). The program
// is the process that executes /usr/bin/mp_test; what it and the processes it
// starts write to their standard output and error, their program starts
// ("exec" lines) and its exit status are reported too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace mpsim::vm {

// A path the simulated device journals: under /sys, /mnt, /dev/fb0, /etc/version.
bool is_device_path(const std::string &path);

class SyscallJournal {
  public:
    struct Sink {
        // A journal line without its newline; times are CLOCK_MONOTONIC ns.
        std::function<void(const std::string &)> journal;
        std::function<void(int fd, const std::string &bytes)> output;  // fd 1 or 2
        std::function<void(bool killed, int code)> exited;
        // The distinct frame the n-th push (from 1) showed, and when; -1 when
        // the push was not captured.
        std::function<int(uint32_t push, int64_t *time_ns)> frame_of_push;
        std::function<void()> sound_opened;  // a playback device of a sound card opened
    };

    explicit SyscallJournal(Sink sink) : sink_(std::move(sink)) {}

    // Feeds strace's output as it comes (any split into chunks).
    // realtime_minus_monotonic converts strace's wall-clock stamps.
    void feed(const char *data, size_t n, int64_t realtime_minus_monotonic);
    void line(const std::string &text, int64_t realtime_minus_monotonic);

    int program() const { return program_; }  // tgid of mp_test, 0 before it started
    // The program and every process it started that is still known.
    std::vector<int> program_tree() const;

  private:
    int tgid(int tid) const;
    bool in_program_tree(int tgid) const;
    void call(int tid, int64_t ns, const std::string &text);

    Sink sink_;
    std::string partial_;
    std::map<int, std::pair<int64_t, std::string>> unfinished_;  // tid -> entry time, text
    std::map<int, int> tgid_of_;                                 // tid -> thread group
    std::map<int, int> parent_of_;                               // tgid -> parent tgid
    std::map<int, std::map<int, std::string>> fds_;              // tgid -> fd -> path as opened
    std::set<int> exited_;
    int program_ = 0;
    uint32_t pushes_ = 0;
};

}  // namespace mpsim::vm

// The factory program's system calls as journal lines (see syscalls.h).
#include "syscalls.h"

#include <fcntl.h>
#include <string.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "mpsim/journal.h"
#include "mpsim/vm_protocol.h"

namespace mpsim::vm {

namespace {

constexpr const char *kUpdatePath = "/sys/kernel/screen_update/update";
constexpr const char *kProgram = "/usr/bin/mp_test";
constexpr unsigned long kCloneThread = 0x10000;

// The bytes of a C string as strace prints it (with -xx every byte is \xHH;
// the other escapes are taken too). `s` starts at the opening quote.
std::string unquote(const std::string &s) {
    std::string out;
    if (s.empty() || s[0] != '"')
        return out;
    for (size_t i = 1; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'x' && i + 2 < s.size() && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else if (c >= '0' && c <= '7') {
            int v = 0;
            int digits = 0;
            while (digits < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7') {
                v = v * 8 + (s[i++] - '0');
                ++digits;
            }
            --i;
            out += static_cast<char>(v);
        } else {
            // \n \t \r \v \f; any other character stands for itself (\" \\).
            static constexpr std::string_view kLetters = "ntrvf", kBytes = "\n\t\r\v\f";
            const size_t k = kLetters.find(c);
            out += k == std::string_view::npos ? c : kBytes[k];
        }
    }
    return out;
}

// The arguments of a call, split at the commas that are not inside quotes,
// brackets or braces.
std::vector<std::string> split_args(const std::string &args) {
    std::vector<std::string> out;
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < args.size(); ++i) {
        char c = args[i];
        if (quoted) {
            cur += c;
            if (c == '\\' && i + 1 < args.size())
                cur += args[++i];
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"') {
            quoted = true;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(cur);
            cur.clear();
            while (i + 1 < args.size() && args[i + 1] == ' ')
                ++i;
            continue;
        }
        cur += c;
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

struct Call {
    std::string name;
    std::vector<std::string> args;
    long result = 0;
    std::string error;  // errno name when result is -1
    bool complete = false;
};

// "name(args) = result [ERRNO (text)]"
Call parse_call(const std::string &text) {
    Call c;
    size_t open = text.find('(');
    if (open == std::string::npos)
        return c;
    c.name = text.substr(0, open);
    // The result follows the last " = " of the line (strings are hex-escaped,
    // so none holds one); strace pads a short call out to a column before
    // it: "fsync(17)    = 0".
    size_t eq = text.rfind(" = ");
    if (eq == std::string::npos)
        return c;
    size_t close = eq;
    while (close > open && text[close - 1] == ' ')
        --close;
    if (close <= open + 1 || text[close - 1] != ')')
        return c;
    c.args = split_args(text.substr(open + 1, close - 1 - open - 1));
    std::string res = text.substr(eq + 3);
    char *end = nullptr;
    c.result = std::strtol(res.c_str(), &end, 0);
    size_t pos = static_cast<size_t>(end - res.c_str());
    if (c.result < 0) {
        size_t sp = res.find(' ');
        if (sp != std::string::npos) {
            size_t e = res.find(' ', sp + 1);
            c.error = res.substr(sp + 1, e == std::string::npos ? std::string::npos : e - sp - 1);
        }
    }
    c.complete = pos > 0;
    return c;
}

long number(const std::string &arg) {
    return std::strtol(arg.c_str(), nullptr, 0);
}

int fd_arg(const std::string &arg) {
    return static_cast<int>(std::strtol(arg.c_str(), nullptr, 10));
}

int signal_number(const std::string &name) {
    for (int s = 1; s < 65; ++s) {
        const char *abbrev = sigabbrev_np(s);
        if (abbrev != nullptr && name == std::string("SIG") + abbrev)
            return s;
    }
    return 0;
}

unsigned long clone_flags(const std::string &text) {
    size_t at = text.find("flags=");
    return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + 6, nullptr, 0);
}

}  // namespace

bool is_device_path(const std::string &path) {
    return path.rfind("/sys/", 0) == 0 || path.rfind("/mnt/", 0) == 0 || path == "/dev/fb0" ||
           path == "/etc/version";
}

void SyscallJournal::feed(const char *data, size_t n, int64_t realtime_minus_monotonic) {
    partial_.append(data, n);
    size_t start = 0;
    for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1)
        line(partial_.substr(start, nl - start), realtime_minus_monotonic);
    partial_.erase(0, start);
}

int SyscallJournal::tgid(int tid) const {
    auto it = tgid_of_.find(tid);
    return it == tgid_of_.end() ? tid : it->second;
}

bool SyscallJournal::in_program_tree(int g) const {
    for (int hops = 0; program_ != 0 && hops < 64; ++hops) {
        if (g == program_)
            return true;
        auto it = parent_of_.find(g);
        if (it == parent_of_.end())
            return false;
        g = it->second;
    }
    return false;
}

std::vector<int> SyscallJournal::program_tree() const {
    std::vector<int> out;
    std::set<int> groups;
    for (const auto &[child, parent] : parent_of_)
        groups.insert(child);
    if (program_ != 0)
        groups.insert(program_);
    for (int g : groups)
        if (in_program_tree(g) && exited_.count(g) == 0)
            out.push_back(g);
    return out;
}

void SyscallJournal::line(const std::string &text, int64_t realtime_minus_monotonic) {
    // "<tid> <sec>.<nsec> <rest>"
    char *end = nullptr;
    long tid = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str())
        return;
    const char *p = end;
    while (*p == ' ')
        ++p;
    char *frac = nullptr;
    long long sec = std::strtoll(p, &frac, 10);
    if (frac == p)
        return;
    long long nsec = 0;
    const char *after = frac;
    if (*frac == '.') {
        const char *digits = frac + 1;
        char *stop = nullptr;
        nsec = std::strtoll(digits, &stop, 10);
        for (auto k = stop - digits; k < 9; ++k)
            nsec *= 10;
        after = stop;
    }
    int64_t ns = sec * 1000000000LL + nsec - realtime_minus_monotonic;
    std::string rest = after;
    while (!rest.empty() && rest[0] == ' ')
        rest.erase(0, 1);
    int t = static_cast<int>(tid);

    if (rest.rfind("+++ ", 0) == 0) {
        // "+++ exited with N +++" / "+++ killed by SIGX [(core dumped)] +++"
        if (tgid(t) != t)
            return;  // a thread of a process: the process ends with its leader
        exited_.insert(t);
        if (t != program_ || !sink_.exited)
            return;
        int code = 0;
        if (std::sscanf(rest.c_str(), "+++ exited with %d", &code) == 1) {
            sink_.exited(false, code);
        } else {
            char sig[32] = {};
            if (std::sscanf(rest.c_str(), "+++ killed by %31s", sig) == 1)
                sink_.exited(true, signal_number(sig));
        }
        return;
    }
    const std::string unfinished = " <unfinished ...>";
    if (rest.size() >= unfinished.size() &&
        rest.compare(rest.size() - unfinished.size(), unfinished.size(), unfinished) == 0) {
        unfinished_[t] = {ns, rest.substr(0, rest.size() - unfinished.size())};
        return;
    }
    if (rest.rfind("<... ", 0) == 0) {
        size_t close = rest.find(" resumed>");
        auto it = unfinished_.find(t);
        if (close == std::string::npos || it == unfinished_.end())
            return;
        std::string whole = it->second.second + rest.substr(close + 9);
        ns = it->second.first;
        unfinished_.erase(it);
        call(t, ns, whole);
        return;
    }
    call(t, ns, rest);
}

void SyscallJournal::call(int tid, int64_t ns, const std::string &text) {
    Call c = parse_call(text);
    if (!c.complete)
        return;
    const int g = tgid(tid);
    const std::string result = c.result < 0 ? (c.error.empty() ? "EIO" : c.error) : "ok";
    // One journal line of this call; bytes for write and exec, else arg.
    auto journal = [&](const char *op, const std::string &path, const std::string &arg,
                       const std::string &res, int64_t at) {
        if (!sink_.journal)
            return;
        JournalLine l;
        l.time_ns = static_cast<uint64_t>(at);
        l.pid = g;
        l.op = op;
        l.path = path.c_str();
        l.result = res.c_str();
        if (journal_has_bytes(op)) {
            l.bytes = arg.data();
            l.nbytes = arg.size();
        } else if (!arg.empty()) {
            l.arg = arg.c_str();
        }
        std::string line = journal_line(l);
        line.pop_back();  // the sink takes a line without its newline
        sink_.journal(line);
    };

    const std::string &n = c.name;
    if (n == "clone" || n == "clone3" || n == "fork" || n == "vfork") {
        if (c.result <= 0)
            return;
        int child = static_cast<int>(c.result);
        if ((n == "clone" || n == "clone3") && (clone_flags(text) & kCloneThread) != 0) {
            tgid_of_[child] = g;
        } else {
            tgid_of_[child] = child;
            parent_of_[child] = g;
            fds_[child] = fds_[g];
        }
        return;
    }
    if (n == "execve") {
        if (c.result != 0 || c.args.size() < 2)
            return;
        std::string path = unquote(c.args[0]);
        if (path == kProgram && program_ == 0)
            program_ = g;
        if (!in_program_tree(g))
            return;
        // argv: ["a", "b", ...]
        std::string argv;
        for (const std::string &a : split_args(c.args[1].substr(1, c.args[1].size() - 2))) {
            if (!argv.empty())
                argv += '\0';
            argv += unquote(a);
        }
        journal("exec", path, argv, "ok", ns);
        return;
    }
    if (n == "open" || n == "openat" || n == "creat") {
        size_t first = n == "openat" ? 1 : 0;
        if (c.args.size() < first + 1)
            return;
        std::string path = unquote(c.args[first]);
        long flags = n == "creat"                ? (O_WRONLY | O_CREAT | O_TRUNC)
                     : c.args.size() > first + 1 ? number(c.args[first + 1])
                                                 : 0;
        if (c.result >= 0)
            fds_[g][static_cast<int>(c.result)] = path;
        if (c.result >= 0 && path.rfind("/dev/snd/pcmC", 0) == 0 && path.back() == 'p' &&
            sink_.sound_opened)
            sink_.sound_opened();
        if (!is_device_path(path))
            return;
        const long acc = flags & O_ACCMODE;
        std::string mode = acc == O_WRONLY ? "w" : acc == O_RDWR ? "rw" : "r";
        if ((flags & O_CREAT) != 0)
            mode += "c";
        journal("open", path, mode, result, ns);
        return;
    }
    if (n == "write") {
        if (c.args.size() < 2)
            return;
        int fd = fd_arg(c.args[0]);
        std::string bytes = unquote(c.args[1]);
        if ((fd == 1 || fd == 2) && in_program_tree(g) && c.result > 0 && sink_.output)
            sink_.output(fd, bytes.substr(0, static_cast<size_t>(c.result)));
        auto named = fds_[g].find(fd);
        std::string path = named != fds_[g].end() ? named->second : std::string();
        if (!is_device_path(path))
            return;
        journal("write", path, bytes, c.result < 0 ? result : std::to_string(c.result), ns);
        if (c.result >= 0 && path == kUpdatePath) {
            int64_t t = ns;
            int frame = sink_.frame_of_push ? sink_.frame_of_push(++pushes_, &t) : -1;
            journal("push", path, std::to_string(frame), std::to_string(pushes_), t);
        }
        return;
    }
    if (n == "fsync" || n == "fdatasync") {
        if (c.args.empty())
            return;
        auto named = fds_[g].find(fd_arg(c.args[0]));
        std::string path = named != fds_[g].end() ? named->second : std::string();
        if (is_device_path(path))
            journal("fsync", path, "", result, ns);
        return;
    }
    if (n == "rename" || n == "renameat" || n == "renameat2") {
        size_t a = n == "rename" ? 0 : 1;
        size_t b = n == "rename" ? 1 : 3;
        if (c.args.size() <= b)
            return;
        std::string from = unquote(c.args[a]);
        std::string to = unquote(c.args[b]);
        if (is_device_path(from) || is_device_path(to))
            journal("rename", from, to, result, ns);
        return;
    }
    if (n == "unlink" || n == "unlinkat") {
        size_t a = n == "unlink" ? 0 : 1;
        if (c.args.size() <= a)
            return;
        std::string path = unquote(c.args[a]);
        if (is_device_path(path))
            journal("unlink", path, "", result, ns);
    }
}

}  // namespace mpsim::vm

// The device journal: a line per operation the program, or a process it
// started, made on a device path, in the order they happened. The simulated
// device's preloaded library appends the lines to <root>/.sim/journal; the
// virtual device's bench agent makes the same lines from the program's real
// system calls and sends them over its port.
//
// Fields are separated by one space; a line ends in '\n' and is written whole
// (one write(), so the lines of several processes never interleave):
//   <monotonic ns> <pid> open   <path> <r|w|rw>[c]   <ok|ERRNO_NAME>
//   <monotonic ns> <pid> write  <path> <hex bytes|-> <count|ERRNO_NAME>
//   <monotonic ns> <pid> read   <path> <hex bytes|-> <count|ERRNO_NAME>
//   <monotonic ns> <pid> push   <path> <frame index> <push number>
//   <monotonic ns> <pid> rename <path> <new path>    <ok|ERRNO_NAME>
//   <monotonic ns> <pid> unlink <path> <ok|ERRNO_NAME>
//   <monotonic ns> <pid> fsync  <path> <ok|ERRNO_NAME>
//   <monotonic ns> <pid> sync   / <ok|ERRNO_NAME>
//   <monotonic ns> <pid> exec   <path> <hex argv|->  <ok|ERRNO_NAME>
// <path> is the device path as the program named it (/sys/class/gpio/export)
// and may hold blanks: the fields around it are counted from both ends. Bytes
// are hex (mpsim/hex.h), "-" for none. read lines come only from GPIO value
// files under a probe; fsync (and fdatasync) name the path the descriptor was
// opened on; a rename between a device path and any other path is journaled
// with EXDEV; sync is sync() or syncfs() by any process; exec is a program
// started (the virtual device only), its arguments each ended by a NUL.
//
// Plain C++ with the standard library alone: the preloaded library and the
// bench agent write with format_journal_line, the harness reads with
// parse_journal_line.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mpsim/hex.h"

namespace mpsim {

// True for the operations whose argument is bytes.
inline bool journal_has_bytes(std::string_view op) {
    return op == "write" || op == "read" || op == "exec";
}
// True for the operations with no argument between the path and the result.
inline bool journal_bare(std::string_view op) {
    return op == "unlink" || op == "fsync" || op == "sync";
}

// One line's fields, as a writer has them.
struct JournalLine {
    uint64_t time_ns = 0;
    long pid = 0;
    const char *op = "";
    const char *path = "";
    const char *arg = nullptr;    // open: mode; push: frame index; rename: the new path
    const void *bytes = nullptr;  // write, read, exec
    size_t nbytes = 0;
    const char *result = "ok";  // "ok", a count or an errno name
};

// Formats one line, '\n' included, into out (no NUL added). Returns the
// line's length; when that is more than size, only the first size bytes were
// written. Allocates nothing and calls nothing: the preloaded library calls
// it inside the program's calls, in signal handlers too.
inline size_t format_journal_line(char *out, size_t size, const JournalLine &l) {
    size_t n = 0;
    auto put = [&](char c) {
        if (n < size)
            out[n] = c;
        ++n;
    };
    auto text = [&](const char *s) {
        while (*s != '\0')
            put(*s++);
    };
    auto number = [&](uint64_t v) {
        char d[20];
        int k = 0;
        do {
            d[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (k > 0)
            put(d[--k]);
    };
    number(l.time_ns);
    put(' ');
    if (l.pid < 0)
        put('-');
    number(static_cast<uint64_t>(l.pid < 0 ? -l.pid : l.pid));
    put(' ');
    text(l.op);
    put(' ');
    text(l.path);
    if (journal_has_bytes(l.op)) {
        put(' ');
        if (l.nbytes == 0)
            put('-');
        const auto *b = static_cast<const unsigned char *>(l.bytes);
        for (size_t i = 0; i < l.nbytes; ++i) {
            put(kHexDigits[b[i] >> 4]);
            put(kHexDigits[b[i] & 15]);
        }
    } else if (l.arg != nullptr) {
        put(' ');
        text(l.arg);
    }
    put(' ');
    text(l.result);
    put('\n');
    return n;
}

// The same, as a string (for writers that may allocate).
inline std::string journal_line(const JournalLine &l) {
    std::string out(format_journal_line(nullptr, 0, l), '\0');
    format_journal_line(out.data(), out.size(), l);
    return out;
}

// One line's fields, as a reader has them.
struct JournalEntry {
    uint64_t time_ns = 0;
    pid_t pid = 0;
    std::string op;
    std::string path;
    std::string arg;             // open: mode; push: frame index; rename: the new path;
                                 // write, read, exec: the hex text
    std::vector<uint8_t> bytes;  // write, read, exec: the bytes
    std::string result;          // "ok", a count or an errno name ("EBUSY")
    // The result is "ok" or a count.
    bool ok() const {
        if (result == "ok")
            return true;
        return !result.empty() && result.find_first_not_of("0123456789") == std::string::npos;
    }
};

// One line ('\n' or not); nullopt for text that is not one.
inline std::optional<JournalEntry> parse_journal_line(std::string_view line) {
    if (line.ends_with('\n'))
        line.remove_suffix(1);
    std::vector<std::string_view> t;
    for (size_t at = 0;;) {
        const size_t sp = line.find(' ', at);
        t.push_back(line.substr(at, sp == std::string_view::npos ? sp : sp - at));
        if (sp == std::string_view::npos)
            break;
        at = sp + 1;
    }
    if (t.size() < 5 || t[0].empty() || t[0].find_first_not_of("0123456789") != t[0].npos ||
        t[1].empty() || t[1].find_first_not_of("0123456789") != t[1].npos)
        return std::nullopt;
    JournalEntry e;
    e.time_ns = std::stoull(std::string(t[0]));
    e.pid = static_cast<pid_t>(std::stol(std::string(t[1])));
    e.op = t[2];
    e.result = t.back();
    const size_t path_end = journal_bare(e.op) ? t.size() - 1 : t.size() - 2;
    if (path_end < 4)
        return std::nullopt;
    if (path_end < t.size() - 1)
        e.arg = t[path_end];
    e.path = t[3];
    for (size_t i = 4; i < path_end; ++i)
        (e.path += ' ') += t[i];
    if (journal_has_bytes(e.op) && e.arg != "-") {
        const std::string b = unhex(e.arg);
        e.bytes.assign(b.begin(), b.end());
    }
    return e;
}

}  // namespace mpsim

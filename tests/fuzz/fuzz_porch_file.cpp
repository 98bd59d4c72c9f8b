// The porch file reader on a file of arbitrary bytes in a private temporary
// folder (never the device's own porch file).
//
// Input: one control byte (bit 0: take the file away before reading; bit 1:
// point the reader at the folder instead, which opens but cannot be read),
// then the file's bytes.
//
// What must hold:
// - a file that exists is read as stored, and the value is what atoi makes of
//   its first three bytes (computed here with strtol, which three bytes cannot
//   overflow), so it lies within -99..999; a file shorter than three bytes
//   reads as if zero-filled, an empty one as 0;
// - a file that cannot be opened is "not stored" and leaves the value alone;
// - one that opens but cannot be read is either not stored (value left alone)
//   or stored as 0, never anything else;
// - the reader leaves the file's bytes as they were and no handle open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "station/station.h"

namespace {

constexpr size_t kPorchBytes = 3;
constexpr int kUntouched = 0x5A5A5A5A;

struct Scratch {
    std::string dir;
    std::string file;
};

void remove_scratch();

const Scratch &scratch() {
    static const Scratch s = [] {
        const char *tmp = std::getenv("TMPDIR");
        std::string tmpl =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mp_fuzz_porch_XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        Scratch made{tmpl, tmpl + "/.lcdporch"};
        return made;
    }();
    static const bool cleanup = [] { return std::atexit(remove_scratch) == 0; }();
    (void)cleanup;
    return s;
}

void remove_scratch() {
    unlink(scratch().file.c_str());
    rmdir(scratch().dir.c_str());
}

void write_file(const std::string &path, const uint8_t *bytes, size_t n) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror("open porch file for the case");
        std::abort();
    }
    while (n > 0) {
        const ssize_t w = write(fd, bytes, n);
        if (w <= 0) {
            std::perror("write porch file for the case");
            std::abort();
        }
        bytes += w;
        n -= static_cast<size_t>(w);
    }
    close(fd);
}

std::string read_file(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return out;
    }
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) {
        out.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return out;
}

// The lowest free descriptor number: it only changes if a call leaves one open.
int lowest_free_fd() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Scratch &s = scratch();
    mpfuzz::Input in(data, size);
    const uint8_t control = in.u8();
    size_t n = 0;
    const uint8_t *bytes = in.rest(&n);

    write_file(s.file, bytes, n);
    const int free_before = lowest_free_fd();
    int value = kUntouched;

    if (control & 1) {
        unlink(s.file.c_str());
        const bool stored = porch_file_read_at(s.file.c_str(), &value);
        FUZZ_CHECK(!stored, "a missing porch file was read as stored");
        FUZZ_CHECK(value == kUntouched, "a missing porch file changed the value to %d", value);
    } else if (control & 2) {
        // Whether such a file counts as stored is the station's choice; a
        // value that does not come from the file must not be stored either way.
        const bool stored = porch_file_read_at(s.dir.c_str(), &value);
        FUZZ_CHECK(stored ? value == 0 : value == kUntouched,
                   "a porch file that cannot be read gave stored %d, value %d", stored, value);
    } else {
        const bool stored = porch_file_read_at(s.file.c_str(), &value);
        FUZZ_CHECK(stored, "an existing porch file of %zu bytes was not read", n);
        // atoi on the zero-filled buffer that holds at most the first three bytes.
        char first[kPorchBytes + 1] = {};
        std::memcpy(first, bytes, std::min(n, kPorchBytes));
        const long want = std::strtol(first, nullptr, 10);
        FUZZ_CHECK(value == want, "porch file gave %d, expected %ld", value, want);
        FUZZ_CHECK(value >= -99 && value <= 999, "porch value %d out of what 3 bytes hold", value);
        const std::string after = read_file(s.file);
        FUZZ_CHECK(after.size() == n && (n == 0 || std::memcmp(after.data(), bytes, n) == 0),
                   "reading the porch file changed it (%zu bytes, now %zu)", n, after.size());
    }
    const int free_after = lowest_free_fd();
    FUZZ_CHECK(free_after == free_before, "the porch reader left a handle open (%d, then %d)",
               free_before, free_after);
    return 0;
}

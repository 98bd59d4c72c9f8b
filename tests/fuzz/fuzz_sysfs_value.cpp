// Sysfs value reading: parse_int_bounded on buffers of exactly the length it
// is given (so AddressSanitizer stops any look past it), and
// read_value_from_fd through a rewindable file (memfd, left at some offset
// before the call) and through a pipe, in value and boolean mode.
//
// Input: one control byte (low nibble: the file offset left before each read;
// high nibble: a shorter length to parse as well), then the value file's bytes.
//
// What must hold, against a reference built on strtol:
// - value mode gives the decimal number at the start of the first 10 bytes
//   (leading blanks, a sign, digits; no digits give 0), saturated to the int
//   range, so from a file never below -999999999 (ten bytes hold no more);
// - boolean mode gives 0 exactly when the first byte is the digit 0, else 1,
//   an empty or failed read included; value mode gives 0 then;
// - reading the same file twice gives the same result (the handle is rewound).
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/device.h"
#include "fuzz_util.h"

namespace {

constexpr size_t kReadBytes = 10;  // what one read of a value takes
constexpr size_t kPipeMax = 4096;  // well under any pipe's capacity: writing never blocks

// The number strtol finds at the start of the first n bytes, cut to int.
int reference_value(const uint8_t *bytes, size_t n) {
    std::string text(reinterpret_cast<const char *>(bytes),
                     n);  // strtol stops at a zero byte anyway
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

int reference_bool(const uint8_t *bytes, size_t n) {
    return n > 0 && bytes[0] == '0' ? 0 : 1;
}

// parse_int_bounded over a heap copy of exactly n bytes.
void check_parse(const uint8_t *bytes, size_t n) {
    std::unique_ptr<char[]> copy(new char[n]);
    if (n > 0) {
        std::memcpy(copy.get(), bytes, n);
    }
    const int got = parse_int_bounded(copy.get(), static_cast<unsigned>(n));
    const int want = reference_value(bytes, n);
    FUZZ_CHECK(got == want, "parse_int_bounded of %zu bytes gave %d, expected %d", n, got, want);
}

int value_file() {
    static const int fd = memfd_create("sysfs-value", MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return fd;
}

void write_all(int fd, const uint8_t *bytes, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, bytes, n);
        if (w <= 0) {
            std::perror("write");
            std::abort();
        }
        bytes += w;
        n -= static_cast<size_t>(w);
    }
}

// A long-lived handle onto a regular file, left at some offset by an earlier
// read, as the key and ADC handles are between polls.
void check_file(const uint8_t *bytes, size_t n, off_t left_at) {
    const int fd = value_file();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        std::perror("memfd reset");
        std::abort();
    }
    write_all(fd, bytes, n);
    const size_t seen = std::min(n, kReadBytes);
    const int want_value = reference_value(bytes, seen);
    const int want_bool = reference_bool(bytes, seen);

    lseek(fd, left_at, SEEK_SET);
    const int v = read_value_from_fd(fd, 0);
    FUZZ_CHECK(v == want_value, "value mode gave %d, expected %d (%zu bytes)", v, want_value, n);
    FUZZ_CHECK(v >= -999999999, "value mode gave %d, below what ten bytes can hold", v);

    lseek(fd, left_at, SEEK_SET);
    const int b = read_value_from_fd(fd, 1);
    FUZZ_CHECK(b == want_bool, "boolean mode gave %d, expected %d", b, want_bool);

    // No explicit seek this time: the handle sits after the previous read.
    const int again = read_value_from_fd(fd, 0);
    FUZZ_CHECK(again == v, "a second read of the same file gave %d, the first %d", again, v);
}

// A handle that cannot be rewound: each read takes the next bytes, whatever
// the mode, and an exhausted pipe reads as an empty value.
void check_pipe(const uint8_t *bytes, size_t n) {
    n = std::min(n, kPipeMax);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::abort();
    }
    write_all(fds[1], bytes, n);
    close(fds[1]);  // so that reading an empty pipe ends instead of blocking
    size_t at = 0;
    for (int call = 0; call < 3; ++call) {
        const size_t seen = std::min(n - at, kReadBytes);
        const int is_bool = call % 2;
        const int got = read_value_from_fd(fds[0], is_bool);
        const int want =
            is_bool ? reference_bool(bytes + at, seen) : reference_value(bytes + at, seen);
        FUZZ_CHECK(got == want, "pipe read %d (mode %d) gave %d, expected %d", call, is_bool, got,
                   want);
        at += seen;
    }
    close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    mpfuzz::Input in(data, size);
    const uint8_t control = in.u8();
    size_t n = 0;
    const uint8_t *bytes = in.rest(&n);

    check_parse(bytes, n);
    check_parse(bytes, std::min<size_t>(n, control >> 4));
    check_file(bytes, n, control & 0x0F);
    check_pipe(bytes, n);

    // A handle whose open failed, and one whose reads fail.
    FUZZ_CHECK(read_value_from_fd(-1, 0) == 0, "value mode on a handle of -1 is not 0");
    FUZZ_CHECK(read_value_from_fd(-1, 1) == 1, "boolean mode on a handle of -1 is not 1");
    static const int dir_fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(read_value_from_fd(dir_fd, 0) == 0, "value mode on a failing read is not 0");
    FUZZ_CHECK(read_value_from_fd(dir_fd, 1) == 1, "boolean mode on a failing read is not 1");
    return 0;
}

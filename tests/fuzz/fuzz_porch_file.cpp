// The porch file's reading rule on arbitrary file contents.
//
// Input: one control byte (bit 0 or bit 1: the read of the opened file
// failed), then the file's bytes; the program reads at most three of them
// into a zero-filled buffer.
//
// What must hold: the value is what atoi makes of the first three bytes (here
// strtol, which three bytes cannot overflow); a failed read or a value below
// 0 is "not stored" and leaves the value alone; a stored one lies in 0..999.
#include <sys/types.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fuzz_util.h"
#include "station/porch_file.h"

namespace {
constexpr size_t kPorchBytes = 3;
constexpr int kUntouched = 0x5A5A5A5A;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    mpfuzz::Input in(data, size);
    const uint8_t control = in.u8();
    size_t n = 0;
    const uint8_t *bytes = in.take(kPorchBytes, &n);

    char buf[20] = {};
    std::memcpy(buf, bytes, n);
    int value = kUntouched;
    if (control & 3) {
        FUZZ_CHECK(!porch_from_bytes(buf, -1, value), "a failed read was taken as stored");
        FUZZ_CHECK(value == kUntouched, "a failed read changed the value to %d", value);
        return 0;
    }
    char first[kPorchBytes + 1] = {};
    std::memcpy(first, bytes, n);
    const long want = std::strtol(first, nullptr, 10);
    const bool stored = porch_from_bytes(buf, static_cast<ssize_t>(n), value);
    if (want < 0) {
        FUZZ_CHECK(!stored && value == kUntouched, "porch %ld taken as stored %d", want, value);
        return 0;
    }
    FUZZ_CHECK(stored, "%zu bytes holding %ld not stored", n, want);
    FUZZ_CHECK(value == want, "porch file gave %d, expected %ld", value, want);
    FUZZ_CHECK(value >= 0 && value <= 999, "porch value %d out of what 3 bytes hold", value);
    return 0;
}

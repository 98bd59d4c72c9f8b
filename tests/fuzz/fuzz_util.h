// Helpers shared by the fuzz targets: a reader that takes the input from the
// front (so a seed file reads like a record of what it does) and the check
// that turns a broken property into a crash libFuzzer keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Stops the run with a message; libFuzzer saves the input as a crash.
#define FUZZ_CHECK(cond, ...)                                       \
    do {                                                            \
        if (!(cond)) {                                              \
            std::fprintf(stderr, "property broken: %s\n  ", #cond); \
            std::fprintf(stderr, __VA_ARGS__);                      \
            std::fputc('\n', stderr);                               \
            std::abort();                                           \
        }                                                           \
    } while (0)

// For the target's own bulk loops (models, comparisons): tracing their
// comparisons only slows the fuzzer down and teaches it nothing.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE  // the replay build has no coverage tracing
#endif

namespace mpfuzz {

// Reads fixed-size fields from the front of the input; past the end every
// field reads 0, so a short input is still a whole (if dull) case.
class Input {
  public:
    Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}

    size_t left() const { return n_; }
    uint8_t u8() {
        if (n_ == 0) {
            return 0;
        }
        --n_;
        return *p_++;
    }
    uint16_t u16() {
        const uint16_t lo = u8();
        return static_cast<uint16_t>(lo | (u8() << 8));
    }
    // Up to `want` bytes from the front; `got` is how many there were.
    const uint8_t *take(size_t want, size_t *got) {
        const size_t k = want < n_ ? want : n_;
        const uint8_t *at = p_;
        p_ += k;
        n_ -= k;
        *got = k;
        return at;
    }
    // Everything that is left.
    const uint8_t *rest(size_t *got) { return take(n_, got); }

  private:
    const uint8_t *p_;
    size_t n_;
};

}  // namespace mpfuzz

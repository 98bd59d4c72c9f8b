// An in-memory framebuffer for the drawing primitives, with guard words on
// both sides. The primitives are pointed at it through the device layer's
// globals. A store outside the width x height words either changes a guard
// word (checked by guards_intact) or, under AddressSanitizer, where the guards
// are poisoned, stops the test at the faulty store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/device.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MPT_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define MPT_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define MPT_POISON(p, n) ((void)(p), (void)(n))
#define MPT_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace mpt {

constexpr uint32_t kGuard = 0xDEADBEEFu;
constexpr uint32_t kBackground = 0x12345678u;  // not a colour the primitives make (alpha 0x12)
constexpr size_t kGuardWords = 4096;           // more than one run of any primitive can overshoot

class GuardedFb {
  public:
    // w x h words, all kBackground; the device globals point at them.
    GuardedFb(int w, int h)
        : w_(w),
          h_(h),
          words_(static_cast<size_t>(w > 0 ? w : 0) * static_cast<size_t>(h > 0 ? h : 0)),
          mem_(words_ + 2 * kGuardWords, kGuard) {
        for (size_t i = 0; i < words_; ++i) {
            mem_[kGuardWords + i] = kBackground;
        }
        MPT_POISON(mem_.data(), kGuardWords * 4);
        MPT_POISON(mem_.data() + kGuardWords + words_, kGuardWords * 4);
        FB_buf = mem_.data() + kGuardWords;
        width = w;
        height = h;
    }
    ~GuardedFb() {
        unpoison();
        FB_buf = nullptr;
        width = 0;
        height = 0;
    }
    GuardedFb(const GuardedFb &) = delete;
    GuardedFb &operator=(const GuardedFb &) = delete;

    int w() const { return w_; }
    int h() const { return h_; }
    size_t words() const { return words_; }
    // Framebuffer word at column x, framebuffer row row.
    uint32_t fb(int x, int row) const {
        return mem_[kGuardWords + static_cast<size_t>(row) * w_ + x];
    }
    // Window pixel (x, y): framebuffer row y + 39.
    uint32_t win(int x, int y) const { return fb(x, y + 39); }
    std::vector<uint32_t> contents() const {
        return {mem_.begin() + kGuardWords, mem_.begin() + kGuardWords + words_};
    }
    bool guards_intact() {
        unpoison();
        bool ok = true;
        for (size_t i = 0; i < kGuardWords; ++i) {
            ok = ok && mem_[i] == kGuard && mem_[kGuardWords + words_ + i] == kGuard;
        }
        MPT_POISON(mem_.data(), kGuardWords * 4);
        MPT_POISON(mem_.data() + kGuardWords + words_, kGuardWords * 4);
        return ok;
    }

  private:
    void unpoison() { MPT_UNPOISON(mem_.data(), mem_.size() * 4); }

    int w_;
    int h_;
    size_t words_;
    std::vector<uint32_t> mem_;
};

}  // namespace mpt

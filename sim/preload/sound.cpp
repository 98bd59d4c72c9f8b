// The one answer of the sound card that alsa-lib's I/O plugin interface does
// not pass on: alsa-lib (1.2.8) drops the result of a plugin's resume
// callback, so a card still powering up after a suspend would seem resumed.
// A resume that leaves the stream suspended answers -EAGAIN, as the kernel's
// drivers do; the program then tries again, as on the device.
#include <errno.h>

#include "sim.h"

namespace {

using PcmFn = int (*)(void *);
constexpr int kPcmSuspended = 7;  // SND_PCM_STATE_SUSPENDED

}  // namespace

extern "C" __attribute__((visibility("default"))) int snd_pcm_resume(void *pcm) {
    static std::atomic<void *> resume_slot{nullptr};
    static std::atomic<void *> state_slot{nullptr};
    auto resume = mpsim::preload::real_fn<PcmFn>(resume_slot, "snd_pcm_resume");
    auto state = mpsim::preload::real_fn<PcmFn>(state_slot, "snd_pcm_state");
    if (resume == nullptr || state == nullptr)
        return -ENOSYS;
    const int r = resume(pcm);
    if (r == 0 && mpsim::preload::root() != nullptr && state(pcm) == kPcmSuspended)
        return -EAGAIN;
    return r;
}

// Drives the default ALSA PCM the way the audio test does, step by step as told
// on the command line, and reports every result on standard output, one line
// per step:
//   open                 -> "open <rc>"
//   setup <channels>     -> "setup <rc> rate <r> period <p> buffer <b>"
//   write <periods>      -> per period "write <seq> <rc> <monotonic ns>", and
//                           after -EPIPE "prepare <rc>" (the period is not
//                           written again)
//   underrun             -> asks the card for one underrun (underrun_requests)
//   sleep <ms>
//   drain                -> "drain <rc> <monotonic ns>"
//   close                -> "close <rc>"
//   time                 -> "time <monotonic ns>"
// Period sequence numbers count every period attempted since the start.
#include <alloca.h>
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mpsim/state.h"
#include "pattern.h"

namespace {

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int request_underrun() {
    const char *root = std::getenv("MPSIM_ROOT");
    if (root == nullptr) {
        return -EINVAL;
    }
    const std::string path = std::string(root) + "/.sim/state";
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    void *map = mmap(nullptr, sizeof(mpsim::State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        return -errno;
    }
    static_cast<mpsim::State *>(map)->underrun_requests.fetch_add(1);
    munmap(map, sizeof(mpsim::State));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    snd_pcm_t *pcm = nullptr;
    unsigned channels = 2;
    unsigned seq = 0;
    std::vector<int16_t> period;

    for (int i = 1; i < argc; ++i) {
        const std::string cmd = argv[i];
        auto arg = [&]() -> long {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s: missing argument\n", cmd.c_str());
                std::exit(2);
            }
            return std::strtol(argv[++i], nullptr, 10);
        };
        if (cmd == "open") {
            const int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
            if (rc < 0) {
                pcm = nullptr;
            }
            std::printf("open %d\n", rc);
        } else if (cmd == "setup") {
            channels = static_cast<unsigned>(arg());
            // The audio test's own sequence: a zeroed block on the stack,
            // any, access, format, channels, rate near, period near, commit.
            auto *params = static_cast<snd_pcm_hw_params_t *>(alloca(snd_pcm_hw_params_sizeof()));
            std::memset(params, 0, snd_pcm_hw_params_sizeof());
            unsigned rate = 44100;
            snd_pcm_uframes_t frames = sound_test::kPeriodFrames;
            snd_pcm_hw_params_any(pcm, params);
            snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
            snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE);
            snd_pcm_hw_params_set_channels(pcm, params, channels);
            snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
            snd_pcm_hw_params_set_period_size_near(pcm, params, &frames, nullptr);
            const int rc = snd_pcm_hw_params(pcm, params);
            unsigned got_rate = 0;
            snd_pcm_uframes_t got_period = 0;
            snd_pcm_uframes_t got_buffer = 0;
            snd_pcm_hw_params_get_rate(params, &got_rate, nullptr);
            snd_pcm_hw_params_get_period_size(params, &got_period, nullptr);
            snd_pcm_hw_params_get_buffer_size(params, &got_buffer);
            std::printf("setup %d rate %u period %lu buffer %lu\n", rc, got_rate, got_period,
                        got_buffer);
        } else if (cmd == "write") {
            const long count = arg();
            period.resize(sound_test::kPeriodFrames * channels);
            for (long k = 0; k < count; ++k, ++seq) {
                for (unsigned f = 0; f < sound_test::kPeriodFrames; ++f) {
                    for (unsigned ch = 0; ch < channels; ++ch) {
                        period[f * channels + ch] = sound_test::pattern_sample(seq, f, ch);
                    }
                }
                const snd_pcm_sframes_t rc =
                    snd_pcm_writei(pcm, period.data(), sound_test::kPeriodFrames);
                std::printf("write %u %ld %lld\n", seq, static_cast<long>(rc), now_ns());
                if (rc == -EPIPE) {
                    std::printf("prepare %d\n", snd_pcm_prepare(pcm));
                }
            }
        } else if (cmd == "underrun") {
            std::printf("underrun %d\n", request_underrun());
        } else if (cmd == "sleep") {
            usleep(static_cast<useconds_t>(arg() * 1000));
        } else if (cmd == "drain") {
            const int rc = snd_pcm_drain(pcm);
            std::printf("drain %d %lld\n", rc, now_ns());
        } else if (cmd == "close") {
            // Like the audio test, never hand alsa-lib a handle that was not opened.
            std::printf("close %d\n", pcm != nullptr ? snd_pcm_close(pcm) : -EBADF);
            pcm = nullptr;
        } else if (cmd == "time") {
            std::printf("time %lld\n", now_ns());
        } else {
            std::fprintf(stderr, "unknown step %s\n", cmd.c_str());
            return 2;
        }
    }
    return 0;
}

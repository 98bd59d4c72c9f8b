// The simulated device's sound card: an ALSA I/O plugin ("type mpsim").
//
// It stands in for the device's codec. The card consumes frames in real time
// at the configured rate, measured on CLOCK_MONOTONIC from the moment the
// stream starts, so a blocking writer is paced exactly as on the hardware.
// Everything the program hands over is recorded, one file per open, under
// <root>/.sim/audio/. Underruns happen for real when the writer falls behind,
// or on request through the shared state (underrun_requests).
//
// The card can also break (sound_fail_errno): it stops playing, and the
// writer sees what alsa-lib reports for a card in that condition: -ENODEV once
// the card is unplugged (state DISCONNECTED), -EBADFD once the stream was
// stopped under it (state SETUP), -EIO while the DMA is stuck. And it can be
// suspended (sound_suspend), as by a system suspend: the position holds, the
// writer gets -ESTRPIPE, and resume answers -EAGAIN while the codec is still
// powering up (the preloaded library passes that on to snd_pcm_resume), then
// carries on with what was in the buffer. A DISCONNECTED stream stays dead
// (alsa-lib refuses to prepare it): once mended, the card works on a new open.
//
// MPSIM_SOUND_SLACK_MS (optional, default 0) lets the card wait that long for
// late data, holding its position and playing silence, before it reports an
// underrun: a loaded test machine then does not lose periods to short stalls
// of the writer that the device would never see. With 0 the card underruns
// the moment its buffer runs dry, as the hardware does.
//
// The plugin lives inside the program's process: it prints nothing, touches
// no descriptor it did not open itself, and opens everything close-on-exec.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "mpsim/board.h"
#include "mpsim/state.h"

namespace {

// The codec runs at one rate only; rate_near() of anything lands here.
constexpr unsigned kRate = BOARD_SOUND_RATE;
// Period and buffer limits of the codec's DMA. With 256-frame stereo periods
// ALSA settles on the largest buffer, 16 periods (4096 frames, about 93 ms):
// deep enough that a loaded machine running the program under a sanitizer
// does not underrun by accident, small enough that a stalled writer does.
constexpr unsigned kMinPeriodBytes = 64;
constexpr unsigned kMaxPeriodBytes = 16384;
constexpr unsigned kMinPeriods = 2;
constexpr unsigned kMaxPeriods = 16;
constexpr unsigned kMinBufferBytes = 256;
constexpr unsigned kMaxBufferBytes = 16384;

constexpr int64_t kNsPerSecond = 1000000000;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

struct Card {
    snd_pcm_ioplug_t io{};
    mpsim::State *state = nullptr;
    int timer_fd = -1;
    int rec_fd = -1;
    off_t rec_offset = sizeof(mpsim::RecordingHeader);

    // Play clock: frames consumed = elapsed time since start_ns * rate, never
    // more than were queued. Counts run from the last prepare.
    bool running = false;
    bool xrun = false;  // the card stopped on an underrun; cleared by prepare
    int64_t start_ns = 0;
    uint64_t queued = 0;             // frames taken by transfer
    snd_pcm_uframes_t last_pos = 0;  // last position reported (modulo boundary)
    snd_pcm_uframes_t boundary = 0;  // wrap point of ALSA's positions, 0 until known
    int64_t period_ns = 0;           // a period's duration, rounded up
    snd_pcm_uframes_t avail_min = 1;
    int64_t slack_ns = 0;  // how long the card waits for late data (see above)
    uint64_t held = 0;     // frames played when the play clock was last halted

    int fault = 0;                       // errno the card broke with; 0 while it works
    snd_pcm_uframes_t fault_frames = 0;  // frames taken towards the next period a set fault counts
    snd_pcm_state_t suspended_state = SND_PCM_STATE_OPEN;  // state a resume returns to
    int resume_eagain = 0;  // -EAGAIN answers of resume still to give
};

Card *card_of(snd_pcm_ioplug_t *io) {
    return static_cast<Card *>(io->private_data);
}

// Frames the card has consumed since the stream started.
uint64_t frames_played(const Card &c, int64_t now) {
    int64_t elapsed = now - c.start_ns;
    if (elapsed <= 0) {
        return 0;
    }
    const uint64_t rate = c.io.rate;
    const auto e = static_cast<uint64_t>(elapsed);
    const auto ns = static_cast<uint64_t>(kNsPerSecond);
    return e / ns * rate + e % ns * rate / ns;
}

// The moment the card has played `frames` frames since the start.
int64_t time_of_frame(const Card &c, uint64_t frames) {
    const uint64_t rate = c.io.rate;
    const auto ns = static_cast<uint64_t>(kNsPerSecond);
    const uint64_t whole = frames / rate * ns;
    const uint64_t part = (frames % rate * ns + rate - 1) / rate;
    return c.start_ns + static_cast<int64_t>(whole + part);
}

void arm_timer(const Card &c, const itimerspec &when, int flags) {
    if (c.timer_fd >= 0) {
        timerfd_settime(c.timer_fd, flags, &when, nullptr);
    }
}

// Makes the poll descriptor readable at once and keeps it so until read.
void arm_now(const Card &c) {
    itimerspec when{};
    when.it_value.tv_nsec = 1;
    arm_timer(c, when, 0);
}

void disarm(const Card &c) {
    itimerspec when{};
    arm_timer(c, when, 0);
}

// Fires once per period from the start of the stream: the moments a period's
// worth of space frees up, as the period interrupt of a real card.
void arm_periodic(const Card &c) {
    itimerspec when{};
    const int64_t first = c.start_ns + c.period_ns;
    when.it_value.tv_sec = static_cast<time_t>(first / kNsPerSecond);
    when.it_value.tv_nsec = static_cast<long>(first % kNsPerSecond);
    when.it_interval.tv_sec = static_cast<time_t>(c.period_ns / kNsPerSecond);
    when.it_interval.tv_nsec = static_cast<long>(c.period_ns % kNsPerSecond);
    arm_timer(c, when, TFD_TIMER_ABSTIME);
}

void clear_timer(const Card &c) {
    uint64_t expirations = 0;
    while (read(c.timer_fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
}

void stop_on_underrun(Card &c) {
    c.running = false;
    c.xrun = true;
    c.state->underruns.fetch_add(1);
    // Wake any poller so that it sees the error state.
    arm_now(c);
}

bool write_all(int fd, const void *data, size_t size, off_t offset) {
    const auto *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

void write_header(const Card &c, uint32_t rate, uint32_t channels, uint32_t format) {
    const mpsim::RecordingHeader header{mpsim::kRecordingMagic, rate, channels, format};
    write_all(c.rec_fd, &header, sizeof header, 0);
}

snd_pcm_uframes_t report_position(Card &c, uint64_t played) {
    c.last_pos = static_cast<snd_pcm_uframes_t>(c.boundary > 0 ? played % c.boundary : played);
    return c.last_pos;
}

// The card stops playing where it is, keeping what is in its buffer.
void halt_clock(Card &c) {
    if (c.running) {
        const uint64_t played = frames_played(c, now_ns());
        c.held = played < c.queued ? played : c.queued;
        c.running = false;
        report_position(c, c.held);
    }
    disarm(c);
}

// The card plays on from where it was halted.
void restart_clock(Card &c) {
    c.start_ns = now_ns() - (time_of_frame(c, c.held) - c.start_ns);
    c.running = true;
    arm_periodic(c);
}

// The errno of a fault the harness set, once the card has taken the periods
// the fault lets through; 0 while the card works.
int broken(const Card &c) {
    const int32_t err = c.state->sound_fail_errno.load();
    if (err == 0 || c.state->sound_fail_after.load() > 0) {
        return 0;
    }
    return err;
}

void break_card(Card &c, int err) {
    halt_clock(c);
    // What was queued is lost: the writer finds room at once and so learns
    // of the fault on its next write instead of waiting for a stuck DMA.
    c.held = c.queued;
    report_position(c, c.held);
    c.fault = err;
    if (err == ENODEV) {
        snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_DISCONNECTED);
    } else if (err == EBADFD) {
        snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_SETUP);
    }
    arm_now(c);
}

// Frames taken count towards the periods a set fault lets through.
void count_towards_fault(Card &c, snd_pcm_uframes_t frames) {
    if (c.state->sound_fail_errno.load() == 0 || c.io.period_size == 0) {
        c.fault_frames = 0;
        return;
    }
    c.fault_frames += frames;
    for (; c.fault_frames >= c.io.period_size; c.fault_frames -= c.io.period_size) {
        int32_t left = c.state->sound_fail_after.load();
        while (left > 0 && !c.state->sound_fail_after.compare_exchange_weak(left, left - 1)) {
        }
    }
}

// Takes a pending suspend, if any: the card stops where it is.
bool take_suspend(Card &c) {
    int32_t pending = 1;
    if (!c.state->sound_suspend.compare_exchange_strong(pending, 0)) {
        return false;
    }
    c.resume_eagain = c.state->sound_resume_eagain.load();
    c.suspended_state = c.io.state;
    halt_clock(c);
    snd_pcm_ioplug_set_state(&c.io, SND_PCM_STATE_SUSPENDED);
    arm_now(c);
    return true;
}

int mpsim_resume(snd_pcm_ioplug_t *io) {
    Card &c = *card_of(io);
    if (io->state != SND_PCM_STATE_SUSPENDED) {
        return 0;
    }
    if (c.resume_eagain > 0) {
        --c.resume_eagain;
        return -EAGAIN;
    }
    snd_pcm_ioplug_set_state(io, c.suspended_state);
    if (c.suspended_state == SND_PCM_STATE_RUNNING) {
        restart_clock(c);
    } else {
        arm_now(c);
    }
    return 0;
}

int mpsim_start(snd_pcm_ioplug_t *io) {
    Card &c = *card_of(io);
    c.start_ns = now_ns();
    c.running = true;
    c.xrun = false;
    arm_periodic(c);
    return 0;
}

int mpsim_stop(snd_pcm_ioplug_t *io) {
    Card &c = *card_of(io);
    c.running = false;
    disarm(c);
    return 0;
}

snd_pcm_sframes_t mpsim_pointer(snd_pcm_ioplug_t *io) {
    Card &c = *card_of(io);
    if (c.xrun) {
        return -EPIPE;
    }
    if (!c.running) {
        return static_cast<snd_pcm_sframes_t>(c.last_pos);
    }
    const int64_t now = now_ns();
    uint64_t played = frames_played(c, now);
    if (played >= c.queued) {
        // Nothing left in the buffer. While draining that is the normal end
        // (ALSA stops the stream); otherwise the card has run dry, unless it
        // may still wait for late data.
        if (io->state == SND_PCM_STATE_DRAINING) {
            return -EPIPE;
        }
        if (now - time_of_frame(c, c.queued) >= c.slack_ns) {
            stop_on_underrun(c);
            return -EPIPE;
        }
        played = c.queued;
    }
    return static_cast<snd_pcm_sframes_t>(report_position(c, played));
}

// Data arriving while the card waits for it: the play clock resumes from now,
// as if the card had been stopped since the buffer ran dry.
void resume_if_starved(Card &c) {
    if (!c.running) {
        return;
    }
    const int64_t now = now_ns();
    if (frames_played(c, now) >= c.queued) {
        c.start_ns += now - time_of_frame(c, c.queued);
        arm_periodic(c);
    }
}

// Takes one request for an underrun, if any is pending.
bool take_underrun_request(mpsim::State &s) {
    int32_t pending = s.underrun_requests.load();
    while (pending > 0) {
        if (s.underrun_requests.compare_exchange_weak(pending, pending - 1)) {
            return true;
        }
    }
    return false;
}

snd_pcm_sframes_t mpsim_transfer(snd_pcm_ioplug_t *io, const snd_pcm_channel_area_t *areas,
                                 snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    Card &c = *card_of(io);
    if (const int err = broken(c); err != 0) {
        break_card(c, err);
        return -err;
    }
    if (c.fault != 0) {
        // Mended since it broke: a stream still running plays on.
        c.fault = 0;
        if (io->state == SND_PCM_STATE_RUNNING) {
            restart_clock(c);
        }
    }
    if (take_suspend(c)) {
        return -ESTRPIPE;
    }
    if (take_underrun_request(*c.state)) {
        // The card reports that it ran dry before this data arrived: the data
        // is refused, and the program has to prepare the stream again.
        stop_on_underrun(c);
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_XRUN);
        return -EPIPE;
    }
    resume_if_starved(c);

    // Samples go to the recording interleaved, in the order handed over,
    // whatever the layout of the areas.
    const unsigned channels = io->channels;
    int16_t chunk[4096];
    const snd_pcm_uframes_t frames_per_chunk = sizeof chunk / sizeof chunk[0] / channels;
    snd_pcm_uframes_t done = 0;
    while (done < size) {
        snd_pcm_uframes_t n = size - done;
        if (n > frames_per_chunk) {
            n = frames_per_chunk;
        }
        size_t k = 0;
        for (snd_pcm_uframes_t f = 0; f < n; ++f) {
            for (unsigned ch = 0; ch < channels; ++ch) {
                const snd_pcm_channel_area_t &a = areas[ch];
                const uint64_t bit = a.first + (offset + done + f) * a.step;
                const auto *sample = static_cast<const unsigned char *>(a.addr) + bit / 8;
                // S16_LE: assemble explicitly so that the recording is
                // little-endian on any host.
                chunk[k++] = static_cast<int16_t>(static_cast<uint16_t>(sample[0]) |
                                                  static_cast<uint16_t>(sample[1] << 8));
            }
        }
        const size_t bytes = k * sizeof chunk[0];
        if (!write_all(c.rec_fd, chunk, bytes, c.rec_offset)) {
            return done > 0 ? static_cast<snd_pcm_sframes_t>(done) : -EIO;
        }
        c.rec_offset += static_cast<off_t>(bytes);
        c.state->frames_played.fetch_add(static_cast<int32_t>(n));
        c.queued += n;
        done += n;
    }
    count_towards_fault(c, size);
    return static_cast<snd_pcm_sframes_t>(size);
}

int mpsim_hw_params(snd_pcm_ioplug_t *io, snd_pcm_hw_params_t *) {
    Card &c = *card_of(io);
    c.period_ns = static_cast<int64_t>(
        (static_cast<uint64_t>(io->period_size) * kNsPerSecond + io->rate - 1) / io->rate);
    if (c.period_ns <= 0) {
        c.period_ns = 1;
    }
    c.avail_min = io->period_size;
    write_header(c, io->rate, io->channels, static_cast<uint32_t>(io->format));
    return 0;
}

int mpsim_sw_params(snd_pcm_ioplug_t *io, snd_pcm_sw_params_t *params) {
    Card &c = *card_of(io);
    snd_pcm_uframes_t avail_min = 0;
    if (snd_pcm_sw_params_get_avail_min(params, &avail_min) == 0 && avail_min > 0) {
        c.avail_min = avail_min;
    }
    snd_pcm_uframes_t boundary = 0;
    if (snd_pcm_sw_params_get_boundary(params, &boundary) == 0) {
        c.boundary = boundary;
    }
    return 0;
}

int mpsim_prepare(snd_pcm_ioplug_t *io) {
    Card &c = *card_of(io);
    c.running = false;
    c.xrun = false;
    c.queued = 0;
    c.last_pos = 0;
    c.held = 0;
    c.fault = 0;
    c.resume_eagain = 0;
    // An empty prepared buffer has room: a poller sees it writable at once.
    arm_now(c);
    return 0;
}

int mpsim_poll_revents(snd_pcm_ioplug_t *io, struct pollfd *pfds, unsigned int nfds,
                       unsigned short *revents) {
    Card &c = *card_of(io);
    *revents = 0;
    if (nfds < 1 || pfds[0].fd != c.timer_fd) {
        return -EINVAL;
    }
    // Consume the tick first: a state change found below re-arms it.
    clear_timer(c);
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(io->pcm);
    switch (io->state) {
        case SND_PCM_STATE_RUNNING:
            if (avail < 0) {
                *revents = POLLOUT | POLLERR;
            } else if (static_cast<snd_pcm_uframes_t>(avail) >= c.avail_min) {
                *revents = POLLOUT;
            }
            break;
        case SND_PCM_STATE_DRAINING:
            // Let the drain loop look at the position on every period.
            *revents = POLLOUT;
            break;
        case SND_PCM_STATE_PREPARED:
            if (avail >= 0 && static_cast<snd_pcm_uframes_t>(avail) >= c.avail_min) {
                *revents = POLLOUT;
                arm_now(c);
            }
            break;
        case SND_PCM_STATE_XRUN:
            *revents = POLLOUT | POLLERR;
            arm_now(c);
            break;
        default:
            // Not set up or stopped: like the kernel, report an error at once.
            *revents = POLLOUT | POLLERR;
            arm_now(c);
            break;
    }
    return 0;
}

int mpsim_close(snd_pcm_ioplug_t *io) {
    Card *c = card_of(io);
    if (c->timer_fd >= 0) {
        close(c->timer_fd);
    }
    if (c->rec_fd >= 0) {
        close(c->rec_fd);
    }
    if (c->state != nullptr) {
        munmap(c->state, sizeof(mpsim::State));
    }
    c->~Card();
    std::free(c);
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t cb{};
    cb.start = mpsim_start;
    cb.stop = mpsim_stop;
    cb.pointer = mpsim_pointer;
    cb.transfer = mpsim_transfer;
    cb.close = mpsim_close;
    cb.hw_params = mpsim_hw_params;
    cb.sw_params = mpsim_sw_params;
    cb.prepare = mpsim_prepare;
    cb.resume = mpsim_resume;
    cb.poll_revents = mpsim_poll_revents;
    return cb;
}();

// Maps <root>/.sim/state; nullptr when there is no simulated device.
mpsim::State *map_state(const char *root) {
    char path[4096];
    if (std::snprintf(path, sizeof path, "%s/.sim/state", root) >= static_cast<int>(sizeof path)) {
        return nullptr;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(mpsim::State))) {
        map = mmap(nullptr, sizeof(mpsim::State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (map == MAP_FAILED) {
        return nullptr;
    }
    auto *state = static_cast<mpsim::State *>(map);
    if (state->magic != mpsim::kStateMagic || state->version != mpsim::kStateVersion) {
        munmap(map, sizeof(mpsim::State));
        return nullptr;
    }
    return state;
}

int open_recording(const char *root, int index) {
    char dir[4096];
    char path[4096];
    if (std::snprintf(dir, sizeof dir, "%s/.sim/audio", root) >= static_cast<int>(sizeof dir) ||
        std::snprintf(path, sizeof path, "%s/%06d.pcm", dir, index) >=
            static_cast<int>(sizeof path)) {
        return -ENAMETOOLONG;
    }
    mkdir(dir, 0755);
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? -errno : fd;
}

// The opening of the card is a journal line, as the program's open of the
// card's device file would be on the board, so that what it played can be
// placed in time beside the rest.
void journal_open(const char *root) {
    char path[4096];
    if (std::snprintf(path, sizeof path, "%s/.sim/journal", root) >= static_cast<int>(sizeof path))
        return;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%lld %d open %s w ok\n",
                                static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec,
                                static_cast<int>(getpid()), BOARD_SOUND_DEVICE);
    const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        return;
    if (n > 0 && n < static_cast<int>(sizeof line)) {
        const ssize_t ignored = write(fd, line, static_cast<size_t>(n));
        (void)ignored;
    }
    close(fd);
}

int set_constraints(snd_pcm_ioplug_t *io) {
    static const unsigned kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned kFormats[] = {SND_PCM_FORMAT_S16_LE};
    static const unsigned kRates[] = {kRate};
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, kAccess);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, 1, kFormats);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 2);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE, 1, kRates);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, kMinPeriodBytes,
                                              kMaxPeriodBytes);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, kMinPeriods,
                                              kMaxPeriods);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, kMinBufferBytes,
                                              kMaxBufferBytes);
    }
    return err;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(mpsim) {
    (void)root;
    (void)conf;
    if (stream != SND_PCM_STREAM_PLAYBACK) {
        return -ENOENT;  // the codec has no capture side
    }
    const char *sim_root = std::getenv("MPSIM_ROOT");
    if (sim_root == nullptr || *sim_root == '\0') {
        return -ENODEV;
    }
    mpsim::State *state = map_state(sim_root);
    if (state == nullptr) {
        return -ENODEV;
    }
    if (const int32_t e = state->sound_open_errno.load(); e != 0) {
        munmap(state, sizeof(mpsim::State));
        return e > 0 ? -e : e;
    }

    // Plain malloc keeps the plugin free of the C++ runtime library.
    void *memory = std::malloc(sizeof(Card));
    if (memory == nullptr) {
        munmap(state, sizeof(mpsim::State));
        return -ENOMEM;
    }
    auto *c = new (memory) Card;
    c->state = state;
    c->timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (c->timer_fd < 0) {
        const int err = -errno;
        snd_pcm_ioplug_t tmp{};
        tmp.private_data = c;
        mpsim_close(&tmp);
        return err;
    }

    if (const char *slack = std::getenv("MPSIM_SOUND_SLACK_MS"); slack != nullptr) {
        const long ms = std::strtol(slack, nullptr, 10);
        c->slack_ns = ms > 0 ? static_cast<int64_t>(ms) * 1000000 : 0;
    }

    c->io.version = SND_PCM_IOPLUG_VERSION;
    c->io.name = "mpsim";
    // Positions are reported up to ALSA's boundary, not folded into the
    // buffer, so that a full buffer's worth of progress is never mistaken for
    // none.
    c->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA | SND_PCM_IOPLUG_FLAG_MONOTONIC;
    c->io.callback = &kCallbacks;
    c->io.private_data = c;
    c->io.poll_fd = c->timer_fd;
    c->io.poll_events = POLLIN;
    c->io.mmap_rw = 0;
    int err = snd_pcm_ioplug_create(&c->io, name, stream, mode);
    if (err < 0) {
        snd_pcm_ioplug_t tmp{};
        tmp.private_data = c;
        mpsim_close(&tmp);
        return err;
    }
    // From here on the card belongs to the PCM: deleting it closes the card.
    err = set_constraints(&c->io);
    if (err >= 0) {
        err = open_recording(sim_root, state->recordings.fetch_add(1));
        journal_open(sim_root);
        if (err >= 0) {
            c->rec_fd = err;
            // Until the program configures the stream the format is unknown.
            write_header(*c, 0, 0, static_cast<uint32_t>(SND_PCM_FORMAT_UNKNOWN));
        }
    }
    if (err < 0) {
        snd_pcm_ioplug_delete(&c->io);
        return err;
    }
    *pcmp = c->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(mpsim)

}  // extern "C"

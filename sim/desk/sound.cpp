// Following the card's recordings (.sim/audio/NNNNNN.pcm: a header, then
// S16_LE frames as the program hands them over) into the desktop's output.
#include "sound.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace desk {

namespace {

// More than this much waiting in the desktop's queue means the desk fell
// behind the card (a stalled window, a slow output): what is queued is
// dropped, so the sound keeps to what the device plays now.
constexpr uint32_t kMaxQueuedMs = 500;

}  // namespace

Speaker::~Speaker() {
    if (out_ != 0)
        SDL_CloseAudioDevice(out_);
}

void Speaker::power_on(const std::string &root) {
    root_ = root;
    index_ = 0;
    offset_ = 0;
    frame_bytes_ = 0;
    if (out_ != 0)
        SDL_ClearQueuedAudio(out_);
}

void Speaker::power_off() {
    root_.clear();
    if (out_ != 0)
        SDL_ClearQueuedAudio(out_);
}

bool Speaker::open_output(uint32_t rate, uint32_t channels) {
    if (out_ != 0 && spec_.freq == static_cast<int>(rate) && spec_.channels == channels)
        return true;
    if (out_ != 0)
        SDL_CloseAudioDevice(out_);
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(rate);
    want.format = AUDIO_S16LSB;
    want.channels = static_cast<uint8_t>(channels);
    want.samples = 1024;
    // No allowed changes: SDL converts to whatever the output takes.
    out_ = SDL_OpenAudioDevice(nullptr, 0, &want, &spec_, 0);
    if (out_ == 0) {
        if (!failed_)
            std::printf("mp-desk: no sound output (%s); the device plays on silently\n",
                        SDL_GetError());
        std::fflush(stdout);
        failed_ = true;
        return false;
    }
    SDL_PauseAudioDevice(out_, 0);
    return true;
}

void Speaker::follow(const mpsim::State &st) {
    if (root_.empty() || failed_)
        return;
    const int made = st.recordings.load();
    while (index_ < made) {
        char name[32];
        std::snprintf(name, sizeof name, "/.sim/audio/%06d.pcm", index_);
        const int fd = open((root_ + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const off_t size = lseek(fd, 0, SEEK_END);
        if (frame_bytes_ == 0) {
            // The header holds the format once the program has set it.
            mpsim::RecordingHeader h{};
            if (pread(fd, &h, sizeof h, 0) == static_cast<ssize_t>(sizeof h) &&
                h.magic == mpsim::kRecordingMagic && h.rate != 0 && h.channels != 0) {
                frame_bytes_ = h.channels * 2;
                offset_ = sizeof h;
                if (!open_output(h.rate, h.channels)) {
                    close(fd);
                    return;
                }
            }
        }
        if (frame_bytes_ != 0 && size > offset_) {
            std::vector<uint8_t> buf(static_cast<size_t>(size - offset_));
            const ssize_t n = pread(fd, buf.data(), buf.size(), offset_);
            const size_t whole = n > 0 ? static_cast<size_t>(n) / frame_bytes_ * frame_bytes_ : 0;
            if (whole > 0) {
                offset_ += static_cast<off_t>(whole);
                const uint32_t limit =
                    static_cast<uint32_t>(spec_.freq) * frame_bytes_ * kMaxQueuedMs / 1000;
                if (SDL_GetQueuedAudioSize(out_) > limit)
                    SDL_ClearQueuedAudio(out_);
                SDL_QueueAudio(out_, buf.data(), static_cast<uint32_t>(whole));
            }
        }
        close(fd);
        // A newer recording means this one was closed: once read to its end
        // (or never given a format), follow the next.
        if (index_ + 1 < made && (frame_bytes_ == 0 || offset_ >= size)) {
            ++index_;
            offset_ = 0;
            frame_bytes_ = 0;
            continue;
        }
        return;
    }
}

}  // namespace desk

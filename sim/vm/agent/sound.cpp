// The sound the program plays, from the loopback card's capture side.
//
// The capture side of the cable (card "Loopback", device 1) runs from the
// agent's start on: it gives silence while nothing plays and, while the
// playback side (device 0, the board's "default") runs, exactly the frames
// played, each one period of the card's timer after it was played. A
// recording is one opening of the playback side; its frames start where the
// capture position stood when the playback position was 0: both positions
// move together while both run, so capture hw_ptr minus playback hw_ptr,
// read from /proc at any moment of a run, is where the run began.
#include "sound.h"

#include <alsa/asoundlib.h>
#include <string.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mpsim/board.h"
#include "mpsim/vm_protocol.h"

namespace mpsim::vm {

namespace {

constexpr const char *kCapture = "hw:Loopback,1,0";
constexpr const char *kPlayStatus = "/proc/asound/Loopback/pcm0p/sub0/status";
constexpr const char *kPlayParams = "/proc/asound/Loopback/pcm0p/sub0/hw_params";
constexpr const char *kCaptureStatus = "/proc/asound/Loopback/pcm1c/sub0/status";
constexpr unsigned kRate = BOARD_SOUND_RATE;
constexpr unsigned kChannels = 2;

std::string slurp(const char *path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// "state: RUNNING" -> "RUNNING"; "closed" for a closed substream.
std::string field(const std::string &text, const std::string &name) {
    size_t at = text.find(name);
    if (at == std::string::npos)
        return "";
    at = text.find_first_not_of(" \t:", at + name.size());
    size_t end = text.find_first_of(" \n", at);
    return at == std::string::npos ? "" : text.substr(at, end - at);
}

long long hw_ptr(const std::string &status) {
    std::string v = field(status, "hw_ptr");
    return v.empty() ? -1 : std::atoll(v.c_str());
}

}  // namespace

void Sound::start() {
    if (snd_pcm_open(&pcm_, kCapture, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
        pcm_ = nullptr;
        return;
    }
    // A second of room: the agent reads every 20 ms or so, a busy guest
    // sometimes much later.
    if (snd_pcm_set_params(pcm_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels,
                           kRate, 0, 1000000) < 0 ||
        snd_pcm_start(pcm_) < 0) {
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }
    position_ = 0;
}

// Where the current run of the playback side began, in capture frames.
long long Sound::run_begin() {
    // Both read within one tick of the card's timer: the capture position
    // did not move meanwhile.
    for (int tries = 0; tries < 5; ++tries) {
        long long c0 = hw_ptr(slurp(kCaptureStatus));
        long long p = hw_ptr(slurp(kPlayStatus));
        long long c1 = hw_ptr(slurp(kCaptureStatus));
        if (c0 >= 0 && p >= 0 && c0 == c1)
            return c0 - p;
    }
    return -1;
}

void Sound::end_run(long long at) {
    if (!runs_.empty() && runs_.back().end < 0)
        runs_.back().end = std::max(at, runs_.back().begin);
}

void Sound::new_recording() {
    RecordingPayload r{static_cast<uint32_t>(recordings_), kRate, kChannels, 0};
    send_message(kMsgRecording, &r, sizeof r, nullptr, 0);
    ++recordings_;
    in_recording_ = true;
    runs_of_recording_ = 0;
}

void Sound::service() {
    if (pcm_ == nullptr)
        return;
    // Where the playback side is, read before the frames: a run that began
    // is known before its first frames are taken.
    const std::string play = slurp(kPlayStatus);
    const bool open = !play.empty() && play.rfind("closed", 0) != 0;
    const std::string state = field(play, "state");
    // Each opening makes a recording; without the journal's word of it, a
    // playback side found open after it was found closed does.
    for (; opened_ > 0; --opened_)
        new_recording();
    if (open && !in_recording_)
        new_recording();
    if (in_recording_ && (state == "RUNNING" || state == "DRAINING") &&
        field(play, "trigger_time") != trigger_) {
        // A new run (the first of an opening, or one after an underrun):
        // the one before ends where it begins.
        long long begin = run_begin();
        if (begin >= 0) {
            // A second run of one opening follows an underrun: the card
            // stopped, the program prepared it and wrote again.
            if (runs_of_recording_++ > 0)
                ++underruns_;
            end_run(begin);
            runs_.push_back({recordings_ - 1, begin, -1});
            trigger_ = field(play, "trigger_time");
        }
    }
    if (in_recording_ && state == "XRUN" && !runs_.empty()) {
        // The run ended where the playback position stopped.
        long long p = hw_ptr(play);
        if (p >= 0)
            end_run(runs_.back().begin + p);
    }
    if (!open) {
        end_run(position_);
        in_recording_ = false;
    }

    // The frames captured so far, those of the runs sent on.
    std::vector<int16_t> buf(4096 * kChannels);
    for (;;) {
        snd_pcm_sframes_t n = snd_pcm_readi(pcm_, buf.data(), 4096);
        if (n == -EAGAIN)
            break;
        if (n < 0) {
            // An overrun: the agent was away too long. Start again; the
            // positions start from 0 again too.
            snd_pcm_prepare(pcm_);
            snd_pcm_start(pcm_);
            position_ = 0;
            runs_.clear();
            trigger_.clear();
            break;
        }
        const long long first = position_;
        position_ += n;
        for (const Run &r : runs_) {
            long long from = std::max(first, r.begin);
            long long to = r.end >= 0 ? std::min(position_, r.end) : position_;
            if (to <= from)
                continue;
            uint32_t index = static_cast<uint32_t>(r.recording);
            send_message(kMsgSamples, &index, sizeof index, buf.data() + (from - first) * kChannels,
                         static_cast<size_t>(to - from) * kChannels * 2);
        }
    }
    std::erase_if(runs_, [&](const Run &r) { return r.end >= 0 && r.end <= position_; });
}

}  // namespace mpsim::vm

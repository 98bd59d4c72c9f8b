// The audio playback test: the clip of the current screen, looped through
// the sound device, its loudness following the volume wheel.
#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cerrno>

#include "assets.h"
#include "device/device.h"
#include "procedures/procedures.h"

constexpr unsigned int PLAY_RATE = 44100;
constexpr unsigned int PLAY_CHANNELS = 2;
constexpr useconds_t NO_SOUND_POLL_US = 15000;
constexpr useconds_t RESUME_POLL_US = 10000;  // a card that is waking up answers -EAGAIN

// Gain per volume percent: the image screen's clip reaches 1.5 at full
// volume and may clip there, the status screen's tone reaches exactly 1.0.
constexpr float IMAGE_CLIP_GAIN = 0.015f;
constexpr float STATUS_CLIP_GAIN = 0.01f;

constexpr int32_t SAMPLE_MAX = 32767;
constexpr int32_t SAMPLE_MIN = -32768;

void scale_period(const int16_t *in, uint16_t *out, unsigned count, float volume) {
    for (unsigned i = 0; i < count; i++) {
        float p = static_cast<float>(in[i]) * volume;
        int32_t v;
        // Clipping before the conversion gives the same result as clipping
        // the truncated value, without ever converting an out-of-range float.
        if (p >= static_cast<float>(SAMPLE_MAX))
            v = SAMPLE_MAX;
        else if (p <= static_cast<float>(SAMPLE_MIN))
            v = SAMPLE_MIN;
        else
            v = static_cast<int32_t>(p);  // toward zero
        out[i] = static_cast<uint16_t>(v);
    }
}

// One period for the sound device, from the next sample_count samples of
// each channel: the stereo frames go through audio_buf and the scratch
// buffer `stereo` (2 * sample_count samples) into audio_PCM_buffer, scaled by
// the wheel's loudness times vol_multi.
void prepare_period(const int16_t *ch1_buf, const int16_t *ch2_buf, float vol_multi,
                    int16_t *stereo) {
    for (uint32_t x = 0; x < sample_count; x++) {
        audio_buf[x] = static_cast<uint32_t>(static_cast<uint16_t>(ch1_buf[x])) |
                       static_cast<uint32_t>(static_cast<uint16_t>(ch2_buf[x])) << 16;
    }
    // The wheel is read once a period: fine enough to follow by ear.
    float volume = static_cast<float>(read_audio_volume()) * vol_multi;
    for (uint32_t x = 0; x < sample_count; x++) {
        stereo[2 * x] = static_cast<int16_t>(audio_buf[x] & 0xFFFFu);
        stereo[2 * x + 1] = static_cast<int16_t>(audio_buf[x] >> 16);
    }
    scale_period(stereo, audio_PCM_buffer, 2 * sample_count, volume);
}

static bool screen_unchanged() {
    return mode_type == pre_mode_type;
}

// Nothing can be played: keep the caller's loop from spinning until the
// screen changes or the operator ends the test.
static void wait_screen_change() {
    while (screen_unchanged() && !exit_MP)
        usleep(NO_SOUND_POLL_US);
}

static snd_pcm_t *open_sound_device() {
    snd_pcm_t *pcm_handle = nullptr;
    unsigned int rate = PLAY_RATE;
    if (snd_pcm_open(&pcm_handle, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0)
        return nullptr;

    snd_pcm_hw_params_t *params;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm_handle, params);
    snd_pcm_hw_params_set_access(pcm_handle, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    snd_pcm_hw_params_set_format(pcm_handle, params, SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(pcm_handle, params, PLAY_CHANNELS);
    // What the device settles on is not read back: the clips are fed as
    // they are, sample_count frames per write.
    snd_pcm_hw_params_set_rate_near(pcm_handle, params, &rate, nullptr);
    snd_pcm_uframes_t frames = sample_count;
    snd_pcm_hw_params_set_period_size_near(pcm_handle, params, &frames, nullptr);
    if (snd_pcm_hw_params(pcm_handle, params) < 0) {
        snd_pcm_close(pcm_handle);
        return nullptr;
    }
    return pcm_handle;
}

void audio_play_test() {
    snd_pcm_t *pcm_handle = open_sound_device();
    if (pcm_handle == nullptr) {
        wait_screen_change();
        return;
    }

    int16_t stereo_audio_buffer[2 * sample_count];

    bool changed = false;
    while (!changed && screen_unchanged()) {
        const int16_t *ch1_buf;
        const int16_t *ch2_buf;
        uint32_t num_sample;
        float vol_multi;
        if (mode_type == MODE_IMAGE_SCREEN) {
            ch1_buf = ch2_buf = g_data0;
            num_sample = G_DATA0_SAMPLES;
            vol_multi = IMAGE_CLIP_GAIN;
        } else {
            ch1_buf = ch2_buf = data0;
            num_sample = DATA0_SAMPLES;
            vol_multi = STATUS_CLIP_GAIN;
        }

        // A tail shorter than a period is left out; the clip starts over.
        while (num_sample >= sample_count) {
            prepare_period(ch1_buf, ch2_buf, vol_multi, stereo_audio_buffer);

            snd_pcm_sframes_t pcm = snd_pcm_writei(pcm_handle, audio_PCM_buffer, sample_count);
            if (pcm == -EPIPE) {
                // After an underrun the stream is prepared again and the next
                // period follows; replaying this one would only stutter.
                snd_pcm_prepare(pcm_handle);
            } else if (pcm == -ESTRPIPE) {
                // Suspended (power management): resume, or start afresh when
                // the card cannot resume.
                int err;
                while ((err = snd_pcm_resume(pcm_handle)) == -EAGAIN)
                    usleep(RESUME_POLL_US);
                if (err < 0)
                    snd_pcm_prepare(pcm_handle);
            } else if (pcm < 0) {
                // The card is gone or broken: every further write would fail at
                // once and the loop would take the whole CPU from the backlight
                // thread and the key scanner. Wait as without a card; the next
                // screen opens the card again.
                snd_pcm_close(pcm_handle);
                wait_screen_change();
                return;
            }

            ch1_buf += sample_count;
            ch2_buf += sample_count;
            num_sample -= sample_count;
            if (!screen_unchanged()) {
                changed = true;
                break;
            }
        }
    }
    snd_pcm_close(pcm_handle);
}

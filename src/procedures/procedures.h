// Factory test procedures: the MP test sequence, the backlight sweep with the
// status monitor, and the audio playback test.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "shared.h"

extern std::atomic<bool> backlight_task_started;  // the thread was created and may be joined
extern pthread_t back_t;                          // the backlight and status thread
inline constexpr uint32_t sample_count = 256;     // frames per audio period, about 5.8 ms
extern uint32_t *audio_buf;         // one stereo frame per word, left in the low half; main
extern uint16_t *audio_PCM_buffer;  // the scaled period handed to the sound device; main

void MP_mode();
void screen_color_test();
void key_test_gamepad_read();
[[noreturn]] void twinkle_screen(int btn);
void *backlight_task(void *args);
void audio_play_test();

// Named steps of the audio test and the status screen, each called by the
// program itself:
// one period's scaling: stereo 16-bit samples times volume, truncated toward
// zero and clipped to 16 bits;
void scale_period(const int16_t *in, uint16_t *out, unsigned count, float volume);
// one period's preparation from the next sample_count samples of each channel:
// the stereo frames into audio_buf, one volume wheel reading, the scaled
// period into audio_PCM_buffer (`stereo` is scratch of 2 * sample_count);
void prepare_period(const int16_t *ch1_buf, const int16_t *ch2_buf, float vol_multi,
                    int16_t *stereo);
// one status screen update without its push;
void status_screen_draw();
// one step of the backlight sweep: returns the percent to show now and moves
// val one percent on, turning at 100 and at 0;
uint32_t sweep_step(uint32_t &val, int &direction);
// the battery voltage, in single precision, and its text "%.2f V".
float battery_volts(int battery_adc);
void battery_text(int battery_adc, char *buf, size_t len);

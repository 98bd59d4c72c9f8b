// Factory test procedures: the MP test sequence, the backlight sweep with the
// status monitor, and the audio playback test.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

extern std::atomic<int> pre_mode_type;  // screen being left; backlight thread and MP_mode
extern std::atomic<int> exit_MP;        // 1 after the exit combination; key scanner writes
extern std::atomic<bool> backlight_task_is_running;  // run flag of the backlight and status thread
extern std::atomic<bool> backlight_task_started;     // the thread was created and may be joined
extern pthread_t back_t;                             // the backlight and status thread
extern const uint32_t sample_count;                  // frames per audio period
extern uint32_t *audio_buf;                          // one stereo frame per word; main thread
extern uint16_t *audio_PCM_buffer;  // scaled period for the sound device; main thread

void MP_mode(void);
void screen_color_test(void);
void key_test_gamepad_read(void);
[[noreturn]] void twinkle_screen(int btn);
void *backlight_task(void *args);
void audio_play_test(void);

// Battery voltage as shown on the status screen, in single precision.
float battery_volts(int battery_adc);
// One period's scaling: stereo 16-bit samples times volume, truncated toward
// zero and clipped to 16 bits.
void scale_period(const int16_t *in, uint16_t *out, unsigned count, float volume);
// One period's preparation (copy, one volume reading, scaling into
// audio_PCM_buffer) and one status screen update without its push: the steps
// the audio test and the status screen repeat, apart for measuring.
void prepare_period(const int16_t *ch1_buf, const int16_t *ch2_buf, float vol_multi,
                    int (*volume_percent)(void), int16_t *stereo);
void status_screen_draw(void);

// The value of sample_count, for arrays sized by the period.
constexpr uint32_t PERIOD_FRAMES = 256;
// One step of the backlight sweep: returns the percent to show now and moves
// val one percent on, turning at 100 and at 0.
uint32_t sweep_step(uint32_t &val, int &direction);
// The status screen's battery text, "%.2f V" of battery_volts.
void battery_text(int battery_adc, char *buf, size_t len);

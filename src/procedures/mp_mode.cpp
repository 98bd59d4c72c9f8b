// The MP test sequence: screen colour test, key test with its failure
// display, then the backlight and status thread beside the repeated audio
// test until the operator gives the exit combination.
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "display/lcd.h"
#include "input/keys.h"
#include "procedures/procedures.h"

std::atomic<bool> backlight_task_started{false};
pthread_t back_t;
uint32_t *audio_buf = nullptr;
uint16_t *audio_PCM_buffer = nullptr;

constexpr useconds_t KEY_POLL_US = 15000;     // the key scanner publishes every 15 ms
constexpr useconds_t BLINK_HALF_US = 100000;  // failure display: 100 ms dark, 100 ms lit

// The GPIO that must be high while the audio test plays.
constexpr unsigned GPIO_AUDIO_ENABLE = 128;

static char backlight_task_name[] = "backlight_task";

// Key test stages: the prompt shown and the one key accepted at it.
struct KeyStage {
    const uint8_t *prompt;
    int key;
};
static const KeyStage key_stages[] = {
    {sample_img_down, KEY_DOWN},
    {sample_img_left, KEY_LEFT},
    {sample_img_up, KEY_UP},
    {sample_img_start, KEY_START},
};

// Where each key's name is drawn in the failure display, by key index: centred
// in the 240-column window at size 6, 48 columns a letter.
static constexpr uint16_t fail_label_x[KEY_COUNT] = {72, 0, 24, 24, 0, 96, 96};
constexpr uint16_t FAIL_LABEL_Y = 66;
constexpr uint8_t FAIL_LABEL_SIZE = 6;

// One acknowledgement: any key, several at once counting as one, and the
// next stage only after every key is up again.
static void wait_any_key() {
    int is_pass;
    do {
        is_pass = 0;
        for (const auto &k : key_state) {
            if (k)
                is_pass = 1;
        }
        usleep(KEY_POLL_US);
    } while (!is_pass);
    wait_all_release();
}

void screen_color_test() {
    // Stage 1 is the white window the caller left on the panel.
    wait_any_key();

    draw_rect_color(0, 0, SCREEN_W, SCREEN_H, BLACK);
    FB_flash();
    wait_any_key();

    // draw_image has pushed the image already; the second push is kept on
    // purpose: the panel has always been given the colour image twice.
    draw_image(SCREEN_W, SCREEN_H, color_img);
    FB_flash();
    wait_any_key();
}

// Index of the lowest key held, or -1.
static int first_held_key() {
    for (int i = 0; i < KEY_COUNT; i++) {
        if (key_state[i])
            return i;
    }
    return -1;
}

void key_test_gamepad_read() {
    for (const KeyStage &stage : key_stages) {
        draw_image(SCREEN_W, SCREEN_H, stage.prompt);
        for (;;) {
            int held = first_held_key();
            if (held < 0) {
                usleep(KEY_POLL_US);
                continue;
            }
            // The lowest index wins: a wrong key held together with the
            // right one still fails the stage when it comes first.
            if (held != stage.key)
                twinkle_screen(held);
            usleep(KEY_POLL_US);
            wait_all_release();
            break;
        }
    }
}

void twinkle_screen(int btn) {
    if (static_cast<unsigned>(btn) < KEY_COUNT) {
        draw_rect_color(0, 0, SCREEN_W, SCREEN_H, BLACK);
        show_string(fail_label_x[btn], FAIL_LABEL_Y, key_table[btn].name, RED, FAIL_LABEL_SIZE);
    }
    FB_flash();
    // A failed unit stays here until it is switched off: the blinking
    // backlight tells the line from afar that it must be pulled.
    for (;;) {
        set_bright(0);
        usleep(BLINK_HALF_US);
        set_bright(100);
        usleep(BLINK_HALF_US);
    }
}

// Without both buffers there is nothing to play into; keep the sequence
// alive until the operator ends it so the hand-off still follows.
static void wait_for_exit() {
    while (!exit_MP)
        usleep(KEY_POLL_US);
}

void MP_mode() {
    // A and B of the entry combination are normally still held.
    wait_all_release();
    screen_color_test();
    key_test_gamepad_read();

    // Raised before the thread exists so that a clear by the key scanner can
    // never be overwritten by a late start of the thread.
    backlight_task_is_running = true;
    if (pthread_create(&back_t, nullptr, backlight_task, backlight_task_name) != 0) {
        // Without the thread nobody switches to a screen on which the exit
        // combination counts, so waiting for it would never end.
        backlight_task_is_running = false;
        return;
    }
    backlight_task_started = true;

    gpio_export(GPIO_AUDIO_ENABLE, 1, 1);

    const uint32_t buffer_size = sample_count * 4;
    if (audio_buf == nullptr)
        audio_buf = static_cast<uint32_t *>(malloc(buffer_size));
    if (audio_PCM_buffer == nullptr)
        audio_PCM_buffer = static_cast<uint16_t *>(malloc(buffer_size));
    if (audio_buf == nullptr || audio_PCM_buffer == nullptr) {
        wait_for_exit();
        return;
    }

    while (!exit_MP) {
        audio_play_test();
        pre_mode_type = mode_type.load();
    }
}

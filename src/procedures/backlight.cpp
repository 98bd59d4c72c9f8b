// The backlight and status thread: the image screen with the backlight
// sweeping between dark and full, and the status screen with the headphone,
// USB and battery indicators, switched by any key.
#include <pthread.h>
#include <unistd.h>

#include <cstdio>

#include "assets.h"
#include "device/device.h"
#include "display/draw.h"
#include "display/lcd.h"
#include "input/keys.h"
#include "procedures/procedures.h"

constexpr useconds_t PASS_US = 10000;  // one sweep step or status update per pass
constexpr uint8_t STATUS_TEXT_SIZE = 3;
constexpr uint16_t DETECT_BOX_H = 34;

// Kept across changes of screen, so the sweep resumes where it stopped.
static uint32_t backlight_val = 0;  // sweep percent, 0..100
static int dir = 0;                 // sweep direction: 0 up, nonzero down
static int pre_val = -1;            // USB detect level on the panel, -1 none yet
static int pre_hval = -1;           // headphone detect level on the panel, -1 none yet

uint32_t sweep_step(uint32_t &val, int &direction) {
    uint32_t shown = val;
    if (direction) {
        val = val - 1;
        if (val == 0)
            direction = 0;
    } else {
        val = val + 1;
        if (val > 99)
            direction = 1;
    }
    return shown;
}

float battery_volts(int battery_adc) {
    // Single precision, step by step in this order: the second decimal on
    // the panel depends on the rounding of each step.
    float a = static_cast<float>(battery_adc);
    a = a + a;
    a = a / 63.0f;
    a = a * 3.0f;
    a = a * 0.5f;
    return a;
}

void battery_text(int battery_adc, char *buf, size_t len) {
    snprintf(buf, len, "%.2f V", static_cast<double>(battery_volts(battery_adc)));
}

static void show_image_screen() {
    draw_image(SCREEN_W, SCREEN_H, sample_img);
}

static void show_status_background() {
    // Both detect boxes are drawn again by the next status update.
    pre_val = -1;
    pre_hval = -1;
    draw_rect_color(0, 0, SCREEN_W, SCREEN_H, BLACK);
    set_bright(100);
}

// On any key: the other screen. The screen being left goes to pre_mode_type
// before mode_type changes, so the audio test never sees the two agree on a
// stale screen.
static void switch_screen_on_key() {
    for (const auto &k : key_state) {
        if (!k)
            continue;
        if (mode_type != MODE_IMAGE_SCREEN) {
            pre_mode_type = MODE_STATUS_SCREEN;
            mode_type = MODE_IMAGE_SCREEN;
            show_image_screen();
        } else {
            pre_mode_type = MODE_IMAGE_SCREEN;
            mode_type = MODE_STATUS_SCREEN;
            show_status_background();
        }
        return;
    }
}

// A detect box with its black label, green or red.
static void draw_detect_box(uint16_t x, uint16_t y, uint16_t w, const char *label, bool green) {
    draw_rect_color(x, y, w, DETECT_BOX_H, green ? GREEN : RED);
    show_string(static_cast<uint16_t>(x + 5), static_cast<uint16_t>(y + 5), label, BLACK,
                STATUS_TEXT_SIZE);
}

// The reads and the drawing of one status pass; the caller pushes the frame.
void status_screen_draw() {
    // The two boxes read their levels the opposite way round: the headphone
    // box is green at level 0, the USB box at level 1.
    int hval = read_value_from_fd(fd_head, 1);
    if (hval != pre_hval) {
        draw_detect_box(91, 106, 58, "HP", hval == 0);
        pre_hval = hval;
    }

    int val = read_value_from_fd(fd_usb, 1);
    if (val != pre_val) {
        draw_detect_box(79, 146, 82, "USB", val == 1);
        pre_val = val;
    }

    draw_rect_color(43, 0, 154, 66, BLACK);
    show_string(84, 5, "BAT", WHITE, STATUS_TEXT_SIZE);
    char buf[20];
    battery_text(read_battery_raw(), buf, sizeof buf);
    show_string(48, 37, buf, WHITE, STATUS_TEXT_SIZE);
}

static void status_update() {
    status_screen_draw();
    FB_flash();
}

void *backlight_task(void *args) {
    (void)args;
    mode_type = MODE_IMAGE_SCREEN;
    show_image_screen();

    while (backlight_task_is_running) {
        switch_screen_on_key();
        // One press switches once. After the exit combination the scanner
        // has stopped with A and B still recorded as held, so the wait must
        // also give up when the run flag goes.
        if (!wait_all_release_while(backlight_task_is_running))
            break;
        int screen = mode_type;
        if (screen == MODE_IMAGE_SCREEN)
            set_bright(static_cast<int>(sweep_step(backlight_val, dir)));
        else if (screen == MODE_STATUS_SCREEN)
            status_update();
        usleep(PASS_US);
    }
    return nullptr;
}

// The information screen and the LCD porch calibration.
#include "station/info_screen.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device.h"
#include "display/draw.h"
#include "display/lcd.h"
#include "input/keys.h"
#include "shared.h"
#include "station/porch_file.h"

namespace {

constexpr uint8_t TEXT_SIZE = 2;
constexpr uint16_t VALUE_X = 88;
constexpr uint16_t PORCH_Y = 128;
constexpr uint16_t FPS_Y = 152;
constexpr useconds_t PASS_PAUSE_US = 15000;

char buf[20];  // working text buffer, zero-filled before each use

void text(uint16_t x, uint16_t y, const char *s, Colour c) {
    show_string(x, y, s, c, TEXT_SIZE);
}

void clear_field(uint16_t y) {
    draw_rect_color(VALUE_X, y, 144, 20, BLACK);
}

void show_porch(int porch, Colour c) {
    clear_field(PORCH_Y);
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", porch);
    text(VALUE_X, PORCH_Y, buf, c);
}

void show_fps(double fps, Colour c) {
    clear_field(FPS_Y);
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%.2f FPS", fps);
    text(VALUE_X, FPS_Y, buf, c);
}

void flash_twice() {
    FB_flash();
    usleep(PASS_PAUSE_US);
    FB_flash();
}

// Draws the first n bytes of a file at (x, y), or "N/A" when it does not open.
void show_file_head(const std::string &path, size_t n, uint16_t x, uint16_t y) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        text(x, y, "N/A", YELLOW);
        return;
    }
    memset(buf, 0, sizeof(buf));
    ssize_t ignored = read(fd, buf, n);
    (void)ignored;
    text(x, y, buf, YELLOW);
    close(fd);
}

void first_draw(const StationState &st) {
    draw_rect_color(0, 0, SCREEN_W, SCREEN_H, WHITE);
    draw_rect_color(1, 1, SCREEN_W - 2, SCREEN_H - 2, BLACK);
    set_bright(100);

    text(8, 8, "SYS  ", WHITE);
    show_file_head("/etc/version", 14, 8, 32);

    text(8, 56, "MP   ", WHITE);
    memset(buf, 0, sizeof(buf));
    strcpy(buf, MP_VERSION);
    text(VALUE_X, 56, buf, YELLOW);

    // Application directories are usually longer than the 20-byte buffer
    // allows for a path, so the paths are composed without a length limit.
    text(8, 80, "APP  ", WHITE);
    show_file_head(st.app_dir + "/version", 8, VALUE_X, 80);

    text(8, 104, "DATA ", WHITE);
    int fd = open((st.app_dir + "/.noinit").c_str(), O_RDONLY);
    if (fd >= 0) {
        text(VALUE_X, 104, "YES", YELLOW);
        close(fd);
    } else {
        text(VALUE_X, 104, "NO", YELLOW);
    }

    text(8, 128, "PA   ", WHITE);
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", st.porch);
    text(VALUE_X, PORCH_Y, buf, st.proch_save ? YELLOW : GREEN);

    text(8, 152, "LCD ", WHITE);
    text(VALUE_X, FPS_Y, "--", WHITE);

    flash_twice();
}

// Measures the frame rate at `porch`; 0.0 means no TE edge was seen.
double measure_at(int porch) {
    set_porch(porch);
    return measure_TE();
}

// The automatic calibration. Returns false, with the porch and flags as they
// were and that porch on the panel again, when it cannot be trusted: a TE line
// that died during it (`fps` 0), or a rate so far off that the computed porch
// lies outside 0..999 (`fps` the rate it was computed from; a TE line losing
// every other edge reads about 30 FPS). Neither is ever stored.
bool calibrate(StationState &st, double &fps) {
    const StationState before = st;
    auto give_up = [&](double shown) {
        st = before;
        set_porch(st.porch);
        fps = shown;
        return false;
    };
    st.cal_porch = 0;
    if (st.proch_save == 1) {
        fps = measure_at(DEFAULT_PORCH);
        if (fps == 0.0)
            return give_up(0.0);
    }
    int porch_arr[2];
    double fps_arr[2];
    porch_arr[0] = first_porch_candidate(fps);
    if (!porch_in_range(porch_arr[0]))
        return give_up(fps);
    st.porch = porch_arr[0];
    fps = measure_at(st.porch);
    fps_arr[0] = fps;
    if (fps == 0.0)
        return give_up(0.0);
    porch_arr[1] = fps > 60.0 ? st.porch + 1 : st.porch - 1;
    // A neighbour beyond the panel's range is not tried: the first candidate wins.
    if (porch_in_range(porch_arr[1])) {
        fps_arr[1] = measure_at(porch_arr[1]);
        if (fps_arr[1] == 0.0)
            return give_up(0.0);
        if (trial_wins(fps_arr[0], fps_arr[1])) {
            st.porch = porch_arr[1];
            fps = fps_arr[1];
        }
    }
    set_porch(st.porch);
    if (porch_file_write(st.porch)) {
        show_porch(st.porch, YELLOW);
        show_fps(fps, YELLOW);
    }
    return true;
}

void measurement_pass(StationState &st, double &fps) {
    clear_field(FPS_Y);
    text(VALUE_X, FPS_Y, "Waiting..", RED);
    flash_twice();

    fps = measure_TE();
    int offset = rate_offset(fps);
    bool plain = true;
    if (fps != 0.0 && offset != 0 && (st.cal_porch == 1 || st.proch_save == 1)) {
        plain = !calibrate(st, fps);
    } else if (fps != 0.0 && offset == 0 && st.cal_porch == 1) {
        plain = false;
        if (porch_file_write(st.porch)) {
            show_porch(st.porch, YELLOW);
            show_fps(fps, YELLOW);
        }
    }
    if (plain) {
        Colour c = rate_offset(fps) != 0 ? RED : (st.proch_save == 1 ? YELLOW : GREEN);
        show_fps(fps, c);
    }
    flash_twice();
}

// A porch step by the operator: applied to the panel at once and shown in
// green with the next measurement pass, which the scanner sits out. At either
// end of the panel's range the porch stays; the step is otherwise the same.
void step_porch(StationState &st, int delta, int key, int release_AB[KEY_COUNT]) {
    if (porch_in_range(st.porch + delta))
        st.porch = st.porch + delta;
    set_porch(st.porch);
    show_porch(st.porch, GREEN);
    release_AB[key] = 0;
    release_AB[KEY_START] = 0;
    suspendMe();
    st.proch_save = 0;
}

}  // namespace

int rate_offset(double fps) {
    return static_cast<int>(fps - 60.0);
}

bool trial_wins(double first, double trial) {
    return abs(rate_offset(first)) >= abs(rate_offset(trial));
}

int first_porch_candidate(double fps) {
    double clock = fps * 344.0;  // 344 = 320 + the default porch 24
    return static_cast<int>((clock / 60.0) - 320.0);
}

void info_screen(StationState &st) {
    int mode_porch = 1;
    double fps = 0.0;
    int release_AB[KEY_COUNT] = {0, 0, 0, 0, 0, 0, 0};

    first_draw(st);
    wait_all_release();
    suspendMe();

    for (;;) {
        if (mode_porch == 1) {
            measurement_pass(st, fps);
            mode_porch = 0;
            resumeMe();
            usleep(PASS_PAUSE_US);
        } else {
            bool leave = false;
            for (int i = 0; i < KEY_COUNT; i++) {
                if (release_AB[i] == 1 && key_state[i] == 0) {
                    leave = true;
                    break;
                }
            }
            if (leave)
                break;

            if (mode_type == MODE_MP_ENTRY && key_state[KEY_A] == 1 && key_state[KEY_B] == 1) {
                MP_key_combination = true;
                draw_rect_color(0, 0, SCREEN_W, SCREEN_H, WHITE);
                FB_flash();
                break;
            }

            if (mode_type == MODE_PORCH_ADJUST && read_audio_volume() == 0 &&
                key_state[KEY_RIGHT] == 1 && key_state[KEY_START] == 1) {
                if (porch_file_write(st.porch)) {
                    show_porch(st.porch, YELLOW);
                    show_fps(fps, YELLOW);
                    FB_flash();
                    st.proch_save = 1;
                }
                release_AB[KEY_RIGHT] = 0;
                release_AB[KEY_START] = 0;
                wait_all_release();
            } else if (mode_type == MODE_PORCH_ADJUST && read_audio_volume() == 0 &&
                       key_state[KEY_UP] == 1 && key_state[KEY_START] == 1) {
                step_porch(st, +1, KEY_UP, release_AB);
                mode_porch = 1;
            } else if (mode_type == MODE_PORCH_ADJUST && read_audio_volume() == 0 &&
                       key_state[KEY_DOWN] == 1 && key_state[KEY_START] == 1) {
                step_porch(st, -1, KEY_DOWN, release_AB);
                mode_porch = 1;
            } else {
                for (int i = 0; i < KEY_COUNT; i++) {
                    if (key_state[i] == 1)
                        release_AB[i] = 1;
                }
            }
        }
        usleep(PASS_PAUSE_US);
    }
}

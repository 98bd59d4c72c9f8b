// Runs single MP test procedures on the simulated device, without the
// information screen and its five-second frame-rate measurement in front:
//   mp_probe twinkle <btn>         the failure display for key index btn
//   mp_probe keytest <finish>      the key test alone, then the hand-off
//   mp_probe mp <finish>           MP_mode as after the A+B combination, then the hand-off
// It prints a line when a procedure returns, so a test can tell that it did.
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device.h"
#include "display/draw.h"
#include "display/lcd.h"
#include "input/keys.h"
#include "procedures/procedures.h"
#include "station/station.h"

namespace {

pthread_t scanner;

// The start-up steps of the station that the procedures rely on.
void start_up(void) {
    init_pwm0();
    gpio_export(1, 0, 0);
    gpio_export(132, 0, 0);
    init_key_gamepad();
    FB_init();
    init_fd();
    init_audio_transfer();
    if (!start_key_scan(scanner)) {
        printf("no key scanner\n");
        exit(2);
    }
}

void stop_scanner(void) {
    stop_key_scan(scanner);
}

int usage(void) {
    printf("usage: mp_probe twinkle <btn> | keytest <finish> | mp <finish>\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *cmd = argv[1];
    if (strcmp(cmd, "twinkle") == 0) {
        start_up();
        twinkle_screen(atoi(argv[2]));
    }
    if (strcmp(cmd, "keytest") == 0) {
        start_up();
        mode_type = 2;
        key_test_gamepad_read();
        printf("key test passed\n");
        stop_scanner();
        normal_game_mode(argv[2]);
        return 0;
    }
    if (strcmp(cmd, "mp") == 0) {
        start_up();
        // As the information screen leaves it after A and B.
        mode_type = 2;
        MP_key_combination = true;
        draw_rect_color(0, 0, 240, 180, 255, 255, 255);
        FB_flash();
        MP_mode();
        printf("MP_mode returned\n");
        stop_scanner();
        normal_game_mode(argv[2]);
        return 0;
    }
    return usage();
}

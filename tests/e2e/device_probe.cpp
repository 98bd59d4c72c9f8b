// Runs single operations of the device access layer and the key take-over on
// the simulated device, printing each result, so tests can check the bytes
// the hardware receives.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device.h"
#include "input/keys.h"

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        const char *op = argv[i];
        auto arg = [&](int k) { return static_cast<unsigned>(atoi(argv[i + k])); };
        if (strcmp(op, "export") == 0 && i + 3 < argc) {
            printf("export=%d\n", gpio_export(arg(1), arg(2), arg(3)));
            i += 3;
        } else if (strcmp(op, "unexport") == 0 && i + 1 < argc) {
            printf("unexport=%d\n", gpio_unexport(arg(1)));
            i += 1;
        } else if (strcmp(op, "bright") == 0 && i + 1 < argc) {
            set_bright(atoi(argv[i + 1]));
            i += 1;
        } else if (strcmp(op, "porch") == 0 && i + 1 < argc) {
            set_porch(atoi(argv[i + 1]));
            i += 1;
        } else if (strcmp(op, "pwm") == 0) {
            printf("pwm=%d\n", init_pwm0());
        } else if (strcmp(op, "keys-take") == 0) {
            init_key_gamepad();
        } else if (strcmp(op, "keys-give") == 0) {
            deinit_key_gamepad();
        } else if (strcmp(op, "fb") == 0) {
            FB_init();
            printf("fb=%dx%d bpp %d mapped %d\n", width, height, colorWidth, FB_buf != nullptr);
        } else {
            fprintf(stderr, "unknown operation %s\n", op);
            return 2;
        }
    }
    fflush(stdout);
    return 0;
}

// Device access layer: sysfs values, GPIO export, the long-lived device
// handles, the framebuffer mapping, the volume table, battery, backlight and
// panel porch.
#pragma once

#include <cstdint>

#include "shared.h"

// ---- long-lived handles (opened by init_fd, closed by deinit_fd) ----------
extern int fd_lcd;   // "/sys/kernel/screen_update/update", rw; whoever refreshes the panel
extern int fd_vol;   // volume wheel ADC; main thread only
extern int fd_bat;   // battery ADC; backlight and status thread only
extern int fd_usb;   // GPIO 1 value (USB detect); backlight and status thread only
extern int fd_head;  // GPIO 132 value (headphone detect); backlight and status thread only
extern int fd_key[KEY_COUNT];  // key GPIO values by key index; key scanner only

// ---- framebuffer (FB_init / FB_deinit) -------------------------------------
extern int width;         // xres_virtual: row stride in pixels and right clipping edge
extern int height;        // yres_virtual
extern int colorWidth;    // bits_per_pixel
extern int FB_fd;         // "/dev/fb0" while mapped, else -1
extern uint32_t *FB_buf;  // mapped framebuffer, width x height words; null when unmapped

// ---- volume table (init_audio_transfer) -----------------------------------
extern int vol[4096];  // 12-bit wheel reading -> loudness percent 0..100

// Device paths the layer uses.
inline constexpr const char PATH_GPIO_EXPORT[] = "/sys/class/gpio/export";
inline constexpr const char PATH_GPIO_UNEXPORT[] = "/sys/class/gpio/unexport";
inline constexpr const char PATH_LCD_UPDATE[] = "/sys/kernel/screen_update/update";
inline constexpr const char PATH_LCD_PORCH[] = "/sys/kernel/screen_update/lcdporch";
inline constexpr const char PATH_ADC_VOL[] = "/sys/devices/soc/1c24800.tp_adc/value";
inline constexpr const char PATH_ADC_BAT[] = "/sys/devices/soc/1c23400.battery/adc";
inline constexpr const char PATH_GPIO_USB[] = "/sys/class/gpio/gpio1/value";
inline constexpr const char PATH_GPIO_HEAD[] = "/sys/class/gpio/gpio132/value";
inline constexpr const char PATH_PWM_EXPORT[] = "/sys/class/pwm/pwmchip0/export";
inline constexpr const char PATH_PWM_DUTY[] =
    "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
inline constexpr const char PATH_FB[] = "/dev/fb0";

inline constexpr unsigned GPIO_USB_DETECT = 1;
inline constexpr unsigned GPIO_HEADPHONE_DETECT = 132;
inline constexpr int DUTY_PER_PERCENT = 800;  // 100 percent is a duty of 80000, full brightness

int read_value_from_fd(int fd, int is_bool);
int write_value_to_file(int value, const char *path);
int gpio_export(unsigned int gpio, unsigned int out_flag, unsigned int value);
int gpio_unexport(unsigned int gpio);

void init_fd();
void deinit_fd();

void getFrameBufferSize(int &w, int &h, int &color_width);
void FB_init();
void FB_deinit();

void init_audio_transfer();
int read_audio_volume();
int read_battery_raw();

int init_pwm0();
void set_bright(int per);
void set_porch(int por);

// The panel interface takes the first three characters of "%d": only
// porches from 0 to 999 reach it whole, and only those are ever applied.
inline constexpr int PORCH_MIN = 0;
inline constexpr int PORCH_MAX = 999;
inline constexpr bool porch_in_range(int por) {
    return por >= PORCH_MIN && por <= PORCH_MAX;
}

// Parses the decimal value at the start of the first n bytes of buf the way
// atoi does (leading blanks, optional sign, digits), never looking past n and
// saturating at the int range instead of overflowing.
int parse_int_bounded(const char *buf, unsigned n);

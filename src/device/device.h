// Device access layer: sysfs values, GPIO export, the long-lived device
// handles, the framebuffer mapping, the volume table, battery, backlight and
// panel porch.
#pragma once

#include <cstdint>

// ---- long-lived handles (opened by init_fd, closed by deinit_fd) ----------
extern int fd_lcd;     // "/sys/kernel/screen_update/update", rw; whoever refreshes the panel
extern int fd_vol;     // volume wheel ADC; main thread only
extern int fd_bat;     // battery ADC; backlight and status thread only
extern int fd_usb;     // GPIO 1 value (USB detect); backlight and status thread only
extern int fd_head;    // GPIO 132 value (headphone detect); backlight and status thread only
extern int fd_key[7];  // key GPIO values by key index; key scanning thread only

// ---- framebuffer (FB_init / FB_deinit) -------------------------------------
extern int width;         // xres_virtual: row stride in pixels and right clipping edge
extern int height;        // yres_virtual
extern int colorWidth;    // bits_per_pixel
extern int FB_fd;         // "/dev/fb0" while mapped, else -1
extern uint32_t *FB_buf;  // mapped framebuffer, width x height words; null when unmapped

// ---- volume table (init_audio_transfer) -----------------------------------
extern int vol[4096];  // 12-bit wheel reading -> loudness percent 0..100

// Device paths the layer uses.
#define PATH_GPIO_EXPORT "/sys/class/gpio/export"
#define PATH_GPIO_UNEXPORT "/sys/class/gpio/unexport"
#define PATH_LCD_UPDATE "/sys/kernel/screen_update/update"
#define PATH_LCD_PORCH "/sys/kernel/screen_update/lcdporch"
#define PATH_ADC_VOL "/sys/devices/soc/1c24800.tp_adc/value"
#define PATH_ADC_BAT "/sys/devices/soc/1c23400.battery/adc"
#define PATH_GPIO_USB "/sys/class/gpio/gpio1/value"
#define PATH_GPIO_HEAD "/sys/class/gpio/gpio132/value"
#define PATH_PWM_EXPORT "/sys/class/pwm/pwmchip0/export"
#define PATH_PWM_DUTY "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle"
#define PATH_FB "/dev/fb0"
#define PATH_PORCH_FILE "/mnt/UDISK/.lcdporch"

int read_value_from_fd(int fd, int is_bool);
int write_value_to_file(int value, const char *path);
int gpio_export(unsigned int gpio, unsigned int out_flag, unsigned int value);
int gpio_unexport(unsigned int gpio);

void init_fd(void);
void deinit_fd(void);

void getFrameBufferSize(int *w, int *h, int *color_width);
void FB_init(void);
void FB_deinit(void);

void init_audio_transfer(void);
int read_audio_volume(void);
int read_battery_raw(void);

int init_pwm0(void);
void set_bright(int per);
void set_porch(int por);

// Parses the decimal value at the start of the first n bytes of buf the way
// atoi does (leading blanks, optional sign, digits), never looking past n and
// saturating at the int range instead of overflowing.
int parse_int_bounded(const char *buf, unsigned n);

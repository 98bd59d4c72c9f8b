// Device access layer: sysfs values, GPIO export, long-lived handles, the
// framebuffer mapping, the volume table, battery, backlight and porch.
#include "device/device.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

int fd_lcd = -1;
int fd_vol = -1;
int fd_bat = -1;
int fd_usb = -1;
int fd_head = -1;
int fd_key[KEY_COUNT] = {-1, -1, -1, -1, -1, -1, -1};

int width = 0;
int height = 0;
int colorWidth = 0;
int FB_fd = -1;
uint32_t *FB_buf = nullptr;

int vol[4096];

int parse_int_bounded(const char *buf, unsigned n) {
    unsigned i = 0;
    while (i < n && (buf[i] == ' ' || (buf[i] >= '\t' && buf[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < n && (buf[i] == '-' || buf[i] == '+')) {
        negative = buf[i] == '-';
        i++;
    }
    // Accumulate toward the sign so INT_MIN is reachable; stop growing once
    // the value is out of range (a garbled sysfs value must not overflow).
    long long value = 0;
    for (; i < n && buf[i] >= '0' && buf[i] <= '9'; i++) {
        if (value <= static_cast<long long>(INT_MAX) + 1)
            value = value * 10 + (buf[i] - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

int read_value_from_fd(int fd, int is_bool) {
    char buf[10];
    memset(buf, 0, sizeof(buf));
    lseek(fd, 0, SEEK_SET);
    ssize_t got = read(fd, buf, sizeof(buf));
    if (got < 0)
        got = 0;
    if (is_bool)
        return buf[0] == '0' ? 0 : 1;
    return parse_int_bounded(buf, static_cast<unsigned>(got));
}

int write_value_to_file(int value, const char *path) {
    char buf[10];
    memset(buf, 0, sizeof(buf));
    int fd = open(path, O_WRONLY);
    if (fd < 0) {
        printf("open %s failed\n", path);
        return -1;
    }
    snprintf(buf, sizeof(buf), "%d", value);
    if (write(fd, buf, sizeof(buf)) < 0) {
        printf("write %s failed\n", path);
        close(fd);
        return -1;
    }
    close(fd);
    return 1;
}

// Writes exactly len bytes of text to path; false on any failure.
static bool write_exact(const char *path, const char *text, size_t len) {
    int fd = open(path, O_WRONLY);
    if (fd < 0)
        return false;
    bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
    close(fd);
    return ok;
}

int gpio_export(unsigned int gpio, unsigned int out_flag, unsigned int value) {
    char path[64];
    char num[16];
    int len = snprintf(num, 10, "%d", static_cast<int>(gpio));
    if (len > 9)
        len = 9;
    if (!write_exact(PATH_GPIO_EXPORT, num, static_cast<size_t>(len)))
        return -1;

    snprintf(path, sizeof(path), "/sys/class/gpio/gpio%d/direction", static_cast<int>(gpio));
    if (!out_flag)
        return write_exact(path, "in", 2) ? 0 : -1;
    if (!write_exact(path, "out", 3))
        return -1;

    snprintf(path, sizeof(path), "/sys/class/gpio/gpio%d/value", static_cast<int>(gpio));
    char level[16];
    snprintf(level, sizeof(level), "%d", static_cast<int>(value));
    return write_exact(path, level, 1) ? 0 : -1;
}

int gpio_unexport(unsigned int gpio) {
    char num[16];
    int len = snprintf(num, 10, "%d", static_cast<int>(gpio));
    if (len > 9)
        len = 9;
    return write_exact(PATH_GPIO_UNEXPORT, num, static_cast<size_t>(len)) ? 0 : -1;
}

void init_fd() {
    fd_lcd = open(PATH_LCD_UPDATE, O_RDWR);
    fd_vol = open(PATH_ADC_VOL, O_RDONLY);
    fd_bat = open(PATH_ADC_BAT, O_RDONLY);
    fd_usb = open(PATH_GPIO_USB, O_RDONLY);
    fd_head = open(PATH_GPIO_HEAD, O_RDONLY);
    char path[64];
    for (int i = 0; i < KEY_COUNT; i++) {
        snprintf(path, sizeof(path), "/sys/class/gpio/gpio%u/value", key_table[i].gpio);
        fd_key[i] = open(path, O_RDONLY);
    }
}

void deinit_fd() {
    close(fd_lcd);
    close(fd_vol);
    close(fd_bat);
    close(fd_usb);
    close(fd_head);
    for (int fd : fd_key)
        close(fd);
}

void getFrameBufferSize(int &w, int &h, int &color_width) {
    int fd = open(PATH_FB, O_RDWR);
    if (fd < 0) {
        printf("open fb0 failed\n");
        return;
    }
    struct fb_var_screeninfo info;
    memset(&info, 0, sizeof(info));
    if (ioctl(fd, FBIOGET_VSCREENINFO, &info) == 0) {
        w = static_cast<int>(info.xres_virtual);
        h = static_cast<int>(info.yres_virtual);
        color_width = static_cast<int>(info.bits_per_pixel);
    }
    close(fd);
}

void FB_init() {
    getFrameBufferSize(width, height, colorWidth);
    FB_fd = open(PATH_FB, O_RDWR);
    if (FB_fd < 0) {
        printf("open fb0 failed\n");
        return;
    }
    // Without a usable geometry there is nothing to draw on: leave FB_buf
    // null, which every drawing routine treats as "no framebuffer".
    if (width <= 0 || height <= 0)
        return;
    void *p = mmap(nullptr, static_cast<size_t>(width) * static_cast<size_t>(height) * 4,
                   PROT_WRITE, MAP_SHARED, FB_fd, 0);
    FB_buf = p == MAP_FAILED ? nullptr : static_cast<uint32_t *>(p);
}

void FB_deinit() {
    if (FB_buf != nullptr)
        munmap(FB_buf, static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    FB_buf = nullptr;
    if (FB_fd >= 0)
        close(FB_fd);
    FB_fd = -1;
}

void init_audio_transfer() {
    for (int i = 0; i < 4096; i++) {
        if (i <= 200)
            vol[i] = 100;
        else if (i <= 3894)
            vol[i] = 99 - (i - 200) / 37;
        else
            vol[i] = 0;
    }
}

int read_audio_volume() {
    int raw = read_value_from_fd(fd_vol, 0);
    // A 12-bit converter reads 0..4095; anything else is a driver fault and
    // must not index outside the table.
    if (raw < 0)
        raw = 0;
    if (raw > 4095)
        raw = 4095;
    return vol[raw];
}

int read_battery_raw() {
    return read_value_from_fd(fd_bat, 0);
}

int init_pwm0() {
    int fd = open(PATH_PWM_EXPORT, O_WRONLY);
    if (fd < 0)
        return -1;
    if (write(fd, "0", 1) != 1) {
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

void set_bright(int per) {
    write_value_to_file(per * DUTY_PER_PERCENT, PATH_PWM_DUTY);
}

void set_porch(int por) {
    char buf[20];
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", por);
    int fd = open(PATH_LCD_PORCH, O_WRONLY);
    if (fd < 0)
        return;
    // The panel driver takes exactly three bytes: the text, zero-filled.
    ssize_t ignored = write(fd, buf, 3);
    (void)ignored;
    close(fd);
}

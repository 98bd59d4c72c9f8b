/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The handheld's board, as its hardware documentation gives it: GPIO
 * numbers, device paths, the keys, the panel, the backlight, the sound card,
 * and what a factory-fresh board holds at power-on.
 *
 * This is the one statement of the board in the test apparatus. It is plain
 * C so that every part includes it: the board's kernel module (as a board
 * vendor includes its board header), the preloaded library, the sound card
 * plugin, the harness, mp-sim, mp-desk and the virtual device's bench agent.
 * It is never taken from the program's sources: it is what the program is
 * checked against.
 */
#ifndef MPSIM_BOARD_H
#define MPSIM_BOARD_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdint.h>
#endif

#ifdef __cplusplus
#define BOARD_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define BOARD_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- GPIO lines ---------------------------------------------------------- */

enum {
    BOARD_GPIO_USB_DETECT = 1,         /* input, USB cable detect */
    BOARD_GPIO_TE = 105,               /* input, the panel's tearing effect */
    BOARD_GPIO_AUDIO_ENABLE = 128,     /* output, driven high before the audio test */
    BOARD_GPIO_HEADPHONE_DETECT = 132, /* input, headphone detect */
    /* The gamepad keys; a key's line reads 0 while it is pressed. */
    BOARD_GPIO_KEY_UP = 133,
    BOARD_GPIO_KEY_LEFT = 134,
    BOARD_GPIO_KEY_DOWN = 135,
    BOARD_GPIO_KEY_RIGHT = 136,
    BOARD_GPIO_KEY_B = 137,
    BOARD_GPIO_KEY_A = 138,
    BOARD_GPIO_KEY_START = 139,
    BOARD_KEY_COUNT = 7,
    /* The GPIO controller's lines: five banks of 32. */
    BOARD_GPIO_LINES = 160,
};

/* The keys in key index order (the order the program's key table has). */
struct board_key {
    const char *name;
    int gpio;
};
static const struct board_key board_keys[BOARD_KEY_COUNT] = {
    {"UP", BOARD_GPIO_KEY_UP},     {"RIGHT", BOARD_GPIO_KEY_RIGHT}, {"DOWN", BOARD_GPIO_KEY_DOWN},
    {"LEFT", BOARD_GPIO_KEY_LEFT}, {"START", BOARD_GPIO_KEY_START}, {"A", BOARD_GPIO_KEY_A},
    {"B", BOARD_GPIO_KEY_B},
};

/* Every line the board has, for a controller that offers only those. */
static const int board_lines[] = {
    BOARD_GPIO_USB_DETECT,   BOARD_GPIO_TE,
    BOARD_GPIO_AUDIO_ENABLE, BOARD_GPIO_HEADPHONE_DETECT,
    BOARD_GPIO_KEY_UP,       BOARD_GPIO_KEY_LEFT,
    BOARD_GPIO_KEY_DOWN,     BOARD_GPIO_KEY_RIGHT,
    BOARD_GPIO_KEY_B,        BOARD_GPIO_KEY_A,
    BOARD_GPIO_KEY_START,
};

/* ---- sysfs and device files ---------------------------------------------- */

#define BOARD_GPIO_EXPORT "/sys/class/gpio/export"
#define BOARD_GPIO_UNEXPORT "/sys/class/gpio/unexport"

/* The keys' platform device and the kernel's polled key driver it is bound to. */
#define BOARD_KEYS_PDEV_NAME "gpio-keys"
#define BOARD_KEYS_PDEV_ID 7
#define BOARD_KEYS_DEVICE "gpio-keys.7" /* BOARD_KEYS_PDEV_NAME "." BOARD_KEYS_PDEV_ID */
#define BOARD_KEYS_DRIVER "gpio-keys-polled"
#define BOARD_KEYS_DRIVER_DIR "/sys/bus/platform/drivers/" BOARD_KEYS_DRIVER
#define BOARD_KEYS_BIND BOARD_KEYS_DRIVER_DIR "/bind"
#define BOARD_KEYS_UNBIND BOARD_KEYS_DRIVER_DIR "/unbind"

/* The converters: the volume wheel (12 bits) and the battery. */
#define BOARD_SOC "/sys/devices/soc"
#define BOARD_ADC_VOLUME_DEV "1c24800.tp_adc"
#define BOARD_ADC_VOLUME_ATTR "value"
#define BOARD_ADC_VOLUME BOARD_SOC "/" BOARD_ADC_VOLUME_DEV "/" BOARD_ADC_VOLUME_ATTR
#define BOARD_ADC_BATTERY_DEV "1c23400.battery"
#define BOARD_ADC_BATTERY_ATTR "adc"
#define BOARD_ADC_BATTERY BOARD_SOC "/" BOARD_ADC_BATTERY_DEV "/" BOARD_ADC_BATTERY_ATTR

/* The backlight: one PWM channel; its period, and so a duty of full brightness. */
#define BOARD_PWM_DEV "1c21000.pwm"
#define BOARD_PWM_EXPORT "/sys/class/pwm/pwmchip0/export"
#define BOARD_PWM_CHIP BOARD_SOC "/" BOARD_PWM_DEV "/pwm/pwmchip0"
#define BOARD_PWM_CHANNEL BOARD_PWM_CHIP "/pwm0"
#define BOARD_PWM_DUTY BOARD_PWM_CHANNEL "/duty_cycle"
enum { BOARD_BACKLIGHT_PERIOD_NS = 80000 };

/*
 * The panel's kernel interface: a write to "update" pushes the
 * framebuffer's visible window to the glass; "lcdporch" takes the porch as
 * decimal text.
 */
#define BOARD_PANEL_KOBJ "screen_update"
#define BOARD_PANEL_UPDATE_ATTR "update"
#define BOARD_PANEL_PORCH_ATTR "lcdporch"
#define BOARD_PANEL_UPDATE "/sys/kernel/" BOARD_PANEL_KOBJ "/" BOARD_PANEL_UPDATE_ATTR
#define BOARD_PANEL_PORCH "/sys/kernel/" BOARD_PANEL_KOBJ "/" BOARD_PANEL_PORCH_ATTR
#define BOARD_FRAMEBUFFER "/dev/fb0"

/* The codec's playback device, which ALSA's "default" opens, and its rate. */
#define BOARD_SOUND_DEVICE "/dev/snd/pcmC0D0p"
enum { BOARD_SOUND_RATE = 44100 };

/* ---- storage and versions -------------------------------------------------- */

#define BOARD_STORAGE "/mnt/UDISK"
#define BOARD_PORCH_FILE BOARD_STORAGE "/.lcdporch"
#define BOARD_SYSTEM_VERSION "/etc/version"

/* ---- the panel ------------------------------------------------------------- */

enum {
    /* The framebuffer, in pixels of 32 bits. */
    BOARD_FB_WIDTH = 240,
    BOARD_FB_HEIGHT = 240,
    BOARD_FB_BYTES_PER_PIXEL = 4,
    /* The glass shows this window of the framebuffer, from its first row on. */
    BOARD_GLASS_WIDTH = 240,
    BOARD_GLASS_HEIGHT = 180,
    BOARD_GLASS_FIRST_ROW = 39,
    BOARD_GLASS_PIXELS = BOARD_GLASS_WIDTH * BOARD_GLASS_HEIGHT,
    /*
     * The panel refreshes at clock / (lines + porch) frames per second,
     * with one rising TE edge a refresh: 60 at the default clock and porch.
     */
    BOARD_PANEL_LINES = 320,
    BOARD_TE_CLOCK = 20640,
    BOARD_PORCH = 24,
    BOARD_TE_PULSE_NS = 500000, /* the TE line stays high this long */
};

/* ---- a factory-fresh board at power-on ------------------------------------ */

enum {
    /* Every key released, headphone and USB detect lines at 1. */
    BOARD_FRESH_KEY_LEVEL = 1,
    BOARD_FRESH_DETECT_LEVEL = 1,
    /* The volume wheel at 50 %: the middle of the readings that give it. */
    BOARD_FRESH_VOLUME_RAW = 2031,
    BOARD_FRESH_BATTERY_RAW = 80,
};

/* ---- the virtual device's board module ------------------------------------- */

/*
 * Its debugfs folder, the outside world of the board while the machine runs:
 * "levels" (line levels), "vol_adc" and "bat_adc" (readings), "te_clock" and
 * "te_stopped" (the panel clock), "glass" (each push, below), "pushes".
 */
#define BOARD_DEBUGFS_DIR "handheld_board"
#define BOARD_DEBUGFS "/sys/kernel/debug/" BOARD_DEBUGFS_DIR
#define BOARD_DEBUGFS_LEVELS "levels"
#define BOARD_DEBUGFS_VOL_ADC "vol_adc"
#define BOARD_DEBUGFS_BAT_ADC "bat_adc"
#define BOARD_DEBUGFS_TE_CLOCK "te_clock"
#define BOARD_DEBUGFS_TE_STOPPED "te_stopped"
#define BOARD_DEBUGFS_GLASS "glass"
#define BOARD_DEBUGFS_PUSHES "pushes"

/* One push as "glass" hands it out: this record, then the glass's pixels. */
#define BOARD_PUSH_MAGIC 0x53485550u /* "PUSH" */
struct board_push {
    uint32_t magic;
    uint32_t push;    /* 1 for the first write to "update" */
    uint64_t time_ns; /* CLOCK_MONOTONIC of the write */
    uint32_t width;
    uint32_t height;
    uint32_t dropped; /* pushes lost so far because nobody read them */
    uint32_t reserved;
};
BOARD_STATIC_ASSERT(sizeof(struct board_push) == 32, "the push record is 32 bytes");
BOARD_STATIC_ASSERT(sizeof(struct board_push) % 8 == 0, "pixels follow the record aligned");
#define BOARD_PUSH_BYTES (sizeof(struct board_push) + BOARD_GLASS_PIXELS * BOARD_FB_BYTES_PER_PIXEL)

#endif /* MPSIM_BOARD_H */

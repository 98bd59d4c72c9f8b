// The board the factory test program runs on, as its hardware documentation
// gives it: GPIO numbers, device paths, the keys and the panel. This is the
// statement the program is checked against, so it is written here on its own
// and never taken from the program's sources. Every part of the simulated
// device (the preloaded library, the harness, mp-sim, mp-desk) reads it here.
#pragma once

#include <array>
#include <cstdint>

namespace mpsim::board {

// ---- GPIO lines --------------------------------------------------------------
constexpr int kGpioUsbDetect = 1;          // input, USB cable detect
constexpr int kGpioTe = 105;               // input, the panel's tearing-effect signal
constexpr int kGpioAudioEnable = 128;      // output, driven high before the audio test
constexpr int kGpioHeadphoneDetect = 132;  // input, headphone detect

// The gamepad keys in key index order; a key's line reads 0 while pressed.
struct KeyLine {
    const char *name;
    int gpio;
};
constexpr std::array<KeyLine, 7> kKeys{{{"UP", 133},
                                        {"RIGHT", 136},
                                        {"DOWN", 135},
                                        {"LEFT", 134},
                                        {"START", 139},
                                        {"A", 138},
                                        {"B", 137}}};
constexpr int kFirstKeyGpio = 133;  // the key lines are 133 to 139
constexpr int kLastKeyGpio = 139;

// ---- sysfs -----------------------------------------------------------------------
constexpr const char *kGpioExport = "/sys/class/gpio/export";
constexpr const char *kGpioUnexport = "/sys/class/gpio/unexport";
// The keys' kernel driver and the device it drives.
constexpr const char *kKeysUnbind = "/sys/bus/platform/drivers/gpio-keys-polled/unbind";
constexpr const char *kKeysBind = "/sys/bus/platform/drivers/gpio-keys-polled/bind";
constexpr const char *kKeysDevice = "gpio-keys.7";
// ADCs: the volume wheel (12 bits) and the battery.
constexpr const char *kAdcVolume = "/sys/devices/soc/1c24800.tp_adc/value";
constexpr const char *kAdcBattery = "/sys/devices/soc/1c23400.battery/adc";
// Backlight PWM; a duty of 80000 is full brightness.
constexpr const char *kPwmExport = "/sys/class/pwm/pwmchip0/export";
constexpr const char *kPwmChip = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0";
constexpr const char *kPwmChannel = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0";
constexpr const char *kPwmDuty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
constexpr int kFullDuty = 80000;
// The panel's kernel interface: a write to update pushes the framebuffer's
// window to the panel; lcdporch takes the porch as decimal text.
constexpr const char *kPanelUpdate = "/sys/kernel/screen_update/update";
constexpr const char *kPanelPorch = "/sys/kernel/screen_update/lcdporch";
constexpr const char *kFramebuffer = "/dev/fb0";
// The codec's playback device, which ALSA's "default" opens.
constexpr const char *kSoundDevice = "/dev/snd/pcmC0D0p";

// ---- storage and versions ------------------------------------------------------
constexpr const char *kStorage = "/mnt/UDISK";
constexpr const char *kPorchFile = "/mnt/UDISK/.lcdporch";
constexpr const char *kSystemVersion = "/etc/version";

// ---- the panel ---------------------------------------------------------------------
// The visible window: 180 rows of 240 pixels from framebuffer row 39.
constexpr int kPanelWidth = 240;
constexpr int kPanelHeight = 180;
constexpr int kPanelFirstRow = 39;
// TE edges come at clock / (320 + porch) per second: 60 at porch 24.
constexpr int kPanelLines = 320;
constexpr int kDefaultTeClock = 20640;
constexpr int kDefaultPorch = 24;

}  // namespace mpsim::board

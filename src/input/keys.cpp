// Gamepad keys: take-over from the kernel's polled key driver, the key
// scanning thread with its two-sample debounce and the MP exit combination.
#include "input/keys.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "device/device.h"

constexpr char PATH_KEYS_UNBIND[] = "/sys/bus/platform/drivers/gpio-keys-polled/unbind";
constexpr char PATH_KEYS_BIND[] = "/sys/bus/platform/drivers/gpio-keys-polled/bind";
constexpr char KEYS_DEVICE[] = "gpio-keys.7";
constexpr size_t KEYS_DEVICE_LEN = sizeof(KEYS_DEVICE) - 1;  // 11 bytes, no terminator

constexpr useconds_t KEY_SCAN_PERIOD_US = 15000;

// The driver hands the lines over in this order and takes them back the same way.
static constexpr KeyIndex key_export_order[KEY_COUNT] = {KEY_UP,    KEY_DOWN, KEY_LEFT, KEY_RIGHT,
                                                         KEY_START, KEY_A,    KEY_B};

uint8_t debounce[KEY_COUNT];

void init_key_gamepad() {
    int fd = open(PATH_KEYS_UNBIND, O_WRONLY);
    if (fd < 0)
        return;
    // While the driver still owns the lines their export is refused, so
    // exporting without a complete unbind would only fail seven times.
    if (write(fd, KEYS_DEVICE, KEYS_DEVICE_LEN) < static_cast<ssize_t>(KEYS_DEVICE_LEN)) {
        close(fd);
        return;
    }
    close(fd);
    for (KeyIndex k : key_export_order)
        gpio_export(key_table[k].gpio, 0, 0);
}

void deinit_key_gamepad() {
    for (KeyIndex k : key_export_order)
        gpio_unexport(key_table[k].gpio);
    int fd = open(PATH_KEYS_BIND, O_WRONLY);
    if (fd < 0)
        return;
    ssize_t ignored = write(fd, KEYS_DEVICE, KEYS_DEVICE_LEN);
    (void)ignored;
    close(fd);
}

void read_key_gamepad_raw(uint8_t (&pressed)[KEY_COUNT]) {
    for (int i = 0; i < KEY_COUNT; i++)
        pressed[i] = read_value_from_fd(fd_key[i], 1) == 0 ? 1 : 0;
}

bool key_scan_pass(const uint8_t (&pressed)[KEY_COUNT]) {
    for (int i = 0; i < KEY_COUNT; i++) {
        debounce[i] = static_cast<uint8_t>(debounce[i] << 1);
        if (pressed[i])
            debounce[i] |= 1;
        switch (debounce[i] & 0x03) {
            case 0x00:
                key_state[i] = 0;
                break;
            case 0x03:
                key_state[i] = 1;
                break;
            default:
                break;  // one deviating sample changes nothing
        }
    }
    // The exit combination counts only on the backlight thread's two screens.
    const int mode = mode_type;
    const bool mp_screen = mode == MODE_IMAGE_SCREEN || mode == MODE_STATUS_SCREEN;
    if (MP_key_combination && mp_screen && key_state[KEY_A] && key_state[KEY_B]) {
        exit_MP = 1;
        mode_type = MODE_NONE;
        backlight_task_is_running = false;
        return false;
    }
    return true;
}

// The scanner sleeps between passes in poll() on this eventfd, so that the
// hand-off can wake it instead of waiting out a whole pass period before the
// normal application starts. Made once and kept for the whole run: a stop may
// look it up while the scanner ends.
static std::atomic<int> scan_wake_fd{-1};

static void scan_sleep(int wake) {
    if (wake < 0) {
        usleep(KEY_SCAN_PERIOD_US);
        return;
    }
    struct pollfd p = {wake, POLLIN, 0};
    poll(&p, 1, static_cast<int>(KEY_SCAN_PERIOD_US / 1000));
}

void *key_scan_task(void *args) {
    (void)args;
    int wake = scan_wake_fd.load();
    if (wake < 0) {
        int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (fd >= 0 && !scan_wake_fd.compare_exchange_strong(wake, fd))
            close(fd);
        wake = scan_wake_fd.load();
    }
    // A wake-up left from an earlier scanner must not cut this one's sleeps.
    uint64_t stale = 0;
    while (wake >= 0 && read(wake, &stale, sizeof stale) > 0) {
    }
    // A key already held at start-up counts as held after the first pass.
    for (auto &d : debounce)
        d = 0xFF;
    while (key_scan_task_is_running) {
        if (!m_SuspendFlag) {
            uint8_t raw[KEY_COUNT];
            read_key_gamepad_raw(raw);
            if (!key_scan_pass(raw))
                break;
        }
        scan_sleep(wake);
    }
    return nullptr;
}

bool start_key_scan(pthread_t &thread) {
    // Set before the thread exists, so a stop that comes before its first
    // pass is never undone by it.
    key_scan_task_is_running = true;
    static char name[] = "key_scan_task";
    if (pthread_create(&thread, nullptr, key_scan_task, name) != 0) {
        key_scan_task_is_running = false;
        return false;
    }
    return true;
}

void stop_key_scan(pthread_t thread) {
    key_scan_task_is_running = false;
    int wake = scan_wake_fd.load();
    if (wake >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(wake, &one, sizeof one);
        (void)ignored;
    }
    pthread_join(thread, nullptr);
}

static bool all_released() {
    for (const auto &k : key_state) {
        if (k)
            return false;
    }
    return true;
}

bool wait_all_release() {
    while (!all_released())
        usleep(KEY_SCAN_PERIOD_US);
    return true;
}

bool wait_all_release_while(const std::atomic<bool> &run) {
    while (!all_released()) {
        if (!run)
            return false;
        usleep(KEY_SCAN_PERIOD_US);
    }
    return true;
}

void suspendMe() {
    pthread_mutex_lock(&m_SuspendMutex);
    m_SuspendFlag = 1;
    pthread_mutex_unlock(&m_SuspendMutex);
}

void resumeMe() {
    pthread_mutex_lock(&m_SuspendMutex);
    m_SuspendFlag = 0;
    pthread_mutex_unlock(&m_SuspendMutex);
}

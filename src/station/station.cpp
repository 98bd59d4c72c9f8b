// Start-up, the entry window and the hand-off to the normal application.
#include "station/station.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device/device.h"
#include "display/lcd.h"
#include "input/keys.h"
#include "procedures/procedures.h"
#include "shared.h"
#include "station/info_screen.h"
#include "station/porch_file.h"

static pthread_t input_t;             // the key scanning thread
static bool input_t_started = false;  // main thread only

// Who holds the key lines. A stop signal may come at any moment: during the
// take-over it waits until the lines are ours and then gives them back; one
// that comes before the take-over keeps it from happening; during the
// hand-off's give-back it waits until the driver has them again.
enum : int { KEYS_DRIVER, KEYS_TAKING, KEYS_OURS, KEYS_GIVING_BACK, KEYS_GIVEN_BACK };
static std::atomic<int> keys_owner{KEYS_DRIVER};  // main and the stop signal thread
static std::atomic<bool> stop_requested{false};   // SIGTERM or SIGINT arrived
constexpr useconds_t KEYS_POLL_US = 1000;         // a take-over or give-back is a few file writes

// The window closes at the latest this long after it opened, by the monotonic
// clock: a wall clock set back meanwhile (an RTC or network time update at
// boot) must not keep the device from its normal application.
constexpr uint64_t ENTRY_WINDOW_MAX_NS = 1000000000;

// Takes the keys from their driver, unless a stop signal came first.
static void take_keys() {
    int expected = KEYS_DRIVER;
    if (!keys_owner.compare_exchange_strong(expected, KEYS_TAKING))
        return;
    init_key_gamepad();
    keys_owner = KEYS_OURS;
}

static void give_keys_back() {
    for (;;) {
        int state = keys_owner.load();
        if (state == KEYS_GIVEN_BACK)
            return;
        if (state == KEYS_DRIVER && keys_owner.compare_exchange_strong(state, KEYS_GIVEN_BACK))
            return;  // nothing taken, and now nothing will be
        if (state == KEYS_OURS && keys_owner.compare_exchange_strong(state, KEYS_GIVING_BACK)) {
            deinit_key_gamepad();
            keys_owner = KEYS_GIVEN_BACK;
            return;
        }
        if (state == KEYS_TAKING || state == KEYS_GIVING_BACK)
            usleep(KEYS_POLL_US);
    }
}

static sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// The program runs at every boot with the keys taken from their driver; if
// init or an engineer stops it, the device must not be left without keys.
// The stop signals are blocked in every thread and taken here, where the
// give-back can use the ordinary file calls.
static void *stop_signal_task(void *) {
    sigset_t set = stop_signals();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    stop_requested = true;
    give_keys_back();
    fflush(stdout);
    // End the way the signal would have ended the program, so whoever sent
    // it sees the cause.
    signal(sig, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

static void watch_stop_signals() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t t;
    if (pthread_create(&t, nullptr, stop_signal_task, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    pthread_detach(t);
}

// One pass of the entry window: the mode a held combination selects, or
// MODE_NONE. The volume is read only while a combination's three keys are held.
static int entry_combination() {
    if (key_state[KEY_RIGHT] == 1 && key_state[KEY_START] && key_state[KEY_B]) {
        if (read_audio_volume() == 100)
            return MODE_MP_ENTRY;
    }
    if (key_state[KEY_LEFT] == 1 && key_state[KEY_START] && key_state[KEY_B]) {
        if (read_audio_volume() == 0)
            return MODE_PORCH_ADJUST;
    }
    return MODE_NONE;
}

void normal_game_mode(const char *sh) {
    key_scan_task_is_running = false;
    backlight_task_is_running = false;
    // Let the worker threads finish their pass before their handles and the
    // mapping go away; the key scanner is woken from its sleep to end.
    if (input_t_started) {
        stop_key_scan(input_t);
        input_t_started = false;
    }
    if (backlight_task_started) {
        pthread_join(back_t, nullptr);
        backlight_task_started = false;
    }
    FB_deinit();
    deinit_fd();
    give_keys_back();
    if (audio_buf != nullptr) {
        free(audio_buf);
        audio_buf = nullptr;
    }
    if (audio_PCM_buffer != nullptr) {
        free(audio_PCM_buffer);
        audio_PCM_buffer = nullptr;
    }
    fflush(stdout);
    if (stop_requested) {
        // Stopped during the hand-off: the normal application is not started;
        // the signal's thread ends the program.
        for (;;)
            pause();
    }
    // The finish script must not inherit the blocked stop signals.
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    int ignored = system(sh);
    (void)ignored;
}

// Start-up after the porch: backlight PWM, detect lines, the keys, the
// framebuffer mapping, the long-lived handles and the volume table.
static void bring_up_devices() {
    init_pwm0();
    // The detect and key lines must be exported before init_fd opens their
    // value files: they exist only once exported.
    gpio_export(GPIO_USB_DETECT, 0, 0);
    gpio_export(GPIO_HEADPHONE_DETECT, 0, 0);
    take_keys();
    FB_init();
    init_fd();
    init_audio_transfer();
}

int station_main(int argc, char **argv) {
    // At boot the output goes to the system log through a pipe: line by line,
    // so the banner and every failure line arrive when they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc <= 2) {
        printf("arg[1]: Application directory\n");
        printf("arg[2]: Finish script\n");
        return -1;
    }
    watch_stop_signals();
    printf("--------------------\n");
    // "verion" is kept on purpose: factory logs are matched on this line.
    printf("MP test verion: %s\n", MP_VERSION);
    printf("--------------------\n");

    StationState st;
    st.app_dir = argv[1];

    int stored = 0;
    if (porch_file_read(stored)) {
        set_porch(stored);
        st.porch = stored;
        st.proch_save = 1;
        st.cal_porch = 0;
    } else {
        set_porch(DEFAULT_PORCH);
        st.porch = DEFAULT_PORCH;
        st.cal_porch = 1;
        st.proch_save = 0;
    }

    bring_up_devices();
    input_t_started = start_key_scan(input_t);

    time_t start_time = time(nullptr);
    const uint64_t window_opened = getTime();
    for (;;) {
        int mode = entry_combination();
        if (mode != MODE_NONE) {
            is_entry_MP = true;
            mode_type = mode;
            break;
        }
        if (time(nullptr) - start_time > 0 || getTime() - window_opened >= ENTRY_WINDOW_MAX_NS)
            break;
    }

    if (!is_entry_MP) {
        normal_game_mode(argv[2]);
        return 0;
    }

    info_screen(st);
    if (MP_key_combination && mode_type == MODE_MP_ENTRY)
        MP_mode();
    normal_game_mode(argv[2]);
    return 0;
}

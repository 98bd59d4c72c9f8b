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
#include "input/keys.h"
#include "procedures/procedures.h"
#include "station/info_screen.h"

std::atomic<bool> is_entry_MP{false};
std::atomic<int> mode_type{4};
std::atomic<bool> MP_key_combination{false};

static pthread_t input_t;             // the key scanning thread
static bool input_t_started = false;  // main thread only

constexpr int DEFAULT_PORCH = 24;

// Who holds the key lines. A stop signal may come while the hand-off is
// giving them back: whoever starts the give-back finishes it, and the other
// waits until the driver has them again.
enum : int { KEYS_DRIVER = 0, KEYS_OURS = 1, KEYS_GIVING_BACK = 2, KEYS_GIVEN_BACK = 3 };
static std::atomic<int> keys_owner{KEYS_DRIVER};
static std::atomic<bool> stop_requested{false};  // SIGTERM or SIGINT arrived

static void give_keys_back(void) {
    int expected = KEYS_OURS;
    if (keys_owner.compare_exchange_strong(expected, KEYS_GIVING_BACK)) {
        deinit_key_gamepad();
        keys_owner = KEYS_GIVEN_BACK;
        return;
    }
    while (keys_owner.load() == KEYS_GIVING_BACK)
        usleep(1000);
}

static sigset_t stop_signals(void) {
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

static void watch_stop_signals(void) {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t t;
    if (pthread_create(&t, nullptr, stop_signal_task, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    pthread_detach(t);
}

bool porch_file_read(int *value) {
    return porch_file_read_at(PATH_PORCH_FILE, value);
}

bool porch_file_read_at(const char *path, int *value) {
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    char buf[20];
    memset(buf, 0, sizeof(buf));
    ssize_t got = read(fd, buf, 3);
    close(fd);
    // A file that opens but cannot be read (a folder, a bad block) holds no
    // porch; taking its zero-filled buffer would put porch 0 on the panel and
    // call it stored.
    if (got < 0)
        return false;
    *value = parse_int_bounded(buf, 3);
    return true;
}

bool porch_file_write(int value) {
    // Not truncated: only the first three bytes of the file mean anything.
    int fd = open(PATH_PORCH_FILE, O_WRONLY | O_CREAT, 0644);
    if (fd < 0)
        return false;
    char buf[20];
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", value);
    ssize_t ignored = write(fd, buf, 3);
    (void)ignored;
    close(fd);
    // The data partition is unmounted hard at power-off.
    ignored = system("sync");
    return true;
}

int entry_window_check(int (*volume)(void)) {
    if (key_state[KEY_RIGHT] == 1 && key_state[KEY_START] && key_state[KEY_B]) {
        if (volume() == 100)
            return 2;
    }
    if (key_state[KEY_LEFT] == 1 && key_state[KEY_START] && key_state[KEY_B]) {
        if (volume() == 0)
            return 3;
    }
    return 0;
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

void prepare_devices(void) {
    init_pwm0();
    // The detect and key lines must be exported before init_fd opens their
    // value files: they exist only once exported.
    gpio_export(1, 0, 0);
    gpio_export(132, 0, 0);
    keys_owner = KEYS_OURS;
    init_key_gamepad();
    FB_init();
    init_fd();
    init_audio_transfer();
}

int station_main(int argc, char **argv) {
    if (argc <= 2) {
        printf("arg[1]: Application directory\n");
        printf("arg[2]: Finish script\n");
        return -1;
    }
    watch_stop_signals();
    printf("--------------------\n");
    printf("MP test verion: %s\n", MP_VERSION);
    printf("--------------------\n");

    StationState st;
    st.app_dir = argv[1];

    int stored = 0;
    if (porch_file_read(&stored)) {
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

    prepare_devices();
    input_t_started = start_key_scan(&input_t);

    time_t start_time = time(nullptr);
    for (;;) {
        int mode = entry_window_check(read_audio_volume);
        if (mode != 0) {
            is_entry_MP = true;
            mode_type = mode;
            break;
        }
        if (time(nullptr) - start_time > 0)
            break;
    }

    if (!is_entry_MP) {
        normal_game_mode(argv[2]);
        return 0;
    }

    info_screen(st);
    if (MP_key_combination && mode_type == 2)
        MP_mode();
    normal_game_mode(argv[2]);
    return 0;
}

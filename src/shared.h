// State shared by the program's threads: the key index, the screen and entry
// mode, and the flags through which the main thread, the key scanner and the
// backlight and status thread tell each other what to do. Every module may
// include this header; it includes nothing of the program's.
//
// Threads: "main" runs start-up, the entry window, the information screen, the
// MP test sequence and the audio test; "key scanner" is key_scan_task;
// "backlight" is backlight_task. Apart from m_SuspendFlag's mutex, nothing is
// locked: each flag is an atomic word or byte, read at the reader's next look.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// ---- the gamepad keys -------------------------------------------------------
// Key index, the same everywhere: key_state, fd_key, the key test, the
// combinations. A key's GPIO reads level 0 while the key is pressed.
enum KeyIndex : int {
    KEY_UP = 0,
    KEY_RIGHT = 1,
    KEY_DOWN = 2,
    KEY_LEFT = 3,
    KEY_START = 4,
    KEY_A = 5,
    KEY_B = 6,
    KEY_COUNT = 7
};

struct KeyLine {
    const char *name;  // also the label of the key test's failure display
    unsigned gpio;     // sysfs GPIO number of the key's line
};

// The board's wiring, by key index.
inline constexpr KeyLine key_table[KEY_COUNT] = {
    {"UP", 133},    {"RIGHT", 136}, {"DOWN", 135}, {"LEFT", 134},
    {"START", 139}, {"A", 138},     {"B", 137},
};

// ---- which screen or entry the program is in --------------------------------
enum ModeType : int {
    MODE_IMAGE_SCREEN = 0,   // backlight thread: sample image, backlight sweeping
    MODE_STATUS_SCREEN = 1,  // backlight thread: headphone, USB and battery status
    MODE_MP_ENTRY = 2,       // factory entry chosen (RIGHT+START+B at volume 100)
    MODE_PORCH_ADJUST = 3,   // porch-adjust entry chosen (LEFT+START+B at volume 0)
    MODE_NONE = 4,           // no entry chosen yet, and again after the MP exit combination
};

extern std::atomic<uint8_t> key_state[KEY_COUNT];  // 1 while held; written by the key scanner
extern std::atomic<int> mode_type;      // a ModeType; written by main (2, 3), backlight (0, 1)
                                        // and the key scanner (4 at the exit combination)
extern std::atomic<int> pre_mode_type;  // screen being left; written by backlight on each
                                        // change and by main after each audio test
extern std::atomic<bool> is_entry_MP;   // an entry combination was recognised; main
extern std::atomic<bool> MP_key_combination;         // A+B started the MP test; main
extern std::atomic<int> exit_MP;                     // 1 after the MP exit combination; key scanner
extern std::atomic<bool> key_scan_task_is_running;   // key scanner's run flag; main sets it
                                                     // before the start, the hand-off clears it
extern std::atomic<bool> backlight_task_is_running;  // backlight's run flag; main sets it before
                                                     // the start, the key scanner clears it at
                                                     // the exit combination, the hand-off too
extern std::atomic<int> m_SuspendFlag;  // nonzero pauses the key scanner; main, under the mutex
extern pthread_mutex_t m_SuspendMutex;  // held only for the store to m_SuspendFlag

// Gamepad keys: take-over from the kernel's polled key driver, the key
// scanning thread with its two-sample debounce and the MP exit combination.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// Key index used everywhere: 0 UP, 1 RIGHT, 2 DOWN, 3 LEFT, 4 START, 5 A, 6 B.
enum KeyIndex { KEY_UP = 0, KEY_RIGHT, KEY_DOWN, KEY_LEFT, KEY_START, KEY_A, KEY_B, KEY_COUNT };

extern const unsigned key_gpio[KEY_COUNT];  // GPIO of each key index

extern std::atomic<uint8_t> key_state[KEY_COUNT];  // 1 while held; written by the key scanner only
extern uint8_t debounce[KEY_COUNT];                // sample history, bit 0 newest; key scanner only
extern std::atomic<bool> key_scan_task_is_running;  // set by the scanner, cleared by the hand-off
extern std::atomic<bool> key_scan_task_ended;       // set by the scanner as it ends
extern std::atomic<int> m_SuspendFlag;  // nonzero pauses the scanner; main thread writes
extern pthread_mutex_t m_SuspendMutex;  // taken only for the store to m_SuspendFlag

void init_key_gamepad(void);
void deinit_key_gamepad(void);
void read_key_gamepad_raw(uint8_t *key_state_out);
void *key_scan_task(void *args);
// Starts the scanning thread with its run flag set; false if it could not start.
bool start_key_scan(pthread_t *thread);
// Clears the run flag, wakes the scanner from its sleep and waits for it to end.
void stop_key_scan(pthread_t thread);

// One pass of the scanner after the run and suspend checks: sample, debounce,
// publish, exit combination. Returns false when the exit combination ended the
// scanner.
bool key_scan_pass(const uint8_t raw[KEY_COUNT]);

bool wait_all_release(void);
// The same wait, but it also gives up (returning false) once *run is cleared.
bool wait_all_release_while(const std::atomic<bool> &run);
void suspendMe(void);
void resumeMe(void);

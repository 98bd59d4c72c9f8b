// Gamepad keys: take-over from the kernel's polled key driver, the key
// scanning thread with its two-sample debounce and the MP exit combination.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "shared.h"

extern uint8_t debounce[KEY_COUNT];  // sample history per key, bit 0 newest; key scanner only

void init_key_gamepad();
void deinit_key_gamepad();
void read_key_gamepad_raw(uint8_t (&pressed)[KEY_COUNT]);
void *key_scan_task(void *args);
// Starts the scanning thread with its run flag set; false if it could not start.
bool start_key_scan(pthread_t &thread);
// Clears the run flag, wakes the scanner from its sleep and waits for it to end.
void stop_key_scan(pthread_t thread);

// One pass of the scanner after the run and suspend checks: debounce the
// samples, publish key_state, look for the exit combination. Returns false
// when the exit combination ended the scanner.
bool key_scan_pass(const uint8_t (&pressed)[KEY_COUNT]);

bool wait_all_release();
// The same wait, but it also gives up (returning false) once `run` is cleared.
bool wait_all_release_while(const std::atomic<bool> &run);
void suspendMe();
void resumeMe();

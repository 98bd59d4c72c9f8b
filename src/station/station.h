// Station control: start-up, the entry window, the information screen with
// the porch calibration, and the hand-off to the normal application.
#pragma once

#include <atomic>
#include <string>

#define MP_VERSION "v1.7"

extern std::atomic<bool> is_entry_MP;         // an entry combination was recognised; main thread
extern std::atomic<int> mode_type;            // 4 none, 2 MP entry, 3 porch adjust, 0/1 MP screens
extern std::atomic<bool> MP_key_combination;  // A+B started the MP test; main thread writes

// Entry combinations as seen in one pass of the entry window. `volume` is
// called only while a combination's three keys are held. Returns the mode to
// enter (2 or 3) or 0 for none.
int entry_window_check(int (*volume)(void));

// The porch file rules: reading (at most 3 bytes, atoi) and writing (3 bytes,
// not truncated, created with mode 0644, then "sync"). porch_file_write
// returns false when the file could not be opened.
bool porch_file_read(int *value);
bool porch_file_read_at(const char *path, int *value);  // the same rules on another file
bool porch_file_write(int value);

// Start-up after the porch: backlight PWM, detect lines, the keys, the
// framebuffer mapping, the long-lived handles and the volume table.
void prepare_devices(void);

// The hand-off: stops the worker threads, releases the devices, gives the keys
// back and runs the finish script through the shell.
void normal_game_mode(const char *sh);

// Runs the whole program after the argument check.
int station_main(int argc, char **argv);

// Panel refresh in step with the TE signal (GPIO 105) and frame-rate
// measurement.
#pragma once

#include <cstdint>

// How long one TE wait may block before the panel is pushed anyway.
constexpr int TE_WAIT_TIMEOUT_MS = 100;

// Waits for the next rising TE edge. Returns true when an edge was seen,
// false when the wait timed out or the value file could not be opened.
bool vsync_using_LCD_TE();
void FB_flash();
double measure_TE();
uint64_t getTime();

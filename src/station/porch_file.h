// The stored LCD porch: "/mnt/UDISK/.lcdporch", three bytes of "%d" text.
#pragma once

#include <sys/types.h>

inline constexpr char PATH_PORCH_FILE[] = "/mnt/UDISK/.lcdporch";
inline constexpr char PATH_PORCH_TMP[] = "/mnt/UDISK/.lcdporch.tmp";  // a store in progress
inline constexpr int DEFAULT_PORCH = 24;  // applied when nothing is stored

// Reads the stored porch into `value`; false when there is none: the file
// does not open, cannot be read or holds a porch below 0.
bool porch_file_read(int &value);
// The reading rule on what one read of at most 3 bytes gave (`got` its
// result): atoi of those bytes, or false when the read failed or the value
// is below 0.
bool porch_from_bytes(const char *buf, ssize_t got, int &value);
// Stores `value` as a porch file of exactly 3 bytes, then runs "sync"; false,
// with the stored file as it was, when any step of the store failed.
bool porch_file_write(int value);

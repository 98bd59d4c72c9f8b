// Reading and writing the stored LCD porch.
#include "station/porch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>  // rename
#include <cstdlib>
#include <cstring>

#include "device/device.h"

bool porch_from_bytes(const char *buf, ssize_t got, int &value) {
    // A file that opens but cannot be read (a folder, a bad block) holds no
    // porch; taking its zero-filled buffer would put porch 0 on the panel and
    // call it stored.
    if (got < 0)
        return false;
    // "-5" and the like fit the three bytes but no panel runs at them: such a
    // file holds no porch, and the next factory entry stores a good one.
    const int stored = parse_int_bounded(buf, 3);
    if (!porch_in_range(stored))
        return false;
    value = stored;
    return true;
}

bool porch_file_read(int &value) {
    int fd = open(PATH_PORCH_FILE, O_RDONLY);
    if (fd < 0)
        return false;
    char buf[20];
    memset(buf, 0, sizeof(buf));
    ssize_t got = read(fd, buf, 3);
    close(fd);
    return porch_from_bytes(buf, got, value);
}

bool porch_file_write(int value) {
    // Factory stations are switched off hard: the porch goes to a file of its
    // own first, reaches the disk, and only then takes the stored file's
    // place in one rename, so a power cut leaves either the old porch or the
    // new one, never an empty file that later boots would read as porch 0.
    int fd = open(PATH_PORCH_TMP, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    char buf[20];
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", value);
    bool ok = write(fd, buf, 3) == 3;
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(PATH_PORCH_TMP, PATH_PORCH_FILE) != 0) {
        unlink(PATH_PORCH_TMP);
        return false;
    }
    // The data partition is unmounted hard at power-off.
    int ignored = system("sync");
    (void)ignored;
    return true;
}

// Reading and writing the stored LCD porch.
#include "station/porch_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/device.h"

bool porch_from_bytes(const char *buf, ssize_t got, int &value) {
    // A file that opens but cannot be read (a folder, a bad block) holds no
    // porch; taking its zero-filled buffer would put porch 0 on the panel and
    // call it stored.
    if (got < 0)
        return false;
    value = parse_int_bounded(buf, 3);
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

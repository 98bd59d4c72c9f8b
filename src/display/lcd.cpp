// Panel refresh in step with the TE signal (GPIO 105) and frame-rate
// measurement.
#include "display/lcd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "device/device.h"

constexpr char PATH_TE_DIRECTION[] = "/sys/class/gpio/gpio105/direction";
constexpr char PATH_TE_EDGE[] = "/sys/class/gpio/gpio105/edge";
constexpr char PATH_TE_VALUE[] = "/sys/class/gpio/gpio105/value";

constexpr useconds_t TE_SETTLE_US = 5000;  // keeps the measurement loops from spinning

static void write_text(const char *path, const char *text, size_t len) {
    int fd = open(path, O_WRONLY);
    ssize_t ignored = write(fd, text, len);
    (void)ignored;
    close(fd);
}

bool vsync_using_LCD_TE() {
    // The whole set-up is repeated on every wait: the first call exports the
    // line (later exports fail harmlessly), and the edge interrupt is armed
    // anew each time so a panel driver reload cannot leave it disarmed.
    write_text(PATH_GPIO_EXPORT, "105", 3);
    write_text(PATH_TE_DIRECTION, "in", 2);
    int fd = open(PATH_TE_EDGE, O_WRONLY);
    ssize_t ignored = write(fd, "both", 4);
    ignored = write(fd, "rising", 6);
    (void)ignored;
    close(fd);

    fd = open(PATH_TE_VALUE, O_RDONLY);
    if (fd < 0) {
        // No TE line to wait on: behave like a wait that timed out rather
        // than spin through the callers' loops.
        usleep(TE_WAIT_TIMEOUT_MS * 1000);
        return false;
    }
    char c;
    if (read(fd, &c, 1) < 0)
        perror("read()");
    struct pollfd pfd;
    pfd.fd = fd;
    pfd.events = POLLPRI;
    pfd.revents = 0;
    lseek(fd, 0, SEEK_SET);
    // A panel that stops toggling TE must not freeze the station: give up
    // after about six frames and let the caller push anyway.
    int ret = poll(&pfd, 1, TE_WAIT_TIMEOUT_MS);
    if (ret < 0)
        perror("poll()");
    if (read(fd, &c, 1) < 0)
        perror("read()");
    close(fd);
    return ret > 0;
}

void FB_flash() {
    if (FB_buf != nullptr)
        msync(FB_buf, static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
    vsync_using_LCD_TE();
    lseek(fd_lcd, 0, SEEK_SET);
    ssize_t ignored = write(fd_lcd, "1", 2);  // "1" and its terminating zero
    (void)ignored;
}

uint64_t getTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
}

double measure_TE() {
    uint64_t start = getTime();
    double elapsed = 0.0;
    do {
        vsync_using_LCD_TE();
        usleep(TE_SETTLE_US);
        elapsed = static_cast<double>(getTime() - start) / 1000000.0;
    } while (elapsed < 2000.0);

    start = getTime();
    double count = 0.0;
    do {
        if (vsync_using_LCD_TE())
            count = count + 1.0;
        usleep(TE_SETTLE_US);
        elapsed = static_cast<double>(getTime() - start) / 1000000.0;
    } while (elapsed < 3000.0);
    return count / (elapsed / 1000.0);
}

// A small program that pokes the simulated device's files the way a program
// on the device would, one command per argument group, and prints what it
// saw, one line per command. The tests run it on a simulated device.
//
//   open NAME PATH r|w|rw       keep a descriptor under NAME
//   close NAME | rewind NAME
//   write NAME TEXT              TEXT takes \0 \n \\ escapes
//   read NAME COUNT
//   poll NAME pri|in TIMEOUT_MS  prints result, revents and the time taken
//   pollpipe NAME full|empty TIMEOUT_MS   poll NAME with a pipe beside it
//   put PATH TEXT | get PATH     open, write or read, close
//   fput PATH TEXT | fget PATH   the same through stdio (fopen)
//   tget PATH                    get from another thread
//   stat PATH | ls PATH | access PATH
//   fbinfo                       FBIOGET_VSCREENINFO on /dev/fb0
//   fbfill Y0 Y1 RRGGBB          fill framebuffer rows [Y0, Y1) through a mapping
//   te SECONDS                   rate of the TE line (gpio105) set up as the program does
//   system CMD | sleep MS | waitfile PATH | echo TEXT
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

std::map<std::string, int> g_fds;

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out += c == '0' ? '\0' : c == 'n' ? '\n' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string escape(const char *buf, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char c = buf[i];
        if (c == '\0')
            out += "\\0";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

const char *err_name() {
    const char *n = strerrorname_np(errno);
    return n != nullptr ? n : "E?";
}

void say(const std::string &line) {
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::string result(ssize_t r) {
    return r < 0 ? err_name() : std::to_string(r);
}

int flags_of(const std::string &m) {
    if (m == "w")
        return O_WRONLY;
    if (m == "rw")
        return O_RDWR;
    if (m == "wc")
        return O_WRONLY | O_CREAT;
    return O_RDONLY;
}

std::string get(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return std::string("open ") + err_name();
    char buf[256];
    ssize_t r = read(fd, buf, sizeof buf);
    std::string out = r < 0 ? err_name() : escape(buf, static_cast<size_t>(r));
    close(fd);
    return out;
}

void put(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        say("put " + path + " open " + err_name());
        return;
    }
    ssize_t r = write(fd, text.data(), text.size());
    say("put " + path + " " + result(r));
    close(fd);
}

// Edges of the TE line counted the way the program waits for them (rewind,
// poll for POLLPRI, read). Missed edges are recovered from the spacing of the
// wake-ups, so a busy machine does not change the rate found.
void te_rate(double seconds) {
    put("/sys/class/gpio/export", "105");
    put("/sys/class/gpio/gpio105/direction", "in");
    put("/sys/class/gpio/gpio105/edge", "rising");
    int fd = open("/sys/class/gpio/gpio105/value", O_RDONLY);
    if (fd < 0) {
        say(std::string("te open ") + err_name());
        return;
    }
    char c = 0;
    if (read(fd, &c, 1) < 0)
        say("te read failed");
    std::vector<double> t;
    double start = now_ms();
    while (now_ms() - start < seconds * 1000) {
        pollfd p{fd, POLLPRI, 0};
        lseek(fd, 0, SEEK_SET);
        if (poll(&p, 1, 1000) != 1) {
            say("te timeout");
            close(fd);
            return;
        }
        t.push_back(now_ms());
        if (read(fd, &c, 1) < 0)
            say("te read failed");
    }
    close(fd);
    if (t.size() < 3) {
        say("te too few");
        return;
    }
    std::vector<double> gaps;
    for (size_t i = 1; i < t.size(); ++i)
        gaps.push_back(t[i] - t[i - 1]);
    std::vector<double> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    double typical = sorted[sorted.size() / 2];
    double span = t.back() - t.front();
    double periods = std::round(span / typical);
    char line[160];
    snprintf(line, sizeof line, "te %.4f edges %zu periods %.0f", periods / (span / 1000.0),
             t.size() - 1, periods);
    say(line);
}

void fbinfo() {
    int fd = open("/dev/fb0", O_RDWR);
    if (fd < 0) {
        say(std::string("fbinfo open ") + err_name());
        return;
    }
    fb_var_screeninfo v{};
    if (ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0) {
        say(std::string("fbinfo ioctl ") + err_name());
    } else {
        char line[128];
        snprintf(line, sizeof line, "fbinfo %u %u %u %u %u", v.xres, v.yres, v.xres_virtual,
                 v.yres_virtual, v.bits_per_pixel);
        say(line);
    }
    close(fd);
}

void fbfill(int y0, int y1, uint32_t rgb) {
    int fd = open("/dev/fb0", O_RDWR);
    fb_var_screeninfo v{};
    if (fd < 0 || ioctl(fd, FBIOGET_VSCREENINFO, &v) != 0) {
        say("fbfill failed");
        return;
    }
    size_t bytes = size_t{v.xres_virtual} * v.yres_virtual * 4;
    void *m = mmap(nullptr, bytes, PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        say("fbfill mmap failed");
        close(fd);
        return;
    }
    auto *px = static_cast<uint32_t *>(m);
    for (int y = y0; y < y1 && y < static_cast<int>(v.yres_virtual); ++y)
        for (unsigned x = 0; x < v.xres_virtual; ++x)
            px[size_t(y) * v.xres_virtual + x] = 0xFF000000u | rgb;
    msync(m, bytes, MS_SYNC);
    munmap(m, bytes);
    close(fd);
    say("fbfill ok");
}

void do_poll(const std::string &name, const std::string &ev, int timeout, int pipe_state) {
    pollfd p[2]{};
    p[0].fd = g_fds[name];
    p[0].events = static_cast<short>(ev == "in" ? POLLIN : POLLPRI);
    int pfd[2] = {-1, -1};
    nfds_t n = 1;  // volatile below: a fortified build checks it at run time
    if (pipe_state >= 0) {
        if (pipe(pfd) != 0)
            return;
        if (pipe_state == 1 && write(pfd[1], "x", 1) != 1)
            return;
        p[1].fd = pfd[0];
        p[1].events = POLLIN;
        n = 2;
    }
    double start = now_ms();
    volatile nfds_t vn = n;
    int r = poll(p, vn, timeout);
    double took = now_ms() - start;
    char line[160];
    snprintf(line, sizeof line, "poll %s %d %#x %#x %.1f", name.c_str(), r, p[0].revents,
             p[1].revents, took);
    say(line);
    if (pfd[0] >= 0) {
        close(pfd[0]);
        close(pfd[1]);
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    for (size_t i = 0; i < a.size();) {
        const std::string &cmd = a[i];
        auto arg = [&](size_t k) { return i + k < a.size() ? a[i + k] : std::string(); };
        size_t used = 1;
        if (cmd == "open") {
            int fd = open(arg(2).c_str(), flags_of(arg(3)));
            if (fd >= 0)
                g_fds[arg(1)] = fd;
            say("open " + arg(1) + " " + (fd >= 0 ? "ok" : err_name()));
            used = 4;
        } else if (cmd == "close") {
            close(g_fds[arg(1)]);
            used = 2;
        } else if (cmd == "rewind") {
            lseek(g_fds[arg(1)], 0, SEEK_SET);
            used = 2;
        } else if (cmd == "write") {
            std::string t = unescape(arg(2));
            say("write " + arg(1) + " " + result(write(g_fds[arg(1)], t.data(), t.size())));
            used = 3;
        } else if (cmd == "read") {
            char buf[256];
            // Not known to the compiler, so a fortified build checks it at run time.
            volatile size_t n = std::min<size_t>(sizeof buf, std::stoul(arg(2)));
            ssize_t r = read(g_fds[arg(1)], buf, n);
            say("read " + arg(1) + " " + (r < 0 ? err_name() : escape(buf, size_t(r))));
            used = 3;
        } else if (cmd == "poll") {
            do_poll(arg(1), arg(2), std::stoi(arg(3)), -1);
            used = 4;
        } else if (cmd == "pollpipe") {
            do_poll(arg(1), "pri", std::stoi(arg(3)), arg(2) == "full" ? 1 : 0);
            used = 4;
        } else if (cmd == "put") {
            put(arg(1), unescape(arg(2)));
            used = 3;
        } else if (cmd == "get") {
            say("get " + arg(1) + " " + get(arg(1)));
            used = 2;
        } else if (cmd == "tget") {
            std::string out;
            std::thread th([&] { out = get(arg(1)); });
            th.join();
            say("tget " + arg(1) + " " + out);
            used = 2;
        } else if (cmd == "fput") {
            FILE *f = fopen(arg(1).c_str(), "w");
            if (f == nullptr) {
                say("fput " + arg(1) + " open " + err_name());
            } else {
                std::string t = unescape(arg(2));
                size_t n = fwrite(t.data(), 1, t.size(), f);
                int rc = fclose(f);
                say("fput " + arg(1) + " " + std::to_string(n) + " " +
                    (rc == 0 ? "ok" : err_name()));
            }
            used = 3;
        } else if (cmd == "fget") {
            FILE *f = fopen(arg(1).c_str(), "r");
            if (f == nullptr) {
                say("fget " + arg(1) + " open " + err_name());
            } else {
                char buf[256];
                size_t n = fread(buf, 1, sizeof buf, f);
                int fd = fileno(f);
                char extra[64] = "";
                if (fd >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
                    ssize_t r = read(fd, extra, sizeof extra);
                    extra[r > 0 ? r : 0] = '\0';
                }
                say("fget " + arg(1) + " " + escape(buf, n) + " fileno " +
                    escape(extra, strlen(extra)));
                fclose(f);
            }
            used = 2;
        } else if (cmd == "stat") {
            struct stat st {};
            if (stat(arg(1).c_str(), &st) != 0)
                say("stat " + arg(1) + " " + err_name());
            else
                say("stat " + arg(1) + " " +
                    (S_ISDIR(st.st_mode)   ? "dir"
                     : S_ISCHR(st.st_mode) ? "chr"
                                           : "file") +
                    " " + std::to_string(st.st_size));
            used = 2;
        } else if (cmd == "access") {
            say("access " + arg(1) + " " + (access(arg(1).c_str(), F_OK) == 0 ? "ok" : err_name()));
            used = 2;
        } else if (cmd == "ls") {
            DIR *d = opendir(arg(1).c_str());
            if (d == nullptr) {
                say("ls " + arg(1) + " " + err_name());
            } else {
                std::vector<std::string> names;
                // readdir64: a 32-bit program's readdir fails with EOVERFLOW
                // under qemu-user on a 64-bit host (64-bit directory offsets).
                while (dirent64 *e = readdir64(d))
                    if (e->d_name[0] != '.')
                        names.push_back(e->d_name);
                closedir(d);
                std::sort(names.begin(), names.end());
                std::string line = "ls " + arg(1);
                for (auto &n : names)
                    line += " " + n;
                say(line);
            }
            used = 2;
        } else if (cmd == "fbinfo") {
            fbinfo();
        } else if (cmd == "fbfill") {
            fbfill(std::stoi(arg(1)), std::stoi(arg(2)),
                   static_cast<uint32_t>(std::stoul(arg(3), nullptr, 16)));
            used = 4;
        } else if (cmd == "te") {
            te_rate(std::stod(arg(1)));
            used = 2;
        } else if (cmd == "system") {
            int st = system(arg(1).c_str());
            say("system " + std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1));
            used = 2;
        } else if (cmd == "sleep") {
            usleep(static_cast<useconds_t>(std::stoi(arg(1)) * 1000));
            used = 2;
        } else if (cmd == "waitfile") {
            double start = now_ms();
            while (access(arg(1).c_str(), F_OK) != 0 && now_ms() - start < 60000)
                usleep(1000);
            used = 2;
        } else if (cmd == "echo") {
            say(arg(1));
            used = 2;
        } else {
            say("unknown " + cmd);
            return 2;
        }
        i += used;
    }
    return 0;
}

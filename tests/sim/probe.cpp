// A program that uses the simulated device the way a program on the device
// does, one command per argument (words split at spaces; the last argument of
// a command is the rest of it), printing a line per result:
//   open NAME PATH r|w|rw, rewind NAME, read NAME, write NAME TEXT, fsync NAME
//   poll NAME pri|in MS     "poll NAME <result> <revents> <ms taken>"
//   get PATH, fget PATH     read() / stdio (then read() through its fileno)
//   put PATH TEXT           open, write, close; TEXT takes \0 and \n
//   rename FROM TO, unlink PATH
//   te SECONDS              TE wake-ups (ms after the first), waited for as the program does
//   clock                   time() twice, gettimeofday, CLOCK_REALTIME, CLOCK_MONOTONIC (s)
//   sigterm                 SIGTERM blocked everywhere and taken by a thread ("signal 15")
//   system CMD, sleep MS, waitfile PATH, echo TEXT
//   pcm CHANNELS            open "default" and set it up as the audio test does
//   play N                  N periods: "write SEQ <rc> <ns>", then the recovery's results
//   prepare, drain, close
#include "probe.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

std::map<std::string, int> g_fds;  // descriptors kept open, by name
snd_pcm_t *g_pcm = nullptr;        // the sound card, once opened
unsigned g_channels = 2;
unsigned g_seq = 0;  // periods attempted so far

long long now_ns(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void say(const std::string &line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string result(long r) {
    const char *name = strerrorname_np(errno);
    return r >= 0 ? std::to_string(r) : name != nullptr ? name : "E?";
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size())
            out += s[++i] == '0' ? '\0' : s[i] == 'n' ? '\n' : s[i];
        else
            out += s[i];
    }
    return out;
}

std::string escape(const char *buf, ssize_t n) {
    std::string out;
    for (ssize_t i = 0; i < n; ++i)
        out += buf[i] == '\0' ? "\\0" : buf[i] == '\n' ? "\\n" : std::string(1, buf[i]);
    return out;
}

std::string read_fd(int fd) {
    char buf[128];
    // Not known to the compiler: a fortified build checks it at run time.
    volatile size_t n = sizeof buf;
    ssize_t r = read(fd, buf, n);
    return r < 0 ? result(r) : escape(buf, r);
}

void te(double seconds) {
    int fd = open("/sys/class/gpio/gpio105/value", O_RDONLY);
    std::string line = "te";
    read_fd(fd);
    const long long start = now_ns();
    long long first = -1;
    while (now_ns() - start < seconds * 1e9) {
        pollfd p{fd, POLLPRI, 0};
        lseek(fd, 0, SEEK_SET);
        if (poll(&p, 1, 1000) != 1)
            break;
        const long long t = now_ns();
        first = first < 0 ? t : first;
        line += " " + std::to_string(static_cast<double>(t - first) / 1e6);
        read_fd(fd);
    }
    close(fd);
    say(line);
}

void play(long periods) {
    std::vector<int16_t> buf(probe::kPeriod * g_channels);
    for (long k = 0; k < periods; ++k, ++g_seq) {
        for (unsigned f = 0; f < probe::kPeriod; ++f)
            for (unsigned ch = 0; ch < g_channels; ++ch)
                buf[f * g_channels + ch] = probe::sample(g_seq, f, ch);
        const long rc = snd_pcm_writei(g_pcm, buf.data(), probe::kPeriod);
        say("write " + std::to_string(g_seq) + " " + std::to_string(rc) + " " +
            std::to_string(now_ns()));
        int r = 0;
        if (rc == -ESTRPIPE) {
            // What snd_pcm_recover does, without its second of sleep per answer.
            while ((r = snd_pcm_resume(g_pcm)) == -EAGAIN) {
                say("resume " + std::to_string(r));
                usleep(10000);
            }
            say("resume " + std::to_string(r));
        }
        if (rc < 0 && (rc != -ESTRPIPE || r < 0))
            say("prepare " + std::to_string(snd_pcm_prepare(g_pcm)));
    }
}

void pcm(unsigned channels) {
    g_channels = channels;
    int rc = snd_pcm_open(&g_pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    snd_pcm_hw_params_t *hw = nullptr;
    unsigned rate = 44100;
    snd_pcm_uframes_t period = probe::kPeriod;
    snd_pcm_uframes_t buffer = 0;
    if (rc == 0) {
        snd_pcm_hw_params_malloc(&hw);
        snd_pcm_hw_params_any(g_pcm, hw);
        snd_pcm_hw_params_set_access(g_pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
        snd_pcm_hw_params_set_format(g_pcm, hw, SND_PCM_FORMAT_S16_LE);
        snd_pcm_hw_params_set_channels(g_pcm, hw, channels);
        snd_pcm_hw_params_set_rate_near(g_pcm, hw, &rate, nullptr);
        snd_pcm_hw_params_set_period_size_near(g_pcm, hw, &period, nullptr);
        rc = snd_pcm_hw_params(g_pcm, hw);
        snd_pcm_hw_params_get_buffer_size(hw, &buffer);
        snd_pcm_hw_params_free(hw);
    }
    say("pcm " + std::to_string(rc) + " " + std::to_string(rate) + " " + std::to_string(period) +
        " " + std::to_string(buffer));
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string line = argv[i];
        std::vector<std::string> w;  // the words of the command
        std::vector<size_t> at;      // where each starts
        for (size_t p = 0; p <= line.size();) {
            const size_t e = std::min(line.find(' ', p), line.size());
            at.push_back(p);
            w.push_back(line.substr(p, e - p));
            p = e + 1;
        }
        const std::string &cmd = w[0];
        auto arg = [&](size_t k) { return k < w.size() ? w[k] : std::string(); };
        auto rest = [&](size_t k) { return k < w.size() ? line.substr(at[k]) : std::string(); };
        auto fd = [&] { return g_fds[arg(1)]; };
        if (cmd == "open") {
            const std::string &m = arg(3);
            int f = open(arg(2).c_str(), m == "rw" ? O_RDWR : m == "w" ? O_WRONLY : O_RDONLY);
            g_fds[arg(1)] = f;
            say("open " + arg(1) + " " + result(f < 0 ? -1 : 0));
        } else if (cmd == "rewind") {
            lseek(fd(), 0, SEEK_SET);
        } else if (cmd == "read") {
            say("read " + arg(1) + " " + read_fd(fd()));
        } else if (cmd == "write") {
            const std::string t = unescape(rest(2));
            say("write " + arg(1) + " " + result(write(fd(), t.data(), t.size())));
        } else if (cmd == "fsync") {
            say("fsync " + arg(1) + " " + result(fsync(fd())));
        } else if (cmd == "poll") {
            pollfd p{fd(), static_cast<short>(arg(2) == "in" ? POLLIN : POLLPRI), 0};
            const long long start = now_ns();
            volatile nfds_t n = 1;  // checked at run time by a fortified build
            const int r = poll(&p, n, std::stoi(arg(3)));
            char text[128];
            snprintf(text, sizeof text, "poll %s %d %#x %.1f", arg(1).c_str(), r, p.revents,
                     static_cast<double>(now_ns() - start) / 1e6);
            say(text);
        } else if (cmd == "get" || cmd == "put") {
            int f = open(arg(1).c_str(), cmd == "get" ? O_RDONLY : O_WRONLY);
            const std::string t = unescape(rest(2));
            say(cmd + " " + arg(1) + " " +
                (f < 0          ? result(-1)
                 : cmd == "get" ? read_fd(f)
                                : result(write(f, t.data(), t.size()))));
            close(f);
        } else if (cmd == "fget") {
            FILE *f = fopen(arg(1).c_str(), "r");
            char buf[128] = {};
            const size_t n = f != nullptr ? fread(buf, 1, sizeof buf, f) : 0;
            std::string again = f != nullptr && lseek(fileno(f), 0, SEEK_SET) == 0
                                    ? read_fd(fileno(f))
                                    : result(-1);
            say("fget " + arg(1) + " " + escape(buf, static_cast<ssize_t>(n)) + " " + again);
            if (f != nullptr)
                fclose(f);
        } else if (cmd == "rename") {
            say("rename " + arg(1) + " " + result(rename(arg(1).c_str(), arg(2).c_str())));
        } else if (cmd == "unlink") {
            say("unlink " + arg(1) + " " + result(unlink(arg(1).c_str())));
        } else if (cmd == "te") {
            te(std::stod(arg(1)));
        } else if (cmd == "clock") {
            const time_t t1 = time(nullptr);
            const time_t t2 = time(nullptr);
            timeval tv{};
            gettimeofday(&tv, nullptr);
            say("clock " + std::to_string(t1) + " " + std::to_string(t2) + " " +
                std::to_string(tv.tv_sec) + " " +
                std::to_string(now_ns(CLOCK_REALTIME) / 1000000000) + " " +
                std::to_string(now_ns() / 1000000000));
        } else if (cmd == "sigterm") {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            std::thread([set] {
                int sig = 0;
                sigwait(&set, &sig);
                say("signal " + std::to_string(sig));
            }).detach();
        } else if (cmd == "system") {
            const int st = system(rest(1).c_str());
            say("system " + std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st)));
        } else if (cmd == "sleep") {
            usleep(static_cast<useconds_t>(std::stoi(arg(1)) * 1000));
        } else if (cmd == "waitfile") {
            for (int k = 0; k < 60000 && access(arg(1).c_str(), F_OK) != 0; ++k)
                usleep(1000);
        } else if (cmd == "echo") {
            say(rest(1));
        } else if (cmd == "pcm") {
            pcm(static_cast<unsigned>(std::stoul(arg(1))));
        } else if (cmd == "play") {
            play(std::stol(arg(1)));
        } else if (cmd == "prepare" || cmd == "drain" || cmd == "close") {
            const int rc = cmd == "prepare" ? snd_pcm_prepare(g_pcm)
                           : cmd == "drain" ? snd_pcm_drain(g_pcm)
                                            : snd_pcm_close(g_pcm);
            say(cmd + " " + std::to_string(rc) + " " + std::to_string(now_ns()));
        } else {
            say("unknown " + cmd);
            return 2;
        }
    }
    return 0;
}

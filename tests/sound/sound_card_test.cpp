// The simulated sound card seen through alsa-lib: a probe program opens the
// default PCM on a throw-away simulated device (its own root, HOME and
// .asoundrc) and the tests check what the card made of it: the granted
// configuration, the real-time pacing of blocking writes, the recordings and
// the underruns.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "mpsim/harness.h"
#include "mpsim/state.h"
#include "pattern.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using sound_test::kPeriodFrames;
using sound_test::pattern_sample;

constexpr double kRate = 44100.0;
constexpr int kStrictCard = 0;      // underruns as soon as the buffer runs dry
constexpr int kPatientCard = 1000;  // waits up to a second for late data

using Line = std::vector<std::string>;

struct ProbeRun {
    int status = -1;
    std::vector<Line> lines;
    std::string err;
    double cpu_seconds = 0;   // user and system time of the probe
    double wall_seconds = 0;  // from start to exit

    // Lines whose first word is `what`.
    std::vector<Line> all(const std::string &what) const {
        std::vector<Line> out;
        for (const Line &l : lines) {
            if (!l.empty() && l[0] == what) {
                out.push_back(l);
            }
        }
        return out;
    }
    Line first(const std::string &what) const {
        auto v = all(what);
        return v.empty() ? Line{} : v.front();
    }
};

struct Write {
    unsigned seq;
    long rc;
    long long ns;
};

std::vector<Write> writes_of(const ProbeRun &run) {
    std::vector<Write> out;
    for (const Line &l : run.all("write")) {
        out.push_back(
            {static_cast<unsigned>(std::stoul(l.at(1))), std::stol(l.at(2)), std::stoll(l.at(3))});
    }
    return out;
}

struct Recording {
    mpsim::RecordingHeader header{};
    std::vector<int16_t> samples;
};

// The samples the probe wrote in the given periods, in order.
std::vector<int16_t> expected_samples(const std::vector<unsigned> &seqs, unsigned channels) {
    std::vector<int16_t> out;
    for (unsigned seq : seqs) {
        for (unsigned f = 0; f < kPeriodFrames; ++f) {
            for (unsigned ch = 0; ch < channels; ++ch) {
                out.push_back(pattern_sample(seq, f, ch));
            }
        }
    }
    return out;
}

class SoundCard : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "mpsim-sound-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
        root_ = tmpl;
        fs::create_directories(root_ / ".sim" / "audio");
        fs::create_directories(root_ / "home");

        const int fd = open((root_ / ".sim" / "state").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, sizeof(mpsim::State)), 0);
        void *map = mmap(nullptr, sizeof(mpsim::State), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        ASSERT_NE(map, MAP_FAILED);
        state_ = static_cast<mpsim::State *>(map);
        state_->magic = mpsim::kStateMagic;
        state_->version = mpsim::kStateVersion;

        std::ofstream rc(root_ / "home" / ".asoundrc");
        rc << "pcm_type.mpsim { lib \"" MPSIM_SOUND_PLUGIN "\" }\n"
           << "pcm.!default { type mpsim }\n";
    }

    void TearDown() override {
        if (state_ != nullptr) {
            munmap(state_, sizeof(mpsim::State));
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Runs the probe with the given steps on this test's device and waits for
    // it (a generous bound only guards against a hang). `slack_ms` is how long
    // the card waits for late data before it underruns: tests that are not
    // about real underruns give it a second so that a stalled machine cannot
    // cost them a period.
    ProbeRun probe(const std::vector<std::string> &steps, int slack_ms = kPatientCard) {
        ProbeRun run;
        int out_pipe[2];
        int err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return run;
        }
        std::vector<std::string> env_strings;
        for (char **e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string key = entry.substr(0, entry.find('='));
            // The card's folder and the home that holds its .asoundrc are this
            // test's own; nothing else may redirect alsa-lib's configuration.
            if (key != "MPSIM_ROOT" && key != "HOME" && key != "XDG_CONFIG_HOME" &&
                key != "ALSA_CONFIG_PATH" && key != "MPSIM_SOUND_SLACK_MS") {
                env_strings.push_back(entry);
            }
        }
        env_strings.push_back("MPSIM_ROOT=" + root_.string());
        env_strings.push_back("HOME=" + (root_ / "home").string());
        env_strings.push_back("MPSIM_SOUND_SLACK_MS=" + std::to_string(slack_ms));
        std::vector<char *> envp;
        for (std::string &s : env_strings) {
            envp.push_back(s.data());
        }
        envp.push_back(nullptr);
        // In a cross build the probe runs through the emulator, as the
        // test itself does: nothing else would start a program of the target.
        std::vector<std::string> arg_strings = mpsim::emulator();
        arg_strings.push_back(MPSIM_SOUND_PROBE);
        arg_strings.insert(arg_strings.end(), steps.begin(), steps.end());
        std::vector<char *> argv;
        for (std::string &s : arg_strings) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);

        const pid_t pid = fork();
        if (pid == 0) {
            dup2(out_pipe[1], STDOUT_FILENO);
            dup2(err_pipe[1], STDERR_FILENO);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (pid < 0) {
            close(out_pipe[0]);
            close(err_pipe[0]);
            ADD_FAILURE() << "fork: " << std::strerror(errno);
            return run;
        }

        std::string out;
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        std::string *sinks[2] = {&out, &run.err};
        int open_count = 2;
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        while (open_count > 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec > 120) {
                kill(pid, SIGKILL);
                ADD_FAILURE() << "probe did not finish";
                break;
            }
            if (poll(fds, 2, 1000) < 0 && errno != EINTR) {
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                    char buf[4096];
                    const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                    if (n > 0) {
                        sinks[i]->append(buf, static_cast<size_t>(n));
                    } else if (n == 0 || errno != EINTR) {
                        close(fds[i].fd);
                        fds[i].fd = -1;
                        --open_count;
                    }
                }
            }
        }
        for (pollfd &p : fds) {
            if (p.fd >= 0) {
                close(p.fd);
            }
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &end);
        run.status = status;
        run.cpu_seconds =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        run.wall_seconds = static_cast<double>(end.tv_sec - start.tv_sec) +
                           static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
        std::istringstream lines(out);
        for (std::string text; std::getline(lines, text);) {
            std::istringstream words(text);
            run.lines.emplace_back(std::istream_iterator<std::string>(words),
                                   std::istream_iterator<std::string>());
        }
        return run;
    }

    // Checks the parts every run shares: the probe ran to its end and neither
    // alsa-lib nor the card printed anything.
    static void expect_clean(const ProbeRun &run) {
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
            << "status " << run.status;
        EXPECT_EQ(run.err, "");
    }

    // Every write took a whole period or was refused as an underrun, and every
    // underrun was followed by a successful prepare. Returns the periods the
    // card took, in order.
    static std::vector<unsigned> accepted_periods(const ProbeRun &run) {
        std::vector<unsigned> accepted;
        size_t prepares = 0;
        for (const Write &w : writes_of(run)) {
            if (w.rc == static_cast<long>(kPeriodFrames)) {
                accepted.push_back(w.seq);
            } else {
                EXPECT_EQ(w.rc, -EPIPE) << "write " << w.seq;
            }
        }
        for (const Line &l : run.all("prepare")) {
            EXPECT_EQ(l.at(1), "0");
            ++prepares;
        }
        EXPECT_EQ(prepares, writes_of(run).size() - accepted.size());
        return accepted;
    }

    std::string recording_path(int index) const {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.pcm", index);
        return (root_ / ".sim" / "audio" / name).string();
    }

    Recording recording(int index) const {
        Recording rec;
        std::ifstream in(recording_path(index), std::ios::binary);
        EXPECT_TRUE(in.good()) << recording_path(index);
        in.read(reinterpret_cast<char *>(&rec.header), sizeof rec.header);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.size() % 2, 0u);
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto lo = static_cast<uint16_t>(static_cast<unsigned char>(bytes[i]));
            const auto hi = static_cast<uint16_t>(static_cast<unsigned char>(bytes[i + 1]));
            rec.samples.push_back(static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8))));
        }
        return rec;
    }

    static void expect_header(const Recording &rec, unsigned channels) {
        EXPECT_EQ(rec.header.magic, mpsim::kRecordingMagic);
        EXPECT_EQ(rec.header.rate, 44100u);
        EXPECT_EQ(rec.header.channels, channels);
        EXPECT_EQ(rec.header.format, static_cast<uint32_t>(SND_PCM_FORMAT_S16_LE));
    }

    // Buffer size the card granted, from the probe's "setup" line.
    static long buffer_frames(const ProbeRun &run) { return std::stol(run.first("setup").at(7)); }

    fs::path root_;
    mpsim::State *state_ = nullptr;
};

TEST_F(SoundCard, AudioTestSetupIsGrantedAndStartsARecording) {
    const ProbeRun run = probe({"open", "setup", "2", "close"});
    expect_clean(run);
    EXPECT_EQ(run.first("open"), (Line{"open", "0"}));
    const Line setup = run.first("setup");
    ASSERT_EQ(setup.size(), 8u);
    EXPECT_EQ(setup[1], "0");
    EXPECT_EQ(setup[3], "44100");
    EXPECT_EQ(setup[5], "256");
    const long buffer = std::stol(setup[7]);
    EXPECT_GE(buffer, 2 * 256);
    EXPECT_EQ(buffer % 256, 0);
    EXPECT_EQ(run.first("close"), (Line{"close", "0"}));

    EXPECT_EQ(state_->recordings.load(), 1);
    const Recording rec = recording(0);
    expect_header(rec, 2);
    EXPECT_TRUE(rec.samples.empty());
    EXPECT_EQ(state_->frames_played.load(), 0);
}

TEST_F(SoundCard, BlockingWritesArePacedInRealTimeAndRecordedInOrder) {
    constexpr int kPeriods = 200;
    const ProbeRun run =
        probe({"open", "setup", "2", "time", "write", std::to_string(kPeriods), "drain", "close"});
    expect_clean(run);
    ASSERT_EQ(run.first("setup").at(1), "0");
    const std::vector<Write> w = writes_of(run);
    ASSERT_EQ(w.size(), static_cast<size_t>(kPeriods));
    for (const Write &x : w) {
        EXPECT_EQ(x.rc, 256) << "write " << x.seq;
    }
    EXPECT_EQ(state_->underruns.load(), 0);

    // The card starts with the first period and plays 44100 frames a second:
    // period k can only be taken once the card has made room for it, and the
    // drain ends only when everything has been played.
    const long long t0 = std::stoll(run.first("time").at(1));
    const double buffer = static_cast<double>(buffer_frames(run));
    for (size_t k = 0; k < w.size(); ++k) {
        const double frames = static_cast<double>((k + 1) * kPeriodFrames) - buffer;
        const double elapsed = static_cast<double>(w[k].ns - t0) / 1e9;
        if (elapsed < frames / kRate - 0.001) {
            ADD_FAILURE() << "write " << k << " returned after " << elapsed
                          << " s, before the card "
                          << "could have played " << frames << " frames";
            break;
        }
    }
    const Line drain = run.first("drain");
    ASSERT_EQ(drain.at(1), "0");
    EXPECT_GE(static_cast<double>(std::stoll(drain.at(2)) - t0) / 1e9,
              kPeriods * kPeriodFrames / kRate - 0.001);
    // The writer waits asleep in poll while the card plays, not spinning.
    EXPECT_LT(run.cpu_seconds, 0.5 * run.wall_seconds);

    const Recording rec = recording(0);
    expect_header(rec, 2);
    EXPECT_EQ(rec.samples, expected_samples(accepted_periods(run), 2));
    EXPECT_EQ(state_->frames_played.load(), kPeriods * static_cast<int>(kPeriodFrames));
    EXPECT_EQ(state_->recordings.load(), 1);
}

TEST_F(SoundCard, RequestedUnderrunRefusesThatPeriodAndPrepareRecovers) {
    constexpr int kAfter = 40;
    const ProbeRun run = probe({"open", "setup", "2", "write", "4", "underrun", "write", "1",
                                "time", "write", std::to_string(kAfter), "close"});
    expect_clean(run);
    const std::vector<Write> w = writes_of(run);
    ASSERT_EQ(w.size(), 5u + kAfter);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w[i].rc, 256) << "write " << i;
    }
    EXPECT_EQ(w[4].rc, -EPIPE);
    const std::vector<unsigned> accepted = accepted_periods(run);
    EXPECT_EQ(state_->underrun_requests.load(), 0);
    EXPECT_EQ(state_->underruns.load(), static_cast<int>(w.size() - accepted.size()));

    // The refused period is missing; the stream goes on with the next one.
    ASSERT_GE(accepted.size(), 5u);
    EXPECT_EQ(std::vector<unsigned>(accepted.begin(), accepted.begin() + 5),
              (std::vector<unsigned>{0, 1, 2, 3, 5}));
    const Recording rec = recording(0);
    expect_header(rec, 2);
    EXPECT_EQ(rec.samples, expected_samples(accepted, 2));

    // After the prepare the card plays in real time again from an empty
    // buffer: the writes after the first buffer-full wait for it.
    if (accepted.size() == w.size() - 1) {
        const long long t0 = std::stoll(run.first("time").at(1));
        const double elapsed = static_cast<double>(w.back().ns - t0) / 1e9;
        const double frames =
            static_cast<double>(kAfter * kPeriodFrames) - static_cast<double>(buffer_frames(run));
        EXPECT_GE(elapsed, frames / kRate - 0.002);
    }
}

TEST_F(SoundCard, WriterThatSleepsPastTheBufferGetsAnUnderrun) {
    const ProbeRun run = probe(
        {"open", "setup", "2", "write", "4", "sleep", "300", "write", "3", "close"}, kStrictCard);
    expect_clean(run);
    // The sleep must outlast what the buffer can hold for it to be an underrun.
    ASSERT_LT(static_cast<double>(buffer_frames(run)) / kRate, 0.15);
    const std::vector<Write> w = writes_of(run);
    ASSERT_EQ(w.size(), 7u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(w[i].rc, 256) << "write " << i;
    }
    EXPECT_EQ(w[4].rc, -EPIPE);
    // The two writes after the prepare restart the stream; on a strict card a
    // stalled machine could cost one of them too, which the count shows.
    const std::vector<unsigned> accepted = accepted_periods(run);
    ASSERT_GE(accepted.size(), 4u);
    EXPECT_EQ(std::vector<unsigned>(accepted.begin(), accepted.begin() + 4),
              (std::vector<unsigned>{0, 1, 2, 3}));
    EXPECT_EQ(state_->underruns.load(), static_cast<int>(w.size() - accepted.size()));
    EXPECT_EQ(recording(0).samples, expected_samples(accepted, 2));
}

}  // namespace

// mp-sim end to end: the built runner on the shipped scenarios and on small
// scenarios of its own, checked through the output folder it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

extern char **environ;

namespace {

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        char tmpl[] = "/tmp/mp-sim-test-XXXXXX";
        const char *p = mkdtemp(tmpl);
        if (p)
            path = p;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

struct Result {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out, err;
};

// Runs mp-sim with the arguments; its own output goes to files in `dir`.
Result run_mp_sim(const std::vector<std::string> &args, const fs::path &dir) {
    // In a cross build mp-sim runs through the emulator, as the test does.
    std::vector<std::string> all = mpsim::emulator();
    all.push_back(MP_SIM);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = (dir / "mp-sim.out").string(), err = (dir / "mp-sim.err").string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    Result r;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return r;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

fs::path write_scenario(const fs::path &dir, const std::string &text) {
    const fs::path p = dir / "test.scn";
    std::ofstream(p) << text;
    return p;
}

bool contains(const std::string &hay, const std::string &needle) {
    return hay.find(needle) != std::string::npos;
}

const std::string kScenarios = MP_SCENARIO_DIR;

// Whether the program under test already has its information screen: the
// factory entry held from power-on must bring a frame within 10 s.
bool probe_information_screen() {
    mpsim::Device dev;
    const std::string app = dev.root() + "/app";
    fs::create_directories(app);
    dev.set_volume_percent(100);
    for (auto k : {mpsim::Key::Right, mpsim::Key::Start, mpsim::Key::B})
        dev.set_key(k, true);
    dev.start_mp_test(app, "true");
    const bool shown = dev.wait_pushes(1, 10s);
    dev.kill_program();
    return shown;
}

bool program_shows_information_screen() {
    static const bool shown = probe_information_screen();
    return shown;
}

}  // namespace

TEST(MpSim, OrdinaryBootHandsOffAndKeepsTheJournal) {
    TempDir tmp;
    ASSERT_FALSE(tmp.path.empty());
    const fs::path out = tmp.path / "out";
    const Result r = run_mp_sim({kScenarios + "/ordinary-boot.scn", out.string()}, tmp.path);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    const std::string journal = slurp(out / "journal.txt");
    EXPECT_FALSE(journal.empty());
    // The keys went back to the kernel driver before the finish script ran.
    EXPECT_TRUE(contains(journal, " write /sys/bus/platform/drivers/gpio-keys-polled/bind "))
        << journal;
    const std::string summary = slurp(out / "summary.txt");
    EXPECT_TRUE(contains(summary, "exit status: 0\n")) << summary;
    EXPECT_TRUE(contains(summary, "result: passed")) << summary;
    EXPECT_TRUE(contains(summary, "frames: 0")) << summary;
    EXPECT_EQ(slurp(out / "finish.txt"), "finish script ran\n");
    EXPECT_TRUE(contains(slurp(out / "stdout.txt"), "MP test verion: v1.7"));
    EXPECT_TRUE(fs::exists(out / "stderr.txt"));
    EXPECT_TRUE(contains(slurp(out / "steps.txt"), "expect-exit 0"));
}

TEST(MpSim, SyntaxErrorNamesFileAndLineAndRunsNothing) {
    TempDir tmp;
    const fs::path scn = write_scenario(tmp.path, "# fine\nstart\nwait-frames many\n");
    const fs::path out = tmp.path / "out";
    const Result r = run_mp_sim({scn.string(), out.string()}, tmp.path);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, scn.string() + ":3: ")) << r.err;
    EXPECT_FALSE(fs::exists(out));

    EXPECT_EQ(run_mp_sim({scn.string()}, tmp.path).status, 2);
    EXPECT_EQ(run_mp_sim({"--bogus", scn.string(), out.string()}, tmp.path).status, 2);
}

TEST(MpSim, ProgramStillRunningAtTheEndIsKilledAndSaidSo) {
    TempDir tmp;
    // Any program runs on the device; this one never ends on its own.
    const fs::path scn = write_scenario(
        tmp.path,
        "args -c \"echo started > {root}/finish.txt; exec sleep 300\"\nstart\nwait 0.5\n");
    const fs::path out = tmp.path / "out";
    const Result r = run_mp_sim({"--program", "/bin/sh", scn.string(), out.string()}, tmp.path);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string summary = slurp(out / "summary.txt");
    EXPECT_TRUE(contains(summary, "still running at the end of the scenario, killed by mp-sim"))
        << summary;
    EXPECT_FALSE(contains(summary, "exit status:")) << summary;
    EXPECT_EQ(slurp(out / "finish.txt"), "started\n");
}

TEST(MpSim, FactoryPassKeepsEveryScreenAndTheSound) {
    if (!program_shows_information_screen()) {
        GTEST_SKIP() << "the program shows no information screen yet (no panel push within 10 s "
                        "of the factory entry)";
    }
    TempDir tmp;
    const fs::path out = tmp.path / "out";
    const Result r = run_mp_sim({kScenarios + "/factory-pass.scn", out.string()}, tmp.path);
    ASSERT_EQ(r.status, 0) << r.out << r.err << slurp(out / "steps.txt");
    const std::string summary = slurp(out / "summary.txt");
    EXPECT_TRUE(contains(summary, "exit status: 0\n")) << summary;

    // Information screen (3), white, black, colours, four prompts, image
    // screen, status screen, headphone change: at least 13 distinct frames.
    const std::string index = slurp(out / "frames.txt");
    int listed = 0;
    for (size_t pos = 0; (pos = index.find("\nframe-", pos)) != std::string::npos; ++pos)
        ++listed;
    EXPECT_GE(listed, 13) << index;
    EXPECT_TRUE(contains(summary, "frames: " + std::to_string(listed))) << summary;
    if (mpsim::png_supported()) {
        // The first colour stage is a white window: some frame must be all white.
        bool white = false;
        for (int i = 0; i < listed; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "frame-%04d.png", i);
            const auto f = mpsim::read_png((out / name).string());
            ASSERT_TRUE(f) << name;
            bool all = f->width >= 240 && f->height >= 180;
            for (int y = 0; all && y < 180; ++y)
                for (int x = 0; all && x < 240; ++x)
                    all = f->at(x, y) == mpsim::rgb(255, 255, 255);
            white = white || all;
        }
        EXPECT_TRUE(white) << "no all-white frame among " << listed;
    }
    // Music on the image screen: a recording with samples in it. (The sound
    // device may also be opened and closed without a period played.)
    bool sound = false;
    for (int i = 0;; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "rec-%04d.wav", i);
        if (!fs::exists(out / name))
            break;
        const std::string wav = slurp(out / name);
        EXPECT_EQ(wav.substr(0, 4), "RIFF") << name;
        sound = sound || wav.size() > 44u + 4096u;
    }
    EXPECT_TRUE(sound) << summary;
}

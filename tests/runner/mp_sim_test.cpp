// mp-sim itself: an expectation or post-condition that does not hold fails
// the run with a message that says why; flows, repeat and update mode from the
// command line. Tiny programs (a shell) on the simulated device stand in for
// the factory test, whose runs are the scenarios under tests/scenarios.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mpsim/harness.h"

namespace fs = std::filesystem;
extern char **environ;

namespace {

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const fs::path kDir = fs::temp_directory_path() / ("mp-sim-test-" + std::to_string(getpid()));

// Runs mp-sim (through the emulator in a cross build) on a scenario text;
// returns its exit status, its standard error in `err`.
int mp_sim(const std::string &text, std::vector<std::string> args, std::string *err = nullptr) {
    std::ofstream(kDir / "t.scn") << text;
    std::vector<std::string> all = mpsim::emulator();
    all.insert(all.end(), {MP_SIM, "--program", "/bin/sh"});
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {(kDir / "t.scn").string(), (kDir / "out").string()});
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = (kDir / "mp-sim.err").string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int st = 0;
    const bool ran = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0 &&
                     waitpid(pid, &st, 0) == pid;
    posix_spawn_file_actions_destroy(&fa);
    if (err)
        *err = slurp(log);
    return ran && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(MpSim, AnExpectationThatDoesNotHoldFailsTheRun) {
    const std::string push =
        "args -c \"printf 1 > /sys/kernel/screen_update/update; exec sleep 60\"\nends running\n";
    const struct {
        std::string text;
        int status;
        const char *why;
    } cases[] = {
        {"args -c \"exit 3\"\nexpect-exit 0", 1, "expected exit status 0, got exit status 3"},
        {"args -c \"kill -TERM $$\"\nexpect-signal SIGINT", 1,
         "expected the program to end by SIGINT, got killed by signal SIGTERM"},
        {"args -c \"echo hi\"\nexpect-stdout ho", 1,
         "no line 'ho' on standard output before the program ended"},
        {"args -c \"echo hi; echo hi\"\nwait-exit\nexpect-stdout-count 1 hi", 1, "2 line(s) 'hi'"},
        {"args -c \"printf 12 > /sys/f\"\nwait-exit\nexpect-file /sys/f 13", 1,
         "/sys/f holds '12', not '13'"},
        {"args -c \"echo a > /sys/a; echo b > /sys/b\"\nexpect-journal write /sys/b b\\n\n"
         "expect-journal write /sys/a a\\n",
         1,
         "no write of /sys/a with 'a\\n' after journal line 4 (there is one before it, at line 2)"},
        {"args -c \"echo a > /sys/a\"\nwait-exit\nexpect-no-journal write /sys/a a", 1,
         "t.scn:3: expect-no-journal write /sys/a a: journal line 2 is a write of /sys/a"},
        // The post-conditions: a program that ends without giving the keys
        // back, one that changes the porch file, a sanitizer report.
        {"args -c true", 1,
         "after the last line (ends hand-off): \"gpio-keys.7\" was never written"},
        {"args -c \"exit 255\"\nends usage", 0, ""},
        {"args -c \"cat /sys/x; exit 255\"\nends usage", 1, "the program opened /sys/x"},
        {"porch-file 24\nargs -c \"printf 30 > /mnt/UDISK/.lcdporch; exec sleep 60\"\n"
         "expect-journal write /mnt/UDISK/.lcdporch 30\nends running",
         1, "the porch file /mnt/UDISK/.lcdporch holds '30', it held '24'"},
        {"args -c \"echo '==1==ERROR: AddressSanitizer: x' >&2; echo told; exec sleep 60\"\n"
         "expect-stdout told\nends running",
         1, "a sanitizer report on standard error: ==1==ERROR: AddressSanitizer: x"},
        // The panel: an empty framebuffer pushed is a black frame.
        {push + "expect-frame white.png timeout 2", 1,
         "the closest, frame-0000 (kept as closest-white.png), differs in 43200 pixel(s), the "
         "first at (0, 0): #000000 instead of #FFFFFF"},
        {push + "expect-frame black.png\nexpect-ink 0 0 8 8 white timeout 2", 1,
         "no frame from frame-0000 to frame-0000 shows #FFFFFF on black there; the last has 0 "
         "pixel(s) of it"},
    };
    fs::create_directories(kDir / "flows");
    if (mpsim::png_supported()) {
        mpsim::Frame white{240, 180, 0, 0, std::vector<uint32_t>(240 * 180, 0xFFFFFFFFu)};
        ASSERT_TRUE(mpsim::write_png((kDir / "white.png").string(), white));
        // Update mode takes the frame on the panel.
        ASSERT_EQ(mp_sim(push + "wait-pushes 1\nexpect-frame black.png", {"--update-golden"}), 0);
        ASSERT_TRUE(fs::exists(kDir / "black.png"));
    }
    for (const auto &c : cases) {
        if (c.text.find(".png") != std::string::npos && !mpsim::png_supported())
            continue;  // this build reads no PNG
        std::string err;
        EXPECT_EQ(mp_sim(c.text, {}, &err), c.status) << c.text << "\n" << err;
        EXPECT_NE(err.find(c.why), std::string::npos) << c.text << "\n" << err;
    }
    fs::remove_all(kDir);
}

TEST(MpSim, FlowsRunEachInTurnOrTheOneAsked) {
    const std::string text = "flows usage other\nrepeat 2\nargs -c \"exit 255\"\nflow\n";
    fs::create_directories(kDir / "flows");
    std::ofstream(kDir / "flows/usage.scn") << "ends usage\n";
    std::ofstream(kDir / "flows/other.scn") << "expect-exit 3\n";
    EXPECT_EQ(mp_sim(text, {}), 1);
    EXPECT_NE(slurp(kDir / "out/usage/steps.txt").find("run 2 of 2"), std::string::npos);
    EXPECT_NE(slurp(kDir / "out/other/summary.txt").find("result: FAILED at "), std::string::npos);
    EXPECT_EQ(mp_sim(text, {"--flow", "usage"}), 0);
    std::string err;
    EXPECT_EQ(mp_sim(text, {"--flow", "neither"}, &err), 2);
    EXPECT_NE(err.find("t.scn:1: there is no flow 'neither' here"), std::string::npos) << err;
    fs::remove_all(kDir);
}

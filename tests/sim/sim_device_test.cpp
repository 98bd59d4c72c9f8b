// The simulated device behaves like the board's kernel for every device file
// the program touches. Each test runs a probe program on a fresh device and
// looks at what the probe saw and what the hardware recorded.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "mpsim/harness.h"

using namespace std::chrono_literals;
using mpsim::Device;
using mpsim::Key;
using mpsim::Ms;

namespace {

constexpr Ms kRunTimeout = 120s;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Runs the probe to its end and returns its output lines.
std::vector<std::string> probe(Device &d, std::vector<std::string> args,
                               const std::string &binary = MPSIM_PROBE,
                               const std::vector<std::string> &env = {}) {
    args.insert(args.begin(), binary);
    d.start(args, env);
    auto st = d.wait_exit(kRunTimeout);
    EXPECT_TRUE(st.has_value()) << "probe did not end";
    if (st) {
        EXPECT_TRUE(st->exited && st->code == 0) << "probe status " << st->code << "\n"
                                                 << d.stderr_text();
    }
    return lines_of(d.stdout_text());
}

bool has(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string starting(const std::vector<std::string> &lines, const std::string &prefix) {
    for (const auto &l : lines)
        if (l.rfind(prefix, 0) == 0)
            return l;
    return "";
}

std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string f; in >> f;)
        out.push_back(f);
    return out;
}

// Waits for the running probe to print `line`.
bool wait_output(Device &d, const std::string &line) {
    return d.wait_until([&] { return has(lines_of(d.stdout_text()), line); }, kRunTimeout);
}

void go(Device &d, const std::string &name) {
    std::ofstream(d.root() + "/" + name) << "go";
}

std::string bytes_of(const mpsim::JournalEntry &e) {
    return std::string(e.bytes.begin(), e.bytes.end());
}

}  // namespace

TEST(SimGpio, LevelsFollowTheHardwareThroughAKeptOpenDescriptor) {
    Device d;
    const std::string ready = d.root() + "/go";
    d.start({MPSIM_PROBE,
             "put",
             "/sys/bus/platform/drivers/gpio-keys-polled/unbind",
             "gpio-keys.7",
             "put",
             "/sys/class/gpio/export",
             "137",
             "put",
             "/sys/class/gpio/export",
             "132",
             "open",
             "b",
             "/sys/class/gpio/gpio137/value",
             "r",
             "open",
             "h",
             "/sys/class/gpio/gpio132/value",
             "r",
             "open",
             "v",
             "/sys/devices/soc/1c24800.tp_adc/value",
             "r",
             "open",
             "bat",
             "/sys/devices/soc/1c23400.battery/adc",
             "r",
             "read",
             "b",
             "10",
             "read",
             "b",
             "10",
             "rewind",
             "b",
             "read",
             "b",
             "1",
             "read",
             "b",
             "10",
             "read",
             "h",
             "10",
             "read",
             "v",
             "10",
             "read",
             "bat",
             "10",
             "echo",
             "ready",
             "waitfile",
             ready,
             "rewind",
             "b",
             "read",
             "b",
             "10",
             "rewind",
             "h",
             "read",
             "h",
             "10",
             "rewind",
             "v",
             "read",
             "v",
             "10",
             "rewind",
             "bat",
             "read",
             "bat",
             "10"});
    ASSERT_TRUE(wait_output(d, "ready")) << d.stderr_text();
    d.set_key(Key::B, true);
    d.set_headphone(0);
    d.set_volume_raw(4095);
    d.set_battery_raw(3123);
    go(d, "go");
    ASSERT_TRUE(d.wait_exit(kRunTimeout));
    auto out = lines_of(d.stdout_text());
    std::vector<std::string> reads;
    for (auto &l : out)
        if (l.rfind("read ", 0) == 0)
            reads.push_back(l);
    std::vector<std::string> want = {
        "read b 1\\n",     "read b ",  // the offset moved past the value
        "read b 1",        "read b \\n",
        "read h 1\\n",     "read v " + std::to_string(mpsim::volume_raw_for_percent(50)) + "\\n",
        "read bat 80\\n",  "read b 0\\n",
        "read h 0\\n",     "read v 4095\\n",
        "read bat 3123\\n"};
    EXPECT_EQ(reads, want);
}

TEST(SimPanel, TeRateFollowsThePorchAndTheClock) {
    Device d;
    auto out =
        probe(d, {"te", "1.5", "put", "/sys/kernel/screen_update/lcdporch", "40\\0", "te", "1.5",
                  "put", "/sys/kernel/screen_update/lcdporch", "7\\0\\0", "te", "1.5"});
    std::vector<double> rates;
    for (auto &l : out)
        if (l.rfind("te ", 0) == 0) {
            auto f = fields(l);
            ASSERT_EQ(f.size(), 6u) << l;
            rates.push_back(std::stod(f[1]));
            // Most edges were seen one by one, not recovered from the spacing.
            EXPECT_GE(std::stod(f[3]), 0.8 * std::stod(f[5])) << l;
        }
    ASSERT_EQ(rates.size(), 3u) << d.stdout_text();
    EXPECT_NEAR(rates[0], 20640.0 / 344, 0.005 * 20640.0 / 344);
    EXPECT_NEAR(rates[1], 20640.0 / 360, 0.005 * 20640.0 / 360);
    EXPECT_NEAR(rates[2], 20640.0 / 327, 0.005 * 20640.0 / 327);
    EXPECT_EQ(d.porch(), 7);

    d.set_te_clock(17200);  // 50 frames per second at porch 24
    out = probe(d, {"put", "/sys/kernel/screen_update/lcdporch", "24\\0", "te", "1.5"});
    auto f = fields(starting(out, "te "));
    ASSERT_EQ(f.size(), 6u) << d.stdout_text();
    EXPECT_NEAR(std::stod(f[1]), 50.0, 0.25);
}

TEST(SimPanel, PollOnTheTeLineBehavesLikeSysfs) {
    Device d;
    const std::string setup[] = {
        "put", "/sys/class/gpio/export", "105", "put", "/sys/class/gpio/gpio105/direction", "in"};
    std::vector<std::string> args(std::begin(setup), std::end(setup));
    for (std::string s : {"open",
                          "v",
                          "/sys/class/gpio/gpio105/value",
                          "r",
                          "poll",
                          "v",
                          "pri",
                          "0",  // never read: event at once
                          "read",
                          "v",
                          "1",
                          "poll",
                          "v",
                          "pri",
                          "300",  // edge "none": nothing
                          "put",
                          "/sys/class/gpio/gpio105/edge",
                          "falling",
                          "rewind",
                          "v",
                          "read",
                          "v",
                          "1",
                          "poll",
                          "v",
                          "pri",
                          "300",  // falling edges are not watched
                          "put",
                          "/sys/class/gpio/gpio105/edge",
                          "rising",
                          "rewind",
                          "v",
                          "read",
                          "v",
                          "1",
                          "poll",
                          "v",
                          "pri",
                          "5000",  // the next rising edge
                          "rewind",
                          "v",
                          "read",
                          "v",
                          "1",
                          "sleep",
                          "100",
                          "poll",
                          "v",
                          "pri",
                          "0",  // edges passed since the read
                          "poll",
                          "v",
                          "in",
                          "0",  // attributes are always readable
                          "rewind",
                          "v",
                          "read",
                          "v",
                          "1",
                          "pollpipe",
                          "v",
                          "full",
                          "5000",  // another descriptor is ready first
                          "rewind",
                          "v",
                          "read",
                          "v",
                          "1",
                          "pollpipe",
                          "v",
                          "empty",
                          "5000"})
        args.push_back(s);
    auto out = probe(d, args);
    std::vector<std::vector<std::string>> polls;
    for (auto &l : out)
        if (l.rfind("poll ", 0) == 0)
            polls.push_back(fields(l));
    ASSERT_EQ(polls.size(), 8u) << d.stdout_text();
    // poll NAME result revents other-revents ms
    EXPECT_EQ(polls[0][2], "1");
    EXPECT_EQ(polls[0][3], "0xa");  // POLLPRI | POLLERR
    EXPECT_EQ(polls[1][2], "0");
    EXPECT_GE(std::stod(polls[1][5]), 299.0);
    EXPECT_EQ(polls[2][2], "0");
    EXPECT_EQ(polls[3][2], "1");
    EXPECT_EQ(polls[3][3], "0xa");
    EXPECT_LT(std::stod(polls[3][5]), 5000.0);
    EXPECT_EQ(polls[4][2], "1");
    EXPECT_EQ(polls[5][2], "1");
    EXPECT_EQ(polls[5][3], "0x9");  // POLLIN, and POLLERR for the pending event
    EXPECT_EQ(polls[6][2], "1");
    EXPECT_EQ(polls[6][3], "0");
    EXPECT_EQ(polls[6][4], "0x1");
    EXPECT_EQ(polls[7][2], "1");
    EXPECT_EQ(polls[7][3], "0xa");
    EXPECT_EQ(polls[7][4], "0");
}

TEST(SimPanel, StoppedTeLineOnlyTimesOut) {
    Device d;
    d.stop_te(true);
    auto out =
        probe(d, {"put", "/sys/class/gpio/export", "105", "put", "/sys/class/gpio/gpio105/edge",
                  "rising", "open", "v", "/sys/class/gpio/gpio105/value", "r", "read", "v", "1",
                  "poll", "v", "pri", "400"});
    auto f = fields(starting(out, "poll "));
    ASSERT_EQ(f.size(), 6u) << d.stdout_text();
    EXPECT_EQ(f[2], "0");
    EXPECT_GE(std::stod(f[5]), 399.0);

    // Started again, the line toggles once more.
    d.stop_te(false);
    out = probe(d, {"open", "v", "/sys/class/gpio/gpio105/value", "r", "read", "v", "1", "poll",
                    "v", "pri", "5000"});
    f = fields(starting(out, "poll "));
    ASSERT_EQ(f.size(), 6u) << d.stdout_text();
    EXPECT_EQ(f[2], "1");
}

TEST(SimPanel, PushesKeepEachDistinctWindow) {
    Device d;  // 240 x 240
    auto out = probe(d, {"fbfill",
                         "0",
                         "240",
                         "ff0000",
                         "fbfill",
                         "39",
                         "40",
                         "00ff00",
                         "open",
                         "u",
                         "/sys/kernel/screen_update/update",
                         "rw",
                         "write",
                         "u",
                         "1\\0",
                         "rewind",
                         "u",
                         "write",
                         "u",
                         "1\\0",
                         "fbfill",
                         "100",
                         "101",
                         "0000ff",
                         "fbfill",
                         "230",
                         "240",
                         "ffffff",
                         "rewind",
                         "u",
                         "write",
                         "u",
                         "1\\0"});
    EXPECT_TRUE(has(out, "write u 2"));
    EXPECT_EQ(d.pushes(), 3);
    ASSERT_EQ(d.frame_count(), 2);
    auto f0 = d.frame(0);
    EXPECT_EQ(f0.width, 240);
    EXPECT_EQ(f0.height, 180);
    EXPECT_EQ(f0.push, 1u);
    EXPECT_EQ(f0.at(0, 0), mpsim::rgb(0, 255, 0));
    EXPECT_EQ(f0.at(239, 1), mpsim::rgb(255, 0, 0));
    EXPECT_EQ(f0.at(5, 179), mpsim::rgb(255, 0, 0));
    auto f1 = d.frame(1);
    EXPECT_EQ(f1.push, 3u);
    EXPECT_GT(f1.time_ns, f0.time_ns);
    EXPECT_EQ(f1.at(7, 61), mpsim::rgb(0, 0, 255));
    EXPECT_EQ(f1.at(7, 179), mpsim::rgb(255, 0, 0));  // row 218: rows from 219 on are not shown
    EXPECT_EQ(d.current_frame()->push, 3u);

    auto pushes = d.journal("push", "/sys/kernel/screen_update/update");
    ASSERT_EQ(pushes.size(), 3u);
    EXPECT_EQ(pushes[0].arg, "0");
    EXPECT_EQ(pushes[1].arg, "0");
    EXPECT_EQ(pushes[2].arg, "1");
    EXPECT_EQ(pushes[2].result, "3");
    auto writes = d.journal("write", "/sys/kernel/screen_update/update");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{'1', 0}));
}

TEST(SimPanel, WindowIsClippedToASmallerFramebuffer) {
    mpsim::Options o;
    o.fb_width = 200;
    o.fb_height = 100;
    Device d(o);
    auto out = probe(d, {"fbinfo", "fbfill", "0", "100", "336699", "fbfill", "99", "100", "ffffff",
                         "put", "/sys/kernel/screen_update/update", "1\\0"});
    EXPECT_TRUE(has(out, "fbinfo 200 100 200 100 32"));
    ASSERT_EQ(d.frame_count(), 1);
    auto f = d.frame(0);
    EXPECT_EQ(f.width, 200);
    EXPECT_EQ(f.height, 61);
    EXPECT_EQ(f.at(199, 0), mpsim::rgb(0x33, 0x66, 0x99));
    EXPECT_EQ(f.at(0, 60), mpsim::rgb(255, 255, 255));
}

TEST(SimRedirect, OnlyDevicePathsAreRedirected) {
    Device d;
    d.write_file("/etc/version", "v9.9-sim\n");
    std::string outside = d.root() + "/outside.txt";  // an ordinary path, not a device one
    auto out =
        probe(d, {"get", "/etc/version", "put", outside, "x", "stat", "/dev/null", "stat",
                  "/mnt/UDISK", "access", "/mnt/UDISK/.lcdporch", "tget", "/etc/version", "fput",
                  "/mnt/UDISK/.lcdporch", "42\\0", "fget", "/sys/devices/soc/1c23400.battery/adc"});
    EXPECT_TRUE(has(out, "get /etc/version v9.9-sim\\n"));
    EXPECT_TRUE(has(out, "tget /etc/version v9.9-sim\\n"));
    EXPECT_TRUE(
        has(out, "put " + outside + " open ENOENT"));  // not created: opened without O_CREAT
    EXPECT_TRUE(has(out, "stat /dev/null chr 0"));
    EXPECT_TRUE(has(out, "access /mnt/UDISK/.lcdporch ENOENT"));
    EXPECT_TRUE(has(out, "fput /mnt/UDISK/.lcdporch 3 ok"));
    EXPECT_TRUE(has(out, "fget /sys/devices/soc/1c23400.battery/adc 80\\n fileno 80\\n"));
    EXPECT_EQ(d.read_file("/mnt/UDISK/.lcdporch"), std::string("42\0", 3));
    EXPECT_EQ(d.journal("write", "/mnt/UDISK/.lcdporch").size(), 1u);

    // Without MPSIM_ROOT the library stays out of the way.
    out = probe(d, {"get", "/etc/version"}, MPSIM_PROBE, {"MPSIM_ROOT="});
    EXPECT_FALSE(has(out, "get /etc/version v9.9-sim\\n"));
}

TEST(SimRedirect, FortifiedLargeFileProgramIsRedirectedToo) {
    // The fortified probe really goes through the checked entry points.
    FILE *p = popen("nm -D --undefined-only '" MPSIM_PROBE_FORTIFY "'", "r");
    ASSERT_NE(p, nullptr);
    std::string syms;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr)
        syms += buf;
    pclose(p);
    for (const char *sym : {"__read_chk", "__poll_chk", "__open64_2", "fopen64"})
        EXPECT_NE(syms.find(sym), std::string::npos) << sym << "\n" << syms;

    Device d;
    d.write_file("/etc/version", "fortified\n");
    auto out = probe(d, {"get",  "/etc/version",
                         "fget", "/etc/version",
                         "put",  "/sys/class/gpio/export",
                         "105",  "open",
                         "v",    "/sys/class/gpio/gpio105/value",
                         "r",    "poll",
                         "v",    "pri",
                         "0",    "read",
                         "v",    "10",
                         "te",   "1"},
                     MPSIM_PROBE_FORTIFY);
    EXPECT_TRUE(has(out, "get /etc/version fortified\\n"));
    EXPECT_TRUE(has(out, "fget /etc/version fortified\\n fileno fortified\\n"));
    EXPECT_TRUE(has(out, "put /sys/class/gpio/export 3"));
    EXPECT_EQ(fields(starting(out, "poll v")).at(2), "1");
    EXPECT_TRUE(has(out, "read v 0\\n"));
    auto te = fields(starting(out, "te "));
    ASSERT_EQ(te.size(), 6u) << d.stdout_text();
    EXPECT_NEAR(std::stod(te[1]), 60.0, 0.3);
}

TEST(SimRedirect, ShellChildrenOfSystemRunOnTheDevice) {
    Device d;
    d.set_volume_raw(1234);
    auto out = probe(d, {"system", "echo 1 > /sys/class/gpio/export", "system",
                         "cat /sys/devices/soc/1c24800.tp_adc/value", "system", "exit 3"});
    EXPECT_TRUE(has(out, "1234"));
    EXPECT_TRUE(has(out, "system 0"));
    EXPECT_TRUE(has(out, "system 3"));
    EXPECT_TRUE(d.gpio_exported(1));
    auto w = d.journal("write", "/sys/class/gpio/export");
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(bytes_of(w[0]), "1\n");
    EXPECT_NE(w[0].pid, d.pid());  // written by the shell
}

TEST(SimHarness, DeviceAtBootAndProgramControl) {
    Device d;
    EXPECT_EQ(d.read_file("/home/.asoundrc"), "pcm_type.mpsim { lib \"" + mpsim::alsa_plugin() +
                                                  "\" }\npcm.!default { type mpsim }\n");
    EXPECT_EQ(d.read_file("/dev/fb0")->size(), 240u * 240 * 4);
    EXPECT_FALSE(d.read_file("/etc/version"));
    EXPECT_FALSE(d.read_file("/mnt/UDISK/.lcdporch"));
    EXPECT_TRUE(d.keys_bound());
    EXPECT_EQ(d.gpio_level(133), 1);
    EXPECT_EQ(d.gpio_level(1), 1);
    EXPECT_EQ(d.porch(), 24);
    EXPECT_EQ(mpsim::key_gpio(Key::Start), 139u);
    EXPECT_EQ(mpsim::key_from_name("RIGHT"), Key::Right);

    d.start({"/bin/sh", "-c", "echo out; echo err >&2; echo $HOME; exit 7"});
    auto st = d.wait_exit(kRunTimeout);
    ASSERT_TRUE(st);
    EXPECT_TRUE(st->exited);
    EXPECT_EQ(st->code, 7);
    EXPECT_EQ(d.stdout_text(), "out\n" + d.root() + "/home\n");
    EXPECT_EQ(d.stderr_text(), "err\n");

    d.start({"/bin/sleep", "60"});
    EXPECT_TRUE(d.running());
    EXPECT_FALSE(d.wait_exit(20ms));
    d.kill_program();
    EXPECT_FALSE(d.running());

    std::string root = d.root();
    {
        Device gone;
        root = gone.root();
        gone.start({"/bin/sleep", "60"});
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(SimBuild, ProgramIsDynamicallyLinkedAndLibraryIsPlain) {
    auto needed = [](const std::string &file) {
        FILE *p = popen(("readelf -d '" + file + "'").c_str(), "r");
        std::string out;
        char buf[512];
        while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr)
            out += buf;
        if (p != nullptr)
            pclose(p);
        return out;
    };
    // LD_PRELOAD reaches only a dynamically linked program.
    std::string prog = needed(mpsim::mp_test_binary());
    EXPECT_NE(prog.find("(NEEDED)"), std::string::npos) << prog;
    EXPECT_NE(prog.find("libc.so"), std::string::npos) << prog;

    std::string lib = mpsim::preload_library();
    auto at = lib.find("$LIB");
    if (at != std::string::npos)
        lib.replace(at, 4, std::string("lib/") + MPSIM_TEST_MULTIARCH);
    std::string dyn = needed(lib);
    EXPECT_NE(dyn.find("(NEEDED)"), std::string::npos) << lib;
    EXPECT_EQ(dyn.find("libstdc++"), std::string::npos) << dyn;
    EXPECT_EQ(dyn.find("libasan"), std::string::npos) << dyn;
    EXPECT_EQ(dyn.find("libtsan"), std::string::npos) << dyn;
}

// Start-up, entry window and hand-off of the real program on the simulated
// device, and the device layer's bytes as the hardware receives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mpsim/harness.h"

#ifndef MP_DEVICE_PROBE
#error "MP_DEVICE_PROBE must name the device probe program"
#endif

namespace {

using mpsim::Device;
using mpsim::JournalEntry;
using mpsim::Key;
using namespace std::chrono_literals;

constexpr auto kExit = 20s;  // generous: sanitizers and emulation are slow

std::string bytes(const JournalEntry &e) {
    return {e.bytes.begin(), e.bytes.end()};
}

std::vector<std::string> writes_to(const Device &dev, const std::string &path) {
    std::vector<std::string> out;
    for (const auto &e : dev.journal("write", path))
        out.push_back(bytes(e));
    return out;
}

// The finish script leaves its trace on the data partition, where the
// journal time-stamps it.
const std::string kFinish = "echo ran > /mnt/UDISK/finish-trace";

void run_to_exit(Device &dev, const std::string &app = "/tmp", const std::string &fin = kFinish) {
    dev.start_mp_test(app, fin);
    auto st = dev.wait_exit(kExit);
    ASSERT_TRUE(st.has_value()) << "mp_test did not end; stdout:\n" << dev.stdout_text();
    ASSERT_TRUE(st->exited);
    ASSERT_EQ(st->code, 0) << dev.stderr_text();
}

size_t index_of(const std::vector<JournalEntry> &j, const std::string &op, const std::string &path,
                const std::string &data = "", size_t from = 0) {
    for (size_t i = from; i < j.size(); i++)
        if (j[i].op == op && j[i].path == path &&
            (data.empty() || std::string(j[i].bytes.begin(), j[i].bytes.end()) == data))
            return i;
    return j.size();
}

TEST(Startup, FewerThanTwoArgumentsPrintsUsageAndTouchesNothing) {
    for (int args = 0; args <= 1; args++) {
        Device dev;
        std::vector<std::string> argv{mpsim::mp_test_binary()};
        if (args == 1)
            argv.push_back("/tmp");
        dev.start(argv);
        auto st = dev.wait_exit(kExit);
        ASSERT_TRUE(st.has_value());
        EXPECT_TRUE(st->exited);
        EXPECT_EQ(st->code, 255);
        EXPECT_EQ(dev.stdout_text(), "arg[1]: Application directory\narg[2]: Finish script\n");
        EXPECT_TRUE(dev.journal().empty()) << "first entry: " << dev.journal().front().path;
    }
}

TEST(Startup, OrdinaryBootPreparesEveryDeviceAndHandsOff) {
    Device dev;
    run_to_exit(dev);
    EXPECT_EQ(dev.stdout_text(),
              "--------------------\nMP test verion: v1.7\n--------------------\n");

    const auto j = dev.journal();
    // The preparation, in order.
    size_t at = index_of(j, "write", "/sys/kernel/screen_update/lcdporch", std::string("24\0", 3));
    ASSERT_LT(at, j.size()) << "default porch not applied";
    at = index_of(j, "write", "/sys/class/pwm/pwmchip0/export", "0", at);
    ASSERT_LT(at, j.size()) << "PWM not exported after the porch";
    at = index_of(j, "write", "/sys/class/gpio/export", "1", at);
    at = index_of(j, "write", "/sys/class/gpio/gpio1/direction", "in", at);
    at = index_of(j, "write", "/sys/class/gpio/export", "132", at);
    at = index_of(j, "write", "/sys/class/gpio/gpio132/direction", "in", at);
    ASSERT_LT(at, j.size()) << "detect GPIOs not exported in order";
    at = index_of(j, "write", "/sys/bus/platform/drivers/gpio-keys-polled/unbind", "gpio-keys.7",
                  at);
    ASSERT_LT(at, j.size()) << "keys not taken from the driver";
    for (const char *gpio : {"133", "135", "134", "136", "139", "138", "137"}) {
        at = index_of(j, "write", "/sys/class/gpio/export", gpio, at);
        ASSERT_LT(at, j.size()) << "key GPIO " << gpio << " not exported in order";
        at = index_of(j, "write", std::string("/sys/class/gpio/gpio") + gpio + "/direction", "in",
                      at);
        ASSERT_LT(at, j.size());
    }
    size_t fb = index_of(j, "open", "/dev/fb0", "", at);
    ASSERT_LT(fb, j.size()) << "framebuffer not opened after the keys";
    at = fb;
    for (const char *h :
         {"/sys/kernel/screen_update/update", "/sys/devices/soc/1c24800.tp_adc/value",
          "/sys/devices/soc/1c23400.battery/adc", "/sys/class/gpio/gpio1/value",
          "/sys/class/gpio/gpio132/value", "/sys/class/gpio/gpio133/value",
          "/sys/class/gpio/gpio136/value", "/sys/class/gpio/gpio135/value",
          "/sys/class/gpio/gpio134/value", "/sys/class/gpio/gpio139/value",
          "/sys/class/gpio/gpio138/value", "/sys/class/gpio/gpio137/value"}) {
        at = index_of(j, "open", h, "", at);
        ASSERT_LT(at, j.size()) << "long-lived handle " << h << " not opened in order";
        EXPECT_TRUE(j[at].ok()) << h;
    }
    const size_t handles_done = at;

    // The hand-off: keys given back in the same order, driver bound, then the script.
    size_t give = index_of(j, "write", "/sys/class/gpio/unexport", "133", at);
    ASSERT_LT(give, j.size());
    at = give;
    for (const char *gpio : {"133", "135", "134", "136", "139", "138", "137"}) {
        at = index_of(j, "write", "/sys/class/gpio/unexport", gpio, at);
        ASSERT_LT(at, j.size()) << "key GPIO " << gpio << " not unexported in order";
    }
    at = index_of(j, "write", "/sys/bus/platform/drivers/gpio-keys-polled/bind", "gpio-keys.7", at);
    ASSERT_LT(at, j.size()) << "keys not given back to the driver";
    size_t script = index_of(j, "open", "/mnt/UDISK/finish-trace", "", at);
    ASSERT_LT(script, j.size()) << "finish script did not run after the give-back";

    // The entry window closes within a second of the handles being ready.
    EXPECT_LT(j[give].time_ns - j[handles_done].time_ns, 1'300'000'000ull);
    EXPECT_TRUE(dev.keys_bound());
    for (unsigned g : {133u, 134u, 135u, 136u, 137u, 138u, 139u})
        EXPECT_FALSE(dev.gpio_exported(g)) << g;
    EXPECT_EQ(dev.frame_count(), 0) << "an ordinary boot draws nothing";
    // The hand-off leaves the backlight, PWM and detect lines as they were.
    EXPECT_TRUE(dev.gpio_exported(1));
    EXPECT_TRUE(dev.gpio_exported(132));
    EXPECT_TRUE(
        writes_to(dev, "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle").empty());
}

TEST(Startup, StoredPorchIsAppliedAsThreeBytes) {
    struct Case {
        std::string file;  // porch file bytes; "-" for no file
        std::string sent;  // bytes written to lcdporch
    };
    const std::vector<Case> cases = {
        {std::string("24\0", 3), std::string("24\0", 3)},
        {std::string("-5\0", 3), std::string("24\0", 3)},  // below 0: no porch stored
        {"1234", "123"},
        {"", std::string("0\0\0", 3)},
        {"7", std::string("7\0\0", 3)},
        {"-", std::string("24\0", 3)},
    };
    for (const auto &c : cases) {
        Device dev;
        if (c.file != "-")
            dev.write_file("/mnt/UDISK/.lcdporch", c.file);
        run_to_exit(dev);
        auto w = writes_to(dev, "/sys/kernel/screen_update/lcdporch");
        ASSERT_EQ(w.size(), 1u) << "porch file " << c.file;
        EXPECT_EQ(w[0], c.sent) << "porch file " << c.file;
        // Reading never changes the file, and a missing file is not created.
        EXPECT_EQ(dev.read_file("/mnt/UDISK/.lcdporch").value_or("-"), c.file);
    }
}

TEST(Startup, LongArgumentsAreUsedWhole) {
    Device dev;
    std::string app = dev.root() + "/" + std::string(120, 'a');
    ASSERT_EQ(system(("mkdir -p " + app).c_str()), 0);
    std::string script = "echo " + std::string(300, 'x') + " > /mnt/UDISK/finish-trace";
    run_to_exit(dev, app, script);
    auto trace = dev.read_file("/mnt/UDISK/finish-trace");
    ASSERT_TRUE(trace.has_value()) << "the finish script did not run";
    EXPECT_EQ(*trace, std::string(300, 'x') + "\n");
}

TEST(EntryWindow, CombinationHeldFromPowerOnIsRecognised) {
    // RIGHT, START and B at full volume: the information screen is drawn.
    Device dev;
    dev.set_volume_percent(100);
    for (Key k : {Key::Right, Key::Start, Key::B})
        dev.set_key(k, true);
    dev.start_mp_test("/tmp", kFinish);
    EXPECT_TRUE(dev.wait_pushes(1, 10s)) << "no information screen";
    dev.kill_program();

    // The same keys at 99 percent: no entry, the hand-off follows.
    Device dev2;
    dev2.set_volume_percent(99);
    for (Key k : {Key::Right, Key::Start, Key::B})
        dev2.set_key(k, true);
    run_to_exit(dev2);
    EXPECT_EQ(dev2.pushes(), 0);
}

TEST(EntryWindow, PorchAdjustCombinationAtZeroVolume) {
    Device dev;
    dev.set_volume_percent(0);
    for (Key k : {Key::Left, Key::Start, Key::B})
        dev.set_key(k, true);
    dev.start_mp_test("/tmp", kFinish);
    EXPECT_TRUE(dev.wait_pushes(1, 10s)) << "no information screen";
    dev.kill_program();
}

// ---- device layer operations, one probe run each --------------------------

struct Probe {
    Device dev;
    std::string out;
    void run(const std::vector<std::string> &ops) {
        std::vector<std::string> argv{MP_DEVICE_PROBE};
        argv.insert(argv.end(), ops.begin(), ops.end());
        dev.start(argv);
        auto st = dev.wait_exit(kExit);
        ASSERT_TRUE(st.has_value());
        ASSERT_EQ(st->code, 0) << dev.stderr_text();
        out = dev.stdout_text();
    }
};

TEST(DeviceLayer, GpioExportBytesAndResults) {
    Probe p;
    p.run({"export", "128", "1", "1", "export", "1", "0", "0", "export", "128", "1", "1"});
    EXPECT_EQ(p.out, "export=0\nexport=0\nexport=-1\n");
    EXPECT_EQ(writes_to(p.dev, "/sys/class/gpio/export"),
              (std::vector<std::string>{"128", "1", "128"}));
    EXPECT_EQ(writes_to(p.dev, "/sys/class/gpio/gpio128/direction"),
              (std::vector<std::string>{"out"}))
        << "a refused export must not touch the direction again";
    EXPECT_EQ(writes_to(p.dev, "/sys/class/gpio/gpio128/value"), (std::vector<std::string>{"1"}));
    EXPECT_EQ(writes_to(p.dev, "/sys/class/gpio/gpio1/direction"),
              (std::vector<std::string>{"in"}));
    EXPECT_EQ(p.dev.gpio_level(128), 1);
}

TEST(DeviceLayer, KeysStayWithTheDriverUntilUnbound) {
    Probe p;
    p.run({"export", "133", "0", "0", "keys-take", "unexport", "133", "unexport", "133",
           "keys-give"});
    EXPECT_EQ(p.out, "export=-1\nunexport=0\nunexport=-1\n");
    EXPECT_TRUE(p.dev.keys_bound());
    EXPECT_EQ(writes_to(p.dev, "/sys/bus/platform/drivers/gpio-keys-polled/unbind"),
              (std::vector<std::string>{"gpio-keys.7"}));
    EXPECT_EQ(writes_to(p.dev, "/sys/bus/platform/drivers/gpio-keys-polled/bind"),
              (std::vector<std::string>{"gpio-keys.7"}));
}

TEST(DeviceLayer, BacklightPorchAndPwmBytes) {
    Probe p;
    p.run({"pwm", "bright", "100", "bright", "0", "bright", "37", "porch", "24", "porch", "100",
           "porch", "7", "porch", "-5"});
    EXPECT_EQ(p.out, "pwm=0\n");
    const std::string duty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
    EXPECT_EQ(writes_to(p.dev, duty),
              (std::vector<std::string>{std::string("80000\0\0\0\0\0", 10),
                                        std::string("0\0\0\0\0\0\0\0\0\0", 10),
                                        std::string("29600\0\0\0\0\0", 10)}));
    EXPECT_EQ(writes_to(p.dev, "/sys/kernel/screen_update/lcdporch"),
              (std::vector<std::string>{std::string("24\0", 3), "100", std::string("7\0\0", 3),
                                        std::string("-5\0", 3)}));
    EXPECT_EQ(p.dev.porch(), -5);
}

TEST(DeviceLayer, FailedWritesAndOpensAreReportedWithThePath) {
    Probe p;
    const std::string duty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
    // No PWM export: the duty file does not exist yet.
    p.dev.refuse_writes("/sys/class/gpio/export", EIO);
    p.run({"bright", "50", "export", "128", "1", "1"});
    EXPECT_EQ(p.out, "open " + duty + " failed\nexport=-1\n");
    EXPECT_TRUE(p.dev.journal("open", "/sys/class/gpio/gpio128/direction").empty());
}

TEST(DeviceLayer, RefusedDutyWriteIsReported) {
    Probe p;
    const std::string duty = "/sys/devices/soc/1c21000.pwm/pwm/pwmchip0/pwm0/duty_cycle";
    p.dev.refuse_writes(duty, EINVAL);
    p.run({"pwm", "bright", "50"});
    EXPECT_EQ(p.out, "pwm=0\nwrite " + duty + " failed\n");
}

TEST(DeviceLayer, FramebufferGeometry) {
    mpsim::Options o;
    o.fb_width = 320;
    o.fb_height = 260;
    Probe p{Device(o), ""};
    p.run({"fb"});
    EXPECT_EQ(p.out, "fb=320x260 bpp 32 mapped 1\n");
}

}  // namespace

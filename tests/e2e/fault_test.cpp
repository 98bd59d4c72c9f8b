// Device faults end to end: whatever is broken on a device, an ordinary boot
// still reaches the normal application with its keys, the factory entry and
// the factory run still end in the hand-off, and the porch file is only ever
// changed by a store the flow makes. Also: a stop signal at any point after
// the key take-over gives the keys back before the program ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mp_check.h"
#include "mpsim/harness.h"
#include "screen_check.h"

namespace {

using mpsim::Device;
using mpsim::Key;
using mpsim::Ms;
using namespace std::chrono_literals;

constexpr Ms kLong = 60s;  // generous: sanitizers and emulation are slow
// Far longer than the scanner's two samples 15 ms apart.
constexpr Ms kPress = 300ms;
constexpr const char *kPorchFile = "/mnt/UDISK/.lcdporch";
constexpr const char *kBind = "/sys/bus/platform/drivers/gpio-keys-polled/bind";
constexpr const char *kUnexport = "/sys/class/gpio/unexport";
constexpr const char *kDefaultTrace = "/mnt/UDISK/finish-trace";
const unsigned kKeyGpios[] = {133, 135, 134, 136, 139, 138, 137};

enum class Flow {
    Boot,     // no key held: straight to the hand-off
    Entry,    // RIGHT+START+B at full volume, the information screen, a tap to leave
    FullRun,  // the entry, A+B, colour and key tests, both screens, A+B to end
};

struct Fault {
    const char *name = "";
    std::function<void(Device &)> inject = [](Device &) {};  // before the program starts
    std::vector<Flow> flows{};
    int fb_height = 240;
    bool entry_refused = false;         // the entry combination cannot be seen
    std::string finish{};               // finish script (default: leaves a trace)
    std::string trace = kDefaultTrace;  // what the finish script leaves, "" for nothing
    // What the flow must show besides the common checks.
    std::function<void(Device &, Flow)> check = nullptr;
};

std::string text(const mpsim::JournalEntry &e) {
    return {e.bytes.begin(), e.bytes.end()};
}

size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

// Waits for n pushes of the panel; every flow's pushes are the same whether
// or not a framebuffer is there to capture them.
void wait_push(Device &dev, int n) {
    ASSERT_TRUE(dev.wait_pushes(n, kLong))
        << "stuck at push " << dev.pushes() << " of " << n << "\n"
        << dev.stdout_text();
}

size_t duty_opens(const Device &dev) {
    return dev.journal("open", mptest::kDuty).size();
}

void power_on_with_entry_keys(Device &dev, const Fault &f) {
    mptest::press(dev, {Key::Right, Key::Start, Key::B});
    dev.start_mp_test("/mnt/app", f.finish);
}

// The information screen ends at the release of a key seen held after its
// measurement; a tap that falls inside the measurement is not seen, so tap
// until the program hands off.
void leave_information_screen(Device &dev) {
    const auto give_up = std::chrono::steady_clock::now() + kLong;
    while (std::chrono::steady_clock::now() < give_up) {
        mptest::tap(dev, {Key::Down});
        if (dev.wait_until([&] { return !dev.running(); }, 2s))
            return;
    }
}

void run_flow(Device &dev, const Fault &f, Flow flow) {
    using mptest::tap;
    if (flow == Flow::Boot) {
        dev.start_mp_test("/mnt/app", f.finish);
        return;
    }
    power_on_with_entry_keys(dev, f);
    if (f.entry_refused)
        return;
    // The information screen reads the version files first.
    ASSERT_TRUE(dev.wait_journal("open", "/etc/version", kLong)) << "no information screen";
    dev.release_all_keys();
    if (flow == Flow::Entry) {
        leave_information_screen(dev);
        return;
    }
    // Two pushes of the first draw, two of "Waiting..", two of the result,
    // then the white window of the colour test.
    wait_push(dev, 3);
    mptest::press(dev, {Key::A, Key::B});
    wait_push(dev, 7);
    mptest::release(dev, {Key::A, Key::B});
    mptest::rest();
    // Colour test, then the key test's prompts, each stage made once the key
    // is released: black (push 8), the colour image (pushed twice, 9 and
    // 10), then the DOWN, LEFT, UP and START prompts (11 to 14).
    const std::pair<Key, int> stages[] = {{Key::Down, 8},  {Key::Down, 10}, {Key::Down, 11},
                                          {Key::Down, 12}, {Key::Left, 13}, {Key::Up, 14}};
    for (const auto &[k, push] : stages) {
        mptest::press(dev, {k});
        std::this_thread::sleep_for(kPress);
        mptest::release(dev, {k});
        wait_push(dev, push);
    }
    // START passes the key test and starts the backlight sweep over the image.
    const size_t before = duty_opens(dev);
    tap(dev, {Key::Start});
    ASSERT_TRUE(dev.wait_until([&] { return duty_opens(dev) > before + 2; }, kLong))
        << "the backlight sweep did not start";
    // Any key: the status screen.
    const int push = dev.pushes();
    tap(dev, {Key::Up});
    wait_push(dev, push + 2);
    mptest::press(dev, {Key::A, Key::B});
}

// What every fault must leave: the program ended by itself with status 0, the
// keys back with their driver before the finish script ran, the porch file as
// the flow left it, no sanitizer report.
void expect_clean_hand_off(Device &dev, const Fault &f, const std::optional<std::string> &porch) {
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value()) << "hung; stdout:\n" << dev.stdout_text();
    EXPECT_TRUE(st->exited) << "killed by signal " << st->code << "\n" << dev.stderr_text();
    EXPECT_EQ(st->code, 0) << dev.stderr_text();

    const auto j = dev.journal();
    size_t bind = j.size();
    for (size_t i = 0; i < j.size(); i++)
        if (j[i].op == "write" && j[i].path == kBind && text(j[i]) == "gpio-keys.7")
            bind = i;
    ASSERT_LT(bind, j.size()) << "the keys were not given back to their driver";
    for (unsigned g : kKeyGpios) {
        const std::string n = std::to_string(g);
        bool exported = std::any_of(j.begin(), j.end(), [&](const mpsim::JournalEntry &e) {
            return e.op == "write" && e.path == "/sys/class/gpio/export" && text(e) == n && e.ok();
        });
        bool unexported = std::any_of(
            j.begin(), j.begin() + static_cast<long>(bind), [&](const mpsim::JournalEntry &e) {
                return e.op == "write" && e.path == kUnexport && text(e) == n && e.ok();
            });
        EXPECT_EQ(exported, unexported) << "key GPIO " << g << " not given back before the bind";
        EXPECT_FALSE(dev.gpio_exported(g)) << g;
    }
    EXPECT_TRUE(dev.keys_bound());
    if (!f.trace.empty()) {
        size_t ran = j.size();
        for (size_t i = 0; i < j.size() && ran == j.size(); i++)
            if (j[i].op == "open" && j[i].path == f.trace)
                ran = i;
        ASSERT_LT(ran, j.size()) << "the finish script did not run";
        EXPECT_GT(ran, bind) << "the finish script ran before the keys were back";
    }

    // A store is the write of the new file and its rename over the old one.
    const auto writes = dev.journal("write", std::string(kPorchFile) + ".tmp");
    bool renamed = false;
    for (const auto &e : dev.journal("rename", std::string(kPorchFile) + ".tmp"))
        renamed = renamed || e.ok();
    const auto stores = renamed ? writes : decltype(writes){};
    const auto now = dev.read_file(kPorchFile);
    if (stores.empty()) {
        EXPECT_EQ(now, porch) << "porch file changed without a store";
    } else {
        ASSERT_TRUE(now.has_value());
        EXPECT_EQ(now->substr(0, 3), text(stores.back())) << "porch file holds a torn store";
    }

    const std::string out = dev.stdout_text();
    EXPECT_EQ(out.rfind("--------------------\nMP test verion: v1.7\n", 0), 0u) << out;
    const std::string err = dev.stderr_text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
}

const char *flow_name(Flow f) {
    return f == Flow::Boot ? "ordinary boot" : f == Flow::Entry ? "factory entry" : "factory run";
}

void PrintTo(const Fault &f, std::ostream *os) {
    *os << f.name;
}

class DeviceFault : public ::testing::TestWithParam<Fault> {};

TEST_P(DeviceFault, EndsInTheHandOffWithTheKeysBack) {
    const Fault &f = GetParam();
    for (Flow flow : f.flows) {
        // Emulated, the factory run's stages are those the native run and
        // the sequence tests already cover; the faults meet the same code.
        if (flow == Flow::FullRun && !mpsim::emulator().empty())
            continue;
        SCOPED_TRACE(flow_name(flow));
        mpsim::Options opt;
        opt.fb_height = f.fb_height;
        Device dev(opt);
        dev.set_volume_percent(100);  // the factory entry needs full volume
        f.inject(dev);
        const auto porch = dev.read_file(kPorchFile);
        run_flow(dev, f, flow);
        if (HasFatalFailure())
            return;
        expect_clean_hand_off(dev, f, porch);
        if (f.check)
            f.check(dev, flow);
        if (HasFatalFailure())
            return;
    }
}

// The status screen shows what the given lines and battery reading mean.
std::function<void(Device &, Flow)> shows_status(int headphone, int usb, int battery) {
    return [=](Device &dev, Flow flow) {
        if (flow == Flow::FullRun) {
            EXPECT_GE(mptest::find_frame(dev, mptest::status_screen(headphone, usb, battery)), 0);
        }
    };
}

std::vector<Fault> faults() {
    const std::vector<Flow> all{Flow::Boot, Flow::Entry, Flow::FullRun};
    const std::vector<Flow> entry{Flow::Boot, Flow::Entry};
    const std::vector<Flow> boot{Flow::Boot};
    const std::string finish = std::string("echo ran > ") + kDefaultTrace;
    std::vector<Fault> v = {
        {.name = "FramebufferMissing",
         .inject = [](Device &d) { d.remove_framebuffer(); },
         .flows = all,
         .check =
             [](Device &dev, Flow flow) {
                 EXPECT_EQ(count_of(dev.stdout_text(), "open fb0 failed\n"), 2u);
                 if (flow == Flow::Boot) {
                     EXPECT_EQ(dev.stdout_text(),
                               "--------------------\nMP test verion: v1.7\n"
                               "--------------------\nopen fb0 failed\nopen fb0 failed\n");
                 }
                 EXPECT_EQ(dev.frame_count(), 0);
             }},
        {.name = "FramebufferSmallerThanTheWindow",
         .flows = all,
         .fb_height = 100,
         .check =
             [](Device &dev, Flow flow) {
                 if (flow == Flow::Boot)
                     return;
                 auto fr = dev.current_frame();
                 ASSERT_TRUE(fr.has_value());
                 EXPECT_EQ(fr->height, 100 - 39) << "the panel shows the rows that exist";
             }},
        {.name = "UnbindFileMissing",
         .inject =
             [](Device &d) { d.remove_file("/sys/bus/platform/drivers/gpio-keys-polled/unbind"); },
         .flows = entry,
         .entry_refused = true,
         .check =
             [](Device &dev, Flow) {
                 EXPECT_EQ(dev.pushes(), 0) << "no key can be seen";
                 for (const auto &e : dev.journal("write", "/sys/class/gpio/export"))
                     EXPECT_TRUE(text(e) == "1" || text(e) == "132") << "exported " << text(e);
             }},
        {.name = "OneKeyExportRefused",
         .inject = [](Device &d) { d.remove_gpio_line(133); },
         .flows = entry},
        {.name = "VolumeAdcMissing",
         .inject =
             [](Device &d) {
                 d.remove_file("/sys/devices/soc/1c24800.tp_adc/value");
                 d.set_volume_percent(0);  // would refuse the factory entry if it were read
             },
         .flows = all},
        {.name = "VolumeAdcAboveRange",
         .inject = [](Device &d) { d.set_volume_raw(99999); },
         .flows = entry,
         .entry_refused = true,
         .check = [](Device &dev, Flow) { EXPECT_EQ(dev.pushes(), 0) << "reads as volume 0"; }},
        {.name = "VolumeAdcBelowRange",
         .inject = [](Device &d) { d.set_volume_raw(-7); },
         .flows = entry},
        {.name = "BatteryAdcMissing",
         .inject =
             [](Device &d) {
                 d.remove_file("/sys/devices/soc/1c23400.battery/adc");
                 d.set_headphone(0);
                 d.set_usb(0);
             },
         .flows = all,
         .check = shows_status(0, 0, 0)},
        {.name = "DetectGpiosMissing",
         .inject =
             [](Device &d) {
                 d.remove_gpio_line(1);
                 d.remove_gpio_line(132);
                 d.set_headphone(0);
                 d.set_usb(0);
                 d.set_battery_raw(80);
             },
         .flows = all,
         .check = shows_status(1, 1, 80)},
        {.name = "PwmChannelMissing",
         .inject = [](Device &d) { d.remove_file("/sys/class/pwm/pwmchip0/export"); },
         .flows = all,
         .check =
             [](Device &dev, Flow flow) {
                 // Every backlight write says so; an ordinary boot makes none.
                 const std::string line = std::string("open ") + mptest::kDuty + " failed\n";
                 EXPECT_EQ(dev.stdout_text().find(line) != std::string::npos, flow != Flow::Boot);
             }},
        {.name = "PanelUpdateFileMissing",
         .inject = [](Device &d) { d.remove_file("/sys/kernel/screen_update/update"); },
         .flows = entry,
         .check = [](Device &dev, Flow) { EXPECT_EQ(dev.pushes(), 0); }},
        {.name = "TeLineDead",
         .inject = [](Device &d) { d.stop_te(true); },
         .flows = all,
         .check =
             [](Device &dev, Flow flow) {
                 if (flow == Flow::Boot)
                     return;
                 bool shown = false;
                 for (const auto &fr : dev.frames())
                     shown = shown || e2e::field_shows(fr, 152, "0.00 FPS", e2e::kRed);
                 EXPECT_TRUE(shown) << "a dead TE line shows as 0.00 FPS in red";
             }},
        {.name = "SoundDeviceMissing",
         .inject = [](Device &d) { d.fail_sound_open(ENODEV); },
         .flows = all,
         .check = [](Device &dev, Flow) { EXPECT_EQ(dev.recording_count(), 0); }},
        {.name = "SoundUnderrun",
         .inject = [](Device &d) { d.request_underruns(3); },
         .flows = all,
         .check =
             [](Device &dev, Flow flow) {
                 if (flow != Flow::FullRun)
                     return;
                 EXPECT_EQ(dev.underruns(), 3);
                 EXPECT_GE(dev.recording_count(), 1);
                 EXPECT_GT(dev.state().frames_played.load(), 4 * 256) << "playback went on";
             }},
        {.name = "PorchFileUnreadable",
         .inject =
             [](Device &d) {
                 d.remove_file(kPorchFile);
                 d.write_file(std::string(kPorchFile) + "/x", "");  // a folder in its place
             },
         .flows = entry,
         .check = [](Device &dev,
                     Flow) { EXPECT_EQ(dev.porch(), 24) << "the default porch applies"; }},
        {.name = "PorchFileEmpty",
         .inject = [](Device &d) { d.write_file(kPorchFile, ""); },
         .flows = boot,
         .check =
             [](Device &dev, Flow) {
                 auto w = dev.journal("write", "/sys/kernel/screen_update/lcdporch");
                 ASSERT_FALSE(w.empty());
                 EXPECT_EQ(text(w.front()), std::string("0\0\0", 3));
             }},
        {.name = "PorchFileGarbage",
         .inject = [](Device &d) { d.write_file(kPorchFile, "\xff\x01z\n\x80"); },
         .flows = boot,
         .check = [](Device &dev, Flow) { EXPECT_EQ(dev.porch(), 0); }},
        {.name = "PorchFolderReadOnly",
         .inject =
             [](Device &d) {
                 d.remove_file(kPorchFile);
                 d.make_unwritable("/mnt/UDISK");
             },
         .flows = entry,
         .finish = "echo ran > /sys/finish-trace",
         .trace = "/sys/finish-trace",
         .check =
             [](Device &dev, Flow) {
                 EXPECT_FALSE(dev.read_file(kPorchFile).has_value());
                 EXPECT_TRUE(dev.journal("rename", std::string(kPorchFile) + ".tmp").empty());
             }},
        {.name = "VersionFilesMissing",
         .inject = [](Device &d) { d.remove_file("/etc/version"); },
         .flows = entry,
         .check =
             [](Device &dev, Flow flow) {
                 if (flow == Flow::Entry) {
                     EXPECT_TRUE(e2e::field_shows(dev.frame(0), 80, "N/A", e2e::kYellow));
                 }
             }},
        {.name = "FinishScriptFails", .flows = boot, .finish = finish + "; exit 3"},
        {.name = "FinishScriptMissing",
         .flows = boot,
         .finish = "/mnt/UDISK/no-such-script",
         .trace = ""},
    };
    for (Fault &f : v)
        if (f.finish.empty())
            f.finish = finish;
    return v;
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceFault, ::testing::ValuesIn(faults()),
                         [](const ::testing::TestParamInfo<Fault> &p) {
                             return std::string(p.param.name);
                         });

// ---- stop signals --------------------------------------------------------------

// The program stopped by `sig` once `reached` holds: it ends by that signal,
// with the keys given back after the signal and no normal application started.
void expect_keys_back_after_signal(Device &dev, int sig, const std::function<bool()> &reached,
                                   const char *where) {
    SCOPED_TRACE(where);
    ASSERT_TRUE(dev.wait_until(reached, kLong)) << "never reached; pushes " << dev.pushes() << "\n"
                                                << dev.stdout_text() << dev.stderr_text();
    ASSERT_TRUE(dev.running());
    const uint64_t sent = dev.journal().back().time_ns;
    dev.send_signal(sig);
    auto st = dev.wait_exit(kLong);
    ASSERT_TRUE(st.has_value()) << "the program did not end";
    EXPECT_FALSE(st->exited);
    EXPECT_EQ(st->code, sig);
    bool bound_after = false;
    for (const auto &e : dev.journal("write", kBind))
        bound_after = bound_after || (e.time_ns >= sent && text(e) == "gpio-keys.7" && e.ok());
    EXPECT_TRUE(bound_after) << "\"gpio-keys.7\" not bound again";
    EXPECT_TRUE(dev.keys_bound());
    for (unsigned g : kKeyGpios)
        EXPECT_FALSE(dev.gpio_exported(g)) << g;
    EXPECT_FALSE(dev.read_file(kDefaultTrace).has_value()) << "the normal application started";
}

TEST(StopSignal, DuringTheEntryWindow) {
    for (int sig : {SIGTERM, SIGINT}) {
        Device dev;
        dev.hold_wall_clock(true);  // the window stays open until the clock moves
        dev.start_mp_test("/mnt/app", std::string("echo ran > ") + kDefaultTrace);
        expect_keys_back_after_signal(
            dev, sig, [&] { return dev.gpio_exported(137) && !dev.keys_bound(); },
            sig == SIGTERM ? "SIGTERM" : "SIGINT");
    }
}

TEST(StopSignal, OnTheInformationScreenAndInTheFactoryRun) {
    const Fault plain{"",  [](Device &) {}, {},
                      240, false,           std::string("echo ran > ") + kDefaultTrace};
    {
        Device dev;
        dev.set_volume_percent(100);
        power_on_with_entry_keys(dev, plain);
        // The first draw done, the screen waits for the entry keys' release.
        expect_keys_back_after_signal(
            dev, SIGTERM, [&] { return dev.pushes() >= 2; }, "information screen");
    }
    {
        Device dev;
        dev.set_volume_percent(100);
        power_on_with_entry_keys(dev, plain);
        ASSERT_TRUE(dev.wait_pushes(1, kLong));
        dev.release_all_keys();
        ASSERT_TRUE(dev.wait_pushes(3, kLong));
        mptest::press(dev, {Key::A, Key::B});
        expect_keys_back_after_signal(
            dev, SIGTERM, [&] { return dev.pushes() >= 7; }, "colour test");
    }
}

}  // namespace

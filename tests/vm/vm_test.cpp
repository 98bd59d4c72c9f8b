// The firmware on a real kernel: Debian's kernel in a virtual machine with
// the board module, booted by BusyBox init into the firmware's start script
// (scripts/test-vm builds the image and runs these).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../e2e/calibration_rule.h"
#include "mpsim/vm_device.h"

namespace {

using namespace mpsim;
using namespace std::chrono_literals;

constexpr const char *kAppDir = "/mnt/app";
constexpr const char *kFinish = "/mnt/app/start.sh";
constexpr const char *kPorchFile = "/mnt/UDISK/.lcdporch";
constexpr const char *kLcdPorch = "/sys/kernel/screen_update/lcdporch";

std::string image_kernel() {
    std::ifstream in(vm_image_folder() + "/kernel-version");
    std::string v;
    in >> v;
    return v;
}

std::string text(const std::vector<uint8_t> &b) {
    return std::string(b.begin(), b.end());
}

// An ordinary power-on: BusyBox init runs the start script, which starts the
// program with the image's arguments; no key is held, so the program gives
// the keys back to Debian's key driver and runs the finish script within the
// entry window.
TEST(VirtualDevice, OrdinaryBootHandsOffOnDebiansKernel) {
    VmDevice d;
    d.start_mp_test(kAppDir, kFinish);
    EXPECT_EQ(d.kernel_release(), image_kernel());
    auto st = d.wait_exit(60s);
    ASSERT_TRUE(st) << d.system_log();
    EXPECT_TRUE(st->exited);
    EXPECT_EQ(st->code, 0);
    std::printf("boot: %lld ms from power-on to the program's start\n",
                static_cast<long long>(d.boot_time().value_or(Ms(-1)).count()));

    // Nothing preloaded: no preload list, none in init's environment.
    EXPECT_FALSE(d.read_file("/etc/ld.so.preload"));
    EXPECT_EQ(d.read_file("/proc/1/environ").value_or("").find("LD_PRELOAD"), std::string::npos);
    EXPECT_NE(d.stdout_text().find("MP test verion: v1.7\n"), std::string::npos);

    // The keys went back to gpio-keys-polled after the last unexport, then
    // the finish script started the normal application; nothing was drawn.
    auto j = d.journal();
    size_t last_unexport = 0, bind = 0, finish = 0;
    for (size_t i = 0; i < j.size(); ++i) {
        if (j[i].op == "write" && j[i].path == "/sys/class/gpio/unexport" && j[i].ok())
            last_unexport = i;
        if (j[i].op == "write" && j[i].path == "/sys/bus/platform/drivers/gpio-keys-polled/bind")
            bind = i;
        if (j[i].op == "exec" && j[i].path == kFinish)
            finish = i;
    }
    ASSERT_GT(bind, 0u);
    EXPECT_EQ(j[bind].result, "11");
    EXPECT_LT(last_unexport, bind);
    EXPECT_LT(bind, finish);
    EXPECT_NE(d.stdout_text().find("normal application started\n"), std::string::npos);
    EXPECT_TRUE(d.keys_bound());
    for (unsigned g = 133; g <= 139; ++g)
        EXPECT_FALSE(d.gpio_exported(g)) << g;
    EXPECT_TRUE(d.journal("push", "").empty());
    EXPECT_EQ(d.porch(), 24);
}

// The machine is the device's kind and runs the program the firmware ships:
// the kernel says "armv7l" (a 32-bit ARM kernel), and the program in the
// image is the armel build, a 32-bit ARM EABI5 program. The finish script
// writes what the kernel says where the bench reads it.
TEST(VirtualDevice, ThirtyTwoBitArmKernelRunsTheArmelBuild) {
    VmDevice d;
    d.start_mp_test(kAppDir, "uname -m >/mnt/UDISK/machine");
    auto st = d.wait_exit(60s);
    ASSERT_TRUE(st) << d.system_log();
    EXPECT_EQ(st->code, 0);
    ASSERT_TRUE(d.wait_journal("open", "/mnt/UDISK/machine", 10s));
    std::optional<std::string> machine;
    for (int i = 0; i < 50 && machine.value_or("").empty(); ++i) {
        machine = d.read_file("/mnt/UDISK/machine");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(machine.value_or("(none)"), "armv7l\n");

    const auto program = d.read_file("/usr/bin/mp_test");
    ASSERT_TRUE(program);
    const std::string host_copy = d.root() + "/mp_test";
    std::ofstream(host_copy, std::ios::binary) << *program;
    std::string desc;
    if (FILE *f = popen(("file -b '" + host_copy + "'").c_str(), "r")) {
        char buf[512];
        while (fgets(buf, sizeof buf, f) != nullptr)
            desc += buf;
        pclose(f);
    }
    EXPECT_NE(desc.find("ELF 32-bit LSB"), std::string::npos) << desc;
    EXPECT_NE(desc.find("ARM, EABI5"), std::string::npos) << desc;
}

// Across 2038: the real-time clock (QEMU's -rtc base, the virt machine's
// PL031, counting the machine's own time) starts three seconds before
// 2038-01-19 03:14:08 UTC (2^31 seconds, the first a 32-bit time_t cannot
// hold), and the kernel sets the system clock from it at boot (hctosys:
// BusyBox's hwclock, 32-bit, is not asked to). A 32-bit kernel sets nothing
// from an RTC already past 2^31 - 1 (hctosys gives ERANGE), so the clock
// starts before it and runs across it: a start script of the test's, before
// the firmware's, waits for the RTC to pass it. The program then keeps its
// entry window for the rest of the second it started in and hands the keys
// back. The finish script, which the program starts, notes the program's
// start and its own in the machine's uptime, and the clock.
void ordinary_boot_from(const std::string &rtc_base) {
    VmOptions o;
    o.rtc_base = rtc_base;
    VmDevice d(o);
    // Sourced by the image's rcS (a ".sh" start script), for at most 10 s.
    d.write_file("/etc/init.d/S97past2038.sh",
                 "n=0\n"
                 "while [ \"$(cat /sys/class/rtc/rtc0/since_epoch)\" -lt 2147483648 ] && "
                 "[ $n -lt 100 ]; do\n"
                 "\tusleep 100000\n\tn=$((n + 1))\ndone\n");
    d.start_mp_test(kAppDir,
                    "cat /proc/$PPID/stat /proc/uptime /sys/class/rtc/rtc0/hctosys "
                    "/sys/class/rtc/rtc0/since_epoch >/mnt/UDISK/clock");
    auto st = d.wait_exit(60s);
    ASSERT_TRUE(st) << d.system_log();
    EXPECT_EQ(st->code, 0);
    EXPECT_NE(d.stdout_text().find("MP test verion: v1.7\n"), std::string::npos);
    EXPECT_TRUE(d.keys_bound());
    // Read until the script has written it all: not through the journal,
    // whose time stamps come from the machine's strace, a 32-bit-time
    // program that cannot tell the time past 2^31 seconds.
    std::string clock;
    for (int i = 0; i < 300 && std::count(clock.begin(), clock.end(), '\n') < 4; ++i) {
        clock = d.read_file("/mnt/UDISK/clock").value_or("");
        std::this_thread::sleep_for(100ms);
    }
    std::istringstream in(clock);
    std::string stat, uptime, hctosys, since_epoch;
    std::getline(in, stat);
    std::getline(in, uptime);
    std::getline(in, hctosys);
    std::getline(in, since_epoch);
    ASSERT_FALSE(since_epoch.empty()) << clock;
    ASSERT_NE(stat.find(") "), std::string::npos) << stat;
    // /proc/PID/stat after the name: field 22, the start in clock ticks (100 a second).
    std::istringstream fields(stat.substr(stat.find(") ") + 2));
    std::string field;
    for (int n = 3; n <= 22; ++n)
        fields >> field;
    const double started_s = std::stod(field) / 100.0;
    const double finish_s = std::stod(uptime);
    std::printf(
        "clock from %s: the finish script ran %.2f s after the program's start, "
        "at %s s since 1970\n",
        rtc_base.c_str(), finish_s - started_s, since_epoch.c_str());
    EXPECT_EQ(hctosys, "1");
    EXPECT_GE(std::stoll(since_epoch), 2147483648ll);
    // The window and the start around it: within the second and not two.
    EXPECT_GT(finish_s - started_s, 0.0);
    EXPECT_LT(finish_s - started_s, 2.0);
}

// The emulator this test powered on (its only child of that name).
pid_t emulator() {
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string pid, comm, state;
        pid_t parent = 0;
        if (stat >> pid >> comm >> state >> parent && parent == getpid() &&
            comm.find("qemu") != std::string::npos)
            return std::stoi(pid);
    }
    return -1;
}

// A wait's time-out is the machine's own time: the emulator stopped for two
// seconds of the host's early in a one-second wait, the wait goes on until
// the machine has lived its second.
TEST(VirtualDevice, AWaitLastsItsTimeOutOfTheMachinesOwnTime) {
    VmDevice d;
    d.start_mp_test(kAppDir, kFinish);
    auto uptime = [&] { return std::stod(d.read_file("/proc/uptime").value_or("0")); };
    const pid_t qemu = emulator();
    ASSERT_GT(qemu, 0);
    const double before = uptime();
    std::thread stopper([qemu] {
        std::this_thread::sleep_for(200ms);
        kill(qemu, SIGSTOP);
        std::this_thread::sleep_for(2s);
        kill(qemu, SIGCONT);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.wait_until([] { return false; }, 1s));
    const auto waited = std::chrono::steady_clock::now() - t0;
    stopper.join();
    EXPECT_GE(uptime() - before, 1.0);
    EXPECT_GE(waited, 2s);
}

TEST(VirtualDevice, OrdinaryBootAcrossTheYear2038Rollover) {
    ordinary_boot_from("2038-01-19T03:14:05");
}

// Power cut around a store of the porch: the program writes a file of its
// own, syncs it and renames it over the stored one, then runs "sync". The
// machine is killed at moments spread from before the store to after it;
// every boot that follows finds the old content or the new one, exactly, and
// the program applies it. Each boot is the porch-adjust entry (LEFT, START
// and B held, the wheel at 0), where RIGHT and START store the porch; the
// stored file is first made "024" (porch 24 in bytes the program never
// writes), and the store writes "24\0".
//
// The panel runs a little fast (60.9 frames per second at porch 24), so that
// edges lost under emulation leave the measured rate good and the program
// does not calibrate. Should it calibrate all the same, its stores count as
// new content too (whatever the program wrote to its file in that boot), and
// the next boot starts from the old content again. The machine's clock counts
// instructions: on a loaded host its seconds last longer than the host's, and
// the waits below allow for it.
class PorchCuts {
  public:
    PorchCuts(int first, int step, int cuts) : first_(first), step_(step), cuts_(cuts) {
        VmOptions o;
        o.te_clock = 20950;
        d_ = std::make_unique<VmDevice>(o);
        d_->write_file(kPorchFile, kOld);
    }

    // A reference store, then cuts first, first + step, ... of cuts_
    // moments, each found by the boot that follows.
    void run() {
        for (int i = first_ - step_; i < cuts_ + step_; i += step_) {
            const auto t0 = std::chrono::steady_clock::now();
            if (!boot_and_check(i))
                return;
            if (i >= cuts_)
                return;
            if (!store(i))
                return;
            std::printf(
                "cut %d: %lld ms\n", i,
                static_cast<long long>(
                    std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count()));
        }
    }

    std::vector<std::string> errors;
    std::map<std::string, int> landed;  // the last step of the store done before each cut

  private:
    static constexpr const char *kOld = "024";

    bool fail(const std::string &what) {
        errors.push_back(what + " (" + d_->root() + ")");
        return false;
    }

    // The disk as the cut left it (its journal replayed, as the kernel
    // replays it when it mounts the partition), then the boot that finds it.
    bool boot_and_check(int i) {
        const std::string where = "after the cut before " + std::to_string(i) + ": ";
        auto stored = d_->read_file(kPorchFile);
        // The store's own content is known: a cut can land after its write
        // reached the disk and before its journal line left the machine.
        if (!stored ||
            (*stored != kOld && *stored != std::string("24\0", 3) && written_.count(*stored) == 0))
            return fail(where + "the porch file holds \"" + stored.value_or("(none)") + "\"");
        written_.clear();
        // A calibration's porch would make the next boot calibrate again.
        if (std::atoi(stored->c_str()) != 24) {
            d_->write_file(kPorchFile, kOld);
            stored = kOld;
        }
        d_->set_key(Key::Left, true);
        d_->set_key(Key::Start, true);
        d_->set_key(Key::B, true);
        d_->set_volume_percent(0);
        d_->start_mp_test(kAppDir, kFinish);
        if (!d_->wait_journal("write", kLcdPorch, 90s))
            return fail(where + "no porch applied");
        const std::string applied = text(d_->journal("write", kLcdPorch).front().bytes);
        if (d_->read_file(kPorchFile) != stored || applied != std::string("24\0", 3))
            fail(where + "porch \"" + applied + "\" applied");
        return true;
    }

    bool store(int i) {
        d_->write_file(kPorchFile, kOld);
        if (!d_->wait_pushes(2, 90s))
            return fail("no information screen");
        d_->release_all_keys();
        // "Waiting..", then the measured rate.
        if (!d_->wait_pushes(6, 120s))
            return fail("no measured rate");
        std::this_thread::sleep_for(100ms);
        const auto press = std::chrono::steady_clock::now();
        const int64_t press_ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(press.time_since_epoch()).count();
        d_->set_key(Key::Right, true);
        d_->set_key(Key::Start, true);
        if (i < first_) {
            // The reference store, whole: from the tmp file's open to the
            // next push, the fields redrawn in yellow. The cuts are aimed on
            // the host's clock, so these are when the bench heard of them:
            // the journal's times are the machine's own, which a busy host
            // runs slower than its own.
            size_t seen = 0;
            while (to_ == 0 && std::chrono::steady_clock::now() < press + 10s) {
                const std::vector<JournalEntry> j = d_->journal();
                const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - press)
                                       .count();
                for (; seen < j.size(); ++seen) {
                    const JournalEntry &e = j[seen];
                    if (static_cast<int64_t>(e.time_ns) < press_ns)
                        continue;
                    if (e.op == "open" && e.path == kTmp && from_ == 0)
                        from_ = std::max<int64_t>(ms, 1);
                    else if (e.op == "push" && from_ != 0 && to_ == 0)
                        to_ = std::max(ms, from_ + 1);
                }
                std::this_thread::sleep_for(1ms);
            }
            if (to_ == 0)
                return fail("the reference store drew nothing");
            std::printf(
                "reference store: tmp file opened %lld ms, fields redrawn %lld ms after "
                "the keys\n",
                static_cast<long long>(from_), static_cast<long long>(to_));
            d_->power_cut();
            note_writes();
            return (from_ > 0 && from_ < to_) || fail("no reference store");
        }
        // From 40 ms before the store to 40 ms after it.
        const int64_t begin = from_ - 40;
        const int64_t at = begin + (to_ + 40 - begin) * i / (cuts_ - 1);
        std::this_thread::sleep_until(press + std::chrono::milliseconds(at));
        d_->power_cut();
        std::string last = "nothing of the store";
        for (const JournalEntry &e : d_->journal()) {
            if (static_cast<int64_t>(e.time_ns) < press_ns)
                continue;
            if (e.path.rfind("/mnt/UDISK/", 0) == 0)
                last = e.op + " " + e.path;
            else if (e.op == "exec" && text(e.bytes).find("sync") != std::string::npos)
                last = "\"sync\" started";
            else if (e.op == "push" && last != "nothing of the store")
                last = "the fields redrawn";
        }
        ++landed[last];
        note_writes();
        return true;
    }

    // What the program wrote to its tmp file in this boot: what a cut may
    // leave besides the old content.
    void note_writes() {
        for (const JournalEntry &e : d_->journal("write", kTmp))
            written_.insert(text(e.bytes));
    }

    static constexpr const char *kTmp = "/mnt/UDISK/.lcdporch.tmp";
    std::set<std::string> written_;
    std::unique_ptr<VmDevice> d_;
    int first_, step_, cuts_;
    int64_t from_ = 0, to_ = 0;
};

// Twenty moments, the even ones on one machine and the odd ones on another
// (scripts/test-vm runs the two tests side by side).
void power_cuts(int first) {
    PorchCuts c(first, 2, 20);
    c.run();
    int total = 0;
    std::printf("the last step of the store done before each cut:\n");
    for (const auto &[step, n] : c.landed) {
        std::printf("  %2d  %s\n", n, step.c_str());
        total += n;
    }
    for (const std::string &e : c.errors)
        ADD_FAILURE() << e;
    EXPECT_EQ(total, 10);
}

TEST(VirtualDevice, PowerCutsAtEvenMomentsAroundThePorchStoreLeaveTheOldOrTheNewPorch) {
    power_cuts(0);
}

TEST(VirtualDevice, PowerCutsAtOddMomentsAroundThePorchStoreLeaveTheOldOrTheNewPorch) {
    power_cuts(1);
}

}  // namespace

// The porch calibration on Debian's kernel, by the same rule as on the
// simulated device, against the rates the program measured.
TEST(VirtualDevice, StoredPorchAtAFastPanelCalibrates) {
    mpsim::VmDevice d;
    calibration::stored_porch_at_a_fast_panel(d, kAppDir, kFinish);
}

TEST(VirtualDevice, NoPorchFileAndASlowPanelCalibrates) {
    mpsim::VmDevice d;
    calibration::no_porch_file_and_a_slow_panel(d, kAppDir, kFinish);
}

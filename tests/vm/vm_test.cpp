// The firmware on a real kernel: Debian's kernel in a virtual machine with
// the board module, booted by BusyBox init into the firmware's start script
// (scripts/test-vm builds the image and runs these).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Power cut around a store of the porch: the program writes a file of its
// own, syncs it and renames it over the stored one, then runs "sync". The
// machine is killed at moments spread from before the store to after it;
// every boot that follows finds the old content or the new one, exactly, and
// the program applies it. Each boot is the porch-adjust entry (LEFT, START
// and B held, the wheel at 0), where RIGHT and START store the porch; the
// stored file is first made "024" (porch 24 in bytes the program never
// writes), and the store writes "24\0". Two machines share the cuts.
//
// The panel runs a little fast (60.9 frames per second at porch 24), so that
// edges lost under emulation leave the measured rate good and the program
// does not calibrate. Should it calibrate all the same, its stores count as
// new content too (whatever the program wrote to its file in that boot), and
// the next boot starts from the old content again.
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
        if (!d_->wait_journal("write", kLcdPorch, 30s))
            return fail(where + "no porch applied");
        const std::string applied = text(d_->journal("write", kLcdPorch).front().bytes);
        if (d_->read_file(kPorchFile) != stored || applied != std::string("24\0", 3))
            fail(where + "porch \"" + applied + "\" applied");
        return true;
    }

    bool store(int i) {
        d_->write_file(kPorchFile, kOld);
        if (!d_->wait_pushes(2, 30s))
            return fail("no information screen");
        d_->release_all_keys();
        // "Waiting..", then the measured rate.
        if (!d_->wait_pushes(6, 40s))
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

TEST(VirtualDevice, PowerCutsAroundThePorchStoreLeaveTheOldOrTheNewPorch) {
    const int cuts = 20;
    PorchCuts a(0, 2, cuts), b(1, 2, cuts);
    std::thread other([&] { b.run(); });
    a.run();
    other.join();
    std::map<std::string, int> landed = a.landed;
    for (const auto &[step, n] : b.landed)
        landed[step] += n;
    int total = 0;
    std::printf("the last step of the store done before each cut:\n");
    for (const auto &[step, n] : landed) {
        std::printf("  %2d  %s\n", n, step.c_str());
        total += n;
    }
    for (const std::string &e : a.errors)
        ADD_FAILURE() << e;
    for (const std::string &e : b.errors)
        ADD_FAILURE() << e;
    EXPECT_EQ(total, cuts);
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

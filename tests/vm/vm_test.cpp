// The firmware on a real kernel: Debian's kernel in a virtual machine with
// the board module, booted by BusyBox init into the firmware's start script
// (scripts/test-vm builds the image and runs these).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

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
// writes), and the store writes "24\0".
TEST(VirtualDevice, PowerCutsAroundThePorchStoreLeaveTheOldOrTheNewPorch) {
    const std::string old_bytes = "024";
    const std::string new_bytes = std::string("24\0", 3);
    const int cuts = 20;

    VmDevice d;
    d.write_file(kPorchFile, old_bytes);
    int64_t store_from = 0, store_to = 0;  // ms after the keys, from the reference store
    std::map<std::string, int> landed;     // last step of the store done before each cut

    for (int i = 0; i <= cuts + 1; ++i) {
        SCOPED_TRACE("boot " + std::to_string(i));
        d.set_key(Key::Left, true);
        d.set_key(Key::Start, true);
        d.set_key(Key::B, true);
        d.set_volume_percent(0);
        d.start_mp_test(kAppDir, kFinish);

        // What the cut left is what this boot finds and applies.
        ASSERT_TRUE(d.wait_journal("write", kLcdPorch, 30s)) << d.system_log();
        auto stored = d.read_file(kPorchFile);
        ASSERT_TRUE(stored);
        EXPECT_TRUE(*stored == old_bytes || *stored == new_bytes)
            << "after cut " << i - 1 << ": \"" << *stored << "\" (" << stored->size() << " bytes)";
        EXPECT_EQ(text(d.journal("write", kLcdPorch).front().bytes), new_bytes);
        if (i == cuts + 1)
            break;

        // The information screen, then the first frame rate measured.
        d.write_file(kPorchFile, old_bytes);
        ASSERT_TRUE(d.wait_pushes(2, 30s));
        d.release_all_keys();
        ASSERT_TRUE(d.wait_pushes(6, 40s)) << "pushes " << d.pushes();
        std::this_thread::sleep_for(100ms);

        const int pushes = d.pushes();
        const auto press = std::chrono::steady_clock::now();
        const int64_t press_ns =
            static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
        d.set_key(Key::Right, true);
        d.set_key(Key::Start, true);
        if (i == 0) {
            // The reference store, whole: the tmp file opened, the rename,
            // "sync", the fields redrawn in yellow.
            ASSERT_TRUE(d.wait_pushes(pushes + 1, 10s));
            auto open = d.journal("open", "/mnt/UDISK/.lcdporch.tmp");
            ASSERT_FALSE(open.empty());
            store_from = (static_cast<int64_t>(open.front().time_ns) - press_ns) / 1000000;
            store_to = (static_cast<int64_t>(d.current_frame()->time_ns) - press_ns) / 1000000;
            std::printf(
                "reference store: tmp opened %lld ms and the fields redrawn %lld ms "
                "after the keys\n",
                static_cast<long long>(store_from), static_cast<long long>(store_to));
            ASSERT_LT(store_from, store_to);
            d.power_cut();
            continue;
        }
        // Cuts from 40 ms before the store to 40 ms after it.
        const int64_t from = store_from - 40;
        const int64_t at = from + (store_to + 40 - from) * (i - 1) / (cuts - 1);
        std::this_thread::sleep_until(press + std::chrono::milliseconds(at));
        d.power_cut();

        std::string last = "before the store";
        for (const JournalEntry &e : d.journal()) {
            if (e.path.rfind("/mnt/UDISK/", 0) == 0)
                last = e.op + " " + e.path;
            else if (e.op == "exec" && text(e.bytes).find("sync") != std::string::npos)
                last = "sync started";
            else if (e.op == "push" && last != "before the store")
                last = "fields redrawn";
        }
        ++landed[last];
    }
    std::printf("%d cuts, the last step done before each:\n", cuts);
    for (const auto &[step, n] : landed)
        std::printf("  %2d  %s\n", n, step.c_str());
}

}  // namespace

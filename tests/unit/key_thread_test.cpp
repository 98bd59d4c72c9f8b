// The key scanning thread itself (under ThreadSanitizer in the tsan build),
// reading key levels from memory files that stand in for the GPIO value
// files: a key held at start, pause and resume, the run flag, the exit
// combination.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "device/device.h"
#include "input/keys.h"

namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool eventually(Pred p) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!p() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(2ms);
    return p();
}

class ScannerThread : public testing::Test {
  protected:
    pthread_t thread_{};

    void SetUp() override {
        for (int i = 0; i < KEY_COUNT; i++) {
            fd_key[i] = memfd_create("key", 0);
            ASSERT_GE(fd_key[i], 0);
            level(i, 1);
            key_state[i] = 0;
        }
        m_SuspendFlag = 0;
        MP_key_combination = false;
        mode_type = MODE_NONE;
        exit_MP = 0;
    }
    void TearDown() override {
        for (int &fd : fd_key) {
            close(fd);
            fd = -1;
        }
    }
    // Rewrites the level in place, as the kernel serves a GPIO value.
    static void level(int key, int lvl) {
        const char text[2] = {static_cast<char>('0' + lvl), '\n'};
        ASSERT_EQ(pwrite(fd_key[key], text, 2, 0), 2);
    }
};

TEST_F(ScannerThread, PublishesPausesResumesAndStops) {
    level(KEY_START, 0);
    ASSERT_TRUE(start_key_scan(thread_));
    EXPECT_TRUE(eventually([] { return key_state[KEY_START] == 1; })) << "held since start";
    level(KEY_START, 1);
    EXPECT_TRUE(eventually([] { return key_state[KEY_START] == 0; }));

    suspendMe();
    std::this_thread::sleep_for(40ms);  // a pass under way finishes first
    level(KEY_A, 0);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(key_state[KEY_A], 0) << "a paused scanner publishes nothing";
    resumeMe();
    EXPECT_TRUE(eventually([] { return key_state[KEY_A] == 1; }));

    stop_key_scan(thread_);  // clears the run flag, wakes the scanner, joins it
}

TEST_F(ScannerThread, ExitCombinationEndsTheScannerWithABStillHeld) {
    MP_key_combination = true;
    mode_type = MODE_IMAGE_SCREEN;
    backlight_task_is_running = true;
    ASSERT_TRUE(start_key_scan(thread_));
    level(KEY_A, 0);
    level(KEY_B, 0);
    ASSERT_TRUE(eventually([] { return exit_MP == 1; }));
    pthread_join(thread_, nullptr);  // it ends by itself
    EXPECT_EQ(mode_type, MODE_NONE);
    EXPECT_FALSE(backlight_task_is_running);
    EXPECT_TRUE(key_scan_task_is_running) << "the exit leaves the run flag set";
    EXPECT_EQ(key_state[KEY_A], 1);
    EXPECT_EQ(key_state[KEY_B], 1);
}

}  // namespace

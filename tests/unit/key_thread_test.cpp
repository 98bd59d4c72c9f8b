// The key scanning thread itself, reading key levels from ordinary files
// that stand in for the GPIO value files: pause, resume and stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "device/device.h"
#include "input/keys.h"
#include "procedures/procedures.h"
#include "station/station.h"

namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = 5s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (p())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return p();
}

class ScannerThread : public testing::Test {
  protected:
    std::string dir_;
    pthread_t thread_{};
    bool started_ = false;

    void SetUp() override {
        char tmpl[] = "/tmp/mp_keys_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        for (int i = 0; i < KEY_COUNT; i++) {
            level(i, 1);
            fd_key[i] = open(file(i).c_str(), O_RDONLY);
            ASSERT_GE(fd_key[i], 0);
        }
        for (auto &k : key_state)
            k = 0;
        m_SuspendFlag = 0;
        MP_key_combination = false;
        mode_type = 4;
        exit_MP = 0;
    }
    void TearDown() override {
        stop();
        for (int i = 0; i < KEY_COUNT; i++) {
            close(fd_key[i]);
            fd_key[i] = -1;
            unlink(file(i).c_str());
        }
        rmdir(dir_.c_str());
    }
    std::string file(int i) const { return dir_ + "/key" + std::to_string(i); }
    // Rewrites the level in place, as the kernel serves a GPIO value.
    void level(int key, int lvl) const { std::ofstream(file(key), std::ios::trunc) << lvl << "\n"; }
    void start() {
        ASSERT_TRUE(start_key_scan(thread_));
        started_ = true;
    }
    void stop() {
        if (!started_)
            return;
        stop_key_scan(thread_);
        started_ = false;
    }
};

TEST_F(ScannerThread, KeyHeldAtStartIsHeldAtOnceAndReleasesAfterDebounce) {
    level(KEY_START, 0);
    start();
    ASSERT_TRUE(eventually([] { return key_state[KEY_START] == 1; }));
    EXPECT_EQ(key_state[KEY_UP], 0);
    level(KEY_START, 1);
    EXPECT_TRUE(eventually([] { return key_state[KEY_START] == 0; }));
}

TEST_F(ScannerThread, PauseFreezesTheKeysAndResumeContinues) {
    start();
    level(KEY_A, 0);
    ASSERT_TRUE(eventually([] { return key_state[KEY_A] == 1; }));
    suspendMe();
    // Let any pass under way finish, then change the keys behind its back.
    std::this_thread::sleep_for(40ms);
    level(KEY_A, 1);
    level(KEY_B, 0);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(key_state[KEY_A], 1) << "a paused scanner must not publish the release";
    EXPECT_EQ(key_state[KEY_B], 0) << "a paused scanner must not publish the press";
    resumeMe();
    EXPECT_TRUE(eventually([] { return key_state[KEY_A] == 0 && key_state[KEY_B] == 1; }));
}

TEST_F(ScannerThread, ClearingTheRunFlagEndsTheThread) {
    start();
    ASSERT_TRUE(eventually([] { return key_scan_task_is_running.load(); }));
    key_scan_task_is_running = false;
    // Ends at its next pass: the join returns.
    pthread_join(thread_, nullptr);
    started_ = false;
}

TEST_F(ScannerThread, ExitCombinationEndsTheScannerWithABStillHeld) {
    MP_key_combination = true;
    mode_type = 0;
    backlight_task_is_running = true;
    start();
    level(KEY_A, 0);
    level(KEY_B, 0);
    ASSERT_TRUE(eventually([] { return exit_MP == 1; }));
    pthread_join(thread_, nullptr);  // ends by itself at the combination
    started_ = false;
    EXPECT_EQ(mode_type, 4);
    EXPECT_FALSE(backlight_task_is_running);
    EXPECT_TRUE(key_scan_task_is_running) << "the exit leaves the run flag set";
    level(KEY_A, 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(key_state[KEY_A], 1) << "nothing is published after the exit";
}

}  // namespace

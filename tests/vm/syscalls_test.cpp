// The bench agent's reading of strace's output: lines as strace 6.1 writes
// them with -f -q -xx -X raw and nanosecond wall-clock stamps.
#include "syscalls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mpsim::vm::SyscallJournal;

struct Seen {
    std::vector<std::string> journal;
    std::string out, err;
    std::string exit;
    int sound_opens = 0;
};

// Wall clock 1000 s ahead of the monotonic clock.
constexpr int64_t kOffset = 1000000000000;

void feed(SyscallJournal &j, const std::string &text) {
    j.feed(text.data(), text.size(), kOffset);
}

SyscallJournal journal_into(Seen &s) {
    return SyscallJournal(
        SyscallJournal::Sink{[&s](const std::string &l) { s.journal.push_back(l); },
                             [&s](int fd, const std::string &b) { (fd == 1 ? s.out : s.err) += b; },
                             [&s](bool killed, int code) {
                                 s.exit = (killed ? "killed " : "exited ") + std::to_string(code);
                             },
                             [](uint32_t push, int64_t *t) {
                                 *t = 5000000000 + push;
                                 return static_cast<int>(push) - 1;
                             },
                             [&s] { ++s.sound_opens; }});
}

// "/usr/bin/mp_test" and its arguments, as -xx prints them.
const std::string kExec =
    "122 1001.000000001 execve(\"\\x2f\\x75\\x73\\x72\\x2f\\x62\\x69\\x6e\\x2f\\x6d\\x70\\x5f"
    "\\x74\\x65\\x73\\x74\", [\"\\x6d\\x70\", \"\\x2f\\x61\"], 0x7ffd /* 7 vars */) = 0\n";

TEST(SyscallJournal, DeviceCallsOfEveryProcessInTheSimulatedDevicesFormat) {
    Seen s;
    SyscallJournal j = journal_into(s);
    feed(j, kExec);
    // open of the GPIO export file (O_WRONLY), a refused write, a porch file
    // created (O_WRONLY|O_CREAT|O_TRUNC), fsync, rename, and a file of no
    // device (not journaled).
    feed(
        j,
        "122 1001.5 openat(-100, \"\\x2f\\x73\\x79\\x73\\x2f\\x63\\x6c\\x61\\x73\\x73\\x2f\\x67"
        "\\x70\\x69\\x6f\\x2f\\x65\\x78\\x70\\x6f\\x72\\x74\", 0x1) = 3\n"
        "122 1001.600000000 write(3, \"\\x31\\x30\\x35\", 3) = -1 EBUSY (Device or resource busy)\n"
        "122 1001.7 openat(-100, \"\\x2f\\x6d\\x6e\\x74\\x2f\\x78\", 0x241, 0644) = 4\n"
        "122 1001.8 fsync(4)    = 0\n"
        "122 1001.9 renameat2(-100, \"\\x2f\\x6d\\x6e\\x74\\x2f\\x78\", -100, "
        "\"\\x2f\\x6d\\x6e\\x74\\x2f\\x79\", 0) = 0\n"
        "122 1002 openat(-100, \"\\x2f\\x74\\x6d\\x70\", 0) = 5\n");
    ASSERT_EQ(s.journal.size(), 6u);
    EXPECT_EQ(s.journal[0], "1000000001 122 exec /usr/bin/mp_test 6d70002f61 ok");
    EXPECT_EQ(s.journal[1], "1500000000 122 open /sys/class/gpio/export w ok");
    EXPECT_EQ(s.journal[2], "1600000000 122 write /sys/class/gpio/export 313035 EBUSY");
    EXPECT_EQ(s.journal[3], "1700000000 122 open /mnt/x wc ok");
    EXPECT_EQ(s.journal[4], "1800000000 122 fsync /mnt/x ok");
    EXPECT_EQ(s.journal[5], "1900000000 122 rename /mnt/x /mnt/y ok");
}

TEST(SyscallJournal, ThreadsSplitCallsAndChildrenOfTheProgram) {
    Seen s;
    SyscallJournal j = journal_into(s);
    feed(j, kExec);
    // A thread (CLONE_THREAD in the flags) writes the panel's update file
    // through a descriptor its process opened, in a call split by another
    // thread's line; then a child process (no CLONE_THREAD) writes to the
    // standard output and error it shares, and the program exits.
    feed(j,
         "122 1003 clone3({flags=0x3d0f00, exit_signal=0, stack=0x7f} => {parent_tid=[130]}, 88)"
         " = 130\n"
         "122 1003.1 openat(-100, \"\\x2f\\x73\\x79\\x73\\x2f\\x6b\\x65\\x72\\x6e\\x65\\x6c\\x2f"
         "\\x73\\x63\\x72\\x65\\x65\\x6e\\x5f\\x75\\x70\\x64\\x61\\x74\\x65\\x2f\\x75\\x70\\x64"
         "\\x61\\x74\\x65\", 0x2) = 6\n"
         "130 1003.2 write(6, \"\\x31\\x00\", 2 <unfinished ...>\n"
         "122 1003.25 write(1, \"\\x68\\x69\\x0a\", 3) = 3\n"
         "130 1003.3 <... write resumed>) = 2\n"
         "122 1004 clone(child_stack=NULL, flags=0x1200000|17, child_tidptr=0x38) = 140\n"
         "140 1004.1 write(2, \"\\x65\\x72\\x72\", 3) = 3\n"
         // The sound card's playback side opened, its capture side not.
         "130 1004.2 openat(-100, \"/dev/snd/pcmC0D0p\", 0x80802) = 7\n"
         "130 1004.3 openat(-100, \"/dev/snd/pcmC0D1c\", 0x80802) = 8\n"
         "130 1005 +++ exited with 0 +++\n"
         "122 1005.1 +++ exited with 0 +++\n");
    std::vector<std::string> want = {"1000000001 122 exec /usr/bin/mp_test 6d70002f61 ok",
                                     "3100000000 122 open /sys/kernel/screen_update/update rw ok",
                                     "3200000000 122 write /sys/kernel/screen_update/update 3100 2",
                                     "5000000001 122 push /sys/kernel/screen_update/update 0 1"};
    EXPECT_EQ(s.journal, want);
    EXPECT_EQ(s.out, "hi\n");
    EXPECT_EQ(s.err, "err");
    EXPECT_EQ(s.exit, "exited 0");
    EXPECT_EQ(j.program(), 122);
    EXPECT_EQ(s.sound_opens, 1);
}

TEST(SyscallJournal, AProgramKilledBySignal) {
    Seen s;
    SyscallJournal j = journal_into(s);
    feed(j, kExec + "122 1009 +++ killed by SIGTERM +++\n");
    EXPECT_EQ(s.exit, "killed 15");
}

}  // namespace

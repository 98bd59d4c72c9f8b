// The journal's one writer and one reader, on lines worked out by hand.
#include "mpsim/journal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string line_of(const mpsim::JournalLine &l) {
    char buf[256];
    const size_t n = mpsim::format_journal_line(buf, sizeof buf, l);
    EXPECT_LE(n, sizeof buf);
    return std::string(buf, n);
}

TEST(Journal, WritesEachKindOfLine) {
    mpsim::JournalLine w;
    w.time_ns = 1200;
    w.pid = 42;
    w.op = "write";
    w.path = "/sys/class/gpio/export";
    w.bytes = "13\n";
    w.nbytes = 3;
    w.result = "3";
    EXPECT_EQ(line_of(w), "1200 42 write /sys/class/gpio/export 31330a 3\n");
    w.nbytes = 0;
    w.result = "EBUSY";
    EXPECT_EQ(line_of(w), "1200 42 write /sys/class/gpio/export - EBUSY\n");

    mpsim::JournalLine o;
    o.time_ns = 7;
    o.pid = 1;
    o.op = "open";
    o.path = "/mnt/UDISK/a b";
    o.arg = "wc";
    EXPECT_EQ(line_of(o), "7 1 open /mnt/UDISK/a b wc ok\n");
    o.op = "unlink";
    o.arg = nullptr;
    EXPECT_EQ(line_of(o), "7 1 unlink /mnt/UDISK/a b ok\n");
    EXPECT_EQ(mpsim::journal_line(o), "7 1 unlink /mnt/UDISK/a b ok\n");
}

TEST(Journal, ALongLineIsCutAtTheBufferButItsLengthIsWhole) {
    mpsim::JournalLine l;
    l.time_ns = 1;
    l.pid = 2;
    l.op = "fsync";
    l.path = "/x";
    char buf[8];
    EXPECT_EQ(mpsim::format_journal_line(buf, sizeof buf, l),
              std::string("1 2 fsync /x ok\n").size());
    EXPECT_EQ(std::string(buf, sizeof buf), "1 2 fsyn");
}

TEST(Journal, ReadsAPathWithBlanksAndTheBytes) {
    const auto w = mpsim::parse_journal_line("1200 42 write /mnt/UDISK/a b 31330a 3");
    ASSERT_TRUE(w);
    EXPECT_EQ(w->time_ns, 1200u);
    EXPECT_EQ(w->pid, 42);
    EXPECT_EQ(w->path, "/mnt/UDISK/a b");
    EXPECT_EQ(std::string(w->bytes.begin(), w->bytes.end()), "13\n");
    EXPECT_EQ(w->result, "3");
    EXPECT_TRUE(w->ok());

    const auto u = mpsim::parse_journal_line("5 6 unlink /mnt/UDISK/a b ENOENT");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->path, "/mnt/UDISK/a b");
    EXPECT_EQ(u->arg, "");
    EXPECT_FALSE(u->ok());
    EXPECT_EQ(mpsim::parse_journal_line("5 6 unlink /mnt/UDISK/a b ENOENT\n")->result, "ENOENT");

    const auto x = mpsim::parse_journal_line("9 3 exec /bin/sh 7368002d6300 ok");
    ASSERT_TRUE(x);
    EXPECT_EQ(std::string(x->bytes.begin(), x->bytes.end()), std::string("sh\0-c\0", 6));

    EXPECT_FALSE(mpsim::parse_journal_line("not a journal line at all"));
    EXPECT_FALSE(mpsim::parse_journal_line("1 2 open /x"));
}

}  // namespace

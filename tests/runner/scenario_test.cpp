// The scenario language of mp-sim: what each line turns into, where the
// program starts, and that every mistake is reported with its line.
#include "scenario.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

using namespace mpsim;
using namespace std::chrono_literals;

namespace {

Scenario parse_ok(const std::string &text) {
    Scenario sc;
    ScenarioError err;
    EXPECT_TRUE(parse_scenario(text, sc, err)) << "line " << err.line << ": " << err.message;
    return sc;
}

ScenarioError parse_bad(const std::string &text) {
    Scenario sc;
    ScenarioError err;
    EXPECT_FALSE(parse_scenario(text, sc, err)) << text;
    return err;
}

std::vector<StepKind> kinds(const Scenario &sc) {
    std::vector<StepKind> k;
    for (const auto &s : sc.steps)
        k.push_back(s.kind);
    return k;
}

}  // namespace

TEST(ScenarioParse, OperatorRunBecomesStepsInFileOrder) {
    const auto sc = parse_ok(
        "# RIGHT START B from power-on\n"
        "\n"
        "volume 100\n"
        "hold RIGHT START b   # key names in any case\n"
        "  start\n"
        "wait-frames 1 timeout 20\n"
        "release all\n"
        "press a B for 0.5\n"
        "wait-pushes 4\n"
        "wait-journal write /mnt/UDISK/.lcdporch timeout 2.5\n"
        "wait 1.25\n"
        "expect-exit 0\n");
    EXPECT_EQ(kinds(sc),
              (std::vector<StepKind>{StepKind::Volume, StepKind::Hold, StepKind::Start,
                                     StepKind::WaitFrames, StepKind::ReleaseAll, StepKind::Press,
                                     StepKind::WaitPushes, StepKind::WaitJournal, StepKind::Wait,
                                     StepKind::ExpectExit}));
    const auto &s = sc.steps;
    EXPECT_EQ(s[0].value, 100);
    EXPECT_EQ(s[0].line, 3);
    EXPECT_EQ(s[1].keys, (std::vector<int>{1, 4, 6}));
    EXPECT_EQ(s[1].source, "hold RIGHT START b");
    EXPECT_EQ(s[2].line, 5);
    EXPECT_EQ(s[3].value, 1);
    EXPECT_EQ(s[3].duration, 20s);
    EXPECT_EQ(s[5].keys, (std::vector<int>{5, 6}));
    EXPECT_EQ(s[5].duration, 500ms);
    EXPECT_EQ(s[6].value, 4);
    EXPECT_EQ(s[6].duration, kDefaultWaitTimeout);
    EXPECT_EQ(s[7].op, "write");
    EXPECT_EQ(s[7].path, "/mnt/UDISK/.lcdporch");
    EXPECT_EQ(s[7].duration, 2500ms);
    EXPECT_EQ(s[8].duration, 1250ms);
    EXPECT_EQ(s[9].value, 0);
    EXPECT_EQ(s[9].line, 12);
}

TEST(ScenarioParse, BoardActionsAndFaults) {
    const auto sc = parse_ok(
        "start\n"
        "press DOWN\n"
        "release UP LEFT\n"
        "volume-raw 4095\n"
        "battery 84\n"
        "headphone 1\n"
        "usb 0\n"
        "te-clock 21000\n"
        "te stop\n"
        "te start\n"
        "underrun\n"
        "underrun 3\n"
        "remove /sys/class/gpio/gpio132/value\n"
        "refuse-write /mnt/UDISK/.lcdporch EACCES\n"
        "refuse-write /sys/kernel/screen_update/update EIO 2\n"
        "sound-fails EBUSY\n"
        "sound-fails none\n"
        "wait-exit timeout 5\n"
        "expect-exit -1\n");
    const auto &s = sc.steps;
    ASSERT_EQ(s.size(), 19u);
    EXPECT_EQ(s[1].kind, StepKind::Press);
    EXPECT_EQ(s[1].duration, kDefaultPressTime);
    EXPECT_EQ(s[2].kind, StepKind::Release);
    EXPECT_EQ(s[2].keys, (std::vector<int>{0, 3}));
    EXPECT_EQ(s[3].kind, StepKind::VolumeRaw);
    EXPECT_EQ(s[3].value, 4095);
    EXPECT_EQ(s[4].kind, StepKind::Battery);
    EXPECT_EQ(s[5].kind, StepKind::Headphone);
    EXPECT_EQ(s[5].value, 1);
    EXPECT_EQ(s[6].kind, StepKind::Usb);
    EXPECT_EQ(s[6].value, 0);
    // After start the panel clock is an action, not set-up.
    EXPECT_EQ(s[7].kind, StepKind::TeClock);
    EXPECT_EQ(s[7].value, 21000);
    EXPECT_FALSE(sc.setup.te_clock);
    EXPECT_EQ(s[8].kind, StepKind::TeStop);
    EXPECT_EQ(s[9].kind, StepKind::TeStart);
    EXPECT_EQ(s[10].value, 1);
    EXPECT_EQ(s[11].value, 3);
    EXPECT_EQ(s[12].kind, StepKind::Remove);
    EXPECT_EQ(s[12].path, "/sys/class/gpio/gpio132/value");
    EXPECT_EQ(s[13].kind, StepKind::RefuseWrite);
    EXPECT_EQ(s[13].value, EACCES);
    EXPECT_EQ(s[13].count, -1);
    EXPECT_EQ(s[14].value, EIO);
    EXPECT_EQ(s[14].count, 2);
    EXPECT_EQ(s[15].value, EBUSY);
    EXPECT_EQ(s[16].value, 0);
    EXPECT_EQ(s[17].kind, StepKind::WaitExit);
    EXPECT_EQ(s[17].duration, 5s);
    // The program's return of -1 is the exit status 255.
    EXPECT_EQ(s[18].value, 255);
}

TEST(ScenarioParse, SetUpLinesFillTheSetUp) {
    const auto sc = parse_ok(
        "porch-file 24\\0\n"
        "etc-version V1.2.3\\n\n"
        "app-version 1.0 # not a comment here\n"
        "app-noinit\n"
        "app-dir {root}/a-rather-long-application-directory\n"
        "finish echo done # > {root}/x\n"
        "framebuffer 320 480\n"
        "te-clock 21328\n"
        "hold LEFT\n");
    const auto &su = sc.setup;
    EXPECT_EQ(su.porch_file, ScenarioSetup::PorchFile::Write);
    EXPECT_EQ(su.porch_bytes, std::string("24\0", 3));
    EXPECT_EQ(su.etc_version, "V1.2.3\n");
    EXPECT_EQ(su.app_version, "1.0 # not a comment here");
    EXPECT_TRUE(su.app_noinit);
    EXPECT_EQ(su.app_dir, "{root}/a-rather-long-application-directory");
    EXPECT_EQ(su.finish, "echo done # > {root}/x");
    EXPECT_EQ(su.fb_width, 320);
    EXPECT_EQ(su.fb_height, 480);
    EXPECT_TRUE(su.fb_present);
    EXPECT_EQ(su.te_clock, 21328);
    EXPECT_FALSE(su.args);
    // Without a line that waits, the program starts after the last line.
    EXPECT_EQ(kinds(sc), (std::vector<StepKind>{StepKind::Hold, StepKind::Start}));
    EXPECT_EQ(sc.steps[1].line, 9);
}

TEST(ScenarioParse, DefaultsAndTheLastSetUpLineCounts) {
    auto sc = parse_ok("");
    EXPECT_EQ(sc.setup.porch_file, ScenarioSetup::PorchFile::Untouched);
    EXPECT_EQ(sc.setup.app_dir, "{root}/app");
    EXPECT_EQ(sc.setup.finish, "echo finish script ran > {root}/finish.txt");
    EXPECT_TRUE(sc.setup.fb_present);
    ASSERT_EQ(sc.steps.size(), 1u);
    EXPECT_EQ(sc.steps[0].kind, StepKind::Start);

    sc = parse_ok("porch-file 7\nno-porch-file\nno-framebuffer\n");
    EXPECT_EQ(sc.setup.porch_file, ScenarioSetup::PorchFile::Remove);
    EXPECT_FALSE(sc.setup.fb_present);

    // An empty porch file is a file of no bytes, not a missing one.
    sc = parse_ok("no-porch-file\nporch-file\n");
    EXPECT_EQ(sc.setup.porch_file, ScenarioSetup::PorchFile::Write);
    EXPECT_EQ(sc.setup.porch_bytes, "");
}

TEST(ScenarioParse, ArgsReplaceTheArgumentList) {
    auto sc = parse_ok("args {root}/app \"echo a  b > {root}/f\" \"say \\\"hi\\\"\" x\"y z\"\n");
    ASSERT_TRUE(sc.setup.args);
    EXPECT_EQ(*sc.setup.args, (std::vector<std::string>{"{root}/app", "echo a  b > {root}/f",
                                                        "say \"hi\"", "xy z"}));
    // A program started without arguments (its usage case).
    sc = parse_ok("args\n");
    ASSERT_TRUE(sc.setup.args);
    EXPECT_TRUE(sc.setup.args->empty());
}

TEST(ScenarioParse, TheFirstWaitingLineStartsTheProgram) {
    const auto sc = parse_ok(
        "hold UP\n"
        "volume 0\n"
        "press A\n"
        "release UP\n");
    EXPECT_EQ(kinds(sc), (std::vector<StepKind>{StepKind::Hold, StepKind::Volume, StepKind::Start,
                                                StepKind::Press, StepKind::Release}));
    EXPECT_EQ(sc.steps[2].line, 3);
}

TEST(ScenarioParse, EachMistakeNamesItsLine) {
    struct Case {
        std::string text;
        int line;
        std::string words;  // part of the message
    };
    const std::vector<Case> cases = {
        {"start\nfly away\n", 2, "unknown command 'fly'"},
        {"# x\nhold\n", 2, "at least one key"},
        {"hold UP SELECT\n", 1, "unknown key 'SELECT'"},
        {"\n\npress A for\n", 3, "'for' needs"},
        {"press A for soon\n", 1, "'soon' is not a number of seconds"},
        {"press A for 1 more\n", 1, "unexpected 'more'"},
        {"volume 101\n", 1, "between 0 and 100"},
        {"volume loud\n", 1, "whole number"},
        {"volume\n", 1, "needs the volume percent"},
        {"volume-raw 4096\n", 1, "between 0 and 4095"},
        {"headphone 2\n", 1, "between 0 and 1"},
        {"usb 1 0\n", 1, "unexpected '0'"},
        {"te pause\n", 1, "'stop' or 'start'"},
        {"te-clock 0\n", 1, "between 1"},
        {"underrun 0\n", 1, "between 1"},
        {"remove sys/x\n", 1, "not a device path"},
        {"refuse-write /x\n", 1, "needs a device path and an errno name"},
        {"refuse-write /x ENOPE\n", 1, "unknown errno name 'ENOPE'"},
        {"sound-fails\n", 1, "needs an errno name"},
        {"wait\n", 1, "needs a number of seconds"},
        {"wait -1\n", 1, "not a number of seconds"},
        {"wait-pushes\n", 1, "needs a count"},
        {"wait-frames 2 timeout\n", 1, "'timeout' needs"},
        {"wait-frames 2 within 3\n", 1, "expected 'timeout"},
        {"wait-journal read /x\n", 1, "open, write or push"},
        {"wait-journal write\n", 1, "needs an operation and a device path"},
        {"expect-exit\n", 1, "needs an exit status"},
        {"expect-exit 256\n", 1, "between -128 and 255"},
        {"start\nstart\n", 2, "second 'start' (the first is at line 1)"},
        {"wait 1\nstart\n", 2, "already started at line 1"},
        {"start\nporch-file 24\n", 2, "must come before the program starts (line 1)"},
        {"hold A\nwait 1\nframebuffer 240 240\n", 3, "it started at line 2"},
        {"framebuffer 240\n", 1, "needs a width and a height"},
        {"framebuffer 0 240\n", 1, "between 1 and 4096"},
        {"app-dir\n", 1, "needs a path"},
        {"porch-file 2\\q\n", 1, "unknown escape"},
        {"porch-file 2\\x4\n", 1, "two hex digits"},
        {"etc-version v\\\n", 1, "lone"},
        {"args \"unclosed\n", 1, "unterminated quote"},
        {"no-porch-file now\n", 1, "unexpected 'now'"},
        {"release all UP\n", 1, "unexpected 'UP'"},
    };
    for (const auto &c : cases) {
        const auto err = parse_bad(c.text);
        EXPECT_EQ(err.line, c.line) << c.text;
        EXPECT_NE(err.message.find(c.words), std::string::npos)
            << c.text << " gave: " << err.message;
    }
}

TEST(ScenarioParse, BytesAndWords) {
    std::string b, msg;
    ASSERT_TRUE(unescape_bytes("-5\\0\\x41\\s\\\\\\t\\r\\n", b, msg));
    EXPECT_EQ(b, std::string("-5\0A \\\t\r\n", 9));
    EXPECT_EQ(substitute_root("{root}/a {root}", "/tmp/r"), "/tmp/r/a /tmp/r");
    EXPECT_EQ(errno_from_name("EBUSY"), EBUSY);
    EXPECT_EQ(errno_from_name("13"), 13);
    EXPECT_FALSE(errno_from_name("EWHATEVER"));
    EXPECT_EQ(errno_label(ENOSPC), "ENOSPC");
    EXPECT_EQ(key_index_from_label("start"), 4);
    EXPECT_FALSE(key_index_from_label("SELECT"));
    EXPECT_STREQ(key_label(2), "DOWN");
}

TEST(ScenarioLoad, FileErrorsCarryFileAndLine) {
    char path[] = "/tmp/mp-sim-scn-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream out(path);
        out << "start\r\nwait 1\r\nwait-frames x\r\n";
    }
    Scenario sc;
    std::string msg;
    EXPECT_FALSE(load_scenario(path, sc, msg));
    EXPECT_EQ(msg, std::string(path) + ":3: the count must be a whole number, not 'x'");
    {
        std::ofstream out(path);
        out << "start\r\nwait 1\r\n";
    }
    EXPECT_TRUE(load_scenario(path, sc, msg)) << msg;
    EXPECT_EQ(sc.steps.size(), 2u);
    std::remove(path);
    EXPECT_FALSE(load_scenario(path, sc, msg));
    EXPECT_NE(msg.find("cannot read"), std::string::npos);
}

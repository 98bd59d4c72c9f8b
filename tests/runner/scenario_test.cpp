// The scenario language of mp-sim as a scenario cannot show it: every
// mistake is reported with its file and line, and includes, flows, `when` and
// `frame-golden` resolve to the lines a run gets.
#include "scenario.h"

#include <gtest/gtest.h>
#include <mpsim/harness.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace mpsim;
namespace fs = std::filesystem;

namespace {

std::string error_of(const std::string &text, const std::string &flow = "") {
    Scenario sc;
    std::string msg;
    EXPECT_FALSE(parse_scenario(text, "t.scn", flow, sc, msg)) << text;
    return msg;
}

void write(const fs::path &p, const std::string &text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}

}  // namespace

TEST(ScenarioParse, EachMistakeNamesItsFileAndLine) {
    const struct {
        const char *text;
        const char *message;
    } cases[] = {
        {"bogus", "t.scn:1: unknown command 'bogus'"},
        {"start\nwait-pushes many", "t.scn:2: the count must be a whole number, not 'many'"},
        {"wait 1\nporch-file 5", "t.scn:2: 'porch-file' sets up the device and must come before"},
        {"press X", "t.scn:1: unknown key 'X'"},
        {"refuse-write /sys/x ENOPE", "t.scn:1: unknown errno name 'ENOPE'"},
        {"expect-exit 0 timeout", "t.scn:1: 'timeout' needs a number of seconds"},
        {"expect-journal poke /sys/x", "the journal operation is open, write, push"},
        {"expect-journal write sys/x", "t.scn:1: 'sys/x' is not a device path"},
        {"expect-file /sys/x a\\q", "unknown escape '\\q'"},
        {"expect-frame a.png ignore 1 2 3", "t.scn:1: a rectangle is X Y W H"},
        {"expect-ink 0 0 8 8 purple", "unknown colour 'purple'"},
        {"expect-no-file /sys/x timeout 3", "checks at once and takes no time-out"},
        {"expect-signal SIGFOO", "unknown signal 'SIGFOO'"},
        {"expect-cpu-below 50 during 2", "expected 'over S' instead of 'during'"},
        {"expect-samples 0 0", "'expect-samples' needs at least one sample"},
        {"sound-write-fails EIO", "needs 'after <periods>'"},
        {"trap read /sys/x SIGKILL", "the trap operation is open, write, rename"},
        {"ends sometime", "'ends' is hand-off, signal, running, power-cut or usage"},
        {"ends running\nends signal", "t.scn:2: second 'ends' line (the first is t.scn:1)"},
        {"repeat 0", "the count must be between 1 and 1000"},
        {"expect-period write /sys/x every", "'every' needs a number of seconds"},
        {"expect-mode /mnt/x 0968", "'0968' is not an octal file mode"},
        {"release UP timeout 2", "'release' takes no time-out"},
        {"flows a\nwhen c : wait 1", "t.scn:2: 'c' is not one of the flows"},
        {"when a wait 1", "'when' needs flow names, ':' and a line"},
        {"flow", "t.scn:1: 'flow' needs a 'flows' line before it"},
        {"flows a\nstart", "t.scn:2: 'flows' without a 'flow' line"},
        {"include missing.scn", "missing.scn': No such file"},
    };
    for (const auto &c : cases)
        EXPECT_NE(error_of(c.text).find(c.message), std::string::npos)
            << c.text << "\n -> " << error_of(c.text);
    EXPECT_NE(error_of("start", "a").find("the scenario has no 'flows' line"), std::string::npos);
    EXPECT_NE(error_of("flows a b\nflow", "c").find("t.scn:1: there is no flow 'c'"),
              std::string::npos);
}

// A fault file runs each flow found in the nearest flows/ folder above it;
// `when` picks lines per flow, `frame-golden` swaps or drops a flow's golden,
// and a mistake in an included file names that file and the include chain.
TEST(ScenarioLoad, IncludesAndFlowsResolveFromTheFileHoldingThem) {
    const fs::path dir = fs::temp_directory_path() / ("scenario-test-" + std::to_string(getpid()));
    write(dir / "flows/entry.scn", "start\nexpect-frame golden/info.png\ninclude end.scn\n");
    write(dir / "flows/end.scn", "expect-frame golden/rate.png\nexpect-exit 0\n");
    write(dir / "flows/bad.scn", "start\ninclude broken.scn\n");
    write(dir / "flows/broken.scn", "\nwait-pushes -1\n");
    write(dir / "flows/loop.scn", "include loop.scn\n");
    write(dir / "faults/deep/x.scn",
          "flows entry bad\nno-framebuffer\n"
          "frame-golden ../../flows/golden/info.png skip\n"
          "frame-golden ../../flows/golden/rate.png rate-nofb.png\n"
          "when bad entry : volume 7\nflow\nwhen bad : ends signal\n");
    const std::string x = (dir / "faults/deep/x.scn").string();

    Scenario sc;
    std::string msg;
    ASSERT_TRUE(load_scenario(x, "", sc, msg)) << msg;
    EXPECT_EQ(sc.flows, (std::vector<std::string>{"entry", "bad"}));

    ASSERT_TRUE(load_scenario(x, "entry", sc, msg)) << msg;
    ASSERT_EQ(sc.steps.size(), 4u);
    EXPECT_TRUE(sc.steps[0].is("volume"));
    EXPECT_EQ(sc.steps[1].where, (dir / "flows/entry.scn").string() + ":1");
    EXPECT_TRUE(sc.steps[2].is("expect-frame"));
    EXPECT_EQ(sc.steps[2].text("FILE"), (dir / "faults/deep/rate-nofb.png").string());
    EXPECT_TRUE(sc.steps[3].is("expect-exit"));
    EXPECT_FALSE(sc.setup.fb_present);
    EXPECT_EQ(sc.ends, Ends::HandOff);

    ASSERT_FALSE(load_scenario(x, "bad", sc, msg));
    EXPECT_NE(msg.find("broken.scn:2: the count must be between 0 and 1000000, not -1 (included "
                       "from "),
              std::string::npos)
        << msg;
    EXPECT_NE(msg.find("bad.scn:2, from "), std::string::npos) << msg;
    EXPECT_NE(msg.find("x.scn:6)"), std::string::npos) << msg;

    ASSERT_FALSE(load_scenario((dir / "flows/loop.scn").string(), "", sc, msg));
    EXPECT_NE(msg.find("includes itself"), std::string::npos) << msg;
    fs::remove_all(dir);
}

// Every board action of the language is one the simulated device does: a row
// missing from its table, or misspelt, would otherwise fail only the scenario
// that uses the line, as "not on the simulated device".
TEST(ScenarioCommands, EveryBoardActionIsOneTheSimulatedDeviceDoes) {
    Device d;
    int actions = 0;
    for (const Command &c : commands()) {
        if (!c.act)
            continue;
        ++actions;
        try {
            d.act({c.name, {0, 0, 0}, {"run", "/sys/class/gpio/export"}});
        } catch (const Unsupported &e) {
            ADD_FAILURE() << c.name << ": " << e.what();
        } catch (const std::exception &) {
            // The device has the row; these arguments do not suit it.
        }
    }
    EXPECT_GE(actions, 15);
}

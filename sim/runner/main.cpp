// mp-sim [--program PATH] [--flow NAME] [--update-golden] [--emulator CMD]
//        [--keep-root] [--device sim|vm] [--no-report] SCENARIO OUTDIR
// mp-sim --commands
//
// Runs a program (the factory test by default) on a fresh device, the
// simulated device or (--device vm) the virtual machine, doing to the device
// what the scenario file says and checking what it expects, and writes every
// distinct panel frame, every sound recording and the device journal to
// OUTDIR.
// Exit status: 0 the scenario ran to its end and held, 1 a wait, expectation
// or post-condition failed (or the run could not be done), 2 a mistake in the
// scenario or the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "mpsim/harness.h"
#include "report.h"
#include "runner.h"
#include "scenario.h"

namespace {

void usage(std::FILE *to) {
    std::fprintf(to,
                 "usage: mp-sim [--program PATH] [--flow NAME] [--update-golden] [--emulator CMD]\n"
                 "              [--keep-root] [--device sim|vm] [--no-report] SCENARIO OUTDIR\n"
                 "       mp-sim --commands\n"
                 "  --program PATH   program to run (default: the factory test program of this "
                 "build)\n"
                 "  --flow NAME      run a scenario with 'flows' with this flow (default: each "
                 "in turn,\n"
                 "                   into OUTDIR/NAME)\n"
                 "  --update-golden  expect-frame writes its golden files (also\n"
                 "                   MP_UPDATE_GOLDEN=1)\n"
                 "  --emulator CMD   start the program through this emulator (\"qemu-arm -cpu "
                 "arm926\")\n"
                 "  --keep-root      keep the device's root folder after the run\n"
                 "  --device NAME    the device to run on: sim (the simulated device, default) or\n"
                 "                   vm (Debian's kernel in a virtual machine; scripts/test-vm\n"
                 "                   builds its image)\n"
                 "  --commands       print the scenario commands as Markdown tables\n"
                 "  --no-report      write no index.html (also MP_NO_REPORT=1)\n"
                 "Writes frame-NNNN.png, rec-NNNN.wav, frames.txt, journal.txt, journal.jsonl,\n"
                 "stdout.txt, stderr.txt, steps.txt, summary.txt and the page index.html to\n"
                 "OUTDIR. See\n"
                 "sim/runner/README.md.\n");
}

std::vector<std::string> words(const std::string &s) {
    std::vector<std::string> out;
    std::string w;
    for (char c : s + " ") {
        if (c != ' ') {
            w += c;
        } else if (!w.empty()) {
            out.push_back(w);
            w.clear();
        }
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    mpsim::RunConfig cfg;
    std::string flow;
    std::vector<std::string> positional;
    const char *update = std::getenv("MP_UPDATE_GOLDEN");
    cfg.update_golden = update != nullptr && std::strcmp(update, "1") == 0;
    bool report = mpsim::report_wanted();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string &to) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mp-sim: %s needs a value\n", a.c_str());
                return false;
            }
            to = argv[++i];
            return true;
        };
        std::string emulator;
        if (a == "--program") {
            if (!value(cfg.program))
                return 2;
        } else if (a == "--flow") {
            if (!value(flow))
                return 2;
        } else if (a == "--emulator") {
            if (!value(emulator))
                return 2;
            cfg.emulator = words(emulator);
        } else if (a == "--update-golden") {
            cfg.update_golden = true;
        } else if (a == "--keep-root") {
            cfg.keep_root = true;
        } else if (a == "--no-report") {
            report = false;
        } else if (a == "--device") {
            if (!value(cfg.device))
                return 2;
        } else if (a == "--commands") {
            std::fputs(mpsim::commands_markdown().c_str(), stdout);
            return 0;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "mp-sim: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2) {
        usage(stderr);
        return 2;
    }
    cfg.scenario_file = positional[0];

    mpsim::Scenario sc;
    std::string message;
    if (!mpsim::load_scenario(cfg.scenario_file, flow, sc, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 2;
    }
    // Without --flow, every flow in turn; each is checked before any runs.
    std::vector<std::pair<mpsim::Scenario, std::string>> runs;
    if (flow.empty() && !sc.flows.empty()) {
        for (const auto &f : sc.flows) {
            mpsim::Scenario one;
            if (!mpsim::load_scenario(cfg.scenario_file, f, one, message)) {
                std::fprintf(stderr, "%s (flow %s)\n", message.c_str(), f.c_str());
                return 2;
            }
            runs.emplace_back(std::move(one), (std::filesystem::path(positional[1]) / f).string());
        }
    } else {
        runs.emplace_back(std::move(sc), positional[1]);
    }
    try {
        if (cfg.program.empty())
            cfg.program = mpsim::mp_test_binary();
        // The program starts from inside the device root; a path given
        // relative to where mp-sim was called must still find it.
        if (cfg.program.find('/') != std::string::npos)
            cfg.program = std::filesystem::absolute(cfg.program).string();
        int status = 0;
        for (const auto &[one, out] : runs) {
            cfg.outdir = out;
            if (!one.flow.empty())
                std::printf("== flow %s\n", one.flow.c_str());
            if (mpsim::run_scenario(one, cfg) != 0)
                status = 1;
            mpsim::write_report(out, report);
        }
        return status;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mp-sim: %s\n", e.what());
        return 1;
    }
}

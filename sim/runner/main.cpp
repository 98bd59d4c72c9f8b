// mp-sim [--program PATH] [--keep-root] SCENARIO OUTDIR
//
// Runs a program (the factory test by default) on a fresh simulated device,
// doing to the device what the scenario file says, and writes every distinct
// panel frame, every sound recording and the device journal to OUTDIR.
// Exit status: 0 the scenario ran to its end, 1 a wait or expectation failed
// (or the run could not be done), 2 a mistake in the scenario or the command
// line.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "mpsim/harness.h"
#include "runner.h"
#include "scenario.h"

namespace {

void usage(std::FILE *to) {
    std::fprintf(to,
                 "usage: mp-sim [--program PATH] [--keep-root] SCENARIO OUTDIR\n"
                 "  --program PATH  program to run (default: the factory test program of this "
                 "build)\n"
                 "  --keep-root     keep the simulated device's root folder after the run\n"
                 "Writes frame-NNNN.png, rec-NNNN.wav, frames.txt, journal.txt, stdout.txt,\n"
                 "stderr.txt, steps.txt and summary.txt to OUTDIR. See sim/runner/README.md.\n");
}

}  // namespace

int main(int argc, char **argv) {
    mpsim::RunConfig cfg;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--program") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mp-sim: --program needs a path\n");
                return 2;
            }
            cfg.program = argv[++i];
        } else if (a.rfind("--program=", 0) == 0) {
            cfg.program = a.substr(std::strlen("--program="));
        } else if (a == "--keep-root") {
            cfg.keep_root = true;
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
    cfg.outdir = positional[1];

    mpsim::Scenario sc;
    std::string message;
    if (!mpsim::load_scenario(cfg.scenario_file, sc, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 2;
    }
    try {
        if (cfg.program.empty())
            cfg.program = mpsim::mp_test_binary();
        // The program starts from inside the device root; a path given
        // relative to where mp-sim was called must still find it.
        if (cfg.program.find('/') != std::string::npos)
            cfg.program = std::filesystem::absolute(cfg.program).string();
        return mpsim::run_scenario(sc, cfg);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "mp-sim: %s\n", e.what());
        return 1;
    }
}

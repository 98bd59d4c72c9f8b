// Runs a parsed scenario on a fresh device (the simulated one, or Debian's
// kernel in the virtual machine with `--device vm`), checks its expectations
// and post-conditions, and fills the output folder with what the hardware saw.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mpsim/target.h"
#include "scenario.h"

namespace mpsim {

struct RunConfig {
    std::string scenario_file;          // for messages and the summary
    std::string outdir;                 // created when missing
    std::string program;                // path of the program to run
    std::vector<std::string> emulator;  // start the program through this ("" none)
    bool keep_root = false;             // keep the device root folder after the run
    bool update_golden = false;         // expect-frame writes its golden files
    std::string device = "sim";         // "sim" the simulated device, "vm" the virtual machine
};

// The device a scenario runs on, as `cfg.device` names it, made with its
// storage and application directory as the scenario sets them.
struct Bench {
    std::unique_ptr<Target> dev;
    // Starts the program as the scenario says; returns its command line for
    // the log.
    std::function<std::string()> power_on;
    // The finish script as the program got it (empty with `args`).
    std::string finish;
};
Bench set_up_device(const ScenarioSetup &setup, const RunConfig &cfg);

// Runs the scenario (`repeat` times, each on a fresh device). Returns 0 when
// every line ran and every wait, expectation and post-condition held, 1
// otherwise (also when the run could not be set up or recorded). Progress goes
// to standard output, problems to standard error.
int run_scenario(const Scenario &sc, const RunConfig &cfg);

}  // namespace mpsim

// Runs a parsed scenario on a fresh simulated device and fills the output
// folder with what the hardware saw.
#pragma once

#include <string>

#include "scenario.h"

namespace mpsim {

struct RunConfig {
    std::string scenario_file;  // for the summary only
    std::string outdir;         // created when missing
    std::string program;        // path of the program to run
    bool keep_root = false;     // keep the device root folder after the run
};

// Returns 0 when every line ran and every wait and expectation held, 1
// otherwise (a failed wait, a failed expectation, or a run that could not be
// set up or recorded). Progress goes to standard output, problems to standard
// error.
int run_scenario(const Scenario &sc, const RunConfig &cfg);

}  // namespace mpsim

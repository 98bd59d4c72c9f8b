// Runs the probe program on a simulated device (tests of tests/sim and tests/sound).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "mpsim/harness.h"

namespace probe {

using Words = std::vector<std::string>;

struct Run {
    std::vector<std::string> args = {};
    std::function<void()> at_ready =
        nullptr;  // called once the probe said "ready"; it then goes on
    std::vector<std::string> env = {};
    std::string binary = MPSIM_PROBE;
    mpsim::ExitStatus status{true, 0};  // how the probe is to end
};

// Runs the probe to its end; its output lines, split into words.
inline std::vector<Words> run(mpsim::Device &d, Run r) {
    r.args.insert(r.args.begin(), r.binary);
    d.start(r.args, r.env);
    if (r.at_ready) {
        EXPECT_TRUE(
            d.wait_until([&] { return d.stdout_text().find("ready\n") != std::string::npos; },
                         std::chrono::seconds(120)));
        r.at_ready();
        std::ofstream(d.root() + "/go") << "go";
    }
    auto st = d.wait_exit(std::chrono::seconds(120));
    EXPECT_TRUE(st && st->exited == r.status.exited && st->code == r.status.code)
        << (st ? st->code : -1) << "\n"
        << d.stderr_text();
    std::vector<Words> out;
    std::istringstream in(d.stdout_text());
    for (std::string line; std::getline(in, line);) {
        std::istringstream w(line);
        out.emplace_back(std::istream_iterator<std::string>(w),
                         std::istream_iterator<std::string>());
    }
    return out;
}

// The lines that start with `what`.
inline std::vector<Words> lines(const std::vector<Words> &out, const std::string &what) {
    std::vector<Words> r;
    std::copy_if(out.begin(), out.end(), std::back_inserter(r),
                 [&](const Words &l) { return !l.empty() && l[0] == what; });
    return r;
}

inline bool has(const std::vector<Words> &out, const Words &line) {
    return std::find(out.begin(), out.end(), line) != out.end();
}

}  // namespace probe

// One run of a scenario on a fresh device, as the runner drives it and the
// commands' handlers see it: the device, the waits that count from the end of
// the previous waiting line, the journal read so far, and the ways a line fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_rules.h"
#include "command.h"
#include "mpsim/board.h"
#include "mpsim/target.h"
#include "runner.h"
#include "scenario.h"

namespace mpsim {

// Where the waits count from: the counters when the program started or when
// the last waiting line ended. An action followed by a wait for its effect
// thus never misses an effect that came quickly.
struct Mark {
    int pushes = 0;
    size_t journal = 0;  // journal lines before the cursor
    int frame_next = 0;  // the first frame the next expect-frame looks at
    int frame_at = 0;    // the first frame the next expect-ink looks at
};

class Run {
  public:
    Run(const Scenario &sc, const RunConfig &cfg, std::string run_label)
        : sc_(sc), cfg_(cfg), run_label_(std::move(run_label)) {}
    // Runs the scenario once on a fresh device: 0 when it held, else 1.
    int run();

    Target &target() { return *bench_.dev; }
    const RunConfig &config() const { return cfg_; }
    const std::filesystem::path &outdir() const { return out_; }

    // The step's line in the log.
    void log(const std::string &line);
    // The line fails with `why`; the run stops after it.
    void fail(const Step &s, const std::string &why);
    bool failed() const { return failed_; }

    // A waiting line: logs it, polls `cond` until it holds or the line's
    // time-out passes (or the program ended), fails with `why` and the
    // reason the wait ended, or moves the mark.
    void waited(const Step &s, const std::function<bool()> &cond,
                const std::function<std::string()> &why);
    // A plain sleep that moves the mark afterwards.
    void pause(std::chrono::milliseconds d);
    Mark &mark() { return mark_; }
    void set_mark();

    // The device journal so far (read on).
    const std::vector<JournalEntry> &journal() {
        bench_.dev->read_journal(journal_);
        return journal_;
    }
    // The index in journal() of the line that shows the finish script
    // starting, if it did.
    std::optional<size_t> finish_started();
    // Nanoseconds of the monotonic clock when the program started.
    uint64_t start_ns() const { return start_ns_; }

    void start_program(const Step &s);
    bool ended() { return exit_.has_value() || !bench_.dev->running(); }
    // The program's end, waiting at most `timeout`.
    std::optional<ExitStatus> wait_program(std::chrono::milliseconds timeout);

    // What a line checked, for the post-conditions.
    void status_checked() { status_checked_ = true; }
    void file_checked(const std::string &path) {
        porch_checked_ = porch_checked_ || path == BOARD_PORCH_FILE;
    }

  private:
    bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds timeout);
    void step(const Step &s);
    void post_conditions();
    void post_fail(const std::string &why);
    std::string stamp() const;
    void finish_program();
    bool write_outputs();
    void clear_old_outputs();

    const Scenario &sc_;
    const RunConfig &cfg_;
    const std::string run_label_;
    Bench bench_;
    HandOffRules rules_;
    std::ofstream steps_;
    std::filesystem::path out_;
    Mark mark_;
    bool started_ = false;
    uint64_t start_ns_ = 0;
    std::string command_line_;  // as the program got it
    std::optional<ExitStatus> exit_;
    bool killed_ = false;
    bool failed_ = false;
    std::string failure_;
    std::vector<std::string> post_failures_;
    bool status_checked_ = false;        // an expect-exit or expect-signal ran
    bool porch_checked_ = false;         // an expect-file of the porch file ran
    std::vector<JournalEntry> journal_;  // read so far
};

}  // namespace mpsim

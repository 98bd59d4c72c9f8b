// One run of a scenario as the commands' handlers see it: the device, the
// waits that count from the end of the previous waiting line, the journal
// read so far, and the ways a line fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "mpsim/target.h"

namespace mpsim {

struct RunConfig;

// Where the waits count from: the counters when the program started or when
// the last waiting line ended. An action followed by a wait for its effect
// thus never misses an effect that came quickly.
struct Mark {
    int pushes = 0;
    int frames = 0;
    size_t journal = 0;  // journal lines before the cursor
    int frame_next = 0;  // the first frame the next expect-frame looks at
    int frame_at = 0;    // the first frame the next expect-ink looks at
};

class Run {
  public:
    virtual ~Run() = default;
    virtual Target &target() = 0;
    virtual const RunConfig &config() const = 0;
    virtual const std::filesystem::path &outdir() const = 0;

    // The step's line in the log.
    virtual void log(const std::string &line) = 0;
    // The line fails with `why`; the run stops after it.
    virtual void fail(const Step &s, const std::string &why) = 0;
    virtual bool failed() const = 0;

    // A waiting line: logs it, polls `cond` until it holds or the line's
    // time-out passes (or the program ended), fails with `why` and the
    // reason the wait ended, or moves the mark.
    virtual void waited(const Step &s, const std::function<bool()> &cond,
                        const std::function<std::string()> &why) = 0;
    // A plain sleep that moves the mark afterwards.
    virtual void pause(std::chrono::milliseconds d) = 0;
    virtual Mark &mark() = 0;
    virtual void set_mark() = 0;

    // The device journal so far (read on).
    virtual const std::vector<JournalEntry> &journal() = 0;
    // The index in journal() of the line that shows the finish script
    // starting, if it did.
    virtual std::optional<size_t> finish_started() = 0;
    // Nanoseconds of the monotonic clock when the program started.
    virtual uint64_t start_ns() const = 0;

    virtual void start_program(const Step &s) = 0;
    virtual bool ended() = 0;
    // The program's end, waiting at most `timeout`.
    virtual std::optional<ExitStatus> wait_program(std::chrono::milliseconds timeout) = 0;

    // What a line checked, for the post-conditions.
    virtual void status_checked() = 0;
    virtual void file_checked(const std::string &path) = 0;
};

}  // namespace mpsim

// The expectations that look at more than a counter: frames against golden
// pictures, the journal's lines and their times, sound against samples or a
// WAV file, the program's CPU share. Their commands are declared in
// commands.cpp.
#pragma once

#include <optional>
#include <string>

#include "command.h"
#include "mpsim/harness.h"

namespace mpsim {

class Run;

void expect_frame(Run &r, const Step &s);
void expect_ink(Run &r, const Step &s);
void expect_journal(Run &r, const Step &s);
void expect_no_journal(Run &r, const Step &s);
void wait_journal(Run &r, const Step &s);
void expect_period(Run &r, const Step &s);
void expect_span(Run &r, const Step &s);
void expect_samples(Run &r, const Step &s);
void expect_recording(Run &r, const Step &s);
void expect_cpu_below(Run &r, const Step &s);

// A 16-bit PCM WAV file, as write_wav makes them (other chunks skipped).
std::optional<Recording> read_wav(const std::string &file);

}  // namespace mpsim

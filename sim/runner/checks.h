// The expectations that look at more than a counter: frames against golden
// pictures, the journal's lines and their times, sound against samples, the
// program's CPU share. Their commands are declared in commands.cpp.
#pragma once

#include "command.h"

namespace mpsim {

class Run;

void expect_frame(Run &r, const Step &s);
void expect_ink(Run &r, const Step &s);
void expect_journal(Run &r, const Step &s);
void expect_no_journal(Run &r, const Step &s);
void expect_period(Run &r, const Step &s);
void expect_span(Run &r, const Step &s);
void expect_samples(Run &r, const Step &s);
void expect_cpu_below(Run &r, const Step &s);

}  // namespace mpsim

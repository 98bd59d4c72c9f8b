// The run's page: after a run, mp-sim has the report generator (mp-report,
// Python) write OUTDIR/index.html from what the run left in its output
// folder. The page is a convenience: whatever happens to the generator, the
// run's result stands.
#pragma once

#include <string>

namespace mpsim {

// Removes an old OUTDIR/index.html, which would show another run; when
// `wanted`, writes it anew with the generator (MPSIM_REPORT_SCRIPT in the
// environment, else the one of this source tree). Returns whether a page was
// written; when a wanted one was not, one line on standard error says why.
bool write_report(const std::string &outdir, bool wanted);

// True unless MP_NO_REPORT=1 is set: the default of mp-sim's --no-report.
bool report_wanted();

}  // namespace mpsim

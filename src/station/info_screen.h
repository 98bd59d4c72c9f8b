// The information screen after an entry combination: versions, data marker,
// LCD porch and frame rate, the porch calibration and the porch-adjust keys.
#pragma once

#include <string>

// The test program's version, shown on the information screen and in the banner:
// the project's version (MP_PROJECT_VERSION, from the build).
inline constexpr char MP_VERSION[] = "v" MP_PROJECT_VERSION;

struct StationState {
    std::string app_dir;  // argument 1, kept whole
    int porch = 24;       // porch value applied to the panel
    // 1: porch came from the porch file or was saved since. The misspelt name
    // is the one the board's documentation of the porch handling gives this
    // flag, kept so that code and documentation can be searched for the same
    // word. It is only a name in the source: no output prints it.
    int proch_save = 0;
    int cal_porch = 0;  // 1: nothing stored yet and no automatic calibration since
};

// Whole part of (rate - 60): 0 exactly when the rate lies strictly between 59 and 61.
int rate_offset(double fps);

// The calibration's choice between its first candidate and the neighbour it
// tried: the trial wins unless its rate is further off; on a tie it wins.
bool trial_wins(double first, double trial);

// The calibration's first candidate for a panel measured at `fps` at the
// default porch: the porch that would bring it to 60 frames per second.
int first_porch_candidate(double fps);

// Runs the screen until a key pass leaves it. Sets MP_key_combination when
// A and B were held in the factory entry.
void info_screen(StationState &st);

// The samples the probe plays: each depends on the period, the frame and the
// channel, so a recording shows which periods arrived, in which order, with
// the channels kept apart.
#pragma once

#include <cstdint>

namespace probe {

constexpr unsigned kPeriod = 256;  // frames per write, as the program's audio test

inline int16_t sample(unsigned seq, unsigned frame, unsigned channel) {
    const auto v = static_cast<int16_t>(seq * kPeriod + frame);
    return static_cast<int16_t>(channel == 0 ? v : ~v);
}

}  // namespace probe

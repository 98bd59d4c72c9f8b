// The sample pattern the sound probe writes: every sample depends on the
// period's sequence number, the frame and the channel, so that a recording
// shows which periods arrived, in which order, and whether the channels were
// kept apart. Negative values are included on purpose.
#pragma once

#include <cstdint>

namespace sound_test {

constexpr unsigned kPeriodFrames = 256;

inline int16_t pattern_sample(uint32_t seq, uint32_t frame, unsigned channel) {
    const uint32_t n = seq * kPeriodFrames + frame;
    const auto left = static_cast<uint16_t>(n * 7u + 3u);
    return static_cast<int16_t>(channel == 0 ? left : static_cast<uint16_t>(~left));
}

}  // namespace sound_test

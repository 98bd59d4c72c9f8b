// The simulated card's recordings, played on the desktop's own sound output
// as they grow. Only read: the card's pacing and its recordings stay as the
// tests know them.
#pragma once

#include <SDL.h>
#include <sys/types.h>

#include <string>

#include "mpsim/state.h"

namespace desk {

class Speaker {
  public:
    Speaker() = default;
    ~Speaker();
    Speaker(const Speaker &) = delete;
    Speaker &operator=(const Speaker &) = delete;

    // A new device: its recordings start again at the first.
    void power_on(const std::string &root);
    // Sound stops with the power.
    void power_off();
    // Queues whatever the card took since the last look.
    void follow(const mpsim::State &st);

  private:
    bool open_output(uint32_t rate, uint32_t channels);

    std::string root_;           // device root; empty while off
    int index_ = 0;              // recording being followed
    off_t offset_ = 0;           // bytes of it queued so far (the header included)
    uint32_t frame_bytes_ = 0;   // bytes per frame of that recording; 0 until its header is known
    SDL_AudioDeviceID out_ = 0;  // the desktop's output, opened for the recording's format
    SDL_AudioSpec spec_{};       // what it was opened with
    bool failed_ = false;        // the output could not be opened: said once, then quiet
};

}  // namespace desk

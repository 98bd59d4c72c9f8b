// The sound the factory program plays, from the capture side of the loopback
// card: one recording per opening of the card's playback side.
#pragma once

#include <poll.h>

#include <cstddef>
#include <vector>

namespace mpsim::vm {

class Sound {
  public:
    void start();
    void service();
};

}  // namespace mpsim::vm

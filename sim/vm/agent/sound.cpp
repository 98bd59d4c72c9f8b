#include "sound.h"

namespace mpsim::vm {

void Sound::start() {}
void Sound::service() {}

}  // namespace mpsim::vm

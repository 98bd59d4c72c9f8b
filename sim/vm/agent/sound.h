// The sound the factory program plays, from the capture side of the loopback
// card: one recording per opening of the card's playback side.
#pragma once

#include <alsa/asoundlib.h>

#include <string>
#include <utility>
#include <vector>

namespace mpsim::vm {

// Called for each message the agent sends to the host.
void send_message(uint32_t type, const void *a, size_t an, const void *b, size_t bn);

class Sound {
  public:
    void start();                 // opens the capture side
    void service();               // sends what was played since the last call
    void opened() { ++opened_; }  // the program opened the playback side (journal)
    int underruns() const { return underruns_; }

  private:
    struct Run {
        int recording;
        long long begin;  // capture frames [begin, end); end -1 while it runs
        long long end;
    };
    long long run_begin();
    void end_run(long long at);
    void new_recording();

    snd_pcm_t *pcm_ = nullptr;
    long long position_ = 0;  // capture frames read
    bool in_recording_ = false;
    int recordings_ = 0;
    int opened_ = 0;
    int runs_of_recording_ = 0;
    int underruns_ = 0;
    std::string trigger_;  // the playback side's last start
    std::vector<Run> runs_;
};

}  // namespace mpsim::vm

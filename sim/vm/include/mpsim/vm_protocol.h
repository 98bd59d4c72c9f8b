// What the bench agent in the virtual device and the host say to each other
// over the virtio serial port "bench".
//
// Host to agent: command lines, "<id> <verb> [args]\n". Verbs:
//   level LINE 0|1      an input line's level (a pressed key is 0)
//   levels              every board line: "LINE in|out LEVEL" per line
//   vol N, bat N        the volume wheel's and the battery's raw readings
//   te-clock N          the panel clock (TE rate = N / (lines + porch))
//   te-stop 0|1         the TE line stops toggling / toggles again
//   read PATH           a file's bytes, as hex ("missing" when it is not there)
//   write PATH HEX      a file's whole content, synced to its disk
//   exists PATH         1 or 0
//   entries PATH        a folder's entries by name, space-separated ("." and ".." aside)
//   wall-clock hold|run the wall clock stands still at its second / runs again
//   kill                SIGKILL to the factory program and what it started
//   underruns           how often the sound card's playback side ran dry
//   clock               CLOCK_MONOTONIC and CLOCK_REALTIME, in nanoseconds
// Each command gets one Answer: "<id> ok [text]" or "<id> error <text>".
//
// Agent to host: messages, each a MsgHeader and `len` bytes of payload.
// Times in them are the machine's CLOCK_MONOTONIC; the host converts them
// with its own clock at the latest Hello or Clock, which come only at
// power-on and with the answers to the host's inputs (not to its questions:
// levels, read, exists, entries, underruns, clock), so that the intervals
// between two inputs are the machine's own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mpsim/hex.h"

namespace mpsim::vm {

// Bytes travel as hex (mpsim/hex.h): in read and write commands and in the
// journal's lines.
using mpsim::hex;
using mpsim::hex_digit;
using mpsim::unhex;

enum MsgType : uint32_t {
    kMsgHello = 'H',      // text: "<monotonic ns> <kernel release>"
    kMsgClock = 'C',      // int64_t: the agent's CLOCK_MONOTONIC as it sends (before an answer)
    kMsgAnswer = 'A',     // text: the answer to a command
    kMsgFrame = 'F',      // FramePayload, then run-length pixels (see below)
    kMsgPush = 'P',       // FramePayload alone: a push that showed the last frame again
    kMsgJournal = 'J',    // text: one journal line in the simulated device's format
    kMsgStdout = 'O',     // bytes the program (or what it started) wrote to its standard output
    kMsgStderr = 'E',     // the same for standard error
    kMsgLog = 'L',        // new bytes of the system log (/var/log/messages)
    kMsgExit = 'X',       // text: "exited N" or "killed N" (signal number)
    kMsgRecording = 'R',  // RecordingPayload: a new recording (one per opening of the card)
    kMsgSamples = 'S',    // uint32_t recording index, then interleaved S16_LE samples
};

struct MsgHeader {
    uint32_t type;
    uint32_t len;
};

// A push of the panel. For kMsgFrame the pixels follow as (count, pixel)
// pairs of uint32_t, row by row.
struct FramePayload {
    uint32_t push;   // 1 for the first push since power-on
    uint32_t index;  // the distinct frame shown, from 0
    uint64_t time_ns;
    uint32_t width;
    uint32_t height;
};

struct RecordingPayload {
    uint32_t index;
    uint32_t rate;
    uint32_t channels;
    uint32_t reserved;
};

constexpr const char *kPortName = "bench";
constexpr uint32_t kMaxPayload = 1u << 20;

}  // namespace mpsim::vm

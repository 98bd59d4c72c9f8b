// The simulated sound card through alsa-lib: the probe plays numbered periods
// on a fresh device, and the tests check the card's real-time pacing, its
// recordings, and the underruns and faults it reports as a real card would.
#include <errno.h>
#include <gtest/gtest.h>

#include "probe.h"
#include "run_probe.h"

using mpsim::Device;
using probe::lines;
using probe::run;
using probe::Words;

namespace {

std::vector<long> write_results(const std::vector<Words> &out) {
    std::vector<long> r;
    for (const Words &l : lines(out, "write"))
        r.push_back(std::stol(l.at(2)));
    return r;
}

// The periods of `out` the card took, and whether the recording holds
// exactly those, in order.
std::vector<unsigned> taken(const std::vector<Words> &out) {
    std::vector<unsigned> r;
    for (const Words &l : lines(out, "write"))
        if (l.at(2) == std::to_string(probe::kPeriod))
            r.push_back(static_cast<unsigned>(std::stoul(l.at(1))));
    return r;
}

void expect_recording(const Device &d, const std::vector<unsigned> &periods, int index = 0) {
    const mpsim::Recording rec = d.recording(index);
    EXPECT_EQ(rec.rate, 44100u);
    ASSERT_EQ(rec.channels, 2u);
    std::vector<int16_t> want;
    for (unsigned seq : periods)
        for (unsigned f = 0; f < probe::kPeriod; ++f)
            for (unsigned ch = 0; ch < 2; ++ch)
                want.push_back(probe::sample(seq, f, ch));
    EXPECT_EQ(rec.samples, want);
}

TEST(SoundCard, PlaysInRealTimeAndRecordsEveryPeriod) {
    Device d;
    constexpr int kPeriods = 200;  // 51200 frames: 1.161 s at 44100 frames a second
    auto out = run(d, {.args = {"pcm 2", "play " + std::to_string(kPeriods), "drain", "close"}});
    const Words pcm = lines(out, "pcm").at(0);
    EXPECT_EQ(pcm, (Words{"pcm", "0", "44100", "256", pcm.at(4)}));
    const long buffer = std::stol(pcm.at(4));
    EXPECT_TRUE(buffer >= 512 && buffer % 256 == 0) << buffer;
    ASSERT_EQ(write_results(out), std::vector<long>(kPeriods, probe::kPeriod));

    // The card starts with the first period: period k is taken only once the
    // card has played all but a buffer of the frames before it.
    auto writes = lines(out, "write");
    const double t0 = std::stod(writes[0].at(3)) / 1e9;
    for (size_t k = 0; k < writes.size(); ++k) {
        const double frames = static_cast<double>((k + 1) * probe::kPeriod) - buffer;
        ASSERT_GE(std::stod(writes[k].at(3)) / 1e9 - t0, frames / 44100 - 0.002) << "write " << k;
    }
    const Words drain = lines(out, "drain").at(0);
    EXPECT_EQ(drain.at(1), "0");
    EXPECT_GE(std::stod(drain.at(2)) / 1e9 - t0, 1.161 - 0.01);
    expect_recording(d, taken(out));
    EXPECT_EQ(d.underruns(), 0);
}

TEST(SoundCard, UnderrunsWhenAskedAndWhenTheWriterSleepsPastTheBuffer) {
    Device asked;
    asked.request_underruns(1);
    auto out = run(asked, {.args = {"pcm 2", "play 4", "close"}});
    EXPECT_EQ(write_results(out), (std::vector<long>{-EPIPE, 256, 256, 256}));
    EXPECT_EQ(lines(out, "prepare").at(0).at(1), "0");
    expect_recording(asked, {1, 2, 3});
    EXPECT_EQ(asked.underruns(), 1);

    // A card that does not wait for late data: 300 ms asleep outlasts the
    // buffer (4096 frames, 93 ms).
    Device strict;
    out = run(strict, {.args = {"pcm 2", "play 4", "sleep 300", "play 3", "close"},
                       .env = {"MPSIM_SOUND_SLACK_MS=0"}});
    auto rc = write_results(out);
    ASSERT_EQ(rc.size(), 7u);
    EXPECT_EQ(std::vector<long>(rc.begin(), rc.begin() + 5),
              (std::vector<long>{256, 256, 256, 256, -EPIPE}));
    // A stalled machine may cost a restarted stream another underrun.
    const auto refused = std::count(rc.begin(), rc.end(), -EPIPE);
    EXPECT_EQ(std::count(rc.begin(), rc.end(), 256) + refused, 7);
    EXPECT_EQ(strict.underruns(), refused);
    expect_recording(strict, taken(out));
}

// Unplugged, stopped under the writer, or with its DMA stuck: each failed
// write is followed by a prepare, which does not mend the card. Once mended
// it plays again on a new open (an unplugged stream never comes back).
TEST(SoundCard, BrokenCardFailsEveryWriteUntilMended) {
    for (int err : {ENODEV, EBADFD, EIO}) {
        SCOPED_TRACE(strerrorname_np(err));
        Device d;
        d.fail_sound_writes(err, 3);
        auto out = run(d, {.args = {"pcm 2", "play 5", "echo ready", "waitfile " + d.root() + "/go",
                                    "close", "pcm 2", "play 2", "drain", "close"},
                           .at_ready = [&] { d.fail_sound_writes(0, 0); }});
        EXPECT_EQ(write_results(out), (std::vector<long>{256, 256, 256, -err, -err, 256, 256}));
        EXPECT_EQ(lines(out, "drain").at(0).at(1), "0");
        expect_recording(d, {0, 1, 2});
        expect_recording(d, {5, 6}, 1);
    }
}

TEST(SoundCard, SuspendedCardResumesAfterTheEagainAnswers) {
    Device d;
    auto out = run(d, {.args = {"pcm 2", "play 8", "echo ready", "waitfile " + d.root() + "/go",
                                "play 4", "drain", "close"},
                       .at_ready = [&] { d.suspend_sound(2); }});
    auto rc = write_results(out);
    ASSERT_EQ(rc.size(), 12u);
    EXPECT_EQ(rc[8], -ESTRPIPE);
    EXPECT_EQ(lines(out, "resume"),
              (std::vector<Words>{{"resume", "-11"}, {"resume", "-11"}, {"resume", "0"}}));
    EXPECT_TRUE(lines(out, "prepare").empty());
    EXPECT_EQ(std::vector<long>(rc.begin() + 9, rc.end()), std::vector<long>(3, probe::kPeriod));
    EXPECT_EQ(lines(out, "drain").at(0).at(1), "0");
    expect_recording(d, {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11});
}

}  // namespace

// A decoded ring tone laid out in seconds for the synthesizer: tempo, loops,
// the master volume, and notes cut where the song goes back.
#include "audio/performance.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mfi/decode.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

std::vector<std::string> describe(const audio::Performance& p) {
  static const char* const kKinds[] = {"on", "off", "program", "control", "bend", "master"};
  std::vector<std::string> out;
  for (const audio::TimedEvent& e : p.events) {
    char line[96];
    std::snprintf(line, sizeof line, "%.4f %s %d %d %d", e.seconds, kKinds[static_cast<int>(e.kind)], e.channel,
                  e.data1, e.data2);
    out.push_back(line);
  }
  return out;
}

// An MFi file of one track; `events` in hex.
Bytes oneTrackMfi(const std::string& events) {
  const Bytes body = hex(events);
  Bytes file = hex("6D 65 6C 6F 00 00 00 00  00 0B 01 01 01  6E 6F 74 65 00 02 00 01  74 72 61 63 00 00 00 00");
  file[28] = static_cast<std::uint8_t>(body.size());
  file = concat({file, body});
  file[7] = static_cast<std::uint8_t>(file.size() - 8);
  return file;
}

TEST(BuildPerformance, TheWorkedExampleInSeconds) {
  Bytes mfi;
  ASSERT_EQ(convertBytes(workedExample(), &mfi), result::kSuccess);
  const DecodedMfi d = decodeMfi(mfi);
  ASSERT_TRUE(d.ok) << d.error;
  const audio::Performance p = audio::buildPerformance(d.midi);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(describe(p), (std::vector<std::string>{"0.0000 program 0 0 0", "0.0000 on 0 60 100",
                                                   "0.0000 control 1 7 72", "0.2500 on 1 64 80",
                                                   "0.5000 off 0 60 0", "0.5000 off 1 64 0"}));
  EXPECT_DOUBLE_EQ(p.seconds, d.seconds);
}

TEST(BuildPerformance, TempoChangesAndTheMasterVolume) {
  // 120 per minute, then 60 from tick 48; master volume 90 at 72.
  const DecodedMfi d = decodeMfi(oneTrackMfi("00 FF C3 78  00 0F 60 80  30 FF C3 3C  18 FF B0 5A  18 FF DF 00"));
  ASSERT_TRUE(d.ok) << d.error;
  const audio::Performance p = audio::buildPerformance(d.midi);
  EXPECT_EQ(describe(p), (std::vector<std::string>{"0.0000 on 0 60 64", "1.0000 master 0 90 0", "1.5000 off 0 60 0"}));
  EXPECT_DOUBLE_EQ(p.seconds, 1.5);
  EXPECT_DOUBLE_EQ(d.seconds, 1.5);
}

TEST(BuildPerformance, LoopsGoBackToTheCueStartAndEndSoundingNotes) {
  // A at 0; cue start at 48 with B (gate 96, past the cue end at 96); the
  // song ends with B at 144.
  const DecodedMfi d =
      decodeMfi(oneTrackMfi("00 0C 10 80  30 FF D0 00  00 0E 60 80  30 FF D0 01  30 FF DF 00"));
  ASSERT_TRUE(d.ok) << d.error;
  ASSERT_EQ(d.cueStartTick, 48);
  ASSERT_EQ(d.cueEndTick, 96);

  const audio::Performance once = audio::buildPerformance(d.midi, {d.cueStartTick, d.cueEndTick}, 1);
  EXPECT_DOUBLE_EQ(once.seconds, 1.5);
  const audio::Performance thrice = audio::buildPerformance(d.midi, {d.cueStartTick, d.cueEndTick}, 3);
  EXPECT_EQ(describe(thrice), (std::vector<std::string>{"0.0000 on 0 57 64", "0.1667 off 0 57 0",
                                                        "0.5000 on 0 59 64", "1.0000 off 0 59 0",
                                                        "1.0000 on 0 59 64", "1.5000 off 0 59 0",
                                                        "1.5000 on 0 59 64", "2.5000 off 0 59 0"}));
  EXPECT_DOUBLE_EQ(thrice.seconds, 2.5) << "1 s to the cue end, 0.5 s again, then 1 s to the end";

  // Without cue points the whole song is the loop.
  const DecodedMfi plain = decodeMfi(oneTrackMfi("00 0C 30 80  30 FF DF 00"));
  EXPECT_DOUBLE_EQ(audio::buildPerformance(plain.midi, {plain.cueStartTick, plain.cueEndTick}, 2).seconds, 1.0);
}

TEST(BuildPerformance, AFileThatIsNoMidiFile) {
  const audio::Performance p = audio::buildPerformance(hex("00 01 02 03"));
  EXPECT_FALSE(p.ok);
  EXPECT_FALSE(p.error.empty());
}

}  // namespace
}  // namespace tonvell::test

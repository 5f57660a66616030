// The handset mode on the command line: --handset and its master volume and
// loop options give the files the engine writes with those settings, and
// contradictory or out-of-range options never start a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "smf/events.h"
#include "support/song_generator.h"
#include "support/test_support.h"
#include "support/timed_track.h"

namespace tonvell::test {
namespace {

ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, "", cwd, {"SOURCE_DATE_EPOCH"});
}

TEST(CliHandset, OptionsGiveTheEnginesFiles) {
  TempDir dir;
  const Bytes midi = generateSong(3000, 7).bytes;
  writeFile(dir.file("a.mid"), midi);
  struct Case {
    std::vector<std::string> args;
    int handset, masterVolumeSwitch, masterVolume, loop;
  };
  const std::vector<Case> cases = {
      {{}, 0, 1, 100, 1},
      {{"--master-volume", "5", "--no-loop"}, 0, 1, 5, 0},  // no effect without --handset
      {{"--handset"}, 1, 1, 100, 1},
      {{"--handset", "--master-volume", "127", "--loop"}, 1, 1, 127, 1},
      {{"--handset", "--no-master-volume", "--no-loop"}, 1, 0, 100, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--date", "20030105", "--overwrite", "all", "-q", "a.mid"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult r = cli(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    ConverterSettings s;
    s.handsetSwitch = c.handset;
    s.masterVolumeSwitch = c.masterVolumeSwitch;
    s.masterVolume = c.masterVolume;
    s.loopSwitch = c.loop;
    Bytes want;
    ASSERT_EQ(convertBytes(midi, &want, s), result::kSuccess);
    EXPECT_EQ(readFile(dir.file("a.mld")), want) << c.args.size() << " options";
  }
  Bytes plain;
  ASSERT_EQ(convertBytes(midi, &plain), result::kSuccess);
  EXPECT_NE(readFile(dir.file("a.mld")), plain) << "the last case wrote a handset file";
}

TEST(CliHandset, EveryTrackOfTheFileIsRead) {
  // A conductor and 20 one-note tracks, channels 1 to 16 and again 1 to 4:
  // each note is heard at its time, whatever the track it is in.
  TempDir dir;
  std::vector<Bytes> tracks = {timedTrack({{0, {0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}}}, 0)};
  std::vector<std::string> want;
  for (std::uint32_t t = 0; t < 20; ++t) {
    const auto c = static_cast<std::uint8_t>(t % 16);
    const auto key = static_cast<std::uint8_t>(c == 9 ? 40 : 50 + t);
    tracks.push_back(timedTrack({{t * 96, {static_cast<std::uint8_t>(0x90 | c), key, 100}},
                                 {t * 96 + 90, {static_cast<std::uint8_t>(0x80 | c), key, 0}}},
                                t * 96 + 90));
    want.push_back(std::to_string(c) + ":" + std::to_string(t * 48) + ":" + std::to_string(key));
  }
  Bytes midi = smfHeader(1, 21, 96);
  for (const Bytes& t : tracks) midi.insert(midi.end(), t.begin(), t.end());
  writeFile(dir.file("many.mid"), midi);
  const ProcessResult r = cli({"--handset", "--date", "20030105", "-q", "many.mid"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const ProcessResult d = cli({"decode", "-o", "heard/", "many.mld"}, dir.path());
  ASSERT_EQ(d.status, 0) << d.err;
  const Bytes heard = readFile(dir.file("heard/many.mid"));
  const SmfSong song = readSmfSong(heard);
  std::vector<std::string> got;
  for (const auto& events : song.tracks)
    for (const SmfEvent& e : events)
      if (e.isChannelEvent() && e.kind() == 0x90 && e.data2 > 0)
        got.push_back(std::to_string(e.channel()) + ":" + std::to_string(e.tick) + ":" + std::to_string(e.data1));
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want);
}

TEST(CliHandset, ContradictionsAndRangesAreUsageErrors) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::vector<std::vector<std::string>> cases = {
      {"--handset", "--loop", "--no-loop", "a.mid"},
      {"--handset", "--master-volume", "50", "--no-master-volume", "a.mid"},
      {"--handset", "--master-volume", "128", "a.mid"},
      {"--handset", "--master-volume", "-1", "a.mid"},
      {"--handset", "--master-volume", "loud", "a.mid"},
  };
  for (const auto& args : cases) {
    const ProcessResult r = cli(args, dir.path());
    EXPECT_EQ(r.status, 2) << args[2] << "\n" << r.err;
    EXPECT_NE(r.err, "");
    EXPECT_FALSE(fileExists(dir.file("a.mld"))) << args[2];
  }
  const ProcessResult help = cli({"--help"}, dir.path());
  for (const char* option : {"--handset", "--master-volume", "--no-master-volume", "--loop", "--no-loop"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace tonvell::test

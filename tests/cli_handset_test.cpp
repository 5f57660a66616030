// The handset mode on the command line: --handset and its master volume and
// loop options give the files the engine writes with those settings, and
// contradictory or out-of-range options never start a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/song_generator.h"
#include "support/test_support.h"

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

TEST(CliHandset, ContradictionsAndRangesAreUsageErrors) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::vector<std::vector<std::string>> cases = {
      {"--handset", "--loop", "--no-loop", "a.mid"},
      {"--handset", "--master-volume", "50", "--no-master-volume", "a.mid"},
      {"--handset", "--master-volume", "128", "a.mid"},
      {"--handset", "--master-volume", "-1", "a.mid"},
      {"--handset", "--master-volume", "loud", "a.mid"},
      {"--master-volume", "5", "--no-loop", "a.mid"},  // they mean nothing without --handset
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

// "tonvell-cli decode", "render" and "check": the files they write, what they
// print, faults on standard error with the file's name, and the exit status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "audio/synth.h"
#include "mfi/decode.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, "", cwd);
}

// The worked example converted into dir/a.mld, and a damaged copy in bad.mld.
struct RingTones {
  TempDir dir;
  RingTones() {
    Bytes mfi;
    EXPECT_EQ(convertBytes(workedExample(), &mfi), result::kSuccess);
    writeFile(dir.file("a.mld"), mfi);
    mfi[0] = 'M';
    writeFile(dir.file("bad.mld"), mfi);
  }
};

TEST(CliDecode, WritesEachRingToneAsAMidiFile) {
  RingTones t;
  ProcessResult r = cli({"decode", "-o", "out", "a.mld", "bad.mld", "none.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "a.mld => out/a.mid: 2 channels, 0.50 s\n");
  EXPECT_EQ(r.err,
            "decode: bad.mld: not an MFi file: no \"melo\" at offset 0\n"
            "decode: none.mld: No such file or directory\n");
  EXPECT_EQ(readFile(t.dir.file("out/a.mid")), decodeMfi(readFile(t.dir.file("a.mld"))).midi);
  EXPECT_FALSE(fileExists(t.dir.file("out/bad.mid")));

  r = cli({"decode", "a.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fileExists(t.dir.file("a.mid"))) << "the current folder by default";
  EXPECT_EQ(cli({"decode"}, t.dir.path()).status, 2);
}

TEST(CliRender, WritesWavFilesAndChecksItsOptions) {
  if (audio::defaultSoundFont().empty()) GTEST_SKIP() << "no General MIDI SoundFont installed";
  RingTones t;
  ProcessResult r = cli({"render", "-o", "wav", "--loops", "2", "--voices", "4", "a.mld", "bad.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("a.mld => wav/a.wav: 1.00 s played, ", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "render: bad.mld: not an MFi file: no \"melo\" at offset 0\n");
  EXPECT_GT(readFile(t.dir.file("wav/a.wav")).size(), 44u + 4 * 44100u) << "a second at least, 4 bytes a frame";

  r = cli({"render", "--soundfont", "none.sf2", "a.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "render: none.sf2: No such file or directory\n");
  EXPECT_EQ(cli({"render", "--voices", "0", "a.mld"}, t.dir.path()).status, 2);
  EXPECT_EQ(cli({"render", "--loops", "0", "a.mld"}, t.dir.path()).status, 2);
}

// Division 96, tempo 120 then 150, a pan of 64 (heard hard left), C4, key 10
// (out of reach), D4 one tick late for 48 ticks to the quarter.
Bytes troubledSong() {
  return concat({smfHeader(1, 2, 96), track(hex("00 FF 51 03 07 A1 20  83 00 FF 51 03 06 1A 80  60 FF 2F 00")),
                 track(hex("00 B0 0A 40  00 90 3C 64  60 80 3C 00  00 90 0A 64  60 80 0A 00  01 90 3E 64"
                           "  5F 80 3E 00  00 FF 2F 00"))});
}

TEST(CliCheck, ATableOrJsonAndTheExitStatus) {
  TempDir dir;
  writeFile(dir.file("t.mid"), troubledSong());
  writeFile(dir.file("clean.mid"),
            concat({smfHeader(1, 2, 48), track(hex("00 FF 51 03 07 A1 20  00 FF 2F 00")),
                    track(hex("00 90 3C 64  30 80 3C 00  00 FF 2F 00"))}));

  ProcessResult r = cli({"check", "clean.mid"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\n  nothing lost, moved or misheard\n"), std::string::npos) << r.out;

  r = cli({"check", "t.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n    0      3      2      0      5.2      1      0        1         1\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  out of reach: 1 (drum keys outside the kit 0, keys out of range 1; 1 at another key, 0 dropped)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  tempo changes: 2, misheard 1\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  found: controller changes misheard, tempo changes misheard, keys out of range\n"),
            std::string::npos)
      << r.out;

  r = cli({"check", "--json", "t.mid", "clean.mid", "none.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[0]["clean"], false);
  EXPECT_EQ(j[0]["total"]["moved"], 0);
  EXPECT_EQ(j[0]["problems"], nlohmann::json({"controllersMisheard", "temposMisheard", "keysOutOfRange"}));
  EXPECT_EQ(j[0]["total"]["outOfReach"]["count"], 1);
  EXPECT_EQ(j[0]["total"]["misheard"], 1);
  EXPECT_EQ(j[0]["tempoChanges"]["misheard"], 1);
  EXPECT_EQ(j[0]["polyphony"]["song"], 1);
  EXPECT_EQ(j[1]["clean"], true);
  EXPECT_EQ(j[2]["ok"], false);
  EXPECT_EQ(j[2]["error"], "No such file or directory");
}

// Inputs are read by the converter's own rules: a folder or a device fails
// at once with its reason (a device is never read without end).
TEST(CliDecode, FoldersAndDevicesAreFailedFilesForEveryCommand) {
  TempDir dir;
  for (const char* command : {"decode", "render", "check"}) {
    std::vector<std::string> args = {command, dir.path(), "/dev/zero"};
    if (std::string(command) != "check") args.insert(args.begin() + 1, {"-o", "out"});
    const ProcessResult r = cli(args, dir.path());
    EXPECT_EQ(r.status, 1) << command << ": " << r.err;
    EXPECT_NE(r.err.find(dir.path() + ": Is a directory"), std::string::npos) << command << ": " << r.err;
    EXPECT_NE(r.err.find("/dev/zero: not a regular file"), std::string::npos) << command << ": " << r.err;
  }
}

}  // namespace
}  // namespace tonvell::test

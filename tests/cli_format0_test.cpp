// The command line over the format-0 files of the edge-case corpus: with
// --format0 each one writes the ring tone of the format-1 file of one track
// per channel that the test support writes for it; without, each is refused
// and nothing is written.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "convert/batch.h"
#include "smf/events.h"
#include "support/format1_by_channel.h"
#include "support/test_support.h"
#include "support/timed_track.h"

namespace tonvell::test {
namespace {

const std::string kNotFormat1 = "★无法处理以格式 1 以外的形式保存的 MIDI 文件\n";

ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, "", cwd, {"SOURCE_DATE_EPOCH"});
}

struct CorpusFile {
  std::string name;
  Bytes bytes;
};

std::vector<CorpusFile> corpus() {
  std::vector<CorpusFile> files;
  if (DIR* dir = opendir(TONVELL_CORPUS_DIR)) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".mid")
        files.push_back({name, readFile(std::string(TONVELL_CORPUS_DIR) + "/" + name)});
    }
    closedir(dir);
  }
  std::sort(files.begin(), files.end(), [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
  return files;
}

int formatOf(const Bytes& b) { return b.size() >= 14 && toString(Bytes(b.begin(), b.begin() + 4)) == "MThd" ? b[8] << 8 | b[9] : -1; }

std::string logLine(std::size_t index, const std::string& name) {
  char number[16];
  std::snprintf(number, sizeof number, "%03zu: ", index);
  return number + name + "\n";
}

TEST(CliFormat0, CorpusFilesWriteTheRingToneOfTheirTrackPerChannelFile) {
  const std::vector<CorpusFile> files = corpus();
  ASSERT_GE(files.size(), 70u) << TONVELL_CORPUS_DIR;
  TempDir dir;
  std::vector<std::string> args = {"--format0", "--date", "20030105", "-q", "-o", "out/"};
  std::vector<const CorpusFile*> taken;
  std::vector<ChannelSplitFile> want;
  for (const CorpusFile& f : files) {
    ChannelSplitFile w = format1ByChannel(f.bytes);
    if (!w.found) continue;
    writeFile(dir.file(f.name), f.bytes);
    args.push_back(f.name);
    taken.push_back(&f);
    want.push_back(std::move(w));
  }
  const ProcessResult r = cli(args, dir.path());
  int compared = 0, withSystemMessages = 0;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    const std::string& name = taken[i]->name;
    Bytes expected;
    const ConvertResult code = convertBytes(want[i].bytes, &expected);
    const std::string out = outputPathFor(dir.path() + "/out/", name);
    ASSERT_NE(r.out.find(logLine(i, name)), std::string::npos) << name;
    if (code != result::kSuccess) {
      EXPECT_FALSE(fileExists(out)) << name;
      continue;
    }
    ASSERT_TRUE(fileExists(out)) << name << "\n" << r.out;
    EXPECT_TRUE(readFile(out) == expected) << name;
    ++compared;
    withSystemMessages += want[i].otherSystemStatus;
  }
  // The files with statuses 0xF1..0xFE too, as the test writer reads them
  // with the split's extents.
  std::printf("corpus files compared: %d of %zu taken, %d of them with statuses 0xF1..0xFE\n", compared,
              taken.size(), withSystemMessages);
  EXPECT_GE(compared - withSystemMessages, 45);
  EXPECT_GE(withSystemMessages, 10);
  EXPECT_EQ(r.out.find(kNotFormat1), std::string::npos) << r.out;
}

// "channel:tick" of every note-on of a MIDI file, in time order.
std::vector<std::string> noteOns(const Bytes& midi) {
  const SmfSong song = readSmfSong(midi);
  std::vector<std::pair<std::int64_t, std::string>> notes;
  for (const auto& events : song.tracks)
    for (const SmfEvent& e : events)
      if (e.isChannelEvent() && e.kind() == 0x90 && e.data2 > 0)
        notes.emplace_back(e.tick, std::to_string(e.channel()) + ":" + std::to_string(e.tick));
  std::stable_sort(notes.begin(), notes.end());
  std::vector<std::string> out;
  for (auto& n : notes) out.push_back(std::move(n.second));
  std::sort(out.begin(), out.end());
  return out;
}

TEST(CliFormat0, Channel16TakesAFreeTrackOrIsLeftOutAndLogged) {
  // Channels 15 and 16 playing together, 8 notes each; then every channel
  // playing a note, so that channel 16 finds no track. Converted and decoded
  // by the program itself.
  TempDir dir;
  std::vector<At> both, all;
  std::vector<std::string> wantBoth, wantAll;
  for (std::uint32_t k = 0; k < 8; ++k)
    for (const std::uint8_t c : {14, 15}) {
      both.push_back({k * 96, {static_cast<std::uint8_t>(0x90 | c), static_cast<std::uint8_t>(60 + k), 100}});
      both.push_back({k * 96 + 48, {static_cast<std::uint8_t>(0x80 | c), static_cast<std::uint8_t>(60 + k), 0}});
      wantBoth.push_back(std::to_string(c) + ":" + std::to_string(k * 48));
    }
  for (std::uint32_t c = 0; c < 16; ++c) {
    all.push_back({c * 96, {static_cast<std::uint8_t>(0x90 | c), static_cast<std::uint8_t>(c == 9 ? 40 : 60), 100}});
    all.push_back({c * 96 + 48, {static_cast<std::uint8_t>(0x80 | c), static_cast<std::uint8_t>(c == 9 ? 40 : 60), 0}});
    if (c != 15) wantAll.push_back(std::to_string(c) + ":" + std::to_string(c * 48));
  }
  std::stable_sort(both.begin(), both.end(), [](const At& a, const At& b) { return a.tick < b.tick; });
  writeFile(dir.file("both.mid"), concat({smfHeader(0, 1, 96), timedTrack(both, 800)}));
  writeFile(dir.file("all.mid"), concat({smfHeader(0, 1, 96), timedTrack(all, 1600)}));
  std::sort(wantBoth.begin(), wantBoth.end());
  std::sort(wantAll.begin(), wantAll.end());

  const ProcessResult r = cli({"--format0", "--date", "20030105", "-q", "-o", "out/", "both.mid", "all.mid"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const std::string leftOut = "     ※第 16 声道没有空余音轨，未转换\n";
  EXPECT_NE(r.out.find(logLine(1, "all.mid") + "     => out/all.mld\n" + leftOut), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(leftOut), r.out.rfind(leftOut)) << "once, for all.mid only";
  const ProcessResult d = cli({"decode", "-o", "heard/", "out/both.mld", "out/all.mld"}, dir.path());
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(noteOns(readFile(dir.file("heard/both.mid"))), wantBoth);
  EXPECT_EQ(noteOns(readFile(dir.file("heard/all.mid"))), wantAll);
}

TEST(CliFormat0, WithoutTheSwitchEveryFormat0FileIsRefusedAndNothingWritten) {
  TempDir dir;
  std::vector<std::string> names;
  for (const CorpusFile& f : corpus()) {
    if (formatOf(f.bytes) != 0) continue;
    writeFile(dir.file(f.name), f.bytes);
    names.push_back(f.name);
  }
  EXPECT_EQ(names.size(), 64u);
  std::vector<std::string> args = {"--date", "20030105", "-q", "-o", "out/"};
  args.insert(args.end(), names.begin(), names.end());
  const ProcessResult r = cli(args, dir.path());
  EXPECT_EQ(r.status, 1);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_NE(r.out.find(logLine(i, names[i]) + kNotFormat1), std::string::npos) << names[i];
    EXPECT_FALSE(fileExists(outputPathFor(dir.path() + "/out/", names[i]))) << names[i];
  }

  // With it, a format-0 header of two tracks and format 2 are still refused.
  for (const char* name : {"test-2-tracks-type-0.mid", "test-2-tracks-type-2.mid"})
    writeFile(dir.file(name), readFile(std::string(TONVELL_CORPUS_DIR) + "/" + name));
  const ProcessResult on =
      cli({"--format0", "--date", "20030105", "-q", "-o", "out/", "test-2-tracks-type-0.mid", "test-2-tracks-type-2.mid"},
          dir.path());
  EXPECT_EQ(on.status, 1);
  EXPECT_NE(on.out.find(logLine(0, "test-2-tracks-type-0.mid") + kNotFormat1), std::string::npos) << on.out;
  EXPECT_NE(on.out.find(logLine(1, "test-2-tracks-type-2.mid") + kNotFormat1), std::string::npos) << on.out;
}

}  // namespace
}  // namespace tonvell::test

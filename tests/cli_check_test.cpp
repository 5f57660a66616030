// "tonvell-cli check" as a user runs it: the picture of a real song agrees
// with the figures, and keys no conversion can play do not fail a song.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifdef TONVELL_XML_READER
#include <QFile>
#include <QXmlStreamReader>
#endif

#include "support/test_support.h"

namespace tonvell::test {
namespace {

ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, "", cwd);
}

#ifdef TONVELL_XML_READER
// The picture as an XML parser reads it: how many note rectangles of each
// fill, and the first line of text (the song's name).
struct Picture {
  std::map<std::string, int> noteFills;
  std::string title;
  std::string error;  // empty when the whole document parsed
};

Picture readPicture(const std::string& path) {
  Picture p;
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    p.error = "cannot open";
    return p;
  }
  QXmlStreamReader xml(&file);
  int notesDepth = -1, depth = 0;
  while (!xml.atEnd()) {
    xml.readNext();
    if (xml.isStartElement()) {
      ++depth;
      const auto attributes = xml.attributes();
      if (xml.name() == QLatin1String("g") && attributes.value("id") == QLatin1String("notes")) notesDepth = depth;
      if (xml.name() == QLatin1String("rect") && notesDepth > 0 && depth == notesDepth + 1)
        ++p.noteFills[attributes.value("fill").toString().toStdString()];
      if (xml.name() == QLatin1String("text") && p.title.empty())
        p.title = xml.readElementText(QXmlStreamReader::IncludeChildElements).toStdString(), --depth;
    } else if (xml.isEndElement()) {
      if (depth == notesDepth) notesDepth = -1;
      --depth;
    }
  }
  if (xml.hasError()) p.error = xml.errorString().toStdString();
  return p;
}
#endif

// In the default mode this song has notes of every kind: as written, moved,
// lost and out of reach (drum keys outside the kit). Its copy is named with
// the characters XML escapes.
TEST(CliCheck, APictureOfARealSongShowsItsFigures) {
  const std::string song = std::string(TONVELL_SONGS_DIR) + "/mosey_along_redfarn.mid";
  if (!fileExists(song)) GTEST_SKIP() << "no real songs: run make songs";
  TempDir dir;
  const std::string name = "mosey & <along>'s \"song\".mid";
  const Bytes input = readFile(song);
  writeFile(dir.file(name), input);

  ProcessResult r = cli({"check", "--json", "--svg", "roll.svg", name}, dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  const nlohmann::json total = nlohmann::json::parse(r.out)[0]["total"];
  const int asWritten = total["asWritten"], moved = total["moved"], lost = total["lost"]["count"],
            outOfReach = total["outOfReach"]["count"];
  ASSERT_GT(asWritten, 0);
  ASSERT_GT(moved, 0);
  ASSERT_GT(lost, 0);
  ASSERT_GT(outOfReach, 0);
  EXPECT_EQ(asWritten + moved + lost + outOfReach, total["notes"]);

#ifdef TONVELL_XML_READER
  Picture p = readPicture(dir.file("roll.svg"));
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.title, name);
  EXPECT_EQ(p.noteFills, (std::map<std::string, int>{
                             {"#3b75af", asWritten}, {"#f28e2b", moved}, {"#d62728", lost}, {"url(#out-of-reach)", outOfReach}}));
#endif

  // Never onto the input, also through a link; one song at a time.
  ASSERT_EQ(runProcess({"ln", "-s", name, dir.file("link.svg")}).status, 0);
  r = cli({"check", "--svg", "link.svg", name}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("check: link.svg: picture not written: it is the input file\n"), std::string::npos) << r.err;
  EXPECT_EQ(readFile(dir.file(name)), input);
  r = cli({"check", "--svg", "two.svg", name, name}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--svg: draws one FILE, not 2"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(dir.file("two.svg")));
  r = cli({"check", "--svg", "-", name}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--svg: names a file; standard output holds the report"), std::string::npos) << r.err;
  EXPECT_FALSE(fileExists(dir.file("-")));

  const ProcessResult png = runProcess({"rsvg-convert", "-o", dir.file("roll.png"), dir.file("roll.svg")});
  if (png.status == 127) GTEST_SKIP() << "rsvg-convert is not installed (scripts/bootstrap.sh installs it)";
  EXPECT_EQ(png.status, 0) << png.err;
  const Bytes picture = readFile(dir.file("roll.png"));
  ASSERT_GE(picture.size(), 4u);
  EXPECT_EQ(Bytes(picture.begin(), picture.begin() + 4), hex("89 50 4E 47"));
#ifndef TONVELL_XML_READER
  GTEST_SKIP() << "built without Qt: the picture's notes were not counted by an XML parser";
#endif
}

// A drum key outside the kit is the song's only fault: no conversion can
// play it, so the song passes and the report says how many there are.
TEST(CliCheck, KeysOutOfReachAloneAreNoFault) {
  TempDir dir;
  writeFile(dir.file("kit.mid"), concat({smfHeader(1, 3, 48), track(hex("00 FF 51 03 07 A1 20  00 FF 2F 00")),
                                         track(hex("00 90 3C 64  30 80 3C 00  00 FF 2F 00")),
                                         track(hex("00 99 64 64  30 89 64 00  00 FF 2F 00"))}));
  for (const char* mode : {"--handset", "--format0"}) {
    ProcessResult r = cli({"check", mode, "kit.mid"}, dir.path());
    EXPECT_EQ(r.status, 0) << mode << r.out;
    EXPECT_NE(r.out.find("\n  nothing lost, moved or misheard; 1 note out of the handset's reach, which no conversion "
                         "can play\n"),
              std::string::npos)
        << r.out;
    r = cli({"check", "--json", mode, "kit.mid"}, dir.path());
    const nlohmann::json j = nlohmann::json::parse(r.out)[0];
    EXPECT_EQ(j["clean"], true);
    EXPECT_EQ(j["problems"], nlohmann::json({"drumKeysOutsideKit"}));
    EXPECT_EQ(j["total"]["outOfReach"]["drumKeysOutsideKit"], 1);
  }
}

// The --json text is one JSON array as the library writes it: parsed and
// written again it is the same bytes, for the examples and the real songs
// in both modes and for a file that cannot be read.
TEST(CliCheck, TheJsonReadsBackAsTheSameText) {
  std::vector<std::string> args = {"check", "--json"};
  for (const std::string& dir : {std::string(TONVELL_SOURCE_DIR) + "/examples", std::string(TONVELL_SONGS_DIR)}) {
    std::vector<std::string> songs;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
      if (entry.path().extension() == ".mid") songs.push_back(entry.path().string());
    std::sort(songs.begin(), songs.end());
    args.insert(args.end(), songs.begin(), songs.end());
  }
  args.push_back("missing \"file\"\t.mid");
  for (const char* mode : {"", "--handset"}) {
    if (*mode) args.push_back(mode);
    const ProcessResult r = cli(args, TONVELL_SOURCE_DIR);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(nlohmann::ordered_json::parse(r.out).dump(2) + "\n", r.out) << mode;
  }
}

}  // namespace
}  // namespace tonvell::test

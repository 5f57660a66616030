#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "convert/input.h"
#include "convert/run.h"
#include "convert/strings.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Harness;

const std::string kBanner = "Lumora 专用转换工具。\n不符合铃声规格的数据将无法被转换成正确的数据并播放。\n\n";
const std::string kSep = std::string(80, '-') + "\r\n";

// Runs in a fresh temporary folder, the output folder ".".
struct BatchRun : ::testing::Test {
  test::TempDir dir;
  Harness h;
  void SetUp() override { h.converter.settings.outputFolder = dir.path() + "/"; }
  std::string& log() { return h.converter.fields.logText; }
};

TEST_F(BatchRun, EmptyListShowsTheBannerOnly) {
  h.display.lines = {""};
  h.converter.batchRun();
  EXPECT_EQ(log(), kBanner);
  EXPECT_EQ(h.converter.fields.statusText, "");
  EXPECT_EQ(h.converter.fields.percentText, "");
  EXPECT_EQ(h.converter.fields.progressPos, 0);
  EXPECT_EQ(h.display.pulls, 1);
  ASSERT_FALSE(h.display.pushes.empty());
  EXPECT_EQ(h.display.pushes.back().logText, kBanner) << "the last push shows the final state";
}

TEST_F(BatchRun, LinesAreCutAndIndexedAndMissingFilesLogged) {
  const std::string missing = dir.file("nothing.mid");
  h.display.lines = {missing + "\r\n", "", "   ", missing + "\0tail" + "x", missing};
  h.display.lines[3] = missing + std::string("\0tail", 5);
  h.converter.batchRun();
  const std::string notFound = "★找不到文件\r\n";
  const std::string expected = kBanner + kSep + "000: " + missing + "\r\n" + notFound +  //
                               kSep + "002:    \r\n" + notFound +                          //
                               kSep + "003: " + missing + "\r\n" + notFound +              //
                               kSep + "004: " + missing + "\r\n" + notFound +              //
                               kSep + "已检查 4 个文件、已保存了 0 个文件。\r\n";
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(h.converter.fields.statusText, "退出");
}

TEST_F(BatchRun, ConvertsAndSavesWithoutASuccessLine) {
  const std::string input = dir.file("song.mid");
  test::writeFile(input, test::workedExample());
  h.display.lines = {input};
  const RunSummary summary = h.converter.batchRun();
  const std::string output = dir.file("song.mld");
  EXPECT_EQ(log(), kBanner + kSep + "000: " + input + "\r\n" + "     => " + output + "\n" + kSep +
                       "已检查 1 个文件、已保存了 1 个文件。\r\n");
  EXPECT_EQ(log().find("转换成功"), std::string::npos);
  ASSERT_TRUE(test::fileExists(output));
  EXPECT_EQ(test::readFile(output).size(), 186u);
  EXPECT_EQ(summary.saved, 1);
  EXPECT_EQ(summary.failed, 0);
  EXPECT_EQ(h.converter.fields.statusText, "退出");
  EXPECT_EQ(h.converter.fields.percentText, "100%");
  EXPECT_EQ(h.converter.fields.progressPos, 100);

  // While saving, the status says so and the bar stays full.
  bool sawSaving = false;
  for (const test::Snapshot& s : h.display.pushes) {
    if (s.statusText == "保存 MLD 中") {
      sawSaving = true;
      EXPECT_EQ(s.percentText, "100%");
      EXPECT_EQ(s.progressPos, 100);
    }
  }
  EXPECT_TRUE(sawSaving);
}

TEST_F(BatchRun, FailuresAreLoggedWithTheirMessage) {
  const std::string format0 = dir.file("zero.mid");
  test::writeFile(format0, test::concat({test::smfHeader(0, 1, 96), test::track(test::hex("00 FF 2F 00"))}));
  const std::string text = dir.file("text.mid");
  test::writeFile(text, test::hex("48 65 6C 6C 6F"));
  h.display.lines = {format0, text, dir.path()};
  h.converter.batchRun();
  EXPECT_NE(log().find("000: " + format0 + "\r\n★无法处理以格式 1 以外的形式保存的 MIDI 文件\r\n"), std::string::npos);
  EXPECT_NE(log().find("001: " + text + "\r\n★不是 MIDI 文件\r\n"), std::string::npos);
  EXPECT_NE(log().find("002: " + dir.path() + "\r\n★找不到文件\r\n"), std::string::npos) << "a folder";
  EXPECT_NE(log().find("已检查 3 个文件、已保存了 0 个文件。"), std::string::npos);
}

TEST_F(BatchRun, OverwritePromptAndOverwriteAll) {
  const std::string a = dir.file("a.mid");
  const std::string b = dir.file("b.mid");
  test::writeFile(a, test::workedExample());
  test::writeFile(b, test::workedExample());
  h.display.lines = {a, b};
  h.converter.batchRun();
  EXPECT_TRUE(h.prompt.asked.empty());

  // Second run: skip a, overwrite-all for b; a third input meets no prompt.
  const std::string c = dir.file("c.mid");
  test::writeFile(c, test::workedExample());
  test::writeFile(dir.file("c.mld"), test::hex("00"));
  h.display.lines = {a, b, c};
  h.prompt.answers = {OverwriteAnswer::kSkip, OverwriteAnswer::kOverwriteAll};
  h.converter.batchRun();
  EXPECT_EQ(h.prompt.asked, (std::vector<std::string>{dir.file("a.mld"), dir.file("b.mld")}));
  EXPECT_NE(log().find("     => " + dir.file("a.mld") + "\n     ※已跳过\n"), std::string::npos);
  EXPECT_NE(log().find("     => " + dir.file("b.mld") + "\n     ※从这以后全部覆盖\n"), std::string::npos);
  EXPECT_NE(log().find("     => " + dir.file("c.mld") + "\n" + kSep), std::string::npos);
  EXPECT_NE(log().find("已检查 3 个文件、已保存了 2 个文件。"), std::string::npos);
  EXPECT_EQ(test::readFile(dir.file("c.mld")).size(), 186u);
  EXPECT_EQ(h.prompt.asked.back(), dir.file("b.mld"));

  // The next run asks again; "yes" overwrites.
  h.display.lines = {a};
  h.prompt.asked.clear();
  h.prompt.answers = {OverwriteAnswer::kYes};
  h.converter.batchRun();
  EXPECT_EQ(h.prompt.asked.size(), 1u);
  EXPECT_NE(log().find("\n     ※已覆盖\n"), std::string::npos);
  EXPECT_NE(log().find("已保存了 1 个文件"), std::string::npos);
}

TEST_F(BatchRun, OutputWrittenEarlierInTheRunIsNeverOverwritten) {
  const std::string a = dir.file("a.mid");
  test::writeFile(a, test::workedExample());
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  const std::string other = dir.file("sub/a.mid");
  test::writeFile(other, test::workedExample());
  h.display.lines = {a, a, other};
  h.prompt.answers = {OverwriteAnswer::kOverwriteAll};
  const RunSummary summary = h.converter.batchRun();
  EXPECT_TRUE(h.prompt.asked.empty()) << "the run's own output is no question";
  const std::string duplicate = "     => " + dir.file("a.mld") + "\n  输出文件名与本次已保存的文件重复，未保存\r\n";
  EXPECT_NE(log().find("001: " + a + "\r\n" + duplicate), std::string::npos) << log();
  EXPECT_NE(log().find("002: " + other + "\r\n" + duplicate), std::string::npos) << log();
  EXPECT_NE(log().find("已检查 3 个文件、已保存了 1 个文件。"), std::string::npos);
  EXPECT_EQ(summary.saved, 1);
  EXPECT_EQ(summary.failed, 2);
}

TEST_F(BatchRun, EachFileCarriesOnlyItsOwnSmfTexts) {
  using test::hex;
  const std::string first = dir.file("first.mid");
  const std::string second = dir.file("second.mid");
  test::writeFile(first, test::concat({test::smfHeader(1, 1, 96), test::track(hex("00 FF 02 03 41 42 43 00 FF 03 01 54"))}));
  test::writeFile(second, test::concat({test::smfHeader(1, 1, 96), test::track(hex("00 C0 01"))}));
  h.display.lines = {first, second};
  h.converter.batchRun();
  const test::Bytes one = test::readFile(dir.file("first.mld"));
  const test::Bytes two = test::readFile(dir.file("second.mld"));
  EXPECT_NE(test::toString(one).find(std::string("copy\0\x03" "ABC", 9)), std::string::npos);
  EXPECT_NE(test::toString(two).find(std::string("titl\0\0copy\0\0", 12)), std::string::npos)
      << "the second file has neither the first one's title nor its copyright";
}

TEST_F(BatchRun, OutputFolderGetsItsSeparator) {
  const std::string a = dir.file("a.mid");
  test::writeFile(a, test::workedExample());
  h.converter.settings.outputFolder = dir.path() + "/out/deeper";
  h.display.lines = {a};
  h.converter.batchRun();
  EXPECT_EQ(h.converter.settings.outputFolder, dir.path() + "/out/deeper/");
  EXPECT_TRUE(test::fileExists(dir.path() + "/out/deeper/a.mld"));
}

// The progress display, driven directly.
TEST(Progress, PercentagesAndRepaints) {
  Harness h;
  Converter& c = h.converter;
  c.beginProgress(200, "正转换SMF声道");
  EXPECT_EQ(c.fields.percentText, "  0%");
  EXPECT_EQ(c.fields.statusText, "正转换SMF声道");
  const size_t pushes = h.display.pushes.size();
  const int repaints = h.display.repaints;

  c.stepProgress(84);  // 42%
  EXPECT_EQ(c.fields.percentText, " 42%");
  EXPECT_EQ(c.fields.progressPos, 42);
  EXPECT_EQ(h.display.pushes.size(), pushes + 1);
  EXPECT_EQ(h.display.repaints, repaints + 1);

  c.stepProgress(1);  // 42.5%: the whole percentage stays
  EXPECT_EQ(h.display.pushes.size(), pushes + 1);
  EXPECT_EQ(h.display.repaints, repaints + 1);

  c.finishProgress();
  EXPECT_EQ(c.fields.percentText, "100%");
  EXPECT_EQ(c.fields.progressPos, 100);
}

TEST(Progress, ClearLogResetsTheDisplay) {
  Harness h;
  h.converter.fields.logText = "old";
  h.converter.fields.statusText = "x";
  h.converter.fields.percentText = " 50%";
  h.converter.fields.progressPos = 50;
  const int repaints = h.display.repaints;
  h.converter.clearLog();
  EXPECT_EQ(h.converter.fields.logText, kBanner);
  EXPECT_EQ(h.converter.fields.statusText, "");
  EXPECT_EQ(h.converter.fields.percentText, "");
  EXPECT_EQ(h.converter.fields.progressPos, 0);
  EXPECT_EQ(h.display.repaints, repaints + 1);
}

TEST(CutLine, EndsAtTheFirstBreak) {
  EXPECT_EQ(cutLine("abc"), 3u);
  EXPECT_EQ(cutLine("abc\r\n"), 3u);
  EXPECT_EQ(cutLine("ab\ncd"), 2u);
  EXPECT_EQ(cutLine(std::string_view("a\0b", 3)), 1u);
  EXPECT_EQ(cutLine("  "), 2u) << "spaces stay";
  EXPECT_EQ(cutLine(""), 0u);
}

TEST(LoadInput, RefusesWhatCannotBeRead) {
  test::TempDir dir;
  std::vector<std::uint8_t> ws;
  const auto loadInput = [](const std::string& path, std::vector<std::uint8_t>& bytes) {
    return readInputFile(path, &bytes);
  };
  EXPECT_EQ(loadInput(dir.file("none"), ws), result::kFileNotFound);
  EXPECT_EQ(loadInput(dir.path(), ws), result::kFileNotFound);
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(loadInput(fifo, ws), result::kFileNotFound) << "a pipe does not hold the run";
  // 128 MiB or more: refused before anything is allocated (a sparse file).
  const std::string big = dir.file("big.mid");
  ASSERT_EQ(truncate((test::writeFile(big, {}), big).c_str(), kMaxInputLength), 0);
  EXPECT_EQ(loadInput(big, ws), result::kNoMemory);
  EXPECT_TRUE(ws.empty());
  ASSERT_EQ(truncate(big.c_str(), 100), 0);
  EXPECT_EQ(loadInput(big, ws), result::kSuccess);
  EXPECT_EQ(ws.size(), 100u);
}

// A file that opens but gives fewer bytes than its size: sysfs reports 4096
// bytes for attributes that hold a few.
TEST(LoadInput, ShortReadIsReportedAndTheRunGoesOn) {
  const char* sysfs = "/sys/devices/system/cpu/online";
  if (access(sysfs, R_OK) != 0) GTEST_SKIP() << "no " << sysfs << " here";
  Harness h;
  test::TempDir dir;
  const std::string good = dir.file("good.mid");
  test::writeFile(good, test::workedExample());
  h.converter.settings.outputFolder = dir.path() + "/";
  h.display.lines = {sysfs, good};
  h.converter.batchRun();
  const std::string& log = h.converter.fields.logText;
  EXPECT_NE(log.find(std::string("000: ") + sysfs + "\r\n★文件读取失败，无法读入全部数据\r\n"), std::string::npos);
  EXPECT_NE(log.find("已检查 2 个文件、已保存了 1 个文件。"), std::string::npos);
}

}  // namespace
}  // namespace tonvell

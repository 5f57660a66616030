// The command line's pieces that need no process: dates, list lines, the log
// stream, answers, the progress line and the trace writer.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "cli/options.h"
#include "cli/terminal.h"
#include "core/gbk.h"

namespace tonvell::cli {
namespace {

std::string dateText(const std::optional<CalendarDate>& d) {
  if (!d) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d->year, d->month, d->day);
  return text;
}

TEST(CliOptions, DatesMustBeOnTheCalendar) {
  EXPECT_EQ(dateText(parseDate("20030105")), "2003-01-05");
  EXPECT_EQ(dateText(parseDate("20000229")), "2000-02-29");
  EXPECT_EQ(dateText(parseDate("20240229")), "2024-02-29");
  EXPECT_EQ(dateText(parseDate("00011231")), "0001-12-31");
  for (const char* bad : {"19000229", "20230229", "20030230", "20030431", "20031301", "20030001", "20030100",
                          "00000101", "2003015", "200301050", "2003-1-5", "2003O105", ""})
    EXPECT_EQ(dateText(parseDate(bad)), "none") << bad;
}

TEST(CliOptions, SourceDateEpochIsAUtcDate) {
  EXPECT_EQ(dateText(dateFromEpoch("0")), "1970-01-01");
  EXPECT_EQ(dateText(dateFromEpoch("1041724800")), "2003-01-05");
  EXPECT_EQ(dateText(dateFromEpoch("1041811199")), "2003-01-05");
  EXPECT_EQ(dateText(dateFromEpoch("1041811200")), "2003-01-06");
  for (const char* bad : {"", "-1", "12ab", " 1", "1.5", "999999999999999999"})
    EXPECT_EQ(dateText(dateFromEpoch(bad)), "none") << bad;
}

TEST(CliOptions, ListLinesSplitAtLineFeedsOnly) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitListLines(""), V{});
  EXPECT_EQ(splitListLines("a"), V{"a"});
  EXPECT_EQ(splitListLines("a\n"), V{"a"});
  EXPECT_EQ(splitListLines("a\r\n\nb"), (V{"a\r", "", "b"}));
  EXPECT_EQ(splitListLines(std::string("x\0y\n\n\n", 6)), (V{std::string("x\0y", 3), "", ""}));
  EXPECT_EQ(countTakenLines({"a\r", "", "\r", std::string("\0x", 2), " ", "b"}), 3);
}

TEST(CliOptions, ByteOrderMarkIsNoPartOfTheFirstPath) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitListLines("\xEF\xBB\xBF" "a.mid\r\nb.mid"), (V{"a.mid\r", "b.mid"}));
  EXPECT_EQ(splitListLines("\xEF\xBB\xBF"), V{});
  // Only at the very start, and only whole.
  EXPECT_EQ(splitListLines("a\n\xEF\xBB\xBF" "b"), (V{"a", "\xEF\xBB\xBF" "b"}));
  EXPECT_EQ(splitListLines("\xEF\xBB" "a"), V{"\xEF\xBB" "a"});
}

TEST(CliOptions, OverwriteAnswers) {
  EXPECT_EQ(parseOverwriteAnswer("y"), OverwriteAnswer::kYes);
  EXPECT_EQ(parseOverwriteAnswer(" yes\r"), OverwriteAnswer::kYes);
  EXPECT_EQ(parseOverwriteAnswer("是"), OverwriteAnswer::kYes);
  EXPECT_EQ(parseOverwriteAnswer("a"), OverwriteAnswer::kOverwriteAll);
  EXPECT_EQ(parseOverwriteAnswer("全部覆盖"), OverwriteAnswer::kOverwriteAll);
  EXPECT_EQ(parseOverwriteAnswer("s"), OverwriteAnswer::kSkip);
  EXPECT_EQ(parseOverwriteAnswer("跳过"), OverwriteAnswer::kSkip);
  EXPECT_EQ(parseOverwriteAnswer("n"), OverwriteAnswer::kSkip);
  EXPECT_EQ(parseOverwriteAnswer(""), OverwriteAnswer::kNone);
  EXPECT_EQ(parseOverwriteAnswer("ya"), OverwriteAnswer::kNone);
}

TEST(CliProgress, LineShowsStatusPercentAndBar) {
  EXPECT_EQ(progressLine("MLD基础转换中", " 50%", 50, 10), "MLD基础转换中  50% [#####-----]");
  EXPECT_EQ(progressLine("保存 MLD 中", "100%", 100, 4), "保存 MLD 中 100% [####]");
  EXPECT_EQ(progressLine("", "", 0, 3), "     [---]");
  EXPECT_EQ(progressLine("x", "  0%", -5, 2), "x   0% [--]");
}

// A display over a file, to see what reaches standard output and the terminal.
struct Captured {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ~Captured() {
    std::fclose(out);
    std::fclose(err);
  }
  static std::string read(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char b[4096];
    for (std::size_t n; (n = std::fread(b, 1, sizeof b, f)) > 0;) s.append(b, n);
    std::fseek(f, 0, SEEK_END);
    return s;
  }
};

TEST(CliViewTest, ProgressIsRedrawnOnlyOnChangeAndClearedForTheLog) {
  Captured c;
  CliView v(c.out, c.err, 2, true);
  v.fileStarted(0, "dir/a.mid");
  EXPECT_EQ(Captured::read(c.out), std::string(80, '-') + "\n000: dir/a.mid\n") << "CR LF becomes LF";
  const std::string started = Captured::read(c.err);
  EXPECT_EQ(started, "\r\033[K[1/2] a.mid  " + progressLine("", "", 0, 30)) << "names the file in hand";

  v.beginProgress(4, "正转换SMF声道");
  v.stepProgress(0.01f);  // still 0%: nothing drawn
  const std::string first = Captured::read(c.err);
  EXPECT_EQ(first, started + "\r\033[K[1/2] a.mid  " + progressLine("正转换SMF声道", "  0%", 0, 30));

  v.outputChosen("out/a.mld");
  EXPECT_EQ(Captured::read(c.out), std::string(80, '-') + "\n000: dir/a.mid\n     => out/a.mld\n");
  // The progress line went away before the log line.
  EXPECT_EQ(Captured::read(c.err), first + "\r\033[K");
  v.stepProgress(2);
  EXPECT_EQ(Captured::read(c.err), first + "\r\033[K" + "\r\033[K[1/2] a.mid  " + progressLine("正转换SMF声道", " 50%", 50, 30));
}

// Standard error without a terminal gets the system's reasons, and nothing of
// the progress line.
TEST(CliViewTest, NoProgressWithoutATerminal) {
  Captured c;
  CliView v(c.out, c.err, 2, false);
  v.fileStarted(3, "x.mid");
  v.beginProgress(4, "MLD最后调整中");
  v.stepProgress(1);
  v.finishProgress();
  FileOutcome failed;
  failed.code = ResultCode::kNotMidi;
  v.fileFinished(failed);
  EXPECT_EQ(Captured::read(c.err), "") << "no system reason for a file that is not MIDI";
  v.fileStarted(4, "dir/locked.mid");
  FileOutcome unreadable;
  unreadable.inputPath = "dir/locked.mid";
  unreadable.code = ResultCode::kFileNotFound;
  unreadable.osError = EACCES;
  v.fileFinished(unreadable);
  v.runFinished(RunSummary{2, 0, 0, 2});
  const std::string sep(80, '-');
  EXPECT_EQ(Captured::read(c.out), sep + "\n003: x.mid\n★不是 MIDI 文件\n" + sep + "\n004: dir/locked.mid\n★找不到文件\n" +
                                       sep + "\n已检查 2 个文件、已保存了 0 个文件。\n");
  EXPECT_EQ(Captured::read(c.err), "tonvell-cli: dir/locked.mid: Permission denied\n");
}

// A failure's reasons, each with the path it concerns.
TEST(CliViewTest, SaveFailuresNameTheFolderAndTheOutput) {
  Captured c;
  CliView v(c.out, c.err, 1, true);
  v.fileStarted(0, "a.mid");
  const std::string progress = Captured::read(c.err);
  ASSERT_NE(progress, "");
  FileOutcome outcome;
  outcome.inputPath = "a.mid";
  outcome.outputPath = "blocked/sub/a.mld";
  outcome.folderFailure = {"blocked", ENOTDIR};
  outcome.save.status = SaveStatus::kCannotOpen;
  outcome.save.osError = ENOENT;
  v.fileFinished(outcome);
  EXPECT_EQ(Captured::read(c.err), progress + "\r\033[K" +
                                       "tonvell-cli: blocked: Not a directory\n"
                                       "tonvell-cli: blocked/sub/a.mld: No such file or directory\n")
      << "the progress line goes first";
  EXPECT_EQ(Captured::read(c.out), std::string(80, '-') + "\n000: a.mid\n  打不开输出文件\n");
}

TEST(CliTraceWriter, Utf8LinesEvenWhenSplitAcrossCalls) {
  Captured c;
  // "■再次登录 SMF 声道结果\n◎总声道数" in GBK.
  const std::string gbk =
      "\xA1\xF6\xD4\xD9\xB4\xCE\xB5\xC7\xC2\xBC SMF \xC9\xF9\xB5\xC0\xBD\xE1\xB9\xFB\n"
      "\xA1\xF2\xD7\xDC\xC9\xF9\xB5\xC0\xCA\xFD";
  {
    TraceWriter w(c.out, true);
    // Cut in the middle of a double-byte character.
    w.write(gbk.substr(0, 1));
    w.write(gbk.substr(1, gbk.size() - 2));
    w.write(gbk.substr(gbk.size() - 1));
    w.finish();
  }
  EXPECT_EQ(Captured::read(c.out), "■再次登录 SMF 声道结果\n◎总声道数");
  TraceWriter raw(c.err, false);
  raw.write(gbk);
  raw.finish();
  EXPECT_EQ(Captured::read(c.err), gbk);
}

}  // namespace
}  // namespace tonvell::cli

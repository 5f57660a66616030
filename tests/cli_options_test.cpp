// The command line's pieces that need no process: dates, list lines, the log
// stream, answers, the progress line and the trace writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/options.h"
#include "cli/terminal.h"
#include "convert/gbk.h"

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

TEST(CliOptions, OverwriteAnswers) {
  EXPECT_EQ(parseOverwriteAnswer("y"), 1);
  EXPECT_EQ(parseOverwriteAnswer(" yes\r"), 1);
  EXPECT_EQ(parseOverwriteAnswer("是"), 1);
  EXPECT_EQ(parseOverwriteAnswer("a"), 1027);
  EXPECT_EQ(parseOverwriteAnswer("全部覆盖"), 1027);
  EXPECT_EQ(parseOverwriteAnswer("s"), 2);
  EXPECT_EQ(parseOverwriteAnswer("跳过"), 2);
  EXPECT_EQ(parseOverwriteAnswer("n"), 2);
  EXPECT_EQ(parseOverwriteAnswer(""), 0);
  EXPECT_EQ(parseOverwriteAnswer("ya"), 0);
}

TEST(CliLogStream, HandsOnOnlyWhatIsNewWithLfLineEnds) {
  LogStream s;
  std::string log = "banner\n";
  EXPECT_EQ(s.take(log), "banner\n");
  EXPECT_EQ(s.take(log), "");
  log += "000: a\r\n";
  EXPECT_EQ(s.take(log), "000: a\n");
  // A CR at the end of one push and its LF in the next.
  log += "★找不到文件\r";
  EXPECT_EQ(s.take(log), "★找不到文件");
  log += "\n--\r\n";
  EXPECT_EQ(s.take(log), "\n--\n");
  // A CR not followed by LF stays.
  log += "x\r";
  EXPECT_EQ(s.take(log), "x");
  log += "y";
  EXPECT_EQ(s.take(log), "\ry");
  log += "z\r";
  EXPECT_EQ(s.take(log), "z");
  EXPECT_EQ(s.finish(), "\r");
  // A log that starts again from a shorter text.
  EXPECT_EQ(s.take("new\r\n"), "new\n");
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

TEST(CliDisplayTest, ProgressIsRedrawnOnlyOnChangeAndClearedForTheLog) {
  Captured c;
  RunFields fields;
  CliDisplay d({"a.mid"}, c.out, c.err);
  d.attach(fields);
  EXPECT_EQ(d.lineCount(), 1);
  EXPECT_EQ(d.line(0), "a.mid");
  EXPECT_EQ(d.line(1), "");

  fields.statusText = "正转换SMF声道";
  fields.percentText = "  0%";
  d.push();
  d.push();  // nothing changed: nothing drawn
  const std::string first = Captured::read(c.err);
  EXPECT_EQ(first, "\r\033[K" + progressLine("正转换SMF声道", "  0%", 0, 30));

  fields.logText = "line\r\n";
  d.push();
  EXPECT_EQ(Captured::read(c.out), "line\n");
  // The progress line went away before the log line and came back after it.
  EXPECT_EQ(Captured::read(c.err), first + "\r\033[K" + "\r\033[K" + progressLine("正转换SMF声道", "  0%", 0, 30));

  const std::string shown = Captured::read(c.err);
  d.finish();
  EXPECT_EQ(Captured::read(c.err), shown + "\r\033[K");
}

TEST(CliDisplayTest, NoProgressWithoutATerminal) {
  Captured c;
  RunFields fields;
  CliDisplay d({}, c.out, nullptr);
  d.attach(fields);
  EXPECT_EQ(d.lineCount(), 1);  // an empty list reports one empty line
  fields.statusText = "MLD最后调整中";
  fields.percentText = " 25%";
  fields.logText = "x\r\n";
  d.push();
  d.finish();
  EXPECT_EQ(Captured::read(c.out), "x\n");
  EXPECT_EQ(Captured::read(c.err), "");
}

TEST(CliTraceWriter, Utf8LinesEvenWhenSplitAcrossCalls) {
  Captured c;
  const std::string gbk = utf8ToGbk("■再次登录 SMF 声道结果\n◎总声道数").text;
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

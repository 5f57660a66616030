// The command line's options: numbers, dates, list lines, the log stream,
// answers, the progress line and the trace writer; then the whole program
// given options in the wrong place, wrong numbers and a full standard output.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "cli/terminal.h"
#include "core/gbk.h"
#include "support/test_support.h"

namespace tonvell::cli {
namespace {

std::string dateText(const std::optional<CalendarDate>& d) {
  if (!d) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d->year, d->month, d->day);
  return text;
}

TEST(CliOptions, NumbersAreDecimalDigitsOnly) {
  EXPECT_EQ(parseDecimal("010"), 10);
  EXPECT_EQ(parseDecimal("0"), 0);
  EXPECT_EQ(parseDecimal("0000127"), 127);
  EXPECT_EQ(parseDecimal("99999999999999999999999"), LLONG_MAX) << "too large stays too large";
  for (const char* bad : {"", "0x10", "1e3", "+5", "-1", "5abc", " 5", "5 ", "1.0", "\xEF\xBC\x95"})
    EXPECT_EQ(parseDecimal(bad), std::nullopt) << bad;
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

// The program itself.
test::ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return test::runProcess(args, "", cwd, {"SOURCE_DATE_EPOCH=1041724800"});
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    names.push_back(entry.path().lexically_relative(folder).string());
  std::sort(names.begin(), names.end());
  return names;
}

// Options in the wrong place, of the wrong kind or with the wrong number:
// each is a usage error that says what is wrong, and nothing is written.
TEST(CliUsage, MisplacedOptionsAndBadNumbersSayWhatIsWrong) {
  test::TempDir dir;
  test::writeFile(dir.file("a.mid"), test::workedExample());
  test::Bytes mfi;
  ASSERT_EQ(test::convertBytes(test::workedExample(), &mfi), result::kSuccess);
  test::writeFile(dir.file("a.mld"), mfi);
  const std::vector<std::string> before = filesIn(dir.path());
  const std::string conversion = " is an option of the conversion (tonvell-cli [OPTIONS] FILE...), not of ";
  const std::string notDecimal = ": not a whole number in decimal digits: ";
  const std::string emptyFolder = "--output: the folder name is empty (./ is the current folder)";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--title", "x", "decode", "a.mld"}, "--title" + conversion + "decode"},
      {{"-q", "inspect", "a.mld"}, "--quiet" + conversion + "inspect"},
      {{"--list", "a.mid", "check", "a.mid"}, "--list" + conversion + "check"},
      {{"--handset", "--master-volume", "9", "check", "a.mid"}, "--master-volume" + conversion + "check"},
      {{"--date", "20030105", "render", "a.mld"}, "--date" + conversion + "render"},
      {{"a.mid", "decode", "a.mld"}, "FILE does not go with decode"},
      {{"-o", "d", "decode", "-o", "e", "a.mld"}, "--output is given both before and after decode"},
      {{"decode", "--title", "x", "a.mld"}, "unexpected --title: --title is an option of the conversion"},
      {{"--json", "inspect", "a.mld"}, "unexpected --json: --json is an option of inspect"},
      {{"--voices", "4", "a.mid"}, "unexpected --voices: --voices is an option of render"},
      {{"--master-volume", "64", "a.mid"}, "--master-volume needs --handset"},
      {{"--no-master-volume", "a.mid"}, "--no-master-volume needs --handset"},
      {{"--loop", "a.mid"}, "--loop needs --handset"},
      {{"--no-loop", "a.mid"}, "--no-loop needs --handset"},
      {{"--handset", "--loop", "--no-loop", "a.mid"}, "--loop excludes --no-loop"},
      {{"-j", "0x10", "a.mid"}, "--jobs" + notDecimal + "0x10"},
      {{"-j", "1e3", "a.mid"}, "--jobs" + notDecimal + "1e3"},
      {{"-j", "+5", "a.mid"}, "--jobs" + notDecimal + "+5"},
      {{"-j", "5abc", "a.mid"}, "--jobs" + notDecimal + "5abc"},
      {{"-j", "0", "a.mid"}, "--jobs: 0 is out of range (1 to 256)"},
      {{"--handset", "--master-volume", "0128", "a.mid"}, "--master-volume: 0128 is out of range (0 to 127)"},
      {{"--handset", "--master-volume=-1", "a.mid"}, "--master-volume" + notDecimal + "-1"},
      {{"render", "--voices", "0x10", "a.mld"}, "--voices" + notDecimal + "0x10"},
      {{"render", "--loops", "1e3", "a.mld"}, "--loops" + notDecimal + "1e3"},
      {{"--handset", "--master-volume", "", "a.mid"}, "--master-volume: no number given"},
      {{"--list", "", "a.mid"}, "--list: the file name is empty"},
      {{"--trace=", "a.mid"}, "--trace: the file name is empty"},
      {{"-o", "", "a.mid"}, emptyFolder},
      {{"--output=", "a.mid", "a.mid"}, emptyFolder},
      {{"-o", "", "decode", "a.mld"}, emptyFolder},
      {{"decode", "-o", "", "a.mld"}, emptyFolder},
      {{"render", "--output=", "a.mld"}, emptyFolder},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += "'" + a + "' ";
    if (!test::kRenderBuilt && (shown.find("'render'") != std::string::npos || shown.find("--voices") != std::string::npos))
      continue;
    const test::ProcessResult r = cli(c.args, dir.path());
    EXPECT_EQ(r.status, 2) << shown << r.err;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(r.err.rfind("tonvell-cli: " + c.message, 0), 0u) << shown << "\n" << r.err;
    EXPECT_EQ(filesIn(dir.path()), before) << shown;
  }
}

// An option of the conversion before a subcommand that takes it too is that
// subcommand's; "010" is ten wherever a number goes.
TEST(CliUsage, OptionsBeforeASubcommandThatTakesThemApply) {
  test::TempDir dir;
  const std::string song = std::string(TONVELL_SOURCE_DIR) + "/examples/melody-and-drums.mid";
  test::TempDir tones;
  ASSERT_EQ(cli({"-q", "-o", tones.path(), song}, dir.path()).status, 0);
  const std::string tone = tones.file("melody-and-drums.mld");

  test::ProcessResult r = cli({"-o", "out", "decode", tone}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::fileExists(dir.file("out/melody-and-drums.mid")));
  EXPECT_FALSE(test::fileExists(dir.file("melody-and-drums.mid")));

  const test::ProcessResult before = cli({"--handset", "check", song}, dir.path());
  const test::ProcessResult after = cli({"check", "--handset", song}, dir.path());
  const test::ProcessResult plain = cli({"check", song}, dir.path());
  EXPECT_EQ(before.status, after.status);
  EXPECT_EQ(before.out, after.out);
  EXPECT_NE(before.out, plain.out) << "the handset mode changes what is heard";

  for (const char* volume : {"010", "10", "8"})
    ASSERT_EQ(cli({"-q", "--handset", "--master-volume", volume, "-o", volume, song}, dir.path()).status, 0) << volume;
  EXPECT_EQ(test::readFile(dir.file("010/melody-and-drums.mld")), test::readFile(dir.file("10/melody-and-drums.mld")));
  EXPECT_NE(test::readFile(dir.file("010/melody-and-drums.mld")), test::readFile(dir.file("8/melody-and-drums.mld")));
}

// Standard output on a full device: every command says why, as the
// conversion does, even when the text overflowed the buffer long before
// the end.
TEST(CliRun, EveryCommandReportsAFullStandardOutput) {
  if (!test::kPosixSystem) GTEST_SKIP() << "needs /bin/sh and /dev/full";
  test::TempDir dir;
  test::writeFile(dir.file("a.mid"), test::workedExample());
  test::Bytes mfi;
  ASSERT_EQ(test::convertBytes(test::workedExample(), &mfi), result::kSuccess);
  test::writeFile(dir.file("a.mld"), mfi);
  std::vector<std::vector<std::string>> commands = {
      {"check", "a.mid"}, {"check", "--json", "a.mid"}, {"decode", "-o", "out", "a.mld"}, {"inspect", "a.mld"},
      {"--help"}};
  // Many listings: the buffer fills and fails while the files are read.
  std::vector<std::string> many{"inspect"};
  for (int i = 0; i < 40; ++i) many.push_back("a.mld");
  commands.push_back(many);
  many[0] = "check";
  for (std::string& f : many) f = f == "check" ? f : "a.mid";
  commands.push_back(many);
  if (test::fileExists("/usr/share/sounds/sf2/default-GM.sf2")) commands.push_back({"render", "-o", "out", "a.mld"});
  for (std::vector<std::string> args : commands) {
    const std::string shown = args[0] + " " + args.back() + " x" + std::to_string(args.size() - 1);
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" > /dev/full", "sh", TONVELL_CLI});
    const test::ProcessResult r = test::runProcess(args, "", dir.path());
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, "tonvell-cli: standard output: No space left on device\n") << shown;
  }
}

// Each option of every help text on one line: its name, then from the same
// column what it does, relations to other options included.
TEST(CliUsage, HelpGivesEachOptionOneLine) {
  test::TempDir dir;
  for (const char* command : {"", "inspect", "decode", "render", "check"}) {
    if (!test::kRenderBuilt && std::string_view(command) == "render") continue;
    std::vector<std::string> args{"--help"};
    if (*command) args.insert(args.begin(), command);
    const test::ProcessResult r = cli(args, dir.path());
    ASSERT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.find("Excludes"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Needs"), std::string::npos) << r.out;
    std::size_t options = 0;
    for (std::size_t at = 0; at < r.out.size();) {
      const std::size_t end = r.out.find('\n', at);
      const std::string line = r.out.substr(at, end - at);
      at = end == std::string::npos ? r.out.size() : end + 1;
      if (line.rfind("  -", 0) != 0) continue;
      ++options;
      EXPECT_TRUE(line.size() > 30 && line[29] == ' ' && line[30] != ' ') << command << ": " << line;
    }
    EXPECT_GE(options, 2u) << command;
  }
  const test::ProcessResult r = cli({"--help"}, dir.path());
  EXPECT_NE(r.out.find("\n  --no-master-volume          With --handset: no master volume; not with --master-volume\n"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace tonvell::cli

// The command line as a user runs it: the bytes it writes, the log on
// standard output, exit statuses, usage errors and the trace.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/gbk.h"
#include "mfi/inspect.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

const std::string kBanner =
    "Lumora 专用转换工具。\n不符合铃声规格的数据将无法被转换成正确的数据并播放。\n\n";
const std::string kSeparator = std::string(80, '-') + "\n";

ProcessResult cli(std::vector<std::string> args, const std::string& cwd, const std::string& input = "",
                  std::vector<std::string> env = {}) {
  args.insert(args.begin(), TONVELL_CLI);
  env.insert(env.begin(), "SOURCE_DATE_EPOCH");  // only where a test sets it
  return runProcess(args, input, cwd, env);
}

// The whole file the worked example must become: header of 90 bytes (header
// length 80, title "Song" from the sequence name), the first track merging
// channels 0 and 1, three empty tracks.
Bytes expectedWorkedMfi() {
  return concat({
      hex("6D 65 6C 6F  00 00 00 B2  00 50  01 01 04"),   // "melo", 178, 80, 01 01 04
      hex("73 6F 72 63  00 01  00"),                      // "sorc" 1: 0
      hex("76 65 72 73  00 04  30 32 30 30"),             // "vers" 4: "0200"
      hex("6E 6F 74 65  00 02  00 01"),                   // "note" 2: 0001
      hex("74 69 74 6C  00 04  53 6F 6E 67"),             // "titl" 4: "Song"
      hex("63 6F 70 79  00 00"),                          // "copy" 0
      hex("70 72 6F 74  00 10  28 43 29 4F 52 56 41 4E 54 49 53 2C 49 4E 43 2E"),  // "(C)ORVANTIS,INC."
      hex("64 61 74 65  00 08  32 30 30 33 30 31 30 35"), // "date" 8: "20030105"
      hex("74 72 61 63  00 00 00 28"
          "  00 FF C3 78  00 FF E1 02  00 FF E0 00  00 0F 30 C8  00 FF E2 64"
          "  18 53 18 A0  18 FF DE 00  00 FF DE 00  00 FF D0 01  00 FF DF 00"),
      hex("74 72 61 63  00 00 00 08  00 FF D0 01  00 FF DF 00"),
      hex("74 72 61 63  00 00 00 08  00 FF D0 01  00 FF DF 00"),
      hex("74 72 61 63  00 00 00 08  00 FF D0 01  00 FF DF 00"),
  });
}

// Where two byte strings first differ, for a readable failure.
std::string firstDifference(const Bytes& got, const Bytes& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  if (i == got.size() && i == want.size()) return "identical";
  return "first difference at offset " + std::to_string(i) + "\n got:  " + hexOf(got) + "\n want: " + hexOf(want);
}

TEST(CliRun, WorkedExampleBecomesTheExactFile) {
  TempDir dir;
  writeFile(dir.file("worked.mid"), workedExample());
  const ProcessResult r = cli({"--date", "20030105", "-o", "out/", "worked.mid"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const Bytes got = readFile(dir.file("out/worked.mld"));
  const Bytes want = expectedWorkedMfi();
  ASSERT_EQ(want.size(), 186u);
  EXPECT_EQ(got, want) << firstDifference(got, want);
  EXPECT_TRUE(inspectMfi(got.data(), got.size()).ok);
  EXPECT_EQ(r.out, kBanner + kSeparator + "000: worked.mid\n     => out/worked.mld\n" + kSeparator +
                       "已检查 1 个文件、已保存了 1 个文件。\n");
}

TEST(CliRun, DateComesFromSourceDateEpochAsUtc) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  auto dateOf = [&](const std::string& epoch) {
    const ProcessResult r = cli({"--overwrite", "all", "a.mid"}, dir.path(), "", {"SOURCE_DATE_EPOCH=" + epoch});
    EXPECT_EQ(r.status, 0) << r.err;
    const Bytes b = readFile(dir.file("a.mld"));
    return std::string(b.begin() + 82, b.begin() + 90);
  };
  EXPECT_EQ(dateOf("1041724800"), "20030105");  // 2003-01-05 00:00:00 UTC
  EXPECT_EQ(dateOf("1041724799"), "20030104");
  EXPECT_EQ(dateOf("951782400"), "20000229");

  // --date wins over the environment.
  ProcessResult r = cli({"--overwrite", "all", "--date", "19991231", "a.mid"}, dir.path(), "",
                        {"SOURCE_DATE_EPOCH=1041724800"});
  EXPECT_EQ(r.status, 0);
  const Bytes b = readFile(dir.file("a.mld"));
  EXPECT_EQ(std::string(b.begin() + 82, b.begin() + 90), "19991231");

  r = cli({"a.mid"}, dir.path(), "", {"SOURCE_DATE_EPOCH=yesterday"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("SOURCE_DATE_EPOCH"), std::string::npos);
}

TEST(CliRun, HeaderOptionsReachTheFile) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  auto chunksOf = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"--date", "20030105", "--overwrite", "all", "a.mid"});
    const ProcessResult r = cli(options, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const Bytes b = readFile(dir.file("a.mld"));
    const InspectResult ir = inspectMfi(b.data(), b.size());
    EXPECT_TRUE(ir.ok) << ir.describeError();
    return ir.chunks;
  };
  auto c = chunksOf({"--title", "ABC", "--copyright", "(c)2003"});
  ASSERT_EQ(c.size(), 7u);
  EXPECT_EQ(c[0].data, std::string(1, '\0'));
  EXPECT_EQ(c[3].data, "ABC/Song");
  EXPECT_EQ(c[4].data, "(c)2003");

  c = chunksOf({"--title", "铃声", "--no-smf-title", "--copy-prohibit"});
  ASSERT_EQ(c.size(), 7u);
  EXPECT_EQ(c[0].data, std::string(1, '\1'));
  EXPECT_EQ(c[3].data, "\xC1\xE5\xC9\xF9") << "铃声 in GBK";
  EXPECT_EQ(c[4].data, "");

  c = chunksOf({"--no-smf-title"});
  ASSERT_EQ(c.size(), 7u);
  EXPECT_EQ(c[3].data, "");
}

TEST(CliRun, SmfCopyrightSwitch) {
  TempDir dir;
  const Bytes song = concat({smfHeader(1, 2, 96), track(hex("00 FF 02 03 58 59 5A  00 FF 2F 00")),
                             track(hex("00 90 3C 40  60 80 3C 00  00 FF 2F 00"))});
  writeFile(dir.file("c.mid"), song);
  for (const bool on : {true, false}) {
    std::vector<std::string> args = {"--date", "20030105", "--overwrite", "all", "--copyright", "(c)2003", "c.mid"};
    if (!on) args.insert(args.begin(), "--no-smf-copyright");
    const ProcessResult r = cli(args, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    const Bytes b = readFile(dir.file("c.mld"));
    const InspectResult ir = inspectMfi(b.data(), b.size());
    ASSERT_TRUE(ir.ok) << ir.describeError();
    EXPECT_EQ(ir.chunks[4].data, on ? "(c)2003/XYZ" : "(c)2003");
  }
}

TEST(CliRun, LogOfAMissingASkippedAndAWrittenFile) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("b.mid"), workedExample());
  ::mkdir(dir.file("out").c_str(), 0755);
  writeFile(dir.file("out/b.mld"), hex("01 02 03"));
  const ProcessResult r = cli({"--date", "20030105", "--overwrite", "ask", "-o", "out/", "missing.mid", "b.mid",
                               "a.mid"},
                              dir.path(), "s\n");
  EXPECT_EQ(r.out, kBanner + kSeparator + "000: missing.mid\n★找不到文件\n" + kSeparator +
                       "001: b.mid\n     => out/b.mld\n     ※已跳过\n" + kSeparator +
                       "002: a.mid\n     => out/a.mld\n" + kSeparator + "已检查 3 个文件、已保存了 1 个文件。\n");
  EXPECT_EQ(r.status, 1);  // the missing file failed; the skipped one did not
  EXPECT_NE(r.err.find("输出的文件已存在: out/b.mld\n要覆盖此文件吗? [y=是 / a=全部覆盖 / s=跳过] "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(readFile(dir.file("out/b.mld")), hex("01 02 03"));
  EXPECT_EQ(readFile(dir.file("out/a.mld")).size(), 186u);
}

TEST(CliRun, ExitStatusFollowsFailures) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("format0.mid"), concat({smfHeader(0, 1, 96), track(hex("00 FF 2F 00"))}));
  writeFile(dir.file("text.mid"), {'h', 'e', 'l', 'l', 'o'});

  ProcessResult r = cli({"--date", "20030105", "--overwrite", "skip", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 0);
  r = cli({"--date", "20030105", "--overwrite", "skip", "a.mid"}, dir.path());  // skipped: no failure
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("     ※已跳过\n"), std::string::npos);

  r = cli({"--date", "20030105", "format0.mid", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("000: format0.mid\n★无法处理以格式 1 以外的形式保存的 MIDI 文件\n"), std::string::npos);
  r = cli({"--date", "20030105", "text.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("000: text.mid\n★不是 MIDI 文件\n"), std::string::npos);
  EXPECT_FALSE(fileExists(dir.file("text.mld")));
}

TEST(CliRun, ListFileLinesKeepTheirIndexes) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("b.mid"), workedExample());
  // Line 1 is CR LF only (empty), line 3 is empty, line 4 stops at its NUL,
  // the last line has no line end.
  const char raw[] = "\r\nb.mid\r\n\nmissing.mid\0junk\nc.mid";
  const std::string list(raw, sizeof raw - 1);
  writeFile(dir.file("list.txt"), Bytes(list.begin(), list.end()));
  const std::string expected = kBanner + kSeparator + "000: a.mid\n     => out/a.mld\n" + kSeparator +
                               "002: b.mid\n     => out/b.mld\n" + kSeparator + "004: missing.mid\n★找不到文件\n" +
                               kSeparator + "005: c.mid\n★找不到文件\n" + kSeparator +
                               "已检查 4 个文件、已保存了 2 个文件。\n";
  ProcessResult r = cli({"--date", "20030105", "-o", "out", "-l", "list.txt", "a.mid"}, dir.path());
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 1);

  // The same list from standard input.
  r = cli({"--date", "20030105", "--overwrite", "all", "-o", "out", "--list", "-", "a.mid"}, dir.path(), list);
  const std::string replaced = kBanner + kSeparator + "000: a.mid\n     => out/a.mld\n     ※从这以后全部覆盖\n" +
                               kSeparator + "002: b.mid\n     => out/b.mld\n" + kSeparator +
                               "004: missing.mid\n★找不到文件\n" + kSeparator + "005: c.mid\n★找不到文件\n" +
                               kSeparator + "已检查 4 个文件、已保存了 2 个文件。\n";
  EXPECT_EQ(r.out, replaced);
  EXPECT_EQ(r.status, 1);
}

TEST(CliRun, EmptyListRunsNothing) {
  TempDir dir;
  writeFile(dir.file("empty.txt"), {});
  const ProcessResult r = cli({"--list", "empty.txt"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner);
}

TEST(CliUsage, ErrorsNeverStartARun) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus", "a.mid"},
      {},
      {"-o"},
      {"a.mid", "-o"},
      {"--date", "20030230", "a.mid"},
      {"--date", "2003015", "a.mid"},
      {"--date", "19000229", "a.mid"},
      {"--overwrite", "maybe", "a.mid"},
      {"--trace-utf8", "a.mid"},
      {"--list", "no-such-list.txt"},
      {"--trace", "no-such-folder/trace.txt", "a.mid"},
      {"-o", "", "a.mid"},
      {"--output=", "a.mid"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const ProcessResult r = cli(args, dir.path());
    EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_NE(r.err, "") << shown;
    EXPECT_FALSE(fileExists(dir.file("a.mld"))) << shown;
  }
  EXPECT_EQ(cli({"--bogus", "a.mid"}, dir.path()).err,
            "tonvell-cli: The following argument was not expected: --bogus\nRun with --help for more information.\n");
  EXPECT_EQ(cli({}, dir.path()).err.rfind("tonvell-cli: FILE or --list is required\n", 0), 0u);
  EXPECT_EQ(cli({"-o", "", "a.mid"}, dir.path()).err.rfind("tonvell-cli: --output: the folder name is empty", 0), 0u);
  EXPECT_EQ(cli({"--trace-utf8", "a.mid"}, dir.path()).err.rfind("tonvell-cli: --trace-utf8 needs --trace\n", 0), 0u);

  // Valid calendar dates are taken.
  EXPECT_EQ(cli({"--date", "20000229", "--overwrite", "all", "a.mid"}, dir.path()).status, 0);
}

TEST(CliUsage, HelpAndVersion) {
  TempDir dir;
  ProcessResult r = cli({"--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  for (const char* option : {"--output", "--list", "--title", "--copyright", "--no-smf-title", "--no-smf-copyright",
                             "--copy-prohibit", "--overwrite", "--date", "--trace", "--trace-utf8", "--quiet"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  // Each option's text starts in the description column.
  EXPECT_NE(r.out.find("\n  --trace-utf8                Write the trace as UTF-8"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("Needs:"), std::string::npos) << r.out;
  r = cli({"--version"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("tonvell-cli ") + TONVELL_VERSION + "\n");
}

// Opening the trace cuts its file to nothing: a trace path that names one of
// the run's inputs, under any name, is refused before anything is touched.
TEST(CliUsage, TraceThatIsAnInputIsRefused) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("list.txt"), {'a', '.', 'm', 'i', 'd', '\n'});
  ASSERT_EQ(::link(dir.file("a.mid").c_str(), dir.file("same.mid").c_str()), 0);
  const std::vector<std::vector<std::string>> cases = {
      {"--trace", "a.mid", "a.mid"},
      {"--trace", "./a.mid", "a.mid"},
      {"--trace", "same.mid", "a.mid"},
      {"--trace", "a.mid", "--list", "list.txt"},
      {"--trace", "list.txt", "--list", "list.txt"},
  };
  for (const auto& args : cases) {
    const ProcessResult r = cli(args, dir.path());
    EXPECT_EQ(r.status, 2) << args[1] << " " << args[2];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("tonvell-cli: --trace " + args[1] + " is an input of this run", 0), 0u) << r.err;
    EXPECT_EQ(readFile(dir.file("a.mid")), workedExample());
    EXPECT_EQ(readFile(dir.file("list.txt")).size(), 6u);
    EXPECT_FALSE(fileExists(dir.file("a.mld")));
  }
  // A trace beside the inputs is fine.
  const ProcessResult r = cli({"--trace", "trace.txt", "--list", "list.txt"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(readFile(dir.file("trace.txt")).size(), 0u);
}

// Lost output is a failure: the log, the trace and the help text each
// checked on a full device.
TEST(CliRun, OutputThatCannotBeWrittenFails) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const auto toFull = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" > /dev/full", "sh", TONVELL_CLI});
    return runProcess(args, "", dir.path());
  };
  ProcessResult r = toFull({"--date", "20030105", "a.mid"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tonvell-cli: standard output: No space left on device\n");
  EXPECT_EQ(readFile(dir.file("a.mld")).size(), 186u) << "the files are converted all the same";

  r = cli({"--date", "20030105", "--overwrite", "all", "--trace", "/dev/full", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tonvell-cli: /dev/full: No space left on device\n");
  EXPECT_NE(r.out.find("已保存了 1 个文件"), std::string::npos);

  r = toFull({"--help"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tonvell-cli: standard output: No space left on device\n");
}

// Started without standard output: the log fails as on a closed stream, and
// no file the run opens takes the stream's place, least of all a ring tone
// that workers are writing while the log is written (it once took log lines).
TEST(CliRun, ClosedStandardOutputLeavesTheRingTonesAlone) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"-q", "--date", "20030105", "a.mid"}, dir.path()).status, 0);
  const Bytes expected = readFile(dir.file("a.mld"));
  std::string list;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = "s" + std::to_string(i) + ".mid";
    writeFile(dir.file(name), workedExample());
    list += name + "\n";
  }
  writeFile(dir.file("list.txt"), Bytes(list.begin(), list.end()));
  ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
  const ProcessResult r = runProcess({"/bin/sh", "-c", "exec \"$@\" >&-", "sh", TONVELL_CLI, "-q", "-j", "2", "--date",
                                      "20030105", "-o", "out/", "-l", "list.txt"},
                                     "", dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tonvell-cli: standard output: Bad file descriptor\n");
  int different = 0;
  for (int i = 0; i < 2000; ++i) different += readFile(dir.file("out/s" + std::to_string(i) + ".mld")) != expected;
  EXPECT_EQ(different, 0);
}

TEST(CliRun, ListFileByteOrderMarkIsDropped) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::string list = "\xEF\xBB\xBF" "a.mid\r\n";
  writeFile(dir.file("list.txt"), Bytes(list.begin(), list.end()));
  ProcessResult r = cli({"--date", "20030105", "-l", "list.txt"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("000: a.mid\n     => ./a.mld\n"), std::string::npos) << r.out;
  r = cli({"--date", "20030105", "--overwrite", "all", "-l", "-"}, dir.path(), list);
  EXPECT_EQ(r.status, 0) << r.out;
}

// The log keeps its lines; standard error and the trace get the reasons.
TEST(CliRun, SystemReasonsGoToStandardErrorAndTheTrace) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(::mkdir(dir.file("folder.mid").c_str(), 0755), 0);
  writeFile(dir.file("blocker"), hex("00"));
  const ProcessResult r = cli({"--date", "20030105", "--trace", "trace.txt", "-o", "blocker/sub/", "missing.mid",
                               "folder.mid", "a.mid"},
                              dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + kSeparator + "000: missing.mid\n★找不到文件\n" + kSeparator + "001: folder.mid\n★找不到文件\n" +
                       kSeparator + "002: a.mid\n     => blocker/sub/a.mld\n  打不开输出文件\n" + kSeparator +
                       "已检查 3 个文件、已保存了 0 个文件。\n");
  EXPECT_EQ(r.err,
            "tonvell-cli: missing.mid: No such file or directory\n"
            "tonvell-cli: folder.mid: Is a directory\n"
            "tonvell-cli: blocker: Not a directory\n"
            "tonvell-cli: blocker/sub/a.mld: Not a directory\n");
  const std::string trace = toString(readFile(dir.file("trace.txt")));
  for (const char* line : {"\xA1\xF9 missing.mid: No such file or directory\n", "\xA1\xF9 folder.mid: Is a directory\n",
                           "\xA1\xF9 blocker: Not a directory\n"})
    EXPECT_NE(trace.find(line), std::string::npos) << line;

  // Both streams into one file, as `> log 2>&1`: each reason follows its
  // file's lines, with one job or two (the log is then written a file at a time).
  for (const char* jobs : {"1", "2"}) {
    const ProcessResult both = runProcess({"/bin/sh", "-c", "exec \"$@\" > both.txt 2>&1", "sh", TONVELL_CLI, "-j", jobs,
                                           "--date", "20030105", "-o", "blocker/sub/", "missing.mid", "folder.mid",
                                           "a.mid"},
                                          "", dir.path());
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(toString(readFile(dir.file("both.txt"))),
              kBanner + kSeparator + "000: missing.mid\n★找不到文件\n" +
                  "tonvell-cli: missing.mid: No such file or directory\n" + kSeparator +
                  "001: folder.mid\n★找不到文件\ntonvell-cli: folder.mid: Is a directory\n" + kSeparator +
                  "002: a.mid\n     => blocker/sub/a.mld\n  打不开输出文件\n" +
                  "tonvell-cli: blocker: Not a directory\ntonvell-cli: blocker/sub/a.mld: Not a directory\n" +
                  kSeparator + "已检查 3 个文件、已保存了 0 个文件。\n")
        << "-j " << jobs;
  }
}

// Runs tonvell-cli in `cwd` with all its standard streams on a terminal of
// its own and TERM set to `term`; what the terminal received.
std::string runOnTerminal(const std::vector<std::string>& args, const std::string& cwd, const char* term) {
  int master = -1;
  std::fflush(nullptr);
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return "forkpty failed";
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::setenv("TERM", term, 1);
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    std::string program = TONVELL_CLI;
    argv.push_back(program.data());
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the program has gone
    shown.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return shown;
}

TEST(CliRun, ProgressOnlyOnATerminalThatIsNotDumb) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::vector<std::string> args = {"--date", "20030105", "--overwrite", "all", "a.mid"};
  const std::string shown = runOnTerminal(args, dir.path(), "xterm");
  EXPECT_NE(shown.find("\r\033[K[1/1] a.mid  "), std::string::npos) << "names the file in hand:\n" << shown;
  EXPECT_NE(shown.find("已检查 1 个文件、已保存了 1 个文件。"), std::string::npos) << shown;

  const std::string dumb = runOnTerminal(args, dir.path(), "dumb");
  EXPECT_EQ(dumb.find('\033'), std::string::npos) << dumb;
  EXPECT_EQ(dumb.find("[1/1]"), std::string::npos) << dumb;
  EXPECT_NE(dumb.find("已检查 1 个文件、已保存了 1 个文件。"), std::string::npos) << dumb;
  std::vector<std::string> quiet = args;
  quiet.insert(quiet.begin(), "-q");
  EXPECT_EQ(runOnTerminal(quiet, dir.path(), "xterm").find('\033'), std::string::npos);
}

TEST(CliRun, TraceInGbkOrUtf8) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::string heading = "■分析 SMF 文件的音轨后再次登录声道\n";
  const std::string separator = [] {
    std::string s;
    for (int i = 0; i < 26; ++i) s += "\x81\x7C";
    return s + "\n";
  }();

  ProcessResult r = cli({"--date", "20030105", "--trace", "trace.txt", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string gbk = toString(readFile(dir.file("trace.txt")));
  const std::string headingGbk =
      "\xA1\xF6\xB7\xD6\xCE\xF6 SMF \xCE\xC4\xBC\xFE\xB5\xC4\xD2\xF4\xB9\xEC\xBA\xF3\xD4\xD9\xB4\xCE\xB5\xC7"
      "\xC2\xBC\xC9\xF9\xB5\xC0\n";
  EXPECT_NE(gbk.find(separator + headingGbk + separator), std::string::npos);
  EXPECT_NE(gbk.find("     0 | FF,C3,78  ; --- Tempo\r\n"), std::string::npos);

  r = cli({"--date", "20030105", "--overwrite", "all", "--trace", "-", "--trace-utf8", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, gbkToUtf8(gbk));
  EXPECT_NE(r.err.find(heading), std::string::npos);
  EXPECT_EQ(sanitizeUtf8(r.err), r.err);  // valid UTF-8 throughout
  // The log stays on standard output, untouched by the trace.
  EXPECT_EQ(r.out.find("■"), std::string::npos);
}

}  // namespace
}  // namespace tonvell::test

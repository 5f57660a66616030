// Saving as the command line drives it: the overwrite question and its
// answers, output folders, and outputs that cannot be written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/synth.h"
#include "mfi/decode.h"
#include "mfi/inspect.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

const std::string kQuestion = "要覆盖此文件吗? [y=是 / a=全部覆盖 / s=跳过] ";

ProcessResult cli(std::vector<std::string> args, const std::string& cwd, const std::string& input = "") {
  args.insert(args.begin(), {TONVELL_CLI, "--date", "20030105"});
  return runProcess(args, input, cwd);
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Two inputs whose outputs already exist in out/.
struct TwoExisting {
  TempDir dir;
  const Bytes old = hex("6F 6C 64");
  TwoExisting() {
    writeFile(dir.file("a.mid"), workedExample());
    writeFile(dir.file("b.mid"), workedExample());
    ::mkdir(dir.file("out").c_str(), 0755);
    writeFile(dir.file("out/a.mld"), old);
    writeFile(dir.file("out/b.mld"), old);
  }
  ProcessResult run(std::vector<std::string> options, const std::string& input = "") {
    options.insert(options.end(), {"-o", "out/", "a.mid", "b.mid"});
    return cli(options, dir.path(), input);
  }
  bool replaced(const char* name) { return readFile(dir.file(std::string("out/") + name)).size() == 186; }
};

TEST(CliOverwrite, AllThenAskedAgainInTheNextRun) {
  TwoExisting t;
  ProcessResult r = t.run({"--overwrite", "ask"}, "a\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("     => out/a.mld\n     ※从这以后全部覆盖\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("001: b.mid\n     => out/b.mld\n--------"), std::string::npos) << r.out;
  EXPECT_EQ(count(r.err, kQuestion), 1) << r.err;
  EXPECT_NE(r.err.find("输出的文件已存在: out/a.mld\n" + kQuestion), std::string::npos);
  EXPECT_TRUE(t.replaced("a.mld"));
  EXPECT_TRUE(t.replaced("b.mld"));

  // The next run asks again, for each file; end of input counts as skip.
  r = t.run({"--overwrite", "ask"}, "s\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count(r.err, kQuestion), 2) << r.err;
  EXPECT_EQ(count(r.out, "     ※已跳过\n"), 2) << r.out;
  EXPECT_NE(r.out.find("已检查 2 个文件、已保存了 0 个文件。\n"), std::string::npos);
}

TEST(CliOverwrite, YesAndUnknownAnswers) {
  TwoExisting t;
  const ProcessResult r = t.run({"--overwrite", "ask"}, "maybe\ny\nS\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(count(r.err, kQuestion), 3) << r.err;  // "maybe" is asked again
  EXPECT_NE(r.out.find("     => out/a.mld\n     ※已覆盖\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("     => out/b.mld\n     ※已跳过\n"), std::string::npos) << r.out;
  EXPECT_TRUE(t.replaced("a.mld"));
  EXPECT_EQ(readFile(t.dir.file("out/b.mld")), t.old);
}

TEST(CliOverwrite, ModesWithoutQuestions) {
  TwoExisting t;
  // Standard input is not a terminal: skip by default, without asking.
  ProcessResult r = t.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count(r.out, "     ※已跳过\n"), 2);
  EXPECT_EQ(readFile(t.dir.file("out/a.mld")), t.old);

  r = t.run({"--overwrite", "skip"}, "y\ny\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count(r.out, "     ※已跳过\n"), 2);
  EXPECT_EQ(readFile(t.dir.file("out/b.mld")), t.old);

  r = t.run({"--overwrite", "all"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(count(r.out, "     ※从这以后全部覆盖\n"), 1) << r.out;
  EXPECT_EQ(count(r.out, "※"), 1) << r.out;
  EXPECT_TRUE(t.replaced("a.mld"));
  EXPECT_TRUE(t.replaced("b.mld"));
}

TEST(CliOverwrite, SameOutputNameTwiceInOneRunFailsTheLaterFile) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.file("b").c_str(), 0700), 0);
  writeFile(dir.file("a/song.mid"), workedExample());
  writeFile(dir.file("b/song.mid"), concat({smfHeader(1, 1, 96), track(hex("00 C0 05 00 FF 2F 00"))}));
  for (const char* mode : {"skip", "all"}) {
    const ProcessResult r = cli({"--overwrite", mode, "-o", "out/", "a/song.mid", "b/song.mid"}, dir.path());
    EXPECT_EQ(r.status, 1) << mode;
    EXPECT_NE(r.out.find("001: b/song.mid\n     => out/song.mld\n  输出文件名与本次已保存的文件重复，未保存\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("已保存了 1 个文件"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(dir.file("out/song.mld")).size(), 186u) << "the first file's output is kept";
    ASSERT_EQ(unlink(dir.file("out/song.mld").c_str()), 0);
  }
}

// An output that is an input of the run, under its own name, through a link
// in the output folder or another spelling, is never written; nor is a
// trace that would land on an output.
TEST(CliOverwrite, NoOutputOverAnInputOfTheRun) {
  for (const char* jobs : {"1", "2"}) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("a").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0700), 0);
    writeFile(dir.file("a/x.mid"), workedExample());
    writeFile(dir.file("out/q.mld"), workedExample());  // a MIDI file under the name of an output
    ASSERT_EQ(symlink("../a/x.mid", dir.file("out/z.mld").c_str()), 0);
    const ProcessResult r =
        cli({"-j", jobs, "--overwrite", "all", "-o", "out", "a/x.mid", "out/z.mld", "./out/../out/q.mld"}, dir.path());
    EXPECT_EQ(r.status, 1) << jobs;
    const std::string refused = "  输出文件与输入文件相同，未保存\n";
    EXPECT_NE(r.out.find("001: out/z.mld\n     => out/z.mld\n" + refused), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("002: ./out/../out/q.mld\n     => out/q.mld\n" + refused), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("已保存了 1 个文件"), std::string::npos) << r.out;
    EXPECT_EQ(readFile(dir.file("a/x.mid")), workedExample()) << "the link's target is the user's MIDI file";
    EXPECT_EQ(readFile(dir.file("out/q.mld")), workedExample());
    EXPECT_EQ(readFile(dir.file("out/x.mld")).size(), 186u);

    // A trace onto an output, existing or not yet, or through a link to one
    // not written yet, is refused before anything is written.
    ASSERT_EQ(symlink("y.mld", dir.file("out/trace.txt").c_str()), 0);
    writeFile(dir.file("a/y.mid"), workedExample());
    const ProcessResult linked = cli({"-o", "out", "--trace", "out/trace.txt", "a/y.mid"}, dir.path());
    EXPECT_EQ(linked.status, 2) << linked.err;
    EXPECT_FALSE(fileExists(dir.file("out/y.mld")));
    for (const auto& [folder, trace] : {std::pair{"out", "out/x.mld"}, std::pair{".", "./x.mld"}}) {
      const ProcessResult t = cli({"--overwrite", "all", "-o", folder, "--trace", trace, "a/x.mid"}, dir.path());
      EXPECT_EQ(t.status, 2) << trace;
      EXPECT_NE(t.err.find(std::string("--trace ") + trace + " is an output of this run"), std::string::npos) << t.err;
    }
    EXPECT_EQ(readFile(dir.file("out/x.mld")).size(), 186u) << "not cut to nothing";
    EXPECT_FALSE(fileExists(dir.file("x.mld")));
  }
}

TEST(CliFolders, MissingFoldersAreCreated) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const std::string nested = dir.file("x/y/z/");
  ProcessResult r = cli({"-o", nested, "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("     => " + nested + "a.mld\n"), std::string::npos);
  EXPECT_EQ(readFile(nested + "a.mld").size(), 186u);

  // Relative folders, with and without the final "/".
  r = cli({"-o", "out/sub/", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("     => out/sub/a.mld\n"), std::string::npos);
  EXPECT_TRUE(fileExists(dir.file("out/sub/a.mld")));
  r = cli({"-o", "rel", dir.file("a.mid")}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("     => rel/a.mld\n"), std::string::npos);
  EXPECT_TRUE(fileExists(dir.file("rel/a.mld")));

  // The default folder is the current one, not the input's.
  ::mkdir(dir.file("in").c_str(), 0755);
  writeFile(dir.file("in/c.mid"), workedExample());
  r = cli({"in/c.mid"}, dir.path());
  EXPECT_NE(r.out.find("     => ./c.mld\n"), std::string::npos);
  EXPECT_TRUE(fileExists(dir.file("c.mld")));
  EXPECT_FALSE(fileExists(dir.file("in/c.mld")));
}

TEST(CliFolders, PlainFileWhereAFolderIsNeeded) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("blocker"), hex("00"));
  const ProcessResult r = cli({"-o", "blocker/sub/", "a.mid"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("     => blocker/sub/a.mld\n  打不开输出文件\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("已检查 1 个文件、已保存了 0 个文件。"), std::string::npos);
}

TEST(CliFolders, ReadOnlyOutputStaysAsItWas) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  const Bytes old = hex("6F 6C 64");
  writeFile(dir.file("a.mld"), old);
  ::chmod(dir.file("a.mld").c_str(), 0444);
  const ProcessResult r = cli({"--overwrite", "ask", "a.mid"}, dir.path(), "y\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("     => ./a.mld\n     ※已覆盖\n  打不开输出文件\n"), std::string::npos) << r.out;
  EXPECT_EQ(readFile(dir.file("a.mld")), old);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("a.mld").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(CliFolders, FailedWriteKeepsTheOldFile) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("b.mid"), workedExample());
  ::mkdir(dir.file("out").c_str(), 0755);
  const Bytes old = hex("6F 6C 64");
  writeFile(dir.file("out/a.mld"), old);
  // The output is 186 bytes; files may not grow past 100.
  const ProcessResult r = runProcess({"/usr/bin/prlimit", "--fsize=100", "--", TONVELL_CLI, "--date", "20030105",
                                      "--overwrite", "all", "-o", "out/", "a.mid", "b.mid"},
                                     "", dir.path());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("     => out/a.mld\n     ※从这以后全部覆盖\n  写入输出文件失败，未保存\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("     => out/b.mld\n  写入输出文件失败，未保存\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("已检查 2 个文件、已保存了 0 个文件。"), std::string::npos);
  EXPECT_EQ(readFile(dir.file("out/a.mld")), old);
  EXPECT_FALSE(fileExists(dir.file("out/b.mld")));
  for (const auto& entry : std::filesystem::directory_iterator(dir.file("out")))
    EXPECT_EQ(entry.path().filename().string().rfind(".tonvell-", 0), std::string::npos) << entry.path();
}

// How a traced run of the command line ended.
struct Interrupted {
  std::string skipped;   // why the test cannot run here; empty when it ran
  bool signalled = false;  // the signal was sent while the temporary file was being written
  int status = -1;       // waitpid status
};

// Runs tonvell-cli under ptrace in `cwd` and sends it `signal` at the moment
// the save has just made the file it writes (an open that creates a file
// exclusively or makes an unnamed one, which nothing else in a run does), or,
// with `writes` above 0, as it starts the write call number `writes` into
// that file; then lets it run to its end. With `save` above 1, at the save
// of that number instead of the first. Standard output goes to `log` when
// named, else nowhere.
Interrupted interruptSave(const std::vector<std::string>& args, const std::string& cwd, int signal, int writes = 0,
                          int save = 1, const std::string& log = "") {
  Interrupted result;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    result.skipped = "fork failed";
    return result;
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(log.empty() ? null : ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(null, 2);
    if (::chdir(cwd.c_str()) != 0 || ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(126);
    std::vector<char*> argv;
    std::string program = TONVELL_CLI;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  // The stop after exec.
  if (::waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
    result.skipped = "the program cannot be traced here";
    if (WIFSTOPPED(status)) ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return result;
  }
  ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  bool tracingSyscalls = true;
  int deliver = 0;
  int writingTo = -1;     // the descriptor of the file being saved
  bool creating = false;  // in the open that makes it
  for (;;) {
    if (::ptrace(tracingSyscalls ? PTRACE_SYSCALL : PTRACE_CONT, pid, nullptr, deliver) != 0) break;
    deliver = 0;
    if (::waitpid(pid, &status, 0) != pid) break;
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!WIFSTOPPED(status)) continue;
    if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
      deliver = WSTOPSIG(status);  // an ordinary signal: hand it on
      continue;
    }
    __ptrace_syscall_info info{};
    if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) {
      result.skipped = "PTRACE_GET_SYSCALL_INFO is not available";
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return result;
    }
    if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
      if (!creating || info.exit.rval < 0) continue;
      creating = false;
      writingTo = static_cast<int>(info.exit.rval);
      if (writes > 0) continue;
    } else if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
      const unsigned flags = static_cast<unsigned>(info.entry.args[2]);
      if (info.entry.nr == SYS_openat &&
          ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL) || (flags & O_TMPFILE) == O_TMPFILE)) {
        creating = --save <= 0;
        continue;
      }
      const bool writing = info.entry.nr == SYS_write || info.entry.nr == SYS_pwrite64;
      if (!writing || writingTo < 0 || static_cast<int>(info.entry.args[0]) != writingTo ||
          --writes != 0)
        continue;
    } else {
      continue;
    }
    {
      ::kill(pid, signal);
      result.signalled = true;
      tracingSyscalls = false;
    }
  }
  // The program may have ended while running on (a signal taken by another
  // of its threads): collect how.
  if (!WIFEXITED(status) && !WIFSIGNALED(status) && ::waitpid(pid, &status, 0) != pid) status = -1;
  result.status = status;
  return result;
}

// Files under `folder` whose names start with `prefix`.
std::vector<std::string> namesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// True when files can be made without a name in `folder`.
bool hasUnnamedFiles(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY, 0600);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

TEST(CliInterrupt, SignalDuringASaveRemovesOnlyItsTemporaryFile) {
  for (const int signal : {SIGTERM, SIGINT, SIGKILL}) {
    for (const bool existing : {false, true}) {
      TempDir dir;
      // Nothing can clean up after SIGKILL: a file written without a name
      // must leave nothing all the same (where the file system has unnamed
      // files; elsewhere it is written under its temporary name).
      if (signal == SIGKILL && !hasUnnamedFiles(dir.path())) continue;
      writeFile(dir.file("a.mid"), workedExample());
      ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
      writeFile(dir.file("out/.tonvell-keep"), hex("01"));  // not the run's
      if (existing) writeFile(dir.file("out/a.mld"), hex("6F 6C 64"));
      const Interrupted r =
          interruptSave({"--date", "20030105", "--overwrite", "all", "-o", "out/", "a.mid"}, dir.path(), signal);
      if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
      ASSERT_TRUE(r.signalled) << "the save was never reached";
      EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == signal)
          << "ends by the signal, status " << r.status;
      EXPECT_EQ(namesStartingWith(dir.file("out"), ".tonvell-"), std::vector<std::string>{".tonvell-keep"})
          << strsignal(signal) << (existing ? ", replacing" : ", new file");
      if (existing)
        EXPECT_EQ(readFile(dir.file("out/a.mld")), hex("6F 6C 64")) << "the old file is whole";
      else
        EXPECT_FALSE(fileExists(dir.file("out/a.mld"))) << "no half-written output";
    }
  }
}

// The log held back in blocks (standard output a file) still names every
// file saved before the signal, and the file being saved ("=>" goes out
// before the save may name the file), but not how that one ended.
TEST(CliInterrupt, TheLogNamesEveryFileSavedBeforeTheSignal) {
  for (const int signal : {SIGTERM, SIGINT, SIGUSR1, SIGALRM}) {
    TempDir dir;
    std::vector<std::string> args = {"-q", "-j", "1", "--date", "20030105", "--overwrite", "all", "-o", "out/"};
    for (const char* name : {"a", "b", "c", "d", "e"}) {
      writeFile(dir.file(std::string(name) + ".mid"), workedExample());
      args.push_back(std::string(name) + ".mid");
    }
    ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
    const Interrupted r = interruptSave(args, dir.path(), signal, 0, 4, dir.file("log"));
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
    ASSERT_TRUE(r.signalled) << "the fourth save was never reached";
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == signal) << "status " << r.status;
    const Bytes bytes = readFile(dir.file("log"));
    const std::string log(bytes.begin(), bytes.end());
    for (const char* name : {"a", "b", "c", "d"}) {
      EXPECT_NE(log.find("=> out/" + std::string(name) + ".mld\n"), std::string::npos) << strsignal(signal) << "\n" << log;
      EXPECT_EQ(fileExists(dir.file("out/" + std::string(name) + ".mld")), std::string(name) != "d") << name;
    }
    EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "     => out/d.mld\n") << "d's end is not written";
    EXPECT_EQ(log.find("e.mid"), std::string::npos) << strsignal(signal) << "\n" << log;
  }
}

// Before a large file is converted, the lines of the files finished go out:
// even a kill that no handler sees leaves them in the log.
TEST(CliInterrupt, LinesOfFinishedFilesGoOutBeforeALargeFile) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  Bytes events = hex("00 90 3C 40");
  while (events.size() < (std::size_t{1} << 20)) events.insert(events.end(), {0x01, 0x3C, 0x00, 0x01, 0x3C, 0x40});
  events.insert(events.end(), {0x01, 0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00});
  writeFile(dir.file("big.mid"), test::concat({test::smfHeader(1, 1, 96), test::track(events)}));
  ASSERT_EQ(::mkdir(dir.file("out").c_str(), 0755), 0);
  const Interrupted r = interruptSave({"-q", "-j", "1", "--date", "20030105", "-o", "out/", "a.mid", "big.mid"},
                                      dir.path(), SIGKILL, 0, 2, dir.file("log"));
  if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
  ASSERT_TRUE(r.signalled) << "the second save was never reached";
  const Bytes bytes = readFile(dir.file("log"));
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("=> out/a.mld\n"), std::string::npos)
      << std::string(bytes.begin(), bytes.end());
}

// The subcommands, run in `cwd` with `input` on standard input.
ProcessResult tool(std::vector<std::string> args, const std::string& cwd, const std::string& input = "") {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, input, cwd);
}

bool haveSoundFont() { return !audio::defaultSoundFont().empty(); }

// song.mid converted into song.mld beside it, as a user would have them.
struct RingTone {
  TempDir dir;
  Bytes mfi;
  explicit RingTone(const Bytes& midi = workedExample()) {
    writeFile(dir.file("song.mid"), midi);
    EXPECT_EQ(cli({"-q", "song.mid"}, dir.path()).status, 0);
    mfi = readFile(dir.file("song.mld"));
  }
};

// decode and render save as the converter does: the question and its log
// lines, never over an input of the run, never twice onto one file.
TEST(CliDecodeRender, KeepTheirInputsAndWriteEachFileOnce) {
  RingTone t;
  const Bytes midi = decodeMfi(t.mfi).midi;
  // song.mid is the user's own: left alone when no one answers, replaced on "y".
  ProcessResult r = tool({"decode", "song.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "song.mld => ./song.mid\n     ※已跳过\n");
  EXPECT_EQ(readFile(t.dir.file("song.mid")), workedExample());
  r = tool({"decode", "--overwrite", "ask", "song.mld"}, t.dir.path(), "y\n");
  EXPECT_EQ(r.out, "song.mld => ./song.mid: 2 channels, 0.50 s\n     ※已覆盖\n");
  EXPECT_EQ(r.err, "输出的文件已存在: ./song.mid\n" + kQuestion + "y\n");
  EXPECT_EQ(readFile(t.dir.file("song.mid")), midi);

  // A ring tone named .mid would be its own output.
  writeFile(t.dir.file("tone.mid"), t.mfi);
  ASSERT_EQ(mkdir(t.dir.file("a").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(t.dir.file("b").c_str(), 0700), 0);
  writeFile(t.dir.file("a/x.mld"), t.mfi);
  writeFile(t.dir.file("b/x.mld"), t.mfi);
  for (const char* command : {"decode", "render"}) {
    if (std::string(command) == "render" && !haveSoundFont()) continue;
    const std::string ext = std::string(command) == "decode" ? ".mid" : ".wav";
    if (ext == ".mid") {
      r = tool({command, "--overwrite", "all", "tone.mid"}, t.dir.path());
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "decode: tone.mid: not written: ./tone.mid is an input of this run\n");
      EXPECT_EQ(readFile(t.dir.file("tone.mid")), t.mfi);
    }
    r = tool({command, "--overwrite", "all", "-o", "d", "a/x.mld", "b/x.mld"}, t.dir.path());
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.out.rfind("a/x.mld => d/x" + ext + ": ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("b/x.mld"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, std::string(command) + ": b/x.mld: not written: d/x" + ext + " was written by this run already\n");
    // Again: the first replaces the file, "from now on" for the rest.
    r = tool({command, "--overwrite", "all", "-o", "d", "a/x.mld"}, t.dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n     ※从这以后全部覆盖\n"), std::string::npos) << r.out;
  }
  EXPECT_EQ(readFile(t.dir.file("d/x.mid")), midi);
}

// render's SoundFont is the run's: its faults are said once, in the system's
// words, and leave no folder behind; a song too long is refused before
// anything is written, and loops need loop marks.
TEST(CliRender, SoundFontFaultsLengthAndLoops) {
  if (!haveSoundFont()) GTEST_SKIP() << "no General MIDI SoundFont installed";
  // One note of 250 quarters at the slowest tempo: 8368 s.
  RingTone t(concat({smfHeader(1, 2, 48), track(hex("00 FF 51 03 FF FF FF  00 FF 2F 00")),
                     track(hex("00 90 3C 40  DD 60 80 3C 40  00 FF 2F 00"))}));
  writeFile(t.dir.file("junk.sf2"), hex("52 49 46 46 04 00 00 00 73 66 62 6B 00 00"));  // "RIFF" "sfbk", no more
  ProcessResult r = tool({"render", "--soundfont", "none.sf2", "-o", "w/x", "song.mld", "song.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "render: none.sf2: No such file or directory\n");
  r = tool({"render", "--soundfont", "junk.sf2", "-o", "w/x", "song.mld", "song.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "render: not a SoundFont: junk.sf2\n") << "once, and no library's own messages";

  r = tool({"render", "-o", "w/x", "song.mld"}, t.dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "render: song.mld: plays 8368 s, longer than --max-seconds 3600: not written\n");
  EXPECT_FALSE(fileExists(t.dir.file("w"))) << "no empty folder left behind";

  // Without loop marks --loops plays once; with them, the loop N times.
  RingTone plain;
  ASSERT_EQ(cli({"-q", "--overwrite", "all", "--handset", "--no-loop", "song.mid"}, plain.dir.path()).status, 0);
  r = tool({"render", "--loops", "3", "song.mld"}, plain.dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "render: song.mld: no loop marks: played once\n");
  EXPECT_EQ(r.out.rfind("song.mld => ./song.wav: 0.50 s played, ", 0), 0u) << r.out;
  const RingTone looped;
  r = tool({"render", "--loops", "3", "--max-seconds", "2", "song.mld"}, looped.dir.path());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("song.mld => ./song.wav: 1.50 s played, ", 0), 0u) << r.out;
  r = tool({"render", "--loops", "4", "--max-seconds", "1", "-o", "w", "song.mld"}, looped.dir.path());
  EXPECT_EQ(r.err, "render: song.mld: plays 2 s, longer than --max-seconds 1: not written\n");
}

// Faults while decode and render write: the file-size limit, a read-only
// folder, a full standard output, a signal in the middle of the write. The
// old file stays whole and no temporary file remains.
TEST(CliFaults, DecodeAndRenderKeepTheOldFile) {
  RingTone t;
  ASSERT_EQ(mkdir(t.dir.file("out").c_str(), 0755), 0);
  const Bytes old = hex("6F 6C 64");
  const bool render = haveSoundFont();
  for (const char* name : {"out/song.mid", "out/song.wav"}) writeFile(t.dir.file(name), old);
  const auto untouched = [&](const std::string& what) {
    EXPECT_EQ(readFile(t.dir.file("out/song.mid")), old) << what;
    EXPECT_EQ(readFile(t.dir.file("out/song.wav")), old) << what;
    EXPECT_EQ(namesStartingWith(t.dir.file("out"), ".tonvell-"), std::vector<std::string>{}) << what;
  };
  if (::access("/usr/bin/prlimit", X_OK) == 0) {
    for (const char* command : {"decode", "render"}) {
      if (!render && std::string(command) == "render") continue;
      const ProcessResult r = runProcess(
          {"/usr/bin/prlimit", "--fsize=100", "--", TONVELL_CLI, command, "--overwrite", "all", "-o", "out", "song.mld"},
          "", t.dir.path());
      EXPECT_EQ(r.status, 1) << "not killed by SIGXFSZ";
      EXPECT_NE(r.err.find(std::string(command) + ": song.mld: cannot write out/song."), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(": File too large\n"), std::string::npos) << r.err;
      untouched(std::string(command) + " under ulimit -f");
    }
  }

  // A folder nobody may write into (as root, run as nobody).
  ASSERT_EQ(chmod(t.dir.path().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(t.dir.file("ro").c_str(), 0555), 0);
  std::vector<std::string> asUser;
  if (::geteuid() == 0) asUser = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
  if (asUser.empty() || ::access(asUser[0].c_str(), X_OK) == 0) {
    for (const char* command : {"decode", "render"}) {
      if (!render && std::string(command) == "render") continue;
      std::vector<std::string> args = asUser;
      args.insert(args.end(), {TONVELL_CLI, command, "-o", "ro", "song.mld"});
      const ProcessResult r = runProcess(args, "", t.dir.path());
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find(": song.mld: cannot write ro/song."), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(": Permission denied\n"), std::string::npos) << r.err;
    }
    EXPECT_EQ(namesStartingWith(t.dir.file("ro"), ""), std::vector<std::string>{});
  }

  // Standard output on a full disk: the file is written, the run fails.
  const ProcessResult full = runProcess(
      {"/bin/sh", "-c", "exec \"$0\" decode --overwrite all -o full song.mld >/dev/full", TONVELL_CLI}, "",
      t.dir.path());
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "tonvell-cli: standard output: No space left on device\n");
  EXPECT_EQ(readFile(t.dir.file("full/song.mid")), decodeMfi(t.mfi).midi);

  // SIGTERM in the middle of the write: render's header and first batch of
  // samples are out.
  for (const char* command : {"decode", "render"}) {
    if (!render && std::string(command) == "render") continue;
    const bool isRender = std::string(command) == "render";
    const Interrupted r = interruptSave({command, "--overwrite", "all", "-o", "out", "song.mld"}, t.dir.path(),
                                        SIGTERM, isRender ? 3 : 1);
    if (!r.skipped.empty()) GTEST_SKIP() << r.skipped;
    ASSERT_TRUE(r.signalled) << command << ": the write was never reached";
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGTERM) << command << ", status " << r.status;
    untouched(std::string(command) + " killed");
  }
}

// A reader that stops early (`| head -1`) is a log that could not be written:
// the run goes on, says why and exits 1, instead of ending at the first line.
TEST(CliRun, AClosedPipeOnStandardOutputIsReported) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  writeFile(dir.file("b.mid"), workedExample());
  // Standard output is a pipe whose reading end is closed before the program starts.
  const ProcessResult p = runProcess({"python3", "-c",
                                      "import os, subprocess, sys\n"
                                      "r, w = os.pipe()\n"
                                      "os.close(r)\n"
                                      "sys.exit(subprocess.call(sys.argv[1:], stdout=w))",
                                      TONVELL_CLI, "-q", "-o", "out", "a.mid", "b.mid"},
                                     "", dir.path());
  EXPECT_EQ(p.status, 1) << p.err;
  EXPECT_NE(p.err.find("tonvell-cli: standard output: Broken pipe\n"), std::string::npos) << p.err;
  EXPECT_EQ(readFile(dir.file("out/b.mld")).size(), 186u) << "the run went on";
}

}  // namespace
}  // namespace tonvell::test

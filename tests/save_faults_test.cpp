// Saving under faults: a file-size limit hit during the write, an output
// folder that goes away or turns read-only between the existence check and
// the write, a folder or a symbolic link where the output belongs, a path
// that is not UTF-8. Each time the run says what happened, goes on with the
// next file, counts only files written, leaves no temporary file behind and
// never destroys an existing output.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "convert/run.h"
#include "convert/strings.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::concat;
using test::hex;
using test::readFile;
using test::smfHeader;
using test::track;
using test::writeFile;

const std::string kSep = std::string(80, '-') + "\r\n";
const std::string kOverwritten = "     ※已覆盖\n";
const std::string kCannotOpen = "  打不开输出文件\r\n";
const std::string kWriteFailed = "  " + std::string(loadString(text::kWriteFailed));
const Bytes kOldOutput = {'o', 'l', 'd', ' ', 'o', 'u', 't', 'p', 'u', 't'};

// One file's entry in the log, up to the lines that follow the output path.
std::string entry(int index, const std::string& input, const std::string& output, const std::string& after = {}) {
  char number[16];
  std::snprintf(number, sizeof number, "%03d: ", index);
  return kSep + number + input + "\r\n" + "     => " + output + "\n" + after;
}

std::string summary(int checked, int saved) {
  char line[128];
  std::snprintf(line, sizeof line, "已检查 %d 个文件、已保存了 %d 个文件。\r\n", checked, saved);
  return kSep + line;
}

// A song of `notes` notes: its MFi file is about 4 bytes a note.
Bytes songOf(int notes) {
  Bytes events;
  for (int i = 0; i < notes; ++i) {
    const Bytes note = hex(i == 0 ? "00 90 3C 40  30 80 3C 40" : "00 90 40 40  30 80 40 40");
    events.insert(events.end(), note.begin(), note.end());
  }
  return concat({smfHeader(1, 2, 48), track(hex("00 FF 2F 00")), track(events)});
}

Bytes mfiOf(const Bytes& input) {
  Bytes out;
  EXPECT_EQ(test::convertBytes(input, &out), result::kSuccess);
  return out;
}

// Temporary files the save step left anywhere under `folder`.
std::vector<std::string> leftovers(const std::string& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->path().filename().string().rfind(".tonvell-", 0) == 0) found.push_back(it->path().string());
  }
  return found;
}

bool isSymlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// What a run in a child process sent back.
struct ChildRun {
  bool finished = false;  // the child ran the body and exited with 0
  std::string output;     // what the body returned, or why the child failed
};

// Runs `body` in a forked child after `prepare` (which changes the child's
// limits or user and returns an empty text, or says why it could not). The
// body's text comes back through a pipe, which no file-size limit touches.
ChildRun inChild(const std::function<std::string()>& prepare, const std::function<std::string()>& body) {
  ChildRun run;
  int fds[2];
  if (::pipe(fds) != 0) {
    run.output = std::string("pipe: ") + std::strerror(errno);
    return run;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    run.output = std::string("fork: ") + std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return run;
  }
  if (pid == 0) {
    ::close(fds[0]);
    std::string text = prepare();
    const int code = text.empty() ? 0 : 3;
    if (code == 0) text = body();
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) ::_exit(4);
      done += static_cast<std::size_t>(n);
    }
    ::_exit(code);
  }
  ::close(fds[1]);
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.finished && WIFEXITED(status) && WEXITSTATUS(status) != 3)
    run.output += "\nchild exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) run.output += "\nchild killed by signal " + std::to_string(WTERMSIG(status));
  return run;
}

// Inputs in in/, outputs to out/, all inside a fresh temporary folder.
struct SaveFaults : ::testing::Test {
  test::TempDir dir;
  test::Harness h;
  std::string in = dir.file("in");
  std::string out = dir.file("out");

  void SetUp() override {
    h.display.lines.clear();
    fs::create_directory(in);
    fs::create_directory(out);
    h.converter.settings.outputFolder = out + "/";
  }
  std::string input(const std::string& name, const Bytes& bytes = test::workedExample()) {
    const std::string path = in + "/" + name;
    writeFile(path, bytes);
    h.display.lines.push_back(path);
    return path;
  }
  std::string output(const std::string& name) const { return out + "/" + name; }
  const std::string& log() const { return h.converter.fields.logText; }
  // The log after the banner.
  std::string entries() const {
    const std::size_t first = log().find(kSep);
    return first == std::string::npos ? log() : log().substr(first);
  }
  void run() { h.converter.batchRun(); }
};

TEST_F(SaveFaults, FileSizeLimitDuringTheWriteKeepsTheOldFileAndGoesOn) {
  const std::string big = input("big.mid", songOf(2000));  // about 8 KB of MFi
  const std::string small = input("small.mid");             // a few hundred bytes
  writeFile(output("big.mld"), kOldOutput);
  h.prompt.answers = {OverwriteAnswer::kYes};

  const ChildRun child = inChild(
      [] {
        const rlimit limit{4096, 4096};
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 ? std::string() : std::string("setrlimit failed");
      },
      [this] {
        run();
        return entries();
      });
  ASSERT_TRUE(child.finished) << child.output;
  EXPECT_EQ(child.output, entry(0, big, output("big.mld"), kOverwritten + kWriteFailed) +
                              entry(1, small, output("small.mld")) + summary(2, 1));
  EXPECT_EQ(readFile(output("big.mld")), kOldOutput) << "the existing file survives the failed write";
  EXPECT_EQ(readFile(output("small.mld")), mfiOf(test::workedExample()));
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(SaveFaults, OutputFolderRemovedBeforeTheWrite) {
  const std::string a = input("a.mid");
  const std::string b = input("b.mid");
  writeFile(output("a.mld"), kOldOutput);
  h.prompt.answers = {OverwriteAnswer::kYes};
  h.prompt.onAsk = [this](const std::string&) { fs::remove_all(out); };
  run();
  // The next file's save creates the folder again.
  EXPECT_EQ(entries(), entry(0, a, output("a.mld"), kOverwritten + kCannotOpen) + entry(1, b, output("b.mld")) +
                           summary(2, 1));
  EXPECT_FALSE(test::fileExists(output("a.mld")));
  EXPECT_EQ(readFile(output("b.mld")), mfiOf(test::workedExample()));
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(SaveFaults, OutputFolderMadeReadOnlyBeforeTheWrite) {
  const std::string a = input("a.mid");
  const std::string b = input("b.mid", songOf(3));
  writeFile(output("a.mld"), kOldOutput);
  writeFile(output("b.mld"), kOldOutput);
  h.prompt.answers = {OverwriteAnswer::kYes, OverwriteAnswer::kYes};
  // Read-only while a is saved, writable again when b is asked about.
  h.prompt.onAsk = [this](const std::string& path) {
    ::chmod(out.c_str(), path == output("a.mld") ? 0555 : 0755);
  };

  // Permission bits do not stop root: then the run goes to a child process
  // under an unprivileged user who owns the temporary folder.
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0) << e.path();
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
  }
  const ChildRun child = inChild(
      [root] {
        if (!root) return std::string();
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
          return std::string("cannot drop root privileges: ") + std::strerror(errno);
        return std::string();
      },
      [this] {
        run();
        return entries();
      });
  if (!child.finished && child.output.rfind("cannot drop root privileges", 0) == 0)
    GTEST_SKIP() << "running as root, and " << child.output;
  ASSERT_TRUE(child.finished) << child.output;
  EXPECT_EQ(child.output, entry(0, a, output("a.mld"), kOverwritten + kCannotOpen) +
                              entry(1, b, output("b.mld"), kOverwritten) + summary(2, 1));
  EXPECT_EQ(readFile(output("a.mld")), kOldOutput);
  EXPECT_EQ(readFile(output("b.mld")), mfiOf(songOf(3)));
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Existence is looked up, not tried by opening the file: an output its owner
// may write but not read (mode 200) is asked about, and a skip keeps it.
TEST_F(SaveFaults, WriteOnlyOutputIsAskedAboutAndKeptOnSkip) {
  const std::string a = input("a.mid");
  writeFile(output("a.mld"), kOldOutput);
  ASSERT_EQ(::chmod(output("a.mld").c_str(), 0200), 0);
  h.prompt.answers = {OverwriteAnswer::kSkip};
  // Root reads any file: the run goes to a child under an unprivileged user
  // who owns the folder and the file.
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0) << e.path();
    ASSERT_EQ(::chown(dir.path().c_str(), kNobody, kNobody), 0);
  }
  const ChildRun child = inChild(
      [root] {
        if (!root) return std::string();
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
          return std::string("cannot drop root privileges: ") + std::strerror(errno);
        return std::string();
      },
      [this] {
        run();
        return std::to_string(h.prompt.asked.size()) + "\n" + entries();
      });
  if (!child.finished && child.output.rfind("cannot drop root privileges", 0) == 0)
    GTEST_SKIP() << "running as root, and " << child.output;
  ASSERT_TRUE(child.finished) << child.output;
  EXPECT_EQ(child.output, "1\n" + entry(0, a, output("a.mld"), "     ※已跳过\n") + summary(1, 0));
  ASSERT_EQ(::chmod(output("a.mld").c_str(), 0600), 0);
  EXPECT_EQ(readFile(output("a.mld")), kOldOutput);
}

TEST_F(SaveFaults, ReadOnlyOutputFileIsNotReplaced) {
  const std::string a = input("a.mid");
  writeFile(output("a.mld"), kOldOutput);
  ASSERT_EQ(::chmod(output("a.mld").c_str(), 0444), 0);
  h.prompt.answers = {OverwriteAnswer::kYes};
  run();
  EXPECT_EQ(entries(), entry(0, a, output("a.mld"), kOverwritten + kCannotOpen) + summary(1, 0));
  EXPECT_EQ(readFile(output("a.mld")), kOldOutput);
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(SaveFaults, DirectoryAtTheOutputPathIsLeftAlone) {
  const std::string a = input("a.mid");
  const std::string b = input("b.mid");
  fs::create_directory(output("a.mld"));
  writeFile(output("a.mld") + "/inside", kOldOutput);
  run();
  // Not an existing file: no question, and the write is refused.
  EXPECT_EQ(entries(), entry(0, a, output("a.mld"), kCannotOpen) + entry(1, b, output("b.mld")) + summary(2, 1));
  EXPECT_TRUE(h.prompt.asked.empty());
  EXPECT_TRUE(fs::is_directory(output("a.mld")));
  EXPECT_EQ(readFile(output("a.mld") + "/inside"), kOldOutput);
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(SaveFaults, SymbolicLinksAtTheOutputPath) {
  const std::string a = input("a.mid");
  const std::string b = input("b.mid");
  const std::string target = dir.file("target");
  fs::create_directory(target);
  writeFile(target + "/real.mld", kOldOutput);
  fs::create_symlink("../target/real.mld", output("a.mld"));
  fs::create_symlink("../target/missing.mld", output("b.mld"));
  h.prompt.answers = {OverwriteAnswer::kYes};
  run();
  // A link to a file: asked about under the link's name, written through to
  // the file, and the link stays. A dangling link cannot be written through.
  EXPECT_EQ(entries(), entry(0, a, output("a.mld"), kOverwritten) + entry(1, b, output("b.mld"), kCannotOpen) +
                           summary(2, 1));
  EXPECT_EQ(h.prompt.asked, std::vector<std::string>{output("a.mld")});
  EXPECT_EQ(readFile(target + "/real.mld"), mfiOf(test::workedExample()));
  ASSERT_TRUE(isSymlink(output("a.mld")));
  EXPECT_EQ(fs::read_symlink(output("a.mld")), "../target/real.mld");
  ASSERT_TRUE(isSymlink(output("b.mld")));
  EXPECT_EQ(fs::read_symlink(output("b.mld")), "../target/missing.mld");
  EXPECT_FALSE(test::fileExists(target + "/missing.mld"));
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST_F(SaveFaults, PathThatIsNotUtf8IsLoggedWithReplacementCharactersAndWrittenAsIs) {
  const std::string raw = "\xB8\xE8";  // GBK bytes, invalid as UTF-8
  input(raw + ".mid");
  run();
  const std::string shown = "\xEF\xBF\xBD\xEF\xBF\xBD";  // one U+FFFD per bad byte
  EXPECT_EQ(entries(), entry(0, in + "/" + shown + ".mid", out + "/" + shown + ".mld") + summary(1, 1));
  EXPECT_EQ(readFile(output(raw + ".mld")), mfiOf(test::workedExample()));
  EXPECT_FALSE(test::fileExists(output(shown + ".mld")));
  EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace tonvell

// The program as started from a file manager or a terminal: files named on
// the command line start in the window's list, and a later copy started with
// files hands them to this one's list. Each test runs the real application
// object (its own, not the shared test one) on the offscreen platform.
#include "ui/converter_app.h"
#include "ui/file_names.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <climits>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"
#include "support/ui_support.h"
#include "ui/converter_dialog.h"

namespace tonvell::ui {
namespace {

using test::ScopedEnv;
using test::TempDir;

// A name that is not UTF-8: the list must keep its bytes.
const std::string kRawName = "lied-\xff\xfe.mid";

std::string cwd() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

// The list of the window as bytes, one path per line.
std::string listBytes(ConverterDialog& window) {
  return fileNameBytes(qobject_cast<QPlainTextEdit*>(window.control(ConverterDialog::kFileList))->toPlainText());
}

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& name : {std::string("song.mid"), kRawName}) test::writeFile(work_.file(name), test::workedExample());
    ::mkdir(work_.file("sub").c_str(), 0755);
    test::writeFile(work_.file("sub/other.mid"), test::workedExample());
    start_ = cwd();
    ASSERT_EQ(::chdir(work_.path().c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(::chdir(start_.c_str()), 0); }

  // Runs the program with `args` as its command line; `whileOpen` gets the
  // window once it is open and must close it. The exit status.
  int runProgram(const std::vector<std::string>& args, std::function<void(ConverterDialog*)> whileOpen) {
    std::vector<std::string> words{"tonvell"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    ConverterApp app(argc, argv.data());
    bool seen = false;
    test::whenModal<ConverterDialog>(std::move(whileOpen), &seen);
    const int status = app.run();
    EXPECT_TRUE(seen) << "the window did not open";
    return status;
  }

  TempDir work_, runtime_, config_, out_;
  ScopedEnv platform_{"QT_QPA_PLATFORM", "offscreen"};
  ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.path()};
  ScopedEnv configEnv_{"XDG_CONFIG_HOME", config_.path()};
  std::string start_;
};

TEST_F(StartTest, files_on_the_command_line_start_in_the_list_as_absolute_paths_byte_for_byte) {
  const std::string dir = work_.path();
  std::string shown;
  const int status = runProgram({"song.mid", "./sub/other.mid", dir + "/" + kRawName}, [&](ConverterDialog* w) {
    shown = listBytes(*w);
    // The names reach the conversion as the same bytes.
    qobject_cast<QLineEdit*>(w->control(ConverterDialog::kOutputFolderEdit))->setText(QString::fromStdString(out_.path() + "/"));
    w->startRun();
    w->done(ConverterDialog::kExit);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(shown, dir + "/song.mid\n" + dir + "/sub/other.mid\n" + dir + "/" + kRawName + "\n");
  EXPECT_TRUE(test::fileExists(out_.file("song.mld")));
  EXPECT_TRUE(test::fileExists(out_.file("other.mld")));
  EXPECT_TRUE(test::fileExists(out_.file("lied-\xff\xfe.mld")));
}

TEST_F(StartTest, without_files_the_list_starts_empty) {
  std::string shown = "unread";
  EXPECT_EQ(runProgram({}, [&](ConverterDialog* w) {
              shown = listBytes(*w);
              w->done(ConverterDialog::kExit);
            }),
            0);
  EXPECT_EQ(shown, "");
}

TEST_F(StartTest, second_copy_with_files_adds_them_to_the_running_list_and_exits_0) {
  const TempDir traceDir;
  const std::string secondTrace = traceDir.file("second.txt");
  std::optional<int> secondStatus;
  std::string shown;
  pid_t second = -1;
  const int status = runProgram({"song.mid"}, [&](ConverterDialog* w) {
    // The second copy starts in another folder and names its files relative
    // to that one; its environment is this one's (the same runtime folder).
    // Everything is made before the fork: the child only changes folder and
    // starts the program (raw bytes in argv, as a shell would pass them).
    const std::string folder = work_.path() + "/sub";
    const std::string raw = "../" + kRawName;
    const char* argv[] = {TONVELL_GUI_BIN, "other.mid", raw.c_str(), nullptr};
    std::vector<std::string> env{"TONVELL_TRACE=" + secondTrace};
    for (char** e = environ; *e; ++e)
      if (std::string_view(*e).substr(0, 14) != "TONVELL_TRACE=") env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    second = ::fork();
    if (second == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(126);
      ::execve(argv[0], const_cast<char**>(argv), envp.data());
      ::_exit(127);
    }
    // Wait for it without blocking this copy's event loop, which takes the files.
    auto* poll = new QTimer(w);
    QObject::connect(poll, &QTimer::timeout, w, [&, w, poll] {
      int wstatus = 0;
      if (::waitpid(second, &wstatus, WNOHANG) != second) return;
      poll->stop();
      secondStatus = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
      shown = listBytes(*w);
      w->done(ConverterDialog::kExit);
    });
    poll->start(20);
    // A copy that never ends must not hang the test.
    QTimer::singleShot(test::kPatienceMs, w, [w] { w->done(ConverterDialog::kCancel); });
  });
  EXPECT_EQ(status, 0);
  if (!secondStatus) {
    ::kill(second, SIGKILL);
    ::waitpid(second, nullptr, 0);
  }
  ASSERT_TRUE(secondStatus.has_value()) << "the second copy did not end";
  EXPECT_EQ(*secondStatus, 0);
  const std::string dir = work_.path();
  EXPECT_EQ(shown, dir + "/song.mid\n" + dir + "/sub/other.mid\n" + dir + "/sub/../" + kRawName + "\n");
  const test::Bytes trace = test::readFile(secondTrace);
  EXPECT_EQ(test::toString(trace), "Tonvell Mutex found!!\nfiles handed to the running copy: 2\n");
}

}  // namespace
}  // namespace tonvell::ui

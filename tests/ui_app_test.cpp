// One copy of the program at a time: the lock of our own, and the real
// program started while another copy holds it.
#include "ui/converter_app.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include <string>

#include "support/test_support.h"
#include "support/ui_support.h"

namespace tonvell::ui {
namespace {

using test::ScopedEnv;
using test::TempDir;
using Outcome = InstanceLock::Outcome;

const QString kName = QString::fromLatin1(ConverterApp::kInstanceName);

class InstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApp();
    runtimeEnv_ = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", runtime_.path());
  }

  // The environment of a program started by the test: its own runtime,
  // profile and trace, on the offscreen platform.
  QProcessEnvironment programEnvironment(const std::string& traceFile) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_.path()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config_.path()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TONVELL_TRACE", QString::fromStdString(traceFile));
    return env;
  }

  std::string readText(const std::string& path) const {
    if (!test::fileExists(path)) return {};
    const test::Bytes b = test::readFile(path);
    return std::string(b.begin(), b.end());
  }

  TempDir runtime_;
  TempDir config_;
  std::unique_ptr<ScopedEnv> runtimeEnv_;
};

TEST_F(InstanceTest, lock_is_named_in_the_runtime_directory_and_held_by_one_at_a_time) {
  InstanceLock first(kName);
  EXPECT_EQ(first.path().toStdString(), runtime_.path() + "/Tonvell_PrevInstance.lock");
  ASSERT_EQ(first.tryAcquire(), Outcome::kAcquired);
  {
    InstanceLock second(kName);
    EXPECT_EQ(second.tryAcquire(), Outcome::kHeldElsewhere);
  }
  // Another name is another lock.
  InstanceLock other(QStringLiteral("Tonvell_Other"));
  EXPECT_EQ(other.tryAcquire(), Outcome::kAcquired);
}

TEST_F(InstanceTest, lock_is_free_again_once_its_holder_is_gone) {
  {
    InstanceLock first(kName);
    ASSERT_EQ(first.tryAcquire(), Outcome::kAcquired);
  }
  InstanceLock again(kName);
  EXPECT_EQ(again.tryAcquire(), Outcome::kAcquired);
}

TEST_F(InstanceTest, without_a_runtime_directory_the_lock_lives_in_the_temporary_directory) {
  ScopedEnv unset("XDG_RUNTIME_DIR", nullptr);
  EXPECT_EQ(InstanceLock::directory(), QDir::tempPath());
  ScopedEnv missing("XDG_RUNTIME_DIR", "/nonexistent/runtime");
  EXPECT_EQ(InstanceLock::directory(), QDir::tempPath());
}

TEST_F(InstanceTest, second_copy_ends_at_once_silently_while_the_lock_is_held) {
  InstanceLock held(kName);
  ASSERT_EQ(held.tryAcquire(), Outcome::kAcquired);
  const std::string trace = runtime_.file("trace.txt");

  QProcess second;
  second.setProcessEnvironment(programEnvironment(trace));
  QElapsedTimer clock;
  clock.start();
  second.start(QStringLiteral(TONVELL_GUI_BIN), {});
  ASSERT_TRUE(second.waitForFinished(20000)) << "the second copy did not end";
  EXPECT_LT(clock.elapsed(), 10000);
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(second.readAllStandardOutput().toStdString(), "");
  EXPECT_EQ(second.readAllStandardError().toStdString(), "");
  EXPECT_EQ(readText(trace), "Tonvell Mutex found!!\n");
  // It neither opened the window nor touched the profile.
  EXPECT_FALSE(test::fileExists(config_.file("tonvell.ini")));
}

TEST_F(InstanceTest, first_copy_holds_the_lock_and_a_crashed_copy_does_not_block_the_next) {
  const std::string trace = runtime_.file("trace.txt");
  QProcess first;
  first.setProcessEnvironment(programEnvironment(trace));
  first.start(QStringLiteral(TONVELL_GUI_BIN), {});
  ASSERT_TRUE(first.waitForStarted(10000));

  // The first copy opens its window once it holds the lock; the window
  // traces the start folder.
  const QString lockFile = QString::fromStdString(runtime_.file("Tonvell_PrevInstance.lock"));
  QElapsedTimer clock;
  clock.start();
  while (!(QFileInfo::exists(lockFile) && !readText(trace).empty()) && clock.elapsed() < 20000) {
    first.waitForFinished(50);
  }
  ASSERT_TRUE(QFileInfo::exists(lockFile));
  ASSERT_EQ(first.state(), QProcess::Running);

  QProcess second;
  second.setProcessEnvironment(programEnvironment(trace));
  second.start(QStringLiteral(TONVELL_GUI_BIN), {});
  ASSERT_TRUE(second.waitForFinished(20000));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_NE(readText(trace).find("Tonvell Mutex found!!\n"), std::string::npos);
  EXPECT_EQ(first.state(), QProcess::Running);  // the first is unaffected

  // A copy that dies without closing leaves its lock file behind; the next
  // start sees that its holder no longer runs and takes the lock over.
  ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
  ASSERT_TRUE(first.waitForFinished(10000));
  ASSERT_TRUE(QFileInfo::exists(lockFile));
  InstanceLock next(kName);
  EXPECT_EQ(next.tryAcquire(), Outcome::kAcquired);
}

}  // namespace
}  // namespace tonvell::ui

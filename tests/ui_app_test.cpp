// One copy of the program at a time: the lock of our own, and the real
// program started while another copy holds it.
#include "ui/converter_app.h"
#include "ui/file_names.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "support/ui_support.h"

namespace tonvell::ui {
namespace {

using test::kPatienceMs;
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
  second.start(QStringLiteral(TONVELL_GUI_BIN), {});
  ASSERT_TRUE(second.waitForFinished(kPatienceMs)) << "the second copy did not end";
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
  ASSERT_TRUE(first.waitForStarted(kPatienceMs));

  // The first copy opens its window once it holds the lock; the window
  // traces the start folder.
  const QString lockFile = QString::fromStdString(runtime_.file("Tonvell_PrevInstance.lock"));
  QElapsedTimer clock;
  clock.start();
  while (!(QFileInfo::exists(lockFile) && !readText(trace).empty()) && clock.elapsed() < kPatienceMs) {
    first.waitForFinished(50);
  }
  ASSERT_TRUE(QFileInfo::exists(lockFile));
  ASSERT_EQ(first.state(), QProcess::Running);

  QProcess second;
  second.setProcessEnvironment(programEnvironment(trace));
  second.start(QStringLiteral(TONVELL_GUI_BIN), {});
  ASSERT_TRUE(second.waitForFinished(kPatienceMs));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_NE(readText(trace).find("Tonvell Mutex found!!\n"), std::string::npos);
  EXPECT_EQ(first.state(), QProcess::Running);  // the first is unaffected

  // A copy that dies without closing leaves its lock file behind; the next
  // start sees that its holder no longer runs and takes the lock over.
  ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
  ASSERT_TRUE(first.waitForFinished(kPatienceMs));
  ASSERT_TRUE(QFileInfo::exists(lockFile));
  InstanceLock next(kName);
  EXPECT_EQ(next.tryAcquire(), Outcome::kAcquired);
}

TEST_F(InstanceTest, second_copy_with_files_hands_them_to_the_running_copy_and_exits_0) {
  const std::string trace = runtime_.file("trace.txt");
  TempDir work;
  test::writeFile(work.file("a.mid"), test::workedExample());
  QProcess first;
  first.setProcessEnvironment(programEnvironment(trace));
  first.setWorkingDirectory(QString::fromStdString(work.path()));
  first.start(QStringLiteral(TONVELL_GUI_BIN), {QStringLiteral("a.mid")});
  ASSERT_TRUE(first.waitForStarted(kPatienceMs));
  // Its window is open once it traced the folder it made current.
  QElapsedTimer clock;
  clock.start();
  const auto lines = [&] {
    const std::string text = readText(trace);
    return std::count(text.begin(), text.end(), '\n');
  };
  while (lines() < 2 && clock.elapsed() < kPatienceMs) first.waitForFinished(50);
  ASSERT_EQ(first.state(), QProcess::Running);

  QProcess second;
  second.setProcessEnvironment(programEnvironment(trace));
  second.setWorkingDirectory(QString::fromStdString(work.path()));
  second.start(QStringLiteral(TONVELL_GUI_BIN), {QStringLiteral("b.mid"), QStringLiteral("c.mid")});
  ASSERT_TRUE(second.waitForFinished(kPatienceMs));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(second.readAllStandardOutput().toStdString(), "");
  EXPECT_EQ(second.readAllStandardError().toStdString(), "");
  const std::string text = readText(trace);
  EXPECT_NE(text.find("Tonvell Mutex found!!\n"), std::string::npos) << text;
  EXPECT_NE(text.find("files from another copy: 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("files handed to the running copy: 2\n"), std::string::npos) << text;
  EXPECT_EQ(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished(kPatienceMs);
}

TEST_F(InstanceTest, help_and_version_need_no_display_and_an_unknown_option_is_a_usage_error) {
  const std::vector<std::string> noDisplay{"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
  test::ProcessResult r = test::runProcess({TONVELL_GUI_BIN, "--version"}, "", "", noDisplay);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tonvell " TONVELL_VERSION "\n");
  r = test::runProcess({TONVELL_GUI_BIN, "--help"}, "", "", noDisplay);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: tonvell [FILE...]\n", 0), 0u) << r.out;
  EXPECT_EQ(r.err, "");
  r = test::runProcess({TONVELL_GUI_BIN, "--bogus", "a.mid"}, "", "",
                       {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_.path()});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("tonvell: unknown option --bogus\nTry 'tonvell --help'.\n"), std::string::npos) << r.err;
}

// The program in a folder that its user may not write in, as in /usr/bin:
// "./" means the user's music folder then. root may write anywhere, so under
// root the copy runs as nobody.
class InstalledCopyTest : public ::testing::Test {
 protected:
  static constexpr uid_t kNobody = 65534;

  void SetUp() override {
    test::qtApp();
    asNobody_ = ::geteuid() == 0;
    for (const TempDir* d : {&bin_, &home_, &runtime_, &config_, &traceDir_}) {
      ::chmod(d->path().c_str(), 0755);
      if (asNobody_ && d != &bin_) {
        ASSERT_EQ(::chown(d->path().c_str(), kNobody, kNobody), 0);
      }
    }
    ::chmod(runtime_.path().c_str(), 0700);
    ASSERT_TRUE(QFile::copy(QStringLiteral(TONVELL_GUI_BIN), QString::fromStdString(bin_.file("tonvell"))));
    ::chmod(bin_.file("tonvell").c_str(), 0755);
    ::chmod(bin_.path().c_str(), 0555);
  }

  // Starts the copy from the home folder and ends it once its window has
  // traced the folder it made current; the trace.
  std::string startAndTrace() {
    const std::string trace = traceDir_.file("trace.txt");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home_.path()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime_.path()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config_.path()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TONVELL_TRACE", QString::fromStdString(trace));
    QProcess copy;
    copy.setProcessEnvironment(env);
    copy.setWorkingDirectory(QString::fromStdString(home_.path()));
    if (asNobody_) {
      copy.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
      });
    }
    copy.start(QString::fromStdString(bin_.file("tonvell")), {});
    EXPECT_TRUE(copy.waitForStarted(kPatienceMs));
    std::string text;
    QElapsedTimer clock;
    clock.start();
    while (std::count(text.begin(), text.end(), '\n') < 3 && clock.elapsed() < kPatienceMs) {
      copy.waitForFinished(50);
      if (test::fileExists(trace)) text = test::toString(test::readFile(trace));
    }
    EXPECT_EQ(copy.state(), QProcess::Running) << copy.readAllStandardError().toStdString();
    copy.kill();
    copy.waitForFinished(kPatienceMs);
    return text;
  }

  TempDir bin_, home_, runtime_, config_, traceDir_;
  bool asNobody_ = false;
};

TEST_F(InstalledCopyTest, music_folder_is_made_and_made_current_when_the_program_folder_is_not_writable) {
  const std::string text = startAndTrace();
  const std::string music = home_.path() + "/Music";
  EXPECT_EQ(text, home_.path() + "\nprogram folder not writable, using the music folder\n" + music + "\n");
  EXPECT_TRUE(QFileInfo(QString::fromStdString(music)).isDir());
}

TEST_F(InstalledCopyTest, home_folder_is_made_current_when_no_music_folder_can_be_made) {
  ::chmod(home_.path().c_str(), 0555);
  const std::string text = startAndTrace();
  EXPECT_EQ(text, home_.path() + "\nprogram folder not writable, using the home folder\n" + home_.path() + "\n");
  EXPECT_FALSE(test::fileExists(home_.path() + "/Music"));
}

// The command line of the desktop program.

StartRequest parse(std::vector<std::string> words) {
  words.insert(words.begin(), "tonvell");
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  return parseStartRequest(static_cast<int>(argv.size()), argv.data());
}

TEST(StartRequestTest, files_are_kept_in_order_as_given_and_empty_words_are_left_out) {
  const StartRequest r = parse({"a.mid", "", "-", "dir/b.mid", "/abs/c\xff.mid"});
  EXPECT_EQ(r.action, StartRequest::Action::kRun);
  EXPECT_EQ(r.paths, (std::vector<std::string>{"a.mid", "-", "dir/b.mid", "/abs/c\xff.mid"}));
}

TEST(StartRequestTest, double_dash_makes_every_later_word_a_file) {
  const StartRequest r = parse({"a.mid", "--", "--version", "-x.mid"});
  EXPECT_EQ(r.action, StartRequest::Action::kRun);
  EXPECT_EQ(r.paths, (std::vector<std::string>{"a.mid", "--version", "-x.mid"}));
}

TEST(StartRequestTest, help_wins_over_version_and_both_over_an_unknown_option) {
  EXPECT_EQ(parse({"--version", "--bogus", "-h"}).action, StartRequest::Action::kHelp);
  EXPECT_EQ(parse({"--bogus", "--version"}).action, StartRequest::Action::kVersion);
  const StartRequest bad = parse({"a.mid", "--bogus", "-q"});
  EXPECT_EQ(bad.action, StartRequest::Action::kUsageError);
  EXPECT_EQ(bad.error, "unknown option --bogus");
}

TEST(StartRequestTest, screenshot_takes_a_file_and_only_as_the_first_word) {
  const StartRequest r = parse({"--screenshot", "shot.png", "a.mid"});
  EXPECT_EQ(r.action, StartRequest::Action::kScreenshot);
  EXPECT_EQ(r.screenshotFile, "shot.png");
  EXPECT_EQ(r.paths, std::vector<std::string>{"a.mid"});
  EXPECT_EQ(parse({"--screenshot"}).action, StartRequest::Action::kUsageError);
  EXPECT_EQ(parse({"a.mid", "--screenshot", "shot.png"}).action, StartRequest::Action::kUsageError);
}

TEST(StartRequestTest, relative_paths_are_made_absolute_against_the_start_folder_without_leading_dot_slash) {
  EXPECT_EQ(absolutePath("a.mid", "/home/u"), "/home/u/a.mid");
  EXPECT_EQ(absolutePath("./././a.mid", "/home/u/"), "/home/u/a.mid");
  EXPECT_EQ(absolutePath("../a\xfe.mid", "/home/u"), "/home/u/../a\xfe.mid");
  EXPECT_EQ(absolutePath("/abs/a.mid", "/home/u"), "/abs/a.mid");
  EXPECT_EQ(absolutePath("a.mid", ""), "a.mid");  // no start folder: as given
  EXPECT_EQ(absolutePath("a.mid", "/"), "/a.mid");
}

// Names as text and back.

TEST(PathTextTest, every_byte_string_comes_back_unchanged) {
  std::mt19937 random(20240601);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 24, '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 2 ? random() % 256 : 0x80 + random() % 0x50);
    ASSERT_EQ(fileNameBytes(fileNameText(bytes)), bytes) << round;
  }
}

// The hand-over message.

TEST(HandoverTest, message_is_the_kind_then_each_path_and_an_empty_one) {
  const std::string message = encodeHandover({"/a.mid", "/b\xff.mid"});
  EXPECT_EQ(message, std::string("tonvell-paths 1\0/a.mid\0/b\xff.mid\0\0", 32));
  std::vector<std::string> paths;
  EXPECT_EQ(decodeHandover(message, &paths), HandoverParse::kComplete);
  EXPECT_EQ(paths, (std::vector<std::string>{"/a.mid", "/b\xff.mid"}));
}

TEST(HandoverTest, every_prefix_waits_for_more_and_other_bytes_are_refused) {
  const std::string message = encodeHandover({"/a.mid", "/b.mid"});
  std::vector<std::string> paths;
  for (std::size_t n = 0; n < message.size(); ++n)
    EXPECT_EQ(decodeHandover(std::string_view(message).substr(0, n), &paths), HandoverParse::kIncomplete) << n;
  EXPECT_EQ(decodeHandover(message + "x", &paths), HandoverParse::kBad);
  EXPECT_EQ(decodeHandover("GET / HTTP/1.1\r\n", &paths), HandoverParse::kBad);
  EXPECT_EQ(decodeHandover(std::string("tonvell-paths 2\0\0", 17), &paths), HandoverParse::kBad);
  EXPECT_EQ(decodeHandover(std::string(kMaxHandoverBytes + 1, 'x'), &paths), HandoverParse::kBad);
}

class HandoverServerTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApp(); }

  // Hands `paths` over from another thread while this one runs the server.
  HandoverResult handOverWhileServing(const std::vector<std::string>& paths, int timeoutMs, QString* why) {
    HandoverResult result = HandoverResult::kFailed;
    std::atomic<bool> done{false};
    std::thread sender([&] {
      result = handOver(socket_, paths, timeoutMs, why);
      done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < kPatienceMs) QTest::qWait(5);
    sender.join();
    return result;
  }

  TempDir runtime_;
  const QString socket_ = QString::fromStdString(runtime_.file("Tonvell_PrevInstance"));
};

TEST_F(HandoverServerTest, paths_reach_the_first_copy_and_the_sender_hears_they_were_taken) {
  std::vector<std::vector<std::string>> received;
  HandoverServer server(socket_, [&](std::vector<std::string> paths) { received.push_back(std::move(paths)); });
  ASSERT_TRUE(server.listen());
  QString why;
  EXPECT_EQ(handOverWhileServing({"/x/a.mid", "/x/\xff.mid"}, kPatienceMs, &why), HandoverResult::kTaken)
      << why.toStdString();
  EXPECT_EQ(handOverWhileServing({"/x/c.mid"}, kPatienceMs, &why), HandoverResult::kTaken) << why.toStdString();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0], (std::vector<std::string>{"/x/a.mid", "/x/\xff.mid"}));
  EXPECT_EQ(received[1], std::vector<std::string>{"/x/c.mid"});
}

TEST_F(HandoverServerTest, socket_is_for_this_user_only_replaces_a_stale_one_and_goes_with_the_server) {
  test::writeFile(socket_.toStdString(), test::Bytes{'x'});  // left behind
  {
    HandoverServer server(socket_, [](std::vector<std::string>) {});
    ASSERT_TRUE(server.listen());
    struct stat st {};
    ASSERT_EQ(::stat(socket_.toStdString().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
  }
  EXPECT_FALSE(test::fileExists(socket_.toStdString()));
}

TEST_F(HandoverServerTest, a_bad_message_is_refused_and_delivers_nothing) {
  int delivered = 0;
  HandoverServer server(socket_, [&](std::vector<std::string>) { ++delivered; });
  ASSERT_TRUE(server.listen());
  QLocalSocket client;
  client.connectToServer(socket_);
  ASSERT_TRUE(client.waitForConnected(kPatienceMs));
  client.write("not a hand-over");
  QElapsedTimer clock;
  clock.start();
  while (client.state() == QLocalSocket::ConnectedState && clock.elapsed() < kPatienceMs) QTest::qWait(5);
  EXPECT_NE(client.state(), QLocalSocket::ConnectedState);
  EXPECT_EQ(delivered, 0);
}

TEST_F(HandoverServerTest, without_a_first_copy_the_sender_gives_up_in_time) {
  QString why;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(handOver(socket_, {"/a.mid"}, 300, &why), HandoverResult::kFailed);
  // It kept trying until its time was up (a first copy may still be building
  // its window), then gave up: one that never did would hang here.
  EXPECT_GE(clock.elapsed(), 300);
  EXPECT_FALSE(why.isEmpty());
}

}  // namespace
}  // namespace tonvell::ui

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Harness;

// Each test converts the worked example from a fresh folder, which is also
// the current directory meanwhile.
struct SaveMld : ::testing::Test {
  test::TempDir dir;
  Harness h;
  std::string input;
  std::string previous;
  void SetUp() override {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    previous = cwd;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    input = dir.file("in.dir.mid");
    test::writeFile(input, test::workedExample());
    h.display.lines = {input};
  }
  void TearDown() override { ASSERT_EQ(chdir(previous.c_str()), 0); }
  const std::string& log() const { return h.converter.fields.logText; }
};

TEST_F(SaveMld, DefaultFolderIsTheCurrentDirectory) {
  EXPECT_EQ(h.converter.settings.outputFolder, "./");
  h.converter.batchRun();
  EXPECT_NE(log().find("     => ./in.dir.mld\n"), std::string::npos) << "all but the last extension kept";
  EXPECT_TRUE(test::fileExists(dir.file("in.dir.mld")));
}

TEST_F(SaveMld, InputWithoutExtensionAndRelativeFolders) {
  const std::string bare = dir.file("bare");
  test::writeFile(bare, test::workedExample());
  h.display.lines = {bare};
  h.converter.settings.outputFolder = "out/x";
  h.converter.batchRun();
  EXPECT_NE(log().find("     => out/x/bare.mld\n"), std::string::npos);
  EXPECT_TRUE(test::fileExists(dir.file("out/x/bare.mld")));
  EXPECT_EQ(h.converter.settings.outputFolder, "out/x/");
}

TEST_F(SaveMld, FolderBlockedByAPlainFile) {
  test::writeFile(dir.file("blocked"), {});
  h.converter.settings.outputFolder = dir.file("blocked") + "/sub/";
  h.converter.batchRun();
  EXPECT_NE(log().find(".mld\n  打不开输出文件\r\n"), std::string::npos);
  EXPECT_NE(log().find("已保存了 0 个文件"), std::string::npos);
  EXPECT_EQ(log().find("★"), std::string::npos) << "a save failure is not a conversion failure";
}

TEST_F(SaveMld, ReadOnlyOutputIsLeftAlone) {
  const std::string out = dir.file("in.dir.mld");
  test::writeFile(out, test::hex("01 02 03"));
  ASSERT_EQ(chmod(out.c_str(), 0444), 0);
  h.converter.settings.outputFolder = dir.path();
  h.prompt.answers = {OverwriteAnswer::kYes};
  h.converter.batchRun();
  EXPECT_NE(log().find("     ※已覆盖\n  打不开输出文件\r\n"), std::string::npos);
  EXPECT_EQ(test::readFile(out), test::hex("01 02 03"));
  EXPECT_NE(log().find("已保存了 0 个文件"), std::string::npos);
}

TEST_F(SaveMld, OutputPathThatIsAFolder) {
  ASSERT_EQ(mkdir(dir.file("in.dir.mld").c_str(), 0755), 0);
  h.converter.settings.outputFolder = dir.path();
  h.converter.batchRun();
  EXPECT_TRUE(h.prompt.asked.empty()) << "a folder is not an existing output file";
  EXPECT_NE(log().find("  打不开输出文件\r\n"), std::string::npos);
}

TEST_F(SaveMld, PathsBeyondTheSystemLimitFailClearly) {
  std::string folder = dir.path();
  while (folder.size() < PATH_MAX) folder += "/abcdefghijklmnopqrstuvwxyz0123456789";
  h.converter.settings.outputFolder = folder;
  h.converter.batchRun();
  EXPECT_NE(log().find("  打不开输出文件\r\n"), std::string::npos);
  EXPECT_NE(log().find("已保存了 0 个文件"), std::string::npos);
}

// A question that ended without one of its answers never replaces a file.
TEST_F(SaveMld, QuestionEndedWithoutAnAnswerKeepsTheFile) {
  const std::string out = dir.file("in.dir.mld");
  test::writeFile(out, test::hex("01 02 03"));
  h.prompt.answers = {OverwriteAnswer::kNone};
  h.converter.batchRun();
  EXPECT_EQ(h.prompt.asked, std::vector<std::string>{"./in.dir.mld"});
  EXPECT_NE(log().find("     => ./in.dir.mld\n     ※已跳过\n---"), std::string::npos) << log();
  EXPECT_EQ(test::readFile(out), test::hex("01 02 03"));
  EXPECT_NE(log().find("已保存了 0 个文件"), std::string::npos);

  test::ScriptedPrompt prompt;
  prompt.answers = {OverwriteAnswer::kNone, OverwriteAnswer::kYes};
  OverwritePolicy policy(prompt);
  EXPECT_EQ(policy.decide("x.mld"), OverwriteDecision::kSkip);
  EXPECT_FALSE(policy.replacingAll());
  EXPECT_EQ(policy.decide("x.mld"), OverwriteDecision::kReplace) << "the next file is asked again";
}

TEST_F(SaveMld, ANewFileGetsTheUsualPermissions) {
  const mode_t mask = umask(0);
  umask(mask);
  h.converter.settings.outputFolder = dir.path();
  h.converter.batchRun();
  struct stat st {};
  ASSERT_EQ(stat(dir.file("in.dir.mld").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask) << "not the temporary file's 0600";

  // A replaced file keeps its own permissions.
  ASSERT_EQ(chmod(dir.file("in.dir.mld").c_str(), 0640), 0);
  h.prompt.answers = {OverwriteAnswer::kYes};
  h.converter.batchRun();
  ASSERT_EQ(stat(dir.file("in.dir.mld").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_NE(log().find("已保存了 1 个文件"), std::string::npos);
}

}  // namespace
}  // namespace tonvell

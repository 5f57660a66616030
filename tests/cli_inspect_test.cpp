// "tonvell-cli inspect": the listing on standard output, faults on standard
// error with the file's name, and the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/workspace.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

ProcessResult cli(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), TONVELL_CLI);
  return runProcess(args, "", cwd);
}

TEST(CliInspect, ListsGoodFilesAndNamesTheFaultsOfBadOnes) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"--date", "20030105", "a.mid"}, dir.path()).status, 0);
  Bytes bad = readFile(dir.file("a.mld"));
  bad[100] = 0x77;
  writeFile(dir.file("bad.mld"), bad);

  ProcessResult r = cli({"inspect", "a.mld"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("a.mld\nMFi file: 186 bytes, file length 178, header length 80, 4 tracks\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  titl  \"Song\" (4 bytes)\n"), std::string::npos);
  EXPECT_NE(r.out.find("        98         0   -  00 FF C3 78  Tempo 120\n"), std::string::npos) << r.out;

  r = cli({"inspect", "bad.mld", "a.mld", "none.mld"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "inspect: bad.mld: unknown event code 0x77 in track 0 at offset 100\n"
            "inspect: none.mld: No such file or directory\n");
  EXPECT_EQ(r.out.rfind("a.mld\n", 0), 0u);  // the good file is still listed
  EXPECT_EQ(r.out.find("bad.mld"), std::string::npos);

  r = cli({"inspect"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

TEST(CliInspect, AcceptsTheConvertedExamples) {
  TempDir dir;
  const std::string examples = std::string(TONVELL_SOURCE_DIR) + "/examples/";
  ProcessResult r = cli({"--date", "20030105", "-o", "out/", examples + "worked-example.mid",
                         examples + "melody-and-drums.mid"},
                        dir.path());
  ASSERT_EQ(r.status, 0) << r.out;
  r = cli({"inspect", "out/worked-example.mld", "out/melody-and-drums.mld"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  titl  \"Little Tune\" (11 bytes)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(Acoustic Snare)"), std::string::npos);  // drums on channel 9
  // The bundled file is what the worked example must become, byte for byte.
  EXPECT_EQ(readFile(dir.file("out/worked-example.mld")).size(), 186u);
}

// Inputs that are no regular file, or too large, fail at once as failed
// files: no abort, no endless read, no hang on a pipe.
TEST(CliInspect, FoldersDevicesPipesAndHugeFilesAreFailedFiles) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"--date", "20030105", "a.mid"}, dir.path()).status, 0);
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0644), 0);
  writeFile(dir.file("huge.mld"), {});
  ASSERT_EQ(::truncate(dir.file("huge.mld").c_str(), kMaxInputLength), 0);  // sparse

  const ProcessResult r = cli({"inspect", "folder", "/dev/zero", "pipe", "huge.mld", "a.mld"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "inspect: folder: Is a directory\n"
            "inspect: /dev/zero: not a regular file\n"
            "inspect: pipe: not a regular file\n"
            "inspect: huge.mld: File too large\n");
  EXPECT_EQ(r.out.rfind("a.mld\nMFi file: 186 bytes", 0), 0u) << r.out;
}

TEST(CliInspect, IsASubcommandWithItsOwnHelp) {
  TempDir dir;
  ProcessResult r = cli({"--help"}, dir.path());
  EXPECT_NE(r.out.find("Usage: tonvell-cli [OPTIONS] [FILE...] [SUBCOMMAND]\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n  inspect "), std::string::npos) << r.out;
  r = cli({"inspect", "--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Usage: tonvell-cli inspect [OPTIONS] FILE...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  FILE ...  "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("TEXT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("--json"), std::string::npos);

  // Options of the conversion before it are refused, as FILE arguments are.
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"--date", "20030105", "a.mid"}, dir.path()).status, 0);
  r = cli({"-q", "inspect", "a.mld"}, dir.path());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(r.err.rfind("tonvell-cli: --quiet is an option of the conversion", 0), 0u) << r.err;
  r = cli({"a.mid", "inspect", "a.mld"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("tonvell-cli: FILE does not go with inspect\n", 0), 0u) << r.err;
  r = cli({"inspect", "--bogus", "a.mld"}, dir.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("tonvell-cli: ", 0), 0u) << r.err;
}

TEST(CliInspect, JsonGivesOneObjectPerFile) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"--date", "20030105", "a.mid"}, dir.path()).status, 0);
  Bytes bad = readFile(dir.file("a.mld"));
  bad[100] = 0x77;
  writeFile(dir.file("bad.mld"), bad);

  const ProcessResult r = cli({"inspect", "--json", "a.mld", "bad.mld", "none.mld"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "inspect: bad.mld: unknown event code 0x77 in track 0 at offset 100\n"
            "inspect: none.mld: No such file or directory\n");
  std::vector<std::string> lines;
  for (std::size_t at = 0, lf; (lf = r.out.find('\n', at)) != std::string::npos; at = lf + 1)
    lines.push_back(r.out.substr(at, lf - at));
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::string& good = lines[0];
  EXPECT_EQ(good.rfind("{\"file\":\"a.mld\",\"ok\":true,\"size\":186,\"file_length\":178,\"header_length\":80,"
                      "\"track_count\":4,\"chunks\":[{\"id\":\"sorc\",\"offset\":13,\"bytes\":\"00\",\"copy_prohibit\":0},",
                      0),
            0u)
      << good;
  EXPECT_NE(good.find("{\"id\":\"titl\",\"offset\":38,\"bytes\":\"53 6F 6E 67\",\"text\":\"Song\"}"), std::string::npos);
  EXPECT_NE(good.find("\"tracks\":[{\"offset\":90,\"length\":40,\"events\":[{\"offset\":98,\"time\":0,\"channel\":null,"
                      "\"kind\":\"Tempo\",\"code\":195,\"value\":120,\"bytes\":\"00 FF C3 78\"},"),
            std::string::npos)
      << good;
  EXPECT_NE(good.find("{\"offset\":118,\"time\":24,\"channel\":1,\"kind\":\"note\",\"note\":19,\"gate\":24,"
                      "\"velocity\":40,\"bytes\":\"18 53 18 A0\"}"),
            std::string::npos)
      << good;
  EXPECT_EQ(good.back(), '}');
  EXPECT_EQ(lines[1], "{\"file\":\"bad.mld\",\"ok\":false,\"error\":\"unknown event code 0x77 in track 0\",\"offset\":100}");
  EXPECT_EQ(lines[2], "{\"file\":\"none.mld\",\"ok\":false,\"error\":\"No such file or directory\"}");
}

TEST(CliInspect, AListingThatCannotBeWrittenFails) {
  TempDir dir;
  writeFile(dir.file("a.mid"), workedExample());
  ASSERT_EQ(cli({"--date", "20030105", "a.mid"}, dir.path()).status, 0);
  for (const char* json : {"", "--json"}) {
    std::vector<std::string> args = {"/bin/sh", "-c", "exec \"$@\" > /dev/full", "sh", TONVELL_CLI, "inspect"};
    if (*json) args.push_back(json);
    args.push_back("a.mld");
    const ProcessResult r = runProcess(args, "", dir.path());
    EXPECT_EQ(r.status, 1) << json;
    EXPECT_EQ(r.err, "tonvell-cli: standard output: No space left on device\n") << json;
  }
}

}  // namespace
}  // namespace tonvell::test

// "tonvell-cli inspect": the listing on standard output, faults on standard
// error with the file's name, and the exit status.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace tonvell::test

// Converting several files at once (-j N) shows and writes exactly what a
// run of one file at a time does: the log, the questions, the trace and
// every output file, in list order.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/song_generator.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::ProcessResult;
using test::TempDir;

std::vector<std::string> filesIn(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct RunResult {
  ProcessResult process;
  std::vector<std::pair<std::string, Bytes>> outputs;
  Bytes trace;
};

// One run in a fresh copy of `inputs` (name, bytes), with `existing` outputs
// already in out/, the symbolic links `links` (name in out/, target) and
// `answers` on standard input.
RunResult runWithJobs(const std::vector<std::pair<std::string, Bytes>>& inputs, const std::vector<std::string>& list,
                      const std::vector<std::string>& existing,
                      const std::vector<std::pair<std::string, std::string>>& links, const std::string& answers,
                      int jobs) {
  TempDir dir;
  for (const auto& [name, bytes] : inputs) test::writeFile(dir.file(name), bytes);
  EXPECT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
  for (const std::string& name : existing) test::writeFile(dir.file("out/" + name), test::hex("00 01 02"));
  for (const auto& [name, target] : links) EXPECT_EQ(symlink(target.c_str(), dir.file("out/" + name).c_str()), 0);
  std::vector<std::string> args = {TONVELL_CLI, "-j", std::to_string(jobs), "--date", "20030105", "--overwrite",
                                   "ask",       "--trace", "trace.txt", "-o", "out/"};
  args.insert(args.end(), list.begin(), list.end());
  RunResult run;
  run.process = test::runProcess(args, answers, dir.path());
  for (const std::string& name : filesIn(dir.file("out"), ".mld"))
    run.outputs.emplace_back(name, test::readFile(dir.file("out/" + name)));
  run.trace = test::readFile(dir.file("trace.txt"));
  return run;
}

TEST(CliParallel, RunsWithFourJobsShowAndWriteWhatOneJobDoes) {
  std::vector<std::pair<std::string, Bytes>> inputs;
  std::vector<std::string> list;
  for (const std::string& name : filesIn(std::string(TONVELL_SOURCE_DIR) + "/examples", ".mid")) {
    inputs.emplace_back(name, test::readFile(std::string(TONVELL_SOURCE_DIR) + "/examples/" + name));
    list.push_back(name);
  }
  const std::vector<std::string> songs = filesIn(TONVELL_SONGS_DIR, ".mid");
  for (const std::string& name : songs) {
    inputs.emplace_back("song-" + name, test::readFile(std::string(TONVELL_SONGS_DIR) + "/" + name));
    list.push_back("song-" + name);
  }
  for (std::uint32_t start = 1; start <= 12; ++start) {
    const std::string name = "generated-" + std::to_string(start) + ".mid";
    inputs.emplace_back(name, test::generateSong(2000 * start, start).bytes);
    list.push_back(name);
  }
  // Files that fail, a name given twice, names that differ only in case.
  inputs.emplace_back("not-midi.mid", test::hex("00 01 02 03"));
  inputs.emplace_back("Case.mid", test::generateSong(3000, 31).bytes);
  inputs.emplace_back("case.mid", test::generateSong(3000, 32).bytes);
  list.insert(list.begin() + 3, {"not-midi.mid", "missing.mid", list[0], "Case.mid", "case.mid"});
  // Existing outputs: questions answered yes, skip, yes, then overwrite-all.
  const std::vector<std::string> existing = {"generated-2.mld", "generated-3.mld", "generated-5.mld",
                                             "generated-7.mld", "generated-9.mld"};
  const std::string answers = "y\ns\nx\ny\na\n";

  // Workers save new outputs ahead of their turn unless a file is read at its
  // turn or an output is a link: each way must end as one job does.
  struct Way {
    const char* what;
    std::vector<std::string> list;
    std::vector<std::pair<std::string, std::string>> links;
  };
  std::vector<Way> ways = {{"new outputs saved ahead", list, {}}, {"an input read at its turn", list, {}},
                           {"a link among the outputs", list, {}}};
  // An input named like an output that an earlier file of the run writes: it
  // must be read after that write.
  ways[1].list.push_back("out/" + list[1].substr(0, list[1].size() - 4) + ".mld");
  // A link onto a later file's existing output: what is written through it
  // first makes that file's output a duplicate.
  inputs.emplace_back("link.mid", test::generateSong(2500, 33).bytes);
  ways[2].list.insert(ways[2].list.begin(), "link.mid");
  ways[2].links.emplace_back("link.mld", "generated-2.mld");

  for (const Way& way : ways) {
    SCOPED_TRACE(way.what);
    const RunResult one = runWithJobs(inputs, way.list, existing, way.links, answers, 1);
    const RunResult four = runWithJobs(inputs, way.list, existing, way.links, answers, 4);
    EXPECT_EQ(one.process.status, 1) << "the failing files";
    EXPECT_EQ(four.process.status, one.process.status);
    EXPECT_EQ(four.process.out, one.process.out);
    EXPECT_EQ(four.process.err, one.process.err) << "the same questions in the same order";
    EXPECT_NE(one.process.out.find("※从这以后全部覆盖"), std::string::npos) << one.process.out;
    EXPECT_NE(one.process.out.find("★不是 MIDI 文件"), std::string::npos);
    ASSERT_EQ(four.outputs.size(), one.outputs.size());
    for (std::size_t i = 0; i < one.outputs.size(); ++i) {
      EXPECT_EQ(four.outputs[i].first, one.outputs[i].first);
      EXPECT_TRUE(four.outputs[i].second == one.outputs[i].second) << one.outputs[i].first;
    }
    EXPECT_GT(one.trace.size(), 0u);
    EXPECT_TRUE(four.trace == one.trace) << "the trace, file after file";
    if (!way.links.empty()) {
      EXPECT_NE(one.process.out.find("输出文件名与本次已保存的文件重复"), std::string::npos) << one.process.out;
    }
  }
  if (songs.empty()) GTEST_SKIP() << "compared without real songs: run scripts/fetch-songs.sh " << TONVELL_SONGS_DIR;
}

// A disk that fills up fails the same files whatever the number of jobs:
// outputs saved ahead of their turn must not take the room of an earlier
// file. The first file is large and replaces an output (so it is saved at
// its turn), the others are small new ones that workers would save while it
// is being converted; the disk is a small file system of the test's own.
TEST(CliParallel, AFullDiskFailsTheFilesThatOneJobFails) {
  TempDir dir;
  std::vector<std::string> list = {"big.mid"};
  test::writeFile(dir.file("big.mid"), test::generateSong(1500000, 41).bytes);
  for (int i = 0; i < 60; ++i) {
    list.push_back("small-" + std::to_string(i) + ".mid");
    test::writeFile(dir.file(list.back()), test::generateSong(3000, 100 + i).bytes);
  }
  ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    // A mount of this process's own, gone with it.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(3);
    std::string report;
    // Out of room, then out of inodes (where a file cannot even be made).
    for (const char* const limit : {"size=960k", "size=960k", "nr_inodes=24", "nr_inodes=24"}) {
      const int jobs = report.empty() || report.back() == '\v' ? 1 : 2;
      umount(dir.file("out").c_str());
      if (mount("tonvell-test", dir.file("out").c_str(), "tmpfs", 0, limit) != 0) _exit(3);
      test::writeFile(dir.file("out/big.mld"), test::hex("00 01 02"));
      std::vector<std::string> args = {TONVELL_CLI, "-j", std::to_string(jobs), "-q", "--date", "20030105",
                                       "--overwrite", "all", "-o", "out/"};
      args.insert(args.end(), list.begin(), list.end());
      const ProcessResult run = test::runProcess(args, "", dir.path());
      report += "status " + std::to_string(run.status) + "\n" + run.out + run.err;
      for (const std::string& name : filesIn(dir.file("out"), ".mld"))
        report += name + " " + std::to_string(test::readFile(dir.file("out/" + name)).size()) + "\n";
      report += jobs == 1 ? '\f' : '\v';
    }
    for (std::size_t done = 0; done < report.size();) {
      const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
      if (n <= 0) _exit(4);
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "no file system of the test's own here";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (std::size_t start = 0; start < report.size();) {
    const std::size_t cut = report.find('\f', start), end = report.find('\v', cut);
    ASSERT_NE(end, std::string::npos);
    const std::string one = report.substr(start, cut - start), two = report.substr(cut + 1, end - cut - 1);
    EXPECT_NE(one.find("No space left on device"), std::string::npos) << "the disk must fill up: " << one;
    EXPECT_EQ(one.find("big.mld 3\n"), std::string::npos) << "the first file is replaced: " << one;
    EXPECT_EQ(two, one);
    start = end + 1;
  }
}

}  // namespace
}  // namespace tonvell

// Real format-1 songs (fetched by scripts/fetch-songs.sh) convert in full.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>

#include "support/test_support.h"

namespace tonvell {
namespace {

std::vector<std::string> songs() { return test::midiFilesIn(TONVELL_SONGS_DIR); }

// The songs, or why a test cannot use them: the set is fetched apart from
// the repository (scripts/fetch-songs.sh) and may be missing.
constexpr std::size_t kSongsExpected = 20;
std::string whyNoSongs(const std::vector<std::string>& paths) {
  if (paths.size() >= kSongsExpected) return {};
  return std::to_string(paths.size()) + " songs in " + TONVELL_SONGS_DIR + ", " + std::to_string(kSongsExpected) +
         " needed: run scripts/fetch-songs.sh " + TONVELL_SONGS_DIR;
}

std::uint32_t u32(const test::Bytes& b, size_t at) {
  return static_cast<std::uint32_t>(b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]);
}

TEST(Songs, EverySongConvertsWithConsistentLengths) {
  const std::vector<std::string> paths = songs();
  if (const std::string why = whyNoSongs(paths); !why.empty()) GTEST_SKIP() << why;
  for (const std::string& path : paths) {
    const test::Bytes input = test::readFile(path);
    test::Bytes out;
    TraceChannel trace;
    size_t traced = 0;
    trace.setSink([&](std::string_view b) { traced += b.size(); });
    ASSERT_EQ(test::convertBytes(input, &out, {}, &trace), result::kSuccess) << path;
    EXPECT_GT(traced, 0u);
    ASSERT_GE(out.size(), 150u);
    EXPECT_EQ(u32(out, 4), out.size() - 8) << path;
    size_t at = 10 + static_cast<size_t>(out[8] << 8 | out[9]);
    int tracks = 0;
    std::size_t notes = 0;
    while (at + 8 <= out.size()) {
      ASSERT_EQ(test::toString(test::Bytes(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at) + 4)), "trac");
      const std::uint32_t length = u32(out, at + 4);
      ASSERT_EQ(length % 4, 0u);
      for (size_t e = at + 8; e < at + 8 + length; e += 4) notes += out[e + 1] != 0xFF;
      at += 8 + length;
      ++tracks;
    }
    EXPECT_EQ(at, out.size()) << path;
    EXPECT_EQ(tracks, 4) << path;
    EXPECT_GT(notes, 0u) << path << " has notes";
  }
}

TEST(Songs, OutputDoesNotDependOnTheTrace) {
  const std::vector<std::string> paths = songs();
  if (const std::string why = whyNoSongs(paths); !why.empty()) GTEST_SKIP() << why;
  for (const std::string& path : paths) {
    const test::Bytes input = test::readFile(path);
    test::Bytes quiet, traced;
    TraceChannel trace;
    std::size_t tracedBytes = 0;
    trace.setSink([&](std::string_view b) { tracedBytes += b.size(); });
    ASSERT_EQ(test::convertBytes(input, &quiet), result::kSuccess) << path;
    ASSERT_EQ(test::convertBytes(input, &traced, {}, &trace), result::kSuccess) << path;
    EXPECT_GT(tracedBytes, 0u) << path << ": the trace was on";
    EXPECT_GE(quiet.size(), 150u) << path;
    EXPECT_EQ(quiet, traced) << path;
  }
}

}  // namespace
}  // namespace tonvell

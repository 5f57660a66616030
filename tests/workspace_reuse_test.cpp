// convertMidi keeps its workspace from one call to the next on a thread: no
// file may see anything of the files converted before it. Each input is
// converted once on a thread of its own (a new workspace) and then, in
// several orders, one after another on a single thread, with small and large
// inputs, refused ones and random bytes in between, traced and not.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "convert/pipeline.h"
#include "support/song_generator.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

struct Outcome {
  ConversionResult result;
  std::string trace;
  bool operator==(const Outcome& o) const {
    return result.code == o.result.code && result.mfi == o.result.mfi && trace == o.trace &&
           result.headerTextSubstituted == o.result.headerTextSubstituted;
  }
};

Outcome convertTraced(const test::Bytes& input, const ConversionOptions& options, bool traced,
                      Progress* progress = nullptr) {
  Outcome out;
  TraceChannel trace;
  if (traced) trace.setSink([&out](std::string_view b) { out.trace.append(b); });
  out.result = convertMidi(input, options, CalendarDate{2003, 1, 5}, &trace, progress);
  return out;
}

// Starts another conversion from inside the first window refresh of one.
class NestedConversion final : public Progress {
 public:
  NestedConversion(const test::Bytes& input, const ConversionOptions& options, bool traced)
      : input_(input), options_(options), traced_(traced) {}
  void beginProgress(float, std::string_view) override {}
  void stepProgress(float) override {}
  void finishProgress() override {}
  void refreshWindow() override {
    if (done) return;
    done = true;
    nested = convertTraced(input_, options_, traced_);
  }
  bool done = false;
  Outcome nested;

 private:
  const test::Bytes& input_;
  const ConversionOptions& options_;
  bool traced_;
};

std::vector<test::Bytes> testInputs() {
  std::vector<test::Bytes> inputs;
  for (const std::string& path : test::midiFilesIn(TONVELL_SONGS_DIR)) inputs.push_back(test::readFile(path));
  for (const std::string& path : test::midiFilesIn(TONVELL_CORPUS_DIR)) inputs.push_back(test::readFile(path));
  // Sizes on both sides of the smallest buffer capacity (inputs of 64 KiB).
  for (const std::size_t size : {300u, 5000u, 60000u, 70000u, 200000u})
    inputs.push_back(test::generateSong(size, static_cast<std::uint32_t>(size)).bytes);
  std::mt19937 random(20030105);
  test::Bytes noise(40000);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(random());
  inputs.push_back(noise);
  inputs.push_back(test::concat({test::hex("4D 54 68 64 00 00 00 06 00 01 00 01 01 E0"), noise}));
  // 50,000,000 ticks of silence before a note: a file of about 784 KB from 40 bytes.
  inputs.push_back(test::concat({test::smfHeader(1, 2, 48), test::track(test::hex("00 FF 2F 00")),
                                 test::track(test::concat({test::varLen(50000000),
                                                           test::hex("90 3C 40  30 80 3C 40  00 FF 2F 00")}))}));
  return inputs;
}

TEST(WorkspaceReuse, EachFileConvertsAsInAFreshWorkspaceWhateverCameBefore) {
  const std::vector<test::Bytes> inputs = testInputs();
  std::mt19937 random(19990222);
  std::vector<ConversionOptions> modes(3);
  modes[1].format0 = true;
  modes[2].handset = true;
  for (std::size_t m = 0; m < modes.size(); ++m) {
    std::vector<Outcome> fresh(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i)
      std::thread([&, i] { fresh[i] = convertTraced(inputs[i], modes[m], i % 2 == 0); }).join();
    int converted = 0;
    for (const Outcome& o : fresh) converted += o.result.code == ResultCode::kSuccess;
    EXPECT_GE(converted, 5) << "mode " << m;

    std::vector<std::size_t> order(inputs.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    for (int round = 0; round < 3; ++round) {
      std::shuffle(order.begin(), order.end(), random);
      for (const std::size_t i : order)
        EXPECT_TRUE(convertTraced(inputs[i], modes[m], i % 2 == 0) == fresh[i]) << "mode " << m << " input " << i;
    }

    // A conversion started while another runs on the same thread.
    const std::size_t outer = order[0], inner = order[1];
    NestedConversion progress(inputs[inner], modes[m], inner % 2 == 0);
    const Outcome o = convertTraced(inputs[outer], modes[m], outer % 2 == 0, &progress);
    EXPECT_TRUE(o == fresh[outer]) << "mode " << m << " input " << outer;
    if (progress.done) {
      EXPECT_TRUE(progress.nested == fresh[inner]) << "mode " << m << " nested input " << inner;
    }
  }
}

// A lower floor for the work buffers (as the fuzz targets use) decides only
// whether a file fits: every conversion gives what the usual floor gives, or
// 106 (a 106 the usual floor gives too may come from another pass, with
// another trace). Conversions with both floors alternate on one thread, so each finds
// the other's buffers in its workspace.
TEST(WorkspaceReuse, ALowerBufferFloorOnlyDecidesWhetherAFileFits) {
  const std::vector<test::Bytes> inputs = testInputs();
  std::vector<ConversionOptions> modes(3);
  modes[1].format0 = true;
  modes[2].handset = true;
  int same = 0, refused = 0;
  for (const std::int64_t floor : {std::int64_t{64} << 10, std::int64_t{4} << 10}) {
    for (const ConversionOptions& usual : modes) {
      ConversionOptions lowered = usual;
      lowered.workBufferFloor = floor;
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        const Outcome full = convertTraced(inputs[i], usual, i % 2 == 0);
        const Outcome small = convertTraced(inputs[i], lowered, i % 2 == 0);
        if (small.result.code == result::kNoMemory) {
          // Where both give 106, each trace tells how far its own buffers went.
          refused += full.result.code != result::kNoMemory;
          EXPECT_TRUE(small.result.mfi.empty());
        } else {
          ++same;
          EXPECT_TRUE(small == full) << "floor " << floor << " input " << i;
        }
      }
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(same, refused);
}

}  // namespace
}  // namespace tonvell

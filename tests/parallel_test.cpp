// Conversions on several threads at once share nothing: each gives the
// bytes, the trace and the result it gives alone. Also run under
// ThreadSanitizer (make tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "convert/pipeline.h"
#include "support/song_generator.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

struct Outcome {
  ConversionResult result;
  std::string trace;
};

Outcome convertTraced(const test::Bytes& input, const ConversionOptions& options) {
  Outcome out;
  TraceChannel trace;
  trace.setSink([&out](std::string_view b) { out.trace.append(b); });
  out.result = convertMidi(input, options, CalendarDate{2003, 1, 5}, &trace);
  return out;
}

TEST(ParallelConversion, ThreadsGiveWhatOneThreadGives) {
  std::vector<test::Bytes> inputs = {test::workedExample(), test::hex("4D 54 68 64")};
  for (std::uint32_t seed = 1; seed <= 16; ++seed) inputs.push_back(test::generateSong(3000 + 500 * seed, seed).bytes);
  ConversionOptions options;
  options.titleSwitch = 1;
  options.titleText = "铃声\xF0\x9F\x8E\xB5";  // with a character GBK lacks

  std::vector<Outcome> alone;
  for (const test::Bytes& input : inputs) alone.push_back(convertTraced(input, options));

  constexpr int kThreads = 4;
  std::vector<std::vector<Outcome>> seen(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      // Each thread starts at another input, so different songs overlap.
      for (std::size_t k = 0; k < inputs.size(); ++k) {
        const std::size_t i = (k + static_cast<std::size_t>(t) * 5) % inputs.size();
        Outcome o = convertTraced(inputs[i], options);
        seen[static_cast<std::size_t>(t)].resize(inputs.size());
        seen[static_cast<std::size_t>(t)][i] = std::move(o);
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(alone[0].result.code, ResultCode::kSuccess);
  EXPECT_TRUE(alone[0].result.headerTextSubstituted);
  EXPECT_EQ(alone[1].result.code, ResultCode::kNotMidi);
  for (int t = 0; t < kThreads; ++t) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const Outcome& o = seen[static_cast<std::size_t>(t)][i];
      EXPECT_EQ(o.result.code, alone[i].result.code) << "thread " << t << " input " << i;
      EXPECT_TRUE(o.result.mfi == alone[i].result.mfi) << "thread " << t << " input " << i;
      EXPECT_EQ(o.trace, alone[i].trace) << "thread " << t << " input " << i;
    }
  }
}

}  // namespace
}  // namespace tonvell

// A conversion allocates per file, never per event: the count of
// allocations does not grow with the input. Every operator new of this
// program is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "convert/run.h"
#include "support/allocation_counter.h"
#include "support/song_generator.h"
#include "support/test_support.h"


namespace tonvell {
namespace {

// Allocations made by loading and converting `input` in a fresh workspace.
long long allocationsToConvert(const test::Bytes& input, bool* converted) {
  ConversionWorkspace ws;
  NullProgress progress;
  TraceChannel trace;  // no sink: the trace formats nothing
  const ConverterSettings settings;
  const DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
  const long long before = test::allocations.load();
  ConvertResult code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws);
  if (code == result::kSuccess) code = convertLoaded(pass);
  const long long made = test::allocations.load() - before;
  *converted = code == result::kSuccess && ws.writeLength > 0;
  return made;
}

TEST(Allocations, DoNotGrowWithTheNumberOfEvents) {
  // The generated songs' texts are short; longer meta texts would allocate
  // for their copies, once per text.
  const test::GeneratedSong small = test::generateSong(16 << 10);
  const test::GeneratedSong large = test::generateSong(1 << 20);
  ASSERT_GT(large.events, 50 * small.events);
  bool ok = false;
  const long long forSmall = allocationsToConvert(small.bytes, &ok);
  ASSERT_TRUE(ok);
  const long long forLarge = allocationsToConvert(large.bytes, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(forLarge, forSmall);
  // The two work buffers and the look-ahead's tables.
  EXPECT_LE(forSmall, 6);
}

TEST(Allocations, UnendedNotesAllocateNoMoreThanEndedOnes) {
  // The note look-ahead's worst case: every note-on pending to the end.
  test::Bytes events;
  for (int i = 0; i < 50000; ++i) events.insert(events.end(), {0x00, 0x90, static_cast<std::uint8_t>(45 + i % 60), 0x40});
  const test::Bytes unended =
      test::concat({test::smfHeader(1, 2, 480), test::track(test::hex("00 FF 2F 00")), test::track(events)});
  bool ok = false;
  const long long forUnended = allocationsToConvert(unended, &ok);
  ASSERT_TRUE(ok);
  const long long forSong = allocationsToConvert(test::generateSong(64 << 10).bytes, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(forUnended, forSong);
}

}  // namespace
}  // namespace tonvell

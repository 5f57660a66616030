// Whole conversions of many generated format-1 files, checked against an
// independent model of the track merge.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mfi/assemble.h"
#include "smf/split.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;

// A random format-1 file: a conductor track and up to 15 channel tracks with
// notes, controllers, programs, pitch bends, metas and sysex.
Bytes randomSong(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int tracks = 1 + pick(16);
  const int divisions[] = {24, 48, 96, 120, 480, 960};
  Bytes file = test::smfHeader(1, tracks, divisions[pick(6)]);
  for (int t = 0; t < tracks; ++t) {
    Bytes ev;
    auto delta = [&] {
      const int r = pick(10);
      const std::uint32_t d = r < 4 ? 0 : r < 8 ? static_cast<std::uint32_t>(pick(200)) : static_cast<std::uint32_t>(pick(5000));
      const Bytes v = test::varLen(d);
      ev.insert(ev.end(), v.begin(), v.end());
    };
    const int channel = t == 0 ? 0 : pick(16);
    const int count = pick(40);
    for (int i = 0; i < count; ++i) {
      delta();
      const auto st = [&](int kind) { return static_cast<std::uint8_t>(kind | channel); };
      switch (pick(9)) {
        case 0: case 1: case 2: {
          const auto key = static_cast<std::uint8_t>(30 + pick(90));
          ev.insert(ev.end(), {st(0x90), key, static_cast<std::uint8_t>(1 + pick(127))});
          if (pick(4)) {
            delta();
            ev.insert(ev.end(), {pick(2) ? st(0x80) : st(0x90), key, 0});
          }
          break;
        }
        case 3: ev.insert(ev.end(), {st(0xB0), static_cast<std::uint8_t>(std::array<int, 6>{1, 7, 10, 11, 64, 0}[static_cast<size_t>(pick(6))]), static_cast<std::uint8_t>(pick(128))}); break;
        case 4: ev.insert(ev.end(), {st(0xC0), static_cast<std::uint8_t>(pick(128))}); break;
        case 5: ev.insert(ev.end(), {st(0xE0), static_cast<std::uint8_t>(pick(128)), static_cast<std::uint8_t>(pick(128))}); break;
        case 6: ev.insert(ev.end(), {0xFF, 0x51, 0x03, 0x07, static_cast<std::uint8_t>(pick(256)), 0x20}); break;
        case 7: ev.insert(ev.end(), {0xFF, static_cast<std::uint8_t>(1 + pick(3)), 0x02, 'a', 'b'}); break;
        default: ev.insert(ev.end(), {0xF0, 0x43, 0x10, 0x4C, 0xF7}); break;
      }
    }
    delta();
    ev.insert(ev.end(), {0xFF, 0x2F, 0x00});
    file = test::concat({file, test::track(ev)});
  }
  return file;
}

struct Event {
  std::int64_t time;
  int position;  // channel in track
  int index;     // order within the channel
  std::uint8_t bytes[4];
};

TEST(Pipeline, GeneratedSongsMergeAsModelled) {
  std::mt19937 rng(20031205);
  int converted = 0;
  for (int round = 0; round < 400; ++round) {
    const Bytes input = randomSong(rng);
    ConversionWorkspace ws;
    NullProgress progress;
    TraceChannel trace;
    ConverterSettings settings;
    const DateSource today = [] { return CalendarDate{2003, 1, 5}; };
    ASSERT_EQ(loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws),
              result::kSuccess);
    PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
    const ConvertResult code = test::analyseSmf(pass);
    if (code == result::kNoMemory) continue;  // long silences at a small division
    ASSERT_EQ(code, result::kSuccess) << round;

    // The model: each channel's events with their times, ordered by time,
    // then position in the track, then their own order.
    std::vector<Event> expected[4];
    for (int ch = 0; ch < 16; ++ch) {
      std::int64_t time = 0;
      for (int i = 0; i < ws.streamLength[ch] / 4; ++i) {
        Event e{};
        std::copy_n(ws.bufferB.get() + ws.streamPos[ch] + 4 * i, 4, e.bytes);
        time += e.bytes[0];
        e.time = time;
        e.position = ch % 4;
        e.index = i;
        const std::uint8_t top = static_cast<std::uint8_t>(e.position << 6);
        if (e.bytes[1] != 0xFF) e.bytes[1] = static_cast<std::uint8_t>((e.bytes[1] & 0x3F) | top);
        else if (e.bytes[2] == 0xDF) e.bytes[2] = 0xDE;
        else if (e.bytes[2] >= 0xE0 && e.bytes[2] <= 0xE3) e.bytes[3] = static_cast<std::uint8_t>((e.bytes[3] & 0x3F) | top);
        expected[ch / 4].push_back(e);
      }
    }
    ASSERT_EQ(assembleMfi(pass), result::kSuccess);
    ++converted;
    const std::uint8_t* f = ws.bufferB.get();
    const int size = ws.writeLength;
    ASSERT_EQ(f[4] << 24 | f[5] << 16 | f[6] << 8 | f[7], size - 8);
    int at = 10 + (f[8] << 8 | f[9]);
    for (int t = 0; t < 4; ++t) {
      std::stable_sort(expected[t].begin(), expected[t].end(), [](const Event& a, const Event& b) {
        return a.time != b.time ? a.time < b.time : a.position < b.position;
      });
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(f + at), 4), "trac");
      const int length = f[at + 4] << 24 | f[at + 5] << 16 | f[at + 6] << 8 | f[at + 7];
      ASSERT_EQ(length, static_cast<int>(expected[t].size()) * 4 + 8) << "events, Cue_End, Data_End";
      std::int64_t previous = 0;
      for (size_t i = 0; i < expected[t].size(); ++i) {
        Event e = expected[t][i];
        e.bytes[0] = static_cast<std::uint8_t>(e.time - previous);
        previous = e.time;
        ASSERT_EQ(test::hexOf(f + at + 8 + 4 * i, 4), test::hexOf(e.bytes, 4)) << "round " << round << " track " << t;
      }
      const std::uint8_t* tail = f + at + 8 + length - 8;
      EXPECT_EQ(test::hexOf(tail + 1, 3), "FF D0 01");
      EXPECT_EQ(test::hexOf(tail + 4, 4), "00 FF DF 00");
      at += 8 + length;
    }
    EXPECT_EQ(at, size);
  }
  EXPECT_GT(converted, 300);
}

}  // namespace
}  // namespace tonvell

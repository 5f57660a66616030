// The one-pass note look-ahead (NoteEndFinder) against the note-by-note scan
// (test::findNoteDurationByScan): the same MFi bytes and the same trace for every
// input, including the streams on which the scan reads events differently
// from the translation.
#include "mfi/lookahead.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "mfi/assemble.h"
#include "mfi/direct.h"
#include "mfi/translate.h"
#include "support/note_scan.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::smfHeader;
using test::track;

struct Outcome {
  ConvertResult code = result::kSuccess;
  Bytes output;
  std::string trace;
};

// The whole conversion of `input`, its note lengths found one way or the other;
// untraced, the conversion's own way translates each channel in one walk.
Outcome convert(const Bytes& input, bool byScan, bool traced = true) {
  Outcome out;
  ConversionWorkspace ws;
  test::ScanNoteLengths scan;
  NoteLengthSource* lengths = byScan ? &scan : nullptr;
  NullProgress progress;
  TraceChannel trace;
  if (traced) trace.setSink([&out](std::string_view bytes) { out.trace.append(bytes); });
  const ConverterSettings settings;
  const DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  out.code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws);
  if (out.code != result::kSuccess) return out;
  PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
  out.code = convertLoaded(pass, lengths);
  if (out.code == result::kSuccess) out.output.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
  return out;
}

// Channel streams placed as the split leaves them (each at c x L of bufferA,
// closed by 00 FF 2F 00), translated one way or the other.
Outcome translateStreams(const std::vector<Bytes>& streams, int division, bool byScan, bool traced = true) {
  Outcome out;
  ConversionWorkspace ws;
  test::ScanNoteLengths scan;
  NoteLengthSource* lengths = byScan ? &scan : nullptr;
  std::size_t longest = 0;
  for (const Bytes& s : streams) longest = std::max(longest, s.size() + 4);
  const int length = static_cast<int>(longest);
  EXPECT_TRUE(ws.allocateBuffers(length));
  for (std::size_t c = 0; c < 16; ++c) {
    const Bytes& s = c < streams.size() ? streams[c] : Bytes{};
    std::uint8_t* at = ws.bufferA.get() + c * static_cast<std::size_t>(length);
    std::copy(s.begin(), s.end(), at);
    const std::uint8_t closing[] = {0x00, 0xFF, 0x2F, 0x00};
    std::copy(std::begin(closing), std::end(closing), at + s.size());
    ws.streamLength[c] = static_cast<int>(s.size());
  }
  ws.division = division;
  NullProgress progress;
  TraceChannel trace;
  if (traced) trace.setSink([&out](std::string_view bytes) { out.trace.append(bytes); });
  const ConverterSettings settings;
  const DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
  out.code = translateChannels(pass, lengths);
  out.output.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
  return out;
}

// Random event streams that lean on the places where reading goes wrong:
// system-exclusive ids holding 0xF7, tempo meta events of the wrong length,
// running status across meta events and foreign channels, notes of one key
// that overlap, events cut off at the end, and stray bytes.
//
// A plain maker keeps to channel messages and meta events that read alike
// everywhere, as real songs do: in three songs of four throughout, in the
// others for all but a few events in a hundred.
class StreamMaker {
 public:
  explicit StreamMaker(std::uint32_t randomStart, bool plain = false) : rng_(randomStart), plain_(plain) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < percent; }
  std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }
  std::uint8_t data() { return static_cast<std::uint8_t>(below(128)); }

  // A few keys, so that notes overlap and ends are found; sometimes any byte.
  std::uint8_t key() {
    if (chance(85)) return static_cast<std::uint8_t>(60 + below(3));
    return chance(80) ? data() : byte();
  }

  void delta(Bytes& out) {
    std::uint32_t d;
    const int kind = below(100);
    if (kind < 25) d = 0;
    else if (kind < 90) d = static_cast<std::uint32_t>(below(16));
    else if (kind < 99) d = static_cast<std::uint32_t>(below(200));
    else d = static_cast<std::uint32_t>(below(chance(2) ? 1 << 22 : 1 << 12));  // long notes and silences
    Bytes v = test::varLen(d);
    // Now and then a needlessly long form, as some writers leave.
    if (chance(3) && v.size() < 4) v.insert(v.begin(), 0x80);
    out.insert(out.end(), v.begin(), v.end());
  }

  // One event after its delta. `channel` is the channel most messages use.
  void event(Bytes& out, int channel, bool allowSystem) {
    const int kind = below(100);
    auto channelMessage = [&](int high, int dataBytes, std::uint8_t first, std::uint8_t second) {
      const int ch = chance(75) ? channel : below(16);
      const int status = high | ch;
      if (status != lastStatus_ || !chance(50)) out.push_back(static_cast<std::uint8_t>(status));
      lastStatus_ = status;
      out.push_back(first);
      if (dataBytes == 2) out.push_back(second);
    };
    if (kind < 30) {
      channelMessage(0x90, 2, key(), chance(25) ? 0 : static_cast<std::uint8_t>(1 + below(127)));
    } else if (kind < 45) {
      channelMessage(0x80, 2, key(), data());
    } else if (kind < 53) {
      static const std::uint8_t controllers[] = {1, 7, 10, 11, 64, 0, 32};
      channelMessage(0xB0, 2, chance(80) ? controllers[below(7)] : data(), data());
    } else if (kind < 57) {
      channelMessage(0xC0, 1, data(), 0);
    } else if (kind < 60) {
      channelMessage(0xE0, 2, data(), data());
    } else if (kind < 62) {
      if (chance(50)) channelMessage(0xA0, 2, key(), data());
      else channelMessage(0xD0, 1, data(), 0);
    } else if (plain_ && (strict_ || !chance(3))) {
      if (chance(50)) channelMessage(0x90, 2, key(), static_cast<std::uint8_t>(1 + below(127)));
      else meta(out);
    } else if (!allowSystem || kind < 64) {
      out.push_back(chance(50) ? data() : byte());  // a stray byte
    } else if (kind < 76) {
      sysex(out);
    } else if (kind < 90) {
      meta(out);
    } else if (kind < 93) {
      out.push_back(0xF7);
      out.push_back(chance(70) ? data() : byte());
      lastStatus_ = 0xF7;
    } else {
      static const std::uint8_t common[] = {0xF1, 0xF2, 0xF3, 0xF4, 0xF6, 0xF8, 0xFE};
      out.push_back(common[below(7)]);
      for (int n = below(3); n > 0; --n) out.push_back(data());
      lastStatus_ = out.back();
    }
  }

  void sysex(Bytes& out) {
    out.push_back(0xF0);
    switch (below(6)) {
      case 0: out.push_back(0xF7); break;                                  // an id the scan takes for the end
      case 1: out.insert(out.end(), {0x00, 0xF7, data()}); break;          // three-byte ids holding 0xF7
      case 2: out.insert(out.end(), {0x00, data(), 0xF7}); break;
      case 3: out.insert(out.end(), {0x00, 0xF7, 0xF7}); break;
      case 4: out.push_back(0x43); break;
      default: out.insert(out.end(), {0x00, 0x00, 0x41}); break;
    }
    for (int n = below(8); n > 0; --n) {
      const int k = below(10);
      // Note-offs and note-ons of velocity 0 that only the scan can see.
      if (k == 0) out.insert(out.end(), {0x00, static_cast<std::uint8_t>(0x80 | lastChannel_), key(), 0x00});
      else if (k == 1) out.insert(out.end(), {0x05, static_cast<std::uint8_t>(0x90 | lastChannel_), key(), 0x00});
      else if (k == 2) out.push_back(0xF7);
      else out.push_back(chance(80) ? data() : byte());
    }
    if (chance(90)) out.push_back(0xF7);
    lastStatus_ = 0xF0;
  }

  void meta(Bytes& out) {
    static const std::uint8_t types[] = {0x01, 0x02, 0x03, 0x51, 0x51, 0x51, 0x7F, 0x2F, 0x06};
    const std::uint8_t type = chance(90) ? types[below(9)] : byte();
    out.push_back(0xFF);
    out.push_back(type);
    int length = type == 0x51 ? (chance(plain_ ? 97 : 50) ? 3 : below(7)) : below(6);
    if (type == 0x2F && chance(80)) length = 0;
    out.push_back(static_cast<std::uint8_t>(length));
    for (int n = 0; n < length; ++n) {
      // Bytes that read as events when the length is not what the reader expects.
      const int k = below(8);
      if (k == 0) out.push_back(static_cast<std::uint8_t>(0x80 | lastChannel_));
      else if (k == 1) out.push_back(key());
      else if (k == 2) out.push_back(0x00);
      else out.push_back(chance(85) ? data() : byte());
    }
    lastStatus_ = 0xFF;
  }

  // A channel's stream as the translation reads it.
  Bytes stream(int channel) {
    lastChannel_ = channel;
    lastStatus_ = -1;
    Bytes out;
    for (int n = below(40); n > 0; --n) {
      delta(out);
      event(out, channel, true);
    }
    if (chance(20) && !out.empty()) out.resize(static_cast<std::size_t>(below(static_cast<int>(out.size())) + 1));
    return out;
  }

  // A format-1 file: a conductor track and a few tracks of events.
  Bytes song() {
    static const int divisions[] = {48, 96, 480, 120, 24, 48, 96, 480, 120, 480};
    const int division = chance(2) ? 7 : divisions[below(10)];
    const int tracks = 1 + below(plain_ ? 8 : 4);
    strict_ = plain_ && chance(75);
    Bytes body = track(hex("00 FF 03 04 53 6F 6E 67 00 FF 51 03 07 A1 20 00 FF 2F 00"));
    for (int t = 0; t < tracks; ++t) {
      const int channel = chance(60) ? 0 : below(16);
      lastChannel_ = channel;
      lastStatus_ = -1;
      Bytes events;
      // Now and then a song that is little but a roll.
      const bool rollOnly = plain_ && tracks == 1 && chance(20);
      for (int n = rollOnly ? 0 : below(plain_ ? 60 : 30); n > 0; --n) {
        delta(events);
        event(events, channel, true);
      }
      if (rollOnly || (plain_ && chance(5))) {
        // A roll of note-ons under one status: three bytes each in the
        // file, four in the ring tone.
        events.insert(events.end(), {0x00, static_cast<std::uint8_t>(0x90 | channel), key(), 0x40});
        for (int n = 20 + below(200); n > 0; --n) events.insert(events.end(), {0x00, key(), 0x40});
        lastStatus_ = 0x90 | channel;
      }
      if (chance(80)) events.insert(events.end(), {0x00, 0xFF, 0x2F, 0x00});
      if (chance(plain_ ? 3 : 15) && !events.empty())
        events.resize(static_cast<std::size_t>(below(static_cast<int>(events.size())) + 1));
      const Bytes chunk = track(events);
      body.insert(body.end(), chunk.begin(), chunk.end());
    }
    return concat({smfHeader(1, tracks + 1, division), body});
  }

 private:
  std::mt19937 rng_;
  bool plain_;
  bool strict_ = false;  // a plain song without a single other event
  int lastStatus_ = -1;
  int lastChannel_ = 0;
};

std::string describe(const Outcome& a, const Outcome& b) {
  if (a.code != b.code) return "results " + std::to_string(messageId(a.code)) + " and " + std::to_string(messageId(b.code));
  if (a.output != b.output) return "output\n  " + test::hexOf(a.output) + "\n  " + test::hexOf(b.output);
  return "trace\n" + a.trace + "\n---\n" + b.trace;
}

// Songs of the seeds first..last, converted both ways: the number that converted.
int compareRandomSongs(std::uint32_t first, std::uint32_t last) {
  int converted = 0;
  int failures = 0;
  for (std::uint32_t randomStart = first; randomStart <= last && failures < 3; ++randomStart) {
    StreamMaker maker(randomStart);
    const Bytes input = maker.song();
    const Outcome paired = convert(input, false);
    const Outcome scanned = convert(input, true);
    if (paired.code == result::kSuccess) ++converted;
    if (paired.code != scanned.code || paired.output != scanned.output || paired.trace != scanned.trace) {
      ++failures;
      ADD_FAILURE() << "random start " << randomStart << ", input " << test::hexOf(input) << "\n" << describe(paired, scanned);
    }
  }
  return converted;
}

// How many random songs or streams each test takes: 5000 in the normal build;
// under the sanitizers, where each costs about ten times as much, a tenth,
// so that each test takes a few seconds of processor time there too.
constexpr std::uint32_t kRandomCases = test::kSanitized ? 500 : 5000;

// Songs in two halves, which a parallel test run takes side by side.
// Most songs convert; the rest fail the same way both ways.
TEST(NoteLookahead, SameAsScanOnRandomSongs) {
  EXPECT_GT(compareRandomSongs(1, kRandomCases), static_cast<int>(kRandomCases * 4 / 5));
}
TEST(NoteLookahead, SameAsScanOnMoreRandomSongs) {
  EXPECT_GT(compareRandomSongs(5001, 5000 + kRandomCases), static_cast<int>(kRandomCases * 4 / 5));
}

TEST(NoteLookahead, SameAsScanOnRandomStreams) {
  int failures = 0;
  for (std::uint32_t randomStart = 1; randomStart <= kRandomCases && failures < 3; ++randomStart) {
    StreamMaker maker(randomStart * 7919u);
    std::vector<Bytes> streams(16);
    // Mostly channel 0, which holds every system event; sometimes a few more.
    streams[0] = maker.stream(0);
    for (int extra = maker.below(3); extra > 0; --extra) {
      const int c = maker.below(16);
      streams[static_cast<std::size_t>(c)] = maker.stream(c);
    }
    const int division = maker.chance(50) ? 48 : 480;
    const Outcome paired = translateStreams(streams, division, false);
    const Outcome scanned = translateStreams(streams, division, true);
    if (paired.code != scanned.code || paired.output != scanned.output || paired.trace != scanned.trace) {
      ++failures;
      std::string all;
      for (std::size_t c = 0; c < 16; ++c)
        if (!streams[c].empty()) all += "\n  channel " + std::to_string(c) + ": " + test::hexOf(streams[c]);
      ADD_FAILURE() << "random start " << randomStart << all << "\n" << describe(paired, scanned);
    }
  }
}

// Without a trace each channel is translated in one walk that pairs the notes
// on the way, and taken back and translated as usual where the look-ahead
// reads differently or a gate needs a chain: the same bytes, on songs and on
// streams alike.
TEST(NoteLookahead, OnePassSameAsScanOnRandomSongsAndStreams) {
  int failures = 0;
  for (std::uint32_t randomStart = 1; randomStart <= kRandomCases && failures < 3; ++randomStart) {
    StreamMaker maker(randomStart * 104729u);
    const Bytes input = maker.song();
    const Outcome walked = convert(input, false, false);
    const Outcome scanned = convert(input, true, false);
    std::vector<Bytes> streams(16);
    const int c = maker.below(16);
    streams[static_cast<std::size_t>(c)] = maker.stream(c);
    const int division = maker.chance(50) ? 48 : 480;
    const Outcome walkedStreams = translateStreams(streams, division, false, false);
    const Outcome scannedStreams = translateStreams(streams, division, true, false);
    // A translation that runs out of room leaves no output behind.
    const bool streamsDiffer = walkedStreams.code != scannedStreams.code ||
                               (walkedStreams.code == result::kSuccess && walkedStreams.output != scannedStreams.output);
    if (walked.code != scanned.code || walked.output != scanned.output || streamsDiffer) {
      ++failures;
      ADD_FAILURE() << "random start " << randomStart << ", input " << test::hexOf(input) << "\n"
                    << describe(walked, scanned) << "\nstream " << test::hexOf(streams[static_cast<std::size_t>(c)]) << "\n"
                    << describe(walkedStreams, scannedStreams);
    }
  }
}

// The split and the translation in one walk over the tracks (translateTracks)
// against the two passes with each note's end found by scanning: the same
// file whenever the walk is taken; where it gives up, the input is as loaded.
// Plain songs, so that most of them take the walk: a test that the walk
// never took would prove nothing.
TEST(TrackWalk, SameAsTheTwoPassesWhereverTaken) {
  int taken = 0;
  int failures = 0;
  for (std::uint32_t randomStart = 1; randomStart <= kRandomCases && failures < 3; ++randomStart) {
    StreamMaker maker(randomStart * 15485863u, true);
    const Bytes input = maker.song();
    ConversionWorkspace ws;
    // Every other song with buffers of exactly 16 times the input, so that
    // a channel's events outgrow its sixteenth.
    const std::int64_t floor = randomStart % 2 != 0 ? 0 : kMinBufferCapacity;
    ASSERT_EQ(loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws, floor),
              result::kSuccess);
    NullProgress progress;
    const TraceChannel silent;
    PassContext pass{ws, progress, silent, conversionOptions(ConverterSettings{}), CalendarDate{2003, 1, 5}};
    if (!translateTracks(pass)) {
      if (!std::equal(input.begin(), input.end(), ws.bufferA.get())) {
        ++failures;
        ADD_FAILURE() << "random start " << randomStart << ": the walk gave up and left the input changed";
      }
      continue;
    }
    ++taken;
    // Each channel stayed within its sixteenth of the buffer: past it lie the
    // next channel's events, or past the last, the buffer's end.
    for (int c = 0; c < 16; ++c) EXPECT_LE(ws.streamLength[c], ws.bufferCapacity / 16) << "random start " << randomStart;
    Outcome walked;
    walked.code = assembleMfi(pass);
    if (walked.code == result::kSuccess) walked.output.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
    const Outcome scanned = convert(input, true, false);
    if (walked.code != scanned.code || walked.output != scanned.output) {
      ++failures;
      ADD_FAILURE() << "random start " << randomStart << ", input " << test::hexOf(input) << "\n"
                    << describe(walked, scanned);
    }
  }
  EXPECT_GT(taken, static_cast<int>(kRandomCases * 2 / 5));
}

// Long notes whose ends come after much else: each one's chain moves what
// was written since, until the walk gives the channel up to the usual way.
TEST(NoteLookahead, OnePassSameAsScanForLongNotesEndingLate) {
  for (const int held : {3, 100}) {
    Bytes stream;
    for (int k = 0; k < held; ++k) stream.insert(stream.end(), {0x00, 0x90, static_cast<std::uint8_t>(20 + k), 0x40});
    for (int i = 0; i < 1000; ++i) stream.insert(stream.end(), {0x01, 0x90, 0x0A, 0x40, 0x01, 0x80, 0x0A, 0x00});
    for (int k = 0; k < held; ++k)
      stream.insert(stream.end(), {0x83, 0x00, 0x80, static_cast<std::uint8_t>(20 + k), 0x00});
    const Outcome walked = translateStreams({stream}, 48, false, false);
    const Outcome scanned = translateStreams({stream}, 48, true, false);
    ASSERT_EQ(walked.code, result::kSuccess);
    EXPECT_TRUE(walked.output == scanned.output) << held << " held\n" << describe(walked, scanned);
  }
}

TEST(NoteLookahead, SameAsScanOnRealFiles) {
  int compared = 0;
  for (const char* folder : {TONVELL_SONGS_DIR, TONVELL_CORPUS_DIR}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
      if (entry.path().extension() != ".mid") continue;
      const Bytes input = test::readFile(entry.path().string());
      const Outcome paired = convert(input, false);
      const Outcome scanned = convert(input, true);
      EXPECT_EQ(paired.code, scanned.code) << entry.path();
      EXPECT_TRUE(paired.output == scanned.output) << entry.path();
      EXPECT_TRUE(paired.trace == scanned.trace) << entry.path();
      ++compared;
    }
  }
  if (compared == 0) GTEST_SKIP() << "no songs (scripts/fetch-songs.sh) and no edge-case suite";
}

// The lengths each note-on gets, found one way and the other: channel 0's
// events (division 48, so ticks are gate values) as "note:gate" pairs.
std::vector<std::string> gates(const Bytes& stream, bool byScan) {
  const Outcome out = translateStreams({stream}, 48, byScan);
  std::vector<std::string> found;
  for (std::size_t i = 0; i + 3 < out.output.size(); i += 4) {
    if (out.output[i + 1] == 0xFF) continue;
    found.push_back(test::hexOf(&out.output[i + 1], 2));
  }
  return found;
}

TEST(NoteLookahead, ReadsSystemExclusiveWithoutId) {
  // The translation takes F7 as the manufacturer id and the note-off inside
  // as data; the look-ahead ends the event at that F7 and finds the note-off
  // 16 + 0 ticks after the note-on.
  const Bytes hidden = hex("00 90 3C 40  10 F0 F7 00 80 3C 00 F7  20 80 3C 00");
  EXPECT_EQ(gates(hidden, true), std::vector<std::string>{"0F 10"});
  EXPECT_EQ(gates(hidden, false), std::vector<std::string>{"0F 10"});

  // A three-byte id holding F7: the look-ahead then reads "05 90 3C 00" as a
  // note-on of velocity 0; the translation never sees it.
  const Bytes threeByte = hex("00 90 3C 40  10 F0 00 01 F7 05 90 3C 00 F7  30 80 3C 00");
  EXPECT_EQ(gates(threeByte, false), std::vector<std::string>{"0F 15"});
}

TEST(NoteLookahead, ReadsTempoByItsLength) {
  // A tempo of length 0: the translation reads the next three bytes as the
  // tempo, the look-ahead reads them as a note-off 5 ticks later.
  const Bytes shortTempo = hex("00 90 3C 40  10 FF 51 00 05 80 3C 00 B0 07 40  40 80 3C 00");
  EXPECT_EQ(gates(shortTempo, true), std::vector<std::string>{"0F 15"});
  EXPECT_EQ(gates(shortTempo, false), std::vector<std::string>{"0F 15"});

  // A tempo of length 6: the look-ahead skips all six bytes, the note-off
  // among them that the translation reads after the tempo's first three.
  const Bytes longTempo = hex("00 90 3C 40  10 FF 51 06 07 A1 20 08 80 3C  20 80 3C 00");
  EXPECT_EQ(gates(longTempo, true), std::vector<std::string>{"0F 30"});
  EXPECT_EQ(gates(longTempo, false), std::vector<std::string>{"0F 30"});
}

TEST(NoteLookahead, NotesBeforeAndAfterADepartureEachFindTheirOwnEnd) {
  // The first note's look-ahead crosses the sysex and reads it without the
  // id; the second note starts after it and reads the stream as the
  // translation does. Both ends are note-offs of key 60.
  const Bytes stream = hex("00 90 3C 40  04 F0 F7 02 80 3C 00 F7  08 90 3C 40  10 80 3C 00");
  const std::vector<std::string> expected{"0F 06", "0F 10"};
  EXPECT_EQ(gates(stream, true), expected);
  EXPECT_EQ(gates(stream, false), expected);
}

TEST(NoteLookahead, OverlappingNotesEndTogether) {
  const Bytes stream = hex("00 90 3C 40  10 90 3C 50  10 90 3C 00  10 80 3C 00");
  const std::vector<std::string> expected{"0F 20", "0F 10"};
  EXPECT_EQ(gates(stream, false), expected);
  EXPECT_EQ(gates(stream, true), expected);
}

TEST(NoteLookahead, NoteOnCutOffAtTheEndReadsTheClosingByte) {
  // The velocity of the last note-on lies beyond the stream: both readings
  // take the closing 00 there, so it is a silent note-on that writes nothing
  // and ends the first note.
  const Bytes stream = hex("00 90 3C 40  10 90 3C");
  EXPECT_EQ(gates(stream, true), std::vector<std::string>{"0F 10"});
  EXPECT_EQ(gates(stream, false), std::vector<std::string>{"0F 10"});
}

// One channel of note-ons that never end: the scan would read to the end of
// the stream for each of them.
TEST(NoteLookahead, UnendedNotesTakeLinearTime) {
  Bytes events;
  for (int i = 0; i < 100000; ++i) {
    events.insert(events.end(), {0x00, 0x90, static_cast<std::uint8_t>(45 + i % 60), 0x40});
  }
  const Bytes input = concat({smfHeader(1, 2, 480), track(hex("00 FF 2F 00")), track(events)});
  ASSERT_GT(input.size(), 400000u);
  const double start = test::threadCpuSeconds();
  Bytes output;
  ASSERT_EQ(test::convertBytes(input, &output), result::kSuccess);
  const double seconds = test::threadCpuSeconds() - start;
  // Every note gets gate 1; four tracks' worth of events plus the header.
  EXPECT_GT(output.size(), 400000u);
  // Processor time, which a busy machine does not stretch: a fraction of a
  // second even under the sanitizers, where scanning ahead from each note
  // (5 x 10^9 event reads) would take minutes.
  EXPECT_LT(seconds, 2.0) << "100000 unended notes took " << seconds << " s";
}

}  // namespace
}  // namespace tonvell

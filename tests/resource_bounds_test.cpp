// Hostile inputs of at most 1 MiB: whatever an input claims (deltas of days,
// notes that never end, lengths past the file), one conversion takes at most
// a second and 256 MiB, and ends with a result code, never by writing past a
// work buffer. Time is measured per conversion with a steady clock; memory as
// the high-water mark of everything allocated through operator new while the
// conversion runs (the two work buffers and whatever else the passes take).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <random>

#include "convert/run.h"
#include "mfi/inspect.h"
#include "mfi/translate.h"
#include "support/test_support.h"

// Every allocation of this test program goes through these, so the test can
// tell how much a conversion holds at its peak.
namespace {

std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

void* allocateCounted(std::size_t n) noexcept {
  void* raw = std::malloc(n + kBlockHeader);
  if (!raw) return nullptr;
  *static_cast<std::size_t*>(raw) = n;
  const std::int64_t live = liveBytes.fetch_add(static_cast<std::int64_t>(n)) + static_cast<std::int64_t>(n);
  std::int64_t peak = peakBytes.load();
  while (live > peak && !peakBytes.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(raw) + kBlockHeader;
}

void releaseCounted(void* p) noexcept {
  if (!p) return;
  void* raw = static_cast<char*>(p) - kBlockHeader;
  liveBytes.fetch_sub(static_cast<std::int64_t>(*static_cast<std::size_t*>(raw)));
  std::free(raw);
}

void* allocateOrThrow(std::size_t n) {
  if (void* p = allocateCounted(n)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return allocateOrThrow(n); }
void* operator new[](std::size_t n) { return allocateOrThrow(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocateCounted(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocateCounted(n); }
void operator delete(void* p) noexcept { releaseCounted(p); }
void operator delete[](void* p) noexcept { releaseCounted(p); }
void operator delete(void* p, std::size_t) noexcept { releaseCounted(p); }
void operator delete[](void* p, std::size_t) noexcept { releaseCounted(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { releaseCounted(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { releaseCounted(p); }

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::smfHeader;
using test::track;
using test::varLen;

using test::kSanitized;

constexpr std::size_t kMaxInput = std::size_t{1} << 20;
constexpr std::int64_t kMaxMemory = std::int64_t{256} << 20;
// One second of processor time; the sanitized debug build runs the same code
// several times slower.
constexpr double kMaxSeconds = kSanitized ? 10.0 : 1.0;

struct Measured {
  ConvertResult code = result::kSuccess;
  double seconds = 0;
  std::int64_t peakBytes = 0;   // above what was live before the conversion
  std::int64_t capacity = 0;    // of each work buffer
  Bytes mfi;                    // the file, on 108
};

// Loads and converts `input` as the batch run does, and measures it.
Measured convertMeasured(const Bytes& input, bool handset = false) {
  Measured m;
  const std::int64_t before = liveBytes.load();
  peakBytes.store(before);
  const double start = test::threadCpuSeconds();
  {
    ConversionWorkspace ws;
    NullProgress progress;
    TraceChannel trace;
    ConverterSettings settings;
    settings.handsetSwitch = handset ? 1 : 0;
    const DateSource today = [] { return CalendarDate{2003, 1, 5}; };
    m.code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws);
    m.capacity = ws.bufferCapacity;
    if (m.code == result::kSuccess) {
      PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
      m.code = convertLoaded(pass);
      EXPECT_LE(ws.writeLength, ws.bufferCapacity);
      if (m.code == result::kSuccess) m.mfi.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
    }
  }
  m.seconds = test::threadCpuSeconds() - start;
  m.peakBytes = peakBytes.load() - before;
  return m;
}

// Converts `input` within the bounds and returns the measurement.
Measured convertWithinBounds(const Bytes& input, bool handset = false) {
  EXPECT_LE(input.size(), kMaxInput);
  Measured m = convertMeasured(input, handset);
  EXPECT_LE(m.seconds, kMaxSeconds) << input.size() << "-byte input";
  EXPECT_LE(m.peakBytes, kMaxMemory);
  // The two work buffers are the bulk of it, and the count must see them.
  EXPECT_GE(m.peakBytes, 2 * m.capacity);
  if (m.code == result::kSuccess) {
    const InspectResult check = inspectMfi(m.mfi.data(), m.mfi.size());
    EXPECT_TRUE(check.ok) << check.describeError();
  }
  return m;
}

// The inspected events of all four tracks.
std::vector<MfiEventInfo> eventsOf(const Bytes& mfi) {
  const InspectResult r = inspectMfi(mfi.data(), mfi.size());
  std::vector<MfiEventInfo> all;
  for (const MfiTrackInfo& t : r.tracks) all.insert(all.end(), t.events.begin(), t.events.end());
  return all;
}

int countCode(const std::vector<MfiEventInfo>& events, int code) {
  int n = 0;
  for (const MfiEventInfo& e : events) n += e.extended && e.code == code;
  return n;
}

std::vector<MfiEventInfo> notesOf(const std::vector<MfiEventInfo>& events) {
  std::vector<MfiEventInfo> notes;
  for (const MfiEventInfo& e : events)
    if (!e.extended) notes.push_back(e);
  return notes;
}

// A format-1 file of an empty conductor track and one more track.
Bytes song(int division, const Bytes& events) {
  return concat({smfHeader(1, 2, division), track(hex("00 FF 2F 00")), track(events)});
}

// `events` repeated until the track holds about `bytes` bytes.
Bytes repeated(const Bytes& events, std::size_t bytes) {
  Bytes out;
  while (out.size() + events.size() <= bytes) out.insert(out.end(), events.begin(), events.end());
  return out;
}

const Bytes kMaxDelta = hex("FF FF FF 7F");  // 0x0FFFFFFF ticks

TEST(ResourceBounds, HugeDeltasAtDivisionOneAreRefusedWithoutBeingWritten) {
  // 0x0FFFFFFF ticks at one tick per quarter note would need about 50 million
  // NOP events (200 MB): refused with 106, in about the time it takes to see it.
  const Bytes noteAfterSilence = song(1, concat({kMaxDelta, hex("90 3C 40  01 80 3C 40  00 FF 2F 00")}));
  const Bytes endAfterSilence = song(1, concat({kMaxDelta, hex("FF 2F 00")}));
  const Bytes volumeAfterSilence = song(1, concat({kMaxDelta, hex("B0 07 64")}));
  const Bytes fullOfSilences = song(1, repeated(concat({kMaxDelta, hex("B0 07 64")}), kMaxInput - 100));
  for (const Bytes* input : {&noteAfterSilence, &endAfterSilence, &volumeAfterSilence, &fullOfSilences}) {
    const Measured m = convertWithinBounds(*input);
    EXPECT_EQ(m.code, result::kNoMemory) << input->size() << "-byte input";
  }
}

TEST(ResourceBounds, LongSilenceThatFitsTheBufferIsWrittenInFull) {
  // 50,000,000 ticks at 48 per quarter note: 196,078 NOPs of 255 ticks and a
  // note 110 ticks after the last of them, about 784 KB in a 1 MiB buffer.
  const Measured m = convertWithinBounds(song(48, concat({varLen(50000000), hex("90 3C 40  30 80 3C 40  00 FF 2F 00")})));
  ASSERT_EQ(m.code, result::kSuccess);
  const std::vector<MfiEventInfo> events = eventsOf(m.mfi);
  EXPECT_GE(countCode(events, mfi::kNop), 196078);
  const std::vector<MfiEventInfo> notes = notesOf(events);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].time, 50000000u);
  EXPECT_EQ(notes[0].bytes[0], 110);
  EXPECT_EQ(notes[0].gate, 48);

  // Five times as long no longer fits: refused, nothing written past the buffer.
  const Measured tooLong = convertWithinBounds(song(48, concat({varLen(250000000), hex("90 3C 40  30 80 3C 40")})));
  EXPECT_EQ(tooLong.code, result::kNoMemory);
}

TEST(ResourceBounds, NotesThatNeverEndStayWithinTheTimeLimit) {
  // Each note-on searches the rest of its channel for its end; none is there.
  constexpr int kNotes = 3000;
  Bytes events = hex("00 90 2D 40");
  for (int i = 1; i < kNotes; ++i) {
    // Running status; every other note one tick after the one before.
    const Bytes note{static_cast<std::uint8_t>(i % 2), static_cast<std::uint8_t>(45 + i % 63), 0x40};
    events.insert(events.end(), note.begin(), note.end());
  }
  const Measured m = convertWithinBounds(song(48, events));
  ASSERT_EQ(m.code, result::kSuccess);
  const std::vector<MfiEventInfo> notes = notesOf(eventsOf(m.mfi));
  ASSERT_EQ(notes.size(), static_cast<std::size_t>(kNotes));
  for (const MfiEventInfo& n : notes) ASSERT_EQ(n.gate, 1) << "a note that never ends sounds for one tick";
  EXPECT_EQ(notes.back().time, static_cast<std::uint64_t>(kNotes / 2));
}

TEST(ResourceBounds, EnormousGatesAreSplitWhileTheyFitAndRefusedBeyond) {
  // 100,000 ticks: 393 pieces of gate 255 and a last one, 254 ticks apart.
  const Measured fits = convertWithinBounds(song(48, concat({hex("00 90 3C 40"), varLen(100000), hex("80 3C 40")})));
  ASSERT_EQ(fits.code, result::kSuccess);
  const std::vector<MfiEventInfo> pieces = notesOf(eventsOf(fits.mfi));
  ASSERT_EQ(pieces.size(), 394u);
  EXPECT_EQ(pieces.front().gate, 255);
  EXPECT_EQ(pieces.back().time + pieces.back().gate, 100000u);

  // 0x0FFFFFFF ticks at division 1: 50 million pieces. And a note whose end
  // follows 100,000 deltas of 0x0FFFFFFF ticks, a gate of 2^44 ticks.
  const Bytes oneHugeGate = song(1, concat({hex("00 90 3C 40"), kMaxDelta, hex("80 3C 40  00 FF 2F 00")}));
  const Bytes summedGate =
      song(48, concat({hex("00 90 3C 40"), repeated(concat({kMaxDelta, hex("B0 0C 00")}), 700000), hex("00 80 3C 40")}));
  for (const Bytes* input : {&oneHugeGate, &summedGate}) {
    const Measured m = convertWithinBounds(*input);
    EXPECT_EQ(m.code, result::kNoMemory) << input->size() << "-byte input";
  }
}

TEST(ResourceBounds, ManyOverlappingLongNotesAreRefusedWhenTheyOutgrowTheBuffer) {
  // 3,000 notes a quarter apart, all ended at the very end: the gates add up
  // to 3,000 x 1,500 quarter notes of pieces, far beyond 16 L bytes.
  constexpr int kNotes = 3000;
  Bytes events = hex("00 90 2D 40");
  for (int i = 1; i < kNotes; ++i) {
    const Bytes note = concat({varLen(96), Bytes{static_cast<std::uint8_t>(45 + i % 63), 0x40}});
    events.insert(events.end(), note.begin(), note.end());
  }
  for (int key = 45; key < 45 + 63; ++key) {
    const Bytes off{0x00, static_cast<std::uint8_t>(key), 0x00};
    events.insert(events.end(), off.begin(), off.end());
  }
  const Measured m = convertWithinBounds(song(96, events));
  EXPECT_EQ(m.code, result::kNoMemory);
}

TEST(ResourceBounds, ThousandsOfEmptyOrForeignChunksArePassedOverQuickly) {
  // Sixteen tracks declared, 100,000 empty "MTrk" chunks: each track may pass
  // over only as many empty chunks as tracks remain, so the file is refused.
  Bytes empties;
  for (int i = 0; i < 100000; ++i) {
    const Bytes c = track({});
    empties.insert(empties.end(), c.begin(), c.end());
  }
  const Measured refused = convertWithinBounds(concat({smfHeader(1, 16, 96), empties}));
  EXPECT_EQ(refused.code, result::kNotMidi);

  // 100,000 chunks of another id before the one track: passed over by length.
  Bytes foreign;
  for (int i = 0; i < 100000; ++i) {
    const Bytes c = hex("58 46 49 48 00 00 00 02 AA BB");
    foreign.insert(foreign.end(), c.begin(), c.end());
  }
  const Measured found = convertWithinBounds(concat({smfHeader(1, 1, 96), foreign, track(hex("00 90 3C 40  60 80 3C 40  00 FF 2F 00"))}));
  ASSERT_EQ(found.code, result::kSuccess);
  EXPECT_EQ(notesOf(eventsOf(found.mfi)).size(), 1u);
}

TEST(ResourceBounds, SystemExclusiveWithoutEndRunsToTheEndOfItsTrack) {
  // The note before it searches the whole megabyte for its end and finds none.
  Bytes events = hex("00 90 3C 40  00 F0 43");
  const Bytes body(kMaxInput - 200, 0x10);
  events.insert(events.end(), body.begin(), body.end());
  const Bytes tail = hex("00 80 3C 40  00 FF 2F 00");  // inside the sysex: never read as events
  events.insert(events.end(), tail.begin(), tail.end());
  const Measured m = convertWithinBounds(song(96, events));
  ASSERT_EQ(m.code, result::kSuccess);
  const std::vector<MfiEventInfo> notes = notesOf(eventsOf(m.mfi));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].gate, 1);
}

TEST(ResourceBounds, MetaLengthsOf0x0FFFFFFFStopAtTheTrackEnd) {
  const Bytes text(300000, 'A');
  const Bytes notes = hex("00 90 3C 40  60 80 3C 40");
  // A text event swallows the rest of its track, notes included.
  const Measured swallowed = convertWithinBounds(song(96, concat({hex("00 90 40 40  00 FF 01"), kMaxDelta, text, notes})));
  ASSERT_EQ(swallowed.code, result::kSuccess);
  EXPECT_EQ(notesOf(eventsOf(swallowed.mfi)).size(), 1u);
  EXPECT_EQ(notesOf(eventsOf(swallowed.mfi))[0].gate, 1);

  // A sequence name or copyright notice that runs to the end of the track is
  // taken whole, and is then too long for the header: 141.
  for (const char* type : {"03", "02"}) {
    const Measured m = convertWithinBounds(song(96, concat({hex(std::string("00 FF ") + type), kMaxDelta, text})));
    EXPECT_EQ(m.code, result::kHeaderTooLong) << "meta type " << type;
  }

  // A tempo reads its three bytes whatever its length says; the notes after
  // them are converted.
  const Measured tempo = convertWithinBounds(song(96, concat({hex("00 FF 51"), kMaxDelta, hex("07 A1 20"), notes})));
  ASSERT_EQ(tempo.code, result::kSuccess);
  EXPECT_EQ(countCode(eventsOf(tempo.mfi), mfi::kTempo), 1);
  EXPECT_EQ(notesOf(eventsOf(tempo.mfi)).size(), 1u);
}

TEST(ResourceBounds, TrackLengthsPointingOutsideTheFileAreClamped) {
  const Bytes events = hex("00 90 3C 40  60 80 3C 40  00 FF 2F 00");
  auto withLength = [&](std::uint32_t length, const Bytes& after = {}) {
    Bytes chunk = concat({hex("4D 54 72 6B"),
                          Bytes{static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                                static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)},
                          events, after});
    return concat({smfHeader(1, 1, 96), chunk});
  };
  struct Case {
    const char* what;
    Bytes input;
    ConvertResult code;
    std::size_t notes;
  };
  const Case cases[] = {
      {"length past the end: clamped to the file", withLength(1000), result::kSuccess, 1},
      {"largest positive length", withLength(0x7FFFFFFF), result::kSuccess, 1},
      {"top bit set: a track with no events", withLength(0x80000000), result::kSuccess, 0},
      {"length -1", withLength(0xFFFFFFFF), result::kSuccess, 0},
      {"one byte past the end", withLength(static_cast<std::uint32_t>(events.size() + 1)), result::kSuccess, 1},
      {"a foreign chunk past the end hides the track",
       concat({smfHeader(1, 1, 96), hex("58 46 49 48 7F FF FF F0"), track(events)}), result::kNotMidi, 0},
      {"a foreign chunk stepping backwards",
       concat({smfHeader(1, 1, 96), hex("58 46 49 48 FF FF FF F0"), track(events)}), result::kNotMidi, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Measured m = convertWithinBounds(c.input);
    ASSERT_EQ(m.code, c.code);
    if (m.code == result::kSuccess) {
      EXPECT_EQ(notesOf(eventsOf(m.mfi)).size(), c.notes);
    }
  }
}

TEST(ResourceBounds, LargestInputsConvertWithinBounds) {
  // A dense megabyte: every channel, every note ended, running status.
  Bytes dense;
  for (int ch = 0; ch < 16; ++ch) {
    Bytes events = {0x00, static_cast<std::uint8_t>(0x90 | ch), 0x3C, 0x40};
    const Bytes body = repeated(hex("18 3C 00  00 40 50  18 40 00  00 3C 40"), kMaxInput / 16 - 64);
    events.insert(events.end(), body.begin(), body.end());
    const Bytes t = track(events);
    dense.insert(dense.end(), t.begin(), t.end());
  }
  const Measured m = convertWithinBounds(concat({smfHeader(1, 16, 96), dense}));
  ASSERT_EQ(m.code, result::kSuccess);
  // Track 0 is the conductor: of its notes only the one at tick 0 is kept.
  EXPECT_EQ(notesOf(eventsOf(m.mfi)).size(), 1 + 15 * (1 + 2 * ((kMaxInput / 16 - 64) / 12)));

  // A megabyte of random bytes as the one track after the conductor. Its
  // random deltas add up to far more silence than the buffer can hold.
  std::mt19937 random(20030105);
  Bytes noise(kMaxInput - 100);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(random());
  const Measured n = convertWithinBounds(song(96, noise));
  EXPECT_EQ(n.code, result::kNoMemory);
}

TEST(ResourceBounds, HandsetModeKeepsTheSameBounds) {
  // The mode reads the whole song into event lists and plans every event
  // before it writes: huge silences and gates must still be refused early.
  const Bytes noteAfterSilence = song(1, concat({kMaxDelta, hex("90 3C 40  01 80 3C 40  00 FF 2F 00")}));
  const Bytes oneHugeGate = song(1, concat({hex("00 90 3C 40"), kMaxDelta, hex("80 3C 40  00 FF 2F 00")}));
  const Bytes neverEnded = song(1, concat({hex("00 90 3C 40"), kMaxDelta, hex("FF 2F 00")}));
  const Bytes fullOfSilences = song(1, repeated(concat({kMaxDelta, hex("B0 07 64")}), kMaxInput - 100));
  for (const Bytes* input : {&noteAfterSilence, &oneHugeGate, &neverEnded, &fullOfSilences})
    EXPECT_EQ(convertWithinBounds(*input, true).code, result::kNoMemory) << input->size() << "-byte input";

  // A dense megabyte: every note of every track is written, the first
  // track's too.
  Bytes dense;
  for (int ch = 0; ch < 16; ++ch) {
    Bytes events = {0x00, static_cast<std::uint8_t>(0x90 | ch), 0x3C, 0x40};
    const Bytes body = repeated(hex("18 3C 00  00 40 50  18 40 00  00 3C 40"), kMaxInput / 16 - 64);
    events.insert(events.end(), body.begin(), body.end());
    const Bytes t = track(events);
    dense.insert(dense.end(), t.begin(), t.end());
  }
  const Measured m = convertWithinBounds(concat({smfHeader(1, 16, 96), dense}), true);
  ASSERT_EQ(m.code, result::kSuccess);
  EXPECT_EQ(notesOf(eventsOf(m.mfi)).size(), 16 * (1 + 2 * ((kMaxInput / 16 - 64) / 12)));

  std::mt19937 random(20030105);
  Bytes noise(kMaxInput - 100);
  for (std::uint8_t& b : noise) b = static_cast<std::uint8_t>(random());
  EXPECT_EQ(convertWithinBounds(song(96, noise), true).code, result::kNoMemory);
}

}  // namespace
}  // namespace tonvell

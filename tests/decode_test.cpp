// The decoder: MFi bytes read as players read them, written back as a
// Standard MIDI File, which the tests read with the ordinary SMF reader.
#include "mfi/decode.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/gbk.h"
#include "mfi/inspect.h"
#include "smf/events.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

// One line per MIDI event: "track tick what".
std::vector<std::string> listing(const Bytes& midi) {
  const SmfSong song = readSmfSong(midi);
  EXPECT_TRUE(song.ok) << song.error;
  EXPECT_EQ(song.format, 1);
  EXPECT_EQ(song.division, 48);
  std::vector<std::string> lines;
  for (std::size_t t = 0; t < song.tracks.size(); ++t) {
    for (const SmfEvent& e : song.tracks[t]) {
      char line[160];
      const std::string payload(midi.begin() + e.payloadOffset, midi.begin() + e.payloadOffset + e.payloadLength);
      if (e.status == 0xFF && e.metaType == 0x51) {
        std::snprintf(line, sizeof line, "%zu %lld tempo %d", t, static_cast<long long>(e.tick), tempoOf(e, midi));
      } else if (e.status == 0xFF && e.metaType == 0x2F) {
        std::snprintf(line, sizeof line, "%zu %lld end", t, static_cast<long long>(e.tick));
      } else if (e.status == 0xFF) {
        std::snprintf(line, sizeof line, "%zu %lld meta %02X %s", t, static_cast<long long>(e.tick), e.metaType,
                      payload.c_str());
      } else if (e.status == 0xF0) {
        std::snprintf(line, sizeof line, "%zu %lld sysex %s", t, static_cast<long long>(e.tick),
                      hexOf(Bytes(payload.begin(), payload.end())).c_str());
      } else {
        std::snprintf(line, sizeof line, "%zu %lld %02X %d %d", t, static_cast<long long>(e.tick), e.status, e.data1,
                      e.data2);
      }
      lines.push_back(line);
    }
  }
  return lines;
}

DecodedMfi decode(const Bytes& mfi) {
  const DecodedMfi d = decodeMfi(mfi);
  EXPECT_TRUE(d.ok) << d.error;
  return d;
}

std::vector<std::string> channelEvents(const DecodedMfi& d) {
  std::vector<std::string> out;
  for (const std::string& line : listing(d.midi))
    if (line[0] != '0') out.push_back(line);
  return out;
}

TEST(DecodeMfi, TheWorkedExample) {
  Bytes mfi;
  ASSERT_EQ(convertBytes(workedExample(), &mfi), result::kSuccess);
  ASSERT_EQ(mfi.size(), 186u);
  const DecodedMfi d = decode(mfi);
  // Tempo 120 at timebase 48; the cue end of the three empty tracks at 0 and
  // of the first at 48; channel 0's piano C5; channel 1's volume 100 heard on
  // part 1 as 36 of 63, and its note E5 at velocity 80 halved and doubled.
  const std::vector<std::string> expected = {
      "0 0 meta 03 Song",  "0 0 tempo 500000", "0 0 meta 06 cue end", "0 48 meta 06 cue end", "0 48 end",
      "1 0 C0 0 0",        "1 0 90 60 100",    "1 48 80 60 0",        "1 48 end",
      "2 0 B1 7 72",       "2 24 91 64 80",    "2 48 81 64 0",        "2 48 end"};
  EXPECT_EQ(listing(d.midi), expected);
  EXPECT_EQ(d.skippedEvents, 0);
  EXPECT_EQ(d.endTick, 48);
  EXPECT_DOUBLE_EQ(d.seconds, 0.5);
  EXPECT_EQ(d.cueStartTick, -1);
  EXPECT_EQ(d.cueEndTick, 48);
  EXPECT_EQ(d.channelMask, 0b11);
  EXPECT_EQ(d.title, "Song");
}

TEST(DecodeMfi, NotesTakeKeyOffsetOctaveShiftVelocityAndGate) {
  // Track 0 part 0: key 15 with each octave shift; track 2 part 1 is the
  // drum channel (key + 35); a velocity-0 and a gate-0 note are not heard.
  const DecodedMfi d = decode(mfiFile({"00 0F 10 C8  10 0F 10 C9  10 0F 10 CA  10 0F 10 CB  00 00 05 00  00 01 00 FC",
                                       "", "00 40 30 FC  00 3F 10 80  00 FF DF 00"}));
  const std::vector<std::string> expected = {
      "1 0 90 60 100", "1 16 80 60 0",  "1 16 90 72 100", "1 32 80 72 0", "1 32 90 36 100", "1 48 80 36 0",
      "1 48 90 48 100", "1 64 80 48 0", "1 64 end",       "2 0 99 35 126", "2 48 89 35 0",  "2 64 end"};
  EXPECT_EQ(channelEvents(d), expected);
  EXPECT_EQ(d.silentNotes, 2);
  EXPECT_EQ(d.skippedEvents, 1) << "key 63 is no note";
  EXPECT_EQ(d.skipped.at("note key 63"), 1);
}

TEST(DecodeMfi, ANoteStruckAgainEndsTheOneStillSounding) {
  // Gate 255 then the same key 254 ticks later (how long notes are chained),
  // and another key in between that keeps its own end.
  const DecodedMfi d = decode(mfiFile({"00 0C FF 80  10 0D 08 80  EE 0C 20 80"}));
  const std::vector<std::string> expected = {"1 0 90 57 64",    "1 16 90 58 64", "1 24 80 58 0", "1 254 80 57 0",
                                             "1 254 90 57 64",  "1 286 80 57 0", "1 286 end"};
  EXPECT_EQ(channelEvents(d), expected);
}

TEST(DecodeMfi, EventsTakeTheirPlacesAcrossTracksAndLongGaps) {
  // Track 0 reaches tick 70000 x 255 (past 2^24) through NOPs; track 1's
  // conductor events come after it in the file but before it in time (the
  // last one at 300 + 5880 x 255, its lower bytes above those of track 0's),
  // and of two notes the later one ends first.
  std::string longGap, gap;
  for (int i = 0; i < 70000; ++i) longGap += "FF FF DE 00 ";
  for (int i = 0; i < 5880; ++i) gap += "FF FF DE 00 ";
  const DecodedMfi d = decode(mfiFile({"00 FF B0 64 " + longGap + "00 FF B0 20  00 0C FF 80  01 0D 01 80",
                                       "01 FF B0 0A  FF FF DE 00  2C FF C3 78 " + gap + "00 FF B0 0B"}));
  const long long t = 70000LL * 255;
  auto at = [](long long tick, const char* what) { return std::to_string(tick) + " " + what; };
  const std::vector<std::string> expected = {
      "0 0 sysex 7F 7F 04 01 00 64 F7",         "0 1 sysex 7F 7F 04 01 00 0A F7",
      "0 300 tempo 500000",                      "0 " + at(300 + 5880 * 255, "sysex 7F 7F 04 01 00 0B F7"),
      "0 " + at(t, "sysex 7F 7F 04 01 00 20 F7"),
      "0 " + at(t + 255, "end"),                 "1 " + at(t, "90 57 64"),
      "1 " + at(t + 1, "90 58 64"),              "1 " + at(t + 2, "80 58 0"),
      "1 " + at(t + 255, "80 57 0"),             "1 " + at(t + 255, "end")};
  EXPECT_EQ(listing(d.midi), expected);
}

TEST(DecodeMfi, ProgramsControllersAndLevelChanges) {
  // Part 1 of track 0 (channel 1): bank 3 + program 5, E0 alone on part 0
  // (bank 2), volume 60, E6 +8 clamped at 63, E6 -32, pan 32, bend 63 and 32,
  // modulation 10.
  const DecodedMfi d = decode(mfiFile({"00 FF E1 43  00 FF E0 45  00 FF E0 07  00 FF E2 7C  01 FF E6 68  01 FF E6 40"
                                       "  01 FF E3 60  01 FF E4 7F  01 FF E4 60  01 FF EA 4A"}));
  const std::vector<std::string> expected = {"1 0 C0 7 0",     "1 6 end",       "2 0 C1 69 0",  "2 0 B1 7 120",
                                             "2 1 B1 7 126",   "2 2 B1 7 62",   "2 3 B1 10 64", "2 4 E1 0 126",
                                             "2 5 E1 0 64",    "2 6 B1 1 20",   "2 6 end"};
  EXPECT_EQ(channelEvents(d), expected);
  EXPECT_EQ(d.skippedEvents, 0);
}

TEST(DecodeMfi, TempoTimebasesAndPlayingTime) {
  // 120 at 48 = 60 at 96; 150 at 15 ticks per quarter (1.28 s per quarter);
  // 255 at 960. Each lasts 48 ticks (one quarter note at division 48).
  const DecodedMfi d = decode(mfiFile({"00 FF C3 78  30 FF C4 3C  30 FF C8 96  30 FF CE FF  30 FF DF 00"}));
  const std::vector<std::string> expected = {"0 0 tempo 500000", "0 48 tempo 500000", "0 96 tempo 1280000",
                                             "0 144 tempo 11765", "0 192 end"};
  EXPECT_EQ(listing(d.midi), expected);
  EXPECT_NEAR(d.seconds, 0.5 + 0.5 + 1.28 + 0.011765, 1e-9);
  // Timebases 7 and F and a zero tempo are invalid: skipped, time still counted.
  const DecodedMfi bad = decode(mfiFile({"00 FF C7 78  10 FF CF 78  10 FF C3 00  10 FF DF 00"}));
  EXPECT_EQ(bad.skippedEvents, 3);
  EXPECT_EQ(listing(bad.midi), (std::vector<std::string>{"0 48 end"}));
  EXPECT_DOUBLE_EQ(bad.seconds, 0.5) << "the default tempo of 120";
}

TEST(DecodeMfi, MasterVolumeCuesAndLoops) {
  const DecodedMfi d = decode(mfiFile({"00 FF B0 64  00 FF D0 00  10 FF DD 08  10 FF DD 09  00 FF B0 FF  10 FF D0 01"
                                       "  00 FF DF 00",
                                       "00 FF D0 00  30 FF D0 01  00 FF DF 00"}));
  const std::vector<std::string> expected = {
      "0 0 sysex 7F 7F 04 01 00 64 F7",   "0 0 meta 06 cue start",  "0 16 meta 06 loop 0 start, 2 times",
      "0 32 meta 06 loop 0 end, 2 times", "0 32 sysex 7F 7F 04 01 00 7F F7", "0 48 meta 06 cue end", "0 48 end"};
  EXPECT_EQ(listing(d.midi), expected) << "one marker for the cue points both tracks share";
  EXPECT_EQ(d.cueStartTick, 0);
  EXPECT_EQ(d.cueEndTick, 48);
}

TEST(DecodeMfi, DisputedAndUnknownEventsAreSkippedByTheirLengths) {
  // E5, E7, BA, an id below 0x80, D1, an information event with 3 bytes of
  // data, a bank of 5: each skipped, each delta still counted.
  const DecodedMfi d = decode(mfiFile({"01 FF E5 01  01 FF E7 02  01 FF BA 03  01 FF 10 00  01 FF D1 00"
                                       "  01 FF F1 00 03 AA BB CC  01 FF E1 05  01 0F 01 80"}));
  EXPECT_EQ(d.skippedEvents, 7);
  EXPECT_EQ(d.skipped.at("FF F1 information"), 1);
  EXPECT_EQ(d.skipped.at("FF E1 bank 5"), 1);
  EXPECT_EQ(channelEvents(d), (std::vector<std::string>{"1 8 90 60 64", "1 9 80 60 0", "1 9 end"}));
}

TEST(DecodeMfi, ReadingStopsAtTheEndOfTrack) {
  const DecodedMfi d = decode(mfiFile({"00 0F 10 80  10 FF DF 00  00 10 10 80"}));
  EXPECT_EQ(channelEvents(d), (std::vector<std::string>{"1 0 90 60 64", "1 16 80 60 0", "1 16 end"}));
}

TEST(DecodeMfi, ThreeByteNotesWithoutANoteChunk) {
  const DecodedMfi d = decode(mfiFile({"00 0F 10  10 4F 08  00 FF DF 00"}, false));
  EXPECT_EQ(channelEvents(d), (std::vector<std::string>{"1 0 90 60 126", "1 16 80 60 0", "1 24 end", "2 16 91 60 126",
                                                        "2 24 81 60 0", "2 24 end"}));
}

TEST(DecodeMfi, HeaderTextsBecomeUtf8MetaEvents) {
  const std::string title = utf8ToGbk("铃声").text;
  Bytes chunks = hex("74 69 74 6C 00 04");  // "titl"
  chunks.insert(chunks.end(), title.begin(), title.end());
  chunks = concat({chunks, hex("63 6F 70 79 00 02 28 63  7A 7A 7A 7A 00 01 00")});  // "copy" "(c)", unknown chunk
  const DecodedMfi d = decode(mfiFile({""}, true, chunks));
  EXPECT_EQ(d.title, "铃声");
  EXPECT_EQ(d.copyright, "(c");
  EXPECT_EQ(listing(d.midi), (std::vector<std::string>{"0 0 meta 03 铃声", "0 0 meta 02 (c", "0 0 end"}));
}

TEST(DecodeMfi, MalformedFilesGetAReason) {
  const struct {
    Bytes file;
    const char* error;
  } cases[] = {
      {hex(""), "not an MFi file: no \"melo\" at offset 0"},
      {hex("4D 54 68 64 00 00 00 06"), "not an MFi file: no \"melo\" at offset 0"},
      {hex("6D 65 6C 6F 00 00 00 03 00 03 01"), "the file ends inside its 13-byte header at offset 11"},
      {hex("6D 65 6C 6F 00 00 00 09 00 03 01 01 04"),
       "the length field promises 9 bytes after offset 8, only 5 are there at offset 4"},
      {hex("6D 65 6C 6F 00 00 00 05 00 03 01 01 05"), "the track count is 5, at most 4 at offset 12"},
      {hex("6D 65 6C 6F 00 00 00 05 00 09 01 01 01"), "the header length 9 does not fit the file at offset 8"},
      {hex("6D 65 6C 6F 00 00 00 09 00 07 01 01 01 74 69 74 6C"),
       "the header ends inside an information chunk's id and length at offset 13"},
      {hex("6D 65 6C 6F 00 00 00 0B 00 09 01 01 01 74 69 74 6C 00 09"),
       "the \"titl\" chunk's length 9 runs past the header's end at offset 17"},
      {hex("6D 65 6C 6F 00 00 00 0D 00 0B 01 01 01 6E 6F 74 65 00 02 00 02"),
       "the note format is 2, expected 0 (3-byte) or 1 (4-byte) at offset 19"},
      {mfiFile({"00 0F 10"}), "the events of track 0 end inside a note at offset 39"},
      {mfiFile({"00 FF E2"}), "the events of track 0 end inside an event at offset 39"},
      {mfiFile({"00 FF F0 00 09 01"}), "the information event of track 0 runs past the track's end at offset 39"},
  };
  for (const auto& c : cases) {
    const DecodedMfi d = decodeMfi(c.file);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, c.error);
    EXPECT_TRUE(d.midi.empty());
  }
  Bytes longTrack = mfiFile({"00 FF DF 00"});
  longTrack[38] = 0x40;  // the "trac" length
  EXPECT_EQ(decodeMfi(longTrack).error, "the \"trac\" chunk's length 64 runs past the end of the file at offset 35");
}

TEST(DecodeMfi, EveryCutOfAConvertedFileIsReadOrRefusedWithinItsBytes) {
  Bytes mfi;
  ASSERT_EQ(convertBytes(test::readFile(std::string(TONVELL_SOURCE_DIR) + "/examples/melody-and-drums.mid"), &mfi),
            result::kSuccess);
  for (std::size_t n = 0; n <= mfi.size(); ++n) {
    // A copy of exactly n bytes, so that the sanitizers see any read past it.
    const Bytes cut(mfi.begin(), mfi.begin() + static_cast<std::ptrdiff_t>(n));
    const DecodedMfi d = decodeMfi(cut);
    EXPECT_EQ(d.ok, n == mfi.size()) << "the length field tells a cut file " << n;
    // The same cut with its length field made to agree: now the header or
    // the events end early.
    Bytes patched = cut;
    if (n >= 8)
      for (int k = 0; k < 4; ++k) patched[4 + k] = static_cast<std::uint8_t>((n - 8) >> (24 - 8 * k));
    const DecodedMfi p = decodeMfi(patched);
    if (p.ok) {
      EXPECT_TRUE(readSmfSong(p.midi).ok) << n;
    } else {
      EXPECT_FALSE(p.error.empty()) << n;
      EXPECT_TRUE(p.midi.empty()) << n;
    }
  }
  EXPECT_TRUE(decodeMfi(mfi).ok);
}

// Every file the converter writes, read back: only events players agree on,
// one MIDI note per sounding MFi note, a channel track per channel with
// events, and the inspector's track times.
TEST(DecodeMfi, EveryConvertedSongAndCorpusFileReadsBackWhole) {
  std::vector<std::string> paths;
  for (const char* dir : {TONVELL_SONGS_DIR, TONVELL_CORPUS_DIR, TONVELL_SOURCE_DIR "/examples"}) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
      if (e.path().extension() == ".mid") paths.push_back(e.path().string());
  }
  ASSERT_GE(paths.size(), 3u);
  int decoded = 0;
  for (const std::string& path : paths) {
    Bytes mfi;
    if (convertBytes(readFile(path), &mfi) != result::kSuccess) continue;  // refused inputs: not ours here
    const InspectResult inspected = inspectMfi(mfi.data(), mfi.size());
    ASSERT_TRUE(inspected.ok) << path;
    const DecodedMfi d = decodeMfi(mfi);
    ASSERT_TRUE(d.ok) << path << ": " << d.error;
    ++decoded;
    EXPECT_EQ(d.skippedEvents, 0) << path;
    int mfiNotes = 0;
    std::uint64_t end = 0;
    for (const MfiTrackInfo& t : inspected.tracks)
      for (const MfiEventInfo& e : t.events) {
        mfiNotes += !e.extended;
        end = std::max(end, e.time + (e.extended ? 0 : static_cast<std::uint64_t>(e.gate)));
      }
    const SmfSong song = readSmfSong(d.midi);
    ASSERT_TRUE(song.ok) << path;
    int midiNotes = 0;
    for (const auto& track : song.tracks)
      for (const SmfEvent& e : track) midiNotes += e.kind() == 0x90 && e.data2 > 0;
    EXPECT_EQ(midiNotes + d.silentNotes, mfiNotes) << path;
    EXPECT_EQ(song.tracks.size(), 1u + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(d.channelMask))))
        << path;
    EXPECT_EQ(static_cast<std::uint64_t>(d.endTick), end) << path;
  }
  EXPECT_GE(decoded, 3);
}

}  // namespace
}  // namespace tonvell::test

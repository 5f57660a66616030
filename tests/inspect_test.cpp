// The MFi inspector: it must accept everything the converter writes and
// reject each kind of structural fault with a message that says what and where.
#include "mfi/inspect.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/gbk.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

Bytes workedMfi() {
  Bytes out;
  EXPECT_EQ(convertBytes(workedExample(), &out), result::kSuccess);
  EXPECT_EQ(out.size(), 186u);
  return out;
}

InspectResult inspect(const Bytes& b) { return inspectMfi(b.data(), b.size()); }

void setU32(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}

std::string errorOf(const Bytes& b) {
  const InspectResult r = inspect(b);
  EXPECT_FALSE(r.ok);
  return r.describeError();
}

TEST(Inspect, ListsTheWorkedExample) {
  const InspectResult r = inspect(workedMfi());
  ASSERT_TRUE(r.ok) << r.describeError();
  EXPECT_EQ(r.fileLength, 178u);
  EXPECT_EQ(r.headerLength, 80);
  ASSERT_EQ(r.chunks.size(), 7u);
  EXPECT_EQ(r.chunks[3].id, "titl");
  EXPECT_EQ(r.chunks[3].data, "Song");
  EXPECT_EQ(r.chunks[6].data, "20030105");
  ASSERT_EQ(r.tracks.size(), 4u);
  ASSERT_EQ(r.tracks[0].events.size(), 10u);
  // Channel 1's note: channel in track 1, note 19, at 24 ticks (sum of deltas).
  const MfiEventInfo& note = r.tracks[0].events[5];
  EXPECT_FALSE(note.extended);
  EXPECT_EQ(note.offset, 118u);
  EXPECT_EQ(note.time, 24u);
  EXPECT_EQ(note.channel, 1);
  EXPECT_EQ(note.value, 19);
  EXPECT_EQ(note.gate, 24);
  EXPECT_EQ(note.velocity, 40);
  // Volume on channel 1: the channel bits are taken out of the value.
  const MfiEventInfo& volume = r.tracks[0].events[4];
  EXPECT_EQ(volume.code, 0xE2);
  EXPECT_EQ(volume.channel, 1);
  EXPECT_EQ(volume.value, 0x24);
  EXPECT_EQ(r.tracks[0].events[9].time, 48u);

  const std::string listing = formatInspect(r);
  EXPECT_NE(listing.find("  titl  \"Song\" (4 bytes)\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("  date  20030105\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("       118        24   1  18 53 18 A0  Note 19 (E5) gate 24 velocity 40\n"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("trac 3: offset 170, 8 bytes, 2 events\n"), std::string::npos) << listing;
}

TEST(Inspect, ShowsGbkHeaderTextsAsUtf8) {
  ConverterSettings settings;
  settings.titleSwitch = 1;
  settings.titleText = "铃声";
  Bytes out;
  ASSERT_EQ(convertBytes(workedExample(), &out, settings), result::kSuccess);
  const InspectResult r = inspect(out);
  ASSERT_TRUE(r.ok) << r.describeError();
  EXPECT_EQ(r.chunks[3].data, "\xC1\xE5\xC9\xF9/Song") << "铃声/Song in GBK";
  EXPECT_NE(formatInspect(r).find("titl  \"铃声/Song\" (9 bytes)"), std::string::npos);
}

TEST(Inspect, RejectsTruncatedFiles) {
  Bytes b = workedMfi();
  b.resize(182);
  EXPECT_EQ(errorOf(b),
            "the file is truncated: its length field promises 178 bytes after offset 8, only 174 are there "
            "at offset 182");
  // With the length field made to agree, the cut shows in the last track.
  setU32(b, 4, 174);
  EXPECT_EQ(errorOf(b), "the file ends inside track 3's events (8 bytes needed, 4 left) at offset 178");
  // Every shorter prefix is refused, none read past its end.
  const Bytes whole = workedMfi();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_FALSE(inspect(prefix).ok) << n;
  }
}

TEST(Inspect, RejectsAWrongLengthField) {
  Bytes b = workedMfi();
  setU32(b, 4, 177);
  EXPECT_EQ(errorOf(b), "the file length field says 177, but 178 bytes follow offset 8 at offset 4");
  b = workedMfi();
  b[9] = 81;  // header length
  EXPECT_EQ(errorOf(b),
            "the header length field says 81, but the header chunks end at offset 90 (80 bytes from offset 10) "
            "at offset 8");
  b = workedMfi();
  setU32(b, 94, 0x24);  // first track's length, one event short
  EXPECT_EQ(errorOf(b), "track 0 does not end with Data_End at offset 134");
  b = workedMfi();
  setU32(b, 94, 0x27);
  EXPECT_EQ(errorOf(b), "track 0's length 39 is not a multiple of 4 at offset 94");
  b = workedMfi();
  setU32(b, 94, 0x2C);  // runs into the next track's id
  EXPECT_EQ(errorOf(b), "Data_End before the end of track 0 at offset 134");
}

TEST(Inspect, RejectsUnknownEventCodes) {
  Bytes b = workedMfi();
  b[100] = 0x77;  // the Tempo event's code
  EXPECT_EQ(errorOf(b), "unknown event code 0x77 in track 0 at offset 100");
  b = workedMfi();
  b[164] = 0xD1;  // track 2's Cue_End
  EXPECT_EQ(errorOf(b), "unknown event code 0xD1 in track 2 at offset 164");
}

TEST(Inspect, RejectsBadTrackEnds) {
  Bytes b = workedMfi();
  b[148] = 0xDF;  // track 1's Cue_End becomes a Data_End
  EXPECT_EQ(errorOf(b), "Data_End before the end of track 1 at offset 146");
  b = workedMfi();
  b[132] = 0xDE;  // track 0's Cue_End becomes a NOP
  EXPECT_EQ(errorOf(b), "track 0's Data_End does not follow a Cue_End at offset 134");
  b = workedMfi();
  b[184] = 0xDE;  // the last Data_End becomes a NOP
  EXPECT_EQ(errorOf(b), "track 3 does not end with Data_End at offset 186");
  b = workedMfi();
  for (const std::size_t at : {132, 148, 164, 180}) b[at] = 0xDE;  // no Cue_End anywhere: a song that does not loop
  EXPECT_TRUE(inspect(b).ok);
  b[180] = 0xD0;  // but one track with a Cue_End: every track needs one
  EXPECT_EQ(errorOf(b), "track 0's Data_End does not follow a Cue_End at offset 134");
  b = workedMfi();
  b.push_back(0);
  setU32(b, 4, 179);
  EXPECT_EQ(errorOf(b), "1 byte follows the fourth track at offset 186");
}

TEST(Inspect, ReadsTheOctaveShiftBitsOfANote) {
  // The velocity byte's low bits shift the note by octaves: 1 +12, 2 -24, 3 -12.
  Bytes b = workedMfi();
  const int shifts[4] = {0, 12, -24, -12};
  for (int bits = 0; bits < 4; ++bits) {
    b[113] = static_cast<std::uint8_t>(0xC8 | bits);
    const InspectResult r = inspect(b);
    ASSERT_TRUE(r.ok) << r.describeError();
    const MfiEventInfo& note = r.tracks[0].events[3];
    ASSERT_EQ(note.offset, 110u);
    EXPECT_EQ(note.velocity, 50);
    EXPECT_EQ(note.octaveShift, shifts[bits]);
    EXPECT_EQ(formatInspect(r).find("velocity 50 octave") != std::string::npos, bits != 0);
  }
}

TEST(Inspect, RejectsBadHeaders) {
  Bytes b = workedMfi();
  b[0] = 'M';
  EXPECT_EQ(errorOf(b), "not an MFi file: the magic is \"Melo\", expected \"melo\" at offset 0");
  b = workedMfi();
  b[12] = 3;
  EXPECT_EQ(errorOf(b), "the track count is 3, expected 4 at offset 12");
  b = workedMfi();
  b[13] = 's';
  b[14] = 'r';  // "srrc"
  EXPECT_EQ(errorOf(b), "expected the \"sorc\" chunk, found \"srrc\" at offset 13");
  b = workedMfi();
  b[19] = 2;
  EXPECT_EQ(errorOf(b), "the copy-prohibit byte is 0x02, expected 0 or 1 at offset 19");
  b = workedMfi();
  b[28] = '1';  // "0210"
  EXPECT_EQ(errorOf(b), "the version is \"0210\", expected \"0200\" at offset 26");
  b = workedMfi();
  b[89] = 'x';
  EXPECT_EQ(errorOf(b), "the date holds 0x78, expected eight digits at offset 89");
  b = workedMfi();
  b[90] = 'T';
  EXPECT_EQ(errorOf(b), "expected the \"trac\" chunk of track 0, found \"Trac\" at offset 90");
}

TEST(Inspect, SurvivesEveryByteChanged) {
  const Bytes whole = workedMfi();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    for (const int v : {0x00, 0x7F, 0xFF}) {
      Bytes b = whole;
      b[i] = static_cast<std::uint8_t>(v);
      const InspectResult r = inspect(b);
      if (!r.ok) {
        EXPECT_LE(r.errorOffset, b.size());
      }
    }
  }
  EXPECT_FALSE(inspectMfi(nullptr, 0).ok);
}

// Everything the converter writes passes, for the real songs and for every
// file of the edge-case suite that converts.
void expectAllConvertedPass(const std::string& folder, int* converted) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    if (entry.path().extension() != ".mid") continue;
    Bytes out;
    const Bytes in = readFile(entry.path().string());
    if (convertBytes(in, &out) != result::kSuccess) continue;
    ++*converted;
    const InspectResult r = inspect(out);
    EXPECT_TRUE(r.ok) << entry.path() << ": " << r.describeError();
    if (r.ok) {
      std::size_t bytes = 86 + r.chunks[3].data.size() + r.chunks[4].data.size();
      for (const MfiTrackInfo& t : r.tracks) bytes += 8 + t.events.size() * 4;
      EXPECT_EQ(bytes, out.size()) << entry.path();
    }
  }
}

TEST(Inspect, AcceptsEveryConvertedSong) {
  int converted = 0;
  expectAllConvertedPass(TONVELL_SONGS_DIR, &converted);
  if (converted == 0) GTEST_SKIP() << "no songs in " << TONVELL_SONGS_DIR << " (scripts/fetch-songs.sh)";
}

TEST(Inspect, AcceptsEveryConvertedCorpusFile) {
  int converted = 0;
  expectAllConvertedPass(TONVELL_CORPUS_DIR, &converted);
  if (converted == 0) GTEST_SKIP() << "no corpus in " << TONVELL_CORPUS_DIR;
}

TEST(Inspect, AcceptsTheBundledExamples) {
  int converted = 0;
  expectAllConvertedPass(std::string(TONVELL_SOURCE_DIR) + "/examples", &converted);
  EXPECT_EQ(converted, 2);
}

}  // namespace
}  // namespace tonvell::test

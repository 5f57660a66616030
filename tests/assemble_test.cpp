#include "mfi/assemble.h"

#include <gtest/gtest.h>

#include <random>

#include "mfi/inspect.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::hexOf;

// The header with all text switches off, copyProhibit 0, 5 January 2003.
const char* kPlainHeader =
    "6D 65 6C 6F 00 00 00 00 00 4C 01 01 04 "
    "73 6F 72 63 00 01 00 "
    "76 65 72 73 00 04 30 32 30 30 "
    "6E 6F 74 65 00 02 00 01 "
    "74 69 74 6C 00 00 "
    "63 6F 70 79 00 00 "
    "70 72 6F 74 00 10 28 43 29 4F 52 56 41 4E 54 49 53 2C 49 4E 43 2E "
    "64 61 74 65 00 08 32 30 30 33 30 31 30 35";

// Assembles channel event runs given directly, as the translation leaves them.
struct Assembly {
  ConversionWorkspace ws;
  NullProgress progress;
  TraceChannel trace;
  ConverterSettings settings;
  DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  ConvertResult code = result::kSuccess;

  Assembly() {
    settings.smfSeqNameSwitch = 0;
    settings.smfCopyrightSwitch = 0;
  }
  ConvertResult run(const std::vector<std::pair<int, Bytes>>& channels, int division = 480) {
    EXPECT_TRUE(ws.allocateBuffers(64));
    ws.division = division;
    int at = 0;
    int next = 0;
    for (int ch = 0; ch < 16; ++ch) {
      ws.streamPos[ch] = at;
      ws.streamLength[ch] = 0;
      if (next < static_cast<int>(channels.size()) && channels[static_cast<size_t>(next)].first == ch) {
        const Bytes& events = channels[static_cast<size_t>(next)].second;
        std::copy(events.begin(), events.end(), ws.bufferB.get() + at);
        ws.streamLength[ch] = static_cast<int>(events.size());
        at += static_cast<int>(events.size());
        ++next;
      }
    }
    ws.mfiEventBytes = at;
    PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
    code = assembleMfi(pass);
    return code;
  }
  std::string file() const { return hexOf(ws.bufferB.get(), static_cast<size_t>(ws.writeLength)); }
  std::string from(int offset) const {
    return hexOf(ws.bufferB.get() + offset, static_cast<size_t>(ws.writeLength - offset));
  }
};

const char* kEmptyTrack = "74 72 61 63 00 00 00 08 00 FF D0 01 00 FF DF 00";

TEST(WriteMfiHeader, AllSwitchesOff) {
  Assembly a;
  a.settings.copyrightSwitch = 0;
  ASSERT_EQ(a.run({}), result::kSuccess);
  EXPECT_EQ(a.file().substr(0, std::string(kPlainHeader).size()).substr(24),
            std::string(kPlainHeader).substr(24));
  EXPECT_EQ(a.ws.writeLength, 150) << "86 header bytes and four 16-byte tracks";
  EXPECT_EQ(a.file().substr(12, 11), "00 00 00 8E") << "file length 142";
  EXPECT_EQ(a.from(86), std::string(kEmptyTrack) + " " + kEmptyTrack + " " + kEmptyTrack + " " + kEmptyTrack);
}

TEST(WriteMfiHeader, TitleAndCopyrightCombinations) {
  struct Case {
    int titleSwitch;
    const char* title;
    int seqSwitch;
    const char* seq;
    const char* expected;
  } titles[] = {{1, "ABC", 1, "Song", "ABC/Song"}, {1, "", 1, "Song", "Song"},   {1, "ABC", 1, "", "ABC"},
                {0, "ABC", 1, "Song", "Song"},     {2, "ABC", 2, "Song", ""},    {1, "ABC", 0, "Song", "ABC"}};
  for (const Case& c : titles) {
    Assembly a;
    a.settings.titleSwitch = c.titleSwitch;
    a.settings.titleText = c.title;
    a.settings.smfSeqNameSwitch = c.seqSwitch;
    a.ws.smfSequenceName = c.seq;
    ASSERT_EQ(a.run({}), result::kSuccess);
    const std::string expected = c.expected;
    const std::uint8_t* titl = a.ws.bufferB.get() + 38;
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(titl), 4), "titl");
    EXPECT_EQ(titl[4] << 8 | titl[5], static_cast<int>(expected.size())) << c.expected;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(titl + 6), expected.size()), expected);
    EXPECT_EQ(a.ws.bufferB[8] << 8 | a.ws.bufferB[9], 76 + static_cast<int>(expected.size()));
  }

  Assembly copy;
  copy.settings.copyrightSwitch = 1;  // default text "(c)2003"
  copy.settings.smfCopyrightSwitch = 1;
  copy.ws.smfCopyright = "X";
  copy.settings.copyProhibit = 1;
  ASSERT_EQ(copy.run({}), result::kSuccess);
  const std::string file = test::toString(Bytes(copy.ws.bufferB.get(), copy.ws.bufferB.get() + copy.ws.writeLength));
  EXPECT_NE(file.find(std::string("copy\0\x09(c)2003/X", 15)), std::string::npos);
  EXPECT_EQ(copy.ws.bufferB[19], 1) << "sorc byte";
}

TEST(WriteMfiHeader, TypedTextsBecomeGbk) {
  Assembly a;
  a.settings.titleSwitch = 1;
  a.settings.titleText = "铃声铃声铃声铃声铃声";  // ten double-byte characters
  ASSERT_EQ(a.run({}), result::kSuccess);
  EXPECT_EQ(a.ws.bufferB[8] << 8 | a.ws.bufferB[9], 96);
  EXPECT_EQ(hexOf(a.ws.bufferB.get() + 44, 2), "C1 E5") << "GBK for 铃";

  // A character GBK lacks becomes "?", and the conversion says so.
  NullProgress log;
  ConversionWorkspace ws;
  ASSERT_TRUE(ws.allocateBuffers(16));
  ws.writeBase = ws.bufferB.get();
  ConverterSettings settings;
  settings.titleSwitch = 1;
  settings.titleText = "A\xF0\x9F\x8E\xB5" "B";
  settings.copyrightSwitch = 1;
  settings.copyrightText = "\xF0\x9F\x8E\xB5";
  TraceChannel trace;
  DateSource today = [] { return CalendarDate{2003, 1, 5}; };
  PassContext pass{ws, log, trace, conversionOptions(settings), today()};
  ASSERT_EQ(writeMfiHeader(pass), result::kSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(ws.bufferB.get() + 44), 3), "A?B");
  EXPECT_TRUE(ws.headerTextSubstituted);
}

// A profile can put a NUL into a typed text; the text ends there, so each
// length field counts exactly the bytes written.
TEST(WriteMfiHeader, TypedTextsEndAtTheirFirstNul) {
  Assembly a;
  a.settings.titleSwitch = 1;
  a.settings.titleText = std::string("AB\0CD", 5);
  a.settings.smfSeqNameSwitch = 1;
  a.ws.smfSequenceName = "Song";
  a.settings.copyrightSwitch = 1;
  a.settings.copyrightText = std::string("\0(c)", 4);
  a.settings.smfCopyrightSwitch = 1;
  a.ws.smfCopyright = "X";
  ASSERT_EQ(a.run({}), result::kSuccess);
  const InspectResult r = inspectMfi(a.ws.bufferB.get(), static_cast<std::size_t>(a.ws.writeLength));
  ASSERT_TRUE(r.ok) << r.describeError();
  ASSERT_EQ(r.chunks.size(), 7u);
  EXPECT_EQ(r.chunks[3].data, "AB/Song");
  EXPECT_EQ(r.chunks[4].data, "X");
  EXPECT_EQ(r.headerLength, 76 + 7 + 1);
  EXPECT_EQ(r.fileLength + 8u, static_cast<unsigned>(a.ws.writeLength));
}

TEST(WriteMfiHeader, TextsTooLongForTheLengthFieldsAreRefused) {
  Assembly a;
  a.settings.titleSwitch = 1;
  a.settings.titleText = std::string(40000, 'a');
  a.settings.copyrightSwitch = 1;
  a.settings.copyrightText = std::string(30000, 'b');
  EXPECT_EQ(a.run({}), result::kHeaderTooLong);
  Assembly b;
  b.settings.titleSwitch = 1;
  b.settings.titleText = std::string(65535 - 75, 'a');
  b.settings.copyrightSwitch = 0;
  EXPECT_EQ(b.run({}), result::kHeaderTooLong) << "one byte past the 16-bit header length";
  Assembly c;
  c.settings.titleSwitch = 1;
  c.settings.titleText = std::string(65535 - 76, 'a');
  EXPECT_EQ(c.run({}), result::kSuccess) << "exactly 65535 fits";
}

TEST(AssembleMfi, WorkedExampleOne) {
  Assembly a;
  a.settings.smfSeqNameSwitch = 1;
  a.ws.smfSequenceName = "Song";
  ASSERT_EQ(a.run({{0, hex("00 FF C3 78 00 FF E1 02 00 FF E0 00 00 0F 30 C8 30 FF DF 00")},
                   {1, hex("00 FF E2 64 18 13 18 A0 18 FF DF 00")}}),
            result::kSuccess);
  ASSERT_EQ(a.ws.writeLength, 186);
  const std::string header =
      "6D 65 6C 6F 00 00 00 B2 00 50 01 01 04 73 6F 72 63 00 01 00 76 65 72 73 00 04 30 32 30 30 "
      "6E 6F 74 65 00 02 00 01 74 69 74 6C 00 04 53 6F 6E 67 63 6F 70 79 00 00 "
      "70 72 6F 74 00 10 28 43 29 4F 52 56 41 4E 54 49 53 2C 49 4E 43 2E 64 61 74 65 00 08 32 30 30 33 30 31 30 35";
  const std::string first =
      "74 72 61 63 00 00 00 28 00 FF C3 78 00 FF E1 02 00 FF E0 00 00 0F 30 C8 00 FF E2 64 18 53 18 A0 "
      "18 FF DE 00 00 FF DE 00 00 FF D0 01 00 FF DF 00";
  EXPECT_EQ(a.file(), header + " " + first + " " + kEmptyTrack + " " + kEmptyTrack + " " + kEmptyTrack);
}

TEST(AssembleMfi, WorkedExampleTwoChannelStartingLate) {
  Assembly a;
  ASSERT_EQ(a.run({{0, hex("00 FF E0 05 00 22 30 FC 30 24 30 FC 30 FF DF 00")},
                   {1, hex("18 FF E2 3F 00 2B 18 C0 18 2D 18 C0 30 FF DF 00")}}),
            result::kSuccess);
  EXPECT_EQ(a.from(86).substr(0, 3 * 48 - 1),
            "74 72 61 63 00 00 00 28 00 FF E0 05 00 22 30 FC 18 FF E2 7F 00 6B 18 C0 18 24 30 FC 00 6D 18 C0 "
            "30 FF DE 00 00 FF DE 00 00 FF D0 01 00 FF DF 00");
}

TEST(AssembleMfi, CueEndDeltaFollowsTheDivision) {
  struct Case {
    int division;
    int withEvents;
    int empty;
  } cases[] = {{48, 2, 1}, {96, 1, 0}, {24, 4, 2}, {480, 0, 0}};
  for (const Case& c : cases) {
    Assembly a;
    ASSERT_EQ(a.run({{0, hex("00 0F 30 C8")}}, c.division), result::kSuccess);
    // Track 0: trac, length, the note, Cue_End, Data_End.
    EXPECT_EQ(a.ws.bufferB[86 + 12], c.withEvents) << c.division;
    EXPECT_EQ(a.ws.bufferB[86 + 20 + 8], c.empty) << c.division;
  }
}

TEST(AssembleMfi, ChannelBitsAndUnchangedCodes) {
  Assembly a;
  // Channel 6: second track, position 2.
  ASSERT_EQ(a.run({{6, hex("00 FF E0 3F 00 FF E3 7F 00 FF E4 7F 00 FF E6 7F 00 FF EA 7F 00 FF C3 78 00 05 10 80")}}),
            result::kSuccess);
  EXPECT_EQ(a.from(86 + 16).substr(0, 24 + 7 * 12 - 1),
            "74 72 61 63 00 00 00 24 00 FF E0 BF 00 FF E3 BF 00 FF E4 7F 00 FF E6 7F 00 FF EA 7F 00 FF C3 78 00 85 10 80");
}

TEST(AssembleMfi, SameTimeRunsStayWithTheirChannel) {
  Assembly a;
  // Channel 0 ends with several events at delta 0; channel 1 starts at 0 too.
  ASSERT_EQ(a.run({{0, hex("00 05 10 80 00 06 10 80 00 07 10 80")}, {1, hex("00 08 10 80 01 09 10 80")}}),
            result::kSuccess);
  EXPECT_EQ(a.from(86).substr(24, 6 * 12 - 1),
            "00 05 10 80 00 06 10 80 00 07 10 80 00 48 10 80 01 49 10 80 00 FF D0 01");
}

// Over many generated channel runs: the length fields are right, every event
// is 4 bytes, and each track's events add up in time to the merged times.
TEST(AssembleMfi, GeneratedRunsKeepTheirTimes) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::pair<int, Bytes>> channels;
    std::vector<std::vector<std::pair<int, int>>> times(16);  // (time, note byte)
    for (int ch = 0; ch < 16; ++ch) {
      if (rng() % 3 == 0) continue;
      Bytes events;
      int t = 0;
      const int n = 1 + static_cast<int>(rng() % 12);
      for (int i = 0; i < n; ++i) {
        const int delta = rng() % 4 == 0 ? 0 : static_cast<int>(rng() % 256);
        t += delta;
        const int note = static_cast<int>(rng() % 63);
        events.insert(events.end(), {static_cast<std::uint8_t>(delta), static_cast<std::uint8_t>(note), 0x10, 0x80});
        times[static_cast<size_t>(ch)].push_back({t, note});
      }
      channels.push_back({ch, events});
    }
    Assembly a;
    ASSERT_EQ(a.run(channels, 96), result::kSuccess);
    const std::uint8_t* f = a.ws.bufferB.get();
    const int size = a.ws.writeLength;
    EXPECT_EQ((f[4] << 24 | f[5] << 16 | f[6] << 8 | f[7]), size - 8);
    int at = 10 + (f[8] << 8 | f[9]);
    for (int track = 0; track < 4; ++track) {
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(f + at), 4), "trac");
      const int length = f[at + 4] << 24 | f[at + 5] << 16 | f[at + 6] << 8 | f[at + 7];
      ASSERT_EQ(length % 4, 0);
      std::vector<std::vector<std::pair<int, int>>> seen(4);
      int now = 0;
      for (int e = at + 8; e < at + 8 + length - 8; e += 4) {
        now += f[e];
        if (f[e + 1] != 0xFF) seen[static_cast<size_t>(f[e + 1] >> 6)].push_back({now, f[e + 1] & 0x3F});
      }
      for (int k = 0; k < 4; ++k) EXPECT_EQ(seen[static_cast<size_t>(k)], times[static_cast<size_t>(track * 4 + k)]);
      at += 8 + length;
    }
    EXPECT_EQ(at, size);
  }
}

}  // namespace
}  // namespace tonvell

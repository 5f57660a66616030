#include "mfi/translate.h"

#include <gtest/gtest.h>

#include "core/gbk.h"
#include "smf/split.h"
#include "support/test_support.h"

namespace tonvell {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::smfHeader;
using test::track;

// Splits and translates `input`; gives each channel's MFi events as hex.
struct Translation {
  ConversionWorkspace ws;
  NullProgress progress;
  TraceChannel trace;
  test::TraceRecorder recorder;
  ConverterSettings settings;
  DateSource today = [] { return CalendarDate{}; };
  ConvertResult code;

  explicit Translation(const Bytes& input) {
    recorder.attach(trace);
    code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()), ws);
    if (code != result::kSuccess) return;
    PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
    code = test::analyseSmf(pass);
  }
  std::string channel(int c) const {
    return test::hexOf(ws.bufferB.get() + ws.streamPos[c], static_cast<size_t>(ws.streamLength[c]));
  }
  // The trace from the translation's opening heading on.
  std::string translationTrace() const {
    const std::string heading = "\xA1\xF6\xB7\xD6\xCE\xF6\xC9\xF9\xB5\xC0\xBA\xF3\xBD\xAB\xBD\xF8\xD0\xD0\xBA\xF3\xBD\xAB\xBD\xF8\xD0\xD0";  // ■分析声道后将进行后将进行
    const size_t at = recorder.bytes.find(heading);
    return at == std::string::npos ? std::string() : recorder.bytes.substr(at);
  }
};

// A conductor track that yields no MFi event, then one track of `events`
// closed by an end of track (which goes to channel 0 as Data_End).
Bytes song(int division, const Bytes& events) {
  return concat({smfHeader(1, 2, division), track(hex("00 FF 01 00")), track(concat({events, hex("00 FF 2F 00")}))});
}


std::string sep() {
  std::string s;
  for (int i = 0; i < 26; ++i) s += "\x81\x7C";
  return s + "\n";
}

TEST(TranslateChannels, WorkedExampleEvents) {
  Translation t(test::workedExample());
  ASSERT_EQ(t.code, result::kSuccess);
  EXPECT_EQ(t.channel(0), "00 FF C3 78 00 FF E1 02 00 FF E0 00 00 0F 30 C8 30 FF DF 00");
  EXPECT_EQ(t.channel(1), "00 FF E2 64 18 13 18 A0 18 FF DF 00");
  EXPECT_EQ(t.ws.streamPos[0], 0);
  EXPECT_EQ(t.ws.streamPos[1], 20);
  for (int c = 2; c < 16; ++c) {
    EXPECT_EQ(t.ws.streamLength[c], 0);
    EXPECT_EQ(t.ws.streamPos[c], 32);
  }
  EXPECT_EQ(t.ws.mfiEventBytes, 32);
  EXPECT_EQ(t.ws.writeLength, 32);
  EXPECT_EQ(t.ws.smfSequenceName, "Song") << "the first name wins; Piano is discarded";
  EXPECT_EQ(t.ws.currentChannel, 15);
}

// The trace's texts are GBK bytes, written out here: "■分析声道后将进行后将进行 SMF
// 到 MLD 的基础转换", "◎声道: N ◎位置:P", "■显示 MLD 基础转换结果",
// "◎声道: N ◎声道容量:L", "◎MLD 数据容量:32 部件".
TEST(TranslateChannels, WorkedExampleTrace) {
  Translation t(test::workedExample());
  std::string expected = "\xA1\xF6\xB7\xD6\xCE\xF6\xC9\xF9\xB5\xC0\xBA\xF3\xBD\xAB\xBD\xF8\xD0\xD0\xBA\xF3\xBD\xAB\xBD\xF8\xD0\xD0 SMF \xB5\xBD MLD \xB5\xC4\xBB\xF9\xB4\xA1\xD7\xAA\xBB\xBB\n" + sep();
  expected += "\xA1\xF2\xC9\xF9\xB5\xC0: 0 \xA1\xF2\xCE\xBB\xD6\xC3:0\n";
  expected += "     0 | FF,C3,78  ; --- Tempo\r\n";
  expected += "     0 | FF,E1,02  ; --- Program_Bank\r\n";
  expected += "     0 | FF,E0,00  ; --- Program_Change\r\n";
  expected += "     0 | 0F,30,C8  ; * C5 \n";
  expected += "    48 | FF,DF,00  ; --- Data_End\r\n";
  expected += sep();
  expected += "\xA1\xF2\xC9\xF9\xB5\xC0: 1 \xA1\xF2\xCE\xBB\xD6\xC3:20\n";
  expected += "     0 | FF,E2,64  ; --- Volume\r\n";
  expected += "    24 | 13,18,A0  ; * E5 \n";
  expected += "    24 | FF,DF,00  ; --- Data_End\r\n";
  expected += sep();
  for (int c = 2; c < 16; ++c) {
    char line[64];
    std::snprintf(line, sizeof line, "%2d", c);
    expected += std::string("\xA1\xF2\xC9\xF9\xB5\xC0:") + line + " \xA1\xF2\xCE\xBB\xD6\xC3:32\n" + sep();
  }
  expected += "\xA1\xF6\xCF\xD4\xCA\xBE MLD \xBB\xF9\xB4\xA1\xD7\xAA\xBB\xBB\xBD\xE1\xB9\xFB\n" + sep();
  expected += "\xA1\xF2\xC9\xF9\xB5\xC0: 0 \xA1\xF2\xC9\xF9\xB5\xC0\xC8\xDD\xC1\xBF:20\n";
  expected += "00,FF,C3,78,00,FF,E1,02,00,FF,E0,00,00,0F,30,C8,\n30,FF,DF,00,\n" + sep();
  expected += "\xA1\xF2\xC9\xF9\xB5\xC0: 1 \xA1\xF2\xC9\xF9\xB5\xC0\xC8\xDD\xC1\xBF:12\n";
  expected += "00,FF,E2,64,18,13,18,A0,18,FF,DF,00,\n" + sep();
  expected += sep() + "\xA1\xF2MLD \xCA\xFD\xBE\xDD\xC8\xDD\xC1\xBF:32 \xB2\xBF\xBC\xFE\n" + sep();
  EXPECT_EQ(t.translationTrace(), expected);
}

TEST(TranslateChannels, TraceCallsAreSeparateForNoteLines) {
  Translation t(test::workedExample());
  const auto& calls = t.recorder.calls;
  const auto at = std::find(calls.begin(), calls.end(), std::string("     0 | 0F,30,C8  ; * "));
  ASSERT_NE(at, calls.end());
  EXPECT_EQ(*(at + 1), "C5 ");
  EXPECT_EQ(*(at + 2), "\n");
}

TEST(TranslateChannels, LongDeltasAreCarriedByNops) {
  // Division 48: SMF ticks are MFi ticks. A program change after the delta.
  struct Case {
    const char* delta;
    const char* events;
  } cases[] = {
      {"81 7F", "FF FF E1 02 00 FF E0 05"},                                  // 255: no NOP
      {"82 00", "FF FF DE 00 01 FF E1 02 00 FF E0 05"},                      // 256
      {"83 7E", "FF FF DE 00 FF FF E1 02 00 FF E0 05"},                      // 510
      {"83 7F", "FF FF DE 00 FF FF DE 00 01 FF E1 02 00 FF E0 05"},          // 511
      {"84 58", "FF FF DE 00 FF FF DE 00 5A FF E1 02 00 FF E0 05"},          // 600: 255 + 255 + 90
  };
  for (const Case& c : cases) {
    Translation t(song(48, concat({hex(c.delta), hex("C0 05")})));
    ASSERT_EQ(t.code, result::kSuccess);
    EXPECT_EQ(t.channel(0).substr(0, t.channel(0).size() - 12), std::string(c.events)) << c.delta;
  }
}

TEST(TranslateChannels, ScalingLossesAreNotCarried) {
  // Division 480: 5 ticks scale to 0, and the next event counts only its own ticks.
  Translation t(song(480, hex("05 B0 07 10  05 B0 07 11  83 06 B0 07 12")));
  EXPECT_EQ(t.channel(0), "00 FF E2 10 00 FF E2 11 27 FF E2 12 00 FF DF 00");
}

TEST(TranslateChannels, ControllersProgramsAndPitchBend) {
  Translation t(song(48, hex("00 B0 01 05 00 B0 0A 40 00 B0 0B 7F 00 B0 40 7F 00 B0 00 01 00 B0 20 01 "
                             "00 A0 40 40 00 D0 10 00 80 40 00 "
                             "03 C0 46 00 E0 00 40 00 E0 7F 7F 00 E0 01 00 00 B1 07 40")));
  ASSERT_EQ(t.code, result::kSuccess);
  // Sustain, bank select, pressure and note-off write nothing; their deltas
  // (0 here) carry over. Program 70: bank 3 then program 6 at delta 0.
  // Pitch bend 00 40 -> 0x40; 7F 7F -> 0x3FFF carried as FF; 01 00 -> 0x80.
  EXPECT_EQ(t.channel(0),
            "00 FF EA 05 00 FF E3 40 00 FF E6 7F 03 FF E1 03 00 FF E0 06 00 FF E4 40 00 FF E4 FF 00 FF E4 80 "
            "00 FF DF 00");
  EXPECT_NE(t.recorder.bytes.find("     0 | FF,E4,3FFF  ; --- Pitchbend_Change\r\n"), std::string::npos);
  EXPECT_EQ(t.channel(1), "00 FF E2 40") << "another channel's controller goes to its own channel";
}

TEST(TranslateChannels, TempoRules) {
  // Only the first tempo of the file is written; a later one carries its delta.
  Translation first(concat({smfHeader(1, 2, 48), track(hex("00 FF 51 03 07 A1 20 00 FF 2F 00")),
                            track(hex("10 FF 51 03 03 D0 90 10 C0 01"))}));
  EXPECT_EQ(first.channel(0), "00 FF C3 78 00 FF DF 00 20 FF E1 02 00 FF E0 01");

  // Data_End's ticks count again into the channel's next written event.
  Translation again(concat({smfHeader(1, 3, 48), track(hex("00 FF 01 00")), track(hex("10 FF 2F 00")),
                            track(hex("05 C0 01 00 FF 2F 00"))}));
  EXPECT_EQ(again.channel(0), "10 FF DF 00 15 FF E1 02 00 FF E0 01");

  // 200000 us per quarter = 300 per minute: written as 255.
  Translation fast(song(48, hex("00 FF 51 03 03 0D 40 00 C0 01")));
  EXPECT_EQ(fast.channel(0).substr(0, 11), "00 FF C3 FF");
  EXPECT_NE(fast.recorder.bytes.find("FF,C3,FF  ; --- Tempo"), std::string::npos);

  // A tempo of 0: ignored like a repeated one, and a later valid one is written.
  Translation zero(song(48, hex("00 FF 51 03 00 00 00 05 FF 51 03 07 A1 20")));
  EXPECT_EQ(zero.channel(0), "05 FF C3 78 00 FF DF 00");
}

TEST(TranslateChannels, MetaTexts) {
  ConversionWorkspace keep;
  Translation t(song(48, hex("00 FF 02 01 58 00 FF 03 02 41 42 00 FF 03 01 43 00 FF 02 00")));
  EXPECT_EQ(t.ws.smfCopyright, "") << "an empty copyright after one with text empties it";
  EXPECT_EQ(t.ws.smfSequenceName, "AB");
  Translation u(song(48, hex("00 FF 02 03 58 00 59")));
  EXPECT_EQ(u.ws.smfCopyright, "XY") << "NUL bytes dropped";
}

TEST(TranslateChannels, F7ConsumesOneByte) {
  Translation t(concat({smfHeader(1, 1, 48), track(hex("00 F7 00 00 C0 01"))}));
  // F7 takes the 00 after it; then "00 C0 01" is a program change.
  EXPECT_EQ(t.channel(0), "00 FF E1 02 00 FF E0 01");
}

TEST(NoteEvents, KeysVelocitiesAndNames) {
  // Key 60 velocity 100, ended 480 ticks later at division 480.
  Translation t(song(480, hex("00 90 3C 64 83 60 80 3C 00")));
  EXPECT_EQ(t.channel(0), "00 0F 30 C8 30 FF DF 00");
  EXPECT_NE(t.recorder.bytes.find("     0 | 0F,30,C8  ; * C5 \n"), std::string::npos);

  struct Case {
    int channel, key;
    const char* note;
    const char* name;
    bool outOfRange;
  } cases[] = {{0, 44, "00", "A3 ", true},         {0, 108, "00", "A3 ", true},
               {0, 46, "01", "A3#", false},        {0, 48, "03", "C4 ", false},
               {0, 107, "3E", "B8 ", false},       {0, 36, "00", "A3 ", true},
               {9, 34, "00", "Acoustic Bass Drum", true}, {9, 82, "00", "Acoustic Bass Drum", true},
               {9, 36, "01", "Bass Drum 1", false}, {9, 54, "13", "Tabourine", false},
               {9, 81, "2E", "Open Traiangle", false}};
  for (const Case& c : cases) {
    const std::uint8_t on = static_cast<std::uint8_t>(0x90 | c.channel);
    const Bytes events{0x00, on, static_cast<std::uint8_t>(c.key), 0x7F, 0x30, on, static_cast<std::uint8_t>(c.key), 0};
    Bytes input = concat({smfHeader(1, 2, 48), track(hex("00 FF 01 00")), track(events)});
    Translation n(input);
    EXPECT_EQ(n.channel(c.channel).substr(0, 11), std::string("00 ") + c.note + " 30 FC") << c.key;
    EXPECT_NE(n.recorder.bytes.find(std::string("; * ") + c.name + "\n"), std::string::npos) << c.key;
    // "★低音音程超过发音范围。" or "★音程超过发音范围。", in GBK.
    const std::string warning =
        c.channel == 9
            ? "\xA1\xEF\xB5\xCD\xD2\xF4\xD2\xF4\xB3\xCC\xB3\xAC\xB9\xFD\xB7\xA2\xD2\xF4\xB7\xB6\xCE\xA7\xA1\xA3\n"
            : "\xA1\xEF\xD2\xF4\xB3\xCC\xB3\xAC\xB9\xFD\xB7\xA2\xD2\xF4\xB7\xB6\xCE\xA7\xA1\xA3\n";
    EXPECT_EQ(n.recorder.bytes.find(warning) != std::string::npos, c.outOfRange) << c.key;
  }

  // Velocity bits: 127 -> FC, 1 -> 00.
  EXPECT_EQ(Translation(song(48, hex("00 90 3C 01 10 80 3C 00"))).channel(0).substr(0, 11), "00 0F 10 00");
}

TEST(NoteEvents, Durations) {
  struct Case {
    int division;
    const char* events;
    const char* note;
  } cases[] = {
      {48, "00 90 3C 40 00 80 3C 00", "00 0F 00 80"},       // note-off at delta 0: gate 0
      {480, "00 90 3C 40 05 80 3C 00", "00 0F 01 80"},      // 5 ticks: gate raised to 1
      {96, "00 90 3C 40", "00 0F 01 80"},                   // never ended: gate 1
      {480, "00 90 3C 40", "00 0F 01 80"},
      {24, "00 90 3C 40", "00 0F 01 80"},                   // small division too
      // Another key does not end it; another channel's event went to its own
      // stream with its delta, so channel 0 counts 0x20.
      {48, "00 90 3C 40 10 81 3C 00 10 80 3D 00 10 80 3C 00", "00 0F 20 80"},
      {48, "00 90 3C 40 10 90 3C 40 10 90 3C 00", "00 0F 20 80"},  // overlapping: first note-off ends both
      // After a meta event the running status is 0xFF: "3C 00" is a meta too,
      // and the note never ends.
      {48, "00 90 3C 40 10 FF 01 01 41 10 3C 00", "00 0F 01 80"},
  };
  for (const Case& c : cases) {
    Translation t(song(c.division, hex(c.events)));
    ASSERT_EQ(t.code, result::kSuccess);
    EXPECT_EQ(t.channel(0).substr(0, 11), c.note) << c.events;
  }
  // The scan does not move the cursor: the note-off's delta reaches the next event.
  Translation after(song(48, hex("00 90 3C 40 10 80 3C 00 05 C0 01")));
  EXPECT_EQ(after.channel(0), "00 0F 10 80 15 FF E1 02 00 FF E0 01 00 FF DF 00");
}

TEST(NoteEvents, GateChains) {
  // The note events, then the Data_End that follows with the note-off's ticks.
  auto notes = [](int ticks) {
    const Bytes events = concat({hex("00 90 3C 40"), test::varLen(static_cast<std::uint32_t>(ticks)), hex("80 3C 00")});
    return Translation(song(48, events)).channel(0);
  };
  EXPECT_EQ(notes(255), "00 0F FF 80 FF FF DF 00");
  EXPECT_EQ(notes(256), "00 0F FF 80 FE 0F 02 80 FF FF DE 00 01 FF DF 00");
  EXPECT_EQ(notes(509), "00 0F FF 80 FE 0F FF 80 FF FF DE 00 FE FF DF 00");
  EXPECT_EQ(notes(510), "00 0F FF 80 FE 0F FF 80 FE 0F 02 80 FF FF DE 00 FF FF DF 00");
  EXPECT_EQ(notes(600), "00 0F FF 80 FE 0F FF 80 FE 0F 5C 80 FF FF DE 00 FF FF DE 00 5A FF DF 00");
  // A note 300 ticks after the start: one NOP, then delta 45.
  Translation late(song(48, hex("82 2C 90 3C 40 10 80 3C 00")));
  EXPECT_EQ(late.channel(0).substr(0, 23), "FF FF DE 00 2D 0F 10 80");
}

TEST(TranslateChannels, OutputThatWouldNotFitIsRefused) {
  // A 1-tick division and a huge delta: hundreds of megabytes of NOPs.
  Translation t(song(1, hex("FF FF FF 7F C0 01")));
  EXPECT_EQ(t.code, result::kNoMemory);
  EXPECT_LE(t.ws.writeLength, t.ws.bufferCapacity);
  // An enormous gate likewise.
  Translation g2(song(1, hex("00 90 3C 40 FF FF FF 7F 80 3C 00")));
  EXPECT_EQ(g2.code, result::kNoMemory);
}

TEST(TranslateChannels, ScaleTicksIsSixtyFourBit) {
  ConversionWorkspace ws;
  ws.division = 480;
  EXPECT_EQ(scaleTicks(ws, 0), 0);
  EXPECT_EQ(scaleTicks(ws, 5), 0);
  EXPECT_EQ(scaleTicksNonZero(ws, 5), 1);
  EXPECT_EQ(scaleTicks(ws, 480), 48);
  EXPECT_EQ(scaleTicks(ws, 100000000), 10000000) << "no 32-bit wrap of ticks x 48";
}

}  // namespace
}  // namespace tonvell

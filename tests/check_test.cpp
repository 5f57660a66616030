// The comparison of a MIDI file with what a handset makes of its ring tone.
#include "convert/check.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "convert/run.h"
#include "convert/settings.h"
#include "mfi/decode.h"
#include "support/test_support.h"

namespace tonvell::test {
namespace {

ConversionOptions defaultOptions() {
  ConverterSettings settings;
  applyDefaults(settings);
  return conversionOptions(settings);
}

// Division 96, tempo 120 then 150 after the last note. Channel 0 (track 1):
// pan 64 (written unscaled, heard hard left), C4, a three-note chord, key 10
// (below any MFi note), then D4 one tick late for 48 ticks to the quarter.
// Channel 4 (track 2): C3 with the chord.
Bytes craftedSong() {
  return concat({smfHeader(1, 3, 96),
                 track(hex("00 FF 51 03 07 A1 20  83 00 FF 51 03 06 1A 80  60 FF 2F 00")),
                 track(hex("00 B0 0A 40  00 90 3C 64  60 80 3C 00"
                           "  00 90 40 64  00 90 43 64  00 90 47 64  60 80 40 00  00 80 43 00  00 80 47 00"
                           "  00 90 0A 64  60 80 0A 00  01 90 3E 64  5F 80 3E 00  00 FF 2F 00")),
                 track(hex("60 94 30 64  60 84 30 00  00 FF 2F 00"))});
}

TEST(CheckConversion, ReportsEachProblemOnceWhereItIs) {
  const CheckReport r = checkConversion(craftedSong(), defaultOptions());
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.channels.size(), 2u);

  const ChannelCheck& c0 = r.channels[0];
  EXPECT_EQ(c0.channel, 0);
  EXPECT_EQ(c0.notes, 6);
  EXPECT_EQ(c0.kept, 5);
  EXPECT_EQ(c0.moved, 0) << "D4 comes half an MFi tick late: within one tick";
  EXPECT_NEAR(c0.largestShiftMs, 1000.0 / 192, 0.01) << "half a tick of 1/48 quarter at 120 per minute";
  EXPECT_NEAR(c0.largestShiftSeconds, -1.0 / 192, 1e-5) << "tick 144.5 is written as 144: early";
  EXPECT_EQ(c0.outOfReach, 1);
  EXPECT_EQ(c0.outOfReachOtherKey, 1) << "the converter writes it as A3";
  EXPECT_EQ(c0.outOfReachDropped, 0);
  EXPECT_EQ(c0.outOfReachDrums, 0) << "a melodic key below the range";
  EXPECT_EQ(c0.lost, 0);
  EXPECT_EQ(c0.controllerChanges, 1);
  EXPECT_EQ(c0.misheard, 1);

  const ChannelCheck& c4 = r.channels[1];
  EXPECT_EQ(c4.channel, 4);
  EXPECT_EQ(c4.notes, 1);
  EXPECT_EQ(c4.kept, 1);
  EXPECT_EQ(c4.moved, 0);
  EXPECT_EQ(c4.misheard, 0);

  EXPECT_EQ(r.total.notes, 7);
  EXPECT_EQ(r.total.kept, 6);
  EXPECT_EQ(r.total.moved, 0);
  EXPECT_EQ(r.total.outOfReach, 1);
  EXPECT_EQ(r.total.misheard, 1);
  EXPECT_EQ(r.tempoChanges, 2);
  EXPECT_EQ(r.tempoChangesMisheard, 1) << "the converter keeps the first tempo only";
  ASSERT_EQ(r.misheardChanges.size(), 2u);
  EXPECT_EQ(r.misheardChanges[0].channel, 0);
  EXPECT_STREQ(r.misheardChanges[0].what, "pan");
  EXPECT_EQ(r.misheardChanges[1].channel, -1);
  EXPECT_DOUBLE_EQ(r.misheardChanges[1].written, 150) << "at tick 384 of 96, after 2 s";
  EXPECT_DOUBLE_EQ(r.misheardChanges[1].seconds, 2);
  EXPECT_EQ(r.problems(), (std::vector<CheckProblem>{CheckProblem::kControllersMisheard,
                                                     CheckProblem::kTemposMisheard, CheckProblem::kKeysOutOfRange}));
  EXPECT_EQ(r.trackPolyphony, (std::array<int, 4>{3, 1, 0, 0}));
  EXPECT_EQ(r.polyphony, 4) << "the chord and channel 4's note";
  EXPECT_FALSE(r.clean());

  Bytes mfi;
  ASSERT_EQ(convertBytes(craftedSong(), &mfi), result::kSuccess);
  EXPECT_EQ(r.outputBytes, mfi.size());
  // The first track's cue end comes at tick 192, each tick 1/96 s.
  EXPECT_NEAR(r.seconds, 192 / 96.0, 1e-9);
}

TEST(CheckConversion, AFileWithNothingToLoseIsClean) {
  // Division 48, tempo 120, notes in reach and a program change.
  const Bytes song = concat({smfHeader(1, 2, 48), track(hex("00 FF 51 03 07 A1 20  00 FF 2F 00")),
                             track(hex("00 C1 05  00 91 3C 64  30 81 3C 00  00 91 40 50  18 81 40 00  00 FF 2F 00"))});
  const CheckReport r = checkConversion(song, defaultOptions());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.clean());
  EXPECT_EQ(r.total.notes, 2);
  EXPECT_EQ(r.total.kept, 2);
  EXPECT_EQ(r.total.moved, 0);
  EXPECT_DOUBLE_EQ(r.total.largestShiftMs, 0);
  EXPECT_EQ(r.tempoChanges, 1);
  EXPECT_EQ(r.tempoChangesMisheard, 0);
  EXPECT_EQ(r.polyphony, 1);
}

TEST(CheckConversion, NotesWithinReachCanStillBeLostAndDrumsBeyondTheKitAreOutOfReach) {
  // Velocity 1 halves to 0: a note no handset sounds, though its key is in
  // reach. Key 100 on the drum channel is no General MIDI percussion key:
  // out of reach, and written as the first drum, another key.
  const Bytes song = concat({smfHeader(1, 3, 48), track(hex("00 FF 2F 00")),
                             track(hex("00 90 3C 01  30 80 3C 00  00 FF 2F 00")),
                             track(hex("00 99 64 64  30 89 64 00  00 FF 2F 00"))});
  const CheckReport r = checkConversion(song, defaultOptions());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.total.notes, 2);
  EXPECT_EQ(r.total.kept, 0);
  EXPECT_EQ(r.total.lost, 1);
  EXPECT_EQ(r.total.lostOtherKey, 0);
  EXPECT_EQ(r.total.outOfReach, 1);
  EXPECT_EQ(r.total.outOfReachOtherKey, 1);
  EXPECT_EQ(r.total.moved, 0);
  EXPECT_EQ(r.total.outOfReachDrums, 1);
  EXPECT_FALSE(r.clean());
  EXPECT_EQ(r.problems(), (std::vector<CheckProblem>{CheckProblem::kLost, CheckProblem::kDrumKeysOutsideKit}));
}

// A listener hears a note where the ring tone's own tempo puts it. A tempo
// rounded to whole beats per minute runs ahead over a song: 93.75 written as
// 94 brings the last of 400 quarter notes 679 ms early, and notes from the
// 132nd on further than one MFi tick plus 0.25 % of the time elapsed; 17.5
// written as 18 moves all but the first of 16 notes. The pairs (timebase 60,
// value 75) and (6, 140) are exact.
TEST(CompareWithRingTone, NotesAreHeardInSecondsByTheRingTonesOwnTempo) {
  struct Case {
    int micros, quarters;
    const char *rounded, *exact;
    int moved;
    double lastShift;
  };
  for (const Case& c : {Case{640000, 400, "FF C3 5E", "FF CA 4B", 269, -0.679},
                        Case{3428571, 16, "FF C3 12", "FF C0 8C", 15, -1.429}}) {
    SCOPED_TRACE(c.micros);
    // Division 48, so MIDI and MFi ticks agree: C4 for an eighth note on every quarter.
    Bytes midi = {0x00, 0xFF, 0x51, 0x03, static_cast<std::uint8_t>(c.micros >> 16),
                  static_cast<std::uint8_t>(c.micros >> 8), static_cast<std::uint8_t>(c.micros)};
    std::string notes;
    for (int i = 0; i < c.quarters; ++i) {
      midi = concat({midi, hex(i == 0 ? "00 90 3C 64  18 80 3C 00" : "18 90 3C 64  18 80 3C 00")});
      notes += i == 0 ? " 00 0F 18 80" : " 30 0F 18 80";
    }
    midi = concat({smfHeader(0, 1, 48), track(concat({midi, hex("00 FF 2F 00")}))});

    const CheckReport rounded = compareWithRingTone(midi, mfiFile({std::string("00 ") + c.rounded + notes}));
    ASSERT_TRUE(rounded.ok) << rounded.error;
    EXPECT_EQ(rounded.total.kept, c.quarters);
    EXPECT_EQ(rounded.total.moved, c.moved);
    EXPECT_NEAR(rounded.total.largestShiftSeconds, c.lastShift, 0.001);
    EXPECT_NEAR(rounded.total.largestShiftAt, (c.quarters - 1) * c.micros / 1e6, 1e-6);
    EXPECT_EQ(rounded.tempoChangesMisheard, 1);
    EXPECT_EQ(rounded.problems(), (std::vector<CheckProblem>{CheckProblem::kMoved, CheckProblem::kTemposMisheard}));
    const auto firstMoved = std::find_if(rounded.notes.begin(), rounded.notes.end(),
                                         [](const CheckedNote& n) { return n.fate == NoteFate::kMoved; });
    EXPECT_EQ(rounded.notes.end() - firstMoved, c.moved) << "once moved, every later note is";

    const CheckReport exact = compareWithRingTone(midi, mfiFile({std::string("00 ") + c.exact + notes}));
    ASSERT_TRUE(exact.ok) << exact.error;
    EXPECT_EQ(exact.total.kept, c.quarters);
    EXPECT_LT(exact.total.largestShiftMs, 0.01);
    EXPECT_TRUE(exact.clean());
    EXPECT_TRUE(exact.problems().empty());
  }
}

// The handset mode writes the nearest tempo the format has. Where even that
// is more than 0.25 % off (very slow tempos, a few narrow bands), the check
// allows the nearest tempo's own error, so a song the writer could not have
// timed better is clean; a tempo the ring tone plays further off than that
// is still misheard (the rounded pairs of the test above).
TEST(CheckConversion, TheNearestWritableTempoIsHeardAsWritten) {
  ConversionOptions handset = defaultOptions();
  handset.handset = true;
  for (const double perMinute : {160.5, 642.0, 3.6, 12.3, 93.75, 96.125, 300.5, 1000.0}) {
    SCOPED_TRACE(perMinute);
    const int micros = static_cast<int>(60e6 / perMinute + 0.5);
    Bytes events = {0x00, 0xFF, 0x51, 0x03, static_cast<std::uint8_t>(micros >> 16),
                    static_cast<std::uint8_t>(micros >> 8), static_cast<std::uint8_t>(micros)};
    for (int i = 0; i < 120; ++i) events = concat({events, hex(i == 0 ? "00 90 3C 64  18 80 3C 00" : "18 90 3C 64  18 80 3C 00")});
    const Bytes midi = concat({smfHeader(1, 1, 48), track(concat({events, hex("00 FF 2F 00")}))});
    const CheckReport r = checkConversion(midi, handset);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.total.kept, 120);
    EXPECT_TRUE(r.clean()) << r.total.moved << " moved, " << r.tempoChangesMisheard << " tempos misheard";
  }
}

// The level is volume x expression wherever in the file the two stand, and
// a change replaced within the same tick is heard by no one.
TEST(CheckConversion, LevelsAcrossTracksAndChangesReplacedAtOnce) {
  const Bytes song = concat({smfHeader(1, 3, 48), track(hex("00 FF 51 03 07 A1 20  00 FF 2F 00")),
                             track(hex("00 B0 07 64  00 B0 0A 00  00 B0 0A 40  00 90 3C 40  30 80 3C 00  00 FF 2F 00")),
                             track(hex("18 B0 0B 40  00 FF 2F 00"))});
  ConversionOptions handset = defaultOptions();
  handset.handset = true;
  const CheckReport r = checkConversion(song, handset);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.total.controllerChanges, 3) << "volume, expression (from another track), the last pan";
  EXPECT_EQ(r.total.misheard, 0);
  EXPECT_TRUE(r.clean());
}

TEST(CheckConversion, AFileTheConverterRefusesIsNoReport) {
  const CheckReport r = checkConversion(concat({smfHeader(0, 1, 48), track(hex("00 FF 2F 00"))}), defaultOptions());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.rfind("cannot be converted (", 0), 0u) << r.error;
  EXPECT_FALSE(checkConversion(hex("00 01 02"), defaultOptions()).ok);
}

}  // namespace
}  // namespace tonvell::test

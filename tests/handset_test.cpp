// The handset mode: what it writes for each kind of MIDI event, where in time
// it puts it, and that every file it writes has the structure and only the
// events a handset reads alike.
#include "mfi/handset.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "core/gbk.h"
#include "mfi/inspect.h"
#include "smf/events.h"
#include "support/song_generator.h"
#include "support/test_support.h"
#include "support/timed_track.h"

namespace tonvell::test {
namespace {

Bytes tempoEvent(std::uint32_t micros) {
  return {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(micros >> 16), static_cast<std::uint8_t>(micros >> 8),
          static_cast<std::uint8_t>(micros)};
}

ConverterSettings handsetSettings(int masterVolume = 1, int loop = 1) {
  ConverterSettings s;
  s.handsetSwitch = 1;
  s.masterVolumeSwitch = masterVolume;
  s.loopSwitch = loop;
  return s;
}

InspectResult inspected(const Bytes& mfi) {
  InspectResult r = inspectMfi(mfi.data(), mfi.size());
  EXPECT_TRUE(r.ok) << r.describeError();
  return r;
}

Bytes handsetOf(const Bytes& midi, const ConverterSettings& settings = handsetSettings(), TraceChannel* trace = nullptr) {
  Bytes out;
  EXPECT_EQ(convertBytes(midi, &out, settings, trace), result::kSuccess);
  return out;
}

// The events of one track with the given code (-1: notes), as they are.
std::vector<MfiEventInfo> eventsOf(const InspectResult& r, int track, int code) {
  std::vector<MfiEventInfo> out;
  for (const MfiEventInfo& e : r.tracks[static_cast<std::size_t>(track)].events)
    if (code < 0 ? !e.extended : e.extended && e.code == code) out.push_back(e);
  return out;
}

// ---------------------------------------------------------------------------
// Tempo and key choices.

TEST(HandsetTempo, TheNearestTickOfAnyPairExactWhenOneExists) {
  // Exact pairs: 93.75 per minute is 75 at timebase 60, 17.5 is 35 at 24,
  // 300 is 150 at 96, 1,000 is 250 at 192; a whole tempo from 4 (the slowest
  // three bytes hold) up to 255 stays at 48.
  const auto pair = [](int micros) {
    const HandsetTempo t = handsetTempo(micros);
    return std::to_string(t.value) + "@" + std::to_string(t.timebase);
  };
  EXPECT_EQ(pair(640000), "75@60");
  EXPECT_EQ(pair(3428571), "35@24");
  EXPECT_EQ(pair(200000), "150@96");
  EXPECT_EQ(pair(60000), "250@192");
  for (int perMinute = 4; perMinute <= 255; ++perMinute) {
    if (60000000 % perMinute != 0) continue;
    ASSERT_EQ(pair(60000000 / perMinute), std::to_string(perMinute) + "@48");
  }
  // Every tempo a MIDI file can hold, sampled: no pair has a tick nearer to
  // micros / 48 (every pair tried), and never the invalid codes.
  for (double micros = 1; micros <= 0xFFFFFF; micros *= 1.003) {
    const int m = static_cast<int>(micros);
    const HandsetTempo t = handsetTempo(m);
    ASSERT_EQ(t.timebase, tempoTimebase(t.code)) << m;
    ASSERT_NE(t.timebase, 0) << m;
    ASSERT_GE(t.value, 1) << m;
    ASSERT_LE(t.value, 255) << m;
    const auto off = [m](int timebase, int value) { return std::abs(6e7 / (timebase * value) - m / 48.0); };
    const double chosen = off(t.timebase, t.value);
    for (const int timebase : {6, 12, 24, 48, 96, 192, 384, 15, 30, 60, 120, 240, 480, 960})
      for (int value = 1; value <= 255; ++value)
        ASSERT_LE(chosen, off(timebase, value) * (1 + 1e-12)) << m << ": " << value << " at " << timebase;
  }
}

TEST(HandsetKey, ShiftBitsReachKeysBeyondThePart) {
  // Heard key = note + 45 + the shift of the bits.
  const int shiftOf[4] = {0, 12, -24, -12};
  for (int key = 0; key < 128; ++key) {
    const HandsetKey k = handsetKey(0, key);
    ASSERT_TRUE(k.sounds);
    ASSERT_GE(k.note, 0);
    ASSERT_LE(k.note, 62);
    const int heard = k.note + 45 + shiftOf[k.shiftBits];
    EXPECT_EQ(heard, k.key) << key;
    if (key >= 21 && key <= 119)
      EXPECT_EQ(heard, key);
    else
      EXPECT_EQ((heard - key) % 12, 0) << key << " moves by whole octaves";
    EXPECT_EQ(k.shiftBits != 0, key < 45 || key > 107) << key << ": shifted only beyond 45..107";
  }
  EXPECT_EQ(handsetKey(0, 120).key, 108);
  EXPECT_EQ(handsetKey(0, 20).key, 32);
  EXPECT_EQ(handsetKey(0, 33).shiftBits, 3);
  EXPECT_EQ(handsetKey(0, 32).shiftBits, 2);
  EXPECT_EQ(handsetKey(0, 108).shiftBits, 1);
  // Drums: 35..81 as they are, the rest left out.
  EXPECT_FALSE(handsetKey(9, 34).sounds);
  EXPECT_FALSE(handsetKey(9, 82).sounds);
  EXPECT_EQ(handsetKey(9, 35).note, 0);
  EXPECT_EQ(handsetKey(9, 81).note, 46);
  EXPECT_EQ(handsetKey(9, 81).shiftBits, 0);
}

// ---------------------------------------------------------------------------
// Time.

TEST(HandsetTime, EventsSitAtTheirScaledAbsoluteTimes) {
  // Division 480: notes 490 ticks apart are 49 MFi ticks apart exactly; the
  // ring-tone conversion loses a fraction per event and drifts, this mode
  // must not. Each note 10 SMF ticks long still gets gate 1.
  std::vector<At> events;
  for (std::uint32_t i = 0; i < 60; ++i) {
    events.push_back({i * 490 + 7, {0x90, 60, 100}});
    events.push_back({i * 490 + 17, {0x80, 60, 0}});
  }
  const Bytes midi = concat({smfHeader(1, 2, 480), timedTrack({}, 0), timedTrack(events, 60 * 490)});
  const InspectResult r = inspected(handsetOf(midi));
  const std::vector<MfiEventInfo> notes = eventsOf(r, 0, -1);
  ASSERT_EQ(notes.size(), 60u);
  for (std::size_t i = 0; i < notes.size(); ++i) {
    EXPECT_EQ(notes[i].time, i * 49 + 1) << i;  // (490 i + 7) x 48 / 480, rounded
    EXPECT_EQ(notes[i].gate, 1) << i;
  }
}

TEST(HandsetTime, ChannelsMergeAcrossTracksAndAllTracksEndTogether) {
  // Channel 0 is played by tracks 1 and 2 in turns; channel 5 (track 1 of
  // the MFi file) ends early, the song ends with track 2 at tick 960.
  const Bytes midi = concat({
      smfHeader(1, 4, 96),
      timedTrack({}, 0),
      timedTrack({{0, {0x90, 60, 80}}, {48, {0x80, 60, 0}}, {192, {0x90, 64, 80}}, {240, {0x80, 64, 0}}}, 240),
      timedTrack({{96, {0x90, 62, 80}}, {144, {0x80, 62, 0}}, {960, {0xB0, 10, 0}}}, 960),
      timedTrack({{0, {0x95, 50, 90}}, {24, {0x85, 50, 0}}}, 24),
  });
  for (const int loop : {0, 1}) {
    const InspectResult r = inspected(handsetOf(midi, handsetSettings(0, loop)));
    std::vector<int> keys;
    std::vector<std::uint64_t> times;
    for (const MfiEventInfo& n : eventsOf(r, 0, -1)) {
      keys.push_back(n.value + 45);
      times.push_back(n.time);
    }
    EXPECT_EQ(keys, (std::vector<int>{60, 62, 64}));
    EXPECT_EQ(times, (std::vector<std::uint64_t>{0, 48, 96}));
    for (int t = 0; t < 4; ++t) {
      const std::vector<MfiEventInfo>& ev = r.tracks[static_cast<std::size_t>(t)].events;
      EXPECT_EQ(ev.back().time, 480u) << "track " << t << " ends at the song's end";
      EXPECT_EQ(eventsOf(r, t, 0xD0).size(), loop == 1 ? 2u : 0u) << t;
      if (loop == 1) {
        EXPECT_EQ(ev.front().code, 0xD0);
        EXPECT_EQ(ev.front().bytes[3], 0x00) << "cue start";
        EXPECT_EQ(ev[ev.size() - 2].time, 480u);
        EXPECT_EQ(ev[ev.size() - 2].bytes[3], 0x01) << "cue end";
      }
    }
  }
}

TEST(HandsetTime, LongAndUnendedNotesArePiecedToTheirEnds) {
  // Division 48: a note of 600 ticks, and a note nothing ends at 700 in a
  // song that ends at 1000 (gate 300).
  const Bytes midi = concat({smfHeader(1, 2, 48), timedTrack({}, 0),
                             timedTrack({{0, {0x90, 60, 100}}, {600, {0x80, 60, 0}}, {700, {0x90, 62, 100}}}, 1000)});
  const InspectResult r = inspected(handsetOf(midi));
  std::vector<std::string> seen;
  for (const MfiEventInfo& n : eventsOf(r, 0, -1))
    seen.push_back(std::to_string(n.time) + ":" + std::to_string(n.value + 45) + "/" + std::to_string(n.gate));
  EXPECT_EQ(seen, (std::vector<std::string>{"0:60/255", "254:60/255", "508:60/92", "700:62/255", "954:62/46"}));
}

// ---------------------------------------------------------------------------
// Values.

TEST(HandsetValues, ControllersAreHalvedWithThePartBits) {
  // Channel 6: track 1, part 2.
  const Bytes midi = concat({
      smfHeader(1, 2, 48),
      timedTrack({}, 0),
      timedTrack({{0, {0xB6, 11, 64}},   // expression alone: 100 x 64 / 127 = 50
                  {1, {0xB6, 7, 127}},   // 127 x 64 / 127 = 64
                  {2, {0xB6, 11, 127}},  // 127
                  {3, {0xB6, 10, 64}},   // centre
                  {4, {0xB6, 10, 127}},
                  {5, {0xE6, 0x00, 0x40}},  // bend 8192: centre
                  {6, {0xE6, 0x7F, 0x7F}},  // 16383
                  {7, {0xE6, 0x00, 0x00}},
                  {8, {0xB6, 1, 100}},
                  {9, {0xC6, 100}},      // program 100: bank 3, 36
                  {10, {0xB6, 64, 127}},  // sustain: not written
                  {11, {0xB6, 6, 12}}},   // data entry: not written
                 12),
  });
  const InspectResult r = inspected(handsetOf(midi));
  std::vector<std::string> seen;
  for (const MfiEventInfo& e : r.tracks[1].events) {
    if (!e.extended || e.code < 0xE0) continue;
    char text[32];
    std::snprintf(text, sizeof text, "%llu:%02X:%d:%d", static_cast<unsigned long long>(e.time), e.code,
                  e.bytes[3] >> 6, e.bytes[3] & 0x3F);
    seen.push_back(text);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0:E2:2:25", "1:E2:2:32", "2:E2:2:63", "3:E3:2:32", "4:E3:2:63",
                                            "5:E4:2:32", "6:E4:2:63", "7:E4:2:0", "8:EA:2:50", "9:E1:2:3",
                                            "9:E0:2:36"}));
}

TEST(HandsetValues, EveryTempoOfEveryTrackAtItsTime) {
  // Tempos in the conductor and in a channel track, one of 300 per minute,
  // one of 0 microseconds (ignored).
  const Bytes midi = concat({
      smfHeader(1, 2, 96),
      timedTrack({{0, tempoEvent(500000)}, {192, tempoEvent(200000)}, {288, tempoEvent(0)}}, 384),
      timedTrack({{96, tempoEvent(600000)}, {96, {0x90, 60, 1}}, {97, {0x80, 60, 0}}}, 384),
  });
  TraceChannel trace;
  TraceRecorder recorder;
  recorder.attach(trace);
  const InspectResult r = inspected(handsetOf(midi, handsetSettings(), &trace));
  EXPECT_NE(recorder.bytes.find("    48 | FF,C4,96  ; --- Tempo 300/min -> 150 (timebase 96)\r\n"), std::string::npos)
      << gbkToUtf8(recorder.bytes);
  std::vector<std::string> seen;
  for (const MfiEventInfo& e : r.tracks[0].events)
    if (e.extended && (e.code & 0xF0) == 0xC0)
      seen.push_back(std::to_string(e.time) + ":" + mfiEventName(e.code) + std::to_string(tempoTimebase(e.code)) +
                     "/" + std::to_string(e.value));
  EXPECT_EQ(seen, (std::vector<std::string>{"0:Tempo48/120", "48:Tempo48/100", "96:Tempo96/150"}));
  // Velocity 1 still sounds.
  ASSERT_EQ(eventsOf(r, 0, -1).size(), 1u);
  EXPECT_EQ(eventsOf(r, 0, -1)[0].velocity, 1);
}

TEST(HandsetValues, MissingTempoIsTheMidiDefault) {
  const Bytes midi = concat({smfHeader(1, 1, 96), timedTrack({{10, {0x90, 60, 90}}, {20, {0x80, 60, 0}}}, 20)});
  const InspectResult r = inspected(handsetOf(midi));
  const std::vector<MfiEventInfo> tempos = eventsOf(r, 0, 0xC3);
  ASSERT_EQ(tempos.size(), 1u);
  EXPECT_EQ(tempos[0].time, 0u);
  EXPECT_EQ(tempos[0].value, 120);
}

TEST(HandsetValues, KeysOutOfReachAreShiftedMovedOrLeftOut) {
  const Bytes midi = concat({
      smfHeader(1, 2, 48),
      timedTrack({}, 0),
      timedTrack({{0, {0x90, 110, 64}}, {1, {0x90, 30, 64}}, {2, {0x90, 127, 64}}, {3, {0x99, 34, 64}},
                  {4, {0x99, 36, 64}}, {5, {0x80, 110, 0}}},
                 6),
  });
  TraceChannel trace;
  TraceRecorder recorder;
  recorder.attach(trace);
  const InspectResult r = inspected(handsetOf(midi, handsetSettings(), &trace));
  std::vector<std::string> melodic;
  for (const MfiEventInfo& n : eventsOf(r, 0, -1))
    melodic.push_back(std::to_string(n.value) + "/" + std::to_string(n.bytes[3] & 3));
  EXPECT_EQ(melodic, (std::vector<std::string>{"53/1", "9/2", "58/1"}));  // 110, 30, 127 -> 115
  const std::vector<MfiEventInfo> drums = eventsOf(r, 2, -1);
  ASSERT_EQ(drums.size(), 1u) << "key 34 is left out, not played as a bass drum";
  EXPECT_EQ(drums[0].value, 1);
  EXPECT_EQ(drums[0].channel, 1);
  const std::string text = gbkToUtf8(recorder.bytes);
  EXPECT_NE(text.find("键 127 超过发音范围，按八度移到 115"), std::string::npos) << text;
  EXPECT_NE(text.find("打击乐键 34 超过发音范围，已省略"), std::string::npos) << text;
}

TEST(HandsetValues, MasterVolumeFollowsItsOptions) {
  const Bytes midi = concat({smfHeader(1, 1, 96), timedTrack({{0, {0x90, 60, 90}}, {20, {0x80, 60, 0}}}, 20)});
  ConverterSettings s = handsetSettings(1, 0);
  s.masterVolume = 77;
  InspectResult r = inspected(handsetOf(midi, s));
  ASSERT_EQ(eventsOf(r, 0, 0xB0).size(), 1u);
  EXPECT_EQ(r.tracks[0].events[0].code, 0xB0) << "first in the first track";
  EXPECT_EQ(r.tracks[0].events[0].value, 77);
  r = inspected(handsetOf(midi, handsetSettings(0, 0)));
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(eventsOf(r, t, 0xB0).empty());
}

TEST(HandsetValues, DefaultOutputIgnoresTheHandsetOptions) {
  // Master volume and loop are shown and stored only unless the mode is on.
  const Bytes midi = generateSong(4000, 3).bytes;
  Bytes plain, changed;
  ASSERT_EQ(convertBytes(midi, &plain), result::kSuccess);
  ConverterSettings s = handsetSettings(0, 0);
  s.handsetSwitch = 0;
  s.masterVolume = 3;
  ASSERT_EQ(convertBytes(midi, &changed, s), result::kSuccess);
  EXPECT_EQ(plain, changed);
  EXPECT_NE(plain, handsetOf(midi));
}

// ---------------------------------------------------------------------------
// Structure of every file the mode writes.

std::vector<std::string> midiFiles(std::initializer_list<const char*> folders) {
  std::vector<std::string> paths;
  for (const char* folder : folders) {
    const std::vector<std::string> some = test::midiFilesIn(folder);
    paths.insert(paths.end(), some.begin(), some.end());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// Checks one file written in the mode from `midi`: it passes the inspector;
// it holds only notes and the codes the mode writes; per channel, as many
// E-events of each code (read from their part bits) as the MIDI file has
// events they stand for; every track ends at the song's scaled end.
void checkStructure(const Bytes& midi, const ConverterSettings& settings, const std::string& what) {
  SCOPED_TRACE(what);
  const Bytes mfi = handsetOf(midi, settings);
  const InspectResult r = inspectMfi(mfi.data(), mfi.size());
  ASSERT_TRUE(r.ok) << r.describeError();

  const SmfSong song = readSmfSong(midi);
  ASSERT_TRUE(song.ok);
  std::map<std::pair<int, int>, int> expected, written;  // (channel, code) -> count
  std::int64_t lastTick = 0;
  for (std::size_t t = 0; t < song.tracks.size(); ++t) {
    if (!song.tracks[t].empty()) lastTick = std::max(lastTick, song.tracks[t].back().tick);
    for (const SmfEvent& e : song.tracks[t]) {
      const int ch = e.channel();
      if (e.kind() == 0xC0 && e.isChannelEvent()) {
        ++expected[{ch, 0xE0}];
        ++expected[{ch, 0xE1}];
      } else if (e.kind() == 0xE0 && e.isChannelEvent()) {
        ++expected[{ch, 0xE4}];
      } else if (e.kind() == 0xB0 && e.isChannelEvent()) {
        if (e.data1 == 7 || e.data1 == 11) ++expected[{ch, 0xE2}];
        if (e.data1 == 10) ++expected[{ch, 0xE3}];
        if (e.data1 == 1) ++expected[{ch, 0xEA}];
      }
    }
  }
  const std::uint64_t end = static_cast<std::uint64_t>((lastTick * 48 + song.division / 2) / song.division);

  int masterVolumes = 0, cueStarts = 0, cueEnds = 0;
  for (int t = 0; t < 4; ++t) {
    const std::vector<MfiEventInfo>& events = r.tracks[static_cast<std::size_t>(t)].events;
    EXPECT_EQ(events.back().time, end) << "track " << t;
    for (const MfiEventInfo& e : events) {
      if (!e.extended) {
        ASSERT_GT(e.gate, 0) << "at " << e.offset;
        ASSERT_GT(e.velocity, 0) << "at " << e.offset;
        continue;
      }
      const int code = e.code;
      const bool tempo = (code & 0xF0) == 0xC0 && tempoTimebase(code) != 0;
      const bool partEvent = (code >= 0xE0 && code <= 0xE4) || code == 0xEA;
      ASSERT_TRUE(tempo || partEvent || code == 0xB0 || code == 0xD0 || code == 0xDE || code == 0xDF)
          << "code " << code << " at " << e.offset;
      if (partEvent) ++written[{t * 4 + (e.bytes[3] >> 6), code}];
      if (code == 0xB0) {
        ++masterVolumes;
        EXPECT_EQ(t, 0);
        EXPECT_EQ(e.time, 0u);
      }
      if (code == 0xD0) {
        ASSERT_LE(e.bytes[3], 1);
        if (e.bytes[3] == 0) {
          ++cueStarts;
          EXPECT_EQ(e.time, 0u);
        } else {
          ++cueEnds;
          EXPECT_EQ(e.time, end);
        }
      }
    }
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(masterVolumes, settings.masterVolumeSwitch == 1 ? 1 : 0);
  EXPECT_EQ(cueStarts, settings.loopSwitch == 1 ? 4 : 0);
  EXPECT_EQ(cueEnds, settings.loopSwitch == 1 ? 4 : 0);
}

TEST(HandsetStructure, GeneratedSongs) {
  for (std::uint32_t start = 1; start <= 12; ++start) {
    const GeneratedSong song = generateSong(3000 + 2500 * start, start, 1 + static_cast<int>(start % 15));
    checkStructure(song.bytes, handsetSettings(static_cast<int>(start % 2), static_cast<int>(start / 2 % 2)),
                   "start " + std::to_string(start));
  }
}

TEST(HandsetStructure, RealSongs) {
  const std::vector<std::string> paths = midiFiles({TONVELL_SONGS_DIR, TONVELL_SOURCE_DIR "/examples"});
  ASSERT_GE(paths.size(), 2u);
  for (const std::string& path : paths) {
    const Bytes midi = readFile(path);
    checkStructure(midi, handsetSettings(), path);
    TraceChannel trace;
    std::size_t traced = 0;
    trace.setSink([&](std::string_view b) { traced += b.size(); });
    EXPECT_EQ(handsetOf(midi, handsetSettings(), &trace), handsetOf(midi)) << path << ": the trace changes nothing";
    EXPECT_GT(traced, 0u);
    checkStructure(midi, handsetSettings(0, 0), path + " (no master volume, no loop)");
  }
}

TEST(HandsetStructure, EdgeCaseSuite) {
  // Every file the ring-tone conversion takes, the mode takes too.
  int taken = 0;
  for (const std::string& path : midiFiles({TONVELL_CORPUS_DIR})) {
    const Bytes midi = readFile(path);
    Bytes plain;
    if (convertBytes(midi, &plain) != result::kSuccess) continue;
    ++taken;
    checkStructure(midi, handsetSettings(), path);
  }
  if (taken == 0) GTEST_SKIP() << "no edge-case suite in " << TONVELL_CORPUS_DIR;
}

}  // namespace
}  // namespace tonvell::test

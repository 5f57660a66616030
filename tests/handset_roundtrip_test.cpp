// The handset mode heard back: a file written in the mode, decoded as a
// player reads it (mfi/decode.h), must give back what the MIDI file says:
// every note a part can sound at its time (within one MFi tick) with its key
// and velocity, every volume (CC7 x CC11 / 127), pan and modulation change
// within 2 of 127, every pitch bend within 256 of 16384 and every tempo
// within 1 %; and every note in seconds, each file by its own tempo map, within
// one MFi tick plus 0.25 % of the time elapsed (more only where no tempo the
// format can write comes that near: then that tempo's nearest pair's error).
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "mfi/decode.h"
#include "smf/events.h"
#include "support/song_generator.h"
#include "support/test_support.h"
#include "support/timed_track.h"

namespace tonvell::test {
namespace {

// What is compared, per channel (-1 for tempo).
enum Kind { kNoteOn, kVolume, kPan, kModulation, kBend, kTempo, kKinds };
const char* const kKindNames[kKinds] = {"notes", "volume changes", "pan changes", "modulation changes",
                                        "pitch-bend changes", "tempo changes"};

// A heard event: where, and its value (notes: key x 1000 + velocity;
// tempo: quarter notes per minute x 1000).
struct Heard {
  double time;  // in MFi ticks (48 per quarter note)
  int value;
};
using HeardMap = std::map<std::tuple<int, int, int>, std::vector<Heard>>;  // (kind, channel, key) -> events

// Everything of interest in a MIDI file, by the ordinary reading, each
// channel's events merged from every track in time order.
HeardMap heardIn(const Bytes& midi) {
  HeardMap heard;
  const SmfSong song = readSmfSong(midi);
  EXPECT_TRUE(song.ok) << song.error;
  struct Timed {
    std::int64_t tick;
    const SmfEvent* e;
  };
  std::vector<Timed> all;
  for (std::size_t t = 0; t < song.tracks.size(); ++t)
    for (const SmfEvent& e : song.tracks[t]) all.push_back({e.tick, &e});
  std::stable_sort(all.begin(), all.end(), [](const Timed& a, const Timed& b) { return a.tick < b.tick; });

  int volume[16], expression[16];
  std::fill(std::begin(volume), std::end(volume), 100);
  std::fill(std::begin(expression), std::end(expression), 127);
  for (const Timed& t : all) {
    const SmfEvent& e = *t.e;
    const double time = static_cast<double>(t.tick) * 48.0 / song.division;
    if (e.status == 0xFF && e.metaType == 0x51) {
      const int micros = tempoOf(e, midi);
      if (micros > 0) heard[{kTempo, -1, 0}].push_back({time, static_cast<int>(std::lround(6e10 / micros))});
      continue;
    }
    if (!e.isChannelEvent()) continue;
    const int ch = e.channel();
    if (e.kind() == 0x90 && e.data2 > 0) {
      heard[{kNoteOn, ch, e.data1}].push_back({time, e.data2});
    } else if (e.kind() == 0xB0 && (e.data1 == 7 || e.data1 == 11)) {
      (e.data1 == 7 ? volume : expression)[ch] = e.data2;
      heard[{kVolume, ch, 0}].push_back({time, volume[ch] * expression[ch] / 127});
    } else if (e.kind() == 0xB0 && e.data1 == 10) {
      heard[{kPan, ch, 0}].push_back({time, e.data2});
    } else if (e.kind() == 0xB0 && e.data1 == 1) {
      heard[{kModulation, ch, 0}].push_back({time, e.data2});
    } else if (e.kind() == 0xE0) {
      heard[{kBend, ch, 0}].push_back({time, e.data1 | (e.data2 << 7)});
    }
  }
  for (auto& [key, events] : heard)
    std::stable_sort(events.begin(), events.end(), [](const Heard& a, const Heard& b) { return a.time < b.time; });
  return heard;
}

bool inReach(int channel, int key) { return channel == 9 ? key >= 35 && key <= 81 : key >= 21 && key <= 119; }

struct Tally {
  long found[kKinds] = {};
  long total[kKinds] = {};
  std::string firstMiss;
};

// Counts the events of `source` that `decoded` gives back within the
// tolerances, and describes the first that it does not.
void compare(const HeardMap& source, const HeardMap& decoded, Tally& tally, const std::string& what) {
  for (const auto& [key, events] : source) {
    const auto [kind, channel, midiKey] = key;
    if (kind == kNoteOn && !inReach(channel, midiKey)) continue;
    const auto it = decoded.find(key);
    for (const Heard& want : events) {
      ++tally.total[kind];
      bool found = false;
      if (it != decoded.end()) {
        const std::vector<Heard>& got = it->second;
        auto at = std::lower_bound(got.begin(), got.end(), want.time - 1.0,
                                   [](const Heard& h, double t) { return h.time < t; });
        for (; !found && at != got.end() && at->time <= want.time + 1.0; ++at) {
          switch (kind) {
            case kNoteOn:
            case kVolume:
            case kPan:
            case kModulation: found = std::abs(at->value - want.value) <= 2; break;
            case kBend: found = std::abs(at->value - want.value) < 256; break;
            case kTempo: found = std::abs(at->value - want.value) <= want.value / 100; break;
          }
        }
      }
      if (found) {
        ++tally.found[kind];
      } else if (tally.firstMiss.empty()) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: %s of channel %d (key %d) at %.2f, value %d, not heard", what.c_str(),
                      kKindNames[kind], channel, midiKey, want.time, want.value);
        tally.firstMiss = text;
      }
    }
  }
}

// How far the nearest tick any (timebase, value) pair writes lies from the
// tick of `micros` at 48 per quarter note, relative to it: every pair tried.
double nearestPairError(int micros) {
  static const int kTimebases[] = {6, 12, 24, 48, 96, 192, 384, 15, 30, 60, 120, 240, 480, 960};
  const double wanted = micros / 48.0;
  double best = 1e9;
  for (const int timebase : kTimebases)
    for (int value = 1; value <= 255; ++value)
      best = std::min(best, std::abs(6e7 / (timebase * value) - wanted) / wanted);
  return best;
}

// The tempo map of a file, every track's tempo events in time order.
std::vector<std::pair<std::int64_t, int>> tempoMap(const SmfSong& song, const Bytes& midi) {
  std::vector<std::pair<std::int64_t, int>> map;
  for (const auto& events : song.tracks)
    for (const SmfEvent& e : events)
      if (e.status == 0xFF && e.metaType == 0x51 && tempoOf(e, midi) > 0) map.emplace_back(e.tick, tempoOf(e, midi));
  std::stable_sort(map.begin(), map.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return map;
}

// Each (channel, key)'s sounding notes: (seconds, seconds per MFi tick
// there) in time order. Keys as the handset sounds them: moved by octaves
// into 21..119; drum keys no part sounds left out.
std::map<std::pair<int, int>, std::vector<std::pair<double, double>>> noteSeconds(const Bytes& midi) {
  const SmfSong song = readSmfSong(midi);
  const auto map = tempoMap(song, midi);
  std::map<std::pair<int, int>, std::vector<std::pair<double, double>>> notes;
  for (const auto& events : song.tracks)
    for (const SmfEvent& e : events) {
      if (!e.isChannelEvent() || e.kind() != 0x90 || e.data2 == 0) continue;
      int key = e.data1;
      if (e.channel() == 9 && (key < 35 || key > 81)) continue;
      while (key > 119) key -= 12;
      while (key < 21) key += 12;
      auto at = std::upper_bound(map.begin(), map.end(), e.tick, [](std::int64_t t, const auto& m) { return t < m.first; });
      const int micros = at == map.begin() ? 500000 : std::prev(at)->second;
      notes[{e.channel(), key}].emplace_back(ticksToSeconds(e.tick, map, song.division), micros / 48e6);
    }
  for (auto& [channel, list] : notes) std::sort(list.begin(), list.end());
  return notes;
}

struct SecondsTally {
  long notes = 0;
  long late = 0;          // beyond the tolerance
  double worst = 0;       // the largest |heard - written| in seconds
  double worstShare = 0;  // the largest share of its tolerance
  std::string firstLate;
};

// Every sounding note of `midi` heard in `decoded` at its time in seconds:
// the nearest note of its key on its channel (a long note is heard as a chain
// of pieces, each a note of its own) within one MFi tick there plus the
// allowed drift. A tempo change between two MFi ticks has to move to one of
// them, and the notes after it move with it by up to half the tick before
// it: with such changes, the tick allowed is the longest one so far.
void compareSeconds(const Bytes& midi, const Bytes& decoded, SecondsTally& tally, const std::string& what) {
  const SmfSong song = readSmfSong(midi);
  const auto map = tempoMap(song, midi);
  const auto want = noteSeconds(midi);
  const auto got = noteSeconds(decoded);
  // The drift allowed: 0.25 % of the time elapsed, or the song's farthest
  // nearest pair's error when that is larger.
  double rate = 0.0025;
  std::map<int, bool> seen;
  for (const auto& [tick, micros] : map)
    if (seen.emplace(micros, true).second) rate = std::max(rate, nearestPairError(micros));
  bool betweenTicks = false;
  for (const auto& [tick, micros] : map) betweenTicks = betweenTicks || tick * 48 % song.division != 0;
  std::vector<std::pair<double, double>> longestTick;  // (seconds, the longest tick up to there)
  if (betweenTicks) {
    const SmfSong heard = readSmfSong(decoded);
    const auto heardMap = tempoMap(heard, decoded);
    longestTick.emplace_back(0.0, 500000 / 48e6);
    for (const auto& [tick, micros] : heardMap)
      longestTick.emplace_back(ticksToSeconds(tick, heardMap, 48), std::max(longestTick.back().second, micros / 48e6));
  }
  for (const auto& [key, notes] : want) {
    const auto it = got.find(key);
    for (const auto& [time, unused] : notes) {
      ++tally.notes;
      double off = 1e9, tick = 0, heardAt = -1;
      if (it != got.end()) {
        const auto& heard = it->second;
        auto at = std::lower_bound(heard.begin(), heard.end(), std::make_pair(time, 0.0));
        for (auto n : {at, at == heard.begin() ? at : std::prev(at)})
          if (n != heard.end() && std::abs(n->first - time) < off) {
            off = std::abs(n->first - time);
            tick = n->second;
            heardAt = n->first;
          }
      }
      if (betweenTicks) {
        const auto upTo = std::upper_bound(longestTick.begin(), longestTick.end(), std::make_pair(heardAt, 1e9));
        tick = std::max(tick, std::prev(upTo)->second);
      }
      const double tolerance = tick + rate * time;
      tally.worst = std::max(tally.worst, off);
      tally.worstShare = std::max(tally.worstShare, off / tolerance);
      if (off > tolerance && tally.late++ == 0) {
        char text[200];
        std::snprintf(text, sizeof text, "%s: channel %d key %d at %.4f s heard at %.4f s (tolerance %.4f s)",
                      what.c_str(), key.first, key.second, time, heardAt, tolerance);
        tally.firstLate = text;
      }
    }
  }
}

// Decodes the handset-mode file of `midi` and compares.
void roundTrip(const Bytes& midi, Tally& tally, const std::string& what, SecondsTally* seconds = nullptr) {
  ConverterSettings s;
  s.handsetSwitch = 1;
  Bytes mfi;
  ASSERT_EQ(convertBytes(midi, &mfi, s), result::kSuccess) << what;
  const DecodedMfi decoded = decodeMfi(mfi);
  ASSERT_TRUE(decoded.ok) << what << ": " << decoded.error;
  EXPECT_EQ(decoded.skippedEvents, 0) << what << ": nothing disputed is written";
  EXPECT_EQ(decoded.silentNotes, 0) << what;
  compare(heardIn(midi), heardIn(decoded.midi), tally, what);
  if (seconds) compareSeconds(midi, decoded.midi, *seconds, what);
}

void expectAllHeard(const Tally& tally) {
  for (int k = 0; k < kKinds; ++k)
    EXPECT_EQ(tally.found[k], tally.total[k]) << kKindNames[k] << "; " << tally.firstMiss;
}

void expectOnTime(const SecondsTally& seconds) {
  EXPECT_EQ(seconds.late, 0) << seconds.firstLate;
  std::printf("%ld notes in seconds: worst %.1f ms off, %.0f %% of its tolerance\n", seconds.notes,
              seconds.worst * 1000, seconds.worstShare * 100);
}

std::string figures(const Tally& tally) {
  std::string text;
  for (int k = 0; k < kKinds; ++k)
    text += std::string(k ? ", " : "") + std::to_string(tally.found[k]) + " of " + std::to_string(tally.total[k]) +
            " " + kKindNames[k];
  return text;
}

// ---------------------------------------------------------------------------

Bytes tempo(int perMinute) {
  const int micros = 60000000 / perMinute;
  return {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(micros >> 16), static_cast<std::uint8_t>(micros >> 8),
          static_cast<std::uint8_t>(micros)};
}

TEST(HandsetRoundTrip, EdgesOfEveryRange) {
  // Division 7, so that almost no time scales exactly; every key on channel 2
  // and the drum channel; channel 2 split over two tracks; tempos from 5 to
  // 3000 per minute; controllers over their whole ranges; notes longer than
  // a gate byte.
  std::vector<At> conductor, melodic, drums, split;
  const int tempos[] = {120, 5, 19, 20, 255, 256, 300, 1000, 3000, 61};
  for (int i = 0; i < 10; ++i) conductor.push_back({static_cast<std::uint32_t>(i * 100), tempo(tempos[i])});
  std::uint32_t tick = 0;
  for (int key = 0; key < 128; ++key, tick += 5) {
    (key % 3 == 0 ? split : melodic).push_back({tick, {0x92, static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(1 + key % 127)}});
    (key % 3 == 0 ? split : melodic).push_back({tick + 3, {0x82, static_cast<std::uint8_t>(key), 0}});
    drums.push_back({tick, {0x99, static_cast<std::uint8_t>(key), 100}});
    drums.push_back({tick + 2, {0x89, static_cast<std::uint8_t>(key), 0}});
  }
  for (int v = 0; v < 128; v += 3, tick += 2) {
    const auto b = static_cast<std::uint8_t>(v);
    melodic.push_back({tick, {0xB2, 7, b}});
    melodic.push_back({tick, {0xB2, 11, static_cast<std::uint8_t>(127 - v)}});
    melodic.push_back({tick + 1, {0xB2, 10, b}});
    melodic.push_back({tick + 1, {0xB2, 1, b}});
    melodic.push_back({tick + 1, {0xE2, static_cast<std::uint8_t>(v), b}});
  }
  melodic.push_back({tick, {0x92, 60, 127}});
  melodic.push_back({tick + 500, {0x82, 60, 0}});
  const Bytes midi = concat({smfHeader(1, 4, 7), timedTrack(conductor, tick + 600), timedTrack(melodic, tick + 600),
                             timedTrack(split, tick), timedTrack(drums, tick)});
  Tally tally;
  SecondsTally seconds;
  roundTrip(midi, tally, "edges", &seconds);
  expectAllHeard(tally);
  expectOnTime(seconds);
  EXPECT_EQ(tally.total[kNoteOn], 99 + 47 + 1);
  EXPECT_EQ(tally.total[kTempo], 10);
}

TEST(HandsetRoundTrip, GeneratedSongs) {
  Tally tally;
  SecondsTally seconds;
  for (std::uint32_t start = 1; start <= 10; ++start) {
    const GeneratedSong song = generateSong(4000 + 3000 * start, start, 2 + static_cast<int>(start % 12));
    roundTrip(song.bytes, tally, "start " + std::to_string(start), &seconds);
  }
  expectAllHeard(tally);
  expectOnTime(seconds);
  EXPECT_GT(tally.total[kNoteOn], 1000);
}

Bytes tempoMicros(int micros) {
  return {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(micros >> 16), static_cast<std::uint8_t>(micros >> 8),
          static_cast<std::uint8_t>(micros)};
}

TEST(HandsetRoundTrip, NotesOnTimeInSecondsAtAnyTempo) {
  // Songs of a few minutes at tempos from 20 to 5,000 per minute, most of
  // which no pair writes exactly (and the ones of the slowest drift before):
  // one tempo, a few, or 240 changes, on beats or anywhere between ticks, at
  // divisions that scale to 48 exactly or not.
  const int fixed[] = {640000, 3428571, 624187, 199667, 60000};  // 93.75, 17.5, 96.125, 300.5, 1000 per minute
  std::mt19937 random(20);
  Tally tally;
  SecondsTally seconds;
  for (int song = 0; song < 16; ++song) {
    const int divisions[] = {480, 96, 7, 1000, 384};
    const int division = divisions[song % 5];
    const int changes = song < 5 ? 1 : song % 3 == 0 ? 240 : 1 + static_cast<int>(random() % 12);
    const std::uint32_t length = static_cast<std::uint32_t>(division) * 600;
    std::vector<At> conductor, notes;
    for (int c = 0; c < changes; ++c) {
      std::uint32_t tick = 0;
      if (c > 0) {
        tick = static_cast<std::uint32_t>(random() % length);
        if (song % 2 == 0) tick -= tick % static_cast<std::uint32_t>(division);  // on a beat
      }
      const double perMinute = 20 * std::pow(250.0, std::uniform_real_distribution<double>(0, 1)(random));
      const int micros = song < 5 && c == 0 ? fixed[song] : static_cast<int>(6e7 / perMinute);
      conductor.push_back({tick, tempoMicros(micros)});
    }
    std::stable_sort(conductor.begin(), conductor.end(), [](const At& a, const At& b) { return a.tick < b.tick; });
    for (std::uint32_t tick = 0; tick < length; tick += 1 + static_cast<std::uint32_t>(random() % division)) {
      const auto key = static_cast<std::uint8_t>(40 + random() % 60);
      notes.push_back({tick, {0x90, key, 100}});
      notes.push_back({tick + 1, {0x80, key, 0}});
    }
    const Bytes midi = concat({smfHeader(1, 2, division), timedTrack(conductor, length + 1),
                               timedTrack(notes, length + 1)});
    roundTrip(midi, tally, "song " + std::to_string(song), &seconds);
  }
  expectAllHeard(tally);
  expectOnTime(seconds);
  EXPECT_GT(seconds.notes, 5000);
}

std::vector<std::string> midiFiles(const char* folder) { return test::midiFilesIn(folder); }

TEST(HandsetRoundTrip, EdgeCaseSuite) {
  // The files of the suite that the ring-tone conversion takes.
  Tally tally;
  SecondsTally seconds;
  for (const std::string& path : midiFiles(TONVELL_CORPUS_DIR)) {
    const Bytes midi = readFile(path);
    Bytes plain;
    if (convertBytes(midi, &plain) == result::kSuccess) roundTrip(midi, tally, path, &seconds);
  }
  if (tally.total[kNoteOn] == 0) GTEST_SKIP() << "no edge-case suite in " << TONVELL_CORPUS_DIR;
  expectAllHeard(tally);
  expectOnTime(seconds);
}

TEST(HandsetRoundTrip, RealSongs) {
  const std::vector<std::string> paths = midiFiles(TONVELL_SONGS_DIR);
  ASSERT_GE(paths.size(), 20u) << "run scripts/fetch-songs.sh " << TONVELL_SONGS_DIR;
  Tally tally;
  SecondsTally seconds;
  for (const std::string& path : paths) roundTrip(readFile(path), tally, path, &seconds);
  expectAllHeard(tally);
  expectOnTime(seconds);
  std::printf("%zu songs: %s\n", paths.size(), figures(tally).c_str());
}

}  // namespace
}  // namespace tonvell::test

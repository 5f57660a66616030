#include "convert/check.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

#include "convert/pipeline.h"
#include "convert/strings.h"
#include "mfi/decode.h"
#include "smf/events.h"

namespace tonvell {

namespace {

constexpr int kDrumChannel = 9;
constexpr double kMatchWindow = 96;   // MFi ticks around where a note is expected: two quarter notes
constexpr double kMovedMs = 1.0;      // a note further away than this has moved
constexpr int kHeardTolerance = 2;    // of 127
constexpr double kTempoTolerance = 0.01;

// Controllers compared, by what the ear gets: volume and expression as one
// level, the others as they are.
enum Lane { kLevel, kPan, kModulation, kBend, kLanes };

using TempoMap = std::vector<std::pair<std::int64_t, int>>;

struct Note {
  double at = 0;  // MFi ticks from the start (fractional for the MIDI file's own)
  double seconds = 0;
  int key = 0;
  std::int64_t tick = 0, offTick = 0;  // the decoded file's own ticks
  bool matched = false;
};

struct Change {
  double at = 0;
  int lane = 0;
  int value = 0;  // 0..127
};

struct Song {
  SmfSong smf;
  TempoMap tempos;
  double scale = 1;  // MFi ticks per tick of the file
  std::array<std::vector<Note>, 16> notes;
  // The MIDI file's own controller events, with the value each lane then has.
  std::array<std::vector<Change>, 16> changes;
};

Song readSong(std::span<const std::uint8_t> bytes) {
  Song s;
  s.smf = readSmfSong(bytes);
  if (!s.smf.ok) return s;
  s.scale = 48.0 / s.smf.division;
  for (const auto& track : s.smf.tracks)
    for (const SmfEvent& e : track)
      if (e.status == 0xFF && e.metaType == 0x51 && tempoOf(e, bytes) > 0) s.tempos.emplace_back(e.tick, tempoOf(e, bytes));
  std::stable_sort(s.tempos.begin(), s.tempos.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  // Volume and expression of a channel may stand in different tracks: the
  // level is worked out once they are in time order.
  struct LevelEvent {
    double at;
    bool volume;
    int value;
  };
  std::array<std::vector<LevelEvent>, 16> levels;
  for (const auto& track : s.smf.tracks) {
    std::map<std::pair<int, int>, std::size_t> sounding;  // channel, key -> note
    for (const SmfEvent& e : track) {
      if (!e.isChannelEvent()) continue;
      const int c = e.channel();
      const double at = static_cast<double>(e.tick) * s.scale;
      auto& notes = s.notes[static_cast<std::size_t>(c)];
      auto& changes = s.changes[static_cast<std::size_t>(c)];
      const bool on = e.kind() == 0x90 && e.data2 > 0;
      if (e.kind() == 0x80 || (e.kind() == 0x90 && e.data2 == 0)) {
        if (auto it = sounding.find({c, e.data1}); it != sounding.end()) {
          notes[it->second].offTick = e.tick;
          sounding.erase(it);
        }
      } else if (on) {
        Note n;
        n.at = at;
        n.seconds = ticksToSeconds(e.tick, s.tempos, s.smf.division);
        n.key = e.data1;
        n.tick = n.offTick = e.tick;
        sounding[{c, e.data1}] = notes.size();
        notes.push_back(n);
      } else if (e.kind() == 0xB0 && (e.data1 == 7 || e.data1 == 11)) {
        levels[static_cast<std::size_t>(c)].push_back({at, e.data1 == 7, e.data2});
      } else if (e.kind() == 0xB0 && e.data1 == 10) {
        changes.push_back({at, kPan, e.data2});
      } else if (e.kind() == 0xB0 && e.data1 == 1) {
        changes.push_back({at, kModulation, e.data2});
      } else if (e.kind() == 0xE0) {
        changes.push_back({at, kBend, e.data2});  // the upper seven of the fourteen bits
      }
    }
  }
  for (std::size_t c = 0; c < 16; ++c) {
    std::stable_sort(levels[c].begin(), levels[c].end(),
                     [](const LevelEvent& a, const LevelEvent& b) { return a.at < b.at; });
    int volume = 100, expression = 127;
    for (const LevelEvent& l : levels[c]) {
      (l.volume ? volume : expression) = l.value;
      s.changes[c].push_back({l.at, kLevel, volume * expression / 127});
    }
  }
  for (auto& notes : s.notes)
    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
      return a.at != b.at ? a.at < b.at : a.key < b.key;
    });
  for (auto& changes : s.changes) {
    std::stable_sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.at < b.at; });
    // A change that another change of its lane replaces within the same MFi
    // tick is never heard, on a handset or anywhere: only the last counts.
    std::vector<Change> heard;
    for (std::size_t i = 0; i < changes.size(); ++i) {
      bool replaced = false;
      for (std::size_t j = i + 1; j < changes.size() && std::floor(changes[j].at + 0.5) == std::floor(changes[i].at + 0.5); ++j)
        replaced = replaced || changes[j].lane == changes[i].lane;
      if (!replaced) heard.push_back(changes[i]);
    }
    changes = std::move(heard);
  }
  return s;
}

// Keys a handset can sound: melodic keys 45..107 and, with the octave
// shift, 21..119; on the drum channel the General MIDI percussion keys
// 35..81 only (a shifted drum key names no instrument a handset has).
bool inReach(int channel, int key) {
  return channel == kDrumChannel ? key >= 35 && key <= 81 : key >= 21 && key <= 119;
}

// The unmatched decoded note nearest to `at` within the window, of `key`
// (or of any key when key < 0: then the nearest in time, then in pitch).
Note* nearest(std::vector<Note>& notes, double at, int key, int wantedKey) {
  Note* best = nullptr;
  auto first = std::lower_bound(notes.begin(), notes.end(), at - kMatchWindow,
                                [](const Note& n, double v) { return n.at < v; });
  for (auto it = first; it != notes.end() && it->at <= at + kMatchWindow; ++it) {
    if (it->matched || (key >= 0 && it->key != key)) continue;
    if (!best) {
      best = &*it;
      continue;
    }
    const double d = std::abs(it->at - at), bd = std::abs(best->at - at);
    if (d < bd || (d == bd && std::abs(it->key - wantedKey) < std::abs(best->key - wantedKey))) best = &*it;
  }
  return best;
}

void compareNotes(int c, std::vector<Note>& original, std::vector<Note>& decoded, ChannelCheck& out) {
  out.notes = static_cast<int>(original.size());
  // Each channel drifts on its own (the conversion rounds each delta); where
  // a note is expected follows where the last one was found.
  std::vector<double> expected(original.size());
  std::vector<Note*> heard(original.size(), nullptr);
  double drift = 0;
  for (std::size_t i = 0; i < original.size(); ++i) {
    expected[i] = original[i].at + drift;
    if (Note* d = nearest(decoded, expected[i], original[i].key, original[i].key)) {
      d->matched = true;
      heard[i] = d;
      drift = d->at - original[i].at;
      ++out.kept;
    }
  }
  // What became of the rest: another key near where it belonged, or nothing.
  for (std::size_t i = 0; i < original.size(); ++i) {
    const bool reach = inReach(c, original[i].key);
    if (heard[i]) {
    } else if (Note* d = nearest(decoded, expected[i], -1, original[i].key)) {
      d->matched = true;
      heard[i] = d;
      ++(reach ? out.lostOtherKey : out.outOfReachOtherKey);
    } else if (!reach) {
      ++out.outOfReachDropped;
    }
    if (!reach && heard[i] && heard[i]->key == original[i].key) continue;  // an octave shift brought it in
    if (!reach) ++out.outOfReach;
    else if (!heard[i] || heard[i]->key != original[i].key) ++out.lost;
  }
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (!heard[i]) continue;
    const double shift = std::abs(heard[i]->seconds - original[i].seconds) * 1000.0;
    if (shift > kMovedMs) ++out.moved;
    out.largestShiftMs = std::max(out.largestShiftMs, shift);
  }
}

// The value each lane of a channel has in the decoded file at MFi tick `at`.
struct DecodedLanes {
  // Per lane: (tick, value) in order.
  std::array<std::vector<std::pair<std::int64_t, int>>, kLanes> lanes;
  int at(int lane, double tick) const {
    static constexpr int kDefaults[kLanes] = {100, 64, 0, 64};
    const auto& l = lanes[static_cast<std::size_t>(lane)];
    auto it = std::upper_bound(l.begin(), l.end(), static_cast<std::int64_t>(std::floor(tick + 0.5)),
                               [](std::int64_t v, const auto& p) { return v < p.first; });
    return it == l.begin() ? kDefaults[lane] : std::prev(it)->second;
  }
};

std::array<DecodedLanes, 16> decodedLanes(const SmfSong& song) {
  std::array<DecodedLanes, 16> out;
  for (const auto& track : song.tracks) {
    std::array<int, 16> volume, expression;
    volume.fill(100);
    expression.fill(127);
    for (const SmfEvent& e : track) {
      if (!e.isChannelEvent()) continue;
      const std::size_t c = static_cast<std::size_t>(e.channel());
      auto& lanes = out[c].lanes;
      if (e.kind() == 0xB0 && (e.data1 == 7 || e.data1 == 11)) {
        (e.data1 == 7 ? volume : expression)[c] = e.data2;
        lanes[kLevel].emplace_back(e.tick, volume[c] * expression[c] / 127);
      } else if (e.kind() == 0xB0 && e.data1 == 10) {
        lanes[kPan].emplace_back(e.tick, e.data2);
      } else if (e.kind() == 0xB0 && e.data1 == 1) {
        lanes[kModulation].emplace_back(e.tick, e.data2);
      } else if (e.kind() == 0xE0) {
        lanes[kBend].emplace_back(e.tick, e.data2);
      }
    }
  }
  return out;
}

// Most notes sounding at once among `notes` (note-offs first at a tick).
int polyphony(const std::vector<const Note*>& notes) {
  std::vector<std::pair<std::int64_t, int>> steps;
  for (const Note* n : notes) {
    steps.emplace_back(n->tick, +1);
    steps.emplace_back(n->offTick, -1);
  }
  std::sort(steps.begin(), steps.end());
  int now = 0, most = 0;
  for (const auto& s : steps) most = std::max(most, now += s.second);
  return most;
}

void addTo(ChannelCheck& total, const ChannelCheck& c) {
  total.notes += c.notes;
  total.kept += c.kept;
  total.moved += c.moved;
  total.largestShiftMs = std::max(total.largestShiftMs, c.largestShiftMs);
  total.outOfReach += c.outOfReach;
  total.outOfReachOtherKey += c.outOfReachOtherKey;
  total.outOfReachDropped += c.outOfReachDropped;
  total.lost += c.lost;
  total.lostOtherKey += c.lostOtherKey;
  total.controllerChanges += c.controllerChanges;
  total.misheard += c.misheard;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

CheckReport checkConversion(std::span<const std::uint8_t> midi, const ConversionOptions& options, CalendarDate date) {
  CheckReport r;
  const ConversionResult converted = convertMidi(midi, options, date);
  if (converted.code != result::kSuccess) {
    r.error = "cannot be converted (" + std::to_string(static_cast<int>(converted.code)) + "): " +
              trimmed(loadString(static_cast<int>(converted.code)));
    return r;
  }
  const DecodedMfi decoded = decodeMfi(converted.mfi);
  if (!decoded.ok) {
    r.error = "the ring tone cannot be read back: " + decoded.error;
    return r;
  }
  Song original = readSong(midi);
  if (!original.smf.ok) {
    r.error = "the MIDI file cannot be read: " + original.smf.error;
    return r;
  }
  Song heard = readSong(decoded.midi);
  r.outputBytes = converted.mfi.size();
  r.seconds = decoded.seconds;
  r.skippedEvents = decoded.skippedEvents;

  const std::array<DecodedLanes, 16> lanes = decodedLanes(heard.smf);
  for (int c = 0; c < 16; ++c) {
    const std::size_t ci = static_cast<std::size_t>(c);
    ChannelCheck check;
    check.channel = c;
    compareNotes(c, original.notes[ci], heard.notes[ci], check);
    for (const Change& change : original.changes[ci]) {
      ++check.controllerChanges;
      if (std::abs(lanes[ci].at(change.lane, change.at) - change.value) > kHeardTolerance) ++check.misheard;
    }
    if (check.notes == 0 && check.controllerChanges == 0) continue;
    addTo(r.total, check);
    r.channels.push_back(check);
  }

  // A tempo change is lost when the ring tone does not play at it (within
  // 1 %) where it belongs.
  for (const auto& [tick, micros] : original.tempos) {
    ++r.tempoChanges;
    const double at = static_cast<double>(tick) * original.scale;
    int inForce = 500000;
    for (const auto& [t, m] : heard.tempos)
      if (static_cast<double>(t) <= std::floor(at + 0.5)) inForce = m;
    if (std::abs(static_cast<double>(inForce) - micros) > kTempoTolerance * micros) ++r.tempoChangesLost;
  }

  std::vector<const Note*> all;
  for (int t = 0; t < 4; ++t) {
    std::vector<const Note*> track;
    for (int c = t * 4; c < t * 4 + 4; ++c)
      for (const Note& n : heard.notes[static_cast<std::size_t>(c)]) track.push_back(&n);
    r.trackPolyphony[static_cast<std::size_t>(t)] = polyphony(track);
    all.insert(all.end(), track.begin(), track.end());
  }
  r.polyphony = polyphony(all);
  r.ok = true;
  return r;
}

}  // namespace tonvell

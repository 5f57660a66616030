#include "convert/check.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <utility>

#include "convert/pipeline.h"
#include "convert/strings.h"
#include "mfi/decode.h"
#include "mfi/handset.h"
#include "smf/events.h"

namespace tonvell {

namespace {

constexpr int kDrumChannel = 9;
constexpr double kMatchWindow = 96;   // MFi ticks around where a note is expected: two quarter notes
constexpr int kHeardTolerance = 2;    // of 127
constexpr int kMfiTicksPerQuarter = 48;
constexpr double kDefaultTickSeconds = 0.5 / kMfiTicksPerQuarter;  // 120 per minute, before any tempo

// Controllers compared, by what the ear gets: volume and expression as one
// level, the others as they are.
enum Lane { kLevel, kPan, kModulation, kBend, kLanes };
constexpr const char* kLaneNames[kLanes] = {"level", "pan", "modulation", "pitch bend"};

// Seconds from the start of a song at any tick: steps of (tick, length of a
// tick in seconds), the last of a tick winning.
class Timeline {
 public:
  Timeline() : Timeline({}, kDefaultTickSeconds) {}
  Timeline(const std::vector<std::pair<std::int64_t, double>>& steps, double first) {
    steps_.push_back({0, 0, first});
    for (const auto& [tick, length] : steps) {
      Step& last = steps_.back();
      if (tick <= last.tick) {
        last.perTick = length;
        continue;
      }
      steps_.push_back({tick, last.seconds + static_cast<double>(tick - last.tick) * last.perTick, length});
    }
  }
  double seconds(double tick) const {
    const Step& s = at(tick);
    return s.seconds + (tick - static_cast<double>(s.tick)) * s.perTick;
  }
  double tickSeconds(double tick) const { return at(tick).perTick; }

 private:
  struct Step {
    std::int64_t tick;
    double seconds;  // at `tick`
    double perTick;
  };
  const Step& at(double tick) const {
    auto it = std::upper_bound(steps_.begin(), steps_.end(), tick,
                               [](double t, const Step& s) { return t < static_cast<double>(s.tick); });
    return it == steps_.begin() ? steps_.front() : *std::prev(it);
  }
  std::vector<Step> steps_;
};

using TempoMap = std::vector<std::pair<std::int64_t, int>>;

struct Note {
  double at = 0;  // MFi ticks from the start (fractional for the MIDI file's own)
  double seconds = 0, endSeconds = 0;
  int key = 0;
  std::int64_t tick = 0, offTick = 0;  // the decoded file's own ticks
  bool matched = false;
};

struct Change {
  double at = 0;
  std::int64_t tick = 0;  // the file's own
  int lane = 0;
  int value = 0;  // 0..127
};

struct Song {
  SmfSong smf;
  TempoMap tempos;
  double scale = 1;  // MFi ticks per tick of the file
  Timeline time;     // by the file's own ticks
  std::array<std::vector<Note>, 16> notes;
  // The MIDI file's own controller events, with the value each lane then has.
  std::array<std::vector<Change>, 16> changes;
};

// `time`, when given, replaces the file's own tempo map (the ring tone's
// exact one for its decoded MIDI file).
Song readSong(std::span<const std::uint8_t> bytes, const Timeline* time = nullptr) {
  Song s;
  s.smf = readSmfSong(bytes);
  if (!s.smf.ok) return s;
  s.scale = 48.0 / s.smf.division;
  for (const auto& track : s.smf.tracks)
    for (const SmfEvent& e : track)
      if (e.status == 0xFF && e.metaType == 0x51 && tempoOf(e, bytes) > 0) s.tempos.emplace_back(e.tick, tempoOf(e, bytes));
  std::stable_sort(s.tempos.begin(), s.tempos.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<std::int64_t, double>> steps;
  for (const auto& [tick, micros] : s.tempos) steps.emplace_back(tick, micros / 1e6 / s.smf.division);
  s.time = time ? *time : Timeline(steps, 0.5 / s.smf.division);

  // Volume and expression of a channel may stand in different tracks: the
  // level is worked out once they are in time order.
  struct LevelEvent {
    double at;
    std::int64_t tick;
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
          notes[it->second].endSeconds = s.time.seconds(static_cast<double>(e.tick));
          sounding.erase(it);
        }
      } else if (on) {
        Note n;
        n.at = at;
        n.seconds = n.endSeconds = s.time.seconds(static_cast<double>(e.tick));
        n.key = e.data1;
        n.tick = n.offTick = e.tick;
        sounding[{c, e.data1}] = notes.size();
        notes.push_back(n);
      } else if (e.kind() == 0xB0 && (e.data1 == 7 || e.data1 == 11)) {
        levels[static_cast<std::size_t>(c)].push_back({at, e.tick, e.data1 == 7, e.data2});
      } else if (e.kind() == 0xB0 && e.data1 == 10) {
        changes.push_back({at, e.tick, kPan, e.data2});
      } else if (e.kind() == 0xB0 && e.data1 == 1) {
        changes.push_back({at, e.tick, kModulation, e.data2});
      } else if (e.kind() == 0xE0) {
        changes.push_back({at, e.tick, kBend, e.data2});  // the upper seven of the fourteen bits
      }
    }
  }
  for (std::size_t c = 0; c < 16; ++c) {
    std::stable_sort(levels[c].begin(), levels[c].end(),
                     [](const LevelEvent& a, const LevelEvent& b) { return a.at < b.at; });
    int volume = 100, expression = 127;
    for (const LevelEvent& l : levels[c]) {
      (l.volume ? volume : expression) = l.value;
      s.changes[c].push_back({l.at, l.tick, kLevel, volume * expression / 127});
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

void compareNotes(int c, std::vector<Note>& original, std::vector<Note>& decoded, const Timeline& heardTime,
                  double driftAllowance, ChannelCheck& out, std::vector<CheckedNote>& fates) {
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
    const Note& n = original[i];
    const bool reach = inReach(c, n.key);
    if (heard[i]) {
    } else if (Note* d = nearest(decoded, expected[i], -1, n.key)) {
      d->matched = true;
      heard[i] = d;
      ++(reach ? out.lostOtherKey : out.outOfReachOtherKey);
    } else if (!reach) {
      ++out.outOfReachDropped;
    }
    CheckedNote fate{c, n.key, n.seconds, n.endSeconds, -1, NoteFate::kAsWritten};
    if (heard[i]) {
      // Where a listener hears it, against where it belongs, each by its own
      // tempo map.
      const double shift = heard[i]->seconds - n.seconds;
      if (std::abs(shift) * 1000.0 > out.largestShiftMs) {
        out.largestShiftMs = std::abs(shift) * 1000.0;
        out.largestShiftSeconds = shift;
        out.largestShiftAt = n.seconds;
      }
      if (heard[i]->key == n.key) {  // an octave shift may have brought it in
        fate.heardAt = heard[i]->seconds;
        const double allowance = heardTime.tickSeconds(static_cast<double>(heard[i]->tick)) + driftAllowance * n.seconds;
        if (std::abs(shift) > allowance * (1 + 1e-9)) {
          fate.fate = NoteFate::kMoved;
          ++out.moved;
        }
        fates.push_back(fate);
        continue;
      }
    }
    if (!reach) {
      fate.fate = NoteFate::kOutOfReach;
      ++out.outOfReach;
      if (c == kDrumChannel) ++out.outOfReachDrums;
    } else {
      fate.fate = NoteFate::kLost;
      ++out.lost;
    }
    fates.push_back(fate);
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
  if (c.largestShiftMs > total.largestShiftMs) {
    total.largestShiftMs = c.largestShiftMs;
    total.largestShiftSeconds = c.largestShiftSeconds;
    total.largestShiftAt = c.largestShiftAt;
  }
  total.outOfReach += c.outOfReach;
  total.outOfReachDrums += c.outOfReachDrums;
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

double tempoAllowance(int micros) {
  if (micros <= 0) return kDriftAllowance;
  const HandsetTempo nearest = handsetTempo(micros);
  const double tick = micros / 1e6 / 48, writable = 60.0 / (nearest.timebase * nearest.value);
  return std::max(kDriftAllowance, std::abs(writable - tick) / tick);
}

std::vector<CheckProblem> CheckReport::problems() const {
  std::vector<CheckProblem> found;
  if (total.lost > 0) found.push_back(CheckProblem::kLost);
  if (total.moved > 0) found.push_back(CheckProblem::kMoved);
  if (total.misheard > 0) found.push_back(CheckProblem::kControllersMisheard);
  if (tempoChangesMisheard > 0) found.push_back(CheckProblem::kTemposMisheard);
  if (total.outOfReachDrums > 0) found.push_back(CheckProblem::kDrumKeysOutsideKit);
  if (total.outOfReach > total.outOfReachDrums) found.push_back(CheckProblem::kKeysOutOfRange);
  return found;
}

const char* problemName(CheckProblem problem) {
  switch (problem) {
    case CheckProblem::kLost: return "notes lost";
    case CheckProblem::kMoved: return "notes moved";
    case CheckProblem::kControllersMisheard: return "controller changes misheard";
    case CheckProblem::kTemposMisheard: return "tempo changes misheard";
    case CheckProblem::kDrumKeysOutsideKit: return "drum keys outside the kit";
    case CheckProblem::kKeysOutOfRange: return "keys out of range";
  }
  return "";
}

const char* problemId(CheckProblem problem) {
  switch (problem) {
    case CheckProblem::kLost: return "lost";
    case CheckProblem::kMoved: return "moved";
    case CheckProblem::kControllersMisheard: return "controllersMisheard";
    case CheckProblem::kTemposMisheard: return "temposMisheard";
    case CheckProblem::kDrumKeysOutsideKit: return "drumKeysOutsideKit";
    case CheckProblem::kKeysOutOfRange: return "keysOutOfRange";
  }
  return "";
}

CheckReport checkConversion(std::span<const std::uint8_t> midi, const ConversionOptions& options, CalendarDate date) {
  const ConversionResult converted = convertMidi(midi, options, date);
  if (converted.code != result::kSuccess) {
    CheckReport r;
    r.error = "cannot be converted (" + std::to_string(static_cast<int>(converted.code)) + "): " +
              trimmed(loadString(static_cast<int>(converted.code)));
    return r;
  }
  return compareWithRingTone(midi, converted.mfi);
}

CheckReport compareWithRingTone(std::span<const std::uint8_t> midi, std::span<const std::uint8_t> mfi) {
  CheckReport r;
  const DecodedMfi decoded = decodeMfi(mfi);
  if (!decoded.ok) {
    r.error = "the ring tone cannot be read back: " + decoded.error;
    return r;
  }
  Song original = readSong(midi);
  if (!original.smf.ok) {
    r.error = "the MIDI file cannot be read: " + original.smf.error;
    return r;
  }
  std::vector<std::pair<std::int64_t, double>> steps;
  for (const DecodedTempo& t : decoded.tempos) steps.emplace_back(t.tick, t.tickSeconds());
  const Timeline heardTime(steps, kDefaultTickSeconds);
  Song heard = readSong(decoded.midi, &heardTime);
  r.outputBytes = mfi.size();
  r.seconds = decoded.seconds;
  r.skippedEvents = decoded.skippedEvents;

  double driftAllowance = kDriftAllowance;
  for (const auto& tempo : original.tempos) driftAllowance = std::max(driftAllowance, tempoAllowance(tempo.second));

  const std::array<DecodedLanes, 16> lanes = decodedLanes(heard.smf);
  for (int c = 0; c < 16; ++c) {
    const std::size_t ci = static_cast<std::size_t>(c);
    ChannelCheck check;
    check.channel = c;
    compareNotes(c, original.notes[ci], heard.notes[ci], heardTime, driftAllowance, check, r.notes);
    for (const Change& change : original.changes[ci]) {
      ++check.controllerChanges;
      const int value = lanes[ci].at(change.lane, change.at);
      if (std::abs(value - change.value) <= kHeardTolerance) continue;
      ++check.misheard;
      r.misheardChanges.push_back({original.time.seconds(static_cast<double>(change.tick)), c,
                                   kLaneNames[change.lane], static_cast<double>(change.value),
                                   static_cast<double>(value)});
    }
    if (check.notes == 0 && check.controllerChanges == 0) continue;
    addTo(r.total, check);
    r.channels.push_back(check);
  }

  // A tempo change is misheard when the ring tone does not play at it
  // (within the allowance) where it belongs. Of changes that fall on one
  // MFi tick only the last is ever in force.
  for (std::size_t i = 0; i < original.tempos.size(); ++i) {
    const auto [tick, micros] = original.tempos[i];
    const double at = std::floor(static_cast<double>(tick) * original.scale + 0.5);
    if (i + 1 < original.tempos.size() &&
        std::floor(static_cast<double>(original.tempos[i + 1].first) * original.scale + 0.5) == at)
      continue;
    ++r.tempoChanges;
    const double written = micros / 1e6, heardQuarter = heardTime.tickSeconds(at) * kMfiTicksPerQuarter;
    if (std::abs(heardQuarter - written) <= tempoAllowance(micros) * written * (1 + 1e-9)) continue;
    ++r.tempoChangesMisheard;
    r.misheardChanges.push_back({original.time.seconds(static_cast<double>(tick)), -1, "tempo", 60 / written,
                                 60 / heardQuarter});
  }
  std::stable_sort(r.misheardChanges.begin(), r.misheardChanges.end(),
                   [](const MisheardChange& a, const MisheardChange& b) { return a.seconds < b.seconds; });

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

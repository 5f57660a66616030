#include "audio/performance.h"

#include <algorithm>
#include <set>
#include <utility>

#include "smf/events.h"

namespace tonvell::audio {

namespace {

struct Placed {
  std::int64_t tick;
  std::size_t track;
  std::size_t index;
  const SmfEvent* event;
};

bool isMasterVolume(const SmfEvent& e, std::span<const std::uint8_t> midi) {
  if (e.status != 0xF0 || e.payloadLength != 7) return false;
  const std::uint8_t* p = midi.data() + e.payloadOffset;
  return p[0] == 0x7F && p[2] == 0x04 && p[3] == 0x01 && p[6] == 0xF7;
}

}  // namespace

Performance buildPerformance(std::span<const std::uint8_t> midi, LoopRange loop, int passes) {
  Performance out;
  const SmfSong song = readSmfSong(midi);
  if (!song.ok) {
    out.error = song.error;
    return out;
  }

  // Every track's events on one time line; at one tick the earlier track
  // first (the tempo track leads), and each track's own order kept.
  std::vector<Placed> placed;
  std::int64_t songEnd = 0;
  for (std::size_t t = 0; t < song.tracks.size(); ++t)
    for (std::size_t i = 0; i < song.tracks[t].size(); ++i) {
      const SmfEvent& e = song.tracks[t][i];
      placed.push_back({e.tick, t, i, &e});
      songEnd = std::max(songEnd, e.tick);
    }
  std::stable_sort(placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
    if (a.tick != b.tick) return a.tick < b.tick;
    return a.track < b.track;
  });

  const std::int64_t loopStart = std::max<std::int64_t>(loop.start, 0);
  const std::int64_t loopEnd = loop.end > loopStart ? std::min(loop.end, songEnd) : songEnd;
  if (loopEnd <= loopStart) passes = 1;
  passes = std::max(passes, 1);

  double seconds = 0;
  std::int64_t at = 0;  // the tick `seconds` stands for
  int tempo = 500000;
  auto advance = [&](std::int64_t tick) {
    seconds += static_cast<double>(tick - at) * tempo / 1e6 / song.division;
    at = tick;
  };
  std::set<std::pair<int, int>> sounding;  // channel, key

  for (int pass = 0; pass < passes; ++pass) {
    const bool last = pass == passes - 1;
    const std::int64_t from = pass == 0 ? 0 : loopStart;
    const std::int64_t to = last ? songEnd + 1 : loopEnd;  // exclusive
    if (pass > 0) at = loopStart;
    for (const Placed& p : placed) {
      if (p.tick < from || p.tick >= to) continue;
      const SmfEvent& e = *p.event;
      advance(p.tick);
      TimedEvent te;
      te.seconds = seconds;
      te.channel = e.channel();
      te.data1 = e.data1;
      te.data2 = e.data2;
      if (e.status == 0xFF && e.metaType == 0x51) {
        const int micros = tempoOf(e, midi);
        if (micros > 0) tempo = micros;
        continue;
      }
      if (isMasterVolume(e, midi)) {
        te.kind = EventKind::kMasterVolume;
        te.channel = 0;
        te.data1 = midi[e.payloadOffset + 5];
        te.data2 = 0;
        out.events.push_back(te);
        continue;
      }
      if (!e.isChannelEvent()) continue;
      switch (e.kind()) {
        case 0x90:
          if (e.data2 != 0) {
            te.kind = EventKind::kNoteOn;
            sounding.emplace(te.channel, te.data1);
            break;
          }
          [[fallthrough]];
        case 0x80:
          te.kind = EventKind::kNoteOff;
          te.data2 = 0;
          sounding.erase({te.channel, te.data1});
          break;
        case 0xB0: te.kind = EventKind::kControl; break;
        case 0xC0: te.kind = EventKind::kProgram; break;
        case 0xE0:
          te.kind = EventKind::kPitchBend;
          te.data1 = e.data1 | (e.data2 << 7);
          te.data2 = 0;
          break;
        default: continue;
      }
      out.events.push_back(te);
    }
    advance(last ? songEnd : loopEnd);
    if (!last) {
      for (const auto& [channel, key] : sounding)
        out.events.push_back({seconds, EventKind::kNoteOff, channel, key, 0});
      sounding.clear();
    }
  }
  out.seconds = seconds;
  out.ok = true;
  return out;
}

}  // namespace tonvell::audio

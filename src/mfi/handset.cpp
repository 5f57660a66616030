#include "mfi/handset.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/radix_sort.h"
#include "mfi/assemble.h"
#include "mfi/output.h"
#include "mfi/translate.h"
#include "smf/events.h"

namespace tonvell {

namespace {

constexpr int kHeaderTextTracks = 16;  // where the ring-tone conversion looks for the header texts
constexpr int kDefaultMicros = 500000;  // what a MIDI file without a tempo plays at: 120 per minute
constexpr int kMaxMicros = 0xFFFFFF;    // the largest tempo three bytes hold
// A quarter note lasts `micros` microseconds; the tick of 48 per quarter note
// is that over 48, and a tick of timebase x value lasts 60 / (timebase x value)
// seconds: the two are the same when micros x timebase x value equals this.
constexpr std::int64_t kSameTick = std::int64_t{60000000} * mfi::kTicksPerQuarter;

// Which code to prefer among equally close ones: the powers of two outwards
// from 48, then the others.
constexpr int kTimebasePreference[] = {3, 4, 2, 5, 1, 6, 0, 10, 9, 11, 8, 12, 13, 14};

// What an event came from, for its trace line.
enum class Origin : std::uint8_t {
  kNote, kNotePiece, kVolume, kPan, kBend, kModulation, kBank, kProgram, kTempo, kMasterVolume, kCueStart, kCueEnd
};

// One MFi event at its absolute time, before the deltas are known.
struct Planned {
  std::int64_t time = 0;     // MFi ticks from the song's start
  int group = 0;             // -1: the song's own events (first at a time), else the part 0..3
  std::uint32_t order = 0;   // planning order, which keeps the MIDI file's order at equal times
  std::uint8_t bytes[3] = {};  // what follows the delta
  Origin origin = Origin::kNote;
  int from[3] = {};          // the MIDI values it was made from (trace only)
};

// SMF ticks to MFi ticks, to the nearest tick, from the song's start: the
// rounding never adds up along the song.
std::int64_t toMfiTime(std::int64_t tick, int division) {
  return (tick * 48 + division / 2) / division;
}

struct TimedEvent {
  std::int64_t tick;
  const SmfEvent* event;
};

// The events of every track that satisfy `take`, in time order; at equal
// times by track, then by their order in the track.
template <typename Take>
std::vector<TimedEvent> mergeTracks(const SmfSong& song, int tracks, Take take) {
  std::vector<TimedEvent> merged;
  for (int t = 0; t < tracks; ++t)
    for (const SmfEvent& e : song.tracks[static_cast<std::size_t>(t)])
      if (take(e)) merged.push_back({e.tick, &e});
  std::stable_sort(merged.begin(), merged.end(),
                   [](const TimedEvent& a, const TimedEvent& b) { return a.tick < b.tick; });
  return merged;
}

class Planner {
 public:
  Planner(PassContext& pass, const SmfSong& song, std::span<const std::uint8_t> input)
      : pass_(pass), song_(song), input_(input),
        tracks_(static_cast<int>(song.tracks.size())),
        budget_(pass.ws.bufferCapacity / 4) {}

  // False when the events cannot fit the work buffer.
  bool plan() {
    std::int64_t lastTick = 0;
    for (int t = 0; t < tracks_; ++t)
      if (!song_.tracks[static_cast<std::size_t>(t)].empty())
        lastTick = std::max(lastTick, song_.tracks[static_cast<std::size_t>(t)].back().tick);
    end_ = mfiTime(lastTick);

    planSongEvents();
    for (int ch = 0; ch < 16; ++ch)
      if (!planChannel(ch)) return false;
    for (auto& track : tracks) {
      // By time, then group, then planning order: two stable sorts, the
      // second keeping the first's order among its equals. Times are never
      // negative.
      stableSortByKey(track, [](const Planned& p) { return std::uint64_t{p.order}; });
      stableSortByKey(track, [](const Planned& p) {
        return (static_cast<std::uint64_t>(p.time) << 3) | static_cast<std::uint64_t>(p.group + 1);
      });
      if (!track.empty()) end_ = std::max(end_, track.back().time);
    }
    return true;
  }

  std::int64_t end() const { return end_; }
  std::vector<Planned> tracks[4];

 private:
  std::int64_t mfiTime(std::int64_t tick) const { return toMfiTime(tick, song_.division); }

  Planned& add(int track, std::int64_t time, int group, Origin origin, int b0, int b1, int b2) {
    assert(time >= 0);  // the order's key (plan()) takes it as unsigned
    Planned p;
    p.time = time;
    p.group = group;
    p.order = order_++;
    p.bytes[0] = static_cast<std::uint8_t>(b0);
    p.bytes[1] = static_cast<std::uint8_t>(b1);
    p.bytes[2] = static_cast<std::uint8_t>(b2);
    p.origin = origin;
    ++planned_;
    return tracks[track].emplace_back(p);
  }
  Planned& addExtended(int channel, std::int64_t tick, Origin origin, int code, int value) {
    const int part = channel % 4;
    return add(channel / 4, mfiTime(tick), part, origin, 0xFF, code, (part << 6) | (value & 0x3F));
  }

  // Master volume, the cue starts and every tempo change: the events of no
  // part, first at their time.
  void planSongEvents() {
    const ConversionOptions& o = pass_.options;
    if (o.masterVolumeSwitch == 1)
      add(0, 0, -1, Origin::kMasterVolume, 0xFF, mfi::kMasterVolume, std::clamp(o.masterVolume, 0, 127));
    if (o.loopSwitch == 1)
      for (int t = 0; t < 4; ++t) add(t, 0, -1, Origin::kCueStart, 0xFF, mfi::kCue, mfi::kCueStart);

    struct Change {
      std::int64_t tick;
      int micros;
    };
    std::vector<Change> changes;
    for (const TimedEvent& t :
         mergeTracks(song_, tracks_, [](const SmfEvent& e) { return e.status == 0xFF && e.metaType == 0x51; })) {
      const int micros = tempoOf(*t.event, input_);
      if (micros > 0) changes.push_back({t.tick, micros});  // no tempo at all: ignored, as a cut-off one
    }
    if (changes.empty() || changes.front().tick != 0) {
      TONVELL_TRACE(pass_.trace, "◎开头没有速度，按 %d 写入\n", 60000000 / kDefaultMicros);
      changes.insert(changes.begin(), {0, kDefaultMicros});
    }

    // Each change goes to the MFi tick before or after its exact place (the
    // same tick when it falls on one): to the one where the song's time in
    // seconds, from there on, stays nearer to the MIDI file's. So the places
    // rounded to ticks do not add up along the song; what remains is each
    // tempo's own difference from the nearest pair written.
    const double division = song_.division;
    double midiSeconds = 0;    // at the change in hand, by the MIDI file's tempos
    std::int64_t midiAt = 0;
    int midiMicros = kDefaultMicros;
    double mfiSeconds = 0;     // at mfiAt, by the tempos written so far
    std::int64_t mfiAt = 0;
    double mfiTick = 0;        // seconds per tick of the last tempo written
    for (const Change& c : changes) {
      midiSeconds += static_cast<double>(c.tick - midiAt) * midiMicros / 1e6 / division;
      midiAt = c.tick;
      midiMicros = c.micros;
      const HandsetTempo tempo = handsetTempo(c.micros);
      const double tick = 60.0 / (tempo.timebase * tempo.value);
      const double exact = static_cast<double>(c.tick) * mfi::kTicksPerQuarter / division;
      const std::int64_t below = std::max(mfiAt, c.tick * mfi::kTicksPerQuarter / song_.division);
      const std::int64_t above = std::max(mfiAt, (c.tick * mfi::kTicksPerQuarter + song_.division - 1) / song_.division);
      const auto error = [&](std::int64_t at) {
        return std::abs(mfiSeconds + static_cast<double>(at - mfiAt) * mfiTick + (exact - static_cast<double>(at)) * tick -
                        midiSeconds);
      };
      std::int64_t at = std::clamp(mfiTime(c.tick), below, above);
      if (below != above) {
        const double belowError = error(below);
        const double aboveError = error(above);
        if (belowError < aboveError - 1e-12) at = below;
        else if (aboveError < belowError - 1e-12) at = above;
      }
      mfiSeconds += static_cast<double>(at - mfiAt) * mfiTick;
      mfiAt = at;
      mfiTick = tick;
      Planned& p = add(0, at, -1, Origin::kTempo, 0xFF, tempo.code, tempo.value);
      p.from[0] = c.micros;
      p.from[1] = tempo.timebase;
    }
  }

  // One channel's events from every track, in time order.
  bool planChannel(int channel) {
    const std::vector<TimedEvent> events = mergeTracks(
        song_, tracks_, [channel](const SmfEvent& e) { return e.isChannelEvent() && e.channel() == channel; });
    if (events.empty()) return true;

    struct Note {
      std::int64_t start;
      std::int64_t end = -1;
      std::uint32_t order;
      HandsetKey key;
      int midiKey;
      int velocity;
    };
    std::vector<Note> notes;
    std::array<std::vector<std::size_t>, 128> sounding;  // notes each key's next end will end
    int volume = 100;
    int expression = 127;
    const int track = channel / 4;

    for (const TimedEvent& t : events) {
      const SmfEvent& e = *t.event;
      switch (e.kind()) {
        case 0x80:
        case 0x90:
          if (e.kind() == 0x90 && e.data2 != 0) {
            const HandsetKey key = handsetKey(channel, e.data1);
            if (!key.sounds) {
              TONVELL_TRACE(pass_.trace, "★声道 %d 的打击乐键 %d 超过发音范围，已省略 (时间 %lld)\n", channel,
                            e.data1, static_cast<long long>(t.tick));
              break;
            }
            if (key.key != e.data1)
              TONVELL_TRACE(pass_.trace, "★声道 %d 的键 %d 超过发音范围，按八度移到 %d (时间 %lld)\n", channel,
                            e.data1, key.key, static_cast<long long>(t.tick));
            sounding[e.data1].push_back(notes.size());
            notes.push_back({t.tick, -1, order_++, key, e.data1, e.data2});
          } else {
            for (const std::size_t n : sounding[e.data1]) notes[n].end = t.tick;
            sounding[e.data1].clear();
          }
          break;
        case 0xB0:
          switch (e.data1) {
            case 1:
              addExtended(channel, t.tick, Origin::kModulation, mfi::kModulation, e.data2 >> 1).from[0] = e.data2;
              break;
            case 7:
            case 11: {
              (e.data1 == 7 ? volume : expression) = e.data2;
              const int effective = volume * expression / 127;
              Planned& p = addExtended(channel, t.tick, Origin::kVolume, mfi::kVolume, effective >> 1);
              p.from[0] = volume;
              p.from[1] = expression;
              p.from[2] = effective;
              break;
            }
            case 10:
              addExtended(channel, t.tick, Origin::kPan, mfi::kPanpot, e.data2 >> 1).from[0] = e.data2;
              break;
            default:
              break;
          }
          break;
        case 0xC0:
          addExtended(channel, t.tick, Origin::kBank, mfi::kProgramBank, (e.data1 >> 6) + 2).from[0] = e.data1;
          addExtended(channel, t.tick, Origin::kProgram, mfi::kProgramChange, e.data1 & 0x3F).from[0] = e.data1;
          break;
        case 0xE0: {
          const int bend = e.data1 | (e.data2 << 7);
          addExtended(channel, t.tick, Origin::kBend, mfi::kPitchbend, bend >> 8).from[0] = bend;
          break;
        }
        default:
          break;
      }
    }

    // A note that nothing ends sounds to the song's end. Each becomes one
    // note event, or a chain of them when its gate passes 255: pieces 254
    // ticks apart, each but the last with gate 255 (so each overlaps the
    // next by one tick), together covering the whole gate.
    const int part = channel % 4;
    for (const Note& n : notes) {
      const std::int64_t start = mfiTime(n.start);
      const std::int64_t gate = std::max<std::int64_t>(1, (n.end < 0 ? end_ : mfiTime(n.end)) - start);
      const std::int64_t pieces = gate <= 255 ? 0 : (gate - 2) / 254;
      if (pieces > budget_ - planned_) return false;
      const int velocityBits = (std::max(1, n.velocity >> 1) << 2) | n.key.shiftBits;
      const int noteByte = (part << 6) | n.key.note;
      for (std::int64_t i = 0; i <= pieces; ++i) {
        const int pieceGate = i < pieces ? 255 : static_cast<int>(gate - 254 * pieces);
        Planned& p = add(track, start + 254 * i, part, i == 0 ? Origin::kNote : Origin::kNotePiece, noteByte,
                         pieceGate, velocityBits);
        p.order = n.order;
        p.from[0] = n.midiKey;
        p.from[1] = n.velocity;
        p.from[2] = n.key.key;
      }
    }
    return planned_ <= budget_;
  }

  PassContext& pass_;
  const SmfSong& song_;
  std::span<const std::uint8_t> input_;
  int tracks_;
  std::int64_t budget_;      // events that fit the work buffer at 4 bytes each
  std::int64_t planned_ = 0;
  std::uint32_t order_ = 0;
  std::int64_t end_ = 0;
};

const char* shiftText(int bits) {
  switch (bits) {
    case 1: return " +12";
    case 2: return " -24";
    case 3: return " -12";
    default: return "";
  }
}

void traceEvent(const TraceChannel& trace, int delta, const Planned& p, int channel) {
  if (!trace.on()) return;
  const int value = p.bytes[2] & 0x3F;
  switch (p.origin) {
    case Origin::kNote:
    case Origin::kNotePiece: {
      TONVELL_TRACE(trace, "%6d | %02X,%02X,%02X  ; * ", delta, p.bytes[0], p.bytes[1], p.bytes[2]);
      trace.printf("%s", mfi::noteName(channel, p.bytes[0] & 0x3F));
      if (p.origin == Origin::kNotePiece) {
        TONVELL_TRACE(trace, " (续)\n");
        return;
      }
      TONVELL_TRACE(trace, " 键 %d", p.from[0]);
      if (p.from[2] != p.from[0]) TONVELL_TRACE(trace, "->%d", p.from[2]);
      TONVELL_TRACE(trace, "%s 力度 %d->%d\n", shiftText(p.bytes[2] & 3), p.from[1], p.bytes[2] >> 2);
      return;
    }
    case Origin::kVolume:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Volume %d*%d/127=%d -> %d\r\n", delta, p.bytes[1], p.bytes[2],
                    p.from[0], p.from[1], p.from[2], value);
      return;
    case Origin::kPan:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Panpot %d -> %d\r\n", delta, p.bytes[1], p.bytes[2], p.from[0],
                    value);
      return;
    case Origin::kBend:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Pitchbend_Change %d -> %d\r\n", delta, p.bytes[1], p.bytes[2],
                    p.from[0], value);
      return;
    case Origin::kModulation:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Modulation_Depth %d -> %d\r\n", delta, p.bytes[1], p.bytes[2],
                    p.from[0], value);
      return;
    case Origin::kBank:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Program_Bank\r\n", delta, p.bytes[1], p.bytes[2]);
      return;
    case Origin::kProgram:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Program_Change %d\r\n", delta, p.bytes[1], p.bytes[2], p.from[0]);
      return;
    case Origin::kTempo: {
      // Quarter notes per minute to three decimals, without trailing zeros.
      const long long thousandths = std::llround(6e10 / p.from[0]);
      char perMinute[32];
      int n = std::snprintf(perMinute, sizeof perMinute, "%lld.%03lld", thousandths / 1000, thousandths % 1000);
      while (perMinute[n - 1] == '0') perMinute[--n] = '\0';
      if (perMinute[n - 1] == '.') perMinute[--n] = '\0';
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Tempo %s/min -> %d (timebase %d)\r\n", delta, p.bytes[1],
                    p.bytes[2], perMinute, p.bytes[2], p.from[1]);
      return;
    }
    case Origin::kMasterVolume:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Master_Volume\r\n", delta, p.bytes[1], p.bytes[2]);
      return;
    case Origin::kCueStart:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Cue_Start\r\n", delta, p.bytes[1], p.bytes[2]);
      return;
    case Origin::kCueEnd:
      TONVELL_TRACE(trace, "%6d | FF,%02X,%02X  ; --- Cue_End\r\n", delta, p.bytes[1], p.bytes[2]);
      return;
  }
}

// The sequence name (the first) and copyright (the last) where the
// ring-tone conversion finds them: the first track's events at its start,
// then every other track.
void takeHeaderTexts(const SmfSong& song, int tracks, std::span<const std::uint8_t> input, ConversionWorkspace& ws) {
  bool named = false;
  for (int t = 0; t < tracks; ++t) {
    for (const SmfEvent& e : song.tracks[static_cast<std::size_t>(t)]) {
      if (t == 0 && e.tick != 0) break;
      if (e.status != 0xFF || (e.metaType != 0x02 && e.metaType != 0x03)) continue;
      std::string text;
      for (std::uint32_t i = 0; i < e.payloadLength; ++i)
        if (const std::uint8_t b = input[e.payloadOffset + i]) text += static_cast<char>(b);
      if (e.metaType == 0x02) {
        ws.smfCopyright = std::move(text);
      } else if (!named) {
        ws.smfSequenceName = std::move(text);
        named = true;
      }
    }
  }
}

}  // namespace

HandsetTempo handsetTempo(int micros) {
  const std::int64_t m = std::clamp(micros, 1, kMaxMicros);
  // A tick of product P = timebase x value is off the wanted one by
  // |m x P - kSameTick| / (48 x P) microseconds: compared below as fractions.
  HandsetTempo best;
  std::int64_t bestOff = -1;
  std::int64_t bestProduct = 1;
  for (const int index : kTimebasePreference) {
    const int timebase = mfi::kTimebases[static_cast<std::size_t>(index)];
    const std::int64_t below = kSameTick / (m * timebase);
    for (const std::int64_t v : {below, below + 1}) {
      const std::int64_t value = std::clamp<std::int64_t>(v, mfi::kMinTempoValue, mfi::kMaxTempoValue);
      const std::int64_t product = value * timebase;
      const std::int64_t off = std::llabs(m * product - kSameTick);
      if (bestOff < 0 || off * bestProduct < bestOff * product) {
        best = {mfi::kTempoFirst + index, static_cast<int>(value), timebase};
        bestOff = off;
        bestProduct = product;
      }
    }
  }
  return best;
}

HandsetKey handsetKey(int channel, int key) {
  HandsetKey k;
  if (channel == mfi::kDrumChannel) {
    if (key < 35 || key > 81) return k;
    k.sounds = true;
    k.note = key - 35;
    k.key = key;
    return k;
  }
  // 21..119 can be reached with the shift bits; beyond, whole octaves in.
  while (key > 119) key -= 12;
  while (key < 21) key += 12;
  k.sounds = true;
  k.key = key;
  if (key >= 108) {
    k.note = key - 57;
    k.shiftBits = 1;
  } else if (key >= 45) {
    k.note = key - 45;
  } else if (key >= 33) {
    k.note = key - 33;
    k.shiftBits = 3;
  } else {
    k.note = key - 21;
    k.shiftBits = 2;
  }
  return k;
}

ConvertResult writeHandsetMfi(PassContext& pass, std::span<const std::uint8_t> input) {
  ConversionWorkspace& ws = pass.ws;
  const TraceChannel& trace = pass.trace;
  const SmfSong song = readSmfSong(input);
  if (!song.ok) return result::kNotMidi;
  ws.division = song.division;
  const int tracks = std::min<int>(kHeaderTextTracks, static_cast<int>(song.tracks.size()));

  TONVELL_TRACE(trace, "■按手机播放规格转换 (时间按 48/四分音符取整，数值减半并带部件号)\n");
  trace.separator();
  Planner planner(pass, song, input);
  if (!planner.plan()) return result::kNoMemory;
  takeHeaderTexts(song, tracks, input, ws);

  ws.writeBase = ws.bufferB.get();
  ws.writeLength = 0;
  const ConvertResult header = writeMfiHeader(pass);
  if (header != result::kSuccess) return header;
  pass.progress.beginProgress(4, "MLD手机规格写入中");

  const std::int64_t end = planner.end();
  for (int t = 0; t < 4; ++t) {
    pass.progress.refreshWindow();
    TONVELL_TRACE(trace, "◎音轨:%d ◎事件数:%zu ◎结束时间:%lld\n", t, planner.tracks[t].size(),
                  static_cast<long long>(end));
    writeText(ws, "trac");
    const int lengthField = ws.writeLength;
    writeU32(ws, 0);
    std::vector<Planned>& events = planner.tracks[t];
    // Every track closes at the common end, after the cue end when the song loops.
    Planned close;
    close.time = end;
    close.bytes[0] = 0xFF;
    if (pass.options.loopSwitch == 1) {
      close.origin = Origin::kCueEnd;
      close.bytes[1] = mfi::kCue;
      close.bytes[2] = mfi::kCueEnd;
      events.push_back(close);
    }
    std::int64_t last = 0;
    for (const Planned& p : events) {
      const int d = fillLongDelta(pass, p.time - last);
      last = p.time;
      writeByte(ws, d);
      writeByte(ws, p.bytes[0]);
      writeByte(ws, p.bytes[1]);
      writeByte(ws, p.bytes[2]);
      traceEvent(trace, d, p, t * 4 + (p.group < 0 ? 0 : p.group));
      if (ws.overflow) return result::kNoMemory;
    }
    const int d = fillLongDelta(pass, end - last);
    writeByte(ws, d);
    writeByte(ws, 0xFF);
    writeByte(ws, mfi::kDataEnd);
    writeByte(ws, 0);
    TONVELL_TRACE(trace, "%6d | FF,DF,00  ; --- Data_End\r\n", d);
    if (ws.overflow) return result::kNoMemory;
    patchU32(ws, lengthField, static_cast<std::uint32_t>(ws.writeLength - lengthField - 4));
    pass.progress.stepProgress(1);
    trace.separator();
  }
  patchU32(ws, 4, static_cast<std::uint32_t>(ws.writeLength - 8));
  pass.progress.finishProgress();
  return result::kSuccess;
}

}  // namespace tonvell

#include "mfi/decode.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <set>
#include <span>
#include <utility>
#include <string_view>

#include "core/gbk.h"
#include "core/radix_sort.h"
#include "mfi/format.h"

namespace tonvell {

namespace {

// One MIDI tick of the MIDI file written is one MFi tick.
constexpr int kDivision = mfi::kTicksPerQuarter;
constexpr int kDefaultTempo = 500000;    // MIDI's, for a song without a tempo event
constexpr int kThreeByteVelocity = mfi::kMaxVelocity;  // 3-byte notes carry none: the loudest
constexpr int kStartVolume = 50;         // a part's volume before any E2: MIDI's default 100, halved

std::uint16_t readU16Be(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t readU32Be(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::string hexByte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return text;
}

// A track's MIDI events as they are read, and their order for the file.
// An event's bytes (status onwards) lie in one pool per track; its place is
// its tick, then its rank (note-offs first at a tick), then the order it
// came in. Events mostly come in order already; when they do not, a stable
// radix sort on (tick, rank) keeps the order they came in among equals.
class TrackBuilder {
 public:
  // rank 0: a note-off, first at its tick; 1: everything else.
  std::size_t add(std::int64_t tick, int rank, std::span<const std::uint8_t> bytes) {
    events_.push_back({keyOf(tick, rank), pool_.size(), static_cast<std::uint32_t>(bytes.size())});
    pool_.insert(pool_.end(), bytes.begin(), bytes.end());
    return events_.size() - 1;
  }
  std::size_t add(std::int64_t tick, int rank, std::initializer_list<std::uint8_t> bytes) {
    return add(tick, rank, std::span(bytes.begin(), bytes.size()));
  }
  std::int64_t tickOf(std::size_t i) const { return static_cast<std::int64_t>(events_[i].key >> 1); }
  void moveTo(std::size_t i, std::int64_t tick) { events_[i].key = keyOf(tick, static_cast<int>(events_[i].key & 1)); }
  bool empty() const { return events_.empty(); }
  std::int64_t lastTick() const {
    std::uint64_t last = 0;
    for (const Event& e : events_) last = std::max(last, e.key);
    return static_cast<std::int64_t>(last >> 1);
  }

  // "MTrk", length, the events in order, then the end of track at `endTick`.
  void writeTo(std::vector<std::uint8_t>& out, std::int64_t endTick) {
    stableSortByKey(events_, [](const Event& e) { return e.key; });
    const std::size_t lengthAt = out.size() + 4;
    out.reserve(out.size() + 8 + pool_.size() + 4 * events_.size() + 8);
    out.insert(out.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
    std::int64_t now = 0;
    for (const Event& e : events_) {
      const std::int64_t tick = static_cast<std::int64_t>(e.key >> 1);
      writeVarLen(out, tick - now);
      now = tick;
      out.insert(out.end(), pool_.begin() + static_cast<std::ptrdiff_t>(e.offset),
                 pool_.begin() + static_cast<std::ptrdiff_t>(e.offset + e.length));
    }
    writeVarLen(out, std::max<std::int64_t>(0, endTick - now));
    out.insert(out.end(), {0xFF, 0x2F, 0x00});
    const std::uint32_t length = static_cast<std::uint32_t>(out.size() - lengthAt - 4);
    for (int i = 0; i < 4; ++i) out[lengthAt + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  }

  // Deltas are capped at the largest 4-byte value; an MFi file would need
  // over a million NOPs in a row to reach it.
  static void writeVarLen(std::vector<std::uint8_t>& out, std::int64_t value) {
    std::uint32_t v = static_cast<std::uint32_t>(std::clamp<std::int64_t>(value, 0, 0x0FFFFFFF));
    std::uint8_t bytes[4];
    int n = 0;
    do {
      bytes[n++] = static_cast<std::uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n > 1) out.push_back(static_cast<std::uint8_t>(bytes[--n] | 0x80));
    out.push_back(bytes[0]);
  }

 private:
  struct Event {
    std::uint64_t key;  // tick x 2 + rank
    std::size_t offset;  // of the bytes in pool_
    std::uint32_t length;
  };

  // Ticks are never negative.
  static std::uint64_t keyOf(std::int64_t tick, int rank) {
    return (static_cast<std::uint64_t>(tick) << 1) | static_cast<std::uint64_t>(rank);
  }

  std::vector<Event> events_;
  std::vector<std::uint8_t> pool_;
};

std::vector<std::uint8_t> metaEvent(int type, std::string_view data) {
  std::vector<std::uint8_t> e{0xFF, static_cast<std::uint8_t>(type)};
  TrackBuilder::writeVarLen(e, static_cast<std::int64_t>(data.size()));
  e.insert(e.end(), data.begin(), data.end());
  return e;
}

class Decoder {
 public:
  Decoder(const std::uint8_t* data, std::size_t size, DecodedMfi& out) : data_(data), size_(size), r_(out) {
    bank_.fill(2);
    volume_.fill(kStartVolume);
  }

  // The counts of what was passed over, by name, into the result.
  void nameSkipped() {
    for (int kind = 0; kind < kSkipKinds; ++kind)
      for (unsigned byte = 0; byte < 256; ++byte)
        if (const int n = skipped_[static_cast<std::size_t>(kind)][byte]) r_.skipped[skipName(kind, byte)] += n;
  }

  bool run() {
    if (!readHeader()) return false;
    int track = 0;
    // After the header: "trac" chunks, and perhaps others (audio data and
    // the like), which are passed over.
    while (end_ - pos_ >= 8) {
      const std::uint8_t* id = data_ + pos_;
      const std::uint32_t length = readU32Be(id + 4);
      const std::size_t start = pos_;
      pos_ += 8;
      if (length > end_ - pos_)
        return fail(start + 4, "the \"" + printableId(id) + "\" chunk's length " + std::to_string(length) +
                                   " runs past the end of the file");
      if (std::memcmp(id, "trac", 4) == 0 && track < trackCount_) {
        if (!readTrack(track, pos_, pos_ + length)) return false;
        ++track;
      }
      pos_ += length;
    }
    finish();
    return true;
  }

 private:
  bool fail(std::size_t offset, std::string what) {
    r_.ok = false;
    r_.error = std::move(what) + " at offset " + std::to_string(offset);
    return false;
  }

  static std::string skipName(int kind, unsigned byte) {
    switch (kind) {
      case kInformation: return "FF " + hexByte(byte) + " information";
      case kKey63: return "note key 63";
      case kBank: return "FF E1 bank " + std::to_string(byte);
      case kCueKind: return "FF D0 " + hexByte(byte);
      case kLoopKind: return "FF DD " + hexByte(byte);
      case kBadTempo: return "FF " + hexByte(byte) + " invalid tempo";
      default: return "FF " + hexByte(byte);
    }
  }

  static std::string printableId(const std::uint8_t* p) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += p[i] >= 0x20 && p[i] < 0x7F ? static_cast<char>(p[i]) : '?';
    return s;
  }

  // "melo", the file length, the header length, two data-type bytes, the
  // track count, then information chunks (id, u16 length, data) up to the
  // header's end.
  bool readHeader() {
    if (size_ < 4 || std::memcmp(data_, "melo", 4) != 0) return fail(0, "not an MFi file: no \"melo\"");
    if (size_ < 13) return fail(size_, "the file ends inside its 13-byte header");
    const std::uint32_t fileLength = readU32Be(data_ + 4);
    if (fileLength > size_ - 8)
      return fail(4, "the length field promises " + std::to_string(fileLength) + " bytes after offset 8, only " +
                         std::to_string(size_ - 8) + " are there");
    end_ = 8 + static_cast<std::size_t>(fileLength);  // bytes past it are not the file's
    const std::size_t headerEnd = 10 + readU16Be(data_ + 8);
    if (headerEnd < 13 || headerEnd > end_)
      return fail(8, "the header length " + std::to_string(headerEnd - 10) + " does not fit the file");
    trackCount_ = data_[12];
    if (trackCount_ > mfi::kTracks) return fail(12, "the track count is " + std::to_string(trackCount_) + ", at most " + std::to_string(mfi::kTracks));
    pos_ = 13;
    while (pos_ < headerEnd) {
      if (headerEnd - pos_ < 6) return fail(pos_, "the header ends inside an information chunk's id and length");
      const std::uint8_t* id = data_ + pos_;
      const std::size_t length = readU16Be(id + 4);
      if (length > headerEnd - pos_ - 6)
        return fail(pos_ + 4, "the \"" + printableId(id) + "\" chunk's length " + std::to_string(length) +
                                  " runs past the header's end");
      const std::string_view body(reinterpret_cast<const char*>(id + 6), length);
      if (std::memcmp(id, "titl", 4) == 0) {
        r_.title = gbkToUtf8(body.substr(0, body.find('\0')));
      } else if (std::memcmp(id, "copy", 4) == 0) {
        r_.copyright = gbkToUtf8(body.substr(0, body.find('\0')));
      } else if (std::memcmp(id, "note", 4) == 0) {
        if (length != 2) return fail(pos_ + 4, "the \"note\" chunk's length is " + std::to_string(length) + ", expected 2");
        const int format = readU16Be(id + 6);
        if (format > 1)
          return fail(pos_ + 6, "the note format is " + std::to_string(format) + ", expected 0 (3-byte) or 1 (4-byte)");
        fourByteNotes_ = format == 1;
      }
      pos_ += 6 + length;
    }
    // The texts lead the first track, before anything timed.
    if (!r_.title.empty()) conductor_.add(0, 0, metaEvent(0x03, r_.title));
    if (!r_.copyright.empty()) conductor_.add(0, 0, metaEvent(0x02, r_.copyright));
    return true;
  }

  // What is passed over is counted by kind and byte here and named once, at
  // the end (names()): a hostile file may have an unknown event every 4 bytes.
  enum SkipKind { kInformation, kKey63, kBank, kCueKind, kLoopKind, kBadTempo, kUnknown, kSkipKinds };

  void skip(SkipKind kind, int byte) {
    ++r_.skippedEvents;
    ++skipped_[kind][static_cast<std::size_t>(byte & 0xFF)];
  }

  TrackBuilder& channel(int c) {
    r_.channelMask |= 1 << c;
    return channels_[static_cast<std::size_t>(c)];
  }

  void control(std::int64_t tick, int c, int controller, int value) {
    channel(c).add(tick, 1, {static_cast<std::uint8_t>(0xB0 | c), static_cast<std::uint8_t>(controller),
                             static_cast<std::uint8_t>(std::clamp(value, 0, 127))});
  }

  // Each track carries its own cue points; the song has one marker for all
  // that fall on the same tick.
  // `what`: 0 cue start, 1 cue end, 2 + the byte of a loop point.
  void marker(std::int64_t tick, int what) {
    if (!markers_.emplace(tick, what).second) return;
    std::string text;
    if (what < 2) {
      text = what == 0 ? "cue start" : "cue end";
    } else {
      const int value = what - 2;
      const int count = (value >> 2) & 0x0F;
      text = "loop " + std::to_string(value >> 6) + ((value & 3) == 0 ? " start, " : " end, ") +
             (count == 0 ? std::string("forever") : std::to_string(count) + " times");
    }
    conductor_.add(tick, 1, metaEvent(0x06, text));
  }

  bool readTrack(int track, std::size_t at, std::size_t end) {
    const std::string name = "track " + std::to_string(track);
    const std::size_t noteSize = fourByteNotes_ ? 4 : 3;
    std::int64_t tick = 0;
    while (at < end) {
      const std::size_t start = at;
      tick += data_[at];
      if (end - at < 2) return fail(start, "the events of " + name + " end inside an event");
      if (data_[at + 1] != 0xFF) {
        if (end - at < noteSize) return fail(start, "the events of " + name + " end inside a note");
        note(track, tick, data_ + at + 1);
        at += noteSize;
        continue;
      }
      if (end - at < 4) return fail(start, "the events of " + name + " end inside an event");
      const int code = data_[at + 2];
      const int value = data_[at + 3];
      if (code >= mfi::kInformationFirst) {
        // FF Fx hh ll: the length is the two bytes after the code.
        if (end - at < 5) return fail(start, "the events of " + name + " end inside an information event");
        const std::size_t length = readU16Be(data_ + at + 3);
        if (length > end - at - 5)
          return fail(start, "the information event of " + name + " runs past the track's end");
        skip(kInformation, code);
        at += 5 + length;
        continue;
      }
      at += 4;
      if (code == mfi::kDataEnd) {
        trackEnd_ = std::max(trackEnd_, tick);
        return true;  // players read no further
      }
      extended(tick, track, code, value);
    }
    trackEnd_ = std::max(trackEnd_, tick);
    return true;
  }

  // ss gg [vv]: part, key, gate, velocity with the octave shift.
  void note(int track, std::int64_t tick, const std::uint8_t* p) {
    const int c = track * 4 + (p[0] >> 6);
    const int key = p[0] & 0x3F;
    if (key == mfi::kNotAKey) {
      skip(kKey63, 0);
      return;
    }
    const int gate = p[1];
    const int velocity = fourByteNotes_ ? p[2] >> 2 : kThreeByteVelocity;
    const int shift = fourByteNotes_ ? mfi::kOctaveShift[p[2] & 3] : 0;
    const int midiKey = std::clamp(key + (c == mfi::kDrumChannel ? mfi::kDrumLowKey : mfi::kMelodicLowKey) + shift, 0, 127);
    noteEnd_ = std::max(noteEnd_, tick + gate);
    if (velocity == 0 || gate == 0) {
      ++r_.silentNotes;
      return;
    }
    TrackBuilder& t = channel(c);
    // A note struck again while it still sounds ends where it is struck again,
    // so that its note-off does not cut the new one short.
    auto& sounding = soundingOff_[static_cast<std::size_t>(c)][static_cast<std::size_t>(midiKey)];
    if (sounding.second && t.tickOf(sounding.first) > tick) t.moveTo(sounding.first, tick);
    t.add(tick, 1, {static_cast<std::uint8_t>(0x90 | c), static_cast<std::uint8_t>(midiKey),
                    static_cast<std::uint8_t>(2 * velocity)});
    sounding = {t.add(tick + gate, 0, {static_cast<std::uint8_t>(0x80 | c), static_cast<std::uint8_t>(midiKey), 0}),
                true};
  }

  // E6 read as a relative level change in excess-32: k - 32 added to the
  // part's volume (0..63), which then plays as MIDI volume 2 x volume. Players
  // differ here (two's complement, or an absolute expression); this is the
  // reading the decoder takes.
  void levelChangeExcess32(std::int64_t tick, int c, int k) {
    int& v = volume_[static_cast<std::size_t>(c)];
    v = std::clamp(v + (k - 32), 0, 63);
    control(tick, c, 7, 2 * v);
  }

  void extended(std::int64_t tick, int track, int code, int value) {
    const int c = track * 4 + (value >> 6);
    const int k = value & 0x3F;
    switch (code) {
      case mfi::kNop:
        return;
      case mfi::kProgramBank:
        if (k != 2 && k != 3) return skip(kBank, k);
        bank_[static_cast<std::size_t>(c)] = k;
        return;
      case mfi::kProgramChange: {
        const int program = (bank_[static_cast<std::size_t>(c)] == 3 ? 64 : 0) + k;
        channel(c).add(tick, 1, {static_cast<std::uint8_t>(0xC0 | c), static_cast<std::uint8_t>(program)});
        return;
      }
      case mfi::kVolume:
        volume_[static_cast<std::size_t>(c)] = k;
        return control(tick, c, 7, 2 * k);
      case mfi::kPanpot:
        return control(tick, c, 10, 2 * k);
      case mfi::kModulation:
        return control(tick, c, 1, 2 * k);
      case mfi::kExpression:
        return levelChangeExcess32(tick, c, k);
      case mfi::kPitchbend: {
        const int bend = k * 256;  // 14 bits, centre 32 x 256 = 8192
        channel(c).add(tick, 1, {static_cast<std::uint8_t>(0xE0 | c), static_cast<std::uint8_t>(bend & 0x7F),
                                 static_cast<std::uint8_t>(bend >> 7)});
        return;
      }
      case mfi::kMasterVolume: {
        const std::uint8_t level = static_cast<std::uint8_t>(std::min(value, 127));
        conductor_.add(tick, 1, {0xF0, 0x07, 0x7F, 0x7F, 0x04, 0x01, 0x00, level, 0xF7});
        return;
      }
      case mfi::kCue:
        // The song goes back to its cue start when the last track reaches its
        // cue end: a track with nothing to play has its cue end at 0.
        if (value == mfi::kCueStart) {
          if (r_.cueStartTick < 0 || tick < r_.cueStartTick) r_.cueStartTick = tick;
          return marker(tick, 0);
        }
        if (value == mfi::kCueEnd) {
          r_.cueEndTick = std::max(r_.cueEndTick, tick);
          return marker(tick, 1);
        }
        return skip(kCueKind, value);
      case mfi::kLoop: {
        const int kind = value & 3;
        if (kind > 1) return skip(kLoopKind, value);
        return marker(tick, 2 + value);
      }
      default:
        break;
    }
    if ((code & 0xF0) == mfi::kTempoFirst) {
      const int timebase = mfi::timebaseOf(code);
      if (timebase == 0 || value == 0) return skip(kBadTempo, code);
      // A tick lasts 60 / (timebase x tt) s, and a quarter note has 48 of them.
      const long long micros = (60000000LL * kDivision + timebase * value / 2) / (timebase * value);
      const int tempo = static_cast<int>(std::clamp<long long>(micros, 1, 0xFFFFFF));
      conductor_.add(tick, 1, {0xFF, 0x51, 0x03, static_cast<std::uint8_t>(tempo >> 16),
                               static_cast<std::uint8_t>(tempo >> 8), static_cast<std::uint8_t>(tempo)});
      tempoMap_.emplace_back(tick, tempo);
      r_.tempos.push_back({tick, timebase, value});
      return;
    }
    skip(kUnknown, code);
  }

  void finish() {
    const std::int64_t end = std::max({trackEnd_, noteEnd_, conductor_.lastTick()});
    r_.endTick = end;
    std::stable_sort(tempoMap_.begin(), tempoMap_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::stable_sort(r_.tempos.begin(), r_.tempos.end(),
                     [](const DecodedTempo& a, const DecodedTempo& b) { return a.tick < b.tick; });
    r_.seconds = ticksToSeconds(end, tempoMap_);

    int tracks = 1;
    for (const TrackBuilder& t : channels_) tracks += !t.empty();
    std::vector<std::uint8_t>& out = r_.midi;
    out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<std::uint8_t>(tracks), 0, kDivision};
    conductor_.writeTo(out, end);
    for (TrackBuilder& t : channels_)
      if (!t.empty()) t.writeTo(out, end);
    r_.ok = true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  DecodedMfi& r_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  int trackCount_ = 0;
  bool fourByteNotes_ = false;  // the "note" chunk; without it, 3-byte notes

  TrackBuilder conductor_;
  std::array<TrackBuilder, 16> channels_;
  std::array<std::array<std::pair<std::size_t, bool>, 128>, 16> soundingOff_{};  // the sounding note's note-off
  std::array<int, 16> bank_;    // E1 per channel: 2 (programs 0..63) or 3 (64..127)
  std::array<int, 16> volume_;  // E2 per channel, 0..63, for the level changes
  std::vector<std::pair<std::int64_t, int>> tempoMap_;
  std::set<std::pair<std::int64_t, int>> markers_;
  std::array<std::array<int, 256>, kSkipKinds> skipped_{};
  std::int64_t trackEnd_ = 0;
  std::int64_t noteEnd_ = 0;
};

}  // namespace

double ticksToSeconds(std::int64_t tick, const std::vector<std::pair<std::int64_t, int>>& tempoMap, int division) {
  double seconds = 0;
  std::int64_t at = 0;
  int tempo = kDefaultTempo;
  for (const auto& [when, micros] : tempoMap) {
    if (when >= tick) break;
    seconds += static_cast<double>(when - at) * tempo / 1e6 / division;
    at = when;
    tempo = micros;
  }
  return seconds + static_cast<double>(tick - at) * tempo / 1e6 / division;
}

DecodedMfi decodeMfi(std::span<const std::uint8_t> mfi) {
  DecodedMfi result;
  static const std::uint8_t kNothing = 0;
  Decoder decoder(mfi.empty() ? &kNothing : mfi.data(), mfi.size(), result);
  const bool ok = decoder.run();
  decoder.nameSkipped();
  if (!ok) {
    result.ok = false;
    result.midi.clear();
  }
  return result;
}

}  // namespace tonvell

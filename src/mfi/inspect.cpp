#include "mfi/inspect.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/gbk.h"
#include "mfi/format.h"

namespace tonvell {

namespace {

constexpr std::size_t kCountedFrom = 10;  // the header length counts from here

std::string hexByte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

// Four bytes as a quoted id when they are printable, else as hex.
std::string showId(const std::uint8_t* p) {
  std::string text = "\"";
  for (int i = 0; i < 4; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) {
      char hex[32];
      std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X", p[0], p[1], p[2], p[3]);
      return hex;
    }
    text += static_cast<char>(p[i]);
  }
  return text + "\"";
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size, InspectResult& result)
      : data_(data), size_(size), r_(result) {}

  bool run() {
    if (!readFileHeader()) return false;
    if (!readChunks()) return false;
    for (int t = 0; t < mfi::kTracks; ++t)
      if (!readTrack(t)) return false;
    // A song that loops closes every track with a Cue_End; one without any
    // cue event closes them with Data_End alone.
    if (uncuedTrack_ >= 0 && cued_)
      return fail(uncuedAt_, "track " + std::to_string(uncuedTrack_) + "'s Data_End does not follow a Cue_End");
    if (pos_ != size_) {
      const std::size_t extra = size_ - pos_;
      return fail(pos_, std::to_string(extra) + (extra == 1 ? " byte follows" : " bytes follow") + " the fourth track");
    }
    r_.ok = true;
    return true;
  }

 private:
  bool fail(std::size_t offset, std::string what) {
    r_.ok = false;
    r_.error = std::move(what);
    r_.errorOffset = offset;
    return false;
  }

  // Room for `n` more bytes at the cursor.
  bool need(std::size_t n, const std::string& what) {
    if (size_ - pos_ >= n) return true;
    return fail(pos_, "the file ends inside " + what + " (" + std::to_string(n) + " bytes needed, " +
                          std::to_string(size_ - pos_) + " left)");
  }

  std::uint32_t u32(std::size_t at) const {
    return (std::uint32_t{data_[at]} << 24) | (std::uint32_t{data_[at + 1]} << 16) |
           (std::uint32_t{data_[at + 2]} << 8) | data_[at + 3];
  }
  std::uint16_t u16(std::size_t at) const {
    return static_cast<std::uint16_t>((data_[at] << 8) | data_[at + 1]);
  }

  bool readFileHeader() {
    if (!need(4, "the magic \"melo\"")) return false;
    if (std::memcmp(data_, "melo", 4) != 0)
      return fail(0, "not an MFi file: the magic is " + showId(data_) + ", expected \"melo\"");
    pos_ = 4;
    if (!need(4, "the file length field")) return false;
    r_.fileLength = u32(4);
    const std::size_t follow = size_ - 8;
    if (r_.fileLength > follow)
      return fail(size_, "the file is truncated: its length field promises " + std::to_string(r_.fileLength) +
                             " bytes after offset 8, only " + std::to_string(follow) + " are there");
    if (r_.fileLength < follow)
      return fail(4, "the file length field says " + std::to_string(r_.fileLength) + ", but " +
                         std::to_string(follow) + " bytes follow offset 8");
    pos_ = 8;
    if (!need(2, "the header length field")) return false;
    r_.headerLength = u16(8);
    pos_ = 10;
    if (!need(3, "the three bytes after the header length")) return false;
    for (std::size_t at = 10; at < 12; ++at)
      if (data_[at] != 0x01) return fail(at, "expected the byte 0x01, found " + hexByte(data_[at]));
    r_.trackCount = data_[12];
    if (r_.trackCount != mfi::kTracks)
      return fail(12, "the track count is " + std::to_string(r_.trackCount) + ", expected 4");
    pos_ = 13;
    return true;
  }

  bool readChunks() {
    static const char* const kIds[] = {"sorc", "vers", "note", "titl", "copy", "prot", "date"};
    for (const char* id : kIds) {
      const std::string name = std::string("\"") + id + "\"";
      const std::size_t start = pos_;
      if (!need(6, "the " + name + " chunk's id and length")) return false;
      if (std::memcmp(data_ + pos_, id, 4) != 0)
        return fail(pos_, "expected the " + name + " chunk, found " + showId(data_ + pos_));
      const std::uint16_t length = u16(pos_ + 4);
      const std::size_t lengthAt = pos_ + 4;
      pos_ += 6;
      if (!need(length, "the " + name + " chunk's data")) return false;
      const std::string_view body(reinterpret_cast<const char*>(data_ + pos_), length);
      auto wrongLength = [&](int expected) {
        return fail(lengthAt, "the " + name + " chunk's length is " + std::to_string(length) + ", expected " +
                                  std::to_string(expected));
      };
      if (std::strcmp(id, "sorc") == 0) {
        if (length != 1) return wrongLength(1);
        if (data_[pos_] > 1)
          return fail(pos_, "the copy-prohibit byte is " + hexByte(data_[pos_]) + ", expected 0 or 1");
      } else if (std::strcmp(id, "vers") == 0) {
        if (length != 4) return wrongLength(4);
        if (body != "0200") return fail(pos_, "the version is " + showId(data_ + pos_) + ", expected \"0200\"");
      } else if (std::strcmp(id, "note") == 0) {
        if (length != 2) return wrongLength(2);
        if (u16(pos_) != 1)
          return fail(pos_, "the note format is " + std::to_string(u16(pos_)) + ", expected 1 (4-byte notes)");
      } else if (std::strcmp(id, "prot") == 0) {
        if (length != 16) return wrongLength(16);
      } else if (std::strcmp(id, "date") == 0) {
        if (length != 8) return wrongLength(8);
        for (std::size_t i = 0; i < 8; ++i)
          if (body[i] < '0' || body[i] > '9')
            return fail(pos_ + i, "the date holds " + hexByte(static_cast<unsigned char>(body[i])) +
                                      ", expected eight digits");
      }
      r_.chunks.push_back({id, start, std::string(body)});
      pos_ += length;
    }
    const std::size_t counted = pos_ - kCountedFrom;
    if (r_.headerLength != counted)
      return fail(8, "the header length field says " + std::to_string(r_.headerLength) +
                         ", but the header chunks end at offset " + std::to_string(pos_) + " (" +
                         std::to_string(counted) + " bytes from offset 10)");
    return true;
  }

  bool readTrack(int t) {
    const std::string track = "track " + std::to_string(t);
    MfiTrackInfo info;
    info.offset = pos_;
    if (!need(8, track + "'s id and length")) return false;
    if (std::memcmp(data_ + pos_, "trac", 4) != 0)
      return fail(pos_, "expected the \"trac\" chunk of " + track + ", found " + showId(data_ + pos_));
    info.length = u32(pos_ + 4);
    const std::size_t lengthAt = pos_ + 4;
    pos_ += 8;
    if (!need(info.length, track + "'s events")) return false;
    if (info.length % 4 != 0)
      return fail(lengthAt, track + "'s length " + std::to_string(info.length) + " is not a multiple of 4");
    const std::size_t end = pos_ + info.length;
    info.events.reserve(info.length / 4);
    std::uint64_t time = 0;
    for (; pos_ < end; pos_ += 4) {
      MfiEventInfo e;
      e.offset = pos_;
      std::memcpy(e.bytes, data_ + pos_, 4);
      time += e.bytes[0];
      e.time = time;
      if (e.bytes[1] == 0xFF) {
        e.extended = true;
        e.code = e.bytes[2];
        e.value = e.bytes[3];
        if (!mfiEventName(e.code))
          return fail(pos_ + 2, "unknown event code " + hexByte(e.code) + " in " + track);
        if (e.code >= mfi::kProgramChange && e.code <= mfi::kPanpot) {
          e.channel = e.bytes[3] >> 6;
          e.value = e.bytes[3] & 0x3F;
        }
        if (e.code == mfi::kCue) cued_ = true;
        if (e.code == mfi::kDataEnd && pos_ + 4 != end)
          return fail(pos_, "Data_End before the end of " + track);
      } else {
        e.channel = e.bytes[1] >> 6;
        e.value = e.bytes[1] & 0x3F;
        e.gate = e.bytes[2];
        e.velocity = e.bytes[3] >> 2;
        e.octaveShift = mfi::kOctaveShift[e.bytes[3] & 0x03];
      }
      info.events.push_back(e);
    }
    const auto& ev = info.events;
    const std::size_t n = ev.size();
    if (n == 0 || !ev[n - 1].extended || ev[n - 1].code != mfi::kDataEnd)
      return fail(end, track + " does not end with Data_End");
    if ((n < 2 || !ev[n - 2].extended || ev[n - 2].code != mfi::kCue) && uncuedTrack_ < 0) {
      uncuedTrack_ = t;
      uncuedAt_ = ev[n - 1].offset;
    }
    r_.tracks.push_back(std::move(info));
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  InspectResult& r_;
  bool cued_ = false;         // some track holds a cue event
  int uncuedTrack_ = -1;      // the first track whose Data_End follows no Cue_End
  std::size_t uncuedAt_ = 0;  // that Data_End's offset
};

// A header text for the listing: GBK shown as UTF-8, control bytes escaped.
std::string showText(const std::string& gbk) {
  const std::string utf8 = gbkToUtf8(gbk);
  std::string out = "\"";
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '"' || c == '\\') {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", b);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string describeEvent(const MfiEventInfo& e, int track) {
  char text[160];
  if (e.extended && e.code == mfi::kCue && e.value == mfi::kCueStart) {
    std::snprintf(text, sizeof text, "Cue_Start");
  } else if (e.extended && e.code != mfi::kTempo && (e.code & 0xF0) == mfi::kTempoFirst) {
    std::snprintf(text, sizeof text, "Tempo %d (timebase %d)", e.value, tempoTimebase(e.code));
  } else if (e.extended) {
    std::snprintf(text, sizeof text, "%s %d", mfiEventName(e.code), e.value);
  } else {
    // This converter puts MIDI channel 4 x track + channel in track there.
    const int midiChannel = track * 4 + e.channel;
    const std::string name = trimmed(mfi::noteName(midiChannel, e.value));
    std::snprintf(text, sizeof text, "Note %d (%s) gate %d velocity %d", e.value, name.c_str(), e.gate,
                  e.velocity);
    if (e.octaveShift != 0)
      std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), " octave %+d", e.octaveShift);
  }
  return text;
}

}  // namespace

int tempoTimebase(int code) { return mfi::timebaseOf(code); }

const char* mfiEventName(int code) {
  if (mfi::timebaseOf(code) != 0) return "Tempo";
  switch (code) {
    case mfi::kMasterVolume: return "Master_Volume";
    case mfi::kCue: return "Cue_End";
    case mfi::kNop: return "NOP";
    case mfi::kDataEnd: return "Data_End";
    case mfi::kProgramChange: return "Program_Change";
    case mfi::kProgramBank: return "Program_Bank";
    case mfi::kVolume: return "Volume";
    case mfi::kPanpot: return "Panpot";
    case mfi::kPitchbend: return "Pitchbend_Change";
    case mfi::kExpression: return "Expression";
    case mfi::kModulation: return "Modulation_Depth";
    default: return nullptr;
  }
}

std::string InspectResult::describeError() const { return error + " at offset " + std::to_string(errorOffset); }

InspectResult inspectMfi(const std::uint8_t* data, std::size_t size) {
  InspectResult result;
  if (!data) size = 0;
  static const std::uint8_t kNothing = 0;
  Reader(data ? data : &kNothing, size, result).run();
  return result;
}

std::string formatInspect(const InspectResult& r) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "MFi file: %u bytes, file length %u, header length %u, %d tracks\n",
                r.fileLength + 8u, r.fileLength, static_cast<unsigned>(r.headerLength), r.trackCount);
  out += line;
  for (const MfiChunkInfo& c : r.chunks) {
    std::string shown;
    if (c.id == "sorc") {
      shown = "copy-prohibit " + std::to_string(c.data.empty() ? 0 : static_cast<unsigned char>(c.data[0]));
    } else if (c.id == "note") {
      shown = c.data.size() == 2 && c.data[1] == 1 ? "4-byte notes" : "format " + showText(c.data);
    } else if (c.id == "date") {
      shown = c.data;
    } else if (c.id == "titl" || c.id == "copy") {
      shown = showText(c.data) + " (" + std::to_string(c.data.size()) + " bytes)";
    } else {
      shown = showText(c.data);
    }
    std::snprintf(line, sizeof line, "  %-4s  ", c.id.c_str());
    out += line + shown + "\n";
  }
  for (std::size_t t = 0; t < r.tracks.size(); ++t) {
    const MfiTrackInfo& track = r.tracks[t];
    std::snprintf(line, sizeof line, "trac %zu: offset %zu, %u bytes, %zu events\n", t, track.offset, track.length,
                  track.events.size());
    out += line;
    out += "    offset      time  ch  bytes        event\n";
    for (const MfiEventInfo& e : track.events) {
      const std::string ch = e.channel < 0 ? "-" : std::to_string(e.channel);
      std::snprintf(line, sizeof line, "  %8zu  %8llu  %2s  %02X %02X %02X %02X  ", e.offset,
                    static_cast<unsigned long long>(e.time), ch.c_str(), e.bytes[0], e.bytes[1], e.bytes[2],
                    e.bytes[3]);
      out += line + describeEvent(e, static_cast<int>(t)) + "\n";
    }
  }
  return out;
}

std::string jsonString(std::string_view utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    const auto b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (b < 0x20 || b == 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04X", b);
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

std::string jsonHex(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (std::size_t i = 0; i < size; ++i) {
    if (i) out += ' ';
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out + "\"";
}

std::string jsonChunk(const MfiChunkInfo& c) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(c.data.data());
  std::string out = "{\"id\":" + jsonString(c.id) + ",\"offset\":" + std::to_string(c.offset) +
                    ",\"bytes\":" + jsonHex(data, c.data.size());
  if (c.id == "sorc") {
    out += ",\"copy_prohibit\":" + std::to_string(c.data.empty() ? 0 : data[0]);
  } else if (c.id != "note") {
    out += ",\"text\":" + jsonString(gbkToUtf8(c.data));
  }
  return out + "}";
}

std::string jsonEvent(const MfiEventInfo& e) {
  std::string out = "{\"offset\":" + std::to_string(e.offset) + ",\"time\":" + std::to_string(e.time) +
                    ",\"channel\":" + (e.channel < 0 ? std::string("null") : std::to_string(e.channel));
  if (e.extended) {
    const char* name = mfiEventName(e.code);
    out += ",\"kind\":" + jsonString(name ? name : "unknown") + ",\"code\":" + std::to_string(e.code) +
           ",\"value\":" + std::to_string(e.value);
  } else {
    out += ",\"kind\":\"note\",\"note\":" + std::to_string(e.value) + ",\"gate\":" + std::to_string(e.gate) +
           ",\"velocity\":" + std::to_string(e.velocity);
  }
  return out + ",\"bytes\":" + jsonHex(e.bytes, 4) + "}";
}

}  // namespace

std::string formatInspectJson(const InspectResult& r, std::string_view name) {
  std::string out = "{\"file\":" + jsonString(name) + ",\"ok\":" + (r.ok ? "true" : "false");
  if (!r.ok) {
    return out + ",\"error\":" + jsonString(r.error) + ",\"offset\":" + std::to_string(r.errorOffset) + "}";
  }
  out += ",\"size\":" + std::to_string(r.fileLength + 8ull) + ",\"file_length\":" + std::to_string(r.fileLength) +
         ",\"header_length\":" + std::to_string(r.headerLength) + ",\"track_count\":" + std::to_string(r.trackCount);
  out += ",\"chunks\":[";
  for (std::size_t i = 0; i < r.chunks.size(); ++i) out += (i ? "," : "") + jsonChunk(r.chunks[i]);
  out += "],\"tracks\":[";
  for (std::size_t t = 0; t < r.tracks.size(); ++t) {
    const MfiTrackInfo& track = r.tracks[t];
    out += std::string(t ? "," : "") + "{\"offset\":" + std::to_string(track.offset) +
           ",\"length\":" + std::to_string(track.length) + ",\"events\":[";
    for (std::size_t i = 0; i < track.events.size(); ++i) out += (i ? "," : "") + jsonEvent(track.events[i]);
    out += "]}";
  }
  return out + "]}";
}

}  // namespace tonvell

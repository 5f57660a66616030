#include "smf/events.h"

#include <algorithm>

namespace tonvell {

namespace {

// A bounded cursor over the file: reading past the end sets `past`.
struct Cursor {
  std::span<const std::uint8_t> bytes;
  std::size_t pos = 0;
  std::size_t end = 0;
  bool past = false;
  int byte() {
    if (pos >= end) {
      past = true;
      return 0;
    }
    return bytes[pos++];
  }
  int peek() const { return pos < end ? bytes[pos] : -1; }
  std::uint32_t u16() {
    const std::uint32_t hi = static_cast<std::uint32_t>(byte());
    return (hi << 8) | static_cast<std::uint32_t>(byte());
  }
  std::uint32_t u32() {
    const std::uint32_t hi = u16();
    return (hi << 16) | u16();
  }
  // At most four bytes: 0 to 0x0FFFFFFF.
  std::uint32_t varLen() {
    std::uint32_t value = 0;
    for (int n = 0; n < 4; ++n) {
      const int b = byte();
      value = (value << 7) | static_cast<std::uint32_t>(b & 0x7F);
      if (!(b & 0x80)) break;
    }
    return value;
  }
  void skip(std::uint32_t count) {
    if (count > end - pos) {
      pos = end;
      past = true;
    } else {
      pos += count;
    }
  }
};

void readTrack(Cursor& c, std::vector<SmfEvent>& events) {
  std::int64_t tick = 0;
  int running = -1;
  while (c.pos < c.end && !c.past) {
    SmfEvent e;
    tick += c.varLen();
    e.tick = tick;
    int status = c.peek();
    if (status >= 0x80) {
      c.byte();
    } else if (running >= 0) {
      status = running;
    } else {
      c.byte();  // a data byte with no status in force: passed over
      continue;
    }
    e.status = static_cast<std::uint8_t>(status);
    if (status < 0xF0) {
      running = status;
      e.data1 = static_cast<std::uint8_t>(c.byte() & 0x7F);
      const int kind = status & 0xF0;
      if (kind != 0xC0 && kind != 0xD0) e.data2 = static_cast<std::uint8_t>(c.byte() & 0x7F);
    } else if (status == 0xFF) {
      running = -1;
      e.metaType = static_cast<std::uint8_t>(c.byte());
      const std::uint32_t length = c.varLen();
      e.payloadOffset = static_cast<std::uint32_t>(c.pos);
      e.payloadLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, c.end - c.pos));
      c.skip(length);
      if (e.metaType == 0x2F) {
        events.push_back(e);
        return;
      }
    } else if (status == 0xF0 || status == 0xF7) {
      running = -1;
      const std::uint32_t length = c.varLen();
      e.payloadOffset = static_cast<std::uint32_t>(c.pos);
      e.payloadLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, c.end - c.pos));
      c.skip(length);
    } else {
      // System common and real-time bytes have no place in a file; read with
      // their wire lengths.
      running = -1;
      if (status == 0xF1 || status == 0xF3) c.byte();
      if (status == 0xF2) c.u16();
    }
    if (c.past) return;  // an event cut off by the track's end is dropped
    events.push_back(e);
  }
}

}  // namespace

SmfSong readSmfSong(std::span<const std::uint8_t> bytes) {
  SmfSong song;
  Cursor c{bytes, 0, bytes.size()};
  if (c.u32() != 0x4D546864) {
    song.error = "no MThd header";
    return song;
  }
  const std::uint32_t headerLength = c.u32();
  song.format = static_cast<int>(c.u16());
  const int declared = static_cast<int>(c.u16());
  song.division = static_cast<int>(c.u16());
  if (c.past || headerLength < 6) {
    song.error = "header cut short";
    return song;
  }
  if (song.division & 0x8000) {
    song.error = "time-code division";
    return song;
  }
  if (song.division == 0) {
    song.error = "division 0";
    return song;
  }
  c.pos = 8;
  c.skip(headerLength);
  while (c.pos + 8 <= bytes.size() && static_cast<int>(song.tracks.size()) < declared) {
    const std::uint32_t id = c.u32();
    const std::uint32_t length = c.u32();
    const std::size_t start = c.pos;
    const std::size_t end = length > bytes.size() - start ? bytes.size() : start + length;
    if (id == 0x4D54726B) {
      Cursor t{bytes, start, end};
      song.tracks.emplace_back();
      readTrack(t, song.tracks.back());
    }
    c.pos = end;
  }
  song.ok = true;
  return song;
}

int tempoOf(const SmfEvent& event, std::span<const std::uint8_t> file) {
  if (event.payloadLength < 3 || event.payloadOffset + 3 > file.size()) return -1;
  const std::uint8_t* p = file.data() + event.payloadOffset;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

}  // namespace tonvell

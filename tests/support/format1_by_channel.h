// The format-1 file of one track per channel that a format-0 file stands for
// when it is converted by channel, written here on its own from the rules,
// to check the engine's rewrite against. Header-only.
//
// The track is read with the split's extents (a status byte of any kind
// becomes the running status; 0xF0 takes an id of 1 or 3 bytes, then bytes up
// to 0xF7; 0xF1/0xF3 one byte, 0xF2 two, 0xF4..0xFE none; 0xFF a type, a
// length and its bytes). Track 0 gets the meta events but the end of track
// and the system events; track c + 1 the channel events of channel c, but
// channel 16 (c = 15) goes into the track of the highest channel below it
// with no events, or nowhere when all 16 play; every event its status byte;
// every track an end of track at the source's end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tonvell::test {

struct ChannelSplitFile {
  bool found = false;           // a format-0 header and its track
  bool otherSystemStatus = false;  // an event read with a status 0xF1..0xFE
  int highestChannel = -1;
  bool channel16LeftOut = false;
  std::vector<std::uint8_t> bytes;  // the format-1 file
};

inline ChannelSplitFile format1ByChannel(const std::vector<std::uint8_t>& f) {
  ChannelSplitFile r;
  const auto u32 = [&](std::size_t at) {
    return static_cast<std::uint32_t>(f[at]) << 24 | static_cast<std::uint32_t>(f[at + 1]) << 16 |
           static_cast<std::uint32_t>(f[at + 2]) << 8 | f[at + 3];
  };
  if (f.size() < 14 || u32(0) != 0x4D546864 || u32(4) == 0) return r;
  if ((f[8] << 8 | f[9]) != 0 || (f[10] << 8 | f[11]) != 1) return r;
  const int division = f[12] << 8 | f[13];

  // The first chunk "MTrk" after the header; others are stepped over.
  std::size_t p = 14;
  std::int64_t length = -1;
  while (p + 8 <= f.size()) {
    const std::uint32_t id = u32(p);
    const std::int64_t n = static_cast<std::int32_t>(u32(p + 4));
    p += 8;
    if (id == 0x4D54726B) {
      if (n == 0) return r;  // an empty chunk ends the search for the only track
      length = n < 0 ? 0 : n;
      break;
    }
    if (n < 0) return r;
    p += static_cast<std::size_t>(n);
  }
  if (length < 0) return r;
  r.found = true;
  const std::size_t end = std::min<std::size_t>(f.size(), p + static_cast<std::size_t>(length));

  struct Event {
    std::int64_t tick;
    int track;  // -1: end of track, -2: channel 16 left out
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Event> events;
  int running = -1;
  int played = 0;  // bit c: channel c + 1 has events
  std::int64_t tick = 0;
  while (p < end) {
    std::uint32_t delta = 0;
    int n = 0;
    std::uint8_t b = 0x80;
    while ((b & 0x80) && n < 4 && p < end) {
      b = f[p++];
      delta = delta << 7 | (b & 0x7F);
      ++n;
    }
    if (p >= end) break;
    tick += delta;
    const std::size_t start = p;
    if (f[p] >= 0x80) running = f[p++];
    const int status = running < 0 ? 0xFF : running;
    const bool own = p > start;
    bool whole = true;
    const auto take = [&](std::size_t count) {
      if (end - p < count) whole = false;
      else p += count;
    };
    if (status < 0xF0) {
      take((status & 0xE0) == 0xC0 ? 1 : 2);
    } else if (status == 0xF0) {
      if (p >= end) {
        whole = false;
      } else if (f[p++] == 0) {
        take(2);
      }
      if (whole) {
        whole = false;
        while (p < end)
          if (f[p++] == 0xF7) {
            whole = true;
            break;
          }
      }
    } else if (status == 0xF1 || status == 0xF3) {
      take(1);
    } else if (status == 0xF2) {
      take(2);
    } else if (status == 0xFF) {
      take(1);
      std::uint32_t count = 0;
      int m = 0;
      b = 0x80;
      while (whole && (b & 0x80) && m < 4) {
        if (p >= end) {
          whole = false;
          break;
        }
        b = f[p++];
        count = count << 7 | (b & 0x7F);
        ++m;
      }
      if (whole) take(count);
    }
    if (!whole) break;
    if (status > 0xF0 && status < 0xFF) r.otherSystemStatus = true;
    Event e{tick, 0, {}};
    if (!own) e.bytes.push_back(static_cast<std::uint8_t>(status));
    e.bytes.insert(e.bytes.end(), f.begin() + static_cast<long>(start), f.begin() + static_cast<long>(p));
    if (status < 0xF0) {
      e.track = (status & 0x0F) + 1;
      played |= 1 << (status & 0x0F);
      r.highestChannel = std::max(r.highestChannel, status & 0x0F);
    } else if (status == 0xFF && e.bytes[1] == 0x2F) {
      e.track = -1;
    }
    events.push_back(std::move(e));
  }

  // The end: the source's end of track, or its last event when it has none.
  std::int64_t endTick = events.empty() ? 0 : events.back().tick;
  for (const Event& e : events)
    if (e.track == -1) endTick = std::max(endTick, e.tick);

  int trackCount = 1;
  for (int c = 0; c < 15; ++c)
    if (played & (1 << c)) trackCount = c + 2;
  if (played & (1 << 15)) {
    int free = 14;
    while (free >= 0 && (played & (1 << free))) --free;
    r.channel16LeftOut = free < 0;
    for (Event& e : events)
      if (e.track == 16) e.track = free < 0 ? -2 : free + 1;  // -2: left out
    trackCount = std::max(trackCount, free + 2);
  }
  std::vector<std::vector<std::uint8_t>> tracks(static_cast<std::size_t>(trackCount));
  std::vector<std::int64_t> last(static_cast<std::size_t>(trackCount), 0);
  const auto put = [&](int t, std::int64_t at, const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t>& out = tracks[static_cast<std::size_t>(t)];
    std::uint64_t d = static_cast<std::uint64_t>(at - last[static_cast<std::size_t>(t)]);
    last[static_cast<std::size_t>(t)] = at;
    std::vector<std::uint8_t> v{static_cast<std::uint8_t>(d & 0x7F)};
    while (d >>= 7) v.insert(v.begin(), static_cast<std::uint8_t>((d & 0x7F) | 0x80));
    out.insert(out.end(), v.begin(), v.end());
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  for (const Event& e : events)
    if (e.track >= 0) put(e.track, e.tick, e.bytes);
  for (int t = 0; t < trackCount; ++t) put(t, endTick, {0xFF, 0x2F, 0x00});

  const auto be = [&](std::uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) r.bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  r.bytes = {'M', 'T', 'h', 'd'};
  be(6, 4);
  be(1, 2);
  be(static_cast<std::uint32_t>(trackCount), 2);
  be(static_cast<std::uint32_t>(division), 2);
  for (const auto& t : tracks) {
    r.bytes.insert(r.bytes.end(), {'M', 'T', 'r', 'k'});
    be(static_cast<std::uint32_t>(t.size()), 4);
    r.bytes.insert(r.bytes.end(), t.begin(), t.end());
  }
  return r;
}

}  // namespace tonvell::test

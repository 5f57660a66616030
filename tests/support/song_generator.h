// Generated format-1 songs of a chosen size, shaped like real ones: a
// conductor track (name, time signature, tempo and its changes) and a few
// channel tracks, each with its name, program, volume and pan, then notes
// (single notes and chords, ended by note-offs or by note-ons of velocity 0
// under running status) among expression, modulation, pitch bend and sustain
// events. Deterministic for a given size and random start. Header-only, so that the
// benchmarks can use it too.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace tonvell::test {

struct GeneratedSong {
  std::vector<std::uint8_t> bytes;
  std::int64_t events = 0;  // MIDI events in all tracks, end-of-track events included
};

namespace song_detail {

class TrackWriter {
 public:
  std::vector<std::uint8_t> data;
  std::int64_t events = 0;

  void delta(std::uint32_t ticks) {
    std::uint8_t buf[4];
    int n = 0;
    buf[n++] = static_cast<std::uint8_t>(ticks & 0x7F);
    while (ticks >>= 7) buf[n++] = static_cast<std::uint8_t>((ticks & 0x7F) | 0x80);
    while (n > 0) data.push_back(buf[--n]);
  }
  // A channel message; the status byte is left out when it repeats.
  void message(std::uint32_t ticks, int status, int a, int b = -1) {
    delta(ticks);
    if (status != running_) data.push_back(static_cast<std::uint8_t>(status));
    running_ = status;
    data.push_back(static_cast<std::uint8_t>(a));
    if (b >= 0) data.push_back(static_cast<std::uint8_t>(b));
    ++events;
  }
  void meta(std::uint32_t ticks, int type, const std::vector<std::uint8_t>& body) {
    delta(ticks);
    data.push_back(0xFF);
    data.push_back(static_cast<std::uint8_t>(type));
    data.push_back(static_cast<std::uint8_t>(body.size()));
    data.insert(data.end(), body.begin(), body.end());
    running_ = -1;
    ++events;
  }
  void text(std::uint32_t ticks, int type, const char* s) {
    std::vector<std::uint8_t> body;
    for (; *s; ++s) body.push_back(static_cast<std::uint8_t>(*s));
    meta(ticks, type, body);
  }
  void chunk(std::vector<std::uint8_t>& out) {
    meta(0, 0x2F, {});
    const auto n = static_cast<std::uint32_t>(data.size());
    const std::uint8_t head[] = {'M', 'T', 'r', 'k', static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    out.insert(out.end(), std::begin(head), std::end(head));
    out.insert(out.end(), data.begin(), data.end());
  }

 private:
  int running_ = -1;
};

}  // namespace song_detail

// About `targetBytes` long (never less than a few hundred bytes), division
// 480, with `channelTracks` channel tracks (1 to 15) on the channels 0, 1, 2,
// 3, 9 (drums), 4, 5, ... in this order.
inline GeneratedSong generateSong(std::size_t targetBytes, std::uint32_t randomStart = 1, int channelTracks = 6) {
  using song_detail::TrackWriter;
  std::mt19937 rng(randomStart);
  auto below = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  static const int kChannels[] = {0, 1, 2, 3, 9, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14};
  if (channelTracks < 1) channelTracks = 1;
  if (channelTracks > 15) channelTracks = 15;

  GeneratedSong song;
  std::vector<std::uint8_t>& out = song.bytes;
  const std::uint8_t header[] = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, static_cast<std::uint8_t>(channelTracks + 1), 0x01, 0xE0};
  out.insert(out.end(), std::begin(header), std::end(header));

  // Conductor: a tempo change every 32 bars or so.
  const std::size_t budget = targetBytes / static_cast<std::size_t>(channelTracks + 1) + 1;
  TrackWriter conductor;
  conductor.text(0, 0x03, "Generated");
  conductor.meta(0, 0x58, {4, 2, 24, 8});
  conductor.meta(0, 0x51, {0x07, 0xA1, 0x20});
  const std::size_t conductorBudget = budget / 16 + 8;
  while (conductor.data.size() < conductorBudget) {
    const int bpm = 90 + below(60);
    const std::uint32_t micros = 60000000u / static_cast<std::uint32_t>(bpm);
    conductor.meta(480 * 4 * 32, 0x51, {static_cast<std::uint8_t>(micros >> 16), static_cast<std::uint8_t>(micros >> 8),
                                        static_cast<std::uint8_t>(micros)});
  }
  conductor.chunk(out);
  song.events += conductor.events;

  const std::size_t trackBudget = (targetBytes > out.size() ? targetBytes - out.size() : 0) / static_cast<std::size_t>(channelTracks);
  for (int t = 0; t < channelTracks; ++t) {
    const int ch = kChannels[t];
    const bool drums = ch == 9;
    // Half the tracks end notes with note-offs, half with note-ons of velocity 0.
    const bool offsAreNoteOns = t % 2 == 1;
    TrackWriter w;
    w.text(0, 0x03, drums ? "Drums" : "Part");
    w.message(0, 0xB0 | ch, 7, 90 + below(30));
    w.message(0, 0xB0 | ch, 10, 32 + below(64));
    w.message(0, 0xC0 | ch, below(128));
    std::uint32_t pending = below(4) * 120u;
    int base = drums ? 36 : 48 + below(24);
    while (w.data.size() + 16 < trackBudget) {
      const int roll = below(100);
      if (roll < 6) {
        w.message(pending, 0xB0 | ch, 11, 64 + below(64));  // expression
        pending = 0;
      } else if (roll < 8) {
        w.message(pending, 0xB0 | ch, 1, below(64));  // modulation
        pending = 0;
      } else if (roll < 10) {
        w.message(pending, 0xE0 | ch, below(128), 64 + below(8) - 4);  // pitch bend
        pending = 0;
      } else if (roll < 11) {
        w.message(pending, 0xB0 | ch, 64, below(2) * 127);  // sustain
        pending = 0;
      } else if (roll < 12) {
        w.message(pending, 0xC0 | ch, below(128));  // program change
        pending = 0;
      } else {
        // One note or a chord of two or three.
        const int voices = roll < 80 ? 1 : 2 + below(2);
        int keys[3];
        for (int v = 0; v < voices; ++v) {
          keys[v] = drums ? 35 + below(47) : base + v * (3 + below(2)) + below(3);
          if (keys[v] > 127) keys[v] = 127;
          w.message(v == 0 ? pending : 0, 0x90 | ch, keys[v], 40 + below(88));
        }
        const std::uint32_t length = drums ? 60 : 60u * static_cast<std::uint32_t>(1 + below(16));
        for (int v = 0; v < voices; ++v) {
          if (offsAreNoteOns) w.message(v == 0 ? length : 0, 0x90 | ch, keys[v], 0);
          else w.message(v == 0 ? length : 0, 0x80 | ch, keys[v], 64);
        }
        pending = static_cast<std::uint32_t>(below(3) * 60);
        if (!drums && below(8) == 0) base = 40 + below(40);
      }
    }
    w.chunk(out);
    song.events += w.events;
  }
  return song;
}

}  // namespace tonvell::test

// The reader side of MFi: a ring tone read the way handsets play it and
// written out as a Standard MIDI File, so that it can be listened to,
// rendered, or compared with the MIDI file it came from.
//
// Unlike the inspector (mfi/inspect.h), which accepts only what this
// converter writes, the decoder takes any MFi 2.0 file a player would take:
// any information chunks, up to four "trac" chunks, 3- or 4-byte notes, every
// tempo timebase, cue and loop points. Events whose meaning players do not
// agree on are passed over by their lengths and counted.
//
// The MIDI file it writes (format 1, 48 ticks per quarter note, so one MIDI
// tick is one MFi tick):
//   track 0     the title (sequence name) and copyright from the header, the
//               tempo changes, the master volume (universal system exclusive
//               F0 7F 7F 04 01 00 vv F7) and the cue and loop points as
//               markers ("cue start", "cue end", "loop 0 start, 2 times", ...)
//   track 1...  one per MFi channel that has events, in channel order; MIDI
//               channel = MFi track x 4 + part (channel 9 is the drum channel)
// Every track ends at the song's end. At one tick a channel's note-offs come
// first, then its other events in the order the MFi file has them.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace tonvell {

// A tempo change as the ring tone has it: a tick lasts 60 / (timebase x
// value) s from `tick` on.
struct DecodedTempo {
  std::int64_t tick = 0;
  int timebase = 48;
  int value = 120;
  double tickSeconds() const { return 60.0 / (static_cast<double>(timebase) * value); }
};

struct DecodedMfi {
  bool ok = false;
  std::string error;               // what is wrong and at which offset, when !ok
  std::vector<std::uint8_t> midi;  // the Standard MIDI File; empty unless ok
  int skippedEvents = 0;           // unknown or disputed events passed over
  double seconds = 0;              // playing time, one pass, without loops

  std::int64_t endTick = 0;        // the song's end (MFi ticks = MIDI ticks)
  std::int64_t cueStartTick = -1;  // the earliest cue start, -1 when there is none
  std::int64_t cueEndTick = -1;    // the latest cue end (every track has reached its own), -1 when none
  int silentNotes = 0;             // notes of velocity 0 or gate 0: not written
  int channelMask = 0;             // bit c: MIDI channel c has events
  std::vector<DecodedTempo> tempos;  // in tick order; before the first, a tick lasts 1/96 s
  std::string title;               // header texts, UTF-8
  std::string copyright;
  // What was skipped, by kind ("FF E5", "FF F1 information", "note key 63"), with counts.
  std::map<std::string, int> skipped;
};

// Decodes one MFi file held in memory. Never reads outside `mfi`; on a
// structural fault (no "melo", a length that runs past the end, an event cut
// short) returns ok = false with the reason and nothing else.
DecodedMfi decodeMfi(std::span<const std::uint8_t> mfi);

// MIDI ticks (48 per quarter note) to seconds through a tempo map of
// (tick, microseconds per quarter note) pairs in tick order; before the first
// entry the tempo is 500000 (120 per minute).
double ticksToSeconds(std::int64_t tick, const std::vector<std::pair<std::int64_t, int>>& tempoMap,
                      int division = 48);

}  // namespace tonvell

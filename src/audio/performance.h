// A decoded ring tone laid out on a clock for a synthesizer: every event the
// synthesizer needs, in seconds from the start, with the loop played the
// number of times asked. Pure computation; synth.h plays the result.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tonvell::audio {

enum class EventKind { kNoteOn, kNoteOff, kProgram, kControl, kPitchBend, kMasterVolume };

struct TimedEvent {
  double seconds = 0;
  EventKind kind = EventKind::kNoteOn;
  int channel = 0;
  int data1 = 0;  // key, program, controller, 14-bit bend, master volume 0..127
  int data2 = 0;  // velocity, controller value
};

struct Performance {
  bool ok = false;
  std::string error;               // why the MIDI file could not be read
  std::vector<TimedEvent> events;  // in playing order
  double seconds = 0;              // where the last pass ends (the release tail not counted)
};

// The loop of a ring tone, in ticks of the MIDI file: from `start` (0 when
// negative) to `end` (the song's end when not after the start).
struct LoopRange {
  std::int64_t start = -1;
  std::int64_t end = -1;
};

// Lays out a MIDI file written by the decoder (mfi/decode.h): note, program,
// controller and pitch-bend events, and the universal master volume
// (F0 7F 7F 04 01 ll mm F7, mm taken). With `passes` above 1 the song plays
// up to the loop's end, goes back to its start `passes - 1` times, and the
// last pass plays on to the song's end; notes still sounding when the song
// goes back are ended there. Tempo is kept across the jump, as a player that
// simply goes on reading would.
Performance buildPerformance(std::span<const std::uint8_t> midi, LoopRange loop = {}, int passes = 1);

}  // namespace tonvell::audio

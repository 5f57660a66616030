// The handset mode: an MFi file that a handset plays as the MIDI file means
// it, for input authored in ordinary MIDI ranges rather than ring-tone ones.
//
// It reads the song as timed events (smf/events.h) instead of the channel
// streams, and differs from the ring-tone conversion in four ways:
//   time    every event sits at its absolute SMF time scaled to 48 ticks per
//           quarter note (rounded), so no rounding loss builds up; each
//           channel takes its events from every track that holds them (all
//           tracks of the file, however many), in time order, and every
//           track ends at the song's end (the latest end of track) with the
//           other three
//   tempo   every tempo change of every track, as the timebase and value
//           whose tick is nearest to the MIDI tempo's tick at 48 per quarter
//           note (handsetTempo); a change that falls between two ticks goes
//           to the one that keeps the song's time in seconds nearer to the
//           MIDI file's. A song with no tempo at its start gets 120 there,
//           as MIDI plays it
//   values  controller values are halved into the 6-bit field and carry the
//           channel's part in bits 7..6: volume CC7 x CC11 / 127, pan CC10,
//           pitch bend (14-bit >> 8), modulation CC1
//   notes   keys beyond the 63 of a part use the octave-shift bits; drum keys
//           a part cannot sound are left out
// Master volume (FF B0) and the cue start and end around the song follow the
// options. Nothing whose reading players dispute is written: the file holds
// only notes, Cx tempos, B0, D0, DE, DF, E0 to E4 and EA.
#pragma once

#include <cstdint>
#include <span>

#include "core/pass.h"
#include "mfi/format.h"

namespace tonvell {

// A tempo as the handset mode writes it: FF code value. A tick lasts
// 60 / (timebase x value) seconds.
struct HandsetTempo {
  int code = mfi::kTempo;  // 0xC0..0xC6 or 0xC8..0xCE (timebase 6..384, 15..960)
  int value = 120;         // 1..255
  int timebase = 48;
};

// The tempo of `micros` microseconds per quarter note (clamped to 1..0xFFFFFF):
// the (timebase, value) pair whose tick is nearest to micros / 48, so an exact
// pair whenever one exists (93.75 per minute: 75 at timebase 60). Among
// equally near ones timebase 48 first, then the powers of two from 48
// outwards, then 60, 30, 120, 15, 240, 480, 960. From 25 to 5,100 per minute
// the tick written is within 0.39 % of the wanted one, and within 0.25 % but
// for narrow bands (such as 160.4 to 160.6, or 641.6 to 642.4 per minute);
// slower, the pairs lie further apart (up to 1.7 % at 3.6 per minute).
HandsetTempo handsetTempo(int micros);

// A key as a note byte and octave-shift bits: the part sounds `note` + 45
// (drums + 35) shifted by the bits (0: none, 1: +12, 2: -24, 3: -12).
struct HandsetKey {
  bool sounds = false;  // false: a drum key no part can sound
  int note = 0;         // 0..62
  int shiftBits = 0;
  int key = 0;          // the MIDI key that will sound (a melodic key out of reach moves by octaves)
};
HandsetKey handsetKey(int channel, int key);

// Reads `input` (a format-1 file the channel split has accepted) and writes
// the whole MFi file into writeBase from writeLength 0: the header, then four
// "trac" chunks. 108; 141 when the header texts do not fit; 106 when the file
// does not fit the work buffer.
ConvertResult writeHandsetMfi(PassContext& pass, std::span<const std::uint8_t> input);

}  // namespace tonvell

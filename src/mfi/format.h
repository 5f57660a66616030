// The MFi 2.0 format as players read it: event codes, the tempo timebases,
// key ranges and limits. Writers (the translation, the handset mode, the
// assembly, the header) and readers (the inspector, the decoder) take these
// from here, so that a reader needs nothing of a writer.
//
// An event is a delta byte (ticks since the track's previous event), then
// either a note "ss gg vv" (ss != 0xFF: part in bits 7..6, key in bits 5..0;
// gate; velocity in bits 7..2 and the octave shift in bits 1..0) or an
// extended event "FF code value". A channel is track x 4 + part.
#pragma once

#include <array>

namespace tonvell::mfi {

// Layout.
inline constexpr int kTracks = 4;             // "trac" chunks at most
inline constexpr int kPartsPerTrack = 4;
inline constexpr int kChannels = kTracks * kPartsPerTrack;
inline constexpr int kTicksPerQuarter = 48;   // how this converter places every event
inline constexpr int kMaxDelta = 255;         // longer gaps are carried by NOPs
inline constexpr int kMaxGate = 255;

// Notes.
inline constexpr int kDrumChannel = 9;
inline constexpr int kMelodicLowKey = 45;     // note 0 = A3
inline constexpr int kMelodicNotes = 63;      // keys 45..107 without a shift
inline constexpr int kDrumLowKey = 35;        // drum note 0 = Acoustic Bass Drum
inline constexpr int kDrumNotes = 47;         // keys 35..81
inline constexpr int kNotAKey = 63;           // a note byte's key 63 is no note
inline constexpr int kMaxVelocity = 63;       // bits 7..2 of a 4-byte note's last byte
// The octave shift of bits 1..0 of a 4-byte note's velocity byte.
inline constexpr std::array<int, 4> kOctaveShift = {0, 12, -24, -12};

// Extended event codes (the byte after FF).
inline constexpr int kMasterVolume = 0xB0;    // value 0..127
inline constexpr int kTempo = 0xC3;           // tempo at timebase 48; 0xC0..0xCE: see timebaseOf
inline constexpr int kCue = 0xD0;             // value kCueStart or kCueEnd
inline constexpr int kLoop = 0xDD;
inline constexpr int kNop = 0xDE;
inline constexpr int kDataEnd = 0xDF;
inline constexpr int kProgramChange = 0xE0;
inline constexpr int kProgramBank = 0xE1;     // 2: programs 0..63, 3: 64..127
inline constexpr int kVolume = 0xE2;
inline constexpr int kPanpot = 0xE3;
inline constexpr int kPitchbend = 0xE4;
inline constexpr int kExpression = 0xE6;      // read differently by players: never written in handset mode
inline constexpr int kModulation = 0xEA;
inline constexpr int kInformationFirst = 0xF0;  // FF Fx hh ll ...: a u16 length, then the data

// Values of a cue event.
inline constexpr int kCueStart = 0x00;
inline constexpr int kCueEnd = 0x01;

// Part events carry the part in bits 7..6 and a 6-bit value.
inline constexpr int kMaxPartValue = 63;

// Tempo: FF Cx tt is tt quarter notes per minute (1..255) at the timebase of
// code x; a tick lasts 60 / (timebase x tt) seconds. Codes 0xC7 and 0xCF are
// no tempo (some players hang on them): 0 here.
inline constexpr int kTempoFirst = 0xC0;
inline constexpr int kMinTempoValue = 1;
inline constexpr int kMaxTempoValue = 255;
inline constexpr std::array<int, 16> kTimebases = {6, 12, 24, 48, 96, 192, 384, 0, 15, 30, 60, 120, 240, 480, 960, 0};

// The timebase of a tempo code, 0 when the code is no valid tempo.
constexpr int timebaseOf(int code) {
  return (code & 0xF0) == kTempoFirst ? kTimebases[static_cast<unsigned>(code & 0x0F)] : 0;
}

// The trace and listing name of a note number on a channel: "C5 " style on
// melodic channels, the percussion instrument on the drum channel; "" out of range.
const char* noteName(int channel, int note);

}  // namespace tonvell::mfi

// Translation of each channel's SMF events into 4-byte MFi events.
//
// MfiEvent, 4 bytes, two shapes told apart by byte 1:
//   note      [0] delta (MFi ticks since the channel's previous event, 0..255)
//             [1] note number in the channel's key range (0..62); bits 7..6 = 0
//                 here, the track assembly puts the channel in track there
//             [2] gate time in MFi ticks (0..255)
//             [3] velocity: bits 7..2 the halved SMF velocity, bits 1..0 = 0
//   extended  [0] delta  [1] 0xFF  [2] event code  [3] low 8 bits of the value
// MFi time counts 48 ticks per quarter note whatever the SMF division; a delta
// above 255 is carried by NOP events (delta 255 each) written in front.
#pragma once

#include <cstdint>
#include <string>

#include "core/pass.h"
#include "mfi/format.h"

namespace tonvell {

// Where the translation gets the length of each note: for the channel in
// hand, every length in stream order into ws.noteLengths (NoteEndFinder in
// mfi/lookahead.h is the one the conversion uses).
class NoteLengthSource {
 public:
  virtual ~NoteLengthSource() = default;
  // Room for channels of up to `streamLength` bytes; false without memory.
  virtual bool reserve(ConversionWorkspace& ws, int streamLength) = 0;
  // The lengths of the channel in hand; false without memory.
  virtual bool findNoteLengths(ConversionWorkspace& ws) = 0;
};

// Translates the sixteen channel streams (bufferA) into MFi events (bufferB),
// channel after channel. 108, or 106 when the events do not fit. `lengths`
// null: a NoteEndFinder of its own.
ConvertResult translateChannels(PassContext& pass, NoteLengthSource* lengths = nullptr);

// The MFi event of a MIDI controller a ring tone keeps; code -1 for the others.
struct KeptController {
  int code = -1;
  const char* name = nullptr;
};
inline KeptController keptController(int controller) {
  switch (controller) {
    case 1: return {mfi::kModulation, "Modulation_Depth"};
    case 7: return {mfi::kVolume, "Volume"};
    case 10: return {mfi::kPanpot, "Panpot"};
    case 11: return {mfi::kExpression, "Expression"};
    default: return {};
  }
}

// Consumes the rest of the event with this status and writes what it yields.
// True when the event used up deltaAccumulator (the caller restarts it).
bool translateEvent(PassContext& pass, int status);

// SMF ticks to MFi ticks: t x 48 / division, truncated; 0 stays 0. The
// division and its reciprocal are copied out of the workspace, so that a
// loop that stores bytes need not read them again after each store.
struct TickScale {
  explicit TickScale(const ConversionWorkspace& ws)
      : division(ws.division), reciprocal(ws.divisionReciprocal), byReciprocal(ws.reciprocalOf == ws.division) {}
  std::int64_t operator()(std::int64_t ticks) const {
    if (ticks == 0) return 0;
    // The usual counts: a product below 2^32, divided by the reciprocal
    // (exact for every 32-bit numerator and divisor) or in 32 bits.
    if (static_cast<std::uint64_t>(ticks) < (std::uint64_t{1} << 26)) {
      const auto n = static_cast<std::uint32_t>(ticks * 48);
      if (byReciprocal) return static_cast<std::int64_t>((static_cast<unsigned __int128>(reciprocal) * n) >> 64);
      return n / static_cast<std::uint32_t>(division);
    }
    return ticks * 48 / division;
  }
  // A non-zero count never gives 0 (gate times).
  std::int64_t nonZero(std::int64_t ticks) const {
    const std::int64_t q = (*this)(ticks);
    return q == 0 && ticks != 0 ? 1 : q;
  }
  int division;
  std::uint64_t reciprocal;
  bool byReciprocal;
};
inline std::int64_t scaleTicks(const ConversionWorkspace& ws, std::int64_t ticks) { return TickScale(ws)(ticks); }
// As scaleTicks, but a non-zero count never gives 0 (gate times).
inline std::int64_t scaleTicksNonZero(const ConversionWorkspace& ws, std::int64_t ticks) {
  return TickScale(ws).nonZero(ticks);
}
// Writes NOP events while the delta exceeds 255; returns the rest (1..255),
// or the delta itself when it is at most 255.
int writeNops(PassContext& pass, std::int64_t delta);
inline int fillLongDelta(PassContext& pass, std::int64_t delta) {
  return delta <= 255 ? static_cast<int>(delta) : writeNops(pass, delta);
}
// NOPs for the scaled delta, then the extended event and its trace line.
void writeExtendedEvent(PassContext& pass, std::int64_t ticks, int code, int value, const char* name);

// A sounding note-on of the current channel: key range, velocity bits, the
// note's length (the next of ws.noteLengths, which the translation fills for
// each channel before translating it), gate chains for long notes.
void translateNoteOn(PassContext& pass, std::int64_t delta, int key, int velocity);
// A note written with gate 1 whose length turns out above 255 MFi ticks:
// the bytes its chain of pieces (as translateNoteOn writes them) adds, and
// the chain written right after its event at `offset` of `base`, the `tail`
// bytes that follow the event moving up to make room.
inline std::int64_t noteChainBytes(std::int64_t gate) { return 4 * ((gate - 2) / 254); }
void insertNoteChain(std::uint8_t* base, int offset, int tail, std::int64_t gate);
// The trace line, then the four bytes.
void writeNoteEvent(PassContext& pass, int delta, int note, int gate, int velocityBits);

}  // namespace tonvell

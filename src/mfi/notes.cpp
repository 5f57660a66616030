// Note events: an SMF note-on and its later note-off become one MFi note
// event carrying its own length (the gate time).
#include <array>
#include <cassert>

#include "mfi/output.h"
#include "mfi/translate.h"
#include "smf/reader.h"

namespace tonvell {

void writeNoteEvent(PassContext& pass, int delta, int note, int gate, int velocityBits) {
  const TraceChannel& trace = pass.trace;
  ConversionWorkspace& ws = pass.ws;
  if (trace.on()) {
    TONVELL_TRACE(trace, "%6d | %02X,%02X,%02X  ; * ", delta, note, gate, velocityBits);
    trace.printf("%s", mfi::noteName(pass.ws.currentChannel, note));
    trace.write("\n");
  } else if (ws.writeLength <= ws.bufferCapacity - 4) {
    std::uint8_t* const out = ws.writeBase + ws.writeLength;
    out[0] = static_cast<std::uint8_t>(delta);
    out[1] = static_cast<std::uint8_t>(note);
    out[2] = static_cast<std::uint8_t>(gate);
    out[3] = static_cast<std::uint8_t>(velocityBits);
    ws.writeLength += 4;
    return;
  }
  writeByte(ws, delta);
  writeByte(ws, note);
  writeByte(ws, gate);
  writeByte(ws, velocityBits);
}

void translateNoteOn(PassContext& pass, std::int64_t delta, int key, int velocity) {
  ConversionWorkspace& ws = pass.ws;
  int note;
  if (ws.currentChannel == mfi::kDrumChannel) {
    note = key - mfi::kDrumLowKey;
    if (note < 0 || note >= mfi::kDrumNotes) {
      TONVELL_TRACE(pass.trace, "★低音音程超过发音范围。\n");
      note = 0;
    }
  } else {
    note = key - mfi::kMelodicLowKey;
    if (note < 0 || note >= mfi::kMelodicNotes) {
      TONVELL_TRACE(pass.trace, "★音程超过发音范围。\n");
      note = 0;
    }
  }
  const int velocityBits = ((velocity / 2) & 0x3F) * 4;
  // Found for the whole channel before it was translated. Every sounding
  // note-on has one; past the end (a note-on translated on its own) the note
  // counts as never ending.
  assert(ws.nextNoteLength < ws.noteLengths.size());
  const std::int64_t duration = ws.nextNoteLength < ws.noteLengths.size() ? ws.noteLengths[ws.nextNoteLength++] : -1;
  const int d = fillLongDelta(pass, scaleTicks(ws, delta));
  if (ws.overflow) return;
  // A note that never ends sounds for one tick, whatever the division.
  const std::int64_t gate = duration < 0 ? 1 : scaleTicksNonZero(ws, duration);
  if (gate <= 255) {
    if (!pass.trace.on() && ws.writeLength <= ws.bufferCapacity - 4) {
      std::uint8_t* const out = ws.writeBase + ws.writeLength;
      out[0] = static_cast<std::uint8_t>(d);
      out[1] = static_cast<std::uint8_t>(note);
      out[2] = static_cast<std::uint8_t>(gate);
      out[3] = static_cast<std::uint8_t>(velocityBits);
      ws.writeLength += 4;
      return;
    }
    writeNoteEvent(pass, d, note, static_cast<int>(gate), velocityBits);
    return;
  }
  // A long note: pieces 254 ticks apart, each but the last with gate 255, so
  // each overlaps the next by one tick; together they cover the whole gate.
  const std::int64_t pieces = (gate - 2) / 254;
  const int rest = static_cast<int>(gate - 254 * pieces);
  if (!reserveOutput(ws, (pieces + 1) * 4)) return;
  for (std::int64_t i = 0; i < pieces; ++i) writeNoteEvent(pass, i == 0 ? d : 254, note, 255, velocityBits);
  writeNoteEvent(pass, 254, note, rest, velocityBits);
}

}  // namespace tonvell

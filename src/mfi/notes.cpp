// Note events: an SMF note-on and its later note-off become one MFi note
// event carrying its own length (the gate time).
#include <array>
#include <cassert>

#include "mfi/output.h"
#include "mfi/translate.h"
#include "smf/reader.h"

namespace tonvell {

namespace {

// The General MIDI percussion names of keys 35 to 81, spelled as the trace
// has always printed them.
constexpr std::array<const char*, 47> kDrumNames = {
    "Acoustic Bass Drum", "Bass Drum 1",   "Side Stick",     "Acoustic Snare", "Hand Clap",
    "Electric Snare",     "Low Floor Tom", "Closed Hi-Hat",  "High Floor Tom", "Pedal Hi-Hat",
    "Low Tom",            "Open Hi-Hat",   "Low-Mid Tom",    "Hi-Mid Tom",     "Crash Cymbal 1",
    "High Tom",           "Ride Cymbal 1", "Chinese Cymbal", "Ride Bell",      "Tabourine",
    "Splash Cymbal",      "Cowbell",       "Crash Cymbal 2", "Vibraslap",      "Ride Symbal 2",
    "Hi Bongo",           "Low Bongo",     "Mute Hi Conga",  "Open Hi Conga",  "Low Conga",
    "High Timbale",       "Low Timbale",   "High Agogo",     "Low Agogo",      "Cabasa",
    "Maracas",            "Short Whistle", "Long Whistle",   "Short Guiro",    "Long Guiro",
    "Claves",             "Hi Wood Block", "Low Wood Block", "Mute Cuica",     "Open Cuica",
    "Mute Traiangle",     "Open Traiangle"};

constexpr int kMelodicLowKey = 45;   // note 0 = A3
constexpr int kMelodicNotes = 63;    // keys 45..107
constexpr int kDrumLowKey = 35;      // note 0 = Acoustic Bass Drum
constexpr int kDrumNotes = 47;       // keys 35..81

// "A3 ", "A3#", ... "B8 ": letter, octave digit, then "#" or a blank.
struct MelodicNames {
  char names[kMelodicNotes][4];
  constexpr MelodicNames() : names() {
    const char letters[] = "CCDDEFFGGAAB";
    for (int n = 0; n < kMelodicNotes; ++n) {
      const int key = n + kMelodicLowKey;
      const int pitch = key % 12;
      names[n][0] = letters[pitch];
      names[n][1] = static_cast<char>('0' + key / 12);
      names[n][2] = (pitch == 1 || pitch == 3 || pitch == 6 || pitch == 8 || pitch == 10) ? '#' : ' ';
      names[n][3] = '\0';
    }
  }
};
constexpr MelodicNames kMelodicNames;

}  // namespace

const char* noteName(int channel, int note) {
  if (channel == mfi::kDrumChannel) return note >= 0 && note < kDrumNotes ? kDrumNames[static_cast<size_t>(note)] : "";
  return note >= 0 && note < kMelodicNotes ? kMelodicNames.names[note] : "";
}

void writeNoteEvent(PassContext& pass, int delta, int note, int gate, int velocityBits) {
  const TraceChannel& trace = pass.trace;
  ConversionWorkspace& ws = pass.ws;
  if (trace.on()) {
    TONVELL_TRACE(trace, "%6d | %02X,%02X,%02X  ; * ", delta, note, gate, velocityBits);
    trace.printf("%s", noteName(pass.ws.currentChannel, note));
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
    note = key - kDrumLowKey;
    if (note < 0 || note >= kDrumNotes) {
      TONVELL_TRACE(pass.trace, "★低音音程超过发音范围。\n");
      note = 0;
    }
  } else {
    note = key - kMelodicLowKey;
    if (note < 0 || note >= kMelodicNotes) {
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

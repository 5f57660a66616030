// Note events: an SMF note-on and its later note-off become one MFi note
// event carrying its own length (the gate time).
#include <array>

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
  if (trace.on()) {
    TONVELL_TRACE(trace, "%6d | %02X,%02X,%02X  ; * ", delta, note, gate, velocityBits);
    trace.printf("%s", noteName(pass.ws.currentChannel, note));
    trace.write("\n");
  }
  ConversionWorkspace& ws = pass.ws;
  writeByte(ws, delta);
  writeByte(ws, note);
  writeByte(ws, gate);
  writeByte(ws, velocityBits);
}

std::int64_t findNoteDurationByScan(ConversionWorkspace& ws, int key) {
  const int saved = ws.readPos;
  int s = ws.runningStatus & 0xFF;
  std::int64_t sum = 0;
  std::int64_t found = -1;
  while (ws.readPos < ws.readEnd) {
    sum += readVarLen(ws);
    if (peekByte(ws) >= 0x80) s = readByte(ws);
    if (s == 0xF0) {
      skipToSysexEnd(ws);  // no manufacturer id here, unlike the split
    } else if (s == 0xF1 || s == 0xF3) {
      readByte(ws);
    } else if (s == 0xF2) {
      readValue14(ws);
    } else if (s == 0xFF) {
      readByte(ws);
      skipBytes(ws, readVarLen(ws));
    } else if (s >= 0xF4) {
      readByte(ws);
    } else {
      const int k = readByte(ws);
      const int kind = s & 0xF0;
      const bool ours = (s & 0x0F) == ws.currentChannel;
      if (kind == 0x80) {
        readByte(ws);
        if (ours && k == key) { found = sum; break; }
      } else if (kind == 0x90) {
        const int velocity = readByte(ws);
        if (ours && velocity == 0 && k == key) { found = sum; break; }
      } else if (kind == 0xA0 || kind == 0xB0 || kind == 0xE0) {
        readByte(ws);
      }
    }
  }
  ws.readPos = saved;
  return found;
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
  // Found for the whole channel before it was translated; a note-on
  // translated on its own is looked ahead for here.
  const std::int64_t duration = ws.nextNoteLength < ws.noteLengths.size() ? ws.noteLengths[ws.nextNoteLength++]
                                                                           : findNoteDurationByScan(ws, key);
  const int d = fillLongDelta(pass, scaleTicks(ws, delta));
  if (ws.overflow) return;
  // A note that never ends sounds for one tick, whatever the division.
  const std::int64_t gate = duration < 0 ? 1 : scaleTicksNonZero(ws, duration);
  if (gate <= 255) {
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

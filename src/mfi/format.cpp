// The names of the notes, as the trace and the listing print them.
#include <array>
#include <cstddef>

#include "mfi/format.h"

namespace tonvell::mfi {

namespace {

// The General MIDI percussion names of keys 35 to 81, spelled as the trace
// has always printed them.
constexpr std::array<const char*, kDrumNotes> kDrumNames = {
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
  if (channel == kDrumChannel) return note >= 0 && note < kDrumNotes ? kDrumNames[static_cast<std::size_t>(note)] : "";
  return note >= 0 && note < kMelodicNotes ? kMelodicNames.names[note] : "";
}

}  // namespace tonvell::mfi

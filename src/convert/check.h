// What a handset will make of a MIDI file: the file converted in memory, the
// ring tone decoded as players read it (mfi/decode.h), and the two compared
// note by note and change by change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/pass.h"

namespace tonvell {

// The figures of one MIDI channel, or of the whole song.
struct ChannelCheck {
  int channel = -1;          // -1 for the total
  int notes = 0;             // sounding note-ons in the MIDI file
  int kept = 0;              // heard at their own key
  int moved = 0;             // heard (at any key), but more than 1 ms away from their time
  double largestShiftMs = 0;
  int outOfReach = 0;        // keys no MFi note can sound (melodic 21..119, drums 11..109)
  int outOfReachOtherKey = 0;  // ... heard at another key
  int outOfReachDropped = 0;   // ... not heard at all
  int lost = 0;              // within reach, yet not heard at their key
  int lostOtherKey = 0;      // ... heard at another key instead
  int controllerChanges = 0;  // volume, expression, pan, modulation, pitch bend
  int misheard = 0;          // heard more than 2 of 127 away from the file's value
};

struct CheckReport {
  bool ok = false;
  std::string error;  // why the file could not be converted or read, when !ok

  std::vector<ChannelCheck> channels;  // channels with notes or changes, in order
  ChannelCheck total;
  int tempoChanges = 0;                // tempo events of the MIDI file
  int tempoChangesLost = 0;            // not in force as written (within 1 %) where they belong
  std::array<int, 4> trackPolyphony{};  // most notes sounding at once in each MFi track
  int polyphony = 0;                   // ... over the whole song
  std::size_t outputBytes = 0;
  double seconds = 0;                  // the ring tone's playing time, one pass
  int skippedEvents = 0;               // events of the ring tone no player agrees on

  // Nothing lost or misheard: every note at its key, every controller change
  // and tempo as written. Notes moved in time do not count against it (48
  // ticks to the quarter note move most files a little).
  bool clean() const {
    return total.kept == total.notes && total.misheard == 0 && tempoChangesLost == 0;
  }
};

// Converts `midi` with `options` and `date`, decodes the result and compares.
CheckReport checkConversion(std::span<const std::uint8_t> midi, const ConversionOptions& options,
                            CalendarDate date = {});

}  // namespace tonvell

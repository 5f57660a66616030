// What a handset will make of a MIDI file: the file converted in memory, the
// ring tone decoded as players read it (mfi/decode.h), and the two compared
// note by note and change by change.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/pass.h"

namespace tonvell {

// How far from its time a note may sound and still be heard where it
// belongs: one tick of the ring tone at the tempo then in force, plus this
// share of the time since the start of the song. A tempo further off than
// the same share is misheard. Where no tempo the format can write comes that
// near (very slow tempos, a few narrow bands), the share is the nearest
// writable tempo's own error instead: no conversion can do better.
inline constexpr double kDriftAllowance = 0.0025;

// The share allowed for a tempo of `micros` microseconds per quarter note:
// kDriftAllowance, or the relative error of the nearest tempo the format
// writes when that is larger.
double tempoAllowance(int micros);

// The figures of one MIDI channel, or of the whole song. Every note is one
// of: kept at its key (asWritten + moved), out of reach, or lost.
struct ChannelCheck {
  int channel = -1;          // -1 for the total
  int notes = 0;             // sounding note-ons in the MIDI file
  int kept = 0;              // heard at their own key
  int moved = 0;             // ... but further from their time (in seconds) than the allowance
  double largestShiftMs = 0;       // of the notes heard at any key, as a distance
  double largestShiftSeconds = 0;  // the same, signed: below 0 when the note comes early
  double largestShiftAt = 0;       // where that note belongs, seconds from the start
  int outOfReach = 0;        // keys no MFi note can sound (melodic 21..119, drums 35..81)
  int outOfReachDrums = 0;     // ... of them drum keys outside the kit; the rest keys out of range
  int outOfReachOtherKey = 0;  // ... heard at another key
  int outOfReachDropped = 0;   // ... not heard at all
  int lost = 0;              // within reach, yet not heard at their key
  int lostOtherKey = 0;      // ... heard at another key instead
  int controllerChanges = 0;  // volume, expression, pan, modulation, pitch bend
  int misheard = 0;          // heard more than 2 of 127 away from the file's value
  int asWritten() const { return kept - moved; }
};

// What became of one note of the MIDI file.
enum class NoteFate { kAsWritten, kMoved, kLost, kOutOfReach };

struct CheckedNote {
  int channel = 0;
  int key = 0;
  double start = 0, end = 0;  // seconds, by the MIDI file's tempo map
  double heardAt = -1;        // seconds, by the ring tone's; -1 when not heard at its key
  NoteFate fate = NoteFate::kAsWritten;
};

// A controller or tempo change the ring tone does not play as written.
struct MisheardChange {
  double seconds = 0;  // where it belongs
  int channel = -1;    // -1 for a tempo change
  const char* what = "";  // "level", "pan", "modulation", "pitch bend", "tempo"
  double written = 0, heard = 0;  // 0..127, or quarter notes per minute
};

// The kinds of problem a check can find, in the order they are reported.
enum class CheckProblem { kLost, kMoved, kControllersMisheard, kTemposMisheard, kDrumKeysOutsideKit, kKeysOutOfRange };

struct CheckReport {
  bool ok = false;
  std::string error;  // why the file could not be converted or read, when !ok

  std::vector<ChannelCheck> channels;  // channels with notes or changes, in order
  ChannelCheck total;
  int tempoChanges = 0;                // tempo events of the MIDI file (one to a tick)
  int tempoChangesMisheard = 0;        // not in force as written (within the allowance) where they belong
  std::array<int, 4> trackPolyphony{};  // most notes sounding at once in each MFi track
  int polyphony = 0;                   // ... over the whole song
  std::size_t outputBytes = 0;
  double seconds = 0;                  // the ring tone's playing time, one pass
  int skippedEvents = 0;               // events of the ring tone no player agrees on

  std::vector<CheckedNote> notes;      // every note of the MIDI file, by channel, then time
  std::vector<MisheardChange> misheardChanges;  // in time order

  // Nothing lost, moved or misheard. Keys out of reach do not count against
  // it: no conversion can play them.
  bool clean() const {
    return total.lost == 0 && total.moved == 0 && total.misheard == 0 && tempoChangesMisheard == 0;
  }
  // The kinds found, in the order of CheckProblem.
  std::vector<CheckProblem> problems() const;
};

// A short English name of each kind ("notes lost", "drum keys outside the kit", ...).
const char* problemName(CheckProblem problem);
// The same as an identifier for scripts ("lost", "drumKeysOutsideKit", ...).
const char* problemId(CheckProblem problem);

// Converts `midi` with `options` and `date`, decodes the result and compares.
CheckReport checkConversion(std::span<const std::uint8_t> midi, const ConversionOptions& options,
                            CalendarDate date = {});
// Compares `midi` with the ring tone `mfi`, however it was made.
CheckReport compareWithRingTone(std::span<const std::uint8_t> midi, std::span<const std::uint8_t> mfi);

// The report as an SVG picture: a piano roll of the MIDI file's notes per
// channel over time, coloured by what became of them, the misheard changes
// on the time axis, a legend and `songName` (UTF-8) as the title.
std::string checkPicture(const CheckReport& report, std::string_view songName);

}  // namespace tonvell

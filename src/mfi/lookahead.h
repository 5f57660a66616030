// The note look-ahead for a whole channel at once.
//
// A note's length is the sum of the deltas from its note-on to the first
// event after it that ends its key on the channel (a note-off, or a note-on
// of velocity 0), read by the look-ahead's own rules: it takes no
// manufacturer id after 0xF0, and it skips a tempo meta event by its length
// where the translation always reads three bytes. So the look-ahead may read
// a stretch of the stream differently from the translation, and what it meets
// depends on where it starts. Scanning ahead from every note-on is quadratic
// for a channel full of notes that never end; NoteEndFinder answers every
// note-on of a channel in time linear in the stream instead.
//
// Usually both read every event alike, and one walk along the stream pairs
// each note-on with the first event after it that ends its key. Where they
// part, the events as the look-ahead reads them are taken as a graph: a
// state is a read position with the status in force there, and each state
// leads to the state after its event. The translation's own events give a
// path of states on which every note-on's look-ahead starts; where the
// look-ahead leaves it, its states are followed until they meet a state
// already known. The states then form a forest whose roots lie at the
// stream's end, and a note's end is the nearest state towards the root that
// ends its key: one walk over the forest with a stack per key answers every
// note-on.
#pragma once

#include <cstdint>
#include <vector>

#include "core/workspace.h"
#include "mfi/translate.h"

namespace tonvell {

// The event at readPos (of the channel in hand) as the look-ahead reads it
// with `status` in force: the key it ends and the key it sounds on the
// channel (-1 for none). False when the translation would end the event
// elsewhere. Leaves readPos where it was.
bool lookAheadReadsAlike(ConversionWorkspace& ws, int status, int* endsKey, int* soundingKey);

class NoteEndFinder final : public NoteLengthSource {
 public:
  // For the channel in hand (currentChannel, its stream from readPos to
  // readEnd of readBase, read from the start with runningStatus -1): the
  // length of every note-on that the translation will hand to
  // translateNoteOn, in stream order, into ws.noteLengths (-1 where the
  // stream holds no end), with nextNoteLength 0. Leaves readPos and
  // runningStatus as they were. False when memory cannot be had.
  bool findNoteLengths(ConversionWorkspace& ws) override;

  // Reserves room for channels of up to `streamLength` bytes, so that
  // finding the lengths allocates nothing more on well-formed streams.
  bool reserve(ConversionWorkspace& ws, int streamLength) override;

 private:
  // A state of the look-ahead and the event read from it.
  struct State {
    std::int64_t ticksToEnd;  // deltas from here to the stream's end, this event's included
    std::int32_t pos;         // read position of the event's delta
    std::int32_t delta;
    std::int32_t next;        // the state after this event, -1 at the stream's end
    std::int32_t link;        // another state at the same position; then the next below on its key's stack
    std::int32_t firstChild;  // states whose next is this one
    std::int32_t nextSibling;
    std::int32_t note;        // the note-on whose look-ahead starts here, -1 for none
    std::int16_t status;      // status in force, kOwnStatus when the event carries its own
    std::int16_t endsKey;     // the key whose notes this event ends on the channel, -1 for none
    std::int16_t noteKey;     // the key of `note`
  };
  // Where the look-ahead leaves the translation's path: the state after the
  // event of `from` as the look-ahead reads it.
  struct Departure {
    std::int32_t from;
    std::int32_t pos;
    std::int16_t status;
  };

  static constexpr std::int16_t kOwnStatus = 0x100;

  bool pairAlongTranslation(ConversionWorkspace& ws);
  void walkTranslation(ConversionWorkspace& ws);
  void followDepartures(ConversionWorkspace& ws, int begin);
  void answerNotes(ConversionWorkspace& ws);

  std::vector<std::int32_t> pendingNext_;  // per note-on: the next pending note-on of its key
  std::vector<State> states_;
  std::vector<Departure> departures_;
  std::vector<std::int32_t> firstAt_;    // per stream byte: a state at that position, -1 for none
  std::vector<std::int32_t> sysexEnds_;  // per stream byte: the position after the next 0xF7, or readEnd
};

}  // namespace tonvell

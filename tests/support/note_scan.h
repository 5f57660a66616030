// The quadratic note look-ahead: for each note-on, a scan ahead from it to
// the event that ends its key. It is the reference the conversion's linear
// look-ahead (NoteEndFinder) is checked against.
#pragma once

#include <cstdint>

#include "core/workspace.h"
#include "mfi/translate.h"

namespace tonvell::test {

// SMF ticks from the note-on (cursor just after it) to the event that ends
// it, or -1 when the stream holds none: a scan to the stream's end for a
// note that never ends. Moves neither readPos nor runningStatus.
std::int64_t findNoteDurationByScan(ConversionWorkspace& ws, int key);

// Finds every note length of a channel by walking it as the translation does
// and scanning ahead from each sounding note-on.
class ScanNoteLengths final : public NoteLengthSource {
 public:
  bool reserve(ConversionWorkspace&, int) override { return true; }
  bool findNoteLengths(ConversionWorkspace& ws) override;
};

}  // namespace tonvell::test

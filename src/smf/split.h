// The analysis of one loaded input: the header checks and the split of the
// track chunks into one byte stream per MIDI channel, then (in the same call)
// the translation of those streams into MFi events.
#pragma once

#include "convert/run.h"

namespace tonvell {

// splitChannels, then translateChannels. 108, or the code of the first
// failure: 109, 115, 111 from the header and track checks, 106 when the
// events do not fit the work buffers.
ConvertResult analyseSmf(PassContext& pass);

// Checks the header (109, 115, 111 in this order) and builds the sixteen
// channel streams in bufferA: channel c's at c x L, each followed by the
// closing bytes 00 FF 2F 00 when it is not empty.
ConvertResult splitChannels(PassContext& pass);

// Consumes the data bytes of the event with this status (the low byte of
// `status`; -1 counts as 0xFF) and answers the channel its stream goes to.
int classifyEvent(ConversionWorkspace& ws, int status);

}  // namespace tonvell

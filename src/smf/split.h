// The split: the header checks and the split of the track chunks of one
// loaded input into one byte stream per MIDI channel.
#pragma once

#include "core/pass.h"

namespace tonvell {

// Checks the header (109, 115, 111 in this order) and builds the sixteen
// channel streams in bufferA: channel c's at c x L, each followed by the
// closing bytes 00 FF 2F 00 when it is not empty.
ConvertResult splitChannels(PassContext& pass);

// The header checks of splitChannels on the input at readBase (the first
// inputLength bytes, readEnd and readSize there): the division into
// ws.division, the number of tracks to split (at most 16) into *trackCount,
// and readPos where the search for the first track starts.
ConvertResult readSmfHeader(ConversionWorkspace& ws, int* trackCount);

// Finds the chunk of track `track` (of trackCount) from readPos: its declared
// length into *declared, readPos on its first byte and readEnd at its end
// (clamped to the input). False when the input holds no such chunk (111).
bool findTrack(ConversionWorkspace& ws, int track, int trackCount, std::int32_t* declared);

// Consumes the data bytes of the event with this status (the low byte of
// `status`; -1 counts as 0xFF) and answers the channel its stream goes to.
int classifyEvent(ConversionWorkspace& ws, int status);

}  // namespace tonvell

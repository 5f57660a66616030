// The split and the translation in one walk over the track chunks.
//
// splitChannels copies each channel's events into a stream of its own, and
// translateChannels then reads every stream again. A channel's stream holds
// its events in the order the split meets them, each with its own delta, so
// the translation of all sixteen streams can follow the split event by event,
// one translation state per channel, and no stream is ever written. Each
// channel's events go to a sixteenth of bufferB and are moved together at
// the end.
//
// That walk is taken only where its result is sure to be the usual one;
// wherever the streams could read differently from the tracks (an event cut
// off by its track's end, a data byte under another running status than its
// stream's, a system message, a tempo of another length than three), or where
// a channel's events outgrow its sixteenth, it gives up, and the caller runs
// the two passes as usual on the input, which it leaves untouched.
#pragma once

#include "core/pass.h"

namespace tonvell {

// With the input loaded in bufferA, no trace and no progress display: true
// when it has left in bufferB the channels' MFi events, and in the workspace
// what the assembly and the header read (streamPos, streamLength,
// writeLength, mfiEventBytes, the texts and metaFlags), exactly as
// splitChannels and translateChannels would; false, with bufferA as loaded,
// where the two passes are to run instead.
bool translateTracks(PassContext& pass);

}  // namespace tonvell

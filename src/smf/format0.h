// Format-0 files, on request: the one track of a format-0 file rewritten as a
// format-1 file with one track per MIDI channel, which the passes then take
// as they take any format-1 input.
//
// The format-1 file, for a format-0 track whose highest channel with a
// channel event is H (-1 when it has none):
//   header   "MThd", length 6, format 1, min(H + 2, 16) tracks, the source's division;
//   track 0  every meta event but the end of track, and every system event
//            (0xF0 to 0xFE), at its time and in its order;
//   track c + 1, for c = 0 .. H: the channel events of channel c at their
//            times and in their order;
// except for channel 16 (c = 15), whose own track would be the seventeenth,
// which the split never reads: its events take the track of the highest
// channel below it that has no channel events (that track, which would hold
// only an end of track, holds channel 16 instead, and there are as many
// tracks as that needs, 16 at most). Two channels never share a track: the
// split times a track's events per channel. When all 16 channels play,
// channel 16 is left out (and the caller is told);
// each event with its own status byte (running status resolved) and its
// bytes as they stand in the source, deltas recomputed from the absolute
// times, and every track ending with an end-of-track event at the source's
// end time (that of its last event, normally its own end of track). So track
// k ends channel k - 1, as in a file authored one track per channel.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/result.h"
#include "core/workspace.h"

namespace tonvell {

// Whether the header, read as the split reads it, is "MThd" with a non-zero
// header length, format 0 and exactly one declared track.
bool isSingleTrackFormat0(std::span<const std::uint8_t> input);

// Rewrites a file for which isSingleTrackFormat0 holds as the format-1 file
// above, into `out`: 108; 106 when the input or the rewritten file reaches
// `ceiling` bytes (the input ceiling unless a test lowers it), or memory
// cannot be had; 109 when two events of a track lie further apart than a
// delta can carry. The rewritten file's room is taken only once its size is
// known to lie below the ceiling. `channel16LeftOut` (may be null) is set
// when channel 16 plays but found no track.
ConvertResult rewriteFormat0(std::span<const std::uint8_t> input, std::vector<std::uint8_t>* out,
                             std::int64_t ceiling = kMaxInputLength, bool* channel16LeftOut = nullptr);

}  // namespace tonvell

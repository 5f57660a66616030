// Lean fuzz target: the format-0 rewrite. Of a file the ordinary reader
// takes, it must make a format-1 file the reader takes, at the same division;
// it never has more than 16 tracks, the most the split reads. (Whether a
// track mixes channels cannot be told here: the rewrite keeps the split's
// extents, which the ordinary reader does not share for hostile system
// events.) The conversion of the rewrite must give a sound file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "convert/pipeline.h"
#include "fuzz/checks.h"
#include "smf/events.h"
#include "smf/format0.h"

using namespace tonvell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  if (!isSingleTrackFormat0(input)) return 0;
  std::vector<std::uint8_t> rewritten;
  const ResultCode code = rewriteFormat0(input, &rewritten);
  if (code != result::kSuccess) {
    if (!fuzz::knownFailure(code)) fuzz::fail("unknown result code", std::to_string(static_cast<int>(code)));
    return 0;
  }
  const SmfSong source = readSmfSong(input);
  const SmfSong song = readSmfSong(rewritten);
  if (source.ok && (!song.ok || song.format != 1 || song.division != source.division))
    fuzz::fail("the rewrite of a file the reader takes is not a format-1 file it takes", song.error);
  if (song.tracks.size() > 16)
    fuzz::fail("the rewrite has a track count the split cannot take", std::to_string(song.tracks.size()));

  ConversionOptions options = fuzz::leanOptions();
  options.format0 = true;
  const ConversionResult r = convertMidi(input, options, CalendarDate{2003, 1, 5});
  if (r.code == result::kSuccess) fuzz::checkConverted(r.mfi);
  else if (!fuzz::knownFailure(r.code)) fuzz::fail("unknown result code", std::to_string(static_cast<int>(r.code)));
  return fuzz::keepUnlessHuge(r.mfi);
}

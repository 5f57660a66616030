#include "fuzz/checks.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "mfi/decode.h"
#include "mfi/inspect.h"
#include "smf/events.h"

namespace tonvell::fuzz {

void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "tonvell-fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

bool knownFailure(ResultCode code) {
  switch (code) {
    case result::kNoMemory:
    case result::kNotMidi:
    case result::kSmpteDivision:
    case result::kNotFormat1:
    case result::kHeaderTooLong:
      return true;
    default:
      return false;
  }
}

void checkConverted(std::span<const std::uint8_t> mfi) {
  const InspectResult check = inspectMfi(mfi.data(), mfi.size());
  if (!check.ok) fail("the inspector rejects a converted file", check.describeError());
  if (std::size_t{check.fileLength} + 8 != mfi.size())
    fail("the file length field disagrees with the file", std::to_string(check.fileLength));
  if (check.trackCount != static_cast<int>(check.tracks.size()))
    fail("the track count disagrees with the tracks", std::to_string(check.trackCount));
  // The listing costs a line per event: kept to files of a page (the inspect
  // target lists every file it takes).
  if (mfi.size() <= 1024 && formatInspect(check).empty()) fail("the listing of an accepted file is empty");
  checkDecodes(mfi, true);
}

ConversionOptions leanOptions() {
  ConversionOptions options;
  options.workBufferFloor = 64 * 1024;
  return options;
}

int keepUnlessHuge(std::span<const std::uint8_t> mfi) { return mfi.size() > 64 * 1024 ? -1 : 0; }

void checkDecodes(std::span<const std::uint8_t> mfi, bool mustDecode) {
  const DecodedMfi d = decodeMfi(mfi);
  if (!d.ok) {
    if (mustDecode) fail("the decoder rejects a converted file", d.error);
    if (d.error.empty()) fail("the decoder rejects a file without saying why");
    return;
  }
  const SmfSong song = readSmfSong(d.midi);
  if (!song.ok || song.format != 1 || song.division != 48)
    fail("the decoder wrote a MIDI file the SMF reader does not take as format 1 at 48", song.error);
  if (song.tracks.size() != 1 + static_cast<std::size_t>(std::popcount(static_cast<unsigned>(d.channelMask))))
    fail("the decoded MIDI file has the wrong number of tracks");
  if (!std::isfinite(d.seconds) || d.seconds < 0) fail("a negative or undefined playing time");
}

}  // namespace tonvell::fuzz

// Lean fuzz target: the strict MFi inspector on any bytes. What it accepts
// must agree with itself (length field, track count), list and print as JSON,
// and decode, since the decoder takes every file the inspector does; what it
// refuses it must name.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz/checks.h"
#include "mfi/inspect.h"

using namespace tonvell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const InspectResult r = inspectMfi(data, size);
  if (!r.ok) {
    if (r.error.empty()) fuzz::fail("the inspector refuses a file without saying why");
    if (r.errorOffset > size) fuzz::fail("the fault lies past the end of the file", std::to_string(r.errorOffset));
    if (formatInspectJson(r, "x.mld").find("\"ok\":false") == std::string::npos)
      fuzz::fail("the JSON of a refused file does not say so");
    return 0;
  }
  if (std::size_t{r.fileLength} + 8 != size) fuzz::fail("an accepted file's length field disagrees with its size");
  if (r.trackCount != static_cast<int>(r.tracks.size())) fuzz::fail("the track count disagrees with the tracks");
  for (const MfiTrackInfo& t : r.tracks)
    if (t.offset + 8 + t.length > size) fuzz::fail("a track runs past the end of an accepted file");
  if (formatInspect(r).empty()) fuzz::fail("the listing of an accepted file is empty");
  if (formatInspectJson(r, "x.mld").find("\"ok\":true") == std::string::npos)
    fuzz::fail("the JSON of an accepted file does not say so");
  fuzz::checkDecodes(std::span(data, size), true);
  return 0;
}

// Lean fuzz target: the handset mode's writer, once per input. The input's
// last byte also picks the master volume and loop switches and whether a
// format-0 file is taken, so that every combination is reached.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "convert/pipeline.h"
#include "fuzz/checks.h"

using namespace tonvell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ConversionOptions options = fuzz::leanOptions();
  options.handset = true;
  const std::uint8_t pick = size ? data[size - 1] : 0;
  options.masterVolumeSwitch = (pick & 1) == 0;
  options.masterVolume = pick & 0x7F;
  options.loopSwitch = (pick & 2) == 0;
  options.format0 = (pick & 4) != 0;
  const ConversionResult r = convertMidi(std::span(data, size), options, CalendarDate{2003, 1, 5});
  if (r.code == result::kSuccess) {
    fuzz::checkConverted(r.mfi);
  } else if (!fuzz::knownFailure(r.code)) {
    fuzz::fail("unknown result code", std::to_string(static_cast<int>(r.code)));
  }
  return fuzz::keepUnlessHuge(r.mfi);
}

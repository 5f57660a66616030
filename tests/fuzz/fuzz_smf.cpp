// Lean fuzz target: the default conversion of one MIDI file, once. Whatever
// it accepts must be a file the inspector takes and the decoder reads.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "convert/pipeline.h"
#include "fuzz/checks.h"

using namespace tonvell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ConversionResult r = convertMidi(std::span(data, size), fuzz::leanOptions(), CalendarDate{2003, 1, 5});
  if (r.code == result::kSuccess) {
    fuzz::checkConverted(r.mfi);
  } else {
    if (!fuzz::knownFailure(r.code)) fuzz::fail("unknown result code", std::to_string(static_cast<int>(r.code)));
    if (!r.mfi.empty()) fuzz::fail("a failed conversion returned a file");
  }
  return fuzz::keepUnlessHuge(r.mfi);
}

// Lean fuzz target: the decoder on any bytes, as handsets read any MFi file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tonvell::fuzz::checkDecodes(std::span(data, size), false);
  return 0;
}

#include "core/workspace.h"

#include <new>

namespace tonvell {

bool ConversionWorkspace::allocateBuffers(int length) {
  releaseBuffers();
  const std::int64_t capacity = bufferCapacityFor(length);
  bufferA.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(capacity)]);
  if (!bufferA) return false;
  bufferB.reset(new (std::nothrow) std::uint8_t[static_cast<size_t>(capacity)]);
  if (!bufferB) {
    bufferA.reset();
    return false;
  }
  bufferCapacity = static_cast<int>(capacity);
  inputLength = length;
  overflow = false;
  return true;
}

void ConversionWorkspace::releaseBuffers() {
  bufferB.reset();
  bufferA.reset();
  bufferCapacity = 0;
  readBase = nullptr;
  writeBase = nullptr;
  readSize = 0;
}

}  // namespace tonvell

#include "core/workspace.h"

#include <new>

namespace tonvell {

bool ConversionWorkspace::allocateBuffers(int length, std::int64_t floor) {
  const std::int64_t capacity = bufferCapacityFor(length, floor);
  if (bufferA && bufferB && bufferCapacity == capacity) {
    inputLength = length;
    overflow = false;
    return true;
  }
  releaseBuffers();
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

void ConversionWorkspace::startOver() {
  std::unique_ptr<std::uint8_t[]> a = std::move(bufferA);
  std::unique_ptr<std::uint8_t[]> b = std::move(bufferB);
  const int capacity = bufferCapacity;
  *this = ConversionWorkspace();
  bufferA = std::move(a);
  bufferB = std::move(b);
  bufferCapacity = bufferA && bufferB ? capacity : 0;
}

}  // namespace tonvell

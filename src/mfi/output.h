// The output operations: every byte of MFi data is appended through these to
// writeBase at writeLength. Numbers are big-endian. A write that would pass
// the buffer's capacity is not done; the workspace's overflow flag is set and
// the pass in hand ends with 106.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/workspace.h"

namespace tonvell {

inline void writeByte(ConversionWorkspace& ws, std::int64_t value) {
  if (ws.writeLength >= ws.bufferCapacity) {
    ws.overflow = true;
    return;
  }
  ws.writeBase[ws.writeLength++] = static_cast<std::uint8_t>(value & 0xFF);
}

inline void writeU16(ConversionWorkspace& ws, std::uint32_t value) {
  writeByte(ws, (value >> 8) & 0xFF);
  writeByte(ws, value & 0xFF);
}

inline void writeU32(ConversionWorkspace& ws, std::uint32_t value) {
  writeU16(ws, value >> 16);
  writeU16(ws, value & 0xFFFF);
}

// Every byte of the text, no terminator, no length. Stops at a NUL.
inline void writeText(ConversionWorkspace& ws, std::string_view text) {
  for (const char c : text) {
    if (c == '\0') break;
    writeByte(ws, static_cast<unsigned char>(c));
  }
}

// Room for `bytes` more bytes at writeLength; sets overflow when there is none.
inline bool reserveOutput(ConversionWorkspace& ws, std::int64_t bytes) {
  if (bytes > static_cast<std::int64_t>(ws.bufferCapacity) - ws.writeLength) {
    ws.overflow = true;
    return false;
  }
  return true;
}

// Stores a 32-bit value big-endian at `offset` of writeBase (a length field
// written earlier as a placeholder).
inline void patchU32(ConversionWorkspace& ws, int offset, std::uint32_t value) {
  ws.writeBase[offset] = static_cast<std::uint8_t>(value >> 24);
  ws.writeBase[offset + 1] = static_cast<std::uint8_t>(value >> 16);
  ws.writeBase[offset + 2] = static_cast<std::uint8_t>(value >> 8);
  ws.writeBase[offset + 3] = static_cast<std::uint8_t>(value);
}

}  // namespace tonvell

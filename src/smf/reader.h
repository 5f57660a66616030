// The byte cursor over the workspace's read buffer and the Standard MIDI File
// primitives on it. These never fail and report nothing: at the limit
// (readEnd) they stop moving. A read at the limit returns the byte at readEnd
// when that byte still belongs to the loaded data (readSize), else 0, so no
// read ever leaves the loaded input.
#pragma once

#include <cstdint>
#include <string>

#include "core/workspace.h"

namespace tonvell {

// The byte at readPos, without moving.
inline int peekByte(const ConversionWorkspace& ws) {
  return static_cast<unsigned>(ws.readPos) < static_cast<unsigned>(ws.readSize) ? ws.readBase[ws.readPos] : 0;
}

// The byte at readPos; moves past it while readPos < readEnd.
inline int readByte(ConversionWorkspace& ws) {
  if (ws.readPos < ws.readEnd) return ws.readBase[ws.readPos++];
  return peekByte(ws);
}

inline bool atLimit(const ConversionWorkspace& ws) { return ws.readPos >= ws.readEnd; }

// The status of the event at the cursor: a status byte (0x80 or more) is
// read and becomes the running status; before a data byte the running
// status applies and nothing is read.
inline int readStatus(ConversionWorkspace& ws) {
  if (peekByte(ws) >= 0x80) ws.runningStatus = readByte(ws);
  return ws.runningStatus;
}

// Big-endian, first byte high.
inline std::uint32_t readU16(ConversionWorkspace& ws) {
  const std::uint32_t hi = static_cast<std::uint32_t>(readByte(ws));
  return (hi << 8) | static_cast<std::uint32_t>(readByte(ws));
}
inline std::uint32_t readU32(ConversionWorkspace& ws) {
  const std::uint32_t hi = readU16(ws);
  return (hi << 16) | readU16(ws);
}

// (first AND 0x7F) OR (second << 7): a 14-bit value, low part first.
inline int readValue14(ConversionWorkspace& ws) {
  const int lo = readByte(ws) & 0x7F;
  return (lo | (readByte(ws) << 7)) & 0xFFFF;
}

// A manufacturer id: one byte, or 0 followed by two (then bit 16 is set).
inline int readSysexId(ConversionWorkspace& ws) {
  const int b0 = readByte(ws);
  if (b0 != 0) return b0;
  const int b1 = readByte(ws);
  const int b2 = readByte(ws);
  return 0x10000 + b1 * 0x100 + b2;
}

// A variable-length quantity of at most four bytes: 0 to 0x0FFFFFFF.
inline int readVarLen(ConversionWorkspace& ws) {
  int b = readByte(ws);
  int value = b & 0x7F;
  for (int n = 1; (b & 0x80) && n < 4; ++n) {
    b = readByte(ws);
    value = (value << 7) | (b & 0x7F);
  }
  return value;
}

// readVarLen for the fast paths, which have made sure beforehand that four
// bytes are there: reads at in[*pos] and moves *pos past the quantity.
inline int readVarLenAt(const std::uint8_t* in, int* pos) {
  int b = in[(*pos)++];
  int value = b & 0x7F;
  for (int n = 1; (b & 0x80) && n < 4; ++n) {
    b = in[(*pos)++];
    value = (value << 7) | (b & 0x7F);
  }
  return value;
}

// Reads `count` bytes into `text`, dropping NUL bytes. Stops at the limit:
// a count beyond the data reads only what is there.
void readText(ConversionWorkspace& ws, std::int64_t count, std::string* text);

// Passes over `count` bytes (or up to the limit) without keeping them.
inline void skipBytes(ConversionWorkspace& ws, std::int64_t count) {
  const std::int64_t room = ws.readEnd > ws.readPos ? ws.readEnd - ws.readPos : 0;
  ws.readPos += static_cast<int>(count < room ? count : room);
}

// Reads bytes until a 0xF7 has been read or the limit is reached.
inline void skipToSysexEnd(ConversionWorkspace& ws) {
  while (ws.readPos < ws.readEnd) {
    if (ws.readBase[ws.readPos++] == 0xF7) return;
  }
}

// How a pass reads the bytes of an event after its status. The passes read
// every event alike but for three kinds, and each of them reads the whole
// stream its own way, so where a stream holds such an event the passes may
// disagree about where the next event starts. Each difference is kept, and
// named here.
struct EventReading {
  bool sysexId;              // 0xF0: a manufacturer id (1 or 3 bytes) comes before the body
  bool tempoThreeBytes;      // meta 0x51: exactly three data bytes, whatever its length says
  int undefinedStatusBytes;  // 0xF4..0xFE: data bytes that follow
};
inline constexpr EventReading kSplitReading{true, false, 0};
inline constexpr EventReading kTranslationReading{true, true, 1};
inline constexpr EventReading kLookAheadReading{false, false, 1};

// Moves readPos past the data bytes of the event whose status is `status`
// (the low byte; -1 counts as 0xFF), read the `reading` way; readPos is
// just after the status byte, or on the first data byte under running status.
// Channel events: two data bytes, one for 0xC0..0xDF. 0xF0: bytes up to and
// including the next 0xF7. 0xF1 and 0xF3: one byte; 0xF2: two. 0xFF: the
// type, a variable-length count and that many bytes.
inline void skipEventBody(ConversionWorkspace& ws, int status, const EventReading& reading) {
  const int s = status & 0xFF;
  if (s < 0xF0) {
    // A status below 0x80 never comes: the running status holds only status
    // bytes, or -1, which reads as 0xFF.
    const int kind = s & 0xF0;
    if (kind == 0xC0 || kind == 0xD0) {
      readByte(ws);
    } else if (s >= 0x80) {
      readByte(ws);
      readByte(ws);
    }
    return;
  }
  switch (s) {
    case 0xF0:
      if (reading.sysexId) readSysexId(ws);
      skipToSysexEnd(ws);
      return;
    case 0xF1:
    case 0xF3:
      readByte(ws);
      return;
    case 0xF2:
      readValue14(ws);
      return;
    case 0xFF: {
      const int type = readByte(ws);
      const int length = readVarLen(ws);
      if (type == 0x51 && reading.tempoThreeBytes) {
        readByte(ws);
        readByte(ws);
        readByte(ws);
      } else {
        skipBytes(ws, length);
      }
      return;
    }
    default:
      for (int i = 0; i < reading.undefinedStatusBytes; ++i) readByte(ws);
      return;
  }
}


// The length of the first chunk with id `id` from readPos, with readPos on
// its first data byte; 0 when there is none before readEnd, or when the
// matching chunk is empty (readPos then past its header). A length that would
// step backwards or past the loaded data ends the search with 0 and leaves
// readPos at readEnd.
std::uint32_t findChunk(ConversionWorkspace& ws, std::uint32_t id);

// Stores the low 28 bits of `value` at `out` in shortest variable-length
// form; returns the bytes stored (1 to 4).
inline int encodeVarLen(std::uint32_t value, std::uint8_t* out) {
  const std::uint32_t d = value & 0x0FFFFFFF;
  if (d < 0x80) {
    out[0] = static_cast<std::uint8_t>(d);
    return 1;
  }
  int n = 0;
  if (d >> 21) out[n++] = static_cast<std::uint8_t>(((d >> 21) & 0x7F) | 0x80);
  if (n || (d >> 14)) out[n++] = static_cast<std::uint8_t>(((d >> 14) & 0x7F) | 0x80);
  if (n || (d >> 7)) out[n++] = static_cast<std::uint8_t>(((d >> 7) & 0x7F) | 0x80);
  out[n++] = static_cast<std::uint8_t>(d & 0x7F);
  return n;
}

// Appends pendingDelta[channel] in shortest variable-length form at
// streamPos[channel] of writeBase (1 to 4 bytes). Leaves pendingDelta as is.
// Sets overflow instead of writing past the buffer.
inline void writePendingDelta(ConversionWorkspace& ws, int channel) {
  std::uint8_t bytes[4];
  const int n = encodeVarLen(static_cast<std::uint32_t>(ws.pendingDelta[channel]), bytes);
  int& pos = ws.streamPos[channel];
  if (pos > ws.bufferCapacity - n) {
    ws.overflow = true;
    return;
  }
  for (int i = 0; i < n; ++i) ws.writeBase[pos++] = bytes[i];
}

}  // namespace tonvell

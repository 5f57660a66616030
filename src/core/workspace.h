// The conversion workspace: the state every pass of one conversion works on.
// It serves one conversion at a time and one thread only (convertMidi keeps
// one per thread and starts each conversion afresh in it), so conversions on
// different threads share nothing.
//
// Buffer roles, pass by pass (L = inputLength, capacity = max(16 L, 1 MiB)):
//   load         the input file goes to bufferA[0, L)
//   split        swaps the buffers (the input is then in bufferB), reads it there and
//                writes channel c's stream at c x L of bufferA
//   translation  reads the streams in bufferA, writes all channels' MFi events into bufferB
//                (untraced, both in one walk over the input in bufferA where that gives the
//                same events: mfi/direct.h)
//   assembly     swaps the buffers (the events are then in bufferA), writes the whole
//                MFi file into bufferB from 0
//   save         writes bufferB[0, writeLength) to the ".mld" file
// The handset mode (mfi/handset.h) runs the split, copies the input back from
// bufferB to bufferA, reads it there and writes the MFi file into bufferB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/result.h"

namespace tonvell {


// Inputs of this size or more are refused with 106: offsets up to 16 x L
// must stay within 32-bit signed integers.
inline constexpr std::int64_t kMaxInputLength = std::int64_t{1} << 27;
// Every work buffer holds at least this much, so tiny inputs with long notes
// or long silences still have room.
inline constexpr std::int64_t kMinBufferCapacity = std::int64_t{1} << 20;

// Capacity of each work buffer for an input of `length` bytes, at least
// `floor` (which the ring-tone conventions put at kMinBufferCapacity).
inline std::int64_t bufferCapacityFor(std::int64_t length, std::int64_t floor = kMinBufferCapacity) {
  const std::int64_t scaled = length * 16;
  return scaled < floor ? floor : scaled;
}

struct ConversionWorkspace {
  int endOwnerChannel = 0;     // split: track index - 1; receives end-of-track events
  int runningStatus = -1;      // last status byte read, -1 while none
  std::string smfSequenceName; // first sequence-name meta event of the input (raw bytes)
  std::string smfCopyright;    // last copyright meta event of the input (raw bytes)
  bool headerTextSubstituted = false;  // a typed header text held characters GBK lacks
  int mfiEventBytes = 0;       // all channels' MFi event bytes after the translation
  int readEnd = 0;             // exclusive limit of the read cursor
  int pendingDelta[16] = {};   // split: delta to write before the channel's next event
  int streamPos[16] = {};      // split: write position; from the translation on: first MFi event
  int streamLength[16] = {};   // split: stream bytes (closing bytes not counted); then MFi bytes
  int division = 0;            // SMF ticks per quarter note
  // ceil(2^64 / division) while reciprocalOf == division (set by the
  // translation for divisions above 1): ticks x 48 below 2^32 are then
  // divided by a multiplication.
  std::uint64_t divisionReciprocal = 0;
  int reciprocalOf = 0;
  int channelCount = 0;        // channels with a non-empty stream after the split
  int currentChannel = -1;     // channel being translated or merged; -1 before the translation
  std::int64_t absoluteTick = 0;     // split: ticks from the track's start (64-bit: hostile deltas)
  std::int64_t deltaAccumulator = 0; // translation: SMF ticks since the last written event
  std::uint16_t metaFlags = 0;       // 0x02 tempo written, 0x10 sequence name taken
  // Translation: the length in SMF ticks of each sounding note-on of the
  // channel in hand, in stream order (-1: nothing in the stream ends it),
  // found in one pass before the channel is translated; the next to use.
  // Empty outside the translation.
  std::vector<std::int64_t> noteLengths;
  std::size_t nextNoteLength = 0;
  int inputLength = 0;         // L
  int writeLength = 0;         // write cursor at writeBase
  int readPos = 0;             // read cursor into readBase

  std::unique_ptr<std::uint8_t[]> bufferA;
  std::unique_ptr<std::uint8_t[]> bufferB;
  int bufferCapacity = 0;      // bytes in each of bufferA and bufferB

  std::uint8_t* readBase = nullptr;
  std::uint8_t* writeBase = nullptr;
  // Bytes of readBase that hold loaded data: a read at the limit returns the
  // byte at readEnd when it lies below this, else 0.
  int readSize = 0;
  // Set by any write that would pass the buffer's capacity; the write is not
  // done and the pass ends with 106.
  bool overflow = false;

  // Allocates both buffers for an input of `length` bytes (already checked
  // against kMaxInputLength). Buffers already held of exactly that capacity
  // are kept as they are (their old contents are never read: every pass
  // reads only what an earlier pass of the same conversion wrote). False
  // when memory cannot be had; nothing is left allocated then.
  bool allocateBuffers(int length, std::int64_t floor = kMinBufferCapacity);
  void releaseBuffers();
  // Every field back to what a new workspace holds, except the two buffers,
  // which stay for the next allocateBuffers to use again.
  void startOver();
};

inline constexpr std::uint16_t kMetaTempoWritten = 0x0002;
inline constexpr std::uint16_t kMetaSequenceNameTaken = 0x0010;

}  // namespace tonvell

// A Standard MIDI File read into lists of timed events, one list per track,
// by the ordinary reading of the format (a system-exclusive event carries its
// length; running status applies to channel events only). The conversion's
// passes read a file their own way (smf/split.h); this reading serves the
// handset mode, the format-0 rewrite's checks and the comparison of a ring
// tone with its MIDI file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tonvell {

struct SmfEvent {
  std::int64_t tick = 0;      // absolute, from the track's start
  std::uint8_t status = 0;    // channel status, 0xF0/0xF7 (system exclusive), 0xFF (meta), other system
  std::uint8_t metaType = 0;  // meta events: their type
  std::uint8_t data1 = 0;     // channel events: first data byte
  std::uint8_t data2 = 0;     // channel events: second data byte (0 when there is none)
  std::uint32_t payloadOffset = 0;  // meta and system exclusive: where the payload starts in the file
  std::uint32_t payloadLength = 0;
  int channel() const { return status & 0x0F; }
  int kind() const { return status & 0xF0; }  // 0x80..0xE0 for channel events
  bool isChannelEvent() const { return status >= 0x80 && status < 0xF0; }
};

struct SmfSong {
  bool ok = false;
  std::string error;  // why the file could not be read, when !ok
  int format = 0;
  int division = 0;   // ticks per quarter note (a time-code division is refused)
  std::vector<std::vector<SmfEvent>> tracks;
};

// Reads the header and every "MTrk" chunk (other chunks are passed over).
// Never reads past `bytes`; a truncated track keeps the events read before
// its end. A file without "MThd", or with a time-code or zero division, is
// refused.
SmfSong readSmfSong(std::span<const std::uint8_t> bytes);

// The tempo in microseconds per quarter note of a tempo meta event (0x51),
// or -1 when its payload is shorter than three bytes.
int tempoOf(const SmfEvent& event, std::span<const std::uint8_t> file);

}  // namespace tonvell

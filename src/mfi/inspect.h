// A strict reader of the MFi files this converter writes: checks the whole
// structure (header, information chunks, four "trac" chunks of 4-byte events
// closed by Cue_End and Data_End, or by Data_End alone in a file without cue
// events) and lists what the file holds. It reads
// only the bytes it is given and never prints; the command line's "inspect"
// and the tests format the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tonvell {

struct MfiChunkInfo {
  std::string id;        // "sorc", "vers", "note", "titl", "copy", "prot", "date"
  std::size_t offset = 0;  // of the chunk's id
  std::string data;      // raw bytes (GBK for "titl" and "copy")
};

struct MfiEventInfo {
  std::size_t offset = 0;     // of the event's first byte in the file
  std::uint8_t bytes[4] = {};
  std::uint64_t time = 0;     // MFi ticks from the track's start (sum of deltas, this one included)
  bool extended = false;      // byte 1 is 0xFF
  int channel = -1;           // channel in track (0..3); -1 for events that carry none
  int code = -1;              // extended: the event code (byte 2)
  int value = 0;              // extended: the value without the channel bits; note: the note number
  int gate = 0;               // note only
  int velocity = 0;           // note only: byte 3 >> 2 (0..63)
  int octaveShift = 0;        // note only: byte 3 bits 1..0 as 0, +12, -24, -12 keys
};

struct MfiTrackInfo {
  std::size_t offset = 0;  // of the "trac" id
  std::uint32_t length = 0;
  std::vector<MfiEventInfo> events;
};

struct InspectResult {
  bool ok = false;
  std::string error;          // what is wrong, when !ok
  std::size_t errorOffset = 0;
  std::uint32_t fileLength = 0;    // the field at offset 4
  std::uint16_t headerLength = 0;  // the field at offset 8
  int trackCount = 0;              // byte 12
  std::vector<MfiChunkInfo> chunks;  // as far as they were read
  std::vector<MfiTrackInfo> tracks;  // as far as they were read

  // "what is wrong at offset N"
  std::string describeError() const;
};

// Checks and lists one MFi file held in memory.
InspectResult inspectMfi(const std::uint8_t* data, std::size_t size);

// The name of an extended event code, or nullptr for a code this converter
// never writes.
const char* mfiEventName(int code);
// Ticks per quarter note of a tempo code 0xC0..0xCF; 0 for 0xC7, 0xCF and
// codes that are no tempo.
int tempoTimebase(int code);

// The listing of a file that passed (UTF-8 text, LF line ends).
std::string formatInspect(const InspectResult& result);

// The result as one JSON object on one line, for scripts; `name` is the
// file's name (UTF-8). A file that passed:
//   {"file", "ok": true, "size", "file_length", "header_length", "track_count",
//    "chunks": [{"id", "offset", "bytes" (hex), "text" (header texts, GBK
//                shown as UTF-8), "copy_prohibit" (sorc)}],
//    "tracks": [{"offset", "length", "events": [{"offset", "time", "channel"
//                (null when the event has none), "kind" ("note" or the event's
//                name), "bytes", and "note", "gate", "velocity" for a note,
//                "code", "value" for any other event}]}]}
// One that did not: {"file", "ok": false, "error", "offset"}.
std::string formatInspectJson(const InspectResult& result, std::string_view name);

// `utf8` as a JSON string literal, quotes included.
std::string jsonString(std::string_view utf8);

}  // namespace tonvell

#include "smf/format0.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "smf/reader.h"

namespace tonvell {

namespace {

constexpr std::uint32_t kMThd = 0x4D546864;
constexpr std::uint32_t kMTrk = 0x4D54726B;
constexpr std::int64_t kMaxDelta = 0x0FFFFFFF;  // what four bytes of a delta carry
constexpr int kLastTrack = 15;                   // the split reads tracks 0 to 15
constexpr int kLastChannel = 15;                 // channel 16, whose own track would be the seventeenth
constexpr int kEndOfTrack = -1;                 // an event that no track receives as it stands

struct Header {
  bool midi = false;  // "MThd" and a non-zero header length
  int format = 0;
  int tracks = 0;     // as declared, not capped
  int division = 0;
};

// The header fields as the split reads them: from offsets 8, 10 and 12
// whatever the header length says, a read past the end giving 0.
Header readHeader(std::span<const std::uint8_t> input) {
  std::uint8_t head[14] = {};
  const int n = static_cast<int>(std::min<std::size_t>(input.size(), sizeof head));
  if (n == 0) return {};
  std::memcpy(head, input.data(), static_cast<std::size_t>(n));
  ConversionWorkspace ws;
  ws.readBase = head;
  ws.readSize = n;
  ws.readEnd = n;
  Header h;
  if (readU32(ws) != kMThd || readU32(ws) == 0) return h;
  h.midi = true;
  h.format = static_cast<int>(readU16(ws));
  h.tracks = static_cast<int>(readU16(ws));
  h.division = static_cast<int>(readU16(ws));
  return h;
}

// One whole event of the source track.
struct SourceEvent {
  std::int64_t tick = 0;   // from the track's start
  int start = 0;           // first byte after the delta
  int end = 0;             // one past its last byte
  std::uint8_t status = 0; // the status it was read with (no status yet reads as 0xFF)
  bool ownStatus = false;  // false: running status, the bytes begin with data
  int track = 0;           // its track in the rewritten file (kLastTrack + 1 for channel 16), or kEndOfTrack
};

// Walks the track [begin, end) of the cursor's buffer exactly as the split
// walks a track chunk, and hands every whole event to `visit` in order.
// Extents are the split's own (kSplitReading), for every status: channel
// messages two data bytes (one for 0xC0..0xDF); 0xF0 a manufacturer id, then
// up to and including the first 0xF7; 0xF1 and 0xF3 one byte, 0xF2 two; 0xF4
// to 0xFE (0xF7 among them) none, so what follows is the next delta; 0xFF a
// type, a length and that many bytes. Any status byte, system and meta ones
// included, becomes the running status, and a track that starts with a data
// byte reads it as a meta event's type. So an event keeps, with its status
// written in front, the extent the split gives it in the source, wherever
// it is placed.
//
// An event that the track's end cuts short is left out, with whatever the
// track holds after its start: it has no extent of its own to carry over. So
// is a last delta with no event after it. Returns the time of the last event
// handed over (0 when there is none), which is where the rewritten tracks end.
//
// The buffer must hold one byte past `end`: whether an event is cut short is
// found by letting its reading see one byte more than the track holds.
template <typename Visit>
std::int64_t walkTrack(ConversionWorkspace& ws, int begin, int end, Visit&& visit) {
  ws.readPos = begin;
  ws.readEnd = end;
  ws.runningStatus = -1;
  std::int64_t tick = 0;
  std::int64_t endTick = 0;
  while (ws.readPos < end) {
    tick += readVarLen(ws);
    if (ws.readPos >= end) break;
    SourceEvent e;
    e.tick = tick;
    e.start = ws.readPos;
    e.status = static_cast<std::uint8_t>(readStatus(ws) & 0xFF);
    e.ownStatus = ws.readPos > e.start;
    const int metaType = e.status == 0xFF ? peekByte(ws) : -1;
    ws.readEnd = end + 1;
    skipEventBody(ws, e.status, kSplitReading);
    ws.readEnd = end;
    if (ws.readPos > end) break;  // it wanted a byte beyond the track
    e.end = ws.readPos;
    if (e.status >= 0x80 && e.status < 0xF0)
      e.track = (e.status & 0x0F) + 1;
    else if (metaType == 0x2F)
      e.track = kEndOfTrack;
    else
      e.track = 0;
    visit(e);
    endTick = tick;
  }
  return endTick;
}

int varLenSize(std::int64_t value) {
  int n = 1;
  while (value >>= 7) ++n;
  return n;
}

std::uint8_t* putVarLen(std::uint8_t* at, std::int64_t value) {
  const int n = varLenSize(value);
  for (int i = n - 1; i >= 0; --i) *at++ = static_cast<std::uint8_t>(((value >> (7 * i)) & 0x7F) | (i ? 0x80 : 0));
  return at;
}

std::uint8_t* putU16(std::uint8_t* at, std::uint32_t value) {
  *at++ = static_cast<std::uint8_t>(value >> 8);
  *at++ = static_cast<std::uint8_t>(value);
  return at;
}

std::uint8_t* putU32(std::uint8_t* at, std::uint32_t value) { return putU16(putU16(at, value >> 16), value); }

}  // namespace

bool isSingleTrackFormat0(std::span<const std::uint8_t> input) {
  const Header h = readHeader(input);
  return h.midi && h.format == 0 && h.tracks == 1;
}

ConvertResult rewriteFormat0(std::span<const std::uint8_t> input, std::vector<std::uint8_t>* out,
                             std::int64_t ceiling, bool* channel16LeftOut) {
  out->clear();
  if (channel16LeftOut) *channel16LeftOut = false;
  if (static_cast<std::int64_t>(input.size()) >= ceiling) return result::kNoMemory;
  const Header header = readHeader(input);
  const int length = static_cast<int>(input.size());

  std::vector<std::uint8_t> source;
  try {
    source.reserve(input.size() + 1);
    source.assign(input.begin(), input.end());
    source.push_back(0);  // the byte past the end that walkTrack may look at
  } catch (const std::bad_alloc&) {
    return result::kNoMemory;
  }
  ConversionWorkspace ws;
  ws.readBase = source.data();
  ws.readSize = length;
  ws.readEnd = length;
  ws.readPos = std::min(14, length);

  // The track is searched for as the split searches for the only track of a
  // file: one search from offset 14, passing over chunks of other ids; an
  // empty "MTrk" chunk ends it. When there is none, the rewritten file is the
  // header alone, which the passes refuse as any format-1 file whose track is
  // missing (after the division's own checks).
  const std::uint32_t found = findChunk(ws, kMTrk);
  if (found == 0) {
    try {
      out->resize(14);
    } catch (const std::bad_alloc&) {
      return result::kNoMemory;
    }
    putU16(putU16(putU16(putU32(putU32(out->data(), kMThd), 6), 1), 1), static_cast<std::uint32_t>(header.division));
    return result::kSuccess;
  }
  // As in the split: a negative length is a track with no events, one past
  // the file ends at the file's end.
  const std::int32_t declared = static_cast<std::int32_t>(found);
  const int begin = ws.readPos;
  const int end = static_cast<int>(std::min<std::int64_t>(std::int64_t{begin} + std::max(declared, 0), length));

  // First the sizes: each track's bytes (channel 16's in a slot of its
  // own), the channels played and the end.
  std::int64_t trackBytes[17] = {};
  std::int64_t lastTick[17] = {};
  bool tooFar[17] = {};
  int played = 0;  // bit c: channel c + 1 has channel events
  const auto place = [&](int track, std::int64_t tick, std::int64_t bytes) {
    const std::int64_t delta = tick - lastTick[track];
    if (delta > kMaxDelta) tooFar[track] = true;
    trackBytes[track] += varLenSize(delta) + bytes;
    lastTick[track] = tick;
  };
  const std::int64_t endTick = walkTrack(ws, begin, end, [&](const SourceEvent& e) {
    if (e.track == kEndOfTrack) return;
    place(e.track, e.tick, (e.ownStatus ? 0 : 1) + e.end - e.start);
    if (e.track > 0) played |= 1 << (e.track - 1);
  });
  // Channel 16 takes the track of the highest channel below it that plays
  // nothing, or is left out when every channel plays.
  int channel16Track = kEndOfTrack;
  if (played & (1 << kLastChannel)) {
    for (int c = kLastChannel - 1; c >= 0 && channel16Track == kEndOfTrack; --c)
      if (!(played & (1 << c))) channel16Track = c + 1;
    if (channel16Track == kEndOfTrack) {
      if (channel16LeftOut) *channel16LeftOut = true;
    } else {
      trackBytes[channel16Track] = trackBytes[kLastTrack + 1];
      lastTick[channel16Track] = lastTick[kLastTrack + 1];
      tooFar[channel16Track] = tooFar[kLastTrack + 1];
    }
  }
  int tracks = 1;
  for (int c = 0; c < kLastChannel; ++c)
    if (played & (1 << c)) tracks = c + 2;
  tracks = std::max(tracks, channel16Track + 1);  // 16 at most
  for (int k = 0; k < tracks; ++k) place(k, endTick, 3);
  if (std::find(tooFar, tooFar + tracks, true) != tooFar + tracks) return result::kNotMidi;
  std::int64_t total = 14;
  for (int k = 0; k < tracks; ++k) total += 8 + trackBytes[k];
  if (total >= ceiling) return result::kNoMemory;
  try {
    out->resize(static_cast<std::size_t>(total));
  } catch (const std::bad_alloc&) {
    return result::kNoMemory;
  }

  // Then the bytes, each track in its place.
  std::uint8_t* at = out->data();
  at = putU32(at, kMThd);
  at = putU32(at, 6);
  at = putU16(at, 1);
  at = putU16(at, static_cast<std::uint32_t>(tracks));
  at = putU16(at, static_cast<std::uint32_t>(header.division));
  std::uint8_t* write[17] = {};
  for (int k = 0; k < tracks; ++k) {
    at = putU32(at, kMTrk);
    at = putU32(at, static_cast<std::uint32_t>(trackBytes[k]));
    write[k] = at;
    at += trackBytes[k];
    lastTick[k] = 0;
  }
  walkTrack(ws, begin, end, [&](const SourceEvent& e) {
    const int track = e.track == kLastTrack + 1 ? channel16Track : e.track;
    if (track == kEndOfTrack) return;
    std::uint8_t*& w = write[track];
    w = putVarLen(w, e.tick - lastTick[track]);
    lastTick[track] = e.tick;
    if (!e.ownStatus) *w++ = e.status;
    std::memcpy(w, source.data() + e.start, static_cast<std::size_t>(e.end - e.start));
    w += e.end - e.start;
  });
  for (int k = 0; k < tracks; ++k) {
    std::uint8_t*& w = write[k];
    w = putVarLen(w, endTick - lastTick[k]);
    *w++ = 0xFF;
    *w++ = 0x2F;
    *w++ = 0x00;
  }
  return result::kSuccess;
}

}  // namespace tonvell

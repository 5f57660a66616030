#include "mfi/direct.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "mfi/lookahead.h"
#include "mfi/translate.h"
#include "smf/reader.h"
#include "smf/split.h"

namespace tonvell {

namespace {

// Data bytes of a channel event by the high half of its status.
constexpr std::uint8_t kDataBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};

// A note written with gate 1 whose gate waits for the event that ends it.
struct HeldNote {
  std::int64_t onTicks;  // the channel's ticks at the note-on, its delta included
  std::int32_t offset;   // its event in bufferB
  std::int32_t next;     // the next held note of its key, -1 for none
  std::int32_t later;    // the channel's next note, -1 for none
};

// What the translation of one channel stream keeps while it walks: the
// stream's ticks (the ticks of its last written event: `mark`) and running
// status, where its events go, and its held notes by key.
struct ChannelWalk {
  std::int64_t ticks = 0;
  std::int64_t mark = 0;
  int running = -1;
  int write = 0;  // next byte of its events in bufferB
  int limit = 0;  // end of its sixteenth of bufferB
  std::int32_t lastNote = -1;
  std::int32_t held[256];
};

class TrackWalk {
 public:
  explicit TrackWalk(PassContext& pass) : pass_(pass), ws_(pass.ws), scale_(pass.ws) {}

  bool run();

 private:
  bool walkTrack(int track);
  bool metaEvent(int channel, int deltaPos, int end, int trackEnd);
  // NOPs for all but the last 1..255 ticks of `ticks`, at `write`: the
  // position after them, or -1 without room before `limit`.
  int writeNops(std::int64_t ticks, int write, int limit);
  // The chain of held note n, whose gate is above 255, written after its
  // event; what its channel wrote since moves up. The channel's new write
  // position, or -1.
  int lengthen(std::int32_t n, std::int64_t gate, int write, int limit);

  PassContext& pass_;
  ConversionWorkspace& ws_;
  TickScale scale_;
  const std::uint8_t* in_ = nullptr;
  std::uint8_t* out_ = nullptr;
  ChannelWalk channels_[16];
  std::unique_ptr<HeldNote[]> notes_;
  std::int32_t noteCount_ = 0;
  std::int32_t noteRoom_ = 0;
  // Bytes the long notes may still move: the walk stays linear.
  std::int64_t moveBudget_ = 0;
};

int TrackWalk::writeNops(std::int64_t ticks, int write, int limit) {
  const std::int64_t nops = (ticks - 1) / 255;
  if (nops * 4 > limit - write) return -1;
  std::uint8_t* nop = out_ + write;
  for (std::int64_t i = 0; i < nops; ++i, nop += 4) {
    nop[0] = 0xFF;
    nop[1] = 0xFF;
    nop[2] = 0xDE;
    nop[3] = 0x00;
  }
  return write + static_cast<int>(nops * 4);
}

int TrackWalk::lengthen(std::int32_t n, std::int64_t gate, int write, int limit) {
  const HeldNote& note = notes_[n];
  const std::int64_t grow = noteChainBytes(gate);
  if (grow > static_cast<std::int64_t>(limit) - write) return -1;
  const int tail = write - (note.offset + 4);
  moveBudget_ -= tail;
  if (moveBudget_ < 0) return -1;
  insertNoteChain(out_, note.offset, tail, gate);
  const auto shift = static_cast<int>(grow);
  for (std::int32_t k = note.later; k >= 0; k = notes_[k].later) notes_[k].offset += shift;
  return write + shift;
}

// A meta event with its own status byte, whole within its track (from the
// delta at deltaPos to `end`, where the split ends it): translated by the
// usual code, which reads it in the track as it would in the stream.
bool TrackWalk::metaEvent(int channel, int deltaPos, int end, int trackEnd) {
  ChannelWalk& c = channels_[channel];
  // The usual code writes at writeLength and stops at the capacity: here the
  // end of the channel's sixteenth.
  struct Capacity {
    ConversionWorkspace& ws;
    int kept;
    ~Capacity() { ws.bufferCapacity = kept; }
  } capacity{ws_, ws_.bufferCapacity};
  ws_.bufferCapacity = c.limit;
  ws_.writeLength = c.write;
  ws_.currentChannel = channel;
  ws_.readPos = deltaPos;
  ws_.readEnd = trackEnd;
  ws_.runningStatus = c.running;
  int endsKey = -1;
  int soundingKey = -1;
  if (!lookAheadReadsAlike(ws_, c.running & 0xFF, &endsKey, &soundingKey) || endsKey >= 0 || soundingKey >= 0)
    return false;
  c.ticks += readVarLen(ws_);
  ws_.deltaAccumulator = c.ticks - c.mark;
  const int status = readStatus(ws_);
  if (translateEvent(pass_, status)) c.mark = c.ticks;
  if (ws_.overflow || ws_.readPos != end) return false;
  c.running = ws_.runningStatus;
  c.write = ws_.writeLength;
  return true;
}

bool TrackWalk::walkTrack(int track) {
  const int end = ws_.readEnd;
  const bool whole = track != 0;  // of the first track, only the events at its start
  int pos = ws_.readPos;
  int running = -1;
  std::int64_t tick = 0;

  // The channel in hand and its walk in locals, so that the byte stores do
  // not make them be read again; the others wait in channels_.
  int channel = -1;
  std::int64_t ticks = 0;
  std::int64_t mark = 0;
  int streamRunning = -1;
  int write = 0;
  int limit = 0;
  std::int32_t lastNote = -1;
  std::int32_t* held = nullptr;
  bool drums = false;
  HeldNote* const notes = notes_.get();
  std::int32_t noteCount = noteCount_;
  const std::int32_t noteRoom = noteRoom_;
  std::uint8_t* const out = out_;
  const TickScale scale = scale_;
  const auto park = [&] {
    if (channel < 0) return;
    ChannelWalk& c = channels_[channel];
    c.ticks = ticks;
    c.mark = mark;
    c.running = streamRunning;
    c.write = write;
    c.lastNote = lastNote;
    channel = -1;
  };
  const auto take = [&](int ch) {
    if (ch == channel) return;
    park();
    const ChannelWalk& c = channels_[ch];
    channel = ch;
    ticks = c.ticks;
    mark = c.mark;
    streamRunning = c.running;
    write = c.write;
    limit = c.limit;
    lastNote = c.lastNote;
    held = channels_[ch].held;
    drums = ch == mfi::kDrumChannel;
  };
  struct Done {
    TrackWalk& walk;
    std::int32_t& noteCount;
    ~Done() { walk.noteCount_ = noteCount; }
  } done{*this, noteCount};

  // The channel's ticks since its last written event, scaled, with the NOPs
  // they need written in front: the rest (0..255), or -1 without room.
  const auto shortDelta = [&]() __attribute__((always_inline)) -> std::int64_t {
    std::int64_t d = scale(ticks - mark);
    mark = ticks;
    if (d > 255) {
      write = writeNops(d, write, limit);
      if (write < 0) return -1;
      d -= 255 * ((d - 1) / 255);
    }
    return d;
  };

  // A channel message of the channel in hand, its data at `data`, as the
  // one-walk translation reads and writes it. False to give up.
  const auto message = [&](int delta, int status, const std::uint8_t* data) __attribute__((always_inline)) {
    streamRunning = status;
    ticks += delta;
    const int kind = status & 0xF0;
    int code = -1;
    int value = 0;
    bool program = false;
    switch (kind) {
      case 0x90:
        if (data[1] != 0) {
          // As translateNoteOn, the gate left for later.
          const int key = data[0];
          int note = key - (drums ? mfi::kDrumLowKey : mfi::kMelodicLowKey);
          if (note < 0 || note >= (drums ? mfi::kDrumNotes : mfi::kMelodicNotes)) note = 0;
          const std::int64_t d = shortDelta();
          if (d < 0 || write > limit - 4 || noteCount == noteRoom) return false;
          std::uint8_t* const to = out + write;
          to[0] = static_cast<std::uint8_t>(d);
          to[1] = static_cast<std::uint8_t>(note);
          to[2] = 1;
          to[3] = static_cast<std::uint8_t>(((data[1] / 2) & 0x3F) * 4);
          const std::int32_t n = noteCount++;
          notes[n] = HeldNote{ticks, write, held[key], -1};
          if (lastNote >= 0) notes[lastNote].later = n;
          lastNote = n;
          held[key] = n;
          write += 4;
          return true;
        }
        [[fallthrough]];
      case 0x80: {
        const int key = data[0];
        for (std::int32_t n = held[key]; n >= 0; n = notes[n].next) {
          const std::int64_t gate = scale.nonZero(ticks - notes[n].onTicks);
          if (gate <= 255) {
            out[notes[n].offset + 2] = static_cast<std::uint8_t>(gate);
          } else {
            write = lengthen(n, gate, write, limit);
            if (write < 0) return false;
          }
        }
        held[key] = -1;
        return true;
      }
      case 0xB0:
        code = keptController(data[0]).code;
        value = data[1];
        break;
      case 0xC0:
        program = true;
        code = mfi::kProgramBank;
        value = data[0];
        break;
      case 0xE0:
        code = mfi::kPitchbend;
        value = (data[0] << 7) | (data[1] & 0x7F);
        break;
      default:  // key and channel pressure
        return true;
    }
    if (code < 0) return true;
    const std::int64_t d = shortDelta();
    const int size = program ? 8 : 4;
    if (d < 0 || write > limit - size) return false;
    std::uint8_t* const to = out + write;
    to[0] = static_cast<std::uint8_t>(d);
    to[1] = 0xFF;
    to[2] = static_cast<std::uint8_t>(code);
    to[3] = static_cast<std::uint8_t>(program ? (value >> 6) + 2 : value);
    if (program) {
      to[4] = 0;
      to[5] = 0xFF;
      to[6] = mfi::kProgramChange;
      to[7] = static_cast<std::uint8_t>(value & 0x3F);
    }
    write += size;
    return true;
  };

  while (pos < end) {
    if (end - pos >= 8) {
      // A channel event in place, as the split's own loop takes it.
      int p = pos;
      const int delta = readVarLenAt(in_, &p);
      const int start = p;
      int status = running;
      if (in_[p] >= 0x80) status = in_[p++];
      if (status >= 0x80 && status < 0xF0) {
        const int data = p;
        p += kDataBytes[status >> 4];
        running = status;
        tick += delta;
        pos = p;
        if (!whole && tick != 0) continue;
        take(status & 0x0F);
        // Under running status the stream must read the event alike. It
        // does for any file: the status came from this track's last status
        // byte, which went to the same stream. Checked all the same, as the
        // walk stands on it.
        if (data == start && streamRunning != status) return false;
        if (!message(delta, status, in_ + data)) return false;
        continue;
      }
    }
    // Any other event, or one near the track's end, read as the split reads it.
    ws_.readEnd = end;
    ws_.readPos = pos;
    ws_.runningStatus = running;
    const int deltaPos = pos;
    const int delta = readVarLen(ws_);
    tick += delta;
    const int start = ws_.readPos;
    const int status = readStatus(ws_);
    const bool own = ws_.readPos != start;
    ws_.endOwnerChannel = track - 1;
    const int to = classifyEvent(ws_, status);
    pos = ws_.readPos;
    running = ws_.runningStatus;
    if (!whole && tick != 0) continue;
    if (start >= end) return false;  // cut off before its status
    const int s = status & 0xFF;
    if (s >= 0x80 && s < 0xF0) {
      const int data = start + (own ? 1 : 0);
      if (data + kDataBytes[s >> 4] > end) return false;  // cut off
      take(to);
      if (!own && streamRunning != s) return false;
      if (!message(delta, s, in_ + data)) return false;
      continue;
    }
    if (s != 0xFF || !own) return false;
    // A meta event: the type, a variable-length count and that many bytes,
    // all before the track's end; a tempo of exactly three.
    int p = start + 1;
    if (p >= end) return false;
    const int type = in_[p++];
    std::int64_t length = 0;
    for (int n = 0; n < 4; ++n) {
      if (p >= end) return false;
      const int b = in_[p++];
      length = (length << 7) | (b & 0x7F);
      if (!(b & 0x80)) break;
    }
    if (length > end - p || p + length != pos || (type == 0x51 && length != 3)) return false;
    park();
    if (!metaEvent(to, deltaPos, pos, end)) return false;
  }
  park();
  return true;
}

bool TrackWalk::run() {
  ConversionWorkspace& ws = ws_;
  const int length = ws.inputLength;
  in_ = ws.bufferA.get();
  out_ = ws.bufferB.get();
  ws.writeBase = out_;
  ws.readBase = ws.bufferA.get();
  ws.readSize = length;
  ws.readPos = 0;
  ws.readEnd = length;
  int trackCount = 0;
  if (readSmfHeader(ws, &trackCount) != result::kSuccess) return false;
  if (ws.division > 1) {
    ws.divisionReciprocal = ~std::uint64_t{0} / static_cast<std::uint64_t>(ws.division) + 1;
    ws.reciprocalOf = ws.division;
  }
  scale_ = TickScale(ws);

  // A note-on takes at least three bytes.
  noteRoom_ = length / 3 + 1;
  notes_.reset(new (std::nothrow) HeldNote[static_cast<std::size_t>(noteRoom_)]);
  if (!notes_) return false;
  moveBudget_ = 2 * static_cast<std::int64_t>(length) + 64 * 16;
  const int share = ws.bufferCapacity / 16;
  for (int ch = 0; ch < 16; ++ch) {
    ChannelWalk& c = channels_[ch];
    c.write = ch * share;
    c.limit = c.write + share;
    std::fill(std::begin(c.held), std::end(c.held), -1);
  }

  ws.metaFlags = 0;
  for (int track = 0; track < trackCount; ++track) {
    std::int32_t declared = 0;
    if (!findTrack(ws, track, trackCount, &declared)) return false;
    const int next = ws.readEnd;
    if (!walkTrack(track)) return false;
    ws.readPos = next;
    ws.readEnd = next;
  }

  // The channels' events one after another, as translateChannels writes them.
  int at = 0;
  for (int ch = 0; ch < 16; ++ch) {
    const int first = ch * share;
    const int bytes = channels_[ch].write - first;
    if (bytes != 0 && at != first) std::memmove(out_ + at, out_ + first, static_cast<std::size_t>(bytes));
    ws.streamPos[ch] = at;
    ws.streamLength[ch] = bytes;
    at += bytes;
  }
  ws.writeLength = at;
  ws.mfiEventBytes = at;
  ws.currentChannel = 15;
  return true;
}

}  // namespace

bool translateTracks(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  if (pass.trace.on() || pass.progress.showsProgress()) return false;
  if (TrackWalk(pass).run()) return true;
  // Nothing of it stays: the usual passes start from the loaded input.
  ws.overflow = false;
  ws.metaFlags = 0;
  ws.smfCopyright.clear();
  ws.smfSequenceName.clear();
  return false;
}

}  // namespace tonvell

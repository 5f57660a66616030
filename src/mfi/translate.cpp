#include "mfi/translate.h"

#include <algorithm>
#include <cassert>
#include <memory>
#include <cstring>
#include <new>
#include <vector>

#include "mfi/lookahead.h"
#include "mfi/output.h"
#include "smf/reader.h"

namespace tonvell {

int writeNops(PassContext& pass, std::int64_t delta) {
  if (delta <= 255) return static_cast<int>(delta);
  ConversionWorkspace& ws = pass.ws;
  const std::int64_t nops = (delta - 1) / 255;
  if (!reserveOutput(ws, nops * 4)) return 0;
  for (std::int64_t i = 0; i < nops; ++i) {
    TONVELL_TRACE(pass.trace, "%6d | FF,DE,00  ; --- NOP\r\n", 255);
    ws.writeBase[ws.writeLength++] = 0xFF;
    ws.writeBase[ws.writeLength++] = 0xFF;
    ws.writeBase[ws.writeLength++] = 0xDE;
    ws.writeBase[ws.writeLength++] = 0x00;
  }
  return static_cast<int>(delta - 255 * nops);
}

void writeExtendedEvent(PassContext& pass, std::int64_t ticks, int code, int value, const char* name) {
  ConversionWorkspace& ws = pass.ws;
  const int d = fillLongDelta(pass, scaleTicks(ws, ticks));
  if (ws.overflow) return;
  writeByte(ws, d);
  writeByte(ws, 0xFF);
  writeByte(ws, code);
  writeByte(ws, value);
  TONVELL_TRACE(pass.trace, "%6d | FF,%02X,%02X  ; --- %s\r\n", d, code & 0xFF, value, name);
}


bool translateEvent(PassContext& pass, int status) {
  ConversionWorkspace& ws = pass.ws;
  const int s = status & 0xFF;
  const bool ours = (s & 0x0F) == ws.currentChannel;
  switch (s & 0xF0) {
    case 0x80:  // note off: ends a note, found by the look-ahead
    case 0xA0:  // key pressure
      readByte(ws);
      readByte(ws);
      return false;
    case 0x90: {
      const int key = readByte(ws);
      const int velocity = readByte(ws);
      if (!ours || velocity == 0) return false;
      translateNoteOn(pass, ws.deltaAccumulator, key, velocity);
      return true;
    }
    case 0xB0: {
      const int controller = readByte(ws);
      const int value = readByte(ws);
      const KeptController kept = keptController(controller);
      if (!ours || kept.code < 0) return false;
      writeExtendedEvent(pass, ws.deltaAccumulator, kept.code, value, kept.name);
      return true;
    }
    case 0xC0: {
      const int program = readByte(ws);
      if (!ours) return false;
      writeExtendedEvent(pass, ws.deltaAccumulator, mfi::kProgramBank, (program >> 6) + 2, "Program_Bank");
      // Same moment as the bank: delta 0.
      writeExtendedEvent(pass, 0, mfi::kProgramChange, program & 0x3F, "Program_Change");
      return true;
    }
    case 0xD0:  // channel pressure
      readByte(ws);
      return false;
    case 0xE0: {
      const int first = readByte(ws);
      const int second = readByte(ws);
      if (!ours) return false;
      writeExtendedEvent(pass, ws.deltaAccumulator, mfi::kPitchbend, (first << 7) | (second & 0x7F), "Pitchbend_Change");
      return true;
    }
    default:
      break;
  }

  if (s != 0xFF) {  // system messages: nothing to translate
    skipEventBody(ws, s, kTranslationReading);
    return false;
  }

  // Meta event.
  const int type = readByte(ws);
  const int length = readVarLen(ws);
  switch (type) {
    case 0x02:  // copyright: the last one wins, an empty one included
      readText(ws, length, &ws.smfCopyright);
      return false;
    case 0x03: {  // sequence or track name: the first one wins
      std::string name;
      readText(ws, length, &name);
      if (!(ws.metaFlags & kMetaSequenceNameTaken)) {
        ws.smfSequenceName = std::move(name);
        ws.metaFlags |= kMetaSequenceNameTaken;
      }
      return false;
    }
    case 0x2F: {
      // Written with the accumulated delta, but the ticks are not used up:
      // the channel's next written event counts them again.
      writeExtendedEvent(pass, ws.deltaAccumulator, mfi::kDataEnd, 0, "Data_End");
      skipBytes(ws, length);
      return false;
    }
    case 0x51: {
      // Exactly three bytes, whatever the length says.
      const int b1 = readByte(ws);
      const int b2 = readByte(ws);
      const int b3 = readByte(ws);
      if (ws.metaFlags & kMetaTempoWritten) return false;
      const int micros = (b1 << 16) | (b2 << 8) | b3;
      if (micros == 0) return false;  // no tempo at all: ignored like a repeated one
      int perMinute = 60000000 / micros;
      if (perMinute > 255) perMinute = 255;  // the fastest the byte can hold
      writeExtendedEvent(pass, ws.deltaAccumulator, mfi::kTempo, perMinute, "Tempo");
      ws.metaFlags |= kMetaTempoWritten;
      return true;
    }
    default:
      skipBytes(ws, length);
      return false;
  }
}

void insertNoteChain(std::uint8_t* base, int offset, int tail, std::int64_t gate) {
  const std::int64_t pieces = (gate - 2) / 254;
  const int after = offset + 4;
  std::memmove(base + after + 4 * pieces, base + after, static_cast<std::size_t>(tail));
  base[offset + 2] = 255;
  for (std::int64_t i = 0; i < pieces; ++i) {
    std::uint8_t* const piece = base + after + 4 * i;
    piece[0] = 254;
    piece[1] = base[offset + 1];
    piece[2] = static_cast<std::uint8_t>(i + 1 < pieces ? 255 : gate - 254 * pieces);
    piece[3] = base[offset + 3];
  }
}

namespace {

// Note-off, note-on and key pressure, the bulk of a stream, read in place
// when the longest of them (a four-byte delta, the status and two data
// bytes) lies before readEnd; as the general loop of translateChannels
// would read and translate them. False, with nothing read, for any other
// event.
bool translateNoteMessage(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  int p = ws.readPos;
  if (ws.readEnd - p < 8) return false;
  const std::uint8_t* const in = ws.readBase;
  const int delta = readVarLenAt(in, &p);
  int status = ws.runningStatus;
  if (in[p] >= 0x80) status = in[p++];
  const int kind = status & 0xF0;
  if (status < 0x80 || (kind != 0x80 && kind != 0x90 && kind != 0xA0)) return false;
  const int key = in[p];
  const int velocity = in[p + 1];
  ws.readPos = p + 2;
  ws.runningStatus = status;
  ws.deltaAccumulator += delta;
  if (kind == 0x90 && velocity != 0 && (status & 0x0F) == ws.currentChannel) {
    translateNoteOn(pass, ws.deltaAccumulator, key, velocity);
    ws.deltaAccumulator = 0;
  }
  return true;
}

// The same for a whole run of them, the cursor, the running status and the
// delta accumulator held in registers: stops at the first other event, at
// the last eight bytes of the stream, or when the output overflows.
void translateNoteMessages(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  const std::uint8_t* const in = ws.readBase;
  const int last = ws.readEnd - 8;
  const int channel = ws.currentChannel;
  int pos = ws.readPos;
  int running = ws.runningStatus;
  std::int64_t accumulated = ws.deltaAccumulator;
  while (pos <= last) {
    int p = pos;
    const int delta = readVarLenAt(in, &p);
    int status = running;
    if (in[p] >= 0x80) status = in[p++];
    const int kind = status & 0xF0;
    if (status < 0x80 || (kind != 0x80 && kind != 0x90 && kind != 0xA0)) break;
    const int key = in[p];
    const int velocity = in[p + 1];
    pos = p + 2;
    running = status;
    accumulated += delta;
    if (kind == 0x90 && velocity != 0 && (status & 0x0F) == channel) {
      translateNoteOn(pass, accumulated, key, velocity);
      accumulated = 0;
      if (ws.overflow) break;
    }
  }
  ws.readPos = pos;
  ws.runningStatus = running;
  ws.deltaAccumulator = accumulated;
}

// A note written by the one-pass translation whose gate waits for its end.
struct PendingNote {
  std::int64_t onTicks;  // ticks from the stream's start to the note-on, its delta included
  std::int32_t offset;   // its event in the output
  std::int32_t next;     // the next pending note of its key, -1 for none
};

enum class OnePass { kDone, kRedo, kOverflow };

// The channel in hand translated in one walk, the look-ahead's pairing done
// on the way: each note event is written with gate 1 (a note that never
// ends) and given its gate when the event that ends its key comes. It
// gives up (kRedo; the caller takes back what it wrote and translates the
// channel as usual) where the result could differ from the usual
// translation: at an event the look-ahead reads differently, or when long
// notes would move more output than the channel's budget. Without a trace
// only.
OnePass translateInOnePass(PassContext& pass, PendingNote* notes) {
  ConversionWorkspace& ws = pass.ws;
  std::int32_t noteCount = 0;
  const TickScale scale(ws);
  std::int32_t pending[256];
  std::fill(std::begin(pending), std::end(pending), -1);
  const std::uint8_t* const in = ws.readBase;
  const int end = ws.readEnd;
  const int last = end - 8;
  const int channel = ws.currentChannel;
  const bool drums = channel == mfi::kDrumChannel;
  int pos = ws.readPos;
  int running = ws.runningStatus;
  std::int64_t accumulated = 0;
  std::int64_t ticks = 0;
  std::int64_t moveBudget = 2 * static_cast<std::int64_t>(end - pos) + 64;
  while (pos < end) {
    int endsKey = -1;
    int soundingKey = -1;
    int velocity = 0;
    bool read = false;
    if (pos <= last) {
      // Note messages, the bulk of a stream, in place (as translateNoteMessages).
      int p = pos;
      const int delta = readVarLenAt(in, &p);
      int status = running;
      if (in[p] >= 0x80) status = in[p++];
      const int kind = status & 0xF0;
      if (status >= 0x80 && (kind == 0x80 || kind == 0x90 || kind == 0xA0)) {
        const int key = in[p];
        velocity = in[p + 1];
        if ((status & 0x0F) == channel) {
          if (kind == 0x80 || (kind == 0x90 && velocity == 0)) endsKey = key;
          else if (kind == 0x90) soundingKey = key;
        }
        pos = p + 2;
        running = status;
        ticks += delta;
        accumulated += delta;
        read = true;
      } else if (status >= 0x80 && status < 0xF0) {
        // The other channel messages: both read them alike, and they end no
        // note. Written in place as translateEvent writes them: a controller
        // the ring tone keeps, a program as its bank and change at one
        // moment, a pitch bend.
        const bool ours = (status & 0x0F) == channel;
        int code = -1;
        int value = 0;
        bool program = false;
        if (kind == 0xB0) {
          if (ours) code = keptController(in[p]).code;
          value = in[p + 1];
          p += 2;
        } else if (kind == 0xC0) {
          program = ours;
          code = ours ? mfi::kProgramBank : -1;
          value = in[p];
          p += 1;
        } else if (kind == 0xD0) {
          p += 1;
        } else {
          code = ours ? mfi::kPitchbend : -1;
          value = (in[p] << 7) | (in[p + 1] & 0x7F);
          p += 2;
        }
        pos = p;
        running = status;
        ticks += delta;
        accumulated += delta;
        if (code < 0) continue;
        const int d = fillLongDelta(pass, scale(accumulated));
        accumulated = 0;
        if (ws.overflow) return OnePass::kOverflow;
        const int size = program ? 8 : 4;
        if (ws.writeLength > ws.bufferCapacity - size) {
          ws.overflow = true;
          return OnePass::kOverflow;
        }
        std::uint8_t* const out = ws.writeBase + ws.writeLength;
        out[0] = static_cast<std::uint8_t>(d);
        out[1] = 0xFF;
        out[2] = static_cast<std::uint8_t>(code);
        out[3] = static_cast<std::uint8_t>(program ? (value >> 6) + 2 : value);
        if (program) {
          out[4] = 0;
          out[5] = 0xFF;
          out[6] = mfi::kProgramChange;
          out[7] = static_cast<std::uint8_t>(value & 0x3F);
        }
        ws.writeLength += size;
        continue;
      }
    }
    if (!read) {
      ws.readPos = pos;
      ws.runningStatus = running;
      if (!lookAheadReadsAlike(ws, running & 0xFF, &endsKey, &soundingKey)) return OnePass::kRedo;
      const int delta = readVarLen(ws);
      ticks += delta;
      accumulated += delta;
      const int status = readStatus(ws);
      if (soundingKey >= 0) {
        readByte(ws);
        velocity = readByte(ws);
      } else {
        ws.deltaAccumulator = accumulated;
        if (translateEvent(pass, status)) ws.deltaAccumulator = 0;
        accumulated = ws.deltaAccumulator;
        if (ws.overflow) return OnePass::kOverflow;
      }
      pos = ws.readPos;
      running = ws.runningStatus;
    }
    if (endsKey >= 0) {
      for (std::int32_t n = pending[endsKey]; n >= 0; n = notes[n].next) {
        const PendingNote& note = notes[n];
        const std::int64_t gate = scale.nonZero(ticks - note.onTicks);
        std::uint8_t* const base = ws.writeBase;
        if (gate <= 255) {
          base[note.offset + 2] = static_cast<std::uint8_t>(gate);
          continue;
        }
        // A long note: its chain (see translateNoteOn) goes right after its
        // event, and what the channel wrote since moves up. The bytes moved
        // are counted against the budget, so the walk stays linear.
        const std::int64_t grow = noteChainBytes(gate);
        if (grow > static_cast<std::int64_t>(ws.bufferCapacity) - ws.writeLength) {
          ws.overflow = true;
          return OnePass::kOverflow;
        }
        const int tail = ws.writeLength - (note.offset + 4);
        moveBudget -= tail;
        if (moveBudget < 0) return OnePass::kRedo;
        insertNoteChain(base, note.offset, tail, gate);
        const auto shift = static_cast<int>(grow);
        ws.writeLength += shift;
        for (std::int32_t k = n + 1; k < noteCount; ++k) notes[k].offset += shift;
      }
      pending[endsKey] = -1;
    } else if (soundingKey >= 0) {
      // As translateNoteOn, the gate left for later.
      int note = soundingKey - (drums ? mfi::kDrumLowKey : mfi::kMelodicLowKey);
      if (note < 0 || note >= (drums ? mfi::kDrumNotes : mfi::kMelodicNotes)) note = 0;
      const int velocityBits = ((velocity / 2) & 0x3F) * 4;
      const int d = fillLongDelta(pass, scale(accumulated));
      accumulated = 0;
      if (ws.overflow) return OnePass::kOverflow;
      const auto offset = static_cast<std::int32_t>(ws.writeLength);
      if (ws.writeLength > ws.bufferCapacity - 4) {
        ws.overflow = true;
        return OnePass::kOverflow;
      }
      std::uint8_t* const out = ws.writeBase + offset;
      out[0] = static_cast<std::uint8_t>(d);
      out[1] = static_cast<std::uint8_t>(note);
      out[2] = 1;
      out[3] = static_cast<std::uint8_t>(velocityBits);
      ws.writeLength += 4;
      notes[noteCount] = PendingNote{ticks, offset, pending[soundingKey]};
      pending[soundingKey] = noteCount++;
    }
  }
  ws.readPos = pos;
  ws.runningStatus = running;
  ws.deltaAccumulator = accumulated;
  return OnePass::kDone;
}

}  // namespace

ConvertResult translateChannels(PassContext& pass, NoteLengthSource* lengths) {
  ConversionWorkspace& ws = pass.ws;
  const TraceChannel& trace = pass.trace;
  const int length = ws.inputLength;

  ws.readBase = ws.bufferA.get();
  ws.writeBase = ws.bufferB.get();
  // The byte at a stream's limit is its first closing byte, inside the buffer.
  ws.readSize = ws.bufferCapacity;
  ws.metaFlags = 0;
  ws.writeLength = 0;
  if (ws.division > 1) {
    ws.divisionReciprocal = ~std::uint64_t{0} / static_cast<std::uint64_t>(ws.division) + 1;
    ws.reciprocalOf = ws.division;
  }

  // The note lengths are kept only while the channels are translated.
  struct ReleaseNoteLengths {
    ConversionWorkspace& ws;
    ~ReleaseNoteLengths() {
      std::vector<std::int64_t>().swap(ws.noteLengths);
      ws.nextNoteLength = 0;
    }
  } releaseNoteLengths{ws};
  NoteEndFinder ownFinder;
  NoteLengthSource& noteEnds = lengths ? *lengths : ownFinder;
  int longest = 0;
  for (int ch = 0; ch < 16; ++ch) longest = std::max(longest, ws.streamLength[ch]);

  const bool reporting = pass.progress.showsProgress();
  // Without a trace or a progress display, and with the conversion's own
  // look-ahead, each channel is first translated in one walk; the look-ahead's
  // tables are then made only for a channel where that gives up.
  const bool onePass = lengths == nullptr && !trace.on() && !reporting;
  std::unique_ptr<PendingNote[]> pendingNotes;
  bool reserved = false;
  // A note-on takes at least three bytes.
  if (onePass) pendingNotes.reset(new (std::nothrow) PendingNote[static_cast<std::size_t>(longest) / 3 + 1]);
  if (onePass && !pendingNotes) return result::kNoMemory;
  if (!onePass) {
    if (!noteEnds.reserve(ws, longest)) return result::kNoMemory;
    reserved = true;
  }
  pass.progress.beginProgress(16, "MLD基础转换中");
  TONVELL_TRACE(trace, "■分析声道后将进行后将进行 SMF 到 MLD 的基础转换\n");
  trace.separator();

  for (int ch = 0; ch < 16; ++ch) {
    pass.progress.refreshWindow();
    ws.streamPos[ch] = ws.writeLength;
    ws.deltaAccumulator = 0;
    ws.currentChannel = ch;
    ws.readPos = ch * length;
    ws.readEnd = ch * length + ws.streamLength[ch];
    ws.runningStatus = -1;
    TONVELL_TRACE(trace, "◎声道:%2d ◎位置:%d\n", ch, ws.streamPos[ch]);
    ws.noteLengths.clear();
    ws.nextNoteLength = 0;
    if (onePass) {
      const int metaFlags = ws.metaFlags;
      const OnePass done = translateInOnePass(pass, pendingNotes.get());
      if (done == OnePass::kOverflow) return result::kNoMemory;
      if (done == OnePass::kDone) {
        ws.streamLength[ch] = ws.writeLength - ws.streamPos[ch];
        pass.progress.stepProgress(1);
        trace.separator();
        continue;
      }
      // Taken back. The channel's texts are read again: the copyright and
      // the first name come out as they were.
      ws.writeLength = ws.streamPos[ch];
      ws.metaFlags = metaFlags;
      ws.deltaAccumulator = 0;
      ws.readPos = ch * length;
      ws.runningStatus = -1;
    }
    if (!reserved) {
      if (!noteEnds.reserve(ws, longest)) return result::kNoMemory;
      reserved = true;
    }
    if (!noteEnds.findNoteLengths(ws)) return result::kNoMemory;

    while (ws.readPos < ws.readEnd) {
      if (reporting) {
        if (ws.readPos % 100 == 0) pass.progress.refreshWindow();
        if (translateNoteMessage(pass)) {
          if (ws.overflow) return result::kNoMemory;
          continue;
        }
      } else {
        translateNoteMessages(pass);
        if (ws.overflow) return result::kNoMemory;
        if (ws.readPos >= ws.readEnd) break;
      }
      ws.deltaAccumulator += readVarLen(ws);
      const int status = readStatus(ws);
      if (translateEvent(pass, status)) ws.deltaAccumulator = 0;
      if (ws.overflow) return result::kNoMemory;
    }
    // Every length found was used, by the note-ons it was found for.
    assert(ws.nextNoteLength == ws.noteLengths.size());
    ws.streamLength[ch] = ws.writeLength - ws.streamPos[ch];
    pass.progress.stepProgress(1);
    trace.separator();
  }

  TONVELL_TRACE(trace, "■显示 MLD 基础转换结果\n");
  trace.separator();

  ws.mfiEventBytes = 0;
  for (int ch = 0; ch < 16; ++ch) {
    const int n = ws.streamLength[ch];
    ws.mfiEventBytes += n;
    if (n == 0 || !trace.on()) continue;
    TONVELL_TRACE(trace, "◎声道:%2d ◎声道容量:%d\n", ch, n);
    const std::uint8_t* bytes = ws.writeBase + ws.streamPos[ch];
    for (int i = 0; i < n; i += 16) {
      char line[16 * 3 + 2];
      int used = 0;
      for (int k = i; k < n && k < i + 16; ++k) {
        static const char hex[] = "0123456789ABCDEF";
        line[used++] = hex[bytes[k] >> 4];
        line[used++] = hex[bytes[k] & 15];
        line[used++] = ',';
      }
      line[used++] = '\n';
      trace.write(std::string_view(line, static_cast<size_t>(used)));
    }
    trace.separator();
  }

  pass.progress.finishProgress();
  trace.separator();
  TONVELL_TRACE(trace, "◎MLD 数据容量:%d 部件\n", ws.mfiEventBytes);
  trace.separator();
  return result::kSuccess;
}

}  // namespace tonvell

#include "mfi/assemble.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "mfi/format.h"
#include "mfi/output.h"
#include "mfi/translate.h"

namespace tonvell {

int copyTrackEvent(PassContext& pass, int offset, int channelInTrack, int sameTimeCount, std::int64_t delta) {
  ConversionWorkspace& ws = pass.ws;
  const int d = fillLongDelta(pass, delta);
  if (!reserveOutput(ws, 4)) return offset + 4;
  std::uint8_t* out = ws.writeBase + ws.writeLength;
  std::memcpy(out, ws.readBase + offset, 4);
  const std::uint8_t top = static_cast<std::uint8_t>(channelInTrack << 6);
  if (out[1] != 0xFF) {
    out[1] = static_cast<std::uint8_t>((out[1] & 0x3F) | top);  // note: channel in track
  } else if (out[2] == mfi::kDataEnd) {
    out[2] = mfi::kNop;  // a channel's end stays in place as a NOP
  } else if (out[2] >= mfi::kProgramChange && out[2] <= mfi::kPanpot) {
    out[3] = static_cast<std::uint8_t>((out[3] & 0x3F) | top);
  }
  out[0] = static_cast<std::uint8_t>(sameTimeCount != 0 ? 0 : d);
  ws.writeLength += 4;
  return offset + 4;
}

ConvertResult assembleMfi(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  // The events move to bufferA with the buffers (both of one capacity).
  std::swap(ws.bufferA, ws.bufferB);
  ws.readBase = ws.bufferA.get();
  ws.writeBase = ws.bufferB.get();
  ws.readSize = ws.bufferCapacity;
  ws.readPos = 0;
  ws.writeLength = 0;

  // Merge state per channel: next event to copy, its time, end of the run.
  int cursor[16];
  int end[16];
  std::int64_t next[16];
  for (int ch = 0; ch < 16; ++ch) {
    cursor[ch] = ws.streamPos[ch];
    end[ch] = ws.streamPos[ch] + ws.streamLength[ch];
    next[ch] = ws.streamLength[ch] != 0 ? ws.readBase[cursor[ch]] : 0;
  }

  const ConvertResult header = writeMfiHeader(pass);
  if (header != result::kSuccess) return header;
  pass.progress.beginProgress(4, "MLD最后调整中");
  const bool reporting = pass.progress.showsProgress();

  for (int track = 0; track < 4; ++track) {
    writeText(ws, "trac");
    const int lengthField = ws.writeLength;
    writeU32(ws, 0);
    if (ws.overflow) return result::kNoMemory;

    // Events leave the merge in time order; at equal times the lower position
    // in the track comes first, and one channel's whole run of same-time
    // events is written before the next channel is looked at. Only times at
    // which some channel has an event are visited.
    std::int64_t last = 0;       // time of the last event written into this track
    bool wroteAny = false;
    // The write position, the output and its end in locals: the byte stores
    // below could otherwise alias the workspace, and each would be read again
    // per event. ws.writeLength is brought up to date around every call.
    std::uint8_t* const out = ws.writeBase;
    const std::uint8_t* const in = ws.readBase;
    const int room = ws.bufferCapacity - 4;
    int w = ws.writeLength;
    // Copies channel ch's run of events at `now` (position k in the track,
    // `served` channels before it at this time), moves on its cursor and
    // next time.
    auto serveRun = [&](int ch, int k, int served, std::int64_t now) __attribute__((always_inline)) {
      int c = cursor[ch];
      const int stop = end[ch];
      const auto top = static_cast<std::uint8_t>(k << 6);
      std::int64_t delta = now - last;
      do {
        if (delta > 255 || w > room) {
          // NOPs in front, or no room: copyTrackEvent itself.
          ws.writeLength = w;
          ws.currentChannel = ch;
          c = copyTrackEvent(pass, c, k, served, delta);
          w = ws.writeLength;
        } else {
          // copyTrackEvent in place.
          const std::uint8_t* const from = in + c;
          std::uint8_t* const to = out + w;
          to[0] = static_cast<std::uint8_t>(served != 0 ? 0 : delta);
          to[1] = from[1];
          to[2] = from[2];
          to[3] = from[3];
          if (from[1] != 0xFF) {
            to[1] = static_cast<std::uint8_t>((from[1] & 0x3F) | top);
          } else if (from[2] == mfi::kDataEnd) {
            to[2] = mfi::kNop;
          } else if (from[2] >= mfi::kProgramChange && from[2] <= mfi::kPanpot) {
            to[3] = static_cast<std::uint8_t>((from[3] & 0x3F) | top);
          }
          w += 4;
          c += 4;
        }
        delta = 0;
      } while (c < stop && in[c] == 0);
      cursor[ch] = c;
      if (c < stop) next[ch] += in[c];
      last = now;
    };
    for (;;) {
      // The earliest time of the channels not finished, how many of them
      // are at it (the last of them: `alone`), and the earliest time of the
      // others, in one look at the four.
      std::int64_t now = INT64_MAX;
      std::int64_t others = INT64_MAX;
      int atNow = 0;
      int alone = -1;
      for (int k = 0; k < 4; ++k) {
        const int ch = track * 4 + k;
        if (cursor[ch] >= end[ch]) continue;
        const std::int64_t t = next[ch];
        if (t < now) {
          others = now;
          now = t;
          atNow = 1;
          alone = k;
        } else if (t == now) {
          ++atNow;
        } else if (t < others) {
          others = t;
        }
      }
      if (atNow == 0) break;
      if (!reporting) {
        // A channel alone at the earliest time is served on, step after
        // step, as long as its next time comes before every other channel's.
        if (atNow == 1) {
          const int ch = track * 4 + alone;
          for (;;) {
            serveRun(ch, alone, 0, now);
            if (cursor[ch] >= end[ch] || ws.overflow) break;
            now = next[ch];
            if (now >= others) break;
          }
          ws.currentChannel = track * 4 + 3;
          wroteAny = true;
          if (ws.overflow) return result::kNoMemory;
          continue;
        }
      }
      int served = 0;
      for (int k = 0; k < 4; ++k) {
        const int ch = track * 4 + k;
        if (reporting && w % 100 == 0) {
          ws.writeLength = w;
          pass.progress.refreshWindow();
        }
        if (cursor[ch] >= end[ch] || next[ch] != now) continue;
        serveRun(ch, k, served, now);
        ++served;
      }
      ws.currentChannel = track * 4 + 3;
      wroteAny = true;
      if (ws.overflow) return result::kNoMemory;
    }
    ws.writeLength = w;

    // The stepwise merge ends one tick after the step that finds every
    // channel finished: two ticks past the last event, or at 1 when the
    // track had none. The Cue_End takes those ticks.
    const std::int64_t endTime = wroteAny ? last + 2 : 1;

    pass.progress.stepProgress(1);
    pass.trace.write("\n");
    pass.trace.separator();
    writeExtendedEvent(pass, endTime - last, mfi::kCue, mfi::kCueEnd, "Cue_End");
    writeExtendedEvent(pass, 0, mfi::kDataEnd, 0, "Data_End");
    if (ws.overflow) return result::kNoMemory;
    patchU32(ws, lengthField, static_cast<std::uint32_t>(ws.writeLength - lengthField - 4));
  }

  patchU32(ws, 4, static_cast<std::uint32_t>(ws.writeLength - 8));
  pass.progress.finishProgress();
  return result::kSuccess;
}

}  // namespace tonvell

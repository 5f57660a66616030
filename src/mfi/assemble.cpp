#include "mfi/assemble.h"

#include <cstring>

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

namespace {

// copyTrackEvent for an event that needs no NOPs in front, with room for it:
// in place; otherwise copyTrackEvent itself.
inline int copyEvent(PassContext& pass, int offset, int channelInTrack, int sameTimeCount, std::int64_t delta) {
  ConversionWorkspace& ws = pass.ws;
  if (delta > 255 || ws.writeLength > ws.bufferCapacity - 4)
    return copyTrackEvent(pass, offset, channelInTrack, sameTimeCount, delta);
  std::uint8_t* const out = ws.writeBase + ws.writeLength;
  const std::uint8_t* const in = ws.readBase + offset;
  const std::uint8_t top = static_cast<std::uint8_t>(channelInTrack << 6);
  out[0] = static_cast<std::uint8_t>(sameTimeCount != 0 ? 0 : delta);
  out[1] = in[1];
  out[2] = in[2];
  out[3] = in[3];
  if (in[1] != 0xFF) {
    out[1] = static_cast<std::uint8_t>((in[1] & 0x3F) | top);
  } else if (in[2] == mfi::kDataEnd) {
    out[2] = mfi::kNop;
  } else if (in[2] >= mfi::kProgramChange && in[2] <= mfi::kPanpot) {
    out[3] = static_cast<std::uint8_t>((in[3] & 0x3F) | top);
  }
  ws.writeLength += 4;
  return offset + 4;
}

}  // namespace

ConvertResult assembleMfi(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  ws.readBase = ws.bufferA.get();
  ws.writeBase = ws.bufferB.get();
  ws.readSize = ws.bufferCapacity;
  ws.readPos = 0;
  ws.writeLength = 0;
  std::memcpy(ws.bufferA.get(), ws.bufferB.get(), static_cast<size_t>(ws.mfiEventBytes));

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
    for (;;) {
      std::int64_t now = -1;
      for (int k = 0; k < 4; ++k) {
        const int ch = track * 4 + k;
        if (cursor[ch] < end[ch] && (now < 0 || next[ch] < now)) now = next[ch];
      }
      if (now < 0) break;
      int served = 0;
      for (int k = 0; k < 4; ++k) {
        const int ch = track * 4 + k;
        if (reporting && ws.writeLength % 100 == 0) pass.progress.refreshWindow();
        ws.currentChannel = ch;
        if (cursor[ch] >= end[ch] || next[ch] != now) continue;
        cursor[ch] = copyEvent(pass, cursor[ch], k, served, now - last);
        while (cursor[ch] < end[ch] && ws.readBase[cursor[ch]] == 0)
          cursor[ch] = copyEvent(pass, cursor[ch], k, served, 0);
        if (cursor[ch] < end[ch]) next[ch] += ws.readBase[cursor[ch]];
        last = now;
        ++served;
      }
      wroteAny = true;
      if (ws.overflow) return result::kNoMemory;
    }
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

#include "smf/split.h"

#include <cstring>
#include <utility>

#include "smf/reader.h"

namespace tonvell {

namespace {
constexpr std::uint32_t kMThd = 0x4D546864;
constexpr std::uint32_t kMTrk = 0x4D54726B;
}  // namespace

ConvertResult readSmfHeader(ConversionWorkspace& ws, int* trackCount) {
  const int length = ws.inputLength;
  if (length == 0) return result::kNotMidi;
  if (readU32(ws) != kMThd) return result::kNotMidi;
  if (readU32(ws) == 0) return result::kNotMidi;
  const int format = static_cast<int>(readU16(ws));
  *trackCount = static_cast<int>(readU16(ws));
  if (*trackCount > 16) *trackCount = 16;
  if (format != 1) return result::kNotFormat1;
  ws.division = static_cast<int>(readU16(ws));
  if (ws.division & 0x8000) return result::kSmpteDivision;
  if (ws.division == 0) return result::kNotMidi;
  // The track search starts after the three fields whatever the header length says.
  ws.readPos = 14 < length ? 14 : length;
  return result::kSuccess;
}

bool findTrack(ConversionWorkspace& ws, int track, int trackCount, std::int32_t* declared) {
  const int length = ws.inputLength;
  ws.readEnd = length;
  int attempts = track;
  std::uint32_t found = 0;
  for (;;) {
    found = findChunk(ws, kMTrk);
    ++attempts;
    if (found != 0) break;
    if (attempts == trackCount) return false;
  }
  *declared = static_cast<std::int32_t>(found);
  // A negative length is a track with no events; one past the file is
  // clamped to the file's end.
  std::int64_t end = static_cast<std::int64_t>(ws.readPos) + (*declared < 0 ? 0 : *declared);
  if (end > length) end = length;
  ws.readEnd = static_cast<int>(end);
  return true;
}

int classifyEvent(ConversionWorkspace& ws, int status) {
  const int s = status & 0xFF;
  const int metaType = s == 0xFF ? peekByte(ws) : -1;
  skipEventBody(ws, status, kSplitReading);
  if (s >= 0x80 && s < 0xF0) return s & 0x0F;
  // End of track goes to the track's own channel; everything else of the
  // system kind to channel 0.
  if (metaType == 0x2F) return ws.endOwnerChannel == -1 ? 0 : ws.endOwnerChannel;
  return 0;
}

namespace {

// Data bytes of a channel event by the high half of its status.
constexpr std::uint8_t kChannelDataBytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};

// The split of the usual events, in place: from readPos on, every channel
// event with room for its longest form before readEnd (a four-byte delta,
// the status and two data bytes) and for its copy in its stream is handled
// here exactly as the general loop of splitChannels would. Returns true at
// readEnd; false at the first event left to that loop, with the cursor, the
// running status and the ticks on it.
template <bool kWholeTrack, bool kReporting>
bool splitChannelEvents(ConversionWorkspace& ws, Progress* progress) {
  const std::uint8_t* const in = ws.readBase;
  std::uint8_t* const out = ws.writeBase;
  const int end = ws.readEnd;
  const int roomLimit = ws.bufferCapacity - 7;
  int pos = ws.readPos;
  int running = ws.runningStatus;
  std::int64_t tick = ws.absoluteTick;
  // The streams' ends and pending deltas in local copies: the byte stores
  // below could otherwise alias them, and each would be read again per event.
  int streamPos[16];
  int pendingDelta[16];
  std::memcpy(streamPos, ws.streamPos, sizeof streamPos);
  std::memcpy(pendingDelta, ws.pendingDelta, sizeof pendingDelta);
  while (end - pos >= 8) {
    int p = pos;
    const int delta = readVarLenAt(in, &p);
    const int start = p;
    int status = running;
    if (in[p] >= 0x80) status = in[p++];
    if (status < 0x80 || status >= 0xF0) break;
    p += kChannelDataBytes[status >> 4];
    const int channel = status & 0x0F;
    const bool kept = kWholeTrack || tick + delta == 0;
    int w = streamPos[channel];
    if (kept && w > roomLimit) break;
    running = status;
    tick += delta;
    if (kept) {
      w += encodeVarLen(static_cast<std::uint32_t>(pendingDelta[channel] + delta), out + w);
      // One to three bytes: the status when the event carries it, the data.
      // Three are copied whatever the count: the room was checked above
      // (roomLimit), and what lies past the event belongs to this channel's
      // stream, which is never longer than the input, and is written over
      // by its next event or lies past its end.
      const int n = p - start;
      out[w] = in[start];
      out[w + 1] = in[start + 1];
      out[w + 2] = in[start + 2];
      streamPos[channel] = w + n;
      pendingDelta[channel] = 0;
    }
    pos = p;
    if constexpr (kReporting) progress->stepProgress(static_cast<float>(p - start));
  }
  std::memcpy(ws.streamPos, streamPos, sizeof streamPos);
  std::memcpy(ws.pendingDelta, pendingDelta, sizeof pendingDelta);
  ws.readPos = pos;
  ws.runningStatus = running;
  ws.absoluteTick = tick;
  return pos >= end;
}

}  // namespace

ConvertResult splitChannels(PassContext& pass) {
  ConversionWorkspace& ws = pass.ws;
  const TraceChannel& trace = pass.trace;
  const int length = ws.inputLength;

  // The input moves to bufferB with the buffers (both of one capacity).
  std::swap(ws.bufferA, ws.bufferB);
  ws.readBase = ws.bufferB.get();
  ws.writeBase = ws.bufferA.get();
  ws.readSize = length;
  ws.readPos = 0;
  ws.readEnd = length;

  int trackCount = 0;
  const ConvertResult header = readSmfHeader(ws, &trackCount);
  if (header != result::kSuccess) return header;

  trace.separator();
  TONVELL_TRACE(trace, "■分析 SMF 文件的音轨后再次登录声道\n");
  trace.separator();
  TONVELL_TRACE(trace, "格式:%d 音轨数:%d 可分离:%d 总容量%d 组件\n", 1, trackCount, ws.division, length);
  trace.separator();

  for (int c = 0; c < 16; ++c) {
    ws.pendingDelta[c] = 0;
    ws.streamPos[c] = c * length;
  }

  const bool reporting = pass.progress.showsProgress();
  ws.absoluteTick = 0;
  for (int track = 0; track < trackCount; ++track) {
    pass.progress.refreshWindow();
    std::int32_t declared = 0;
    if (!findTrack(ws, track, trackCount, &declared)) return result::kNotMidi;
    TONVELL_TRACE(trace, "音轨:%2d 容量:%d 组件\n", track, declared);
    ws.absoluteTick = 0;
    ws.runningStatus = -1;
    pass.progress.beginProgress(static_cast<float>(ws.readEnd), "正转换SMF声道");

    while (ws.readPos < ws.readEnd) {
      Progress* const stepped = &pass.progress;
      const bool done = reporting ? (track != 0 ? splitChannelEvents<true, true>(ws, stepped)
                                                : splitChannelEvents<false, true>(ws, stepped))
                                  : (track != 0 ? splitChannelEvents<true, false>(ws, stepped)
                                                : splitChannelEvents<false, false>(ws, stepped));
      if (done) break;
      const int delta = readVarLen(ws);
      ws.absoluteTick += delta;
      const int start = ws.readPos;
      const int status = readStatus(ws);
      ws.endOwnerChannel = track - 1;
      const int channel = classifyEvent(ws, status);
      if (track != 0 || ws.absoluteTick == 0) {
        ws.pendingDelta[channel] += delta;
        writePendingDelta(ws, channel);
        const int n = ws.readPos - start;
        int& pos = ws.streamPos[channel];
        if (pos > ws.bufferCapacity - n) {
          ws.overflow = true;
        } else {
          // Copied from the read copy, never from the image being overwritten.
          std::memcpy(ws.writeBase + pos, ws.readBase + start, static_cast<size_t>(n));
          pos += n;
        }
        ws.pendingDelta[channel] = 0;
        if (ws.overflow) return result::kNoMemory;
      }
      if (reporting) pass.progress.stepProgress(static_cast<float>(ws.readPos - start));
    }
    pass.progress.finishProgress();
  }

  trace.separator();
  TONVELL_TRACE(trace, "■再次登录 SMF 声道结果\n");
  trace.separator();

  ws.channelCount = 0;
  int total = 0;
  for (int c = 0; c < 16; ++c) {
    pass.progress.refreshWindow();
    ws.streamLength[c] = ws.streamPos[c] - c * length;
    total += ws.streamLength[c];
    if (ws.streamLength[c] != 0) {
      writePendingDelta(ws, c);
      int& pos = ws.streamPos[c];
      if (ws.overflow || pos > ws.bufferCapacity - 3) return result::kNoMemory;
      ws.writeBase[pos++] = 0xFF;
      ws.writeBase[pos++] = 0x2F;
      ws.writeBase[pos++] = 0x00;
      ++ws.channelCount;
    }
  }

  trace.separator();
  TONVELL_TRACE(trace, "◎总声道数:%2d ◎播放时间:%lld ◎数据:%d 组件\n", ws.channelCount,
                static_cast<long long>(ws.absoluteTick), total);
  trace.separator();
  return result::kSuccess;
}

}  // namespace tonvell

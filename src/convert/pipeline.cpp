#include "convert/pipeline.h"

#include <cstring>

#include "mfi/assemble.h"
#include "mfi/handset.h"
#include "mfi/translate.h"
#include "smf/format0.h"
#include "smf/split.h"

namespace tonvell {

ConvertResult loadInputBytes(std::string_view bytes, ConversionWorkspace& ws) {
  if (static_cast<std::int64_t>(bytes.size()) >= kMaxInputLength) return result::kNoMemory;
  const int length = static_cast<int>(bytes.size());
  if (!ws.allocateBuffers(length)) return result::kNoMemory;
  if (length > 0) std::memcpy(ws.bufferA.get(), bytes.data(), bytes.size());
  return result::kSuccess;
}

ConvertResult convertLoaded(PassContext& pass, NoteLengthSource* lengths) {
  ConvertResult code = splitChannels(pass);
  if (pass.options.handset) {
    // The split has checked the file and left its copy in bufferB; the
    // handset mode reads it from bufferA (the channel streams are not needed)
    // and writes the MFi file into bufferB.
    pass.progress.refreshWindow();
    if (code != result::kSuccess) return code;
    ConversionWorkspace& ws = pass.ws;
    std::memcpy(ws.bufferA.get(), ws.bufferB.get(), static_cast<size_t>(ws.inputLength));
    code = writeHandsetMfi(pass, std::span<const std::uint8_t>(ws.bufferA.get(), static_cast<size_t>(ws.inputLength)));
    pass.progress.refreshWindow();
    return code;
  }
  if (code == result::kSuccess) code = translateChannels(pass, lengths);
  pass.progress.refreshWindow();
  if (code != result::kSuccess) return code;
  code = assembleMfi(pass);
  pass.progress.refreshWindow();
  return code;
}

ConversionResult convertMidi(std::span<const std::uint8_t> input, const ConversionOptions& options,
                             CalendarDate date, const TraceChannel* trace, Progress* progress) {
  ConversionResult out;
  // Each thread keeps its workspace from one conversion to the next, so a
  // batch of small files allocates and faults in the work buffers once per
  // thread instead of once per file. Buffers larger than the smallest
  // capacity are given back after the conversion. A conversion started
  // while one is running on this thread (from a progress callback) gets a
  // workspace of its own.
  thread_local ConversionWorkspace kept;
  thread_local bool keptInUse = false;
  ConversionWorkspace own;
  const bool reusing = !keptInUse;
  ConversionWorkspace& ws = reusing ? kept : own;
  struct Finish {
    ConversionWorkspace& ws;
    bool reusing;
    ~Finish() {
      if (!reusing) return;
      if (ws.bufferCapacity > kMinBufferCapacity) ws.releaseBuffers();
      keptInUse = false;
    }
  } finish{ws, reusing};
  if (reusing) {
    keptInUse = true;
    ws.startOver();
  }
  {
    // On request a format-0 file is first rewritten as a format-1 file of one
    // track per channel; from the load on it is that file that is converted.
    std::vector<std::uint8_t> rewritten;
    std::span<const std::uint8_t> bytes = input;
    if (options.format0 && isSingleTrackFormat0(input)) {
      out.code = rewriteFormat0(input, &rewritten, kMaxInputLength, &out.channel16LeftOut);
      if (out.code != result::kSuccess) return out;
      bytes = rewritten;
    }
    out.code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), ws);
  }
  if (out.code != result::kSuccess) return out;

  static const TraceChannel kSilent;
  NullProgress quiet;
  PassContext pass{ws, progress ? *progress : quiet, trace ? *trace : kSilent, options, date};
  out.code = convertLoaded(pass);
  out.headerTextSubstituted = ws.headerTextSubstituted;
  if (out.code == result::kSuccess) out.mfi.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
  return out;
}

}  // namespace tonvell

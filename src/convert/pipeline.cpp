#include "convert/pipeline.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "mfi/assemble.h"
#include "mfi/direct.h"
#include "mfi/handset.h"
#include "mfi/translate.h"
#include "smf/format0.h"
#include "smf/split.h"

namespace tonvell {

ConvertResult loadInputBytes(std::string_view bytes, ConversionWorkspace& ws, std::int64_t floor) {
  if (static_cast<std::int64_t>(bytes.size()) >= kMaxInputLength) return result::kNoMemory;
  const int length = static_cast<int>(bytes.size());
  if (!ws.allocateBuffers(length, floor)) return result::kNoMemory;
  if (length > 0) std::memcpy(ws.bufferA.get(), bytes.data(), bytes.size());
  return result::kSuccess;
}

ConvertResult convertLoaded(PassContext& pass, NoteLengthSource* lengths) {
  if (!pass.options.handset && lengths == nullptr && translateTracks(pass)) {
    pass.progress.refreshWindow();
    const ConvertResult code = assembleMfi(pass);
    pass.progress.refreshWindow();
    return code;
  }
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

namespace {

// Workspaces kept from one conversion to the next, so that a batch of small
// files allocates and faults in the work buffers once per thread at work
// instead of once per file; buffers larger than the smallest capacity are
// given back after each conversion. A pool rather than one workspace per
// thread: a thread's own object is destroyed as the thread ends, which some
// C++ runtimes (MinGW's) do after the thread's storage is gone. A conversion
// started inside another (from a progress callback) simply takes another.
class WorkspacePool {
 public:
  std::unique_ptr<ConversionWorkspace> take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<ConversionWorkspace> ws = std::move(free_.back());
        free_.pop_back();
        return ws;
      }
    }
    return std::make_unique<ConversionWorkspace>();
  }
  void give(std::unique_ptr<ConversionWorkspace> ws) {
    if (ws->bufferCapacity > kMinBufferCapacity) ws->releaseBuffers();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.size() < kKept) free_.push_back(std::move(ws));
  }

 private:
  static constexpr std::size_t kKept = 64;  // more threads than that convert at once nowhere
  std::mutex mutex_;
  std::vector<std::unique_ptr<ConversionWorkspace>> free_;
};

WorkspacePool& workspaces() {
  static WorkspacePool pool;
  return pool;
}

}  // namespace

ConversionResult convertMidi(std::span<const std::uint8_t> input, const ConversionOptions& options,
                             CalendarDate date, const TraceChannel* trace, Progress* progress) {
  ConversionResult out;
  struct Lease {
    std::unique_ptr<ConversionWorkspace> ws = workspaces().take();
    ~Lease() { workspaces().give(std::move(ws)); }
  } lease;
  ConversionWorkspace& ws = *lease.ws;
  ws.startOver();
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
    out.code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), ws,
                              options.workBufferFloor);
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

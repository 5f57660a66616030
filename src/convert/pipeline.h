// One conversion, from the bytes of a Standard MIDI File to the bytes of an
// MFi file: split, translate, assemble. This is the whole engine as a pure
// call; the batch run, the command line and the window sit on top of it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/pass.h"
#include "core/result.h"

namespace tonvell {

class NoteLengthSource;

struct ConversionResult {
  ResultCode code = ResultCode::kSuccess;
  std::vector<std::uint8_t> mfi;       // the MFi file; empty unless code is kSuccess
  bool headerTextSubstituted = false;  // a typed header text held characters GBK lacks ("?" written)
  bool channel16LeftOut = false;       // a format-0 file whose 16 channels all play: channel 16 has no track
};

// Converts `input` with `options`, writing `date` into the header. The trace
// (may be null) receives every pass's account; `progress` (may be null) how
// far each pass has got. Owns its workspace for the one call and touches no
// file and no shared state, so calls on different threads may run at once.
// Inputs of kMaxInputLength bytes or more, or whose work buffers cannot be
// had, give kNoMemory. With options.format0 a format-0 file of one track is
// converted as its rewrite by channel (smf/format0.h), bounded the same way.
ConversionResult convertMidi(std::span<const std::uint8_t> input, const ConversionOptions& options,
                             CalendarDate date, const TraceChannel* trace = nullptr, Progress* progress = nullptr);

// The steps of convertMidi, for tests, fuzzing and benchmarks that look
// inside a conversion.
//
// Copies `bytes` into freshly allocated work buffers (L = its size, each
// buffer at least `floor` bytes): 108, or 106 when it is too large or memory
// cannot be had (nothing left allocated).
ConvertResult loadInputBytes(std::string_view bytes, ConversionWorkspace& ws,
                             std::int64_t floor = kMinBufferCapacity);
// The passes in order on a loaded input; the MFi file is then in
// bufferB[0, writeLength). `lengths` null: the linear note look-ahead. With
// options.handset the split checks the input and the handset mode
// (mfi/handset.h) writes the file instead of the translation and the
// assembly; `lengths` is not used then.
ConvertResult convertLoaded(PassContext& pass, NoteLengthSource* lengths = nullptr);

}  // namespace tonvell

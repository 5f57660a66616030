// What every fuzz target asks of the files it handles: cheap invariants that
// hold for any input, reported by aborting with a line on standard error so
// that libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/pass.h"
#include "core/result.h"

namespace tonvell::fuzz {

[[noreturn]] void fail(const char* what, const std::string& detail = {});

// The result codes a conversion may give for an input it does not take.
bool knownFailure(ResultCode code);

// A file the converter wrote: the inspector takes it, its length field and
// track count agree with what is there, its listing is not empty, and the
// decoder reads it into a MIDI file the SMF reader takes.
void checkConverted(std::span<const std::uint8_t> mfi);

// The options a lean MIDI target converts with: the defaults, with work
// buffers of max(16 x input, 64 KiB). A mutant of 4 KiB can ask for days of
// silence, which the usual 1 MiB floor lets it write out as a file of a
// megabyte, costing hundreds of times a typical input to convert, inspect
// and decode; with the lower floor it gives 106 at 64 KiB instead, and the
// passes' overflow paths are reached by small inputs. The cross target and
// the whole-file pass keep the usual floor.
ConversionOptions leanOptions();

// What a MIDI target returns for an input whose conversion gave `mfi`: 0,
// or -1 (libFuzzer then keeps the input out of the corpus) for an output
// past 64 KiB. A few bytes of MIDI can ask for days of silence, written
// out as hundreds of kilobytes; such an input is still converted and
// checked, but mutations of it would cost hundreds of times a typical
// one's. The cross target keeps them.
int keepUnlessHuge(std::span<const std::uint8_t> mfi);

// Decodes `mfi`. A file the decoder takes must give a format-1 MIDI file at
// 48 ticks per quarter note that the SMF reader takes, with a track per
// channel plus one, and a playing time that is a number >= 0; one it refuses
// must say why. `mustDecode`: refusing it is a finding.
void checkDecodes(std::span<const std::uint8_t> mfi, bool mustDecode);

}  // namespace tonvell::fuzz

// The slow fuzz target: cross-checks that cost several conversions per input.
// The lean targets (fuzz_targets.cpp) each do one job per input; this one
// converts every input twice, with the unused parts of both work buffers
// filled with different bytes, and in one run only the trace switched on and
// note ends found by scanning ahead from each note-on instead of in one pass.
// The two results must agree byte for byte: a difference means a pass read
// memory it never wrote, the trace changed the conversion, or the one-pass
// note-end search disagrees with the scan. Damaged copies of a converted
// file must upset neither the inspector nor the decoder, and the modes on
// request are held against the default one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "convert/pipeline.h"
#include "convert/run.h"
#include "fuzz/checks.h"
#include "mfi/inspect.h"
#include "support/note_scan.h"

using namespace tonvell;
using fuzz::fail;
using fuzz::knownFailure;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFillSlack = 64 * 1024;

struct Outcome {
  ConvertResult code = result::kSuccess;
  std::vector<std::uint8_t> mfi;  // the file, when code is 108
  std::size_t traceBytes = 0;
};

// One conversion with the fixed date and the default settings. `fill` goes
// into the buffer bytes the load did not write, as far as the passes can
// reach them. The traced run also finds note ends by scanning.
Outcome convert(const std::uint8_t* data, std::size_t size, std::uint8_t fill, bool traced) {
  Outcome out;
  ConversionWorkspace ws;
  NullProgress progress;
  TraceChannel trace;
  if (traced) trace.setSink([&out](std::string_view bytes) { out.traceBytes += bytes.size(); });
  const ConverterSettings settings;
  const DateSource today = [] { return CalendarDate{2003, 1, 5}; };

  out.code = loadInputBytes(std::string_view(reinterpret_cast<const char*>(data), size), ws);
  if (out.code != result::kSuccess) return out;
  // The split and the translation stay within 16 L bytes; beyond that only
  // a long output reaches, which writes before it reads. So the rest of a
  // small input's 1 MiB is filled only in part: touching every page of it
  // would cost more than the conversion.
  const std::size_t used = std::min(static_cast<std::size_t>(ws.bufferCapacity), 16 * size + kFillSlack);
  std::memset(ws.bufferA.get() + size, fill, used - size);
  std::memset(ws.bufferB.get(), fill, used);

  // The traced run finds each note's end by scanning ahead from its note-on,
  // the slow way the one-pass search must agree with.
  tonvell::test::ScanNoteLengths scan;
  PassContext pass{ws, progress, trace, conversionOptions(settings), today()};
  out.code = convertLoaded(pass, traced ? &scan : nullptr);
  if (out.code == result::kSuccess) {
    if (ws.writeLength <= 0 || ws.writeLength > ws.bufferCapacity)
      fail("write length outside the buffer", std::to_string(ws.writeLength));
    out.mfi.assign(ws.bufferB.get(), ws.bufferB.get() + ws.writeLength);
  }
  return out;
}

}  // namespace


// The modes on request: the format-0 rewrite changes nothing for a file it
// does not take; whatever a mode writes passes the inspector and decodes.
void checkOptionalModes(const std::uint8_t* data, std::size_t size, const Outcome& plain) {
  const std::span<const std::uint8_t> input(data, size);
  for (const int mode : {1, 2, 3}) {
    ConversionOptions options;
    options.format0 = (mode & 1) != 0;
    options.handset = (mode & 2) != 0;
    const ConversionResult r = convertMidi(input, options, CalendarDate{2003, 1, 5});
    if (r.code != result::kSuccess && !knownFailure(r.code))
      fail("unknown result code in an optional mode", std::to_string(static_cast<int>(r.code)));
    if (mode == 1 && plain.code != result::kNotFormat1 && (r.code != plain.code || r.mfi != plain.mfi))
      fail("the format-0 switch changed the conversion of a file that is not format 0");
    if (r.code != result::kSuccess) continue;
    const InspectResult check = inspectMfi(r.mfi.data(), r.mfi.size());
    if (!check.ok) fail("the inspector rejects a file of an optional mode", check.describeError());
    fuzz::checkDecodes(r.mfi, true);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Outcome plain = convert(data, size, 0x00, false);
  const Outcome traced = convert(data, size, 0xFF, true);

  if (plain.code != result::kSuccess && !knownFailure(plain.code))
    fail("unknown result code", std::to_string(static_cast<int>(plain.code)));
  if (plain.code != traced.code)
    fail("the result depends on the trace, the note-end search or unwritten buffer bytes",
         std::to_string(static_cast<int>(plain.code)) + " vs " + std::to_string(static_cast<int>(traced.code)));
  if (plain.mfi != traced.mfi)
    fail("the MFi file depends on the trace, the note-end search or unwritten buffer bytes");
  if (plain.code == result::kSuccess) {
    if (traced.traceBytes == 0) fail("a successful conversion wrote no trace");
    const InspectResult check = inspectMfi(plain.mfi.data(), plain.mfi.size());
    if (!check.ok) fail("the inspector rejects the converted file", check.describeError());
    // The listing costs a line per event: kept to files of a few pages.
    constexpr std::size_t kListedSize = 8192;
    if (plain.mfi.size() <= kListedSize && formatInspect(check).empty())
      fail("the listing of an accepted file is empty");

    // The inspector reads files of any origin: it must also survive a
    // damaged one, here the converted file cut short and with one byte changed.
    std::vector<std::uint8_t> damaged = plain.mfi;
    damaged.resize(size % damaged.size() + 1);
    damaged[data[0] % damaged.size()] ^= static_cast<std::uint8_t>(data[size - 1] | 1);
    const InspectResult bad = inspectMfi(damaged.data(), damaged.size());
    if (!bad.ok && bad.error.empty()) fail("the inspector rejects a file without saying why");
    if (bad.ok && damaged.size() <= kListedSize) formatInspect(bad);

    fuzz::checkDecodes(plain.mfi, true);
    fuzz::checkDecodes(damaged, false);
    // The decoder reads events the converter never writes: the input's own
    // bytes written over the converted file's events, its header left whole.
    std::vector<std::uint8_t> scrambled = plain.mfi;
    const std::size_t events = 8 + 2 + ((std::size_t{scrambled[8]} << 8) | scrambled[9]);
    if (events < scrambled.size()) {
      const std::size_t from = events + data[0] % (scrambled.size() - events);
      std::memcpy(scrambled.data() + from, data, std::min(size, scrambled.size() - from));
      fuzz::checkDecodes(scrambled, false);
    }
  }
  checkOptionalModes(data, size, plain);
  return 0;
}

// The engine as a WebAssembly module: a small C interface that web/tonvell.mjs
// wraps. The module runs one call at a time; each call leaves its result
// (bytes and text) here until the next call replaces it.
//
// What the page and the node module need beyond the engine lives here: the
// options as the command line takes them, the log lines it prints for a
// file, and the output name it chooses. Later reports (the check) join as
// further tonvell_* functions beside these.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/batch.h"
#include "convert/log_text.h"
#include "convert/paths.h"
#include "convert/pipeline.h"
#include "convert/settings.h"
#include "mfi/decode.h"
#include "mfi/inspect.h"

namespace tonvell {

namespace {

struct Result {
  std::vector<std::uint8_t> bytes;
  std::string text;
  int flags = 0;
};
Result& held() {
  static Result r;
  return r;
}

void clearResult() {
  std::vector<std::uint8_t>().swap(held().bytes);
  std::string().swap(held().text);
  held().flags = 0;
}

// The log text as tonvell-cli prints it: LF line ends.
const char* cliText(std::string_view text) {
  std::string& out = held().text;
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out.c_str();
}

std::span<const std::uint8_t> input(const std::uint8_t* data, int size) {
  return {data, size > 0 ? static_cast<std::size_t>(size) : 0};
}

}  // namespace

// Switches of tonvell_convert, named after the command line's options.
enum ConvertFlags : int {
  kNoSmfTitle = 1,
  kNoSmfCopyright = 2,
  kCopyProhibit = 4,
  kFormat0 = 8,
  kHandset = 16,
  kNoMasterVolume = 32,
  kNoLoop = 64,
};

}  // namespace tonvell

using namespace tonvell;

extern "C" {

// Converts `size` bytes of a MIDI file. `title` and `copyright` (UTF-8) are
// null when not given; `masterVolume` below 0 leaves the default. `date` is
// YYYYMMDD. Returns the result code (108: the MFi file is the result's bytes;
// tonvell_result_flags() bit 1: a header text held characters GBK lacks).
EMSCRIPTEN_KEEPALIVE int tonvell_convert(const std::uint8_t* data, int size, const char* title,
                                         const char* copyright, int flags, int masterVolume, int date) {
  clearResult();
  try {
    ConverterSettings s;
    applyDefaults(s);
    if (title) {
      s.titleSwitch = 1;
      s.titleText = title;
    }
    if (copyright) {
      s.copyrightSwitch = 1;
      s.copyrightText = copyright;
    }
    if (flags & kNoSmfTitle) s.smfSeqNameSwitch = 0;
    if (flags & kNoSmfCopyright) s.smfCopyrightSwitch = 0;
    if (flags & kCopyProhibit) s.copyProhibit = 1;
    if (flags & kFormat0) s.format0Switch = 1;
    if (flags & kHandset) s.handsetSwitch = 1;
    if (masterVolume >= 0) {
      s.masterVolumeSwitch = 1;
      s.masterVolume = masterVolume;
    }
    if (flags & kNoMasterVolume) s.masterVolumeSwitch = 0;
    if (flags & kNoLoop) s.loopSwitch = 0;
    const CalendarDate day{date / 10000, date / 100 % 100, date % 100};
    ConversionResult converted = convertMidi(input(data, size), conversionOptions(s), day);
    held().bytes = std::move(converted.mfi);
    held().flags = converted.headerTextSubstituted ? 1 : 0;
    return static_cast<int>(converted.code);
  } catch (const std::bad_alloc&) {
    clearResult();
    return static_cast<int>(ResultCode::kNoMemory);
  }
}

// Decodes an MFi file into a MIDI file (the result's bytes); the result's
// text is a JSON object describing it. 1 when decoded, 0 when not (the
// text's "error" says why), -1 when memory ran out.
EMSCRIPTEN_KEEPALIVE int tonvell_decode(const std::uint8_t* data, int size) {
  clearResult();
  try {
    DecodedMfi d = decodeMfi(input(data, size));
    std::string& json = held().text;
    json = "{\"ok\":" + std::string(d.ok ? "true" : "false");
    if (!d.ok) {
      json += ",\"error\":" + jsonString(d.error) + "}";
      return 0;
    }
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  ",\"seconds\":%.17g,\"endTick\":%lld,\"cueStartTick\":%lld,\"cueEndTick\":%lld,"
                  "\"silentNotes\":%d,\"channelMask\":%d,\"skippedEvents\":%d",
                  d.seconds, static_cast<long long>(d.endTick), static_cast<long long>(d.cueStartTick),
                  static_cast<long long>(d.cueEndTick), d.silentNotes, d.channelMask, d.skippedEvents);
    json += numbers;
    json += ",\"title\":" + jsonString(d.title) + ",\"copyright\":" + jsonString(d.copyright) + ",\"skipped\":{";
    bool first = true;
    for (const auto& [kind, count] : d.skipped) {
      json += (first ? "" : ",") + jsonString(kind) + ":" + std::to_string(count);
      first = false;
    }
    json += "}}";
    held().bytes = std::move(d.midi);
    return 1;
  } catch (const std::bad_alloc&) {
    clearResult();
    return -1;
  }
}

// Checks and lists an MFi file as `tonvell-cli inspect` does: with `json`
// the one-line JSON object of inspect --json, else the listing (or the
// fault). 1 when the file passed, 0 when not, -1 when memory ran out.
EMSCRIPTEN_KEEPALIVE int tonvell_inspect(const std::uint8_t* data, int size, const char* name, int json) {
  clearResult();
  try {
    const InspectResult r = inspectMfi(data, size > 0 ? static_cast<std::size_t>(size) : 0);
    if (json)
      held().text = formatInspectJson(r, name ? name : "");
    else
      held().text = r.ok ? formatInspect(r) : r.describeError();
    return r.ok ? 1 : 0;
  } catch (const std::bad_alloc&) {
    clearResult();
    return -1;
  }
}

// The program's version, as tonvell-cli --version gives it.
EMSCRIPTEN_KEEPALIVE const char* tonvell_version() { return TONVELL_VERSION; }

EMSCRIPTEN_KEEPALIVE const std::uint8_t* tonvell_result_data() { return held().bytes.data(); }
EMSCRIPTEN_KEEPALIVE int tonvell_result_size() { return static_cast<int>(held().bytes.size()); }
EMSCRIPTEN_KEEPALIVE const char* tonvell_result_text() { return held().text.c_str(); }
EMSCRIPTEN_KEEPALIVE int tonvell_result_flags() { return held().flags; }
EMSCRIPTEN_KEEPALIVE void tonvell_result_clear() { clearResult(); }

// The log, piece by piece, as tonvell-cli prints it for a run (UTF-8, LF
// line ends). Each call's text stays valid until the next call.
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_banner() { return cliText(logtext::banner()); }
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_file_started(int index, const char* path) {
  return cliText(logtext::fileStarted(index, path));
}
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_header_substituted() {
  return cliText(logtext::headerTextSubstituted());
}
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_output_chosen(const char* outputPath) {
  return cliText(logtext::outputChosen(outputPath));
}
// The end of a file's lines: its failure, or for a converted file written
// without question nothing, or the duplicate-output line.
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_file_finished(int code, int duplicateOutput) {
  FileOutcome outcome;
  outcome.code = static_cast<ResultCode>(code);
  outcome.duplicateOutput = duplicateOutput != 0;
  return cliText(logtext::fileFinished(outcome));
}
EMSCRIPTEN_KEEPALIVE const char* tonvell_log_run_finished(int checked, int saved) {
  RunSummary summary;
  summary.checked = checked;
  summary.saved = saved;
  return cliText(logtext::runFinished(summary));
}

// The output path the command line chooses for `inputPath` in `folder`.
EMSCRIPTEN_KEEPALIVE const char* tonvell_output_path(const char* folder, const char* inputPath) {
  std::string dir = folder;
  if (!endsWithByte(dir, kNativeRules.separator)) dir += kNativeRules.separator;
  const PathParts d = splitPath(dir);
  const PathParts in = splitPath(inputPath);
  held().text = makePath(d.drive, d.directory, in.baseName, ".mld");
  return held().text.c_str();
}

}  // extern "C"

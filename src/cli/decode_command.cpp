// "tonvell-cli decode FILE.mld... [-o DIR]": each ring tone as players read
// it, written as NAME.mid.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/ring_tone_files.h"
#include "convert/log_text.h"
#include "core/gbk.h"
#include "mfi/decode.h"

namespace tonvell::cli {

namespace {

// ", 3 skipped (FF E5 x2, note key 63)"
std::string describeSkipped(const DecodedMfi& decoded) {
  if (decoded.skippedEvents == 0) return {};
  std::string text = ", " + std::to_string(decoded.skippedEvents) + " skipped (";
  bool first = true;
  for (const auto& [kind, count] : decoded.skipped) {
    text += (first ? "" : ", ") + kind + (count > 1 ? " x" + std::to_string(count) : "");
    first = false;
  }
  return text + ")";
}

}  // namespace

namespace {

struct DecodeOptions {
  std::vector<std::string> files;
  std::string folder = ".";
  std::string overwrite;  // empty: ask on a terminal, skip otherwise
};

int decodeFiles(const DecodeOptions& o) {
  OutputRun outputs("decode", o.folder, o.overwrite, o.files);
  int status = 0;
  for (const std::string& path : o.files) {
    DecodedMfi decoded;
    if (!readRingTone(path, "decode", &decoded)) {
      status = 1;
      continue;
    }
    const std::string output = outputs.outputFor(path, ".mid");
    const OutputRun::Saved saved = outputs.save(path, output, [&decoded](OutputSink& sink) {
      return sink.write(decoded.midi.data(), decoded.midi.size());
    });
    if (!saved.ok) {
      status = 1;
      continue;
    }
    const std::string shown = sanitizeUtf8(path) + " => " + sanitizeUtf8(output);
    if (saved.skipped) {
      std::printf("%s\n%s", shown.c_str(), logtext::overwriteDecided(saved.decision).c_str());
      outputs.flushLog();
      continue;
    }
    int channels = 0;
    for (int c = 0; c < 16; ++c) channels += (decoded.channelMask >> c) & 1;
    std::printf("%s: %d channel%s, %.2f s%s\n%s", shown.c_str(), channels, channels == 1 ? "" : "s",
                decoded.seconds, describeSkipped(decoded).c_str(), logtext::overwriteDecided(saved.decision).c_str());
    outputs.flushLog();
  }
  return outputs.logWritten() ? status : 1;
}

}  // namespace

Subcommand addDecodeCommand(CLI::App& app) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* command = app.add_subcommand("decode", "Write MFi files (.mld) as MIDI files (NAME.mid), read as handsets play them; see decode --help");
  command->add_option("FILE", o->files, "MFi files to decode (at least one)")->required()->option_text("...");
  command->add_option("-o,--output", o->folder, "Output folder (default ./)")->option_text("DIR");
  addOverwriteOption(*command, o->overwrite);
  command->footer("An output is never written over an input of the run, nor twice in one run.\n"
                  "Exit status: 0 when every file was decoded or skipped, 1 when one was not, 2 for a usage error.");
  return Subcommand{command, [o] { return decodeFiles(*o); }};
}

}  // namespace tonvell::cli

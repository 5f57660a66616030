// "tonvell-cli decode FILE.mld... [-o DIR]": each ring tone as players read
// it, written as NAME.mid.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/terminal.h"
#include "cli/ring_tone_files.h"
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
};

int decodeFiles(const DecodeOptions& o) {

  int status = 0;
  for (const std::string& path : o.files) {
    const std::string shown = sanitizeUtf8(path);
    std::string why, output;
    DecodedMfi decoded;
    if (!readRingTone(path, "decode", &decoded)) {
      status = 1;
      continue;
    }
    if (!outputPathFor(path, o.folder, ".mid", &output, &why) || !writeFileBytes(output, decoded.midi, &why)) {
      std::fprintf(stderr, "decode: %s: cannot write %s: %s\n", shown.c_str(), sanitizeUtf8(output).c_str(),
                   why.c_str());
      status = 1;
      continue;
    }
    int channels = 0;
    for (int c = 0; c < 16; ++c) channels += (decoded.channelMask >> c) & 1;
    std::printf("%s => %s: %d channel%s, %.2f s%s\n", shown.c_str(), sanitizeUtf8(output).c_str(), channels,
                channels == 1 ? "" : "s", decoded.seconds, describeSkipped(decoded).c_str());
  }
  flushStandardOutput();
  return status;
}

}  // namespace

Subcommand addDecodeCommand(CLI::App& app) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* command = app.add_subcommand("decode", "Write MFi files (.mld) as MIDI files (NAME.mid), read as handsets play them; see decode --help");
  command->add_option("FILE", o->files, "MFi files to decode (at least one)")->required()->option_text("...");
  command->add_option("-o,--output", o->folder, "Output folder (default ./)")->check(outputFolderName())->option_text("DIR");
  command->footer("Exit status: 0 when every file was decoded, 1 when one was not, 2 for a usage error.");
  return Subcommand{command, [o] { return decodeFiles(*o); }};
}

}  // namespace tonvell::cli

// "tonvell-cli check FILE.mid... [--handset] [--format0] [--json] [--svg FILE.svg]":
// converts each file in memory, reads the ring tone back as a handset would
// and reports what was lost, moved or misheard, per channel and in total.
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/terminal.h"
#include "convert/paths.h"
#include "cli/ring_tone_files.h"
#include "convert/check.h"
#include "convert/check_text.h"
#include "convert/run.h"
#include "convert/save.h"
#include "convert/settings.h"
#include "core/gbk.h"

namespace tonvell::cli {

namespace {
// The last component of `path` by the rules of this system.
std::string fileNameOf(const std::string& path) {
  const PathParts parts = splitPath(path, kNativeRules);
  return parts.baseName + parts.extension;
}
}  // namespace

namespace {

// Writes the picture of the only file's report, titled with the file's name,
// through a temporary file renamed into place; an existing picture is
// replaced (the file was named on the command line), never an input.
bool writePicture(const std::string& svgPath, const std::string& input, const CheckReport& report) {
  std::string why;
  FileIdentity in, out;
  if (identifyFile(input, &in) && identifyFile(svgPath, &out) && in == out) {
    why = "it is the input file";
  } else {
    struct Replace final : OverwritePrompt {
      OverwriteAnswer ask(const std::string&) override { return OverwriteAnswer::kYes; }
    } replace;
    OverwritePolicy policy(replace);
    const std::string text = checkPicture(report, sanitizeUtf8(fileNameOf(input)));
    const SaveOutcome saved = saveOutput(
        svgPath, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, policy);
    if (saved.saved()) return true;
    why = saved.osError == EINVAL ? "not a regular file"
          : saved.osError        ? platform::errorText(saved.osError)
                                 : "cannot be written";
  }
  std::fflush(stdout);
  std::fprintf(stderr, "check: %s: picture not written: %s\n", sanitizeUtf8(svgPath).c_str(), why.c_str());
  return false;
}

}  // namespace

namespace {

struct CheckOptions {
  std::vector<std::string> files;
  bool handset = false;
  bool format0 = false;
  bool json = false;
  std::string svg;  // the picture of the one file's report, when not empty
};

int checkFiles(const CheckOptions& o) {

  ConverterSettings settings;
  applyDefaults(settings);
  ConversionOptions options = conversionOptions(settings);
  options.handset = o.handset;
  options.format0 = o.format0;

  if (!o.svg.empty()) removeTemporaryOutputOnSignals();
  int status = 0;
  std::string json;  // the objects of the --json array, comma-separated
  bool first = true;
  for (const std::string& path : o.files) {
    const std::string shown = sanitizeUtf8(path);
    std::vector<std::uint8_t> bytes;
    std::string why;
    CheckReport report;
    if (!readFileBytes(path, &bytes, &why)) {
      report.error = why;
    } else {
      report = checkConversion(bytes, options);
    }
    if (!report.ok || !report.clean()) status = 1;
    if (report.ok && !o.svg.empty() && !writePicture(o.svg, path, report)) status = 1;
    if (o.json) {
      // Each object one level in: no text in it holds a line end of its own.
      json += json.empty() ? "\n  " : ",\n  ";
      for (const char c : checkReportJson(shown, report)) json += c == '\n' ? std::string("\n  ") : std::string(1, c);
      continue;
    }
    if (!report.ok) {
      flushStandardOutput();
      std::fprintf(stderr, "check: %s: %s\n", shown.c_str(), sanitizeUtf8(report.error).c_str());
      continue;
    }
    if (!first) putStandardOutput("\n");
    first = false;
    putStandardOutput(checkReportText(shown, report));
  }
  if (o.json) putStandardOutput("[" + json + "\n]\n");
  flushStandardOutput();
  return status;
}

}  // namespace

Subcommand addCheckCommand(CLI::App& app) {
  auto o = std::make_shared<CheckOptions>();
  CLI::App* command = app.add_subcommand("check", "Convert MIDI files in memory and report what a handset loses or mishears; see check --help");
  command->add_option("FILE", o->files, "MIDI files to check (at least one)")->required()->option_text("...");
  command->add_flag("--handset", o->handset, "Convert with times and values as handsets play them");
  command->add_flag("--format0", o->format0, "Convert format-0 files too, split by channel (as the converter's --format0)");
  command->add_flag("--json", o->json, "Write the reports as a JSON array");
  CLI::Option* svg =
      command->add_option("--svg", o->svg, "Draw the report of the one FILE as an SVG picture (replaced when it exists)")
          ->option_text("FILE.svg");
  command->parse_complete_callback([o, svg] {
    if (svg->count() == 0) return;
    if (o->svg.empty()) throw CLI::ValidationError("--svg", "the file name is empty");
    // "-" would be a file of that name: standard output holds the report.
    if (o->svg == "-") throw CLI::ValidationError("--svg", "names a file; standard output holds the report");
    if (o->files.size() != 1) throw CLI::ValidationError("--svg", "draws one FILE, not " + std::to_string(o->files.size()));
  });
  command->footer(
      "Columns: notes in the file; kept at their key, of them moved (sounding further from their time, in\n"
      "seconds, than one MFi tick plus 0.25 % of the time since the start; the largest shift); out of reach\n"
      "(drum keys outside the kit, keys out of range); lost otherwise; controller changes (volume,\n"
      "expression, pan, modulation, pitch bend); heard more than 2 of 127 away. A tempo more than 0.25 %\n"
      "off is misheard.\n"
      "Exit status: 0 when nothing is lost, moved or misheard (notes out of reach alone, which no conversion\n"
      "can play, leave it 0), 1 otherwise or when a file cannot be checked or the picture written, 2 for a\n"
      "usage error.");
  return Subcommand{command, [o] { return checkFiles(*o); }};
}

}  // namespace tonvell::cli

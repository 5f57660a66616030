// "tonvell-cli check FILE.mid... [--handset] [--format0] [--json] [--svg FILE.svg]":
// converts each file in memory, reads the ring tone back as a handset would
// and reports what was lost, moved or misheard, per channel and in total.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "convert/paths.h"
#include "cli/ring_tone_files.h"
#include "convert/check.h"
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

nlohmann::ordered_json channelJson(const ChannelCheck& c) {
  nlohmann::ordered_json j;
  if (c.channel >= 0) j["channel"] = c.channel;
  j["notes"] = c.notes;
  j["kept"] = c.kept;
  j["asWritten"] = c.asWritten();
  j["moved"] = c.moved;
  j["largestShiftMs"] = std::round(c.largestShiftMs * 10) / 10;
  j["largestShift"] = {{"seconds", std::round(c.largestShiftSeconds * 10000) / 10000},
                       {"at", std::round(c.largestShiftAt * 1000) / 1000}};
  j["outOfReach"] = {{"count", c.outOfReach},
                     {"drumKeysOutsideKit", c.outOfReachDrums},
                     {"keysOutOfRange", c.outOfReach - c.outOfReachDrums},
                     {"atAnotherKey", c.outOfReachOtherKey},
                     {"dropped", c.outOfReachDropped}};
  j["lost"] = {{"count", c.lost}, {"atAnotherKey", c.lostOtherKey}, {"dropped", c.lost - c.lostOtherKey}};
  j["controllerChanges"] = c.controllerChanges;
  j["misheard"] = c.misheard;
  return j;
}

nlohmann::ordered_json reportJson(const std::string& file, const CheckReport& r) {
  nlohmann::ordered_json j;
  j["file"] = file;
  j["ok"] = r.ok;
  if (!r.ok) {
    j["error"] = r.error;
    return j;
  }
  j["clean"] = r.clean();
  j["problems"] = nlohmann::ordered_json::array();
  for (CheckProblem p : r.problems()) j["problems"].push_back(problemId(p));
  j["bytes"] = r.outputBytes;
  j["seconds"] = std::round(r.seconds * 1000) / 1000;
  j["skippedEvents"] = r.skippedEvents;
  j["polyphony"] = {{"song", r.polyphony}, {"tracks", r.trackPolyphony}};
  j["tempoChanges"] = {{"count", r.tempoChanges}, {"misheard", r.tempoChangesMisheard}};
  j["channels"] = nlohmann::ordered_json::array();
  for (const ChannelCheck& c : r.channels) j["channels"].push_back(channelJson(c));
  j["total"] = channelJson(r.total);
  return j;
}

void printRow(const char* label, const ChannelCheck& c) {
  std::printf("%5s %6d %6d %6d %8.1f %6d %6d %8d %9d\n", label, c.notes, c.kept, c.moved, c.largestShiftMs,
              c.outOfReach, c.lost, c.controllerChanges, c.misheard);
}

void printReport(const std::string& file, const CheckReport& r) {
  std::printf("%s: %zu bytes, %.2f s, at most %d notes at once (tracks %d %d %d %d)\n", file.c_str(), r.outputBytes,
              r.seconds, r.polyphony, r.trackPolyphony[0], r.trackPolyphony[1], r.trackPolyphony[2],
              r.trackPolyphony[3]);
  std::printf("   ch  notes   kept  moved   max ms  reach   lost  changes  misheard\n");
  for (const ChannelCheck& c : r.channels) printRow(std::to_string(c.channel).c_str(), c);
  printRow("all", r.total);
  const ChannelCheck& t = r.total;
  if (t.outOfReach > 0)
    std::printf("  out of reach: %d (drum keys outside the kit %d, keys out of range %d; %d at another key, %d dropped)\n",
                t.outOfReach, t.outOfReachDrums, t.outOfReach - t.outOfReachDrums, t.outOfReachOtherKey,
                t.outOfReachDropped);
  if (t.lost > 0)
    std::printf("  lost: %d (%d at another key, %d dropped)\n", t.lost, t.lostOtherKey, t.lost - t.lostOtherKey);
  if (t.moved > 0)
    std::printf("  moved: %d, the furthest %.3f s %s at %.3f s\n", t.moved, std::abs(t.largestShiftSeconds),
                t.largestShiftSeconds < 0 ? "early" : "late", t.largestShiftAt);
  std::printf("  tempo changes: %d, misheard %d\n", r.tempoChanges, r.tempoChangesMisheard);
  if (r.skippedEvents > 0) std::printf("  events no player agrees on: %d\n", r.skippedEvents);
  if (!r.clean()) {
    std::string found;
    for (CheckProblem p : r.problems()) found += std::string(found.empty() ? "" : ", ") + problemName(p);
    std::printf("  found: %s\n", found.c_str());
  } else if (t.outOfReach > 0) {
    std::printf("  nothing lost, moved or misheard; %d %s out of the handset's reach, which no conversion can play\n",
                t.outOfReach, t.outOfReach == 1 ? "note" : "notes");
  } else {
    std::printf("  nothing lost, moved or misheard\n");
  }
}

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
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
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
      all.push_back(reportJson(shown, report));
      continue;
    }
    if (!report.ok) {
      std::fflush(stdout);
      std::fprintf(stderr, "check: %s: %s\n", shown.c_str(), sanitizeUtf8(report.error).c_str());
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    printReport(shown, report);
  }
  if (o.json) std::printf("%s\n", all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
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

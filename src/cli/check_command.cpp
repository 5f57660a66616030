// "tonvell-cli check FILE.mid... [--handset] [--format0] [--json]": converts each file in
// memory, reads the ring tone back as a handset would and reports what was
// lost or misheard, per channel and in total.
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/cli.h"
#include "cli/terminal.h"
#include "cli/ring_tone_files.h"
#include "convert/check.h"
#include "convert/run.h"
#include "convert/settings.h"
#include "core/gbk.h"

namespace tonvell::cli {

namespace {

nlohmann::ordered_json channelJson(const ChannelCheck& c) {
  nlohmann::ordered_json j;
  if (c.channel >= 0) j["channel"] = c.channel;
  j["notes"] = c.notes;
  j["kept"] = c.kept;
  j["moved"] = c.moved;
  j["largestShiftMs"] = std::round(c.largestShiftMs * 10) / 10;
  j["outOfReach"] = {{"count", c.outOfReach},
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
  j["bytes"] = r.outputBytes;
  j["seconds"] = std::round(r.seconds * 1000) / 1000;
  j["skippedEvents"] = r.skippedEvents;
  j["polyphony"] = {{"song", r.polyphony}, {"tracks", r.trackPolyphony}};
  j["tempoChanges"] = {{"count", r.tempoChanges}, {"lost", r.tempoChangesLost}};
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
  if (r.total.outOfReach > 0)
    std::printf("  out of reach: %d (%d at another key, %d dropped)\n", r.total.outOfReach,
                r.total.outOfReachOtherKey, r.total.outOfReachDropped);
  if (r.total.lost > 0)
    std::printf("  lost: %d (%d at another key, %d dropped)\n", r.total.lost, r.total.lostOtherKey,
                r.total.lost - r.total.lostOtherKey);
  std::printf("  tempo changes: %d, lost %d\n", r.tempoChanges, r.tempoChangesLost);
  if (r.skippedEvents > 0) std::printf("  events no player agrees on: %d\n", r.skippedEvents);
  std::printf("  %s\n", r.clean() ? "nothing lost or misheard" : "lost or misheard");
}

}  // namespace

namespace {

struct CheckOptions {
  std::vector<std::string> files;
  bool handset = false;
  bool format0 = false;
  bool json = false;
};

int checkFiles(const CheckOptions& o) {

  ConverterSettings settings;
  applyDefaults(settings);
  ConversionOptions options = conversionOptions(settings);
  options.handset = o.handset;
  options.format0 = o.format0;

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
    if (o.json) {
      all.push_back(reportJson(shown, report));
      continue;
    }
    if (!report.ok) {
      flushStandardOutput();
      std::fprintf(stderr, "check: %s: %s\n", shown.c_str(), sanitizeUtf8(report.error).c_str());
      continue;
    }
    if (!first) std::printf("\n");
    first = false;
    printReport(shown, report);
  }
  if (o.json) std::printf("%s\n", all.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
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
  command->footer(
      "Columns: notes in the file; kept at their key; moved by more than 1 ms (largest shift); out of reach;\n"
      "lost otherwise; controller changes (volume, expression, pan, modulation, pitch bend); heard more than\n"
      "2 of 127 away.\n"
      "Exit status: 0 when nothing is lost or misheard, 1 otherwise or when a file cannot be checked, 2 for a\n"
      "usage error.");
  return Subcommand{command, [o] { return checkFiles(*o); }};
}

}  // namespace tonvell::cli

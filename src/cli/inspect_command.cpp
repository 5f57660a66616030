// "tonvell-cli inspect [--json] FILE.mld...": checks each file's structure and
// lists it, or describes it as JSON for scripts.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "cli/terminal.h"
#include "convert/input.h"
#include "core/gbk.h"
#include "mfi/inspect.h"

namespace tonvell::cli {

namespace {

struct InspectOptions {
  std::vector<std::string> files;
  bool json = false;
};

// Lists each file on standard output; names each one that cannot be read or
// is damaged on standard error. 1 when any file failed. Files are read by
// the converter's own rules: a regular file below the size ceiling, so a
// folder, a device or a pipe fails at once.
int inspectFiles(const InspectOptions& o) {
  int status = 0;
  bool first = true;
  for (const std::string& path : o.files) {
    const std::string shown = sanitizeUtf8(path);
    std::vector<std::uint8_t> bytes;
    int osError = 0;
    const ResultCode read = readInputFile(path, &bytes, &osError);
    if (read != ResultCode::kSuccess) {
      const std::string why = describeReadFailure(read, osError);
      if (o.json)
        putStandardOutput("{\"file\":" + jsonString(shown) + ",\"ok\":false,\"error\":" + jsonString(why) + "}\n");
      flushStandardOutput();
      std::fprintf(stderr, "inspect: %s: %s\n", shown.c_str(), why.c_str());
      status = 1;
      continue;
    }
    const InspectResult result = inspectMfi(bytes.data(), bytes.size());
    if (o.json) putStandardOutput(formatInspectJson(result, shown) + "\n");
    if (!result.ok) {
      flushStandardOutput();
      std::fprintf(stderr, "inspect: %s: %s\n", shown.c_str(), result.describeError().c_str());
      status = 1;
      continue;
    }
    if (o.json) continue;
    putStandardOutput((first ? "" : "\n") + shown + "\n" + formatInspect(result));
    first = false;
  }
  return status;
}

}  // namespace

Subcommand addInspectCommand(CLI::App& app) {
  auto options = std::make_shared<InspectOptions>();
  CLI::App* command =
      app.add_subcommand("inspect", "Check MFi files (.mld) and list their header and events; see inspect --help");
  command->footer("Exit status: 0 when every file passed, 1 when one did not, 2 for a usage error.");
  command->add_flag("--json", options->json,
                    "One JSON object per file, one per line: header chunks, tracks and events");
  command->add_option("FILE", options->files, "MFi files to check (at least one)")->required()->option_text("...");
  return Subcommand{command, [options] { return inspectFiles(*options); }};
}

}  // namespace tonvell::cli

// "tonvell-cli inspect FILE.mld...": checks each file's structure and lists it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/cli.h"
#include "core/gbk.h"
#include "mfi/inspect.h"

namespace tonvell::cli {

namespace {

bool readWholeFile(const std::string& path, std::string* bytes, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *why = "read error";
    return false;
  }
  return true;
}

}  // namespace

int runInspect(int argc, char** argv) {
  CLI::App app{"Checks the structure of MFi files (.mld) and lists their header and events.",
               "tonvell-cli inspect"};
  std::vector<std::string> files;
  app.add_option("FILE", files, "MFi files to check")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  int status = 0;
  bool first = true;
  for (const std::string& path : files) {
    const std::string shown = sanitizeUtf8(path);
    std::string bytes, why;
    if (!readWholeFile(path, &bytes, &why)) {
      std::fprintf(stderr, "inspect: %s: %s\n", shown.c_str(), why.c_str());
      status = 1;
      continue;
    }
    const InspectResult result =
        inspectMfi(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    if (!result.ok) {
      std::fflush(stdout);
      std::fprintf(stderr, "inspect: %s: %s\n", shown.c_str(), result.describeError().c_str());
      status = 1;
      continue;
    }
    if (!first) std::fputs("\n", stdout);
    first = false;
    std::printf("%s\n", shown.c_str());
    const std::string listing = formatInspect(result);
    std::fwrite(listing.data(), 1, listing.size(), stdout);
  }
  std::fflush(stdout);
  return status;
}

}  // namespace tonvell::cli

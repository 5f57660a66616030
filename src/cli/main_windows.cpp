// The command line's entry point on Windows: the arguments arrive as UTF-16
// (linked with -municode) and go on as UTF-8.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/console.h"
#include "platform/windows/text.h"

int wmain(int argc, wchar_t** argv) {
  tonvell::platform::prepareStandardStreams();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.push_back(tonvell::platform::narrow(argv[i]));
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  return tonvell::cli::runCli(argc, pointers.data());
}

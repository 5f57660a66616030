// "render" where the command line is built without the synthesizer (the
// Windows build): not listed in --help, and named anyway it says why.
#include <cstdio>

#include <CLI/CLI.hpp>

#include "cli/cli.h"

namespace tonvell::cli {

Subcommand addRenderCommand(CLI::App& app) {
  CLI::App* command = app.add_subcommand("render", "");
  command->group("");  // left out of --help
  command->allow_extras();
  command->prefix_command();
  return Subcommand{command, [] {
                      std::fprintf(stderr,
                                   "tonvell-cli: render is not part of this build: it plays ring tones through "
                                   "FluidSynth, which the Windows build does not include. Use decode to get a MIDI "
                                   "file and play that.\n");
                      return 2;
                    }};
}

}  // namespace tonvell::cli

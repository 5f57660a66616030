#include "cli/cli.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  tonvell::platform::prepareStandardStreams();
  return tonvell::cli::runCli(argc, argv);
}

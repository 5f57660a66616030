#include "cli/cli.h"

int main(int argc, char** argv) { return tonvell::cli::runCli(argc, argv); }

#pragma once
namespace tonvell::cli {
// The whole command line; returns the exit status: 0 when no file failed,
// 1 when one did, 2 for a usage error.
int runCli(int argc, char** argv);
// "inspect FILE.mld...", with argv[0] being "inspect".
int runInspect(int argc, char** argv);
}  // namespace tonvell::cli

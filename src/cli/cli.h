#pragma once

#include <functional>

namespace CLI {
class App;
class Validator;
}

namespace tonvell::cli {

// The whole command line; returns the exit status: 0 when no file failed,
// 1 when one did or output was lost (a write to standard output or the trace
// failed), 2 for a usage error.
int runCli(int argc, char** argv);

// Every number on the command line: decimal digits only ("010" is ten;
// "0x10", "1e3", "+5" and "5abc" are usage errors), from `min` to `max`.
// It hands the number on in plain digits, so give it with ->transform().
CLI::Validator decimalNumber(long long min, long long max);
// Every output folder (-o): any name but the empty one, which would
// otherwise mean the root folder.
CLI::Validator outputFolderName();

// A subcommand of tonvell-cli ("tonvell-cli [OPTIONS] NAME ..."): its CLI11
// app, and what runs it once the command line has been parsed, returning
// the exit status. Each one is registered on the main app by a function of
// its own, so that adding a subcommand is one such function and one line in
// runCli.
struct Subcommand {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

// "inspect [--json] FILE...": checks MFi files and lists what they hold.
Subcommand addInspectCommand(CLI::App& app);

// "decode FILE.mld... [-o DIR]": each ring tone as a MIDI file, NAME.mid.
Subcommand addDecodeCommand(CLI::App& app);
// "render FILE.mld... [-o DIR] [--soundfont SF2] [--voices N] [--loops N]":
// each ring tone played through FluidSynth into NAME.wav.
Subcommand addRenderCommand(CLI::App& app);
// "check FILE.mid... [--handset] [--format0] [--json]": what a handset makes of each file;
// 0 when nothing is lost or misheard, 1 otherwise.
Subcommand addCheckCommand(CLI::App& app);

}  // namespace tonvell::cli

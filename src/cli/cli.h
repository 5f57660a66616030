#pragma once
namespace tonvell::cli {
// The whole command line; returns the exit status: 0 when no file failed,
// 1 when one did, 2 for a usage error.
int runCli(int argc, char** argv);
// "inspect FILE.mld...", with argv[0] being "inspect".
int runInspect(int argc, char** argv);
// "decode FILE.mld... [-o DIR]": each ring tone as a MIDI file, NAME.mid.
int runDecode(int argc, char** argv);
// "render FILE.mld... [-o DIR] [--soundfont SF2] [--voices N] [--loops N]":
// each ring tone played through FluidSynth into NAME.wav.
int runRender(int argc, char** argv);
// "check FILE.mid... [--handset] [--json]": what a handset makes of each file.
// 0 when nothing is lost or misheard, 1 otherwise.
int runCheck(int argc, char** argv);
}  // namespace tonvell::cli

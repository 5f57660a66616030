// "tonvell-cli render FILE.mld... [-o DIR] [--soundfont SF2] [--voices N]
// [--loops N]": each ring tone decoded and played through FluidSynth into
// NAME.wav (44.1 kHz, 16-bit stereo).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "audio/performance.h"
#include "audio/synth.h"
#include "cli/cli.h"
#include "cli/terminal.h"
#include "cli/ring_tone_files.h"
#include "core/gbk.h"
#include "mfi/decode.h"

namespace tonvell::cli {

namespace {

struct RenderOptions {
  std::vector<std::string> files;
  std::string folder = ".";
  audio::SynthOptions synth;
  int loops = 1;
};

int renderFiles(const RenderOptions& o) {
  if (o.synth.soundFont.empty() && audio::defaultSoundFont().empty()) {
    std::fprintf(stderr, "render: no SoundFont: give one with --soundfont, or install timgm6mb-soundfont\n");
    return 1;
  }

  int status = 0;
  for (const std::string& path : o.files) {
    const std::string shown = sanitizeUtf8(path);
    std::string why, output;
    DecodedMfi decoded;
    if (!readRingTone(path, "render", &decoded)) {
      status = 1;
      continue;
    }
    const audio::Performance performance =
        audio::buildPerformance(decoded.midi, {decoded.cueStartTick, decoded.cueEndTick}, o.loops);
    if (!performance.ok) {
      std::fprintf(stderr, "render: %s: %s\n", shown.c_str(), performance.error.c_str());
      status = 1;
      continue;
    }
    if (!outputPathFor(path, o.folder, ".wav", &output, &why)) {
      std::fprintf(stderr, "render: %s: %s\n", shown.c_str(), why.c_str());
      status = 1;
      continue;
    }
    const audio::RenderOutcome rendered = audio::renderWav(performance, output, o.synth);
    if (!rendered.ok) {
      std::fprintf(stderr, "render: %s: %s\n", shown.c_str(), rendered.error.c_str());
      status = 1;
      continue;
    }
    std::printf("%s => %s: %.2f s played, %.2f s written, peak %.1f dBFS\n", shown.c_str(),
                sanitizeUtf8(output).c_str(), performance.seconds, rendered.seconds, rendered.peakDbfs);
    flushStandardOutput();
  }
  return status;
}

}  // namespace

Subcommand addRenderCommand(CLI::App& app) {
  auto o = std::make_shared<RenderOptions>();
  CLI::App* command = app.add_subcommand("render", "Play MFi files (.mld) through FluidSynth into WAV files (NAME.wav, 44.1 kHz, 16-bit stereo); see render --help");
  command->add_option("FILE", o->files, "MFi files to render (at least one)")->required()->option_text("...");
  command->add_option("-o,--output", o->folder, "Output folder (default ./)")->check(outputFolderName())->option_text("DIR");
  command->add_option("--soundfont", o->synth.soundFont,
                 "General MIDI SoundFont (default /usr/share/sounds/sf2/default-GM.sf2, else TimGM6mb.sf2)")
      ->option_text("SF2");
  command->add_option("--voices", o->synth.voices, "Voices the synthesizer sounds at once (FluidSynth's polyphony; a note takes one or two), to hear a 4- or 16-voice handset")
      ->transform(decimalNumber(1, 4096))
      ->option_text("N");
  command->add_option("--loops", o->loops, "Play the loop (cue start to cue end) N times (default 1)")
      ->transform(decimalNumber(1, 1000))
      ->option_text("N");
  command->footer("Exit status: 0 when every file was rendered, 1 when one was not, 2 for a usage error.");
  return Subcommand{command, [o] { return renderFiles(*o); }};
}

}  // namespace tonvell::cli

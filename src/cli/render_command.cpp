// "tonvell-cli render FILE.mld... [-o DIR] [--soundfont SF2] [--voices N]
// [--loops N]": each ring tone decoded and played through FluidSynth into
// NAME.wav (44.1 kHz, 16-bit stereo).
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "audio/performance.h"
#include "audio/synth.h"
#include "cli/cli.h"
#include "cli/ring_tone_files.h"
#include "convert/log_text.h"
#include "core/gbk.h"
#include "mfi/decode.h"

namespace tonvell::cli {

namespace {

struct RenderOptions {
  std::vector<std::string> files;
  std::string folder = ".";
  std::string overwrite;  // empty: ask on a terminal, skip otherwise
  audio::SynthOptions synth;
  int loops = 1;
  int maxSeconds = 3600;
};

int renderFiles(const RenderOptions& o) {
  if (o.synth.soundFont.empty() && audio::defaultSoundFont().empty()) {
    std::fprintf(stderr, "render: no SoundFont: give one with --soundfont, or install timgm6mb-soundfont\n");
    return 1;
  }
  // The SoundFont is the run's: loaded once, and a fault in it said once.
  audio::Renderer renderer;
  std::string why;
  if (!renderer.load(o.synth, &why)) {
    std::fprintf(stderr, "render: %s\n", sanitizeUtf8(why).c_str());
    return 1;
  }

  std::vector<std::string> inputs = o.files;
  inputs.push_back(o.synth.soundFont.empty() ? audio::defaultSoundFont() : o.synth.soundFont);
  OutputRun outputs("render", o.folder, o.overwrite, inputs);
  int status = 0;
  for (const std::string& path : o.files) {
    const std::string shown = sanitizeUtf8(path);
    DecodedMfi decoded;
    if (!readRingTone(path, "render", &decoded)) {
      status = 1;
      continue;
    }
    int passes = o.loops;
    if (passes > 1 && decoded.cueStartTick < 0 && decoded.cueEndTick < 0) {
      std::fprintf(stderr, "render: %s: no loop marks: played once\n", shown.c_str());
      passes = 1;
    }
    const audio::Performance performance =
        audio::buildPerformance(decoded.midi, {decoded.cueStartTick, decoded.cueEndTick}, passes);
    if (!performance.ok) {
      std::fprintf(stderr, "render: %s: %s\n", shown.c_str(), performance.error.c_str());
      status = 1;
      continue;
    }
    if (performance.seconds > o.maxSeconds) {
      std::fprintf(stderr, "render: %s: plays %.0f s, longer than --max-seconds %d: not written\n", shown.c_str(),
                   std::ceil(performance.seconds), o.maxSeconds);
      status = 1;
      continue;
    }
    const std::string output = outputs.outputFor(path, ".wav");
    audio::RenderOutcome rendered;
    const OutputRun::Saved saved = outputs.save(
        path, output,
        [&](OutputSink& sink) {
          rendered = renderer.render(performance, sink);
          return rendered.ok;
        },
        audio::kMaxWavBytes, &rendered.error);
    if (!saved.ok) {
      status = 1;
      continue;
    }
    if (saved.skipped)
      std::printf("%s => %s\n", shown.c_str(), sanitizeUtf8(output).c_str());
    else
      std::printf("%s => %s: %.2f s played, %.2f s written, peak %.1f dBFS\n", shown.c_str(),
                  sanitizeUtf8(output).c_str(), performance.seconds, rendered.seconds, rendered.peakDbfs);
    std::fputs(logtext::overwriteDecided(saved.decision).c_str(), stdout);
    outputs.flushLog();
  }
  return outputs.logWritten() ? status : 1;
}

}  // namespace

Subcommand addRenderCommand(CLI::App& app) {
  auto o = std::make_shared<RenderOptions>();
  CLI::App* command = app.add_subcommand("render", "Play MFi files (.mld) through FluidSynth into WAV files (NAME.wav, 44.1 kHz, 16-bit stereo); see render --help");
  command->add_option("FILE", o->files, "MFi files to render (at least one)")->required()->option_text("...");
  command->add_option("-o,--output", o->folder, "Output folder (default ./)")->option_text("DIR");
  addOverwriteOption(*command, o->overwrite);
  command->add_option("--soundfont", o->synth.soundFont,
                 "General MIDI SoundFont (default /usr/share/sounds/sf2/default-GM.sf2, else TimGM6mb.sf2)")
      ->option_text("SF2");
  command->add_option("--voices", o->synth.voices, "Voices the synthesizer sounds at once (FluidSynth's polyphony; a note takes one or two), to hear a 4- or 16-voice handset")
      ->check(CLI::Range(1, 4096))
      ->option_text("N");
  command->add_option("--loops", o->loops,
                      "Play the loop (cue start to cue end) N times (default 1); a file without loop marks plays "
                      "once, and render says so")
      ->check(CLI::Range(1, 1000))
      ->option_text("N");
  command->add_option("--max-seconds", o->maxSeconds,
                      "Refuse a file that plays longer than N seconds, loops included (default 3600)")
      ->check(CLI::Range(1, static_cast<int>(audio::kMaxWavSeconds)))
      ->option_text("N");
  command->footer("An output is never written over an input of the run, nor twice in one run.\n"
                  "Exit status: 0 when every file was rendered or skipped, 1 when one was not, 2 for a usage error.");
  return Subcommand{command, [o] { return renderFiles(*o); }};
}

}  // namespace tonvell::cli

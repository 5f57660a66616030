// Playing a Performance through FluidSynth: into a WAV file as fast as the
// machine goes, or through an audio output in real time on FluidSynth's own
// thread. Both schedule the whole performance on a FluidSynth sequencer that
// runs on the synthesizer's sample clock, so a WAV file and what is heard
// agree to the millisecond.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "audio/performance.h"
#include "convert/save.h"

namespace tonvell::audio {

struct SynthOptions {
  std::string soundFont;  // empty: defaultSoundFont()
  int voices = 0;         // polyphony (voices, a note takes one or two); 0 for FluidSynth's own (256)
};

// After the performance, the synthesizer runs on until every voice has died
// away, but for at most this long.
inline constexpr double kMaxReleaseSeconds = 2.0;

// Debian's General MIDI SoundFont, /usr/share/sounds/sf2/default-GM.sf2, or
// else the TimGM6mb one; empty when neither is installed.
std::string defaultSoundFont();

struct RenderOutcome {
  bool ok = false;
  std::string error;     // what failed (the SoundFont, the file), when !ok
  double seconds = 0;    // length of the WAV file written
  double peakDbfs = -200;  // loudest sample, in dB below full scale
};

// A synthesizer with a performance scheduled on it (synth.cpp).
struct SynthState;

// A WAV file is smaller than 4 GiB (its header counts bytes in 32 bits).
inline constexpr std::uint64_t kMaxWavBytes = 0xFFFFFFFFu;
// The longest performance a WAV file holds, with its release.
inline constexpr double kMaxWavSeconds = 24000;

// One synthesizer for a run of WAV files: the SoundFont is loaded once, and
// each performance starts from a synthesizer reset to its first state.
class Renderer {
 public:
  Renderer();
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Loads the SoundFont; false with `error` set ("PATH: the system's reason",
  // "not a SoundFont: PATH").
  bool load(const SynthOptions& options, std::string* error);
  // Plays `performance` into a 44.1 kHz 16-bit stereo WAV file written to
  // `sink`. Not ok when a write failed (the sink has the reason) or when the
  // file would reach kMaxWavBytes.
  RenderOutcome render(const Performance& performance, OutputSink& sink);

 private:
  std::unique_ptr<SynthState> state_;
};

// Renders `performance` to a WAV file at `wavPath`, replaced if it exists
// (written under a temporary name and renamed into place).
RenderOutcome renderWav(const Performance& performance, const std::string& wavPath, const SynthOptions& options);

// One performance played through an audio output. The audio driver is
// FluidSynth's default unless TONVELL_AUDIO_DRIVER names another; with
// "file", TONVELL_AUDIO_FILE (default "fluidsynth.wav") names the file it
// writes, in real time, which needs no sound device.
class Playback {
 public:
  Playback();
  ~Playback();  // stops
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Loads the SoundFont and starts playing; false with `error` set when the
  // SoundFont or the audio output cannot be had. `finished` is called once,
  // on FluidSynth's audio thread, when the performance and its release are
  // over; it must not call stop() itself.
  bool start(const Performance& performance, const SynthOptions& options, std::function<void()> finished,
             std::string* error);
  // Stops at once and closes the audio output. Safe when nothing plays.
  void stop();
  bool playing() const;
  // The last start() failed because no audio output could be opened (the
  // SoundFont and the file were fine).
  bool noAudioOutput() const { return noAudioOutput_; }

 private:
  std::unique_ptr<SynthState> state_;
  bool noAudioOutput_ = false;
};

}  // namespace tonvell::audio

#include "audio/synth.h"

#include <fluidsynth.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

namespace tonvell::audio {

namespace {

constexpr int kSampleRate = 44100;
constexpr int kBlockFrames = 64;  // FluidSynth's own block
// FluidSynth's default gain (0.2) leaves room for hundreds of voices; a ring
// tone has sixteen channels at most, so it plays twice as loud. A master
// volume of 100 keeps this gain.
constexpr float kGain = 0.4f;

// FluidSynth reports through a process-wide log. Errors are kept (the last
// one explains a failure), the chatter is dropped.
std::mutex logMutex;
std::string lastFluidError;

void keepError(int, const char* message, void*) {
  std::lock_guard<std::mutex> lock(logMutex);
  lastFluidError = message ? message : "";
}
void dropMessage(int, const char*, void*) {}

void quietLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    fluid_set_log_function(FLUID_PANIC, keepError, nullptr);
    fluid_set_log_function(FLUID_ERR, keepError, nullptr);
    fluid_set_log_function(FLUID_WARN, dropMessage, nullptr);
    fluid_set_log_function(FLUID_INFO, dropMessage, nullptr);
    fluid_set_log_function(FLUID_DBG, dropMessage, nullptr);
  });
}

std::string takeFluidError() {
  std::lock_guard<std::mutex> lock(logMutex);
  std::string e;
  e.swap(lastFluidError);
  return e;
}

}  // namespace

// A synthesizer with the performance scheduled on its sequencer. Owns every
// FluidSynth object; the audio driver, if any, is deleted first.
struct Playback::State {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
  fluid_sequencer_t* sequencer = nullptr;
  fluid_audio_driver_t* driver = nullptr;
  fluid_seq_id_t synthClient = -1;
  fluid_seq_id_t ownClient = -1;
  std::vector<int> masterVolumes;        // the timer events point into this
  std::atomic<bool> performed{false};    // the last event's time has come
  std::atomic<bool> finishedCalled{false};
  std::function<void()> finished;
  unsigned int performedAt = 0;          // sequencer time (ms) of the end
  // What a timer event without a master volume is for.
  char endMark = 0;
  char releaseMark = 0;

  ~State() {
    if (driver) delete_fluid_audio_driver(driver);
    if (sequencer) delete_fluid_sequencer(sequencer);  // unregisters the synth's client too
    if (synth) delete_fluid_synth(synth);
    if (settings) delete_fluid_settings(settings);
  }

  // The sequencer's calls for our own client, on the audio thread: a master
  // volume, the end of the performance, or a look at whether the release is
  // over (every 50 ms after the end, until it is).
  static void onTimer(unsigned int time, fluid_event_t* event, fluid_sequencer_t* seq, void* data) {
    auto* self = static_cast<State*>(data);
    if (fluid_event_get_type(event) != FLUID_SEQ_TIMER) return;
    void* what = fluid_event_get_data(event);
    if (what == &self->endMark) {
      self->performedAt = time;
      self->performed = true;
    } else if (what != &self->releaseMark) {
      fluid_synth_set_gain(self->synth, kGain * static_cast<float>(*static_cast<const int*>(what)) / 100.0f);
      return;
    }
    if (!self->finished || self->finishedCalled) return;
    if (self->releaseOver((time - self->performedAt) / 1000.0)) {
      self->finishedCalled = true;
      self->finished();
      return;
    }
    fluid_event_t* again = new_fluid_event();
    fluid_event_set_source(again, -1);
    fluid_event_set_dest(again, self->ownClient);
    fluid_event_timer(again, &self->releaseMark);
    fluid_sequencer_send_at(seq, again, time + 50, 1);
    delete_fluid_event(again);
  }

  bool create(const SynthOptions& options, std::string* error) {
    quietLog();
    takeFluidError();
    const std::string font = options.soundFont.empty() ? defaultSoundFont() : options.soundFont;
    if (font.empty()) {
      *error = "no SoundFont: none given and none installed at /usr/share/sounds/sf2";
      return false;
    }
    settings = new_fluid_settings();
    if (!settings) {
      *error = "FluidSynth cannot start";
      return false;
    }
    fluid_settings_setnum(settings, "synth.sample-rate", kSampleRate);
    fluid_settings_setnum(settings, "synth.gain", kGain);
    if (options.voices > 0) fluid_settings_setint(settings, "synth.polyphony", options.voices);
    // One thread renders; a second one would only add scheduling noise.
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    synth = new_fluid_synth(settings);
    if (!synth) {
      *error = "FluidSynth cannot start: " + takeFluidError();
      return false;
    }
    if (fluid_synth_sfload(synth, font.c_str(), 1) == FLUID_FAILED) {
      *error = "cannot load the SoundFont " + font;
      return false;
    }
    sequencer = new_fluid_sequencer2(0);  // on the synthesizer's sample clock
    if (!sequencer) {
      *error = "FluidSynth cannot start its sequencer";
      return false;
    }
    synthClient = fluid_sequencer_register_fluidsynth(sequencer, synth);
    ownClient = fluid_sequencer_register_client(sequencer, "tonvell", &State::onTimer, this);
    if (synthClient == FLUID_FAILED || ownClient == FLUID_FAILED) {
      *error = "FluidSynth cannot start its sequencer";
      return false;
    }
    return true;
  }

  void schedule(const Performance& performance) {
    masterVolumes.reserve(performance.events.size());
    fluid_event_t* event = new_fluid_event();
    fluid_event_set_source(event, -1);
    const unsigned int start = fluid_sequencer_get_tick(sequencer);
    auto at = [&](double seconds) { return start + static_cast<unsigned int>(std::lround(seconds * 1000.0)); };
    for (const TimedEvent& e : performance.events) {
      fluid_event_set_dest(event, synthClient);
      switch (e.kind) {
        case EventKind::kNoteOn:
          fluid_event_noteon(event, e.channel, static_cast<short>(e.data1), static_cast<short>(e.data2));
          break;
        case EventKind::kNoteOff: fluid_event_noteoff(event, e.channel, static_cast<short>(e.data1)); break;
        case EventKind::kProgram: fluid_event_program_change(event, e.channel, e.data1); break;
        case EventKind::kControl:
          fluid_event_control_change(event, e.channel, static_cast<short>(e.data1), e.data2);
          break;
        case EventKind::kPitchBend: fluid_event_pitch_bend(event, e.channel, e.data1); break;
        case EventKind::kMasterVolume:
          masterVolumes.push_back(e.data1);
          fluid_event_set_dest(event, ownClient);
          fluid_event_timer(event, &masterVolumes.back());
          break;
      }
      fluid_sequencer_send_at(sequencer, event, at(e.seconds), 1);
    }
    fluid_event_set_dest(event, ownClient);
    fluid_event_timer(event, &endMark);
    fluid_sequencer_send_at(sequencer, event, at(performance.seconds), 1);
    delete_fluid_event(event);
  }

  // After the performance, until the voices have died away or the release
  // time is up.
  bool releaseOver(double secondsSincePerformed) const {
    return secondsSincePerformed >= kMaxReleaseSeconds || fluid_synth_get_active_voice_count(synth) == 0;
  }
};

std::string defaultSoundFont() {
  for (const char* path : {"/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return {};
}

RenderOutcome renderWav(const Performance& performance, const std::string& wavPath, const SynthOptions& options) {
  RenderOutcome out;
  Playback::State state;
  if (!state.create(options, &out.error)) return out;
  state.schedule(performance);

  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(wavPath.c_str(), SFM_WRITE, &info);
  if (!file) {
    out.error = "cannot write " + wavPath + ": " + sf_strerror(nullptr);
    return out;
  }

  std::vector<short> block(2 * kBlockFrames);
  long long frames = 0;
  long long endFrame = -1;  // where the performance ended
  int peak = 0;
  bool written = true;
  for (;;) {
    if (state.performed && endFrame < 0) endFrame = frames;
    if (endFrame >= 0 && state.releaseOver(static_cast<double>(frames - endFrame) / kSampleRate)) break;
    fluid_synth_write_s16(state.synth, kBlockFrames, block.data(), 0, 2, block.data(), 1, 2);
    for (const short s : block) peak = std::max(peak, std::abs(static_cast<int>(s)));
    if (sf_writef_short(file, block.data(), kBlockFrames) != kBlockFrames) {
      written = false;
      break;
    }
    frames += kBlockFrames;
  }
  const std::string writeError = sf_strerror(file);
  if (sf_close(file) != 0 || !written) {
    out.error = "cannot write " + wavPath + ": " + writeError;
    return out;
  }
  out.ok = true;
  out.seconds = static_cast<double>(frames) / kSampleRate;
  out.peakDbfs = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -200.0;
  return out;
}

Playback::Playback() = default;
Playback::~Playback() { stop(); }

bool Playback::start(const Performance& performance, const SynthOptions& options, std::function<void()> finished,
                     std::string* error) {
  stop();
  noAudioOutput_ = false;
  auto state = std::make_unique<State>();
  if (!state->create(options, error)) return false;
  state->schedule(performance);
  state->finished = std::move(finished);

  const char* driver = std::getenv("TONVELL_AUDIO_DRIVER");
  if (driver && *driver) fluid_settings_setstr(state->settings, "audio.driver", driver);
  if (driver && std::string(driver) == "file") {
    const char* file = std::getenv("TONVELL_AUDIO_FILE");
    fluid_settings_setstr(state->settings, "audio.file.name", file && *file ? file : "fluidsynth.wav");
  }
  state->driver = new_fluid_audio_driver(state->settings, state->synth);
  if (!state->driver) {
    std::string why = takeFluidError();
    *error = "no audio output" + (why.empty() ? std::string() : ": " + why);
    noAudioOutput_ = true;
    return false;
  }
  state_ = std::move(state);
  return true;
}

void Playback::stop() { state_.reset(); }

bool Playback::playing() const { return state_ && !state_->finishedCalled; }

}  // namespace tonvell::audio

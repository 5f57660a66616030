#include "audio/synth.h"


#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "audio/fluidsynth_library.h"

namespace tonvell::audio {

namespace {

constexpr int kSampleRate = 44100;
constexpr int kBlockFrames = 64;  // FluidSynth's own block
// FluidSynth's default gain (0.2) leaves room for hundreds of voices; a ring
// tone has sixteen channels at most, so it plays twice as loud. A master
// volume of 100 keeps this gain.
constexpr float kGain = 0.4f;

// The loaded library; only once fluidSynth() has succeeded (in create).
const FluidSynthLibrary& fl() { return *fluidSynth(nullptr); }

// FluidSynth reports through a process-wide log. Errors are kept (the last
// one explains a failure), the chatter is dropped.
std::mutex logMutex;
std::string lastFluidError;

void keepError(int, const char* message, void*) {
  std::lock_guard<std::mutex> lock(logMutex);
  lastFluidError = message ? message : "";
}
void dropMessage(int, const char*, void*) {}

void dropGlibMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

void quietLog() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The SoundFont loaders (libinstpatch's among them) complain through
    // GLib's log about files they do not take; the caller says what failed.
    fl().g_log_set_default_handler(dropGlibMessage, nullptr);
    fl().fluid_set_log_function(FLUID_PANIC, keepError, nullptr);
    fl().fluid_set_log_function(FLUID_ERR, keepError, nullptr);
    fl().fluid_set_log_function(FLUID_WARN, dropMessage, nullptr);
    fl().fluid_set_log_function(FLUID_INFO, dropMessage, nullptr);
    fl().fluid_set_log_function(FLUID_DBG, dropMessage, nullptr);
  });
}

std::string takeFluidError() {
  std::lock_guard<std::mutex> lock(logMutex);
  std::string e;
  e.swap(lastFluidError);
  return e;
}

// What the start of a SoundFont says it is: a RIFF file of a SoundFont 2 or
// a DLS bank. Empty when it is one; else why not.
std::string checkSoundFont(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return path + ": " + std::strerror(errno);
  unsigned char head[12] = {};
  const std::size_t got = std::fread(head, 1, sizeof head, f);
  const int error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (error != 0) return path + ": " + std::strerror(error);
  const bool riff = got == sizeof head && std::memcmp(head, "RIFF", 4) == 0;
  if (riff && (std::memcmp(head + 8, "sfbk", 4) == 0 || std::memcmp(head + 8, "DLS ", 4) == 0)) return {};
  return "not a SoundFont: " + path;
}

void putLe32(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The 44 bytes before the samples of a 16-bit stereo PCM WAV file.
std::array<unsigned char, 44> wavHeader(std::uint32_t dataBytes) {
  std::array<unsigned char, 44> h{};
  std::memcpy(h.data(), "RIFF", 4);
  putLe32(h.data() + 4, 36 + dataBytes);
  std::memcpy(h.data() + 8, "WAVEfmt ", 8);
  putLe32(h.data() + 16, 16);
  putLe32(h.data() + 20, 1 | (2u << 16));  // PCM, two channels
  putLe32(h.data() + 24, kSampleRate);
  putLe32(h.data() + 28, kSampleRate * 4);
  putLe32(h.data() + 32, 4 | (16u << 16));  // a frame of four bytes, 16 bits a sample
  std::memcpy(h.data() + 36, "data", 4);
  putLe32(h.data() + 40, dataBytes);
  return h;
}

}  // namespace

// A synthesizer with the performance scheduled on its sequencer. Owns every
// FluidSynth object; the audio driver, if any, is deleted first.
struct SynthState {
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

  ~SynthState() {
    if (driver) fl().delete_fluid_audio_driver(driver);
    if (sequencer) fl().delete_fluid_sequencer(sequencer);  // unregisters the synth's client too
    if (synth) fl().delete_fluid_synth(synth);
    if (settings) fl().delete_fluid_settings(settings);
  }

  // The sequencer's calls for our own client, on the audio thread: a master
  // volume, the end of the performance, or a look at whether the release is
  // over (every 50 ms after the end, until it is).
  static void onTimer(unsigned int time, fluid_event_t* event, fluid_sequencer_t* seq, void* data) {
    auto* self = static_cast<SynthState*>(data);
    if (fl().fluid_event_get_type(event) != FLUID_SEQ_TIMER) return;
    void* what = fl().fluid_event_get_data(event);
    if (what == &self->endMark) {
      self->performedAt = time;
      self->performed = true;
    } else if (what != &self->releaseMark) {
      fl().fluid_synth_set_gain(self->synth, kGain * static_cast<float>(*static_cast<const int*>(what)) / 100.0f);
      return;
    }
    if (!self->finished || self->finishedCalled) return;
    if (self->releaseOver((time - self->performedAt) / 1000.0)) {
      self->finishedCalled = true;
      self->finished();
      return;
    }
    fluid_event_t* again = fl().new_fluid_event();
    fl().fluid_event_set_source(again, -1);
    fl().fluid_event_set_dest(again, self->ownClient);
    fl().fluid_event_timer(again, &self->releaseMark);
    fl().fluid_sequencer_send_at(seq, again, time + 50, 1);
    fl().delete_fluid_event(again);
  }

  bool create(const SynthOptions& options, std::string* error) {
    return createSynth(options, error) && createSequencer(error);
  }

  // The synthesizer with its SoundFont.
  bool createSynth(const SynthOptions& options, std::string* error) {
    const std::string font = options.soundFont.empty() ? defaultSoundFont() : options.soundFont;
    if (font.empty()) {
      *error = "no SoundFont: none given and none installed at /usr/share/sounds/sf2";
      return false;
    }
    if (std::string why = checkSoundFont(font); !why.empty()) {
      *error = why;
      return false;
    }
    if (!fluidSynth(error)) return false;
    quietLog();
    takeFluidError();
    settings = fl().new_fluid_settings();
    if (!settings) {
      *error = "FluidSynth cannot start";
      return false;
    }
    fl().fluid_settings_setnum(settings, "synth.sample-rate", kSampleRate);
    fl().fluid_settings_setnum(settings, "synth.gain", kGain);
    if (options.voices > 0) fl().fluid_settings_setint(settings, "synth.polyphony", options.voices);
    // One thread renders; a second one would only add scheduling noise.
    fl().fluid_settings_setint(settings, "synth.cpu-cores", 1);
    synth = fl().new_fluid_synth(settings);
    if (!synth) {
      *error = "FluidSynth cannot start: " + takeFluidError();
      return false;
    }
    if (fl().fluid_synth_sfload(synth, font.c_str(), 1) == FLUID_FAILED) {
      *error = "not a SoundFont: " + font;
      return false;
    }
    return true;
  }

  // A sequencer on the synthesizer's clock, with nothing scheduled.
  bool createSequencer(std::string* error) {
    sequencer = fl().new_fluid_sequencer2(0);  // on the synthesizer's sample clock
    if (!sequencer) {
      *error = "FluidSynth cannot start its sequencer";
      return false;
    }
    synthClient = fl().fluid_sequencer_register_fluidsynth(sequencer, synth);
    ownClient = fl().fluid_sequencer_register_client(sequencer, "tonvell", &SynthState::onTimer, this);
    if (synthClient == FLUID_FAILED || ownClient == FLUID_FAILED) {
      *error = "FluidSynth cannot start its sequencer";
      return false;
    }
    return true;
  }

  void schedule(const Performance& performance) {
    masterVolumes.reserve(performance.events.size());
    fluid_event_t* event = fl().new_fluid_event();
    fl().fluid_event_set_source(event, -1);
    const unsigned int start = fl().fluid_sequencer_get_tick(sequencer);
    auto at = [&](double seconds) { return start + static_cast<unsigned int>(std::lround(seconds * 1000.0)); };
    for (const TimedEvent& e : performance.events) {
      fl().fluid_event_set_dest(event, synthClient);
      switch (e.kind) {
        case EventKind::kNoteOn:
          fl().fluid_event_noteon(event, e.channel, static_cast<short>(e.data1), static_cast<short>(e.data2));
          break;
        case EventKind::kNoteOff: fl().fluid_event_noteoff(event, e.channel, static_cast<short>(e.data1)); break;
        case EventKind::kProgram: fl().fluid_event_program_change(event, e.channel, e.data1); break;
        case EventKind::kControl:
          fl().fluid_event_control_change(event, e.channel, static_cast<short>(e.data1), e.data2);
          break;
        case EventKind::kPitchBend: fl().fluid_event_pitch_bend(event, e.channel, e.data1); break;
        case EventKind::kMasterVolume:
          masterVolumes.push_back(e.data1);
          fl().fluid_event_set_dest(event, ownClient);
          fl().fluid_event_timer(event, &masterVolumes.back());
          break;
      }
      fl().fluid_sequencer_send_at(sequencer, event, at(e.seconds), 1);
    }
    fl().fluid_event_set_dest(event, ownClient);
    fl().fluid_event_timer(event, &endMark);
    fl().fluid_sequencer_send_at(sequencer, event, at(performance.seconds), 1);
    fl().delete_fluid_event(event);
  }

  // After the performance, until the voices have died away or the release
  // time is up.
  bool releaseOver(double secondsSincePerformed) const {
    return secondsSincePerformed >= kMaxReleaseSeconds || fl().fluid_synth_get_active_voice_count(synth) == 0;
  }
};

std::string defaultSoundFont() {
  for (const char* path : {"/usr/share/sounds/sf2/default-GM.sf2", "/usr/share/sounds/sf2/TimGM6mb.sf2"}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return {};
}

Renderer::Renderer() = default;
Renderer::~Renderer() = default;

bool Renderer::load(const SynthOptions& options, std::string* error) {
  // Threads the libraries start never take SIGINT, SIGTERM or SIGHUP: those
  // reach the thread that saves, which removes its temporary file.
  TerminationSignalsBlocked blocked;
  auto state = std::make_unique<SynthState>();
  if (!state->createSynth(options, error)) return false;
  state_ = std::move(state);
  return true;
}

RenderOutcome Renderer::render(const Performance& performance, OutputSink& sink) {
  RenderOutcome out;
  if (!state_) {
    out.error = "no SoundFont loaded";
    return out;
  }
  SynthState& state = *state_;
  // Each performance starts from the synthesizer's first state: no voice,
  // no controller, no effect tail of the one before.
  if (state.sequencer) fl().delete_fluid_sequencer(state.sequencer);
  state.sequencer = nullptr;
  state.masterVolumes.clear();
  state.performed = false;
  state.performedAt = 0;
  fl().fluid_synth_system_reset(state.synth);
  fl().fluid_synth_set_gain(state.synth, kGain);
  {
    TerminationSignalsBlocked blocked;
    if (!state.createSequencer(&out.error)) return out;
  }
  state.schedule(performance);

  // The header's sizes are written once the samples are all out.
  if (!sink.write(wavHeader(0).data(), 44)) {
    out.error = "cannot write";
    return out;
  }
  constexpr std::uint64_t kMaxDataBytes = (kMaxWavBytes - 44) / 4 * 4;
  // Blocks go out in batches of 64 KiB.
  constexpr std::size_t kBatchBlocks = 256;
  std::vector<short> batch(2 * kBlockFrames * kBatchBlocks);
  std::size_t batched = 0;  // blocks in `batch`
  const auto flush = [&] {
    const bool ok = batched == 0 || sink.write(batch.data(), batched * 2 * kBlockFrames * sizeof(short));
    batched = 0;
    return ok;
  };
  std::uint64_t frames = 0;
  std::int64_t endFrame = -1;  // where the performance ended
  int peak = 0;
  for (;;) {
    if (state.performed && endFrame < 0) endFrame = static_cast<std::int64_t>(frames);
    if (endFrame >= 0 &&
        state.releaseOver(static_cast<double>(static_cast<std::int64_t>(frames) - endFrame) / kSampleRate))
      break;
    if ((frames + kBlockFrames) * 4 > kMaxDataBytes) {
      out.error = std::strerror(EFBIG);
      return out;
    }
    short* block = batch.data() + batched * 2 * kBlockFrames;
    fl().fluid_synth_write_s16(state.synth, kBlockFrames, block, 0, 2, block, 1, 2);
    for (int i = 0; i < 2 * kBlockFrames; ++i) peak = std::max(peak, std::abs(static_cast<int>(block[i])));
    frames += kBlockFrames;
    if (++batched == kBatchBlocks && !flush()) {
      out.error = "cannot write";
      return out;
    }
  }
  if (!flush() || !sink.writeAt(0, wavHeader(static_cast<std::uint32_t>(frames * 4)).data(), 44)) {
    out.error = "cannot write";
    return out;
  }
  out.ok = true;
  out.seconds = static_cast<double>(frames) / kSampleRate;
  out.peakDbfs = peak > 0 ? 20.0 * std::log10(peak / 32768.0) : -200.0;
  return out;
}

namespace {
// renderWav's answer to the overwrite question: the file is replaced.
struct ReplaceAll final : OverwritePrompt {
  OverwriteAnswer ask(const std::string&) override { return OverwriteAnswer::kOverwriteAll; }
};
}  // namespace

RenderOutcome renderWav(const Performance& performance, const std::string& wavPath, const SynthOptions& options) {
  RenderOutcome out;
  Renderer renderer;
  if (!renderer.load(options, &out.error)) return out;
  ReplaceAll prompt;
  OverwritePolicy policy(prompt);
  const SaveOutcome saved = saveOutput(
      wavPath, [&](OutputSink& sink) { return (out = renderer.render(performance, sink)).ok; }, policy,
      kMaxWavBytes);
  if (!saved.saved()) {
    out.ok = false;
    const std::string why = saved.osError != 0 ? std::strerror(saved.osError) : out.error;
    out.error = "cannot write " + wavPath + ": " + (why.empty() ? std::strerror(EIO) : why);
  }
  return out;
}

Playback::Playback() = default;
Playback::~Playback() { stop(); }

bool Playback::start(const Performance& performance, const SynthOptions& options, std::function<void()> finished,
                     std::string* error) {
  stop();
  noAudioOutput_ = false;
  auto state = std::make_unique<SynthState>();
  if (!state->create(options, error)) return false;
  state->schedule(performance);
  state->finished = std::move(finished);

  const char* driver = std::getenv("TONVELL_AUDIO_DRIVER");
  if (driver && *driver) fl().fluid_settings_setstr(state->settings, "audio.driver", driver);
  if (driver && std::string(driver) == "file") {
    const char* file = std::getenv("TONVELL_AUDIO_FILE");
    fl().fluid_settings_setstr(state->settings, "audio.file.name", file && *file ? file : "fluidsynth.wav");
  }
  state->driver = fl().new_fluid_audio_driver(state->settings, state->synth);
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

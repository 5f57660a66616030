// FluidSynth, loaded when the first synthesizer is made instead of when the
// program starts: a program that converts, checks or decodes never maps it
// nor the dozens of libraries it brings (sound servers, codecs, X), which
// would cost more than converting a ring tone.
#pragma once

#include <fluidsynth.h>
#include <glib.h>

#include <string>

namespace tonvell::audio {

// The functions the synthesizer calls, each under its own name.
#define TONVELL_FLUIDSYNTH_FUNCTIONS(X)                                                                   \
  X(new_fluid_settings) X(delete_fluid_settings) X(fluid_settings_setint) X(fluid_settings_setnum)         \
  X(fluid_settings_setstr) X(new_fluid_synth) X(delete_fluid_synth) X(fluid_synth_sfload)                  \
  X(fluid_synth_system_reset) X(fluid_synth_set_gain) X(fluid_synth_get_active_voice_count)                \
  X(fluid_synth_write_s16) X(new_fluid_sequencer2) X(delete_fluid_sequencer) X(fluid_sequencer_get_tick)   \
  X(fluid_sequencer_register_client) X(fluid_sequencer_register_fluidsynth) X(fluid_sequencer_send_at)     \
  X(new_fluid_event) X(delete_fluid_event) X(fluid_event_set_source) X(fluid_event_set_dest)               \
  X(fluid_event_get_type) X(fluid_event_get_data) X(fluid_event_noteon) X(fluid_event_noteoff)             \
  X(fluid_event_program_change) X(fluid_event_control_change) X(fluid_event_pitch_bend)                    \
  X(fluid_event_timer) X(new_fluid_audio_driver) X(delete_fluid_audio_driver) X(fluid_set_log_function)

struct FluidSynthLibrary {
#define TONVELL_FLUIDSYNTH_POINTER(name) decltype(&::name) name = nullptr;
  TONVELL_FLUIDSYNTH_FUNCTIONS(TONVELL_FLUIDSYNTH_POINTER)
#undef TONVELL_FLUIDSYNTH_POINTER
  // GLib's, which FluidSynth brings along.
  decltype(&::g_log_set_default_handler) g_log_set_default_handler = nullptr;
};

// The library, loaded by the first call (from any thread) and kept for the
// life of the program; null when it cannot be loaded, with `error` (may be
// null) saying why.
const FluidSynthLibrary* fluidSynth(std::string* error);

}  // namespace tonvell::audio

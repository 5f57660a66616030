#include "audio/fluidsynth_library.h"

#include <dlfcn.h>

#include <mutex>

namespace tonvell::audio {

namespace {

// The sonames of the libraries the build was made against (FluidSynth 2's
// ABI is libfluidsynth.so.3, GLib 2's libglib-2.0.so.0).
constexpr const char* kFluidSynth = "libfluidsynth.so.3";
constexpr const char* kGlib = "libglib-2.0.so.0";

template <typename Function>
bool find(void* library, const char* name, Function* function, std::string* missing) {
  *function = reinterpret_cast<Function>(::dlsym(library, name));
  if (*function == nullptr && missing->empty()) missing->assign(name);
  return *function != nullptr;
}

struct Loaded {
  FluidSynthLibrary api;
  bool ok = false;
  std::string error;
};

Loaded load() {
  Loaded loaded;
  void* fluid = ::dlopen(kFluidSynth, RTLD_NOW | RTLD_LOCAL);
  void* glib = fluid ? ::dlopen(kGlib, RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (!fluid || !glib) {
    const char* why = ::dlerror();
    loaded.error = std::string("cannot load FluidSynth: ") + (why ? why : kFluidSynth);
    return loaded;
  }
  std::string missing;
#define TONVELL_FLUIDSYNTH_FIND(name) find(fluid, #name, &loaded.api.name, &missing);
  TONVELL_FLUIDSYNTH_FUNCTIONS(TONVELL_FLUIDSYNTH_FIND)
#undef TONVELL_FLUIDSYNTH_FIND
  find(glib, "g_log_set_default_handler", &loaded.api.g_log_set_default_handler, &missing);
  if (!missing.empty()) {
    loaded.error = std::string("cannot load FluidSynth: ") + kFluidSynth + " has no " + missing;
    return loaded;
  }
  loaded.ok = true;
  return loaded;
}

}  // namespace

const FluidSynthLibrary* fluidSynth(std::string* error) {
  static const Loaded loaded = load();  // the libraries stay loaded
  if (!loaded.ok && error) *error = loaded.error;
  return loaded.ok ? &loaded.api : nullptr;
}

}  // namespace tonvell::audio

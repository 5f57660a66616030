#include "ui/trace_file.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tonvell::ui {

void attachTraceFile(TraceChannel& channel) {
  const char* name = std::getenv("TONVELL_TRACE");
  if (name == nullptr || *name == '\0') return;
  // "e": not inherited by programs the chooser dialogs might start.
  std::FILE* raw = std::fopen(name, "abe");
  if (raw == nullptr) return;
  // The channel's copies of the sink share the file; the last one closes it.
  std::shared_ptr<std::FILE> file(raw, [](std::FILE* f) { std::fclose(f); });
  channel.setSink([file](std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    // A line at a time, so the trace survives a crash up to its last line.
    if (!bytes.empty() && bytes.back() == '\n') std::fflush(file.get());
  });
}

}  // namespace tonvell::ui

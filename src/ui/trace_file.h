// Where the desktop program's trace goes: the file named by the environment
// variable TONVELL_TRACE, appended to as raw bytes. Without it nobody listens.
#pragma once

#include "core/trace.h"

namespace tonvell::ui {

// Attaches the TONVELL_TRACE file to `channel`; leaves the channel alone when
// the variable is unset or empty, or when the file cannot be opened.
void attachTraceFile(TraceChannel& channel);

}  // namespace tonvell::ui

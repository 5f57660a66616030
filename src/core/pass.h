// What every pass of a conversion is handed: the workspace, the options the
// user chose, the date for the header, the trace, and where to report how far
// it has got. Nothing here knows a file, a window or a batch of files.
#pragma once

#include <string>
#include <string_view>

#include "core/trace.h"
#include "core/workspace.h"

namespace tonvell {

struct CalendarDate {
  int year = 2003;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
};

// What the user chose for a conversion. Texts are UTF-8 as typed; switches
// count as on only when they are 1 (the settings profile may hold others).
struct ConversionOptions {
  int titleSwitch = 0;          // put titleText into the "titl" chunk
  std::string titleText;
  int copyrightSwitch = 0;      // put copyrightText into the "copy" chunk
  std::string copyrightText = "(c)2003";
  int smfSeqNameSwitch = 1;     // add the input's sequence name to the title
  int smfCopyrightSwitch = 1;   // add the input's copyright notice to the copyright
  int copyProhibit = 0;         // the "sorc" byte

  // Beyond the ring-tone conventions, on request only (all off by default,
  // and then the output is exactly as without them).
  bool format0 = false;         // a format-0 file is split by channel into a format-1 file first
  bool handset = false;         // write times and values as handsets play them
  int masterVolumeSwitch = 1;   // handset mode: FF B0 with masterVolume at the start
  int masterVolume = 100;       // 0..127
  int loopSwitch = 1;           // handset mode: cue start and cue end around the song

  // The least each work buffer holds (core/workspace.h): a conversion whose
  // file or work would not fit in max(16 x input, this) bytes gives 106.
  // The fuzz targets lower it, so that small inputs reach those limits and
  // none of them spends its time on a megabyte of written-out silence.
  std::int64_t workBufferFloor = kMinBufferCapacity;
};

// How far a pass has got, for a progress display. A pass begins a stage
// with its number of units and its name, steps through the units and
// finishes it; refresh marks a point where a window may repaint.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void beginProgress(float units, std::string_view stage) = 0;
  virtual void stepProgress(float units) = 0;
  virtual void finishProgress() = 0;
  virtual void refreshWindow() = 0;
  // False when none of the calls above shows anything: the passes then skip
  // the calls they would make per event.
  virtual bool showsProgress() const { return true; }
};

// A Progress that shows nothing: for headless conversions.
class NullProgress final : public Progress {
 public:
  void beginProgress(float, std::string_view) override {}
  void stepProgress(float) override {}
  void finishProgress() override {}
  void refreshWindow() override {}
  bool showsProgress() const override { return false; }
};

struct PassContext {
  ConversionWorkspace& ws;
  Progress& progress;
  const TraceChannel& trace;
  ConversionOptions options;
  CalendarDate date;
};

}  // namespace tonvell

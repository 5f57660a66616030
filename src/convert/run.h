// The batch run: converts every path of the file list, one after the other,
// and keeps the user informed through the log, the status text, the
// percentage and the progress bar. Also the log and progress operations the
// passes call.
//
// The engine knows no window. What the run uses of one sits behind
// RunDisplay (the desktop window, the command line and the tests implement
// it); the overwrite question sits behind OverwritePrompt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "convert/settings.h"
#include "convert/trace.h"
#include "convert/workspace.h"

namespace tonvell {

// The window's fields that the run writes; a push shows them.
struct RunFields {
  std::string logText;      // UTF-8; log lines end as the Parts give them (CR LF or LF)
  std::string statusText;
  std::string percentText;
  int progressPos = 0;      // 0..100
};

class RunDisplay {
 public:
  virtual ~RunDisplay() = default;
  // Lines of the file list; an empty list reports one empty line.
  virtual int lineCount() = 0;
  // The bytes of line `index` as the list holds them (the run keeps at most 260).
  virtual std::string line(int index) = 0;
  // Controls into fields (settings, file list). False when a control's value
  // was refused (the master volume); the caller goes on regardless.
  virtual bool pull() = 0;
  // Fields into controls.
  virtual void push() = 0;
  // Repaint at once, without handling other input.
  virtual void repaint() = 0;
};

// Answers whether an existing output file is replaced.
class OverwritePrompt {
 public:
  static constexpr int kYes = 1;
  static constexpr int kSkip = 2;
  static constexpr int kOverwriteAll = 1027;
  virtual ~OverwritePrompt() = default;
  // `path` is the output path (the workspace's promptPath).
  virtual int ask(const std::string& path) = 0;
};

// The log and progress operations a pass may call.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void beginProgress(float units, std::string_view text) = 0;
  virtual void stepProgress(float units) = 0;
  virtual void finishProgress() = 0;
  virtual void refreshWindow() = 0;
  virtual void appendLog(std::string_view text) = 0;
};

// A Progress that shows nothing: for headless conversions (fuzzing, benchmarks).
class NullProgress : public Progress {
 public:
  void beginProgress(float, std::string_view) override {}
  void stepProgress(float) override {}
  void finishProgress() override {}
  void refreshWindow() override {}
  void appendLog(std::string_view) override {}
};

struct CalendarDate {
  int year = 2003;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
};
// The local date; front ends may fix it (tests, reproducible runs).
using DateSource = std::function<CalendarDate()>;
CalendarDate localToday();

// Everything a pass may use besides the workspace.
struct PassContext {
  ConversionWorkspace& ws;
  Progress& progress;
  const TraceChannel& trace;
  const ConverterSettings& settings;
  const DateSource& today;
};

// The run's own state; the front end owns one for the life of its window.
class Converter final : public Progress {
 public:
  Converter(RunDisplay& display, OverwritePrompt& prompt) : display_(display), prompt_(prompt) {}

  ConversionWorkspace ws;
  ConverterSettings settings;
  RunFields fields;
  TraceChannel trace;
  DateSource today = localToday;

  // The whole run over the display's file list.
  void batchRun();

  // Log and progress operations.
  void clearLog();
  void appendLog(std::string_view text) override;
  void refreshWindow() override;
  void beginProgress(float units, std::string_view text) override;
  void stepProgress(float units) override;
  void finishProgress() override;

  // Saving of one converted input (the MFi file in bufferB).
  void saveMld(const std::string& inputPath);

  // Loads one input and converts it; the code of the first failure, or 108
  // once saveMld has been called.
  ConvertResult convertOne(const std::string& path);

  PassContext context() { return PassContext{ws, *this, trace, settings, today}; }

 private:
  RunDisplay& display_;
  OverwritePrompt& prompt_;
};

// Ends a fetched line at its first CR, LF or NUL; returns its length.
std::size_t cutLine(std::string_view fetched);

// Loads `path` into freshly allocated work buffers (L = its size). 108 on
// success; 105 when it cannot be opened as a regular file, 106 when it is too
// large or memory cannot be had, 140 when it cannot be read in full. On
// failure no buffer is left allocated.
ConvertResult loadInput(const std::string& path, ConversionWorkspace& ws);
// Same, from bytes in memory (tests, fuzzing, benchmarks).
ConvertResult loadInputBytes(std::string_view bytes, ConversionWorkspace& ws);

// The passes in order on a loaded input: analyseSmf, then assembleMfi.
// The MFi file is then in bufferB[0, writeLength).
ConvertResult convertLoaded(PassContext& pass);

}  // namespace tonvell

// The window's run: what the desktop program (and the tests that stand in
// for it) shows of a batch run. It reads the file list and the settings
// through RunDisplay, runs BatchRun, and turns its events into the window's
// fields (log, status text, percentage, bar), pushing them as the run goes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "convert/batch.h"
#include "convert/settings.h"
#include "core/trace.h"

namespace tonvell {

// The window's fields that the run writes; a push shows them.
struct RunFields {
  std::string logText;      // UTF-8; log lines end as the log has always shown them (CR LF or LF)
  std::string statusText;
  std::string percentText;
  int progressPos = 0;      // 0..100
};

class RunDisplay {
 public:
  virtual ~RunDisplay() = default;
  // Lines of the file list; an empty list reports one empty line.
  virtual int lineCount() = 0;
  // The bytes of line `index` as the list holds them.
  virtual std::string line(int index) = 0;
  // Controls into fields (settings, file list). False when a control's value
  // was refused (the master volume); the caller goes on regardless.
  virtual bool pull() = 0;
  // Fields into controls.
  virtual void push() = 0;
  // Repaint at once, without handling other input.
  virtual void repaint() = 0;
};

// The local date; front ends may fix it (tests, reproducible runs).
using DateSource = std::function<CalendarDate()>;
CalendarDate localToday();

// The percentage a progress display shows: whole percent, truncated, kept
// within 0..100, from units stepped through a stage.
class ProgressMeter {
 public:
  void begin(float units) {
    step_ = units > 0 ? 100.0f / units : 0.0f;
    value_ = 0;
    shown_ = -1;
  }
  // The new whole percentage after `units` more, or -1 when it did not change.
  int advance(float units);
  void finish() { value_ = 100; }
  int percent() const;

 private:
  float value_ = 0;  // 0..100
  float step_ = 0;   // percent per unit
  int shown_ = -1;
};

// "%3d%%".
std::string formatPercent(int percent);

class Converter final : public BatchObserver {
 public:
  Converter(RunDisplay& display, OverwritePrompt& prompt) : display_(display), prompt_(prompt) {}

  ConverterSettings settings;
  RunFields fields;
  TraceChannel trace;
  DateSource today = localToday;
  // Told of each file after its log line (the window remembers what it saved).
  std::function<void(const FileOutcome&)> onFileFinished;

  // The whole run over the display's file list; what became of it.
  RunSummary batchRun();
  // The log to its banner, the progress display cleared; shows it.
  void clearLog();

  // BatchObserver.
  void fileStarted(int index, const std::string& inputPath) override;
  void headerTextSubstituted() override;
  void savingStarted() override;
  void outputChosen(const std::string& outputPath) override;
  void fileFinished(const FileOutcome& outcome) override;
  void lineDone(int index) override;
  void runFinished(const RunSummary& summary) override;
  void beginProgress(float units, std::string_view stage) override;
  void stepProgress(float units) override;
  void finishProgress() override;
  void refreshWindow() override;

 private:
  RunDisplay& display_;
  OverwritePrompt& prompt_;
  ProgressMeter meter_;
};

}  // namespace tonvell

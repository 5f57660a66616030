// What the command line shows of a batch run: the log streamed to standard
// output (UTF-8, LF line ends), a live progress line on a terminal, the
// overwrite question, and the trace written to a file.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "convert/run.h"

namespace tonvell::cli {

// "status  42% [########------------]"
std::string progressLine(const std::string& status, const std::string& percent, int position, int barWidth);

// What the command line shows of a batch run: the log on `out` (LF line
// ends); on `err`, the system's reason for each failure
// ("tonvell-cli: PATH: Permission denied") and, when `progress` is true (a
// terminal), a progress line: the file in hand, the stage, its percentage
// and a bar.
class CliView final : public BatchObserver {
 public:
  CliView(std::FILE* out, std::FILE* err, int files, bool progress)
      : out_(out), err_(err), files_(files), progress_(progress) {}

  void fileStarted(int index, const std::string& inputPath) override;
  void headerTextSubstituted() override;
  void savingStarted() override;
  void outputChosen(const std::string& outputPath) override;
  void busyAhead() override;
  void fileFinished(const FileOutcome& outcome) override;
  void runFinished(const RunSummary& summary) override;
  void beginProgress(float units, std::string_view stage) override;
  void stepProgress(float units) override;
  void finishProgress() override;
  bool showsProgress() const override { return progress_; }

  ~CliView() override;

  // With `on`, the log is held back and written in blocks of up to
  // platform::heldOutputCapacity() bytes: for a log that nobody reads line
  // by line (not a terminal) and that nothing else writes into meanwhile
  // (not with the trace on standard output or error). What is held goes out
  // before anything about its files on standard error, before a question,
  // at the end of the run, at a file's end once lines have waited a tenth of
  // a second, and when the run will be busy for a while (busyAhead). A run
  // stopped by a signal writes out the lines held up to the last "=>" line:
  // every file saved is named, and the first line of a file not yet saving
  // is left out.
  void holdFileLines(bool on);
  // Writes out every line held back, the file in hand's included.
  void flushLog();

  // Removes the progress line from the terminal, if one is shown.
  void clearProgress();
  // Writes text that comes before the run's events (the banner) to `out`.
  void writeOut(const std::string& text) {
    writeLog(text);
    commitHeld();
  }
  // False once a write to `out` has failed; outputError() is its errno.
  bool outputOk() const { return outputError_ == 0; }
  int outputError() const { return outputError_; }

 private:
  void writeLog(const std::string& text);
  // Writes `text` to `out` and flushes it, keeping the first error.
  void putOut(std::string_view text);
  // Counts every held line as one an interrupt writes out.
  void commitHeld() { committed_ = static_cast<std::sig_atomic_t>(staged_); }
  // Writes out the first `bytes` held bytes; the rest moves to the front.
  void writeHeld(std::size_t bytes);
  void drawProgress();

  std::FILE* out_;
  std::FILE* err_;
  int files_;          // files taken up by the run
  bool progress_;
  int started_ = 0;    // files started so far
  std::string file_;   // base name of the file in hand
  std::string status_;
  int percent_ = -1;   // -1: no percentage shown
  ProgressMeter meter_;
  bool progressShown_ = false;
  // The log held back: held_[0, committed_) the lines of files finished (and
  // of the banner), [committed_, staged_) the lines of the file in hand.
  std::unique_ptr<char[]> held_;
  std::size_t heldCapacity_ = 0;
  std::size_t staged_ = 0;
  volatile std::sig_atomic_t committed_ = 0;
  std::chrono::steady_clock::time_point lastWrite_;
  std::string shown_;
  int outputError_ = 0;
};

// The overwrite question, answered by the mode or by a person.
class CliPrompt final : public OverwritePrompt {
 public:
  // `in` (may be null: end of input) gives the answers for kAsk; the question
  // goes to `question`. The view's progress line is cleared first.
  CliPrompt(OverwriteMode mode, CliView& view, std::FILE* in, std::FILE* question);

  OverwriteAnswer ask(const std::string& path) override;

 private:
  OverwriteMode mode_;
  CliView& view_;
  std::FILE* in_;
  std::FILE* question_;
};

// Receives the trace: GBK bytes as produced, or transcoded to UTF-8 line by
// line.
class TraceWriter {
 public:
  TraceWriter(std::FILE* out, bool utf8) : out_(out), utf8_(utf8) {}
  void write(std::string_view bytes);
  // Writes what is pending and flushes.
  void finish();
  // The errno of the first write or flush that failed; 0 when none did.
  int error() const { return error_; }

 private:
  void put(std::string_view bytes);

  std::FILE* out_;
  bool utf8_;
  std::string pending_;
  int error_ = 0;
};

// Writes all of `text` to `stream`. On failure, *error gets errno unless it
// holds an earlier error already.
bool writeAll(std::FILE* stream, std::string_view text, int* error);
// Flushes and closes `stream`, noting a failure in *error as writeAll does;
// an error flag left by an earlier write counts (EIO when its errno is gone).
bool closeStream(std::FILE* stream, int* error);
// Writes `text` to standard output, keeping the errno of the first write that
// fails: the stream itself only remembers that one did. False when it failed.
bool putStandardOutput(std::string_view text);
// Flushes standard output (before a message on standard error, at the end of
// a subcommand), keeping the errno likewise.
bool flushStandardOutput();
// That errno; 0 while no write or flush has failed.
int standardOutputError();
// "tonvell-cli: WHAT: REASON" on standard error.
void reportError(const std::string& what, const std::string& reason);

}  // namespace tonvell::cli

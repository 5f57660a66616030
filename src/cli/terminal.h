// What the command line shows of a batch run: the log streamed to standard
// output (UTF-8, LF line ends), a live progress line on a terminal, the
// overwrite question, and the trace written to a file.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "convert/run.h"

namespace tonvell::cli {

// "status  42% [########------------]"
std::string progressLine(const std::string& status, const std::string& percent, int position, int barWidth);

// What the command line shows of a batch run: the log on `out` (LF line
// ends), and a progress line on `progress` when that is not null (a
// terminal): the file in hand, the stage, its percentage and a bar.
class CliView final : public BatchObserver {
 public:
  CliView(std::FILE* out, std::FILE* progress, int files) : out_(out), progress_(progress), files_(files) {}

  void fileStarted(int index, const std::string& inputPath) override;
  void headerTextSubstituted() override;
  void savingStarted() override;
  void outputChosen(const std::string& outputPath) override;
  void fileFinished(const FileOutcome& outcome) override;
  void runFinished(const RunSummary& summary) override;
  void beginProgress(float units, std::string_view stage) override;
  void stepProgress(float units) override;
  void finishProgress() override;

  // Removes the progress line from the terminal, if one is shown.
  void clearProgress();
  // False once a write to `out` has failed.
  bool outputOk() const { return outputOk_; }

 private:
  void writeLog(const std::string& text);
  void drawProgress();

  std::FILE* out_;
  std::FILE* progress_;
  int files_;          // files taken up by the run
  int started_ = 0;    // files started so far
  std::string file_;   // base name of the file in hand
  std::string status_;
  int percent_ = -1;   // -1: no percentage shown
  ProgressMeter meter_;
  bool progressShown_ = false;
  std::string shown_;
  bool outputOk_ = true;
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
  void finish();

 private:
  std::FILE* out_;
  bool utf8_;
  std::string pending_;
};

}  // namespace tonvell::cli

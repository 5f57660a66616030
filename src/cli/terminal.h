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

// Turns the growing log text into what is new since the last call, with
// CR LF made LF even when the CR and the LF arrive in different calls.
class LogStream {
 public:
  std::string take(const std::string& log);
  // Whatever is still held back (a CR that no LF followed).
  std::string finish();

 private:
  std::size_t emitted_ = 0;
  bool pendingCr_ = false;
};

// "status  42% [########------------]"
std::string progressLine(const std::string& status, const std::string& percent, int position, int barWidth);

// The run's display: the file list it was given, the log to `out`, and the
// progress line to `progress` when that is not null.
class CliDisplay final : public RunDisplay {
 public:
  CliDisplay(std::vector<std::string> lines, std::FILE* out, std::FILE* progress);
  // The fields a push shows (the converter's, which is built after this).
  void attach(const RunFields& fields) { fields_ = &fields; }

  int lineCount() override;
  std::string line(int index) override;
  bool pull() override { return true; }
  void push() override;
  void repaint() override {}

  // Writes what is new in the log (the progress line is cleared first).
  void flushLog();
  // Removes the progress line from the terminal, if one is shown.
  void clearProgress();
  // Flushes the rest of the log and clears the progress line.
  void finish();

  const std::vector<std::string>& lines() const { return lines_; }

 private:
  void updateProgress();

  std::vector<std::string> lines_;
  const RunFields* fields_ = nullptr;
  std::FILE* out_;
  std::FILE* progress_;
  LogStream log_;
  bool progressShown_ = false;
  std::string shownStatus_, shownPercent_;
};

// The overwrite question, answered by the mode or by a person.
class CliPrompt final : public OverwritePrompt {
 public:
  // `in` (may be null: end of input) gives the answers for kAsk; the question
  // goes to `question`.
  CliPrompt(OverwriteMode mode, CliDisplay& display, std::FILE* in, std::FILE* question);

  int ask(const std::string& path) override;
  int skipped() const { return skipped_; }

 private:
  OverwriteMode mode_;
  CliDisplay& display_;
  std::FILE* in_;
  std::FILE* question_;
  int skipped_ = 0;
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

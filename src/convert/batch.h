// The batch run: converts every path of a file list and saves each result,
// reporting what happens as typed events to an observer. The front ends turn
// the events into their display; logText (convert/log_text.h) turns them into
// the log text both show.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "convert/paths.h"
#include "convert/pipeline.h"
#include "convert/save.h"
#include "convert/settings.h"

namespace tonvell {

// What became of one file of the list.
struct FileOutcome {
  int index = 0;              // its line in the file list
  std::string inputPath;      // as the list gave it (bytes)
  ResultCode code = ResultCode::kSuccess;  // the conversion's; kSuccess when it was converted
  int osError = 0;            // errno of a failed read, 0 when none
  std::string outputPath;     // empty unless converted
  bool duplicateOutput = false;  // its output path was already written by this run: not saved
  bool outputIsInput = false;    // its output path is an input of this run: not saved
  bool channel16LeftOut = false; // converted without channel 16 (a format-0 file playing all 16)
  SaveOutcome save;           // meaningful when converted and neither a duplicate nor an input
  DirectoryFailure folderFailure;  // a folder of the output path that could not be made; empty folder when none
  bool converted() const { return code == ResultCode::kSuccess; }
  bool refused() const { return duplicateOutput || outputIsInput; }
  bool saved() const { return converted() && !refused() && save.saved(); }
  bool skipped() const { return converted() && !refused() && save.status == SaveStatus::kSkipped; }
  bool failed() const { return !saved() && !skipped(); }
};

// One reason the operating system gave for a failed file.
struct FailureReason {
  std::string path;    // the input, the folder or the output it concerns (bytes)
  std::string reason;  // the system's text, e.g. "Permission denied"
};

// The reasons behind a file's failure that its log line does not tell, in the
// order they arose: why the input could not be read, which output folder
// could not be made, why the output could not be written. Empty for a file
// that did not fail for such a reason.
std::vector<FailureReason> failureReasons(const FileOutcome& outcome);

struct RunSummary {
  int checked = 0;  // non-empty lines taken up
  int saved = 0;
  int skipped = 0;
  int failed = 0;
};

// The events of a run, in the order they come. The progress calls of each
// conversion's passes arrive between fileStarted and savingStarted (only
// while one file is converted at a time).
class BatchObserver : public Progress {
 public:
  virtual void fileStarted(int index, const std::string& inputPath) {}
  // The conversion wrote "?" for characters GBK lacks in a typed header text.
  virtual void headerTextSubstituted() {}
  // A converted file is about to be saved; the observer may bring the
  // settings up to date (the output folder is read after this).
  virtual void savingStarted() {}
  virtual void outputChosen(const std::string& outputPath) {}
  virtual void fileFinished(const FileOutcome& outcome) {}
  // Nothing may be reported for a while (a large file is about to be
  // converted, or the run waits for a worker): what the observer holds back
  // of files finished should be shown now.
  virtual void busyAhead() {}
  // After each line of the list, empty ones included.
  virtual void lineDone(int index) {}
  virtual void runFinished(const RunSummary& summary) {}

  void beginProgress(float, std::string_view) override {}
  void stepProgress(float) override {}
  void finishProgress() override {}
  void refreshWindow() override {}
};

struct BatchOptions {
  CalendarDate date;
  const TraceChannel* trace = nullptr;  // may be null
  // Files converted at once. With more than one, the passes report no
  // progress, and the output folder is read once, at the start; events, the
  // trace, questions and files written stay exactly as with one, in list
  // order (a new output may be written before its turn is reported).
  int jobs = 1;
  // With more than one job, workers may save new outputs before the log
  // reaches them. Off when the log or the trace is written to the outputs'
  // disk: there they would compete for its room in another order.
  bool saveAhead = true;
};

class BatchRun {
 public:
  // `settings` is read for each file (the observer may change it at
  // savingStarted); the output folder gets its trailing "/" there.
  BatchRun(ConverterSettings& settings, OverwritePrompt& prompt, BatchObserver& observer, BatchOptions options)
      : settings_(settings), policy_(prompt), observer_(observer), options_(options) {}

  // Runs over the file-list lines (each cut at its first CR, LF or NUL; empty
  // ones are passed over but keep their index).
  RunSummary run(const std::vector<std::string>& lines);

  const OverwritePolicy& policy() const { return policy_; }

 private:
  struct Item;
  struct Prepared;
  // `makeRoom` (may be empty): called when a save failed for want of room;
  // true when it freed room that a run of one file at a time would have had,
  // and the save is tried once more.
  void finishFile(const Item& item, Prepared& prepared, RunSummary& summary,
                  const std::function<bool()>& makeRoom = {});
  void runSequential(const std::vector<Item>& items, std::size_t lines, RunSummary& summary);
  void runParallel(const std::vector<Item>& items, std::size_t lines, RunSummary& summary);

  ConverterSettings& settings_;
  OverwritePolicy policy_;
  BatchObserver& observer_;
  BatchOptions options_;
  FileSet written_;  // the files this run has saved
  FileSet inputs_;  // every input of the run, as it was at the start
};

// The output path of `inputPath` in `folder` (which ends in "/"): its base
// name with ".mld".
std::string outputPathFor(const std::string& folder, const std::string& inputPath);

}  // namespace tonvell

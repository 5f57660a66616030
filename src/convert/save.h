// Saving one converted file: the overwrite question for an existing output,
// and a write that never destroys an existing file.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tonvell {

// The answers to "输出的文件已存在 … 要覆盖此文件吗?". The values are the
// ids of the question's buttons; kNone is a question that ended without
// one of them and counts as kSkip.
enum class OverwriteAnswer : int { kNone = 0, kYes = 1, kSkip = 2, kOverwriteAll = 1027 };

// Asks whether an existing output file is replaced.
class OverwritePrompt {
 public:
  virtual ~OverwritePrompt() = default;
  virtual OverwriteAnswer ask(const std::string& outputPath) = 0;
};

// What became of an existing output file.
enum class OverwriteDecision {
  kNoFile,            // there was none
  kReplace,           // "是": "※已覆盖"
  kReplaceFromNowOn,  // "全部覆盖": "※从这以后全部覆盖", and the rest of the run replaces silently
  kReplaceSilently,   // replaced without asking, after an earlier "全部覆盖"
  kSkip,              // "跳过" (or no answer): "※已跳过", nothing written
};

// The run's overwrite state: asks the prompt until "全部覆盖" is answered.
class OverwritePolicy {
 public:
  explicit OverwritePolicy(OverwritePrompt& prompt) : prompt_(prompt) {}
  // For an output that exists.
  OverwriteDecision decide(const std::string& outputPath);
  bool replacingAll() const { return replacingAll_; }

 private:
  OverwritePrompt& prompt_;
  bool replacingAll_ = false;
};

enum class SaveStatus {
  kWritten,      // a new file
  kReplaced,     // an existing file replaced
  kSkipped,      // left alone at the question
  kCannotOpen,   // "打不开输出文件": the file or its folder cannot be written
  kWriteFailed,  // "写入输出文件失败，未保存": writing failed; an older file is kept
};

struct SaveOutcome {
  SaveStatus status = SaveStatus::kWritten;
  OverwriteDecision decision = OverwriteDecision::kNoFile;
  int osError = 0;  // errno of a failure, 0 when the system reported none
  bool saved() const { return status == SaveStatus::kWritten || status == SaveStatus::kReplaced; }
};

// True when `path` names an existing regular file (following links).
bool outputExists(const std::string& path);

// Writes `bytes` to `path`, asking `policy` first when the file exists. The
// file is written beside the target under a temporary name and renamed over
// it only when complete; a symbolic link is written through and kept.
SaveOutcome saveOutput(const std::string& path, std::span<const std::uint8_t> bytes, OverwritePolicy& policy);

// Receives a file's bytes as they are made. A write that fails (a full disk,
// the file-size limit) fails the save with the system's reason; the calls
// after it do nothing and return false.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Appends.
  virtual bool write(const void* data, std::size_t size) = 0;
  // Writes over bytes written already (a header whose sizes are known only
  // at the end).
  virtual bool writeAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
};

// Makes the file's contents; false when it gave up (after a failed write,
// or for a reason of its own, which it keeps).
using OutputWriter = std::function<bool(OutputSink&)>;

// saveOutput for contents made as they are written: the question comes
// before `write` runs, and the file takes its name only once `write` is done
// and every byte is out. A file that would grow past `maxBytes` fails with
// EFBIG. A writer that gives up without a failed write leaves osError 0.
SaveOutcome saveOutput(const std::string& path, const OutputWriter& write, OverwritePolicy& policy,
                       std::uint64_t maxBytes = UINT64_MAX);

// An interrupted save. saveOutput writes under a temporary name; this makes
// SIGINT, SIGTERM and SIGHUP remove that temporary file (and nothing else)
// before the program ends, by the same signal and with its usual status.
// A signal the process ignores stays ignored. Call it once, before the first
// save; the thread that saves must be one that takes these signals (BatchRun's
// workers never do).
void removeTemporaryOutputOnSignals();

// While alive, the calling thread does not take SIGINT, SIGTERM or SIGHUP
// (they wait until it ends); threads started meanwhile inherit that.
class TerminationSignalsBlocked {
 public:
  TerminationSignalsBlocked();
  ~TerminationSignalsBlocked();
  TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
  TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// The identity of a file written by saveOutput, to recognise it under
// another name.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when `path` does not name an existing file.
bool identifyFile(const std::string& path, FileIdentity* identity);

// The files of a run, by identity: an output path is checked against them
// before anything is written to it.
class FileSet {
 public:
  // Adds the file `path` names now (through links); false when none.
  bool add(const std::string& path);
  // True when `path` names one of the files (through links).
  bool holds(const std::string& path) const;

 private:
  std::vector<FileIdentity> files_;
};

// True when `a` and `b` name one file: the same existing file, or, when
// either does not exist yet, the same name in the same folder.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace tonvell

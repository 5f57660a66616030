// Saving one converted file: the overwrite question for an existing output,
// and a write that never destroys an existing file.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/files.h"
#include "platform/saving.h"
#include <unordered_set>
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
  // The file saved, when the system told it (saves it being looked up again).
  bool identified = false;
  platform::FileIdentity identity;
  bool saved() const { return status == SaveStatus::kWritten || status == SaveStatus::kReplaced; }
  // The save failed for want of room: a full disk or quota, or no inode left.
  bool wantedRoom() const;
};

// True when `path` names an existing regular file (following links).
bool outputExists(const std::string& path);

// Writes `bytes` to `path`, asking `policy` first when the file exists. A
// new file is linked into its folder only when complete (or, where the
// system cannot, written like a replacing one); a replacing file is written
// beside the target under a temporary name and renamed over it only when
// complete; a symbolic link is written through and kept.
SaveOutcome saveOutput(const std::string& path, std::span<const std::uint8_t> bytes, OverwritePolicy& policy);

using OutputSink = platform::OutputSink;
using OutputWriter = platform::OutputWriter;

// The writer of a file whose bytes are all at hand (`bytes` must outlive it).
OutputWriter writerOf(std::span<const std::uint8_t> bytes);

// The write of saveOutput once the question is settled: `decision` is
// kNoFile for a file that was not there, else how it is replaced.
SaveOutcome saveDecided(const std::string& path, const OutputWriter& write, OverwriteDecision decision,
                        std::uint64_t maxBytes = UINT64_MAX);

// saveOutput for contents made as they are written: the question comes
// before `write` runs, and the file takes its name only once `write` is done
// and every byte is out. A file that would grow past `maxBytes` fails with
// EFBIG. A writer that gives up without a failed write leaves osError 0.
SaveOutcome saveOutput(const std::string& path, const OutputWriter& write, OverwritePolicy& policy,
                       std::uint64_t maxBytes = UINT64_MAX);

// An interrupted save. saveOutput writes under a temporary name; this makes
// an interrupt (SIGINT, SIGTERM, SIGHUP and the like; on Windows Ctrl-C, Ctrl-Break and
// closing the console) remove that temporary file (and nothing else) before
// the program ends as it would have. An interrupt the process ignores stays
// ignored. Call it once, before the first save; on POSIX the thread that
// saves must be one that takes these signals (BatchRun's workers never do).
inline void removeTemporaryOutputOnSignals() { platform::removeTemporaryOutputOnInterrupt(); }

// While alive, the calling thread does not take SIGINT, SIGTERM, SIGHUP or the like
// (they wait until it ends); threads started meanwhile inherit that.
using TerminationSignalsBlocked = platform::InterruptsHeld;

// The identity of a file written by saveOutput, to recognise it under
// another name: device and inode, or volume serial number and file index.
using FileIdentity = platform::FileIdentity;
// False when `path` does not name an existing file.
using platform::identifyFile;

// The files of a run, by identity: an output path is checked against them
// before anything is written to it.
class FileSet {
 public:
  // Adds the file `path` names now (through links), telling its identity
  // to `id` (may be null); false when none.
  bool add(const std::string& path, FileIdentity* id = nullptr);
  // True when `path` names one of the files (through links).
  bool holds(const std::string& path) const;
  bool holds(const FileIdentity& id) const;
  void insert(const FileIdentity& id) { files_.insert(id); }

 private:
  struct Hash {
    std::size_t operator()(const FileIdentity& id) const { return std::hash<std::uint64_t>()(id.index * 31 + id.volume); }
  };
  std::unordered_set<FileIdentity, Hash> files_;
};

// The outcome of a platform write, as a save's.
SaveOutcome saveOutcomeOf(const platform::WriteResult& written, OverwriteDecision decision);

// True when `a` and `b` name one file: the same existing file, or, when
// either does not exist yet, the same name in the same folder.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace tonvell

// Saving one converted file: the overwrite question, then a write that
// never destroys an existing file (platform/saving.h).
#include "convert/save.h"

namespace tonvell {

bool outputExists(const std::string& path) { return platform::isRegularFile(path); }

OverwriteDecision OverwritePolicy::decide(const std::string& outputPath) {
  if (replacingAll_) return OverwriteDecision::kReplaceSilently;
  switch (prompt_.ask(outputPath)) {
    case OverwriteAnswer::kYes:
      return OverwriteDecision::kReplace;
    case OverwriteAnswer::kOverwriteAll:
      replacingAll_ = true;
      return OverwriteDecision::kReplaceFromNowOn;
    case OverwriteAnswer::kSkip:
    case OverwriteAnswer::kNone:
      break;
  }
  // A question that ended without an answer never replaces a file.
  return OverwriteDecision::kSkip;
}

SaveOutcome saveOutput(const std::string& path, std::span<const std::uint8_t> bytes, OverwritePolicy& policy) {
  SaveOutcome outcome;
  if (outputExists(path)) {
    outcome.decision = policy.decide(path);
    if (outcome.decision == OverwriteDecision::kSkip) {
      outcome.status = SaveStatus::kSkipped;
      return outcome;
    }
  }
  const platform::WriteResult written = platform::writeFileReplacing(path, bytes.data(), bytes.size());
  switch (written.status) {
    case platform::WriteStatus::kWritten: outcome.status = SaveStatus::kWritten; break;
    case platform::WriteStatus::kReplaced: outcome.status = SaveStatus::kReplaced; break;
    case platform::WriteStatus::kCannotOpen: outcome.status = SaveStatus::kCannotOpen; break;
    case platform::WriteStatus::kWriteFailed: outcome.status = SaveStatus::kWriteFailed; break;
  }
  outcome.osError = written.error;
  return outcome;
}

}  // namespace tonvell

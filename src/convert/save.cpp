// Saving one converted file: the overwrite question, then a write that
// never destroys an existing file (platform/saving.h).
#include "convert/save.h"

#include <algorithm>
#include <cerrno>

#include "convert/paths.h"

namespace tonvell {

namespace {
// Names in one folder are one file's when they are equal, on Windows also
// when they differ only in the case of ASCII letters.
bool sameName(const std::string& a, const std::string& b) {
  if (!kNativeRules.windows) return a == b;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}
}  // namespace

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

SaveOutcome saveOutcomeOf(const platform::WriteResult& written, OverwriteDecision decision) {
  SaveOutcome outcome;
  outcome.decision = decision;
  switch (written.status) {
    case platform::WriteStatus::kWritten: outcome.status = SaveStatus::kWritten; break;
    case platform::WriteStatus::kReplaced: outcome.status = SaveStatus::kReplaced; break;
    case platform::WriteStatus::kCannotOpen: outcome.status = SaveStatus::kCannotOpen; break;
    case platform::WriteStatus::kWriteFailed:
    case platform::WriteStatus::kNotDone: outcome.status = SaveStatus::kWriteFailed; break;
  }
  outcome.osError = written.error;
  outcome.identified = written.identified;
  outcome.identity = written.identity;
  return outcome;
}

SaveOutcome saveOutput(const std::string& path, const OutputWriter& write, OverwritePolicy& policy,
                       std::uint64_t maxBytes) {
  OverwriteDecision decision = OverwriteDecision::kNoFile;
  if (outputExists(path)) {
    decision = policy.decide(path);
    if (decision == OverwriteDecision::kSkip) {
      SaveOutcome skipped;
      skipped.decision = decision;
      skipped.status = SaveStatus::kSkipped;
      return skipped;
    }
  }
  return saveDecided(path, write, decision, maxBytes);
}

SaveOutcome saveDecided(const std::string& path, const OutputWriter& write, OverwriteDecision decision,
                        std::uint64_t maxBytes) {
  if (decision == OverwriteDecision::kNoFile) {
    const platform::WriteResult written = platform::writeNewFile(path, write, maxBytes);
    if (written.status != platform::WriteStatus::kNotDone) return saveOutcomeOf(written, decision);
  }
  return saveOutcomeOf(platform::writeFileReplacing(path, write, maxBytes), decision);
}

bool SaveOutcome::wantedRoom() const {
  // Out of inodes, a file cannot even be made.
  return (status == SaveStatus::kWriteFailed || status == SaveStatus::kCannotOpen) && platform::isOutOfRoom(osError);
}

OutputWriter writerOf(std::span<const std::uint8_t> bytes) {
  return [bytes](OutputSink& sink) { return sink.write(bytes.data(), bytes.size()); };
}

SaveOutcome saveOutput(const std::string& path, std::span<const std::uint8_t> bytes, OverwritePolicy& policy) {
  return saveOutput(path, writerOf(bytes), policy);
}

bool FileSet::add(const std::string& path, FileIdentity* identity) {
  FileIdentity id;
  if (!identifyFile(path, &id)) return false;
  files_.insert(id);
  if (identity) *identity = id;
  return true;
}

bool FileSet::holds(const std::string& path) const {
  FileIdentity id;
  return identifyFile(path, &id) && holds(id);
}

bool FileSet::holds(const FileIdentity& id) const { return files_.count(id) != 0; }

bool sameFile(const std::string& givenA, const std::string& givenB) {
  const std::string a = platform::createdPath(givenA), b = platform::createdPath(givenB);
  FileIdentity ia, ib;
  const bool hasA = identifyFile(a, &ia), hasB = identifyFile(b, &ib);
  if (hasA && hasB) return ia == ib;
  if (hasA != hasB) return false;
  // Neither exists yet: the same name in the same folder (through links).
  const auto split = [](const std::string& path) {
    const PathParts parts = splitPath(path);
    std::string folder = parts.drive + parts.directory;
    if (folder.empty()) folder = parts.drive.empty() ? "." : parts.drive;
    return std::make_pair(folder, parts.baseName + parts.extension);
  };
  const auto [folderA, nameA] = split(a);
  const auto [folderB, nameB] = split(b);
  return sameName(nameA, nameB) && identifyFile(folderA, &ia) && identifyFile(folderB, &ib) && ia == ib;
}

}  // namespace tonvell

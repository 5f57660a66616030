#include "cli/ring_tone_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <CLI/CLI.hpp>

#include "cli/terminal.h"
#include "convert/input.h"
#include "convert/log_text.h"
#include "convert/paths.h"
#include "core/gbk.h"
#include "platform/console.h"
#include "platform/files.h"

namespace tonvell::cli {

bool readFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* why) {
  // The converter's own rules: a regular file below the size ceiling, so a
  // folder, a device or a pipe fails at once.
  int error = 0;
  const ResultCode code = readInputFile(path, bytes, &error);
  if (code == ResultCode::kSuccess) return true;
  *why = describeReadFailure(code, error);
  return false;
}

bool readRingTone(const std::string& path, const char* command, DecodedMfi* decoded) {
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (!readFileBytes(path, &bytes, &why)) {
    std::fprintf(stderr, "%s: %s: %s\n", command, sanitizeUtf8(path).c_str(), why.c_str());
    return false;
  }
  *decoded = decodeMfi(bytes);
  if (!decoded->ok) {
    std::fprintf(stderr, "%s: %s: %s\n", command, sanitizeUtf8(path).c_str(), decoded->error.c_str());
    return false;
  }
  return true;
}

CLI::Option* addOverwriteOption(CLI::App& command, std::string& mode) {
  return command
      .add_option("--overwrite", mode,
                  "ask | all | skip: what to do with an existing output file (default: ask on a terminal, skip "
                  "otherwise)")
      ->check(CLI::IsMember({"ask", "all", "skip"}))
      ->option_text("MODE");
}

namespace {
OverwriteMode overwriteMode(const std::string& option) {
  if (option == "all") return OverwriteMode::kAll;
  if (option == "skip") return OverwriteMode::kSkip;
  if (option == "ask") return OverwriteMode::kAsk;
  return platform::isInteractive(stdin) ? OverwriteMode::kAsk : OverwriteMode::kSkip;
}
}  // namespace

struct OutputRun::State {
  State(const char* command, const std::string& folder, OverwriteMode mode)
      : command(command),
        folder(folder.empty() ? "." : folder),
        view(stdout, stderr, 0, false),
        prompt(mode, view, stdin, stderr),
        policy(prompt) {}
  const char* command;
  std::string folder;
  CliView view;
  CliPrompt prompt;
  OverwritePolicy policy;
  FileSet inputs;
  FileSet written;
  bool folderTried = false;
  bool folderMade = false;
  std::vector<std::filesystem::path> madeFolders;  // deepest first
  int saved = 0;
  int logError = 0;  // errno of the first failed flush of standard output

  // Makes the output folder once; false (reported once) when it cannot be.
  bool makeFolder() {
    if (folderTried) return folderMade;
    folderTried = true;
    namespace fs = std::filesystem;
    std::error_code ec;
    // UTF-8 names whatever the system's own encoding of paths.
    fs::path p = fs::path(std::u8string(folder.begin(), folder.end())).lexically_normal();
    while (!p.empty() && !p.has_filename() && p != p.root_path()) p = p.parent_path();  // "a/b/" is "a/b"
    for (; !p.empty() && p != p.root_path() && !fs::exists(fs::symlink_status(p, ec)); p = p.parent_path())
      madeFolders.push_back(p);
    std::string directory = folder;
    if (!endsWithSeparator(directory, kNativeRules)) directory += kNativeRules.separator;
    const PathParts parts = splitPath(directory);
    DirectoryFailure failure;
    if (!createDirectories(parts.drive, parts.directory, kNativeRules, nativeDirectories(), &failure)) {
      std::fprintf(stderr, "%s: cannot make the output folder %s: %s\n", command, sanitizeUtf8(failure.folder).c_str(),
                   failure.osError ? platform::errorText(failure.osError).c_str() : "cannot be created");
      removeMadeFolders();
      return false;
    }
    folderMade = true;
    return true;
  }

  // Folders made by the run, when they hold nothing.
  void removeMadeFolders() {
    std::error_code ec;
    for (const std::filesystem::path& p : madeFolders)
      if (!std::filesystem::remove(p, ec)) break;
    madeFolders.clear();
  }
};

OutputRun::OutputRun(const char* command, const std::string& folder, const std::string& overwrite,
                     const std::vector<std::string>& inputs)
    : state_(std::make_unique<State>(command, folder, overwriteMode(overwrite))) {
  for (const std::string& input : inputs) state_->inputs.add(input);
  // An interrupted save leaves no temporary file behind.
  removeTemporaryOutputOnSignals();
}

OutputRun::~OutputRun() {
  if (state_->saved == 0) state_->removeMadeFolders();
}

std::string OutputRun::outputFor(const std::string& input, const std::string& extension) const {
  const std::string& folder = state_->folder;
  const PathParts dir = splitPath(endsWithSeparator(folder, kNativeRules) ? folder : folder + kNativeRules.separator);
  return makePath(dir.drive, dir.directory, splitPath(input).baseName, extension);
}

OutputRun::Saved OutputRun::save(const std::string& input, const std::string& output, const OutputWriter& write,
                                 std::uint64_t maxBytes, const std::string* writerError) {
  State& s = *state_;
  const std::string shownInput = sanitizeUtf8(input), shownOutput = sanitizeUtf8(output);
  const auto refuse = [&](const char* why) {
    std::fprintf(stderr, "%s: %s: not written: %s %s\n", s.command, shownInput.c_str(), shownOutput.c_str(), why);
    return Saved{};
  };
  if (!s.makeFolder()) return Saved{};
  if (s.inputs.holds(output)) return refuse("is an input of this run");
  if (s.written.holds(output)) return refuse("was written by this run already");
  flushLog();  // what was printed before comes before the question
  const SaveOutcome outcome = saveOutput(output, write, s.policy, maxBytes);
  Saved saved;
  saved.decision = outcome.decision;
  saved.skipped = outcome.status == SaveStatus::kSkipped;
  saved.ok = outcome.saved() || saved.skipped;
  if (outcome.saved()) {
    ++s.saved;
    s.written.add(output);
  } else if (!saved.skipped) {
    std::string why = outcome.osError != 0 ? platform::errorText(outcome.osError) : std::string();
    if (why.empty() && writerError) why = *writerError;
    if (why.empty()) why = std::strerror(EIO);
    std::fprintf(stderr, "%s: %s: cannot write %s: %s\n", s.command, shownInput.c_str(), shownOutput.c_str(),
                 why.c_str());
  }
  return saved;
}

void OutputRun::flushLog() {
  if (std::fflush(stdout) != 0 && state_->logError == 0) state_->logError = errno != 0 ? errno : EIO;
}

bool OutputRun::logWritten() {
  flushLog();
  if (state_->logError == 0 && !std::ferror(stdout)) return true;
  reportError("standard output", std::strerror(state_->logError != 0 ? state_->logError : EIO));
  // Said once: the closing of standard output need not say it again.
  std::clearerr(stdout);
  state_->logError = 0;
  return false;
}

}  // namespace tonvell::cli

// Saving one converted input: the output path, the folders on the way, the
// overwrite question, and a write that never destroys an existing file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <mutex>

#include "convert/gbk.h"
#include "convert/paths.h"
#include "convert/run.h"
#include "convert/strings.h"

namespace tonvell {

namespace {

enum class WriteOutcome { kWritten, kCannotOpen, kWriteFailed };

// Writes all of `data` to `fd`; false on any error (a full disk, a file-size
// limit).
bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The process's file-creation mask, read once (reading it means setting it).
mode_t processUmask() {
  static const mode_t mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();
  return mask;
}

// The file is written beside the target under a temporary name and renamed
// over it only once every byte is written and flushed: a failed write leaves
// any existing file as it was and no partial file behind.
WriteOutcome writeOutputFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  // A write past the file-size limit must fail, not end the program.
  static std::once_flag ignoreFileSizeSignal;
  std::call_once(ignoreFileSizeSignal, [] { std::signal(SIGXFSZ, SIG_IGN); });

  if (path.size() >= PATH_MAX) return WriteOutcome::kCannotOpen;
  std::string target = path;
  struct stat st {};
  mode_t mode = 0666 & ~processUmask();
  bool replacing = false;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Write through a symbolic link to the file it names, keeping the link.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return WriteOutcome::kCannotOpen;
    target = resolved;
  }
  if (::stat(target.c_str(), &st) == 0) {
    // An existing target must be a plain file we may write: renaming over it
    // must not get round a read-only file.
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 || ::access(target.c_str(), W_OK) != 0)
      return WriteOutcome::kCannotOpen;
    mode = st.st_mode & 07777;
    replacing = true;
  } else if (errno != ENOENT) {
    return WriteOutcome::kCannotOpen;
  }

  std::string temp = folderOf(target) + "/.tonvell-XXXXXX";
  if (temp.size() >= PATH_MAX) return WriteOutcome::kCannotOpen;
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return WriteOutcome::kCannotOpen;
  // Data replacing an existing file reaches the disk before the rename, so
  // that even a power loss leaves the old file or the new one. A new file
  // risks nothing older, and skips the flush: it is most of a batch's time.
  const bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data, size) && (!replacing || ::fsync(fd) == 0);
  if (::close(fd) != 0 || !ok) {
    ::unlink(temp.c_str());
    return WriteOutcome::kWriteFailed;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return WriteOutcome::kCannotOpen;
  }
  return WriteOutcome::kWritten;
}

// True when `path` names an existing file that can be opened for reading.
bool existingFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  return regular;
}

}  // namespace

void Converter::saveMld(const std::string& inputPath) {
  display_.pull();
  fields.statusText = "保存 MLD 中";
  refreshWindow();

  const PathRules& rules = kNativeRules;
  // The separator stays in the setting; the folder box shows it from now on.
  if (!endsWithByte(settings.outputFolder, rules.separator)) settings.outputFolder += rules.separator;
  const PathParts folder = splitPath(settings.outputFolder, rules);
  const PathParts input = splitPath(inputPath, rules);
  const std::string outputPath = makePath(folder.drive, folder.directory, input.baseName, ".mld", rules);

  appendLog("     => " + sanitizeUtf8(outputPath) + "\n");
  createDirectories(folder.drive, folder.directory, rules);

  if (ws.overwriteAll != 1 && existingFile(outputPath)) {
    ws.promptPath = outputPath;
    switch (prompt_.ask(ws.promptPath)) {
      case OverwritePrompt::kYes:
        appendLog("     ※已覆盖\n");
        break;
      case OverwritePrompt::kSkip:
        appendLog("     ※已跳过\n");
        return;
      case OverwritePrompt::kOverwriteAll:
        ws.overwriteAll = 1;
        appendLog("     ※从这以后全部覆盖\n");
        break;
      default:
        break;
    }
  }

  switch (writeOutputFile(outputPath, ws.bufferB.get(), static_cast<std::size_t>(ws.writeLength))) {
    case WriteOutcome::kWritten:
      ++ws.savedCount;
      break;
    case WriteOutcome::kCannotOpen:
      appendLog("  ");
      appendLog(loadString(result::kCannotOpenOutput));
      break;
    case WriteOutcome::kWriteFailed:
      appendLog("  ");
      appendLog(loadString(text::kWriteFailed));
      break;
  }
}

}  // namespace tonvell

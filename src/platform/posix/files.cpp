#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace tonvell::platform {

ReadStatus readRegularFile(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* bytes,
                           int* error) {
  *error = 0;
  bytes->clear();
  // An existing regular file only; O_NONBLOCK keeps a FIFO from holding the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = errno;
    return ReadStatus::kCannotOpen;
  }
  const auto done = [fd](ReadStatus status) {
    ::close(fd);
    return status;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    *error = errno;
    return done(ReadStatus::kCannotOpen);
  }
  if (!S_ISREG(st.st_mode)) {
    // A folder says so; a pipe or a device is refused without a system error.
    *error = S_ISDIR(st.st_mode) ? EISDIR : 0;
    return done(ReadStatus::kCannotOpen);
  }
  if (static_cast<std::uint64_t>(st.st_size) >= limit) {
    *error = EFBIG;
    return done(ReadStatus::kTooLarge);
  }
  const std::size_t length = static_cast<std::size_t>(st.st_size);
  try {
    bytes->resize(length);
  } catch (const std::bad_alloc&) {
    *error = ENOMEM;
    return done(ReadStatus::kNoMemory);
  }
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, bytes->data() + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) *error = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != length) {
    std::vector<std::uint8_t>().swap(*bytes);
    return done(ReadStatus::kIncomplete);
  }
  return done(ReadStatus::kRead);
}

std::FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool createDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return false;
  // Someone else may have made it between the look-up and now; anything
  // else standing there is in the way.
  if (isDirectory(path)) return true;
  errno = ENOTDIR;
  return false;
}

bool isRegularFile(const std::string& path) {
  // stat, not open: a file we may write but not read exists all the same.
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool identifyFile(const std::string& path, FileIdentity* identity) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  *identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return true;
}

bool writesBeside(std::FILE* stream, const std::string& folder) {
  struct stat file {}, place {};
  if (!stream || ::fstat(::fileno(stream), &file) != 0 || !S_ISREG(file.st_mode)) return false;
  return ::stat(folder.c_str(), &place) == 0 && place.st_dev == file.st_dev;
}

bool mayShareFile(std::FILE* a, std::FILE* b) {
  if (!a || !b) return false;
  struct stat sa {}, sb {};
  if (::fstat(::fileno(a), &sa) != 0 || ::fstat(::fileno(b), &sb) != 0) return true;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool isOutOfRoom(int error) { return error == ENOSPC || error == EDQUOT; }

std::string errorText(int error) {
  if (error == kReservedNameError) return "a name the system keeps for a device";
  return std::strerror(error);
}

std::string reservedNameIn(const std::string&) { return {}; }

std::string createdPath(const std::string& path) {
  std::string p = path;
  for (int hops = 0; hops < 40; ++hops) {  // as many links as the system follows
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return p;
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = p.rfind('/');
    if (target[0] != '/' && slash != std::string::npos) target = p.substr(0, slash + 1) + target;
    p = target;
  }
  return p;
}

}  // namespace tonvell::platform

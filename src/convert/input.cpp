#include "convert/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "core/workspace.h"

namespace tonvell {

std::size_t cutLine(std::string_view fetched) {
  std::size_t n = 0;
  while (n < fetched.size() && fetched[n] != '\r' && fetched[n] != '\n' && fetched[n] != '\0') ++n;
  return n;
}

ResultCode readInputFile(const std::string& path, std::vector<std::uint8_t>* bytes, int* osError) {
  int ignored = 0;
  int& error = osError ? *osError : ignored;
  error = 0;
  bytes->clear();
  // An existing regular file only; O_NONBLOCK keeps a FIFO from holding the run.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return result::kFileNotFound;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    ::close(fd);
    return result::kFileNotFound;
  }
  if (!S_ISREG(st.st_mode)) {
    // A folder says so; a pipe or a device is refused without a system error.
    error = S_ISDIR(st.st_mode) ? EISDIR : 0;
    ::close(fd);
    return result::kFileNotFound;
  }
  if (st.st_size >= kMaxInputLength) {
    error = EFBIG;
    ::close(fd);
    return result::kNoMemory;
  }
  const std::size_t length = static_cast<std::size_t>(st.st_size);
  try {
    bytes->resize(length);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    error = ENOMEM;
    return result::kNoMemory;
  }
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, bytes->data() + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got != length) {
    std::vector<std::uint8_t>().swap(*bytes);
    return result::kReadFailed;
  }
  return result::kSuccess;
}

std::string describeReadFailure(ResultCode code, int osError) {
  if (osError != 0) return std::strerror(osError);
  switch (code) {
    case result::kFileNotFound: return "not a regular file";
    case result::kNoMemory: return "not enough memory";
    case result::kReadFailed: return "could not be read in full";
    default: return {};
  }
}

}  // namespace tonvell

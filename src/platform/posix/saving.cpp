#include "platform/saving.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tonvell::platform {

namespace {

static_assert(sizeof(sigset_t) <= 128, "InterruptsHeld keeps a sigset_t");

constexpr WriteStatus kCannotOpen = WriteStatus::kCannotOpen;

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

// The temporary file of the save in hand, for the signal handler. Set and
// cleared only while the saving thread blocks the termination signals, which
// every other thread of a run blocks throughout, so the handler never sees
// it half written.
char pendingTemporary[PATH_MAX];
volatile std::sig_atomic_t temporaryPending = 0;

// The signals that end a program unless it takes them, and that it can take:
// the interrupts people send, and those a script or a timer may send.
constexpr int kTerminationSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF};

// Output held back by the program (writeHeldOutputOnInterrupt).
volatile std::sig_atomic_t heldDescriptor = -1;
const char* volatile heldBytes = nullptr;
const volatile std::sig_atomic_t* volatile heldLength = nullptr;

void holdTemporary(const std::string& path) {
  if (path.size() >= sizeof pendingTemporary) return;  // mkostemp refused such a name already
  std::memcpy(pendingTemporary, path.c_str(), path.size() + 1);
  temporaryPending = 1;
}

void releaseTemporary() { temporaryPending = 0; }

void onTerminationSignal(int signal) {
  const int savedErrno = errno;
  if (temporaryPending) ::unlink(pendingTemporary);
  temporaryPending = 0;
  if (heldBytes != nullptr && heldLength != nullptr) {
    const char* bytes = heldBytes;
    for (std::sig_atomic_t left = *heldLength; left > 0;) {
      const ssize_t n = ::write(heldDescriptor, bytes, static_cast<std::size_t>(left));
      if (n <= 0) break;
      bytes += n;
      left -= static_cast<std::sig_atomic_t>(n);
    }
  }
  errno = savedErrno;
  // SA_RESETHAND put the default action back: raised again, the signal ends
  // the program as soon as this handler returns.
  ::raise(signal);
}

// The temporary file being written: appends and rewrites, counting the
// bytes against a ceiling.
class FileSink final : public CappedFileSink {
 public:
  FileSink(int fd, std::uint64_t maxBytes) : CappedFileSink(maxBytes), fd_(fd) {}

 private:
  int put(std::uint64_t offset, const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? errno : EIO;
      bytes += n;
      offset += static_cast<std::uint64_t>(n);
      size -= static_cast<std::size_t>(n);
    }
    return 0;
  }
  int fd_;
};

// The file is written beside the target under a temporary name and renamed
// over it only once every byte is written and flushed: a failed write leaves
// any existing file as it was and no partial file behind.

// A write past the file-size limit must fail (EFBIG), not end the program.
void ignoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGXFSZ, SIG_IGN); });
}

// The identity of the open file `fd` into `result`.
void identify(int fd, WriteResult& result) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;
  result.identified = true;
  result.identity = FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}
// Gives the file open as `fd` its mode (unless `mode` is null), writes what
// `produce` makes into it and, with `flush`, flushes it to the disk. False
// when a step failed, with its errno in `error` (0 when the writer gave up
// for a reason of its own).
bool fill(int fd, const mode_t* mode, bool flush, const OutputWriter& produce, std::uint64_t maxBytes, int* error) {
  *error = 0;
  if (mode && ::fchmod(fd, *mode) != 0) {
    *error = errno;
    return false;
  }
  FileSink sink(fd, maxBytes);
  const bool made = produce(sink);
  *error = sink.error();
  if (!made || *error != 0) return false;
  if (flush && ::fsync(fd) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

// The name through which linkat reaches the open file `fd`; linking through
// /proc needs no privilege (AT_EMPTY_PATH would).
std::string linkable(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The replacing file written without a name, flushed, then given a
// temporary name only for the moment of the rename: even a kill that no
// handler sees leaves a temporary file only if it falls between the two.
WriteResult replaceThroughUnnamedFile(int fd, std::string temp, const std::string& target, mode_t mode,
                                      const OutputWriter& produce, std::uint64_t maxBytes) {
  int error;
  if (!fill(fd, &mode, true, produce, maxBytes, &error)) {
    ::close(fd);
    return WriteResult{WriteStatus::kWriteFailed, error};
  }
  WriteResult done{WriteStatus::kReplaced, 0};
  identify(fd, done);
  const std::string self = linkable(fd);
  static std::atomic<unsigned> counter{0};
  const std::size_t suffix = temp.size() - 6;
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    unsigned value = static_cast<unsigned>(::getpid()) * 2654435761u ^ (counter.fetch_add(1) + 1) * 40503u ^
                     static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&attempt));
    for (std::size_t i = 0; i < 6; ++i, value /= 62) temp[suffix + i] = kDigits[value % 62];
    InterruptsHeld held;
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      error = errno;
      continue;
    }
    holdTemporary(temp);
    error = ::rename(temp.c_str(), target.c_str()) == 0 ? 0 : errno;
    if (error != 0) ::unlink(temp.c_str());
    releaseTemporary();
  }
  ::close(fd);
  if (error != 0) return WriteResult{kCannotOpen, error};
  return done;
}
}  // namespace

WriteResult writeFileReplacing(const std::string& path, const OutputWriter& produce, std::uint64_t maxBytes) {
  const auto fail = [](WriteStatus status) { return WriteResult{status, errno}; };
  ignoreFileSizeSignal();

  if (path.size() >= PATH_MAX) return WriteResult{kCannotOpen, ENAMETOOLONG};
  std::string target = path;
  struct stat st {};
  mode_t mode = 0666 & ~processUmask();
  bool replacing = false;
  // What the path names, looked up once: lstat tells all that stat would
  // unless the path is a symbolic link.
  bool found = ::lstat(path.c_str(), &st) == 0;
  if (found && S_ISLNK(st.st_mode)) {
    // Write through a symbolic link to the file it names, keeping the link.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return fail(kCannotOpen);
    target = resolved;
    found = ::stat(target.c_str(), &st) == 0;
  }
  if (found) {
    // An existing target must be a plain file we may write: renaming over it
    // must not get round a read-only file.
    if (!S_ISREG(st.st_mode)) return WriteResult{kCannotOpen, S_ISDIR(st.st_mode) ? EISDIR : EINVAL};
    if ((st.st_mode & 0222) == 0) return WriteResult{kCannotOpen, EACCES};
    if (::access(target.c_str(), W_OK) != 0) return fail(kCannotOpen);
    mode = st.st_mode & 07777;
    replacing = true;
  } else if (errno != ENOENT) {
    return fail(kCannotOpen);
  }

  std::string temp = folderOf(target) + "/.tonvell-XXXXXX";
  if (temp.size() >= PATH_MAX) return WriteResult{kCannotOpen, ENAMETOOLONG};
  if (replacing) {
    const int unnamed = ::open(folderOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (unnamed >= 0) return replaceThroughUnnamedFile(unnamed, temp, target, mode, produce, maxBytes);
  }
  int fd;
  {
    InterruptsHeld held;
    fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd >= 0) holdTemporary(temp);
  }
  if (fd < 0) return fail(kCannotOpen);
  // Data replacing an existing file reaches the disk before the rename, so
  // that even a power loss leaves the old file or the new one. A new file
  // risks nothing older, and skips the flush: it is most of a batch's time.
  int error;
  bool ok = fill(fd, &mode, replacing, produce, maxBytes, &error);
  WriteResult done{replacing ? WriteStatus::kReplaced : WriteStatus::kWritten, 0};
  if (ok) identify(fd, done);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  InterruptsHeld held;
  if (!ok) {
    ::unlink(temp.c_str());
    releaseTemporary();
    return WriteResult{WriteStatus::kWriteFailed, error};
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    error = errno;
    ::unlink(temp.c_str());
    releaseTemporary();
    return WriteResult{kCannotOpen, error};
  }
  releaseTemporary();
  return done;
}

WriteResult writeNewFile(const std::string& path, const OutputWriter& produce, std::uint64_t maxBytes) {
  ignoreFileSizeSignal();
  if (path.size() >= PATH_MAX) return WriteResult{kCannotOpen, ENAMETOOLONG};
  // The mode as a new file's: what the process's umask leaves of 0666.
  const int fd = ::open(folderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    // Kernels and file systems without unnamed files refuse them in these ways.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) return WriteResult{WriteStatus::kNotDone, errno};
    return WriteResult{kCannotOpen, errno};
  }
  int error;
  bool ok = fill(fd, nullptr, false, produce, maxBytes, &error);
  WriteResult done{WriteStatus::kWritten, 0};
  if (ok) {
    if (::linkat(AT_FDCWD, linkable(fd).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      error = errno;
      ::close(fd);
      // A name there now, or no /proc: the usual way decides and saves.
      if (error == EEXIST || error == ENOENT) return WriteResult{WriteStatus::kNotDone, error};
      return WriteResult{kCannotOpen, error};
    }
    identify(fd, done);
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
    ::unlink(path.c_str());
  }
  if (!ok) return WriteResult{WriteStatus::kWriteFailed, error};
  return done;
}


InterruptsHeld::InterruptsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kTerminationSignals) sigaddset(&set, signal);
  pthread_sigmask(SIG_BLOCK, &set, reinterpret_cast<sigset_t*>(previous_));
}

InterruptsHeld::~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(previous_), nullptr); }

void writeHeldOutputOnInterrupt(int descriptor, const char* bytes, const volatile std::sig_atomic_t* length) {
  InterruptsHeld held;
  heldBytes = nullptr;
  heldDescriptor = descriptor;
  heldLength = length;
  heldBytes = bytes;
}

// Writes of up to this many bytes to a pipe are never split.
std::size_t heldOutputCapacity() { return PIPE_BUF; }

void removeTemporaryOutputOnInterrupt() {
  for (const int signal : kTerminationSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (const int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal, &action, nullptr);
  }
}

}  // namespace tonvell::platform

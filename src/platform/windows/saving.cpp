#include "platform/saving.h"

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/files.h"
#include "platform/windows/text.h"

namespace tonvell::platform {

namespace {

// The temporary file of the save in hand, for the console control handler,
// which Windows runs on a thread of its own. The saving thread holds the
// lock while it creates, renames or removes the file; the handler takes it
// for good, so no save goes on after an interrupt.
std::mutex pendingLock;
std::wstring pendingTemporary;

BOOL WINAPI onConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  pendingLock.lock();  // never given back: the program is ending
  // A file still open for writing goes when its handle closes, at exit.
  if (!pendingTemporary.empty()) DeleteFileW(pendingTemporary.c_str());
  pendingTemporary.clear();
  // Ended at once, as a signal ends the program on POSIX, with the status
  // Windows gives a program stopped by Ctrl-C.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// The folder part of `path` with its separator ("out\", "C:", ""), for a
// temporary file beside the target.
std::string folderPrefix(const std::string& path) {
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos) return path.substr(0, separator + 1);
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  return {};
}

// Creates a new temporary file in `prefix`'s folder, ".tonvell-XXXXXX".
HANDLE createTemporary(const std::string& prefix, std::wstring* name) {
  static std::atomic<unsigned> counter{0};
  const unsigned start = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned value = start + counter.fetch_add(1) * 40503u;
    std::string suffix;
    for (int i = 0; i < 6; ++i, value /= 36) suffix += kDigits[value % 36];
    *name = widen(prefix + ".tonvell-" + suffix);
    const HANDLE h = CreateFileW(name->c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return h;
  }
  SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// The temporary file being written: appends and rewrites, counting the
// bytes against a ceiling.
class FileSink final : public CappedFileSink {
 public:
  FileSink(HANDLE h, std::uint64_t maxBytes) : CappedFileSink(maxBytes), h_(h) {}

 private:
  int put(std::uint64_t offset, const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
      if (!WriteFile(h_, bytes, want, &n, &at) || n == 0) {
        const int error = errnoFromWindows(GetLastError());
        return error != 0 ? error : EIO;
      }
      bytes += n;
      offset += n;
      size -= n;
    }
    return 0;
  }
  HANDLE h_;
};

}  // namespace

WriteResult writeFileReplacing(const std::string& path, const OutputWriter& produce, std::uint64_t maxBytes) {
  constexpr WriteStatus kCannotOpen = WriteStatus::kCannotOpen;
  if (!reservedNameIn(path).empty()) return WriteResult{kCannotOpen, kReservedNameError};
  const std::wstring target = widen(path);
  bool replacing = false;
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // An existing target must be a plain file we may write: the move must
    // not get round a read-only file.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return WriteResult{kCannotOpen, EISDIR};
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)) return WriteResult{kCannotOpen, EACCES};
    replacing = true;
  } else if (const DWORD code = GetLastError(); code != ERROR_FILE_NOT_FOUND) {
    return WriteResult{kCannotOpen, errnoFromWindows(code)};
  }

  std::wstring temp;
  HANDLE h;
  {
    const std::lock_guard lock(pendingLock);
    h = createTemporary(folderPrefix(path), &temp);
    if (h != INVALID_HANDLE_VALUE) pendingTemporary = temp;
  }
  if (h == INVALID_HANDLE_VALUE) return WriteResult{kCannotOpen, errnoFromWindows(GetLastError())};
  // Data replacing an existing file reaches the disk before the move; a new
  // file risks nothing older and skips the flush.
  FileSink sink(h, maxBytes);
  bool ok = produce(sink) && sink.error() == 0;
  int error = sink.error();
  if (ok && replacing && !FlushFileBuffers(h)) {
    ok = false;
    error = errnoFromWindows(GetLastError());
  }
  if (!CloseHandle(h) && ok) {
    ok = false;
    error = errnoFromWindows(GetLastError());
  }
  const std::lock_guard lock(pendingLock);
  pendingTemporary.clear();
  if (!ok) {
    DeleteFileW(temp.c_str());
    return WriteResult{WriteStatus::kWriteFailed, error};
  }
  if (!MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = errnoFromWindows(GetLastError());
    DeleteFileW(temp.c_str());
    return WriteResult{kCannotOpen, error};
  }
  return WriteResult{replacing ? WriteStatus::kReplaced : WriteStatus::kWritten, 0};
}

void removeTemporaryOutputOnInterrupt() { SetConsoleCtrlHandler(onConsoleControl, TRUE); }

// The console event arrives on a thread of its own, which could find held
// output half written out: nothing is held.
void writeHeldOutputOnInterrupt(int, const char*, const volatile std::sig_atomic_t*) {}
std::size_t heldOutputCapacity() { return 0; }

InterruptsHeld::InterruptsHeld() = default;
InterruptsHeld::~InterruptsHeld() = default;

// Windows has no unnamed files to link into a folder: every save takes the
// usual way, through a temporary name.
WriteResult writeNewFile(const std::string&, const OutputWriter&, std::uint64_t) {
  return WriteResult{WriteStatus::kNotDone, 0};
}

}  // namespace tonvell::platform

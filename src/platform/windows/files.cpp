#include "platform/files.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/windows/text.h"

namespace tonvell::platform {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The name a path component stands for: what comes before its first "." with
// spaces dropped ("con .txt" and "CON" both name the console).
bool isReservedComponent(std::string_view name) {
  const std::size_t dot = name.find('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
  std::string upper(name);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
      upper == "CONOUT$")
    return true;
  return upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' &&
         upper[3] <= '9';
}

}  // namespace

ReadStatus readRegularFile(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* bytes,
                           int* error) {
  *error = 0;
  bytes->clear();
  if (!reservedNameIn(path).empty()) {
    *error = kReservedNameError;  // a device, not a file
    return ReadStatus::kCannotOpen;
  }
  // FILE_FLAG_BACKUP_SEMANTICS opens a folder too, so that it can say so.
  const HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = errnoFromWindows(GetLastError());
    return ReadStatus::kCannotOpen;
  }
  const auto done = [h](ReadStatus status) {
    CloseHandle(h);
    return status;
  };
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK) return done(ReadStatus::kCannotOpen);
  if (!GetFileInformationByHandle(h, &info)) {
    *error = errnoFromWindows(GetLastError());
    return done(ReadStatus::kCannotOpen);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *error = EISDIR;
    return done(ReadStatus::kCannotOpen);
  }
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size >= limit) {
    *error = EFBIG;
    return done(ReadStatus::kTooLarge);
  }
  const std::size_t length = static_cast<std::size_t>(size);
  try {
    bytes->resize(length);
  } catch (const std::bad_alloc&) {
    *error = ENOMEM;
    return done(ReadStatus::kNoMemory);
  }
  std::size_t got = 0;
  while (got < length) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - got, 1u << 30));
    DWORD n = 0;
    if (!ReadFile(h, bytes->data() + got, want, &n, nullptr)) {
      *error = errnoFromWindows(GetLastError());
      break;
    }
    if (n == 0) break;
    got += n;
  }
  if (got != length) {
    std::vector<std::uint8_t>().swap(*bytes);
    return done(ReadStatus::kIncomplete);
  }
  return done(ReadStatus::kRead);
}

std::FILE* openFile(const std::string& path, const char* mode) {
  if (!reservedNameIn(path).empty()) {
    errno = kReservedNameError;
    return nullptr;
  }
  return _wfopen(widen(path).c_str(), widen(mode).c_str());
}

bool isDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool createDirectory(const std::string& path) {
  if (!reservedNameIn(path).empty()) {
    errno = kReservedNameError;
    return false;
  }
  if (CreateDirectoryW(widen(path).c_str(), nullptr)) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
    if (isDirectory(path)) return true;
    errno = ENOTDIR;
    return false;
  }
  errno = errnoFromWindows(code);
  return false;
}

bool isRegularFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

bool removeFile(const std::string& path) { return DeleteFileW(widen(path).c_str()) != 0; }

bool identifyFile(const std::string& path, FileIdentity* identity) {
  // Opened for no access at all: a file we may not read still has an identity.
  const HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  *identity = FileIdentity{info.dwVolumeSerialNumber,
                           (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

bool writesBeside(std::FILE*, const std::string&) { return true; }

bool mayShareFile(std::FILE* a, std::FILE* b) { return a && b; }

// A full disk reaches this layer as ENOSPC (errnoFromWindows).
bool isOutOfRoom(int error) { return error == ENOSPC; }

std::string errorText(int error) {
  if (error == kReservedNameError) return "a name Windows keeps for a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
  return std::strerror(error);
}

std::string reservedNameIn(const std::string& path) {
  std::size_t start = 0;
  // A drive ("C:") or a network share ("\\srv\share") is not a name to check.
  if (path.size() >= 2 && path[1] == ':') start = 2;
  for (std::size_t i = start; i <= path.size(); ++i) {
    if (i < path.size() && !isSeparator(path[i])) continue;
    const std::string_view name(path.data() + start, i - start);
    if (isReservedComponent(name)) return std::string(name);
    start = i + 1;
  }
  return {};
}

std::string createdPath(const std::string& path) {
  std::size_t start = path.size();
  while (start > 0 && !isSeparator(path[start - 1]) && path[start - 1] != ':') --start;
  std::size_t end = path.size();
  while (end > start && (path[end - 1] == '.' || path[end - 1] == ' ')) --end;
  // "." and ".." (and names of dots alone) stay as they are.
  if (path.find_first_not_of(". ", start) == std::string::npos) return path;
  return path.substr(0, end);
}

}  // namespace tonvell::platform

// The file system as the converter uses it, one implementation per system
// (posix/files.cpp, windows/files.cpp; the build picks one). Paths are UTF-8
// text on both; errors are errno values, which errorText() turns into words.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tonvell::platform {

// How reading a whole input file ended.
enum class ReadStatus {
  kRead,
  kCannotOpen,   // missing, not allowed, or not a regular file (error 0: a device or a pipe)
  kTooLarge,     // at or above the limit; nothing read
  kNoMemory,
  kIncomplete,   // fewer bytes than the file holds
};

// Reads the regular file `path` into `bytes`, refusing one of `limit` bytes
// or more. `error` gets the errno of a failure, 0 when the system gave none.
ReadStatus readRegularFile(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>* bytes,
                           int* error);

// fopen with a UTF-8 path.
std::FILE* openFile(const std::string& path, const char* mode);

bool isDirectory(const std::string& path);
// Creates one folder; true when it exists afterwards as a folder. errno is
// set to the reason of a failure.
bool createDirectory(const std::string& path);

// True when `path` names an existing regular file (following links).
bool isRegularFile(const std::string& path);

// Removes the file `path` names (a link itself, not what it names); false
// when it cannot be.
bool removeFile(const std::string& path);

// What names one file whatever path leads to it: the device and inode on
// POSIX, the volume serial number and file index on Windows.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};
// False when `path` does not name an existing file.
bool identifyFile(const std::string& path, FileIdentity* identity);

// Where a file created at `path` lands: through the symbolic links it names
// on POSIX (a link to a file not there yet included), without the trailing
// dots and spaces Windows drops from a name. `path` itself when neither
// applies.
std::string createdPath(const std::string& path);

// An errno value of this layer's own: a name the system keeps for a device.
inline constexpr int kReservedNameError = 0x7E01;

// True when `stream` writes to a file on the disk that holds `folder` (and
// so may run out of room with it). On Windows, where nothing asks it to
// decide more, always true.
bool writesBeside(std::FILE* stream, const std::string& folder);

// False when the streams `a` and `b` are known to write to different files
// ("--trace /dev/stderr" writes where standard error does); true when they
// may share one, or this system cannot tell (Windows).
bool mayShareFile(std::FILE* a, std::FILE* b);

// True when the errno value says a disk or a quota is full.
bool isOutOfRoom(int error);

// The words for an errno value (strerror, plus this layer's own values).
std::string errorText(int error);

// A name in `path` that the system keeps for a device ("CON", "NUL",
// "COM1"...), or empty when there is none. Always empty on POSIX.
std::string reservedNameIn(const std::string& path);

}  // namespace tonvell::platform

// Path operations, in one implementation parameterised by the path rules:
// the Windows rules (drives, network shares, "\" and "/" separators, GBK
// double-byte characters) and the native rules of this system ("/" only, no
// drive, UTF-8 text). They hold no state.
#pragma once

#include <string>
#include <string_view>

namespace tonvell {

struct PathRules {
  bool windows = false;  // drives, shares, "\" as separator, GBK-aware scanning
  char separator = '/';  // what saving appends to a folder and walks by
};

inline constexpr PathRules kWindowsRules{true, '\\'};
inline constexpr PathRules kNativeRules{false, '/'};

struct PathParts {
  std::string drive;      // "C:" or "\\srv\share"; always empty under native rules
  std::string directory;  // up to and including the last separator
  std::string baseName;
  std::string extension;  // the last "." and what follows it
};

// Splits a path into drive, directory, base name and extension.
PathParts splitPath(std::string_view path, const PathRules& rules = kNativeRules);

// Joins the parts again; a separator goes after a directory that lacks one,
// a "." before an extension that lacks one.
std::string makePath(std::string_view drive, std::string_view directory, std::string_view baseName,
                     std::string_view extension, const PathRules& rules = kNativeRules);

// Removes `c` from the end of `text` when it is the text's last character
// (a trail byte of a double-byte character does not count). 1 when removed.
int stripTrailingChar(std::string& text, char c, const PathRules& rules = kNativeRules);

// True when the last byte of `text` is `c` (a plain byte test).
inline bool endsWithByte(std::string_view text, char c) { return !text.empty() && text.back() == c; }

// The file-system services createDirectories uses; the tests stand in for
// them under the Windows rules.
class DirectoryService {
 public:
  virtual ~DirectoryService() = default;
  virtual bool isDirectory(const std::string& path) = 0;
  // Creates one directory; false when it cannot be created, with errno set
  // to the reason when there is one.
  virtual bool createDirectory(const std::string& path) = 0;
};

// The real file system of this machine.
DirectoryService& nativeDirectories();

// Where createDirectories stopped.
struct DirectoryFailure {
  std::string folder;  // the folder that could not be created
  int osError = 0;     // the system's errno for it, 0 when it reported none
};

// Makes every directory along `directory` (under `drive`) exist. 1 when they
// all exist or were created, or when there is nothing to do; 0 when one cannot
// be created, and then `failure` (may be null) says which and why.
int createDirectories(std::string_view drive, std::string_view directory, const PathRules& rules = kNativeRules,
                      DirectoryService& service = nativeDirectories(), DirectoryFailure* failure = nullptr);

}  // namespace tonvell

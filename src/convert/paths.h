// Path operations, in one implementation parameterised by the path rules:
// the Windows rules of the ANSI days (drives, network shares, "\" and "/"
// separators, GBK double-byte characters, folders walked at "\" only) and
// the native rules of the system the program runs on (on POSIX "/" only, no
// drive; on Windows the Windows rules with UTF-8 text and both separators
// walked; platform/*/host_path_rules.h). They hold no state.
#pragma once

#include <string>
#include <string_view>

namespace tonvell {

struct PathRules {
  bool windows = false;  // drives, shares, "\" as separator
  char separator = '/';  // what saving appends to a folder
  // GBK text (a double-byte character may end in a "\" byte), and folders
  // walked at `separator` only; otherwise UTF-8, walked at every separator.
  bool ansi = false;
};

inline constexpr PathRules kWindowsRules{true, '\\', true};
}  // namespace tonvell

#include "host_path_rules.h"  // kNativeRules

namespace tonvell {

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

// True when `text` ends in a separator of the rules; under the ANSI rules a
// plain byte test for `rules.separator`, as saving always made it.
bool endsWithSeparator(std::string_view text, const PathRules& rules);

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

#include "convert/paths.h"

#include <cerrno>
#include <climits>
#include <cstddef>

#include "platform/files.h"

namespace tonvell {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// Longest path, terminating NUL included, that the rules' platform accepts.
// Under the Windows rules that is the classic 260-byte path buffer.
constexpr std::size_t kWindowsPathLimit = 260;
// Windows with long paths: the longest a UTF-16 path may be; the system
// refuses what its setting does not allow.
constexpr std::size_t kLongWindowsPathLimit = 32767;
#if defined(PATH_MAX) && !defined(_WIN32)
constexpr std::size_t kNativePathLimit = PATH_MAX;
#else
constexpr std::size_t kNativePathLimit = 4096;
#endif

bool isGbkLeadByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x81 && b <= 0xFE;
}

// Bytes taken by the character that starts at text[i]. Under the Windows
// rules a GBK lead byte and the byte after it form one character; a lead
// byte at the very end stands alone. Native text is UTF-8, where no byte of
// a multi-byte character is ASCII, so every byte can be taken singly.
std::size_t charLength(std::string_view text, std::size_t i, const PathRules& rules) {
  if (rules.ansi && isGbkLeadByte(text[i]) && i + 1 < text.size()) return 2;
  return 1;
}

bool isSeparator(char c, const PathRules& rules) { return c == '/' || (rules.windows && c == '\\'); }

// A separator at which createDirectories walks.
bool isWalkSeparator(char c, const PathRules& rules) {
  return rules.ansi ? c == rules.separator : isSeparator(c, rules);
}

// Index of the last single-byte character of `text` for which `match` holds,
// scanning by whole characters from `from` (which must start a character).
template <typename Match>
std::size_t findLastChar(std::string_view text, std::size_t from, const PathRules& rules, Match match) {
  std::size_t found = kNone;
  for (std::size_t i = from; i < text.size(); i += charLength(text, i, rules)) {
    if (charLength(text, i, rules) == 1 && match(text[i])) found = i;
  }
  return found;
}

// Index of the first single-byte character at or after `from` for which
// `match` holds.
template <typename Match>
std::size_t findChar(std::string_view text, std::size_t from, const PathRules& rules, Match match) {
  for (std::size_t i = from; i < text.size(); i += charLength(text, i, rules)) {
    if (charLength(text, i, rules) == 1 && match(text[i])) return i;
  }
  return kNone;
}

std::size_t findChar(std::string_view text, std::size_t from, char c, const PathRules& rules) {
  return findChar(text, from, rules, [c](char x) { return x == c; });
}

// Index where the last character of a non-empty text starts.
std::size_t lastCharStart(std::string_view text, const PathRules& rules) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < text.size(); i += charLength(text, i, rules)) last = i;
  return last;
}

// Drive ("C:" under the Windows rules), directory, base name and extension,
// without any regard for network shares.
PathParts splitOrdinary(std::string_view path, const PathRules& rules) {
  PathParts parts;
  std::size_t pos = 0;
  if (rules.windows && !path.empty()) {
    const std::size_t first = charLength(path, 0, rules);
    if (first < path.size() && path[first] == ':') {
      pos = first + 1;
      parts.drive.assign(path.substr(0, pos));
    }
  }
  const std::size_t lastSep = findLastChar(path, pos, rules, [&](char c) { return isSeparator(c, rules); });
  const std::size_t nameStart = lastSep == kNone ? pos : lastSep + 1;
  parts.directory.assign(path.substr(pos, nameStart - pos));
  const std::size_t dot = findLastChar(path, nameStart, rules, [](char c) { return c == '.'; });
  const std::size_t nameEnd = dot == kNone ? path.size() : dot;
  parts.baseName.assign(path.substr(nameStart, nameEnd - nameStart));
  parts.extension.assign(path.substr(nameEnd));
  return parts;
}

std::string makeOrdinary(std::string_view drive, std::string_view directory, std::string_view baseName,
                         std::string_view extension, const PathRules& rules) {
  std::string out;
  if (!drive.empty()) {
    if (rules.windows) {
      out.append(drive.substr(0, charLength(drive, 0, rules)));
      out += ':';
    } else {
      out.append(drive);  // splitPath never gives one under the native rules
    }
  }
  out.append(directory);
  if (!directory.empty()) {
    const std::size_t last = lastCharStart(directory, rules);
    const bool endsWithSeparator =
        charLength(directory, last, rules) == 1 && isSeparator(directory[last], rules);
    if (!endsWithSeparator) out += rules.separator;
  }
  out.append(baseName);
  if (!extension.empty()) {
    if (extension.front() != '.') out += '.';
    out.append(extension);
  }
  return out;
}

// A directory part that names no folder to walk: the root, the current
// directory or its parent.
bool needsNoWalk(std::string_view directory, const PathRules& rules) {
  if (directory.empty()) return true;
  if (!isWalkSeparator(directory.back(), rules)) return false;
  const std::string_view name = directory.substr(0, directory.size() - 1);
  return name.empty() || name == "." || name == "..";
}

// A path for the file system: one trailing separator removed, the root kept.
std::string withoutTrailingSeparator(const std::string& path, const PathRules& rules) {
  if (path.size() > 1 && isWalkSeparator(path.back(), rules)) return path.substr(0, path.size() - 1);
  return path;
}

class NativeDirectories final : public DirectoryService {
 public:
  bool isDirectory(const std::string& path) override {
    return platform::isDirectory(withoutTrailingSeparator(path, kNativeRules));
  }
  bool createDirectory(const std::string& path) override {
    return platform::createDirectory(withoutTrailingSeparator(path, kNativeRules));
  }
};

}  // namespace

PathParts splitPath(std::string_view path, const PathRules& rules) {
  if (rules.windows && path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    const std::size_t serverEnd = findChar(path, 2, '\\', rules);
    const std::size_t shareEnd = serverEnd == kNone ? kNone : findChar(path, serverEnd + 1, '\\', rules);
    if (shareEnd != kNone) {
      PathParts parts = splitOrdinary(path.substr(shareEnd), rules);
      parts.drive.assign(path.substr(0, shareEnd));
      return parts;
    }
    PathParts parts = splitOrdinary(path, rules);
    parts.drive.clear();
    return parts;
  }
  return splitOrdinary(path, rules);
}

std::string makePath(std::string_view drive, std::string_view directory, std::string_view baseName,
                     std::string_view extension, const PathRules& rules) {
  if (rules.windows && drive.size() >= 2 && drive[0] == '\\' && drive[1] == '\\') {
    return std::string(drive) + makeOrdinary({}, directory, baseName, extension, rules);
  }
  return makeOrdinary(drive, directory, baseName, extension, rules);
}

int stripTrailingChar(std::string& text, char c, const PathRules& rules) {
  if (text.empty()) return 0;
  const std::size_t last = findLastChar(text, 0, rules, [c](char x) { return x == c; });
  if (last == kNone || last + 1 != text.size()) return 0;
  text.erase(last);
  return 1;
}

bool endsWithSeparator(std::string_view text, const PathRules& rules) {
  if (rules.ansi) return endsWithByte(text, rules.separator);
  return !text.empty() && isSeparator(text.back(), rules);
}

DirectoryService& nativeDirectories() {
  static NativeDirectories service;
  return service;
}

int createDirectories(std::string_view drive, std::string_view directory, const PathRules& rules,
                      DirectoryService& service, DirectoryFailure* failure) {
  const auto fail = [failure](std::string folder, int error) {
    if (failure) *failure = DirectoryFailure{std::move(folder), error};
    return 0;
  };
  if (needsNoWalk(directory, rules)) return 1;

  // Only components that end in a separator are walked; the deepest folder
  // made is therefore the directory part up to its last separator. Refuse
  // the whole walk up front rather than create part of a path that the
  // platform cannot hold.
  const auto walkSeparator = [&rules](char c) { return isWalkSeparator(c, rules); };
  const std::size_t lastSep = findLastChar(directory, 0, rules, walkSeparator);
  if (lastSep == kNone) return 1;
  const std::size_t limit = rules.ansi ? kWindowsPathLimit : rules.windows ? kLongWindowsPathLimit : kNativePathLimit;
  const std::string deepest = makePath(drive, directory.substr(0, lastSep + 1), {}, {}, rules);
  if (deepest.size() + 1 > limit) return fail(deepest, ENAMETOOLONG);

  // A directory part that starts at the root walks from after the root,
  // which is never looked up or made. Anything else ("." and "..", or a
  // bare name) is walked relative to the current directory.
  std::string accumulated;
  std::size_t pos = 0;
  if (walkSeparator(directory.front())) {
    accumulated = directory.front();
    pos = 1;
  }
  for (;;) {
    const std::size_t next = findChar(directory, pos, rules, walkSeparator);
    if (next == kNone) return 1;
    accumulated.append(directory.substr(pos, next + 1 - pos));
    pos = next + 1;
    std::string full = makePath(drive, accumulated, {}, {}, rules);
    const char last = full.back();
    stripTrailingChar(full, last, rules);
    if (service.isDirectory(full)) continue;
    errno = 0;
    if (!service.createDirectory(full + last)) return fail(full, errno);
  }
}

}  // namespace tonvell

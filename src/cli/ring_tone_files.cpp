#include "cli/ring_tone_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "convert/input.h"
#include "core/gbk.h"
#include "platform/files.h"

namespace tonvell::cli {

namespace {
std::filesystem::path pathOf(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }
std::string utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
}  // namespace

bool readFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* why) {
  // The converter's own rules: a regular file below the size ceiling, so a
  // folder, a device or a pipe fails at once.
  int error = 0;
  const ResultCode code = readInputFile(path, bytes, &error);
  if (code == ResultCode::kSuccess) return true;
  *why = describeReadFailure(code, error);
  return false;
}

bool readRingTone(const std::string& path, const char* command, DecodedMfi* decoded) {
  std::vector<std::uint8_t> bytes;
  std::string why;
  if (!readFileBytes(path, &bytes, &why)) {
    std::fprintf(stderr, "%s: %s: %s\n", command, sanitizeUtf8(path).c_str(), why.c_str());
    return false;
  }
  *decoded = decodeMfi(bytes);
  if (!decoded->ok) {
    std::fprintf(stderr, "%s: %s: %s\n", command, sanitizeUtf8(path).c_str(), decoded->error.c_str());
    return false;
  }
  return true;
}

bool writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* why) {
  std::FILE* f = platform::openFile(path, "wb");
  if (!f) {
    *why = platform::errorText(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const int writeErrno = errno;
  if (std::fclose(f) != 0 || !written) {
    *why = std::strerror(written ? errno : writeErrno);
    return false;
  }
  return true;
}

bool outputPathFor(const std::string& input, const std::string& folder, const std::string& extension,
                   std::string* path, std::string* why) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // UTF-8 names both ways, whatever the system's own encoding of paths.
  const fs::path dir = folder.empty() ? fs::path(".") : pathOf(folder);
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) {
      *why = "cannot create the folder " + utf8Of(dir) + ": " + ec.message();
      return false;
    }
  }
  fs::path name = pathOf(input).filename();
  name.replace_extension(extension);
  *path = utf8Of(dir / name);
  return true;
}

}  // namespace tonvell::cli

#include "cli/ring_tone_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "convert/input.h"
#include "core/gbk.h"

namespace tonvell::cli {

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
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    *why = std::strerror(errno);
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
  const fs::path dir = folder.empty() ? fs::path(".") : fs::path(folder);
  if (!fs::is_directory(dir, ec)) {
    fs::create_directories(dir, ec);
    if (ec) {
      *why = "cannot create the folder " + dir.string() + ": " + ec.message();
      return false;
    }
  }
  fs::path name = fs::path(input).filename();
  name.replace_extension(extension);
  *path = (dir / name).string();
  return true;
}

}  // namespace tonvell::cli

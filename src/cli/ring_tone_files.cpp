#include "cli/ring_tone_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tonvell::cli {

bool readFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = std::strerror(errno);
    return false;
  }
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *why = "read error";
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

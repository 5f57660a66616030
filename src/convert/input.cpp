#include "convert/input.h"

#include <cstring>

#include "core/workspace.h"
#include "platform/files.h"

namespace tonvell {

std::size_t cutLine(std::string_view fetched) {
  std::size_t n = 0;
  while (n < fetched.size() && fetched[n] != '\r' && fetched[n] != '\n' && fetched[n] != '\0') ++n;
  return n;
}

ResultCode readInputFile(const std::string& path, std::vector<std::uint8_t>* bytes, int* osError) {
  int ignored = 0;
  int& error = osError ? *osError : ignored;
  switch (platform::readRegularFile(path, kMaxInputLength, bytes, &error)) {
    case platform::ReadStatus::kRead: return result::kSuccess;
    case platform::ReadStatus::kCannotOpen: return result::kFileNotFound;
    case platform::ReadStatus::kTooLarge:
    case platform::ReadStatus::kNoMemory: return result::kNoMemory;
    case platform::ReadStatus::kIncomplete: break;
  }
  return result::kReadFailed;
}

std::string describeReadFailure(ResultCode code, int osError) {
  if (osError != 0) return platform::errorText(osError);
  switch (code) {
    case result::kFileNotFound: return "not a regular file";
    case result::kNoMemory: return "not enough memory";
    case result::kReadFailed: return "could not be read in full";
    default: return {};
  }
}

}  // namespace tonvell

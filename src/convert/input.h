// Reading an input file of the batch run into memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace tonvell {

// Ends a fetched file-list line at its first CR, LF or NUL; returns its length.
std::size_t cutLine(std::string_view fetched);

// Reads `path` into `bytes`. 108; 105 when it cannot be opened as a regular
// file, 106 when it is kMaxInputLength bytes or more (nothing is read then)
// or memory cannot be had, 140 when it cannot be read in full. `osError`
// (may be null) gets the operating system's errno of a failure, 0 when the
// system reported none.
ResultCode readInputFile(const std::string& path, std::vector<std::uint8_t>* bytes, int* osError = nullptr);

// Why readInputFile failed, for a person: the system's text for `osError`,
// or, when the system reported nothing, what the code means ("not a regular
// file" for a pipe or a device). Empty for a code readInputFile never gives.
std::string describeReadFailure(ResultCode code, int osError);

}  // namespace tonvell

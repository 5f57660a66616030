// File handling shared by decode, render and check: whole files in and out,
// and where an output named after its input goes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mfi/decode.h"

namespace tonvell::cli {

// The file's bytes; false with `why` (the system's reason) when it cannot be read.
bool readFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* why);
// Reads and decodes an MFi file; false, after naming the file and the fault
// on standard error ("COMMAND: PATH: why"), when either fails.
bool readRingTone(const std::string& path, const char* command, DecodedMfi* decoded);
// Writes (replaces) the file; false with `why` when that fails.
bool writeFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes, std::string* why);
// `folder`/<input's name without its extension><extension>; the folder is
// created when missing (false with `why` when it cannot be).
bool outputPathFor(const std::string& input, const std::string& folder, const std::string& extension,
                   std::string* path, std::string* why);

}  // namespace tonvell::cli

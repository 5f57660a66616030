// The path rules of the system the program runs on: "/" only, no drives,
// UTF-8 text. Included by convert/paths.h; the build picks this folder.
#pragma once

namespace tonvell {
inline constexpr PathRules kNativeRules{false, '/', false};
}  // namespace tonvell

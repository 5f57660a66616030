// The path rules of the system the program runs on: drives and network
// shares, "\" and "/" both separate (an appended separator is "\"), UTF-8
// text. Included by convert/paths.h; the build picks this folder.
#pragma once

namespace tonvell {
inline constexpr PathRules kNativeRules{true, '\\', false};
}  // namespace tonvell

// Conversion between UTF-8 (what people read and type in this program) and
// GBK (what MFi header texts and the trace hold), through a compiled-in table.
#pragma once

#include <string>
#include <string_view>

namespace tonvell {

struct GbkText {
  std::string text;
  bool substituted = false;  // some character had no GBK form and became "?"
};

// UTF-8 to GBK. A character GBK cannot represent, or an invalid UTF-8 byte,
// becomes "?".
GbkText utf8ToGbk(std::string_view utf8);

// GBK to UTF-8. A byte sequence that is not GBK becomes U+FFFD.
std::string gbkToUtf8(std::string_view gbk);

// The length of the valid UTF-8 character that starts at text[i] (1 to 4),
// or 0 when none does there (a stray byte, a truncated, overlong or
// surrogate sequence, a code point past U+10FFFF).
std::size_t utf8CharLength(std::string_view text, std::size_t i);

// Valid UTF-8 is kept; every byte of an invalid sequence becomes U+FFFD.
// For showing paths and other raw bytes to a person.
std::string sanitizeUtf8(std::string_view bytes);

}  // namespace tonvell

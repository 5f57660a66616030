// The UTF-8 and GBK conversions against fixed bytes: what the header texts,
// the trace and the log depend on.
#include "core/gbk.h"

#include <gtest/gtest.h>

#include <string>

namespace tonvell {
namespace {

struct ToGbk {
  const char* what;
  std::string utf8;
  std::string gbk;
  bool substituted;
};

TEST(Utf8ToGbk, FixedTable) {
  const ToGbk table[] = {
      {"ASCII", "Tonvell 2.0 (c)", "Tonvell 2.0 (c)", false},
      {"common Hanzi", "铃声中文", "\xC1\xE5\xC9\xF9\xD6\xD0\xCE\xC4", false},
      {"symbols of the trace", "■◎※", "\xA1\xF6\xA1\xF2\xA1\xF9", false},
      {"euro sign, the one single byte above ASCII", "€", "\x80", false},
      {"a character GBK lacks", "A\xF0\x9F\x8E\xB5" "B", "A?B", true},
      {"a stray byte", "a\xFF" "b", "a?b", true},
      {"truncated sequence: each byte", "x\xE4\xB8", "x??", true},
      {"overlong slash", "\xC0\xAF", "??", true},
      {"surrogate in UTF-8 form", "\xED\xA0\x80", "???", true},
      {"NUL passes", std::string("a\0b", 3), std::string("a\0b", 3), false},
  };
  for (const ToGbk& row : table) {
    const GbkText got = utf8ToGbk(row.utf8);
    EXPECT_EQ(got.text, row.gbk) << row.what;
    EXPECT_EQ(got.substituted, row.substituted) << row.what;
  }
}

TEST(GbkToUtf8, FixedTable) {
  const struct {
    const char* what;
    std::string gbk;
    std::string utf8;
  } table[] = {
      {"ASCII", "abc", "abc"},
      {"common Hanzi", "\xC1\xE5\xC9\xF9", "铃声"},
      {"ideographic space", "\xA1\xA1", "\xE3\x80\x80"},
      {"euro sign", "\x80", "€"},
      {"a lone lead byte at the end", "\xC1\xE5\x81", "铃\xEF\xBF\xBD"},
      {"a lead byte without a trail byte", "\x81\x30", "\xEF\xBF\xBD" "0"},
      {"0xFF is no lead byte", "\xFF", "\xEF\xBF\xBD"},
  };
  for (const auto& row : table) EXPECT_EQ(gbkToUtf8(row.gbk), row.utf8) << row.what;
}

TEST(SanitizeUtf8, ReplacesEachInvalidByte) {
  EXPECT_EQ(sanitizeUtf8("铃声.mid"), "铃声.mid");
  EXPECT_EQ(sanitizeUtf8("\xC1\xE5.mid"), "\xEF\xBF\xBD\xEF\xBF\xBD.mid");
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf8CharLength("a铃", 1), 3u);
  EXPECT_EQ(utf8CharLength("\xE9\x93", 0), 0u) << "truncated";
  EXPECT_EQ(utf8CharLength("a", 1), 0u) << "past the end";
}

}  // namespace
}  // namespace tonvell

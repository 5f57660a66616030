#include "core/gbk.h"

#include <array>
#include <cstdint>
#include <iterator>

namespace tonvell {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
size_t utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t len;
  unsigned min;
  unsigned cp;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0) { len = 2; min = 0x80; cp = b & 0x1F; }
  else if ((b & 0xF0) == 0xE0) { len = 3; min = 0x800; cp = b & 0x0F; }
  else if ((b & 0xF8) == 0xF0) { len = 4; min = 0x10000; cp = b & 0x07; }
  else return 0;
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Unicode code point of the valid UTF-8 sequence of `len` bytes at s[i].
char32_t utf8CodePoint(std::string_view s, size_t i, size_t len) {
  static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t cp = static_cast<unsigned char>(s[i]) & kLeadMask[len];
  for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

void appendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The one single byte above ASCII: 0x80 is the euro sign both ways.
constexpr unsigned char kEuroByte = 0x80;
constexpr char32_t kEuro = 0x20AC;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Two-byte codes: lead 0x81-0xFE, trail 0x40-0x7E or 0x80-0xFE.
constexpr int kTrails = 190;
constexpr int kCodes = 126 * kTrails;

int codeIndex(unsigned char lead, unsigned char trail) {
  if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail == 0x7F || trail > 0xFE) return -1;
  return (lead - 0x81) * kTrails + (trail < 0x7F ? trail - 0x40 : trail - 0x41);
}

// Both directions, unpacked once from the compiled-in stream (its format is
// described in scripts/make-gbk-table.py, which writes it).
struct GbkTables {
  std::array<char16_t, kCodes> toUnicode{};    // 0: no character
  std::array<std::uint16_t, 0x10000> toGbk{};  // 0: no code
  GbkTables() {
    static constexpr std::uint16_t kStream[] = {
#include "core/gbk_table.inc"
    };
    size_t code = 0;
    for (size_t k = 0; k < std::size(kStream) && code < kCodes; ++k) {
      const std::uint16_t v = kStream[k];
      if (v == 0) {
        code += k + 1 < std::size(kStream) ? kStream[++k] : 0;
      } else if (v < 0x80) {
        for (std::uint16_t n = 0; n < v && code < kCodes && code > 0; ++n, ++code)
          toUnicode[code] = static_cast<char16_t>(toUnicode[code - 1] + 1);
      } else {
        toUnicode[code++] = static_cast<char16_t>(v);
      }
    }
    for (size_t c = 0; c < kCodes; ++c) {
      if (toUnicode[c] == 0) continue;
      const auto lead = static_cast<unsigned>(0x81 + c / kTrails);
      const auto t = static_cast<unsigned>(c % kTrails);
      toGbk[toUnicode[c]] = static_cast<std::uint16_t>(lead << 8 | (t < 0x3F ? 0x40 + t : 0x41 + t));
    }
  }
};

const GbkTables& gbkTables() {
  static const GbkTables tables;
  return tables;
}

}  // namespace

std::size_t utf8CharLength(std::string_view text, std::size_t i) {
  return i < text.size() ? utf8SequenceLength(text, i) : 0;
}

GbkText utf8ToGbk(std::string_view utf8) {
  GbkText result;
  const GbkTables& tables = gbkTables();
  size_t i = 0;
  while (i < utf8.size()) {
    // Plain ASCII passes as it is.
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      result.text += utf8[i++];
      continue;
    }
    const size_t len = utf8SequenceLength(utf8, i);
    const char32_t cp = len == 0 ? 0 : utf8CodePoint(utf8, i, len);
    i += len == 0 ? 1 : len;
    if (cp == kEuro) {
      result.text += static_cast<char>(kEuroByte);
    } else if (cp >= 0xE0000 && cp <= 0xE007F) {
      // Language tags carry no text of their own and are dropped, as the C
      // library's converter (which wrote this program's files before) does.
    } else if (cp != 0 && cp <= 0xFFFF && tables.toGbk[cp] != 0) {
      result.text += static_cast<char>(tables.toGbk[cp] >> 8);
      result.text += static_cast<char>(tables.toGbk[cp] & 0xFF);
    } else {
      result.text += '?';
      result.substituted = true;
    }
  }
  return result;
}

std::string gbkToUtf8(std::string_view gbk) {
  std::string out;
  const GbkTables& tables = gbkTables();
  size_t i = 0;
  while (i < gbk.size()) {
    const auto b = static_cast<unsigned char>(gbk[i]);
    if (b < 0x80) {
      out += gbk[i++];
    } else if (b == kEuroByte) {
      appendUtf8(kEuro, &out);
      ++i;
    } else if (const int code = i + 1 < gbk.size() ? codeIndex(b, static_cast<unsigned char>(gbk[i + 1])) : -1;
               code >= 0 && tables.toUnicode[static_cast<size_t>(code)] != 0) {
      appendUtf8(tables.toUnicode[static_cast<size_t>(code)], &out);
      i += 2;
    } else {
      // Not a code: this byte alone is replaced, the next one read afresh.
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

std::string sanitizeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t len = utf8SequenceLength(bytes, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace tonvell

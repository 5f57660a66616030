#include "core/gbk.h"

#include <iconv.h>

#include <cerrno>

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

class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts one piece; false when it cannot be converted.
  bool convert(std::string_view in, std::string* out) {
    char buf[64];
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    std::string piece;
    while (inLeft > 0) {
      char* outp = buf;
      size_t outLeft = sizeof buf;
      const size_t r = iconv(cd_, &inp, &inLeft, &outp, &outLeft);
      piece.append(buf, static_cast<size_t>(outp - buf));
      if (r == static_cast<size_t>(-1) && errno != E2BIG) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        return false;
      }
    }
    out->append(piece);
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::size_t utf8CharLength(std::string_view text, std::size_t i) {
  return i < text.size() ? utf8SequenceLength(text, i) : 0;
}

GbkText utf8ToGbk(std::string_view utf8) {
  GbkText result;
  Iconv cv("GBK", "UTF-8");
  size_t i = 0;
  while (i < utf8.size()) {
    // Plain ASCII runs need no conversion.
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      result.text += utf8[i++];
      continue;
    }
    const size_t len = utf8SequenceLength(utf8, i);
    if (len == 0 || !cv.ok() || !cv.convert(utf8.substr(i, len), &result.text)) {
      result.text += '?';
      result.substituted = true;
      i += len == 0 ? 1 : len;
      continue;
    }
    i += len;
  }
  return result;
}

std::string gbkToUtf8(std::string_view gbk) {
  std::string out;
  Iconv cv("UTF-8", "GBK");
  size_t i = 0;
  while (i < gbk.size()) {
    const auto b = static_cast<unsigned char>(gbk[i]);
    if (b < 0x80) {
      out += gbk[i++];
      continue;
    }
    const size_t len = (b >= 0x81 && b <= 0xFE && i + 1 < gbk.size()) ? 2 : 1;
    if (!cv.ok() || !cv.convert(gbk.substr(i, len), &out)) {
      out += "\xEF\xBF\xBD";
      i += 1;
      continue;
    }
    i += len;
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

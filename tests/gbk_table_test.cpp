// The compiled-in GBK table against the C library's converter (glibc's
// iconv, which wrote this program's files before the table replaced it):
// every Unicode code point one way, every one- and two-byte sequence the
// other way. Any difference fails.
#include "core/gbk.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace tonvell {
namespace {

class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // The whole of `in` converted, or false.
  bool convert(const std::string& in, std::string* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char buf[16];
    char* inp = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    char* outp = buf;
    size_t outLeft = sizeof buf;
    if (iconv(cd_, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1) || inLeft != 0) return false;
    out->assign(buf, static_cast<size_t>(outp - buf));
    return true;
  }

 private:
  iconv_t cd_;
};

std::string utf8Of(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

TEST(GbkTable, EveryCodePointEncodesAsIconvDoes) {
  Converter toGbk("GBK", "UTF-8");
  ASSERT_TRUE(toGbk.ok());
  int differences = 0;
  int encoded = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string utf8 = utf8Of(cp);
    std::string want;
    const bool known = toGbk.convert(utf8, &want);
    const GbkText got = utf8ToGbk(utf8);
    if (!known) want = "?";
    encoded += known && !want.empty() && cp >= 0x80;
    if (got.text != want || got.substituted == known) {
      if (++differences <= 10) ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(cp);
    }
  }
  EXPECT_EQ(differences, 0);
  EXPECT_EQ(encoded, 21792) << "every two-byte code and the euro sign";
}

TEST(GbkTable, EveryByteSequenceDecodesAsIconvDoes) {
  Converter toUtf8("UTF-8", "GBK");
  ASSERT_TRUE(toUtf8.ok());
  int differences = 0;
  const auto check = [&](const std::string& gbk, const std::string& want) {
    if (gbkToUtf8(gbk) != want && ++differences <= 10) {
      ADD_FAILURE() << std::hex << static_cast<unsigned>(static_cast<unsigned char>(gbk[0])) << " "
                    << (gbk.size() > 1 ? static_cast<unsigned>(static_cast<unsigned char>(gbk[1])) : 0u);
    }
  };
  const std::string replacement = "\xEF\xBF\xBD";
  for (unsigned a = 0x80; a <= 0xFF; ++a) {
    const std::string one(1, static_cast<char>(a));
    std::string single;
    const bool singleOk = toUtf8.convert(one, &single);
    check(one, singleOk ? single : replacement);
    for (unsigned b = 0; b <= 0xFF; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      std::string want;
      if (singleOk) {
        // A single-byte character, then the next byte read on its own.
        want = single + gbkToUtf8(two.substr(1));
      } else if (!toUtf8.convert(two, &want)) {
        want = replacement + gbkToUtf8(two.substr(1));
      }
      check(two, want);
    }
  }
  EXPECT_EQ(differences, 0);
}

}  // namespace
}  // namespace tonvell

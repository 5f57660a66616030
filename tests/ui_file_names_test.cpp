// File names between bytes and the window's text: every byte string comes
// back as it went in, and UTF-8 names read as themselves.
#include "ui/file_names.h"

#include <gtest/gtest.h>

#include <QUrl>

#include <random>
#include <string>

namespace tonvell::ui {
namespace {

TEST(FileNames, Utf8NamesReadAsThemselves) {
  for (const char* name : {"", "/music/song.mid", "/音乐/铃声 1.mid", "a\xF0\x9F\x8E\xB5" "b"}) {
    EXPECT_EQ(fileNameText(name), QString::fromUtf8(name)) << name;
    EXPECT_EQ(fileNameBytes(QString::fromUtf8(name)), name) << name;
  }
}

TEST(FileNames, BytesThatAreNotUtf8KeepTheirValue) {
  // A stray byte, a GBK name, a truncated and an overlong sequence, a
  // surrogate in UTF-8 form.
  for (const std::string name : {"\xFF", "/\xB8\xE8.mid", "a\xE4\xB8", "\xC0\xAF", "\xED\xA0\x80", "x\x80y"}) {
    const QString text = fileNameText(name);
    EXPECT_FALSE(text.contains(QChar(0xFFFD))) << name;
    EXPECT_EQ(fileNameBytes(text), name);
  }
  EXPECT_EQ(fileNameText("\xFF").at(0).unicode(), 0xEFFF);
  EXPECT_EQ(fileNameText("a\x80").at(1).unicode(), 0xEF80);
  // A name that holds one of the stand-in characters in UTF-8 keeps it too.
  const std::string standIn = "\xEE\xBE\x80";  // U+EF80
  EXPECT_EQ(fileNameBytes(fileNameText(standIn)), standIn);
  EXPECT_EQ(fileNameText(standIn).size(), 3);
}

TEST(FileNames, EveryByteStringComesBack) {
  std::mt19937 random(12);
  std::uniform_int_distribution<int> byte(0, 255), length(0, 24);
  for (int i = 0; i < 20000; ++i) {
    std::string name(static_cast<std::size_t>(length(random)), '\0');
    for (char& c : name) c = static_cast<char>(byte(random));
    ASSERT_EQ(fileNameBytes(fileNameText(name)), name) << i;
  }
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    ASSERT_EQ(fileNameBytes(fileNameText(one)), one) << b;
  }
}

TEST(FileNames, TextThatIsNoFileNameBecomesUtf8) {
  // Half a surrogate pair names nothing.
  EXPECT_EQ(fileNameBytes(QString(QChar(0xD800)) + QLatin1Char('a')), "\xEF\xBF\xBD" "a");
}

TEST(FileNames, DroppedUrlsKeepTheirBytes) {
  EXPECT_EQ(fileNameBytes(localFileText(QUrl(QStringLiteral("file:///tmp/a%FFb%E4%B8%AD.mid")))),
            "/tmp/a\xFF" "b\xE4\xB8\xAD.mid");
  EXPECT_EQ(fileNameBytes(localFileText(QUrl::fromLocalFile(QStringLiteral("/tmp/100% 歌.mid")))),
            "/tmp/100% \xE6\xAD\x8C.mid");
  EXPECT_TRUE(localFileText(QUrl(QStringLiteral("https://example.org/a.mid"))).isEmpty());
}

}  // namespace
}  // namespace tonvell::ui

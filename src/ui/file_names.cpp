#include "ui/file_names.h"

#include <QByteArray>
#include <QUrl>

#include "core/gbk.h"

namespace tonvell::ui {

namespace {

constexpr char32_t kRawFirst = 0xEF80;  // stands for byte 0x80
constexpr char32_t kRawLast = 0xEFFF;   // stands for byte 0xFF

char32_t decodeUtf8(std::string_view text, std::size_t i, std::size_t length) {
  const auto b = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(text[i + k])); };
  switch (length) {
    case 1: return b(0);
    case 2: return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    case 3: return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    default: return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
  }
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

QString fileNameText(std::string_view bytes) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size()));
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t length = utf8CharLength(bytes, i);
    const char32_t c = length ? decodeUtf8(bytes, i, length) : 0;
    if (length == 0 || (c >= kRawFirst && c <= kRawLast)) {
      // A byte that stands alone: its own private-use character.
      const std::size_t n = length ? length : 1;
      for (std::size_t k = 0; k < n; ++k)
        text += QChar(static_cast<char16_t>(0xEF00 + static_cast<unsigned char>(bytes[i + k])));
      i += n;
      continue;
    }
    text += QString::fromUcs4(&c, 1);
    i += length;
  }
  return text;
}

std::string fileNameBytes(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    char32_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
      ++i;
    } else if (QChar::isSurrogate(c)) {
      c = 0xFFFD;  // half a character names nothing
    }
    if (c >= kRawFirst && c <= kRawLast) {
      out += static_cast<char>(c - 0xEF00);
      continue;
    }
    appendUtf8(out, c);
  }
  return out;
}

QString localFileText(const QUrl& url) {
  if (!url.isLocalFile()) return {};
  // toLocalFile() would decode the path as UTF-8; the encoded form still
  // holds every byte.
  const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
  return fileNameText(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace tonvell::ui

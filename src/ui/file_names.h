// File names between the file system's bytes and the window's text.
// A name need not be UTF-8: a byte that is not part of a valid UTF-8
// character has no character of its own, and Qt's own conversion turns it
// into U+FFFD, which names another file or none. Here each such byte b
// becomes the private-use character U+EF00 + b (U+EF80 to U+EFFF) and comes
// back as that byte, so every name survives the list, a drop and the
// settings byte for byte. Such a character typed or named in UTF-8 is
// carried the same way, byte by byte, so that the way back is never in
// doubt.
#pragma once

#include <QString>

#include <string>
#include <string_view>

class QUrl;

namespace tonvell::ui {

// The text that shows `bytes` (a path as the file system holds it).
QString fileNameText(std::string_view bytes);

// The bytes of a path shown by `text`: fileNameBytes(fileNameText(b)) == b
// for any bytes b. Other text becomes UTF-8.
std::string fileNameBytes(const QString& text);

// The text of the local file a dropped URL names (its percent-decoded path
// bytes through fileNameText); empty when it names no local file.
QString localFileText(const QUrl& url);

}  // namespace tonvell::ui

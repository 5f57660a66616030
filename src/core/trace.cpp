#include "core/trace.h"

#include <cstdarg>

#include "core/gbk.h"

namespace tonvell {

void TraceChannel::printf(const char* format, ...) const {
  if (!sink_) return;
  char small[512];
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(copy);
    sink_(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(big.data(), big.size(), format, copy);
  va_end(copy);
  big.resize(static_cast<size_t>(n));
  sink_(big);
}

void TraceChannel::separator() const {
  if (!sink_) return;
  static const std::string line = [] {
    std::string s;
    for (int i = 0; i < 26; ++i) s += "\x81\x7C";
    s += '\n';
    return s;
  }();
  sink_(line);
}

std::string gbkLiteral(const char* utf8) { return utf8ToGbk(utf8).text; }

}  // namespace tonvell

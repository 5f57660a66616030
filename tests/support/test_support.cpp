#include "support/test_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "convert/run.h"
#include "mfi/translate.h"
#include "smf/split.h"

namespace tonvell::test {

Bytes hex(const std::string& text) {
  Bytes out;
  int nibbles = 0;
  int value = 0;
  for (const char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    value = value * 16 + v;
    if (++nibbles == 2) {
      out.push_back(static_cast<std::uint8_t>(value));
      nibbles = 0;
      value = 0;
    }
  }
  if (nibbles) throw std::invalid_argument("odd hex digits");
  return out;
}

std::string hexOf(const std::uint8_t* data, std::size_t size) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (std::size_t i = 0; i < size; ++i) {
    if (i) s += ' ';
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

std::string hexOf(const Bytes& bytes) { return hexOf(bytes.data(), bytes.size()); }

std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes varLen(std::uint32_t value) {
  Bytes out;
  out.push_back(static_cast<std::uint8_t>(value & 0x7F));
  while (value >>= 7) out.insert(out.begin(), static_cast<std::uint8_t>((value & 0x7F) | 0x80));
  return out;
}

Bytes smfHeader(int format, int tracks, int division) {
  return Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6,
               static_cast<std::uint8_t>(format >> 8), static_cast<std::uint8_t>(format),
               static_cast<std::uint8_t>(tracks >> 8), static_cast<std::uint8_t>(tracks),
               static_cast<std::uint8_t>(division >> 8), static_cast<std::uint8_t>(division)};
}

Bytes track(const Bytes& events) {
  const auto n = static_cast<std::uint32_t>(events.size());
  Bytes out{'M', 'T', 'r', 'k', static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), events.begin(), events.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

static void putU16(Bytes& b, std::size_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
static void putU32(Bytes& b, std::size_t v) {
  putU16(b, v >> 16);
  putU16(b, v & 0xFFFF);
}

Bytes mfiFile(const std::vector<std::string>& tracks, bool noteChunk, const Bytes& extraChunks) {
  Bytes info = hex("76 65 72 73 00 04 30 32 30 30");  // "vers" "0200"
  if (noteChunk) info = concat({info, hex("6E 6F 74 65 00 02 00 01")});
  info = concat({info, extraChunks});
  Bytes body;
  putU16(body, 3 + info.size());
  body = concat({body, hex("01 01"), Bytes{static_cast<std::uint8_t>(tracks.size())}, info});
  for (const std::string& t : tracks) {
    const Bytes events = hex(t);
    body = concat({body, hex("74 72 61 63")});
    putU32(body, events.size());
    body = concat({body, events});
  }
  Bytes file = hex("6D 65 6C 6F");
  putU32(file, body.size());
  return concat({file, body});
}

Bytes workedExample() {
  return concat({smfHeader(1, 3, 480),
                 track(hex("00 FF 03 04 53 6F 6E 67  00 FF 51 03 07 A1 20  83 60 FF 51 03 06 1A 80  00 FF 2F 00")),
                 track(hex("00 C0 00  00 90 3C 64  83 60 3C 00  00 FF 2F 00")),
                 track(hex("00 FF 03 05 50 69 61 6E 6F  00 B1 07 64  81 70 91 40 50  81 70 81 40 40  00 FF 2F 00"))});
}

ConvertResult analyseSmf(PassContext& pass) {
  const ConvertResult code = splitChannels(pass);
  return code == result::kSuccess ? translateChannels(pass) : code;
}

ConvertResult convertBytes(const Bytes& input, Bytes* out, const ConverterSettings& settings, TraceChannel* trace,
                           CalendarDate date) {
  ConversionResult r = convertMidi(input, conversionOptions(settings), date, trace);
  if (r.code == result::kSuccess && out) *out = std::move(r.mfi);
  return r.code;
}

static std::filesystem::path pathOf(const std::string& utf8) { return std::u8string(utf8.begin(), utf8.end()); }

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(pathOf(path), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path) {
  std::ifstream f(pathOf(path), std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace tonvell::test

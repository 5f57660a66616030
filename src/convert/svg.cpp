#include "convert/svg.h"

#include <charconv>
#include <cmath>

#include "core/gbk.h"

namespace tonvell {

std::string xmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = utf8CharLength(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F)
          out += "\xEF\xBF\xBD";
        else
          out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string svgNumber(double value, int decimals) {
  if (!std::isfinite(value)) value = 0;
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (error != std::errc()) return "0";
  std::string text(buffer, end);
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

SvgWriter::SvgWriter(double width, double height) {
  out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  start("svg", {{"xmlns", "http://www.w3.org/2000/svg"},
                {"width", svgNumber(width)},
                {"height", svgNumber(height)},
                {"viewBox", "0 0 " + svgNumber(width) + " " + svgNumber(height)}});
  out_ += ">\n";
  open_.emplace_back("svg");
}

void SvgWriter::start(std::string_view name, Attributes attributes) {
  out_.append(open_.size(), ' ');
  out_ += '<';
  out_ += name;
  for (const auto& [key, value] : attributes) {
    out_ += ' ';
    out_ += key;
    out_ += "=\"";
    out_ += xmlEscaped(value);
    out_ += '"';
  }
}

void SvgWriter::open(std::string_view name, Attributes attributes) {
  start(name, attributes);
  out_ += ">\n";
  open_.emplace_back(name);
}

void SvgWriter::close() {
  if (open_.empty()) return;
  out_.append(open_.size() - 1, ' ');
  out_ += "</" + open_.back() + ">\n";
  open_.pop_back();
}

void SvgWriter::element(std::string_view name, Attributes attributes) {
  start(name, attributes);
  out_ += "/>\n";
}

void SvgWriter::text(std::string_view name, Attributes attributes, std::string_view content) {
  start(name, attributes);
  out_ += '>';
  out_ += xmlEscaped(content);
  out_ += "</";
  out_ += name;
  out_ += ">\n";
}

std::string SvgWriter::finish() {
  while (!open_.empty()) close();
  return std::move(out_);
}

}  // namespace tonvell

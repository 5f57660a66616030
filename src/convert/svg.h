// A small writer of SVG pictures as XML text: elements with attributes,
// opened and closed in order, every text and attribute value escaped.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tonvell {

// `text` as XML character data or attribute value: & < > " ' as entities,
// characters XML does not allow (controls other than tab and line ends,
// invalid UTF-8) as U+FFFD.
std::string xmlEscaped(std::string_view text);

// A number for an attribute: at most `decimals` places, no trailing zeros,
// whatever the locale.
std::string svgNumber(double value, int decimals = 2);

class SvgWriter {
 public:
  // One attribute: a name (written as given) and its value (escaped).
  using Attribute = std::pair<std::string_view, std::string>;
  using Attributes = std::initializer_list<Attribute>;

  SvgWriter(double width, double height);

  // <name attributes> ... until close().
  void open(std::string_view name, Attributes attributes = {});
  void close();
  // <name attributes/>
  void element(std::string_view name, Attributes attributes);
  // <name attributes>text</name>
  void text(std::string_view name, Attributes attributes, std::string_view content);
  // The document, every element still open closed.
  std::string finish();

 private:
  void start(std::string_view name, Attributes attributes);
  std::string out_;
  std::vector<std::string> open_;
};

}  // namespace tonvell

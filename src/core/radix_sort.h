// A stable sort on an unsigned 64-bit key, a byte at a time (least
// significant first): linear in the number of items, with no comparison of
// items at all. Items already in order are left where they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tonvell {

// Puts `items` in the order of key(item), keeping the order they have among
// equal keys.
template <typename T, typename Key>
void stableSortByKey(std::vector<T>& items, Key key) {
  std::uint64_t bits = 0;
  bool inOrder = true;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::uint64_t k = key(items[i]);
    bits |= k;
    if (i > 0 && k < key(items[i - 1])) inOrder = false;
  }
  if (inOrder) return;
  // A pass over a byte that is the same in every key would change nothing
  // and is left out.
  std::vector<T> moved(items.size());
  for (int shift = 0; shift < 64 && (bits >> shift) != 0; shift += 8) {
    std::array<std::size_t, 256> start{};
    for (const T& item : items) ++start[(key(item) >> shift) & 0xFF];
    if (start[(key(items[0]) >> shift) & 0xFF] == items.size()) continue;
    std::size_t at = 0;
    for (std::size_t& s : start) at += std::exchange(s, at);
    for (T& item : items) moved[start[(key(item) >> shift) & 0xFF]++] = std::move(item);
    items.swap(moved);
  }
}

}  // namespace tonvell

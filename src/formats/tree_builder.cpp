#include "formats/tree_builder.hpp"

#include <algorithm>
#include <iterator>

namespace orn {

// Entries arrive in text order; the mapping wants ascending keys. Ordering small indices here is
// far cheaper than Mapping::finish() reordering whole entries, and the sort is stable, so equal
// keys stay in text order for finish() to resolve.
bool TreeBuilder::finish_unordered(std::size_t start, SettingValue& out, std::size_t* repeated) {
  auto first = entries_.begin() + static_cast<std::ptrdiff_t>(start);
  const auto n = static_cast<std::uint32_t>(entries_.size() - start);
  auto before = [&first](std::uint32_t a, std::uint32_t b) {
    return first[a].first < first[b].first;
  };
  Mapping map;
  map.reserve(n);
  order_.clear();
  for (std::uint32_t i = 0; i < n; ++i) order_.push_back(i);
  if (n <= 32) {
    for (std::uint32_t i = 1; i < n; ++i) {
      std::uint32_t j = i;
      for (; j > 0 && before(i, order_[j - 1]); --j) order_[j] = order_[j - 1];
      order_[j] = i;
    }
  } else {
    std::stable_sort(order_.begin(), order_.end(), before);
  }
  if (duplicates_ == DuplicateKeys::Refuse) {
    // In each run of equal keys every entry after the first repeats it; the earliest of those
    // in the text is the one to report.
    std::uint32_t first_repeat = n;
    for (std::uint32_t i = 1; i < n; ++i) {
      if (!before(order_[i - 1], order_[i])) first_repeat = std::min(first_repeat, order_[i]);
    }
    if (first_repeat != n) {
      entries_.resize(start);
      if (repeated != nullptr) *repeated = first_repeat;
      return false;
    }
  }
  for (std::uint32_t i : order_) {
    map.append(std::move(first[i].first), std::move(first[i].second));
  }
  entries_.resize(start);
  map.finish();  // sorted by now, but may hold repeated keys: the last appended wins
  out = SettingValue::map(std::move(map));
  return true;
}

}  // namespace orn

#include "formats/tree_builder.hpp"

#include <algorithm>
#include <iterator>

namespace orn {

// Entries arrive in text order; the mapping wants ascending keys.
bool TreeBuilder::finish_unordered(std::size_t start, SettingValue& out, std::size_t* repeated) {
  auto first = entries_.begin() + static_cast<std::ptrdiff_t>(start);
  const auto n = static_cast<std::uint32_t>(entries_.size() - start);
  Mapping& map = scratch_;
  map.reserve(n);
  if (duplicates_ == DuplicateKeys::Refuse) {
    // The earliest entry in the text that repeats a key is the one to report: order indices
    // stably, then look at each run of equal keys.
    auto before = [&first](std::uint32_t a, std::uint32_t b) {
      return first[a].first < first[b].first;
    };
    order_.clear();
    for (std::uint32_t i = 0; i < n; ++i) order_.push_back(i);
    std::stable_sort(order_.begin(), order_.end(), before);
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
  // Mapping::finish() sorts wide groups far faster than a comparison sort of the entries here,
  // and keeps the last of repeated keys.
  for (auto it = first; it != entries_.end(); ++it) {
    map.append(std::move(it->first), std::move(it->second));
  }
  entries_.resize(start);
  map.finish();
  out = SettingValue::map_from(map);
  return true;
}

}  // namespace orn

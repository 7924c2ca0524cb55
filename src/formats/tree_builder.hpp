// The stacks on which a reader collects the elements and entries of its open containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "engine/key_bytes.hpp"
#include "engine/setting_value.hpp"

namespace orn {

// What a repeated key in one mapping means: JSON, JSON5 and YAML keep the later entry; TOML
// forbids defining a key twice.
enum class DuplicateKeys : std::uint8_t { LastWins, Refuse };

// Elements and entries of all open containers share two stacks and move into a container of
// exactly the right size when it closes: one allocation per container, none for growth. A
// reader notes the stack height when a container opens (list_start/map_start) and hands it back
// when the container closes.
class TreeBuilder {
 public:
  explicit TreeBuilder(DuplicateKeys duplicates) : duplicates_(duplicates) {}

  std::size_t list_start() const { return items_.size(); }
  // value must not refer into the builder: collecting may reallocate the stacks. Arguments are
  // taken by rvalue reference: a by-value key would be moved twice, and moving a short string
  // copies its bytes.
  void add_item(SettingValue&& value) { items_.push_back(std::move(value)); }
  // A null element on top of the stack, for the reader to fill in place before anything else is
  // collected.
  SettingValue& new_item() { return items_.emplace_back(); }
  SettingValue finish_list(std::size_t start) {
    SettingValue list = SettingValue::list(std::span<SettingValue>(items_).subspan(start));
    items_.resize(start);
    return list;
  }

  std::size_t map_start() const { return entries_.size(); }
  void add_entry(Key&& key, SettingValue&& value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }
  // An entry with a null value, its key copied in place; the value is reached by the index
  // returned, which stays valid while entries are added and finished above it.
  std::size_t new_entry(std::string_view key) {
    entries_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                          std::forward_as_tuple());
    return entries_.size() - 1;
  }
  SettingValue& entry_value(std::size_t index) { return entries_[index].second; }
  // The mapping of the entries since start, in key order. Under DuplicateKeys::Refuse a repeated
  // key makes it return false with out untouched and *repeated (when given) set to the index,
  // counted from start in the order of add_entry, of the first entry that repeated a key.
  bool finish_map(std::size_t start, SettingValue& out, std::size_t* repeated = nullptr) {
    // Text that lists its keys in order without repeats (every file this system writes) moves
    // straight into the mapping; this part is inline because readers run it for every mapping.
    auto first = entries_.begin() + static_cast<std::ptrdiff_t>(start);
    for (auto it = first + (first == entries_.end() ? 0 : 1); it != entries_.end(); ++it) {
      if (!key_less((it - 1)->first, it->first)) return finish_unordered(start, out, repeated);
    }
    scratch_.reserve(entries_.size() - start);
    for (auto it = first; it != entries_.end(); ++it) {
      scratch_.append(std::move(it->first), std::move(it->second));
    }
    entries_.resize(start);
    out = SettingValue::map_from(scratch_);
    return true;
  }

 private:
  bool finish_unordered(std::size_t start, SettingValue& out, std::size_t* repeated);

  DuplicateKeys duplicates_;
  std::vector<SettingValue> items_;
  std::vector<Mapping::Entry> entries_;
  std::vector<std::uint32_t> order_;
  Mapping scratch_;  // where each mapping is put together, its room kept for the next one
};

}  // namespace orn

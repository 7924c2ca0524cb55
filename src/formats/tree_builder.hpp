// The stacks on which a reader collects the elements and entries of its open containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
  // value must not refer into the builder: collecting may reallocate the stacks.
  void add_item(SettingValue value) { items_.push_back(std::move(value)); }
  SettingValue finish_list(std::size_t start);

  std::size_t map_start() const { return entries_.size(); }
  void add_entry(std::string key, SettingValue value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }
  // The mapping of the entries since start, in key order. Under DuplicateKeys::Refuse a repeated
  // key makes it return false with out untouched and *repeated (when given) set to the index,
  // counted from start in the order of add_entry, of the first entry that repeated a key.
  bool finish_map(std::size_t start, SettingValue& out, std::size_t* repeated = nullptr);

 private:
  DuplicateKeys duplicates_;
  std::vector<SettingValue> items_;
  std::vector<Mapping::Entry> entries_;
  std::vector<std::uint32_t> order_;
};

}  // namespace orn

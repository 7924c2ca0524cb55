// Key paths and the two walks over a settings tree.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"

namespace orn {

using GroupStack = std::vector<std::string>;

// The node that the group stack followed by key's pieces names, or null. Allocates nothing.
const SettingValue* find_node(const SettingValue& root, const GroupStack& groups,
                              std::string_view key) noexcept;

// Owned copies of the group entries followed by key's pieces; KeyError "Key is empty" when there
// are none.
Result<std::vector<std::string>> full_path(const GroupStack& groups, std::string_view key);

// The group entries followed by key's pieces as views into both, valid while neither changes (the
// group stack's guard held, key alive). Short paths stay in place; longer ones spill to the heap.
class PathView {
 public:
  PathView(const GroupStack& groups, std::string_view key);
  PathView(const PathView&) = delete;
  PathView& operator=(const PathView&) = delete;

  const std::string_view* data() const noexcept {
    return spilled_.empty() ? pieces_ : spilled_.data();
  }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view back() const noexcept { return data()[size_ - 1]; }

 private:
  void push(std::string_view piece);

  static constexpr std::size_t kInPlace = 8;
  std::string_view pieces_[kInPlace];
  std::size_t size_ = 0;
  std::vector<std::string_view> spilled_;
};

// The mapping that parents name, created on the way where missing. Fails with "Root is not an
// object" or "Path segment is not an object", having created nothing.
Result<Mapping*> make_parent(SettingValue& root, const std::string* parents, std::size_t count);
Result<Mapping*> make_parent(SettingValue& root, const std::string_view* parents,
                             std::size_t count);

// Every non-group path beneath node, depth first, siblings in key order, joined with "/".
std::vector<std::string> collect_keys(const SettingValue& node);

}  // namespace orn

// The settings engine: one tree and one group stack, each behind a guard that refuses instead of
// waiting. Operations take the tree's guard before the group stack's, never the reverse.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/guard.hpp"
#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "engine/tree.hpp"

namespace orn {

inline constexpr const char* kTreeBusyForWrite =
    "Settings cannot be changed while another call on this engine is using them (for example "
    "from inside a custom driver's write during sync); try again after that call returns";
inline constexpr const char* kTreeBusyForRead =
    "Settings cannot be read while another call on this engine is changing them";
inline constexpr const char* kGroupsBusy =
    "The current group cannot be used while another call on this engine is changing it";

class SettingsEngine {
 public:
  explicit SettingsEngine(SettingValue root, Callers callers = Callers::Concurrent) noexcept
      : root_(std::move(root)), tree_guard_(callers), groups_guard_(callers), callers_(callers) {}
  // Moves the data only; guards are never held while an engine is being built.
  SettingsEngine(SettingsEngine&& other) noexcept
      : root_(std::move(other.root_)),
        tree_guard_(other.callers_),
        groups_(std::move(other.groups_)),
        groups_guard_(other.callers_),
        callers_(other.callers_) {}

  // Runs fn with the node that key names (or null) under both read guards; fn's result is
  // returned. fn must not keep the pointer.
  template <typename Fn>
  auto with_node(std::string_view key, Fn&& fn) -> decltype(fn(nullptr)) {
    auto tree = Held::shared(tree_guard_, kTreeBusyForRead);
    if (!tree) return std::move(tree.error());
    auto groups = Held::shared(groups_guard_, kGroupsBusy);
    if (!groups) return std::move(groups.error());
    return fn(find_node(root_, groups_, key));
  }

  // Runs fn with the whole tree under the tree's read guard (saving).
  template <typename Fn>
  auto with_root(Fn&& fn) -> decltype(fn(std::declval<const SettingValue&>())) {
    auto tree = Held::shared(tree_guard_, kTreeBusyForRead);
    if (!tree) return std::move(tree.error());
    return fn(static_cast<const SettingValue&>(root_));
  }

  Result<bool> contains(std::string_view key);
  Status set_value(std::string_view key, SettingValue value);
  Status remove(std::string_view key);
  Status clear();

  Result<std::vector<std::string>> child_keys();
  Result<std::vector<std::string>> child_groups();
  Result<std::vector<std::string>> all_keys();

  Status begin_group(std::string_view name);
  Status end_group();
  Result<std::string> group();

  // Frees the tree, then the group stack (destruction order of the engine object).
  void release() noexcept;

 private:
  Result<std::vector<std::string>> children(bool groups_wanted);
  Result<std::vector<std::string>> write_path(std::string_view key);

  SettingValue root_;
  RwGuard tree_guard_;
  GroupStack groups_;
  RwGuard groups_guard_;
  Callers callers_;
};

}  // namespace orn

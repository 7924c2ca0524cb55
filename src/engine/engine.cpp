#include "engine/engine.hpp"

namespace orn {

Result<bool> SettingsEngine::contains(std::string_view key) {
  return with_node(key, [](const SettingValue* node) -> Result<bool> { return node != nullptr; });
}

Result<std::vector<std::string>> SettingsEngine::write_path(std::string_view key) {
  // Copied under the group stack's guard and released before the tree's guard is taken.
  auto groups = Held::shared(groups_guard_, kGroupsBusy);
  if (!groups) return std::move(groups.error());
  return full_path(groups_, key);
}

Status SettingsEngine::set_value(std::string_view key, SettingValue value) {
  if (key.find_first_not_of('/') == std::string_view::npos) {
    // No pieces: the path is the group stack, or empty, which is reported before the tree's
    // guard is tried.
    auto path = write_path(key);
    if (!path) return std::move(path.error());
    std::vector<std::string>& segments = path.value();
    auto tree = Held::exclusive(tree_guard_, kTreeBusyForWrite);
    if (!tree) return std::move(tree.error());
    auto parent = make_parent(root_, segments.data(), segments.size() - 1);
    if (!parent) return std::move(parent.error());
    parent.value()->insert_or_assign(segments.back(), std::move(value));
    return Ok{};
  }
  // Both guards, in their order, so that the path can point into the group stack instead of
  // copying it.
  auto tree = Held::exclusive(tree_guard_, kTreeBusyForWrite);
  if (!tree) return std::move(tree.error());
  auto groups = Held::shared(groups_guard_, kGroupsBusy);
  if (!groups) return std::move(groups.error());
  PathView path(groups_, key);
  auto parent = make_parent(root_, path.data(), path.size() - 1);
  if (!parent) return std::move(parent.error());
  parent.value()->insert_or_assign(path.back(), std::move(value));
  return Ok{};
}

Status SettingsEngine::remove(std::string_view key) {
  auto path = write_path(key);
  if (!path) return std::move(path.error());
  std::vector<std::string>& segments = path.value();
  SettingValue removed;  // freed after the guard is released
  {
    auto tree = Held::exclusive(tree_guard_, kTreeBusyForWrite);
    if (!tree) return std::move(tree.error());
    auto parent = make_parent(root_, segments.data(), segments.size() - 1);
    if (!parent) return std::move(parent.error());
    Mapping& mapping = *parent.value();
    if (SettingValue* entry = mapping.find(segments.back())) {
      removed = std::move(*entry);
      mapping.erase(segments.back());
    }
  }
  return Ok{};
}

Status SettingsEngine::clear() {
  Mapping emptied;  // freed after the guards are released
  {
    auto tree = Held::exclusive(tree_guard_, kTreeBusyForWrite);
    if (!tree) return std::move(tree.error());
    auto groups = Held::shared(groups_guard_, kGroupsBusy);
    if (!groups) return std::move(groups.error());
    auto group = make_parent(root_, groups_.data(), groups_.size());
    if (!group) return std::move(group.error());
    std::swap(emptied, *group.value());
  }
  return Ok{};
}

Result<std::vector<std::string>> SettingsEngine::children(bool groups_wanted) {
  return with_node("", [&](const SettingValue* node) -> Result<std::vector<std::string>> {
    std::vector<std::string> names;
    if (node == nullptr || !node->is_map()) return names;
    for (const auto& [name, value] : node->as_map()) {
      if (value.is_map() == groups_wanted) names.emplace_back(name);
    }
    return names;
  });
}

Result<std::vector<std::string>> SettingsEngine::child_keys() { return children(false); }

Result<std::vector<std::string>> SettingsEngine::child_groups() { return children(true); }

Result<std::vector<std::string>> SettingsEngine::all_keys() {
  return with_node("", [](const SettingValue* node) -> Result<std::vector<std::string>> {
    if (node == nullptr) return std::vector<std::string>();
    return collect_keys(*node);
  });
}

Status SettingsEngine::begin_group(std::string_view name) {
  std::size_t first = name.find_first_not_of('/');
  if (first == std::string_view::npos) return Ok{};
  std::size_t last = name.find_last_not_of('/');
  std::string entry(name.substr(first, last - first + 1));
  auto groups = Held::exclusive(groups_guard_, kGroupsBusy);
  if (!groups) return std::move(groups.error());
  groups_.push_back(std::move(entry));
  return Ok{};
}

Status SettingsEngine::end_group() {
  auto groups = Held::exclusive(groups_guard_, kGroupsBusy);
  if (!groups) return std::move(groups.error());
  if (!groups_.empty()) groups_.pop_back();
  return Ok{};
}

Result<std::string> SettingsEngine::group() {
  auto groups = Held::shared(groups_guard_, kGroupsBusy);
  if (!groups) return std::move(groups.error());
  std::string joined;
  for (const std::string& entry : groups_) {
    if (!joined.empty()) joined += '/';
    joined += entry;
  }
  return joined;
}

void SettingsEngine::release() noexcept {
  root_ = SettingValue();
  GroupStack().swap(groups_);
}

}  // namespace orn

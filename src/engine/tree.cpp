#include "engine/tree.hpp"

#include <bit>
#include <cstdint>

#include "engine/key_bytes.hpp"

namespace orn {

namespace {

// Calls fn with each non-empty piece of key; stops early when fn returns false. Every call with a
// key walks it, so the separators are found eight bytes at a time: the '/' of a word are marked
// exactly (no borrow crosses a byte) and taken lowest first.
template <typename Fn>
bool for_each_piece(std::string_view key, Fn&& fn) {
  const char* start = key.data();
  const char* p = start;
  const char* const end = start + key.size();
  auto piece_before = [&](const char* slash) {
    const bool go_on =
        slash == start || fn(std::string_view(start, static_cast<std::size_t>(slash - start)));
    start = slash + 1;
    return go_on;
  };
  if constexpr (std::endian::native == std::endian::little) {
    for (; end - p >= 8; p += 8) {
      for (std::uint64_t marks = bytes_equal_exactly(load_word(p), '/'); marks != 0;
           marks &= marks - 1) {
        if (!piece_before(p + (std::countr_zero(marks) >> 3))) return false;
      }
    }
  }
  for (; p != end; ++p) {
    if (*p == '/' && !piece_before(p)) return false;
  }
  return p == start || fn(std::string_view(start, static_cast<std::size_t>(p - start)));
}

const SettingValue* child(const SettingValue* node, std::string_view name) noexcept {
  return node->is_map() ? node->as_map().find(name) : nullptr;
}

}  // namespace

const SettingValue* find_node(const SettingValue& root, const GroupStack& groups,
                              std::string_view key) noexcept {
  const SettingValue* node = &root;
  for (const std::string& group : groups) {
    node = child(node, group);
    if (node == nullptr) return nullptr;
  }
  for_each_piece(key, [&](std::string_view piece) {
    node = child(node, piece);
    return node != nullptr;
  });
  return node;
}

Result<std::vector<std::string>> full_path(const GroupStack& groups, std::string_view key) {
  std::vector<std::string> path(groups.begin(), groups.end());
  for_each_piece(key, [&](std::string_view piece) {
    path.emplace_back(piece);
    return true;
  });
  if (path.empty()) return key_error("Key is empty");
  return path;
}

PathView::PathView(const GroupStack& groups, std::string_view key) {
  for (const std::string& group : groups) push(group);
  for_each_piece(key, [&](std::string_view piece) {
    push(piece);
    return true;
  });
}

void PathView::push(std::string_view piece) {
  if (size_ < kInPlace) {
    pieces_[size_++] = piece;
    return;
  }
  if (spilled_.empty()) spilled_.assign(pieces_, pieces_ + kInPlace);
  spilled_.push_back(piece);
  ++size_;
}

namespace {

template <typename Name>
Result<Mapping*> walk_to_parent(SettingValue& root, const Name* parents, std::size_t count) {
  if (!root.is_map()) return type_error("Root is not an object");
  Mapping* current = &root.as_map();
  for (std::size_t i = 0; i < count; ++i) {
    SettingValue& entry = current->find_or_insert_map(parents[i]);
    if (!entry.is_map()) return type_error("Path segment is not an object");
    current = &entry.as_map();
  }
  return current;
}

}  // namespace

Result<Mapping*> make_parent(SettingValue& root, const std::string* parents, std::size_t count) {
  return walk_to_parent(root, parents, count);
}

Result<Mapping*> make_parent(SettingValue& root, const std::string_view* parents,
                             std::size_t count) {
  return walk_to_parent(root, parents, count);
}

std::vector<std::string> collect_keys(const SettingValue& node) {
  std::vector<std::string> out;
  if (!node.is_map()) return out;
  // An explicit stack instead of recursion: trees can be far deeper than the C stack allows.
  struct Frame {
    Mapping::const_iterator next, end;
    std::size_t prefix_size;
  };
  std::vector<Frame> stack{{node.as_map().begin(), node.as_map().end(), 0}};
  std::string path;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.end) {
      stack.pop_back();
      continue;
    }
    const auto& [name, value] = *frame.next++;
    path.resize(frame.prefix_size);
    if (!path.empty()) path += '/';
    path += name;
    if (value.is_map()) {
      const Mapping& group = value.as_map();
      if (!group.empty()) stack.push_back({group.begin(), group.end(), path.size()});
    } else {
      out.push_back(path);
    }
  }
  return out;
}

}  // namespace orn

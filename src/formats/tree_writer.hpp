// What the writers share: indentation, a depth-first walk of the tree on an explicit stack
// (trees built through the API can be far deeper than the C stack allows), and the depth check
// that keeps a writer from producing a file its own reader refuses.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"

namespace orn {

// A line feed, then width spaces per level.
inline void append_newline(std::string& out, std::size_t level, std::size_t width) {
  out += '\n';
  out.append(width * level, ' ');
}

// No depth limit: for writers whose caller checks nothing (tests, tools).
inline constexpr std::size_t kAnyDepth = std::numeric_limits<std::size_t>::max();

// The deepest nesting of lists and mappings in root: 0 for a scalar, 1 for a flat container.
// Empty containers count, as every reader counts them.
std::size_t nesting_depth(const SettingValue& root);

// Why sync refuses root: "JSON cannot store this tree: it nests 129 levels deep and JSON files
// are read back to at most 127 levels". A TypeError, raised before the file is touched.
Error too_deep_error(std::string_view format, const SettingValue& root, std::size_t max_depth);

// Walks root depth first, calling on the emitter:
//   null(), boolean(b), uinteger(u), integer(i), floating(d), string(s)
//   empty(container)              a list or mapping without elements
//   open(container)               before the first element of a non-empty one
//   item(index, level)            before list element index
//   entry(key, index, level)      before the value of mapping entry index
//   close(container, level)       after the last element
// where level is the nesting of the elements (1 for the root container's own) and, for close,
// of the container itself. Gives false, having stopped at once, when a list or mapping (empty or
// not) lies deeper than max_depth; the emitter's output is then incomplete.
// The emitter is taken by value so that it lives in this frame, where the optimiser can keep its
// fields in registers: a reference would point at memory that every char the emitter writes
// may alias.
template <typename Emitter>
bool walk_tree(const SettingValue& root, std::size_t max_depth, Emitter emit) {
  using Kind = SettingValue::Kind;
  struct Frame {
    const SettingValue* container;
    std::size_t next;
    std::size_t size;
    bool is_list;
    Mapping::const_iterator entry = {};  // in a mapping, the entry at next
  };
  std::vector<Frame> stack;
  const SettingValue* value = &root;
  for (;;) {
    switch (value->kind()) {
      case Kind::Null:
        emit.null();
        break;
      case Kind::Bool:
        emit.boolean(value->as_bool());
        break;
      case Kind::UInt:
        emit.uinteger(value->as_uint());
        break;
      case Kind::Int:
        emit.integer(value->as_int());
        break;
      case Kind::Float:
        emit.floating(value->as_double());
        break;
      case Kind::String:
        emit.string(value->as_string());
        break;
      case Kind::List:
      case Kind::Map: {
        if (stack.size() >= max_depth) return false;
        const bool is_list = value->is_list();
        const std::size_t size = is_list ? value->as_list().size() : value->as_map().size();
        if (size == 0) {
          emit.empty(*value);
        } else {
          emit.open(*value);
          stack.push_back({value, 0, size, is_list,
                           is_list ? Mapping::const_iterator() : value->as_map().begin()});
        }
        break;
      }
    }
    // Find the next value to write, closing every container that is done.
    for (;;) {
      if (stack.empty()) return true;
      Frame& top = stack.back();
      if (top.next < top.size) {
        if (top.is_list) {
          emit.item(top.next, stack.size());
          value = &top.container->as_list()[top.next];
        } else {
          const auto& entry = *top.entry++;
          emit.entry(entry.first, top.next, stack.size());
          value = &entry.second;
        }
        ++top.next;
        break;
      }
      emit.close(*top.container, stack.size() - 1);
      stack.pop_back();
    }
  }
}

}  // namespace orn

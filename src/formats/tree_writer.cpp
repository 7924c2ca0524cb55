#include "formats/tree_writer.hpp"

#include <algorithm>
#include <new>

#include "formats/numbers.hpp"

namespace orn {

namespace {

bool is_container(const SettingValue& value) { return value.is_list() || value.is_map(); }

}  // namespace

void TextBuffer::grow(std::size_t n) {
  const std::size_t used = size();
  const std::size_t capacity = static_cast<std::size_t>(limit_ - start_);
  std::size_t wanted = std::max<std::size_t>(capacity * 2, 4096);
  if (wanted - used < n) wanted = used + n;
  // realloc moves a large block by remapping its pages rather than copying them.
  char* moved = static_cast<char*>(std::realloc(start_, wanted));
  if (moved == nullptr) throw std::bad_alloc();
  start_ = moved;
  cursor_ = moved + used;
  limit_ = moved + wanted;
}

std::size_t nesting_depth(const SettingValue& root) {
  // An element at level L that is a container nests L + 1 deep; walk_tree reports elements, so
  // the deepest container is found from the deepest element that is one.
  struct Containers {
    std::size_t& deepest;
    std::size_t level = 0;  // of the element being visited
    void note(const SettingValue& value) {
      if (is_container(value)) deepest = std::max(deepest, level + 1);
    }
    void null() {}
    void boolean(bool) {}
    void uinteger(std::uint64_t) {}
    void integer(std::int64_t) {}
    void floating(double) {}
    void string(std::string_view) {}
    void empty(const SettingValue& value) { note(value); }
    void open(const SettingValue& value) { note(value); }
    void item(std::size_t, std::size_t element_level) { level = element_level; }
    void entry(std::string_view, std::size_t, std::size_t element_level) { level = element_level; }
    void close(const SettingValue&, std::size_t) {}
  };
  if (!is_container(root)) return 0;
  std::size_t deepest = 1;
  walk_tree(root, kAnyDepth, Containers{deepest});
  return deepest;
}

Error too_deep_error(std::string_view format, const SettingValue& root, std::size_t max_depth) {
  std::string message(format);
  message += " cannot store this tree: it nests ";
  append_uint(message, nesting_depth(root));
  message += " levels deep and ";
  message += format;
  message += " files are read back to at most ";
  append_uint(message, max_depth);
  message += " levels";
  return type_error(std::move(message));
}

}  // namespace orn

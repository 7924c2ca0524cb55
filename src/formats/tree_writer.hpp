// What the writers share: indentation, a depth-first walk of the tree on an explicit stack
// (trees built through the API can be far deeper than the C stack allows), and the depth check
// that keeps a writer from producing a file its own reader refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/result.hpp"
#include "engine/setting_value.hpp"
#include "formats/numbers.hpp"

namespace orn {

// The text a writer builds, appended through a cursor into room claimed ahead: a piece costs
// one comparison and a copy, where std::string re-reads its size and capacity for each piece
// and ends a copy of any length in a call. Members are named as std::string's, so one template
// serves both. The buffer is not movable: take() hands the text over.
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  // Moved, never copied: a file's text goes from its writer to the file in the one buffer.
  TextBuffer(TextBuffer&& other) noexcept
      : start_(std::exchange(other.start_, nullptr)),
        cursor_(std::exchange(other.cursor_, nullptr)),
        limit_(std::exchange(other.limit_, nullptr)) {}
  TextBuffer& operator=(TextBuffer&&) = delete;
  ~TextBuffer() { std::free(start_); }

  // Room for n bytes at the cursor; write some, then move the cursor past them with advance.
  char* claim(std::size_t n) {
    if (static_cast<std::size_t>(limit_ - cursor_) < n) grow(n);
    return cursor_;
  }
  void advance(char* end) { cursor_ = end; }

  void operator+=(char c) {
    claim(1);
    *cursor_++ = c;
  }
  // A literal: its length is known here, so the copy is a few moves.
  template <std::size_t N>
  void operator+=(const char (&text)[N]) {
    append(text, N - 1);
  }
  void operator+=(std::string_view text) { append(text.data(), text.size()); }
  void append(const char* data, std::size_t n) {
    char* p = claim(n);
    // Most pieces are short keys and numbers: fixed-size copies that overlap in the middle
    // cost a few moves where a call to memcpy costs dozens of instructions.
    if (n >= 8 && n <= 16) {
      std::memcpy(p, data, 8);
      std::memcpy(p + n - 8, data + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(p, data, 4);
      std::memcpy(p + n - 4, data + n - 4, 4);
    } else if (n > 0 && n < 4) {
      p[0] = data[0];
      p[n / 2] = data[n / 2];
      p[n - 1] = data[n - 1];
    } else if (n > 16) {
      std::memcpy(p, data, n);
    }
    cursor_ = p + n;
  }
  void append(const char* first, const char* last) {
    append(first, static_cast<std::size_t>(last - first));
  }
  void append(std::size_t n, char c) {
    char* p = claim(n);
    std::memset(p, c, n);
    cursor_ = p + n;
  }
  std::size_t size() const { return static_cast<std::size_t>(cursor_ - start_); }

  std::string take() const { return std::string(start_, size()); }
  std::string_view view() const { return {start_, size()}; }

 private:
  void grow(std::size_t n);

  char* start_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
};

inline void append_uint(TextBuffer& out, std::uint64_t value) {
  out.advance(put_uint(out.claim(kIntegerTextRoom), value));
}
inline void append_int(TextBuffer& out, std::int64_t value) {
  out.advance(put_int(out.claim(kIntegerTextRoom), value));
}
inline void append_float(TextBuffer& out, double value, FloatLayout layout) {
  char* p = out.claim(kFloatTextMax);
  out.advance(put_float(p, value, layout));
}

// A line feed, then width spaces per level.
inline void append_newline(std::string& out, std::size_t level, std::size_t width) {
  out += '\n';
  out.append(width * level, ' ');
}
inline void append_newline(TextBuffer& out, std::size_t level, std::size_t width) {
  const std::size_t indent = width * level;
  // Most lines are indented by at most 16 spaces: two fixed stores, and the room past the
  // indentation is overwritten by what follows. A call to memset would cost more than the line.
  char* p = out.claim(indent + 17);
  *p = '\n';
  if (indent <= 16) {
    constexpr std::uint64_t kSpaces = 0x2020202020202020ULL;
    std::memcpy(p + 1, &kSpaces, 8);
    std::memcpy(p + 9, &kSpaces, 8);
  } else {
    std::memset(p + 1, ' ', indent);
  }
  out.advance(p + 1 + indent);
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

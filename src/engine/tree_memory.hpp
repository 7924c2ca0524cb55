// Where the blocks of settings trees come from. A tree is built and freed a node at a time, by
// the million, and nearly every block is small: a general-purpose allocator spends more time on
// such blocks than the parsers spend on the text. The embedding program may therefore hand the
// trees an allocator made for small blocks (the module hands them the interpreter's); until it
// does, they use malloc.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace orn {

struct TreeMemory {
  void* (*allocate)(std::size_t size);  // null when out of memory
  void (*release)(void* block);
};

namespace detail {
inline TreeMemory tree_memory{&std::malloc, &std::free};
}  // namespace detail

// Called once, before the first tree is built, and never again: every block must go back to the
// allocator it came from.
inline void use_tree_memory(TreeMemory memory) noexcept { detail::tree_memory = memory; }

inline void* tree_allocate(std::size_t size) {
  void* block = detail::tree_memory.allocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
inline void tree_release(void* block) noexcept { detail::tree_memory.release(block); }

// For the containers inside trees.
template <typename T>
struct TreeAllocator {
  using value_type = T;
  TreeAllocator() noexcept = default;
  template <typename U>
  TreeAllocator(const TreeAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(tree_allocate(n * sizeof(T)));
  }
  void deallocate(T* block, std::size_t) noexcept { tree_release(block); }
  template <typename U>
  friend bool operator==(const TreeAllocator&, const TreeAllocator<U>&) noexcept {
    return true;
  }
};

// For objects of a tree allocated one by one: inherit the class-level new and delete.
struct TreeAllocated {
  static void* operator new(std::size_t size) { return tree_allocate(size); }
  static void operator delete(void* block) noexcept { tree_release(block); }
};

}  // namespace orn
